// Pair-production optical depth of the nucleus' fields for a gamma ray of energy eps1 (m_e c^2)
// leaving the blob at height r along s (Finke 2016, eq. 80; Boettcher & Els 2016):
//   tau(eps1) = int_0^inf dl int dOmega deps n(eps, Omega; P(l)) w sigma(eps eps1 w / 2),
//   sigma(s) = 3/16 sigma_T (1 - b^2) [(3 - b^4) ln((1 + b) / (1 - b)) - 2 b (2 - b^2)],
//   b = sqrt(1 - 1 / s)  (Gould & Schreder 1967), w = 1 - cos psi, P(l) = r z + l s.
// The photons enter only through zeta = eps w (a line) or tau = theta w (a blackbody, whose
// spectrum integrates into Phi(eps1 tau) = int dv v^2 / expm1(v) sigma(v eps1 tau / 2)). So the
// path and the field are integrated once, into weights on a grid uniform in ln zeta (or ln tau),
// spread by cubic Lagrange weights; tau(eps1) is then a sum over the grid of the weights times
// the kernel, tabulated on the same steps and interpolated with one set of Lagrange weights per
// frequency (the kernel of a line is computed exactly next to its threshold, where it has a
// square-root onset). The path runs in v = 1 / (1 + l / L) over (0, 1], dl = L dv / v^2, which
// takes the l^-2 to l^-4 tails into a few Gauss-Legendre pieces.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "core/common/constants.hpp"
#include "core/parallel/worker_pool.hpp"
#include "core/radiation/exact/arguments.hpp"
#include "core/radiation/exact/external_compton.hpp"
#include "core/radiation/exact/external_fields.hpp"
#include "core/radiation/exact/external_seed.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"

namespace sorvex::exact {
namespace {

using constants::pi;
constexpr double to_eps = constants::planck_over_rest_energy;
constexpr double rest_energy = constants::electron_rest_energy;
constexpr double sigma_t = constants::thomson_cross_section;

constexpr double step = 0.02;             ///< the grids of ln zeta, ln tau and the kernel tables
constexpr double kernel_top = 40.0;       ///< ln of the largest tabulated kernel argument
constexpr std::size_t path_azimuths = 12; ///< azimuth nodes over the half circle
using PathRule = rules::GaussLegendre<6>;

/// The pair-production cross-section sigma(s) / sigma_T for a head-on angle of w at s.
double pair_cross_section(double s) {
    if (!(s > 1.0)) {
        return 0.0;
    }
    const double b2 = 1.0 - 1.0 / s;
    const double b = std::sqrt(b2);
    // ln((1 + b) / (1 - b)) = ln((1 + b)^2 s)
    const double log_ratio = std::log(s) + 2.0 * std::log1p(b);
    return 0.1875 / s * ((3.0 - b2 * b2) * log_ratio - 2.0 * b * (2.0 - b2));
}

/// Kernel tables on ln z = k step, k = 0, 1, ...: the line's sigma(z) / sigma_T at s = z, and the
/// blackbody's Phi(z) / sigma_T from ln z = -below * step.
struct KernelTables {
    static constexpr double thermal_low = -4.0; ///< ln z where Phi ~ e^-100
    std::vector<double> line;
    std::vector<double> thermal;

    KernelTables() {
        const auto count = static_cast<std::size_t>(kernel_top / step) + 4;
        line.resize(count);
        for (std::size_t k = 0; k < count; ++k) {
            line[k] = pair_cross_section(std::exp(static_cast<double>(k) * step));
        }
        const auto thermal_count = static_cast<std::size_t>((kernel_top - thermal_low) / step) + 4;
        thermal.resize(thermal_count);
        for (std::size_t k = 0; k < thermal_count; ++k) {
            thermal[k] = phi(std::exp(thermal_low + static_cast<double>(k) * step));
        }
    }

    /// Phi(z) = (2 / z) int_1^inf ds (2 s / z)^2 / expm1(2 s / z) sigma(s) (v = 2 s / z): near the
    /// threshold in q with s = 1 + q^2 (the onset ~ sqrt(s - 1) becomes smooth), then in ln s.
    static double phi(double z) {
        using Rule = rules::GaussLegendre<8>;
        const auto integrand = [z](double s) {
            const double v = 2.0 * s / z;
            return v > 700.0 ? 0.0 : v * v / std::expm1(v) * pair_cross_section(s);
        };
        double total = 0.0;
        for (std::size_t k = 0; k < Rule::nodes.size(); ++k) {
            const double q = 0.5 + 0.5 * Rule::nodes[k];
            total += 0.5 * Rule::weights[k] * 2.0 * q * integrand(1.0 + q * q);
        }
        const double top = std::log(std::max(2.0, 40.0 * z));
        const double lo = std::log(2.0);
        const auto pieces = static_cast<std::size_t>(std::ceil((top - lo) / 1.0));
        const double width = (top - lo) / static_cast<double>(pieces);
        for (std::size_t p = 0; p < pieces; ++p) {
            const double mid = lo + width * (static_cast<double>(p) + 0.5);
            for (std::size_t k = 0; k < Rule::nodes.size(); ++k) {
                const double s = std::exp(mid + 0.5 * width * Rule::nodes[k]);
                total += 0.5 * width * Rule::weights[k] * s * integrand(s);
            }
        }
        return 2.0 / z * total;
    }
};

const KernelTables& kernel_tables() {
    static const KernelTables tables;
    return tables;
}

/// Cubic Lagrange weights at t in [0, 1) for the points -1, 0, 1, 2.
std::array<double, 4> lagrange(double t) {
    return {-t * (t - 1.0) * (t - 2.0) / 6.0, (t + 1.0) * (t - 1.0) * (t - 2.0) / 2.0,
            -(t + 1.0) * t * (t - 2.0) / 2.0, (t + 1.0) * t * (t - 1.0) / 6.0};
}

/// Weights on the grid ln t = origin + k step.
class Bins {
public:
    void add(double t, double weight) { points_.push_back({std::log(t), weight}); }

    /// Spreads the points over the grid, dropping those below `floor` times the largest weight
    /// of a point (which cannot reach 1e-12 of the total at any frequency).
    void finish() {
        double largest = 0.0;
        double lo = 0.0;
        double hi = 0.0;
        bool first = true;
        for (const Point& p : points_) {
            if (p.weight > largest) {
                largest = p.weight;
            }
        }
        for (const Point& p : points_) {
            if (p.weight > 1e-14 * largest) {
                lo = first ? p.log_t : std::min(lo, p.log_t);
                hi = first ? p.log_t : std::max(hi, p.log_t);
                first = false;
            }
        }
        if (first) {
            return;
        }
        origin_ = lo - 2.0 * step;
        weight_.assign(static_cast<std::size_t>((hi - origin_) / step) + 4, 0.0);
        for (const Point& p : points_) {
            if (!(p.weight > 1e-14 * largest)) {
                continue;
            }
            const double position = (p.log_t - origin_) / step;
            const double base = std::floor(position);
            const auto i = static_cast<std::size_t>(base);
            if (i < 1 || i + 2 >= weight_.size()) {
                continue;
            }
            const auto l = lagrange(position - base);
            for (std::size_t k = 0; k < 4; ++k) {
                weight_[i - 1 + k] += p.weight * l[k];
            }
        }
        points_.clear();
    }

    /// sum_k weight_k kernel(scale t_k), the kernel tabulated at ln z = low + j step.
    double sum(double log_scale, const std::vector<double>& table, double low) const {
        // ln(scale t_k) = low + (shift + k) step
        return table_sum((log_scale + origin_ - low) / step, table, 1.0, 1.0,
                         [](std::size_t) { return 0.0; });
    }

    /// The same for the line kernel, computed exactly within four steps of its threshold.
    double line_sum(double log_half_eps1) const {
        return table_sum((log_half_eps1 + origin_) / step, kernel_tables().line, -1.0, 4.0,
                         [&](std::size_t k) {
                             return pair_cross_section(
                                 std::exp(log_half_eps1 + origin_ + static_cast<double>(k) * step));
                         });
    }

    std::size_t size() const { return weight_.size(); }

private:
    struct Point {
        double log_t;
        double weight;
    };

    /// sum_k weight_k kernel_j at j = shift + k, from the table (cubic Lagrange weights) where
    /// exact_below <= j, from exact(k) where lowest <= j < exact_below, 0 where j < lowest.
    template <class Exact>
    double table_sum(double shift, const std::vector<double>& table, double lowest,
                     double exact_below, const Exact& exact) const {
        if (weight_.empty()) {
            return 0.0;
        }
        const double base = std::floor(shift);
        const auto l = lagrange(shift - base);
        const double top = static_cast<double>(table.size()) - 3.0;
        double total = 0.0;
        for (std::size_t k = 0; k < weight_.size(); ++k) {
            const double j = base + static_cast<double>(k);
            if (j < lowest) {
                continue;
            }
            if (j >= top) {
                break; // beyond the table: z > e^40 is out of any physical range
            }
            if (j < exact_below) {
                total += weight_[k] * exact(k);
                continue;
            }
            const auto i = static_cast<std::size_t>(j);
            total += weight_[k] * (l[0] * table[i - 1] + l[1] * table[i] + l[2] * table[i + 1] +
                                   l[3] * table[i + 2]);
        }
        return total;
    }
    std::vector<Point> points_;
    double origin_ = 0.0;
    std::vector<double> weight_;
};

fields::Vec3 direction(double mu_s) {
    return {std::sqrt((1.0 - mu_s) * (1.0 + mu_s)), 0.0, mu_s};
}

/// The nodes of the path (l, weight of dl), in v = 1 / (1 + l / scale); `cross` > 0 is a
/// distance where the field is singular (the path crosses the shell), approached with graded
/// nodes from both sides.
std::vector<std::array<double, 2>> path_nodes(double scale, double cross) {
    std::vector<Seed::Piece> pieces;
    if (cross > 0.0) {
        const double v_cross = 1.0 / (1.0 + cross / scale);
        add_pieces(0.0, v_cross, false, true, 0.25, pieces);
        add_pieces(v_cross, 1.0, true, false, 0.25, pieces);
    } else {
        const std::array<double, 7> ends{0.0, 1.0 / 16.0, 0.125, 0.25, 0.5, 0.75, 1.0};
        for (std::size_t k = 0; k + 1 < ends.size(); ++k) {
            pieces.push_back({ends[k], ends[k + 1], Seed::Grade::none});
        }
    }
    std::vector<std::array<double, 2>> nodes;
    for (const Seed::Piece& piece : pieces) {
        Seed::points<PathRule>(piece.a, piece.b, piece.grade, [&](double v, double w) {
            if (v > 0.0) {
                nodes.push_back({scale * (1.0 / v - 1.0), w * scale / (v * v)});
            }
        });
    }
    return nodes;
}

/// Bins of the blackbody beams of `field` (a Disk or a Torus) along the path.
template <class Field>
Bins thermal_bins(const Field& field, double r, double scale, double mu_s, std::size_t azimuths) {
    const fields::Vec3 s = direction(mu_s);
    const auto nodes = path_nodes(scale, 0.0);
    const auto beams = parallel::parallel_map(
        nodes.size(),
        [&](std::size_t i) {
            std::vector<fields::ThermalBeam> out;
            const double l = nodes[i][0];
            field.beams({l * s.x, 0.0, r + l * s.z}, s, nodes[i][1], azimuths, out);
            return out;
        },
        1);
    Bins bins;
    for (const auto& list : beams) {
        for (const fields::ThermalBeam& beam : list) {
            const double t = beam.w * beam.theta;
            if (t > 0.0) {
                bins.add(t, beam.weight * beam.w * beam.theta * beam.theta * beam.theta);
            }
        }
    }
    bins.finish();
    return bins;
}

void require_path(std::span<const double> nu, double r, double mu_s) {
    require_positive_values("nu", nu);
    require_positive("r", r);
    if (!(mu_s >= 0.0 && mu_s <= 1.0)) {
        invalid_argument("mu_s", "must lie in [0, 1] (the path must not cross the disk plane)");
    }
}

/// tau at each frequency from thermal bins (weights z w theta^3 at tau = w theta).
std::vector<double> thermal_depth(std::span<const double> nu, const Bins& bins) {
    const auto& tables = kernel_tables();
    std::vector<double> tau(nu.size(), 0.0);
    parallel::parallel_for(
        nu.size(),
        [&](std::size_t f) {
            tau[f] = sigma_t *
                     bins.sum(std::log(nu[f] * to_eps), tables.thermal, KernelTables::thermal_low);
        },
        parallel::grain_for(static_cast<double>(bins.size()) * 2e-9));
    require_numbers(tau, nu);
    return tau;
}

} // namespace

std::vector<double> gamma_gamma_disk(std::span<const double> nu, double l_disk, double m_bh,
                                     double eta, double r_in, double r_out, double r, double mu_s) {
    fields::require_disk(l_disk, m_bh, eta, r_in, r_out);
    require_path(nu, r, mu_s);
    const fields::Disk disk(l_disk, m_bh, eta, r_in, r_out, 0.5);
    return thermal_depth(nu, thermal_bins(disk, r, r, mu_s, path_azimuths));
}

std::vector<double> gamma_gamma_torus(std::span<const double> nu, double l_disk, double xi_dt,
                                      double t_dt, double r_dt, double r, double mu_s) {
    fields::require_torus(l_disk, xi_dt, t_dt, r_dt);
    require_path(nu, r, mu_s);
    const fields::Torus torus(xi_dt * l_disk, t_dt, r_dt);
    return thermal_depth(nu, thermal_bins(torus, r, std::max(r, r_dt), mu_s, 2 * path_azimuths));
}

std::vector<double> gamma_gamma_blr(std::span<const double> nu, double l_disk, double xi_line,
                                    double nu_line, double r_line, double r, double mu_s) {
    fields::require_blr(l_disk, xi_line, nu_line, r_line, r);
    require_path(nu, r, mu_s);
    const fields::Shell shell(xi_line * l_disk, r_line);
    const fields::Vec3 s = direction(mu_s);
    const double eps_line = nu_line * to_eps;
    // Where the path leaves the shell from inside: |P|^2 = r^2 + 2 l r mu_s + l^2 = R^2.
    const double cross =
        r < r_line ? (r_line - r) * (r_line + r) /
                         (r * mu_s + std::sqrt(r * r * mu_s * mu_s + (r_line - r) * (r_line + r)))
                   : 0.0;
    const auto nodes = path_nodes(std::max(r, r_line), cross);
    // (zeta, weight) of each node of the path, computed in parallel and binned in order.
    const auto points = parallel::parallel_map(
        nodes.size(),
        [&](std::size_t i) {
            std::vector<std::array<double, 2>> out;
            const double l = nodes[i][0];
            const double dl = nodes[i][1];
            const double px = l * s.x;
            const double pz = r + l * s.z;
            const double rho = std::sqrt(px * px + pz * pz);
            if (rho == r_line) {
                return out;
            }
            const double view = std::acos(std::clamp((px * s.x + pz * s.z) / rho, -1.0, 1.0));
            // w from the lowest to the highest of the field (from 1e-7 of it inside, where D is
            // finite at 0 and w^2 D carries nothing below).
            const double w_hi = shell.highest(rho, view);
            double w_lo = shell.lowest(rho, view);
            if (!(w_lo > 0.0)) {
                w_lo = 1e-7 * w_hi;
            }
            std::vector<Seed::Piece> pieces;
            double a = w_lo;
            bool singular_a = false;
            for (const fields::Break& b : shell.breaks(rho, view)) {
                if (b.w <= a) {
                    singular_a = singular_a || (b.w == a && b.singular);
                    continue;
                }
                const double end = std::min(b.w, w_hi);
                add_pieces(std::log(a), std::log(end), singular_a, b.singular && end == b.w, 1.0,
                           pieces);
                a = end;
                singular_a = b.singular;
                if (a >= w_hi) {
                    break;
                }
            }
            // dw = w dln w; photons D / (eps_l m_e c^2); weight w D.
            for (const Seed::Piece& piece : pieces) {
                Seed::nodes(piece.a, piece.b, piece.grade, [&](double w, double weight) {
                    const double density = shell.density(rho, view, w);
                    if (density > 0.0) {
                        out.push_back({eps_line * w,
                                       dl * weight * w * w * density / (eps_line * rest_energy)});
                    }
                });
            }
            return out;
        },
        1);
    Bins bins;
    for (const auto& list : points) {
        for (const auto& point : list) {
            bins.add(point[0], point[1]);
        }
    }
    bins.finish();
    std::vector<double> tau(nu.size(), 0.0);
    parallel::parallel_for(
        nu.size(),
        [&](std::size_t f) { tau[f] = sigma_t * bins.line_sum(std::log(0.5 * nu[f] * to_eps)); },
        parallel::grain_for(static_cast<double>(bins.size()) * 2e-9));
    require_numbers(tau, nu);
    return tau;
}

} // namespace sorvex::exact
