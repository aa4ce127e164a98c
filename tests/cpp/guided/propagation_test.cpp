// Guided propagation where points fail: subsets that leave the view, a crack between two
// moving halves, sequences whose edge leaves the image, incremental runs. Images are
// rendered dots, exact at any sub-pixel position, so every valid point can be held to the
// true field.

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/guided.hpp>

#include "support/speckle_pair.h"

namespace {

using namespace morvex::dic;
using morvex::test::Dot;

// px: no valid point may be further than this from the truth (false matches are pixels off).
constexpr double kFalsePointTolerance = 0.1;
// px: a valid point on these exact images; ten times the bias of the quintic B-spline here.
constexpr double kValidTolerance = 0.02;

// The dots moved by x' = c + (1 + e) (x - c) + u, y' = c + (1 + e) (y - c) + v.
std::vector<Dot> stretched(const std::vector<Dot>& dots, double u, double v, double e, double c) {
    std::vector<Dot> out = dots;
    for (Dot& d : out) {
        d.x = c + (1.0 + e) * (d.x - c) + u;
        d.y = c + (1.0 + e) * (d.y - c) + v;
    }
    return out;
}

// Share of a subset of `half` px around (x, y), moved by the field, outside a size x size image.
double true_share_outside(double x, double y, int half, int size, double u, double v, double e,
                          double c) {
    int out = 0, total = 0;
    for (int dy = -half; dy <= half; ++dy)
        for (int dx = -half; dx <= half; ++dx) {
            const double px = c + (1.0 + e) * (x + dx - c) + u;
            const double py = c + (1.0 + e) * (y + dy - c) + v;
            ++total;
            out += !(px >= -0.5 && px <= size - 0.5 && py >= -0.5 && py <= size - 0.5);
        }
    return static_cast<double>(out) / total;
}

void expect_identical(const GuidedResult& a, const GuidedResult& b) {
    ASSERT_EQ(a.u.size(), b.u.size());
    for (std::size_t i = 0; i < a.u.size(); ++i) {
        EXPECT_EQ(a.status[i], b.status[i]) << "point " << i;
        if (a.valid[i] && b.valid[i]) {
            EXPECT_EQ(a.u[i], b.u[i]) << "point " << i;
            EXPECT_EQ(a.v[i], b.v[i]) << "point " << i;
        }
    }
    EXPECT_EQ(a.full_searches, b.full_searches);
}

int count_status(const GuidedResult& r, GuidedStatus s) {
    int n = 0;
    for (auto v : r.status) n += v == static_cast<std::uint8_t>(s);
    return n;
}

// The frame's work is booked by final status: to converged points when any converged, and to
// no status that no point holds.
void expect_work_by_status(const GuidedResult& r) {
    ASSERT_EQ(r.seconds_by_status.size(),
              static_cast<std::size_t>(GuidedStatus::kCrossesDiscontinuity) + 1);
    for (std::size_t s = 0; s < r.seconds_by_status.size(); ++s) {
        const int held = count_status(r, static_cast<GuidedStatus>(s));
        EXPECT_GE(r.seconds_by_status[s], 0.0) << "status " << s;
        if (held == 0) {
            EXPECT_EQ(r.seconds_by_status[s], 0.0) << "status " << s;
        }
    }
    if (count_status(r, GuidedStatus::kConverged) > 0) {
        EXPECT_GT(r.seconds_by_status[0], 0.0);
    }
}

GuidedConfig whole_image_config() {
    GuidedConfig config;
    config.subset_size = 21;
    config.step = 6;
    config.compute_strain = false;
    return config;
}

// A translation that pushes the right and top edges out: the points whose moved subset
// leaves by more than a tenth are kLeftView; those wholly inside, and those the edge cuts off
// by less (matched on their pixels inside), are valid and right; the thread count changes
// nothing.
struct ShiftCase {
    double u, v;
};
class GuidedFieldOfView : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(GuidedFieldOfView, PairLeavingTheImageMarksItsEdgeAndMeasuresTheRest) {
    constexpr int kSize = 128;
    const ShiftCase shift = GetParam();
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 11u);
    const cv::Mat reference = morvex::test::render_dots(kSize, kSize, dots);
    const cv::Mat deformed =
        morvex::test::render_dots(kSize, kSize, stretched(dots, shift.u, shift.v, 0.0, 0.0));
    GuidedConfig config = whole_image_config();
    config.threads = 1;
    const ReferenceImage ref(reference, config);
    const GuidedResult r = correlate_guided(ref, deformed, config);
    int left = 0, inside = 0, cut_off = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        const double share = true_share_outside(r.x[i], r.y[i], config.subset_size / 2, kSize,
                                                shift.u, shift.v, 0, 0);
        if (share > 0.1) {
            ++left;
            EXPECT_EQ(r.status[i], static_cast<std::uint8_t>(GuidedStatus::kLeftView))
                << "at " << r.x[i] << ", " << r.y[i] << " share " << share;
        } else if (true_share_outside(r.x[i], r.y[i], config.subset_size / 2 + 1, kSize, shift.u,
                                      shift.v, 0, 0) == 0.0) {  // inside with a pixel to spare
            ++inside;
            EXPECT_EQ(r.valid[i], 1) << "at " << r.x[i] << ", " << r.y[i];
            EXPECT_NEAR(r.u[i], shift.u, kValidTolerance);
            EXPECT_NEAR(r.v[i], shift.v, kValidTolerance);
        } else if (share > 0.0) {
            ++cut_off;
            EXPECT_EQ(r.valid[i], 1) << "cut off by the edge at " << r.x[i] << ", " << r.y[i]
                                     << " share " << share << ": status " << int{r.status[i]};
            EXPECT_NEAR(r.u[i], shift.u, kValidTolerance) << "at " << r.x[i] << ", " << r.y[i];
            EXPECT_NEAR(r.v[i], shift.v, kValidTolerance) << "at " << r.x[i] << ", " << r.y[i];
        }
    }
    EXPECT_GT(left, 0);
    EXPECT_GT(inside, 0);
    EXPECT_EQ(count_status(r, GuidedStatus::kNotReached), 0);
    // One search for the frame's first seed; every failing point gave up without one.
    EXPECT_LE(r.full_searches, 1);
    expect_work_by_status(r);
    config.threads = 2;
    expect_identical(r, correlate_guided(ref, deformed, config));
}

INSTANTIATE_TEST_SUITE_P(Shifts, GuidedFieldOfView,
                         ::testing::Values(ShiftCase{9.3, -7.6}, ShiftCase{-12.3, 4.2},
                                           ShiftCase{3.0, 15.7}));

// A specimen moved by a pixel or two keeps its edge points: the subsets of the top row, which
// the image's edge cuts off by at most a tenth, are matched on their
// pixels inside, first and second order, prefiltered or not, with read noise; each within
// 0.02 px (0.05 second order) and within five of its own sigmas, which counts only the pixels kept (larger than
// the whole subsets' on average); the thread count changes nothing. (Prefiltered, the column
// along the left edge, where new texture enters, may misfit: the prefilter mirrors the
// reference there, not the deformed frame.)
TEST(GuidedFieldOfView, SubsetsTheEdgeCutsOffAreMeasuredOnTheirPixelsInside) {
    constexpr int kSize = 128;
    constexpr double kU = 1.3, kV = -1.8;
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 17u);
    cv::Mat reference = morvex::test::render_dots(kSize, kSize, dots);
    cv::Mat deformed = morvex::test::render_dots(kSize, kSize, stretched(dots, kU, kV, 0.0, 0.0));
    cv::RNG rng(5);
    cv::Mat noise(kSize, kSize, CV_64FC1);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
    reference += noise;
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
    deformed += noise;
    for (const SubsetShape shape : {SubsetShape::kAffine, SubsetShape::kQuadratic})
        for (const double prefilter : {0.0, 0.8}) {
            SCOPED_TRACE(testing::Message()
                         << (shape == SubsetShape::kAffine ? "first" : "second") << " order, "
                         << "prefilter " << prefilter);
            GuidedConfig config = whole_image_config();
            config.shape = shape;
            config.prefilter_sigma = prefilter;
            config.threads = 1;
            const ReferenceImage ref(reference, config);
            const GuidedResult r = correlate_guided(ref, deformed, config);
            const int half = config.subset_size / 2;
            int cut_off = 0, inside = 0;
            double sigma_cut = 0.0, sigma_inside = 0.0;
            for (std::size_t i = 0; i < r.u.size(); ++i) {
                const double share = true_share_outside(r.x[i], r.y[i], half, kSize, kU, kV, 0, 0);
                ASSERT_LE(share, 0.1) << "the shift is meant to leave every point in view";
                if (share == 0.0 && (!r.valid[i] || prefilter > 0.0)) continue;
                ASSERT_EQ(r.valid[i], 1) << "at " << r.x[i] << ", " << r.y[i] << " share " << share
                                         << ": status " << int{r.status[i]};
                const double error = std::hypot(r.u[i] - kU, r.v[i] - kV);
                const double sigma = std::hypot(r.sigma_u[i], r.sigma_v[i]);
                // Twelve parameters fit the read noise too: twice the scatter.
                EXPECT_LT(error, (shape == SubsetShape::kAffine ? 1.0 : 2.5) * kValidTolerance)
                    << "at " << r.x[i] << ", " << r.y[i];
                EXPECT_LT(error, 5.0 * sigma) << "at " << r.x[i] << ", " << r.y[i];
                (share > 0.0 ? cut_off : inside) += 1;
                (share > 0.0 ? sigma_cut : sigma_inside) += sigma;
            }
            // The top row, its corners aside.
            EXPECT_GE(cut_off, kSize / config.step - 4);
            if (inside > 0) {
                EXPECT_GT(sigma_cut / cut_off, sigma_inside / inside);
            }
            config.threads = 2;
            expect_identical(r, correlate_guided(ref, deformed, config));
        }
}

// Frames of growing translation and stretch whose edge points leave the view: a failing
// point must never come back as a far-away false match reported valid (once 600 px off).
TEST(GuidedFieldOfView, SequenceLeavingTheViewHasNoFalseValidPoint) {
    constexpr int kSize = 160;
    constexpr int kFrames = 6;
    const double c = kSize / 2.0;
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 21u);
    GuidedConfig config = whole_image_config();
    for (const bool incremental : {false, true}) {
        GuidedSequence sequence(morvex::test::render_dots(kSize, kSize, dots), config, incremental);
        for (int k = 1; k <= kFrames; ++k) {
            const double u = 2.2 * k, v = -1.3 * k, e = 0.006 * k;
            const GuidedResult r = sequence.add_frame(
                morvex::test::render_dots(kSize, kSize, stretched(dots, u, v, e, c)));
            int valid = 0;
            for (std::size_t i = 0; i < r.u.size(); ++i) {
                if (!r.valid[i]) continue;
                ++valid;
                const double tu = u + e * (r.x[i] - c), tv = v + e * (r.y[i] - c);
                EXPECT_NEAR(r.u[i], tu, kFalsePointTolerance)
                    << (incremental ? "incremental" : "fixed") << " frame " << k << " at " << r.x[i]
                    << ", " << r.y[i];
                EXPECT_NEAR(r.v[i], tv, kFalsePointTolerance);
            }
            EXPECT_GT(valid, static_cast<int>(r.u.size()) / 2) << "frame " << k;
            expect_work_by_status(r);
        }
    }
}

// Six 256 x 256 frames of 2.5, -1.5 px and a stretch of 0.001 per frame, incremental: every
// point whose subset the true field keeps inside the frame is valid, and right when it keeps
// a pixel to spare (the increments' edge points, whose subsets reach the image border, are
// the least accurate). Once a whole grid row and a bottom-edge point were left kNotReached;
// later the row below the top one came back kNotConverged from the second frame on: it lies
// between the increment's top row, whose subset leaves the frame, and the row below, and the
// bilinear blend of the increment took the failed row's status with it.
TEST(GuidedSequence, IncrementalFramesKeepTheRowBelowAnEdgeThatLeaves) {
    constexpr int kSize = 256;
    const double c = kSize / 2.0;
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 5u);
    GuidedConfig config;
    config.compute_strain = false;
    const int half = config.subset_size / 2;
    GuidedSequence sequence(morvex::test::render_dots(kSize, kSize, dots), config, true);
    for (int k = 1; k <= 6; ++k) {
        const double u = 2.5 * k, v = -1.5 * k, e = 0.001 * k;
        const GuidedResult r = sequence.add_frame(
            morvex::test::render_dots(kSize, kSize, stretched(dots, u, v, e, c)));
        EXPECT_EQ(count_status(r, GuidedStatus::kNotReached), 0) << "frame " << k;
        int inside = 0;
        for (std::size_t i = 0; i < r.u.size(); ++i) {
            if (true_share_outside(r.x[i], r.y[i], half, kSize, u, v, e, c) > 0.0) continue;
            ++inside;
            ASSERT_EQ(r.valid[i], 1) << "frame " << k << " at " << r.x[i] << ", " << r.y[i]
                                     << ": status " << int{r.status[i]};
            if (true_share_outside(r.x[i], r.y[i], half + 1, kSize, u, v, e, c) > 0.0) continue;
            EXPECT_NEAR(r.u[i], u + e * (r.x[i] - c), kValidTolerance)
                << "frame " << k << " at " << r.x[i] << ", " << r.y[i];
            EXPECT_NEAR(r.v[i], v + e * (r.y[i] - c), kValidTolerance)
                << "frame " << k << " at " << r.x[i] << ", " << r.y[i];
        }
        // The row next to the top edge among them in every frame: more than 31 points.
        EXPECT_GT(inside, static_cast<int>(r.u.size()) * 3 / 4) << "frame " << k;
    }
}

// Two textured halves moved 4 px apart: each half is grown from its own seed and valid, a
// subset across the crack is rejected (it once converged to a blend of the lips, du/dx near
// 0.3, ZNCC 0.9), and no point but the seeds is searched over the whole image.
TEST(GuidedSeeds, CrackHalvesGrowFromTheirOwnSeeds) {
    constexpr int kRows = 128, kCols = 256, kCrack = 130;  // on grid column 20
    constexpr double kLeftU = 1.0, kRightU = 5.0, kV = 0.4;
    const std::vector<Dot> dots = morvex::test::random_dots(kRows, kCols, 3u);
    const cv::Mat reference = morvex::test::render_dots(kRows, kCols, dots);
    std::vector<Dot> left = dots, right = dots;
    for (Dot& d : left) {
        d.x += kLeftU;
        d.y += kV;
    }
    for (Dot& d : right) {
        d.x += kRightU;
        d.y += kV;
    }
    const cv::Mat left_image = morvex::test::render_dots(kRows, kCols, left);
    const cv::Mat right_image = morvex::test::render_dots(kRows, kCols, right);
    // The crack opens between columns kCrack + 1 and kCrack + 5 of the deformed image.
    cv::Mat deformed = right_image.clone();
    left_image.colRange(0, kCrack + 3).copyTo(deformed.colRange(0, kCrack + 3));
    GuidedConfig config = whole_image_config();
    config.seed_count = 4;
    config.threads = 2;
    const ReferenceImage ref(reference, config);
    const GuidedResult r = correlate_guided(ref, deformed, config);
    const int half = config.subset_size / 2;
    int failed = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        const bool on_left = r.x[i] + half < kCrack, on_right = r.x[i] - half >= kCrack;
        if (r.x[i] + half + kRightU > kCols - 0.5) continue;  // the right edge leaves the view
        if (on_left || on_right) {
            EXPECT_EQ(r.valid[i], 1) << "at " << r.x[i] << ", " << r.y[i];
            EXPECT_NEAR(r.u[i], on_left ? kLeftU : kRightU, kValidTolerance);
            EXPECT_NEAR(r.v[i], kV, kValidTolerance);
        } else {
            EXPECT_EQ(r.valid[i], 0) << "across the crack at " << r.x[i] << ", " << r.y[i] << ": u "
                                     << r.u[i] << ", ZNCC " << r.zncc[i];
        }
        failed += r.valid[i] == 0;
    }
    EXPECT_GT(failed, 0);
    // At most the first seed and the four blocks' seeds were searched: far fewer searches
    // than failed points.
    EXPECT_LE(r.full_searches, 1 + 4);
    EXPECT_LT(r.full_searches, failed);
    config.threads = 1;
    expect_identical(r, correlate_guided(ref, deformed, config));
}

// A smudge: a flat grey patch on the deformed frame (glare, a speck of dust). A subset that
// holds it still converges with ZNCC near 0.9 on its intact speckle, 0.2 px off; its misfit
// stands out against the neighbours', so it is rejected. Every subset clear of the patch
// stays valid and right.
TEST(GuidedFailure, SmudgeRejectsTheSubsetsThatHoldIt) {
    constexpr int kSize = 160, kPatch = 8;
    constexpr double kU = 1.3, kV = -0.6;
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 17u);
    const cv::Mat reference = morvex::test::render_dots(kSize, kSize, dots);
    cv::Mat deformed = morvex::test::render_dots(kSize, kSize, stretched(dots, kU, kV, 0.0, 0.0));
    const cv::Rect glare(70, 64, kPatch, kPatch);
    deformed(glare).setTo(cv::mean(deformed)[0]);
    GuidedConfig config = whole_image_config();
    const ReferenceImage ref(reference, config);
    const GuidedResult r = correlate_guided(ref, deformed, config);
    const int half = config.subset_size / 2;
    int touched = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        // The subset as it lies on the deformed frame, a pixel to spare.
        const cv::Rect subset(static_cast<int>(r.x[i] + kU) - half - 1,
                              static_cast<int>(r.y[i] + kV) - half - 1, 2 * half + 3, 2 * half + 3);
        const int overlap = (subset & glare).area();
        if (overlap > 0 && overlap < glare.area()) {
            // At the patch's rim: rejected, or close to the truth.
            if (r.valid[i]) {
                EXPECT_NEAR(r.u[i], kU, kFalsePointTolerance) << "at " << r.x[i] << ", " << r.y[i];
                EXPECT_NEAR(r.v[i], kV, kFalsePointTolerance) << "at " << r.x[i] << ", " << r.y[i];
            }
        } else if (overlap == glare.area()) {
            ++touched;
            EXPECT_EQ(r.valid[i], 0)
                << "under the glare at " << r.x[i] << ", " << r.y[i] << ", ZNCC " << r.zncc[i];
        } else if (true_share_outside(r.x[i], r.y[i], half + 1, kSize, kU, kV, 0, 0) == 0.0) {
            EXPECT_EQ(r.valid[i], 1) << "clear of the glare at " << r.x[i] << ", " << r.y[i];
            EXPECT_NEAR(r.u[i], kU, kValidTolerance);
            EXPECT_NEAR(r.v[i], kV, kValidTolerance);
        }
    }
    EXPECT_GT(touched, 0);
}

// A 96 x 96 pair of dots translated by (u, v), measured with `config` (whole image):
// some point is valid, and every valid one is right.
void expect_translation_measured(unsigned seed, double u, double v, const GuidedConfig& config) {
    constexpr int kSize = 96;
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, seed);
    const cv::Mat reference = morvex::test::render_dots(kSize, kSize, dots);
    const cv::Mat deformed =
        morvex::test::render_dots(kSize, kSize, stretched(dots, u, v, 0.0, 0.0));
    const ReferenceImage ref(reference, config);
    const GuidedResult r = correlate_guided(ref, deformed, config);
    int valid = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i)
        if (r.valid[i]) {
            ++valid;
            EXPECT_NEAR(r.u[i], u, kValidTolerance);
            EXPECT_NEAR(r.v[i], v, kValidTolerance);
        }
    EXPECT_GT(valid, 0);
}

// A max_jump far beyond the image (once 1e151 px, which overflowed the residual search's
// half-width): the search stays within the image and the pair is still measured.
TEST(GuidedFailure, HugeMaxJumpKeepsTheResidualSearchInsideTheImage) {
    GuidedConfig config = whole_image_config();
    config.max_jump = 1e151;
    expect_translation_measured(5u, 1.4, -0.7, config);
}

// Explicit seeds at the ends of int's range (their distance to the grid once overflowed)
// are refused by name, before any work, as any seed off the image is.
TEST(GuidedSeeds, SeedsAtTheEndsOfIntAreRefused) {
    GuidedConfig config = whole_image_config();
    config.seed_points = {{std::numeric_limits<int>::min() + 10, std::numeric_limits<int>::max()}};
    const morvex::test::ImagePair pair = morvex::test::speckle_pair(64, 64, 0.5, 0.5);
    const ReferenceImage ref(pair.reference, config);
    EXPECT_THROW(correlate_guided(ref, pair.deformed, config), std::invalid_argument);
}

}  // namespace
