// The records the annotation core passes between its stages, and the core's error value.
// Plain C++ with no host-interpreter types, shared by every stage and by the boundary.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vorlane {

// Two coordinates are equal when their difference is strictly below the machine epsilon of T.
template <typename T>
inline constexpr T collapse_tolerance = std::numeric_limits<T>::epsilon();

// Read-only view of one host array. The data address need not be aligned to T: NumPy allows
// such arrays, so every element is read through memcpy, which compiles to a plain load.
template <typename T>
struct CoordinateView {
    const void* data = nullptr;
    std::uint64_t count = 0;
    std::int64_t stride = 1;  // in elements, sign kept

    // Element i of a unit-stride view; the driver admits no other stride for n > 1.
    T at(std::uint64_t i) const noexcept {
        T value;
        std::memcpy(&value, static_cast<const unsigned char*>(data) + i * sizeof(T), sizeof(T));
        return value;
    }
};

struct AnnotatorError {
    std::string message;
};

// One run of consecutive samples (or records) collapsed into one point; end_index inclusive.
template <typename T>
struct FilteredPoint {
    T x;
    T y;
    std::uint64_t start_index;
    std::uint64_t end_index;

    bool operator==(const FilteredPoint&) const = default;
};

// A filtered point at which the path's vertical sense changes, with its two squared distances.
template <typename T>
struct TurningPoint {
    std::uint64_t filtered_index;
    T prev_dist_sq;
    T line_dist_sq;
    T x;
    T y;
    std::uint64_t start_index;
    std::uint64_t end_index;

    bool operator==(const TurningPoint&) const = default;
};

// Leaves default-constructed elements uninitialised: the chunked stages size their output list
// first and fill it from the pool threads, so zeroing it first would only add a pass over
// hundreds of megabytes on the calling thread.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <typename U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <typename T>
using FilteredList = std::vector<FilteredPoint<T>, DefaultInitAllocator<FilteredPoint<T>>>;

// Turning points in path order.
template <typename T>
using TurningList = std::vector<TurningPoint<T>>;

// The falling and the rising turning points, each list in path order, as the turn rule finds
// them.
template <typename T>
struct TurningListPair {
    TurningList<T> falling_turns;
    TurningList<T> rising_turns;
};

using ScanlineIds = std::vector<std::int32_t>;
using AnnotationResult = std::variant<ScanlineIds, AnnotatorError>;

}  // namespace vorlane
