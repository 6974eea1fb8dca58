// The tables of the exact kernels (electron densities, seed intensities): a tabulated quantity
// y is taken as the power law y_i (x / x_i)^-s between neighbouring grid points x_i < x_(i+1),
// with s unclamped; an interval with a zero at either end contributes nothing. The integrals over
// an interval are taken in u = ln x, on equal pieces of it.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace sorvex::exact {

/// One interval of a table: y = value_lo e^(-slope (u - u_lo)) for u_lo <= u = ln x <= u_hi.
struct PowerLaw {
    double u_lo;         ///< ln x_i
    double u_hi;         ///< ln x_(i+1)
    double value_lo;     ///< y_i
    double slope;        ///< s = -ln(y_(i+1) / y_i) / (u_hi - u_lo)
    double log_value_lo; ///< ln y_i
    std::size_t index;   ///< i, the interval's first grid point

    double at(double u) const { return value_lo * std::exp(-slope * (u - u_lo)); }
    double log_at(double u) const { return log_value_lo - slope * (u - u_lo); }
};

/// The intervals of the table y(x) that contribute, those with y > 0 at both ends, in ascending
/// order. x is a grid that require_grid accepted; y has one value per point of x.
std::vector<PowerLaw> power_law_table(std::span<const double> x, std::span<const double> y);

/// Number of equal pieces no wider than `widest` that cover [a, b]: at least 1 (also when that
/// is not a number) and at most 1e5.
std::size_t piece_count(double a, double b, double widest);

/// Calls f(a_p, b_p) for the equal pieces of [a, b] no wider than `widest` (piece_count), in
/// ascending order; the last piece ends at b itself.
template <class F>
void for_each_piece(double a, double b, double widest, F&& f) {
    const std::size_t count = piece_count(a, b, widest);
    const double width = (b - a) / static_cast<double>(count);
    for (std::size_t p = 0; p < count; ++p) {
        const double pa = a + width * static_cast<double>(p);
        f(pa, p + 1 == count ? b : pa + width);
    }
}

} // namespace sorvex::exact
