// The sorvex module: its twelve functions in registration order (see binding/table.hpp for how
// to add one). The docstrings are the module's own texts; their signature lines are derived.
#include <Python.h>

#include "binding/table.hpp"
#include "core/common/constants.hpp"
#include "core/distributions/fokker_planck.hpp"
#include "core/distributions/park1995.hpp"
#include "core/kinematics/lorentz.hpp"
#include "core/radiation/cooling.hpp"
#include "core/radiation/inverse_compton.hpp"
#include "core/radiation/synchrotron.hpp"
#include "core/radiation/transfer.hpp"

namespace sorvex::binding {
namespace {

double speed_of_light() noexcept {
    return constants::speed_of_light;
}

/// gofb and bofg: Scalar of a number, or of each item of a sequence.
template <double (*Scalar)(double) noexcept>
NumberOrGrid number_or_grid(const NumberOrGrid& arg) {
    if (const double* number = std::get_if<double>(&arg)) {
        return Scalar(*number);
    }
    const Grid& items = std::get<Grid>(arg);
    Grid out(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        out[i] = Scalar(items[i]);
    }
    return out;
}

constexpr auto sorvex_module = native_module(
    "sorvex",
    "Non-thermal emission of relativistic electrons: Fokker-Planck evolution, synchrotron, "
    "inverse Compton, cooling and radiative transfer (cgs units).",
    ResultForm::lists,
    def<&speed_of_light>(
        "get_c", "Example retrieving constant from constants file can be improved by using macros"),
    def<&number_or_grid<gofb>>("gofb", {"arg"}, "functions from tessarine"),
    def<&number_or_grid<bofg>>("bofg", {"arg"}, ""),
    def<&eq_59_park1995>("eq_59_park1995", {"t", "g"}, "functions from distribs"),
    def<&fp_findif_difu>("fp_findif_difu",
                         {"dt_in", "gamma_bins", "nin", "gdot_in", "din", "qin", "tesc_in", "tlc",
                          none_means("check_params", true)},
                         ""),
    def<&syn_emissivity_full>("syn_emissivity_full",
                              {"freqs", "gamma_bins", "n_distrib", "b_field", "with_abs"}, ""),
    def<&rad_trans_blob>("rad_trans_blob", {"blob_radius", "j_nu", "a_nu"}, ""),
    def<&ic_iso_powlaw_full>("ic_iso_powlaw_full", {"freqs", "inu", "g", "n"}, ""),
    def<&rad_cool_pwl>("rad_cool_pwl", {"gg", "freqs", "uu", "with_kn"}, ""),
    def<&rad_cool_mono>("rad_cool_mono", {"gg", "nu0", "u0", "with_kn"}, ""),
    def<&ic_iso_monochrome_full>("ic_iso_monochrome_full", {"freqs", "uext", "nuext", "n", "g"},
                                 ""),
    def<&rad_trans_slab>("rad_trans_slab", {"blob_radius", "j_nu", "a_nu"}, ""));

} // namespace
} // namespace sorvex::binding

PyMODINIT_FUNC PyInit_sorvex(void) {
    return sorvex::binding::initialise_module<sorvex::binding::sorvex_module>();
}
