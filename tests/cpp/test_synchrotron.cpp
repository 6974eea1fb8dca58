// The synchrotron kernel, its segment integrator and the diagnostic number format.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <utility>

#include "binding/diagnostics.hpp"
#include "core/numerics/romberg.hpp"
#include "core/radiation/synchrotron.hpp"

namespace sorvex {
namespace {

double below(double x) {
    return std::nextafter(x, -1.0);
}
double above(double x) {
    return std::nextafter(x, 1e300);
}

TEST(Kernel, FitsMeetAtTheirRangeLimits) {
    // The power law gives way to the first fit at x1 (inclusive): a jump of about 1e-6.
    const double x1 = 0.00032180900500625734;
    EXPECT_NEAR(kvt(x1) / kvt(below(x1)) - 1.0, 1.094e-6, 0.005e-6);
    // The two logarithmic fits agree to the last digit at x2.
    const double x2 = 0.650532122717873;
    EXPECT_EQ(kvt(below(x2)), kvt(x2));
    EXPECT_NEAR(kvt(above(x2)) / kvt(x2), 1.0, 4e-16);
    // The second fit includes x3; the asymptotic form above it is about 1% lower.
    const double x3 = 15.579904689804556;
    EXPECT_NEAR(kvt(above(x3)) / kvt(x3) - 1.0, -0.0098, 0.0001);
    EXPECT_NEAR(kvt(below(x3)) / kvt(x3), 1.0, 1e-14);
}

TEST(Kernel, UnderflowShortcutEqualsTheAsymptoticForm) {
    // Far in the exponential tail kvt returns 0 without calling exp: the formula gives the same.
    const auto formula = [](double x) {
        return 1.5707963267948966 * std::exp(-x) * (1.0 - 11.0 / (18.0 * x));
    };
    for (double x = 700.0; x < 800.0; x = std::nextafter(x + 1e-3, 1e300)) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(kvt(x)), std::bit_cast<std::uint64_t>(formula(x)))
            << x;
    }
    for (const double x : {1e3, 1e10, 1e300, std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(kvt(x)), std::bit_cast<std::uint64_t>(formula(x)));
    }
    EXPECT_TRUE(std::isnan(kvt(std::nan(""))));
}

/// The emission (first extrapolation at stage 9) or absorption (stage 10) segment integral.
template <std::size_t first_extrapolation, class F>
romberg::Estimate romberg_segment(double a, double b, F&& f) {
    constexpr const romberg::Scheme& scheme =
        first_extrapolation == 9 ? synchrotron::emission_scheme : synchrotron::absorption_scheme;
    return romberg::integrate<scheme>(a, b, f).unwrap();
}

TEST(SegmentRomberg, SmoothIntegralEndsAtTheFirstExtrapolation) {
    std::size_t calls = 0;
    const auto counted_exp = [&calls](std::size_t, double u) {
        ++calls;
        return std::exp(u);
    };
    const auto e = romberg_segment<9>(0.0, 2.0, counted_exp);
    EXPECT_TRUE(e.converged);
    EXPECT_NEAR(e.value, std::exp(2.0) - 1.0, 1e-12);
    EXPECT_EQ(calls, 513U);
    EXPECT_TRUE(romberg_segment<10>(0.0, 2.0, counted_exp).converged);
    EXPECT_EQ(calls, 513U + 1025U);
}

TEST(SegmentRomberg, NonFiniteSumEndsAtOnceWithNaN) {
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        std::size_t calls = 0;
        const auto e = romberg_segment<9>(0.0, 1.0, [&](std::size_t, double) {
            ++calls;
            return bad;
        });
        EXPECT_FALSE(e.converged);
        EXPECT_TRUE(std::isnan(e.value));
        EXPECT_TRUE(std::isnan(e.error));
        EXPECT_EQ(calls, 2U);
    }
}

TEST(SegmentRomberg, UnconvergedIntegralStopsAfter2To22Points) {
    // Values chosen per stage so that the sums fall exactly as 2^(-20 k): the oldest sum of
    // each 10-point extrapolation keeps |dss| comparable to |ss|.
    std::size_t calls = 0;
    const auto e = romberg_segment<9>(0.0, 1.0, [&](std::size_t point, double) {
        ++calls;
        const auto stage = static_cast<int>(point < 2 ? 0 : std::bit_width(point - 1));
        return stage == 0 ? 1.0 : std::ldexp(2.0 - 1048576.0, -20 * stage);
    });
    EXPECT_FALSE(e.converged);
    EXPECT_TRUE(std::isfinite(e.value));
    EXPECT_TRUE(std::isfinite(e.error));
    EXPECT_EQ(calls, (std::size_t{1} << 22) + 1);
}

TEST(PlainDecimal, ShortestRoundTripWithoutExponent) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> cases[] = {{8.0, "8"},
                                                    {-2.5, "-2.5"},
                                                    {0.1, "0.1"},
                                                    {-0.0, "-0"},
                                                    {1e-7, "0.0000001"},
                                                    {1e21, "1000000000000000000000"},
                                                    {10.000000000000002, "10.000000000000002"},
                                                    {std::nan(""), "NaN"},
                                                    {-std::nan(""), "NaN"},
                                                    {inf, "inf"},
                                                    {-inf, "-inf"}};
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(binding::plain_decimal(value), text) << value;
    }
    EXPECT_EQ(binding::plain_decimal(std::numeric_limits<double>::denorm_min()),
              "0." + std::string(323, '0') + "5");
    EXPECT_EQ(binding::plain_decimal(-std::numeric_limits<double>::max()).size(), 310U);
}

} // namespace
} // namespace sorvex
