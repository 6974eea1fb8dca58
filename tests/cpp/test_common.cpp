// Stops, results and the Lorentz-factor conversions.
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "core/common/grid.hpp"
#include "core/common/result.hpp"
#include "core/common/stop.hpp"
#include "core/kinematics/lorentz.hpp"

namespace sorvex {
namespace {

TEST(Stop, CarriesMessageLocationAndThread) {
    try {
        stop("demo: something failed");
        FAIL() << "stop returned";
    } catch (const Stop& s) {
        EXPECT_EQ(s.message(), "demo: something failed");
        EXPECT_STREQ(s.what(), "demo: something failed");
        EXPECT_NE(std::string(s.file()).find("test_common.cpp"), std::string::npos);
        EXPECT_GT(s.line(), 0U);
        EXPECT_EQ(s.thread_name(), "main");
    }
    std::string other;
    std::thread([&] {
        try {
            stop("x");
        } catch (const Stop& s) {
            other = s.thread_name();
        }
    }).join();
    EXPECT_EQ(other, "<unnamed>");
}

// The full texts of these stops, as Python sees them, are pinned in
// tests/python/test_compatibility.py.
TEST(Result, UnwrapStopsWithTheErrorText) {
    const Result<double> good = 2.5;
    EXPECT_EQ(good.unwrap(), 2.5);
    const auto bad = Result<double>::error("qromb: too many steps");
    EXPECT_FALSE(bad.ok());
    try {
        (void)bad.unwrap();
        FAIL();
    } catch (const Stop& s) {
        EXPECT_NE(s.message().find("\"qromb: too many steps\""), std::string::npos);
    }
}

TEST(RequireLength, StopsBelowTheLengthNamingTheFunctionAndTheGrid) {
    const Grid one{1.0};
    EXPECT_NO_THROW(require_length(one, 1, "a_nu", "f"));
    try {
        require_length(one, 3, "a_nu", "rad_trans_blob");
        FAIL();
    } catch (const Stop& s) {
        EXPECT_EQ(s.message().rfind("rad_trans_blob: a_nu has 1 value", 0), 0U);
    }
}

// Values and limits of both conversions: tests/python/test_kinematics.py.
TEST(Lorentz, RoundTripWithinRounding) {
    for (const double g : {1.5, 10.0, 1e3, 1e6}) {
        EXPECT_NEAR(gofb(bofg(g)) / g, 1.0, 1e-9 * g);
    }
}

} // namespace
} // namespace sorvex
