// Subsets that cannot measure the motion (a dark field, an edge) are refused before any
// solve, and the solves that do not converge stop early.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/guided.hpp>
#include <morvex/synthesis.hpp>

namespace {

using namespace morvex::dic;

constexpr int kFrame = 200;
constexpr int kCardAt = 40, kCardSide = 120;
constexpr double kU = 2.4, kV = -1.3;
// px: the card's points come back within this of the exact shift (their scatter is about
// 0.005 px at this noise; an edge subset was off by tenths).
constexpr double kCardTolerance = 0.05;

cv::Mat with_noise(const cv::Mat& image, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    cv::Mat out = image.clone();
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) out.at<double>(r, c) += noise(rng);
    return out;
}

// A speckled card on a dark field of read noise only, and the same shifted by (kU, kV).
struct CardPair {
    cv::Mat reference, deformed;
};

CardPair card_pair() {
    cv::Mat frame(kFrame, kFrame, CV_64FC1, cv::Scalar(6.0));
    generate_speckle(kCardSide, kCardSide, 3, 0.5, 11)
        .copyTo(frame(cv::Rect(kCardAt, kCardAt, kCardSide, kCardSide)));
    return {with_noise(frame, 1), with_noise(translate_image(frame, kU, kV), 2)};
}

GuidedConfig card_config() {
    GuidedConfig config;
    config.subset_size = 21;
    config.step = 6;
    config.compute_strain = false;
    return config;
}

bool on_card(double x, double y) {
    return x >= kCardAt && y >= kCardAt && x < kCardAt + kCardSide && y < kCardAt + kCardSide;
}

TEST(GuidedTexture, DarkFieldIsRefusedBeforeAnySolveAndTheCardIsExact) {
    const CardPair pair = card_pair();
    const GuidedConfig config = card_config();
    const ReferenceImage reference(pair.reference, config);
    const GuidedResult r = correlate_guided(reference, pair.deformed, config);
    const int half = config.subset_size / 2;
    int valid = 0, dark = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        // Wholly on the dark field: refused, never solved.
        const bool dark_subset = r.x[i] + half < kCardAt || r.y[i] + half < kCardAt ||
                                 r.x[i] - half >= kCardAt + kCardSide ||
                                 r.y[i] - half >= kCardAt + kCardSide;
        if (dark_subset) {
            ++dark;
            EXPECT_EQ(r.status[i], static_cast<std::uint8_t>(GuidedStatus::kFlatSubset))
                << "at x " << r.x[i] << ", y " << r.y[i];
            EXPECT_EQ(r.iterations[i], 0);
        }
        if (!r.valid[i]) continue;
        ++valid;
        EXPECT_TRUE(on_card(r.x[i], r.y[i])) << "valid on the dark field at x " << r.x[i];
        EXPECT_NEAR(r.u[i], kU, kCardTolerance) << "at x " << r.x[i] << ", y " << r.y[i];
        EXPECT_NEAR(r.v[i], kV, kCardTolerance) << "at x " << r.x[i] << ", y " << r.y[i];
    }
    EXPECT_GT(dark, 100);
    // The card's 120 px hold 13 x 13 grid points; those within an edge zone are refused.
    EXPECT_GE(valid, 100);
    // Refused at the reference: no work at all on them.
    EXPECT_EQ(r.seconds_by_status[static_cast<int>(GuidedStatus::kFlatSubset)], 0.0);
}

TEST(GuidedTexture, ResultDoesNotDependOnTheThreadCount) {
    const CardPair pair = card_pair();
    GuidedConfig config = card_config();
    const ReferenceImage reference(pair.reference, config);
    config.threads = 1;
    const GuidedResult one = correlate_guided(reference, pair.deformed, config);
    config.threads = 2;
    const GuidedResult two = correlate_guided(reference, pair.deformed, config);
    // Bit for bit, NaN estimates included.
    const auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 8) == 0;
    };
    EXPECT_TRUE(same(one.u, two.u));
    EXPECT_TRUE(same(one.v, two.v));
    EXPECT_EQ(one.iterations, two.iterations);
    EXPECT_EQ(one.status, two.status);
}

// An edge alone (a blurred step at 30 degrees, read noise, no speckle) fixes the motion across
// it only: every point that sees it is refused, none is measured along it with a small sigma.
TEST(GuidedTexture, EdgeOnlySubsetIsRefused) {
    cv::Mat frame(kFrame, kFrame, CV_64FC1);
    const double nx = std::cos(M_PI / 6.0), ny = std::sin(M_PI / 6.0);
    for (int r = 0; r < kFrame; ++r)
        for (int c = 0; c < kFrame; ++c)
            frame.at<double>(r, c) =
                30.0 + 150.0 / (1.0 + std::exp(-((c - 100.0) * nx + (r - 100.0) * ny) / 1.5));
    const cv::Mat reference = with_noise(frame, 3);
    const cv::Mat deformed = with_noise(translate_image(frame, 1.2, 0.7), 4);
    const GuidedConfig config = card_config();
    const GuidedResult r = correlate_guided(ReferenceImage(reference, config), deformed, config);
    for (std::size_t i = 0; i < r.u.size(); ++i)
        EXPECT_EQ(r.status[i], static_cast<std::uint8_t>(GuidedStatus::kFlatSubset))
            << "at x " << r.x[i] << ", y " << r.y[i];
}

TEST(GuidedTexture, LimitIsCheckedAndTakenAsAReferenceField) {
    const CardPair pair = card_pair();
    for (const double bad : {-0.1, std::numeric_limits<double>::quiet_NaN()}) {
        GuidedConfig config = card_config();
        config.max_predicted_sigma = bad;
        try {
            const ReferenceImage reference(pair.reference, config);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("max_predicted_sigma"), std::string::npos);
        }
    }
    GuidedConfig config = card_config();
    const ReferenceImage reference(pair.reference, config);
    config.max_predicted_sigma = 0.1;
    EXPECT_THROW(correlate_guided(reference, pair.deformed, config), std::invalid_argument);
}

}  // namespace
