// Inverse-Compton cooling rates dgamma/dt (s^-1, positive) in the Thomson limit or with the
// Klein-Nishina reduction.
#pragma once

#include "core/common/grid.hpp"

namespace sorvex {

/// Rates for the Lorentz factors gg in the field u(nu) (erg cm^-3 Hz^-1) tabulated on freqs.
Grid rad_cool_pwl(const Grid& gg, const Grid& freqs, const Grid& uu, bool with_kn);
/// Rates for the Lorentz factors gg in a line of frequency nu0 (Hz) and energy density u0.
Grid rad_cool_mono(const Grid& gg, double nu0, double u0, bool with_kn);

} // namespace sorvex
