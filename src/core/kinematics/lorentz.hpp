// Conversions between speed (in units of c) and Lorentz factor.
#pragma once

#include "core/common/grid.hpp"

namespace sorvex {

/// Lorentz factor of speed beta: 1 / sqrt(1 - beta^2). +inf at |beta| = 1, NaN beyond.
double gofb(double beta) noexcept;
/// Speed of Lorentz factor gamma: sqrt(1 - 1/gamma^2), and 0 for gamma <= 1.
double bofg(double gamma) noexcept;

Grid gofb(const Grid& betas);
Grid bofg(const Grid& gammas);

} // namespace sorvex
