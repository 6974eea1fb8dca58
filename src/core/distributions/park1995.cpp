// Park & Petrosian (1995), eq. 59, in the momentum p = sqrt(g^2 - 1):
//   N = 4 pi e^-t (1/t) x0^((1-q-a)/2) p^((1-q+a)/2) I_nu((p x0)^th / (2 th^2 t))
//       exp(-(p^(2 th) + x0^(2 th)) / (4 th^2 t)),   nu = |(q - 1 + a) / (2 th)|,
// with q = 3, a = 1, th = -1/2 and x0 the momentum of Lorentz factor 100.
#include "core/distributions/park1995.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include "core/numerics/bessel.hpp"

namespace sorvex {
namespace {

constexpr double q = 3.0;
constexpr double a = 1.0;
constexpr double theta = -0.5;
constexpr double x0 = 99.99499987499375;
constexpr double pi = 3.141592653589793;
constexpr double floor_value = 1e-100;
constexpr double ceiling_value = 1e200;

/// True when (A B) E is NaN whatever B is: then the Bessel factor need not be evaluated
/// (at p = 0, t = 0 or NaN entries it would run its full 500 terms for nothing).
bool bessel_irrelevant(double amplitude, double e) {
    return std::isnan(amplitude) || std::isnan(e) || (std::isinf(amplitude) && e == 0.0) ||
           (amplitude == 0.0 && std::isinf(e));
}

} // namespace

Grid eq_59_park1995(double t, const Grid& g) {
    const std::size_t n = g.size();
    const double nu = std::fabs(((q + -1.0) + a) / (theta + theta));
    const double e1 = ((1.0 - q) + a) * 0.5;
    const double e2 = ((1.0 - q) - a) * 0.5;
    const double c1 = std::pow(x0, e2);
    const double h = 1.0 / (t + t);
    const double c2 = h + h;
    const double x0_theta = std::pow(x0, theta);
    const double x0_two_theta = std::pow(x0, theta + theta);
    const double z_denominator = (theta * theta) * (t + t);
    const double e_denominator = ((theta * theta) * -4.0) * t;

    Grid p(n);
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = std::sqrt(g[i] * g[i] + -1.0);
    }
    Grid amplitude(n);
    for (std::size_t i = 0; i < n; ++i) {
        amplitude[i] = std::pow(p[i], e1);
    }
    for (double& v : amplitude) {
        v = c1 * v;
    }
    for (double& v : amplitude) {
        v = c2 * v;
    }
    // The exponential before the Bessel factor, which it may make irrelevant; every entry is
    // computed as written, so the order of the passes does not change any value.
    Grid e(n);
    for (std::size_t i = 0; i < n; ++i) {
        e[i] = std::exp((std::pow(p[i], theta + theta) + x0_two_theta) / e_denominator);
    }
    Grid bessel(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (bessel_irrelevant(amplitude[i], e[i])) {
            bessel[i] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const double z = (std::pow(p[i], theta) * x0_theta) / z_denominator;
        bessel[i] = i_nu(nu, Complex{z, 0.0}).re;
    }

    Grid result(n);
    const double decay = std::exp(-t);
    for (std::size_t i = 0; i < n; ++i) {
        double v = (amplitude[i] * bessel[i]) * e[i];
        v = decay * v;
        v = v * 4.0;
        v = v * pi;
        if (std::isnan(v) || v < floor_value) {
            v = floor_value;
        } else if (v > ceiling_value) {
            v = ceiling_value;
        }
        result[i] = v;
    }
    return result;
}

} // namespace sorvex
