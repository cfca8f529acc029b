// The turning-point rule as an accumulator fed one filtered point at a time, so that the
// stage and the fused pass share it.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "annotation/model/records.hpp"
#include "annotation/model/run_rules.hpp"
#include "platform/paged_list.hpp"

namespace vorlane {

// Direction value of the step from p to q: only its sign and whether it is a number matter.
// Steps flat in x or in y within tolerance carry the previous value.
template <typename T>
inline T step_direction(const FilteredPoint<T>& p, const FilteredPoint<T>& q, T carry) noexcept {
    if (within_tolerance(p.x, q.x)) return carry;
    if (within_tolerance(p.y, q.y)) return carry;
    // The rule divides the y step, negated unless x grows, by the x step: that is the y step
    // over the x step's magnitude, since (-d) / dx is d / -dx, and a NaN x step gives NaN
    // either way. Written so, no compiler needs a select before the division.
    return (q.y - p.y) / std::fabs(q.x - p.x);
}

// NaN for NaN, else 1 carrying the sign bit of v: -0 and -inf are negative.
template <typename T>
inline T sign_class(T v) noexcept {
    return std::isnan(v) ? std::numeric_limits<T>::quiet_NaN() : std::copysign(T(1), v);
}

// Whether the sign classes of two directions differ: NaN's class equals nothing, not even
// NaN's. Written on the sign bits, not on sign_class, so that no compiler builds the two
// classes as values just to compare them.
template <typename T>
inline bool classes_differ(T a, T b) noexcept {
    return std::isunordered(a, b) || std::signbit(a) != std::signbit(b);
}

template <typename T>
inline T squared(T v) noexcept {
    return v * v;
}

// The turning point at `vertex` (filtered point `index`), given the latest falling turn f,
// the latest rising turn r and the latest turn of the list it joins.
template <typename T>
TurningPoint<T> make_turn(const TurningPoint<T>& f, const TurningPoint<T>& r,
                          const TurningPoint<T>& l, const FilteredPoint<T>& vertex,
                          std::uint64_t index) noexcept {
    const T x = vertex.x;
    const T y = vertex.y;
    T line_dist_sq;
    if (within_tolerance(r.x, f.x)) {
        line_dist_sq = squared(x - r.x);
    } else {
        const T m = (r.y - f.y) / (r.x - f.x);
        const T b = f.y - f.x * m;
        const T offset = x * m - y + b;
        line_dist_sq = squared(offset) / (m * m + T(1));
    }
    const T prev_dist_sq = squared(l.x - x) + squared(l.y - y);
    return TurningPoint<T>{index, prev_dist_sq,       line_dist_sq,    x,
                           y,     vertex.start_index, vertex.end_index};
}

// Copies a turn field by field. Every turn list is written through this: a whole-record copy
// makes compilers build the record in memory with 8-byte stores and read it back in 16-byte
// loads across them, which stall at every turn; copied by fields, it stays in registers.
template <typename T>
inline void store_fields(TurningPoint<T>& out, const TurningPoint<T>& turn) noexcept {
    out.filtered_index = turn.filtered_index;
    out.prev_dist_sq = turn.prev_dist_sq;
    out.line_dist_sq = turn.line_dist_sq;
    out.x = turn.x;
    out.y = turn.y;
    out.start_index = turn.start_index;
    out.end_index = turn.end_index;
}

// Appends the turning point at the vertex (x, y, start, end), filtered point `index`, left
// with direction cur. Kept out of line, and handed copies, not the caller's state: turns are
// rare, and the hot loop then keeps its state in registers. The vertex comes as scalars, not
// as a record in memory, for the reason store_fields gives; the slot is made first, so that no
// computed turn has to wait in memory while the list grows.
template <typename T>
[[gnu::noinline]] void record_turn(TurningListPair<T>& lists, T x, T y, std::uint64_t start,
                                   std::uint64_t end, std::uint64_t index, T cur) {
    const bool falling = cur < T(0);
    TurningList<T>& target = falling ? lists.falling_turns : lists.rising_turns;
    TurningPoint<T>& slot = target.emplace_back();
    const TurningPoint<T>& latest = target[target.size() - 2];
    const TurningPoint<T>& f = falling ? latest : lists.falling_turns.back();
    const TurningPoint<T>& r = falling ? lists.rising_turns.back() : latest;
    store_fields(slot, make_turn(f, r, latest, FilteredPoint<T>{x, y, start, end}, index));
}

// Both lists begin with the same seed, made from the first filtered point.
template <typename T>
[[gnu::noinline]] void record_seeds(TurningListPair<T>& lists, FilteredPoint<T> first) {
    const TurningPoint<T> seed{0, T(0), T(0), first.x, first.y, first.start_index, first.end_index};
    lists.falling_turns.push_back(seed);
    lists.rising_turns.push_back(seed);
}

// The turns as the ordering stage gives them, recorded in path order as the rule finds them,
// so that the two lists are never stored beside their merge, nor the list beside its copy as
// it grows: the rule only looks back at the
// latest turn of each. The seeds and the earliest falling turn, which the ordering drops, are
// kept as those latest turns only.
template <typename T>
struct PathOrderedTurns {
    PagedList<TurningPoint<T>> ordered;
    TurningPoint<T> falling_back{};
    TurningPoint<T> rising_back{};
    std::uint64_t falling_count = 0;  // the seed included
};

template <typename T>
[[gnu::noinline]] void record_turn(PathOrderedTurns<T>& turns, T x, T y, std::uint64_t start,
                                   std::uint64_t end, std::uint64_t index, T cur) {
    const bool falling = cur < T(0);
    TurningPoint<T>& back = falling ? turns.falling_back : turns.rising_back;
    const TurningPoint<T> turn = make_turn(turns.falling_back, turns.rising_back, back,
                                           FilteredPoint<T>{x, y, start, end}, index);
    store_fields(back, turn);
    if (falling && ++turns.falling_count <= 2) return;
    store_fields(turns.ordered.append(), turn);
}

template <typename T>
[[gnu::noinline]] void record_seeds(PathOrderedTurns<T>& turns, FilteredPoint<T> first) {
    const TurningPoint<T> seed{0, T(0), T(0), first.x, first.y, first.start_index, first.end_index};
    turns.falling_back = seed;
    turns.rising_back = seed;
    turns.falling_count = 1;
}

template <typename T>
inline void observe(PathOrderedTurns<T>&, const FilteredPoint<T>&, std::uint64_t) noexcept {}

// A chunk of the path walked on its own records its turns as events, without distances: the
// distances depend on the turning points before the chunk, and are computed when the chunks'
// events are joined in path order. Its first records are kept for that join as well.
template <typename T>
struct TurnEvent {
    FilteredPoint<T> vertex;
    std::uint64_t index;  // of the vertex, counted from the chunk's first record
    T cur;                // direction of the step that leaves the vertex
};

template <typename T>
struct TurnEvents {
    std::vector<TurnEvent<T>> events;
    FilteredList<T> head;  // the chunk's first records
    std::size_t head_size = 0;
};

template <typename T>
[[gnu::noinline]] void record_turn(TurnEvents<T>& sink, T x, T y, std::uint64_t start,
                                   std::uint64_t end, std::uint64_t index, T cur) {
    sink.events.emplace_back() = TurnEvent<T>{{x, y, start, end}, index, cur};
}

// A chunk's first record is not the path's, so it seeds nothing.
template <typename T>
void record_seeds(TurnEvents<T>&, FilteredPoint<T>) noexcept {}

template <typename T>
inline void observe(TurningListPair<T>&, const FilteredPoint<T>&, std::uint64_t) noexcept {}

template <typename T>
inline void observe(TurnEvents<T>& sink, const FilteredPoint<T>& point, std::uint64_t index) {
    if (index < sink.head_size) [[unlikely]]
        sink.head.push_back(point);
}

// True when the step from p to q keeps the direction it is handed, whatever that is.
template <typename T>
inline bool carries_direction(const FilteredPoint<T>& p, const FilteredPoint<T>& q) noexcept {
    return within_tolerance(p.x, q.x) || within_tolerance(p.y, q.y);
}

template <typename T, typename Sink = TurningListPair<T>>
class TurnDetector {
  public:
    explicit TurnDetector(Sink& sink) noexcept : sink_(&sink) {}

    // Feeds the next filtered point of the path.
    void push(const FilteredPoint<T>& point) {
        observe(*sink_, point, count_);
        if (count_ >= 2) [[likely]] {
            const T cur = step_direction(last_, point, prev_);
            // NaN classes compare unequal to themselves, so a NaN direction always turns.
            // last_ (filtered point count_ - 1) is where the step with direction cur begins.
            if (classes_differ(cur, prev_)) [[unlikely]] {
                record_turn(*sink_, last_.x, last_.y, last_.start_index, last_.end_index,
                            count_ - 1, cur);
            }
            prev_ = cur;
        } else if (count_ == 1) {
            prev_ = step_direction(last_, point, T(1));
            record_seeds(*sink_, last_);
        }
        last_ = point;
        ++count_;
    }

    std::uint64_t count() const noexcept { return count_; }
    const FilteredPoint<T>& last() const noexcept { return last_; }
    T prev() const noexcept { return prev_; }

    // Takes the state the detector would have after `pushed` more points that recorded no
    // turn, the last of them `last`, the last direction of sign class `prev_class`. Only the
    // class of the direction value is ever looked at, so any value of that class serves.
    void skip(const FilteredPoint<T>& last, std::uint64_t pushed, T prev_class) noexcept {
        last_ = last;
        count_ += pushed;
        prev_ = prev_class;
    }

    // Takes the state after `count` points (at least 2), the last of them `last`.
    void resume(const FilteredPoint<T>& last, std::uint64_t count, T prev) noexcept {
        last_ = last;
        count_ = count;
        prev_ = prev;
    }

    Sink& sink() noexcept { return *sink_; }

  private:
    Sink* sink_;
    std::uint64_t count_ = 0;
    FilteredPoint<T> last_{};
    T prev_ = T(1);
};

}  // namespace vorlane
