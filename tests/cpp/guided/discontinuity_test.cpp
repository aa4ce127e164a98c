// Subsets across a displacement jump: a speckled plate cut by a straight crack whose far side
// moved by a known opening (the gap dark) or slid along it. No valid point may straddle the
// crack, every point wholly on one side is valid and right, and a smooth field (however
// strained, curved or noisy) loses no point to the test. Images are rendered dots, exact at
// any sub-pixel position.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/guided.hpp>

#include "support/cracked_plate.h"
#include "support/speckle_pair.h"

namespace {

using namespace morvex::dic;
using morvex::test::Dot;

// px: a valid point on these exact images; ten times the bias of the quintic B-spline here.
constexpr double kValidTolerance = 0.02;
constexpr int kRows = 160, kCols = 240, kCrack = 121;  // the first column of the far side
constexpr double kU = 0.7, kV = -0.4;                  // the near side's motion
constexpr std::uint8_t kCrosses = static_cast<std::uint8_t>(GuidedStatus::kCrossesDiscontinuity);
constexpr std::uint8_t kLow = static_cast<std::uint8_t>(GuidedStatus::kLowCorrelation);
// px: the B-spline interpolant of the deformed image reads this far around a position, so a
// subset whose edge comes closer to the crack sees the gap through it (0.03 px off at 1 px).
constexpr int kInterpolantReach = 3;

GuidedConfig plate_config(int threads) {
    GuidedConfig config;
    config.subset_size = 21;
    config.step = 5;
    config.compute_strain = false;
    config.threads = threads;
    return config;
}

// The plate cut between columns kCrack - 1 and kCrack: the near side moved by (kU, kV), the
// far side by (kU + open, kV + slide); what the far side uncovers is a dark gap.
using morvex::test::Plate;

Plate cracked_plate(double open, double slide, std::uint32_t seed) {
    return morvex::test::cracked_plate(kRows, kCols, {kCrack}, {{kU, kV}, {kU + open, kV + slide}},
                                       seed);
}

struct CrackCase {
    std::string name;
    double open, slide;
    bool across_rows;  // the images transposed: a horizontal crack, the far side below
};

class StraightCrack : public ::testing::TestWithParam<CrackCase> {};

// No valid point's subset crosses the crack; every point whose subset keeps clear of it by
// the interpolant's reach (and stays in view) is valid within kValidTolerance of its side's
// motion; the crack, not a poor ZNCC, is what rejects most straddling points that converged;
// the thread count changes nothing.
TEST_P(StraightCrack, NoValidPointStraddlesItAndBothSidesAreMeasured) {
    const CrackCase& k = GetParam();
    Plate p = cracked_plate(k.open, k.slide, 11u);
    double near_u = kU, near_v = kV, far_u = kU + k.open, far_v = kV + k.slide;
    if (k.across_rows) {
        p.reference = p.reference.t();
        p.deformed = p.deformed.t();
        std::swap(near_u, near_v);
        std::swap(far_u, far_v);
    }
    const GuidedConfig config = plate_config(2);
    const ReferenceImage ref(p.reference, config);
    const GuidedResult r = correlate_guided(ref, p.deformed, config);
    const int half = config.subset_size / 2;
    const int extent = k.across_rows ? kCols : kRows;  // of the image along the crack
    const int depth = k.across_rows ? kRows : kCols;   // across it
    int converged_across = 0, marked = 0, measured = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        const double across = k.across_rows ? r.y[i] : r.x[i];
        const double along = k.across_rows ? r.x[i] : r.y[i];
        // The far side's outer subsets leave the view.
        if (across + half + std::ceil(std::max(std::fabs(far_u), std::fabs(far_v))) > depth - 1 ||
            along + half + 1 > extent - 1 || along - half - 1 < 0)
            continue;
        const bool crosses = across - half < kCrack && across + half >= kCrack;
        const bool near_side = across + half + kInterpolantReach < kCrack;
        const bool far_side = across - half - kInterpolantReach >= kCrack;
        if (crosses) {
            EXPECT_EQ(r.valid[i], 0) << "across the crack at " << r.x[i] << ", " << r.y[i] << ": u "
                                     << r.u[i] << " v " << r.v[i] << ", ZNCC " << r.zncc[i];
            if (r.zncc[i] >= config.min_zncc && (r.status[i] == kCrosses || r.status[i] == kLow)) {
                ++converged_across;
                marked += r.status[i] == kCrosses;
            }
        } else if (near_side || far_side) {
            ++measured;
            EXPECT_EQ(r.valid[i], 1)
                << "at " << r.x[i] << ", " << r.y[i] << " status " << int(r.status[i]);
            EXPECT_NEAR(r.u[i], near_side ? near_u : far_u, kValidTolerance)
                << r.x[i] << ", " << r.y[i];
            EXPECT_NEAR(r.v[i], near_side ? near_v : far_v, kValidTolerance)
                << r.x[i] << ", " << r.y[i];
        }
    }
    EXPECT_GT(measured, 500);
    EXPECT_GT(converged_across, 10);
    EXPECT_GE(3 * marked, 2 * converged_across) << marked << " of " << converged_across;
    GuidedConfig one = config;
    one.threads = 1;
    const GuidedResult s = correlate_guided(ref, p.deformed, one);
    for (std::size_t i = 0; i < r.u.size(); ++i) ASSERT_EQ(r.status[i], s.status[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Openings, StraightCrack,
                         ::testing::Values(CrackCase{"opened_4px", 4.0, 0.0, false},
                                           CrackCase{"opened_1px", 1.0, 0.0, false},
                                           CrackCase{"slid_2px", 0.0, 2.0, false},
                                           CrackCase{"opened_and_slid_across_rows", 3.0, -1.5,
                                                     true}),
                         [](const ::testing::TestParamInfo<CrackCase>& c) { return c.param.name; });

// A narrow dark gap (1.5 px opening) placed so that grid points' subsets hold only 1 to 4
// columns of one lip: the one warp is pulled by tenths of a pixel by that thin strip and the
// gap the interpolant reads next to it, yet its misfit, spread over the subset, stays modest.
// Every such point is refused as crossing the crack; the points clear of it stay valid.
class CrackNearEdge : public ::testing::TestWithParam<int> {};

TEST_P(CrackNearEdge, ThinLipInsideTheSubsetIsNeverValid) {
    const int crack = GetParam();
    const Plate p =
        morvex::test::cracked_plate(kRows, kCols, {crack}, {{kU, kV}, {kU + 1.5, kV}}, 23u);
    const GuidedConfig config = plate_config(2);
    const ReferenceImage ref(p.reference, config);
    const GuidedResult r = correlate_guided(ref, p.deformed, config);
    const int half = config.subset_size / 2;
    int thin = 0, clear = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        const int x = static_cast<int>(r.x[i]), y = static_cast<int>(r.y[i]);
        if (y - half - 1 < 0 || y + half + 1 > kRows - 1 || x + half + 3 > kCols - 1) continue;
        const int near_columns = crack - (x - half), far_columns = x + half + 1 - crack;
        if (near_columns > 0 && far_columns > 0) {
            EXPECT_EQ(r.valid[i], 0)
                << "across at " << x << ", " << y << " zncc " << r.zncc[i] << " near "
                << near_columns << " far " << far_columns << ": u " << r.u[i];
            const int lip = std::min(near_columns, far_columns);
            // Converged, then refused: as crossing the crack, not as a poor match.
            if (lip >= 1 && lip <= 4 && (r.status[i] == kCrosses || r.status[i] == kLow)) {
                ++thin;
                EXPECT_EQ(r.status[i], kCrosses) << x << ", " << y << " lip " << lip;
            }
        } else if (std::min(std::abs(x + half + 1 - crack), std::abs(crack - (x - half))) >
                   kInterpolantReach) {
            ++clear;
            EXPECT_EQ(r.valid[i], 1) << "at " << x << ", " << y << " status " << int(r.status[i]);
            EXPECT_NEAR(r.u[i], far_columns > 0 ? kU + 1.5 : kU, kValidTolerance) << x << ", " << y;
        }
    }
    EXPECT_GT(thin, 10);
    EXPECT_GT(clear, 500);
}

// The crack's column against the grid (centres 5 px apart): each puts a different lip width
// inside the subsets next to it.
INSTANTIATE_TEST_SUITE_P(Columns, CrackNearEdge, ::testing::Values(121, 122, 123, 124));

// A crack from the left edge to a tip inside the image, opened like a crack under tension:
// each lip moves off the line by A sqrt(r) sin(theta / 2) (r, theta about the tip, theta = 0
// ahead of it), so the opening fades to nothing at the tip and the field ahead is continuous.
// Near the tip the opening falls to tenths of a pixel and, under read noise, the subsets there
// misfit no more than the intact speckle, yet read the lips as a blend (0.1 to 0.2 px off).
// No subset that holds kTipHeld px of the crack's length, kTipInside px or more inside its
// edge, is valid; every point whose subset keeps clear of the lips and of the tip (beyond the
// interpolant's reach) is valid and right.
class CrackTip : public ::testing::TestWithParam<double> {};

TEST_P(CrackTip, NoSubsetHoldingTheCrackIsValid) {
    const double tip_x = GetParam(), tip_y = 80.5;
    constexpr double kA = 0.1;  // px^0.5: 2.2 px opened 120 px behind the tip, 0.2 px at 1
    constexpr double kTipHeld = 13.0, kTipInside = 4.0;
    const auto field = [&](double x, double y, double& u, double& v) {
        const double r = std::hypot(x - tip_x, y - tip_y);
        const double theta = std::atan2(y - tip_y, x - tip_x);
        u = kU;
        v = kV + kA * std::sqrt(r) * std::sin(0.5 * theta);
    };
    const std::vector<Dot> dots = morvex::test::random_dots(kRows, kCols, 31u);
    const cv::Mat reference = morvex::test::render_dots(kRows, kCols, dots);
    cv::Mat deformed = morvex::test::render_dots_deformed(kRows, kCols, dots, field);
    // What no reference pixel lands on (the inverse map finds no source) is the dark gap.
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) {
            double x = c, y = r, u = 0.0, v = 0.0;
            for (int k = 0; k < 60; ++k) {
                field(x, y, u, v);
                x = c - u;
                y = r - v;
            }
            field(x, y, u, v);
            if (std::hypot(x + u - c, y + v - r) > 1e-3) deformed.at<double>(r, c) = 10.0;
        }
    // Read noise of a grey level: the subsets at the tip then misfit no more than the others.
    cv::Mat noisy = reference.clone();
    std::mt19937 rng(5u);
    std::normal_distribution<double> grey(0.0, 1.0);
    for (cv::Mat* image : {&noisy, &deformed})
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c) image->at<double>(r, c) += grey(rng);
    GuidedConfig config = plate_config(2);
    config.subset_size = 25;
    const ReferenceImage ref(noisy, config);
    const GuidedResult result = correlate_guided(ref, deformed, config);
    const int half = config.subset_size / 2;
    int near_tip = 0, clear = 0;
    for (std::size_t i = 0; i < result.u.size(); ++i) {
        const double x = result.x[i], y = result.y[i];
        if (y - half - 1 < 0 || y + half + 2 > kRows - 1 || x + half + 1 > kCols - 1 ||
            x - half - 1 < 0)
            continue;
        const double held = tip_x - (x - half);  // of the crack's length, px
        const double inside = half - std::fabs(y - tip_y);
        if (held >= kTipHeld && inside >= kTipInside) {
            near_tip += x + half > tip_x ? 1 : 0;
            EXPECT_EQ(result.valid[i], 0) << "holds the crack at " << x << ", " << y << ": v "
                                          << result.v[i] << ", ZNCC " << result.zncc[i];
            continue;
        }
        // The subset keeps clear of the lips, or wholly ahead of the tip.
        if (!(inside < -kInterpolantReach || held < -kInterpolantReach)) continue;
        ++clear;
        double u, v;
        field(x, y, u, v);
        EXPECT_EQ(result.valid[i], 1)
            << "at " << x << ", " << y << " status " << int(result.status[i]);
        EXPECT_NEAR(result.u[i], u, kValidTolerance) << x << ", " << y;
        EXPECT_NEAR(result.v[i], v, kValidTolerance) << x << ", " << y;
    }
    EXPECT_GE(near_tip, 6);  // the subsets that hold the tip itself
    EXPECT_GT(clear, 800);
    // The tip's rounds judge each point on the rounds before, whatever the threads.
    GuidedConfig one = config;
    one.threads = 1;
    const GuidedResult alone = correlate_guided(ref, deformed, one);
    for (std::size_t i = 0; i < result.u.size(); ++i)
        ASSERT_EQ(result.status[i], alone.status[i]) << i;
}

// The tip against the grid (centres 5 px apart): each leaves a different stretch of the
// crack inside the subsets around it.
INSTANTIATE_TEST_SUITE_P(Tips, CrackTip,
                         ::testing::Values(146.5, 147.5, 149.5, 150.5, 151.5, 152.5, 153.5, 154.5));

// Smooth fields keep every point: nothing is marked as crossing a discontinuity however
// steep, curved or noisy the field, and every point in view is valid and right.
struct SmoothCase {
    std::string name;
    double u, v, stretch, curve, rotation, noise;
    double sine = 0.0, wavelength = 1.0;  // v += sine sin(2 pi x / wavelength), px
};

class SmoothField : public ::testing::TestWithParam<SmoothCase> {};

TEST_P(SmoothField, LosesNoPointToTheTest) {
    const SmoothCase& k = GetParam();
    constexpr int kSize = 180;
    const double c = kSize / 2.0;
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 5u);
    cv::Mat reference = morvex::test::render_dots(kSize, kSize, dots);
    const auto field = [&](double x, double y, double& u, double& v) {
        const double dx = x - c, dy = y - c;
        const double cs = std::cos(k.rotation), sn = std::sin(k.rotation);
        u = k.u + k.stretch * dx + k.curve * dx * dx + (cs - 1.0) * dx - sn * dy;
        v = k.v - 0.5 * k.stretch * dy + sn * dx + (cs - 1.0) * dy +
            k.sine * std::sin(2.0 * 3.14159265358979323846 * x / k.wavelength);
    };
    cv::Mat deformed = morvex::test::render_dots_deformed(kSize, kSize, dots, field);
    if (k.noise > 0.0) {
        std::mt19937 rng(3u);
        std::normal_distribution<double> noise(0.0, k.noise);
        for (cv::Mat* m : {&reference, &deformed})
            for (int r = 0; r < kSize; ++r)
                for (int col = 0; col < kSize; ++col) m->at<double>(r, col) += noise(rng);
    }
    GuidedConfig config = plate_config(2);
    const ReferenceImage ref(reference, config);
    const GuidedResult r = correlate_guided(ref, deformed, config);
    // A first-order subset smooths a sine of a period near two subsets by tenths of a pixel.
    const double tolerance = k.sine > 0.0    ? 0.3
                             : k.noise > 0.0 ? 0.1
                                             : (k.curve != 0.0 ? 0.05 : kValidTolerance);
    int valid = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        EXPECT_NE(r.status[i], kCrosses) << "at " << r.x[i] << ", " << r.y[i];
        if (!r.valid[i]) continue;
        ++valid;
        double u, v;
        field(r.x[i], r.y[i], u, v);
        EXPECT_NEAR(r.u[i], u, tolerance) << r.x[i] << ", " << r.y[i];
        EXPECT_NEAR(r.v[i], v, tolerance) << r.x[i] << ", " << r.y[i];
    }
    EXPECT_GT(valid, static_cast<int>(r.u.size()) * 3 / 5);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SmoothField,
    ::testing::Values(SmoothCase{"translation", 2.3, -1.7, 0.0, 0.0, 0.0, 0.0},
                      SmoothCase{"stretch_8_percent", 0.4, 0.2, 0.08, 0.0, 0.0, 0.0},
                      SmoothCase{"curved", 0.3, 0.0, 0.0, 4e-4, 0.0, 0.0},
                      SmoothCase{"turned_10_degrees", 0.0, 0.0, 0.0, 0.0, 0.1745, 0.0},
                      SmoothCase{"noisy", 1.2, 0.6, 0.02, 0.0, 0.0, 4.0},
                      SmoothCase{"steep_curved_noisy", 0.5, 0.3, 0.12, 1e-3, 0.05, 2.0},
                      // A period of about three subsets (21 px), and two with noise: the
                      // steep sines whose sides, fitted apart across a guard band, part by
                      // tenths of a pixel.
                      SmoothCase{"sine_period_60", 0.2, 0.1, 0.0, 0.0, 0.0, 0.0, 0.5, 60.0},
                      SmoothCase{"sine_period_42_noisy", 0.2, 0.1, 0.0, 0.0, 0.0, 2.0, 0.5, 42.0}),
    [](const ::testing::TestParamInfo<SmoothCase>& c) { return c.param.name; });

}  // namespace
