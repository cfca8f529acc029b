// The first touch must write only inside its buffer, reach every page of it, and leave the
// pages to other threads untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

#include "platform/first_touch.hpp"

namespace vorlane {
namespace {

constexpr std::byte UNTOUCHED{0xAB};

// Whether, of the buffer at `offset`, bytes [0, to) were touched by calls that started at
// `starts`: the first byte of each call and of each page that begins in [0, to) are zero, and
// every other byte is untouched.
bool touched_exactly(const std::vector<std::byte>& bytes, std::size_t offset, std::size_t to,
                     const std::vector<std::size_t>& starts) {
    const std::byte* base = bytes.data() + offset;
    for (std::size_t i = 0; offset + i < bytes.size(); ++i) {
        const bool touch_start = std::find(starts.begin(), starts.end(), i) != starts.end() ||
                                 reinterpret_cast<std::uintptr_t>(base + i) % FirstTouch::PAGE == 0;
        const bool expected_touch = i < to && touch_start;
        if (base[i] != (expected_touch ? std::byte{0} : UNTOUCHED)) return false;
    }
    return true;
}

TEST(FirstTouch, StepsOnTheOwningThreadOnlyAndFinishesEveryPage) {
    // An odd size at an odd offset: the slices neither start nor end on a page.
    const std::size_t size = 2 * FirstTouch::SLICE + 3 * FirstTouch::PAGE + 123;
    std::vector<std::byte> bytes(size + 7, UNTOUCHED);
    const std::size_t offset = 7;
    FirstTouch touch(std::span<std::byte>(bytes.data() + offset, size));

    std::thread([&] { touch.step(); }).join();
    EXPECT_TRUE(touched_exactly(bytes, offset, 0, {})) << "another thread touched";

    touch.step();
    EXPECT_TRUE(touched_exactly(bytes, offset, FirstTouch::SLICE, {0}));
    touch.finish();
    EXPECT_TRUE(touched_exactly(bytes, offset, size, {0, FirstTouch::SLICE}));
    touch.step();  // nothing is left
    EXPECT_TRUE(touched_exactly(bytes, offset, size, {0, FirstTouch::SLICE}));
}

TEST(FirstTouch, AnEmptyBufferIsNeverTouched) {
    FirstTouch touch{std::span<std::byte>()};
    touch.step();
    touch.finish();
}

}  // namespace
}  // namespace vorlane
