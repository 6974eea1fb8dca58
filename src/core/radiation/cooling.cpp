#include "core/radiation/cooling.hpp"

#include <cmath>

#include "core/numerics/powi.hpp"
#include "core/parallel/worker_pool.hpp"

namespace sorvex {
namespace {

/// (4/3) sigma_T / (m_e c), cm^3 s^-1 erg^-1.
constexpr double thomson_coefficient = 3.2479641514432145e-08;
/// Scale of the Klein-Nishina parameter b = 4 K gamma nu, s.
constexpr double kn_scale = 6.53745089363765e-21;
constexpr double eleven_sixths = 1.8333333333333333;

/// ln f_KN(b) on 1 <= b < 100, a cubic fit in L = ln b.
double kn_fit_exponent(double l) {
    return ((-0.67980349 * l + (-1.01819432)) + (-0.14948459 * powi(l, 2))) +
           0.00627589 * powi(l, 3);
}

} // namespace

Grid rad_cool_pwl(const Grid&, const Grid&, const Grid&, bool) {
    stop("rad_cool_pwl: not available yet");
}

Grid rad_cool_mono(const Grid& gg, double nu0, double u0, bool with_kn) {
    Grid b(gg.size());
    for (std::size_t i = 0; i < gg.size(); ++i) {
        b[i] = ((4.0 * gg[i]) * nu0) * kn_scale;
    }
    return parallel::parallel_map(gg.size(), [&](std::size_t i) {
        const double gamma = gg[i];
        const double base = std::sqrt(gamma * gamma - 1.0) * (thomson_coefficient * u0);
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
    });
}

} // namespace sorvex
