#include <Python.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "binding/call_frame.hpp"
#include "binding/panic.hpp"
#include "binding/py_ref.hpp"

namespace sorvex::binding {
namespace {

/// The dotted name of the class (each native module links its own copy of the binding).
std::string& panic_class_name() {
    static std::string name = "sorvex.PanicException";
    return name;
}

} // namespace

void set_panic_module(const char* module_name) {
    panic_class_name() = std::string(module_name) + ".PanicException";
}

PyObject* panic_exception_type() {
    // Created once under the interpreter lock and kept for the rest of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            panic_class_name().c_str(),
            "Raised when native code called from Python stops.\n\n"
            "Like SystemExit, this exception derives from BaseException, so that it typically "
            "propagates all the way through the stack and ends the interpreter; catch it "
            "explicitly to recover.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* module_getattr(PyObject* module, PyObject* name) noexcept {
    return call_frame([&] {
        if (PyUnicode_Check(name) &&
            PyUnicode_CompareWithASCIIString(name, "PanicException") == 0) {
            PyObject* type = panic_exception_type();
            if (type == nullptr) {
                throw_python_error();
            }
            return PyRef::borrow(type);
        }
        // As the interpreter says it, with the name and object that its suggestions read.
        const char* module_name = PyModule_GetName(module);
        if (module_name == nullptr) {
            throw_python_error();
        }
        const PyRef message =
            checked(PyUnicode_FromFormat("module '%s' has no attribute '%U'", module_name, name));
        const PyRef error = checked(PyObject_CallOneArg(PyExc_AttributeError, message.get()));
        if (PyObject_SetAttrString(error.get(), "name", name) != 0 ||
            PyObject_SetAttrString(error.get(), "obj", module) != 0) {
            throw_python_error();
        }
        PyErr_SetObject(PyExc_AttributeError, error.get());
        return PyRef();
    });
}

void report_stop(const std::string& thread, const char* file, unsigned line,
                 const std::string& message) {
    static std::atomic<bool> hinted{false};
    std::string report = "thread '" + thread + "' stopped at " + file + ":" + std::to_string(line) +
                         ":\n" + message + "\n";
    if (!hinted.exchange(true)) {
        report += "note: the call raises sorvex's PanicException, which derives from "
                  "BaseException; `except Exception` does not catch it\n";
    }
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return; // the interpreter's error from creating the class stays set
    }
    const PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) {
        return;
    }
    PyErr_SetObject(type, text.get());
}

} // namespace sorvex::binding
