// Closed-form time-dependent solution of a Fokker-Planck equation (Park & Petrosian 1995,
// equation 59) for one fixed set of parameters.
#pragma once

#include "core/common/grid.hpp"

namespace sorvex {

/// N(g, t) on the grid of Lorentz factors g, every entry clamped to [1e-100, 1e200].
Grid eq_59_park1995(double t, const Grid& g);

} // namespace sorvex
