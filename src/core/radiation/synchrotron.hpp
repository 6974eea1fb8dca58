// Synchrotron emissivity and self-absorption of a tabulated, isotropic electron distribution.
#pragma once

#include <vector>

#include "core/common/grid.hpp"
#include "core/numerics/romberg.hpp"

namespace sorvex {

namespace synchrotron {
/// The segment integrals over u = ln gamma (KVT_qromb for emission, AKVT_qromb for absorption):
/// the last 10 stages extrapolated from stage 9 (emission) or 10 (absorption) on, to 1e-5. An
/// integral unconverged after stage 22 (2^22 + 1 points) gives up with its last estimate: the
/// remaining stages up to the 59th would cost up to 2^58 evaluations, and converging integrals
/// end far earlier.
inline constexpr romberg::Scheme emission_scheme{10, 9, 22, 1e-5, false, false, true};
inline constexpr romberg::Scheme absorption_scheme{10, 10, 22, 1e-5, false, false, true};
} // namespace synchrotron

/// A segment integral that missed its tolerance at its last stage; the computation went on with
/// its last estimate. The caller decides how to report it.
struct UnconvergedIntegral {
    enum class Integrand : unsigned char { emission, absorption };
    Integrand integrand;
    double chi;   ///< nu / nu_B
    double q;     ///< the segment's clamped power-law index
    double ga;    ///< lower end gamma (before the absorption's lower-end guard)
    double gb;    ///< upper end gamma
    double value; ///< last extrapolated estimate
    double error; ///< its last correction
};

struct SynchrotronSpectrum {
    Grid emissivity; ///< j_nu, erg s^-1 cm^-3 Hz^-1 sr^-1
    Grid absorption; ///< alpha_nu, cm^-1 (all 0 without absorption)
    /// In frequency order; at one frequency the emission integrals (by segment) before the
    /// absorption integrals.
    std::vector<UnconvergedIntegral> unconverged;
};

/// j_nu and alpha_nu at every frequency (Hz) for electrons n_distrib (cm^-3) on gamma_bins in a
/// field b_field (G). alpha is 0 unless with_abs.
SynchrotronSpectrum syn_emissivity_full(const Grid& freqs, const Grid& gamma_bins,
                                        const Grid& n_distrib, double b_field, bool with_abs);

/// KVT, the kernel: the pitch-angle-averaged single-electron synchrotron spectrum at
/// x = nu / nu_c, with nu_c = (3/2) gamma^2 nu_B, a closed-form fit in four ranges of x.
double kvt(double x);

} // namespace sorvex
