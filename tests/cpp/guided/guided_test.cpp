// Guided correlation: known fields, masks, seeds, propagation, previous results,
// cancellation, uncertainty, sequences and every entry check.

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/guided.hpp>

#include "support/calibration.h"
#include "support/restart.h"
#include "support/speckle_pair.h"

namespace {

using namespace morvex::dic;
using morvex::test::Dot;

constexpr int kSize = 128;

// Small, quick grid: 21 px subsets every 6 px, centres 22 px from the border so that every
// warped subset of these fields stays inside the image (a subset leaving it is rejected).
GuidedConfig small_config() {
    GuidedConfig config;
    config.subset_size = 21;
    config.step = 6;
    config.roi_x0 = 22;
    config.roi_y0 = 22;
    config.roi_x1 = kSize - 23;
    config.roi_y1 = kSize - 23;
    config.compute_strain = false;
    return config;
}

// Dots moved by an affine map about the image centre: exact at any sub-pixel position.
struct AffineField {
    double u, v, ux, uy, vx, vy;
    void at(double x, double y, double& du, double& dv) const {
        const double dx = x - kSize / 2.0, dy = y - kSize / 2.0;
        du = u + ux * dx + uy * dy;
        dv = v + vx * dx + vy * dy;
    }
};

morvex::test::ImagePair affine_pair(const AffineField& f, std::uint32_t seed = 7) {
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, seed);
    std::vector<Dot> moved = dots;
    for (Dot& d : moved) {
        double du, dv;
        f.at(d.x, d.y, du, dv);
        d.x += du;
        d.y += dv;
    }
    return {morvex::test::render_dots(kSize, kSize, dots),
            morvex::test::render_dots(kSize, kSize, moved)};
}

int count_status(const GuidedResult& r, GuidedStatus s) {
    int n = 0;
    for (auto v : r.status) n += v == static_cast<std::uint8_t>(s);
    return n;
}

// ---------------------------------------------------------------------------------------

struct FieldCase {
    const char* name;
    AffineField field;
    Interpolation interpolation;
};

class GuidedFields : public ::testing::TestWithParam<FieldCase> {};

// Translation, affine and rotation fields come back at every grid point. Tolerances: the
// dots are rendered exactly, so the error is the interpolant's (Keys and cubic B-splines
// a few thousandths of a pixel, quintic less) plus the first-order subset shape on a rotation.
TEST_P(GuidedFields, RecoversKnownFieldAtEveryPoint) {
    const FieldCase& fc = GetParam();
    const auto pair = affine_pair(fc.field);
    GuidedConfig config = small_config();
    config.interpolation = fc.interpolation;
    const ReferenceImage reference(pair.reference, config);
    const GuidedResult r = correlate_guided(reference, pair.deformed, config);
    ASSERT_EQ(r.u.size(), static_cast<std::size_t>(r.rows * r.cols));
    constexpr double kMaxError = 0.02;  // px
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        ASSERT_EQ(r.valid[i], 1) << fc.name << " point " << i << " status " << int(r.status[i]);
        double du, dv;
        fc.field.at(r.x[i], r.y[i], du, dv);
        EXPECT_NEAR(r.u[i], du, kMaxError) << fc.name << " point " << i;
        EXPECT_NEAR(r.v[i], dv, kMaxError) << fc.name << " point " << i;
        // The dots move but keep their shape (not an exact affine image): gradients to 5e-3.
        EXPECT_NEAR(r.du_dx[i], fc.field.ux, 5e-3);
        EXPECT_NEAR(r.dv_dx[i], fc.field.vx, 5e-3);
        EXPECT_GT(r.zncc[i], 0.99);
        EXPECT_GT(r.sigma_u[i], 0.0);
    }
}

constexpr double kAngle = 0.035;  // 2 degrees
INSTANTIATE_TEST_SUITE_P(
    Fields, GuidedFields,
    ::testing::Values(
        FieldCase{"translation_quintic", {0.37, -1.62, 0, 0, 0, 0}, Interpolation::kQuinticBSpline},
        FieldCase{"translation_cubic", {0.37, -1.62, 0, 0, 0, 0}, Interpolation::kCubicBSpline},
        FieldCase{"translation_keys", {0.37, -1.62, 0, 0, 0, 0}, Interpolation::kKeysFourth},
        FieldCase{"large_shift", {9.4, -6.6, 0, 0, 0, 0}, Interpolation::kQuinticBSpline},
        FieldCase{"affine_quintic",
                  {0.8, 0.3, 0.01, -0.004, 0.006, -0.008},
                  Interpolation::kQuinticBSpline},
        FieldCase{
            "affine_keys", {0.8, 0.3, 0.01, -0.004, 0.006, -0.008}, Interpolation::kKeysFourth},
        FieldCase{
            "rotation_quintic",
            {0, 0, std::cos(kAngle) - 1, -std::sin(kAngle), std::sin(kAngle), std::cos(kAngle) - 1},
            Interpolation::kQuinticBSpline}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A Gaussian prefilter on both images keeps the field exact (both are filtered alike) and the
// uncertainty, taken from the raw grey levels, stays positive and of the unfiltered order.
TEST(GuidedCorrelation, PrefilterKeepsTheFieldAndAFiniteUncertainty) {
    const auto pair = affine_pair({0.42, -0.37, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    const ReferenceImage plain_ref(pair.reference, config);
    const GuidedResult plain = correlate_guided(plain_ref, pair.deformed, config);
    config.prefilter_sigma = 1.0;
    const ReferenceImage ref(pair.reference, config);
    const GuidedResult r = correlate_guided(ref, pair.deformed, config);
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        ASSERT_EQ(r.valid[i], 1);
        EXPECT_NEAR(r.u[i], 0.42, 0.02);
        EXPECT_NEAR(r.v[i], -0.37, 0.02);
        EXPECT_TRUE(std::isfinite(r.sigma_u[i]) && r.sigma_u[i] > 0.0);
        EXPECT_LT(r.sigma_u[i], 20.0 * plain.sigma_u[i] + 1e-3);
    }
}

TEST(GuidedCorrelation, ResultDoesNotDependOnTheThreadCount) {
    const auto pair = affine_pair({0.3, 0.2, 0.004, 0, 0, -0.003});
    GuidedConfig config = small_config();
    config.seed_count = 5;
    const ReferenceImage reference(pair.reference, config);
    config.threads = 1;
    const GuidedResult one = correlate_guided(reference, pair.deformed, config);
    config.threads = 3;
    const GuidedResult three = correlate_guided(reference, pair.deformed, config);
    EXPECT_EQ(one.u, three.u);
    EXPECT_EQ(one.v, three.v);
    EXPECT_EQ(one.iterations, three.iterations);
    EXPECT_EQ(one.status, three.status);
}

// A hole in the mask: no grid point inside it is valid, the points around it are, and a
// point whose subset is half covered uses only its specimen pixels (still exact).
TEST(GuidedMask, HoleLeavesNoPointInsideAndKeepsPointsAround) {
    const auto pair = affine_pair({0.4, -0.3, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    config.mask = cv::Mat(kSize, kSize, CV_8UC1, cv::Scalar(255));
    constexpr double kRadius = 20.0;
    cv::circle(config.mask, cv::Point(64, 64), static_cast<int>(kRadius), cv::Scalar(0),
               cv::FILLED);
    // Grey the hole, as a real hole shows no speckle.
    cv::Mat reference = pair.reference.clone(), deformed = pair.deformed.clone();
    reference.setTo(cv::Scalar(10.0), config.mask == 0);
    const ReferenceImage ref(reference, config);
    const GuidedResult r = correlate_guided(ref, deformed, config);
    int inside = 0, near_valid = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        const double d = std::hypot(r.x[i] - 64.0, r.y[i] - 64.0);
        if (d < kRadius - 1.0) {
            ++inside;
            EXPECT_EQ(r.valid[i], 0);
            EXPECT_EQ(r.status[i], static_cast<std::uint8_t>(GuidedStatus::kOutsideMask));
        } else if (d > kRadius + 1.0) {
            EXPECT_EQ(r.valid[i], 1) << "at " << r.x[i] << ", " << r.y[i];
            if (r.valid[i]) {
                EXPECT_NEAR(r.u[i], 0.4, 0.02);
                EXPECT_NEAR(r.v[i], -0.3, 0.02);
                near_valid += d < kRadius + 8.0;
            }
        }
    }
    EXPECT_GT(inside, 20);
    EXPECT_GT(near_valid, 8);
}

// A seed placed on a flat patch is rejected (kFlatSubset) and another point seeds the block.
TEST(GuidedSeeds, FlatSeedIsRejectedAndAnotherTakesOver) {
    auto pair = affine_pair({1.0, 0.0, 0, 0, 0, 0});  // whole pixels: the flat patch moves exactly
    const cv::Rect flat(40, 40, 48, 48);
    pair.reference(flat).setTo(cv::Scalar(80.0));
    pair.deformed(flat + cv::Point(1, 0)).setTo(cv::Scalar(80.0));
    GuidedConfig config = small_config();
    config.seed_count = 1;
    config.seed_points = {Point2D{64, 64}};
    // The seed's own refusal, found when it is solved: the texture test would refuse the
    // patch's edge zone too, before any solve.
    config.max_predicted_sigma = 0.0;
    const ReferenceImage reference(pair.reference, config);
    const GuidedResult r = correlate_guided(reference, pair.deformed, config);
    const int centre = (r.rows / 2) * r.cols + r.cols / 2;
    EXPECT_EQ(r.status[centre], static_cast<std::uint8_t>(GuidedStatus::kFlatSubset));
    int valid = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i)
        if (r.valid[i]) {
            ++valid;
            EXPECT_NEAR(r.u[i], 1.0, 0.02);
        }
    EXPECT_GT(valid, static_cast<int>(r.u.size()) / 2);
}

// Two specimen regions with no path between them, one block: each gets its own seed.
TEST(GuidedPropagation, DisconnectedRegionsEachGetASeed) {
    const auto pair = affine_pair({-0.45, 0.7, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    config.seed_count = 1;
    config.mask = cv::Mat::zeros(kSize, kSize, CV_8UC1);
    config.mask(cv::Rect(0, 0, 50, kSize)).setTo(1);
    config.mask(cv::Rect(78, 0, 50, kSize)).setTo(1);
    const ReferenceImage reference(pair.reference, config);
    const GuidedResult r = correlate_guided(reference, pair.deformed, config);
    int left = 0, right = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        if (r.status[i] == static_cast<std::uint8_t>(GuidedStatus::kOutsideMask)) continue;
        EXPECT_EQ(r.valid[i], 1) << "at " << r.x[i] << ", " << r.y[i];
        EXPECT_NEAR(r.u[i], -0.45, 0.02);
        (r.x[i] < 64 ? left : right) += r.valid[i];
    }
    EXPECT_GT(left, 10);
    EXPECT_GT(right, 10);
}

TEST(GuidedCorrelation, PreviousResultGivesTheSameFieldInFewerIterations) {
    const auto pair = affine_pair({1.3, -0.8, 0.005, 0.002, -0.001, 0.004});
    GuidedConfig config = small_config();
    const ReferenceImage reference(pair.reference, config);
    const GuidedResult first = correlate_guided(reference, pair.deformed, config);
    const GuidedResult again = correlate_guided(reference, pair.deformed, config, &first);
    // Both stopped within the convergence threshold of the same optimum.
    morvex::test::expect_restart_converges_sooner(first, again, 2e-3);
}

// The next frame of a sequence (moved and strained further) started from the frame before:
// the same field as a run from seeds, and no dearer. Starting each point from its own old
// value missed the strain increment and cost half as many iterations again as growth does;
// the seeds' own checks may cost a few more.
TEST(GuidedCorrelation, NextFrameFromThePreviousCostsNoMoreThanFromSeeds) {
    const auto before = affine_pair({0.9, -0.4, 0.004, 0.001, -0.001, 0.003});
    const auto after = affine_pair({1.3, -0.6, 0.008, 0.002, -0.002, 0.006});
    GuidedConfig config = small_config();
    const ReferenceImage reference(before.reference, config);
    const GuidedResult previous = correlate_guided(reference, before.deformed, config);
    const GuidedResult seeded = correlate_guided(reference, after.deformed, config);
    const GuidedResult chained = correlate_guided(reference, after.deformed, config, &previous);
    long it_seeded = 0, it_chained = 0;
    for (std::size_t i = 0; i < seeded.u.size(); ++i) {
        ASSERT_EQ(chained.valid[i], 1) << "point " << i;
        EXPECT_NEAR(chained.u[i], seeded.u[i], 2e-3) << "point " << i;
        EXPECT_NEAR(chained.v[i], seeded.v[i], 2e-3) << "point " << i;
        it_seeded += seeded.iterations[i];
        it_chained += chained.iterations[i];
    }
    EXPECT_LE(it_chained, it_seeded + it_seeded / 20);
    EXPECT_EQ(chained.full_searches, 0);
}

// Cancelling from the progress callback: a well-formed result, cancelled points marked.
TEST(GuidedCorrelation, CancelMidRunGivesWellFormedResult) {
    const auto pair = affine_pair({0.2, 0.1, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    config.step = 3;
    config.threads = 1;
    std::atomic<bool> cancel{false};
    int calls = 0;
    config.cancel = &cancel;
    config.progress = [&](int done, int total) {
        ++calls;
        EXPECT_LE(done, total);
        cancel = true;
    };
    const ReferenceImage reference(pair.reference, config);
    const GuidedResult r = correlate_guided(reference, pair.deformed, config);
    const std::size_t n = static_cast<std::size_t>(r.rows) * r.cols;
    ASSERT_EQ(r.u.size(), n);
    ASSERT_EQ(r.status.size(), n);
    ASSERT_EQ(r.sigma_v.size(), n);
    EXPECT_GE(calls, 1);
    EXPECT_GT(count_status(r, GuidedStatus::kCancelled), 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (r.valid[i]) {
            EXPECT_TRUE(std::isfinite(r.u[i]));
        }
        // No strain after a cancel: on dense grids the fits would delay the return by seconds.
        EXPECT_TRUE(std::isnan(r.exx[i]));
    }
}

TEST(GuidedCorrelation, ProgressExceptionIsRethrown) {
    const auto pair = affine_pair({0.2, 0.1, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    config.step = 3;
    config.progress = [](int, int) { throw std::runtime_error("stop here"); };
    const ReferenceImage reference(pair.reference, config);
    EXPECT_THROW(correlate_guided(reference, pair.deformed, config), std::runtime_error);
}

// NaN and infinite pixels: the points whose subsets touch them are kBadPixels, the rest valid.
TEST(GuidedCorrelation, NonFinitePixelsMarkOnlyTheirPoints) {
    const auto pair = affine_pair({0.3, 0.3, 0, 0, 0, 0});
    cv::Mat deformed = pair.deformed.clone();
    deformed.at<double>(30, 30) = std::numeric_limits<double>::quiet_NaN();
    cv::Mat reference = pair.reference.clone();
    reference.at<double>(100, 90) = std::numeric_limits<double>::infinity();
    GuidedConfig config = small_config();
    const ReferenceImage ref(reference, config);
    const GuidedResult r = correlate_guided(ref, deformed, config);
    int bad = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        const bool near_nan = std::abs(r.x[i] - 30) <= 15 && std::abs(r.y[i] - 30) <= 15;
        const bool near_inf = std::abs(r.x[i] - 90) <= 10 && std::abs(r.y[i] - 100) <= 10;
        if (r.status[i] == static_cast<std::uint8_t>(GuidedStatus::kBadPixels)) {
            ++bad;
            EXPECT_TRUE(near_nan || near_inf) << "at " << r.x[i] << ", " << r.y[i];
        } else if (!near_nan && !near_inf) {
            EXPECT_EQ(r.valid[i], 1) << "at " << r.x[i] << ", " << r.y[i];
        }
    }
    EXPECT_GE(bad, 4 + 4);
}

// Found by fuzzing: a start that puts the subset wholly outside the image (here a previous
// field 1000 px off) made the bad-pixel check clip its box into a reversed one and read the
// pixel sums before column 0 (UBSan: pointer overflow). Such a start now leaves the image
// instead; only points whose own subset meets the NaN pixel report bad pixels.
TEST(GuidedCorrelation, StartOutsideTheImageReadsNoSumOutsideIt) {
    const auto pair = affine_pair({0.3, 0.3, 0, 0, 0, 0});
    cv::Mat deformed = pair.deformed.clone();
    deformed.at<double>(60, 60) = std::numeric_limits<double>::quiet_NaN();
    GuidedConfig config = small_config();
    const ReferenceImage ref(pair.reference, config);
    GuidedResult previous = correlate_guided(ref, deformed, config);
    for (double& u : previous.u) u = -1000.0;
    for (double& v : previous.v) v = 2000.0;
    const GuidedResult r = correlate_guided(ref, deformed, config, &previous);
    ASSERT_EQ(r.status.size(), static_cast<std::size_t>(r.rows * r.cols));
    for (std::size_t i = 0; i < r.status.size(); ++i) {
        const bool near_nan = std::abs(r.x[i] - 60) <= 15 && std::abs(r.y[i] - 60) <= 15;
        if (!near_nan) {
            EXPECT_NE(r.status[i], static_cast<std::uint8_t>(GuidedStatus::kBadPixels))
                << "at " << r.x[i] << ", " << r.y[i];
        }
    }
}

// Found by fuzzing: the seed search added search_range to the subset's corner in int, so a
// range near INT_MAX overflowed (UBSan: signed integer overflow). It now searches the whole
// image, exactly as -1 does.
TEST(GuidedSeeds, SearchRangeAtIntMaxSearchesTheWholeImage) {
    const auto pair = affine_pair({4.6, -3.2, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    const ReferenceImage reference(pair.reference, config);
    config.search_range = -1;
    const GuidedResult whole = correlate_guided(reference, pair.deformed, config);
    config.search_range = std::numeric_limits<int>::max();
    const GuidedResult widest = correlate_guided(reference, pair.deformed, config);
    ASSERT_EQ(widest.status, whole.status);
    for (std::size_t i = 0; i < whole.u.size(); ++i) {
        if (!whole.valid[i]) continue;  // NaN or a last estimate
        EXPECT_EQ(widest.u[i], whole.u[i]);
        EXPECT_EQ(widest.v[i], whole.v[i]);
    }
}

// Uncertainty on a small Monte-Carlo set: predicted sigma against the scatter over noise
// realisations. Loose bounds (8 realisations); the benchmark checks the tight figure.
TEST(GuidedUncertainty, PredictedSigmaMatchesScatter) {
    const auto pair = affine_pair({0.35, -0.25, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    constexpr int kRealisations = 8;
    constexpr double kNoise = 3.0;  // grey levels
    std::mt19937 rng(99);
    std::normal_distribution<double> noise(0.0, kNoise);
    auto noisy = [&](const cv::Mat& image) {
        cv::Mat out = image.clone();
        for (int r = 0; r < out.rows; ++r)
            for (int c = 0; c < out.cols; ++c) out.at<double>(r, c) += noise(rng);
        return out;
    };
    std::vector<std::vector<double>> us;
    std::vector<double> sigma_sum;
    for (int k = 0; k < kRealisations; ++k) {
        const ReferenceImage reference(noisy(pair.reference), config);
        const GuidedResult r = correlate_guided(reference, noisy(pair.deformed), config);
        us.push_back(r.u);
        if (sigma_sum.empty()) sigma_sum.assign(r.u.size(), 0.0);
        for (std::size_t i = 0; i < r.u.size(); ++i) sigma_sum[i] += r.sigma_u[i];
    }
    const double median = morvex::test::median_sigma_calibration(us, sigma_sum);
    EXPECT_GT(median, 0.7);
    EXPECT_LT(median, 1.4);
}

TEST(GuidedSequence, IncrementalAccumulatesToTheFirstReference) {
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 5);
    const cv::Mat first = morvex::test::render_dots(kSize, kSize, dots);
    GuidedConfig config = small_config();
    GuidedSequence fixed(first, config, false), incremental(first, config, true);
    for (int k = 1; k <= 3; ++k) {
        const double u = 0.9 * k, v = -0.4 * k;
        const cv::Mat frame =
            morvex::test::render_dots(kSize, kSize, morvex::test::moved_dots(dots, u, v));
        const GuidedResult a = fixed.add_frame(frame);
        const GuidedResult b = incremental.add_frame(frame);
        // Later references follow the moved region, yet the result stays on the first grid.
        ASSERT_EQ(b.rows, a.rows);
        ASSERT_EQ(b.cols, a.cols);
        ASSERT_EQ(b.u.size(), a.u.size());
        ASSERT_EQ(b.x, a.x);
        ASSERT_EQ(b.iterations.size(), a.u.size());
        int compared = 0;
        for (std::size_t i = 0; i < a.u.size(); ++i) {
            EXPECT_EQ(a.valid[i], 1);
            EXPECT_NEAR(a.u[i], u, 0.02);
            if (!b.valid[i]) continue;  // carried past the grid's edge
            ++compared;
            EXPECT_NEAR(b.u[i], u, 0.03);
            EXPECT_NEAR(b.v[i], v, 0.03);
        }
        EXPECT_GT(compared, static_cast<int>(a.u.size()) / 2);
    }
    EXPECT_EQ(incremental.frame_count(), 3);
}

// ---------------------------------------------------------------------------------------
// Entry checks: every bad value throws std::invalid_argument naming it, before any work.

struct BadInput {
    const char* name;
    void (*tweak)(cv::Mat& reference, cv::Mat& deformed, GuidedConfig& config);
    const char* message;  ///< a piece of the expected message
};

class GuidedEntryChecks : public ::testing::TestWithParam<BadInput> {};

TEST_P(GuidedEntryChecks, ThrowsNamingTheValue) {
    const auto pair = affine_pair({0, 0, 0, 0, 0, 0});
    cv::Mat reference = pair.reference.clone(), deformed = pair.deformed.clone();
    GuidedConfig config = small_config();
    GetParam().tweak(reference, deformed, config);
    try {
        const ReferenceImage ref(reference, config);
        GuidedConfig used = config;
        if (std::string(GetParam().name) == "threads_negative") used.threads = -1;
        (void)correlate_guided(ref, deformed, used);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bad, GuidedEntryChecks,
    ::testing::Values(
        BadInput{"reference_empty", [](cv::Mat& r, cv::Mat&, GuidedConfig&) { r = cv::Mat(); },
                 "reference image is empty"},
        BadInput{"reference_not_double",
                 [](cv::Mat& r, cv::Mat&, GuidedConfig&) { r.convertTo(r, CV_8U); }, "CV_64FC1"},
        BadInput{"deformed_empty", [](cv::Mat&, cv::Mat& d, GuidedConfig&) { d = cv::Mat(); },
                 "deformed image is empty"},
        BadInput{"deformed_float",
                 [](cv::Mat&, cv::Mat& d, GuidedConfig&) { d.convertTo(d, CV_32F); }, "CV_64FC1"},
        BadInput{
            "deformed_other_size",
            [](cv::Mat&, cv::Mat& d, GuidedConfig&) { d = d(cv::Rect(0, 0, 100, 128)).clone(); },
            "128 x 100"},
        BadInput{
            "mask_other_size",
            [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.mask = cv::Mat::ones(10, 10, CV_8UC1); },
            "GuidedConfig::mask"},
        BadInput{"mask_other_type",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) {
                     c.mask = cv::Mat::ones(kSize, kSize, CV_32F);
                 },
                 "GuidedConfig::mask"},
        BadInput{"subset_even", [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.subset_size = 20; },
                 "subset_size must be odd and at least 5, got 20"},
        BadInput{"subset_small", [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.subset_size = 3; },
                 "got 3"},
        BadInput{"subset_too_large",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.subset_size = 129; },
                 "subset_size 129 is larger than the image"},
        BadInput{"step_zero", [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.step = 0; },
                 "step must be at least 1, got 0"},
        BadInput{"empty_region",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) {
                     c.roi_x0 = 0;
                     c.roi_y0 = 0;
                     c.roi_x1 = 5;
                     c.roi_y1 = 5;
                 },
                 "leaves no grid point"},
        BadInput{"threads_negative", [](cv::Mat&, cv::Mat&, GuidedConfig&) {},
                 "threads must not be negative, got -1"},
        // A million threads crashed the process before any work.
        BadInput{"threads_beyond_limit",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.threads = 1000000; },
                 "GuidedConfig::threads must be at most 1024, got 1000000"},
        BadInput{"threads_one_beyond_limit",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.threads = kMaxGuidedThreads + 1; },
                 "threads must be at most 1024, got 1025"},
        // A blur wider than half a subset left smooth ramps that many shifts matched with
        // ZNCC 1.0000: a confident, wrong field.
        BadInput{"prefilter_beyond_half_subset",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.prefilter_sigma = 2.6; },
                 "GuidedConfig::prefilter_sigma must be at most 2.5 px for subset_size 21"},
        BadInput{"prefilter_absurd",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.prefilter_sigma = 1e80; },
                 "got 1e+80"},
        BadInput{
            "prefilter_nan",
            [](cv::Mat&, cv::Mat&,
               GuidedConfig& c) { c.prefilter_sigma = std::numeric_limits<double>::quiet_NaN(); },
            "prefilter_sigma"},
        BadInput{"prefilter_negative",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.prefilter_sigma = -1.0; },
                 "prefilter_sigma must be finite and not negative"},
        BadInput{"reference_noise_below_minus_one",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.reference_noise = -2.0; },
                 "reference_noise must be -1 (estimate) or at least 0, got -2"},
        BadInput{"reference_noise_negative",
                 [](cv::Mat&, cv::Mat&, GuidedConfig& c) { c.reference_noise = -0.5; },
                 "reference_noise must be -1 (estimate) or at least 0"},
        BadInput{
            "reference_noise_nan",
            [](cv::Mat&, cv::Mat&,
               GuidedConfig& c) { c.reference_noise = std::numeric_limits<double>::quiet_NaN(); },
            "reference_noise"},
        BadInput{
            "reference_noise_infinite",
            [](cv::Mat&, cv::Mat&,
               GuidedConfig& c) { c.reference_noise = std::numeric_limits<double>::infinity(); },
            "reference_noise"},
        BadInput{"strain_source_unknown",
                 [](cv::Mat&, cv::Mat&,
                    GuidedConfig& c) { c.strain_source = static_cast<StrainSource>(7); },
                 "strain_source is not a known StrainSource, got 7"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(GuidedEntryChecks, ConfigDifferingFromTheReferenceImageIsRejected) {
    const auto pair = affine_pair({0, 0, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    const ReferenceImage reference(pair.reference, config);
    config.step = 7;
    EXPECT_THROW(correlate_guided(reference, pair.deformed, config), std::invalid_argument);
    config = small_config();
    GuidedResult previous;
    previous.rows = 3;
    previous.cols = 3;
    EXPECT_THROW(correlate_guided(reference, pair.deformed, config, &previous),
                 std::invalid_argument);
}

// The limits themselves are accepted: the most threads, and the widest prefilter a subset
// holds (its 4-sigma radius exactly half the subset).
TEST(GuidedEntryChecks, ThreadsAndPrefilterAtTheirLimitsMeasure) {
    const auto pair = affine_pair({0.37, -1.62, 0, 0, 0, 0});
    GuidedConfig config = small_config();
    EXPECT_DOUBLE_EQ(max_prefilter_sigma(config.subset_size), 2.5);
    config.prefilter_sigma = max_prefilter_sigma(config.subset_size);
    config.threads = kMaxGuidedThreads;
    const GuidedResult r =
        correlate_guided(ReferenceImage(pair.reference, config), pair.deformed, config);
    ASSERT_EQ(r.u.size(), static_cast<std::size_t>(r.rows * r.cols));
    constexpr double kMaxError = 0.05;  // px: a blurred pattern, within twice the unblurred bound
    int valid = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        if (!r.valid[i]) continue;
        ++valid;
        EXPECT_NEAR(r.u[i], 0.37, kMaxError);
        EXPECT_NEAR(r.v[i], -1.62, kMaxError);
    }
    EXPECT_EQ(valid, static_cast<int>(r.u.size()));
}

}  // namespace
