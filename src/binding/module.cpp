// The module definition, the function table and the initialiser.
#include <Python.h>

#include <atomic>

#include "binding/call_frame.hpp"
#include "binding/functions.hpp"
#include "binding/py_ref.hpp"

namespace sorvex::binding {
namespace {

template <class Entry>
PyCFunction as_cfunction(Entry entry) {
    // The interpreter calls each entry with the signature its flags announce.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// Each docstring opens with the text signature ("name(params)\n--\n\n"), from which the
// interpreter derives __text_signature__; the rest becomes __doc__ (None when empty).
PyMethodDef g_functions[] = {
    {"get_c", as_cfunction(py_get_c), METH_NOARGS,
     "get_c()\n--\n\nExample retrieving constant from constants file can be improved by using "
     "macros"},
    {"gofb", as_cfunction(py_gofb), fastcall, "gofb(arg)\n--\n\nfunctions from tessarine"},
    {"bofg", as_cfunction(py_bofg), fastcall, "bofg(arg)\n--\n\n"},
    {"eq_59_park1995", as_cfunction(py_eq_59_park1995), fastcall,
     "eq_59_park1995(t, g)\n--\n\nfunctions from distribs"},
    {"fp_findif_difu", as_cfunction(py_fp_findif_difu), fastcall,
     "fp_findif_difu(dt_in, gamma_bins, nin, gdot_in, din, qin, tesc_in, tlc, "
     "check_params=None)\n--\n\n"},
    {"syn_emissivity_full", as_cfunction(py_syn_emissivity_full), fastcall,
     "syn_emissivity_full(freqs, gamma_bins, n_distrib, b_field, with_abs)\n--\n\n"},
    {"rad_trans_blob", as_cfunction(py_rad_trans_blob), fastcall,
     "rad_trans_blob(blob_radius, j_nu, a_nu)\n--\n\n"},
    {"ic_iso_powlaw_full", as_cfunction(py_ic_iso_powlaw_full), fastcall,
     "ic_iso_powlaw_full(freqs, inu, g, n)\n--\n\n"},
    {"rad_cool_pwl", as_cfunction(py_rad_cool_pwl), fastcall,
     "rad_cool_pwl(gg, freqs, uu, with_kn)\n--\n\n"},
    {"rad_cool_mono", as_cfunction(py_rad_cool_mono), fastcall,
     "rad_cool_mono(gg, nu0, u0, with_kn)\n--\n\n"},
    {"ic_iso_monochrome_full", as_cfunction(py_ic_iso_monochrome_full), fastcall,
     "ic_iso_monochrome_full(freqs, uext, nuext, n, g)\n--\n\n"},
    {"rad_trans_slab", as_cfunction(py_rad_trans_slab), fastcall,
     "rad_trans_slab(blob_radius, j_nu, a_nu)\n--\n\n"},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "sorvex",
    "Non-thermal emission of relativistic electrons: Fokker-Planck evolution, synchrotron, "
    "inverse Compton, cooling and radiative transfer (cgs units).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> g_initialised{false};

/// Appends `name` to the module's __all__, creating the list first if the module has none.
void append_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) {
            throw_python_error();
        }
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            throw_python_error();
        }
    }
    if (PyList_Append(all.get(), name) != 0) {
        throw_python_error();
    }
}

PyRef create_module() {
    PyRef module = checked(PyModule_Create2(&g_module, 1013));
    if (g_initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "the sorvex module may only be initialised once per interpreter process");
        throw PythonError{};
    }
    const char* module_name = PyModule_GetName(module.get());
    if (module_name == nullptr) {
        throw_python_error();
    }
    const PyRef name_object = checked(PyUnicode_FromString(module_name));
    for (PyMethodDef& def : g_functions) {
        const PyRef function =
            checked(PyCMethod_New(&def, module.get(), name_object.get(), nullptr));
        const PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
        append_to_all(module.get(), name.get());
        if (PyObject_SetAttr(module.get(), name.get(), function.get()) != 0) {
            throw_python_error();
        }
    }
    return module;
}

} // namespace
} // namespace sorvex::binding

PyMODINIT_FUNC PyInit_sorvex(void) {
    return sorvex::binding::call_frame([] { return sorvex::binding::create_module(); });
}
