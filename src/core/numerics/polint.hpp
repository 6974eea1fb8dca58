// Polynomial interpolation and extrapolation by Neville's algorithm (Numerical Recipes 3.1).
#pragma once

#include <span>

#include "core/common/result.hpp"

namespace sorvex {

struct PolintValue {
    double y;  ///< value at x of the polynomial through all points
    double dy; ///< last correction added to y: the error estimate
};

/// Value at x of the polynomial of degree n - 1 through the n points (xa[i], ya[i]). Errors:
/// "polint: xa and ya have different sizes", "polint: calculation failure" (equal abscissae).
Result<PolintValue> polint(std::span<const double> xa, std::span<const double> ya, double x);

} // namespace sorvex
