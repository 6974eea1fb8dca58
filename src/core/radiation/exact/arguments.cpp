#include "core/radiation/exact/arguments.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>
#include <system_error>

#include "core/common/stop.hpp"

namespace sorvex::exact {
namespace {

/// Shortest decimal form that reads back as the same double ("0.1", "-inf", "nan").
std::string number(double value) {
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (error != std::errc()) {
        return "?";
    }
    return {buffer, end};
}

/// "gamma[3] = 0.5": one offending element.
std::string element(std::string_view name, std::size_t index, double value) {
    return std::string(name) + "[" + std::to_string(index) + "] = " + number(value);
}

} // namespace

void invalid_argument(std::string_view name, std::string_view what) {
    reject_input(std::string(name) + ": " + std::string(what));
}

void require_positive(std::string_view name, double value) {
    if (!(std::isfinite(value) && value > 0.0)) {
        invalid_argument(name, "must be positive and finite, not " + number(value));
    }
}

void require_non_negative(std::string_view name, double value) {
    if (!(std::isfinite(value) && value >= 0.0)) {
        invalid_argument(name, "must be non-negative and finite, not " + number(value));
    }
}

void require_positive_values(std::string_view name, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!(std::isfinite(values[i]) && values[i] > 0.0)) {
            invalid_argument(name, "values must be positive and finite (" +
                                       element(name, i, values[i]) + ")");
        }
    }
}

void require_non_negative_values(std::string_view name, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!(std::isfinite(values[i]) && values[i] >= 0.0)) {
            invalid_argument(name, "values must be non-negative and finite (" +
                                       element(name, i, values[i]) + ")");
        }
    }
}

void require_grid(std::string_view name, std::span<const double> grid, GridFloor floor) {
    if (grid.size() < 2) {
        invalid_argument(name, "needs at least 2 points, got " + std::to_string(grid.size()));
    }
    const bool lorentz = floor == GridFloor::lorentz_one;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        const bool above = lorentz ? grid[i] >= 1.0 : grid[i] > 0.0;
        if (!(std::isfinite(grid[i]) && above)) {
            invalid_argument(name, std::string(lorentz ? "values must be finite and at least 1"
                                                       : "values must be positive and finite") +
                                       " (" + element(name, i, grid[i]) + ")");
        }
        if (i > 0 && !(grid[i] > grid[i - 1])) {
            invalid_argument(name, "must be strictly increasing (" + element(name, i, grid[i]) +
                                       " after " + number(grid[i - 1]) + ")");
        }
        // The tables are power laws in ln x: neighbours a few ulps apart have one logarithm.
        if (i > 0 && !(std::log(grid[i]) > std::log(grid[i - 1]))) {
            invalid_argument(name, "neighbours must differ in their logarithm (" +
                                       element(name, i, grid[i]) + " after " + number(grid[i - 1]) +
                                       ")");
        }
    }
}

void require_same_length(std::string_view name, std::span<const double> values,
                         std::string_view grid_name, std::span<const double> grid) {
    if (values.size() != grid.size()) {
        invalid_argument(name, "has " + std::to_string(values.size()) + " values but " +
                                   std::string(grid_name) + " has " + std::to_string(grid.size()));
    }
}

void require_table(std::string_view x_name, std::span<const double> x, GridFloor floor,
                   std::string_view y_name, std::span<const double> y) {
    require_grid(x_name, x, floor);
    require_same_length(y_name, y, x_name, x);
    require_non_negative_values(y_name, y);
}

void require_numbers(std::span<const double> results, std::span<const double> nu) {
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (std::isnan(results[i])) {
            invalid_argument("nu", "the result at " + element("nu", i, nu[i]) +
                                       " is not a number: the arguments overflow double precision");
        }
    }
}

} // namespace sorvex::exact
