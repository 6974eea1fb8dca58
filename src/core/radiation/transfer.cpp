#include "core/radiation/transfer.hpp"

#include <cmath>

namespace sorvex {
namespace {

constexpr double tau_floor = 1e-100;
constexpr double thin_limit = 1e-10;  // at or below: optically thin, factor exactly 1
constexpr double series_limit = 0.01; // blob: below it the two-term series
constexpr double thick_limit = 100.0; // blob: above it the large-tau form

/// Escape factor of a uniform sphere of optical diameter tau: 3 u(tau) / tau with
/// u = 1/2 + e^-tau/tau - (1 - e^-tau)/tau^2, expanded for small and large tau.
double blob_factor(double tau) {
    if (tau <= thin_limit) {
        return 1.0;
    }
    double u = 0.0;
    if (tau > thick_limit) {
        u = 0.5 - 1.0 / (tau * tau);
    } else if (tau >= series_limit) {
        u = (1.0 - (2.0 * (1.0 - (tau + 1.0) * std::exp(-tau))) / (tau * tau)) * 0.5;
    } else {
        u = tau / 3.0 - (tau * tau) * 0.125;
    }
    return (u * 3.0) / tau;
}

double slab_factor(double tau) {
    return tau <= thin_limit ? 1.0 : (1.0 - std::exp(-tau)) / tau;
}

} // namespace

Grid rad_trans_blob(double blob_radius, const Grid& j_nu, const Grid& a_nu) {
    require_length(a_nu, j_nu.size(), "a_nu", "rad_trans_blob");
    Grid intensity(j_nu.size(), 0.0);
    for (std::size_t i = 0; i < j_nu.size(); ++i) {
        // fmax ignores a NaN operand: a NaN depth counts as optically thin.
        const double tau = std::fmax((2.0 * blob_radius) * a_nu[i], tau_floor);
        intensity[i] = ((j_nu[i] * blob_radius) * blob_factor(tau)) / 3.0;
    }
    return intensity;
}

Grid rad_trans_slab(double blob_radius, const Grid& j_nu, const Grid& a_nu) {
    require_length(a_nu, j_nu.size(), "a_nu", "rad_trans_slab");
    Grid intensity(j_nu.size(), 0.0);
    for (std::size_t i = 0; i < j_nu.size(); ++i) {
        const double tau = std::fmax(a_nu[i] * blob_radius, tau_floor);
        intensity[i] = (j_nu[i] * blob_radius) * slab_factor(tau);
    }
    return intensity;
}

} // namespace sorvex
