// Chebyshev series by Clenshaw's recurrence.
#pragma once

#include <array>
#include <cstddef>

namespace sorvex::exact {

/// sum_k c[k] T_k(t) for t in [-1, 1].
template <std::size_t N>
inline double chebyshev(const std::array<double, N>& c, double t) {
    static_assert(N >= 2);
    const double two_t = t + t;
    double b1 = 0.0;
    double b2 = 0.0;
    for (std::size_t k = N - 1; k >= 1; --k) {
        const double b0 = c[k] + two_t * b1 - b2;
        b2 = b1;
        b1 = b0;
    }
    return c[0] + t * b1 - b2;
}

} // namespace sorvex::exact
