// PanicException: how a stopped computation surfaces in Python.
#pragma once

#include <Python.h>

#include <string>

namespace sorvex::binding {

/// The PanicException class (borrowed), created on first need; null with an error set if the
/// interpreter cannot create it.
PyObject* panic_exception_type();

/// Writes the stop report (thread, source location, message) to standard error; the first
/// report of the process is followed by a one-line hint.
void report_stop(const std::string& thread, const char* file, unsigned line,
                 const std::string& message);

/// Sets PanicException carrying `message` as the current Python exception.
void raise_panic(const std::string& message);

} // namespace sorvex::binding
