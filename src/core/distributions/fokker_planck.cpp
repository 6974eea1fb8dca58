#include "core/distributions/fokker_planck.hpp"

namespace sorvex {

Grid fp_findif_difu(double, const Grid&, const Grid&, const Grid&, const Grid&, const Grid&, double,
                    double, std::optional<bool>) {
    stop("fp_findif_difu: not available yet");
}

} // namespace sorvex
