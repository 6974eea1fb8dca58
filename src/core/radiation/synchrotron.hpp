// Synchrotron emissivity and self-absorption of a tabulated, isotropic electron distribution.
#pragma once

#include <utility>

#include "core/common/grid.hpp"

namespace sorvex {

/// (j_nu [erg s^-1 cm^-3 Hz^-1 sr^-1], alpha_nu [cm^-1]) at every frequency (Hz) for electrons
/// n_distrib (cm^-3) on gamma_bins in a field b_field (G). alpha is 0 unless with_abs.
std::pair<Grid, Grid> syn_emissivity_full(const Grid& freqs, const Grid& gamma_bins,
                                          const Grid& n_distrib, double b_field, bool with_abs);

/// Pitch-angle-averaged single-electron synchrotron spectrum at x = nu / nu_c, with
/// nu_c = (3/2) gamma^2 nu_B: a closed-form fit in four ranges of x.
double kvt(double x);

} // namespace sorvex
