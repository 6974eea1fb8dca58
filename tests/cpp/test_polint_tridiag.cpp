// Neville interpolation and the Thomas algorithm.
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

#include "core/common/stop.hpp"
#include "core/numerics/polint.hpp"
#include "core/numerics/tridiagonal.hpp"

namespace sorvex {
namespace {

using V = std::vector<double>;

std::string stop_message(auto&& f) {
    try {
        f();
    } catch (const Stop& s) {
        return s.message();
    }
    return "(no stop)";
}

TEST(Polint, OnePointGivesThatPointOrZero) {
    const auto r = polint(V{2.0}, V{7.0}, 100.0).unwrap();
    EXPECT_EQ(r.y, 7.0);
    EXPECT_EQ(r.dy, 0.0);
    const double inf = std::numeric_limits<double>::infinity();
    for (const double x : {inf, std::nan("")}) {
        const auto z = polint(V{2.0}, V{7.0}, x).unwrap();
        EXPECT_EQ(z.y, 0.0);
        EXPECT_EQ(z.dy, 0.0);
    }
}

TEST(Polint, ReproducesACubicAnywhere) {
    const auto cubic = [](double x) { return 2.0 - 3.0 * x + 0.5 * x * x * x; };
    const V xa{-1.0, 0.5, 1.0, 2.0, 3.5};
    V ya;
    for (const double x : xa) {
        ya.push_back(cubic(x));
    }
    for (const double x : {-3.0, 0.0, 0.7, 2.9, 10.0}) {
        const auto r = polint(xa, ya, x).unwrap();
        EXPECT_NEAR(r.y, cubic(x), 1e-12 * std::fmax(1.0, std::fabs(cubic(x)))) << x;
        EXPECT_LT(std::fabs(r.dy), 1e-9 * std::fmax(1.0, std::fabs(cubic(x)))) << x;
    }
}

TEST(Polint, AtAnAbscissaReturnsItsOrdinateExactly) {
    const V xa{0.1, 0.4, 0.45, 0.9, 1.3};
    const V ya{1.0 / 3.0, 2.7, -0.1, 5.5, 1e-3};
    for (std::size_t k = 0; k < xa.size(); ++k) {
        EXPECT_EQ(polint(xa, ya, xa[k]).unwrap().y, ya[k]);
    }
}

TEST(Polint, TiesStartFromTheLowerIndex) {
    // x = 1 is equally far from 0 and 2; starting from index 0 or 1 gives different last
    // corrections, the value being the same line.
    const auto r = polint(V{0.0, 2.0}, V{0.0, 4.0}, 1.0).unwrap();
    EXPECT_EQ(r.y, 2.0);
    EXPECT_EQ(r.dy, 2.0); // c[0] = ho * w/(ho - hp) = -1 * 4 / -2
}

TEST(Polint, ErrorTexts) {
    EXPECT_EQ(std::string(polint(V{1.0, 2.0}, V{1.0}, 0.0).error_text()),
              "polint: xa and ya have different sizes");
    EXPECT_EQ(std::string(polint(V{}, V{1.0}, 0.0).error_text()),
              "polint: xa and ya have different sizes");
    // Equal abscissae far apart in the table are found too.
    EXPECT_EQ(std::string(polint(V{1.0, 2.0, 3.0, 4.0, 1.0}, V{1, 2, 3, 4, 5}, 0.0).error_text()),
              "polint: calculation failure");
    // NaN abscissae are not failures.
    EXPECT_TRUE(std::isnan(polint(V{1.0, std::nan("")}, V{1.0, 2.0}, 0.0).unwrap().y));
}

TEST(Polint, TableLongerThanTheStackBuffer) {
    V xa;
    V ya;
    for (int i = 0; i < 20; ++i) {
        xa.push_back(1.0 + 0.1 * i);
        ya.push_back(3.0 * xa.back() - 1.0);
    }
    EXPECT_NEAR(polint(xa, ya, 2.05).unwrap().y, 5.15, 1e-9);
}

TEST(Tridiagonal, SolvesADiagonallyDominantSystem) {
    // 4 u[i] - u[i-1] - u[i+1] = r[i] with the solution u = 1, 2, 3, 4, 5.
    const V u_exact{1, 2, 3, 4, 5};
    const V a(4, -1.0);
    const V b(5, 4.0);
    const V c(4, -1.0);
    V r(5);
    for (std::size_t i = 0; i < 5; ++i) {
        r[i] = 4.0 * u_exact[i] - (i > 0 ? u_exact[i - 1] : 0.0) - (i < 4 ? u_exact[i + 1] : 0.0);
    }
    const auto u = tridag_ser(a, b, c, r);
    ASSERT_EQ(u.size(), 5U);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(u[i], u_exact[i], 1e-14);
    }
}

TEST(Tridiagonal, OneEquationReadsNeitherNeighbour) {
    EXPECT_EQ(tridag_ser(V{}, V{4.0}, V{}, V{2.0}), V{0.5});
}

TEST(Tridiagonal, StopsOnZeroPivotsAndShortInputs) {
    EXPECT_EQ(stop_message([] {
                  tridag_ser(V{1}, V{0, 1}, V{1}, V{1, 1});
              }),
              "tridag_ser: error at code stage 1");
    EXPECT_EQ(stop_message([] {
                  tridag_ser(V{1}, V{1, 1}, V{1}, V{1, 1});
              }),
              "tridag_ser: error at code stage 2");
    EXPECT_EQ(stop_message([] {
                  tridag_ser(V{1}, V{1, 2}, V{1}, V{1});
              }),
              "tridag_ser: r has 1 value but at least 2 are needed");
    EXPECT_EQ(stop_message([] { tridag_ser(V{}, V{}, V{}, V{}); }),
              "tridag_ser: the system has no equations");
}

} // namespace
} // namespace sorvex
