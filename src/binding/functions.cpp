#include <Python.h>

#include "binding/call_frame.hpp"
#include "binding/conversion.hpp"
#include "binding/functions.hpp"
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

template <std::size_t N>
constexpr Signature signature(const char* name, const char* const (&params)[N],
                              std::size_t required = N) {
    return {name, params, required};
}

constexpr const char* arg_params[] = {"arg"};
constexpr const char* park_params[] = {"t", "g"};
constexpr const char* fp_params[] = {"dt_in", "gamma_bins", "nin", "gdot_in",     "din",
                                     "qin",   "tesc_in",    "tlc", "check_params"};
constexpr const char* syn_params[] = {"freqs", "gamma_bins", "n_distrib", "b_field", "with_abs"};
constexpr const char* trans_params[] = {"blob_radius", "j_nu", "a_nu"};
constexpr const char* ic_pwl_params[] = {"freqs", "inu", "g", "n"};
constexpr const char* cool_pwl_params[] = {"gg", "freqs", "uu", "with_kn"};
constexpr const char* cool_mono_params[] = {"gg", "nu0", "u0", "with_kn"};
constexpr const char* ic_mono_params[] = {"freqs", "uext", "nuext", "n", "g"};

/// gofb and bofg: a number gives a float, a non-str sequence of numbers a list.
template <double (*Scalar)(double) noexcept, Grid (*Elementwise)(const Grid&)>
PyRef number_or_grid(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
    const Arguments arguments(sig, args, nargsf, kwnames);
    PyObject* arg = arguments.object(0);

    double value = 0.0;
    if (extract_double(arg, value)) {
        return to_python(Scalar(value));
    }
    PyErr_Clear();
    Grid grid;
    if (!PyUnicode_Check(arg) && extract_grid(arg, grid)) {
        return to_python(Elementwise(grid));
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "Argument must be a float or a list of floats.");
    throw PythonError{};
}

} // namespace

PyObject* py_get_c(PyObject*, PyObject*) {
    return call_frame([] { return to_python(constants::speed_of_light); });
}

PyObject* py_gofb(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("gofb", arg_params);
        return number_or_grid<gofb, gofb>(sig, args, nargsf, kwnames);
    });
}

PyObject* py_bofg(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("bofg", arg_params);
        return number_or_grid<bofg, bofg>(sig, args, nargsf, kwnames);
    });
}

PyObject* py_eq_59_park1995(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("eq_59_park1995", park_params);
        const Arguments arguments(sig, args, nargsf, kwnames);
        const double t = arguments.to_double(0);
        const Grid g = arguments.to_grid(1);
        return to_python(eq_59_park1995(t, g));
    });
}

PyObject* py_fp_findif_difu(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("fp_findif_difu", fp_params, 8);
        const Arguments arguments(sig, args, nargsf, kwnames);
        const double dt_in = arguments.to_double(0);
        const Grid gamma_bins = arguments.to_grid(1);
        const Grid nin = arguments.to_grid(2);
        const Grid gdot_in = arguments.to_grid(3);
        const Grid din = arguments.to_grid(4);
        const Grid qin = arguments.to_grid(5);
        const double tesc_in = arguments.to_double(6);
        const double tlc = arguments.to_double(7);
        const std::optional<bool> check_params = arguments.to_optional_bool(8);
        return to_python(
            fp_findif_difu(dt_in, gamma_bins, nin, gdot_in, din, qin, tesc_in, tlc, check_params));
    });
}

PyObject* py_syn_emissivity_full(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("syn_emissivity_full", syn_params);
        const Arguments arguments(sig, args, nargsf, kwnames);
        const Grid freqs = arguments.to_grid(0);
        const Grid gamma_bins = arguments.to_grid(1);
        const Grid n_distrib = arguments.to_grid(2);
        const double b_field = arguments.to_double(3);
        const bool with_abs = arguments.to_bool(4);
        return to_python(syn_emissivity_full(freqs, gamma_bins, n_distrib, b_field, with_abs));
    });
}

/// rad_trans_blob and rad_trans_slab share their arguments.
template <Grid (*Transfer)(double, const Grid&, const Grid&)>
PyRef transfer(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Arguments arguments(sig, args, nargsf, kwnames);
    const double blob_radius = arguments.to_double(0);
    const Grid j_nu = arguments.to_grid(1);
    const Grid a_nu = arguments.to_grid(2);
    return to_python(Transfer(blob_radius, j_nu, a_nu));
}

PyObject* py_rad_trans_blob(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("rad_trans_blob", trans_params);
        return transfer<rad_trans_blob>(sig, args, nargsf, kwnames);
    });
}

PyObject* py_rad_trans_slab(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("rad_trans_slab", trans_params);
        return transfer<rad_trans_slab>(sig, args, nargsf, kwnames);
    });
}

PyObject* py_ic_iso_powlaw_full(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("ic_iso_powlaw_full", ic_pwl_params);
        const Arguments arguments(sig, args, nargsf, kwnames);
        const Grid freqs = arguments.to_grid(0);
        const Grid inu = arguments.to_grid(1);
        const Grid g = arguments.to_grid(2);
        const Grid n = arguments.to_grid(3);
        return to_python(ic_iso_powlaw_full(freqs, inu, g, n));
    });
}

PyObject* py_rad_cool_pwl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("rad_cool_pwl", cool_pwl_params);
        const Arguments arguments(sig, args, nargsf, kwnames);
        const Grid gg = arguments.to_grid(0);
        const Grid freqs = arguments.to_grid(1);
        const Grid uu = arguments.to_grid(2);
        const bool with_kn = arguments.to_bool(3);
        return to_python(rad_cool_pwl(gg, freqs, uu, with_kn));
    });
}

PyObject* py_rad_cool_mono(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("rad_cool_mono", cool_mono_params);
        const Arguments arguments(sig, args, nargsf, kwnames);
        const Grid gg = arguments.to_grid(0);
        const double nu0 = arguments.to_double(1);
        const double u0 = arguments.to_double(2);
        const bool with_kn = arguments.to_bool(3);
        return to_python(rad_cool_mono(gg, nu0, u0, with_kn));
    });
}

PyObject* py_ic_iso_monochrome_full(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) {
    return call_frame([&] {
        static constexpr Signature sig = signature("ic_iso_monochrome_full", ic_mono_params);
        const Arguments arguments(sig, args, nargsf, kwnames);
        const Grid freqs = arguments.to_grid(0);
        const double uext = arguments.to_double(1);
        const double nuext = arguments.to_double(2);
        const Grid n = arguments.to_grid(3);
        const Grid g = arguments.to_grid(4);
        return to_python(ic_iso_monochrome_full(freqs, uext, nuext, n, g));
    });
}

} // namespace sorvex::binding
