// Romberg integration of one synchrotron segment integral over u = ln gamma: trapezoid sums
// refined by midpoints, the last 10 extrapolated to zero step with polint.
//
// Stage 0 evaluates both ends, stage k >= 1 the 2^(k-1) midpoints of the previous stage. Points
// are numbered in that order (stage k starts at point 2^(k-1) + 1), so that an integrand can
// look up frequency-independent factors tabulated at the points of the first stages.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "core/numerics/polint.hpp"

namespace sorvex::synchrotron {

inline constexpr std::size_t column_length = 61;
inline constexpr std::size_t last_stage = column_length - 2; ///< 59
inline constexpr std::size_t extrapolation_points = 10;
inline constexpr double tolerance = 1e-5;
inline constexpr std::size_t emission_first_extrapolation = 9;
inline constexpr std::size_t absorption_first_extrapolation = 10;
/// An integral that has not converged after this stage (2^22 + 1 points in all) gives up: the
/// remaining stages would cost up to 2^58 evaluations. Converging integrals end far earlier.
inline constexpr std::size_t stage_cap = 22;

/// Number of points that stages 0 to `stage` evaluate.
constexpr std::size_t points_through(std::size_t stage) {
    return (std::size_t{1} << stage) + 1;
}

/// Step between the new points of stage k >= 1 on [a, b].
inline double stage_step(double a, double b, std::size_t k) {
    return (b - a) / static_cast<double>(std::size_t{1} << (k - 1));
}

/// Point t of a stage with step delta.
inline double stage_point(double a, double delta, std::size_t t) {
    return a + delta / 2.0 + static_cast<double>(t) * delta;
}

struct Estimate {
    double value; ///< the extrapolated integral ss
    double error; ///< polint's last correction dss
    bool converged;
};

/// Integral of f over [a, b]; f(point, u) receives the point number and u. Extrapolates from
/// stage `first_extrapolation` on and ends when |dss| <= 1e-5 |ss|. Without convergence it
/// returns the last estimate, or (NaN, NaN) as soon as a trapezoid sum is not finite.
template <std::size_t first_extrapolation, class Integrand>
Estimate romberg(double a, double b, Integrand&& f) {
    static_assert(first_extrapolation + 1 >= extrapolation_points);
    std::array<double, column_length> s{};
    std::array<double, column_length> h{};
    h[0] = 1.0;
    Estimate estimate{0.0, 0.0, false};
    for (std::size_t k = 0; k <= stage_cap; ++k) {
        if (k == 0) {
            s[0] = ((b - a) / 2.0) * (f(std::size_t{0}, a) + f(std::size_t{1}, b));
        } else {
            const std::size_t m = std::size_t{1} << (k - 1);
            const double delta = stage_step(a, b, k);
            double sum = 0.0;
            for (std::size_t t = 0; t < m; ++t) {
                sum += f(m + 1 + t, stage_point(a, delta, t));
            }
            s[k] = (s[k] + delta * sum) / 2.0;
        }
        if (k >= first_extrapolation) {
            const std::size_t first = k + 1 - extrapolation_points;
            const PolintValue p =
                polint(std::span<const double>(h).subspan(first, extrapolation_points),
                       std::span<const double>(s).subspan(first, extrapolation_points), 0.0)
                    .unwrap();
            estimate = {p.y, p.dy, false};
            if (std::fabs(p.dy) <= tolerance * std::fabs(p.y)) {
                estimate.converged = true;
                return estimate;
            }
        }
        if (!std::isfinite(s[k])) {
            // Every later sum is NaN or infinite of one sign: no later extrapolation can meet
            // the tolerance, and the one of stage 59 would be (NaN, NaN).
            constexpr double nan = std::numeric_limits<double>::quiet_NaN();
            return {nan, nan, false};
        }
        if (k < last_stage) {
            s[k + 1] = s[k];
            h[k + 1] = h[k] / 4.0;
        }
    }
    return estimate;
}

} // namespace sorvex::synchrotron
