#include "core/numerics/pwl_integ.hpp"

#include <cmath>

#include "core/numerics/powi.hpp"

namespace sorvex::pwl {

double log_pow(int k, double r, double eps) {
    const double delta = r - 1.0;
    if ((static_cast<double>(k) / 2.0) * powi(delta, k + 1) > eps) {
        return powi(std::log(r), k);
    }
    return powi(delta, k);
}

double p0(double r, double s, double eps) {
    const double tau = 6.0 * eps;
    if ((s * s) * log_pow(3, r, eps) > tau) {
        return (1.0 - std::pow(r, s)) / (-s);
    }
    return log_pow(1, r, eps) + (s * log_pow(2, r, eps)) / 2.0;
}

double p1(double r, double s, double eps) {
    if (((s * s) * log_pow(4, r, eps)) * 0.125 > eps) {
        return (1.0 - std::pow(r, s) * (1.0 - s * log_pow(1, r, eps))) / (s * s);
    }
    return log_pow(2, r, eps) / 2.0 + (s * log_pow(3, r, eps)) / 3.0;
}

double p2(double r, double s, double eps) {
    if (((s * s) * log_pow(5, r, eps)) * 0.1 > eps) {
        const double l1 = log_pow(1, r, eps);
        return (2.0 - std::pow(r, s) * (((s * s) * (l1 * l1) - (2.0 * s) * l1) + 2.0)) /
               (-powi(s, 3));
    }
    return log_pow(3, r, eps) / 3.0 + (s * log_pow(4, r, eps)) / 4.0;
}

} // namespace sorvex::pwl

namespace sorvex {

using pwl::eps_segment;

double sscr(double x1, double x2, double y1, double y2, double p, double q) {
    const double a = pwl::p0(y2 / y1, p + q + 2.0, eps_segment);
    const double b = pwl::p0(x2 / x1, p + 1.0, eps_segment);
    return b * (a * (std::pow(y1, p + q + 2.0) * std::pow(x1, p + 1.0)));
}

double sscs(double x1, double x2, double y1, double y2, double p, double q) {
    const double tau = 6.0 * eps_segment;
    const double a = p + 1.0;
    const double s = q + 1.0;
    const double r = y2 / y1;
    const double rho1 = x2 / (x1 * y2);
    const double rho2 = x2 / (x1 * y1);
    if ((a * a) * pwl::log_pow(3, rho1, eps_segment) > tau) {
        return std::pow(y1, s) *
               (std::pow(x2, a) * pwl::p0(r, s, eps_segment) -
                std::pow(x1 * y1, a) * pwl::p0(r, p + q + 2.0, eps_segment)) /
               a;
    }
    // a close to 0: (e^(aM) - 1)/a to first order in a, M = ln(x2 / (x1 y)).
    const double l1 = pwl::log_pow(1, rho2, eps_segment);
    const double l2 = pwl::log_pow(2, rho2, eps_segment);
    const double q0 = pwl::p0(r, s, eps_segment);
    const double q1 = pwl::p1(r, s, eps_segment);
    const double q2 = pwl::p2(r, s, eps_segment);
    const double bracket = (l1 * q0 - q1) + (a / 2.0) * ((l2 * q0 - (2.0 * l1) * q1) + q2);
    return (std::pow(x1, a) * std::pow(y1, p + q + 2.0)) * bracket;
}

} // namespace sorvex
