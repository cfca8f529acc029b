// The process-wide pool: worker threads started on first use that serve blocking parallel
// loops for any number of callers. A forked child gets a fresh pool on its next use. Built
// into libvorlane_platform, shared by every module, and reached only through its C interface.
#include "platform/pool_c_api.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/cpu_count.hpp"

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
// A pthread key rather than thread_local: this library is loaded at run time, and its dynamic
// TLS trips LeakSanitizer at exit once a pool thread has touched it.
pthread_key_t pool_thread_key;
pthread_once_t pool_thread_key_once = PTHREAD_ONCE_INIT;
void make_pool_thread_key() noexcept { pthread_key_create(&pool_thread_key, nullptr); }

bool on_pool_thread() noexcept {
    pthread_once(&pool_thread_key_once, make_pool_thread_key);
    return pthread_getspecific(pool_thread_key) != nullptr;
}

void mark_pool_thread() noexcept {
    pthread_once(&pool_thread_key_once, make_pool_thread_key);
    static int marker = 0;
    pthread_setspecific(pool_thread_key, &marker);
}

constexpr std::chrono::microseconds SPIN_BEFORE_SLEEP{50};

// One pool_run call: lives on the caller's stack until every index has finished.
struct Job {
    Job(vorlane_pool_task t, void* c, std::size_t n) : task(t), context(c), count(n) {}

    const vorlane_pool_task task;
    void* const context;
    const std::size_t count;
    std::size_t next = 0;      // first index not yet claimed
    std::size_t finished = 0;  // indices done, run or skipped
    bool failed = false;       // a task reported failure
    std::condition_variable done;
};

// Raised inside this library when no thread can start; turned into VORLANE_POOL_NO_THREAD.
struct NoThread {
    std::string reason;
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

    // True when every task succeeded. The caller claims indices of its own job beside the
    // workers, so that it is one of the pool's threads for as long as the job has work: a
    // caller that only waited would leave a CPU idle while the job runs and then take it back
    // from workers that still spin.
    bool run(std::size_t count, vorlane_pool_task task, void* context) {
        Job job{task, context, count};
        std::unique_lock lock(mutex_);
        start_threads(std::min(size_, count) - 1);
        if (count > 1) {
            queue_.push_back(&job);
            queued_.fetch_add(1, std::memory_order_release);
            has_work_.notify_all();
        }
        while (job.next < job.count) {
            const std::size_t index = claim(job);
            const bool abandoned = job.failed;
            lock.unlock();
            const bool task_failed = !abandoned && run_marked_as_pool_thread(job, index);
            lock.lock();
            finish(job, task_failed);
        }
        job.done.wait(lock, [&job] { return job.finished == job.count; });
        // A thread still starting up when the caller goes on to fork could hold a lock of the
        // runtime's thread bookkeeping into the child; so no call returns before its threads run.
        started_.wait(lock, [this] { return running_ == threads_.size(); });
        return !job.failed;
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
                    throw NoThread{std::string("could not start a pool thread: ") + error.what()};
                }
                return;
            }
        }
    }

    void work(std::size_t number) {
        mark_pool_thread();
        name_thread(number);
        std::unique_lock lock(mutex_);
        ++running_;
        started_.notify_all();
        for (;;) {
            if (queue_.empty()) {
                // A call's chunks come in bursts (the chunks of one stage, then the next
                // stage's once the caller has joined them): waiting a little before sleeping
                // saves the wake-up. Only a little: the caller works on its own CPU meanwhile,
                // and a longer spin takes CPU time from it and from the host's other guests.
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
            const std::size_t index = claim(job);
            // After a failure the remaining indices are abandoned, not run.
            const bool abandoned = job.failed;
            lock.unlock();
            const bool task_failed = !abandoned && job.task(job.context, index) != 0;
            lock.lock();
            finish(job, task_failed);
        }
    }

    // Called with the mutex held: the job's next index; the job leaves the queue with its last.
    std::size_t claim(Job& job) {
        const std::size_t index = job.next++;
        if (job.next == job.count) {
            const auto queued = std::find(queue_.begin(), queue_.end(), &job);
            if (queued != queue_.end()) queue_.erase(queued);
        }
        return index;
    }

    // Called with the mutex held, once a claimed index has run or been skipped.
    static void finish(Job& job, bool task_failed) {
        if (task_failed) job.failed = true;
        // Notified under the lock: the caller may destroy the job once it can lock.
        if (++job.finished == job.count) job.done.notify_one();
    }

    // A task the caller runs is marked as on a pool thread while it runs, so that a loop it
    // starts runs inline there too, as it would on a worker.
    static bool run_marked_as_pool_thread(const Job& job, std::size_t index) {
        pthread_once(&pool_thread_key_once, make_pool_thread_key);
        void* const before = pthread_getspecific(pool_thread_key);
        mark_pool_thread();
        const bool failed = job.task(job.context, index) != 0;
        pthread_setspecific(pool_thread_key, before);
        return failed;
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
    std::deque<Job*> queue_;                // jobs with indices left to claim, oldest first
    std::atomic<std::uint64_t> queued_{0};  // jobs ever queued, read without the mutex
    std::vector<std::thread> threads_;
    std::size_t running_ = 0;  // threads that have entered their loop
    std::condition_variable started_;
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

void copy_message(const std::string& text, char* message, std::size_t capacity) noexcept {
    if (message == nullptr || capacity == 0) return;
    const std::size_t length = std::min(text.size(), capacity - 1);
    text.copy(message, length);
    message[length] = '\0';
}

}  // namespace
}  // namespace vorlane

// The size is fixed for the process at the first query; answering it needs no pool, so the
// per-call queries of the driver cost no fork check (a getpid system call).
extern "C" std::size_t vorlane_pool_size(void) {
    try {
        return vorlane::query_size();
    } catch (...) {
        return 0;  // only allocation can fail on the way
    }
}

extern "C" int vorlane_pool_run(std::size_t count, vorlane_pool_task task, void* context,
                                char* message, std::size_t capacity) {
    using namespace vorlane;
    if (count == 0) return VORLANE_POOL_OK;
    if (on_pool_thread()) {
        for (std::size_t i = 0; i < count; ++i) {
            if (task(context, i) != 0) return VORLANE_POOL_TASK_FAILED;
        }
        return VORLANE_POOL_OK;
    }
    // Nothing thrown in here may leave the library: the caller links another C++ runtime.
    try {
        return pool().run(count, task, context) ? VORLANE_POOL_OK : VORLANE_POOL_TASK_FAILED;
    } catch (const NoThread& failure) {
        copy_message(failure.reason, message, capacity);
        return VORLANE_POOL_NO_THREAD;
    } catch (const std::bad_alloc&) {
        return VORLANE_POOL_NO_MEMORY;
    } catch (const std::exception& failure) {
        copy_message(std::string("pool failure: ") + failure.what(), message, capacity);
        return VORLANE_POOL_BROKEN;
    } catch (...) {
        copy_message("pool failure", message, capacity);
        return VORLANE_POOL_BROKEN;
    }
}
