#include <Python.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "binding/call_frame.hpp"
#include "binding/panic.hpp"
#include "core/common/stop.hpp"

namespace sorvex::binding {

PyObject* fail_call(std::exception_ptr failure) noexcept {
    try {
        try {
            std::rethrow_exception(std::move(failure));
        } catch (const PythonError&) {
            ensure_error_set();
        } catch (const Stop& stop) {
            if (stop.kind() == Stop::Kind::invalid_input) {
                PyErr_SetString(PyExc_ValueError, stop.what());
                return nullptr;
            }
            report_stop(stop.thread_name(), stop.file(), stop.line(), stop.message());
            raise_panic(stop.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            report_stop(current_thread_name(), "<unknown>", 0, error.what());
            raise_panic(error.what());
        } catch (...) {
            static const std::string generic = "sorvex stopped without a message";
            report_stop(current_thread_name(), "<unknown>", 0, generic);
            raise_panic(generic);
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    return nullptr;
}

namespace {

/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::string* names, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            out += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

/// Index of the parameter whose name has the UTF-8 text of `keyword`, or params.size().
std::size_t find_parameter(const Signature& signature, PyObject* keyword) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (text == nullptr) {
        PyErr_Clear(); // not encodable: names no parameter
        return signature.params.size();
    }
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        const char* name = signature.params[i].name;
        if (std::strlen(name) == static_cast<std::size_t>(length) &&
            std::memcmp(name, text, static_cast<std::size_t>(length)) == 0) {
            return i;
        }
    }
    return signature.params.size();
}

} // namespace

Arguments::Arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
    const auto n = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    const std::size_t total = signature.params.size();
    const auto required = static_cast<std::size_t>(
        std::count_if(signature.params.begin(), signature.params.end(),
                      [](const Param& p) { return p.kind == Param::Default::none; }));

    for (std::size_t i = 0; i < std::min(n, total); ++i) {
        slots_[i] = args[i];
    }
    if (n > total) {
        const char* were = n == 1 ? "was" : "were";
        if (required == total) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zu %s given",
                         signature.name, total, n, were);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zu positional arguments but %zu %s given",
                         signature.name, required, total, n, were);
        }
        throw PythonError{};
    }

    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t index = find_parameter(signature, keyword);
        if (index == total) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.name, keyword);
            throw PythonError{};
        }
        if (slots_[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         signature.name, keyword);
            throw PythonError{};
        }
        slots_[index] = args[n + static_cast<std::size_t>(k)];
    }

    if (n < required) {
        std::array<std::string, max_params> missing;
        std::size_t count = 0;
        for (std::size_t i = 0; i < required; ++i) {
            if (slots_[i] == nullptr) {
                missing[count++] = signature.params[i].name;
            }
        }
        if (count > 0) {
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                         signature.name, count, count > 1 ? "s" : "",
                         quoted_list(missing.data(), count).c_str());
            throw PythonError{};
        }
    }
}

} // namespace sorvex::binding
