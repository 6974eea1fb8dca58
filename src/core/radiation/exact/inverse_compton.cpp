// Both integrals are Gauss-Legendre sums in logarithmic variables over pieces of the power-law
// intervals (a few tenths of an e-fold wide), with the kinematic limits of the inner integral
// taken exactly: the electron piece that contains a limit is integrated from that limit with
// rules of its own, so that the inner integrand is smooth on every piece. The seed pieces are
// cut where a limit crosses the end of the electron grid, where the inner integral has a kink.
//
// For one scattered energy eps1 the kernel at electron node gamma_k depends on the seed energy
// only through c = eps1 / (4 eps):
//   q = c A_k,  A_k = 1 / (gamma_k (gamma_k - eps1)),  b_k = (G q)^2 / (2 (1 + G q)),
//   G q = eps1 / (gamma_k - eps1),
// and F is a polynomial in c and c ln c with node coefficients:
//   F = (1 + b_k) + c A_k (2 ln A_k + 1 - b_k) + 2 c ln c A_k - 2 c^2 A_k^2.
// The sums of these coefficients times the weights over the nodes from k to the top are
// tabulated once per output frequency, so the full pieces of a seed energy, which run up to the
// top of the grid unless the seed photon is scattered down, cost four differences. (The sums
// run from the top, where n / gamma is usually smallest; the terms cancel to 2 q ln q and
// (1 - q) b, which loses a few digits of 1e-16, far below the quadrature error: the results
// move by less than 1e-12 against the sum node by node.)
#include "core/radiation/exact/inverse_compton.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <iterator>

#include "core/common/constants.hpp"
#include "core/parallel/worker_pool.hpp"
#include "core/radiation/exact/arguments.hpp"
#include "core/radiation/exact/kinematic_limits.hpp"
#include "core/radiation/exact/power_law_nodes.hpp"
#include "core/radiation/exact/power_law_table.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"

namespace sorvex::exact {
namespace {

using ElectronRule = rules::GaussLegendre<4>; ///< nodes of a full electron piece
using LimitRule = rules::GaussLegendre<4>;    ///< nodes of an electron piece cut by a limit
using SeedRule = rules::GaussLegendre<3>;     ///< nodes of a seed piece
constexpr double electron_piece_width = 0.15; ///< widest electron piece, in ln gamma
constexpr double seed_piece_width = 0.3;      ///< widest seed piece, in ln nu0

/// The electrons as pieces with Gauss-Legendre nodes in u = ln gamma.
using Electrons = ElectronPieces<ElectronRule>;

/// n at u = ln gamma on power law `law`.
double density(const PowerLaw& law, double u) {
    return law.at(u);
}

/// F(q, G) with g = G q.
inline double kernel(double q, double log_q, double g) {
    return 2.0 * q * log_q + (1.0 - q) * (1.0 + 2.0 * q + g * g / (2.0 * (1.0 + g)));
}

/// The inner integral int n / gamma^2 F dgamma for one scattered energy eps1, as a function of
/// the seed energy eps, on node tables made for eps1 (KernelLayout: in ln d up to 2 eps1, in
/// ln gamma above). The pieces are located by d, which the kinematic limits give without
/// cancellation.
class InnerIntegral {
public:
    /// Tables for seed energies up to eps_max; `tabulate`: with the coefficient sums, for many
    /// seed energies.
    InnerIntegral(const Electrons& electrons, double eps1, double eps_max, bool tabulate)
        : eps1_(eps1),
          layout_(electrons, eps1, kinematics::d_min(eps_max, eps1),
                  [this](double gamma, double d, double w) { add_node(gamma, d, w); }) {
        if (tabulate) {
            tabulate_sums();
        }
    }

    double operator()(double eps) const {
        const std::vector<Piece>& pieces = layout_.pieces();
        const std::vector<double>& ends = layout_.ends();
        if (pieces.empty()) {
            return 0.0;
        }
        const double lo = std::max(kinematics::d_min(eps, eps1_), pieces.front().d_lo);
        const double hi = std::min(kinematics::d_max(eps, eps1_), pieces.back().d_hi);
        if (!(lo < hi)) {
            return 0.0;
        }
        const double c = eps1_ / (4.0 * eps);
        // First piece that ends above lo, first piece that starts at or above hi (none below
        // the top of the grid, unless the photon is scattered down).
        const auto first_end = std::upper_bound(ends.begin(), ends.end(), lo);
        const auto first = pieces.begin() + (first_end - ends.begin());
        auto last = pieces.end();
        if (hi < pieces.back().d_hi) {
            last = std::lower_bound(first, pieces.end(), hi,
                                    [](const Piece& p, double d) { return p.d_lo < d; });
        }
        if (first == last) {
            return 0.0;
        }
        // Only the end pieces can be cut by [lo, hi]; the pieces between lie wholly inside.
        const auto top = std::prev(last);
        double total = 0.0;
        std::size_t full_begin = first->first;
        std::size_t full_end = top->end;
        const auto cut_end = [&](const Piece& piece) {
            const double a = std::max(lo, piece.d_lo);
            const double b = std::min(hi, piece.d_hi);
            if (a == piece.d_lo && b == piece.d_hi) {
                return false;
            }
            if (a < b) {
                total += cut_piece(piece, a, b, c);
            }
            return true;
        };
        if (cut_end(*first)) {
            full_begin = first->end;
        }
        if (top != first && cut_end(*top)) {
            full_end = top->first;
        }
        if (full_begin < full_end) {
            total += full_sum(full_begin, full_end, c);
        }
        return total;
    }

private:
    using Layout = KernelLayout<ElectronRule, density>;
    using Piece = Layout::Piece;

    /// One node at Lorentz factor gamma = eps1 + d with the quadrature weight of n / gamma^2.
    void add_node(double gamma, double d, double weight) {
        const double g = eps1_ / d;
        const double a = 1.0 / (gamma * d);
        weight_.push_back(weight);
        a_.push_back(a);
        log_a_.push_back(std::log(a));
        b_.push_back(g * g / (2.0 * (1.0 + g)));
    }

    /// The coefficient sums over the nodes from k to the top, for every k (0 above the top).
    void tabulate_sums() {
        const std::size_t size = weight_.size();
        suffix_.assign(size + 1, {0.0, 0.0, 0.0, 0.0});
        for (std::size_t k = size; k-- > 0;) {
            const double w = weight_[k];
            const double a = a_[k];
            const double wa = w * a;
            const std::array<double, 4>& above = suffix_[k + 1];
            suffix_[k] = {above[0] + w * (1.0 + b_[k]),
                          above[1] + wa * (2.0 * log_a_[k] + 1.0 - b_[k]), above[2] + wa,
                          above[3] + wa * a};
        }
    }

    /// Sum of w F over the tabulated nodes [begin, end): from the coefficient sums when the
    /// nodes run to the top, node by node otherwise.
    double full_sum(std::size_t begin, std::size_t end, double c) const {
        const double log_c = std::log(c);
        if (end != weight_.size() || suffix_.empty()) {
            return node_sum(begin, end, c, log_c);
        }
        const std::array<double, 4>& s = suffix_[begin];
        return s[0] + c * s[1] + 2.0 * c * log_c * s[2] - 2.0 * c * c * s[3];
    }

    /// Sum over the tabulated nodes [begin, end), four partial sums in a fixed order.
    double node_sum(std::size_t begin, std::size_t end, double c, double log_c) const {
        const double* w = weight_.data();
        const double* a = a_.data();
        const double* la = log_a_.data();
        const double* b = b_.data();
        std::array<double, 4> partial{};
        std::size_t k = begin;
        for (; k + 4 <= end; k += 4) {
            for (std::size_t m = 0; m < 4; ++m) {
                const double q = c * a[k + m];
                partial[m] += w[k + m] * (2.0 * q * (log_c + la[k + m]) +
                                          (1.0 - q) * (1.0 + 2.0 * q + b[k + m]));
            }
        }
        for (; k < end; ++k) {
            const double q = c * a[k];
            partial[0] += w[k] * (2.0 * q * (log_c + la[k]) + (1.0 - q) * (1.0 + 2.0 * q + b[k]));
        }
        return (partial[0] + partial[1]) + (partial[2] + partial[3]);
    }

    /// A piece cut to [a, b] (in d) by a kinematic limit, with a rule of its own.
    double cut_piece(const Piece& piece, double a, double b, double c) const {
        const auto log_of = [&](double d) { return std::log(piece.shifted ? d : eps1_ + d); };
        const double log_a = a == piece.d_lo ? piece.log_lo : log_of(a);
        const double log_b = b == piece.d_hi ? piece.log_hi : log_of(b);
        return layout_.sum<LimitRule>(piece, log_a, log_b, [&](double gamma, double d) {
            const double q = std::min(c / (gamma * d), 1.0);
            return kernel(q, std::log(q), eps1_ / d);
        });
    }

    double eps1_;
    std::vector<double> weight_; ///< the nodes' tables, filled as layout_ is built
    std::vector<double> a_;
    std::vector<double> log_a_;
    std::vector<double> b_;
    Layout layout_;
    std::vector<std::array<double, 4>> suffix_; ///< coefficient sums of F from node k up
};

/// 3 sigma_T / 4.
constexpr double ic_constant = 0.75 * constants::thomson_cross_section;

/// Whether some electron of the grid can scatter a photon of energy eps into eps1: eps in the
/// range that the inner integral meets at the ends of the grid, widened by 1e-9 so that rounding
/// never drops a term.
bool reaches(const Electrons& electrons, double eps, double eps1) {
    if (!(electrons.highest() > eps1)) {
        return false;
    }
    const auto [lo, hi] = kinematics::seeds_reaching(electrons.lowest(), electrons.highest(), eps1);
    return eps >= lo * (1.0 - 1e-9) && eps <= hi * (1.0 + 1e-9);
}

/// int dnu0 I / nu0^2 inner(eps) for one output frequency.
double seed_integral(const std::vector<PowerLaw>& seed, const InnerIntegral& inner,
                     const Electrons& electrons, double eps1) {
    const double g0 = electrons.lowest();
    const double g1 = electrons.highest();
    if (!(g1 > eps1)) {
        return 0.0;
    }
    constexpr double to_eps = constants::planck_over_rest_energy;
    // Seed energies that reach eps1 at all, and the kinks of the inner integral in between: where
    // a limit crosses an end of the grid, and where the upper limit in gamma appears.
    const auto [eps_lo, eps_hi] = kinematics::seeds_reaching(g0, g1, eps1);
    std::array<double, 3> kinks{g0 > eps1 ? kinematics::lowest_seed(g0, eps1) : 0.0,
                                kinematics::highest_seed(g1, eps1), eps1};
    std::sort(kinks.begin(), kinks.end());
    double total = 0.0;
    for (const PowerLaw& law : seed) {
        double a = std::max(law.u_lo, std::log(eps_lo / to_eps));
        const double b = std::min(law.u_hi, std::log(eps_hi / to_eps));
        if (!(a < b)) {
            continue;
        }
        std::array<double, 4> ends{};
        std::size_t count = 0;
        for (const double kink : kinks) {
            if (kink > 0.0) {
                const double t = std::log(kink / to_eps);
                if (a < t && t < b) {
                    ends[count++] = t;
                }
            }
        }
        ends[count++] = b;
        for (std::size_t e = 0; e < count; ++e) {
            for_each_piece(a, ends[e], seed_piece_width, [&](double pa, double pb) {
                // I / nu0^2 dnu0 = I / nu0 dt
                table_nodes<SeedRule>(
                    law, pa, pb, [&](double nu0, double w) { total += w * inner(nu0 * to_eps); });
            });
            a = ends[e];
        }
    }
    return total;
}

} // namespace

std::vector<double> inverse_compton(std::span<const double> nu, std::span<const double> seed_nu,
                                    std::span<const double> seed_intensity,
                                    std::span<const double> gamma, std::span<const double> n) {
    require_positive_values("nu", nu);
    require_table("seed_nu", seed_nu, GridFloor::positive, "seed_intensity", seed_intensity);
    require_table("gamma", gamma, GridFloor::lorentz_one, "n", n);

    const Electrons electrons(gamma, n, electron_piece_width);
    const std::vector<PowerLaw> seed = power_law_table(seed_nu, seed_intensity);
    const double eps_max =
        seed.empty() ? 0.0 : std::exp(seed.back().u_hi) * constants::planck_over_rest_energy;
    std::vector<double> j(nu.size(), 0.0);
    const double seconds =
        static_cast<double>(electrons.gamma().size()) * static_cast<double>(seed.size()) * 10e-9;
    parallel::parallel_for(
        nu.size(),
        [&](std::size_t f) {
            const double eps1 = nu[f] * constants::planck_over_rest_energy;
            if (!(electrons.highest() > eps1)) {
                return; // above the highest scattered energy
            }
            const InnerIntegral inner(electrons, eps1, eps_max, true);
            j[f] = ic_constant * nu[f] * seed_integral(seed, inner, electrons, eps1);
        },
        parallel::grain_for(seconds));
    require_numbers(j, nu);
    return j;
}

std::vector<double> inverse_compton_line(std::span<const double> nu, double u, double nu0,
                                         std::span<const double> gamma, std::span<const double> n) {
    require_positive_values("nu", nu);
    require_non_negative("u", u);
    require_positive("nu0", nu0);
    require_table("gamma", gamma, GridFloor::lorentz_one, "n", n);

    const Electrons electrons(gamma, n, electron_piece_width);
    // I = c u delta(nu0' - nu0) / (4 pi): the seed integral is c u / (4 pi nu0^2) inner(eps).
    const double seed_factor = constants::speed_of_light * u / (4.0 * constants::pi * nu0 * nu0);
    const double eps = nu0 * constants::planck_over_rest_energy;
    std::vector<double> j(nu.size(), 0.0);
    const double seconds = static_cast<double>(electrons.gamma().size()) * 20e-9;
    parallel::parallel_for(
        nu.size(),
        [&](std::size_t f) {
            const double eps1 = nu[f] * constants::planck_over_rest_energy;
            if (!reaches(electrons, eps, eps1)) {
                return;
            }
            const InnerIntegral inner(electrons, eps1, eps, false);
            j[f] = ic_constant * nu[f] * seed_factor * inner(eps);
        },
        parallel::grain_for(seconds));
    require_numbers(j, nu);
    return j;
}

} // namespace sorvex::exact
