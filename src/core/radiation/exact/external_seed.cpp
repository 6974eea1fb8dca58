// Effective seeds S(x) = G(x / delta), G(y) dy = int dOmega deps n(eps, Omega) w
// delta(y - eps w) dy in the nucleus' frame (w = 1 - cos psi), for each kind of field:
//   isotropic line (N0 photons per cm^3 at eps0): G = N0 y / (2 eps0^2) for y <= 2 eps0;
//   isotropic table: G = 2 pi y int_{y/2} n(eps) / eps^2 deps
//                      = (2 pi y (m_e c^2)^2 / (c h^3)) int_{nu_y} I_nu nu^-3 dnu,
//                    nu_y = y m_e c^2 / (2 h);
//   a line of energy density D(w) per unit w: G = y D(y / eps_l) / (eps_l^3 m_e c^2);
//   blackbody beams (weight z, temperature theta, w): G = sum z theta^2 f(y / (w theta)),
//     f(s) = s^2 / expm1(s).
// The blackbody sum runs over thousands of beams for the disk. Its terms depend on the beam only
// through tau = w theta, so the weights z theta^2 are first spread over a grid uniform in ln tau
// (step 0.02) with the weights of cubic Lagrange interpolation, which is exact where f(y / tau) is
// a cubic in ln tau over four grid steps (relative error about 0.02 (0.02 y / tau)^4); G is then a
// discrete convolution on a grid of y five steps apart, which needs f only once per offset.
#include "core/radiation/exact/external_seed.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "core/common/constants.hpp"

namespace sorvex::exact {
namespace {

using constants::pi;
constexpr double to_eps = constants::planck_over_rest_energy;
constexpr double rest_energy = constants::electron_rest_energy;

constexpr double widest_piece = 2.0; ///< widest seed piece, in ln x
/// Lower end of a seed that falls as S ~ x toward 0, relative to its top: the photons below
/// carry 1e-6 of S's integral.
constexpr double linear_floor = 1e-6;
constexpr double bin_step = 0.02; ///< blackbody beams: the grid of ln tau
constexpr std::size_t table_stride = 5;
constexpr double tail = 45.0;      ///< highest y / tau kept: f(45) / max f = 4e-17
constexpr double exact_tail = 8.0; ///< y / tau_max above which G is summed beam by beam

/// Cubic Lagrange weights at t in [0, 1) for the points -1, 0, 1, 2.
std::array<double, 4> lagrange(double t) {
    return {-t * (t - 1.0) * (t - 2.0) / 6.0, (t + 1.0) * (t - 1.0) * (t - 2.0) / 2.0,
            -(t + 1.0) * t * (t - 2.0) / 2.0, (t + 1.0) * t * (t - 1.0) / 6.0};
}

/// ln S tabulated on a grid uniform in ln x, interpolated by cubics.
class LogTable {
public:
    LogTable(double u0, double step, std::vector<double> log_values)
        : u0_(u0), step_(step), log_values_(std::move(log_values)) {}

    double operator()(double x) const {
        const double p = (std::log(x) - u0_) / step_;
        const double last = static_cast<double>(log_values_.size() - 1);
        if (!(p >= 0.0 && p <= last)) {
            return 0.0;
        }
        const double base = std::clamp(std::floor(p), 1.0, last - 2.0);
        const auto i = static_cast<std::size_t>(base);
        const auto l = lagrange(p - base);
        const double log_s = l[0] * log_values_[i - 1] + l[1] * log_values_[i] +
                             l[2] * log_values_[i + 1] + l[3] * log_values_[i + 2];
        return std::exp(log_s);
    }

private:
    double u0_;
    double step_;
    std::vector<double> log_values_;
};

} // namespace

Seed::Seed(std::function<double(double)> density, std::vector<Piece> pieces)
    : density_(std::move(density)), pieces_(std::move(pieces)) {
    first_.reserve(pieces_.size() + 1);
    for (const Piece& piece : pieces_) {
        first_.push_back(x_.size());
        nodes(piece.a, piece.b, piece.grade, [&](double x, double w) {
            x_.push_back(x);
            weighted_.push_back(w * density_(x));
        });
    }
    first_.push_back(x_.size());
}

void add_pieces(double a, double b, bool singular_a, bool singular_b, double widest,
                std::vector<Seed::Piece>& out) {
    if (!(a < b)) {
        return;
    }
    constexpr double ratio = 0.2;
    constexpr int levels = 4;
    const double length = b - a;
    const double graded = std::min(widest, (singular_a && singular_b ? 0.5 : 1.0) * length);
    double lo = a;
    double hi = b;
    if (singular_a) {
        double scale = graded;
        for (int k = 0; k < levels; ++k) {
            scale *= ratio;
        }
        out.push_back({a, a + scale, Seed::Grade::low});
        for (int k = 0; k < levels; ++k) {
            out.push_back({a + scale, a + scale / ratio, Seed::Grade::near});
            scale /= ratio;
        }
        lo = a + graded;
    }
    std::vector<Seed::Piece> top;
    if (singular_b) {
        double scale = graded;
        for (int k = 0; k < levels; ++k) {
            scale *= ratio;
        }
        top.push_back({b - scale, b, Seed::Grade::high});
        for (int k = 0; k < levels; ++k) {
            top.push_back({b - scale / ratio, b - scale, Seed::Grade::near});
            scale /= ratio;
        }
        hi = b - graded;
    }
    if (lo < hi) {
        const double count = std::ceil((hi - lo) / widest);
        const std::size_t pieces = count > 1.0 ? static_cast<std::size_t>(count) : 1;
        const double width = (hi - lo) / static_cast<double>(pieces);
        for (std::size_t p = 0; p < pieces; ++p) {
            const double pa = lo + width * static_cast<double>(p);
            out.push_back({pa, p + 1 == pieces ? hi : pa + width, Seed::Grade::none});
        }
    }
    out.insert(out.end(), top.rbegin(), top.rend());
}

Seed thermal_seed(const std::vector<fields::ThermalBeam>& beams, double delta) {
    // Typical and highest tau.
    double sum = 0.0;
    double sum_over = 0.0;
    double tau_max = 0.0;
    for (const fields::ThermalBeam& beam : beams) {
        const double tau = beam.w * beam.theta;
        const double h = beam.weight * beam.theta * beam.theta;
        if (h > 0.0 && tau > 0.0) {
            sum += h;
            sum_over += h / tau;
            tau_max = std::max(tau_max, tau);
        }
    }
    if (!(sum > 0.0)) {
        return {};
    }
    // y from 1e-6 of the typical tau (G ~ y below: the photons there carry 1e-6 of the total).
    const double y_lo = linear_floor * sum / sum_over;
    const double origin = std::log(y_lo / tail) - 2.0 * bin_step;
    const double top = std::log(tau_max) + 2.0 * bin_step;
    const auto bins = static_cast<std::size_t>(std::ceil((top - origin) / bin_step)) + 3;
    std::vector<double> weight(bins, 0.0);
    for (const fields::ThermalBeam& beam : beams) {
        const double tau = beam.w * beam.theta;
        const double h = beam.weight * beam.theta * beam.theta;
        if (!(h > 0.0 && tau > 0.0)) {
            continue;
        }
        const double p = (std::log(tau) - origin) / bin_step;
        if (!(p >= 1.0)) {
            continue; // f(y / tau) < f(45) at every y kept
        }
        const double base = std::floor(p);
        const auto i = static_cast<std::size_t>(base);
        if (i + 2 >= bins) {
            continue;
        }
        const auto l = lagrange(p - base);
        for (std::size_t k = 0; k < 4; ++k) {
            weight[i - 1 + k] += h * l[k];
        }
    }
    // y_j = exp(origin + (k0 + stride j) step); y_j / tau_b = exp((k0 + stride j - b) step).
    const auto k0 = static_cast<std::size_t>(std::ceil((std::log(y_lo) - origin) / bin_step));
    const double y_top = std::log(tail * tau_max);
    const auto rows =
        static_cast<std::size_t>(std::ceil((y_top - origin - static_cast<double>(k0) * bin_step) /
                                           (static_cast<double>(table_stride) * bin_step))) +
        1;
    // f at offsets k - b from -(bins) to k0 + stride rows.
    const std::size_t span = k0 + table_stride * rows + bins + 1;
    std::vector<double> kernel(span);
    for (std::size_t k = 0; k < span; ++k) {
        const double s = std::exp((static_cast<double>(k) - static_cast<double>(bins)) * bin_step);
        kernel[k] = s < 1e-8 ? s * (1.0 - 0.5 * s) : s * s / std::expm1(s);
    }
    const auto reach = static_cast<std::size_t>(std::log(tail) / bin_step) + 1;
    // Above y = 8 tau_max the terms of the hottest beams change too fast over a bin (the binned
    // sum would be off by (0.02 y / tau)^4): there G is summed over the beams themselves, those
    // with y / tau < 50.
    const double exact_above = std::log(exact_tail * tau_max);
    std::vector<double> g(rows, 0.0);
    double g_max = 0.0;
    for (std::size_t j = 0; j < rows; ++j) {
        const std::size_t k = k0 + table_stride * j;
        const double log_y = origin + static_cast<double>(k) * bin_step;
        double total = 0.0;
        if (log_y > exact_above) {
            const double y = std::exp(log_y);
            for (const fields::ThermalBeam& beam : beams) {
                const double tau = beam.w * beam.theta;
                const double h = beam.weight * beam.theta * beam.theta;
                if (h > 0.0 && tau > y / 50.0) {
                    const double s = y / tau;
                    total += h * s * s / std::expm1(s);
                }
            }
        } else {
            const std::size_t b_lo = k > reach ? k - reach : 0;
            for (std::size_t b = b_lo; b < bins; ++b) {
                total += weight[b] * kernel[k + bins - b];
            }
        }
        g[j] = total;
        g_max = std::max(g_max, total);
    }
    // Keep the rows above 1e-12 of the peak, with two more for the interpolation.
    std::size_t kept = rows;
    while (kept > 4 && !(g[kept - 3] > 1e-12 * g_max)) {
        --kept;
    }
    std::vector<double> log_g(kept);
    for (std::size_t j = 0; j < kept; ++j) {
        log_g[j] = std::log(std::max(g[j], 1e-300 * g_max));
    }
    const double step = static_cast<double>(table_stride) * bin_step;
    const double u0 = origin + static_cast<double>(k0) * bin_step + std::log(delta);
    // Pieces over which S falls by no more than e^6 (its Wien tail steepens), and no wider than
    // widest_piece.
    std::vector<Seed::Piece> pieces;
    const double u_end = u0 + step * static_cast<double>(kept - 1);
    double a = u0;
    while (a < u_end) {
        const auto i = std::min(static_cast<std::size_t>((a - u0) / step), kept - 2);
        const double slope = std::fabs(log_g[i + 1] - log_g[i]) / step;
        const double width = std::min(widest_piece, 6.0 / std::max(slope, 1e-3));
        const double b = std::min(a + width, u_end);
        pieces.push_back({a, u_end - b < 1e-3 * width ? u_end : b, Seed::Grade::none});
        a = pieces.back().b;
    }
    return {LogTable(u0, step, std::move(log_g)), std::move(pieces)};
}

Seed line_seed(const fields::Shell& shell, double r, double view, double eps_line, double delta) {
    std::vector<fields::Break> breaks = shell.breaks(r, view);
    double w_lo = shell.lowest(r, view);
    const double w_hi = shell.highest(r, view);
    if (!(w_hi > w_lo)) {
        return {};
    }
    const bool from_zero = !(w_lo > 0.0);
    if (from_zero) {
        w_lo = linear_floor * w_hi;
    }
    const double scale = delta * eps_line;
    std::vector<Seed::Piece> pieces;
    double a = w_lo;
    bool singular_a = false;
    for (const fields::Break& b : breaks) {
        if (b.w <= a) {
            singular_a = singular_a || (b.w == a && b.singular);
            continue;
        }
        const double end = std::min(b.w, w_hi);
        add_pieces(std::log(scale * a), std::log(scale * end), singular_a, b.singular && end == b.w,
                   widest_piece, pieces);
        a = end;
        singular_a = b.singular;
        if (a >= w_hi) {
            break;
        }
    }
    const double factor = 1.0 / (delta * eps_line * eps_line * eps_line * rest_energy);
    auto density = [shell, r, view, factor, scale](double x) {
        return factor * x * shell.density(r, view, x / scale);
    };
    return {std::move(density), std::move(pieces)};
}

Seed isotropic_line_seed(double u, double eps0, double delta) {
    if (!(u > 0.0)) {
        return {};
    }
    // S(x) = G(x / delta) = N0 x / (2 delta eps0^2), N0 = u / (eps0 m_e c^2).
    const double factor = u / (eps0 * rest_energy) / (2.0 * delta * eps0 * eps0);
    const double x_top = 2.0 * eps0 * delta;
    std::vector<Seed::Piece> pieces;
    add_pieces(std::log(linear_floor * x_top), std::log(x_top), false, false, widest_piece, pieces);
    return {[factor](double x) { return factor * x; }, std::move(pieces)};
}

Seed isotropic_seed(std::span<const double> seed_nu, std::span<const double> seed_intensity,
                    double delta) {
    // int I nu^-3 dnu over each interval, I_i (nu / nu_i)^-s: I_i nu_i^-2 int e^(-(s+2) t) dt.
    struct Interval {
        double t0; ///< ln nu at the ends
        double t1;
        double log_i; ///< ln(I_i nu_i^-2)
        double rate;  ///< s + 2
    };
    std::vector<Interval> intervals;
    for (std::size_t i = 0; i + 1 < seed_nu.size(); ++i) {
        if (seed_intensity[i] > 0.0 && seed_intensity[i + 1] > 0.0) {
            const double t0 = std::log(seed_nu[i]);
            const double t1 = std::log(seed_nu[i + 1]);
            const double s = -std::log(seed_intensity[i + 1] / seed_intensity[i]) / (t1 - t0);
            intervals.push_back({t0, t1, std::log(seed_intensity[i]) - 2.0 * t0, s + 2.0});
        }
    }
    if (intervals.empty()) {
        return {};
    }
    // int from t to t1 of e^(log_i - rate (t' - t0)) dt'.
    const auto partial = [](const Interval& v, double t) {
        const double length = v.t1 - t;
        const double start = std::exp(v.log_i - v.rate * (t - v.t0));
        return std::fabs(v.rate * length) < 1e-8 ? start * length
                                                 : start * -std::expm1(-v.rate * length) / v.rate;
    };
    std::vector<double> above(intervals.size() + 1, 0.0); // integral of the intervals from i up
    for (std::size_t i = intervals.size(); i-- > 0;) {
        above[i] = above[i + 1] + partial(intervals[i], intervals[i].t0);
    }
    // S(x) = 2 pi (x / delta) (m_e c^2)^2 / (c h^3) int_{nu_y} I nu^-3 dnu, nu_y = x / (2 delta
    // h').
    const double factor =
        2.0 * pi * rest_energy * rest_energy /
        (constants::speed_of_light * constants::planck * constants::planck * constants::planck) /
        delta;
    auto density = [intervals, above, factor, delta, partial](double x) {
        const double t = std::log(x / (2.0 * delta * to_eps));
        const auto it =
            std::upper_bound(intervals.begin(), intervals.end(), t,
                             [](double value, const Interval& v) { return value < v.t1; });
        if (it == intervals.end()) {
            return 0.0;
        }
        const auto i = static_cast<std::size_t>(it - intervals.begin());
        const double inside = t > it->t0 ? partial(*it, t) : partial(*it, it->t0);
        return factor * x * (inside + above[i + 1]);
    };
    // Breaks where a run of intervals starts or ends (x = 2 delta eps(nu)); below the table
    // S ~ x.
    const auto x_of = [delta](double t) { return std::log(2.0 * delta * to_eps) + t; };
    // S bends at every point of the table (its second derivative jumps there).
    std::vector<double> points{x_of(intervals.front().t0) + std::log(linear_floor)};
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        if (i == 0 || intervals[i - 1].t1 != intervals[i].t0) {
            points.push_back(x_of(intervals[i].t0));
        }
        points.push_back(x_of(intervals[i].t1));
    }
    std::vector<Seed::Piece> pieces;
    for (std::size_t k = 0; k + 1 < points.size(); ++k) {
        add_pieces(points[k], points[k + 1], false, false, widest_piece, pieces);
    }
    return {std::move(density), std::move(pieces)};
}

} // namespace sorvex::exact
