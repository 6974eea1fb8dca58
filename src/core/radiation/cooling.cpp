#include "core/radiation/cooling.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <unistd.h>

#include "core/common/constants.hpp"
#include "core/common/power_law.hpp"
#include "core/numerics/powi.hpp"
#include "core/numerics/pwl_integ.hpp"
#include "core/numerics/romberg.hpp"
#include "core/parallel/worker_pool.hpp"

namespace sorvex {
namespace {

/// (4/3) sigma_T / (m_e c), cm^3 s^-1 erg^-1.
constexpr double thomson_coefficient = 4.0 / 3.0 * constants::thomson_cross_section /
                                       (constants::electron_mass * constants::speed_of_light);
static_assert(thomson_coefficient == 3.2479641514432145e-08); // the bits of rad_cool_pwl and _mono
/// Scale of the Klein-Nishina parameter b = 4 K gamma nu, s.
constexpr double kn_scale = 6.53745089363765e-21;
/// 4 K: scales both working tables of rad_cool_pwl.
constexpr double four_k = 4.0 * kn_scale;
static_assert(four_k == 2.61498035745506e-20);
constexpr double eleven_sixths = 1.8333333333333333;
constexpr double floor_density = 1e-100; // scaled field densities

/// ln f_KN(b) on 1 <= b < 100, a cubic fit in L = ln b.
double kn_fit_exponent(double l) {
    return ((-0.67980349 * l + (-1.01819432)) + (-0.14948459 * powi(l, 2))) +
           0.00627589 * powi(l, 3);
}

/// Physical memory in bytes, or 0 when the system does not tell.
std::size_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) {
        return 0;
    }
    const auto p = static_cast<std::size_t>(pages);
    const auto s = static_cast<std::size_t>(page_size);
    return p > std::numeric_limits<std::size_t>::max() / s ? std::numeric_limits<std::size_t>::max()
                                                           : p * s;
}

/// One segment [k - 1, k] of the field for one Lorentz factor, in the scaled variables:
/// a = (gamma u) 4K, b = (4K gamma) nu.
double segment_rate(double a0, double a1, double b0, double b1, bool with_kn) {
    const double r = b1 / b0;
    const double q = power_law_index(b0, b1, a0, a1); // u ~ nu^-q inside the segment
    if (!with_kn || b0 < 0.001 || std::isnan(b0)) {
        return (a0 * b0) * pwl::p0(r, 1.0 - q, pwl::eps_cooling);
    }
    if (b0 < 1.0) {
        const auto kn = [](double x, double index) { return trans_kn(x, index); };
        return (a0 * qromb_w2arg(kn, b0, b1, q).unwrap()) * std::pow(b0, q);
    }
    if (b0 < 100.0) {
        const auto kn = [](double x, double index) { return trans_kn_fit(x, index); };
        return (a0 * qromb_w2arg(kn, b0, b1, q).unwrap()) * std::pow(b0, q);
    }
    // f_KN = 4.5 (ln b - 11/6) / b^2 integrated in closed form over t = b/b0.
    const double s = 1.0 - (q + 2.0);
    const double s1 = pwl::p1(r, s, pwl::eps_cooling);
    const double s2 = pwl::p0(r, s, pwl::eps_cooling);
    return ((4.5 * a0) * (s1 + (std::log(b0) - eleven_sixths) * s2)) / b0;
}

} // namespace

double trans_kn(double x, double q) {
    return std::pow(x, -q) * std::pow(1.0 + x, -1.5);
}

double trans_kn_fit(double x, double q) {
    return std::pow(x, -q) * std::exp(kn_fit_exponent(std::log(x)));
}

std::size_t rad_cool_table_size(std::size_t n_gamma, std::size_t n_nu) {
    const std::size_t rows = std::max<std::size_t>(n_gamma, 1);
    const std::size_t cols = std::max<std::size_t>(n_nu, 1);
    const auto shape = std::to_string(n_gamma) + " x " + std::to_string(n_nu);
    constexpr auto signed_limit =
        static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    if (rows > signed_limit || cols > signed_limit / rows) {
        stop("rad_cool_pwl: a table of " + shape + " entries does not fit a signed 64-bit size");
    }
    const std::size_t entries = rows * cols;
    // Two tables of doubles; a std::vector holds at most PTRDIFF_MAX bytes.
    constexpr std::size_t per_entry = 2 * sizeof(double);
    constexpr auto byte_limit =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (entries > byte_limit / per_entry) {
        stop("rad_cool_pwl: two tables of " + shape + " doubles exceed the address space");
    }
    const std::size_t memory = physical_memory();
    if (memory != 0 && entries * per_entry > memory) {
        stop("rad_cool_pwl: two tables of " + shape + " doubles need " +
             std::to_string(entries * per_entry) + " bytes, more than the " +
             std::to_string(memory) + " bytes of physical memory");
    }
    return entries;
}

Grid rad_cool_pwl(const Grid& gg, const Grid& freqs, const Grid& uu, bool with_kn) {
    if (gg.empty()) {
        return {};
    }
    require_length(freqs, 1, "freqs", "rad_cool_pwl");
    require_length(uu, freqs.size(), "uu", "rad_cool_pwl");
    const std::size_t n_nu = freqs.size();
    const std::size_t entries = rad_cool_table_size(gg.size(), n_nu);

    // Row i, column k: b = (4K gamma_i) nu_k, the Klein-Nishina parameter, and the scaled
    // density a = (gamma_i u_k) 4K.
    Grid b_table(entries);
    Grid a_table(entries);
    for (std::size_t i = 0; i < gg.size(); ++i) {
        for (std::size_t k = 0; k < n_nu; ++k) {
            b_table[i * n_nu + k] = (four_k * gg[i]) * freqs[k];
            a_table[i * n_nu + k] = (gg[i] * uu[k]) * four_k;
        }
    }

    return parallel::parallel_map(
        gg.size(),
        [&](std::size_t i) {
            if (n_nu == 1) {
                return 0.0;
            }
            const double* a = a_table.data() + i * n_nu;
            const double* b = b_table.data() + i * n_nu;
            double sum = 0.0;
            for (std::size_t k = 1; k < n_nu; ++k) {
                if (!(a[k] > floor_density) || !(a[k - 1] > floor_density)) {
                    continue; // also for NaN
                }
                sum = sum + segment_rate(a[k - 1], a[k], b[k - 1], b[k], with_kn);
            }
            return (sum * thomson_coefficient) / (four_k * four_k);
        },
        parallel::grain_for(static_cast<double>(n_nu) * 60e-9));
}

Grid rad_cool_mono(const Grid& gg, double nu0, double u0, bool with_kn) {
    Grid b(gg.size());
    for (std::size_t i = 0; i < gg.size(); ++i) {
        b[i] = ((4.0 * gg[i]) * nu0) * kn_scale;
    }
    return parallel::parallel_map(
        gg.size(),
        [&](std::size_t i) {
            // Thomson rate C_T gamma^2 beta^2 u0, with gamma^2 beta^2 = gamma^2 - 1 (NaN below 1).
            const double gamma = gg[i];
            const double momentum_squared = gamma * gamma - 1.0;
            const double base = (momentum_squared < 0.0 ? std::nan("") : momentum_squared) *
                                (thomson_coefficient * u0);
            if (!with_kn) {
                return base;
            }
            const double bi = b[i];
            if (bi >= 100.0) {
                return ((std::log(bi) - eleven_sixths) * (4.5 * base)) / powi(bi, 2);
            }
            if (bi >= 1.0) {
                return std::exp(kn_fit_exponent(std::log(bi))) * base;
            }
            if (bi > 0.001) {
                return std::pow(1.0 + bi, -1.5) * base;
            }
            return base; // Thomson, also for a NaN b
        },
        parallel::grain_for(40e-9));
}

} // namespace sorvex
