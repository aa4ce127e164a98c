// Second-order subsets of the guided path: curved fields, propagation, previous results,
// sequences, uncertainty, the curved sampler, and their entry checks.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/guided.hpp>

#include "image/sampling/bspline.h"
#include "image/sampling/bspline_sampler.h"
#include "support/calibration.h"
#include "support/random_image.h"
#include "support/restart.h"
#include "support/speckle_pair.h"

namespace {

using namespace morvex::dic;
using morvex::test::Dot;

constexpr int kSize = 128;

// A quadratic displacement field about the image centre, with its derivatives there.
struct QuadraticField {
    double u, ux, uy, uxx, uxy, uyy;
    double v, vx, vy, vxx, vxy, vyy;
    double scale = 1.0;  ///< the whole field times this (a load step)

    void at(double x, double y, double& du, double& dv) const {
        const double dx = x - kSize / 2.0, dy = y - kSize / 2.0;
        du = scale *
             (u + ux * dx + uy * dy + 0.5 * uxx * dx * dx + uxy * dx * dy + 0.5 * uyy * dy * dy);
        dv = scale *
             (v + vx * dx + vy * dy + 0.5 * vxx * dx * dx + vxy * dx * dy + 0.5 * vyy * dy * dy);
    }
};

cv::Mat render(const std::vector<Dot>& dots, const QuadraticField& f) {
    return morvex::test::render_dots_deformed(
        kSize, kSize, dots, [&f](double x, double y, double& u, double& v) { f.at(x, y, u, v); });
}

const QuadraticField kStill{};

// 21 px subsets every 6 px, 24 px from the border: the curved subsets stay in the image.
GuidedConfig config_of(SubsetShape shape) {
    GuidedConfig config;
    config.subset_size = 21;
    config.step = 6;
    config.roi_x0 = 24;
    config.roi_y0 = 24;
    config.roi_x1 = kSize - 25;
    config.roi_y1 = kSize - 25;
    config.compute_strain = false;
    config.shape = shape;
    return config;
}

struct Errors {
    double rms_u = 0.0, rms_v = 0.0;
    int valid = 0;
};

Errors errors(const GuidedResult& r, const QuadraticField& f) {
    Errors e;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        if (!r.valid[i]) continue;
        double du, dv;
        f.at(r.x[i], r.y[i], du, dv);
        e.rms_u += (r.u[i] - du) * (r.u[i] - du);
        e.rms_v += (r.v[i] - dv) * (r.v[i] - dv);
        ++e.valid;
    }
    if (e.valid > 0) {
        e.rms_u = std::sqrt(e.rms_u / e.valid);
        e.rms_v = std::sqrt(e.rms_v / e.valid);
    }
    return e;
}

// ---------------------------------------------------------------------------------------

struct CurvedCase {
    const char* name;
    QuadraticField field;
};

class QuadraticFields : public ::testing::TestWithParam<CurvedCase> {};

// The quadratic solver recovers a quadratic field (and its second derivatives); the affine
// one, which can only fit a plane to the curved subset, is off by the curvature's mean.
TEST_P(QuadraticFields, RecoveredByQuadraticAndNotByAffine) {
    const QuadraticField& f = GetParam().field;
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 11);
    const cv::Mat reference = render(dots, kStill), deformed = render(dots, f);
    constexpr double kQuadraticRms = 0.002;  // px
    constexpr double kAffineRms = 0.006;     // px: half the curvature error these fields give
    const GuidedConfig quad = config_of(SubsetShape::kQuadratic);
    const GuidedResult q = correlate_guided(ReferenceImage(reference, quad), deformed, quad);
    const Errors eq = errors(q, f);
    EXPECT_EQ(eq.valid, static_cast<int>(q.u.size())) << GetParam().name;
    EXPECT_LE(eq.rms_u, kQuadraticRms) << GetParam().name;
    EXPECT_LE(eq.rms_v, kQuadraticRms) << GetParam().name;
    ASSERT_EQ(q.du_dxx.size(), q.u.size());
    for (std::size_t i = 0; i < q.u.size(); ++i) {
        // Second derivatives are constant over a quadratic field.
        constexpr double kCurvatureTolerance = 2e-4;  // 1/px: a fifth of the smallest term
        EXPECT_NEAR(q.du_dxx[i], f.uxx, kCurvatureTolerance);
        EXPECT_NEAR(q.du_dxy[i], f.uxy, kCurvatureTolerance);
        EXPECT_NEAR(q.dv_dyy[i], f.vyy, kCurvatureTolerance);
        EXPECT_NEAR(q.dv_dxx[i], f.vxx, kCurvatureTolerance);
        // The first-order gradients are those at the subset centre.
        const double dx = q.x[i] - kSize / 2.0, dy = q.y[i] - kSize / 2.0;
        EXPECT_NEAR(q.du_dx[i], f.ux + f.uxx * dx + f.uxy * dy, 1e-3);
        EXPECT_NEAR(q.dv_dy[i], f.vy + f.vxy * dx + f.vyy * dy, 1e-3);
    }
    const GuidedConfig affine = config_of(SubsetShape::kAffine);
    const GuidedResult a = correlate_guided(ReferenceImage(reference, affine), deformed, affine);
    EXPECT_TRUE(a.du_dxx.empty());
    const Errors ea = errors(a, f);
    EXPECT_GT(std::max(ea.rms_u, ea.rms_v), kAffineRms) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Curved, QuadraticFields,
    ::testing::Values(
        CurvedCase{"bending_u", {0.3, 0.002, 0.0, 1.5e-3, 0.0, 0.0, -0.2, 0.0, 0.0, 0.0, 0.0, 0.0}},
        CurvedCase{"bending_v", {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.6, 0.0, 0.003, 0.0, 0.0, -1.5e-3}},
        CurvedCase{
            "all_terms",
            {0.4, 0.003, -0.002, 1.2e-3, 6e-4, -8e-4, -0.7, 0.001, 0.002, -1e-3, 8e-4, 1.2e-3}},
        CurvedCase{"large_shift_curved",
                   {5.6, 0.0, 0.0, -1.4e-3, 0.0, 0.0, -4.3, 0.0, 0.0, 0.0, 0.0, 1.4e-3}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Propagation carries the re-expanded second-order warp to the neighbours, so a start from
// the previous result is already the answer: no point needs a search, and the field is the
// same to well below its error.
TEST(QuadraticPropagation, PreviousResultConvergesInOneOrTwoIterations) {
    const QuadraticField f{0.4,  0.003, -0.002, 1.2e-3, 6e-4, -8e-4,
                           -0.7, 0.001, 0.002,  -1e-3,  8e-4, 1.2e-3};
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 3);
    const cv::Mat reference = render(dots, kStill), deformed = render(dots, f);
    GuidedConfig config = config_of(SubsetShape::kQuadratic);
    // One block grown from a corner seed: every other point is started by a neighbour.
    config.seed_count = 1;
    config.seed_points = {{24, 24}};
    const ReferenceImage ref(reference, config);
    const GuidedResult first = correlate_guided(ref, deformed, config);
    EXPECT_LE(errors(first, f).rms_u, 0.002);
    const GuidedResult again = correlate_guided(ref, deformed, config, &first);
    morvex::test::expect_restart_converges_sooner(first, again, 2e-4);
    for (std::size_t i = 0; i < first.u.size(); ++i)
        EXPECT_NEAR(again.du_dxx[i], first.du_dxx[i], 5e-5);
    // An affine result may start a second-order run: its missing curvature reads as zero.
    const GuidedConfig affine = config_of(SubsetShape::kAffine);
    const GuidedResult flat = correlate_guided(ReferenceImage(reference, affine), deformed, affine);
    const GuidedResult from_flat = correlate_guided(ref, deformed, config, &flat);
    EXPECT_LE(errors(from_flat, f).rms_v, 0.002);
}

// Fixed and incremental sequences of a growing quadratic field both end on the first grid
// with the field and its curvature; incremental composes the second derivatives.
TEST(QuadraticSequence, FixedAndIncrementalFollowAGrowingCurvedField) {
    const QuadraticField f{0.5, 0.002, 0.0, 1e-3, 0.0, -5e-4, -0.3, 0.0, -0.002, 0.0, 5e-4, 1e-3};
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 5);
    const cv::Mat first = render(dots, kStill);
    const GuidedConfig config = config_of(SubsetShape::kQuadratic);
    GuidedSequence fixed(first, config, false), incremental(first, config, true);
    for (int k = 1; k <= 3; ++k) {
        QuadraticField step = f;
        step.scale = k;
        const cv::Mat frame = render(dots, step);
        const GuidedResult a = fixed.add_frame(frame);
        const GuidedResult b = incremental.add_frame(frame);
        const Errors ea = errors(a, step), eb = errors(b, step);
        EXPECT_EQ(ea.valid, static_cast<int>(a.u.size())) << "frame " << k;
        EXPECT_LE(std::max(ea.rms_u, ea.rms_v), 0.002) << "frame " << k;
        // Incremental adds the bilinear interpolation of each increment between grid points.
        EXPECT_GT(eb.valid, static_cast<int>(b.u.size()) / 2) << "frame " << k;
        EXPECT_LE(std::max(eb.rms_u, eb.rms_v), 0.01) << "frame " << k;
        ASSERT_EQ(b.du_dxx.size(), b.u.size());
        for (std::size_t i = 0; i < b.u.size(); ++i) {
            if (!b.valid[i]) continue;
            EXPECT_NEAR(b.du_dxx[i], k * f.uxx, 3e-4) << "frame " << k << " point " << i;
            EXPECT_NEAR(b.dv_dyy[i], k * f.vyy, 3e-4) << "frame " << k << " point " << i;
        }
    }
}

// The predicted sigma of the 12-parameter estimate matches the scatter over noise
// realisations, and exceeds the affine one (more parameters from the same pixels).
TEST(QuadraticUncertainty, PredictedSigmaMatchesScatterAndExceedsAffine) {
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 9);
    const QuadraticField f{0.35, 0, 0, 0, 0, 0, -0.25, 0, 0, 0, 0, 0};
    const cv::Mat clean_ref = render(dots, kStill), clean_def = render(dots, f);
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
    double sigma_ratio_sum = 0.0;
    std::vector<std::vector<double>> us;
    std::vector<double> sigma_sum;
    for (int k = 0; k < kRealisations; ++k) {
        const cv::Mat ref = noisy(clean_ref), def = noisy(clean_def);
        // Every point's sigma against its scatter, those in the dots' wider gaps included (the
        // texture test would refuse some of them, differently in each realisation).
        GuidedConfig quad = config_of(SubsetShape::kQuadratic);
        GuidedConfig affine = config_of(SubsetShape::kAffine);
        quad.max_predicted_sigma = affine.max_predicted_sigma = 0.0;
        const GuidedResult q = correlate_guided(ReferenceImage(ref, quad), def, quad);
        const GuidedResult a = correlate_guided(ReferenceImage(ref, affine), def, affine);
        us.push_back(q.u);
        if (sigma_sum.empty()) sigma_sum.assign(q.u.size(), 0.0);
        double ratio = 0.0;
        for (std::size_t i = 0; i < q.u.size(); ++i) {
            sigma_sum[i] += q.sigma_u[i];
            ratio += q.sigma_u[i] / a.sigma_u[i];
        }
        sigma_ratio_sum += ratio / static_cast<double>(q.u.size());
    }
    const double median = morvex::test::median_sigma_calibration(us, sigma_sum);
    EXPECT_GT(median, 0.7);
    EXPECT_LT(median, 1.4);
    // Theory for texture spread evenly over a square subset: the constant and the squares
    // share the pixels, so the variance of u grows 3.5 times, sigma about 1.87 times.
    const double ratio = sigma_ratio_sum / kRealisations;
    EXPECT_GT(ratio, 1.5);
    EXPECT_LT(ratio, 2.3);
}

// ---------------------------------------------------------------------------------------
// The curved sampler: the vector form gives the scalar form's bits, zero curvature gives the
// first-order sampler's bits, and each pixel equals the interpolant sampled on its own at
// the second-order position (the slow obvious version).

using morvex::dic::detail::CoefficientImage;
using morvex::dic::detail::make_coefficient_image;
using morvex::dic::detail::SplineKind;
using morvex::dic::detail::SubsetCurvature;
using morvex::dic::detail::WarpedSubset;

class CurvedSampler : public ::testing::TestWithParam<SplineKind> {};

TEST_P(CurvedSampler, MatchesScalarAffineAndPointwiseSampling) {
    const cv::Mat image = morvex::test::random_image(64, 64, 17);
    const CoefficientImage coef = make_coefficient_image(image, GetParam(), 6, 1);
    WarpedSubset s;
    s.x0 = 31.3;
    s.y0 = 30.7;
    s.ax = 1.01;
    s.bx = 0.02;
    s.ay = -0.015;
    s.by = 0.99;
    s.half = 9;
    const int n = (2 * s.half + 1) * (2 * s.half + 1);
    std::vector<double> flat(n), affine(n), vec(n), scalar(n), one(1);
    morvex::dic::detail::sample_curved_subset(coef, GetParam(), s, SubsetCurvature{}, flat.data());
    morvex::dic::detail::sample_warped_subset(coef, GetParam(), s, affine.data(), nullptr);
    EXPECT_EQ(flat, affine);
    SubsetCurvature q;
    q.x_xx = 4e-3;
    q.x_xy = -2e-3;
    q.x_yy = 1e-3;
    q.y_xx = -3e-3;
    q.y_xy = 2.5e-3;
    q.y_yy = 5e-3;
    morvex::dic::detail::sample_curved_subset(coef, GetParam(), s, q, vec.data());
    morvex::dic::detail::sample_curved_subset_scalar(coef, GetParam(), s, q, scalar.data());
    EXPECT_EQ(vec, scalar);
    for (int i = 0; i < 2 * s.half + 1; i += 3)
        for (int j = 0; j < 2 * s.half + 1; j += 4) {
            const double dy = i - s.half, dx = j - s.half;
            WarpedSubset point;
            point.x0 = s.x0 + s.ax * dx + s.bx * dy + q.x_xx * dx * dx + q.x_xy * dx * dy +
                       q.x_yy * dy * dy;
            point.y0 = s.y0 + s.ay * dx + s.by * dy + q.y_xx * dx * dx + q.y_xy * dx * dy +
                       q.y_yy * dy * dy;
            point.half = 0;
            morvex::dic::detail::sample_warped_subset_scalar(coef, GetParam(), point, one.data());
            // Positions agree to rounding (another grouping of the same sum).
            EXPECT_NEAR(vec[static_cast<std::size_t>(i * (2 * s.half + 1) + j)], one[0], 1e-9);
        }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CurvedSampler,
                         ::testing::Values(SplineKind::kQuintic, SplineKind::kCubic,
                                           SplineKind::kKeysFourth));

// ---------------------------------------------------------------------------------------

struct BadShape {
    const char* name;
    SubsetShape build;  ///< shape the ReferenceImage is built with
    SubsetShape run;    ///< shape correlate_guided is called with
    const char* message;
};

class QuadraticEntryChecks : public ::testing::TestWithParam<BadShape> {};

TEST_P(QuadraticEntryChecks, ThrowsNamingTheValue) {
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 1);
    const cv::Mat image = render(dots, kStill);
    const BadShape& c = GetParam();
    try {
        const ReferenceImage ref(image, config_of(c.build));
        (void)correlate_guided(ref, image, config_of(c.run));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bad, QuadraticEntryChecks,
    ::testing::Values(
        BadShape{"unknown_shape_at_build", static_cast<SubsetShape>(7), SubsetShape::kAffine,
                 "GuidedConfig::shape is not a known SubsetShape, got 7"},
        BadShape{"unknown_shape_at_run", SubsetShape::kQuadratic, static_cast<SubsetShape>(2),
                 "GuidedConfig::shape is not a known SubsetShape, got 2"},
        BadShape{"shape_differs_from_reference", SubsetShape::kAffine, SubsetShape::kQuadratic,
                 "GuidedConfig::shape differs from the one the ReferenceImage was built with"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A previous result whose second derivatives do not cover the grid is refused.
TEST(QuadraticEntryChecks, PreviousWithPartialCurvatureIsRejected) {
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 1);
    const cv::Mat image = render(dots, kStill);
    const GuidedConfig config = config_of(SubsetShape::kQuadratic);
    const ReferenceImage ref(image, config);
    GuidedResult previous = correlate_guided(ref, image, config);
    previous.dv_dyy.resize(3);
    try {
        (void)correlate_guided(ref, image, config, &previous);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("second derivatives"), std::string::npos) << e.what();
    }
}

}  // namespace
