// Crack lines as barriers: a subset uses only its centre's side of every line, each region the
// lines cut off is seeded on its own, growth and strain windows never cross a line. A plate
// cut by straight cracks, each piece moved rigidly (the gap dark), is measured on both lips up
// to the line; a line the data do not show changes nothing beyond noise.

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/guided.hpp>

#include "support/cracked_plate.h"

namespace {

using namespace morvex::dic;

// px: a valid point on these exact images (ten times the quintic B-spline's bias here).
constexpr double kTolerance = 0.02;
constexpr int kRows = 160, kCols = 240;
constexpr std::uint8_t kCrosses = static_cast<std::uint8_t>(GuidedStatus::kCrossesDiscontinuity);

GuidedConfig plate_config() {
    GuidedConfig config;
    config.subset_size = 21;
    config.step = 5;
    config.threads = 2;
    return config;
}

// A vertical line between columns `cut` - 1 and `cut`, across the whole image.
std::vector<CrackVertex> vertical_line(int cut) {
    return {{cut - 0.5, -0.5}, {cut - 0.5, kRows - 0.5}};
}

// Which piece a reference column belongs to.
int piece_of(double x, const std::vector<int>& cuts) {
    int k = 0;
    while (k < static_cast<int>(cuts.size()) && x >= cuts[static_cast<std::size_t>(k)] - 0.5) ++k;
    return k;
}

double distance_to_cuts(double x, const std::vector<int>& cuts) {
    double d = std::numeric_limits<double>::infinity();
    for (int c : cuts) d = std::min(d, std::fabs(x - (c - 0.5)));
    return d;
}

struct BarrierCase {
    std::string name;
    std::vector<int> cuts;
    std::vector<std::pair<double, double>> motions;
    int seed_count;  // 1: one block, so every region but the first needs a seed of its own
};

class Barrier : public ::testing::TestWithParam<BarrierCase> {};

// Every point whose centre is 1 px or more from a line and whose subset stays in view is
// valid within kTolerance of its own piece's motion, cut subsets included; the points on a
// line are kCrossesDiscontinuity; every piece is reached; the strain of the rigid pieces stays
// near zero up to the lines (no window blends two lips); the thread count changes nothing.
TEST_P(Barrier, BothLipsAreMeasuredUpToTheLine) {
    const BarrierCase& k = GetParam();
    const morvex::test::Plate p = morvex::test::cracked_plate(kRows, kCols, k.cuts, k.motions, 7u);
    GuidedConfig config = plate_config();
    config.seed_count = k.seed_count;
    for (int cut : k.cuts) config.crack_lines.push_back(vertical_line(cut));
    const ReferenceImage ref(p.reference, config);
    const GuidedResult r = correlate_guided(ref, p.deformed, config);
    const int half = config.subset_size / 2;
    std::vector<int> valid_in_piece(k.motions.size(), 0);
    int cut_valid = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        const double x = r.x[i], y = r.y[i];
        const double gap = distance_to_cuts(x, k.cuts);
        if (gap < kCrackClearance) {
            EXPECT_EQ(r.status[i], kCrosses) << x << ", " << y;
            continue;
        }
        const auto [u, v] = k.motions[static_cast<std::size_t>(piece_of(x, k.cuts))];
        // Subsets the motion carries out of the image are not the lines' business.
        if (x + half + std::ceil(std::fabs(u)) + 1 > kCols - 1 || x - half - 1 + u < 0 ||
            y + half + std::ceil(std::fabs(v)) + 1 > kRows - 1 || y - half - 1 + v < 0)
            continue;
        ASSERT_EQ(r.valid[i], 1) << "at " << x << ", " << y << " status " << int(r.status[i]);
        EXPECT_NEAR(r.u[i], u, kTolerance) << x << ", " << y;
        EXPECT_NEAR(r.v[i], v, kTolerance) << x << ", " << y;
        EXPECT_LT(std::fabs(r.exx[i]), 2e-3) << x << ", " << y;
        EXPECT_LT(std::fabs(r.exy[i]), 2e-3) << x << ", " << y;
        ++valid_in_piece[static_cast<std::size_t>(piece_of(x, k.cuts))];
        cut_valid += gap < half;
    }
    for (std::size_t piece = 0; piece < valid_in_piece.size(); ++piece)
        EXPECT_GT(valid_in_piece[piece], 50) << "piece " << piece;
    EXPECT_GT(cut_valid, 40 * static_cast<int>(k.cuts.size()));
    GuidedConfig one = config;
    one.threads = 1;
    const GuidedResult s = correlate_guided(ref, p.deformed, one);
    for (std::size_t i = 0; i < r.u.size(); ++i) ASSERT_EQ(r.status[i], s.status[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cracks, Barrier,
    ::testing::Values(
        BarrierCase{"opened_3px", {121}, {{0.7, -0.4}, {3.7, -0.4}}, 0},
        BarrierCase{"opened_and_slid_one_block", {121}, {{0.7, -0.4}, {2.7, 1.1}}, 1},
        BarrierCase{"two_cracks_one_block", {81, 161}, {{0.7, -0.4}, {2.9, -0.4}, {4.6, 0.8}}, 1}),
    [](const ::testing::TestParamInfo<BarrierCase>& c) { return c.param.name; });

// A line where the plate is whole: every point measured without it is measured with it (but
// those on the line) to the same motion within the noise of a subset cut in two.
TEST(Barrier, LineTheDataDoNotShowLeavesTheField) {
    const morvex::test::Plate p = morvex::test::cracked_plate(kRows, kCols, {}, {{1.3, -0.6}}, 9u);
    GuidedConfig plain = plate_config();
    GuidedConfig lined = plain;
    lined.crack_lines.push_back({{60.2, 20.0}, {130.0, 90.0}, {180.0, 150.0}});
    const GuidedResult a = correlate_guided(ReferenceImage(p.reference, plain), p.deformed, plain);
    const GuidedResult b = correlate_guided(ReferenceImage(p.reference, lined), p.deformed, lined);
    int compared = 0;
    for (std::size_t i = 0; i < a.u.size(); ++i) {
        if (!a.valid[i]) continue;
        if (b.status[i] == kCrosses) continue;
        ASSERT_EQ(b.valid[i], 1) << a.x[i] << ", " << a.y[i] << " status " << int(b.status[i]);
        EXPECT_NEAR(b.u[i], a.u[i], kTolerance) << a.x[i] << ", " << a.y[i];
        EXPECT_NEAR(b.v[i], a.v[i], kTolerance) << a.x[i] << ", " << a.y[i];
        EXPECT_NEAR(b.exx[i], a.exx[i], 2e-3) << a.x[i] << ", " << a.y[i];
        ++compared;
    }
    EXPECT_GT(compared, 1000);
}

// A line's end inside the image is a tip: every point whose subset holds one is
// kCrossesDiscontinuity, whatever the data show there; an end on the image's border is where a
// crack leaves the image, and the subsets there are cut and measured.
TEST(Barrier, SubsetsHoldingATipAreMarked) {
    const morvex::test::Plate p = morvex::test::cracked_plate(kRows, kCols, {}, {{1.3, -0.6}}, 9u);
    GuidedConfig config = plate_config();
    config.crack_lines.push_back({{-0.5, 42.5}, {40.0, 42.5}});
    config.crack_lines.push_back({{60.2, 20.0}, {130.0, 90.0}, {180.0, 150.0}});
    const GuidedResult r =
        correlate_guided(ReferenceImage(p.reference, config), p.deformed, config);
    const double reach = config.subset_size / 2 + 0.5;
    const std::vector<CrackVertex> tips = {{40.0, 42.5}, {60.2, 20.0}, {180.0, 150.0}};
    int held = 0, at_border = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        bool holds = false;
        for (const CrackVertex& t : tips)
            holds = holds || (std::fabs(t.x - r.x[i]) <= reach && std::fabs(t.y - r.y[i]) <= reach);
        if (holds) {
            EXPECT_EQ(r.status[i], kCrosses) << r.x[i] << ", " << r.y[i];
            ++held;
        } else if (r.x[i] + 0.5 <= reach && std::fabs(r.y[i] - 42.5) >= kCrackClearance &&
                   std::fabs(r.y[i] - 42.5) <= reach) {
            ASSERT_EQ(r.valid[i], 1) << r.x[i] << ", " << r.y[i] << " status " << int(r.status[i]);
            EXPECT_NEAR(r.u[i], 1.3, kTolerance);
            EXPECT_NEAR(r.v[i], -0.6, kTolerance);
            ++at_border;
        }
    }
    EXPECT_GE(held, 3 * 16);  // at least four by four points around each tip
    EXPECT_EQ(at_border, 4);
}

struct BadLine {
    std::string name;
    std::vector<std::vector<CrackVertex>> lines;
    std::string expected;  // part of the message
};

class BadCrackLine : public ::testing::TestWithParam<BadLine> {};

// Refused by name, before any work: the line's index and the value at fault.
TEST_P(BadCrackLine, IsRefusedByName) {
    const BadLine& k = GetParam();
    const morvex::test::Plate p = morvex::test::cracked_plate(64, 64, {}, {{0.0, 0.0}}, 3u);
    GuidedConfig config = plate_config();
    config.crack_lines = k.lines;
    try {
        const ReferenceImage ref(p.reference, config);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(k.expected), std::string::npos) << error.what();
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Lines, BadCrackLine,
    ::testing::Values(
        BadLine{"one_vertex", {{{1, 1}, {5, 5}}, {{3, 3}}}, "crack 1 needs at least 2 vertices"},
        BadLine{"not_finite", {{{1, 1}, {kNaN, 5}}}, "crack 0 has a vertex that is not a finite"},
        BadLine{"repeated_vertex", {{{1, 1}, {1, 1}, {5, 5}}}, "crack 0 repeats vertex 0 (1, 1)"},
        BadLine{"self_intersecting",
                {{{1, 1}, {5, 5}}, {{10, 10}, {40, 40}, {40, 10}, {10, 40}}},
                "crack 1 is self-intersecting: segment 0 crosses segment 2"},
        BadLine{"folded_back", {{{10, 10}, {40, 10}, {20, 10}}}, "crack 0 is self-intersecting"},
        BadLine{"outside_the_image",
                {{{1, 1}, {5, 5}}, {{10, 10}, {64, 30}}},
                "crack 1 is outside the image: vertex 1 (64, 30)"}),
    [](const ::testing::TestParamInfo<BadLine>& c) { return c.param.name; });

}  // namespace
