// The worker pool: size rule, index order, failure propagation, cancellation.
#include <atomic>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/common/stop.hpp"
#include "core/parallel/worker_pool.hpp"

namespace sorvex::parallel {
namespace {

TEST(PoolSize, ParsesCountsLikeTheEnvironmentVariablesMean) {
    EXPECT_EQ(parse_count("4"), 4U);
    EXPECT_EQ(parse_count("+4"), 4U);
    EXPECT_EQ(parse_count("0"), 0U);
    for (const char* bad : {"", "+", "-1", " 4", "4 ", "abc", "4x", "99999999999999999999999"}) {
        EXPECT_EQ(parse_count(bad), std::nullopt) << bad;
    }
}

struct SizeCase {
    const char* num_threads;
    const char* num_cpus;
    std::size_t processors;
    std::size_t expected;
};

class PoolSizeRule : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PoolSizeRule, FollowsTheVariablesInOrder) {
    const SizeCase& c = GetParam();
    EXPECT_EQ(thread_count_from(c.num_threads, c.num_cpus, c.processors), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PoolSizeRule,
                         ::testing::Values(SizeCase{nullptr, nullptr, 8, 8},
                                           SizeCase{nullptr, nullptr, 0, 1},
                                           SizeCase{"3", nullptr, 8, 3}, SizeCase{"3", "5", 8, 3},
                                           // zero is a number: processors, not the second variable
                                           SizeCase{"0", "5", 8, 8}, SizeCase{"-1", "5", 8, 5},
                                           SizeCase{"abc", "5", 8, 5}, SizeCase{"abc", "0", 8, 8},
                                           SizeCase{nullptr, "6", 8, 6},
                                           SizeCase{nullptr, "x", 2, 2},
                                           SizeCase{"64", nullptr, 2, 64}));

TEST(ParallelFor, EveryIndexOnceInItsOwnSlot) {
    for (const std::size_t n : {0U, 1U, 2U, 7U, 1000U, 100'003U}) {
        const auto out = parallel_map(n, [](std::size_t i) { return 3 * i + 1; });
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(out[i], 3 * i + 1);
        }
    }
    std::atomic<std::size_t> calls{0};
    parallel_for(5000, [&](std::size_t) { calls.fetch_add(1); });
    EXPECT_EQ(calls.load(), 5000U);
}

TEST(ParallelFor, TheLowestFailingIndexIsReported) {
    for (int repeat = 0; repeat < 50; ++repeat) {
        try {
            parallel_for(2000, [](std::size_t i) {
                if (i % 97 == 13) {
                    stop("failed at " + std::to_string(i));
                }
            });
            FAIL() << "no failure propagated";
        } catch (const Stop& s) {
            ASSERT_EQ(s.message(), "failed at 13");
        }
    }
    // Other exception types pass unchanged, and the pool keeps working afterwards.
    EXPECT_THROW(parallel_for(100,
                              [](std::size_t i) {
                                  if (i == 99) {
                                      throw std::runtime_error("late");
                                  }
                              }),
                 std::runtime_error);
    EXPECT_EQ(parallel_map(10, [](std::size_t i) { return i; })[9], 9U);
}

TEST(ParallelFor, NestedAndConcurrentLoopsComplete) {
    const auto outer = parallel_map(16, [](std::size_t i) {
        const auto inner = parallel_map(100, [i](std::size_t j) { return i * j; });
        std::size_t sum = 0;
        for (const std::size_t v : inner) {
            sum += v;
        }
        return sum;
    });
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(outer[i], i * 4950);
    }
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&wrong] {
            for (int r = 0; r < 20; ++r) {
                const auto out = parallel_map(500, [](std::size_t i) { return i * i; });
                for (std::size_t i = 0; i < out.size(); ++i) {
                    if (out[i] != i * i) {
                        wrong.fetch_add(1);
                    }
                }
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ParallelFor, LoopsOfFewerThanTwoGrainsStayOnTheCallingThread) {
    EXPECT_EQ(grain_for(1.0), 1U);
    EXPECT_EQ(grain_for(0.0), 1U);
    EXPECT_EQ(grain_for(std::nan("")), 1U);
    EXPECT_EQ(grain_for(1e-6), 20U);
    std::atomic<bool> on_worker{false};
    parallel_for(
        39, [&](std::size_t) { on_worker = on_worker || current_thread_name() != "main"; }, 20);
    EXPECT_FALSE(on_worker.load());
    const auto out = parallel_map(
        1001, [](std::size_t i) { return 2 * i; }, 7);
    for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i], 2 * i);
    }
}

TEST(ParallelFor, WorkersAreNamedInStops) {
    if (pool_size() < 2) {
        GTEST_SKIP() << "single-threaded pool";
    }
    std::atomic<bool> seen_worker{false};
    parallel_for(10'000, [&](std::size_t) {
        volatile double spin = 0.0; // enough work per index for the workers to join in
        for (int k = 0; k < 2000; ++k) {
            spin = spin + 1.0;
        }
        if (current_thread_name().starts_with("sorvex-worker-")) {
            seen_worker = true;
        }
    });
    EXPECT_TRUE(seen_worker.load());
}

/// Waits about 200 microseconds: an index slow enough for a loop to outlast the hook's interval.
void slow_index() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    while (std::chrono::steady_clock::now() < end) {
    }
}

struct Interrupted {};

void count(void* checks) {
    ++*static_cast<int*>(checks);
}

void count_and_interrupt(void* checks) {
    count(checks);
    throw Interrupted{};
}

// Grain 1: on the pool; grain 4000: on the calling thread alone.
class CancellationHookOnLoops : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CancellationHookOnLoops, AThrowingHookAbandonsTheLoopAndThePoolKeepsWorking) {
    const std::size_t grain = GetParam();
    std::atomic<std::size_t> computed{0};
    int checks = 0;
    {
        const CancellationHook hook(&count_and_interrupt, &checks);
        // 0.8 s of work; the hook runs after 5 ms
        EXPECT_THROW(parallel_for(
                         4000,
                         [&](std::size_t) {
                             slow_index();
                             computed.fetch_add(1);
                         },
                         grain),
                     Interrupted);
    }
    EXPECT_EQ(checks, 1);
    EXPECT_LT(computed.load(), 4000U);
    const auto out = parallel_map(
        1000, [](std::size_t i) { return 2 * i; }, grain);
    for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i], 2 * i);
    }
}

TEST_P(CancellationHookOnLoops, TheInnermostHookOfTheThreadRunsWithoutChangingResults) {
    const std::size_t grain = GetParam();
    int outer = 0;
    int inner = 0;
    const CancellationHook outer_hook(&count, &outer);
    {
        const CancellationHook inner_hook(&count, &inner);
        // 80 ms of work, at least 40 ms of it on the calling thread
        const auto out = parallel_map(
            400,
            [](std::size_t i) {
                slow_index();
                return 3 * i;
            },
            grain);
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_EQ(out[i], 3 * i);
        }
    }
    EXPECT_GE(inner, 1);
    EXPECT_EQ(outer, 0);
    // A thread without a hook of its own runs none.
    std::thread([] { parallel_for(100, [](std::size_t) { slow_index(); }); }).join();
    EXPECT_EQ(outer, 0);
}

INSTANTIATE_TEST_SUITE_P(Grains, CancellationHookOnLoops, ::testing::Values(1U, 4000U));

} // namespace
} // namespace sorvex::parallel
