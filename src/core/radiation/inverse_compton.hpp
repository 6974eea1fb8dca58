// Isotropic inverse-Compton emissivity in the Thomson regime with a sharp Klein-Nishina cut-off.
#pragma once

#include "core/common/grid.hpp"

namespace sorvex {

/// Emissivity at every frequency for the seed intensity inu tabulated on freqs and electrons
/// n on the Lorentz factors g.
Grid ic_iso_powlaw_full(const Grid& freqs, const Grid& inu, const Grid& g, const Grid& n);

/// Emissivity at every frequency for a line of frequency nuext (Hz) and energy density uext
/// (erg cm^-3) and electrons n on the Lorentz factors g.
Grid ic_iso_monochrome_full(const Grid& freqs, double uext, double nuext, const Grid& n,
                            const Grid& g);

/// int x^e y^(e+f+1) (1 - x y) dx dy over 1/g_hi^2 <= x <= 1/g_lo^2, y_lo <= y <= y_hi and
/// x y <= 1: one seed interval (x = 1/gamma^2, y = nu/(4 nu0)) and one electron interval
/// [g_lo, g_hi]. Where y_hi <= g_lo^2 the region is a rectangle (two sscr calls); the part of
/// the y-range above g_lo^2 is bounded by x y <= 1 instead (two sscs calls in t = x y).
double ic_pair_integral(double g_lo, double g_hi, double y_lo, double y_hi, double e, double f);

} // namespace sorvex
