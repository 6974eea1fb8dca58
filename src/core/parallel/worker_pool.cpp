#include "core/parallel/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/common/stop.hpp"

namespace sorvex::parallel {
namespace {

constexpr std::size_t no_failure = std::numeric_limits<std::size_t>::max();

/// True on pool workers, and on a calling thread while it takes part in a loop.
thread_local bool t_in_parallel_loop = false;

class LoopScope {
public:
    LoopScope() : previous_(std::exchange(t_in_parallel_loop, true)) {}
    ~LoopScope() { t_in_parallel_loop = previous_; }
    LoopScope(const LoopScope&) = delete;
    LoopScope& operator=(const LoopScope&) = delete;

private:
    bool previous_;
};

/// The cancellation hook of each thread (none by default).
struct Hook {
    CancellationHook::Check check = nullptr;
    void* context = nullptr;
};
thread_local Hook t_hook;

/// The calling thread's side of a loop's cancellation hook. The clock is read after every
/// `stride` indices: the stride doubles while that many indices take less than `quick`, up to
/// an eighth of a grain (some 2.5 microseconds of expected work), and falls back to 1 as soon
/// as they take longer, so that indices far slower than their grain promised are still timed
/// one by one. The hook runs once per cancellation_interval.
class Canceller {
public:
    explicit Canceller(std::size_t grain)
        : hook_(t_hook), max_stride_(std::max<std::size_t>(1, grain / 8)), last_read_(Clock::now()),
          next_check_(last_read_ + cancellation_interval) {}

    bool active() const noexcept { return hook_.check != nullptr; }

    /// After each index of an active canceller: true once the loop is to be abandoned.
    bool after_index() noexcept {
        if (--countdown_ != 0) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        stride_ = now - last_read_ < quick ? std::min(2 * stride_, max_stride_) : 1;
        countdown_ = stride_;
        last_read_ = now;
        return now >= next_check_ && check(now);
    }

    /// Runs the hook if it is due: true once the loop is to be abandoned.
    bool poll() noexcept {
        const Clock::time_point now = Clock::now();
        return now >= next_check_ && check(now);
    }

    /// The exception of the hook that abandoned the loop, or null.
    const std::exception_ptr& interruption() const noexcept { return interruption_; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds quick{50};

    bool check(Clock::time_point now) noexcept {
        next_check_ = now + cancellation_interval;
        try {
            hook_.check(hook_.context);
            return false;
        } catch (...) {
            interruption_ = std::current_exception();
            return true;
        }
    }

    Hook hook_;
    std::size_t max_stride_;
    std::size_t stride_ = 1;
    std::size_t countdown_ = 1;
    Clock::time_point last_read_;
    Clock::time_point next_check_;
    std::exception_ptr interruption_;
};

struct Job {
    Job(std::size_t n_, std::size_t chunk_, void* context_, detail::IndexFn fn_)
        : n(n_), chunk(chunk_), context(context_), fn(fn_) {}

    std::size_t n;
    std::size_t chunk;
    void* context;
    detail::IndexFn fn;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failed_index{no_failure};
    std::atomic<bool> cancelled{false};
    std::mutex error_mutex;
    std::exception_ptr error;

    // Claims chunks in increasing order. Once index k has failed every index below k has been
    // claimed, so the lowest failing index is always found and reported. The calling thread
    // passes its active canceller; a cancelled job stops every thread before its next index.
    void work(Canceller* canceller) noexcept {
        for (;;) {
            const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
            if (begin >= n || begin > failed_index.load(std::memory_order_relaxed)) {
                return;
            }
            const std::size_t end = std::min(n, begin + chunk);
            for (std::size_t i = begin; i < end; ++i) {
                if (i > failed_index.load(std::memory_order_relaxed) ||
                    cancelled.load(std::memory_order_relaxed)) {
                    return;
                }
                try {
                    fn(context, i);
                } catch (...) {
                    record_failure(i);
                    return;
                }
                if (canceller != nullptr && canceller->after_index()) {
                    cancelled.store(true, std::memory_order_relaxed);
                    return;
                }
            }
        }
    }

    void record_failure(std::size_t index) noexcept {
        const std::lock_guard lock(error_mutex);
        if (index < failed_index.load(std::memory_order_relaxed)) {
            failed_index.store(index, std::memory_order_relaxed);
            error = std::current_exception();
        }
    }
};

class WorkerPool {
public:
    explicit WorkerPool(std::size_t size) {
        for (std::size_t i = 1; i < size; ++i) {
            try {
                threads_.emplace_back([this, i] { worker_main(i); });
            } catch (const std::system_error&) {
                break; // the system refuses more threads: work with those we have
            }
        }
    }
    // The pool lives until the process ends; its threads are never joined.
    ~WorkerPool() = delete;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t size() const noexcept { return threads_.size() + 1; }

    /// Runs the loop on the pool and the calling thread (which is inside a LoopScope); false
    /// when the pool is serving another thread's loop.
    bool try_run(std::size_t n, std::size_t chunk, void* context, detail::IndexFn fn,
                 Canceller& canceller) {
        const std::unique_lock one_loop_at_a_time(run_mutex_, std::try_to_lock);
        if (!one_loop_at_a_time.owns_lock()) {
            return false;
        }
        Job job(n, chunk, context, fn);
        {
            const std::lock_guard lock(mutex_);
            job_ = &job;
            busy_.store(threads_.size(), std::memory_order_relaxed);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        job.work(canceller.active() ? &canceller : nullptr);
        wait_for_workers(job, canceller);
        if (canceller.interruption()) {
            std::rethrow_exception(canceller.interruption());
        }
        if (job.error) {
            std::rethrow_exception(job.error);
        }
        return true;
    }

    WorkerPool* abandoned = nullptr; ///< pool inherited over a fork, kept reachable

private:
    void worker_main(std::size_t index) {
        set_current_thread_name("sorvex-worker-" + std::to_string(index));
        t_in_parallel_loop = true;
        std::uint64_t seen = 0;
        for (;;) {
            spin_until([&] { return generation_.load(std::memory_order_acquire) != seen; });
            Job* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock,
                           [&] { return generation_.load(std::memory_order_relaxed) != seen; });
                seen = generation_.load(std::memory_order_relaxed);
                job = job_;
            }
            job->work(nullptr);
            {
                const std::lock_guard lock(mutex_);
                if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                    done_.notify_one();
                }
            }
        }
    }

    /// Waits until every worker has left `job`, running the calling thread's cancellation hook
    /// meanwhile (without holding the pool's lock: the hook may take long).
    void wait_for_workers(Job& job, Canceller& canceller) {
        const auto finished = [this] { return busy_.load(std::memory_order_acquire) == 0; };
        spin_until(finished);
        std::unique_lock lock(mutex_);
        if (!canceller.active()) {
            done_.wait(lock, finished);
        }
        while (!done_.wait_for(lock, cancellation_interval, finished)) {
            if (job.cancelled.load(std::memory_order_relaxed)) {
                continue;
            }
            lock.unlock();
            if (canceller.poll()) {
                job.cancelled.store(true, std::memory_order_relaxed);
            }
            lock.lock();
        }
        job_ = nullptr;
    }

    /// Polls `ready` for a short while before the caller blocks: loops often follow each other
    /// closely, and waking a sleeping thread costs tens of microseconds on virtual machines.
    template <class Ready>
    static void spin_until(Ready ready) {
        constexpr auto spin_time = std::chrono::microseconds(100);
        const auto deadline = std::chrono::steady_clock::now() + spin_time;
        while (!ready() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    }

    std::mutex run_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job* job_ = nullptr;
    // Changed under mutex_, read without it while spinning.
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::size_t> busy_{0};
    std::vector<std::thread> threads_;
};

std::mutex g_create_mutex;
std::atomic<WorkerPool*> g_pool{nullptr};

// A forked child has only the forking thread: the inherited pool's workers do not exist there.
// The child drops that pool (without touching its locks) and builds a new one on first use.
void before_fork() {
    g_create_mutex.lock();
}
void after_fork_in_parent() {
    g_create_mutex.unlock();
}
void after_fork_in_child() {
    WorkerPool* inherited = g_pool.exchange(nullptr);
    g_create_mutex.unlock();
    if (inherited != nullptr) {
        static WorkerPool* abandoned_head = nullptr;
        inherited->abandoned = abandoned_head;
        abandoned_head = inherited;
    }
}

std::size_t logical_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
    }
    return std::thread::hardware_concurrency();
}

WorkerPool& pool() {
    if (WorkerPool* existing = g_pool.load(std::memory_order_acquire)) {
        return *existing;
    }
    const std::lock_guard lock(g_create_mutex);
    if (WorkerPool* existing = g_pool.load(std::memory_order_acquire)) {
        return *existing;
    }
    static const bool fork_handlers_installed = [] {
        return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    }();
    (void)fork_handlers_installed;
    const std::size_t size = thread_count_from(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), logical_processors());
    auto* created = new WorkerPool(std::min(size, max_pool_size));
    g_pool.store(created, std::memory_order_release);
    return *created;
}

} // namespace

CancellationHook::CancellationHook(Check check, void* context) noexcept
    : previous_check_(t_hook.check), previous_context_(t_hook.context) {
    t_hook = {check, context};
}

CancellationHook::~CancellationHook() {
    t_hook = {previous_check_, previous_context_};
}

std::optional<std::size_t> parse_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::size_t thread_count_from(const char* requested, const char* fallback_request,
                              std::size_t logical_processors) {
    const std::size_t fallback = std::max<std::size_t>(1, logical_processors);
    if (requested != nullptr) {
        if (const auto count = parse_count(requested)) {
            return *count > 0 ? *count : fallback;
        }
    }
    if (fallback_request != nullptr) {
        if (const auto count = parse_count(fallback_request); count && *count > 0) {
            return *count;
        }
    }
    return fallback;
}

std::size_t pool_size() {
    return pool().size();
}

std::size_t grain_for(double seconds_per_item) {
    constexpr double target_seconds = 20e-6;
    if (!(seconds_per_item > 0.0) || seconds_per_item >= target_seconds) {
        return 1;
    }
    return static_cast<std::size_t>(std::lround(target_seconds / seconds_per_item));
}

namespace detail {

void run(std::size_t n, std::size_t grain, void* context, IndexFn fn) {
    grain = std::max<std::size_t>(grain, 1);
    const bool nested = t_in_parallel_loop;
    // Also while the hook runs: a loop that it calls stays on this thread.
    const LoopScope scope;
    Canceller canceller(grain);
    if (!nested && n / 2 >= grain) {
        WorkerPool& workers = pool();
        if (workers.size() > 1 && workers.try_run(n, grain, context, fn, canceller)) {
            return;
        }
    }
    if (!canceller.active()) {
        for (std::size_t i = 0; i < n; ++i) {
            fn(context, i);
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        fn(context, i);
        if (canceller.after_index()) {
            std::rethrow_exception(canceller.interruption());
        }
    }
}

} // namespace detail
} // namespace sorvex::parallel
