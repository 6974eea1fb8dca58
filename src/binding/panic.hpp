// PanicException: how a stopped computation surfaces in Python.
#pragma once

#include <Python.h>

#include <string>

namespace sorvex::binding {

/// Names the PanicException class of this native module `<module_name>.PanicException`, where
/// the module's __getattr__ finds it, so that instances pickle (the class is created later).
/// Until then the class is named sorvex.PanicException.
void set_panic_module(const char* module_name);

/// The PanicException class (borrowed), created on first need; null with an error set if the
/// interpreter cannot create it.
PyObject* panic_exception_type();

/// The module's __getattr__ (the module is `self`): PanicException, created on first need, for
/// the name "PanicException"; the interpreter's AttributeError for any other name.
PyObject* module_getattr(PyObject* module, PyObject* name) noexcept;

/// Writes the stop report (thread, source location, message) to standard error; the first
/// report of the process is followed by a one-line hint.
void report_stop(const std::string& thread, const char* file, unsigned line,
                 const std::string& message);

/// Sets PanicException carrying `message` as the current Python exception.
void raise_panic(const std::string& message);

} // namespace sorvex::binding
