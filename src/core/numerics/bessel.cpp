#include "core/numerics/bessel.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

namespace sorvex {
namespace {

constexpr double minus_euler_gamma = -0.5772156649015329;
constexpr double product_tolerance = 1e-12;
/// Bound on the product's length: orders far above those in use (say nu = 50) would otherwise
/// need some 1e47 factors before the stopping test passes. Order 3 takes about 182,000.
constexpr std::uint64_t max_product_factors = 100'000'000;
constexpr double first_term_cutoff = 1e-8;
constexpr double series_tolerance = 1e-8;
constexpr int series_limit = 500;

/// w^mu on the principal branch, from the modulus and argument afresh.
Complex power(Complex w, double mu) {
    if (mu == 0.0) {
        return {1.0, 0.0};
    }
    const double rho = std::hypot(w.re, w.im);
    const double phi = std::atan2(w.im, w.re);
    const double modulus = std::pow(rho, mu);
    return {modulus * std::cos(mu * phi), modulus * std::sin(mu * phi)};
}

} // namespace

double weierstrass_gamma(double s) {
    if (!std::isfinite(s)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double product = 1.0;
    for (std::uint64_t n = 1; n <= max_product_factors; ++n) {
        const double x = s / static_cast<double>(n);
        const double f = std::exp(x) / (x + 1.0);
        product = product * f;
        if (std::fabs((f - 1.0) / product) < product_tolerance) {
            break;
        }
    }
    return (std::exp(s * minus_euler_gamma) * product) / s;
}

double cached_weierstrass_gamma(double s) {
    static std::mutex mutex;
    static std::vector<std::pair<std::uint64_t, double>> cache;
    constexpr std::size_t max_entries = 64;
    const auto key = std::bit_cast<std::uint64_t>(s);
    {
        const std::lock_guard lock(mutex);
        for (const auto& [bits, value] : cache) {
            if (bits == key) {
                return value;
            }
        }
    }
    const double value = weierstrass_gamma(s);
    const std::lock_guard lock(mutex);
    if (cache.size() < max_entries) {
        cache.emplace_back(key, value);
    }
    return value;
}

Complex i_nu(double nu, Complex z) {
    // I_-n = I_n for whole orders (also for -0.0).
    if (std::signbit(nu) && nu - std::trunc(nu) == 0.0) {
        return i_nu(std::fabs(nu), z);
    }
    const double gamma = cached_weierstrass_gamma(nu + 1.0);
    const Complex w{0.5 * z.re, 0.5 * z.im};

    const Complex lead = power(w, nu);
    Complex term{lead.re / gamma, lead.im / gamma};
    if (std::hypot(term.re, term.im) < first_term_cutoff) {
        return {0.0, 0.0};
    }
    Complex sum{0.0, 0.0};
    double factorial = 1.0;       // k!
    double gamma_running = gamma; // Gamma(nu + k + 1)
    for (int k = 0;;) {
        sum = {sum.re + term.re, sum.im + term.im};
        const double d = sum.re * sum.re + sum.im * sum.im;
        const Complex ratio{(term.re * sum.re + term.im * sum.im) / d,
                            (term.im * sum.re - term.re * sum.im) / d};
        if (std::hypot(ratio.re, ratio.im) < series_tolerance || k + 1 == series_limit) {
            break;
        }
        ++k;
        const double kd = static_cast<double>(k);
        const double mu = std::fma(kd, 2.0, nu);
        factorial = factorial * kd;
        gamma_running = gamma_running * (kd + nu);
        const Complex p = power(w, mu);
        const double denominator = factorial * gamma_running;
        term = {p.re / denominator, p.im / denominator};
    }
    return sum;
}

} // namespace sorvex
