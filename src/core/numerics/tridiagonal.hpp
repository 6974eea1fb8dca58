// Tridiagonal linear systems by the Thomas algorithm (forward elimination, back substitution,
// no pivoting; Numerical Recipes 2.4).
#pragma once

#include <span>

#include "core/common/grid.hpp"

namespace sorvex {

/// tridag_ser: the tridiagonal solve, serial (one system, no parallel sweep).
/// Solves a[i-1] u[i-1] + b[i] u[i] + c[i] u[i+1] = r[i] for i = 0..n-1, n = b.size().
/// a and c need n - 1 entries and r needs n (more are ignored). Stops on a zero pivot:
/// "tridag_ser: error at code stage 1" (first row) or "... stage 2" (a later row).
Grid tridag_ser(std::span<const double> a, std::span<const double> b, std::span<const double> c,
                std::span<const double> r);

} // namespace sorvex
