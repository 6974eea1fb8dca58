// Gauss-Legendre nodes on pieces of power-law tables in u = ln x, the power law carried by the
// weights (integrated exactly where it is steep); and the electrons' pieces and nodes of the
// Compton kernels, laid out in d = gamma - eps1 next to the Klein-Nishina limit.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "core/radiation/exact/power_law_table.hpp"

namespace sorvex::exact {

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

/// Rule R for int_a^b y(u) g(u) du with y = e^(log_y_a + rate (u - a)) and g smooth: calls
/// f(e^(u_k), w_k) so that sum w_k g(u_k) approximates the integral. Where y changes by more
/// than e^2 over [a, b], the nodes are those of R in s = (1 - e^(-|rate| tau)) / |rate|, tau the
/// distance from the end where y is largest, in which y du = e^(..) ds: y is integrated exactly
/// however steep it is, and the nodes sit where y g is large.
template <class R, class F>
void power_law_nodes(double a, double b, double log_y_a, double rate, F&& f) {
    const double length = b - a;
    if (std::fabs(rate) * length <= 2.0) {
        const double mid = 0.5 * (a + b);
        const double half = 0.5 * length;
        const auto e_u = exp_at_nodes<R>(mid, half);
        const auto y = exp_at_nodes<R>(log_y_a + rate * (mid - a), rate * half);
        for (std::size_t k = 0; k < R::nodes.size(); ++k) {
            f(e_u[k], half * R::weights[k] * y[k]);
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
        f(std::exp(rising ? b - tau : a + tau), y_top * half * R::weights[k]);
    }
}

/// Nodes of rule R on [a, b] (ln x) of the table interval `law` for int y / x^2 g dx
/// = int y / x g du (electrons n / gamma^2 dgamma, a seed I / nu0^2 dnu0): f(x_k, w_k).
template <class R, class F>
void table_nodes(const PowerLaw& law, double a, double b, F&& f) {
    power_law_nodes<R>(a, b, law.log_at(a) - a, -(law.slope + 1.0), f);
}

/// The electrons n(gamma) as pieces of their power laws no wider than `widest` in u = ln gamma,
/// with the nodes of rule R for int n / gamma^2 dgamma; the pieces ascend, and the nodes of a
/// piece are contiguous.
template <class R>
class ElectronPieces {
public:
    struct Piece {
        double gamma_lo;
        double gamma_hi;
        double u_lo; ///< ln gamma at the ends
        double u_hi;
        std::size_t law;
        std::size_t first; ///< the piece's nodes [first, end)
        std::size_t end;
    };

    ElectronPieces(std::span<const double> gamma, std::span<const double> n, double widest)
        : laws_(power_law_table(gamma, n)), widest_(widest) {
        for (std::size_t l = 0; l < laws_.size(); ++l) {
            const PowerLaw& law = laws_[l];
            for_each_piece(law.u_lo, law.u_hi, widest, [&](double a, double b) {
                const std::size_t first = gamma_.size();
                table_nodes<R>(law, a, b, [&](double g, double w) {
                    gamma_.push_back(g);
                    weight_.push_back(w);
                });
                pieces_.push_back({std::exp(a), std::exp(b), a, b, l, first, gamma_.size()});
            });
        }
        if (!pieces_.empty()) {
            lowest_ = pieces_.front().gamma_lo;
            highest_ = pieces_.back().gamma_hi;
        }
    }

    bool empty() const { return pieces_.empty(); }
    const std::vector<PowerLaw>& laws() const { return laws_; }
    const PowerLaw& law(std::size_t l) const { return laws_[l]; }
    const std::vector<Piece>& pieces() const { return pieces_; }
    const std::vector<double>& gamma() const { return gamma_; }
    const std::vector<double>& weight() const { return weight_; }
    double widest() const { return widest_; }
    double lowest() const { return lowest_; } ///< 0 without electrons
    double highest() const { return highest_; }

private:
    std::vector<PowerLaw> laws_;
    double widest_;
    std::vector<Piece> pieces_;
    std::vector<double> gamma_;
    std::vector<double> weight_;
    double lowest_ = 0.0;
    double highest_ = 0.0;
};

/// The electrons above d = max(d_floor, lowest gamma - eps1), d = gamma - eps1, laid out for a
/// kernel of the scattered energy eps1. Close above eps1 the kernel varies on the scale d (the
/// Klein-Nishina regime), so there, up to 2 eps1, the pieces have nodes in ln d, as wide at most
/// as the electrons' own pieces, which are used above. n at the nodes in ln d is
/// density(law, ln gamma).
template <class R, auto density>
class KernelLayout {
public:
    struct Piece {
        double d_lo; ///< gamma - eps1 at the ends
        double d_hi;
        double log_lo; ///< ln d (shifted) or ln gamma at the ends
        double log_hi;
        std::size_t law;
        bool shifted;      ///< nodes in ln(gamma - eps1) rather than ln gamma
        std::size_t first; ///< the piece's nodes [first, end)
        std::size_t end;
    };

    /// Calls add_node(gamma, d, w) at the nodes in order, w the weight of n / gamma^2 dgamma.
    template <class AddNode>
    KernelLayout(const ElectronPieces<R>& electrons, double eps1, double d_floor,
                 AddNode&& add_node)
        : electrons_(electrons), eps1_(eps1) {
        pieces_.reserve(electrons.pieces().size() + 32);
        std::size_t nodes = 0;
        const auto node = [&](double gamma, double d, double w) {
            add_node(gamma, d, w);
            ++nodes;
        };
        const auto add = [&](std::size_t law, double lo, double hi, double log_lo, double log_hi,
                             bool shifted) {
            const std::size_t first = nodes;
            visit<R>(law, log_lo, log_hi, shifted, node);
            pieces_.push_back({lo, hi, log_lo, log_hi, law, shifted, first, nodes});
        };
        const double floor = std::max(d_floor, electrons.lowest() - eps1);
        const double shift_below = 2.0 * eps1;
        for (const auto& piece : electrons.pieces()) {
            if (!(piece.gamma_hi - eps1 > floor)) {
                continue;
            }
            if (piece.gamma_lo >= shift_below) {
                const std::size_t first = nodes;
                for (std::size_t k = piece.first; k < piece.end; ++k) {
                    const double gamma = electrons.gamma()[k];
                    node(gamma, gamma - eps1, electrons.weight()[k]);
                }
                pieces_.push_back({piece.gamma_lo - eps1, piece.gamma_hi - eps1, piece.u_lo,
                                   piece.u_hi, piece.law, false, first, nodes});
                continue;
            }
            const double lo = std::max(piece.gamma_lo - eps1, floor);
            const double mid = std::min(piece.gamma_hi, shift_below) - eps1;
            if (lo < mid) {
                // [lo, mid] in equal pieces of ln d, their ends in d exact at lo and mid
                const double v_lo = std::log(lo);
                const double v_hi = std::log(mid);
                const std::size_t count = piece_count(v_lo, v_hi, electrons.widest());
                const double width = (v_hi - v_lo) / static_cast<double>(count);
                double a = lo;
                double log_a = v_lo;
                for (std::size_t p = 0; p < count; ++p) {
                    const double log_b =
                        p + 1 == count ? v_hi : v_lo + width * static_cast<double>(p + 1);
                    const double b = p + 1 == count ? mid : std::exp(log_b);
                    add(piece.law, a, b, log_a, log_b, true);
                    a = b;
                    log_a = log_b;
                }
            }
            if (mid + eps1 < piece.gamma_hi) {
                add(piece.law, mid, piece.gamma_hi - eps1, std::log(eps1 + mid), piece.u_hi, false);
            }
        }
        ends_.reserve(pieces_.size());
        for (const Piece& piece : pieces_) {
            ends_.push_back(piece.d_hi);
        }
    }

    /// The pieces in ascending order, and their upper ends d_hi for the searches.
    const std::vector<Piece>& pieces() const { return pieces_; }
    const std::vector<double>& ends() const { return ends_; }

    /// sum w f(gamma, d) over the nodes of rule Q between log_lo and log_hi (ln d or ln gamma,
    /// as the piece) of `piece`: a piece cut by a kinematic limit, with a rule of its own.
    template <class Q, class F>
    double sum(const Piece& piece, double log_lo, double log_hi, F&& f) const {
        double total = 0.0;
        visit<Q>(piece.law, log_lo, log_hi, piece.shifted,
                 [&](double gamma, double d, double w) { total += w * f(gamma, d); });
        return total;
    }

private:
    /// f(gamma, d, w) at the nodes of rule Q between log_lo and log_hi (ln d when shifted,
    /// ln gamma otherwise) of power law `law`, w the weight of n / gamma^2 dgamma.
    template <class Q, class F>
    void visit(std::size_t law, double log_lo, double log_hi, bool shifted, F&& f) const {
        const PowerLaw& power_law = electrons_.law(law);
        if (!shifted) {
            table_nodes<Q>(power_law, log_lo, log_hi,
                           [&](double gamma, double w) { f(gamma, gamma - eps1_, w); });
            return;
        }
        const double mid = 0.5 * (log_lo + log_hi);
        const double half = 0.5 * (log_hi - log_lo);
        const auto d = exp_at_nodes<Q>(mid, half);
        for (std::size_t k = 0; k < Q::nodes.size(); ++k) {
            const double gamma = eps1_ + d[k];
            f(gamma, d[k],
              half * Q::weights[k] * density(power_law, std::log(gamma)) * d[k] / (gamma * gamma));
        }
    }

    const ElectronPieces<R>& electrons_;
    double eps1_;
    std::vector<Piece> pieces_;
    std::vector<double> ends_;
};

} // namespace sorvex::exact
