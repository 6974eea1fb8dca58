#include "binding/table.hpp"
#include <Python.h>

#include <memory>
#include <string>

#include "binding/panic.hpp"

namespace sorvex::binding::detail {
namespace {

/// A default as Python writes it: True, False, None, or the repr of a float.
std::string default_text(const Param& param) {
    switch (param.kind) {
    case Param::Default::flag:
        return param.flag ? "True" : "False";
    case Param::Default::none_flag:
        return "None";
    case Param::Default::number: {
        const std::unique_ptr<char, decltype(&PyMem_Free)> text(
            PyOS_double_to_string(param.number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr), &PyMem_Free);
        if (!text) {
            throw_python_error();
        }
        return std::string(text.get());
    }
    case Param::Default::none:
        break;
    }
    return {};
}

/// Appends `name` to the module's __all__, creating the list first if the module has none.
void append_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) {
            throw_python_error();
        }
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            throw_python_error();
        }
    }
    if (PyList_Append(all.get(), name) != 0) {
        throw_python_error();
    }
}

} // namespace

void check_signals(void*) {
    if (PyErr_CheckSignals() != 0) {
        throw PythonError{};
    }
}

bool handles_signals() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        return false;
    }
    const PyRef threading = checked(PyImport_ImportModule("threading"));
    const PyRef main_thread = checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    const PyRef ident = checked(PyObject_GetAttrString(main_thread.get(), "ident"));
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred() != nullptr) {
        throw PythonError{};
    }
    return main_ident == PyThread_get_thread_ident();
}

std::string docstring(const char* name, std::span<const Param> params, const char* doc) {
    std::string text(name);
    text += '(';
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += params[i].name;
        if (params[i].kind != Param::Default::none) {
            text += '=';
            text += default_text(params[i]);
        }
    }
    text += ")\n--\n\n";
    text += doc;
    return text;
}

PyRef create_module(PyModuleDef& definition, std::atomic<bool>& initialised,
                    std::span<PyMethodDef> methods) {
    PyRef module = checked(PyModule_Create2(&definition, 1013));
    if (initialised.exchange(true)) {
        PyErr_Format(PyExc_ImportError,
                     "the %s module may only be initialised once per interpreter process",
                     definition.m_name);
        throw PythonError{};
    }
    const char* module_name = PyModule_GetName(module.get());
    if (module_name == nullptr) {
        throw_python_error();
    }
    set_panic_module(module_name);
    const PyRef name_object = checked(PyUnicode_FromString(module_name));
    for (PyMethodDef& def : methods) {
        const PyRef function =
            checked(PyCMethod_New(&def, module.get(), name_object.get(), nullptr));
        const PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
        append_to_all(module.get(), name.get());
        if (PyObject_SetAttr(module.get(), name.get(), function.get()) != 0) {
            throw_python_error();
        }
    }
    // The module's __getattr__ finds PanicException, created on first need, by the name that
    // the class gives as its location: instances pickle across processes.
    static PyMethodDef getattr_def = {
        "__getattr__", as_cfunction(&module_getattr), METH_O,
        "__getattr__($module, name, /)\n--\n\nPanicException, the exception of a stopped "
        "computation, when `name` names it."};
    const PyRef getattr_function =
        checked(PyCMethod_New(&getattr_def, module.get(), name_object.get(), nullptr));
    if (PyObject_SetAttrString(module.get(), "__getattr__", getattr_function.get()) != 0) {
        throw_python_error();
    }
    return module;
}

} // namespace sorvex::binding::detail
