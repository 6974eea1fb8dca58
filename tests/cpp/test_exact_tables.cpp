// The power-law tables and the kinematic limits that the accurate kernels share.
#include <cmath>
#include <cstddef>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

#include "core/radiation/exact/kinematic_limits.hpp"
#include "core/radiation/exact/power_law_table.hpp"

namespace sorvex::exact {
namespace {

TEST(PowerLawTable, SkipsIntervalsWithAZeroEndAndRecoversTheIndex) {
    const std::vector<double> x{1.0, 10.0, 100.0, 1e3, 1e4};
    const std::vector<double> y{1.0, 1e-2, 0.0, 1e-6, 1e-8}; // y = x^-2 where positive
    const std::vector<PowerLaw> table = power_law_table(x, y);
    ASSERT_EQ(table.size(), 2U);
    EXPECT_EQ(table[0].index, 0U);
    EXPECT_EQ(table[1].index, 3U);
    for (const PowerLaw& law : table) {
        EXPECT_NEAR(law.slope, 2.0, 1e-14);
        EXPECT_NEAR(law.at(law.u_hi) / y[law.index + 1], 1.0, 1e-14);
        EXPECT_NEAR(std::exp(law.log_at(law.u_hi)) / y[law.index + 1], 1.0, 1e-14);
    }
}

TEST(PowerLawTable, EqualPiecesCoverTheIntervalExactly) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(piece_count(0.0, 1.0, 0.3), 4U);
    EXPECT_EQ(piece_count(0.0, 0.3, 0.3), 1U);
    EXPECT_EQ(piece_count(1.0, 0.0, 0.3), 1U);
    EXPECT_EQ(piece_count(0.0, nan, 0.3), 1U);
    EXPECT_EQ(piece_count(0.0, 1e300, 0.3), 100000U);
    std::vector<double> ends{};
    for_each_piece(0.1, 2.0, 0.3, [&](double a, double b) {
        EXPECT_NEAR(a, ends.empty() ? 0.1 : ends.back(), 1e-15); // contiguous up to rounding
        EXPECT_LE(b - a, 0.3 * (1.0 + 1e-15));
        ends.push_back(b);
    });
    EXPECT_EQ(ends.size(), 7U);
    EXPECT_EQ(ends.back(), 2.0);
}

struct Scattering {
    double gamma;
    double eps1; ///< below gamma
};

class KleinNishinaLimits : public ::testing::TestWithParam<Scattering> {};

/// q = eps1 / (4 eps gamma (gamma - eps1)) of Blumenthal & Gould (1970, 2.48).
double q_of(double eps, double gamma, double eps1) {
    return eps1 / (4.0 * eps * gamma * (gamma - eps1));
}

TEST_P(KleinNishinaLimits, SeedEndsAndLorentzFactorEndsAreTheSameLimits) {
    // At the lowest seed energy of gamma, q = 1 and gamma is the lowest Lorentz factor; at the
    // highest, q = 1 / (4 gamma^2) and gamma is the highest (with eps > eps1 there).
    const auto [gamma, eps1] = GetParam();
    const double low = kinematics::lowest_seed(gamma, eps1);
    const double high = kinematics::highest_seed(gamma, eps1);
    EXPECT_NEAR(q_of(low, gamma, eps1), 1.0, 1e-12);
    EXPECT_NEAR(q_of(high, gamma, eps1) * 4.0 * gamma * gamma, 1.0, 1e-12);
    EXPECT_GT(high, eps1);
    EXPECT_NEAR(kinematics::d_min(low, eps1) / (gamma - eps1), 1.0, 1e-12);
    // high - eps1 = eps1^2 / (gamma - eps1) loses gamma / eps1 units of rounding.
    EXPECT_NEAR(kinematics::d_max(high, eps1) / (gamma - eps1), 1.0, 1e-15 * gamma / eps1 + 1e-12);
    EXPECT_EQ(kinematics::d_max(eps1, eps1), std::numeric_limits<double>::infinity());
    // A grid [gamma / 2, 2 gamma] reaches from the low end of its top to the high end of its
    // bottom, or without a limit where its bottom is not above eps1.
    const auto [lo, hi] = kinematics::seeds_reaching(0.5 * gamma, 2.0 * gamma, eps1);
    EXPECT_EQ(lo, kinematics::lowest_seed(2.0 * gamma, eps1));
    EXPECT_EQ(hi, 0.5 * gamma > eps1 ? kinematics::highest_seed(0.5 * gamma, eps1)
                                     : std::numeric_limits<double>::infinity());
}

INSTANTIATE_TEST_SUITE_P(FromThomsonToDeepKleinNishina, KleinNishinaLimits,
                         ::testing::Values(Scattering{1e3, 1e-6}, Scattering{1e3, 0.5},
                                           Scattering{1e6, 9e5}, Scattering{1e10, 1e-3},
                                           Scattering{2.0, 1.5}));

TEST(PairThreshold, SeedFrequencyTimesGammaRayEnergyIsTheThreshold) {
    for (const double eps_gamma : {1e-3, 1.0, 1e6}) {
        const double eps =
            kinematics::pair_threshold_frequency(eps_gamma) * constants::planck_over_rest_energy;
        EXPECT_NEAR(eps * eps_gamma, 1.0, 1e-15) << eps_gamma;
    }
}

} // namespace
} // namespace sorvex::exact
