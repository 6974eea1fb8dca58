// Conversions between Python objects and native values.
#pragma once

#include <Python.h>

#include <utility>

#include "binding/py_ref.hpp"
#include "core/common/grid.hpp"

namespace sorvex::binding {

/// A float, or any object the interpreter's float conversion accepts (int, bool, __float__,
/// __index__). On failure returns false with the interpreter's error set.
bool extract_double(PyObject* object, double& value);

/// A non-str sequence whose items convert by extract_double. On failure returns false with
/// the error set: TypeError for str and non-sequences, else the failing item's error.
bool extract_grid(PyObject* object, Grid& grid);

/// Only True and False. On failure returns false with TypeError set.
bool extract_bool(PyObject* object, bool& value);

/// Replaces a pending TypeError (exactly that type) by "argument '<name>': <message>" with the
/// same __cause__; other errors pass unchanged. Always throws PythonError.
[[noreturn]] void relabel_argument_error(const char* name);

PyRef to_python(double value);
PyRef to_python(const Grid& grid);
PyRef to_python(const std::pair<Grid, Grid>& grids);

} // namespace sorvex::binding
