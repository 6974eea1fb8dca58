// The exact synchrotron kernel and the emissivity and absorption built on it.
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

#include "core/common/constants.hpp"
#include "core/radiation/exact/synchrotron.hpp"
#include "core/radiation/exact/synchrotron_kernel.hpp"

namespace sorvex::exact {
namespace {

using std::numbers::pi;

struct KernelValue {
    double x;
    double r;
};

// R(x) from K_4/3 and K_1/3 in 40-digit arithmetic, 17 digits shown
// (scripts/derive_synchrotron_kernel.py --values).
constexpr std::array<KernelValue, 13> kernel_values{{
    {1e-10, 8.3939310794555207e-4},
    {1e-4, 8.3757949389081099e-2},
    {0.01, 3.7149161549761972e-1},
    {0.1, 6.6145899707068299e-1},
    {0.29, 7.0684997995982398e-1},
    {1, 4.3913038364192598e-1},
    {1.9999, 1.7777006158444854e-1},
    {2, 1.7775334210809342e-1},
    {2.0001, 1.7773662412717924e-1},
    {5, 9.6537871859989234e-3},
    {30, 1.4420092749427792e-13},
    {200, 2.1672525642852429e-87},
    {650, 8.0223125549422715e-283},
}};

TEST(ExactKernel, MatchesHighPrecisionValues) {
    for (const auto& [x, r] : kernel_values) {
        EXPECT_NEAR(synchrotron_kernel(x) / r, 1.0, 1e-10) << "x = " << x;
    }
}

TEST(ExactKernel, SmallArgumentLimit) {
    // Leading terms of K_4/3 and K_1/3: R -> [G43 G13 2^(5/3) / 2 - 3/10 G43^2 2^(8/3)]
    // (x/2)^(1/3).
    const double g43 = std::tgamma(4.0 / 3.0);
    const double g13 = std::tgamma(1.0 / 3.0);
    const double leading =
        (g43 * g13 * std::cbrt(32.0) / 2.0 - 0.3 * g43 * g43 * std::cbrt(256.0)) / std::cbrt(2.0);
    for (const double x : {1e-30, 1e-18, 1e-12}) {
        EXPECT_NEAR(synchrotron_kernel(x) / (leading * std::cbrt(x)), 1.0, 1e-7) << x;
    }
    EXPECT_EQ(synchrotron_kernel(0.0), 0.0);
}

TEST(ExactKernel, LargeArgumentLimit) {
    // R e^x -> pi/2 (1 - 11 / (18 x) + O(1/x^2)), the second-order coefficient being about 1.4.
    for (const double x : {100.0, 400.0, 700.0}) {
        const double scaled = synchrotron_kernel(x) * std::exp(x) / (pi / 2.0);
        EXPECT_NEAR(scaled, 1.0 - 11.0 / (18.0 * x), 2.0 / (x * x)) << x;
    }
}

TEST(ExactKernel, ContinuousAtTheSplitAndZeroWhereItUnderflows) {
    const double below = std::nextafter(2.0, 0.0);
    const double above = std::nextafter(2.0, 3.0);
    EXPECT_NEAR(synchrotron_kernel(above) / synchrotron_kernel(below), 1.0, 1e-10);
    EXPECT_EQ(synchrotron_kernel(synchrotron_kernel_zero_from), 0.0);
    EXPECT_EQ(synchrotron_kernel(1e300), 0.0);
    EXPECT_GT(synchrotron_kernel(740.0), 0.0);
}

constexpr double b_field = 0.1;
const double nu_b = constants::gyro_frequency_per_gauss * b_field;
constexpr double emission_constant = constants::synchrotron_emission;
constexpr double absorption_constant = constants::synchrotron_absorption;

/// int_0^inf x^mu R(x) dx: the moment of the single-pitch-angle function F,
/// 2^(mu+1) / (mu+2) Gamma(mu/2 + 7/3) Gamma(mu/2 + 2/3), times the pitch-angle average
/// (1/2) int_0^pi sin^(mu+3) = sqrt(pi) Gamma((mu+4)/2) / (2 Gamma((mu+5)/2)).
double kernel_moment(double mu) {
    const double f_moment = std::pow(2.0, mu + 1.0) / (mu + 2.0) *
                            std::tgamma(mu / 2.0 + 7.0 / 3.0) * std::tgamma(mu / 2.0 + 2.0 / 3.0);
    return 0.5 * std::sqrt(pi) * std::tgamma((mu + 4.0) / 2.0) / std::tgamma((mu + 5.0) / 2.0) *
           f_moment;
}

class PowerLawElectrons : public ::testing::TestWithParam<double> {};

TEST_P(PowerLawElectrons, MatchTheTextbookEmissivityAndAbsorption) {
    // n = gamma^-p on [1, 1e8], exact with two grid points; at X = 1e4 the kernel is negligible
    // at both ends, so the integrals are the textbook ones over all x (Rybicki & Lightman 6.36 and
    // 6.53, averaged over pitch angles).
    const double p = GetParam();
    const std::vector<double> gamma{1.0, 1e8};
    const std::vector<double> n{1.0, std::pow(1e8, -p)};
    const double big_x = 1e4;
    const double nu = 1.5 * big_x * nu_b;
    const auto out = synchrotron(std::vector<double>{nu}, gamma, n, b_field);
    const double j = emission_constant * nu_b * 0.5 * std::pow(big_x, (1.0 - p) / 2.0) *
                     kernel_moment((p - 3.0) / 2.0);
    const double alpha = absorption_constant * nu_b / (nu * nu) * (p + 2.0) * 0.5 *
                         std::pow(big_x, -p / 2.0) * kernel_moment((p - 2.0) / 2.0);
    EXPECT_NEAR(out.j_nu[0] / j, 1.0, 1e-6);
    EXPECT_NEAR(out.alpha_nu[0] / alpha, 1.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Indices, PowerLawElectrons, ::testing::Values(1.5, 2.0, 2.5, 3.0, 4.0));

TEST(ExactSynchrotron, LowFrequencySlopes) {
    // Far below the critical frequency of the lowest electrons, j ~ nu^(1/3), alpha ~ nu^(-5/3).
    const std::vector<double> gamma{1e3, 1e4, 1e5};
    const std::vector<double> n{1.0, 1e-2, 1e-5};
    const double nu = 1.5 * nu_b * 1e6 * 1e-7; // x = 1e-7 at gamma = 1e3
    const auto out = synchrotron(std::vector<double>{nu / 8.0, nu}, gamma, n, b_field);
    EXPECT_NEAR(out.j_nu[1] / out.j_nu[0], 2.0, 2e-4);
    EXPECT_NEAR(out.alpha_nu[1] / out.alpha_nu[0], 1.0 / 32.0, 1e-5);
}

TEST(ExactSynchrotron, ExponentialTailOfANarrowShell) {
    // Electrons in [g, g (1 + 1e-9)]: j = c nu_B N R(x), x = nu / (1.5 g^2 nu_B).
    const double g = 1e3;
    const std::vector<double> gamma{g, g * (1.0 + 1e-9)};
    const std::vector<double> n{1.0, 1.0};
    const double count = gamma[1] - gamma[0];
    for (const double x : {50.0, 400.0}) {
        const double nu = 1.5 * g * g * nu_b * x;
        const auto out = synchrotron(std::vector<double>{nu}, gamma, n, b_field);
        const double asymptote =
            emission_constant * nu_b * count * pi / 2.0 * std::exp(-x) * (1.0 - 11.0 / (18.0 * x));
        EXPECT_NEAR(out.j_nu[0] / asymptote, 1.0, 2.0 / (x * x) + 1e-5) << x;
    }
}

/// A broken power law (index 2 to 1e4, 3.5 above) on `points` log-spaced Lorentz factors from
/// 10 to 1e6 that include the break.
std::pair<std::vector<double>, std::vector<double>> broken_power_law(std::size_t points) {
    std::vector<double> gamma;
    std::vector<double> n;
    for (std::size_t k = 0; k < points; ++k) {
        const double g =
            10.0 * std::pow(1e5, static_cast<double>(k) / static_cast<double>(points - 1));
        gamma.push_back(g);
    }
    gamma[(points - 1) * 3 / 5] = 1e4;
    for (const double g : gamma) {
        n.push_back(g <= 1e4 ? std::pow(g / 1e4, -2.0) : std::pow(g / 1e4, -3.5));
    }
    return {gamma, n};
}

std::vector<double> log_grid(double lo, double hi, std::size_t points) {
    std::vector<double> grid;
    for (std::size_t k = 0; k < points; ++k) {
        grid.push_back(lo *
                       std::pow(hi / lo, static_cast<double>(k) / static_cast<double>(points - 1)));
    }
    return grid;
}

TEST(ExactSynchrotron, CoarseAndFineGridsOfOnePowerLawAgree) {
    // The adaptive integration makes the result independent of how finely an exact power law
    // is tabulated: three points and 301 points.
    const auto nu = log_grid(1e8, 1e20, 25);
    const std::vector<double> gamma{10.0, 1e4, 1e6};
    const std::vector<double> n{std::pow(1e-3, -2.0), 1.0, std::pow(1e2, -3.5)};
    const auto [g_fine, n_fine] = broken_power_law(301);
    const auto coarse = synchrotron(nu, gamma, n, b_field);
    const auto fine = synchrotron(nu, g_fine, n_fine, b_field);
    for (std::size_t f = 0; f < nu.size(); ++f) {
        if (fine.j_nu[f] < 1e-250) {
            continue;
        }
        EXPECT_NEAR(coarse.j_nu[f] / fine.j_nu[f], 1.0, 1e-6) << nu[f];
        EXPECT_NEAR(coarse.alpha_nu[f] / fine.alpha_nu[f], 1.0, 1e-6) << nu[f];
    }
}

TEST(ExactSynchrotron, ZeroDensitiesCloseTheirIntervalsAndAbsorptionIsOptional) {
    const auto nu = log_grid(1e9, 1e16, 8);
    const std::vector<double> gamma{10.0, 100.0, 1e3, 1e4};
    const std::vector<double> n{0.0, 1e-2, 1e-4, 0.0};
    const auto out = synchrotron(nu, gamma, n, b_field, false);
    const auto middle = synchrotron(nu, std::vector<double>{100.0, 1e3},
                                    std::vector<double>{1e-2, 1e-4}, b_field, false);
    for (std::size_t f = 0; f < nu.size(); ++f) {
        EXPECT_EQ(out.j_nu[f], middle.j_nu[f]);
        EXPECT_EQ(out.alpha_nu[f], 0.0);
    }
    const auto empty = synchrotron(std::vector<double>{}, gamma, n, b_field);
    EXPECT_TRUE(empty.j_nu.empty() && empty.alpha_nu.empty());
}

TEST(ExactSynchrotron, FrequenciesFarAboveEveryElectronGiveZero) {
    // nu / nu_B overflows: x is infinite for every electron and the kernel 0.
    const auto out = synchrotron(std::vector<double>{1e300}, std::vector<double>{1.0, 1e3},
                                 std::vector<double>{1.0, 1e-6}, 1e-300);
    EXPECT_EQ(out.j_nu[0], 0.0);
    EXPECT_EQ(out.alpha_nu[0], 0.0);
}

TEST(ExactSynchrotron, EachFrequencyIsComputedIndependently) {
    // One call over all frequencies (spread over the pool) gives the bits of one call per
    // frequency (each on the calling thread).
    const auto nu = log_grid(1e8, 1e20, 64);
    const auto [gamma, n] = broken_power_law(100);
    const auto all = synchrotron(nu, gamma, n, b_field);
    for (std::size_t f = 0; f < nu.size(); ++f) {
        const auto one = synchrotron(std::vector<double>{nu[f]}, gamma, n, b_field);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(all.j_nu[f]),
                  std::bit_cast<std::uint64_t>(one.j_nu[0]));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(all.alpha_nu[f]),
                  std::bit_cast<std::uint64_t>(one.alpha_nu[0]));
    }
}

} // namespace
} // namespace sorvex::exact
