// The one failure type of the numeric core.
//
// A routine that meets input it cannot handle ends the whole computation with a one-line
// message. Its kind says whose fault that is: a failure of the computation (the binding raises
// PanicException and reports the stop), or input the routine rejects by its contract (the
// binding raises ValueError with the message). The binding layer turns a Stop into a Python
// exception; C++ callers catch it.
#pragma once

#include <exception>
#include <string>

namespace sorvex {

/// Where a stop was raised. Taken as a defaulted argument it records the caller's position
/// (SourceLocation needs compiler support that clang 14 lacks).
struct SourceLocation {
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) noexcept {
        return {file, line};
    }
    const char* file_name;
    unsigned line;
};

class Stop : public std::exception {
public:
    enum class Kind : unsigned char {
        failure,       ///< the computation cannot proceed
        invalid_input, ///< the caller passed values the routine rejects by its contract
    };

    explicit Stop(std::string message, SourceLocation where = SourceLocation::current(),
                  Kind kind = Kind::failure);

    Kind kind() const noexcept { return kind_; }

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    /// Source file and line of the routine that stopped.
    const char* file() const noexcept { return file_; }
    unsigned line() const noexcept { return line_; }
    /// Name of the thread that stopped ("main", "sorvex-worker-N" or "<unnamed>").
    const std::string& thread_name() const noexcept { return thread_name_; }

private:
    std::string message_;
    const char* file_;
    unsigned line_;
    std::string thread_name_;
    Kind kind_;
};

/// Ends the computation with `message`.
[[noreturn]] void stop(std::string message, SourceLocation where = SourceLocation::current());
/// Ends the computation because an input breaks the routine's contract; `message` names it.
[[noreturn]] void reject_input(std::string message,
                               SourceLocation where = SourceLocation::current());

/// Names the calling thread in stop reports (the worker pool names its threads).
void set_current_thread_name(std::string name);
/// The name of the calling thread as used in stop reports.
std::string current_thread_name();

} // namespace sorvex
