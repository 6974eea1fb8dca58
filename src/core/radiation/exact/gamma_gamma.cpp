// sigma_bar has the closed form of Gould & Schreder (1967). With b0 = sqrt(1 - 1/s0) and
// w0 = (1 + b0) / (1 - b0),
//   int_1^s0 s sigma(s) ds = 3/16 sigma_T phi(s0),
//   phi = (1 + b0^2) / (1 - b0^2) ln w0 - b0^2 ln w0 - ln^2 w0 - 4 b0 / (1 - b0^2) + 2 b0
//         + 4 ln w0 ln(1 + w0) - 4 L(w0),
//   L(w) = int_1^w ln(1 + x) / x dx = pi^2 / 12 + ln^2(w) / 2 + Li2(-1 / w),
// with the dilogarithm from its Bernoulli series in -ln(1 - x). Near the threshold the terms of
// phi cancel (phi ~ b0^3), so for b0 < 0.3 the integral is taken directly in b by Gauss-Legendre.
#include "core/radiation/exact/gamma_gamma.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/common/constants.hpp"
#include "core/parallel/worker_pool.hpp"
#include "core/radiation/exact/arguments.hpp"
#include "core/radiation/exact/kinematic_limits.hpp"
#include "core/radiation/exact/power_law_table.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"

namespace sorvex::exact {
namespace {

using SeedRule = rules::GaussLegendre<4>;
constexpr double max_piece_width = 0.3; ///< widest seed piece, in ln nu0
constexpr double direct_below = 0.3;    ///< b0 under which sigma_bar is integrated directly

/// Li2(x) for -1 <= x <= 0: sum_n B_n y^(n+1) / (n+1)! with y = -ln(1 - x), 0 <= y <= ln 2.
double dilog_negative(double x) {
    // B_n / (n + 1)! for n = 2, 4, ..., 16 (B_1 = -1/2 is written out).
    constexpr std::array<double, 8> c{1.0 / 36.0,
                                      -1.0 / 3600.0,
                                      1.0 / 211680.0,
                                      -1.0 / 10886400.0,
                                      1.0 / 526901760.0,
                                      -691.0 / 16999766784000.0,
                                      1.0 / 1120863744000.0,
                                      -3617.0 / 181400588328960000.0};
    const double y = -std::log1p(-x);
    const double y2 = y * y;
    double sum = 0.0;
    for (std::size_t k = c.size(); k-- > 0;) {
        sum = sum * y2 + c[k];
    }
    return y - 0.25 * y2 + y * y2 * sum;
}

/// int_1^s0 s sigma(s) ds / sigma_T in the variable b, for small b0.
double integral_direct(double b0) {
    using Rule = rules::GaussLegendre<8>;
    double total = 0.0;
    const double half = 0.5 * b0;
    for (std::size_t k = 0; k < Rule::nodes.size(); ++k) {
        const double b = half + half * Rule::nodes[k];
        const double b2 = b * b;
        const double bracket = (3.0 - b2 * b2) * 2.0 * std::atanh(b) - 2.0 * b * (2.0 - b2);
        // s sigma ds = 3/16 (1 - b^2) [..] s ds/db db, s = 1 / (1 - b^2), ds/db = 2b / (1-b^2)^2.
        total += Rule::weights[k] * 0.375 * b * bracket / ((1.0 - b2) * (1.0 - b2));
    }
    return half * total;
}

/// The same from the closed form; 1 - b0^2 = 1 / s0 keeps w0 = s0 (1 + b0)^2 accurate.
double integral_closed(double s0, double b0) {
    const double b2 = b0 * b0;
    const double w = s0 * (1.0 + b0) * (1.0 + b0);
    const double lw = std::log(w);
    const double big_l =
        constants::pi * constants::pi / 12.0 + 0.5 * lw * lw + dilog_negative(-1.0 / w);
    const double phi = s0 * (1.0 + b2) * lw - b2 * lw - lw * lw - 4.0 * b0 * s0 + 2.0 * b0 +
                       4.0 * lw * std::log1p(w) - 4.0 * big_l;
    return 0.1875 * phi;
}

} // namespace

double isotropic_pair_cross_section(double s0) {
    if (!(s0 > kinematics::pair_threshold)) {
        return 0.0;
    }
    const double b0 = std::sqrt(1.0 - 1.0 / s0);
    const double integral = b0 < direct_below ? integral_direct(b0) : integral_closed(s0, b0);
    return 2.0 / (s0 * s0) * integral;
}

std::vector<double> gamma_gamma_opacity(std::span<const double> nu, std::span<const double> seed_nu,
                                        std::span<const double> seed_intensity, double radius) {
    require_positive_values("nu", nu);
    require_table("seed_nu", seed_nu, GridFloor::positive, "seed_intensity", seed_intensity);
    require_positive("radius", radius);

    constexpr double to_eps = constants::planck_over_rest_energy;
    // alpha = sigma_T 4 pi / (c h) int dln(nu0) I sigma_bar.
    const double factor = radius * constants::thomson_cross_section * 4.0 * constants::pi /
                          (constants::speed_of_light * constants::planck);
    // The seed intervals I_i (nu0 / nu0_i)^-slope in t = ln nu0, read once.
    const std::vector<PowerLaw> seed = power_law_table(seed_nu, seed_intensity);
    std::vector<double> tau(nu.size(), 0.0);
    parallel::parallel_for(
        nu.size(),
        [&](std::size_t f) {
            const double eps_gamma = nu[f] * to_eps;
            // Seed frequencies above the threshold.
            const double t_threshold = std::log(kinematics::pair_threshold_frequency(eps_gamma));
            double total = 0.0;
            for (const PowerLaw& law : seed) {
                const double a = std::max(law.u_lo, t_threshold);
                if (!(a < law.u_hi)) {
                    continue;
                }
                for_each_piece(a, law.u_hi, max_piece_width, [&](double pa, double pb) {
                    const double mid = 0.5 * (pa + pb);
                    const double half = 0.5 * (pb - pa);
                    for (std::size_t k = 0; k < SeedRule::nodes.size(); ++k) {
                        const double t = mid + half * SeedRule::nodes[k];
                        const double s0 = std::exp(t) * to_eps * eps_gamma;
                        total += half * SeedRule::weights[k] * law.at(t) *
                                 isotropic_pair_cross_section(s0);
                    }
                });
            }
            tau[f] = factor * total;
        },
        parallel::grain_for(static_cast<double>(seed.size()) * 0.5e-6));
    require_numbers(tau, nu);
    return tau;
}

} // namespace sorvex::exact
