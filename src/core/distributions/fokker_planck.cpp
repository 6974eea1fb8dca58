// Chang & Cooper (1970) exponential weighting of the flux F = V N + B dN/dg on the half-points,
// V = gdot + 1/2 dD/dg and B = D/2, with backward Euler in time (one tridiagonal solve).
#include "core/distributions/fokker_planck.hpp"

#include <cmath>
#include <cstddef>
#include <span>
#include <string>

#include "core/numerics/polint.hpp"
#include "core/numerics/tridiagonal.hpp"

namespace sorvex {
namespace {

constexpr const char* routine = "fp_findif_difu";

/// Escape times outside (1e-100, 1e100) are taken as already in units of tlc.
constexpr double tesc_lower = 1e-100;
constexpr double tesc_upper = 1e100;
/// Half-ratio h = x/2 is held in [-200, 200], so that no exponential overflows.
constexpr double h_limit = 200.0;
/// Below this |x| the weight comes from its series.
constexpr double series_limit = 0.1;

/// Lowest few half-point drifts for the low-order extrapolation, and the tolerances that decide
/// whether the full-degree value is kept.
constexpr std::size_t low_order_points = 4;
constexpr double low_order_error_factor = 10.0;
constexpr double relative_tolerance = 1e-3;

void require_same_length(const Grid& grid, const char* name, std::size_t n) {
    if (grid.size() != n) {
        stop(std::string(routine) + ": " + name + " has " + count_of(grid.size()) +
             " but gamma_bins has " + std::to_string(n));
    }
}

bool has_nan(const Grid& grid) {
    for (const double v : grid) {
        if (std::isnan(v)) {
            return true;
        }
    }
    return false;
}

/// Exponentials and weights at one half-point, from x = (width * V) / B.
struct HalfPoint {
    double exp_plus;  ///< e^(+h)
    double exp_minus; ///< e^(-h)
    double w_upper;   ///< W as the upper half-point of its lower grid point
    double w_lower;   ///< W as the lower half-point of its upper grid point
};

HalfPoint half_point(double x) {
    double h = x * 0.5;
    if (h > h_limit) {
        h = h_limit;
    } else if (h < -h_limit) {
        h = -h_limit;
    }
    HalfPoint p{std::exp(h), std::exp(-h), 0.0, 0.0};
    if (std::fabs(x) < series_limit) {
        // (x/2)/sinh(x/2) = 1 - x^2/24 + 7x^4/5760 - 31x^6/967680
        const double s = x * x;
        const double w =
            ((s / -24.0 + 1.0) + (s * s * 7.0) / 5760.0) + (s * (s * s) * -31.0) / 967680.0;
        p.w_upper = w;
        p.w_lower = w;
    } else {
        // Both forms equal (x/2)/sinh(x/2) while |x| <= 400; beyond, H stays at 200 and the
        // products W e^(+-h) keep their upwind limits.
        const double big_h = std::fabs(h);
        const double ax = std::fabs(x);
        const double e_minus = std::exp(-big_h);
        p.w_upper = (ax * e_minus) / (1.0 - std::exp(-2.0 * big_h));
        p.w_lower = ax / (std::exp(big_h) - e_minus);
    }
    return p;
}

/// V at the half-point below gamma0 from the half-point drifts v at gammas (the grid from its
/// second point on). The polynomial through all points is exact for smooth drifts on ordinary
/// grids, but on dense grids rounding alone ruins it (1000 log points over 1..1e6 with
/// V = 1e-8 g^2 give -85 instead of 1e-8). It is kept unless it differs from the cubic through
/// the lowest four points by more than both 10 times the cubic's own error estimate and 1e-3
/// of the largest drift there; then the cubic is used. Non-finite drifts (non-finite inputs)
/// keep the full-degree value.
double lowest_half_point_drift(std::span<const double> gammas, std::span<const double> v,
                               double gamma0) {
    // Equal abscissae stop here, before any fallback is considered.
    const double full = polint(gammas, v, gamma0).unwrap().y;
    const std::size_t m = v.size();
    if (m <= low_order_points) {
        return full;
    }
    for (const double value : v) {
        if (!std::isfinite(value)) {
            return full;
        }
    }
    const PolintValue low =
        polint(gammas.first(low_order_points), v.first(low_order_points), gamma0).unwrap();
    if (!std::isfinite(low.y) || !std::isfinite(low.dy)) {
        return full;
    }
    double scale = std::fabs(low.y);
    for (std::size_t k = 0; k < low_order_points; ++k) {
        scale = std::fmax(scale, std::fabs(v[k]));
    }
    const double tolerance =
        std::fmax(low_order_error_factor * std::fabs(low.dy), relative_tolerance * scale);
    if (std::isfinite(full) && std::fabs(full - low.y) <= tolerance) {
        return full;
    }
    return low.y;
}

} // namespace

Grid fp_findif_difu(double dt_in, const Grid& gamma_bins, const Grid& nin, const Grid& gdot_in,
                    const Grid& din, const Grid& qin, double tesc_in, double tlc,
                    bool check_params) {
    if (check_params) {
        if (has_nan(gamma_bins) || has_nan(nin) || has_nan(gdot_in) || has_nan(din) ||
            has_nan(qin) || std::isnan(dt_in) || std::isnan(tesc_in) || std::isnan(tlc)) {
            stop("FP_FinDif_difu: at least one input parameter is not correctly defined");
        }
    }

    require_length(gamma_bins, 2, "gamma_bins", routine);
    const std::size_t n = gamma_bins.size();
    require_same_length(gdot_in, "gdot_in", n);
    require_same_length(din, "din", n);
    // r = nin + qhat dt: equal lengths, or one of length 1 spread over the other.
    if (nin.size() != qin.size() && nin.size() != 1 && qin.size() != 1) {
        stop(std::string(routine) + ": nin has " + count_of(nin.size()) + " but qin has " +
             std::to_string(qin.size()) + " (lengths must match unless one of them is 1)");
    }
    const std::size_t r_length = nin.size() == 1 ? qin.size() : nin.size();
    if (r_length < n) {
        stop(std::string(routine) + ": nin + qin dt has " + count_of(r_length) +
             " but gamma_bins has " + std::to_string(n));
    }
    const bool nin_spread = nin.size() != r_length;
    const bool qin_spread = qin.size() != r_length;

    // Time in units of tlc.
    const double dt = dt_in / tlc;
    const double tesc = (tesc_in > tesc_lower && tesc_in < tesc_upper) ? tesc_in / tlc : tesc_in;
    Grid gdot(n);
    Grid diff(n);
    Grid r(n);
    for (std::size_t i = 0; i < n; ++i) {
        gdot[i] = gdot_in[i] * tlc;
        diff[i] = din[i] * tlc;
        const double q = qin[qin_spread ? 0 : i] * tlc;
        r[i] = nin[nin_spread ? 0 : i] + q * dt;
    }

    // Half-point k + 1/2 lies between grid points k and k + 1 (k = 0..n-2); its width, B and V
    // serve as the upper half-point of row k and the lower one of row k + 1.
    Grid width(n);  // forward widths; width[n-1] repeats width[n-2]
    Grid b_half(n); // B at the upper half-points; b_half[n-1] = D_(n-1)/4
    Grid v_half(n); // V at the upper half-points; v_half[n-1] repeats the last interior one
    for (std::size_t k = 0; k + 1 < n; ++k) {
        width[k] = gamma_bins[k + 1] - gamma_bins[k];
        b_half[k] = (diff[k + 1] + diff[k]) * 0.25;
        v_half[k] = ((diff[k + 1] - diff[k]) / width[k] + (gdot[k + 1] + gdot[k])) * 0.5;
    }
    width[n - 1] = width[n - 2];
    b_half[n - 1] = diff[n - 1] * 0.25;
    v_half[n - 1] =
        ((diff[n - 1] - diff[n - 2]) / width[n - 1] + (gdot[n - 1] + gdot[n - 2])) * 0.5;

    // Below the grid: width and B from the lowest point, V extrapolated from the half-points
    // above (located at gamma_1 .. gamma_(n-1)).
    const double width_below = gamma_bins[1] - gamma_bins[0];
    const double b_below = diff[0] * 0.25;
    const double v_below =
        lowest_half_point_drift(std::span<const double>(gamma_bins).subspan(1),
                                std::span<const double>(v_half).first(n - 1), gamma_bins[0]);

    // Rows: sub[i] is a_(i+1), sup[i] is c_i; a_0 and c_(n-1) couple to the empty outside.
    Grid sub(n - 1);
    Grid diag(n);
    Grid sup(n - 1);
    const double minus_dt = -dt;
    const double escape = dt / tesc;
    HalfPoint lower = half_point((width_below * v_below) / b_below);
    double lower_width = width_below;
    double lower_b = b_below;
    for (std::size_t i = 0; i < n; ++i) {
        const HalfPoint upper = half_point((width[i] * v_half[i]) / b_half[i]);
        const double cell = (width[i] + lower_width) * 0.5;
        const double a =
            (((lower_b * minus_dt) * lower.w_lower) * lower.exp_minus) / (cell * lower_width);
        const double c =
            (((b_half[i] * minus_dt) * upper.w_upper) * upper.exp_plus) / (cell * width[i]);
        const double s = ((b_half[i] * upper.w_upper) * upper.exp_minus) / width[i] +
                         ((lower_b * lower.w_lower) * lower.exp_plus) / lower_width;
        diag[i] = (((s * dt) / cell) + 1.0) + escape;
        if (i > 0) {
            sub[i - 1] = a;
        }
        if (i + 1 < n) {
            sup[i] = c;
        }
        lower = upper;
        lower_width = width[i];
        lower_b = b_half[i];
    }
    return tridag_ser(sub, diag, sup, r);
}

} // namespace sorvex
