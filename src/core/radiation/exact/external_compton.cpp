// External Compton by reduction to one seed variable.
//
// In the head-on approximation an electron of Lorentz factor gamma scatters a photon of energy eps
// into its own direction; with psi the angle between the photon and that direction,
// eps_bar = gamma eps (1 - cos psi), and (Dermer & Menon 2009, eq. 6.100)
//   dN / (dt deps_s) = (3 sigma_T c / (8 gamma^2 eps)) Xi,
//   Xi = y + 1/y - 2 t + t^2,  y = 1 - eps_s / gamma,  t = eps_s / (gamma eps_bar y),
// for eps_bar / (2 gamma) <= eps_s <= 2 gamma eps_bar / (1 + 2 eps_bar), i.e. t <= 2. The photon
// enters only through x = eps (1 - cos psi) (blob frame). Isotropic electrons n(gamma) emit toward
// the observer, per steradian (energies in m_e c^2),
//   j_nu = h eps_s (3 c sigma_T / (32 pi)) int dln x S(x) K(eps_s, x),
//   K = int dgamma n / gamma^2 Xi,  t = eps_s A / x,  A = 1 / (gamma (gamma - eps_s)),
//   S(x) dln x = int dOmega deps n_ph(eps, Omega) (1 - cos psi) delta(x - eps (1 - cos psi)) dx,
// n_ph the blob-frame photons per cm^3 per unit eps per sr. Since eps (1 - cos psi) eps_s is
// invariant and n_ph / eps^2 and eps deps dOmega are too, S follows from the nucleus frame with
// the Doppler factor delta toward the observer alone: x = delta eps (1 - cos psi) there, and
//   S(x) = G(x / delta),  G(y) dy = int dOmega deps n(eps, Omega) w delta(y - eps w) dy,
// w = 1 - cos psi in the nucleus' frame. (The result depends on gamma_bulk only through delta.)
//
// K is a quadratic in c = eps_s / x with coefficients of the electron nodes alone,
//   Xi = P - 2 c A + c^2 A^2,  P = y + 1/y = (d^2 + gamma^2) A,  d = gamma - eps_s,
// over the nodes with t <= 2, i.e. gamma d >= c / 2. The sums of w P, w A and w A^2 from each node
// to the top of the grid are tabulated once per output frequency, so K costs a search, the
// electron piece cut by the limit (integrated with a rule of its own) and three products. The
// seed integral runs over pieces in ln x, cut where K has a kink (the limits meet the ends and
// the breaks of the electron grid, and x = 2 eps_s), with nodes fixed per seed elsewhere.
#include "core/radiation/exact/external_compton.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <utility>

#include "core/parallel/worker_pool.hpp"
#include "core/radiation/exact/arguments.hpp"
#include "core/common/constants.hpp"
#include "core/radiation/exact/external_fields.hpp"
#include "core/radiation/exact/external_seed.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"

namespace sorvex::exact {
namespace {

using constants::pi;
constexpr double to_eps = constants::planck_over_rest_energy;
constexpr double c_light = constants::speed_of_light;

using ElectronRule = rules::GaussLegendre<3>; ///< nodes of an electron piece
using LimitRule = rules::GaussLegendre<3>;    ///< nodes of an electron piece cut by the limit
constexpr double electron_piece_width = 0.15; ///< widest electron piece, in ln gamma
constexpr double slope_break = 0.05;          ///< change of the electron index taken as a kink

// ---------------------------------------------------------------------------------------------
// Electrons

/// One power law value_lo (x / x_lo)^-slope on [x_lo, x_hi], in logarithms u = ln x.
struct PowerLaw {
    double u_lo;
    double u_hi;
    double slope;
    double log_value_lo;

    double log_at(double u) const { return log_value_lo - slope * (u - u_lo); }
};

/// e^(mid + half x_k) at the symmetric nodes x_k of rule R.
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

/// Rule R for int_a^b e^(log_y_a + rate (u - a)) g(u) du: f(e^u_k, weight_k) with the power law
/// in the weight. Where it changes by more than e^2 over [a, b], the nodes are those of R in
/// s = (1 - e^(-|rate| tau)) / |rate|, tau from the end where it is largest, which integrates the
/// power law exactly however steep it is.
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

/// The electrons: power laws, and pieces of them with Gauss-Legendre nodes in ln gamma whose
/// weights are those of int n / gamma^2 dgamma = int n / gamma du.
class Electrons {
public:
    struct Piece {
        double gamma_lo;
        double gamma_hi;
        double u_lo;
        double u_hi;
        std::size_t law;
        std::size_t first;
        std::size_t end;
    };

    Electrons(std::span<const double> gamma, std::span<const double> n) {
        for (std::size_t i = 0; i + 1 < gamma.size(); ++i) {
            if (!(n[i] > 0.0 && n[i + 1] > 0.0)) {
                continue;
            }
            const double u_lo = std::log(gamma[i]);
            const double u_hi = std::log(gamma[i + 1]);
            const double slope = -std::log(n[i + 1] / n[i]) / (u_hi - u_lo);
            // A kink of K where the index changes, or where a gap in the electrons starts or ends.
            if (laws_.empty() || laws_.back().u_hi != u_lo ||
                std::fabs(slope - laws_.back().slope) > slope_break) {
                if (!laws_.empty()) {
                    kinks_.push_back(std::exp(laws_.back().u_hi));
                }
                kinks_.push_back(gamma[i]);
            }
            laws_.push_back({u_lo, u_hi, slope, std::log(n[i])});
        }
        if (!laws_.empty()) {
            kinks_.push_back(std::exp(laws_.back().u_hi));
        }
        std::sort(kinks_.begin(), kinks_.end());
        kinks_.erase(std::unique(kinks_.begin(), kinks_.end()), kinks_.end());
        for (std::size_t l = 0; l < laws_.size(); ++l) {
            const PowerLaw& law = laws_[l];
            const double count = std::ceil((law.u_hi - law.u_lo) / electron_piece_width);
            const std::size_t pieces = count > 1.0 ? static_cast<std::size_t>(count) : 1;
            const double width = (law.u_hi - law.u_lo) / static_cast<double>(pieces);
            for (std::size_t p = 0; p < pieces; ++p) {
                const double a = law.u_lo + width * static_cast<double>(p);
                const double b = p + 1 == pieces ? law.u_hi : a + width;
                const std::size_t first = gamma_.size();
                nodes<ElectronRule>(law, a, b, [&](double g, double w) {
                    gamma_.push_back(g);
                    weight_.push_back(w);
                });
                pieces_.push_back({std::exp(a), std::exp(b), a, b, l, first, gamma_.size()});
            }
        }
    }

    /// Nodes of rule R on [a, b] (ln gamma) of power law `law`: f(gamma_k, weight_k).
    template <class R, class F>
    static void nodes(const PowerLaw& law, double a, double b, F&& f) {
        power_law_nodes<R>(a, b, law.log_at(a) - a, -(law.slope + 1.0), f);
    }

    bool empty() const { return pieces_.empty(); }
    double lowest() const { return pieces_.front().gamma_lo; }
    double highest() const { return pieces_.back().gamma_hi; }
    const std::vector<Piece>& pieces() const { return pieces_; }
    const std::vector<double>& gamma() const { return gamma_; }
    const std::vector<double>& weight() const { return weight_; }
    const PowerLaw& law(std::size_t l) const { return laws_[l]; }
    /// Lorentz factors where K has a kink: the ends of each run of electrons and its breaks.
    const std::vector<double>& kinks() const { return kinks_; }

private:
    std::vector<PowerLaw> laws_;
    std::vector<Piece> pieces_;
    std::vector<double> gamma_;
    std::vector<double> weight_;
    std::vector<double> kinks_;
};

/// K(eps_s, x) for one scattered energy eps_s, on node tables made for it. Above eps_s the kernel
/// varies on the scale d = gamma - eps_s (the Klein-Nishina regime), so up to 2 eps_s the pieces
/// have nodes in ln d; above, the electrons' own pieces are used.
class HeadOnKernel {
public:
    /// Tables for x <= x_max.
    HeadOnKernel(const Electrons& electrons, double eps_s, double x_max)
        : e_(electrons), eps_s_(eps_s) {
        const std::size_t capacity = e_.gamma().size() + 64;
        weight_.reserve(capacity);
        a_.reserve(capacity);
        p_.reserve(capacity);
        pieces_.reserve(e_.pieces().size() + 32);
        const double floor = std::max(d_min(x_max), e_.lowest() - eps_s);
        const double shift_below = 2.0 * eps_s;
        const auto& pieces = e_.pieces();
        for (const Electrons::Piece& piece : pieces) {
            if (!(piece.gamma_hi - eps_s > floor)) {
                continue;
            }
            if (piece.gamma_lo >= shift_below) {
                add_electron_piece(piece);
                continue;
            }
            const double lo = std::max(piece.gamma_lo - eps_s, floor);
            const double mid = std::min(piece.gamma_hi, shift_below) - eps_s;
            if (lo < mid) {
                add_shifted(piece.law, lo, mid);
            }
            if (mid + eps_s < piece.gamma_hi) {
                add_piece(piece.law, mid, piece.gamma_hi - eps_s, std::log(eps_s + mid), piece.u_hi,
                          false);
            }
        }
        const std::size_t size = weight_.size();
        suffix_.assign(size + 1, {0.0, 0.0, 0.0});
        for (std::size_t k = size; k-- > 0;) {
            const double wa = weight_[k] * a_[k];
            const std::array<double, 3>& above = suffix_[k + 1];
            suffix_[k] = {above[0] + weight_[k] * p_[k], above[1] + wa, above[2] + wa * a_[k]};
        }
        ends_.reserve(pieces_.size());
        for (const Piece& piece : pieces_) {
            ends_.push_back(piece.d_hi);
        }
    }

    /// gamma - eps_s at the lowest Lorentz factor that scatters into eps_s from x (t = 2):
    /// d (d + eps_s) = eps_s / (2 x).
    double d_min(double x) const { return 1.0 / (x * (1.0 + std::sqrt(1.0 + 2.0 / (eps_s_ * x)))); }

    double operator()(double x) const {
        if (pieces_.empty()) {
            return 0.0;
        }
        const double lo = d_min(x);
        const auto first_end = std::upper_bound(ends_.begin(), ends_.end(), lo);
        if (first_end == ends_.end()) {
            return 0.0;
        }
        const Piece& piece = pieces_[static_cast<std::size_t>(first_end - ends_.begin())];
        const double c = eps_s_ / x;
        double total = 0.0;
        std::size_t full = piece.first;
        if (lo > piece.d_lo) {
            total = cut_piece(piece, lo, c);
            full = piece.end;
        }
        const std::array<double, 3>& s = suffix_[full];
        return total + (s[0] - 2.0 * c * s[1] + c * c * s[2]);
    }

private:
    struct Piece {
        double d_lo; ///< gamma - eps_s at the ends
        double d_hi;
        double log_hi; ///< ln d (shifted) or ln gamma at the upper end
        std::size_t law;
        bool shifted;
        std::size_t first;
        std::size_t end;
    };

    void add_node(double gamma, double d, double weight) {
        const double a = 1.0 / (gamma * d);
        weight_.push_back(weight);
        a_.push_back(a);
        p_.push_back((d * d + gamma * gamma) * a);
    }

    void add_electron_piece(const Electrons::Piece& piece) {
        const std::size_t first = weight_.size();
        for (std::size_t k = piece.first; k < piece.end; ++k) {
            const double gamma = e_.gamma()[k];
            add_node(gamma, gamma - eps_s_, e_.weight()[k]);
        }
        pieces_.push_back({piece.gamma_lo - eps_s_, piece.gamma_hi - eps_s_, piece.u_hi, piece.law,
                           false, first, weight_.size()});
    }

    void add_piece(std::size_t law, double lo, double hi, double log_lo, double log_hi,
                   bool shifted) {
        const std::size_t first = weight_.size();
        visit<ElectronRule>(e_.law(law), log_lo, log_hi, shifted,
                            [&](double gamma, double d, double w) { add_node(gamma, d, w); });
        pieces_.push_back({lo, hi, log_hi, law, shifted, first, weight_.size()});
    }

    void add_shifted(std::size_t law, double lo, double hi) {
        const double v_lo = std::log(lo);
        const double v_hi = std::log(hi);
        const double count = std::ceil((v_hi - v_lo) / electron_piece_width);
        const std::size_t pieces = count > 1.0 ? static_cast<std::size_t>(count) : 1;
        const double width = (v_hi - v_lo) / static_cast<double>(pieces);
        double a = lo;
        double log_a = v_lo;
        for (std::size_t p = 0; p < pieces; ++p) {
            const double log_b = p + 1 == pieces ? v_hi : v_lo + width * static_cast<double>(p + 1);
            const double b = p + 1 == pieces ? hi : std::exp(log_b);
            add_piece(law, a, b, log_a, log_b, true);
            a = b;
            log_a = log_b;
        }
    }

    /// f(gamma, d, weight) at the nodes of rule R between log_lo and log_hi (ln d when shifted,
    /// ln gamma otherwise) of power law `law`, weights of n / gamma^2 dgamma.
    template <class R, class F>
    void visit(const PowerLaw& law, double log_lo, double log_hi, bool shifted, F&& f) const {
        if (shifted) {
            const double mid = 0.5 * (log_lo + log_hi);
            const double half = 0.5 * (log_hi - log_lo);
            const auto d = exp_at_nodes<R>(mid, half);
            for (std::size_t k = 0; k < R::nodes.size(); ++k) {
                const double gamma = eps_s_ + d[k];
                const double n = std::exp(law.log_at(std::log(gamma)));
                f(gamma, d[k], half * R::weights[k] * n * d[k] / (gamma * gamma));
            }
        } else {
            Electrons::nodes<R>(law, log_lo, log_hi,
                                [&](double gamma, double w) { f(gamma, gamma - eps_s_, w); });
        }
    }

    /// The piece from d = lo to its top, with a rule of its own.
    double cut_piece(const Piece& piece, double lo, double c) const {
        const double log_lo = std::log(piece.shifted ? lo : eps_s_ + lo);
        double total = 0.0;
        visit<LimitRule>(e_.law(piece.law), log_lo, piece.log_hi, piece.shifted,
                         [&](double gamma, double d, double w) {
                             const double a = 1.0 / (gamma * d);
                             const double t = std::min(c * a, 2.0);
                             total += w * ((d * d + gamma * gamma) * a - t * (2.0 - t));
                         });
        return total;
    }

    const Electrons& e_;
    double eps_s_;
    std::vector<Piece> pieces_;
    std::vector<double> ends_;
    std::vector<double> weight_;
    std::vector<double> a_;
    std::vector<double> p_;
    std::vector<std::array<double, 3>> suffix_;
};

/// h 3 c sigma_T / (32 pi).
constexpr double ec_constant =
    constants::planck * 3.0 * c_light * constants::thomson_cross_section / (32.0 * pi);

/// j_nu at every frequency nu (blob frame, Hz) of the electrons on `seed`.
std::vector<double> scatter(std::span<const double> nu, const Seed& seed,
                            const Electrons& electrons) {
    std::vector<double> j(nu.size(), 0.0);
    if (electrons.empty() || seed.empty()) {
        return j;
    }
    const double seconds = static_cast<double>(electrons.gamma().size()) * 4e-9 +
                           static_cast<double>(seed.node_count()) * 40e-9;
    parallel::parallel_for(
        nu.size(),
        [&](std::size_t f) {
            const double eps_s = nu[f] * to_eps;
            const double g_hi = electrons.highest();
            if (!(g_hi > eps_s)) {
                return;
            }
            // x between the limit at the top of the grid and 2 eps_s (eps_bar / (2 gamma) <=
            // eps_s).
            const auto x_at = [&](double g) { return eps_s / (2.0 * g * (g - eps_s)); };
            const double x_lo = std::max(x_at(g_hi), seed.x_lo());
            const double x_hi = std::min(2.0 * eps_s, seed.x_hi());
            if (!(x_lo < x_hi)) {
                return;
            }
            std::array<double, 16> kinks{};
            std::size_t count = 0;
            for (const double g : electrons.kinks()) {
                if (g > eps_s && count < kinks.size()) {
                    const double x = x_at(g);
                    if (x > x_lo && x < x_hi) {
                        kinks[count++] = std::log(x);
                    }
                }
            }
            std::sort(kinks.begin(), kinks.begin() + static_cast<std::ptrdiff_t>(count));
            const HeadOnKernel kernel(electrons, eps_s, x_hi);
            const double total = seed.integrate(std::log(x_lo), std::log(x_hi),
                                                std::span<const double>(kinks.data(), count),
                                                [&](double x) { return kernel(x); });
            j[f] = ec_constant * eps_s * total;
        },
        parallel::grain_for(seconds));
    require_numbers(j, nu);
    return j;
}

void require_electrons(std::span<const double> gamma, std::span<const double> n) {
    require_grid("gamma", gamma, GridFloor::lorentz_one);
    require_same_length("n", n, "gamma", gamma);
    require_non_negative_values("n", n);
}

void require_motion(double gamma_bulk, double mu_s) {
    if (!(std::isfinite(gamma_bulk) && gamma_bulk >= 1.0)) {
        require_positive("gamma_bulk", gamma_bulk);
        invalid_argument("gamma_bulk", "must be at least 1");
    }
    if (!(mu_s >= -1.0 && mu_s <= 1.0)) {
        invalid_argument("mu_s", "must lie in [-1, 1]");
    }
}

/// delta = 1 / (Gamma (1 - beta mu_s)), with Gamma (1 - beta mu_s) free of cancellation.
double doppler(double gamma_bulk, double mu_s) {
    const double beta = std::sqrt((gamma_bulk - 1.0) * (gamma_bulk + 1.0)) / gamma_bulk;
    const double one_minus =
        mu_s >= 0.0 ? (1.0 - beta * beta) / (1.0 + beta) + beta * (1.0 - mu_s) : 1.0 - beta * mu_s;
    return 1.0 / (gamma_bulk * one_minus);
}

fields::Vec3 observer(double mu_s) {
    return {std::sqrt((1.0 - mu_s) * (1.0 + mu_s)), 0.0, mu_s};
}

/// Azimuth nodes over the half circle for a disk or ring seen off the axis.
constexpr std::size_t ec_azimuths = 24;

} // namespace

std::vector<double> external_compton_disk(std::span<const double> nu, double l_disk, double m_bh,
                                          double eta, double r_in, double r_out, double r,
                                          double gamma_bulk, double mu_s,
                                          std::span<const double> gamma,
                                          std::span<const double> n) {
    require_positive_values("nu", nu);
    fields::require_disk(l_disk, m_bh, eta, r_in, r_out);
    require_positive("r", r);
    require_motion(gamma_bulk, mu_s);
    require_electrons(gamma, n);
    const fields::Disk disk(l_disk, m_bh, eta, r_in, r_out, 0.3);
    std::vector<fields::ThermalBeam> beams;
    disk.beams({0.0, 0.0, r}, observer(mu_s), 1.0, ec_azimuths, beams);
    const Seed seed = thermal_seed(beams, doppler(gamma_bulk, mu_s));
    return scatter(nu, seed, Electrons(gamma, n));
}

std::vector<double> external_compton_torus(std::span<const double> nu, double l_disk, double xi_dt,
                                           double t_dt, double r_dt, double r, double gamma_bulk,
                                           double mu_s, std::span<const double> gamma,
                                           std::span<const double> n) {
    require_positive_values("nu", nu);
    fields::require_torus(l_disk, xi_dt, t_dt, r_dt);
    require_positive("r", r);
    require_motion(gamma_bulk, mu_s);
    require_electrons(gamma, n);
    const fields::Torus torus(xi_dt * l_disk, t_dt, r_dt);
    std::vector<fields::ThermalBeam> beams;
    torus.beams({0.0, 0.0, r}, observer(mu_s), 1.0, 2 * ec_azimuths, beams);
    const Seed seed = thermal_seed(beams, doppler(gamma_bulk, mu_s));
    return scatter(nu, seed, Electrons(gamma, n));
}

std::vector<double> external_compton_blr(std::span<const double> nu, double l_disk, double xi_line,
                                         double nu_line, double r_line, double r, double gamma_bulk,
                                         double mu_s, std::span<const double> gamma,
                                         std::span<const double> n) {
    require_positive_values("nu", nu);
    fields::require_blr(l_disk, xi_line, nu_line, r_line, r);
    require_motion(gamma_bulk, mu_s);
    require_electrons(gamma, n);
    const fields::Shell shell(xi_line * l_disk, r_line);
    const Seed seed =
        line_seed(shell, r, std::acos(mu_s), nu_line * to_eps, doppler(gamma_bulk, mu_s));
    return scatter(nu, seed, Electrons(gamma, n));
}

std::vector<double>
external_compton_isotropic(std::span<const double> nu, std::span<const double> seed_nu,
                           std::span<const double> seed_intensity, double gamma_bulk, double mu_s,
                           std::span<const double> gamma, std::span<const double> n) {
    require_positive_values("nu", nu);
    require_grid("seed_nu", seed_nu, GridFloor::positive);
    require_same_length("seed_intensity", seed_intensity, "seed_nu", seed_nu);
    require_non_negative_values("seed_intensity", seed_intensity);
    require_motion(gamma_bulk, mu_s);
    require_electrons(gamma, n);
    const Seed seed = isotropic_seed(seed_nu, seed_intensity, doppler(gamma_bulk, mu_s));
    return scatter(nu, seed, Electrons(gamma, n));
}

std::vector<double> external_compton_isotropic_line(std::span<const double> nu, double u,
                                                    double nu0, double gamma_bulk, double mu_s,
                                                    std::span<const double> gamma,
                                                    std::span<const double> n) {
    require_positive_values("nu", nu);
    require_non_negative("u", u);
    require_positive("nu0", nu0);
    require_motion(gamma_bulk, mu_s);
    require_electrons(gamma, n);
    const Seed seed = isotropic_line_seed(u, nu0 * to_eps, doppler(gamma_bulk, mu_s));
    return scatter(nu, seed, Electrons(gamma, n));
}

} // namespace sorvex::exact
