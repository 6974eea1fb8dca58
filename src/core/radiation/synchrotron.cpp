// Synchrotron emissivity and self-absorption coefficient of electrons with isotropic pitch
// angles. The distribution is a power law n_i (gamma / gamma_i)^-q on each interval of its grid;
// the integral over each interval is taken in u = ln gamma by Romberg's method (midpoint-refined
// trapezoid sums extrapolated to zero step with polint).
//
// Evaluation order of the kernel fits: L^n is powi(L, n) (binary exponentiation) and the terms
// are summed left to right, constant first.
#include "core/radiation/synchrotron.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "core/common/constants.hpp"
#include "core/common/power_law.hpp"
#include "core/numerics/powi.hpp"
#include "core/parallel/worker_pool.hpp"

namespace sorvex {
namespace {
/// Beyond this x the asymptotic kernel is exactly 0: e^-x underflows below half the smallest
/// subnormal from x = 1075 ln 2 = 745.13 on.
constexpr double kvt_zero_beyond = 746.0;
} // namespace

double kvt(double x) {
    if (x < 0.00032180900500625734) {
        return 1.808418021102802 * std::pow(x, 0.3333333333333333);
    }
    if (x <= 0.650532122717873) {
        const double l = std::log(x);
        return std::exp(-0.7871626401625178 - 0.7050933708504841 * l -
                        0.35531869295610624 * powi(l, 2) - 0.06503312461868385 * powi(l, 3) -
                        0.0060901233982264096 * powi(l, 4) - 0.00022764616638053332 * powi(l, 5));
    }
    if (x <= 15.579904689804556) {
        const double l = std::log(x);
        return std::exp(-0.8236455154570651 - 0.831668613094906 * l -
                        0.525630345887699 * powi(l, 2) - 0.22039314697105414 * powi(l, 3) +
                        0.01669179529512499 * powi(l, 4) - 0.028650695862677572 * powi(l, 5));
    }
    // e^-x is exactly 0 beyond x = 1075 ln 2 = 745.13 (below half the smallest subnormal):
    // return that 0 without the slow underflow path of exp.
    if (x > kvt_zero_beyond) {
        return 0.0;
    }
    return 1.5707963267948966 * std::exp(-x) * (1.0 - 11.0 / (18.0 * x));
}

namespace {

using romberg::points_through;
using romberg::stage_step;
using synchrotron::absorption_scheme;
using synchrotron::emission_scheme;

using constants::gyro_frequency_per_gauss;
constexpr double emission_constant = constants::synchrotron_emission;
constexpr double absorption_constant = constants::synchrotron_absorption;
// The results of syn_emissivity_full are fixed to these bits.
static_assert(gyro_frequency_per_gauss == 2799248.987233304);
static_assert(emission_constant == 6.6645698196351e-30);
static_assert(absorption_constant == 0.0036580794255805012);
constexpr double density_floor = 1e-100; ///< a segment needs both end densities above it
constexpr double result_floor = 1e-200;  ///< smaller results, negative ones included, are 0
constexpr double kernel_cut = 0.75;      ///< K(gamma) = 0 unless 0.75 / gamma < nu / nu_B
/// Absorption: a lower segment end with gamma - 1 <= 1e-10 is evaluated at 1.0000000001, where
/// the factor gamma^2 / (gamma^2 - 1) is finite.
constexpr double guard_width = 1e-10;
constexpr double guarded_gamma = 1.0000000001;

/// Frequency-independent factors of the two integrands at one Lorentz factor.
struct PointFactors {
    double cut;          ///< 0.75 / gamma
    double three_g2;     ///< 3 gamma^2, so that x = 2 chi / (3 gamma^2)
    double emission;     ///< gamma^(1 - q)
    double absorption;   ///< gamma^-q (with absorption only)
    double momentum_fac; ///< q + 1 + gamma^2 / (gamma^2 - 1) (with absorption only)
};

PointFactors point_factors(double gamma, double q, bool with_abs) {
    const double g2 = gamma * gamma;
    PointFactors f{kernel_cut / gamma, 3.0 * g2, std::pow(gamma, 1.0 - q), 0.0, 0.0};
    if (with_abs) {
        f.absorption = std::pow(gamma, -q);
        f.momentum_fac = (q + 1.0) + g2 / (g2 - 1.0);
    }
    return f;
}

/// K(gamma) at chi = nu / nu_B.
double kernel(const PointFactors& f, double chi) {
    return f.cut < chi ? kvt((2.0 * chi) / f.three_g2) : 0.0;
}

double emission_integrand(const PointFactors& f, double k) {
    return f.emission * k;
}

double absorption_integrand(const PointFactors& f, double k) {
    return (f.absorption * k) * f.momentum_fac;
}

/// One power-law segment of the distribution that passes the density floor.
struct Segment {
    double a;       ///< ln gamma_i
    double b;       ///< ln gamma_{i+1}
    double q;       ///< clamped index
    double n;       ///< n_i
    double gamma_q; ///< gamma_i^q
    bool guarded;   ///< absorption evaluates the lower end at guarded_gamma
    PointFactors guarded_lower;
    /// Largest 3 gamma^2 among the points the first extrapolation needs (the guarded end too),
    /// and whether all their integrand factors are finite.
    double max_three_g2 = 0.0;
    bool factors_finite = false;
};

/// The segments and their integrand factors at the points of the stages that every integral
/// evaluates (through its first extrapolation): computed once per call, not once per frequency.
struct SegmentTable {
    bool with_abs = false;
    std::size_t points = 0; ///< tabulated points per segment
    std::vector<Segment> segments;
    std::vector<PointFactors> factors; ///< `points` entries per segment

    std::span<const PointFactors> of(std::size_t s) const {
        return std::span<const PointFactors>(factors).subspan(s * points, points);
    }
};

constexpr std::size_t max_table_points = points_through(absorption_scheme.first_extrapolation);

SegmentTable build_table(const Grid& gamma_bins, const Grid& n_distrib, bool with_abs) {
    SegmentTable table;
    table.with_abs = with_abs;
    table.points = with_abs ? points_through(absorption_scheme.first_extrapolation)
                            : points_through(emission_scheme.first_extrapolation);
    for (std::size_t i = 0; i + 1 < gamma_bins.size(); ++i) {
        const double n0 = n_distrib[i];
        const double n1 = n_distrib[i + 1];
        if (!(n0 > density_floor && n1 > density_floor)) {
            continue;
        }
        const double g0 = gamma_bins[i];
        const double g1 = gamma_bins[i + 1];
        const double q = power_law_index(g0, g1, n0, n1);
        Segment segment{std::log(g0), std::log(g1), q, n0, std::pow(g0, q), false, {}};
        if (with_abs && std::exp(segment.a) - 1.0 <= guard_width) {
            segment.guarded = true;
            segment.guarded_lower = point_factors(guarded_gamma, q, true);
        }
        table.segments.push_back(segment);
    }
    table.factors.resize(table.segments.size() * table.points);
    parallel::parallel_for(table.segments.size(), [&](std::size_t s) {
        const Segment& seg = table.segments[s];
        PointFactors* out = table.factors.data() + s * table.points;
        out[0] = point_factors(std::exp(seg.a), seg.q, with_abs);
        out[1] = point_factors(std::exp(seg.b), seg.q, with_abs);
        std::size_t p = 2;
        for (std::size_t k = 1; p < table.points; ++k) {
            const double delta = stage_step(seg.a, seg.b, k);
            for (std::size_t t = 0, m = std::size_t{1} << (k - 1); t < m; ++t, ++p) {
                out[p] =
                    point_factors(std::exp(romberg::stage_point<emission_scheme>(seg.a, delta, t)),
                                  seg.q, with_abs);
            }
        }
        Segment& summary = table.segments[s];
        summary.factors_finite = true;
        const auto include = [&](const PointFactors& f) {
            summary.max_three_g2 = std::fmax(summary.max_three_g2, f.three_g2);
            summary.factors_finite = summary.factors_finite && std::isfinite(f.three_g2) &&
                                     std::isfinite(f.emission) && std::isfinite(f.absorption) &&
                                     std::isfinite(f.momentum_fac);
        };
        std::for_each(out, out + table.points, include);
        if (seg.guarded) {
            include(seg.guarded_lower);
        }
    });
    return table;
}

/// True when every kernel value the segment's integrals need through their first
/// extrapolation is exactly 0 (x beyond the underflow of e^-x at all points) and every
/// integrand factor is finite: both integrals are then exactly zero, as Romberg's scheme finds
/// at its first extrapolation.
bool integrals_vanish(const Segment& seg, double chi) {
    return seg.factors_finite && (2.0 * chi) / seg.max_three_g2 > kvt_zero_beyond;
}

/// j_nu and alpha_nu at one frequency, before the result floor, and the integrals there that
/// did not converge.
struct AtFrequency {
    double j = 0.0;
    double alpha = 0.0;
    std::vector<UnconvergedIntegral> unconverged;
};

UnconvergedIntegral unconverged(UnconvergedIntegral::Integrand integrand, double chi,
                                const Segment& seg, const romberg::Estimate& estimate) {
    return {integrand,      chi,           seg.q, std::exp(seg.a), std::exp(seg.b),
            estimate.value, estimate.error};
}

/// One segment integral of `integrand` (emission or absorption) at chi: the tabulated points
/// take their stored factors and kernel values, `lower` (when set) replaces point 0, and the
/// other points compute theirs.
template <const romberg::Scheme& scheme, class Integrand>
romberg::Estimate segment_integral(const Segment& seg, std::span<const PointFactors> factors,
                                   std::span<const double> kernels, double chi,
                                   const PointFactors* lower, bool with_abs, Integrand integrand) {
    return romberg::integrate<scheme>(seg.a, seg.b,
                                      [&](std::size_t p, double u) {
                                          if (p == 0 && lower != nullptr) {
                                              return integrand(*lower, kernel(*lower, chi));
                                          }
                                          if (p < factors.size()) {
                                              return integrand(factors[p], kernels[p]);
                                          }
                                          const PointFactors f =
                                              point_factors(std::exp(u), seg.q, with_abs);
                                          return integrand(f, kernel(f, chi));
                                      })
        .unwrap();
}

AtFrequency at_frequency(double nu, double b_field, const SegmentTable& table) {
    const double nu_b = gyro_frequency_per_gauss * b_field;
    const double chi = nu / nu_b;
    const std::size_t tabulated = table.points;
    std::array<double, max_table_points> kernels; // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::vector<UnconvergedIntegral> absorption_failures;
    AtFrequency out;
    for (std::size_t s = 0; s < table.segments.size(); ++s) {
        const Segment& seg = table.segments[s];
        if (integrals_vanish(seg, chi)) {
            // The integrals are exactly 0; the products still carry a NaN or infinite factor
            // into the sums, as the integrated segment would.
            out.j = out.j + emission_constant * nu_b * seg.n * 0.0 * seg.gamma_q;
            if (table.with_abs) {
                out.alpha =
                    out.alpha + absorption_constant * nu_b * seg.n * 0.0 * seg.gamma_q / (nu * nu);
            }
            continue;
        }
        const std::span<const PointFactors> factors = table.of(s);
        for (std::size_t p = 0; p < tabulated; ++p) {
            kernels[p] = kernel(factors[p], chi);
        }

        const std::span<const double> tabulated_kernels(kernels.data(), tabulated);
        const romberg::Estimate emission = segment_integral<emission_scheme>(
            seg, factors, tabulated_kernels, chi, nullptr, false,
            [](const PointFactors& f, double k) { return emission_integrand(f, k); });
        if (!emission.converged) {
            out.unconverged.push_back(
                unconverged(UnconvergedIntegral::Integrand::emission, chi, seg, emission));
        }
        out.j = out.j + emission_constant * nu_b * seg.n * emission.value * seg.gamma_q;

        if (!table.with_abs) {
            continue;
        }
        const romberg::Estimate absorption = segment_integral<absorption_scheme>(
            seg, factors, tabulated_kernels, chi, seg.guarded ? &seg.guarded_lower : nullptr, true,
            [](const PointFactors& f, double k) { return absorption_integrand(f, k); });
        if (!absorption.converged) {
            absorption_failures.push_back(
                unconverged(UnconvergedIntegral::Integrand::absorption, chi, seg, absorption));
        }
        out.alpha = out.alpha +
                    absorption_constant * nu_b * seg.n * absorption.value * seg.gamma_q / (nu * nu);
    }
    // The emission pass reports before the absorption pass.
    out.unconverged.insert(out.unconverged.end(), absorption_failures.begin(),
                           absorption_failures.end());
    return out;
}

double floored(double value) {
    return value < result_floor ? 0.0 : value;
}

} // namespace

SynchrotronSpectrum syn_emissivity_full(const Grid& freqs, const Grid& gamma_bins,
                                        const Grid& n_distrib, double b_field, bool with_abs) {
    if (!freqs.empty()) {
        require_length(gamma_bins, 1, "gamma_bins", "syn_emissivity_full");
        require_length(n_distrib, gamma_bins.size(), "n_distrib", "syn_emissivity_full");
    }
    SynchrotronSpectrum spectrum{Grid(freqs.size(), 0.0), Grid(freqs.size(), 0.0), {}};
    if (freqs.empty()) {
        return spectrum;
    }
    const SegmentTable table = build_table(gamma_bins, n_distrib, with_abs);
    // About 10 ns per kernel point, 513 points per segment (twice that with absorption).
    const double seconds = static_cast<double>(table.segments.size() * table.points) * 10e-9;
    const auto results = parallel::parallel_map(
        freqs.size(), [&](std::size_t i) { return at_frequency(freqs[i], b_field, table); },
        parallel::grain_for(seconds));
    for (std::size_t i = 0; i < freqs.size(); ++i) {
        spectrum.emissivity[i] = floored(results[i].j);
        if (with_abs) {
            spectrum.absorption[i] = floored(results[i].alpha);
        }
        spectrum.unconverged.insert(spectrum.unconverged.end(), results[i].unconverged.begin(),
                                    results[i].unconverged.end());
    }
    return spectrum;
}

} // namespace sorvex
