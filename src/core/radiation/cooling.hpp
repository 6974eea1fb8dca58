// Inverse-Compton cooling rates dgamma/dt (s^-1, positive) in the Thomson limit or with the
// Klein-Nishina reduction.
#pragma once

#include <cstddef>

#include "core/common/grid.hpp"

namespace sorvex {

/// Rates for the Lorentz factors gg in the field u(nu) (erg cm^-3 Hz^-1) tabulated on freqs.
Grid rad_cool_pwl(const Grid& gg, const Grid& freqs, const Grid& uu, bool with_kn);
/// Rates for the Lorentz factors gg in a line of frequency nu0 (Hz) and energy density u0.
Grid rad_cool_mono(const Grid& gg, double nu0, double u0, bool with_kn);

/// x^-q (1 + x)^-1.5: the Klein-Nishina reduction for 0.001 <= b < 1 times a segment's
/// spectrum b^-q.
double trans_kn(double x, double q);
/// x^-q exp(F(ln x)) with the cubic fit F of ln f_KN on 1 <= b < 100.
double trans_kn_fit(double x, double q);

/// Number of entries of each n_gamma x n_nu working table of rad_cool_pwl (an empty axis
/// counts as 1). Stops unless the count fits a signed 64-bit size and both tables together fit
/// the address space and the machine's physical memory.
std::size_t rad_cool_table_size(std::size_t n_gamma, std::size_t n_nu);

} // namespace sorvex
