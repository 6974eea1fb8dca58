// Validation of the arguments of the exact radiation kernels.
//
// Every rejected argument ends the call through invalid_argument, with a message that starts with
// the argument's name ("gamma: needs at least 2 points"): a Stop of the rejected-input kind, which
// the binding raises as ValueError without a stop report.
#pragma once

#include <span>
#include <string_view>

namespace sorvex::exact {

/// Ends the call: argument `name` is not acceptable because of `what`.
[[noreturn]] void invalid_argument(std::string_view name, std::string_view what);

/// A number that must be positive and finite.
void require_positive(std::string_view name, double value);
/// A number that must be non-negative and finite.
void require_non_negative(std::string_view name, double value);

/// Values that must all be positive and finite (any count, any order).
void require_positive_values(std::string_view name, std::span<const double> values);
/// Values that must all be non-negative and finite.
void require_non_negative_values(std::string_view name, std::span<const double> values);

/// Smallest value a grid accepts.
enum class GridFloor {
    positive,    ///< frequencies: every value > 0
    lorentz_one, ///< Lorentz factors: every value >= 1
};

/// A grid: at least 2 points, finite, strictly increasing and above its floor.
void require_grid(std::string_view name, std::span<const double> grid, GridFloor floor);

/// `values` (called `name`) must hold one value per point of `grid` (called `grid_name`).
void require_same_length(std::string_view name, std::span<const double> values,
                         std::string_view grid_name, std::span<const double> grid);

/// A table y(x) (power_law_table.hpp): x a grid (require_grid) and y one non-negative, finite
/// value per point, checked in that order.
void require_table(std::string_view x_name, std::span<const double> x, GridFloor floor,
                   std::string_view y_name, std::span<const double> y);

/// Ends the call if a result is NaN, which only arguments whose products overflow double
/// precision produce (such as nu / nu_B beyond 1e308); `nu` holds the frequency of each result.
void require_numbers(std::span<const double> results, std::span<const double> nu);

} // namespace sorvex::exact
