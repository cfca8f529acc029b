// Pass state of the id assignment, exposed for its unit tests.
#pragma once

#include <cstdint>
#include <span>

namespace vorlane {

// Hands out scanline ids 1, 2, 3, ...; needing more than a signed 32-bit integer holds is a
// fault, never a silent wrap.
class IdCounter {
  public:
    explicit IdCounter(std::int64_t first = 1) noexcept : next_(first) {}
    std::int32_t consume();

  private:
    std::int64_t next_;
};

// Writes id ranges in ascending order, filling the gaps with -1 as it goes, so every sample
// is written once; positions at or beyond the buffer's end are skipped.
class IdWriter {
  public:
    explicit IdWriter(std::span<std::int32_t> ids) noexcept : ids_(ids) {}
    void write(std::uint64_t first, std::uint64_t last, std::int32_t id) noexcept;  // inclusive
    void finish() noexcept;  // -1 for everything after the last written range

  private:
    std::span<std::int32_t> ids_;
    std::uint64_t cursor_ = 0;  // everything before it has its final value
};

}  // namespace vorlane
