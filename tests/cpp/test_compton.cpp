// Inverse-Compton pair integral over the kinematic region, and the cooling table size limits.
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

/// Midpoint rule in ln y of y^(e+f+1) int_{1/g_hi^2}^{min(1/g_lo^2, 1/y)} x^e (1 - x y) dx.
LD pair_reference(LD g_lo, LD g_hi, LD y_lo, LD y_hi, LD e, LD f) {
    auto power = [](LD a, LD b, LD s) { return (std::pow(b, s) - std::pow(a, s)) / s; };
    const int steps = 400000;
    const LD h = std::log(y_hi / y_lo) / steps;
    LD total = 0;
    for (int k = 0; k < steps; ++k) {
        const LD y = y_lo * std::exp((k + 0.5L) * h);
        const LD x_lo = 1 / (g_hi * g_hi);
        const LD x_hi = std::fmin(1 / (g_lo * g_lo), 1 / y);
        total +=
            h * std::pow(y, e + f + 2) * (power(x_lo, x_hi, e + 1) - y * power(x_lo, x_hi, e + 2));
    }
    return total;
}

struct Pair {
    double g_lo, g_hi, y_lo, y_hi, e, f;
};

class PairIntegral : public ::testing::TestWithParam<Pair> {};

TEST_P(PairIntegral, MatchesQuadratureOverTheKinematicRegion) {
    const Pair c = GetParam();
    const auto exact =
        static_cast<double>(pair_reference(c.g_lo, c.g_hi, c.y_lo, c.y_hi, c.e, c.f));
    EXPECT_NEAR(ic_pair_integral(c.g_lo, c.g_hi, c.y_lo, c.y_hi, c.e, c.f) / exact, 1.0, 1e-8);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, PairIntegral,
    ::testing::Values(Pair{3.0, 10.0, 0.5, 8.0, 0.5, -1.2},              // rectangle below g_lo^2
                      Pair{2.0, 10.0, 1.0, 20.0, 0.3, -0.8},             // straddles y = g_lo^2
                      Pair{2.0, 10.0, 6.0, 50.0, -0.5, 0.4},             // wholly above g_lo^2
                      Pair{1.5, 4.0, 0.25, 10.0, 3.5, -4.0},             // steep
                      Pair{std::sqrt(3.0), 10.0, 0.25, 3.0, 0.2, 0.7})); // rounded sqrt(w)

std::string stop_message(std::size_t n_gamma, std::size_t n_nu) {
    try {
        rad_cool_table_size(n_gamma, n_nu);
    } catch (const Stop& s) {
        return s.message();
    }
    return "";
}

TEST(CoolingTable, SizeCountsAnEmptyAxisAsOneAndStopsBeforeAllocation) {
    EXPECT_EQ(rad_cool_table_size(200, 300), 60000U);
    EXPECT_EQ(rad_cool_table_size(0, 7), 7U);
    const std::size_t big = std::size_t{1} << 32;
    EXPECT_EQ(stop_message(big, big), "rad_cool_pwl: a table of 4294967296 x 4294967296 "
                                      "entries does not fit a signed 64-bit size");
    EXPECT_NE(stop_message(big / 2, big / 2).find("address space"), std::string::npos);
    EXPECT_NE(stop_message(1000000, 1000000).find("physical memory"), std::string::npos);
}

} // namespace
} // namespace sorvex
