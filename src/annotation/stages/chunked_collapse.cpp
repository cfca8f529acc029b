// The chunked collapse stages: the run rules applied to one range of the input each, on the
// pool, and the seam merges that join the chunk results in range order.
#include "annotation/stages/chunked_collapse.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "annotation/model/run_rules.hpp"
#include "annotation/model/seam.hpp"
#include "platform/fault.hpp"
#include "platform/pool.hpp"
#include "platform/test_hooks.hpp"

namespace vorlane {

namespace {

void check_range(SampleRange range, std::uint64_t size, const char* what) {
    if (range.end > size) {
        raise_fault(std::string(what) + " chunk [" + std::to_string(range.start) + ", " +
                    std::to_string(range.end) + ") lies outside the " + std::to_string(size) +
                    " elements of its input");
    }
}

// The seam merge: each chunk's leading records fuse into the record kept last while their
// keys meet its key, and the rest are kept as they are. Key is the compared coordinate, Value
// the one averaged by sample count.
template <typename T, T FilteredPoint<T>::* Key, T FilteredPoint<T>::* Value>
FilteredList<T> merge_seams(std::vector<FilteredList<T>>&& chunks) {
    std::size_t total = 0;
    for (const auto& chunk : chunks) total += chunk.size();
    FilteredList<T> merged;
    merged.reserve(total);
    SeamSettler<T, Key, Value> settler;
    for (auto& chunk : chunks) {
        if (chunk.empty()) continue;
        std::size_t fused = 0;
        while (fused < chunk.size() && settler.fuse(chunk[fused])) ++fused;
        if (fused != 0) merged.back() = *settler.last();
        merged.insert(merged.end(), chunk.begin() + fused, chunk.end());
        settler.place(chunk.size(), chunk.back());
        FilteredList<T>().swap(chunk);
    }
    chunks.clear();
    return merged;
}

// A chunk's records counted: how many, and the last.
template <typename T>
struct ChunkCount {
    std::uint64_t records = 0;
    FilteredPoint<T> last{};
};

// The seam merge settled by rerunning the run rule from each chunk's start while its records
// fuse into the last record kept before it.
template <typename T, T FilteredPoint<T>::* Key, T FilteredPoint<T>::* Value, typename Records>
std::vector<PlacedChunk<T>> settle_seams(const std::vector<SampleRange>& ranges,
                                         const std::vector<ChunkCount<T>>& counts,
                                         const Records& records, std::uint64_t& total) {
    SeamSettler<T, Key, Value> settler;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (settler.last()) {
            records(ranges[i], [&settler](const FilteredPoint<T>& r) { return settler.fuse(r); });
        }
        settler.place(counts[i].records, counts[i].last);
    }
    total = settler.total();
    return settler.finish();
}

// The chunked stage without per-chunk lists: the chunks first count their records on the
// pool, the caller then settles the seams, and the chunks finally write their records
// straight into the one output list. This gives the records of merge_seams over the chunk
// results, since within one chunk the run rule never leaves two neighbours that would fuse,
// while the output is the only list allocated and its memory is first written in parallel.
// `records(range, emit)` runs the stage's run rule over one range.
template <typename T, T FilteredPoint<T>::* Key, T FilteredPoint<T>::* Value, typename Records>
FilteredList<T> chunked_stage(std::uint64_t n, std::uint64_t p, const Records& records) {
    const std::vector<SampleRange> ranges = make_chunk_ranges(n, p);
    if (ranges.empty()) return {};
    const std::uint64_t length = ranges.front().end - ranges.front().start;

    const std::vector<ChunkCount<T>> counts =
        ordered_parallel_map<ChunkCount<T>>(ranges, [&](SampleRange range) {
            inject_fault("pool_chunk");
            ChunkCount<T> count;
            records(range, [&count](const FilteredPoint<T>& r) {
                ++count.records;
                count.last = r;
                return true;
            });
            return count;
        });
    std::uint64_t total = 0;
    const std::vector<PlacedChunk<T>> placed =
        settle_seams<T, Key, Value>(ranges, counts, records, total);

    FilteredList<T> output(total);
    const std::vector<bool> complete = ordered_parallel_map<bool>(ranges, [&](SampleRange range) {
        const std::size_t i = range.start / length;
        const std::uint64_t wanted = placed[i].kept(counts[i].records);
        FilteredPoint<T>* out = output.data() + placed[i].offset;
        std::uint64_t seen = 0;
        std::uint64_t written = 0;
        bool overflow = false;
        records(range, [&](const FilteredPoint<T>& r) {
            if (seen++ < placed[i].fused) return true;
            if (written == wanted) {
                overflow = true;
                return false;
            }
            out[written++] = r;
            return true;
        });
        return !overflow && written == wanted;
    });
    if (std::find(complete.begin(), complete.end(), false) != complete.end()) {
        raise_fault("a chunk made other records when written than when counted");
    }
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (placed[i].fixed_last) {
            output[placed[i].offset + placed[i].kept(counts[i].records) - 1] =
                *placed[i].fixed_last;
        }
    }
    return output;
}

}  // namespace

template <typename T>
FilteredList<T> collapse_x_chunk(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                 SampleRange range) {
    FilteredList<T> records;
    if (range.start >= range.end) return records;
    check_range(range, std::min(x.count, y.count), "x");
    records.reserve((range.end - range.start) / 2);
    for_each_x_run(x, y, range.start, range.end, [&records](const FilteredPoint<T>& r) {
        records.push_back(r);
        return true;
    });
    return records;
}

template <typename T>
FilteredList<T> collapse_y_chunk(const FilteredList<T>& a, SampleRange range) {
    FilteredList<T> records;
    if (range.start >= range.end) return records;
    check_range(range, a.size(), "y");
    records.reserve(range.end - range.start);
    for_each_y_run(a, range.start, range.end, [&records](const FilteredPoint<T>& r) {
        records.push_back(r);
        return true;
    });
    return records;
}

template <typename T>
FilteredList<T> merge_x_seams(std::vector<FilteredList<T>>&& chunks) {
    return merge_seams<T, &FilteredPoint<T>::x, &FilteredPoint<T>::y>(std::move(chunks));
}

template <typename T>
FilteredList<T> merge_y_seams(std::vector<FilteredList<T>>&& chunks) {
    return merge_seams<T, &FilteredPoint<T>::y, &FilteredPoint<T>::x>(std::move(chunks));
}

template <typename T>
FilteredList<T> collapse_x_parallel(const CoordinateView<T>& x, const CoordinateView<T>& y,
                                    std::uint64_t p) {
    check_range({0, x.count}, y.count, "x");
    return chunked_stage<T, &FilteredPoint<T>::x, &FilteredPoint<T>::y>(
        x.count, p, [&x, &y](SampleRange range, auto&& emit) {
            for_each_x_run(x, y, range.start, range.end, emit);
        });
}

template <typename T>
FilteredList<T> collapse_y_parallel(const FilteredList<T>& a, std::uint64_t p) {
    return chunked_stage<T, &FilteredPoint<T>::y, &FilteredPoint<T>::x>(
        a.size(), p,
        [&a](SampleRange range, auto&& emit) { for_each_y_run(a, range.start, range.end, emit); });
}

template FilteredList<float> collapse_x_chunk(const CoordinateView<float>&,
                                              const CoordinateView<float>&, SampleRange);
template FilteredList<double> collapse_x_chunk(const CoordinateView<double>&,
                                               const CoordinateView<double>&, SampleRange);
template FilteredList<float> collapse_y_chunk(const FilteredList<float>&, SampleRange);
template FilteredList<double> collapse_y_chunk(const FilteredList<double>&, SampleRange);
template FilteredList<float> merge_x_seams(std::vector<FilteredList<float>>&&);
template FilteredList<double> merge_x_seams(std::vector<FilteredList<double>>&&);
template FilteredList<float> merge_y_seams(std::vector<FilteredList<float>>&&);
template FilteredList<double> merge_y_seams(std::vector<FilteredList<double>>&&);
template FilteredList<float> collapse_x_parallel(const CoordinateView<float>&,
                                                 const CoordinateView<float>&, std::uint64_t);
template FilteredList<double> collapse_x_parallel(const CoordinateView<double>&,
                                                  const CoordinateView<double>&, std::uint64_t);
template FilteredList<float> collapse_y_parallel(const FilteredList<float>&, std::uint64_t);
template FilteredList<double> collapse_y_parallel(const FilteredList<double>&, std::uint64_t);

}  // namespace vorlane
