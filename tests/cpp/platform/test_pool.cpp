// Unit tests of the process-wide pool: ordered results, exceptions carried to the caller,
// concurrent and nested callers, and a working pool in a forked child.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/fault.hpp"
#include "platform/pool.hpp"

namespace vorlane {
namespace {

// The pool maps any items; ranges of ten, as a chunked stage might hand it.
struct Range {
    std::uint64_t start;
    std::uint64_t end;
};

std::vector<Range> ranges_of(std::size_t count) {
    std::vector<Range> ranges;
    for (std::uint64_t i = 0; i < count; ++i) ranges.push_back({i * 10, i * 10 + 10});
    return ranges;
}

std::string thread_name() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

TEST(Pool, SizeIsFixedAndPositive) {
    const std::size_t size = pool_size();
    EXPECT_GE(size, 1u);
    EXPECT_EQ(pool_size(), size);
}

TEST(Pool, MapReturnsResultsInRangeOrder) {
    for (std::size_t count : {1u, 2u, 5u, 64u}) {
        const auto results = ordered_parallel_map<std::uint64_t>(
            ranges_of(count), [](Range range) { return range.start * 3 + range.end; });
        ASSERT_EQ(results.size(), count);
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(results[i], i * 40 + 10) << i;
    }
    EXPECT_TRUE(ordered_parallel_map<int>(std::vector<Range>{}, [](Range) { return 1; }).empty());
}

TEST(Pool, TasksRunOnTheCallerAndNamedPoolThreadsOnly) {
    std::vector<std::thread::id> ids(8);
    std::vector<std::string> names(8);
    pool_run(8, [&](std::size_t i) {
        ids[i] = std::this_thread::get_id();
        names[i] = thread_name();
    });
    std::set<std::thread::id> threads(ids.begin(), ids.end());
    EXPECT_LE(threads.size(), pool_size());
    for (std::size_t i = 0; i < 8; ++i) {
        if (ids[i] == std::this_thread::get_id()) continue;
        EXPECT_EQ(names[i].rfind("vorlane-pool-", 0), 0u) << names[i];
    }
    // A single task needs no worker: the caller runs it.
    std::thread::id single;
    pool_run(1, [&](std::size_t) { single = std::this_thread::get_id(); });
    EXPECT_EQ(single, std::this_thread::get_id());
}

TEST(Pool, ExceptionsReachTheCallerAndThePoolStaysUsable) {
    EXPECT_THROW(pool_run(6,
                          [](std::size_t i) {
                              if (i == 3) throw std::runtime_error("task 3 failed");
                          }),
                 std::runtime_error);
    EXPECT_THROW(pool_run(4, [](std::size_t) { throw std::bad_alloc(); }), std::bad_alloc);
    try {
        pool_run(3, [](std::size_t i) {
            if (i == 1) throw std::runtime_error("only task 1");
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "only task 1");
    }
    std::vector<int> done(16, 0);
    pool_run(done.size(), [&](std::size_t i) { done[i] = 1; });
    EXPECT_EQ(std::count(done.begin(), done.end(), 1), 16);
}

TEST(Pool, FaultReportNamesAPoolThread) {
    if (pool_size() < 2) GTEST_SKIP() << "a pool of one runs every task on the caller";
    ::testing::internal::CaptureStderr();
    // Every task but the caller's faults once a worker runs it; the caller's waits for that.
    std::atomic<bool> worker_faulted{false};
    const auto caller = std::this_thread::get_id();
    EXPECT_THROW(pool_run(pool_size(),
                          [&](std::size_t) {
                              if (std::this_thread::get_id() == caller) {
                                  while (!worker_faulted.load()) std::this_thread::yield();
                                  return;
                              }
                              worker_faulted.store(true);
                              raise_fault("chunk went wrong");
                          }),
                 InternalFault);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("thread 'vorlane-pool-"), std::string::npos) << report;
    EXPECT_NE(report.find("chunk went wrong"), std::string::npos) << report;
}

TEST(Pool, ConcurrentCallersEachGetTheirOwnResults) {
    constexpr std::size_t callers = 4;
    std::vector<int> wrong(callers, 0);
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < callers; ++c) {
        threads.emplace_back([c, &wrong] {
            for (int round = 0; round < 50; ++round) {
                const auto results = ordered_parallel_map<std::uint64_t>(
                    ranges_of(7), [c](Range range) { return range.start + c; });
                for (std::size_t i = 0; i < results.size(); ++i) {
                    if (results[i] != i * 10 + c) ++wrong[c];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t c = 0; c < callers; ++c) EXPECT_EQ(wrong[c], 0) << "caller " << c;
}

TEST(Pool, NestedRunsFromATaskComplete) {
    std::vector<std::vector<int>> inner(4, std::vector<int>(5, 0));
    pool_run(4, [&](std::size_t i) { pool_run(5, [&](std::size_t j) { inner[i][j] = 1; }); });
    for (const auto& row : inner) EXPECT_EQ(std::count(row.begin(), row.end(), 1), 5);
}

std::size_t thread_count() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoul(line.substr(8));
    }
    return 0;
}

// Runs `child` in a forked child and returns its exit status; a child that hangs is killed
// by its alarm instead of blocking the test run.
template <typename Child>
int status_of_forked(Child child) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        _exit(child());
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
}

TEST(Pool, ForkedChildGetsAWorkingPool) {
    std::vector<int> warm(4, 0);
    pool_run(4, [&](std::size_t i) { warm[i] = 1; });  // the parent's threads now exist
    const int status = status_of_forked([] {
        std::vector<std::uint64_t> sums(6, 0);
        pool_run(6, [&](std::size_t i) { sums[i] = i * i; });
        for (std::uint64_t i = 0; i < 6; ++i) {
            if (sums[i] != i * i) return 1;
        }
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Pool, ThreadsStartOnlyWhenWorkArrives) {
    // A forked child starts with one thread whatever this process has run before.
    const int status = status_of_forked([] {
        const std::size_t size = pool_size();
        if (thread_count() != 1) return 1;
        pool_run(1, [](std::size_t) {});
        if (thread_count() != 1) return 2;  // the caller runs a single task itself
        pool_run(size + 3, [](std::size_t) {});
        return thread_count() == size ? 0 : 3;  // the caller is one of the pool's threads
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vorlane
