// A module that exercises the parts of the table machinery that sorvex does not use: float64
// views, array results, defaulted bool and double parameters, the released interpreter lock (with
// long loops to interrupt) and rejected input. Built with the C++ tests; tests/python/test_table.py
// imports it.
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "binding/table.hpp"
#include "core/parallel/worker_pool.hpp"

namespace sorvex::binding {
namespace {

/// Address of the first value (0 when empty): tells a view of the caller's buffer from a copy.
double address(std::span<const double> values) {
    return static_cast<double>(reinterpret_cast<std::uintptr_t>(values.data()));
}

/// factor x (or x^2 with `square`), computed on the pool.
Grid scaled(std::span<const double> x, double factor, bool square) {
    return parallel::parallel_map(
        x.size(), [&](std::size_t i) { return factor * (square ? x[i] * x[i] : x[i]); });
}

/// 0, 1, ..., n - 1, computed on the pool at `milliseconds` of busy waiting per index: a long
/// loop to interrupt.
Grid spin(double n, double milliseconds) {
    const auto count = static_cast<std::size_t>(n);
    const std::chrono::duration<double, std::milli> per_index(milliseconds);
    return parallel::parallel_map(count, [&](std::size_t i) {
        const auto end = std::chrono::steady_clock::now() + per_index;
        while (std::chrono::steady_clock::now() < end) {
        }
        return static_cast<double>(i);
    });
}

/// (x + y, x - y) of two views of equal length.
std::pair<Grid, Grid> sum_and_difference(std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) {
        reject_input("sum_and_difference: x has " + std::to_string(x.size()) +
                     " values but y has " + std::to_string(y.size()));
    }
    Grid sum(x.size());
    Grid difference(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        sum[i] = x[i] + y[i];
        difference[i] = x[i] - y[i];
    }
    return {std::move(sum), std::move(difference)};
}

/// Stops (PanicException) on an empty grid, else the sum of the values.
double total(const Grid& values) {
    require_length(values, 1, "values", "total");
    double sum = 0.0;
    for (const double v : values) {
        sum += v;
    }
    return sum;
}

constexpr auto probe_module = native_module(
    "_table_probe", "Exercises the binding table.", ResultForm::arrays,
    def<&address>("address", {"values"}, "Address of the first value."),
    def<&scaled>("scaled", {"x", with_default("factor", 2.0), with_default("square", false)},
                 "factor * x, or factor * x**2.", Gil::released),
    def<&spin>("spin", {"n", "milliseconds"}, "0, 1, ..., n - 1, slowly.", Gil::released),
    def<&spin>("spin_locked", {"n", "milliseconds"}, "spin, holding the interpreter lock."),
    def<&sum_and_difference>("sum_and_difference", {"x", "y"}, "(x + y, x - y)."),
    def<&total>("total", {"values"}, "Sum of the values."));

} // namespace
} // namespace sorvex::binding

PyMODINIT_FUNC PyInit__table_probe(void) {
    return sorvex::binding::initialise_module<sorvex::binding::probe_module>();
}
