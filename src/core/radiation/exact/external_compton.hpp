// External Compton: isotropic electrons in a moving blob scattering photon fields of the nucleus
// that are not isotropic in the blob's frame, with the angle-dependent Klein-Nishina kernel of
// the head-on approximation (Aharonian & Atoyan 1981; Dermer & Menon 2009, eqs. 6.97-6.102;
// Finke 2016, ApJ 830, 94), exact for gamma >> 1; and the pair-production optical depth of the
// nucleus' fields for gamma rays leaving the blob (Finke 2016; Boettcher & Els 2016, ApJ 821,
// 102).
//
// Geometry (frame of the nucleus): the blob at height r (cm) on the jet axis, moving along it with
// bulk Lorentz factor gamma_bulk; the observer at cos(theta_s) = mu_s to the axis. Emissivities
// are those of the blob's frame, per steradian toward the observer, at blob-frame frequencies:
// the model transfers them through the blob and boosts them by the Doppler factor
// delta = 1 / (gamma_bulk (1 - beta mu_s)) as it does the SSC. Optical depths are at frequencies
// of the nucleus' frame. Electrons n (cm^-3 per unit gamma, blob frame) are isotropic, a power law
// between the points of the increasing grid gamma >= 1.
#pragma once

#include <span>
#include <vector>

namespace sorvex::exact {

/// The disk: luminosity l_disk (erg s^-1), black-hole mass m_bh (g), accretion efficiency eta
/// (Mdot = l_disk / (eta c^2)), radii r_in < r_out in units of R_g = G m_bh / c^2; each radius a
/// blackbody of sigma_SB T^4 = 3 G M Mdot / (8 pi R^3) (1 - sqrt(R_in / R)).
std::vector<double> external_compton_disk(std::span<const double> nu, double l_disk, double m_bh,
                                          double eta, double r_in, double r_out, double r,
                                          double gamma_bulk, double mu_s,
                                          std::span<const double> gamma, std::span<const double> n);

/// A broad-line shell of radius r_line (cm) re-emitting xi_line l_disk in a line at nu_line (Hz).
std::vector<double> external_compton_blr(std::span<const double> nu, double l_disk, double xi_line,
                                         double nu_line, double r_line, double r, double gamma_bulk,
                                         double mu_s, std::span<const double> gamma,
                                         std::span<const double> n);

/// A dust ring of radius r_dt (cm) radiating a blackbody of temperature t_dt (K), xi_dt l_disk.
std::vector<double> external_compton_torus(std::span<const double> nu, double l_disk, double xi_dt,
                                           double t_dt, double r_dt, double r, double gamma_bulk,
                                           double mu_s, std::span<const double> gamma,
                                           std::span<const double> n);

/// A field isotropic in the nucleus' frame with specific intensity seed_intensity
/// (erg s^-1 cm^-2 Hz^-1 sr^-1) on the increasing grid seed_nu (Hz), a power law between points.
std::vector<double>
external_compton_isotropic(std::span<const double> nu, std::span<const double> seed_nu,
                           std::span<const double> seed_intensity, double gamma_bulk, double mu_s,
                           std::span<const double> gamma, std::span<const double> n);

/// A line isotropic in the nucleus' frame: energy density u (erg cm^-3) at nu0 (Hz).
std::vector<double> external_compton_isotropic_line(std::span<const double> nu, double u,
                                                    double nu0, double gamma_bulk, double mu_s,
                                                    std::span<const double> gamma,
                                                    std::span<const double> n);

/// Optical depths from the blob at r to infinity along the direction mu_s (0 <= mu_s <= 1).
std::vector<double> gamma_gamma_disk(std::span<const double> nu, double l_disk, double m_bh,
                                     double eta, double r_in, double r_out, double r, double mu_s);
std::vector<double> gamma_gamma_blr(std::span<const double> nu, double l_disk, double xi_line,
                                    double nu_line, double r_line, double r, double mu_s);
std::vector<double> gamma_gamma_torus(std::span<const double> nu, double l_disk, double xi_dt,
                                      double t_dt, double r_dt, double r, double mu_s);

} // namespace sorvex::exact
