// The chunked pass must give exactly the turning points of the chunked stages: list A and B
// made by the chunk functions and the seam merges, then walked by the turn rule. The
// thresholds are lowered so that short paths have many chunks and seams.
#include <gtest/gtest.h>

#include "annotation/annotate.hpp"
#include "annotation/passes/chunked_pass.hpp"
#include "annotation/stages/chunked_collapse.hpp"
#include "annotation/stages/stages.hpp"
#include "generated_paths.hpp"
#include "views.hpp"

namespace vorlane {
namespace {

using testing::adversarial_values;
using testing::raster;
using testing::same_turns;
using testing::view_of;

template <typename T>
class ChunkedPassTest : public ::testing::Test {};
using Widths = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ChunkedPassTest, Widths);

template <typename T>
TurningListPair<T> staged_turns(const std::vector<T>& x, const std::vector<T>& y,
                                const ChunkPlan& plan) {
    const bool x_chunked = plan.x_threads >= 2 && x.size() >= plan.x_min_samples;
    const FilteredList<T> a = x_chunked
                                  ? collapse_x_parallel(view_of(x), view_of(y), plan.x_threads)
                                  : collapse_x(view_of(x), view_of(y));
    const bool y_chunked = plan.y_threads >= 2 && a.size() >= plan.y_min_records;
    return find_turning_points(y_chunked ? collapse_y_parallel(a, plan.y_threads) : collapse_y(a));
}

// Plans that put seams everywhere: 2, 3 or 7 threads, each stage chunked or not.
ChunkPlan random_plan(std::mt19937_64& rng, std::size_t n, std::size_t head) {
    const std::uint64_t threads[] = {1, 2, 3, 7};
    ChunkPlan plan;
    plan.x_threads = threads[rng() % 4];
    plan.y_threads = plan.x_threads;
    plan.x_min_samples = rng() % 4 == 0 ? n + 1 : 1;
    plan.y_min_records = rng() % 4 == 0 ? n + 1 : 1;
    plan.head = head;
    return plan;
}

// How often each form answered (a form may give up on a seam it cannot settle).
struct Answers {
    int one_read = 0;
    int two_reads = 0;
    int any = 0;
};

// Holds both forms and the driver's choice against the stages; returns whether a strategy
// faster than the stages themselves answered.
template <typename T>
bool expect_same_turns(const std::vector<T>& x, const std::vector<T>& y, const ChunkPlan& plan,
                       Answers* answers = nullptr) {
    const TurningListPair<T> staged = staged_turns(x, y, plan);
    const auto check = [&](const std::optional<TurningListPair<T>>& turns, const char* form) {
        if (!turns) return false;
        EXPECT_TRUE(same_turns(staged, *turns))
            << form << ": threads " << plan.x_threads << ", x from " << plan.x_min_samples
            << ", y from " << plan.y_min_records << ", head " << plan.head << ", n " << x.size();
        return true;
    };
    const bool one = check(chunked_turns_one_read(view_of(x), view_of(y), plan), "one read");
    const bool two = check(chunked_turns_two_reads(view_of(x), view_of(y), plan), "two reads");
    const FoundTurns<T> found = find_turns(view_of(x), view_of(y), plan);
    check(found.lists, "the driver's choice");
    const bool any = found.strategy != Strategy::stored_lists;
    // With a sequential x stage the fused pass may answer where neither form does.
    EXPECT_TRUE(any || !(one || two));
    if (answers != nullptr) {
        answers->one_read += one;
        answers->two_reads += two;
        answers->any += any;
    }
    return any;
}

TYPED_TEST(ChunkedPassTest, MatchesTheChunkedStagesOnAdversarialPaths) {
    using T = TypeParam;
    std::mt19937_64 rng(41);
    Answers answers;
    for (int trial = 0; trial < 600; ++trial) {
        const std::size_t n = 1 + rng() % 400;
        const std::size_t head = trial % 3 == 0 ? 1 + rng() % 4 : 32;
        const auto x = adversarial_values<T>(rng, n);
        const auto y = adversarial_values<T>(rng, n);
        expect_same_turns(x, y, random_plan(rng, n, head), &answers);
        if (this->HasFailure()) {
            ADD_FAILURE() << "trial " << trial;
            return;
        }
    }
    // Giving up is for rare seams, not the common case.
    EXPECT_GT(answers.any, 450);
    EXPECT_GT(answers.one_read, 200);
    EXPECT_GT(answers.two_reads, 400);
}

TYPED_TEST(ChunkedPassTest, MatchesTheChunkedStagesOnQuietRasters) {
    using T = TypeParam;
    std::mt19937_64 rng(43);
    Answers answers;
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<T> x, y;
        raster<T>(rng, 4 + rng() % 12, x, y);
        expect_same_turns(x, y, random_plan(rng, x.size(), 32), &answers);
        if (this->HasFailure()) {
            ADD_FAILURE() << "trial " << trial;
            return;
        }
    }
    EXPECT_GT(answers.any, 190);
    EXPECT_GT(answers.one_read, 120);
    EXPECT_GT(answers.two_reads, 190);
}

// Seams that the join must settle: every record of a chunk fusing into the one before (all y
// equal), x seams fusing whole chunks (all x equal), and a direction that only flat steps
// carry across a seam.
TYPED_TEST(ChunkedPassTest, JoinsSeamsThatFuseOrCarry) {
    using T = TypeParam;
    const std::size_t n = 2000;
    std::vector<T> ramp(n), flat(n, T(3)), zigzag(n);
    for (std::size_t i = 0; i < n; ++i) {
        ramp[i] = static_cast<T>(i) * T(0.5);
        zigzag[i] = static_cast<T>((i / 40) % 2 ? 40 - i % 40 : i % 40);
    }
    std::vector<T> stairs(n);  // long flat treads: steps that carry the direction
    for (std::size_t i = 0; i < n; ++i) stairs[i] = static_cast<T>(i / 300);
    for (std::uint64_t threads : {2, 3, 7}) {
        ChunkPlan plan;
        plan.x_threads = plan.y_threads = threads;
        plan.x_min_samples = plan.y_min_records = 1;
        for (const auto& [x, y] :
             {std::pair{ramp, flat}, std::pair{flat, ramp}, std::pair{ramp, zigzag},
              std::pair{ramp, stairs}, std::pair{stairs, zigzag}}) {
            plan.head = 32;
            expect_same_turns(x, y, plan);
            plan.head = 1000;  // room for every seam here
            ASSERT_TRUE(expect_same_turns(x, y, plan));
        }
    }
}

// A sequential stage is walked in pieces too, cut only where its rule must open a run: paths
// that drift by fractions of the tolerance, where a cut anywhere else would split a run.
TYPED_TEST(ChunkedPassTest, CutsSequentialStagesOnlyWhereARunMustOpen) {
    using T = TypeParam;
    const T tol = testing::eps<T>;
    const std::size_t n = 3000;
    std::vector<T> drift(n), ramp(n), fine_zigzag(n);
    for (std::size_t i = 0; i < n; ++i) {
        drift[i] = static_cast<T>(i % 9) * T(0.45) * tol + static_cast<T>(i / 450);
        ramp[i] = static_cast<T>(i) * T(0.25);
        fine_zigzag[i] = static_cast<T>(i % 11 < 6 ? i % 11 : 11 - i % 11) * T(0.9) * tol;
    }
    for (std::uint64_t threads : {2, 3, 7}) {
        ChunkPlan plan;
        plan.x_threads = plan.y_threads = threads;
        plan.x_min_samples = plan.y_min_records = n + 1;
        plan.head = 1000;
        for (const auto& [x, y] : {std::pair{drift, ramp}, std::pair{ramp, drift},
                                   std::pair{ramp, fine_zigzag}, std::pair{fine_zigzag, ramp}}) {
            ASSERT_TRUE(expect_same_turns(x, y, plan));
        }
    }
}

}  // namespace
}  // namespace vorlane
