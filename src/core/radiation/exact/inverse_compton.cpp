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
#include "core/radiation/exact/power_law_table.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"

namespace sorvex::exact {
namespace {

using ElectronRule = rules::GaussLegendre<4>; ///< nodes of a full electron piece
using LimitRule = rules::GaussLegendre<4>;    ///< nodes of an electron piece cut by a limit
using SeedRule = rules::GaussLegendre<3>;     ///< nodes of a seed piece
constexpr double electron_piece_width = 0.15; ///< widest electron piece, in ln gamma
constexpr double seed_piece_width = 0.3;      ///< widest seed piece, in ln nu0

/// e^(mid + half x_k) at the nodes x_k of rule R, which are symmetric about 0: one
/// exponential for each pair of nodes and one for the centre.
template <class R>
std::array<double, R::nodes.size()> exp_at_nodes(double mid, double half) {
    constexpr std::size_t size = R::nodes.size();
    std::array<double, size> out{};
    const double centre = std::exp(mid);
    for (std::size_t k = 0; k < size / 2; ++k) {
        const double factor = std::exp(half * R::nodes[size - 1 - k]);
        out[size - 1 - k] = centre * factor;
        out[k] = centre / factor;
    }
    if (size % 2 == 1) {
        out[size / 2] = centre;
    }
    return out;
}

/// Rule R for int_a^b y(x) g(x) dx with y = e^(log_y_a + rate (x - a)) and g smooth: calls
/// f(x_k, e^(x_k), w_k) so that sum w_k g(x_k) approximates the integral. Where y changes by
/// more than e^2 over [a, b], the nodes are those of R in s = (1 - e^(-|rate| tau)) / |rate|,
/// tau the distance from the end where y is largest, in which y dx = e^(..) ds: y is integrated
/// exactly however steep it is, and the nodes sit where y g is large.
template <class R, class F>
void power_law_nodes(double a, double b, double log_y_a, double rate, F&& f) {
    const double length = b - a;
    if (std::fabs(rate) * length <= 2.0) {
        const double mid = 0.5 * (a + b);
        const double half = 0.5 * length;
        const auto exp_x = exp_at_nodes<R>(mid, half);
        const auto y = exp_at_nodes<R>(log_y_a + rate * (mid - a), rate * half);
        for (std::size_t k = 0; k < R::nodes.size(); ++k) {
            f(mid + half * R::nodes[k], exp_x[k], half * R::weights[k] * y[k]);
        }
        return;
    }
    const bool rising = rate > 0.0;
    const double y_top = std::exp(rising ? log_y_a + rate * length : log_y_a);
    const double mu = -std::fabs(rate);
    const double half = 0.5 * std::expm1(mu * length) / mu;
    for (std::size_t k = 0; k < R::nodes.size(); ++k) {
        const double s = half + half * R::nodes[k];
        const double tau = std::log1p(mu * s) / mu;
        const double x = rising ? b - tau : a + tau;
        f(x, std::exp(x), y_top * half * R::weights[k]);
    }
}

/// Nodes of rule R on [a, b] (ln gamma) of electron power law `law` for int n / gamma^2 g dgamma
/// = int n / gamma g du: f(gamma_k, w_k).
template <class R, class F>
void electron_nodes(const PowerLaw& law, double a, double b, F&& f) {
    power_law_nodes<R>(a, b, law.log_at(a) - a, -(law.slope + 1.0),
                       [&](double, double gamma, double w) { f(gamma, w); });
}

/// The electrons as pieces with Gauss-Legendre nodes in u = ln gamma; the nodes of a piece are
/// contiguous and the pieces ascend.
class Electrons {
public:
    struct Piece {
        double gamma_lo;
        double gamma_hi;
        double u_lo; ///< ln gamma at the ends
        double u_hi;
        std::size_t law;
        std::size_t first; ///< index of the piece's first node
    };

    Electrons(std::span<const double> gamma, std::span<const double> n)
        : laws_(power_law_table(gamma, n)) {
        for (std::size_t l = 0; l < laws_.size(); ++l) {
            const PowerLaw& law = laws_[l];
            for_each_piece(law.u_lo, law.u_hi, electron_piece_width, [&](double a, double b) {
                pieces_.push_back({std::exp(a), std::exp(b), a, b, l, gamma_.size()});
                electron_nodes<ElectronRule>(law, a, b, [&](double g, double w) {
                    gamma_.push_back(g);
                    weight_.push_back(w);
                });
            });
        }
        if (!pieces_.empty()) {
            lowest_ = pieces_.front().gamma_lo;
            highest_ = pieces_.back().gamma_hi;
        }
    }

    const std::vector<Piece>& pieces() const { return pieces_; }
    const std::vector<double>& gamma() const { return gamma_; }
    const std::vector<double>& weight() const { return weight_; }
    const PowerLaw& law(std::size_t l) const { return laws_[l]; }
    double lowest() const { return lowest_; }
    double highest() const { return highest_; }
    std::size_t node_end(std::size_t piece) const {
        return piece + 1 < pieces_.size() ? pieces_[piece + 1].first : gamma_.size();
    }

private:
    std::vector<PowerLaw> laws_;
    std::vector<Piece> pieces_;
    std::vector<double> gamma_;
    std::vector<double> weight_;
    double lowest_ = 0.0;
    double highest_ = 0.0;
};

/// F(q, G) with g = G q.
inline double kernel(double q, double log_q, double g) {
    return 2.0 * q * log_q + (1.0 - q) * (1.0 + 2.0 * q + g * g / (2.0 * (1.0 + g)));
}

/// The inner integral int n / gamma^2 F dgamma for one scattered energy eps1, as a function of
/// the seed energy eps, on node tables made for eps1. Close above eps1 the kernel varies on the
/// scale d = gamma - eps1 (the Klein-Nishina regime), so there, up to 2 eps1, the pieces and
/// their nodes are laid out in ln d; above, the electrons' own pieces in ln gamma are used. The
/// pieces are located by d, which the kinematic limits give without cancellation.
class InnerIntegral {
public:
    /// Tables for seed energies up to eps_max; `tabulate`: with the coefficient sums, for many
    /// seed energies.
    InnerIntegral(const Electrons& electrons, double eps1, double eps_max, bool tabulate)
        : e_(electrons), eps1_(eps1) {
        const double floor = std::max(kinematics::d_min(eps_max, eps1), e_.lowest() - eps1);
        const double shift_below = 2.0 * eps1;
        const auto& pieces = e_.pieces();
        for (std::size_t p = 0; p < pieces.size(); ++p) {
            const Electrons::Piece& piece = pieces[p];
            if (!(piece.gamma_hi - eps1 > floor)) {
                continue;
            }
            if (piece.gamma_lo >= shift_below) {
                add_electron_piece(p);
                continue;
            }
            const double lo = std::max(piece.gamma_lo - eps1, floor);
            const double mid = std::min(piece.gamma_hi, shift_below) - eps1;
            if (lo < mid) {
                add_shifted(piece.law, lo, mid);
            }
            if (mid + eps1 < piece.gamma_hi) {
                add_piece(piece.law, mid, piece.gamma_hi - eps1, std::log(eps1 + mid), piece.u_hi,
                          false);
            }
        }
        if (tabulate) {
            tabulate_sums();
        }
        ends_.reserve(pieces_.size());
        for (const Piece& piece : pieces_) {
            ends_.push_back(piece.d_hi);
        }
    }

    double operator()(double eps) const {
        if (pieces_.empty()) {
            return 0.0;
        }
        const double lo = std::max(kinematics::d_min(eps, eps1_), pieces_.front().d_lo);
        const double hi = std::min(kinematics::d_max(eps, eps1_), pieces_.back().d_hi);
        if (!(lo < hi)) {
            return 0.0;
        }
        const double c = eps1_ / (4.0 * eps);
        // First piece that ends above lo, first piece that starts at or above hi (none below
        // the top of the grid, unless the photon is scattered down).
        const auto first_end = std::upper_bound(ends_.begin(), ends_.end(), lo);
        const auto first = pieces_.begin() + (first_end - ends_.begin());
        auto last = pieces_.end();
        if (hi < pieces_.back().d_hi) {
            last = std::lower_bound(first, pieces_.end(), hi,
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
    struct Piece {
        double d_lo; ///< gamma - eps1 at the ends
        double d_hi;
        double log_lo; ///< ln d (shifted) or ln gamma at the ends
        double log_hi;
        std::size_t law;
        bool shifted; ///< nodes in ln(gamma - eps1) rather than ln gamma
        std::size_t first;
        std::size_t end;
    };

    /// One node at Lorentz factor gamma = eps1 + d with the quadrature weight of n / gamma^2.
    void add_node(double gamma, double d, double weight) {
        const double g = eps1_ / d;
        const double a = 1.0 / (gamma * d);
        gamma_.push_back(gamma);
        weight_.push_back(weight);
        a_.push_back(a);
        log_a_.push_back(std::log(a));
        b_.push_back(g * g / (2.0 * (1.0 + g)));
    }

    /// An electron piece with the nodes made for every output frequency.
    void add_electron_piece(std::size_t p) {
        const Electrons::Piece& piece = e_.pieces()[p];
        const std::size_t first = gamma_.size();
        for (std::size_t k = piece.first; k < e_.node_end(p); ++k) {
            const double gamma = e_.gamma()[k];
            add_node(gamma, gamma - eps1_, e_.weight()[k]);
        }
        pieces_.push_back({piece.gamma_lo - eps1_, piece.gamma_hi - eps1_, piece.u_lo, piece.u_hi,
                           piece.law, false, first, gamma_.size()});
    }

    /// [lo, hi] (in d) of power law `law` as one piece with nodes in ln d (shifted) or ln gamma,
    /// whose values at the ends are log_lo and log_hi.
    void add_piece(std::size_t law_index, double lo, double hi, double log_lo, double log_hi,
                   bool shifted) {
        const PowerLaw& law = e_.law(law_index);
        const std::size_t first = gamma_.size();
        visit(law, log_lo, log_hi, shifted,
              [&](double gamma, double d, double w) { add_node(gamma, d, w); });
        pieces_.push_back({lo, hi, log_lo, log_hi, law_index, shifted, first, gamma_.size()});
    }

    /// [lo, hi] (in d) in pieces no wider than electron_piece_width in ln d.
    void add_shifted(std::size_t law, double lo, double hi) {
        const double v_lo = std::log(lo);
        const double v_hi = std::log(hi);
        const std::size_t count = piece_count(v_lo, v_hi, electron_piece_width);
        const double width = (v_hi - v_lo) / static_cast<double>(count);
        double a = lo;
        double log_a = v_lo;
        for (std::size_t p = 0; p < count; ++p) {
            const double log_b = p + 1 == count ? v_hi : v_lo + width * static_cast<double>(p + 1);
            const double b = p + 1 == count ? hi : std::exp(log_b);
            add_piece(law, a, b, log_a, log_b, true);
            a = b;
            log_a = log_b;
        }
    }

    /// Calls f(gamma, d, weight) at the nodes of rule R between log_lo and log_hi (ln d when
    /// shifted, ln gamma otherwise; d = gamma - eps1) of power law `law`, the weight being that
    /// of n / gamma^2 dgamma.
    template <class R = ElectronRule, class F>
    void visit(const PowerLaw& law, double log_lo, double log_hi, bool shifted, F&& f) const {
        if (shifted) {
            const double mid = 0.5 * (log_lo + log_hi);
            const double half = 0.5 * (log_hi - log_lo);
            const auto d = exp_at_nodes<R>(mid, half);
            for (std::size_t k = 0; k < R::nodes.size(); ++k) {
                const double gamma = eps1_ + d[k];
                const double w = half * R::weights[k];
                f(gamma, d[k], w * law.at(std::log(gamma)) * d[k] / (gamma * gamma));
            }
        } else {
            electron_nodes<R>(law, log_lo, log_hi,
                              [&](double gamma, double w) { f(gamma, gamma - eps1_, w); });
        }
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
        double total = 0.0;
        visit<LimitRule>(e_.law(piece.law), log_a, log_b, piece.shifted,
                         [&](double gamma, double d, double w) {
                             const double q = std::min(c / (gamma * d), 1.0);
                             total += w * kernel(q, std::log(q), eps1_ / d);
                         });
        return total;
    }

    const Electrons& e_;
    double eps1_;
    std::vector<Piece> pieces_;
    std::vector<double> ends_; ///< d_hi of the pieces, for the search
    std::vector<double> gamma_;
    std::vector<double> weight_;
    std::vector<double> a_;
    std::vector<double> log_a_;
    std::vector<double> b_;
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
                power_law_nodes<SeedRule>(
                    pa, pb, law.log_at(pa) - pa, -(law.slope + 1.0),
                    [&](double, double nu0, double w) { total += w * inner(nu0 * to_eps); });
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

    const Electrons electrons(gamma, n);
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

    const Electrons electrons(gamma, n);
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
