#include "core/radiation/cooling.hpp"

namespace sorvex {

Grid rad_cool_pwl(const Grid&, const Grid&, const Grid&, bool) {
    stop("rad_cool_pwl: not available yet");
}

Grid rad_cool_mono(const Grid&, double, double, bool) { stop("rad_cool_mono: not available yet"); }

} // namespace sorvex
