#include "core/radiation/synchrotron.hpp"

namespace sorvex {

std::pair<Grid, Grid> syn_emissivity_full(const Grid&, const Grid&, const Grid&, double, bool) {
    stop("syn_emissivity_full: not available yet");
}

} // namespace sorvex
