#include "core/numerics/tridiagonal.hpp"

namespace sorvex {

Grid tridag_ser(std::span<const double> a, std::span<const double> b, std::span<const double> c,
                std::span<const double> r) {
    const std::size_t n = b.size();
    if (n == 0) {
        stop("tridag_ser: the system has no equations");
    }
    require_length(a, n - 1, "a", "tridag_ser");
    require_length(c, n - 1, "c", "tridag_ser");
    require_length(r, n, "r", "tridag_ser");

    Grid u(n, 0.0);
    Grid gam(n, 0.0);
    double bet = b[0];
    if (bet == 0.0) {
        stop("tridag_ser: error at code stage 1");
    }
    u[0] = r[0] / bet;
    for (std::size_t j = 1; j < n; ++j) {
        gam[j] = c[j - 1] / bet;
        bet = b[j] - a[j - 1] * gam[j];
        if (bet == 0.0) {
            stop("tridag_ser: error at code stage 2");
        }
        u[j] = (r[j] - a[j - 1] * u[j - 1]) / bet;
    }
    for (std::size_t j = n - 1; j-- > 0;) {
        u[j] = u[j] - gam[j + 1] * u[j + 1];
    }
    return u;
}

} // namespace sorvex
