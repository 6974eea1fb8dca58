// Grids: owned, contiguous vectors of doubles in the order of the caller's sequence.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/common/stop.hpp"

namespace sorvex {

using Grid = std::vector<double>;

/// Stops unless `grid` (called `name`) holds at least `needed` values.
inline void require_length(const Grid& grid, std::size_t needed, const char* name,
                           const char* function, SourceLocation where = SourceLocation::current()) {
    if (grid.size() < needed) {
        stop(std::string(function) + ": " + name + " has " + std::to_string(grid.size()) +
                 (grid.size() == 1 ? " value" : " values") + " but at least " +
                 std::to_string(needed) + (needed == 1 ? " is" : " are") + " needed",
             where);
    }
}

} // namespace sorvex
