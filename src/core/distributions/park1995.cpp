#include "core/distributions/park1995.hpp"

namespace sorvex {

Grid eq_59_park1995(double, const Grid&) {
    stop("eq_59_park1995: not available yet");
}

} // namespace sorvex
