#include "core/common/stop.hpp"

#include <optional>
#include <unistd.h>
#include <utility>

namespace sorvex {
namespace {

thread_local std::optional<std::string> t_thread_name;

} // namespace

Stop::Stop(std::string message, SourceLocation where, Kind kind)
    : message_(std::move(message)), file_(where.file_name), line_(where.line),
      thread_name_(current_thread_name()), kind_(kind) {}

void stop(std::string message, SourceLocation where) {
    throw Stop(std::move(message), where);
}

void reject_input(std::string message, SourceLocation where) {
    throw Stop(std::move(message), where, Stop::Kind::invalid_input);
}

void set_current_thread_name(std::string name) {
    t_thread_name = std::move(name);
}

std::string current_thread_name() {
    if (t_thread_name) {
        return *t_thread_name;
    }
    // The process's initial thread has the process id as its thread id.
    return gettid() == getpid() ? "main" : "<unnamed>";
}

} // namespace sorvex
