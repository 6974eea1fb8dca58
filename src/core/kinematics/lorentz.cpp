#include "core/kinematics/lorentz.hpp"

#include <cmath>

namespace sorvex {

double gofb(double beta) noexcept {
    return 1.0 / std::sqrt(1.0 - beta * beta);
}

double bofg(double gamma) noexcept {
    if (gamma <= 1.0) {
        return 0.0;
    }
    return std::sqrt(1.0 - 1.0 / (gamma * gamma));
}

} // namespace sorvex
