// Each interval of the electron grid is a power law n_i (gamma / gamma_i)^-s, so that
//   -gamma^2 d/dgamma (n / gamma^2) = (s + 2) n / gamma
// and both integrals share the kernel values. They are taken in u = ln gamma:
//   int n R dgamma = int n gamma R du,   int R (s + 2) n / gamma dgamma = (s + 2) int n R du.
// A 7-point Gauss-Kronrod rule first covers each interval; its nodes depend on the grid only,
// so their factors are computed once per call. The piece with the largest error estimate
// |K7 - G3| is then halved until, for each frequency, the estimates summed over all pieces are
// within synchrotron_tolerance of the integral. Intervals where the kernel is 0 everywhere
// (x >= 746 at their upper Lorentz factor) are skipped.
#include "core/radiation/exact/synchrotron.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "core/common/constants.hpp"
#include "core/parallel/worker_pool.hpp"
#include "core/radiation/exact/arguments.hpp"
#include "core/radiation/exact/power_law_table.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"
#include "core/radiation/exact/synchrotron_kernel.hpp"

namespace sorvex::exact {
namespace {

using Rule = rules::GaussKronrod<3>;
constexpr std::size_t rule_size = Rule::nodes.size();

/// j_nu = emission_constant nu_B int n R dgamma.
constexpr double emission_constant = constants::synchrotron_emission;
/// alpha_nu = absorption_constant nu_B / nu^2 int ... dgamma.
constexpr double absorption_constant = constants::synchrotron_absorption;

/// Most pieces the adaptive refinement may split one frequency's integral into; beyond, the
/// estimate is returned.
constexpr std::size_t max_refined_pieces = 2000;

/// One power-law interval of the electron grid and its frequency-independent node factors.
struct Interval {
    PowerLaw law{};
    double inv_g2_hi = 0.0; ///< 1 / gamma_(i+1)^2: x = X / gamma^2 is smallest there
    std::array<double, rule_size> inv_g2{};     ///< 1 / gamma^2 at the rule's nodes
    std::array<double, rule_size> emission{};   ///< half-width * n gamma at the nodes
    std::array<double, rule_size> absorption{}; ///< half-width * (s + 2) n at the nodes
};

struct Piece {
    double u_lo;
    double u_hi;
    std::size_t interval;
    double j;       ///< Kronrod estimate of the emission integral
    double j_error; ///< |Kronrod - Gauss|
    double a;
    double a_error;
};

/// Node factors of the rule on [u_lo, u_hi] inside interval `iv`.
void fill_nodes(const Interval& iv, double u_lo, double u_hi, std::array<double, rule_size>& inv_g2,
                std::array<double, rule_size>& emission,
                std::array<double, rule_size>& absorption) {
    const double mid = 0.5 * (u_lo + u_hi);
    const double half = 0.5 * (u_hi - u_lo);
    for (std::size_t k = 0; k < rule_size; ++k) {
        const double u = mid + half * Rule::nodes[k];
        const double gamma = std::exp(u);
        const double n = iv.law.at(u);
        inv_g2[k] = 1.0 / (gamma * gamma);
        emission[k] = half * n * gamma;
        absorption[k] = half * (iv.law.slope + 2.0) * n;
    }
}

/// Both integrals over one piece at X = 2 nu / (3 nu_B), from its node factors.
Piece integrate(std::size_t interval, double u_lo, double u_hi, double big_x,
                const std::array<double, rule_size>& inv_g2,
                const std::array<double, rule_size>& emission,
                const std::array<double, rule_size>& absorption) {
    double jk = 0.0;
    double jg = 0.0;
    double ak = 0.0;
    double ag = 0.0;
    for (std::size_t k = 0; k < rule_size; ++k) {
        const double r = synchrotron_kernel(big_x * inv_g2[k]);
        const double fj = emission[k] * r;
        const double fa = absorption[k] * r;
        jk += Rule::kronrod[k] * fj;
        jg += Rule::gauss[k] * fj;
        ak += Rule::kronrod[k] * fa;
        ag += Rule::gauss[k] * fa;
    }
    return {u_lo, u_hi, interval, jk, std::fabs(jk - jg), ak, std::fabs(ak - ag)};
}

Piece integrate_fresh(const Interval& iv, std::size_t interval, double u_lo, double u_hi,
                      double big_x) {
    std::array<double, rule_size> inv_g2{};
    std::array<double, rule_size> emission{};
    std::array<double, rule_size> absorption{};
    fill_nodes(iv, u_lo, u_hi, inv_g2, emission, absorption);
    return integrate(interval, u_lo, u_hi, big_x, inv_g2, emission, absorption);
}

struct Totals {
    double j = 0.0;
    double j_error = 0.0;
    double a = 0.0;
    double a_size = 0.0; ///< sum of |a| over the pieces: the scale of the absorption tolerance
    double a_error = 0.0;
};

Totals totals_of(const std::vector<Piece>& pieces) {
    Totals t;
    for (const Piece& p : pieces) {
        t.j += p.j;
        t.j_error += p.j_error;
        t.a += p.a;
        t.a_size += std::fabs(p.a);
        t.a_error += p.a_error;
    }
    return t;
}

/// (int n R dgamma, int R (s + 2) n / gamma dgamma) at X = 2 nu / (3 nu_B).
std::array<double, 2> integrals_at(const std::vector<Interval>& intervals, double big_x,
                                   bool absorption, std::vector<Piece>& pieces) {
    pieces.clear();
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        const Interval& iv = intervals[i];
        if (big_x * iv.inv_g2_hi >= synchrotron_kernel_zero_from) {
            continue;
        }
        pieces.push_back(
            integrate(i, iv.law.u_lo, iv.law.u_hi, big_x, iv.inv_g2, iv.emission, iv.absorption));
    }
    for (;;) {
        const Totals t = totals_of(pieces);
        const double j_allowed = synchrotron_tolerance * t.j;
        const double a_allowed = synchrotron_tolerance * t.a_size;
        const bool done = t.j_error <= j_allowed && (!absorption || t.a_error <= a_allowed);
        // A total that is not finite (n gamma overflowing) does not improve by splitting.
        if (done || pieces.size() >= max_refined_pieces || !std::isfinite(t.j + t.a)) {
            return {t.j, t.a};
        }
        // The piece that uses the largest share of either allowance.
        std::size_t worst = 0;
        double worst_share = -1.0;
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            double share = pieces[k].j_error / j_allowed;
            if (absorption) {
                share = std::max(share, pieces[k].a_error / a_allowed);
            }
            if (share > worst_share) {
                worst_share = share;
                worst = k;
            }
        }
        const Piece p = pieces[worst];
        const double mid = 0.5 * (p.u_lo + p.u_hi);
        if (!(p.u_lo < mid && mid < p.u_hi)) {
            return {t.j, t.a}; // no longer divisible in double precision
        }
        const Interval& iv = intervals[p.interval];
        pieces[worst] = integrate_fresh(iv, p.interval, p.u_lo, mid, big_x);
        pieces.push_back(integrate_fresh(iv, p.interval, mid, p.u_hi, big_x));
    }
}

std::vector<Interval> intervals_of(std::span<const double> gamma, std::span<const double> n) {
    std::vector<Interval> intervals;
    for (const PowerLaw& law : power_law_table(gamma, n)) {
        Interval iv;
        iv.law = law;
        const double g_hi = gamma[law.index + 1]; // a point of the grid: index + 1 < size
        iv.inv_g2_hi = 1.0 / (g_hi * g_hi);
        fill_nodes(iv, law.u_lo, law.u_hi, iv.inv_g2, iv.emission, iv.absorption);
        intervals.push_back(iv);
    }
    return intervals;
}

} // namespace

SynchrotronSpectrum synchrotron(std::span<const double> nu, std::span<const double> gamma,
                                std::span<const double> n, double b_field, bool absorption) {
    require_positive_values("nu", nu);
    require_table("gamma", gamma, GridFloor::lorentz_one, "n", n);
    require_positive("b_field", b_field);

    const std::vector<Interval> intervals = intervals_of(gamma, n);
    const double nu_b = constants::gyro_frequency_per_gauss * b_field;
    SynchrotronSpectrum out{std::vector<double>(nu.size(), 0.0),
                            std::vector<double>(nu.size(), 0.0)};
    // About 0.1 microseconds per kernel value; a coarse grid is refined to some 20 pieces.
    const double seconds = static_cast<double>(intervals.size() + 20) * 7.0 * 0.1e-6;
    parallel::parallel_for(
        nu.size(),
        [&](std::size_t f) {
            thread_local std::vector<Piece> pieces;
            const double big_x = 2.0 * nu[f] / (3.0 * nu_b);
            if (!(big_x < std::numeric_limits<double>::infinity())) {
                return; // x infinite for every electron: R = 0
            }
            const auto [j, a] = integrals_at(intervals, big_x, absorption, pieces);
            out.j_nu[f] = emission_constant * nu_b * j;
            if (absorption) {
                out.alpha_nu[f] = absorption_constant * nu_b / nu[f] / nu[f] * a;
            }
        },
        parallel::grain_for(seconds));
    require_numbers(out.j_nu, nu);
    require_numbers(out.alpha_nu, nu);
    return out;
}

} // namespace sorvex::exact
