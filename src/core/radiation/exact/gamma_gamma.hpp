// Pair-production opacity of an isotropic photon field for gamma rays (Gould & Schreder 1967).
#pragma once

#include <span>
#include <vector>

namespace sorvex::exact {

/// Cross-section of gamma-gamma pair production averaged over isotropic directions, in units of
/// sigma_T, at s0 = eps eps_gamma (the product of the two photon energies in units of
/// (m_e c^2)^2; 0 below the threshold s0 = 1):
///   sigma_bar(s0) = 2 / s0^2 int_1^s0 s sigma(s) ds
///   sigma(s) = 3/16 sigma_T (1 - b^2) [(3 - b^4) ln((1 + b) / (1 - b)) - 2 b (2 - b^2)],
///   b = sqrt(1 - 1 / s).
double isotropic_pair_cross_section(double s0);

/// Optical depth tau = radius * alpha_gg of gamma rays at the frequencies nu (Hz, positive, any
/// order) in isotropic target photons of specific intensity seed_intensity (erg s^-1 cm^-2 Hz^-1
/// sr^-1) on the increasing grid seed_nu (Hz), a power law between its points, with
///   alpha_gg(nu) = sigma_T int dnu0 (4 pi / (c h nu0)) I(nu0) sigma_bar(eps eps_gamma).
/// tau / radius is the absorption coefficient (cm^-1) to add to the synchrotron one before
/// rad_trans_blob (whose optical depth is the diameter 2 R alpha). Relative error about 1e-5
/// (Gauss-Legendre over the seed table; sigma_bar itself to 1e-13).
std::vector<double> gamma_gamma_opacity(std::span<const double> nu, std::span<const double> seed_nu,
                                        std::span<const double> seed_intensity, double radius);

} // namespace sorvex::exact
