#include <Python.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "binding/panic.hpp"
#include "binding/py_ref.hpp"

namespace sorvex::binding {

PyObject* panic_exception_type() {
    // Created once under the interpreter lock and kept for the rest of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "sorvex.PanicException",
            "Raised when native code called from Python stops.\n\n"
            "Like SystemExit, this exception derives from BaseException, so that it typically "
            "propagates all the way through the stack and ends the interpreter; catch it "
            "explicitly to recover.",
            PyExc_BaseException, nullptr);
    }
    return type;
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
