// A process-wide value made at most once, by whichever thread first needs it, with the
// interpreter lock held while it is made (making it runs Python code: imports, attribute
// reads). A thread that needs the value while another is making it waits with the lock
// released, so the maker can finish. No C++ lock is held while Python code runs, so the
// only lock order is "GIL, then this guard's mutex, briefly" and no deadlock can form.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/fault.hpp"

namespace vorlane::module {

template <typename T>
class GilOnce {
  public:
    // Returns the value, making it first if no attempt has succeeded yet. `make` runs with
    // the interpreter lock held and returns std::optional<T>: nullopt means it failed with a
    // host error left set, and get() then returns null with that error still set. A failed
    // attempt (nullopt or an exception, which propagates) is not kept: the next call tries
    // again.
    template <typename Make>
    const T* get(Make&& make) {
        if (ready_.load(std::memory_order_acquire)) return &*value_;
        for (;;) {
            const Claim claim = try_claim();
            if (claim == Claim::ready) return &*value_;
            if (claim == Claim::mine) break;
            wait_for_maker();
        }
        std::optional<T> made;
        try {
            made = make();
        } catch (...) {
            finish(std::nullopt);
            throw;
        }
        const bool succeeded = made.has_value();
        finish(std::move(made));
        return succeeded ? &*value_ : nullptr;
    }

  private:
    enum class Claim { ready, mine, busy };

    Claim try_claim() {
        std::lock_guard lock(mutex_);
        if (ready_.load(std::memory_order_relaxed)) return Claim::ready;
        if (!making_) {
            making_ = true;
            maker_ = std::this_thread::get_id();
            return Claim::mine;
        }
        if (maker_ == std::this_thread::get_id()) {
            // The maker's own Python code asked for the value again; waiting would never end.
            raise_fault("re-entrant initialisation of a process-wide value");
        }
        return Claim::busy;
    }

    // Blocks until the current maker has finished, with the interpreter lock released.
    void wait_for_maker() {
        PyThreadState* saved = PyEval_SaveThread();
        {
            std::unique_lock lock(mutex_);
            done_.wait(lock, [this] { return !making_; });
        }
        PyEval_RestoreThread(saved);
    }

    void finish(std::optional<T>&& made) {
        {
            std::lock_guard lock(mutex_);
            if (made.has_value() && !ready_.load(std::memory_order_relaxed)) {
                value_ = std::move(made);
                ready_.store(true, std::memory_order_release);
            }
            making_ = false;
        }
        done_.notify_all();
    }

    std::atomic<bool> ready_{false};
    std::optional<T> value_;  // written once, under mutex_, before ready_ is set
    std::mutex mutex_;
    std::condition_variable done_;
    bool making_ = false;
    std::thread::id maker_;
};

}  // namespace vorlane::module
