// The kinematic limits of the exact kernels, energies in units of m_e c^2.
//
// Compton scattering of an isotropic photon eps by an electron gamma into eps1 (Jones 1968;
// Blumenthal & Gould 1970, eq. 2.48): with q = eps1 / (4 eps gamma (gamma - eps1)), it happens for
// gamma > eps1 and 1 / (4 gamma^2) <= q <= 1. For given eps and eps1 the Lorentz factors lie
// between the root of q = 1 and, for eps > eps1, that of q = 1 / (4 gamma^2); both are given by
// d = gamma - eps1, which they fix without cancellation. For given gamma and eps1 the seed
// energies lie between the ends q = 1 and q = 1 / (4 gamma^2).
//
// Photon-photon pair production (Gould & Schreder 1967): a gamma ray eps_gamma and a photon eps
// make a pair above the threshold s0 = eps eps_gamma = 1 (head-on).
#pragma once

#include <cmath>
#include <limits>

#include "core/common/constants.hpp"

namespace sorvex::exact::kinematics {

/// d = gamma - eps1 at the lowest Lorentz factor that scatters eps into eps1 (q = 1):
/// gamma = eps1 (1 + sqrt(1 + 1 / (eps eps1))) / 2, in forms free of cancellation and overflow.
inline double d_min(double eps, double eps1) {
    const double product = eps * eps1;
    if (product >= 1.0) {
        return 0.5 / (eps * (1.0 + std::sqrt(1.0 + 1.0 / product)));
    }
    const double root_eps = std::sqrt(eps);
    const double root_eps1 = std::sqrt(eps1);
    const double root_product = root_eps * root_eps1;
    return 0.5 * (root_eps1 / root_eps) /
           (root_product + std::sqrt(1.0 + root_product * root_product));
}

/// d = gamma - eps1 at the highest Lorentz factor that scatters eps into eps1 (q = 1 / (4
/// gamma^2)), gamma = eps eps1 / (eps - eps1); infinite (no limit) for eps <= eps1.
inline double d_max(double eps, double eps1) {
    return eps > eps1 ? eps1 * eps1 / (eps - eps1) : std::numeric_limits<double>::infinity();
}

/// The lowest seed energy that electrons of Lorentz factor gamma > eps1 scatter into eps1 (q = 1).
inline double lowest_seed(double gamma, double eps1) {
    return eps1 / (4.0 * gamma * (gamma - eps1));
}

/// The highest seed energy that electrons of Lorentz factor gamma > eps1 scatter into eps1
/// (q = 1 / (4 gamma^2)).
inline double highest_seed(double gamma, double eps1) {
    return gamma * eps1 / (gamma - eps1);
}

/// Seed energies from `lo` to `hi`.
struct SeedRange {
    double lo;
    double hi;
};

/// The seed energies that some electron with Lorentz factor in [g0, g1] scatters into eps1,
/// for g1 > eps1: from the q = 1 end at g1 up to the other end at g0 (no limit for g0 <= eps1).
inline SeedRange seeds_reaching(double g0, double g1, double eps1) {
    return {lowest_seed(g1, eps1),
            g0 > eps1 ? highest_seed(g0, eps1) : std::numeric_limits<double>::infinity()};
}

/// s0 = eps eps_gamma at the pair-production threshold.
inline constexpr double pair_threshold = 1.0;

/// The seed frequency (Hz) at the threshold for a gamma ray of energy eps_gamma.
inline double pair_threshold_frequency(double eps_gamma) {
    return pair_threshold / (eps_gamma * constants::planck_over_rest_energy);
}

} // namespace sorvex::exact::kinematics
