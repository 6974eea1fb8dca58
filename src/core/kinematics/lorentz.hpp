// Conversions between speed (in units of c) and Lorentz factor; the names are those of the
// Python functions: gofb is gamma of beta, bofg is beta of gamma.
#pragma once

namespace sorvex {

/// Lorentz factor of speed beta: 1 / sqrt(1 - beta^2). +inf at |beta| = 1, NaN beyond.
double gofb(double beta) noexcept;
/// Speed of Lorentz factor gamma: sqrt(1 - 1/gamma^2), and 0 for gamma <= 1.
double bofg(double gamma) noexcept;

} // namespace sorvex
