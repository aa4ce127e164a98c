// Seeds a translation search cannot find: a speckled card turned in the image plane (seeded
// from matched image features), textures whose features match in many places (which must
// plant nothing), and explicit seeds with a start displacement. Images are rendered dots,
// exact at any angle, so every valid point is held to the true field.

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/guided.hpp>

#include "support/speckle_pair.h"

namespace {

using namespace morvex::dic;
using morvex::test::Dot;

constexpr int kSize = 240;  // px, square frame
constexpr int kCard = 160;  // px, side of the speckled card at its centre
constexpr int kCardStart = (kSize - kCard) / 2;
constexpr double kCentre = (kSize - 1) / 2.0;  // the card turns about the frame's centre
constexpr double kPi = 3.14159265358979323846;
// px: every valid point on these exact images; a false match is pixels off.
constexpr double kTolerance = 0.05;

// Dots on the card only; the rest of the frame is the renderer's flat grey.
std::vector<Dot> card_dots(std::uint32_t seed) {
    std::vector<Dot> dots;
    for (Dot d : morvex::test::random_dots(kCard, kCard, seed)) {
        if (d.x < 0.0 || d.y < 0.0 || d.x > kCard - 1 || d.y > kCard - 1) continue;
        d.x += kCardStart;
        d.y += kCardStart;
        dots.push_back(d);
    }
    return dots;
}

// True displacement at (x, y) of a turn by `angle` about the frame's centre, then (u, v).
void turned(double angle, double u, double v, double x, double y, double& tu, double& tv) {
    const double c = std::cos(angle), s = std::sin(angle);
    tu = kCentre + c * (x - kCentre) - s * (y - kCentre) + u - x;
    tv = kCentre + s * (x - kCentre) + c * (y - kCentre) + v - y;
}

GuidedConfig card_config() {
    GuidedConfig config;
    config.subset_size = 25;
    config.step = 8;
    config.compute_strain = false;
    return config;
}

// Whether the subset of (x, y) lies wholly on the card.
bool on_card(double x, double y, int half) {
    const double lo = kCardStart + half, hi = kCardStart + kCard - 1 - half;
    return x >= lo && x <= hi && y >= lo && y <= hi;
}

struct Measured {
    int valid = 0;
    int card_points = 0;
    int card_valid = 0;
    int off_truth = 0;
};

Measured judge(const GuidedResult& r, const GuidedConfig& config, double angle, double u,
               double v) {
    Measured m;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        // Textured: the reference's own texture test keeps it (dots thin out at the edge).
        const bool card = on_card(r.x[i], r.y[i], config.subset_size / 2) &&
                          r.status[i] != static_cast<std::uint8_t>(GuidedStatus::kFlatSubset);
        m.card_points += card ? 1 : 0;
        if (!r.valid[i]) continue;
        ++m.valid;
        m.card_valid += card ? 1 : 0;
        double tu, tv;
        turned(angle, u, v, r.x[i], r.y[i], tu, tv);
        if (!(std::fabs(r.u[i] - tu) <= kTolerance && std::fabs(r.v[i] - tv) <= kTolerance))
            ++m.off_truth;
    }
    return m;
}

class TurnedCard : public ::testing::TestWithParam<double> {};

// A card turned by a right angle or half a turn is measured directly from its feature seeds:
// every point wholly on it is valid and right, and its warp carries the turn.
TEST_P(TurnedCard, EveryCardPointMeasured) {
    const double angle = GetParam() * kPi / 180.0;
    const std::vector<Dot> dots = card_dots(11u);
    const cv::Mat reference = morvex::test::render_dots(kSize, kSize, dots);
    const cv::Mat deformed = morvex::test::render_dots(
        kSize, kSize, morvex::test::moved_dots(dots, 0.0, 0.0, angle, kCentre, kCentre));
    GuidedConfig config = card_config();
    const ReferenceImage ref(reference, config);
    const GuidedResult r = correlate_guided(ref, deformed, config);
    const Measured m = judge(r, config, angle, 0.0, 0.0);
    EXPECT_GT(m.card_points, 150);
    EXPECT_EQ(m.card_valid, m.card_points);
    EXPECT_EQ(m.off_truth, 0);
    for (std::size_t i = 0; i < r.u.size(); ++i)
        if (r.valid[i]) {
            EXPECT_NEAR(r.du_dx[i], std::cos(angle) - 1.0, 1e-3);
            EXPECT_NEAR(r.dv_dx[i], std::sin(angle), 1e-3);
        }
}

INSTANTIATE_TEST_SUITE_P(RightAngleAndHalfTurn, TurnedCard, ::testing::Values(90.0, 180.0, -135.0));

// Features are estimated once per frame, before the blocks: the thread count changes nothing.
TEST(FeatureSeeds, ResultIndependentOfThreadCount) {
    const double angle = 100.0 * kPi / 180.0;
    const std::vector<Dot> dots = card_dots(12u);
    const cv::Mat reference = morvex::test::render_dots(kSize, kSize, dots);
    const cv::Mat deformed = morvex::test::render_dots(
        kSize, kSize, morvex::test::moved_dots(dots, 3.3, -2.1, angle, kCentre, kCentre));
    GuidedConfig config = card_config();
    config.seed_count = 4;
    const ReferenceImage ref(reference, config);
    config.threads = 1;
    const GuidedResult one = correlate_guided(ref, deformed, config);
    config.threads = 2;
    const GuidedResult two = correlate_guided(ref, deformed, config);
    EXPECT_GT(judge(one, config, angle, 3.3, -2.1).card_valid, 100);
    EXPECT_EQ(judge(one, config, angle, 3.3, -2.1).off_truth, 0);
    ASSERT_EQ(one.u.size(), two.u.size());
    for (std::size_t i = 0; i < one.u.size(); ++i) {
        EXPECT_EQ(one.status[i], two.status[i]) << "point " << i;
        if (one.valid[i]) {
            EXPECT_EQ(one.u[i], two.u[i]) << "point " << i;
            EXPECT_EQ(one.v[i], two.v[i]) << "point " << i;
        }
    }
}

// With features off, a turned card is what it was: no seed, nothing valid.
TEST(FeatureSeeds, OffLeavesATurnedCardUnseeded) {
    const std::vector<Dot> dots = card_dots(13u);
    GuidedConfig config = card_config();
    config.feature_seeds = FeatureSeeds::kOff;
    const ReferenceImage ref(morvex::test::render_dots(kSize, kSize, dots), config);
    const GuidedResult r = correlate_guided(
        ref,
        morvex::test::render_dots(kSize, kSize,
                                  morvex::test::moved_dots(dots, 0, 0, kPi / 2, kCentre, kCentre)),
        config);
    EXPECT_EQ(judge(r, config, kPi / 2, 0, 0).valid, 0);
}

// Textures whose features match in many places: a tile repeated over the card (every
// keypoint matches each copy equally well) and a card mirrored about its vertical axis. Turned
// by a right angle, features may seed only the true motion, or nothing.
enum class Texture { kPeriodic, kMirrored };

class AmbiguousTexture : public ::testing::TestWithParam<std::tuple<Texture, FeatureSeeds>> {};

TEST_P(AmbiguousTexture, PlantsNoFalseRegion) {
    const auto [texture, mode] = GetParam();
    std::vector<Dot> dots;
    if (texture == Texture::kPeriodic) {
        constexpr int kTile = 32;  // px: a whole number of tiles across the card
        const std::vector<Dot> tile = morvex::test::random_dots(kTile, kTile, 21u);
        for (int ty = 0; ty < kCard / kTile; ++ty)
            for (int tx = 0; tx < kCard / kTile; ++tx)
                for (Dot d : tile) {
                    d.x = std::fmod(d.x + kTile, kTile) + kCardStart + tx * kTile;
                    d.y = std::fmod(d.y + kTile, kTile) + kCardStart + ty * kTile;
                    dots.push_back(d);
                }
    } else {
        for (Dot d : card_dots(22u)) {
            if (d.x > kCentre) continue;
            dots.push_back(d);
            d.x = 2.0 * kCentre - d.x;
            dots.push_back(d);
        }
    }
    const double angle = kPi / 2;
    GuidedConfig config = card_config();
    config.feature_seeds = mode;
    const ReferenceImage ref(morvex::test::render_dots(kSize, kSize, dots), config);
    const GuidedResult r = correlate_guided(
        ref,
        morvex::test::render_dots(kSize, kSize,
                                  morvex::test::moved_dots(dots, 0, 0, angle, kCentre, kCentre)),
        config);
    const Measured m = judge(r, config, angle, 0, 0);
    EXPECT_EQ(m.off_truth, 0);
    // A mirrored card still holds unique features: it is measured, not merely left alone.
    if (texture == Texture::kMirrored) {
        EXPECT_GT(m.card_valid, m.card_points / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    PeriodicAndMirrored, AmbiguousTexture,
    ::testing::Combine(::testing::Values(Texture::kPeriodic, Texture::kMirrored),
                       ::testing::Values(FeatureSeeds::kAuto, FeatureSeeds::kOn)));

// Explicit seeds are refused by name when they cannot start anything.
TEST(ExplicitSeeds, RefusedOutsideTheImageOrOnTheBackground) {
    GuidedConfig config = card_config();
    config.mask = cv::Mat::zeros(kSize, kSize, CV_8UC1);
    config.mask(cv::Rect(kCardStart, kCardStart, kCard, kCard)).setTo(1);
    const cv::Mat image = morvex::test::render_dots(kSize, kSize, card_dots(14u));
    const ReferenceImage ref(image, config);
    const auto message = [&](std::vector<Point2D> seeds, std::vector<double> u = {},
                             std::vector<double> v = {}) {
        GuidedConfig c = config;
        c.seed_points = std::move(seeds);
        c.seed_u = std::move(u);
        c.seed_v = std::move(v);
        try {
            correlate_guided(ref, image, c);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no exception");
    };
    EXPECT_EQ(message({{100, 100}, {240, 10}}),
              "correlate_guided: seed (row, column) = (240, 10) lies outside the 240 x 240 image");
    EXPECT_EQ(message({{-1, 10}}),
              "correlate_guided: seed (row, column) = (-1, 10) lies outside the 240 x 240 image");
    EXPECT_EQ(message({{100, 100}, {10, 100}}),
              "correlate_guided: seed (row, column) = (10, 100) lies on the mask's background");
    EXPECT_EQ(message({{100, 100}}, {1.0, 2.0}, {1.0, 2.0}),
              "correlate_guided: seed_u and seed_v hold 2 and 2 values, expected none or one per "
              "seed (1)");
    EXPECT_EQ(message({{100, 100}}, {1.0}, {std::nan("")}),
              "correlate_guided: seed (row, column) = (100, 100) has a start (u, v) with one value "
              "not finite; give both, or NaN for both to search");
}

// A shift far beyond the search range: the search alone (features off) finds nothing, an
// explicit seed with its start displacement measures the whole card.
TEST(ExplicitSeeds, StartDisplacementReachesBeyondTheSearch) {
    const std::vector<Dot> dots = card_dots(15u);
    const double u = 27.4, v = -18.7;
    GuidedConfig config = card_config();
    config.search_range = 4;
    config.feature_seeds = FeatureSeeds::kOff;
    const ReferenceImage ref(morvex::test::render_dots(kSize, kSize, dots), config);
    const cv::Mat deformed =
        morvex::test::render_dots(kSize, kSize, morvex::test::moved_dots(dots, u, v));
    EXPECT_EQ(judge(correlate_guided(ref, deformed, config), config, 0, u, v).valid, 0);
    config.seed_points = {{120, 120}, {100, 90}};
    config.seed_u = {27.0, std::nan("")};
    config.seed_v = {-19.0, std::nan("")};
    const Measured m = judge(correlate_guided(ref, deformed, config), config, 0, u, v);
    EXPECT_EQ(m.card_valid, m.card_points);
    EXPECT_EQ(m.off_truth, 0);
}

}  // namespace
