// The effective seed of external Compton: a photon field reduced to S(x) dln x, the photons per
// cm^3 that meet the scattered direction with x = eps (1 - cos psi) (blob frame, units of m_e c^2),
// laid out as pieces in u = ln x with Gauss-Legendre nodes. A piece next to an integrable
// singularity of S has its nodes graded toward it (u = a + L tau^2, nodes in tau).
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "core/radiation/exact/external_fields.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"

namespace sorvex::exact {

class Seed {
public:
    using Rule = rules::GaussLegendre<6>;
    /// Where a singularity sits: none (nodes of 3 or 6 points by width), next to the piece
    /// (near: 6 points), or at its low or high end (6 points graded toward it).
    enum class Grade : unsigned char { none, near, low, high };

    struct Piece {
        double a; ///< ln x at the ends
        double b;
        Grade grade;
    };

    Seed() = default;
    /// S from `density` on the pieces (increasing, contiguous or not).
    Seed(std::function<double(double)> density, std::vector<Piece> pieces);

    bool empty() const { return pieces_.empty(); }
    double x_lo() const { return std::exp(pieces_.front().a); }
    double x_hi() const { return std::exp(pieces_.back().b); }
    std::size_t node_count() const { return x_.size(); }

    /// int_{u_lo}^{u_hi} S(e^u) kernel(e^u) du, pieces also cut at the increasing `kinks` inside:
    /// a cut piece is integrated with new nodes (S from the density), the others with their own.
    template <class Kernel>
    double integrate(double u_lo, double u_hi, std::span<const double> kinks,
                     Kernel&& kernel) const {
        double total = 0.0;
        std::size_t next_kink = 0;
        for (std::size_t p = 0; p < pieces_.size(); ++p) {
            const Piece& piece = pieces_[p];
            if (piece.b <= u_lo) {
                continue;
            }
            if (piece.a >= u_hi) {
                break;
            }
            const double a = std::max(piece.a, u_lo);
            const double b = std::min(piece.b, u_hi);
            while (next_kink < kinks.size() && kinks[next_kink] <= a) {
                ++next_kink;
            }
            const bool kinked = next_kink < kinks.size() && kinks[next_kink] < b;
            if (!kinked && a == piece.a && b == piece.b) {
                for (std::size_t k = first_[p]; k < first_[p + 1]; ++k) {
                    total += weighted_[k] * kernel(x_[k]);
                }
                continue;
            }
            double start = a;
            while (start < b) {
                double end = b;
                if (next_kink < kinks.size() && kinks[next_kink] < b) {
                    end = kinks[next_kink++];
                }
                Grade grade = piece.grade == Grade::near ? Grade::near : Grade::none;
                if (piece.grade == Grade::low && start == piece.a) {
                    grade = Grade::low;
                } else if (piece.grade == Grade::high && end == piece.b) {
                    grade = Grade::high;
                }
                nodes(start, end, grade, [&](double x, double w) {
                    const double s = density_(x);
                    if (s != 0.0) {
                        total += w * s * kernel(x);
                    }
                });
                start = end;
            }
        }
        return total;
    }

    /// f(u_k, w_k) at the nodes of rule R on [a, b] with `grade`.
    template <class R = Rule, class F>
    static void points(double a, double b, Grade grade, F&& f) {
        const double length = b - a;
        for (std::size_t k = 0; k < R::nodes.size(); ++k) {
            if (grade == Grade::none || grade == Grade::near) {
                f(0.5 * (a + b) + 0.5 * length * R::nodes[k], 0.5 * length * R::weights[k]);
            } else {
                const double tau = 0.5 + 0.5 * R::nodes[k];
                f(grade == Grade::low ? a + length * tau * tau : b - length * tau * tau,
                  R::weights[k] * length * tau);
            }
        }
    }

    /// f(x_k, w_k) at the nodes of [a, b] (ln x) with `grade`: 3 of them on a piece no wider
    /// than narrow_piece, 6 otherwise.
    template <class F>
    static void nodes(double a, double b, Grade grade, F&& f) {
        const auto exp_u = [&](double u, double w) { f(std::exp(u), w); };
        if (grade == Grade::none && b - a <= narrow_piece) {
            points<rules::GaussLegendre<3>>(a, b, grade, exp_u);
        } else {
            points(a, b, grade, exp_u);
        }
    }

    static constexpr double narrow_piece = 0.35;

private:
    std::function<double(double)> density_;
    std::vector<Piece> pieces_;
    std::vector<std::size_t> first_; ///< first node of each piece, and the end
    std::vector<double> x_;
    std::vector<double> weighted_; ///< quadrature weight times S at the node
};

/// The disk or the ring: blackbody beams of the nucleus' frame seen with Doppler factor delta.
Seed thermal_seed(const std::vector<fields::ThermalBeam>& beams, double delta);

/// The shell seen from height r on the axis, the observer at view (radians) to it; line energy
/// eps_line (m_e c^2).
Seed line_seed(const fields::Shell& shell, double r, double view, double eps_line, double delta);

/// An isotropic table of intensity (erg s^-1 cm^-2 Hz^-1 sr^-1) on the grid seed_nu (Hz).
Seed isotropic_seed(std::span<const double> seed_nu, std::span<const double> seed_intensity,
                    double delta);

/// An isotropic line of energy density u (erg cm^-3) and energy eps0 (m_e c^2).
Seed isotropic_line_seed(double u, double eps0, double delta);

/// Pieces no wider than `widest` covering [a, b], graded at a singular end (geometrically, the
/// innermost piece with nodes graded toward it).
void add_pieces(double a, double b, bool singular_a, bool singular_b, double widest,
                std::vector<Seed::Piece>& out);

} // namespace sorvex::exact
