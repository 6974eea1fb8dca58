// One implicit Chang-Cooper step of the Fokker-Planck equation for an electron distribution
//   dN/dt = d/dg [ gdot N + 1/2 d(D N)/dg ] + Q - N / t_esc
// on a grid of Lorentz factors g.
#pragma once

#include "core/common/grid.hpp"

namespace sorvex {

/// N after one step of dt_in seconds. Rates are per second; tlc (s) is the time unit of the
/// step. check_params: stop on any NaN input.
Grid fp_findif_difu(double dt_in, const Grid& gamma_bins, const Grid& nin, const Grid& gdot_in,
                    const Grid& din, const Grid& qin, double tesc_in, double tlc,
                    bool check_params);

} // namespace sorvex
