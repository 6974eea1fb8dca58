// Owning references to Python objects, and the signal that a Python error is already set.
#pragma once

#include <Python.h>

#include <utility>

namespace sorvex::binding {

/// Owns one strong reference (or none). Every reference the binding creates lives in one of
/// these, so no path through a call can leak it.
class PyRef {
public:
    PyRef() noexcept = default;
    /// Takes over a new reference (may be null).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    /// Adds a reference to a borrowed object (may be null).
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(std::exchange(object_, std::exchange(other.object_, nullptr)));
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    /// Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

/// Thrown after a Python exception has been set; the call frame returns null for it.
struct PythonError {};

/// Sets SystemError when the interpreter reported a failure without setting an exception.
inline void ensure_error_set() noexcept {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

/// Throws PythonError, first making sure that an exception is set.
[[noreturn]] inline void throw_python_error() {
    ensure_error_set();
    throw PythonError{};
}

/// `object` itself, or throw_python_error() when it is null.
inline PyRef checked(PyObject* object) {
    if (object == nullptr) {
        throw_python_error();
    }
    return PyRef::steal(object);
}

} // namespace sorvex::binding
