// The synchrotron kernel of an electron with isotropic pitch angles (Crusius & Schlickeiser 1986):
//
//   R(x) = x^2/2 [K_4/3(x/2) K_1/3(x/2) - 3/5 (x/2) (K_4/3(x/2)^2 - K_1/3(x/2)^2)],
//
// x = nu / nu_c, nu_c = 3/2 gamma^2 nu_B; R is (1/2) int_0^pi sin^2(a) F(x / sin a) da, the
// single-electron synchrotron function F averaged over pitch angles. Two forms cover x > 0, with
// Chebyshev coefficients fitted to 40-digit values by scripts/derive_synchrotron_kernel.py:
//   x <= 2: x^(1/3) S(x^(2/3)), S entire (the small-x series of the Bessel products);
//   x >  2: e^-x A(1/x), A -> pi/2 as x -> infinity (the asymptotic form).
// Relative error below 1e-10 for 1e-12 <= x <= 700 (and for smaller x, where R ~ 1.8084 x^(1/3)).
#pragma once

#include <cmath>

#include "core/radiation/exact/chebyshev.hpp"
#include "core/radiation/exact/synchrotron_kernel_coefficients.hpp"

namespace sorvex::exact {

/// R is 0 in double precision from here on: R < e^-x < half the smallest subnormal.
inline constexpr double synchrotron_kernel_zero_from = 746.0;

/// R(x) for x >= 0.
inline double synchrotron_kernel(double x) {
    using namespace kernel_coefficients;
    if (x <= split) {
        // 2 s / split^(2/3) - 1 with s = x^(2/3) maps [0, split] onto [-1, 1].
        constexpr double scale = 1.2599210498948732; // 2 / 2^(2/3)
        static_assert(split == 2.0);
        const double c = std::cbrt(x);
        return c * chebyshev(small_x, c * c * scale - 1.0);
    }
    if (x >= synchrotron_kernel_zero_from) {
        return 0.0;
    }
    return std::exp(-x) * chebyshev(large_x, 4.0 / x - 1.0);
}

} // namespace sorvex::exact
