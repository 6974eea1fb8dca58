// Tabulated quantities are taken as power laws between neighbouring grid points.
#pragma once

#include <cmath>

namespace sorvex {

/// Largest magnitude of a segment's power-law index.
inline constexpr double max_power_law_index = 8.0;

/// Index s of y0 (x / x0)^-s through (x0, y0) and (x1, y1), clamped to [-8, 8]; NaN stays NaN.
inline double power_law_index(double x0, double x1, double y0, double y1) {
    const double s = -std::log(y1 / y0) / std::log(x1 / x0);
    if (s < -max_power_law_index) {
        return -max_power_law_index;
    }
    if (s > max_power_law_index) {
        return max_power_law_index;
    }
    return s;
}

} // namespace sorvex
