// Modified Bessel function of the first kind I_nu(z), real order, complex argument, by its
// power series sum_k (z/2)^(nu+2k) / (k! Gamma(nu+k+1)) on the principal branch, with
// Gamma(nu+1) from the Weierstrass product.
#pragma once

namespace sorvex {

struct Complex {
    double re;
    double im;
};

/// Gamma(s) from the Weierstrass product, truncated after the first factor f with
/// |(f - 1)/P| < 1e-12 (so slightly off the exact value: about 4.4e-5 low at s = 4).
/// A non-finite s gives NaN.
double weierstrass_gamma(double s);

/// weierstrass_gamma, computed once per distinct argument in the process (thread-safe).
double cached_weierstrass_gamma(double s);

/// I_nu(z). Exactly (0, 0) when the leading term is below 1e-8 in magnitude; the series stops
/// when a term falls below 1e-8 of the partial sum, or after 500 terms.
Complex i_nu(double nu, Complex z);

} // namespace sorvex
