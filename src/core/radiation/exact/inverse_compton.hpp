// Inverse-Compton emissivity of isotropic electrons in an isotropic photon field, with the exact
// Klein-Nishina kernel of Jones (1968) in the form of Blumenthal & Gould (1970, eq. 2.48).
#pragma once

#include <span>
#include <vector>

namespace sorvex::exact {

/// j_nu (erg s^-1 cm^-3 Hz^-1 sr^-1) at the frequencies nu (Hz, positive, any order) of the
/// electrons n (cm^-3 per unit gamma on the increasing grid gamma >= 1) scattering isotropic seed
/// photons of specific intensity seed_intensity (erg s^-1 cm^-2 Hz^-1 sr^-1) on the increasing
/// grid seed_nu (Hz). Both tables are power laws between their points; an interval with a zero
/// value at either end contributes nothing. With energies in units of m_e c^2 (eps for a seed
/// photon, eps1 for a scattered one),
///
///   j_nu = 3 sigma_T nu / 4  int dnu0 I(nu0) / nu0^2  int dgamma n(gamma) / gamma^2 F(q, G)
///   F = 2 q ln q + (1 + 2q)(1 - q) + (G q)^2 (1 - q) / (2 (1 + G q)),
///   G = 4 eps gamma,  q = eps1 / (G (gamma - eps1)),  1 / (4 gamma^2) <= q <= 1.
///
/// The result feeds rad_trans_blob and rad_trans_slab as their j_nu. Both integrals are fixed
/// Gauss-Legendre rules on pieces of the tables with the kinematic limits taken exactly; against
/// SciPy quadrature the relative error is 1e-9 to 1e-6 from the Thomson regime to
/// 4 gamma eps = 1e5.
std::vector<double> inverse_compton(std::span<const double> nu, std::span<const double> seed_nu,
                                    std::span<const double> seed_intensity,
                                    std::span<const double> gamma, std::span<const double> n);

/// The same for a line: isotropic photons of frequency nu0 (Hz) and energy density u
/// (erg cm^-3), that is I(nu0') = c u delta(nu0' - nu0) / (4 pi). j_nu is per steradian; the
/// emissivity summed over all directions is 4 pi j_nu.
std::vector<double> inverse_compton_line(std::span<const double> nu, double u, double nu0,
                                         std::span<const double> gamma, std::span<const double> n);

} // namespace sorvex::exact
