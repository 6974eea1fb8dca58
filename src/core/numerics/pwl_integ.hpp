// Closed-form integrals of products of power laws over a segment, with truncated series near
// the exponents and ratios where the closed forms become 0/0.
//
// lambda_k(r) = (ln r)^k, or (r - 1)^k where (k/2)(r - 1)^(k+1) <= eps (r close to 1);
// p0(r, s) = int_1^r t^(s-1) dt, p1 adds a factor ln t and p2 a factor (ln t)^2. Each closed
// form is used while the first term its series would leave out (s^2 L^3/6, s^2 L^4/8,
// s^2 L^5/10 with L = ln r) exceeds eps.
#pragma once

namespace sorvex::pwl {

/// Threshold of the segment integrals sscr and sscs, and of the line-field inverse Compton.
inline constexpr double eps_segment = 1e-9;
/// Threshold of the cooling rates.
inline constexpr double eps_cooling = 1e-6;

double log_pow(int k, double r, double eps);
double p0(double r, double s, double eps);
double p1(double r, double s, double eps);
double p2(double r, double s, double eps);

} // namespace sorvex::pwl

namespace sorvex {

// The names are the module's own: ssc (self-Compton) segment integrals over a rectangle (sscr)
// or over a strip bounded by a slanted line (sscs).

/// (int_x1^x2 x^p dx) (int_y1^y2 y^(p+q+1) dy): a rectangle.
double sscr(double x1, double x2, double y1, double y2, double p, double q);
/// int_y1^y2 y^q (int_{x1 y}^x2 x^p dx) dy: between the line x = x1 y and x = x2.
double sscs(double x1, double x2, double y1, double y2, double p, double q);

} // namespace sorvex
