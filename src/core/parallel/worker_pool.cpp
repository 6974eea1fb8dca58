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

struct Job {
    Job(std::size_t n_, std::size_t chunk_, void* context_, detail::IndexFn fn_)
        : n(n_), chunk(chunk_), context(context_), fn(fn_) {}

    std::size_t n;
    std::size_t chunk;
    void* context;
    detail::IndexFn fn;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failed_index{no_failure};
    std::mutex error_mutex;
    std::exception_ptr error;

    // Claims chunks in increasing order. Once index k has failed every index below k has been
    // claimed, so the lowest failing index is always found and reported.
    void work() noexcept {
        for (;;) {
            const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
            if (begin >= n || begin > failed_index.load(std::memory_order_relaxed)) {
                return;
            }
            const std::size_t end = std::min(n, begin + chunk);
            for (std::size_t i = begin; i < end; ++i) {
                if (i > failed_index.load(std::memory_order_relaxed)) {
                    return;
                }
                try {
                    fn(context, i);
                } catch (...) {
                    record_failure(i);
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

    void run(std::size_t n, std::size_t chunk, void* context, detail::IndexFn fn) {
        const std::lock_guard one_loop_at_a_time(run_mutex_);
        Job job(n, chunk, context, fn);
        {
            const std::lock_guard lock(mutex_);
            job_ = &job;
            busy_.store(threads_.size(), std::memory_order_relaxed);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        {
            const LoopScope scope;
            job.work();
        }
        spin_until([this] { return busy_.load(std::memory_order_acquire) == 0; });
        {
            std::unique_lock lock(mutex_);
            done_.wait(lock, [this] { return busy_.load(std::memory_order_relaxed) == 0; });
            job_ = nullptr;
        }
        if (job.error) {
            std::rethrow_exception(job.error);
        }
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
            job->work();
            {
                const std::lock_guard lock(mutex_);
                if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                    done_.notify_one();
                }
            }
        }
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
    const auto serial = [&] {
        const LoopScope scope;
        for (std::size_t i = 0; i < n; ++i) {
            fn(context, i);
        }
    };
    if (n / 2 < grain || t_in_parallel_loop) {
        serial();
        return;
    }
    WorkerPool& workers = pool();
    if (workers.size() == 1) {
        serial();
        return;
    }
    workers.run(n, grain, context, fn);
}

} // namespace detail
} // namespace sorvex::parallel
