// Romberg integration of f(x, p) over x in [a, b] with p fixed: midpoint-refined trapezoid
// estimates extrapolated to zero step with polint (Numerical Recipes 4.3).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "core/common/result.hpp"
#include "core/numerics/polint.hpp"

namespace sorvex {

namespace romberg {
inline constexpr int max_levels = 20;
inline constexpr std::size_t order = 5; ///< levels entering each extrapolation
inline constexpr double tolerance = 1e-5;
} // namespace romberg

/// Integral of func(x, p) from a to b. Errors: "qromb: too many steps" after 20 levels, or the
/// error text of polint. Level j evaluates only its 2^(j-2) new midpoints, in increasing x.
template <class F>
Result<double> qromb_w2arg(F&& func, double a, double b, double p) {
    using romberg::order;
    std::array<double, romberg::max_levels + 1> s{};
    std::array<double, romberg::max_levels + 1> h{};
    h.fill(1.0);
    const double length = b - a;
    for (int j = 1; j <= romberg::max_levels; ++j) {
        const auto level = static_cast<std::size_t>(j - 1);
        if (j == 1) {
            s[0] = (0.5 * length) * ((0.0 + func(a, p)) + func(b, p));
        } else {
            const std::size_t n = std::size_t{1} << (j - 2);
            const double del = length / static_cast<double>(n);
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                sum += func(del * (static_cast<double>(k) + 0.5) + a, p);
            }
            s[level] = (s[level] + del * sum) * 0.5;
        }
        if (static_cast<std::size_t>(j) >= order) {
            const std::size_t first = level + 1 - order;
            const auto extrapolated = polint(std::span<const double>(h).subspan(first, order),
                                             std::span<const double>(s).subspan(first, order), 0.0);
            if (!extrapolated.ok()) {
                return Result<double>::error(extrapolated.error_text());
            }
            const auto [ss, dss] = extrapolated.value();
            if (std::fabs(dss) <= romberg::tolerance * std::fabs(ss)) {
                return ss;
            }
        }
        if (j == romberg::max_levels) {
            break;
        }
        s[level + 1] = s[level];
        h[level + 1] = 0.25 * h[level];
    }
    return Result<double>::error("qromb: too many steps");
}

} // namespace sorvex
