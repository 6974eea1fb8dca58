// Integer powers by binary exponentiation, the evaluation used wherever a formula raises a
// value to a small whole power: x^2 = x*x, x^3 = x*(x*x), x^4 = (x*x)*(x*x), ...
#pragma once

namespace sorvex {

constexpr double powi(double x, int n) noexcept {
    const bool reciprocal = n < 0;
    unsigned m = reciprocal ? 0U - static_cast<unsigned>(n) : static_cast<unsigned>(n);
    double result = 1.0;
    for (;;) {
        if ((m & 1U) != 0U) {
            result *= x;
        }
        m /= 2U;
        if (m == 0U) {
            break;
        }
        x *= x;
    }
    return reciprocal ? 1.0 / result : result;
}

} // namespace sorvex
