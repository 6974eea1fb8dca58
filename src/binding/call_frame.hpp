// The call frame every entry routine runs in: argument matching, and the mapping of failures
// (Python errors, stops, exhausted memory) onto Python exceptions.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <span>

#include "binding/py_ref.hpp"

namespace sorvex::binding {

/// Maps the failure in flight onto the current Python exception; returns null. Never throws:
/// a failure while handling a failure aborts the process.
PyObject* fail_call(std::exception_ptr failure) noexcept;

/// Runs body (returning a PyRef) and returns its new reference, or null with an exception set.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
    try {
        PyRef result = body();
        if (!result) {
            throw_python_error();
        }
        return result.release();
    } catch (...) {
        return fail_call(std::current_exception());
    }
}

/// One parameter of a function table entry: its name, and what an omitted argument means.
struct Param {
    enum class Default : unsigned char {
        none,      ///< required
        flag,      ///< a bool default, shown as True or False
        number,    ///< a float default
        none_flag, ///< shown as None; None or an omitted argument give the bool `flag`
    };
    const char* name;
    Default kind = Default::none;
    bool flag = false;
    double number = 0.0;

    constexpr Param(const char* name_) noexcept
        : name(name_) {} // NOLINT(google-explicit-constructor)
    constexpr Param(const char* name_, Default kind_, bool flag_, double number_) noexcept
        : name(name_), kind(kind_), flag(flag_), number(number_) {}
};

/// "name=True" / "name=False".
constexpr Param with_default(const char* name, bool value) {
    return {name, Param::Default::flag, value, 0.0};
}
/// "name=<value>".
constexpr Param with_default(const char* name, double value) {
    return {name, Param::Default::number, false, value};
}
/// "name=None": None or an omitted argument give `value`; otherwise only True and False.
constexpr Param none_means(const char* name, bool value) {
    return {name, Param::Default::none_flag, value, 0.0};
}

/// What argument matching needs to know of a function.
struct Signature {
    const char* name;
    std::span<const Param> params; ///< in signature order, the required ones first
};

inline constexpr std::size_t max_params = 16;

/// The arguments of one call, matched to their parameters by position or keyword.
class Arguments {
public:
    Arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
              PyObject* kwnames);

    /// The object in a slot (borrowed; null when the argument was omitted).
    PyObject* object(std::size_t index) const { return slots_[index]; }

private:
    std::array<PyObject*, max_params> slots_{};
};

} // namespace sorvex::binding
