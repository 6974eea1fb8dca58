// Extrapolation of the drift to the half-point below the grid in the Fokker-Planck step.
#include <cmath>
#include <gtest/gtest.h>
#include <span>
#include <string>
#include <vector>

#include "core/common/stop.hpp"
#include "core/distributions/fokker_planck.hpp"
#include "core/numerics/polint.hpp"

namespace sorvex {
namespace {

using V = std::vector<double>;

struct DriftCase {
    V gammas; // the grid from its second point on
    V drifts; // half-point drifts 1e-8 (g_i^2 + g_(i-1)^2) / 2
    double gamma0;
    double exact;
};

/// n log-spaced points over [lo, hi] and the half-point drifts of V = 1e-8 g^2.
DriftCase log_grid(int n, double lo, double hi) {
    V g(static_cast<std::size_t>(n));
    for (std::size_t k = 0; k < g.size(); ++k) {
        g[k] = lo * std::pow(hi / lo, static_cast<double>(k) / (n - 1));
    }
    DriftCase c{V(g.begin() + 1, g.end()), {}, g[0], 0.0};
    for (std::size_t k = 1; k < g.size(); ++k) {
        c.drifts.push_back(1e-8 * (g[k] * g[k] + g[k - 1] * g[k - 1]) * 0.5);
    }
    const double below = g[0] * g[0] / g[1];
    c.exact = 1e-8 * (g[0] * g[0] + below * below) * 0.5;
    return c;
}

double full_degree(const DriftCase& c) {
    return polint(c.gammas, c.drifts, c.gamma0).unwrap().y;
}

struct Grid3 {
    int n;
    double lo;
    double hi;
};

class SoundGrids : public testing::TestWithParam<Grid3> {};

TEST_P(SoundGrids, KeepTheFullDegreeValueBitForBit) {
    const auto [n, lo, hi] = GetParam();
    const DriftCase c = log_grid(n, lo, hi);
    const double v = detail::lowest_half_point_drift(c.gammas, c.drifts, c.gamma0);
    EXPECT_EQ(v, full_degree(c));
    EXPECT_NEAR(v, c.exact, 1e-4 * c.exact);
}

INSTANTIATE_TEST_SUITE_P(Cases, SoundGrids,
                         testing::Values(Grid3{5, 1.0, 1e6}, Grid3{6, 1.0, 1e6},
                                         Grid3{30, 1.0, 1e6}, Grid3{100, 1.0, 1e6},
                                         Grid3{400, 1.0, 1e6}, Grid3{50, 1.0, 10.0}));

class DenseGrids : public testing::TestWithParam<Grid3> {};

TEST_P(DenseGrids, FallBackToTheLowestFourPoints) {
    const auto [n, lo, hi] = GetParam();
    const DriftCase c = log_grid(n, lo, hi);
    // The full-degree polynomial is off by orders of magnitude (or not finite) here.
    const double full = full_degree(c);
    EXPECT_FALSE(std::fabs(full - c.exact) < c.exact);
    const double v = detail::lowest_half_point_drift(c.gammas, c.drifts, c.gamma0);
    const std::span<const double> xs(c.gammas), ys(c.drifts);
    EXPECT_EQ(v, polint(xs.first(4), ys.first(4), c.gamma0).unwrap().y);
    EXPECT_NEAR(v, c.exact, 1e-10 * c.exact);
}

INSTANTIATE_TEST_SUITE_P(Cases, DenseGrids,
                         testing::Values(Grid3{1000, 1.0, 1e6}, Grid3{800, 1.0, 1e6},
                                         Grid3{200, 1.0, 10.0}, Grid3{2000, 1.0, 1e6}));

TEST(LowestHalfPointDrift, EqualGammasStillStop) {
    for (const int n : {3, 50, 1000}) {
        DriftCase c = log_grid(n, 1.0, 1e6);
        const std::size_t mid = c.gammas.size() / 2;
        c.gammas[mid - 1] = c.gammas[mid];
        try {
            detail::lowest_half_point_drift(c.gammas, c.drifts, c.gamma0);
            ADD_FAILURE() << "no stop for n = " << n;
        } catch (const Stop& s) {
            EXPECT_EQ(
                s.message(),
                "called `Result::unwrap()` on an `Err` value: \"polint: calculation failure\"");
        }
    }
}

TEST(LowestHalfPointDrift, NonFiniteDriftsKeepTheFullDegreeValue) {
    DriftCase c = log_grid(50, 1.0, 1e6);
    c.drifts.back() = std::nan("");
    EXPECT_TRUE(std::isnan(detail::lowest_half_point_drift(c.gammas, c.drifts, c.gamma0)));
}

} // namespace
} // namespace sorvex
