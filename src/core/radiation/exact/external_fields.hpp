// Photon fields around an active nucleus as seen from a point: the accretion disk (Shakura &
// Sunyaev 1973), a thin spherical shell of broad-line gas and a ring of hot dust (the geometry of
// Finke 2016, ApJ 830, 94). Coordinates are those of the nucleus: the black hole at the origin,
// the disk and the ring in the plane z = 0, the jet along +z.
//
// Inverse Compton of a photon beam by isotropic electrons in the head-on approximation, and pair
// production of a gamma ray on it, depend on the beam's direction only through
// w = 1 - cos psi, psi the angle between the beam and the scattered photon or the gamma ray. So a
// field is handed on as beams (w, spectrum, weight): blackbody beams for the disk and the ring,
// and for the shell the energy density per unit w, D(w), in closed form.
#pragma once

#include <vector>

namespace sorvex::exact::fields {

struct Vec3 {
    double x;
    double y;
    double z;
};

/// Blackbody photons moving in one direction: weight * eps^2 / expm1(eps / theta) photons per
/// cm^3 per unit eps (eps and theta = kT / (m_e c^2) in units of m_e c^2); w = 1 - cos psi.
struct ThermalBeam {
    double w;
    double theta;
    double weight;
};

/// A Shakura-Sunyaev disk with local blackbody emission, each face Lambertian with the flux
/// F(R) = 3 G M Mdot / (8 pi R^3) (1 - sqrt(R_in / R)) = sigma_SB T(R)^4, Mdot = L_disk / (eta
/// c^2).
class Disk {
public:
    /// luminosity (erg s^-1), mass (g), efficiency, radii in units of R_g = G M / c^2; the
    /// quadrature over R in pieces no wider than `piece` in ln R.
    Disk(double luminosity, double mass, double efficiency, double r_in_rg, double r_out_rg,
         double piece);

    /// Appends the beams of the disk seen from p (z > 0) for the direction s (a unit vector),
    /// weights times `scale`; `azimuths` nodes over the half circle unless p and s lie on the
    /// axis.
    void beams(Vec3 p, Vec3 s, double scale, std::size_t azimuths,
               std::vector<ThermalBeam>& out) const;

    double r_in() const { return r_in_; }
    double r_out() const { return r_out_; }

private:
    double r_in_;
    double r_out_;
    // Quadrature over R: nodes, weights of dR and temperatures.
    std::vector<double> radius_;
    std::vector<double> weight_;
    std::vector<double> theta_;
};

/// A ring of radius `radius` (cm) in the disk plane whose elements radiate isotropically a
/// blackbody spectrum of temperature `temperature` (K), `luminosity` (erg s^-1) in all.
class Torus {
public:
    Torus(double luminosity, double temperature, double radius);

    void beams(Vec3 p, Vec3 s, double scale, std::size_t azimuths,
               std::vector<ThermalBeam>& out) const;

    double radius() const { return radius_; }

private:
    double luminosity_;
    double theta_;
    double radius_;
};

/// A point where D(w) is not smooth: the end of its support, a jump, or an integrable
/// singularity (log or inverse square root), to be approached with graded nodes.
struct Break {
    double w;
    bool singular;
};

/// A thin spherical shell of radius `radius` (cm) whose surface radiates isotropically
/// `luminosity` (erg s^-1) in one line: seen from inside it is a field of intensity
/// L / (16 pi^2 R^2 c |cos eta|) along a ray crossing the shell at eta to its normal, from
/// outside the same on each of the two crossings (Finke 2016, Section 5).
class Shell {
public:
    Shell(double luminosity, double radius);

    /// Energy density of the line per unit w (erg cm^-3) at distance rho (cm) from the centre,
    /// for a direction at angle view (radians, 0..pi) to the radial direction: the intensity
    /// integrated over the circle of directions at psi = arccos(1 - w) around it, a complete
    /// elliptic integral.
    double density(double rho, double view, double w) const;

    /// The points in (0, 2] where density is not smooth, in increasing order (2 included).
    std::vector<Break> breaks(double rho, double view) const;

    /// Lowest and highest w with a non-zero density (0 and 2 from inside the shell).
    double lowest(double rho, double view) const;
    double highest(double rho, double view) const;

    double radius() const { return radius_; }

private:
    double luminosity_;
    double radius_;
};

/// ValueError naming the first argument of a field that is not acceptable.
void require_disk(double l_disk, double m_bh, double eta, double r_in, double r_out);
void require_blr(double l_disk, double xi_line, double nu_line, double r_line, double r);
void require_torus(double l_disk, double xi_dt, double t_dt, double r_dt);

/// Complete elliptic integral of the first kind K from the complementary parameter 1 - m,
/// by the arithmetic-geometric mean.
double elliptic_k_complement(double m_complement);

} // namespace sorvex::exact::fields
