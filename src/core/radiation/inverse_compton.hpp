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

} // namespace sorvex
