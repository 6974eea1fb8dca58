// Klein-Nishina inverse Compton and pair-production opacity of the accurate kernels. (Their
// refused arguments are tested at the Python boundary, tests/python/test_kernels.py.)
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

#include "core/common/constants.hpp"
#include "core/radiation/cooling.hpp"
#include "core/radiation/exact/gamma_gamma.hpp"
#include "core/radiation/exact/inverse_compton.hpp"

namespace sorvex::exact {
namespace {

using std::numbers::pi;
using Vector = std::vector<double>;

constexpr double to_eps = constants::planck_over_rest_energy; // h / (m_e c^2), s
const double ic_constant = 0.75 * constants::thomson_cross_section;

Vector log_grid(double lo, double hi, std::size_t points) {
    Vector grid;
    for (std::size_t k = 0; k < points; ++k) {
        grid.push_back(lo *
                       std::pow(hi / lo, static_cast<double>(k) / static_cast<double>(points - 1)));
    }
    return grid;
}

/// n = gamma^-p on [lo, hi], exact with two points.
std::array<Vector, 2> power_law(double lo, double hi, double p) {
    return {Vector{lo, hi}, Vector{std::pow(lo, -p), std::pow(hi, -p)}};
}

class ThomsonLimit : public ::testing::TestWithParam<double> {};

TEST_P(ThomsonLimit, LineEqualsTheExactIsotropicThomsonResult) {
    // Blumenthal & Gould's Thomson kernel f(x) = 2x ln x + x + 1 - 2x^2 integrated over a power
    // law n = gamma^-p: int_0^1 x^((p-1)/2) f dx = 4 (p^2 + 4p + 11) / ((p+3)^2 (p+5) (p+1)).
    const double p = GetParam();
    const auto [gamma, n] = power_law(1.0, 1e8, p);
    const double nu0 = 1e9;
    const double u = 1e-2;
    const double w = 1e6; // nu = 4 w nu0: the scattering electrons have gamma >= 1e3
    const double nu = 4.0 * w * nu0;
    const double moment =
        4.0 * (p * p + 4.0 * p + 11.0) / ((p + 3.0) * (p + 3.0) * (p + 5.0) * (p + 1.0));
    const double seed = constants::speed_of_light * u / (4.0 * pi * nu0 * nu0);
    const double expected = ic_constant * nu * seed * 0.5 * std::pow(w, -(p + 1.0) / 2.0) * moment;
    const Vector j = inverse_compton_line(Vector{nu}, u, nu0, gamma, n);
    EXPECT_NEAR(j[0] / expected, 1.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Indices, ThomsonLimit, ::testing::Values(1.5, 2.0, 3.0, 4.5));

TEST(KleinNishina, DeepRegimeFollowsTheLogarithmicLaw) {
    // For 4 eps eps1 = L >> 1 and n = gamma^-p (Blumenthal & Gould 1970, 2.88):
    //   j nu^p = 3 sigma_T / 4 * c u / (4 pi nu0^2) * (m_e c^2 / h)^(p+1) (ln L / 2 + C(p)),
    // so j nu^p grows by exactly that prefactor / 2 per e-fold of nu.
    const double p = 2.5;
    const double nu0 = 1.0 / to_eps; // eps = 1
    const auto [gamma, n] = power_law(100.0, 1e12, p);
    const double u = 1.0;
    const Vector nu{2500.0 / to_eps, 25000.0 / to_eps, 250000.0 / to_eps}; // L = 1e4, 1e5, 1e6
    const Vector j = inverse_compton_line(nu, u, nu0, gamma, n);
    const double prefactor = ic_constant * constants::speed_of_light * u / (4.0 * pi * nu0 * nu0) *
                             std::pow(1.0 / to_eps, p + 1.0);
    for (std::size_t k = 0; k + 1 < nu.size(); ++k) {
        const double rise = j[k + 1] * std::pow(nu[k + 1], p) - j[k] * std::pow(nu[k], p);
        EXPECT_NEAR(rise / (prefactor / 2.0 * std::log(10.0)), 1.0, 3e-3) << nu[k];
    }
}

struct LossCase {
    double b;    ///< 4 gamma eps
    double f_kn; ///< scripts/radiation_reference_values.py, from the Klein-Nishina cross-section
};

class EnergyConservation : public ::testing::TestWithParam<LossCase> {};

TEST_P(EnergyConservation, RadiatedPowerEqualsTheKleinNishinaLossRate) {
    // Electrons in a narrow band at gamma = 1e4 on a line: 4 pi int j dnu equals the Thomson loss
    // rate m_e c^2 dgamma/dt of rad_cool_mono times f_KN(b), per electron.
    const LossCase c = GetParam();
    const double g = 1e4;
    const Vector gamma{g, g * (1.0 + 1e-4)};
    const Vector n{1.0, 1.0};
    const double eps = c.b / (4.0 * g);
    const double nu0 = eps / to_eps;
    const double u = 1e-3;
    // Deep in the Klein-Nishina regime the spectrum piles up within eps1_max / b of its highest
    // energy eps1_max: below eps1_max / 2 a grid in ln(nu), above one in ln(nu_max - nu).
    const double b_hi = 4.0 * gamma[1] * eps;
    const double nu_max = gamma[1] * b_hi / (1.0 + b_hi) / to_eps;
    Vector nu = log_grid(0.5 * nu0, 0.5 * nu_max, 3001);
    for (const double d : log_grid(0.5 * nu_max, 1e-10 * nu_max, 3001)) {
        nu.push_back(nu_max - d);
    }
    const Vector j = inverse_compton_line(nu, u, nu0, gamma, n);
    double power = 0.0; // trapezoid rule in nu
    for (std::size_t k = 0; k + 1 < nu.size(); ++k) {
        power += 0.5 * (nu[k + 1] - nu[k]) * (j[k] + j[k + 1]);
    }
    power *= 4.0 * pi;
    const double g_mid = g * (1.0 + 0.5e-4);
    const double rate = rad_cool_mono(Grid{g_mid}, nu0, u, false)[0];
    const double expected = (gamma[1] - gamma[0]) * constants::electron_rest_energy * rate * c.f_kn;
    EXPECT_NEAR(power / expected, 1.0, 1e-3) << "b = " << c.b;
}

INSTANTIATE_TEST_SUITE_P(
    FromThomsonToDeepKleinNishina, EnergyConservation,
    ::testing::Values(LossCase{1e-3, 0.998427202118}, LossCase{0.1, 0.861985263868},
                      LossCase{1, 0.36215121136}, LossCase{10, 0.0369696116241},
                      LossCase{100, 0.00122773751608}, LossCase{1000, 2.26983000201e-5}));

TEST(InverseCompton, NarrowSeedBandEqualsTheLine) {
    // A seed band [nu0, nu0 (1 + 1e-7)] of intensity I carries u = 4 pi I dnu / c.
    const auto [gamma, n] = power_law(10.0, 1e6, 2.2);
    const double nu0 = 1e15; // 4 gamma eps reaches 32: the Klein-Nishina regime
    const double intensity = 1.0;
    const Vector seed_nu{nu0, nu0 * (1.0 + 1e-7)};
    const double u = 4.0 * pi * intensity * (seed_nu[1] - seed_nu[0]) / constants::speed_of_light;
    const Vector nu = log_grid(1e16, 1e26, 21);
    const Vector band = inverse_compton(nu, seed_nu, Vector{intensity, intensity}, gamma, n);
    const Vector line = inverse_compton_line(nu, u, nu0, gamma, n);
    for (std::size_t k = 0; k < nu.size(); ++k) {
        if (line[k] > 0.0) {
            EXPECT_NEAR(band[k] / line[k], 1.0, 1e-6) << nu[k];
        } else {
            EXPECT_EQ(band[k], 0.0);
        }
    }
}

TEST(InverseCompton, KinematicEndsAndEmptyIntervals) {
    // Nothing above the highest scattered energy gamma_max b / (1 + b) of the top electrons, and
    // nothing from intervals with a zero density or intensity at an end.
    const double nu0 = 1e15;
    const Vector gamma{10.0, 1e3, 1e6};
    const double eps1_max = 1e6 * 4e6 * nu0 * to_eps / (1.0 + 4e6 * nu0 * to_eps);
    const Vector nu{0.999 * eps1_max / to_eps, 1.001 * eps1_max / to_eps};
    const Vector j = inverse_compton_line(nu, 1.0, nu0, gamma, Vector{1.0, 1e-6, 1e-15});
    EXPECT_GT(j[0], 0.0);
    EXPECT_EQ(j[1], 0.0);
    const Vector closed = inverse_compton_line(nu, 1.0, nu0, gamma, Vector{1.0, 1e-6, 0.0});
    EXPECT_EQ(closed[0], 0.0);
    const Vector dark = inverse_compton(Vector{1e20}, Vector{1e12, 1e13, 1e14},
                                        Vector{0.0, 1.0, 0.0}, gamma, Vector{1.0, 1e-6, 1e-15});
    EXPECT_EQ(dark[0], 0.0);
}

struct CrossSectionValue {
    double s0;
    double value; ///< scripts/radiation_reference_values.py, by direct quadrature
};

TEST(PairProduction, IsotropicCrossSectionMatchesQuadrature) {
    constexpr std::array<CrossSectionValue, 11> values{{
        {1.0001, 4.9994499951925867e-7},
        {1.01, 4.9449654530165054e-4},
        {1.0989, 1.3877941350963675e-2},
        {1.1, 1.4091702838239571e-2},
        {1.5, 9.8012359116017748e-2},
        {3, 2.0879423776808759e-1},
        {10, 1.5074140524116566e-1},
        {100, 3.0824584112245434e-2},
        {1e4, 6.4508813011556344e-4},
        {1e8, 1.335523265035086e-7},
        {1e12, 2.0262986608080209e-11},
    }};
    for (const auto& [s0, value] : values) {
        EXPECT_NEAR(isotropic_pair_cross_section(s0) / value, 1.0, 1e-12) << s0;
    }
    EXPECT_EQ(isotropic_pair_cross_section(1.0), 0.0);
    EXPECT_EQ(isotropic_pair_cross_section(0.5), 0.0);
    // Far above the threshold sigma_bar -> 3 / (4 s0) (ln(4 s0) - 2).
    const double s0 = 1e15;
    EXPECT_NEAR(isotropic_pair_cross_section(s0) / (0.75 / s0 * (std::log(4.0 * s0) - 2.0)), 1.0,
                1e-12);
}

TEST(PairProduction, OpacityOfANarrowBand) {
    // tau = R sigma_T n_ph sigma_bar(eps eps_gamma), n_ph = 4 pi I dnu / (c h nu0).
    const double nu0 = 1e15;
    const Vector seed_nu{nu0, nu0 * (1.0 + 1e-7)};
    const double intensity = 1e3;
    const double radius = 1e16;
    const double n_ph = 4.0 * pi * intensity * (seed_nu[1] - seed_nu[0]) /
                        (constants::speed_of_light * constants::planck * nu0);
    const Vector nu{0.5 / (nu0 * to_eps * to_eps), 3.0 / (nu0 * to_eps * to_eps),
                    1e4 / (nu0 * to_eps * to_eps)};
    const Vector tau = gamma_gamma_opacity(nu, seed_nu, Vector{intensity, intensity}, radius);
    EXPECT_EQ(tau[0], 0.0); // below the threshold
    for (std::size_t k = 1; k < nu.size(); ++k) {
        const double s0 = nu[k] * to_eps * nu0 * to_eps;
        const double expected =
            radius * constants::thomson_cross_section * n_ph * isotropic_pair_cross_section(s0);
        EXPECT_NEAR(tau[k] / expected, 1.0, 1e-6) << s0;
    }
}

TEST(AccurateKernels, EachFrequencyIsComputedIndependently) {
    // All frequencies in one call (on the pool) give the bits of one call per frequency.
    const Vector gamma = log_grid(10.0, 1e6, 60);
    Vector n;
    for (const double g : gamma) {
        n.push_back(std::pow(g, -2.3));
    }
    const Vector seed_nu = log_grid(1e10, 1e18, 40);
    Vector seed_i;
    for (const double v : seed_nu) {
        seed_i.push_back(std::pow(v / 1e10, -0.7));
    }
    const Vector nu = log_grid(1e12, 1e27, 48);
    using Call = std::function<Vector(const Vector&)>;
    const std::array<Call, 3> calls{
        [&](const Vector& f) { return inverse_compton(f, seed_nu, seed_i, gamma, n); },
        [&](const Vector& f) { return inverse_compton_line(f, 1.0, 1e14, gamma, n); },
        [&](const Vector& f) { return gamma_gamma_opacity(f, seed_nu, seed_i, 1e16); },
    };
    for (const Call& call : calls) {
        const Vector all = call(nu);
        for (std::size_t k = 0; k < nu.size(); ++k) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(all[k]),
                      std::bit_cast<std::uint64_t>(call(Vector{nu[k]})[0]));
        }
    }
}

} // namespace
} // namespace sorvex::exact
