// Grids: owned, contiguous vectors of doubles in the order of the caller's sequence.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/common/stop.hpp"

namespace sorvex {

using Grid = std::vector<double>;

/// "1 value", "3 values": a length in a stop message.
inline std::string count_of(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " value" : " values");
}

/// Stops unless `grid` (called `name`) holds at least `needed` values.
inline void require_length(std::span<const double> grid, std::size_t needed, const char* name,
                           const char* function, SourceLocation where = SourceLocation::current()) {
    if (grid.size() < needed) {
        stop(std::string(function) + ": " + name + " has " + count_of(grid.size()) +
                 " but at least " + std::to_string(needed) + (needed == 1 ? " is" : " are") +
                 " needed",
             where);
    }
}

} // namespace sorvex
