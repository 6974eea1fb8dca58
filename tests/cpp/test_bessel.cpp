// Modified Bessel function of the first kind.
#include <cmath>
#include <gtest/gtest.h>

#include "core/numerics/bessel.hpp"

namespace sorvex {
namespace {

TEST(WeierstrassGamma, TruncatedProductSitsJustBelowTheExactValue) {
    const double g4 = weierstrass_gamma(4.0);
    EXPECT_NEAR(g4 / 6.0 - 1.0, -4.4e-5, 0.1e-5);
    const double g1 = weierstrass_gamma(1.0);
    EXPECT_LT(g1, 1.0);
    EXPECT_NEAR(g1, 1.0, 2e-6);
    EXPECT_EQ(cached_weierstrass_gamma(4.0), g4); // bit for bit
    EXPECT_EQ(cached_weierstrass_gamma(4.0), g4);
    EXPECT_TRUE(std::isnan(weierstrass_gamma(std::nan(""))));
    EXPECT_TRUE(std::isnan(weierstrass_gamma(INFINITY)));
}

TEST(INu, OrderThreeExceedsTheExactFunctionByTheProductError) {
    for (const double x : {0.02, 0.1, 1.0, 5.0, 20.0, 80.0}) {
        const Complex r = i_nu(3.0, {x, 0.0});
        EXPECT_EQ(r.im, 0.0);
        const double exact = std::cyl_bessel_i(3.0, x);
        EXPECT_NEAR(r.re / exact - 1.0, 4.4e-5, 0.2e-5) << x;
    }
}

TEST(INu, WholeNegativeOrdersMirror) {
    for (const double x : {0.3, 4.0}) {
        const Complex plus = i_nu(2.0, {x, 0.0});
        const Complex minus = i_nu(-2.0, {x, 0.0});
        EXPECT_EQ(plus.re, minus.re);
        EXPECT_EQ(plus.im, minus.im);
        EXPECT_EQ(i_nu(-0.0, {x, 0.0}).re, i_nu(0.0, {x, 0.0}).re);
    }
}

TEST(INu, ZeroArgument) {
    const Complex r3 = i_nu(3.0, {0.0, 0.0});
    EXPECT_EQ(r3.re, 0.0);
    EXPECT_EQ(r3.im, 0.0);
    const Complex r0 = i_nu(0.0, {0.0, 0.0});
    EXPECT_EQ(r0.re, 1.0 / weierstrass_gamma(1.0));
    EXPECT_GT(r0.re, 1.0);
}

TEST(INu, LeadingTermCutoffNearOrderThree) {
    // (z/2)^3 / Gamma(4) falls below 1e-8 at z = 2 (6e-8)^(1/3) = 7.83e-3.
    EXPECT_EQ(i_nu(3.0, {7.7e-3, 0.0}).re, 0.0);
    const double above = i_nu(3.0, {7.9e-3, 0.0}).re;
    EXPECT_GT(above, 1e-8);
    EXPECT_LT(above, 1.1e-8);
}

TEST(INu, NegativeRealArgumentTakesThePrincipalPhase) {
    const double nu = 0.5;
    const Complex up = i_nu(nu, {-2.0, 0.0});
    const Complex down = i_nu(nu, {-2.0, -0.0});
    const double modulus = std::hypot(up.re, up.im);
    EXPECT_NEAR(std::atan2(up.im, up.re), nu * M_PI, 1e-12);
    EXPECT_NEAR(std::atan2(down.im, down.re), -nu * M_PI, 1e-12);
    EXPECT_NEAR(modulus, std::cyl_bessel_i(nu, 2.0), 1e-4 * modulus);
}

TEST(INu, NonFiniteOrderEnds) {
    EXPECT_TRUE(std::isnan(i_nu(std::nan(""), {1.0, 0.0}).re));
    EXPECT_TRUE(std::isnan(i_nu(INFINITY, {1.0, 0.0}).re));
}

} // namespace
} // namespace sorvex
