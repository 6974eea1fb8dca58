// The call frame every entry routine runs in: argument matching, and the mapping of failures
// (Python errors, stops, exhausted memory) onto Python exceptions.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <span>

#include "binding/py_ref.hpp"
#include "core/common/grid.hpp"

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

/// What argument matching needs to know of a function.
struct Signature {
    const char* name;
    std::span<const char* const> params; ///< in signature order
    std::size_t required;                ///< the leading params that have no default
};

inline constexpr std::size_t max_params = 9;

/// The arguments of one call, matched to their parameters by position or keyword. Each
/// accessor converts one slot and relabels a conversion TypeError with the parameter's name.
/// Convert in signature order, one statement at a time.
class Arguments {
public:
    Arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
              PyObject* kwnames);

    double to_double(std::size_t index) const;
    Grid to_grid(std::size_t index) const;
    bool to_bool(std::size_t index) const;
    /// Empty slot or None: no value.
    std::optional<bool> to_optional_bool(std::size_t index) const;
    /// The object in a slot (borrowed; null when the slot is empty).
    PyObject* object(std::size_t index) const { return slots_[index]; }

private:
    const Signature& signature_;
    std::array<PyObject*, max_params> slots_{};
};

} // namespace sorvex::binding
