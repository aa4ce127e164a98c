#include <cmath>
#include <ostream>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/speckle.hpp>
#include <morvex/synthesis.hpp>

namespace morvex::dic {
namespace {

// Blurred random dots of a chosen radius on a dark background, values in 0..255.
cv::Mat dot_pattern(int rows, int cols, int radius, int dots, unsigned seed) {
    cv::RNG rng(seed);
    cv::Mat image(rows, cols, CV_64F, cv::Scalar(20.0));
    for (int i = 0; i < dots; ++i) {
        const cv::Point centre(rng.uniform(0, cols), rng.uniform(0, rows));
        cv::circle(image, centre, radius, cv::Scalar(230.0), cv::FILLED);
    }
    cv::GaussianBlur(image, image, cv::Size(5, 5), 1.0);
    return image;
}

// Reflect-101 index, as OpenCV's default border.
int reflect(int i, int n) {
    if (n == 1) {
        return 0;
    }
    return i < 0 ? -i : (i >= n ? 2 * n - 2 - i : i);
}

struct Gradients {
    cv::Mat gx;
    cv::Mat gy;
};

// Plain 3x3 Sobel, written out, to check the library's gradient metrics against.
Gradients slow_sobel(const cv::Mat& image) {
    Gradients g{cv::Mat(image.size(), CV_64F), cv::Mat(image.size(), CV_64F)};
    const auto at = [&](int r, int c) {
        return image.at<double>(reflect(r, image.rows), reflect(c, image.cols));
    };
    for (int r = 0; r < image.rows; ++r) {
        for (int c = 0; c < image.cols; ++c) {
            g.gx.at<double>(r, c) = (at(r - 1, c + 1) + 2 * at(r, c + 1) + at(r + 1, c + 1)) -
                                    (at(r - 1, c - 1) + 2 * at(r, c - 1) + at(r + 1, c - 1));
            g.gy.at<double>(r, c) = (at(r + 1, c - 1) + 2 * at(r + 1, c) + at(r + 1, c + 1)) -
                                    (at(r - 1, c - 1) + 2 * at(r - 1, c) + at(r - 1, c + 1));
        }
    }
    return g;
}

cv::Mat two_level(int rows, int cols, double low, double high) {
    cv::Mat image(rows, cols, CV_64F, cv::Scalar(low));
    image.colRange(cols / 2, cols).setTo(high);
    return image;
}

// Horizontal bands of height period / 2 alternating between two grey levels: along the
// rows the autocorrelation is the triangle 1 - 4k / period.
cv::Mat horizontal_bands(int rows, int cols, int period) {
    cv::Mat image(rows, cols, CV_64F);
    for (int r = 0; r < rows; ++r) {
        image.row(r).setTo((r % period) < period / 2 ? 40.0 : 200.0);
    }
    return image;
}

TEST(SpeckleQuality, ConstantImageHasNoTexture) {
    const SpeckleQuality q = assess_speckle_quality(cv::Mat(60, 60, CV_64F, cv::Scalar(128.0)), 21);
    EXPECT_EQ(q.entropy, 0.0);
    EXPECT_EQ(q.mean_gradient, 0.0);
    EXPECT_EQ(q.sssig, 0.0);
    EXPECT_EQ(q.contrast, 0.0);
    EXPECT_EQ(q.coverage, 0.0);
    EXPECT_EQ(q.recommended_subset, 21);
}

struct EntropyCase {
    double low;
    double high;
    double entropy;
    double contrast;
};

void PrintTo(const EntropyCase& c, std::ostream* os) {
    *os << "low=" << c.low << " high=" << c.high;
}

class SpeckleTwoLevel : public ::testing::TestWithParam<EntropyCase> {};

// Entropy sees the saturated 8-bit levels; contrast sees the values as given.
TEST_P(SpeckleTwoLevel, EntropyAndContrast) {
    const SpeckleQuality q =
        assess_speckle_quality(two_level(40, 40, GetParam().low, GetParam().high), 21);
    EXPECT_EQ(q.entropy, GetParam().entropy);
    EXPECT_DOUBLE_EQ(q.contrast, GetParam().contrast);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, SpeckleTwoLevel,
    ::testing::Values(EntropyCase{50.0, 150.0, 1.0, 0.5},     // plain two levels
                      EntropyCase{-50.0, 300.0, 1.0, 1.4},    // clamped into bins 0 and 255
                      EntropyCase{0.4, 0.6, 1.0, 0.2},        // rounded to 0 and 1
                      EntropyCase{0.2, 0.4, 0.0, 1.0 / 3.0},  // both round to 0
                      EntropyCase{-10.0, 10.0, 1.0, 0.0},     // max + min = 0
                      EntropyCase{0.0, 0.0, 0.0, 0.0}));      // black

TEST(SpeckleQuality, EveryGreyLevelOnceGivesEightBits) {
    // 64 rows of 0, 1, ..., 255: each level holds exactly 1/256 of the pixels.
    cv::Mat image(64, 256, CV_64F);
    for (int c = 0; c < 256; ++c) {
        image.col(c).setTo(c);
    }
    EXPECT_EQ(assess_speckle_quality(image, 21).entropy, 8.0);
}

TEST(SpeckleQuality, ThreeEqualLevelsGiveLogTwoOfThree) {
    cv::Mat image(30, 30, CV_64F);
    for (int c = 0; c < 30; ++c) {
        image.col(c).setTo(c < 10 ? 10.0 : (c < 20 ? 100.0 : 200.0));
    }
    // Terms are single precision, so agreement is to float rounding.
    EXPECT_NEAR(assess_speckle_quality(image, 21).entropy, std::log2(3.0), 1e-6);
}

TEST(SpeckleQuality, RampOfSlopeOneHasUnnormalisedGradientEight) {
    cv::Mat image(50, 50, CV_64F);
    for (int c = 0; c < 50; ++c) {
        image.col(c).setTo(3.0 + c);
    }
    // The two outermost columns mirror their neighbour (reflect-101) and have gx = 0.
    const SpeckleQuality q = assess_speckle_quality(image, 21);
    EXPECT_DOUBLE_EQ(q.mean_gradient, 8.0 * 48.0 / 50.0);
    EXPECT_DOUBLE_EQ(q.coverage, 48.0 / 50.0);
}

TEST(SpeckleQuality, GradientMetricsMatchSlowSobel) {
    const cv::Mat image = dot_pattern(70, 90, 3, 300, 4);
    const Gradients g = slow_sobel(image);
    double magnitude_sum = 0.0;
    int textured = 0;
    for (int r = 0; r < image.rows; ++r) {
        for (int c = 0; c < image.cols; ++c) {
            const double m = std::hypot(g.gx.at<double>(r, c), g.gy.at<double>(r, c));
            magnitude_sum += m;
            textured += m > 5.0 ? 1 : 0;
        }
    }
    const SpeckleQuality q = assess_speckle_quality(image, 21);
    const double pixels = static_cast<double>(image.total());
    EXPECT_NEAR(q.mean_gradient, magnitude_sum / pixels, 1e-9 * q.mean_gradient);
    EXPECT_DOUBLE_EQ(q.coverage, textured / pixels);
    EXPECT_GT(q.coverage, 0.0);
    EXPECT_LT(q.coverage, 1.0);
    EXPECT_GT(q.entropy, 1.0);
    EXPECT_LE(q.entropy, 8.0);
}

// Summed squared gradient over each (2h + 1)^2 window around the listed centres,
// divided by subset_size^2.
double slow_sssig(const cv::Mat& image, const std::vector<int>& centres, int h, int subset_size) {
    const Gradients g = slow_sobel(image);
    double total = 0.0;
    for (const int cy : centres) {
        for (const int cx : centres) {
            double s = 0.0;
            for (int r = cy - h; r <= cy + h; ++r) {
                for (int c = cx - h; c <= cx + h; ++c) {
                    s += g.gx.at<double>(r, c) * g.gx.at<double>(r, c) +
                         g.gy.at<double>(r, c) * g.gy.at<double>(r, c);
                }
            }
            total += s / (subset_size * subset_size);
        }
    }
    return total / static_cast<double>(centres.size() * centres.size());
}

class SpeckleSubsetLattice : public ::testing::TestWithParam<int> {};

// Sizes 30 and 31 share h = 15 and the 5 x 5 centres 15, 30, ..., 75 on 100 x 100;
// only the divisor differs (900 against 961).
TEST_P(SpeckleSubsetLattice, MatchesSlowSumOverTwentyFiveSubsets) {
    const cv::Mat image = dot_pattern(100, 100, 2, 400, 9);
    const double expected = slow_sssig(image, {15, 30, 45, 60, 75}, 15, GetParam());
    EXPECT_NEAR(assess_speckle_quality(image, GetParam()).sssig, expected, 1e-12 * expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SpeckleSubsetLattice, ::testing::Values(30, 31));

TEST(SpeckleQuality, SubsetLargerThanImageGivesZeroSssig) {
    const cv::Mat image = dot_pattern(20, 40, 2, 40, 1);
    EXPECT_EQ(assess_speckle_quality(image, 21).sssig, 0.0);  // h = 10: no row centre < 10
    EXPECT_GT(assess_speckle_quality(image, 2).sssig, 0.0);   // smallest accepted size
}

// Regression: a subset size below 2 gives a lattice spacing of 0 and looped forever.
TEST(SpeckleQuality, RejectsSubsetSizeBelowTwoInsteadOfLoopingForever) {
    const cv::Mat image = dot_pattern(40, 40, 2, 40, 1);
    for (const int size : {1, 0, -1, -31}) {
        try {
            assess_speckle_quality(image, size);
            ADD_FAILURE() << "subset_size " << size << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()),
                      "assess_speckle_quality: subset_size must be at least 2, got " +
                          std::to_string(size));
        }
    }
}

TEST(SpeckleQuality, EmptyImageRaisesOpenCvError) {
    EXPECT_THROW(assess_speckle_quality(cv::Mat(), 21), cv::Exception);
    EXPECT_THROW(recommend_subset_size(cv::Mat()), cv::Exception);
}

TEST(SpeckleQuality, NanPixelPoisonsSumsWithoutCrashing) {
    cv::Mat image = dot_pattern(64, 64, 2, 100, 2);
    image.at<double>(10, 10) = std::nan("");
    const SpeckleQuality q = assess_speckle_quality(image, 21);
    EXPECT_TRUE(std::isfinite(q.entropy));  // the 8-bit copy holds 0 there
    EXPECT_TRUE(std::isnan(q.mean_gradient));
    EXPECT_TRUE(std::isnan(q.sssig));
    EXPECT_EQ(q.recommended_subset, 21);  // no comparison with NaN succeeds
}

TEST(SpeckleQuality, ReportsTheStandaloneRecommendation) {
    const cv::Mat image = horizontal_bands(112, 64, 28);
    EXPECT_EQ(assess_speckle_quality(image, 21).recommended_subset, recommend_subset_size(image));
}

struct BandCase {
    int period;
    int recommended;
};

void PrintTo(const BandCase& c, std::ostream* os) {
    *os << "period=" << c.period;
}

class RecommendSubset : public ::testing::TestWithParam<BandCase> {};

TEST_P(RecommendSubset, FollowsFirstLagBelowHalf) {
    const int period = GetParam().period;
    EXPECT_EQ(recommend_subset_size(horizontal_bands(4 * period, 64, period)),
              GetParam().recommended);
}

// First lag with 1 - 4k / period < 1/2: 1 (counted as 2), 3, 4, 5 and 8 (capped at 61).
INSTANTIATE_TEST_SUITE_P(Periods, RecommendSubset,
                         ::testing::Values(BandCase{4, 21}, BandCase{20, 31}, BandCase{28, 41},
                                           BandCase{36, 51}, BandCase{60, 61}));

TEST(RecommendSubset, RowNoiseDecorrelatesWithinOnePixel) {
    cv::RNG rng(17);
    cv::Mat image(96, 96, CV_64F);
    for (int r = 0; r < image.rows; ++r) {
        image.row(r).setTo(rng.uniform(0.0, 255.0));
    }
    EXPECT_EQ(recommend_subset_size(image), 21);
}

TEST(RecommendSubset, ScansVerticalLagsOnly) {
    // Bands along the columns: every vertical lag is fully correlated.
    EXPECT_EQ(recommend_subset_size(horizontal_bands(112, 64, 28).t()), 21);
}

TEST(RecommendSubset, NoLagBelowHalfWithinLimitGives21) {
    // Period 60 first drops below half at lag 8; 32 columns give limit 8 and stop the
    // scan at lag 7, 36 columns let it reach lag 8.
    EXPECT_EQ(recommend_subset_size(horizontal_bands(120, 32, 60)), 21);
    EXPECT_EQ(recommend_subset_size(horizontal_bands(120, 36, 60)), 61);
}

struct DotCase {
    int dot_radius;
    int recommended;
};

void PrintTo(const DotCase& c, std::ostream* os) {
    *os << "dot_radius=" << c.dot_radius;
}

class RecommendSubsetForSpeckle : public ::testing::TestWithParam<DotCase> {};

// The mapping from dot radius is stable across seeds (checked on seeds 1 to 5): the
// half-width of the autocorrelation grows with the dots.
TEST_P(RecommendSubsetForSpeckle, GrowsWithDotRadius) {
    const cv::Mat image = generate_speckle(256, 256, GetParam().dot_radius, 0.5, 1);
    EXPECT_EQ(recommend_subset_size(image), GetParam().recommended);
}

INSTANTIATE_TEST_SUITE_P(Radii, RecommendSubsetForSpeckle,
                         ::testing::Values(DotCase{1, 21}, DotCase{2, 31}, DotCase{3, 41},
                                           DotCase{6, 61}));

class SpeckleTinyImage : public ::testing::TestWithParam<cv::Size> {};

TEST_P(SpeckleTinyImage, RecommendsTwentyOneWithoutCrashing) {
    cv::Mat image(GetParam(), CV_64F);
    cv::RNG(5).fill(image, cv::RNG::UNIFORM, 0.0, 255.0);
    EXPECT_EQ(recommend_subset_size(image), 21);
    const SpeckleQuality q = assess_speckle_quality(image, 31);
    EXPECT_EQ(q.sssig, 0.0);
    EXPECT_EQ(q.recommended_subset, 21);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SpeckleTinyImage,
                         ::testing::Values(cv::Size(1, 1), cv::Size(3, 2), cv::Size(100, 7),
                                           cv::Size(7, 100), cv::Size(7, 7)));

}  // namespace
}  // namespace morvex::dic
