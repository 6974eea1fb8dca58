// Inverse-Compton pair integral, Klein-Nishina transition functions and the cooling table size.
#include <cmath>
#include <cstddef>
#include <gtest/gtest.h>
#include <string>

#include "core/common/stop.hpp"
#include "core/radiation/cooling.hpp"
#include "core/radiation/inverse_compton.hpp"

namespace sorvex {
namespace {

using LD = long double;

/// int_{x_lo}^{x_hi} x^e (1 - x y) dx in closed form.
LD inner(LD x_lo, LD x_hi, LD y, LD e) {
    auto power = [](LD a, LD b, LD s) {
        return s == 0 ? std::log(b / a) : (std::pow(b, s) - std::pow(a, s)) / s;
    };
    return power(x_lo, x_hi, e + 1) - y * power(x_lo, x_hi, e + 2);
}

/// The pair integral by Gauss-Legendre panels in ln y, split at y = g_lo^2 where the upper x
/// limit changes from 1/g_lo^2 to 1/y.
LD pair_reference(LD g_lo, LD g_hi, LD y_lo, LD y_hi, LD e, LD f) {
    static const LD node[4] = {0.1834346424956498049L, 0.5255324099163289858L,
                               0.7966664774136267396L, 0.9602898564975362317L};
    static const LD weight[4] = {0.3626837833783619830L, 0.3137066458778872874L,
                                 0.2223810344533744706L, 0.1012285362903762592L};
    const LD x_lo = 1 / (g_hi * g_hi);
    const LD g2 = g_lo * g_lo;
    auto piece = [&](LD a, LD b) {
        if (!(b > a)) {
            return LD{0};
        }
        const int panels = 256;
        const LD u0 = std::log(a);
        const LD h = (std::log(b) - u0) / panels;
        LD total = 0;
        for (int k = 0; k < panels; ++k) {
            const LD mid = u0 + (k + 0.5L) * h;
            for (int j = 0; j < 4; ++j) {
                for (const int sign : {-1, 1}) {
                    const LD y = std::exp(mid + sign * node[j] * h / 2);
                    const LD x_hi = std::fmin(1 / g2, 1 / y);
                    total +=
                        weight[j] * h / 2 * y * std::pow(y, e + f + 1) * inner(x_lo, x_hi, y, e);
                }
            }
        }
        return total;
    };
    return piece(y_lo, std::fmin(y_hi, g2)) + piece(std::fmax(y_lo, g2), y_hi);
}

struct Pair {
    double g_lo, g_hi, y_lo, y_hi, e, f;
};

class PairIntegral : public ::testing::TestWithParam<Pair> {};

TEST_P(PairIntegral, MatchesQuadratureOverTheKinematicRegion) {
    const Pair c = GetParam();
    const LD exact = pair_reference(c.g_lo, c.g_hi, c.y_lo, c.y_hi, c.e, c.f);
    const double got = ic_pair_integral(c.g_lo, c.g_hi, c.y_lo, c.y_hi, c.e, c.f);
    EXPECT_GT(exact, 0.0L);
    EXPECT_NEAR(got / static_cast<double>(exact), 1.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, PairIntegral,
    ::testing::Values(Pair{3.0, 10.0, 0.5, 8.0, 0.5, -1.2},    // rectangle below g_lo^2
                      Pair{2.0, 10.0, 1.0, 20.0, 0.3, -0.8},   // straddles y = g_lo^2
                      Pair{2.0, 10.0, 6.0, 50.0, -0.5, 0.4},   // wholly above g_lo^2
                      Pair{2.0, 30.0, 0.3, 40.0, -1.0, -1.5},  // e = -1: log branch of sscs
                      Pair{1.5, 4.0, 0.25, 10.0, 3.5, -4.0})); // steep, wide sliver

TEST(PairIntegral, RoundedSquareRootGivesTheRectangleValue) {
    // sqrt(3) rounds below: g^2 < 3 = y_hi, so a sliver of the y-range lies above g^2.
    const double g = std::sqrt(3.0);
    ASSERT_LT(g * g, 3.0);
    const double sliver = ic_pair_integral(g, 10.0, 0.25, 3.0, -0.5, -0.5);
    const double up = std::nextafter(g, 4.0);
    ASSERT_GE(up * up, 3.0);
    const double rectangle = ic_pair_integral(up, 10.0, 0.25, 3.0, -0.5, -0.5);
    EXPECT_TRUE(std::isfinite(sliver));
    EXPECT_NEAR(sliver / rectangle, 1.0, 1e-14);
    EXPECT_NEAR(sliver / static_cast<double>(pair_reference(g, 10.0, 0.25, 3.0, -0.5, -0.5)), 1.0,
                1e-12);
}

TEST(TransKn, FitsTheExactKleinNishinaReduction) {
    // f_KN exact: 0.862 at b = 0.1, 0.362 at 1, 0.0370 at 10, 1.23e-3 at 100.
    EXPECT_NEAR(trans_kn(0.1, 0.0) / 0.862, 1.0, 0.01);
    EXPECT_NEAR(trans_kn(1.0, 0.0) / 0.362, 1.0, 0.025);
    EXPECT_NEAR(trans_kn_fit(1.0, 0.0) / 0.362, 1.0, 0.01);
    EXPECT_NEAR(trans_kn_fit(10.0, 0.0) / 0.0370, 1.0, 0.01);
    EXPECT_NEAR(trans_kn_fit(100.0, 0.0) / 1.23e-3, 1.0, 0.01);
    // The segment spectrum x^-q multiplies the reduction.
    EXPECT_DOUBLE_EQ(trans_kn(4.0, 1.5), std::pow(4.0, -1.5) * std::pow(5.0, -1.5));
    EXPECT_DOUBLE_EQ(trans_kn_fit(1.0, -3.0), std::exp(-1.01819432));
}

std::string stop_message(std::size_t n_gamma, std::size_t n_nu) {
    try {
        rad_cool_table_size(n_gamma, n_nu);
    } catch (const Stop& s) {
        return s.message();
    }
    return "";
}

TEST(CoolingTable, SizeCountsAnEmptyAxisAsOne) {
    EXPECT_EQ(rad_cool_table_size(200, 300), 60000U);
    EXPECT_EQ(rad_cool_table_size(0, 7), 7U);
    EXPECT_EQ(rad_cool_table_size(5, 0), 5U);
}

TEST(CoolingTable, OversizedTablesStopBeforeAllocation) {
    const std::size_t big = std::size_t{1} << 32;
    EXPECT_EQ(stop_message(big, big),
              "rad_cool_pwl: a table of 4294967296 x 4294967296 entries does not fit a signed "
              "64-bit size");
    EXPECT_NE(stop_message(std::size_t{1} << 62, 2).find("signed 64-bit"), std::string::npos);
    EXPECT_NE(stop_message(std::size_t{1} << 31, std::size_t{1} << 31).find("address space"),
              std::string::npos);
    EXPECT_NE(stop_message(1000000, 1000000).find("physical memory"), std::string::npos);
}

} // namespace
} // namespace sorvex
