// The power-law tables, their quadrature and the kinematic limits that the accurate kernels share.
#include <array>
#include <cmath>
#include <cstddef>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

#include "core/radiation/exact/kinematic_limits.hpp"
#include "core/radiation/exact/power_law_nodes.hpp"
#include "core/radiation/exact/power_law_table.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"

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

class PowerLawNodes : public ::testing::TestWithParam<double> {};

TEST_P(PowerLawNodes, IntegrateThePowerLawExactlyWhereSteepWithTheNodesWhereItIsLarge) {
    // int_a^b y du and int_a^b y u du, y = e^(log_y_a + rate t), t = u - a: over e^2 across
    // [a, b] the substitution integrates y exactly, and u only as well as nodes near the end
    // where y is largest can.
    const double rate = GetParam();
    const double a = 0.2;
    const double b = 1.3;
    const double log_y_a = -1.5;
    const double length = b - a;
    const double y_b = std::exp(log_y_a + rate * length);
    const double integral = std::exp(log_y_a) * std::expm1(rate * length) / rate;
    const double moment = a * integral + (y_b * (length / rate - 1.0 / (rate * rate)) +
                                          std::exp(log_y_a) / (rate * rate));
    double total = 0.0;
    double total_u = 0.0;
    power_law_nodes<rules::GaussLegendre<3>>(a, b, log_y_a, rate, [&](double x, double w) {
        EXPECT_GE(x, std::exp(a) * (1.0 - 1e-15));
        EXPECT_LE(x, std::exp(b) * (1.0 + 1e-15));
        total += w;
        total_u += w * std::log(x);
    });
    const bool steep = std::fabs(rate) * length > 2.0;
    EXPECT_NEAR(total / integral, 1.0, steep ? 1e-13 : 1e-6) << rate;
    EXPECT_NEAR(total_u / moment, 1.0, steep ? 2e-2 : 1e-6) << rate;
}

INSTANTIATE_TEST_SUITE_P(FallingAndRising, PowerLawNodes,
                         ::testing::Values(-60.0, -3.0, -0.5, 0.5, 3.0, 60.0));

/// int n / gamma^2 dgamma for n = gamma^-p on [lo, hi].
double electron_integral(double lo, double hi, double p) {
    return (std::pow(lo, -p - 1.0) - std::pow(hi, -p - 1.0)) / (p + 1.0);
}

TEST(ElectronPieces, CoverEachPowerLawWithContiguousPiecesAndNodes) {
    // n = gamma^-2.5 with a zero at 1e3: the two intervals next to it contribute nothing.
    const std::vector<double> gamma{1.0, 10.0, 100.0, 1e3, 1e4, 1e5};
    std::vector<double> n;
    for (const double g : gamma) {
        n.push_back(g == 1e3 ? 0.0 : std::pow(g, -2.5));
    }
    const ElectronPieces<rules::GaussLegendre<3>> electrons(gamma, n, 0.15);
    ASSERT_EQ(electrons.laws().size(), 3U);
    EXPECT_EQ(electrons.lowest(), 1.0);
    EXPECT_NEAR(electrons.highest() / 1e5, 1.0, 1e-15);
    std::vector<double> per_law(3, 0.0);
    std::size_t next_node = 0;
    for (std::size_t p = 0; p < electrons.pieces().size(); ++p) {
        const auto& piece = electrons.pieces()[p];
        EXPECT_EQ(piece.first, next_node);
        EXPECT_EQ(piece.end - piece.first, 3U);
        EXPECT_LE(piece.u_hi - piece.u_lo, 0.15 * (1.0 + 1e-14));
        if (p > 0 && electrons.pieces()[p - 1].law == piece.law) {
            EXPECT_NEAR(electrons.pieces()[p - 1].u_hi, piece.u_lo, 1e-14); // up to rounding
        }
        for (std::size_t k = piece.first; k < piece.end; ++k) {
            EXPECT_GT(electrons.gamma()[k], piece.gamma_lo);
            EXPECT_LT(electrons.gamma()[k], piece.gamma_hi);
            per_law.at(piece.law) += electrons.weight()[k];
        }
        next_node = piece.end;
    }
    EXPECT_EQ(next_node, electrons.gamma().size());
    const std::array<std::array<double, 2>, 3> ends{{{1.0, 10.0}, {10.0, 100.0}, {1e4, 1e5}}};
    for (std::size_t l = 0; l < 3; ++l) {
        EXPECT_NEAR(per_law[l] / electron_integral(ends[l][0], ends[l][1], 2.5), 1.0, 1e-7) << l;
    }
}

double law_density(const PowerLaw& law, double u) {
    return law.at(u);
}

TEST(KernelLayout, LaysTheElectronsOutInDFromTheFloorToTheTop) {
    // eps1 = 1e3: pieces in ln d up to gamma = 2e3, the electrons' own pieces above.
    const double eps1 = 1e3;
    const double floor = 10.0;
    const std::vector<double> gamma{100.0, 1e4, 1e6};
    const std::vector<double> n{1e-4, 1e-8, 1e-12}; // gamma^-2
    const ElectronPieces<rules::GaussLegendre<3>> electrons(gamma, n, 0.15);
    std::vector<double> weights;
    const KernelLayout<rules::GaussLegendre<3>, law_density> layout(
        electrons, eps1, floor, [&](double g, double d, double w) {
            EXPECT_NEAR(g - d, eps1, 1e-12 * g);
            weights.push_back(w);
        });
    const auto& pieces = layout.pieces();
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(pieces.front().d_lo, floor);
    EXPECT_NEAR(pieces.back().d_hi / (1e6 - eps1), 1.0, 1e-15);
    ASSERT_EQ(layout.ends().size(), pieces.size());
    std::size_t next_node = 0;
    double total = 0.0;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        const auto& piece = pieces[p];
        EXPECT_EQ(layout.ends()[p], piece.d_hi);
        EXPECT_EQ(piece.shifted, piece.d_hi <= eps1 * (1.0 + 1e-12)) << p;
        if (p > 0) {
            EXPECT_NEAR(piece.d_lo / pieces[p - 1].d_hi, 1.0, 1e-13) << p;
        }
        EXPECT_EQ(piece.first, next_node);
        double own = 0.0;
        for (std::size_t k = piece.first; k < piece.end; ++k) {
            own += weights.at(k);
        }
        // the same piece with a rule of its own
        const double again = layout.sum<rules::GaussLegendre<8>>(
            piece, piece.log_lo, piece.log_hi, [](double, double) { return 1.0; });
        EXPECT_NEAR(again / own, 1.0, 1e-7) << p;
        total += own;
        next_node = piece.end;
    }
    EXPECT_EQ(next_node, weights.size());
    EXPECT_NEAR(total / electron_integral(eps1 + floor, 1e6, 2.0), 1.0, 1e-7);
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
