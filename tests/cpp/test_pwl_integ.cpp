// Power-law segment integrals against independent long-double references.
#include <cfloat>
#include <cmath>
#include <gtest/gtest.h>
#include <vector>

#include "core/numerics/pwl_integ.hpp"

namespace sorvex {
namespace {

using LD = long double;

/// int_a^b x^p dx in long double.
LD power_integral(LD a, LD b, LD p) {
    if (p == -1.0L) {
        return std::log(b / a);
    }
    return (std::pow(b, p + 1) - std::pow(a, p + 1)) / (p + 1);
}

/// int_y1^y2 y^q (int_{x1 y}^{x2} x^p dx) dy by 64-point Gauss-Legendre panels in ln y.
LD sscs_reference(LD x1, LD x2, LD y1, LD y2, LD p, LD q) {
    // Nodes and weights of the 8-point rule, reused on 256 panels.
    static const LD node[4] = {0.1834346424956498049L, 0.5255324099163289858L,
                               0.7966664774136267396L, 0.9602898564975362317L};
    static const LD weight[4] = {0.3626837833783619830L, 0.3137066458778872874L,
                                 0.2223810344533744706L, 0.1012285362903762592L};
    const int panels = 256;
    const LD a = std::log(y1);
    const LD h = (std::log(y2) - a) / panels;
    LD total = 0;
    for (int k = 0; k < panels; ++k) {
        const LD mid = a + (k + 0.5L) * h;
        for (int j = 0; j < 4; ++j) {
            for (const int sign : {-1, 1}) {
                const LD u = mid + sign * node[j] * h / 2;
                const LD y = std::exp(u);
                total += weight[j] * h / 2 * y * std::pow(y, q) * power_integral(x1 * y, x2, p);
            }
        }
    }
    return total;
}

struct Limits {
    double x1, x2, y1, y2, p, q;
};

class SscrCase : public ::testing::TestWithParam<Limits> {};

TEST_P(SscrCase, MatchesTheProductOfTwoPowerIntegrals) {
    const Limits l = GetParam();
    const LD exact = power_integral(l.x1, l.x2, l.p) *
                     power_integral(l.y1, l.y2, static_cast<LD>(l.p) + l.q + 1);
    const double got = sscr(l.x1, l.x2, l.y1, l.y2, l.p, l.q);
    // Close to 1 the series take r - 1 for ln r: a relative error of about (r - 1)/2.
    EXPECT_NEAR(got / static_cast<double>(exact), 1.0, 1e-7);
}

INSTANTIATE_TEST_SUITE_P(
    GenericAndSingularExponents, SscrCase,
    ::testing::Values(Limits{1e-4, 3e-2, 0.5, 40.0, 0.75, -2.3},          // generic
                      Limits{1e-4, 3e-2, 0.5, 40.0, -1.0, 0.4},           // p = -1: log in x
                      Limits{1e-4, 3e-2, 0.5, 40.0, 1.5, -3.5},           // p + q = -2: log in y
                      Limits{2.0, 2.0 * (1 + 1e-7), 1.0, 3.0, 2.0, 0.0},  // ratio near 1
                      Limits{1e-6, 1e-2, 0.25, 1e4, -1.0 + 1e-7, -1.0})); // near-singular

TEST(Sscr, EqualLimitsGiveZero) {
    EXPECT_EQ(sscr(2.0, 2.0, 1.0, 5.0, 0.3, 0.1), 0.0);
    EXPECT_EQ(sscr(1.0, 5.0, 2.0, 2.0, 0.3, 0.1), 0.0);
}

class SscsCase : public ::testing::TestWithParam<Limits> {};

TEST_P(SscsCase, MatchesNumericalDoubleIntegration) {
    const Limits l = GetParam();
    const LD exact = sscs_reference(l.x1, l.x2, l.y1, l.y2, l.p, l.q);
    const double got = sscs(l.x1, l.x2, l.y1, l.y2, l.p, l.q);
    // The logarithmic branch is first order in p + 1.
    EXPECT_NEAR(got / static_cast<double>(exact), 1.0, 1e-7)
        << "got " << got << " expected " << static_cast<double>(exact);
}

INSTANTIATE_TEST_SUITE_P(
    GenericAndSingularExponents, SscsCase,
    ::testing::Values(Limits{1e-3, 1.0, 1.0, 50.0, 0.5, -1.7}, // generic
                      Limits{1e-3, 1.0, 1.0, 50.0, -1.0, 0.3}, // p = -1: series branch
                      Limits{1e-3, 1.0, 1.0, 50.0, 1.2, -1.0}, // q = -1
                      Limits{1e-3, 1.0, 1.0, 50.0, 0.2, -3.2}, // p + q = -2... -3
                      Limits{1e-3, 1.0, 1.0, 50.0, -1.0 + 1e-9, -2.0}));

TEST(Sscs, EqualYLimitsGiveZero) {
    EXPECT_EQ(sscs(1e-3, 1.0, 3.0, 3.0, 0.5, -1.7), 0.0);
}

TEST(SegmentFunctions, SwitchedLogarithmPowers) {
    using pwl::log_pow;
    constexpr double eps = pwl::eps_segment;
    // Close to 1 the powers of r - 1 stand in for those of ln r.
    EXPECT_EQ(log_pow(1, 1.0 + 4e-5, eps), (1.0 + 4e-5) - 1.0);
    EXPECT_EQ(log_pow(1, 1.0 + 1e-4, eps), std::log(1.0 + 1e-4));
    EXPECT_EQ(log_pow(2, 1.0 + 9e-4, eps), std::pow((1.0 + 9e-4) - 1.0, 2));
    // For r < 1 the even powers always fall back.
    EXPECT_EQ(log_pow(2, 0.5, eps), 0.25);
    EXPECT_EQ(log_pow(4, 0.5, eps), 0.0625);
    EXPECT_EQ(log_pow(3, 0.5, eps), std::pow(std::log(0.5), 3));
}

/// int_0^L e^(s u) u^m du in long double: the series where s L is small, else the closed form.
LD segment_exact(int m, LD L, LD s) {
    if (std::fabs(s * L) < 0.5L) {
        LD total = 0;
        LD term = 1; // (s L)^j / j!
        for (int j = 0; j < 40; ++j) {
            total += term * std::pow(L, m + 1) / (j + m + 1);
            term *= s * L / (j + 1);
        }
        return total;
    }
    const LD e = std::exp(s * L);
    switch (m) {
    case 0:
        return (e - 1) / s;
    case 1:
        return (e * (s * L - 1) + 1) / (s * s);
    default:
        return (e * (s * s * L * L - 2 * s * L + 2) - 2) / (s * s * s);
    }
}

class SegmentContinuity : public ::testing::TestWithParam<double> {};

// Series and closed forms, on both sides of every switch, stay within a few eps (the size of
// the first term a series leaves out) of the exact integrals, plus the rounding that the closed
// forms amplify by cancellation for small s: about 2 m! ulp / |s|^(m+1). Right above the switch
// that rounding dominates for p1 and p2 (up to 1e-1 relative for p2 at r = 10, eps = 1e-9).
TEST_P(SegmentContinuity, BothBranchesStayWithinTheThreshold) {
    const double eps = GetParam();
    for (const double r : {1.0 + 1e-6, 1.0 + 3e-4, 1.01, 1.5, 10.0, 1e4}) {
        const double L = std::log(r);
        std::vector<double> exponents{0.0, 1e-6, 1e-3, 0.05, -0.7, 2.0, -5.0};
        // The switching exponents of p0, p1 and p2, straddled.
        for (const double s_switch :
             {std::sqrt(6.0 * eps / (L * L * L)), std::sqrt(8.0 * eps / (L * L * L * L)),
              std::sqrt(10.0 * eps / (L * L * L * L * L))}) {
            if (s_switch < 10.0) {
                exponents.push_back(s_switch * (1.0 - 1e-6));
                exponents.push_back(s_switch * (1.0 + 1e-6));
            }
        }
        for (const double s : exponents) {
            const double funcs[3] = {pwl::p0(r, s, eps), pwl::p1(r, s, eps), pwl::p2(r, s, eps)};
            for (int m = 0; m < 3; ++m) {
                const auto exact = static_cast<double>(segment_exact(m, std::log((LD)r), s));
                const double cancellation =
                    s == 0.0 ? 0.0
                             : 8.0 * DBL_EPSILON * std::fmax(1.0, std::pow(r, s)) *
                                   std::tgamma(m + 1.0) / std::pow(std::fabs(s), m + 1);
                EXPECT_NEAR(funcs[m], exact, 4.0 * eps + 1e-12 * std::fabs(exact) + cancellation)
                    << "m=" << m << " r=" << r << " s=" << s;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothThresholds, SegmentContinuity,
                         ::testing::Values(pwl::eps_segment, pwl::eps_cooling));

} // namespace
} // namespace sorvex
