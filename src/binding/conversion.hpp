// Conversions between Python objects and native values.
#pragma once

#include <Python.h>

#include <span>
#include <utility>
#include <variant>

#include "binding/py_ref.hpp"
#include "core/common/grid.hpp"
#include "core/radiation/exact/synchrotron.hpp"
#include "core/radiation/synchrotron.hpp"

namespace sorvex::binding {

/// A float, or any object the interpreter's float conversion accepts (int, bool, __float__,
/// __index__), except complex numbers, NumPy's included (TypeError as for complex). On failure
/// returns false with the interpreter's error set.
bool extract_double(PyObject* object, double& value);

/// A non-str sequence whose items convert by extract_double. On failure returns false with
/// the error set: TypeError for str and non-sequences, else the failing item's error. The
/// length only sizes the reservation; its errors are ignored, except KeyboardInterrupt,
/// SystemExit and MemoryError.
bool extract_grid(PyObject* object, Grid& grid);

/// Only True and False. On failure returns false with TypeError set.
bool extract_bool(PyObject* object, bool& value);

/// A buffer view, released on every path. Not movable: the exporter may know its address.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    /// Takes a one-dimensional, C-contiguous buffer of native doubles of `object`; false (and no
    /// error set) when it has none. An interrupt, exit request or MemoryError raised by the
    /// exporter is thrown as PythonError.
    bool acquire_float64(PyObject* object);
    std::span<const double> values() const;
    void release() noexcept;

private:
    Py_buffer view_{};
    bool held_ = false;
};

/// Read-only doubles of an argument: the float64 buffer of the object itself where it has one
/// (held until the call ends), otherwise a grid converted by extract_grid.
class FloatView {
public:
    /// On failure returns false with the error of extract_grid set.
    bool load(PyObject* object);
    std::span<const double> values() const { return values_; }

private:
    BufferView buffer_;
    Grid owned_;
    std::span<const double> values_;
};

/// gofb and bofg: a number, or a non-str sequence of numbers.
using NumberOrGrid = std::variant<double, Grid>;

/// A number gives a double, a non-str sequence a grid; anything else fails with TypeError
/// "Argument must be a float or a list of floats." The conversion errors are discarded, except
/// KeyboardInterrupt, SystemExit, MemoryError and RecursionError, which propagate unchanged.
NumberOrGrid extract_number_or_grid(PyObject* object);

/// Replaces a pending TypeError (exactly that type) by "argument '<name>': <message>" with the
/// same __cause__; other errors pass unchanged. Always throws PythonError.
[[noreturn]] void relabel_argument_error(const char* name);

/// How a module returns sequences of doubles: lists of floats, or NumPy float64 arrays (made
/// through the Python API; NumPy is imported at the first such result).
enum class ResultForm : unsigned char { lists, arrays };

PyRef to_python(double value, ResultForm form);
PyRef to_python(std::span<const double> values, ResultForm form);
PyRef to_python(const Grid& grid, ResultForm form);
PyRef to_python(const NumberOrGrid& value, ResultForm form);
/// The two grids as a 2-tuple.
PyRef to_python(const std::pair<Grid, Grid>& grids, ResultForm form);
/// Writes the reports of the integrals that did not converge, then (j_nu, alpha_nu).
PyRef to_python(const SynchrotronSpectrum& spectrum, ResultForm form);
/// (j_nu, alpha_nu) of the exact kernel.
PyRef to_python(const exact::SynchrotronSpectrum& spectrum, ResultForm form);

} // namespace sorvex::binding
