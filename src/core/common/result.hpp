// A value or a fixed error text, for routines whose callers decide what a failure means.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "core/common/stop.hpp"

namespace sorvex {

template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {} // NOLINT(google-explicit-constructor)
    static Result error(const char* text) { return Result(Error{text}); }

    bool ok() const noexcept { return std::holds_alternative<T>(state_); }
    const T& value() const { return std::get<T>(state_); }
    /// The error text (a static string); only valid when !ok().
    const char* error_text() const { return std::get<Error>(state_).text; }

    /// The value; an error stops with `called `Result::unwrap()` on an `Err` value: "<text>"`.
    const T& unwrap(SourceLocation where = SourceLocation::current()) const {
        if (!ok()) {
            stop(std::string("called `Result::unwrap()` on an `Err` value: \"") + error_text() +
                     "\"",
                 where);
        }
        return value();
    }

private:
    struct Error {
        const char* text;
    };
    explicit Result(Error error) : state_(error) {}
    std::variant<T, Error> state_;
};

} // namespace sorvex
