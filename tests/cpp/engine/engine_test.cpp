#include <climits>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/engine.hpp>
#include <morvex/synthesis.hpp>

#include "engine/grid.h"
#include "support/engine_access.h"

namespace morvex::dic {
namespace {

using morvex::test::EngineAccess;

cv::Mat speckle(int rows, int cols) {
    return generate_speckle(rows, cols, 3, 0.6, 20240611u);
}

// ---------------------------------------------------------------------------------------
// Grid geometry

struct GridCase {
    const char* name;
    int image_rows, image_cols;
    DICConfig config;
    std::size_t count;  // expected number of points
    int first_y, first_x, last_y, last_x, rows, cols;
};

DICConfig roi(int x0, int y0, int x1, int y1) {
    DICConfig c;
    c.roi_x0 = x0;
    c.roi_y0 = y0;
    c.roi_x1 = x1;
    c.roi_y1 = y1;
    return c;
}

DICConfig tracking_without_search() {
    DICConfig c;
    c.use_tracking_simplex = true;
    c.tracking_integer_initialization = false;
    return c;
}

class GridGeometry : public ::testing::TestWithParam<GridCase> {};

TEST_P(GridGeometry, PlacesCentresRowByRow) {
    const GridCase& tc = GetParam();
    const DICEngine engine;
    const cv::Mat image(tc.image_rows, tc.image_cols, CV_64FC1, cv::Scalar(0.0));
    const std::vector<Point2D> grid = EngineAccess::grid(engine, image, tc.config);
    ASSERT_EQ(grid.size(), tc.count);
    if (grid.empty()) return;
    EXPECT_EQ(grid.front().y, tc.first_y);
    EXPECT_EQ(grid.front().x, tc.first_x);
    EXPECT_EQ(grid.back().y, tc.last_y);
    EXPECT_EQ(grid.back().x, tc.last_x);
    // Row by row: x runs fastest.
    if (grid.size() > 1 && tc.cols > 1) {
        EXPECT_EQ(grid[1].y, tc.first_y);
        EXPECT_EQ(grid[1].x, tc.first_x + tc.config.step);
    }
    const detail::GridShape shape = detail::grid_shape(grid, tc.config.step);
    EXPECT_EQ(shape.rows, tc.rows);
    EXPECT_EQ(shape.cols, tc.cols);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, GridGeometry,
    ::testing::Values(
        GridCase{"WholeImageDefault", 512, 512, DICConfig{}, 4096, 35, 35, 476, 476, 64, 64},
        GridCase{"RegionOfInterest", 512, 512, roi(100, 50, 300, 200), 228, 85, 135, 162, 261, 12,
                 19},
        GridCase{"ImageOneShortOfTwoMargins", 70, 200, DICConfig{}, 0, 0, 0, 0, 0, 0, 0},
        GridCase{"ImageOfExactlyTwoMarginsPlusOne", 71, 71, DICConfig{}, 1, 35, 35, 35, 35, 1, 1},
        GridCase{"SingleColumn", 512, 512, roi(100, 0, 170, 300), 33, 35, 135, 259, 135, 33, 1},
        GridCase{"TrackingWithoutSearchUsesFullSubset", 512, 512, tracking_without_search(), 4225,
                 29, 29, 477, 477, 65, 65},
        // x1 == x0 is no region: the whole image is used.
        GridCase{"EmptyRegionWidthMeansWholeImage", 512, 512, roi(10, 10, 10, 300), 4096, 35, 35,
                 476, 476, 64, 64},
        // A region beyond the image is kept as given.
        GridCase{"RegionBeyondImageNotClipped", 100, 100, roi(0, 0, 170, 70), 15, 35, 35, 35, 133,
                 1, 15},
        GridCase{"EmptyImage", 0, 0, DICConfig{}, 0, 0, 0, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<GridCase>& case_info) {
        return std::string(case_info.param.name);
    });

TEST(GridShape, PointsThatDoNotFillTheirRectangleBecomeOneColumn) {
    const std::vector<Point2D> ragged = {{0, 0}, {0, 7}, {7, 0}};
    const detail::GridShape shape = detail::grid_shape(ragged, 7);
    EXPECT_EQ(shape.rows, 3);
    EXPECT_EQ(shape.cols, 1);
}

// Margins and grid bounds of these configurations overflow 32-bit arithmetic.
struct ExtremeCase {
    const char* name;
    DICConfig config;
};

DICConfig extreme(int subset_size, int search_range, int x0, int x1) {
    DICConfig c = roi(x0, 0, x1, 511);
    c.subset_size = subset_size;
    c.search_range = search_range;
    return c;
}

class GridOverflow : public ::testing::TestWithParam<ExtremeCase> {};

TEST_P(GridOverflow, ExtremeValuesGiveAnEmptyGrid) {
    const DICEngine engine;
    const cv::Mat image(512, 512, CV_64FC1, cv::Scalar(0.0));
    EXPECT_TRUE(EngineAccess::grid(engine, image, GetParam().config).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Engine, GridOverflow,
    ::testing::Values(ExtremeCase{"SubsetSizeIntMax", extreme(INT_MAX, 21, -1, -1)},
                      ExtremeCase{"SearchRangeIntMax", extreme(29, INT_MAX, -1, -1)},
                      ExtremeCase{"BothIntMax", extreme(INT_MAX, INT_MAX, -1, -1)},
                      ExtremeCase{"RegionAtIntMax", extreme(29, 21, INT_MAX - 60, INT_MAX)}),
    [](const ::testing::TestParamInfo<ExtremeCase>& case_info) {
        return std::string(case_info.param.name);
    });

TEST(GridOverflow, RegionEndingAtIntMaxKeepsItsLastCentres) {
    const DICEngine engine;
    const cv::Mat image(512, 512, CV_64FC1, cv::Scalar(0.0));
    const std::vector<Point2D> grid =
        EngineAccess::grid(engine, image, extreme(29, 21, INT_MAX - 100, INT_MAX));
    ASSERT_FALSE(grid.empty());
    EXPECT_EQ(grid.front().x, INT_MAX - 65);
    EXPECT_LE(grid.back().x, INT_MAX - 35);
}

TEST(GridOverflow, UnrepresentableGridsAreRejected) {
    const DICEngine engine;
    const cv::Mat image(512, 512, CV_64FC1, cv::Scalar(0.0));
    DICConfig huge = roi(0, 0, INT_MAX, INT_MAX);  // about 9e16 points
    EXPECT_THROW(EngineAccess::grid(engine, image, huge), std::invalid_argument);
    DICConfig outside = extreme(29, INT_MIN, -1, -1);  // centres from about -2^31 to 2^31
    outside.step = INT_MAX;
    EXPECT_THROW(EngineAccess::grid(engine, image, outside), std::invalid_argument);
}

// ---------------------------------------------------------------------------------------
// Run: argument checks, empty grids, result layout

TEST(EngineRun, StepBelowOneIsRejectedBeforeAnyWork) {
    DICEngine engine;
    int calls = 0;
    engine.progress_callback = [&calls](int, int) { ++calls; };
    const cv::Mat image = speckle(128, 128);
    for (int step : {0, -7}) {
        DICConfig config;
        config.step = step;
        try {
            engine.run(image, image, config);
            FAIL() << "step " << step << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()),
                      "DICConfig::step must be at least 1, got " + std::to_string(step));
        }
    }
    EXPECT_EQ(calls, 0);
}

TEST(EngineRun, NegativeStrainWindowIsRejectedBeforeAnyWork) {
    DICEngine engine;
    DICConfig config;
    config.strain_window = -1;
    const cv::Mat image = speckle(128, 128);
    EXPECT_THROW(engine.run(image, image, config), std::invalid_argument);
    config.compute_strain = false;  // the window is then never used
    EXPECT_NO_THROW(engine.run(image, image, config));
}

// Found by property testing: a search range of -3258 made the margin -3237, so a 30 x 18
// image got a grid of about ten million points around it (minutes of work; more negative
// ranges exhausted the memory). A negative margin is refused before any work; a negative
// range that leaves the margin at 0 or more still runs.
struct MarginCase {
    const char* name;
    int subset_size;
    int search_range;
    bool tracking_without_search;  // the margin is then subset_size alone
    const char* refusal;           // nullptr: the run goes ahead
};

class NegativeMargin : public ::testing::TestWithParam<MarginCase> {};

TEST_P(NegativeMargin, IsRefusedBeforeAnyWork) {
    const MarginCase& m = GetParam();
    DICConfig config;
    config.subset_size = m.subset_size;
    config.search_range = m.search_range;
    config.use_tracking_simplex = m.tracking_without_search;
    config.tracking_integer_initialization = !m.tracking_without_search;
    config.step = 9;
    const cv::Mat image = speckle(30, 18);
    DICEngine engine;
    if (m.refusal == nullptr) {
        EXPECT_NO_THROW(engine.run(image, image, config));
        return;
    }
    try {
        engine.run(image, image, config);
        FAIL() << "margin accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), m.refusal);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EngineRun, NegativeMargin,
    ::testing::Values(
        MarginCase{"FarNegativeRange", 43, -3258, false,
                   "DICConfig: the grid margin must not be negative, got -3237 (subset_size = 43, "
                   "search_range = -3258)"},
        MarginCase{"NegativeSubset", -5, 0, false,
                   "DICConfig: the grid margin must not be negative, got -2 (subset_size = -5, "
                   "search_range = 0)"},
        MarginCase{"NegativeSubsetWhileTracking", -1, 21, true,
                   "DICConfig: the grid margin must not be negative, got -1 (subset_size = -1, "
                   "search_range = 21)"},
        MarginCase{"RangeCancellingHalfTheSubset", 29, -14, false, nullptr},
        MarginCase{"RangeUnusedWhileTracking", 5, -100, true, nullptr}),
    [](const ::testing::TestParamInfo<MarginCase>& case_info) {
        return std::string(case_info.param.name);
    });

TEST(EngineRun, EmptyImageGivesEmptyResult) {
    DICEngine engine;
    int calls = 0;
    engine.progress_callback = [&calls](int, int) { ++calls; };
    const DICResult result = engine.run(cv::Mat(), cv::Mat(), DICConfig{});
    EXPECT_EQ(result.rows, 0);
    EXPECT_EQ(result.cols, 0);
    EXPECT_TRUE(result.u.empty() && result.exx.empty() && result.valid.empty() &&
                result.points.empty());
    EXPECT_EQ(calls, 0);
}

TEST(EngineRun, StrainOffLeavesSizedZeros) {
    DICEngine engine;
    DICConfig config;
    config.compute_strain = false;
    const cv::Mat image = speckle(128, 128);
    const DICResult result = engine.run(image, image, config);
    ASSERT_EQ(result.rows * result.cols, 81);  // centres 35 to 91 along each axis
    for (const auto* field : {&result.exx, &result.eyy, &result.exy}) {
        ASSERT_EQ(field->size(), 81u);
        for (double value : *field) EXPECT_EQ(value, 0.0);
    }
}

// ---------------------------------------------------------------------------------------
// Accuracy on pairs made by the library's own warping

// px: well above the sub-pixel bias of this pattern with a 29 px subset, far below the
// error of a wrong integer peak or a missed iteration.
constexpr double kDisplacementTolerance = 0.01;

TEST(EngineRun, RecoversSubPixelTranslation) {
    const cv::Mat reference = speckle(200, 200);
    const cv::Mat deformed = translate_image(reference, 0.35, -0.6);
    DICEngine engine;
    const DICResult result = engine.run(reference, deformed, DICConfig{});
    ASSERT_EQ(result.u.size(), 361u);  // 19 x 19 points
    for (std::size_t i = 0; i < result.u.size(); ++i) {
        ASSERT_EQ(result.valid[i], 1) << "point " << i;
        EXPECT_NEAR(result.u[i], 0.35, kDisplacementTolerance) << "point " << i;
        EXPECT_NEAR(result.v[i], -0.6, kDisplacementTolerance) << "point " << i;
        EXPECT_GT(result.confidence[i], 0.99);
    }
}

TEST(EngineRun, RecoversUniformStretchAndItsGreenLagrangeStrain) {
    constexpr double kStretch = 0.004;
    const cv::Mat reference = speckle(200, 200);
    const cv::Mat deformed = deform_image(reference, 0, 0, kStretch, 0, 0, 0);
    DICEngine engine;
    const DICResult result = engine.run(reference, deformed, DICConfig{});
    ASSERT_EQ(result.u.size(), 361u);
    for (std::size_t i = 0; i < result.u.size(); ++i) {
        ASSERT_EQ(result.valid[i], 1) << "point " << i;
        // The stretch is taken about the image origin: u = e * x at the reference point.
        EXPECT_NEAR(result.u[i], kStretch * result.points[i].x, kDisplacementTolerance);
        EXPECT_NEAR(result.v[i], 0.0, kDisplacementTolerance);
        // A plane over 11 x 11 points with errors of a few millipixels: 2e-4 is several
        // times the scatter and a tenth of the strain itself.
        EXPECT_NEAR(result.exx[i], kStretch + kStretch * kStretch / 2, 2e-4) << "point " << i;
        EXPECT_NEAR(result.eyy[i], 0.0, 2e-4) << "point " << i;
        EXPECT_NEAR(result.exy[i], 0.0, 2e-4) << "point " << i;
    }
}

// ---------------------------------------------------------------------------------------
// Seeds

struct SeededRun {
    cv::Mat reference, deformed;
    DICConfig config;  // search window of half-width 1 so a wrong centre misses the peak
    std::size_t n = 0;
};

// The deformed image is the reference moved by (4, -4); rounding 2.5 and -2.5 half away
// from zero gives centres (3, -3), whose windows 2..4 and -4..-2 contain the peak; any
// other rounding (to even, toward zero) gives (2, -2), whose windows miss it.
SeededRun seeded_run() {
    SeededRun s;
    s.reference = speckle(150, 150);
    s.deformed = translate_image(s.reference, 4.0, -4.0);
    s.config.residual_search_range = 1;
    s.config.compute_strain = false;
    const DICEngine engine;
    s.n = EngineAccess::grid(engine, s.reference, s.config).size();
    return s;
}

std::size_t count_valid(const DICResult& r) {
    std::size_t n = 0;
    for (auto v : r.valid) n += v;
    return n;
}

TEST(EngineSeeds, RoundHalfAwayFromZero) {
    SeededRun s = seeded_run();
    s.config.seed_u_arr.assign(s.n, 2.5);
    s.config.seed_v_arr.assign(s.n, -2.5);
    DICEngine engine;
    const DICResult result = engine.run(s.reference, s.deformed, s.config);
    ASSERT_EQ(count_valid(result), s.n);
    for (std::size_t i = 0; i < s.n; ++i) {
        EXPECT_NEAR(result.u[i], 4.0, kDisplacementTolerance);
        EXPECT_NEAR(result.v[i], -4.0, kDisplacementTolerance);
    }
}

TEST(EngineSeeds, WrongLengthIsIgnoredSilently) {
    SeededRun s = seeded_run();
    s.config.search_center_u = 4;  // the configured centre finds the peak; the seeds would not
    s.config.search_center_v = -4;
    s.config.seed_u_arr.assign(s.n - 1, -20.0);
    s.config.seed_v_arr.assign(s.n - 1, 20.0);
    DICEngine engine;
    EXPECT_EQ(count_valid(engine.run(s.reference, s.deformed, s.config)), s.n);
    s.config.seed_u_arr.assign(s.n, -20.0);  // one array empty
    s.config.seed_v_arr.clear();
    EXPECT_EQ(count_valid(engine.run(s.reference, s.deformed, s.config)), s.n);
}

TEST(EngineSeeds, UnconvertibleSeedFallsBackToConfiguredCentre) {
    SeededRun s = seeded_run();
    s.config.search_center_u = 4;
    s.config.search_center_v = -4;
    s.config.seed_u_arr.assign(s.n, 4.0);
    s.config.seed_v_arr.assign(s.n, -4.0);
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          1e300,
                          2147483647.5,
                          -2147483648.5};
    for (std::size_t k = 0; k < std::size(bad); ++k) {
        s.config.seed_u_arr[k] = bad[k];
        s.config.seed_v_arr[s.n - 1 - k] = bad[k];
    }
    DICEngine engine;
    const DICResult result = engine.run(s.reference, s.deformed, s.config);
    EXPECT_EQ(count_valid(result), s.n);
}

TEST(EngineSeeds, CentresAtTheIntLimitsRunWithoutOverflow) {
    SeededRun s = seeded_run();
    s.config.seed_u_arr.assign(s.n, 2147483647.0);  // fits in an int: used as given
    s.config.seed_v_arr.assign(s.n, -2147483648.0);
    s.config.residual_search_range = -1;  // the full range 21 around the limits
    DICEngine engine;
    const DICResult result = engine.run(s.reference, s.deformed, s.config);
    ASSERT_EQ(result.valid.size(), s.n);
    EXPECT_EQ(count_valid(result), 0u);
}

TEST(EngineRun, RegionAtTheIntLimitRunsWithoutOverflow) {
    const cv::Mat image = speckle(100, 100);
    DICConfig config = roi(INT_MAX - 120, INT_MAX - 120, INT_MAX, INT_MAX);
    DICEngine engine;
    const DICResult result = engine.run(image, image, config);
    ASSERT_EQ(result.rows * result.cols, 64);  // not clipped to the image
    EXPECT_EQ(count_valid(result), 0u);
    EXPECT_EQ(result.points.back().x, INT_MAX - 36);
}

// ---------------------------------------------------------------------------------------
// Progress, cancellation, errors inside a pass

TEST(EngineProgress, ParallelRunCallsBackOncePerPointInIncreasingOrder) {
    const cv::Mat reference = speckle(160, 160);
    DICEngine engine;
    std::vector<int> finished, totals;
    // Unsynchronised on purpose: the engine promises one call at a time.
    engine.progress_callback = [&](int done, int total) {
        finished.push_back(done);
        totals.push_back(total);
    };
    DICConfig config;
    config.compute_strain = false;
    const DICResult result = engine.run(reference, reference, config);
    const int n = result.rows * result.cols;
    ASSERT_GT(n, 100);  // the parallel path
    ASSERT_EQ(finished.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(finished[static_cast<std::size_t>(i)], i + 1);
        EXPECT_EQ(totals[static_cast<std::size_t>(i)], n);
    }
}

struct CancelCase {
    const char* name;
    int image_size;  // 120: 36 points, one thread; 200: 361 points, parallel
};

class EngineCancel : public ::testing::TestWithParam<CancelCase> {};

TEST_P(EngineCancel, FromCallbackLeavesLaterPointsZeroAndInvalid) {
    constexpr int kStopAfter = 10;
    const cv::Mat reference = speckle(GetParam().image_size, GetParam().image_size);
    const cv::Mat deformed = translate_image(reference, 0.4, 0.2);
    DICEngine engine;
    int calls = 0;
    engine.progress_callback = [&](int done, int) {
        ++calls;
        if (done == kStopAfter) engine.cancel();
    };
    const DICResult result = engine.run(reference, deformed, DICConfig{});
    const auto n = static_cast<std::size_t>(result.rows * result.cols);
    ASSERT_GT(n, static_cast<std::size_t>(kStopAfter) + 8);
    for (const std::size_t size :
         {result.u.size(), result.v.size(), result.exx.size(), result.confidence.size(),
          result.valid.size(), result.iterations.size(), result.points.size()})
        EXPECT_EQ(size, n);
    // Points started before the request finish (at most one per other thread); every
    // other point keeps its zeros.
    EXPECT_GE(calls, kStopAfter);
    EXPECT_LT(static_cast<std::size_t>(calls), n);
    std::size_t touched = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (result.confidence[i] != 0.0) {
            ++touched;
            EXPECT_EQ(result.valid[i], 1);
        } else {
            EXPECT_EQ(result.u[i], 0.0);
            EXPECT_EQ(result.v[i], 0.0);
            EXPECT_EQ(result.iterations[i], 0);
            EXPECT_EQ(result.valid[i], 0);
        }
    }
    EXPECT_EQ(touched, static_cast<std::size_t>(calls));
    if (n <= 100) {  // one thread, index order: exactly the first points
        EXPECT_EQ(calls, kStopAfter);
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(result.valid[i], i < kStopAfter ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, EngineCancel,
                         ::testing::Values(CancelCase{"OneThread", 120},
                                           CancelCase{"Parallel", 200}),
                         [](const ::testing::TestParamInfo<CancelCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

TEST(EngineCancel, RequestBeforeRunIsDiscarded) {
    const cv::Mat reference = speckle(120, 120);
    DICEngine engine;
    engine.cancel();
    DICConfig config;
    config.compute_strain = false;
    const DICResult result = engine.run(reference, reference, config);
    EXPECT_EQ(count_valid(result), result.valid.size());
}

class EngineErrors : public ::testing::TestWithParam<CancelCase> {};

TEST_P(EngineErrors, ExceptionInsideThePassReachesTheCaller) {
    const cv::Mat reference = speckle(GetParam().image_size, GetParam().image_size);
    DICEngine engine;
    engine.progress_callback = [](int done, int) {
        if (done == 5) throw std::runtime_error("stop at 5");
    };
    try {
        engine.run(reference, reference, DICConfig{});
        FAIL() << "the callback's exception was swallowed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "stop at 5");
    }
}

TEST_P(EngineErrors, ExceptionFromTheSearchReachesTheCaller) {
    const cv::Mat reference = speckle(GetParam().image_size, GetParam().image_size);
    cv::Mat deformed;
    reference.convertTo(deformed, CV_8U);  // not a grey image: the search refuses it
    DICEngine engine;
    EXPECT_THROW(engine.run(reference, deformed, DICConfig{}), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Engine, EngineErrors,
                         ::testing::Values(CancelCase{"OneThread", 100},
                                           CancelCase{"Parallel", 200}),
                         [](const ::testing::TestParamInfo<CancelCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

// ---------------------------------------------------------------------------------------
// Per-point correlation

TEST(EnginePoint, SubsetCrossingTheBorderIsInvalidWithZeroDisplacement) {
    const cv::Mat reference = speckle(100, 100);
    const cv::Mat deformed = translate_image(reference, 1.0, 0.0);
    const DICEngine engine;
    const PointResult p = EngineAccess::point(engine, reference, deformed, 50, 5, DICConfig{});
    EXPECT_FALSE(p.valid);
    EXPECT_EQ(p.u, 0.0);
    EXPECT_EQ(p.v, 0.0);
    EXPECT_EQ(p.y, 50);
    EXPECT_EQ(p.x, 5);
}

TEST(EnginePoint, TrackingModeIsTheSimplexWithoutStartValues) {
    const cv::Mat reference = speckle(120, 120);
    const cv::Mat deformed = translate_image(reference, 1.3, -0.4);
    DICConfig config;
    config.use_tracking_simplex = true;
    const DICEngine engine;
    const PointResult a = EngineAccess::point(engine, reference, deformed, 60, 60, config);
    const PointResult b = EngineAccess::simplex(engine, reference, deformed, 60, 60, config);
    EXPECT_EQ(a.u, b.u);
    EXPECT_EQ(a.v, b.v);
    EXPECT_EQ(a.znssd, b.znssd);
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_EQ(a.valid, b.valid);
}

TEST(EnginePoint, ResidualRangeReplacesSearchRange) {
    // Moved by 20 px: the default half-width 21 around centre 10 holds the peak, a residual
    // half-width of 3 (u from 7 to 13) does not; 0 counts as unset.
    const cv::Mat reference = speckle(160, 160);
    const cv::Mat deformed = translate_image(reference, 20.0, 0.0);
    DICConfig config;
    config.search_center_u = 10;
    const DICEngine engine;
    for (int unset : {-1, 0}) {
        config.residual_search_range = unset;
        const PointResult wide = EngineAccess::point(engine, reference, deformed, 80, 80, config);
        EXPECT_TRUE(wide.valid);
        EXPECT_NEAR(wide.u, 20.0, kDisplacementTolerance);
    }
    config.residual_search_range = 3;
    const PointResult narrow = EngineAccess::point(engine, reference, deformed, 80, 80, config);
    EXPECT_FALSE(narrow.valid && std::abs(narrow.u - 20.0) < 0.5);
}

}  // namespace
}  // namespace morvex::dic
