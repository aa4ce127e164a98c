#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <ostream>
#include <random>

#include <gtest/gtest.h>

#include <morvex/engine.hpp>
#include <morvex/znssd.hpp>

#include "matching/simplex.h"
#include "matching/subset_znssd.h"
#include "support/engine_access.h"
#include "support/speckle_pair.h"

namespace {

using morvex::dic::DICConfig;
using morvex::dic::DICEngine;
using morvex::dic::PointResult;
using morvex::dic::WarpParams;
using morvex::test::EngineAccess;
using morvex::test::speckle_pair;

constexpr int kSize = 120;
constexpr int kCentre = 60;

// ---------------------------------------------------------------------------------------
// The per-point evaluator must give exactly compute_znssd's values, or the fast simplex
// would walk a different path than the documented one.

struct EvaluatorCase {
    int subset_size;
    bool use_bicubic;
    int y;
    int x;
};

void PrintTo(const EvaluatorCase& c, std::ostream* os) {
    *os << "subset=" << c.subset_size << (c.use_bicubic ? " bicubic" : " bilinear") << " y=" << c.y
        << " x=" << c.x;
}

class SubsetZnssdMatchesCriterion : public ::testing::TestWithParam<EvaluatorCase> {};

TEST_P(SubsetZnssdMatchesCriterion, BitForBitOnRandomWarps) {
    const EvaluatorCase c = GetParam();
    const auto images = speckle_pair(kSize, kSize, 0.4, -0.7, 0.02, kCentre, kCentre);
    morvex::dic::detail::SubsetZnssd evaluator(images.reference, images.deformed, c.y, c.x,
                                               c.subset_size, c.use_bicubic);
    std::mt19937 rng(11);
    auto uniform = [&rng](double lo, double hi) {
        return lo + (hi - lo) * (static_cast<double>(rng()) / 4294967296.0);
    };
    int evaluated = 0;
    for (int trial = 0; trial < 200; ++trial) {
        WarpParams warp;
        if (trial % 2 == 0) {
            warp = morvex::dic::detail::rigid_rotation_warp(uniform(-4, 4), uniform(-4, 4),
                                                            uniform(-0.3, 0.3));
        } else {
            warp.u = uniform(-4, 4);
            warp.v = uniform(-4, 4);
            warp.du_dx = uniform(-0.1, 0.1);
            warp.dv_dx = uniform(-0.1, 0.1);
            warp.du_dy = uniform(-0.1, 0.1);
            warp.dv_dy = uniform(-0.1, 0.1);
        }
        const double expected = morvex::dic::compute_znssd(images.reference, images.deformed, c.y,
                                                           c.x, warp, c.subset_size, c.use_bicubic);
        const double actual = evaluator(warp);
        if (expected != morvex::dic::kZnssdUnavailable) ++evaluated;
        // Exact equality: not even one ulp of difference is allowed.
        ASSERT_EQ(std::memcmp(&expected, &actual, sizeof(double)), 0)
            << "trial " << trial << ": " << expected << " vs " << actual;
    }
    if (c.y > 20 && c.y < kSize - 20) {
        EXPECT_GT(evaluated, 100);  // the interior cases really compare numbers, not 2.0
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubsetZnssdMatchesCriterion,
    ::testing::Values(EvaluatorCase{29, true, kCentre, kCentre},
                      EvaluatorCase{29, false, kCentre, kCentre},
                      EvaluatorCase{20, true, 45, 70},    // even size is made odd
                      EvaluatorCase{3, true, 40, 50},     // shorter than one 4-wide step
                      EvaluatorCase{21, true, 12, 13},    // clamped kernel taps, rejections
                      EvaluatorCase{11, false, 3, 60},    // reference rows outside read as 0
                      EvaluatorCase{15, true, 116, 5}));  // subset leaves the reference

TEST(SubsetZnssd, UnavailableCasesGiveTwo) {
    const auto images = speckle_pair(kSize, kSize, 0.0, 0.0);
    morvex::dic::detail::SubsetZnssd evaluator(images.reference, images.deformed, kCentre, kCentre,
                                               29, true);
    EXPECT_EQ(evaluator(morvex::dic::detail::rigid_rotation_warp(200.0, 0.0, 0.0)), 2.0);
    EXPECT_EQ(evaluator(morvex::dic::detail::rigid_rotation_warp(
                  std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0)),
              2.0);
    const cv::Mat flat(kSize, kSize, CV_64FC1, cv::Scalar(7.0));
    morvex::dic::detail::SubsetZnssd flat_reference(flat, images.deformed, kCentre, kCentre, 29,
                                                    true);
    EXPECT_EQ(flat_reference(morvex::dic::detail::rigid_rotation_warp(0.3, 0.2, 0.01)), 2.0);
}

// ---------------------------------------------------------------------------------------
// The simplex.

DICConfig tracking_config() {
    DICConfig config;
    config.use_tracking_simplex = true;
    config.search_range = 8;
    return config;
}

TEST(TrackingSimplex, RecoversSubPixelTranslationFromIntegerPeak) {
    constexpr double kTolerance = 0.01;  // px; analytic images carry no resampling error
    const auto images = speckle_pair(kSize, kSize, 3.3, -1.15);
    DICEngine engine;
    const PointResult r = EngineAccess::simplex(engine, images.reference, images.deformed, kCentre,
                                                kCentre, tracking_config());
    EXPECT_TRUE(r.valid);
    EXPECT_TRUE(r.converged);
    EXPECT_NEAR(r.u, 3.3, kTolerance);
    EXPECT_NEAR(r.v, -1.15, kTolerance);
    EXPECT_GT(r.zncc, 0.99);
    EXPECT_EQ(r.y, kCentre);
    EXPECT_EQ(r.x, kCentre);
}

// With an integer peak at (5, -3) the first steps are 0.1 px, each signed downhill. With
// one iteration allowed, the result is the best initial slot, which exposes the choice.
struct SlotCase {
    double true_u;
    double true_v;
    double expected_u;
    double expected_v;
};

void PrintTo(const SlotCase& c, std::ostream* os) {
    *os << "u=" << c.true_u << " v=" << c.true_v;
}

class TrackingSimplexInitialSlots : public ::testing::TestWithParam<SlotCase> {};

TEST_P(TrackingSimplexInitialSlots, StepSignFollowsLowerObjective) {
    const SlotCase c = GetParam();
    const auto images = speckle_pair(kSize, kSize, c.true_u, c.true_v);
    DICConfig config = tracking_config();
    config.robust_max_iterations = 1;
    DICEngine engine;
    const PointResult r =
        EngineAccess::simplex(engine, images.reference, images.deformed, kCentre, kCentre, config);
    EXPECT_DOUBLE_EQ(r.u, c.expected_u);
    EXPECT_DOUBLE_EQ(r.v, c.expected_v);
    EXPECT_EQ(r.iterations, 1);
}

INSTANTIATE_TEST_SUITE_P(Signs, TrackingSimplexInitialSlots,
                         ::testing::Values(SlotCase{5.07, -3.0, 5.0 + 0.1, -3.0},
                                           SlotCase{4.93, -3.0, 5.0 - 0.1, -3.0},
                                           SlotCase{5.0, -2.93, 5.0, -3.0 + 0.1},
                                           SlotCase{5.0, -3.07, 5.0, -3.0 - 0.1}));

TEST(TrackingSimplex, WithoutIntegerSearchStartsAtSearchCentreWithFullSteps) {
    // True shift (3, 0), centre (2, 0): slot 1 = (2 + 1.0, 0) is the exact match.
    const auto images = speckle_pair(kSize, kSize, 3.0, 0.0);
    DICConfig config = tracking_config();
    config.tracking_integer_initialization = false;
    config.search_center_u = 2;
    config.robust_max_iterations = 1;
    DICEngine engine;
    const PointResult r =
        EngineAccess::simplex(engine, images.reference, images.deformed, kCentre, kCentre, config);
    EXPECT_DOUBLE_EQ(r.u, 3.0);
    EXPECT_DOUBLE_EQ(r.v, 0.0);
    EXPECT_NEAR(r.znssd, 0.0, 1e-9);
}

TEST(TrackingSimplex, GivenStartIsUsedUnroundedEvenAfterSearch) {
    // The integer search finds u = 5; the given 3.7 must still be the start.
    const auto images = speckle_pair(kSize, kSize, 5.0, 0.0);
    DICConfig config = tracking_config();
    config.robust_max_iterations = 1;
    DICEngine engine;
    const PointResult r = EngineAccess::simplex(engine, images.reference, images.deformed, kCentre,
                                                kCentre, config, 3.7, 0.0);
    EXPECT_LE(std::fabs(r.u - 3.7), 0.1 + 1e-12);  // slot 0 or its 0.1 px neighbours
    EXPECT_LE(std::fabs(r.v), 0.1 + 1e-12);
}

class TrackingSimplexIterationLimit : public ::testing::TestWithParam<int> {};

TEST_P(TrackingSimplexIterationLimit, LimitsBelowTwoTakeNoStep) {
    const auto images = speckle_pair(kSize, kSize, 0.3, 0.2);
    DICConfig config = tracking_config();
    config.robust_max_iterations = GetParam();
    DICEngine engine;
    const PointResult r =
        EngineAccess::simplex(engine, images.reference, images.deformed, kCentre, kCentre, config);
    EXPECT_EQ(r.iterations, 1);
    EXPECT_TRUE(r.converged);
    // Best of the initial slots around the integer peak (0, 0).
    EXPECT_LE(std::fabs(r.u), 0.1 + 1e-12);
    EXPECT_LE(std::fabs(r.v), 0.1 + 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Limits, TrackingSimplexIterationLimit, ::testing::Values(-3, 0, 1));

// Jump tolerances: the measurement is returned either way; validity says whether it stayed
// near its start.
struct JumpCase {
    double true_u;
    double true_angle;
    double start_u;
    double disp_tolerance;
    double theta_tolerance;
    bool valid;
};

void PrintTo(const JumpCase& c, std::ostream* os) {
    *os << "u=" << c.true_u << " angle=" << c.true_angle << " start_u=" << c.start_u
        << " disp_tol=" << c.disp_tolerance << " theta_tol=" << c.theta_tolerance;
}

class TrackingSimplexJumpTolerance : public ::testing::TestWithParam<JumpCase> {};

TEST_P(TrackingSimplexJumpTolerance, DecidesValidityOnly) {
    const JumpCase c = GetParam();
    const auto images = speckle_pair(kSize, kSize, c.true_u, 0.0, c.true_angle, kCentre, kCentre);
    DICConfig config = tracking_config();
    config.tracking_integer_initialization = false;
    config.disp_jump_tolerance = c.disp_tolerance;
    config.theta_jump_tolerance = c.theta_tolerance;
    DICEngine engine;
    const PointResult r = EngineAccess::simplex(engine, images.reference, images.deformed, kCentre,
                                                kCentre, config, c.start_u, 0.0);
    EXPECT_EQ(r.valid, c.valid);
    EXPECT_TRUE(r.converged);
    EXPECT_NEAR(r.u, c.true_u, 0.02);
    EXPECT_NEAR(r.v, 0.0, 0.02);
    EXPECT_GT(r.zncc, 0.99);
}

INSTANTIATE_TEST_SUITE_P(Cases, TrackingSimplexJumpTolerance,
                         ::testing::Values(JumpCase{3.0, 0.0, 2.6, 0.2, 0.1, false},
                                           JumpCase{3.0, 0.0, 2.6, 0.5, 0.1, true},
                                           JumpCase{0.0, 0.05, 0.0, 8.0, 0.03, false},
                                           JumpCase{0.0, 0.05, 0.0, 8.0, 0.1, true}));

// A subset that cannot be evaluated scores 2.0 everywhere. Without an integer peak the
// tolerance test ends the search at once; with one, the size test never passes and the
// simplex runs to its limit.
TEST(TrackingSimplex, FlatObjectiveWithoutPeakEndsInFirstIteration) {
    const cv::Mat flat(kSize, kSize, CV_64FC1, cv::Scalar(80.0));
    DICConfig config = tracking_config();
    config.tracking_integer_initialization = false;
    config.search_center_u = 1;
    DICEngine engine;
    const PointResult r = EngineAccess::simplex(engine, flat, flat, kCentre, kCentre, config);
    EXPECT_EQ(r.iterations, 0);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.znssd, 2.0);
    EXPECT_EQ(r.zncc, 0.0);
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.u, 1.0);  // ties go to the later slot: slot 3 keeps the start's translation
    EXPECT_EQ(r.v, 0.0);
}

TEST(TrackingSimplex, FlatObjectiveWithPeakRunsToLimit) {
    const cv::Mat flat(kSize, kSize, CV_64FC1, cv::Scalar(80.0));
    DICConfig config = tracking_config();
    config.robust_max_iterations = 40;
    DICEngine engine;
    const PointResult r = EngineAccess::simplex(engine, flat, flat, kCentre, kCentre, config);
    EXPECT_EQ(r.iterations, 40);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.znssd, 2.0);
    EXPECT_EQ(r.zncc, 0.0);
    EXPECT_TRUE(r.valid);
}

TEST(TrackingSimplex, NanImageGivesInvalidPoint) {
    const auto images = speckle_pair(kSize, kSize, 0.0, 0.0);
    const cv::Mat nan_image(kSize, kSize, CV_64FC1,
                            cv::Scalar(std::numeric_limits<double>::quiet_NaN()));
    DICConfig config = tracking_config();
    config.tracking_integer_initialization = false;
    config.robust_max_iterations = 30;
    DICEngine engine;
    const PointResult r =
        EngineAccess::simplex(engine, images.reference, nan_image, kCentre, kCentre, config);
    EXPECT_FALSE(r.valid);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.iterations, 30);
}

}  // namespace
