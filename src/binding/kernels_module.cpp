// The sorvexfit.kernels module: the exact radiation kernels of src/core/radiation/exact, with
// NumPy float64 results, float64 inputs viewed in place, and the interpreter lock released while
// they compute (see binding/table.hpp for how to add a function).
#include <Python.h>

#include "binding/table.hpp"
#include "core/radiation/exact/external_compton.hpp"
#include "core/radiation/exact/gamma_gamma.hpp"
#include "core/radiation/exact/inverse_compton.hpp"
#include "core/radiation/exact/synchrotron.hpp"

namespace sorvex::binding {
namespace {

#define SORVEX_KERNEL_ARGUMENTS                                                                    \
    "Grids and tables are 1-D sequences of numbers; a C-contiguous float64 array is read in "      \
    "place, without a copy, for the whole call (do not write to it from another thread "           \
    "meanwhile). The interpreter lock is released while the kernel computes on the worker pool, "  \
    "so other Python threads run and may call the kernels at the same time. An argument the "      \
    "kernel cannot accept (unequal lengths, fewer than 2 grid points, a grid not strictly "        \
    "increasing, a non-finite or non-positive value where the physics needs a positive one) "      \
    "raises ValueError, and its message starts with the argument's name."

#define SORVEX_ELECTRONS                                                                           \
    "gamma: Lorentz factors, at least 2, >= 1, strictly increasing. n: electrons per cm^3 per "    \
    "unit gamma at each Lorentz factor (>= 0), isotropic, a power law between neighbouring "       \
    "points; an interval with a zero at either end contributes nothing."

#define SORVEX_EC_GEOMETRY                                                                         \
    "r: height of the blob on the jet axis (cm), positive. gamma_bulk: its bulk Lorentz factor, "  \
    ">= 1. mu_s: cosine of the angle between the jet axis and the direction to the observer, "     \
    "in [-1, 1]. "

#define SORVEX_EC_RESULT                                                                           \
    "Returns j_nu (erg s^-1 cm^-3 Hz^-1 sr^-1): the blob-frame emissivity toward the observer at " \
    "the blob-frame frequencies nu, to be transferred through the blob and boosted by "            \
    "delta = 1 / (gamma_bulk (1 - beta mu_s)) like the SSC. The kernel is the angle-dependent "    \
    "Klein-Nishina one of the head-on approximation (Aharonian & Atoyan 1981; Dermer & Menon "     \
    "2009; Finke 2016), exact for gamma >> 1; the field enters only through "                      \
    "x = eps (1 - cos psi), so it is reduced to one effective seed distribution in x and "         \
    "integrated once against the electrons. It depends on gamma_bulk only through delta."

#define SORVEX_TAU_RESULT                                                                          \
    "Returns the optical depth to pair production (dimensionless) at the frequencies nu of the "   \
    "nucleus' frame, along the path from the blob at height r (cm) on the axis to infinity in "    \
    "the direction mu_s (cosine to the axis, in [0, 1]), with the exact angle-dependent "          \
    "cross-section (Gould & Schreder 1967; Finke 2016; Boettcher & Els 2016). It depends on the "  \
    "field and r only, not on the electrons."

#define SORVEX_DISK                                                                                \
    "l_disk: luminosity of the disk (erg s^-1), >= 0. m_bh: black-hole mass (g), positive. eta: "  \
    "accretion efficiency (Mdot = l_disk / (eta c^2)), positive. r_in < r_out: inner and outer "   \
    "radius in units of R_g = G m_bh / c^2. Each radius radiates a blackbody of "                  \
    "sigma_SB T^4 = 3 G m_bh Mdot / (8 pi R^3) (1 - sqrt(R_in / R)) from each Lambertian face "    \
    "(Shakura & Sunyaev 1973). "

#define SORVEX_BLR                                                                                 \
    "l_disk: luminosity of the disk (erg s^-1), >= 0. xi_line: fraction of it re-emitted in the "  \
    "line, >= 0. nu_line: frequency of the line (Hz; Lyman alpha 2.47e15), positive. r_line: "     \
    "radius of the thin spherical shell that emits it isotropically (cm), positive and != r. "     \
    "Several shells are the sum of one call each. "

#define SORVEX_TORUS                                                                               \
    "l_disk: luminosity of the disk (erg s^-1), >= 0. xi_dt: fraction of it re-emitted by the "    \
    "dust, >= 0. t_dt: dust temperature (K), positive. r_dt: radius of the thin ring in the disk " \
    "plane (cm), positive, whose elements radiate a blackbody spectrum isotropically. "

#define SORVEX_SEED_TABLE                                                                          \
    "seed_nu: frequencies of the seed table (Hz), at least 2, positive, strictly increasing. "     \
    "seed_intensity: specific intensity of the isotropic seed photons at each seed_nu "            \
    "(erg s^-1 cm^-2 Hz^-1 sr^-1, >= 0), a power law between neighbouring points (a zero at "      \
    "either end: nothing in between)."

constexpr auto kernels_module = native_module(
    "sorvexfit.kernels",
    "Accurate radiation kernels for the model layer: the exact pitch-angle-averaged synchrotron "
    "kernel, inverse Compton with the full Klein-Nishina cross-section, the gamma-gamma "
    "pair-production opacity, and external Compton and pair production on the photon fields of "
    "an active nucleus (disk, broad-line shell, dusty torus, isotropic fields). cgs units; "
    "emissivities per steradian; results are NumPy float64 "
    "arrays, bit-identical for any size of the worker pool.",
    ResultForm::arrays,
    def<&exact::synchrotron>(
        "synchrotron", {"nu", "gamma", "n", "b_field", with_default("absorption", true)},
        "Synchrotron emissivity and self-absorption of isotropic electrons in a tangled field.\n\n"
        "nu: frequencies (Hz), positive, any order. " SORVEX_ELECTRONS
        " b_field: magnetic field (G), positive. absorption: False leaves alpha_nu at 0.\n\n"
        "Returns (j_nu, alpha_nu): the emissivity (erg s^-1 cm^-3 Hz^-1 sr^-1) and the "
        "absorption coefficient (cm^-1), ready for sorvex.rad_trans_blob.\n\n"
        "Pitch angles are isotropic: the kernel is the exact pitch-angle average of Crusius & "
        "Schlickeiser (1986) in K_4/3 and K_1/3 (relative error below 1e-10), and alpha_nu uses "
        "the same kernel with -gamma^2 d/dgamma (n / gamma^2). The integral over gamma is adaptive "
        "for each frequency, to a relative tolerance of 1e-7 (an estimate summed over its pieces). "
        "Against SciPy quadrature j_nu and alpha_nu agree within 2e-8 on a broken power law and a "
        "log-parabola. A distribution rising faster than gamma^2 can give alpha_nu < 0, returned "
        "as is.\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::inverse_compton>(
        "inverse_compton", {"nu", "seed_nu", "seed_intensity", "gamma", "n"},
        "Inverse-Compton emissivity of isotropic electrons in an isotropic photon field.\n\n"
        "nu: frequencies of the scattered photons (Hz), positive, any order. " SORVEX_SEED_TABLE
        " " SORVEX_ELECTRONS "\n\n"
        "Returns j_nu (erg s^-1 cm^-3 Hz^-1 sr^-1), per steradian: it feeds "
        "sorvex.rad_trans_blob directly (for SSC, pass the synchrotron intensity as the seed).\n\n"
        "The cross-section is the full Klein-Nishina one, in the isotropic kernel of Jones (1968) "
        "(Blumenthal & Gould 1970, eq. 2.48), with the kinematic limits taken exactly; both "
        "integrals are fixed Gauss-Legendre rules on pieces of the tables. Against SciPy "
        "quadrature the relative error is 1e-9 to 1e-6 from the Thomson regime to "
        "4 gamma h nu0 / (m_e c^2) = 1e5.\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::inverse_compton_line>(
        "inverse_compton_line", {"nu", "u", "nu0", "gamma", "n"},
        "Inverse-Compton emissivity of isotropic electrons in an isotropic monochromatic field.\n\n"
        "nu: frequencies of the scattered photons (Hz), positive, any order. u: energy density of "
        "the field (erg cm^-3), >= 0. nu0: its frequency (Hz), positive. " SORVEX_ELECTRONS "\n\n"
        "Returns j_nu (erg s^-1 cm^-3 Hz^-1 sr^-1), per steradian, as inverse_compton for the "
        "seed intensity I(nu') = c u delta(nu' - nu0) / (4 pi), with the same full Klein-Nishina "
        "kernel and accuracy.\n\n"
        "It differs from sorvex.ic_iso_monochrome_full, which returns the emissivity summed over "
        "all directions (4 pi times this, erg s^-1 cm^-3 Hz^-1), takes the electrons in the order "
        "(n, g), and uses the Thomson cross-section with a sharp Klein-Nishina "
        "cut-off.\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::gamma_gamma_opacity>(
        "gamma_gamma_opacity", {"nu", "seed_nu", "seed_intensity", "radius"},
        "Pair-production optical depth of gamma rays in an isotropic photon field.\n\n"
        "nu: frequencies of the gamma rays (Hz), positive, any order. " SORVEX_SEED_TABLE
        " radius: the length (cm) that converts the absorption coefficient into an optical "
        "depth, positive.\n\n"
        "Returns tau = radius * alpha_gg (dimensionless), with alpha_gg (cm^-1) from the "
        "cross-section averaged over isotropic directions (Gould & Schreder 1967). To absorb "
        "inside a blob, add tau / radius to the synchrotron alpha_nu before sorvex.rad_trans_blob "
        "(whose optical depth is 2 R alpha); for the escape through a sphere of radius R, tau "
        "itself is the optical depth from the centre. Relative error about "
        "1e-5.\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::external_compton_disk>(
        "external_compton_disk",
        {"nu", "l_disk", "m_bh", "eta", "r_in", "r_out", "r", "gamma_bulk", "mu_s", "gamma", "n"},
        "External Compton on a Shakura-Sunyaev accretion disk.\n\n"
        "nu: blob-frame frequencies (Hz), positive, any order. " SORVEX_DISK SORVEX_EC_GEOMETRY
            SORVEX_ELECTRONS "\n\n" SORVEX_EC_RESULT "\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::external_compton_blr>(
        "external_compton_blr",
        {"nu", "l_disk", "xi_line", "nu_line", "r_line", "r", "gamma_bulk", "mu_s", "gamma", "n"},
        "External Compton on a broad line emitted by a thin spherical shell.\n\n"
        "nu: blob-frame frequencies (Hz), positive, any order. " SORVEX_BLR SORVEX_EC_GEOMETRY
            SORVEX_ELECTRONS "\n\n" SORVEX_EC_RESULT "\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::external_compton_torus>(
        "external_compton_torus",
        {"nu", "l_disk", "xi_dt", "t_dt", "r_dt", "r", "gamma_bulk", "mu_s", "gamma", "n"},
        "External Compton on a dusty torus (a ring radiating a blackbody).\n\n"
        "nu: blob-frame frequencies (Hz), positive, any order. " SORVEX_TORUS SORVEX_EC_GEOMETRY
            SORVEX_ELECTRONS "\n\n" SORVEX_EC_RESULT "\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::external_compton_isotropic>(
        "external_compton_isotropic",
        {"nu", "seed_nu", "seed_intensity", "gamma_bulk", "mu_s", "gamma", "n"},
        "External Compton on a tabulated field isotropic in the nucleus' frame (the CMB).\n\n"
        "nu: blob-frame frequencies (Hz), positive, any order. seed_nu, seed_intensity: the "
        "field's table in the nucleus' frame (Hz; erg s^-1 cm^-2 Hz^-1 sr^-1, >= 0), as for "
        "inverse_compton. gamma_bulk, mu_s: as for external_compton_disk. " SORVEX_ELECTRONS
        "\n\n" SORVEX_EC_RESULT "\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::external_compton_isotropic_line>(
        "external_compton_isotropic_line", {"nu", "u", "nu0", "gamma_bulk", "mu_s", "gamma", "n"},
        "External Compton on a line isotropic in the nucleus' frame.\n\n"
        "nu: blob-frame frequencies (Hz), positive, any order. u: energy density of the line in "
        "the nucleus' frame (erg cm^-3), >= 0. nu0: its frequency there (Hz), positive. "
        "gamma_bulk, mu_s: as for external_compton_disk. " SORVEX_ELECTRONS "\n\n" SORVEX_EC_RESULT
        "\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::gamma_gamma_disk>(
        "gamma_gamma_disk", {"nu", "l_disk", "m_bh", "eta", "r_in", "r_out", "r", "mu_s"},
        "Pair-production optical depth of the accretion disk's photons.\n\n"
        "nu: gamma-ray frequencies (Hz), positive, any order. " SORVEX_DISK "\n\n" SORVEX_TAU_RESULT
        "\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::gamma_gamma_blr>(
        "gamma_gamma_blr", {"nu", "l_disk", "xi_line", "nu_line", "r_line", "r", "mu_s"},
        "Pair-production optical depth of a broad line emitted by a thin spherical shell.\n\n"
        "nu: gamma-ray frequencies (Hz), positive, any order. " SORVEX_BLR "\n\n" SORVEX_TAU_RESULT
        "\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released),
    def<&exact::gamma_gamma_torus>(
        "gamma_gamma_torus", {"nu", "l_disk", "xi_dt", "t_dt", "r_dt", "r", "mu_s"},
        "Pair-production optical depth of a dusty torus' photons.\n\n"
        "nu: gamma-ray frequencies (Hz), positive, any order. " SORVEX_TORUS
        "\n\n" SORVEX_TAU_RESULT "\n\n" SORVEX_KERNEL_ARGUMENTS,
        Gil::released));

#undef SORVEX_TORUS
#undef SORVEX_BLR
#undef SORVEX_DISK
#undef SORVEX_TAU_RESULT
#undef SORVEX_EC_RESULT
#undef SORVEX_EC_GEOMETRY
#undef SORVEX_SEED_TABLE
#undef SORVEX_ELECTRONS
#undef SORVEX_KERNEL_ARGUMENTS

} // namespace
} // namespace sorvex::binding

PyMODINIT_FUNC PyInit_kernels(void) {
    return sorvex::binding::initialise_module<sorvex::binding::kernels_module>();
}
