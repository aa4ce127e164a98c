#include <cmath>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <omp.h>

#include <morvex/engine.hpp>

#include "engine/recovery_rules.h"
#include "support/engine_access.h"
#include "support/speckle_pair.h"

namespace {

using morvex::dic::DICConfig;
using morvex::dic::DICEngine;
using morvex::dic::DICResult;
using morvex::test::EngineAccess;
namespace rules = morvex::dic::detail;

// ---------------------------------------------------------------------------------------
// The rules on their own.

struct ChoiceCase {
    std::int64_t valid_count;
    std::int64_t n;
    bool integer_initialization;
    bool global_retry;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.valid_count << " of " << c.n << (c.integer_initialization ? "" : " no-integer-search");
}

class RecoveryChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(RecoveryChoice, GlobalRetryOnlyBelowThirtyPercent) {
    const ChoiceCase c = GetParam();
    EXPECT_EQ(rules::prefers_global_retry(c.valid_count, c.n, c.integer_initialization),
              c.global_retry);
}

INSTANTIATE_TEST_SUITE_P(Table, RecoveryChoice,
                         ::testing::Values(ChoiceCase{1228, 4096, true, true},
                                           ChoiceCase{1229, 4096, true, false},
                                           ChoiceCase{3, 10, true, false},  // exactly 30 %
                                           ChoiceCase{2, 10, true, true},
                                           ChoiceCase{0, 10, false, false}));

TEST(RecoveryCandidates, NeedThreeValidNeighbours) {
    const std::vector<std::uint8_t> three = {1, 1, 0,  //
                                             1, 0, 0,  //
                                             0, 0, 0};
    const auto with_three = rules::recovery_candidates(three, 3, 3);
    ASSERT_EQ(with_three.size(), 1u);
    EXPECT_EQ(with_three[0], (rules::RecoveryCandidate{3, 4}));
    const std::vector<std::uint8_t> two = {1, 1, 0,  //
                                           0, 0, 0,  //
                                           0, 0, 0};
    EXPECT_TRUE(rules::recovery_candidates(two, 3, 3).empty());
}

TEST(RecoveryCandidates, BestConnectedFirstThenAscendingIndex) {
    // Index 2 has three valid neighbours, 5 and 6 have six each.
    const std::vector<std::uint8_t> valid = {1, 1, 0, 1,  //
                                             1, 0, 0, 1,  //
                                             1, 1, 1, 1};
    const auto ordered = rules::recovery_candidates(valid, 3, 4);
    const std::vector<rules::RecoveryCandidate> expected = {{6, 5}, {6, 6}, {3, 2}};
    EXPECT_EQ(ordered, expected);
}

struct MedianCase {
    std::vector<double> values;
    double expected;
};

void PrintTo(const MedianCase& c, std::ostream* os) {
    for (std::size_t i = 0; i < c.values.size(); ++i) *os << (i ? "," : "") << c.values[i];
}

class RecoveryMedian : public ::testing::TestWithParam<MedianCase> {};

TEST_P(RecoveryMedian, TakesRankHalfTheCount) {
    MedianCase c = GetParam();
    EXPECT_EQ(rules::median_rank_value(c.values.data(), static_cast<int>(c.values.size())),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, RecoveryMedian,
                         ::testing::Values(MedianCase{{1.0, 2.0, 3.0, 4.0}, 3.0},  // upper middle
                                           MedianCase{{1.0, 5.0, 2.0}, 2.0},
                                           MedianCase{{4.0, 3.0, 2.0, 1.0, 0.5, -1.0, 8.0, 7.0},
                                                      3.0},
                                           MedianCase{{-2.5}, -2.5}));

struct BudgetCase {
    std::int64_t n;
    int passes;
    std::int64_t budget;
};

void PrintTo(const BudgetCase& c, std::ostream* os) {
    *os << "n=" << c.n;
}

class RecoveryBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(RecoveryBudget, FollowsGridSize) {
    const BudgetCase c = GetParam();
    const rules::RecoveryLimits limits = rules::recovery_limits(c.n);
    EXPECT_EQ(limits.max_passes, c.passes);
    EXPECT_EQ(limits.budget, c.budget);
}

INSTANTIATE_TEST_SUITE_P(Table, RecoveryBudget,
                         ::testing::Values(BudgetCase{4096, 24, 98304},
                                           BudgetCase{20000, 24, 480000},
                                           BudgetCase{20001, 3, 12000}));

TEST(RecoveryStopRule, EndsBelowFivePercentOrWithNothingMerged) {
    EXPECT_TRUE(rules::recovery_stalls(1, 40));   // 20 * 1 < 40
    EXPECT_FALSE(rules::recovery_stalls(2, 40));  // 20 * 2 = 40: keeps going
    EXPECT_TRUE(rules::recovery_stalls(0, 3));
    EXPECT_FALSE(rules::recovery_stalls(1, 1));
}

// ---------------------------------------------------------------------------------------
// The passes on hand-made first-pass results.

constexpr int kImageSize = 150;
constexpr int kGridOrigin = 40;
constexpr int kGridStep = 7;
constexpr int kUntouched = -7;  // iteration count no pass ever writes

DICResult first_pass_result(int rows, int cols, const std::vector<std::uint8_t>& valid) {
    DICResult r;
    r.rows = rows;
    r.cols = cols;
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    r.u.assign(n, 0.0);
    r.v.assign(n, 0.0);
    r.exx.assign(n, 0.0);
    r.eyy.assign(n, 0.0);
    r.exy.assign(n, 0.0);
    r.confidence.assign(n, 0.0);
    r.iterations.assign(n, kUntouched);
    r.valid = valid;
    for (int row = 0; row < rows; ++row)
        for (int col = 0; col < cols; ++col)
            r.points.push_back({kGridOrigin + row * kGridStep, kGridOrigin + col * kGridStep});
    return r;
}

DICConfig tracking_config() {
    DICConfig config;
    config.use_tracking_simplex = true;
    return config;
}

int count_valid(const DICResult& r) {
    int count = 0;
    for (std::uint8_t flag : r.valid) count += flag;
    return count;
}

struct PathCase {
    int valid_count;  // first rows valid, row by row
    bool integer_initialization;
    bool expect_global_retry;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.valid_count << " valid" << (c.integer_initialization ? "" : " no-integer-search");
}

class RecoveryPath : public ::testing::TestWithParam<PathCase> {};

// Identical images: both paths rescue every point. The spatial passes never touch a valid
// point, while the global retry overwrites every valid point it accepts again.
TEST_P(RecoveryPath, ChoosesByValidShare) {
    const PathCase c = GetParam();
    const auto images = morvex::test::speckle_pair(kImageSize, kImageSize, 0.0, 0.0);
    std::vector<std::uint8_t> valid(100, 0);
    for (int i = 0; i < c.valid_count; ++i) valid[static_cast<std::size_t>(i)] = 1;
    DICResult result = first_pass_result(10, 10, valid);
    DICConfig config = tracking_config();
    config.tracking_integer_initialization = c.integer_initialization;
    DICEngine engine;
    EngineAccess::recover(engine, images.reference, images.deformed, config, result);

    EXPECT_EQ(count_valid(result), 100);
    const bool first_valid_overwritten = result.iterations[0] != kUntouched;
    EXPECT_EQ(first_valid_overwritten, c.expect_global_retry);
    for (std::size_t i = 0; i < 100; ++i) {
        EXPECT_NEAR(result.u[i], 0.0, 0.01) << i;
        EXPECT_NEAR(result.v[i], 0.0, 0.01) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RecoveryPath,
                         ::testing::Values(PathCase{30, true, false},  // exactly 30 %: spatial
                                           PathCase{29, true, true},   // below: global retry
                                           PathCase{29, false,
                                                    false}));  // no integer search allowed

TEST(RecoveryGlobalRetry, KeepsPointsWhoseRetryIsRejected) {
    const auto images = morvex::test::speckle_pair(kImageSize, kImageSize, 0.0, 0.0);
    std::vector<std::uint8_t> valid(100, 0);
    valid[3] = 1;
    DICResult result = first_pass_result(10, 10, valid);
    result.u[3] = 0.25;
    DICConfig config = tracking_config();
    config.tracking_min_zncc = 1.5;  // no ZNCC reaches it: every retry is rejected
    DICEngine engine;
    EngineAccess::retry_globally(engine, images.reference, images.deformed, config, result);
    EXPECT_EQ(count_valid(result), 1);
    EXPECT_EQ(result.u[3], 0.25);
    EXPECT_EQ(result.iterations[3], kUntouched);
}

// An exception inside a parallel pass (here the integer search refusing a single-precision
// image) must reach the caller as that exception, not end the process.
TEST(RecoveryGlobalRetry, ErrorInParallelPassIsRethrown) {
    const auto images = morvex::test::speckle_pair(kImageSize, kImageSize, 0.0, 0.0);
    cv::Mat single_precision;
    images.deformed.convertTo(single_precision, CV_32F);
    DICResult result = first_pass_result(11, 11, std::vector<std::uint8_t>(121, 0));  // > 100
    DICEngine engine;
    EXPECT_THROW(EngineAccess::retry_globally(engine, images.reference, single_precision,
                                              tracking_config(), result),
                 std::invalid_argument);
}

TEST(RecoverySpatial, ThreeValidNeighboursRescueAPointTwoDoNot) {
    const auto images = morvex::test::speckle_pair(kImageSize, kImageSize, 0.6, -0.4);
    DICConfig run_config = tracking_config();
    run_config.tracking_integer_initialization = false;
    DICEngine engine;

    DICResult two = first_pass_result(3, 3, {1, 1, 0, 0, 0, 0, 0, 0, 0});
    EngineAccess::recover_spatially(engine, images.reference, images.deformed, run_config, two);
    EXPECT_EQ(count_valid(two), 2);

    DICResult three = first_pass_result(3, 3, {1, 1, 0, 1, 0, 0, 0, 0, 0});
    EngineAccess::recover_spatially(engine, images.reference, images.deformed, run_config, three);
    EXPECT_EQ(three.valid[4], 1);
    EXPECT_NEAR(three.u[4], 0.6, 0.01);
    EXPECT_NEAR(three.v[4], -0.4, 0.01);
    EXPECT_NE(three.iterations[4], kUntouched);
    EXPECT_NEAR(three.confidence[4], 1.0, 1e-3);
}

TEST(RecoverySpatial, CancelledRecoveryChangesNothing) {
    const auto images = morvex::test::speckle_pair(kImageSize, kImageSize, 0.0, 0.0);
    std::vector<std::uint8_t> valid(100, 0);
    for (int i = 0; i < 50; ++i) valid[static_cast<std::size_t>(i)] = 1;
    DICResult result = first_pass_result(10, 10, valid);
    DICEngine engine;
    engine.cancel();
    EngineAccess::recover(engine, images.reference, images.deformed, tracking_config(), result);
    EXPECT_EQ(count_valid(result), 50);
    for (int it : result.iterations) EXPECT_EQ(it, kUntouched);
}

// Candidates read only the pass's snapshots, so the outcome must not depend on how many
// threads share the work. Every other grid row starts valid, giving well over 100
// candidates (the parallel threshold) in the first pass.
TEST(RecoverySpatial, ResultsIndependentOfThreadCount) {
    constexpr int kRows = 16;
    constexpr int kCols = 16;
    const int size = kGridOrigin * 2 + (kCols - 1) * kGridStep;
    const auto images =
        morvex::test::speckle_pair(size, size, 0.3, 0.1, 0.015, size / 2.0, size / 2.0);
    std::vector<std::uint8_t> valid(kRows * kCols, 0);
    DICResult seed = first_pass_result(kRows, kCols, valid);
    for (int r = 0; r < kRows; r += 2) {
        for (int c = 0; c < kCols; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * kCols + c;
            seed.valid[i] = 1;
            seed.u[i] = 0.3 + 0.01 * c;  // distinct starts, so the medians matter
            seed.v[i] = 0.1 - 0.01 * r;
        }
    }
    DICConfig run_config = tracking_config();
    run_config.tracking_integer_initialization = false;
    DICEngine engine;

    const int saved_threads = omp_get_max_threads();
    DICResult one = seed;
    omp_set_num_threads(1);
    EngineAccess::recover_spatially(engine, images.reference, images.deformed, run_config, one);
    DICResult two = seed;
    omp_set_num_threads(2);
    EngineAccess::recover_spatially(engine, images.reference, images.deformed, run_config, two);
    omp_set_num_threads(saved_threads);

    EXPECT_GT(count_valid(one), kRows * kCols / 2 + 100);
    EXPECT_EQ(one.valid, two.valid);
    EXPECT_EQ(one.u, two.u);
    EXPECT_EQ(one.v, two.v);
    EXPECT_EQ(one.confidence, two.confidence);
    EXPECT_EQ(one.iterations, two.iterations);
}

// ---------------------------------------------------------------------------------------
// Through a whole run: a 12 px shift lies beyond the 8 px jump tolerance of a search that
// starts at (0, 0), so the first pass keeps (almost) nothing and the global retry with the
// integer search finds the shift.
TEST(RecoveryRun, GlobalRetryFindsTwelvePixelShift) {
    const auto images = morvex::test::speckle_pair(160, 160, 12.0, 0.0);
    DICConfig config = tracking_config();
    DICEngine engine;
    const DICResult result = engine.run(images.reference, images.deformed, config);
    ASSERT_EQ(result.rows, 13);  // margin 14 + 21 = 35: centres 35 .. 119
    ASSERT_EQ(result.cols, 13);
    EXPECT_EQ(count_valid(result), 169);
    for (std::size_t i = 0; i < result.u.size(); ++i) {
        if (!result.valid[i]) continue;
        EXPECT_NEAR(result.u[i], 12.0, 0.01) << i;
        EXPECT_NEAR(result.v[i], 0.0, 0.01) << i;
    }
}

}  // namespace
