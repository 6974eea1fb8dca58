// Entry routines of the module's functions: each matches and converts its arguments, calls the
// numeric core and converts the result, all inside the call frame.
#pragma once

#include <Python.h>

namespace sorvex::binding {

PyObject* py_get_c(PyObject* module, PyObject* unused);

#define SORVEX_FASTCALL_ENTRY(name)                                                                \
    PyObject* py_##name(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,                \
                        PyObject* kwnames)
SORVEX_FASTCALL_ENTRY(gofb);
SORVEX_FASTCALL_ENTRY(bofg);
SORVEX_FASTCALL_ENTRY(eq_59_park1995);
SORVEX_FASTCALL_ENTRY(fp_findif_difu);
SORVEX_FASTCALL_ENTRY(syn_emissivity_full);
SORVEX_FASTCALL_ENTRY(rad_trans_blob);
SORVEX_FASTCALL_ENTRY(ic_iso_powlaw_full);
SORVEX_FASTCALL_ENTRY(rad_cool_pwl);
SORVEX_FASTCALL_ENTRY(rad_cool_mono);
SORVEX_FASTCALL_ENTRY(ic_iso_monochrome_full);
SORVEX_FASTCALL_ENTRY(rad_trans_slab);
#undef SORVEX_FASTCALL_ENTRY

} // namespace sorvex::binding
