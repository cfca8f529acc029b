// A list of trivially copyable records that, once past a few pages, lives in its own anonymous
// mapping and grows by remapping: the kernel moves the pages instead of copying them, so a list
// that doubles never holds its old and its new storage at once, and only the pages written are
// resident. For lists whose length nobody knows in advance and that can reach a sizeable share
// of the input.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace vorlane {

template <typename Record>
    requires std::is_trivially_copyable_v<Record>
class PagedList {
  public:
    PagedList() noexcept = default;
    PagedList(PagedList&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          bytes_(std::exchange(other.bytes_, 0)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    PagedList& operator=(PagedList&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    PagedList(const PagedList&) = delete;
    PagedList& operator=(const PagedList&) = delete;
    ~PagedList() { release(); }

    // The new last record's storage, to assign the record to: a record that the caller holds
    // in registers then goes straight there, where copying one from memory would read it back
    // just after it was written.
    Record& append() {
        if (size_ == capacity_) grow();
        void* slot = static_cast<unsigned char*>(data_) + size_ * sizeof(Record);
        ++size_;
        return *::new (slot) Record;
    }

    std::size_t size() const noexcept { return size_; }
    // Valid until the next append.
    std::span<const Record> view() const noexcept {
        return {static_cast<const Record*>(data_), size_};
    }

  private:
    // Small lists live on the heap, whose pages are mostly resident already; from this size
    // on, in a mapping, whose fresh pages each cost a fault (about 5 ns a record): a list of
    // a quarter megabyte is where the copies that the mapping spares start to weigh more.
    // Each growth doubles the storage.
    static constexpr std::size_t FIRST_BYTES = std::size_t(1) << 10;
    static constexpr std::size_t HEAP_BYTES = std::size_t(1) << 18;

    static bool mapped(std::size_t bytes) noexcept { return bytes > HEAP_BYTES; }

    void grow() {
        const std::size_t old_bytes = bytes_;
        if (old_bytes > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
        const std::size_t new_bytes = old_bytes == 0 ? FIRST_BYTES : 2 * old_bytes;
        void* grown = nullptr;
        if (!mapped(new_bytes)) {
            grown = std::realloc(data_, new_bytes);
            if (grown == nullptr) throw std::bad_alloc();
        } else if (!mapped(old_bytes)) {
            grown = mmap(nullptr, new_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
            if (grown == MAP_FAILED) throw std::bad_alloc();
            if (data_ != nullptr) std::memcpy(grown, data_, size_ * sizeof(Record));
            std::free(data_);
        } else {
            grown = mremap(data_, old_bytes, new_bytes, MREMAP_MAYMOVE);
            if (grown == MAP_FAILED) throw std::bad_alloc();
        }
        data_ = grown;
        bytes_ = new_bytes;
        capacity_ = new_bytes / sizeof(Record);
    }

    void release() noexcept {
        if (mapped(bytes_)) {
            munmap(data_, bytes_);
        } else {
            std::free(data_);
        }
        data_ = nullptr;
        bytes_ = 0;
        size_ = 0;
        capacity_ = 0;
    }

    void* data_ = nullptr;
    std::size_t bytes_ = 0;  // mapped
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // in records
};

}  // namespace vorlane
