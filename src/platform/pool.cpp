// The process-wide pool: worker threads started on first use that serve blocking parallel
// loops for any number of callers. A forked child gets a fresh pool on its next use.
#include "platform/pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/cpu_count.hpp"
#include "platform/fault.hpp"

namespace vorlane {
namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// Fixed by the first query for the life of the process, forked children included.
std::atomic<std::size_t> fixed_size{0};

std::size_t query_size() {
    std::size_t size = fixed_size.load(std::memory_order_acquire);
    if (size != 0) return size;
    const std::size_t wanted = pool_size_from(environment("RAYON_NUM_THREADS"),
                                              environment("RAYON_RS_NUM_CPUS"), available_cpus());
    // Two first queries may race; both then return the value that was stored first.
    if (fixed_size.compare_exchange_strong(size, wanted, std::memory_order_acq_rel)) return wanted;
    return size;
}

// Bumped in a forked child, whose copy of the pool has no threads. Only an atomic increment:
// nothing else is safe in a fork handler.
std::atomic<std::uint64_t> fork_generation{0};
void note_fork_in_child() noexcept { fork_generation.fetch_add(1, std::memory_order_relaxed); }

// A task running on a pool thread that itself calls pool_run runs that loop inline, so that
// nested loops cannot wait on workers that are all busy waiting.
thread_local bool on_pool_thread = false;

constexpr std::chrono::microseconds SPIN_BEFORE_SLEEP{300};

// One pool_run call: lives on the caller's stack until every index has finished.
struct Job {
    Job(const std::function<void(std::size_t)>& t, std::size_t c) : task(t), count(c) {}

    const std::function<void(std::size_t)>& task;
    const std::size_t count;
    std::size_t next = 0;      // first index not yet claimed
    std::size_t finished = 0;  // indices done, run or skipped
    std::exception_ptr error;  // the first exception a task threw
    std::condition_variable done;
};

// Restores the calling thread's signal mask when it leaves scope.
class BlockAllSignals {
public:
    BlockAllSignals() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~BlockAllSignals() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    BlockAllSignals(const BlockAllSignals&) = delete;
    BlockAllSignals& operator=(const BlockAllSignals&) = delete;

private:
    sigset_t saved_;
};

class Pool {
public:
    Pool(std::size_t size, Pool* replaced)
        : size_(size),
          pid_(getpid()),
          generation_(fork_generation.load(std::memory_order_relaxed)),
          replaced_(replaced) {}

    std::size_t size() const noexcept { return size_; }

    // False in a forked child: this pool's threads stayed behind in the parent.
    bool belongs_to_this_process() const noexcept {
        return generation_ == fork_generation.load(std::memory_order_relaxed) && pid_ == getpid();
    }

    void run(std::size_t count, const std::function<void(std::size_t)>& task) {
        Job job{task, count};
        std::unique_lock lock(mutex_);
        start_threads(std::min(size_, count));
        queue_.push_back(&job);
        queued_.fetch_add(1, std::memory_order_release);
        has_work_.notify_all();
        job.done.wait(lock, [&job] { return job.finished == job.count; });
        lock.unlock();
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    // Called with the mutex held. Threads that cannot be started are done without: any number
    // of threads gives the same results, only zero cannot make progress.
    void start_threads(std::size_t wanted) {
        while (threads_.size() < wanted) {
            try {
                // Signals meant for the process go to the host's threads, never to a worker.
                BlockAllSignals blocked;
                threads_.emplace_back(&Pool::work, this, threads_.size());
            } catch (const std::system_error& error) {
                if (threads_.empty()) {
                    raise_fault(std::string("could not start a pool thread: ") + error.what());
                }
                return;
            }
        }
    }

    void work(std::size_t number) {
        on_pool_thread = true;
        name_thread(number);
        std::unique_lock lock(mutex_);
        for (;;) {
            if (queue_.empty()) {
                // A call's chunks come in bursts a few hundred microseconds apart (the chunks
                // of one stage, then the next call's): waiting a little before sleeping saves
                // the wake-up, which costs about as much on a virtual machine.
                const std::uint64_t seen = queued_.load(std::memory_order_acquire);
                lock.unlock();
                const auto until = std::chrono::steady_clock::now() + SPIN_BEFORE_SLEEP;
                while (queued_.load(std::memory_order_acquire) == seen &&
                       std::chrono::steady_clock::now() < until) {
                    std::this_thread::yield();
                }
                lock.lock();
            }
            has_work_.wait(lock, [this] { return !queue_.empty(); });
            Job& job = *queue_.front();
            const std::size_t index = job.next++;
            if (job.next == job.count) queue_.pop_front();
            // After a failure the remaining indices are abandoned, not run.
            const bool abandoned = job.error != nullptr;
            lock.unlock();
            std::exception_ptr error;
            if (!abandoned) {
                try {
                    job.task(index);
                } catch (...) {
                    error = std::current_exception();
                }
            }
            lock.lock();
            if (error && !job.error) job.error = std::move(error);
            // Notified under the lock: the caller may destroy the job once it can lock.
            if (++job.finished == job.count) job.done.notify_one();
        }
    }

    static void name_thread(std::size_t number) {
        // Thread names hold 15 characters; beyond pool thread 99 the shorter form keeps the
        // numbers distinct.
        const std::string digits = std::to_string(number);
        const std::string name = (number < 100 ? "vorlane-pool-" : "vorlane-") + digits;
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    }

    const std::size_t size_;
    const pid_t pid_;
    const std::uint64_t generation_;
    // Pools left behind by fork stay reachable from here, deliberately never freed: their
    // mutexes may have been held by threads that do not exist in the child.
    [[maybe_unused]] Pool* const replaced_;

    std::mutex mutex_;
    std::condition_variable has_work_;
    std::deque<Job*> queue_;  // jobs with indices left to claim, oldest first
    std::atomic<std::uint64_t> queued_{0};  // jobs ever queued, read without the mutex
    std::vector<std::thread> threads_;
};

// Never destroyed: the workers block on its members until the process ends, and joining them
// from a static destructor could hang an exiting process.
std::atomic<Pool*> current_pool{nullptr};

Pool& pool() {
    static std::atomic<bool> fork_handler_registered{false};
    if (!fork_handler_registered.exchange(true)) {
        // If registration fails, the process id check still catches a child.
        pthread_atfork(nullptr, nullptr, note_fork_in_child);
    }
    Pool* seen = current_pool.load(std::memory_order_acquire);
    for (;;) {
        if (seen != nullptr && seen->belongs_to_this_process()) return *seen;
        auto fresh = std::make_unique<Pool>(query_size(), seen);
        if (current_pool.compare_exchange_strong(seen, fresh.get(), std::memory_order_acq_rel)) {
            return *fresh.release();
        }
        // Another thread installed a pool first; `seen` now holds it, and ours had no threads.
    }
}

}  // namespace

// The size is fixed for the process at the first query; answering it needs no pool, so the
// per-call queries of the driver cost no fork check (a getpid system call).
std::size_t pool_size() { return query_size(); }

void pool_run(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0) return;
    if (on_pool_thread) {
        for (std::size_t i = 0; i < count; ++i) task(i);
        return;
    }
    pool().run(count, task);
}

}  // namespace vorlane
