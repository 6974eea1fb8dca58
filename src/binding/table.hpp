// Declarative function tables: a native module is a name, a docstring, a result form and one
// entry per function. Everything else is derived from the entry and from the C++ signature of
// its function: the argument converters, the entry routine, the calling convention and the
// text signature (__text_signature__, inspect.signature).
//
// Adding a function to a native module:
//   1. Write the computation in the core (src/core/): plain C++ on native values (double,
//      bool, const Grid&, std::span<const double>), returning a double, a Grid, a pair of Grids
//      or a result type that has a to_python overload (binding/conversion.hpp). Signal input
//      that breaks the function's contract with reject_input() (ValueError) and a failed
//      computation with stop() (PanicException).
//   2. Add one entry to the module's table (e.g. src/binding/sorvex_module.cpp):
//          def<&core_function>("name", {"x", "y", with_default("absorption", true)}, "Doc.")
//      The parameter names follow the C++ parameters in order; the defaulted ones come last.
//      Add `Gil::released` as the last argument to let other Python threads run during the
//      computation (never for sorvex, which holds the interpreter lock for the whole call).
//      Either way the parallel loops of the computation check for signals every few
//      milliseconds (Ctrl-C raises KeyboardInterrupt); a released call on the main thread takes
//      the lock back for each check.
//   3. Add its line to the module's stub (src/sorvex.pyi, src/sorvexfit/kernels.pyi), which
//      tests/python/test_module.py and test_kernels.py check against the functions' signatures.
//      Then the tests of the function.
// A new module is a table file and one sorvex_add_module() in CMakeLists.txt.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/call_frame.hpp"
#include "binding/conversion.hpp"
#include "binding/py_ref.hpp"
#include "core/parallel/worker_pool.hpp"

namespace sorvex::binding {

/// Whether the calling thread keeps the interpreter lock while the computation runs.
enum class Gil : unsigned char { held, released };

/// One function of a module.
template <auto Fn, std::size_t N>
struct Function {
    const char* name;
    std::array<Param, N> params;
    const char* doc;
    Gil gil;
};

template <auto Fn, std::size_t N>
constexpr Function<Fn, N> def(const char* name, const Param (&params)[N], const char* doc,
                              Gil gil = Gil::held) {
    return {name, std::to_array(params), doc, gil};
}

template <auto Fn>
constexpr Function<Fn, 0> def(const char* name, const char* doc, Gil gil = Gil::held) {
    return {name, {}, doc, gil};
}

template <class... Functions>
struct Module {
    const char* name;
    const char* doc;
    ResultForm results;
    std::tuple<Functions...> functions;
};

template <class... Functions>
constexpr Module<Functions...> native_module(const char* name, const char* doc, ResultForm results,
                                             Functions... functions) {
    return {name, doc, results, {functions...}};
}

namespace detail {

template <class F>
struct Parameters;
template <class R, class... A>
struct Parameters<R (*)(A...)> {
    using types = std::tuple<std::remove_cvref_t<A>...>;
};
template <class R, class... A>
struct Parameters<R (*)(A...) noexcept> : Parameters<R (*)(A...)> {};

inline bool extract(PyObject* object, double& value) {
    return extract_double(object, value);
}
inline bool extract(PyObject* object, bool& value) {
    return extract_bool(object, value);
}
inline bool extract(PyObject* object, Grid& value) {
    return extract_grid(object, value);
}

// Argument<T>: one converted argument of C++ type T, alive for the whole call. Not movable: a
// held buffer stays where it was acquired.

/// A double, bool or grid; an omitted argument (or None for none_means) takes the default.
template <class T>
struct Argument {
    T value{};
    void load(PyObject* object, const Param& param) {
        if (object == nullptr || (object == Py_None && param.kind == Param::Default::none_flag)) {
            if constexpr (std::is_same_v<T, double>) {
                value = param.number;
            } else if constexpr (std::is_same_v<T, bool>) {
                value = param.flag;
            }
        } else if (!extract(object, value)) {
            relabel_argument_error(param.name);
        }
    }
    const T& get() const { return value; }
};

template <>
struct Argument<std::span<const double>> {
    FloatView view;
    void load(PyObject* object, const Param& param) {
        if (!view.load(object)) {
            relabel_argument_error(param.name);
        }
    }
    std::span<const double> get() const { return view.values(); }
};

/// Number-or-sequence: its own TypeError, never relabelled.
template <>
struct Argument<NumberOrGrid> {
    NumberOrGrid value;
    void load(PyObject* object, const Param&) { value = extract_number_or_grid(object); }
    const NumberOrGrid& get() const { return value; }
};

template <class T>
constexpr bool default_fits(const Param& param) {
    switch (param.kind) {
    case Param::Default::none:
        return true;
    case Param::Default::number:
        return std::is_same_v<T, double>;
    case Param::Default::flag:
    case Param::Default::none_flag:
        return std::is_same_v<T, bool>;
    }
    return false;
}

/// Whether `params` names one parameter per C++ parameter type in Types, each default suits its
/// type, and the defaulted parameters follow the required ones.
template <class Types, std::size_t N>
consteval bool params_fit(const std::array<Param, N>& params) {
    if (std::tuple_size_v<Types> != N || N > max_params) {
        return false;
    }
    const auto fits = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<bool, N>{default_fits<std::tuple_element_t<I, Types>>(params[I])...};
    }
    (std::make_index_sequence<N>{});
    for (std::size_t i = 0; i < N; ++i) {
        const bool required_after_default = i > 0 && params[i].kind == Param::Default::none &&
                                            params[i - 1].kind != Param::Default::none;
        if (!fits[i] || required_after_default) {
            return false;
        }
    }
    return true;
}

/// The cancellation hook of the parallel loops of a call that holds the interpreter lock: the
/// interpreter's own check for pending signals, which runs their handlers (KeyboardInterrupt for
/// Ctrl-C); a handler's exception ends the call.
void check_signals(void* unused);

/// Whether the calling thread runs signal handlers: the main thread of the main interpreter.
bool handles_signals();

/// Releases the interpreter lock for its lifetime.
class UnlockedInterpreter {
public:
    UnlockedInterpreter() : state_(PyEval_SaveThread()) {}
    ~UnlockedInterpreter() { PyEval_RestoreThread(state_); }
    UnlockedInterpreter(const UnlockedInterpreter&) = delete;
    UnlockedInterpreter& operator=(const UnlockedInterpreter&) = delete;

    /// The cancellation hook while the lock is released (`self` is the UnlockedInterpreter):
    /// holds the lock again for the duration of check_signals.
    static void check_signals(void* self) {
        auto* unlocked = static_cast<UnlockedInterpreter*>(self);
        PyEval_RestoreThread(unlocked->state_);
        const int status = PyErr_CheckSignals();
        unlocked->state_ = PyEval_SaveThread();
        if (status != 0) {
            throw PythonError{}; // the exception stays set on this thread's state
        }
    }

private:
    PyThreadState* state_;
};

/// Matches and converts the arguments in signature order, runs the function and converts its
/// result.
template <const auto& M, std::size_t I>
PyRef invoke(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr const auto& entry = std::get<I>(M.functions);
    using Entry = std::remove_cvref_t<decltype(entry)>;
    return [&]<auto Fn, std::size_t N>(const Function<Fn, N>*) {
        using Types = typename Parameters<decltype(Fn)>::types;
        static_assert(params_fit<Types>(entry.params),
                      "a table entry names one parameter per C++ parameter, with defaults of its "
                      "type (bool or double), after the required ones");
        const Arguments arguments({entry.name, entry.params}, args, nargsf, kwnames);
        return [&]<std::size_t... K>(std::index_sequence<K...>) {
            std::tuple<Argument<std::tuple_element_t<K, Types>>...> values;
            (std::get<K>(values).load(arguments.object(K), entry.params[K]), ...);
            const auto compute = [&] { return Fn(std::get<K>(values).get()...); };
            if (entry.gil == Gil::released) {
                // Only the main thread takes the lock back to check: no other runs handlers.
                const bool checked_for_signals = handles_signals();
                const auto result = [&] {
                    UnlockedInterpreter unlocked;
                    const parallel::CancellationHook hook(
                        checked_for_signals ? &UnlockedInterpreter::check_signals : nullptr,
                        &unlocked);
                    return compute();
                }();
                return to_python(result, M.results);
            }
            const auto result = [&] {
                const parallel::CancellationHook hook(&check_signals, nullptr);
                return compute();
            }();
            return to_python(result, M.results);
        }
        (std::make_index_sequence<N>{});
    }
    (static_cast<const Entry*>(nullptr));
}

template <const auto& M, std::size_t I>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept {
    return call_frame([&] { return invoke<M, I>(args, nargsf, kwnames); });
}

template <const auto& M, std::size_t I>
PyObject* noargs_entry(PyObject*, PyObject*) noexcept {
    return call_frame([] { return invoke<M, I>(nullptr, 0, nullptr); });
}

/// "name(a, b=True)\n--\n\n" followed by the docstring.
std::string docstring(const char* name, std::span<const Param> params, const char* doc);

/// The module body: creates the module from `definition` once per process (ImportError after
/// that) and adds the functions in table order, each also appended to __all__.
PyRef create_module(PyModuleDef& definition, std::atomic<bool>& initialised,
                    std::span<PyMethodDef> methods);

template <class Entry>
PyCFunction as_cfunction(Entry entry) {
    // The interpreter calls each entry with the signature its flags announce.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

template <const auto& M, std::size_t I>
PyMethodDef method() {
    static constexpr const auto& entry = std::get<I>(M.functions);
    // Kept for the process, like the method definition that points to it.
    const auto* doc = new std::string(docstring(entry.name, entry.params, entry.doc)); // NOLINT
    if (entry.params.empty()) {
        return {entry.name, as_cfunction(&noargs_entry<M, I>), METH_NOARGS, doc->c_str()};
    }
    return {entry.name, as_cfunction(&fastcall_entry<M, I>), METH_FASTCALL | METH_KEYWORDS,
            doc->c_str()};
}

/// The method definitions of module M, created once and kept for the process (the function
/// objects refer to them).
template <const auto& M>
std::span<PyMethodDef> method_table() {
    constexpr std::size_t count = std::tuple_size_v<decltype(M.functions)>;
    static PyMethodDef* const methods = [] {
        auto* table = new PyMethodDef[count]; // NOLINT(cppcoreguidelines-owning-memory)
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((table[I] = method<M, I>()), ...);
        }
        (std::make_index_sequence<count>{});
        return table;
    }();
    return {methods, count};
}

} // namespace detail

/// The body of PyInit_<name> for module M (single-phase initialisation, once per process).
template <const auto& M>
PyObject* initialise_module() noexcept {
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, M.name, M.doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    static std::atomic<bool> initialised{false};
    return call_frame(
        [] { return detail::create_module(definition, initialised, detail::method_table<M>()); });
}

} // namespace sorvex::binding
