// Synchrotron emissivity and self-absorption of a tabulated, isotropic electron distribution,
// with the exact pitch-angle-averaged kernel.
#pragma once

#include <span>
#include <vector>

namespace sorvex::exact {

struct SynchrotronSpectrum {
    std::vector<double> j_nu;     ///< emissivity, erg s^-1 cm^-3 Hz^-1 sr^-1
    std::vector<double> alpha_nu; ///< absorption coefficient, cm^-1 (0 without absorption)
};

/// Relative accuracy asked of each frequency's integral over the electrons (error estimate of
/// the Gauss-Kronrod pieces, summed over all pieces).
inline constexpr double synchrotron_tolerance = 1e-7;

/// j_nu and alpha_nu at the frequencies nu (Hz, positive, any order) of electrons n (cm^-3 per
/// unit gamma, one value per Lorentz factor of the increasing grid gamma >= 1, taken as a power
/// law between grid points) in a field of b_field gauss with isotropic pitch angles.
///
///   j_nu     = sqrt(3) e^2 nu_B / (2 c) int n(gamma) R(x) dgamma
///   alpha_nu = sqrt(3) e^2 nu_B / (4 m_e c nu^2) int R(x) [-gamma^2 d/dgamma (n / gamma^2)] dgamma
///
/// with nu_B = e B / (2 pi m_e c), x = nu / (3/2 gamma^2 nu_B) and R the kernel of
/// synchrotron_kernel.hpp. An interval with a zero density at either end contributes nothing.
/// A distribution that rises faster than gamma^2 can give alpha_nu < 0; it is returned as is.
/// Invalid arguments end the call through invalid_argument (arguments.hpp).
SynchrotronSpectrum synchrotron(std::span<const double> nu, std::span<const double> gamma,
                                std::span<const double> n, double b_field, bool absorption = true);

} // namespace sorvex::exact
