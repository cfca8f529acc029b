// Faulting in a fresh result buffer on the calling thread, a slice at a time, while the pool
// works on an earlier stage. On the virtual machine this was measured on, in about half the
// processes a pool worker's first faults on a fresh buffer ran several times slower than the
// calling thread's, so that a result written by the whole pool could cost more than one
// written by the caller alone. Touched by the caller between its tasks of an earlier parallel
// stage, the pages are in place when the pool writes the result, and the workers meanwhile
// take more of that stage's tasks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <thread>

namespace vorlane {

class FirstTouch {
  public:
    // Bytes touched per step: one huge page, or 512 small ones.
    static constexpr std::size_t SLICE = std::size_t{1} << 21;
    static constexpr std::size_t PAGE = 4096;

    // Made on the calling thread, the only one that touches.
    explicit FirstTouch(std::span<std::byte> buffer) noexcept
        : next_(buffer.data()), end_(buffer.data() + buffer.size()) {}

    // Touches the next slice when called on the owning thread; elsewhere does nothing.
    void step() noexcept {
        if (std::this_thread::get_id() == owner_) touch_next(SLICE);
    }

    // Touches the rest; on the owning thread, once the parallel stage is over.
    void finish() noexcept { touch_next(static_cast<std::size_t>(end_ - next_)); }

  private:
    void touch_next(std::size_t bytes) noexcept {
        const std::size_t length = std::min(bytes, static_cast<std::size_t>(end_ - next_));
        // The slice's first byte, then the first byte of each page that begins in it. A
        // volatile store is never dropped, whatever the compiler knows of later writes; the
        // value does not matter, as the buffer is fresh and the stage after writes all of it.
        for (std::size_t offset = 0; offset < length;) {
            *static_cast<volatile std::byte*>(next_ + offset) = std::byte{0};
            offset += PAGE - reinterpret_cast<std::uintptr_t>(next_ + offset) % PAGE;
        }
        next_ += length;
    }

    std::byte* next_;
    std::byte* end_;
    const std::thread::id owner_ = std::this_thread::get_id();
};

}  // namespace vorlane
