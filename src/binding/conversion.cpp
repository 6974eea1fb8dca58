#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "binding/conversion.hpp"

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

/// True for the container types whose iteration yields exactly the doubles of their buffer.
bool iterates_as_its_buffer(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    return type == &PyMemoryView_Type || std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
           std::strcmp(type->tp_name, "array.array") == 0;
}

/// A buffer view, released on every path.
struct BufferView {
    Py_buffer view{};
    bool held = false;
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held) {
            PyBuffer_Release(&view);
        }
    }
};

/// Copies a one-dimensional, contiguous buffer of native doubles in one go. False (and no
/// error set) for anything else, which then takes the general path.
bool copy_float64_buffer(PyObject* object, Grid& grid) {
    if (!iterates_as_its_buffer(object) || PyObject_CheckBuffer(object) == 0) {
        return false;
    }
    BufferView buffer;
    if (PyObject_GetBuffer(object, &buffer.view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        return false;
    }
    buffer.held = true;
    const Py_buffer& view = buffer.view;
    const std::string_view format = view.format == nullptr ? "B" : view.format;
    const bool doubles = view.ndim == 1 && view.itemsize == sizeof(double) &&
                         (format == "d" || format == "@d" || format == "=d" ||
                          (format == "<d" && std::endian::native == std::endian::little));
    if (doubles) {
        const auto* data = static_cast<const double*>(view.buf);
        grid.assign(data, data + view.len / static_cast<Py_ssize_t>(sizeof(double)));
    }
    return doubles;
}

} // namespace

bool extract_double(PyObject* object, double& value) {
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
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
    if (copy_float64_buffer(object, grid)) {
        return true;
    }
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
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

PyRef to_python(double value) {
    return checked(PyFloat_FromDouble(value));
}

PyRef to_python(const Grid& grid) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(grid.size())));
    for (std::size_t i = 0; i < grid.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(grid[i]);
        if (item == nullptr) {
            throw_python_error();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyRef to_python(const std::pair<Grid, Grid>& grids) {
    PyRef first = to_python(grids.first);
    PyRef second = to_python(grids.second);
    PyRef pair = checked(PyTuple_New(2));
    if (PyTuple_SetItem(pair.get(), 0, first.release()) != 0 ||
        PyTuple_SetItem(pair.get(), 1, second.release()) != 0) {
        throw_python_error();
    }
    return pair;
}

} // namespace sorvex::binding
