// Romberg integration: trapezoid sums refined by midpoints, the most recent ones extrapolated to
// zero step with polint (Numerical Recipes 4.3). One template serves every integrator of the
// core; a Scheme fixes the conventions that each caller's results depend on bit for bit.
//
// Stage 0 evaluates both ends, stage k >= 1 the 2^(k-1) midpoints of the previous stage, in
// increasing order. Points are numbered in that order (stage k starts at point 2^(k-1) + 1), so
// that an integrand can look up factors it tabulated at the points of the first stages.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "core/common/result.hpp"
#include "core/numerics/polint.hpp"

namespace sorvex::romberg {

struct Scheme {
    std::size_t order;               ///< most recent estimates entering each extrapolation
    std::size_t first_extrapolation; ///< stage of the first extrapolation (>= order - 1)
    std::size_t last_stage;          ///< an integral unconverged after this stage gives up
    double tolerance;                ///< converged when |correction| <= tolerance |estimate|
    /// Stage 0 adds its end values to 0.0 first: (0 + f(a)) + f(b), not f(a) + f(b). The two
    /// differ only in the sign of a zero sum.
    bool ends_from_zero;
    /// Midpoint t of a stage with step d: d (t + 1/2) + a when true, else a + d/2 + t d.
    bool midpoints_from_step;
    /// Give up at once when a trapezoid sum is not finite, with (NaN, NaN): no later
    /// extrapolation could meet the tolerance then.
    bool give_up_when_not_finite;
};

struct Estimate {
    double value; ///< the last extrapolated integral
    double error; ///< polint's last correction
    bool converged;
};

/// Number of points that stages 0 to `stage` evaluate.
constexpr std::size_t points_through(std::size_t stage) {
    return (std::size_t{1} << stage) + 1;
}

/// Step between the new points of stage k >= 1 on [a, b].
inline double stage_step(double a, double b, std::size_t k) {
    return (b - a) / static_cast<double>(std::size_t{1} << (k - 1));
}

/// Point t of a stage with step delta.
template <const Scheme& scheme>
double stage_point(double a, double delta, std::size_t t) {
    if constexpr (scheme.midpoints_from_step) {
        return delta * (static_cast<double>(t) + 0.5) + a;
    } else {
        return a + delta / 2.0 + static_cast<double>(t) * delta;
    }
}

/// Integral of f over [a, b]; f(point, x) receives the point number and the abscissa. Without
/// convergence the estimate of the last stage comes back with converged = false; a failing
/// extrapolation gives polint's error text.
template <const Scheme& scheme, class Integrand>
Result<Estimate> integrate(double a, double b, Integrand&& f) {
    static_assert(scheme.order >= 2 && scheme.first_extrapolation + 1 >= scheme.order);
    constexpr std::size_t stages = scheme.last_stage + 1;
    std::array<double, stages> s{};
    std::array<double, stages> h{};
    h[0] = 1.0;
    Estimate estimate{0.0, 0.0, false};
    for (std::size_t k = 0; k < stages; ++k) {
        if (k == 0) {
            const double fa = f(std::size_t{0}, a); // the lower end first
            const double fb = f(std::size_t{1}, b);
            s[0] = ((b - a) / 2.0) * (scheme.ends_from_zero ? (0.0 + fa) + fb : fa + fb);
        } else {
            const std::size_t m = std::size_t{1} << (k - 1);
            const double delta = stage_step(a, b, k);
            double sum = 0.0;
            for (std::size_t t = 0; t < m; ++t) {
                sum += f(m + 1 + t, stage_point<scheme>(a, delta, t));
            }
            s[k] = (s[k] + delta * sum) / 2.0;
        }
        if (k >= scheme.first_extrapolation) {
            const std::size_t first = k + 1 - scheme.order;
            const auto extrapolated =
                polint(std::span<const double>(h).subspan(first, scheme.order),
                       std::span<const double>(s).subspan(first, scheme.order), 0.0);
            if (!extrapolated.ok()) {
                return Result<Estimate>::error(extrapolated.error_text());
            }
            const auto [value, error] = extrapolated.value();
            estimate = {value, error, std::fabs(error) <= scheme.tolerance * std::fabs(value)};
            if (estimate.converged) {
                return estimate;
            }
        }
        if (scheme.give_up_when_not_finite && !std::isfinite(s[k])) {
            constexpr double nan = std::numeric_limits<double>::quiet_NaN();
            return Estimate{nan, nan, false};
        }
        if (k + 1 < stages) {
            s[k + 1] = s[k];
            h[k + 1] = h[k] / 4.0;
        }
    }
    return estimate;
}

} // namespace sorvex::romberg

namespace sorvex {

/// The cooling rates' scheme: 20 levels, the last 5 extrapolated from level 5 on, 1e-5.
inline constexpr romberg::Scheme qromb_scheme{5, 4, 19, 1e-5, true, true, false};

/// Integral of func(x, p) from a to b with p fixed (qromb_w2arg: "w2arg", the integrand takes
/// two arguments). Errors: "qromb: too many steps" after 20 levels, or polint's error text.
template <class F>
Result<double> qromb_w2arg(F&& func, double a, double b, double p) {
    const auto estimate =
        romberg::integrate<qromb_scheme>(a, b, [&](std::size_t, double x) { return func(x, p); });
    if (!estimate.ok()) {
        return Result<double>::error(estimate.error_text());
    }
    if (!estimate.value().converged) {
        return Result<double>::error("qromb: too many steps");
    }
    return estimate.value().value;
}

} // namespace sorvex
