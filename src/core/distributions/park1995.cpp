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
    const double nu = std::fabs(((q - 1.0) + a) / (2.0 * theta));
    const double e1 = ((1.0 - q) + a) * 0.5;
    const double e2 = ((1.0 - q) - a) * 0.5;
    const double c1 = std::pow(x0, e2);
    // 1/t, grouped as 2 (1/(2t)): where 2t overflows this is 0, as the amplitude needs.
    const double c2 = 2.0 * (1.0 / (2.0 * t));
    const double x0_theta = std::pow(x0, theta);
    const double x0_two_theta = std::pow(x0, 2.0 * theta);
    const double z_denominator = (theta * theta) * (2.0 * t);
    const double e_denominator = ((theta * theta) * -4.0) * t;
    const double decay = std::exp(-t);

    Grid result(g.size());
    for (std::size_t i = 0; i < g.size(); ++i) {
        const double p = std::sqrt(g[i] * g[i] - 1.0);
        const double amplitude = c2 * (c1 * std::pow(p, e1));
        const double e = std::exp((std::pow(p, 2.0 * theta) + x0_two_theta) / e_denominator);
        // The Bessel factor is evaluated only where it can change the product.
        const double bessel =
            bessel_irrelevant(amplitude, e)
                ? std::numeric_limits<double>::quiet_NaN()
                : i_nu(nu, Complex{(std::pow(p, theta) * x0_theta) / z_denominator, 0.0}).re;
        const double v = ((decay * ((amplitude * bessel) * e)) * 4.0) * pi;
        // NaN fails both comparisons of the clamp: test it first.
        result[i] = std::isnan(v) || v < floor_value ? floor_value : std::fmin(v, ceiling_value);
    }
    return result;
}

} // namespace sorvex
