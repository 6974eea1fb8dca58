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

#include "core/common/constants.hpp"
#include "core/parallel/worker_pool.hpp"
#include "core/radiation/exact/arguments.hpp"
#include "core/radiation/exact/external_fields.hpp"
#include "core/radiation/exact/external_seed.hpp"
#include "core/radiation/exact/power_law_nodes.hpp"
#include "core/radiation/exact/power_law_table.hpp"
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

/// The electrons: pieces of their power laws with Gauss-Legendre nodes in ln gamma, and the
/// Lorentz factors where K has a kink: the ends of each run of electrons and the breaks in it.
class Electrons : public ElectronPieces<ElectronRule> {
public:
    Electrons(std::span<const double> gamma, std::span<const double> n)
        : ElectronPieces(gamma, n, electron_piece_width) {
        const std::vector<PowerLaw>& all = laws();
        for (std::size_t l = 0; l < all.size(); ++l) {
            // A kink where the index changes, or where a gap in the electrons starts or ends.
            if (l == 0 || all[l - 1].u_hi != all[l].u_lo ||
                std::fabs(all[l].slope - all[l - 1].slope) > slope_break) {
                if (l > 0) {
                    kinks_.push_back(std::exp(all[l - 1].u_hi));
                }
                kinks_.push_back(gamma[all[l].index]);
            }
        }
        if (!all.empty()) {
            kinks_.push_back(std::exp(all.back().u_hi));
        }
        std::sort(kinks_.begin(), kinks_.end());
        kinks_.erase(std::unique(kinks_.begin(), kinks_.end()), kinks_.end());
    }

    const std::vector<double>& kinks() const { return kinks_; }

private:
    std::vector<double> kinks_;
};

/// n at u = ln gamma on power law `law`.
double density(const PowerLaw& law, double u) {
    return std::exp(law.log_at(u));
}

/// An empty vector with room for n values.
std::vector<double> with_capacity(std::size_t n) {
    std::vector<double> out;
    out.reserve(n);
    return out;
}

/// K(eps_s, x) for one scattered energy eps_s, on node tables made for it (KernelLayout: in ln d
/// up to 2 eps_s, in ln gamma above).
class HeadOnKernel {
public:
    /// Tables for x <= x_max.
    HeadOnKernel(const Electrons& electrons, double eps_s, double x_max)
        : eps_s_(eps_s), weight_(with_capacity(electrons.gamma().size() + 64)),
          a_(with_capacity(weight_.capacity())), p_(with_capacity(weight_.capacity())),
          layout_(electrons, eps_s, d_min(x_max),
                  [this](double gamma, double d, double w) { add_node(gamma, d, w); }) {
        const std::size_t size = weight_.size();
        suffix_.assign(size + 1, {0.0, 0.0, 0.0});
        for (std::size_t k = size; k-- > 0;) {
            const double wa = weight_[k] * a_[k];
            const std::array<double, 3>& above = suffix_[k + 1];
            suffix_[k] = {above[0] + weight_[k] * p_[k], above[1] + wa, above[2] + wa * a_[k]};
        }
    }

    /// gamma - eps_s at the lowest Lorentz factor that scatters into eps_s from x (t = 2):
    /// d (d + eps_s) = eps_s / (2 x).
    double d_min(double x) const { return 1.0 / (x * (1.0 + std::sqrt(1.0 + 2.0 / (eps_s_ * x)))); }

    double operator()(double x) const {
        const std::vector<double>& ends = layout_.ends();
        if (ends.empty()) {
            return 0.0;
        }
        const double lo = d_min(x);
        const auto first_end = std::upper_bound(ends.begin(), ends.end(), lo);
        if (first_end == ends.end()) {
            return 0.0;
        }
        const Piece& piece = layout_.pieces()[static_cast<std::size_t>(first_end - ends.begin())];
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
    using Layout = KernelLayout<ElectronRule, density>;
    using Piece = Layout::Piece;

    void add_node(double gamma, double d, double weight) {
        const double a = 1.0 / (gamma * d);
        weight_.push_back(weight);
        a_.push_back(a);
        p_.push_back((d * d + gamma * gamma) * a);
    }

    /// The piece from d = lo to its top, with a rule of its own.
    double cut_piece(const Piece& piece, double lo, double c) const {
        const double log_lo = std::log(piece.shifted ? lo : eps_s_ + lo);
        return layout_.sum<LimitRule>(piece, log_lo, piece.log_hi, [&](double gamma, double d) {
            const double a = 1.0 / (gamma * d);
            const double t = std::min(c * a, 2.0);
            return (d * d + gamma * gamma) * a - t * (2.0 - t);
        });
    }

    double eps_s_;
    std::vector<double> weight_; ///< the nodes' tables, filled as layout_ is built
    std::vector<double> a_;
    std::vector<double> p_;
    Layout layout_;
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

/// j_nu on the blackbody beams of `field` (a Disk or a Torus) met at height r, with `azimuths`
/// nodes over the half circle; r, the motion and the electrons are checked first.
template <class Field>
std::vector<double> scatter_thermal(std::span<const double> nu, const Field& field,
                                    std::size_t azimuths, double r, double gamma_bulk, double mu_s,
                                    std::span<const double> gamma, std::span<const double> n) {
    require_positive("r", r);
    require_motion(gamma_bulk, mu_s);
    require_electrons(gamma, n);
    std::vector<fields::ThermalBeam> beams;
    field.beams({0.0, 0.0, r}, observer(mu_s), 1.0, azimuths, beams);
    const Seed seed = thermal_seed(beams, doppler(gamma_bulk, mu_s));
    return scatter(nu, seed, Electrons(gamma, n));
}

} // namespace

std::vector<double> external_compton_disk(std::span<const double> nu, double l_disk, double m_bh,
                                          double eta, double r_in, double r_out, double r,
                                          double gamma_bulk, double mu_s,
                                          std::span<const double> gamma,
                                          std::span<const double> n) {
    require_positive_values("nu", nu);
    fields::require_disk(l_disk, m_bh, eta, r_in, r_out);
    const fields::Disk disk(l_disk, m_bh, eta, r_in, r_out, 0.3);
    return scatter_thermal(nu, disk, ec_azimuths, r, gamma_bulk, mu_s, gamma, n);
}

std::vector<double> external_compton_torus(std::span<const double> nu, double l_disk, double xi_dt,
                                           double t_dt, double r_dt, double r, double gamma_bulk,
                                           double mu_s, std::span<const double> gamma,
                                           std::span<const double> n) {
    require_positive_values("nu", nu);
    fields::require_torus(l_disk, xi_dt, t_dt, r_dt);
    const fields::Torus torus(xi_dt * l_disk, t_dt, r_dt);
    return scatter_thermal(nu, torus, 2 * ec_azimuths, r, gamma_bulk, mu_s, gamma, n);
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
