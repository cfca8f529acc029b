// The paged list must keep every record through the remaps that grow it, and hand its pages
// over whole when moved.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "platform/paged_list.hpp"

namespace vorlane {
namespace {

// 56 bytes, as a turning point of double: no power of two, so the mapping's bytes are never a
// whole number of records.
struct Record {
    std::uint64_t index;
    double values[6];
};

TEST(PagedList, KeepsEveryRecordAcrossGrowthAndMoves) {
    PagedList<Record> list;
    EXPECT_EQ(list.size(), 0u);
    EXPECT_TRUE(list.view().empty());
    constexpr std::uint64_t count = 200000;  // about 11 MB: many remaps
    for (std::uint64_t i = 0; i < count; ++i) {
        list.append() = Record{i, {double(i), 0, 0, 0, 0, -double(i)}};
    }
    PagedList<Record> moved(std::move(list));
    EXPECT_EQ(list.size(), 0u);  // NOLINT(bugprone-use-after-move): a moved-from list is empty
    PagedList<Record> assigned;
    assigned.append() = Record{7, {}};
    assigned = std::move(moved);
    ASSERT_EQ(assigned.size(), count);
    std::uint64_t wrong = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const Record& record = assigned.view()[i];
        if (record.index != i || record.values[0] != double(i) || record.values[5] != -double(i)) {
            ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0u);
    assigned.append() = Record{count, {}};  // still growable after the moves
    EXPECT_EQ(assigned.view().back().index, count);
}

}  // namespace
}  // namespace vorlane
