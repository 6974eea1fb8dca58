// Romberg integration of a two-argument integrand.
#include <cmath>
#include <gtest/gtest.h>
#include <string>

#include "core/numerics/romberg.hpp"

namespace sorvex {
namespace {

/// Counts its evaluations; always called with the same fixed parameter.
struct Counted {
    double (*f)(double, double);
    int calls = 0;
    double operator()(double x, double p) {
        ++calls;
        return f(x, p);
    }
};

TEST(Romberg, EmptyIntervalIsZeroAfterFiveLevels) {
    Counted f{[](double x, double) { return std::exp(x); }};
    const auto r = qromb_w2arg(f, 2.0, 2.0, 0.0);
    EXPECT_EQ(r.unwrap(), 0.0);
    EXPECT_EQ(f.calls, 17);
}

TEST(Romberg, ConstantAndCubicReturnAtTheFirstExtrapolation) {
    Counted constant{[](double, double p) { return p; }};
    EXPECT_DOUBLE_EQ(qromb_w2arg(constant, 1.0, 4.0, 2.5).unwrap(), 7.5);
    EXPECT_EQ(constant.calls, 17);

    Counted cubic{[](double x, double p) { return p * x * x * x - x + 1.0; }};
    const double exact = 2.0 * (std::pow(3.0, 4) - 1.0) / 4.0 - (9.0 - 1.0) / 2.0 + 2.0;
    EXPECT_NEAR(qromb_w2arg(cubic, 1.0, 3.0, 2.0).unwrap(), exact, 1e-12 * exact);
    EXPECT_EQ(cubic.calls, 17);
}

TEST(Romberg, ReversedLimitsNegate) {
    auto f = [](double x, double q) { return std::pow(x, -q) * std::pow(1.0 + x, -1.5); };
    const double forward = qromb_w2arg(f, 0.01, 0.9, 0.3).unwrap();
    const double backward = qromb_w2arg(f, 0.9, 0.01, 0.3).unwrap();
    EXPECT_NEAR(forward, -backward, 1e-6 * std::fabs(forward));
    // A smooth integrand meets the tolerance well before level 20.
    EXPECT_GT(forward, 0.0);
}

TEST(Romberg, SmoothIntegrandToTheTolerance) {
    Counted f{[](double x, double p) { return std::exp(p * x); }};
    const double exact = (std::exp(2.0) - 1.0) / 2.0;
    EXPECT_NEAR(qromb_w2arg(f, 0.0, 1.0, 2.0).unwrap(), exact, 1e-5 * exact);
}

TEST(Romberg, NanIntegrandRunsAllLevels) {
    Counted f{[](double, double) { return std::nan(""); }};
    const auto r = qromb_w2arg(f, 0.0, 1.0, 0.0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(std::string(r.error_text()), "qromb: too many steps");
    EXPECT_EQ(f.calls, 524'289);
}

} // namespace
} // namespace sorvex
