// libFuzzer target for the annotation core. The input bytes are a small program that builds a
// scan path (NaN, infinities, subnormals, long equal runs, drifts at the collapse tolerance);
// the path then goes through the driver, through the stages one at a time and through the
// chunked stages for several pool sizes, and everything that must hold for every input is
// checked. A broken property aborts with a message, which libFuzzer reports as a crash.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "annotation/annotate.hpp"
#include "annotation/model/records.hpp"
#include "annotation/passes/chunked_pass.hpp"
#include "annotation/passes/fused_pass.hpp"
#include "annotation/stages/chunked_collapse.hpp"
#include "annotation/stages/stages.hpp"

namespace {

using namespace vorlane;

// Enough for several chunks of every pool size while keeping one input in the milliseconds.
constexpr std::size_t MAX_SAMPLES = 3000;
constexpr std::uint64_t POOL_SIZES[] = {2, 3, 7};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_annotate: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// `what` builds the message only when the property is broken: the checks run per record.
template <typename Message>
void require(bool holds, const char* stage, Message&& what) {
    if (holds) return;
    if constexpr (std::is_invocable_v<Message>) {
        fail(std::string(stage) + ": " + what());
    } else {
        fail(std::string(stage) + ": " + what);
    }
}

// NaN payloads and signed zeros included: the stages copy coordinates, they never recompute.
template <typename T>
bool same_bits(T a, T b) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    return std::bit_cast<Bits>(a) == std::bit_cast<Bits>(b);
}

template <typename T>
bool same_record(const FilteredPoint<T>& a, const FilteredPoint<T>& b) {
    return same_bits(a.x, b.x) && same_bits(a.y, b.y) && a.start_index == b.start_index &&
           a.end_index == b.end_index;
}

template <typename T>
bool within_tolerance_of(T value, T run_first) {
    const T difference = value - run_first;
    return std::fabs(difference) < std::numeric_limits<T>::epsilon();
}

class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    template <typename U>
    U raw() {
        U value{};
        const std::size_t count = std::min(sizeof(U), size_ - std::min(pos_, size_));
        std::memcpy(&value, data_ + pos_, count);
        pos_ += count;
        return value;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Coordinates and steps that reach the stages' edge cases.
template <typename T>
T table_value(std::uint8_t code) {
    using L = std::numeric_limits<T>;
    const T eps = L::epsilon();
    const T values[] = {
        T(0),        -T(0),       T(1),        T(-1),         T(0.5),         T(2),
        T(3),        T(10),       T(100),      T(1e-3),       T(1e-6),        T(1e6),
        T(1e30),     eps,         eps / T(2),  T(0.6) * eps,  T(1.2) * eps,   L::denorm_min(),
        L::min(),    L::max(),    L::lowest(), L::infinity(), -L::infinity(), L::quiet_NaN(),
        T(0.333333), T(1) / T(3), T(-0.25),    T(7.5)};
    return values[code % std::size(values)];
}

template <typename T>
struct Path {
    std::vector<T> x;
    std::vector<T> y;

    std::size_t size() const { return x.size(); }
    bool full() const { return x.size() >= MAX_SAMPLES; }
    void push(T xv, T yv) {
        if (full()) return;
        x.push_back(xv);
        y.push_back(yv);
    }
};

// One opcode byte, then its operands; a missing operand reads as 0.
template <typename T>
Path<T> decode_path(ByteReader& in) {
    Path<T> path;
    const T eps = std::numeric_limits<T>::epsilon();
    while (!in.done() && !path.full()) {
        const std::uint8_t op = in.byte();
        const T last_x = path.size() ? path.x.back() : T(0);
        const T last_y = path.size() ? path.y.back() : T(0);
        switch (op % 9) {
            case 0: {  // one sample from the table
                const T xv = table_value<T>(in.byte());
                path.push(xv, table_value<T>(in.byte()));
                break;
            }
            case 1: {  // a long run of the last sample
                const int count = 1 + in.byte() * 4;
                for (int k = 0; k < count; ++k) path.push(last_x, last_y);
                break;
            }
            case 2: {  // a straight line of equal steps
                const int count = 1 + in.byte();
                const T dx = table_value<T>(in.byte());
                const T dy = table_value<T>(in.byte());
                T xv = last_x;
                T yv = last_y;
                for (int k = 0; k < count; ++k) {
                    xv = xv + dx;
                    yv = yv + dy;
                    path.push(xv, yv);
                }
                break;
            }
            case 3: {  // drift on one axis in fifths of the tolerance
                const std::uint8_t control = in.byte();
                const int count = 1 + control % 8;
                const T step = T(static_cast<std::int8_t>(in.byte())) / T(5) * eps;
                T xv = last_x;
                T yv = last_y;
                for (int k = 0; k < count; ++k) {
                    if (control & 0x80) {
                        yv = yv + step;
                    } else {
                        xv = xv + step;
                    }
                    path.push(xv, yv);
                }
                break;
            }
            case 4: {  // a special value on one coordinate of the last sample
                const std::uint8_t control = in.byte();
                const T value = table_value<T>(in.byte());
                if (path.size() == 0) {
                    path.push(value, value);
                } else if (control & 1) {
                    path.y.back() = value;
                } else {
                    path.x.back() = value;
                }
                break;
            }
            case 5: {  // arbitrary bit patterns
                const T xv = in.raw<T>();
                path.push(xv, in.raw<T>());
                break;
            }
            case 6: {  // a zigzag raster, alternately up and down, starting at the last sample
                const int lines = 1 + in.byte() % 16;
                const int per_line = 2 + in.byte();
                const T spacing = table_value<T>(in.byte());
                const T height = table_value<T>(in.byte());
                for (int line = 0; line < lines; ++line) {
                    const T xv0 = last_x + spacing * T(line);
                    for (int k = 0; k < per_line; ++k) {
                        const T along = height * (T(k) / T(per_line - 1));
                        const T yv = (line % 2 == 0) ? last_y + along : last_y + height - along;
                        path.push(xv0 + spacing * T(k) / T(100 * per_line), yv);
                    }
                }
                break;
            }
            case 8: {  // a stair: x runs of equal length, y stepping at every sample
                const int runs = 1 + in.byte() % 128;
                const int run_length = 1 + in.byte() % 160;  // across 64 and 128
                const T dx = table_value<T>(in.byte());
                const auto scale = static_cast<std::int8_t>(in.byte());
                // From one tolerance to a few hundred thousand: across every rounding margin.
                const T dy = T(scale) * eps * T(1u << (in.byte() % 16));
                T xv = last_x;
                T yv = last_y;
                for (int run = 0; run < runs && !path.full(); ++run) {
                    xv = xv + dx;
                    for (int k = 0; k < run_length; ++k) {
                        yv = yv + dy;
                        path.push(xv, yv);
                    }
                }
                break;
            }
            default: {  // a copy of an earlier stretch
                const std::size_t back = 1 + in.byte();
                const std::size_t length = 1 + in.byte();
                if (path.size() == 0) break;
                const std::size_t from = path.size() - std::min(back, path.size());
                const std::size_t end = std::min(from + length, path.size());
                for (std::size_t i = from; i < end; ++i) path.push(path.x[i], path.y[i]);
                break;
            }
        }
    }
    return path;
}

template <typename T>
CoordinateView<T> view_of(const std::vector<T>& values, std::size_t start = 0,
                          std::size_t count = std::numeric_limits<std::size_t>::max()) {
    CoordinateView<T> view;
    view.data = values.data() + start;
    view.count = std::min(count, values.size() - start);
    view.stride = 1;
    return view;
}

// ---- properties ---------------------------------------------------------------------------

void check_ids(const ScanlineIds& ids, std::uint64_t n, const char* stage) {
    require(ids.size() == n, stage, "one id per sample");
    std::int32_t last_positive = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::int32_t id = ids[i];
        const auto where = [&] {
            return "id " + std::to_string(id) + " at sample " + std::to_string(i);
        };
        require(id == -1 || id > 0, stage, [&] { return where() + " is neither -1 nor positive"; });
        if (id < 0) continue;
        require(id >= last_positive, stage, [&] {
            return where() + " follows the larger id " + std::to_string(last_positive);
        });
        // Non-decreasing, so a range that is not contiguous shows as a gap before a repeat.
        require(id != last_positive || ids[i - 1] == id, stage,
                [&] { return where() + " resumes after a gap"; });
        last_positive = id;
    }
}

// Records cover samples 0..n-1 in order, without gap or overlap.
template <typename T>
void check_cover(const FilteredList<T>& list, std::uint64_t n, const char* stage) {
    require(!list.empty(), stage,
            [&] { return "no record for " + std::to_string(n) + " samples"; });
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        require(list[i].start_index == next && list[i].start_index <= list[i].end_index, stage,
                [&] {
                    return "record " + std::to_string(i) + " covers [" +
                           std::to_string(list[i].start_index) + ", " +
                           std::to_string(list[i].end_index) + "], expected to start at " +
                           std::to_string(next);
                });
        next = list[i].end_index + 1;
    }
    require(next == n, stage, [&] {
        return "the records end at " + std::to_string(next) + " of " + std::to_string(n) +
               " samples";
    });
}

// List A: each record keeps its run's first x, a one-sample record its sample's y, and no two
// neighbours are equal within tolerance in x (else the run rule or the seam merge joins them).
template <typename T>
void check_list_a(const FilteredList<T>& a, const Path<T>& path, const char* stage) {
    check_cover(a, path.size(), stage);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const FilteredPoint<T>& r = a[i];
        require(same_bits(r.x, path.x[r.start_index]), stage, [&] {
            return "record " + std::to_string(i) + " does not keep its first sample's x";
        });
        if (r.start_index == r.end_index) {
            require(same_bits(r.y, path.y[r.start_index]), stage,
                    [&] { return "one-sample record " + std::to_string(i) + " changed its y"; });
        }
        if (i > 0) {
            require(!within_tolerance_of(r.x, a[i - 1].x), stage, [&] {
                return "records " + std::to_string(i - 1) + " and " + std::to_string(i) +
                       " have equal x but were not joined";
            });
        }
    }
}

// List B: runs of whole list-A records, keeping the first record's y; a run of one record
// keeps that record's x; no two neighbours are equal within tolerance in y.
template <typename T>
void check_list_b(const FilteredList<T>& b, const FilteredList<T>& a, std::uint64_t n,
                  const char* stage) {
    check_cover(b, n, stage);
    std::size_t k = 0;  // the list-A record where b[i] starts
    for (std::size_t i = 0; i < b.size(); ++i) {
        while (k < a.size() && a[k].start_index < b[i].start_index) ++k;
        require(k < a.size() && a[k].start_index == b[i].start_index, stage, [&] {
            return "record " + std::to_string(i) + " does not start at a list-A record";
        });
        require(same_bits(b[i].y, a[k].y), stage, [&] {
            return "record " + std::to_string(i) + " does not keep its first record's y";
        });
        if (a[k].end_index == b[i].end_index) {
            require(same_bits(b[i].x, a[k].x), stage,
                    [&] { return "one-record run " + std::to_string(i) + " changed its x"; });
        }
        const auto ends_at_a =
            std::find_if(a.begin() + static_cast<std::ptrdiff_t>(k), a.end(),
                         [&](const FilteredPoint<T>& r) { return r.end_index >= b[i].end_index; });
        require(ends_at_a != a.end() && ends_at_a->end_index == b[i].end_index, stage,
                [&] { return "record " + std::to_string(i) + " ends inside a list-A record"; });
        if (i > 0) {
            require(!within_tolerance_of(b[i].y, b[i - 1].y), stage, [&] {
                return "records " + std::to_string(i - 1) + " and " + std::to_string(i) +
                       " have equal y but were not joined";
            });
        }
    }
}

// Ordered turning points: inner filtered points, strictly in path order, copied unchanged.
template <typename T>
void check_turns(const TurningList<T>& turns, const FilteredList<T>& b, const char* stage) {
    for (std::size_t i = 0; i < turns.size(); ++i) {
        const TurningPoint<T>& t = turns[i];
        require(t.filtered_index >= 1 && t.filtered_index + 1 < b.size(), stage, [&] {
            return "turning point " + std::to_string(i) + " at filtered index " +
                   std::to_string(t.filtered_index) + " of " + std::to_string(b.size());
        });
        if (i > 0) {
            require(turns[i - 1].filtered_index < t.filtered_index, stage, [&] {
                return "turning points " + std::to_string(i - 1) + " and " + std::to_string(i) +
                       " are out of order";
            });
        }
        const FilteredPoint<T>& p = b[t.filtered_index];
        require(same_bits(t.x, p.x) && same_bits(t.y, p.y) && t.start_index == p.start_index &&
                    t.end_index == p.end_index,
                stage, [&] {
                    return "turning point " + std::to_string(i) +
                           " differs from its filtered point";
                });
    }
}

template <typename T>
bool same_turn(const TurningPoint<T>& a, const TurningPoint<T>& b) {
    return a.filtered_index == b.filtered_index && same_bits(a.prev_dist_sq, b.prev_dist_sq) &&
           same_bits(a.line_dist_sq, b.line_dist_sq) && same_bits(a.x, b.x) &&
           same_bits(a.y, b.y) && a.start_index == b.start_index && a.end_index == b.end_index;
}

template <typename T>
void require_same_turns(const TurningListPair<T>& got, const TurningListPair<T>& expected,
                        const char* stage) {
    const auto compare = [&](const TurningList<T>& g, const TurningList<T>& e, const char* list) {
        std::size_t i = 0;
        while (i < g.size() && i < e.size() && same_turn(g[i], e[i])) ++i;
        require(i == g.size() && i == e.size(), stage, [&] {
            return std::string(list) + ": " + std::to_string(g.size()) + " entries, the stages " +
                   "one at a time give " + std::to_string(e.size()) + "; first difference at " +
                   std::to_string(i);
        });
    };
    compare(got.falling_turns, expected.falling_turns, "falling_turns");
    compare(got.rising_turns, expected.rising_turns, "rising_turns");
}

template <typename T>
ScanlineIds ids_from_list_b(const FilteredList<T>& b, std::uint64_t n, const char* stage) {
    TurningList<T> turns = order_turning_points(find_turning_points(b));
    check_turns(turns, b, stage);
    const T threshold = compute_segment_threshold(turns);
    require(threshold >= T(1), stage, "segment threshold below 1 or NaN");
    ScanlineIds ids = assign_scanline_ids(n, turns, threshold);
    check_ids(ids, n, stage);
    return ids;
}

// ---- an independent model of the chunked stages -------------------------------------------

std::vector<SampleRange> expected_ranges(std::uint64_t n, std::uint64_t p) {
    std::vector<SampleRange> ranges;
    if (n == 0) return ranges;
    const std::uint64_t length = (n + p - 1) / p;
    for (std::uint64_t i = 0; i * length < n; ++i) {
        ranges.push_back({i * length, std::min((i + 1) * length, n)});
    }
    return ranges;
}

// Joins chunk results in order; `KeyIsX` selects the compared coordinate, the other one is
// averaged by sample count in double.
template <typename T, bool KeyIsX>
FilteredList<T> merge_model(const std::vector<FilteredList<T>>& chunks) {
    FilteredList<T> out;
    for (const FilteredList<T>& chunk : chunks) {
        for (const FilteredPoint<T>& r : chunk) {
            if (!out.empty()) {
                FilteredPoint<T>& last = out.back();
                const T r_key = KeyIsX ? r.x : r.y;
                const T last_key = KeyIsX ? last.x : last.y;
                if (within_tolerance_of(r_key, last_key)) {
                    const double w_last =
                        static_cast<double>(last.end_index - last.start_index + 1);
                    const double w_r = static_cast<double>(r.end_index - r.start_index + 1);
                    T& value = KeyIsX ? last.y : last.x;
                    const double r_value = static_cast<double>(KeyIsX ? r.y : r.x);
                    const double last_value = static_cast<double>(value);
                    const double left = r_value * w_r;
                    const double right = last_value * w_last;
                    const double sum = left + right;
                    const double weight = w_r + w_last;
                    value = static_cast<T>(sum / weight);
                    last.end_index = r.end_index;
                    continue;
                }
            }
            out.push_back(r);
        }
    }
    return out;
}

// Chunk results from the sequential stage run on each range by itself.
template <typename T>
FilteredList<T> chunked_x_model(const Path<T>& path, std::uint64_t p) {
    std::vector<FilteredList<T>> chunks;
    for (const SampleRange& range : expected_ranges(path.size(), p)) {
        const std::size_t count = range.end - range.start;
        FilteredList<T> chunk =
            collapse_x(view_of(path.x, range.start, count), view_of(path.y, range.start, count));
        for (FilteredPoint<T>& r : chunk) {
            r.start_index += range.start;
            r.end_index += range.start;
        }
        chunks.push_back(std::move(chunk));
    }
    return merge_model<T, true>(chunks);
}

template <typename T>
FilteredList<T> chunked_y_model(const FilteredList<T>& a, std::uint64_t p) {
    std::vector<FilteredList<T>> chunks;
    for (const SampleRange& range : expected_ranges(a.size(), p)) {
        const FilteredList<T> part(a.begin() + static_cast<std::ptrdiff_t>(range.start),
                                   a.begin() + static_cast<std::ptrdiff_t>(range.end));
        chunks.push_back(collapse_y(part));
    }
    return merge_model<T, false>(chunks);
}

template <typename T>
void require_same_list(const FilteredList<T>& got, const FilteredList<T>& expected,
                       const char* stage) {
    require(got.size() == expected.size(), stage, [&] {
        return std::to_string(got.size()) + " records, the model has " +
               std::to_string(expected.size());
    });
    for (std::size_t i = 0; i < got.size(); ++i) {
        require(same_record(got[i], expected[i]), stage,
                [&] { return "record " + std::to_string(i) + " differs from the model"; });
    }
}

// ---- the checks per input -----------------------------------------------------------------

template <typename T>
void check_caller_errors(const Path<T>& path, std::uint8_t mode, const ScanlineIds& ids) {
    const std::uint64_t n = path.size();
    CoordinateView<T> x = view_of(path.x);
    CoordinateView<T> y = view_of(path.y);
    std::string expected;
    switch (mode % 4) {
        case 0:
            return;
        case 1:  // y one longer or one shorter: the counts are never read past
            if (n == 0) return;
            y.count = (mode & 4) ? n - 1 : n;
            x.count = (mode & 4) ? n : n - 1;
            expected = "Input x and y length mismatch: " + std::to_string(x.count) + " vs " +
                       std::to_string(y.count);
            break;
        case 2:
        case 3: {  // a stride other than 1 on one or both axes; only element 0 is valid
            const std::int64_t strides[] = {2, -1, 0, 3};
            CoordinateView<T>& strided = (mode % 4 == 2) ? x : y;
            strided.stride = strides[(mode >> 2) % 4];
            if (mode & 0x10) x.stride = y.stride = strided.stride;
            if (n > 1)
                expected =
                    x.stride != 1 ? "x array must be contiguous" : "y array must be contiguous";
            break;
        }
    }
    const AnnotationResult result = annotate_scanlines(x, y);
    if (expected.empty()) {
        const auto* got = std::get_if<ScanlineIds>(&result);
        require(got != nullptr && *got == ids, "driver", "a strided view of n <= 1 samples");
        return;
    }
    const auto* error = std::get_if<AnnotatorError>(&result);
    require(error != nullptr && error->message == expected, "driver",
            [&] { return "expected the error \"" + expected + "\""; });
}

template <typename T>
void check_path(const Path<T>& path, std::uint8_t mode) {
    const std::uint64_t n = path.size();
    const AnnotationResult result = annotate_scanlines(view_of(path.x), view_of(path.y));
    const auto* driver_ids = std::get_if<ScanlineIds>(&result);
    require(driver_ids != nullptr, "driver", "an error for valid views");
    check_ids(*driver_ids, n, "driver");
    check_caller_errors(path, mode, *driver_ids);
    if (n == 0) return;

    // The fused passes, shortcut over quiet stretches included, against the stages one at a
    // time: the same turning points, bit for bit, and the same ids.
    const FilteredList<T> a = collapse_x(view_of(path.x), view_of(path.y));
    check_list_a(a, path, "collapse_x");
    const FilteredList<T> b = collapse_y(a);
    check_list_b(b, a, n, "collapse_y");
    const TurningListPair<T> turns = find_turning_points(b);
    require_same_turns(collapse_and_find_turning_points(view_of(path.x), view_of(path.y)), turns,
                       "collapse_and_find_turning_points");
    require_same_turns(collapse_y_and_find_turning_points(a), turns,
                       "collapse_y_and_find_turning_points");
    const ScanlineIds staged = ids_from_list_b(b, n, "sequential stages");
    const auto [at, _] = std::mismatch(staged.begin(), staged.end(), driver_ids->begin());
    require(at == staged.end(), "driver", [&, at = at] {
        const auto i = static_cast<std::size_t>(at - staged.begin());
        return "id " + std::to_string((*driver_ids)[i]) + " at sample " + std::to_string(i) +
               ", the stages one at a time give " + std::to_string(staged[i]);
    });

    for (const std::uint64_t p : POOL_SIZES) {
        const std::vector<SampleRange> ranges = make_chunk_ranges(n, p);
        require(ranges == expected_ranges(n, p), "make_chunk_ranges",
                [&] { return "ranges differ for p = " + std::to_string(p); });

        const FilteredList<T> a_p = collapse_x_parallel(view_of(path.x), view_of(path.y), p);
        check_list_a(a_p, path, "collapse_x_parallel");
        require_same_list(a_p, chunked_x_model(path, p), "collapse_x_parallel");

        // The driver decides per stage, so the chunked y stage can follow either x stage.
        for (const FilteredList<T>* input : {&a, &a_p}) {
            const FilteredList<T> b_p = collapse_y_parallel(*input, p);
            check_list_b(b_p, *input, n, "collapse_y_parallel");
            require_same_list(b_p, chunked_y_model(*input, p), "collapse_y_parallel");
            ids_from_list_b(b_p, n, "chunked stages");
        }
        const FilteredList<T> b_after_p = collapse_y(a_p);
        check_list_b(b_after_p, a_p, n, "collapse_y after collapse_x_parallel");
        require_same_turns(collapse_y_and_find_turning_points(a_p), find_turning_points(b_after_p),
                           "collapse_y_and_find_turning_points after collapse_x_parallel");
        ids_from_list_b(b_after_p, n, "chunked x stage");

        // The chunked pass, in each of its forms, against the chunked stages it stands for,
        // with each stage chunked or not (thresholds lowered so that short paths have seams).
        for (const bool x_chunked : {false, true}) {
            for (const bool y_chunked : {false, true}) {
                ChunkPlan plan;
                plan.x_threads = plan.y_threads = p;
                plan.x_min_samples = x_chunked ? 1 : n + 1;
                plan.y_min_records = y_chunked ? 1 : n + 1;
                plan.head = 1 + (mode % 40);
                const FilteredList<T>& a_used = x_chunked ? a_p : a;
                const TurningListPair<T> expected = find_turning_points(
                    y_chunked ? collapse_y_parallel(a_used, p) : collapse_y(a_used));
                const auto check = [&](const std::optional<TurningListPair<T>>& got,
                                       const char* form) {
                    if (got) require_same_turns(*got, expected, form);
                };
                check(chunked_turns_one_read(view_of(path.x), view_of(path.y), plan),
                      "chunked_turns_one_read");
                check(chunked_turns_two_reads(view_of(path.x), view_of(path.y), plan),
                      "chunked_turns_two_reads");
                require_same_turns(find_turns(view_of(path.x), view_of(path.y), plan).lists,
                                   expected, "find_turns");
            }
        }
    }
}

}  // namespace

// Byte 0: bit 0 picks float, the rest selects a check of the caller's errors; then the path.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    const std::uint8_t config = in.byte();
    const auto mode = static_cast<std::uint8_t>(config >> 1);
    if (config & 1) {
        check_path(decode_path<float>(in), mode);
    } else {
        check_path(decode_path<double>(in), mode);
    }
    return 0;
}
