#include "core/radiation/inverse_compton.hpp"

namespace sorvex {

Grid ic_iso_powlaw_full(const Grid&, const Grid&, const Grid&, const Grid&) {
    stop("ic_iso_powlaw_full: not available yet");
}

Grid ic_iso_monochrome_full(const Grid&, double, double, const Grid&, const Grid&) {
    stop("ic_iso_monochrome_full: not available yet");
}

} // namespace sorvex
