#include "core/radiation/inverse_compton.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "core/common/constants.hpp"
#include "core/common/power_law.hpp"
#include "core/numerics/pwl_integ.hpp"
#include "core/parallel/worker_pool.hpp"

namespace sorvex {
namespace {

using constants::planck;
using constants::speed_of_light;

// The results of ic_iso_powlaw_full and ic_iso_monochrome_full are fixed to the bits of these two
// values, which differ from those of constants.hpp: sigma_T one unit in the last place above
// CODATA's (its value in m^2 times 1e4), and m_e c^2 / 4 from the product of CODATA's m_e and c^2
// (9.3e-12 below CODATA's m_e c^2 / 4).
constexpr double thomson_cross_section = 6.6524587321000005e-25;       ///< cm^2
constexpr double quarter_electron_rest_energy = 2.0467764442059716e-7; ///< m_e c^2 / 4, erg

constexpr double floor_density = 1e-200; // seed intensities and electron densities
bool is_open(double y0, double y1) {
    return y0 > floor_density && y1 > floor_density;
}

/// Electron intervals of a grid: which are above the floor, their index p and g_j^p. None of
/// it depends on the output frequency, so it is computed once per call.
struct ElectronIntervals {
    std::vector<char> open;
    std::vector<double> index;
    std::vector<double> g_pow;

    ElectronIntervals(const Grid& g, const Grid& n) {
        const std::size_t count = g.size() < 2 ? 0 : g.size() - 1;
        open.assign(count, 0);
        index.assign(count, 0.0);
        g_pow.assign(count, 0.0);
        for (std::size_t j = 0; j < count; ++j) {
            if (is_open(n[j], n[j + 1])) {
                open[j] = 1;
                index[j] = power_law_index(g[j], g[j + 1], n[j], n[j + 1]);
                g_pow[j] = std::pow(g[j], index[j]);
            }
        }
    }
};

} // namespace

double ic_pair_integral(double g_lo, double g_hi, double y_lo, double y_hi, double e, double f) {
    const double x_lo = 1.0 / (g_hi * g_hi);
    const double g2 = g_lo * g_lo;
    const double x_hi = 1.0 / g2;
    if (!(y_hi > g2)) {
        return sscr(x_lo, x_hi, y_lo, y_hi, e, f) - sscr(x_lo, x_hi, y_lo, y_hi, e + 1.0, f);
    }
    // Above y = g_lo^2 the kinematic bound x <= 1/y cuts the rectangle: with t = x y the part is
    // int y^f (int_{y/g_hi^2}^1 t^e (1 - t) dt) dy.
    double below = 0.0;
    if (y_lo < g2) {
        below = sscr(x_lo, x_hi, y_lo, g2, e, f) - sscr(x_lo, x_hi, y_lo, g2, e + 1.0, f);
    }
    const double y_mid = std::fmax(y_lo, g2);
    const double above =
        sscs(x_lo, 1.0, y_mid, y_hi, e, f) - sscs(x_lo, 1.0, y_mid, y_hi, e + 1.0, f);
    return below + above;
}

Grid ic_iso_powlaw_full(const Grid& freqs, const Grid& inu, const Grid& g, const Grid& n) {
    constexpr const char* name = "ic_iso_powlaw_full";
    if (freqs.empty()) {
        return {};
    }
    require_length(inu, freqs.size(), "inu", name);
    require_length(n, g.size(), "n", name);

    // Seed intervals: floor test and spectral index alpha, independent of the output frequency.
    const std::size_t n_seed = freqs.size() - 1;
    std::vector<char> seed_open(n_seed, 0);
    std::vector<double> seed_index(n_seed, 0.0);
    bool any_seed_open = false;
    for (std::size_t i = 0; i < n_seed; ++i) {
        if (is_open(inu[i], inu[i + 1])) {
            seed_open[i] = 1;
            seed_index[i] = power_law_index(freqs[i], freqs[i + 1], inu[i], inu[i + 1]);
            any_seed_open = true;
        }
    }
    if (any_seed_open) {
        require_length(g, 1, "g", name);
    }
    const ElectronIntervals electrons(g, n);
    const std::size_t n_el = electrons.open.size();

    return parallel::parallel_map(
        freqs.size(),
        [&](std::size_t k) {
            const double nu = freqs[k];
            double j = 0.0;
            for (std::size_t i = 0; i < n_seed; ++i) {
                if (seed_open[i] == 0) {
                    continue;
                }
                const double alpha = seed_index[i];
                if (g.size() == 1) {
                    continue;
                }
                const double gamma_kn = quarter_electron_rest_energy / (planck * freqs[i + 1]);
                const double w = nu / (4.0 * freqs[i]);
                const double gamma_hi = std::fmin(g.back(), gamma_kn);
                const double gamma_lo = std::fmax(g.front(), std::sqrt(w));
                if (!(gamma_lo < gamma_hi)) {
                    continue;
                }
                const double w2 = nu / (4.0 * freqs[i + 1]);
                const double y_lo = std::fmax(w2, 0.25);
                const double weight = std::pow(w, -alpha);
                for (std::size_t jj = 0; jj < n_el; ++jj) {
                    const double g_j = g[jj];
                    // Only intervals that start inside [gamma_lo, gamma_hi] are taken.
                    if (!(gamma_lo <= g_j && g_j <= gamma_hi) || electrons.open[jj] == 0) {
                        continue;
                    }
                    const double p = electrons.index[jj];
                    const double g_top = std::fmin(g[jj + 1], gamma_kn);
                    const double y_hi = std::fmin(w, g_top * g_top);
                    if (!(y_hi > y_lo)) {
                        continue;
                    }
                    const double e = (p - 1.0) / 2.0;
                    const double f = ((2.0 * alpha - p) - 1.0) / 2.0;
                    const double s = ic_pair_integral(g_j, g_top, y_lo, y_hi, e, f);
                    j = j + weight * (thomson_cross_section *
                                      (inu[i] * (electrons.g_pow[jj] * (n[jj] * s))));
                }
            }
            return j;
        },
        parallel::grain_for(static_cast<double>(n_seed * n_el) * 5e-9));
}

Grid ic_iso_monochrome_full(const Grid& freqs, double uext, double nuext, const Grid& n,
                            const Grid& g) {
    constexpr const char* name = "ic_iso_monochrome_full";
    if (freqs.empty()) {
        return {};
    }
    require_length(g, 1, "g", name);
    require_length(n, g.size(), "n", name);

    const double gamma_kn = quarter_electron_rest_energy / (planck * nuext);
    const ElectronIntervals electrons(g, n);
    const std::size_t n_el = electrons.open.size();

    return parallel::parallel_map(
        freqs.size(),
        [&](std::size_t k) {
            if (g.size() == 1) {
                return 0.0;
            }
            const double w = freqs[k] / (4.0 * nuext);
            double sum = 0.0;
            for (std::size_t jj = 0; jj < n_el; ++jj) {
                if (electrons.open[jj] == 0) {
                    continue;
                }
                const double g_j = g[jj];
                const double e = (electrons.index[jj] - 1.0) / 2.0;
                const double g_top = std::fmin(g[jj + 1], gamma_kn);
                const double g_j2 = g_j * g_j;
                const double g_top2 = g_top * g_top;
                double ratio = 0.0; // R: upper end of the x-range over its lower end 1/G^2
                if (g_j <= g_top && w >= 0.25 && w <= g_j2) {
                    const double q = g_top / g_j;
                    ratio = q * q; // the whole interval
                } else if (g_j2 < w && w <= g_top2) {
                    ratio = g_top2 / w; // gamma >= sqrt(w) only
                } else {
                    continue;
                }
                const double a = w / g_top2;
                const double t = (std::pow(w, -e) * std::pow(a, e + 1.0)) *
                                 (pwl::p0(ratio, e + 1.0, pwl::eps_segment) -
                                  a * pwl::p0(ratio, e + 2.0, pwl::eps_segment));
                sum = sum + (t * electrons.g_pow[jj]) * n[jj];
            }
            return (uext * ((sum * speed_of_light) * thomson_cross_section)) / nuext;
        },
        parallel::grain_for(static_cast<double>(n_el) * 40e-9));
}

} // namespace sorvex
