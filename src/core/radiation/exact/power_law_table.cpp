#include "core/radiation/exact/power_law_table.hpp"

#include <algorithm>

namespace sorvex::exact {

std::vector<PowerLaw> power_law_table(std::span<const double> x, std::span<const double> y) {
    std::vector<PowerLaw> table;
    const std::size_t points = std::min(x.size(), y.size());
    for (std::size_t i = 0; i + 1 < points; ++i) {
        if (!(y[i] > 0.0 && y[i + 1] > 0.0)) {
            continue;
        }
        const double u_lo = std::log(x[i]);
        const double u_hi = std::log(x[i + 1]);
        table.push_back(
            {u_lo, u_hi, y[i], -std::log(y[i + 1] / y[i]) / (u_hi - u_lo), std::log(y[i]), i});
    }
    return table;
}

std::size_t piece_count(double a, double b, double widest) {
    constexpr double most = 1e5;
    const double count = std::ceil((b - a) / widest);
    return count > 1.0 ? static_cast<std::size_t>(std::min(count, most)) : 1;
}

} // namespace sorvex::exact
