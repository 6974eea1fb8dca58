// The process-wide worker pool behind the parallel loops over grid points.
//
// Each index of a loop is computed from read-only inputs into its own result slot, so a result
// never depends on the number of workers or on how the range was divided. A failure at any
// index ends the loop once every claimed index has finished; the failure of the lowest failing
// index is rethrown on the calling thread, which makes even the error independent of scheduling.
// A cancellation hook lets the caller abandon a long loop (an interrupt from the keyboard).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace sorvex::parallel {

/// Pool size from two settings of the thread count (null when unset; the pool reads them from
/// RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS) and the number of logical processors: the first
/// setting when it holds a positive integer; when it is unset or not a number, the second when it
/// holds a positive integer; otherwise the processor count (1 when that is 0).
std::size_t thread_count_from(const char* requested, const char* fallback_request,
                              std::size_t logical_processors);

/// A decimal integer as the pool variables accept it: an optional '+' and digits, in range.
std::optional<std::size_t> parse_count(std::string_view text);

/// Largest number of threads the pool starts, whatever the environment asks for.
inline constexpr std::size_t max_pool_size = 1024;

/// Number of threads that compute a parallel loop (the calling thread among them). Creates the
/// pool on first use; the pool lives until the process ends and is rebuilt in a forked child.
std::size_t pool_size();

/// Indices handed to a thread at a time for items that take about `seconds_per_item` each:
/// enough for some 20 microseconds of work, so that waking a worker pays off.
std::size_t grain_for(double seconds_per_item);

/// Time between two runs of a cancellation hook during a loop.
inline constexpr std::chrono::milliseconds cancellation_interval{5};

/// While it lives, every parallel loop called from this thread runs `check(context)` on this
/// thread about every cancellation_interval: between indices, and while it waits for the
/// workers. A check that throws abandons the loop: the workers stop before their next index,
/// the partial results are dropped, and the loop rethrows that exception once every worker has
/// stopped. The check holds none of the pool's locks, and a loop that it calls runs on this
/// thread alone. A null check installs none; the thread's previous hook returns when the object
/// ends.
class CancellationHook {
public:
    using Check = void (*)(void* context);
    CancellationHook(Check check, void* context) noexcept;
    ~CancellationHook();
    CancellationHook(const CancellationHook&) = delete;
    CancellationHook& operator=(const CancellationHook&) = delete;

private:
    Check previous_check_;
    void* previous_context_;
};

namespace detail {
using IndexFn = void (*)(void* context, std::size_t index);
void run(std::size_t n, std::size_t grain, void* context, IndexFn fn);
} // namespace detail

/// Calls body(i) for every i in [0, n) on the pool, handing out `grain` indices at a time; a
/// loop of fewer than two grains runs on the calling thread. The pool serves one loop at a time:
/// a loop called while it serves another thread's loop, or from inside a parallel loop, runs on
/// the calling thread alone.
template <class Body>
void parallel_for(std::size_t n, Body&& body, std::size_t grain = 1) {
    auto trampoline = [](void* context, std::size_t index) {
        (*static_cast<std::remove_reference_t<Body>*>(context))(index);
    };
    detail::run(n, grain, const_cast<void*>(static_cast<const void*>(std::addressof(body))),
                trampoline);
}

/// Returns {f(0), f(1), ..., f(n - 1)}, computed on the pool, in index order.
template <class F>
auto parallel_map(std::size_t n, F&& f, std::size_t grain = 1) {
    using Value = decltype(f(std::size_t{}));
    std::vector<Value> out(n);
    parallel_for(
        n, [&](std::size_t i) { out[i] = f(i); }, grain);
    return out;
}

} // namespace sorvex::parallel
