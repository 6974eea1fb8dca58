#include "core/kinematics/lorentz.hpp"

#include <cmath>

namespace sorvex {

double gofb(double beta) noexcept {
    const double s = beta * beta;
    const double d = 1.0 - s;
    const double r = std::sqrt(d);
    return 1.0 / r;
}

double bofg(double gamma) noexcept {
    if (gamma <= 1.0) {
        return 0.0;
    }
    const double q = gamma * gamma;
    const double w = 1.0 / q;
    const double d = 1.0 - w;
    return std::sqrt(d);
}

Grid gofb(const Grid& betas) {
    Grid out(betas.size());
    for (std::size_t i = 0; i < betas.size(); ++i) {
        out[i] = gofb(betas[i]);
    }
    return out;
}

Grid bofg(const Grid& gammas) {
    Grid out(gammas.size());
    for (std::size_t i = 0; i < gammas.size(); ++i) {
        out[i] = bofg(gammas[i]);
    }
    return out;
}

} // namespace sorvex
