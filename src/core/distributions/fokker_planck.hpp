// One implicit Chang-Cooper step of the Fokker-Planck equation for an electron distribution
//   dN/dt = d/dg [ gdot N + 1/2 d(D N)/dg ] + Q - N / t_esc
// on a grid of Lorentz factors g.
#pragma once

#include <optional>
#include <span>

#include "core/common/grid.hpp"

namespace sorvex {

/// N after one step of dt_in seconds. Rates are per second; tlc (s) is the time unit of the
/// step. check_params absent or true: stop on any NaN input.
Grid fp_findif_difu(double dt_in, const Grid& gamma_bins, const Grid& nin, const Grid& gdot_in,
                    const Grid& din, const Grid& qin, double tesc_in, double tlc,
                    std::optional<bool> check_params);

namespace detail {

/// Drift V at the half-point below gamma0, extrapolated from the half-point drifts v[k] at
/// gammas[k] (the grid from its second point on): the polynomial through all of them unless
/// rounding has spoilt it, then the cubic through the lowest four. Equal gammas stop with the
/// wrapped polint error.
double lowest_half_point_drift(std::span<const double> gammas, std::span<const double> v,
                               double gamma0);

} // namespace detail

} // namespace sorvex
