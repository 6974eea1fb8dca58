#include "core/numerics/polint.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace sorvex {
namespace {

/// Neville's tableau on caller-provided work vectors c, d and dif of n doubles each.
Result<PolintValue> neville(std::span<const double> xa, std::span<const double> ya, double x,
                            double* c, double* d, double* dif) {
    const std::size_t n = xa.size();
    for (std::size_t i = 0; i < n; ++i) {
        c[i] = ya[i];
        d[i] = ya[i];
        dif[i] = xa[i] - x;
    }
    // Start from the closest abscissa (ties keep the lower index).
    double closest = std::numeric_limits<double>::max();
    std::size_t ns = 0;
    double y = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::fabs(dif[i]) < closest) {
            closest = std::fabs(dif[i]);
            ns = i;
            y = ya[i];
        }
    }
    if (n <= 1) {
        return PolintValue{y, 0.0};
    }
    double dy = 0.0;
    for (std::size_t m = 1; m < n; ++m) {
        for (std::size_t i = 0; i < n - m; ++i) {
            const double ho = dif[i];
            const double hp = dif[i + m];
            const double w = c[i + 1] - d[i];
            double den = ho - hp;
            if (den == 0.0) {
                return Result<PolintValue>::error("polint: calculation failure");
            }
            den = w / den;
            d[i] = hp * den;
            c[i] = ho * den;
        }
        if (2 * ns < n - m) {
            dy = c[ns];
        } else {
            --ns;
            dy = d[ns];
        }
        y += dy;
    }
    return PolintValue{y, dy};
}

} // namespace

Result<PolintValue> polint(std::span<const double> xa, std::span<const double> ya, double x) {
    if (xa.size() != ya.size()) {
        return Result<PolintValue>::error("polint: xa and ya have different sizes");
    }
    const std::size_t n = xa.size();
    // The integrators extrapolate 5 or 10 points: keep their work vectors on the stack.
    constexpr std::size_t small = 16;
    if (n <= small) {
        std::array<double, 3 * small> work; // NOLINT(cppcoreguidelines-pro-type-member-init)
        return neville(xa, ya, x, work.data(), work.data() + small, work.data() + 2 * small);
    }
    std::vector<double> work(3 * n);
    return neville(xa, ya, x, work.data(), work.data() + n, work.data() + 2 * n);
}

} // namespace sorvex
