#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "binding/conversion.hpp"
#include "binding/diagnostics.hpp"

namespace sorvex::binding {
namespace {

/// A sequence's length is only a hint for the room to reserve: a lying __len__ must not make
/// the conversion allocate gigabytes or fail.
constexpr Py_ssize_t max_reserved_items = Py_ssize_t{1} << 20;

/// Sets TypeError "'<qualname of type(object)>' object cannot be converted to '<target>'".
void set_cannot_convert(PyObject* object, const char* target) {
    const PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!qualname) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
}

/// Whether the pending error must end the call rather than one way of reading an argument: an
/// interrupt, an exit request or exhausted memory (ignoring them would hide a Ctrl-C).
bool pending_error_must_propagate() {
    return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0 ||
           PyErr_ExceptionMatches(PyExc_SystemExit) != 0 ||
           PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
}

/// Converts one item as the double rule says and appends it.
bool append_item(PyObject* item, Grid& grid) {
    double value = 0.0;
    if (!extract_double(item, value)) {
        return false;
    }
    grid.push_back(value);
    return true;
}

/// Exact lists and tuples, read in place. Same values and errors as iterating them: the size
/// is read again at every step (an item's __float__ may change the list) and each item is held
/// while it converts.
bool extract_list_or_tuple(PyObject* object, Grid& grid) {
    const bool is_list = PyList_CheckExact(object);
    const auto size = [&] { return is_list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object); };
    grid.reserve(static_cast<std::size_t>(size()));
    for (Py_ssize_t i = 0; i < size(); ++i) {
        PyObject* item = is_list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
        if (PyFloat_CheckExact(item)) {
            grid.push_back(PyFloat_AS_DOUBLE(item));
            continue;
        }
        const PyRef held = PyRef::borrow(item);
        if (!append_item(held.get(), grid)) {
            return false;
        }
    }
    return true;
}

/// The type `module.name`, looked up once it is there and then kept; null while it is not (the
/// lookup's errors are cleared). With `import` false a module not yet imported is not imported.
PyTypeObject* cached_type(PyTypeObject*& cache, const char* module, const char* name, bool import) {
    if (cache != nullptr) {
        return cache;
    }
    PyRef owner;
    if (import) {
        owner = PyRef::steal(PyImport_ImportModule(module));
    } else if (const PyRef module_name = PyRef::steal(PyUnicode_FromString(module))) {
        owner = PyRef::steal(PyImport_GetModule(module_name.get()));
    }
    PyRef type = owner ? PyRef::steal(PyObject_GetAttrString(owner.get(), name)) : PyRef();
    PyErr_Clear();
    if (type && PyType_Check(type.get()) && cache == nullptr) {
        cache = reinterpret_cast<PyTypeObject*>(type.release()); // kept for the process
    }
    return cache;
}

/// A complex number: complex and its subclasses (numpy.complex128 among them), and NumPy's other
/// complex scalars. Their float conversion would drop the imaginary part.
bool is_complex(PyObject* object) {
    static PyTypeObject* numpy_complex_type = nullptr;
    if (PyComplex_Check(object)) {
        return true;
    }
    PyTypeObject* numpy_complex =
        cached_type(numpy_complex_type, "numpy", "complexfloating", false);
    return numpy_complex != nullptr && PyObject_TypeCheck(object, numpy_complex);
}

/// True for the container types whose iteration yields exactly the doubles of their float64
/// buffer: memoryview, array.array and numpy.ndarray (exact types; NumPy is never imported here).
bool iterates_as_its_buffer(PyObject* object) {
    static PyTypeObject* array_type = nullptr;
    static PyTypeObject* ndarray_type = nullptr;
    PyTypeObject* type = Py_TYPE(object);
    return type == &PyMemoryView_Type || type == cached_type(array_type, "array", "array", true) ||
           type == cached_type(ndarray_type, "numpy", "ndarray", false);
}

} // namespace

bool extract_double(PyObject* object, double& value) {
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (!PyFloat_Check(object) && !PyLong_Check(object) && is_complex(object)) {
        PyErr_Format(PyExc_TypeError, "must be real number, not %.50s", Py_TYPE(object)->tp_name);
        return false;
    }
    value = PyFloat_AsDouble(object);
    return !(value == -1.0 && PyErr_Occurred() != nullptr);
}

bool extract_grid(PyObject* object, Grid& grid) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (PySequence_Check(object) == 0) {
        set_cannot_convert(object, "Sequence");
        return false;
    }
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        return extract_list_or_tuple(object, grid);
    }
    if (PyObject_CheckBuffer(object) != 0 && iterates_as_its_buffer(object)) {
        BufferView buffer;
        if (buffer.acquire_float64(object)) {
            grid.assign(buffer.values().begin(), buffer.values().end());
            return true;
        }
    }
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        if (pending_error_must_propagate()) {
            return false;
        }
        PyErr_Clear();
    } else {
        grid.reserve(static_cast<std::size_t>(std::min(hint, max_reserved_items)));
    }
    const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        return false;
    }
    while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!append_item(item.get(), grid)) {
            return false;
        }
    }
    return PyErr_Occurred() == nullptr;
}

bool BufferView::acquire_float64(PyObject* object) {
    release();
    if (PyObject_CheckBuffer(object) == 0) {
        return false;
    }
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        if (pending_error_must_propagate()) {
            throw PythonError{};
        }
        PyErr_Clear();
        return false;
    }
    held_ = true;
    const std::string_view format = view_.format == nullptr ? "B" : view_.format;
    const bool doubles = view_.ndim == 1 && view_.itemsize == sizeof(double) &&
                         (format == "d" || format == "@d" || format == "=d" ||
                          (format == "<d" && std::endian::native == std::endian::little));
    if (!doubles) {
        release();
    }
    return doubles;
}

std::span<const double> BufferView::values() const {
    if (!held_) {
        return {};
    }
    return {static_cast<const double*>(view_.buf),
            static_cast<std::size_t>(view_.len) / sizeof(double)};
}

void BufferView::release() noexcept {
    if (held_) {
        held_ = false;
        PyBuffer_Release(&view_);
    }
}

bool FloatView::load(PyObject* object) {
    if (!PyUnicode_Check(object) && buffer_.acquire_float64(object)) {
        values_ = buffer_.values();
        return true;
    }
    if (!extract_grid(object, owned_)) {
        return false;
    }
    values_ = owned_;
    return true;
}

NumberOrGrid extract_number_or_grid(PyObject* object) {
    // A failed attempt's error is dropped, unless it must end the call (a runaway recursion too).
    const auto drop_error = [] {
        if (pending_error_must_propagate() || PyErr_ExceptionMatches(PyExc_RecursionError) != 0) {
            throw PythonError{};
        }
        PyErr_Clear();
    };
    double value = 0.0;
    if (extract_double(object, value)) {
        return value;
    }
    drop_error();
    Grid grid;
    if (!PyUnicode_Check(object)) {
        if (extract_grid(object, grid)) {
            return grid;
        }
        drop_error();
    }
    PyErr_SetString(PyExc_TypeError, "Argument must be a float or a list of floats.");
    throw PythonError{};
}

bool extract_bool(PyObject* object, bool& value) {
    if (object == Py_True || object == Py_False) {
        value = object == Py_True;
        return true;
    }
    set_cannot_convert(object, "PyBool");
    return false;
}

void relabel_argument_error(const char* name) {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    if (!error) {
        throw_python_error();
    }
    if (!Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(error.release());
        throw PythonError{};
    }
    const PyRef text = checked(PyObject_Str(error.get()));
    const PyRef message = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    PyRef relabelled = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // SetCause steals the (possibly null) new reference that GetCause returns.
    PyException_SetCause(relabelled.get(), PyException_GetCause(error.get()));
    PyErr_SetRaisedException(relabelled.release());
    throw PythonError{};
}

namespace {

/// numpy.empty, looked up at the first array result and kept for the process.
PyObject* numpy_empty() {
    static PyObject* empty = nullptr;
    if (empty == nullptr) {
        const PyRef numpy = checked(PyImport_ImportModule("numpy"));
        PyRef function = checked(PyObject_GetAttrString(numpy.get(), "empty"));
        if (empty == nullptr) { // the import may have let another thread get here first
            empty = function.release();
        }
    }
    return empty;
}

PyRef to_array(std::span<const double> values) {
    const PyRef length = checked(PyLong_FromSize_t(values.size()));
    PyRef array = checked(PyObject_CallFunction(numpy_empty(), "Os", length.get(), "float64"));
    Py_buffer view{};
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
        throw_python_error();
    }
    const bool fits = static_cast<std::size_t>(view.len) == values.size_bytes();
    if (fits && !values.empty()) {
        std::memcpy(view.buf, values.data(), values.size_bytes());
    }
    PyBuffer_Release(&view);
    if (!fits) {
        PyErr_SetString(PyExc_SystemError, "numpy.empty returned an array of another size");
        throw PythonError{};
    }
    return array;
}

PyRef to_list(std::span<const double> values) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) {
            throw_python_error();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

} // namespace

PyRef to_python(double value, ResultForm) {
    return checked(PyFloat_FromDouble(value));
}

PyRef to_python(std::span<const double> values, ResultForm form) {
    return form == ResultForm::arrays ? to_array(values) : to_list(values);
}

PyRef to_python(const Grid& grid, ResultForm form) {
    return to_python(std::span<const double>(grid), form);
}

PyRef to_python(const NumberOrGrid& value, ResultForm form) {
    return std::visit([form](const auto& v) { return to_python(v, form); }, value);
}

namespace {

PyRef pair_of(PyRef first, PyRef second) {
    PyRef pair = checked(PyTuple_New(2));
    if (PyTuple_SetItem(pair.get(), 0, first.release()) != 0 ||
        PyTuple_SetItem(pair.get(), 1, second.release()) != 0) {
        throw_python_error();
    }
    return pair;
}

} // namespace

PyRef to_python(const std::pair<Grid, Grid>& grids, ResultForm form) {
    return pair_of(to_python(grids.first, form), to_python(grids.second, form));
}

PyRef to_python(const SynchrotronSpectrum& spectrum, ResultForm form) {
    report_unconverged(spectrum.unconverged);
    return pair_of(to_python(spectrum.emissivity, form), to_python(spectrum.absorption, form));
}

PyRef to_python(const exact::SynchrotronSpectrum& spectrum, ResultForm form) {
    return pair_of(to_python(spectrum.j_nu, form), to_python(spectrum.alpha_nu, form));
}

} // namespace sorvex::binding
