// The even cuts of a chunked stage.
#include "annotation/model/chunk_plan.hpp"

#include <algorithm>

namespace vorlane {

std::vector<SampleRange> make_chunk_ranges(std::uint64_t n, std::uint64_t p) {
    std::vector<SampleRange> ranges;
    if (n == 0) return ranges;
    if (p == 0) p = 1;
    const std::uint64_t length = n / p + (n % p != 0 ? 1 : 0);
    ranges.reserve(n / length + (n % length != 0 ? 1 : 0));
    // Stepping by the remaining length keeps (i + 1) * length from overflowing near 2^64.
    for (std::uint64_t start = 0; start < n; start += std::min(length, n - start)) {
        ranges.push_back({start, start + std::min(length, n - start)});
    }
    return ranges;
}

}  // namespace vorlane
