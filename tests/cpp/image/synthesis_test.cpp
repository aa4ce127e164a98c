#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/interpolation.hpp>
#include <morvex/synthesis.hpp>

namespace morvex::dic {
namespace {

// ----- An independent re-derivation of the speckle generator from its definition: uniforms
// by ldexp, the polar method's rescale by frexp/ldexp, every dot pixel tested one by one.

class Reference {
public:
    explicit Reference(std::uint32_t seed) : engine_(seed) {}
    int rescaled = 0;  // how often the tiny-s branch ran

    double uniform() {
        const std::uint64_t a = engine_() & 0xffffffffu;
        const std::uint64_t b = engine_() & 0xffffffffu;
        return std::ldexp(static_cast<double>(b * 2097152u + (a >> 11)), -53);
    }
    double normal() {
        if (saved_) {
            saved_ = false;
            return second_;
        }
        for (;;) {
            double w1 = 2 * uniform() - 1, w2 = 2 * uniform() - 1;
            double s = w1 * w1 + w2 * w2;
            if (!(s < 1 && w1 != 0 && w2 != 0)) continue;
            double f;
            if (s > 0.0001) {
                f = std::sqrt(std::log(s) * -2 / s);
            } else {
                ++rescaled;
                int exponent;
                std::frexp(std::max(std::abs(w1), std::abs(w2)), &exponent);
                const int e = exponent - 1;  // frexp's mantissa lies in [0.5, 1)
                w1 = std::ldexp(w1, -e);
                w2 = std::ldexp(w2, -e);
                s = w1 * w1 + w2 * w2;
                f = std::sqrt((std::log(s) + e * 1.3862943611198906) * -2 / s);
            }
            saved_ = true;
            second_ = f * w2;
            return f * w1;
        }
    }

private:
    std::mt19937 engine_;
    bool saved_ = false;
    double second_ = 0;
};

double clamp_grey(double p) {
    return std::min(p <= 0 || std::isnan(p) ? 0.0 : p, 255.0);
}

cv::Mat reference_speckle(int rows, int cols, int radius, double density, std::uint32_t seed,
                          int* rescaled = nullptr) {
    cv::Mat image(rows, cols, CV_64FC1, cv::Scalar(128.0));
    Reference random(seed);
    const double q = static_cast<double>(static_cast<std::int64_t>(radius) * radius);
    const double quotient = rows * density * cols / q;
    const long long dots = std::isfinite(quotient) && std::abs(quotient) < 2147483648.0
                               ? static_cast<long long>(quotient)
                               : 0;
    for (long long i = 0; i < dots; ++i) {
        const int cx = static_cast<int>(random.uniform() * cols);
        const int cy = static_cast<int>(random.uniform() * rows);
        double intensity = random.uniform() * 100 + 30;
        if (random.uniform() < 0.3) intensity = random.uniform() * 60 + 180;
        const double s = (random.uniform() * 0.5 + 0.5) * radius;
        // Clipped to the image (a huge dot would otherwise take forever); same pixel order.
        const long long e = static_cast<long long>(3.0 * s);
        for (long long dy = std::max(-e, -1LL * cy); dy <= std::min(e, rows - 1LL - cy); ++dy)
            for (long long dx = std::max(-e, -1LL * cx); dx <= std::min(e, cols - 1LL - cx); ++dx) {
                double& p = image.at<double>(static_cast<int>(cy + dy), static_cast<int>(cx + dx));
                p = clamp_grey(
                    (intensity - 128.0) *
                        std::exp(-static_cast<double>(dx * dx + dy * dy) / ((s + s) * s)) +
                    p);
            }
    }
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            image.at<double>(r, c) = clamp_grey(random.normal() + 0.0 + image.at<double>(r, c));
    if (rescaled) *rescaled = random.rescaled;
    return image;
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

struct SpeckleCase {
    int rows, cols, radius;
    double density;
    std::uint32_t seed;
};

void PrintTo(const SpeckleCase& c, std::ostream* os) {
    *os << c.rows << "x" << c.cols << " radius=" << c.radius << " density=" << c.density
        << " seed=" << c.seed;
}

class SpeckleGenerator : public ::testing::TestWithParam<SpeckleCase> {};

TEST_P(SpeckleGenerator, MatchesIndependentDerivation) {
    const SpeckleCase& c = GetParam();
    const cv::Mat image = generate_speckle(c.rows, c.cols, c.radius, c.density, c.seed);
    ASSERT_EQ(image.type(), CV_64FC1);
    ASSERT_EQ(image.rows, c.rows);
    ASSERT_EQ(image.cols, c.cols);
    EXPECT_TRUE(identical(image, reference_speckle(c.rows, c.cols, c.radius, c.density, c.seed)));
    double low, high;
    cv::minMaxLoc(image, &low, &high);
    EXPECT_GE(low, 0.0);
    EXPECT_LE(high, 255.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpeckleGenerator,
    ::testing::Values(SpeckleCase{64, 48, 3, 0.6, 1u}, SpeckleCase{33, 65, 5, 1.0, 42u},
                      SpeckleCase{40, 40, 2, 5.0, 7u},         // heavy overlap, saturation
                      SpeckleCase{17, 23, -3, 0.5, 3u},        // dots drawn, nothing painted
                      SpeckleCase{9, 7, 0, 0.5, 0xffffffffu},  // no dots: noise only
                      SpeckleCase{20, 20, 4, -1.0, 5u},        // negative density: no dots
                      SpeckleCase{1, 1, 1, 3.0, 11u}));

TEST(SpeckleGenerator, SameArgumentsSameImageOtherSeedOtherImage) {
    const cv::Mat a = generate_speckle(50, 60, 3, 0.5, 123u);
    EXPECT_TRUE(identical(a, generate_speckle(50, 60, 3, 0.5, 123u)));
    EXPECT_FALSE(identical(a, generate_speckle(50, 60, 3, 0.5, 124u)));
}

TEST(SpeckleGenerator, NoiseSequenceOfFirstPixels) {
    // Radius 0: no dots, so pixel k is 128 + the k-th normal number. The pair's second value
    // serves the next pixel, across the end of a row (odd width).
    const cv::Mat image = generate_speckle(3, 5, 0, 0.5, 2024u);
    Reference random(2024u);
    for (int k = 0; k < 15; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(image.at<double>(k / 5, k % 5), clamp_grey(128.0 + random.normal()));
    }
    // The first pixel takes f*w1 of the first accepted pair; the second f*w2 (same factor).
    std::mt19937 raw(2024u);
    auto u = [&raw] {
        const std::uint64_t a = raw() & 0xffffffffu, b = raw() & 0xffffffffu;
        return std::ldexp(static_cast<double>((b << 21) + (a >> 11)), -53);
    };
    double w1, w2, s;
    do {
        w1 = 2 * u() - 1;
        w2 = 2 * u() - 1;
        s = w1 * w1 + w2 * w2;
    } while (!(s < 1 && w1 != 0 && w2 != 0));
    const double f = std::sqrt(std::log(s) * -2 / s);
    EXPECT_EQ(image.at<double>(0, 0), 128.0 + f * w1);
    EXPECT_EQ(image.at<double>(0, 1), 128.0 + f * w2);
}

TEST(SpeckleGenerator, TinyPairsTakeTheRescaledBranch) {
    // Seed chosen so that the noise of this image draws pairs with s <= 1e-4.
    int rescaled = 0;
    const cv::Mat expected = reference_speckle(256, 256, 0, 1.0, 9u, &rescaled);
    ASSERT_GE(rescaled, 1);
    EXPECT_TRUE(identical(generate_speckle(256, 256, 0, 1.0, 9u), expected));
}

TEST(SpeckleGenerator, DotsMoveGreyTowardsTheirIntensity) {
    const cv::Mat dots = generate_speckle(80, 80, 4, 0.8, 77u);
    const cv::Mat noise = generate_speckle(80, 80, 0, 0.8, 77u);
    double low, high;
    cv::minMaxLoc(dots, &low, &high);
    EXPECT_LT(low, 60.0);    // dark dots in [30, 130)
    EXPECT_GT(high, 170.0);  // bright dots in [180, 240)
    cv::minMaxLoc(noise, &low, &high);
    EXPECT_GT(low, 110.0);  // unit noise only
    EXPECT_LT(high, 146.0);
}

TEST(SpeckleGenerator, RadiusSquareBeyondIntRangeIsComputedIn64Bits) {
    // 46341^2 does not fit an int. In 64 bits: 64 * 1e9 / 2147488281 = 29 dots, each far
    // larger than the image, painted over the clipped square only.
    const cv::Mat image = generate_speckle(8, 8, 46341, 1e9, 5u);
    EXPECT_TRUE(identical(image, reference_speckle(8, 8, 46341, 1e9, 5u)));
    EXPECT_FALSE(identical(image, generate_speckle(8, 8, 0, 1e9, 5u)));  // dots were painted
}

TEST(SpeckleGenerator, SizesAtTheEdges) {
    EXPECT_TRUE(generate_speckle(0, 10, 3, 0.5, 1u).empty());
    EXPECT_TRUE(generate_speckle(10, 0, 3, 0.5, 1u).empty());
    EXPECT_THROW(generate_speckle(-1, 10, 3, 0.5, 1u), cv::Exception);
    // Absurd densities: the quotient leaves the int range, no dots.
    EXPECT_TRUE(
        identical(generate_speckle(6, 6, 1, 1e300, 1u), generate_speckle(6, 6, 0, 0.5, 1u)));
}

// ----- Warping.

cv::Mat ramp_image() {
    return generate_speckle(30, 40, 3, 0.6, 8u);
}

TEST(TranslateImage, ZeroShiftReproducesEveryPixel) {
    const cv::Mat image = ramp_image();
    EXPECT_TRUE(identical(translate_image(image, 0.0, 0.0), image));
}

TEST(TranslateImage, IntegerShiftMovesContent) {
    const cv::Mat image = ramp_image();
    const cv::Mat moved = translate_image(image, 2.0, 0.0);
    for (int r = 0; r < image.rows; ++r) {
        EXPECT_EQ(moved.at<double>(r, 0), 0.0);
        EXPECT_EQ(moved.at<double>(r, 1), 0.0);
        for (int c = 2; c < image.cols; ++c)
            EXPECT_EQ(moved.at<double>(r, c), image.at<double>(r, c - 2));
    }
    const cv::Mat down = translate_image(image, 0.0, -3.0);
    EXPECT_EQ(down.at<double>(image.rows - 3, 5), 0.0);
    EXPECT_EQ(down.at<double>(0, 5), image.at<double>(3, 5));
}

TEST(TranslateImage, HalfPixelShiftLeavesFirstColumnEmpty) {
    const cv::Mat image = ramp_image();
    const cv::Mat moved = translate_image(image, 0.5, 0.0);
    for (int r = 0; r < image.rows; ++r) {
        EXPECT_EQ(moved.at<double>(r, 0), 0.0);
        for (int c = 1; c < image.cols; ++c)
            EXPECT_EQ(moved.at<double>(r, c), bicubic_interp(image, r, c - 0.5));
    }
}

TEST(DeformImage, WithoutGradientsEqualsTranslation) {
    const cv::Mat image = ramp_image();
    EXPECT_TRUE(
        identical(deform_image(image, 1.3, -0.6, 0, 0, 0, 0), translate_image(image, 1.3, -0.6)));
}

TEST(DeformImage, StretchAboutColumnZero) {
    // 120 columns: with du_dx = -0.01 the source c / 0.99 leaves the image for c = 119 only.
    const cv::Mat image = generate_speckle(12, 120, 3, 0.6, 8u);
    const cv::Mat wider = deform_image(image, 0, 0, 0.01, 0, 0, 0);
    const cv::Mat narrower = deform_image(image, 0, 0, -0.01, 0, 0, 0);
    for (int r = 0; r < image.rows; ++r) {
        for (int c = 0; c < image.cols; ++c)
            EXPECT_NEAR(wider.at<double>(r, c), bicubic_interp(image, r, c / 1.01), 1e-9);
        for (int c = 0; c < 119; ++c)
            EXPECT_NEAR(narrower.at<double>(r, c), bicubic_interp(image, r, c / 0.99), 1e-9);
        EXPECT_EQ(narrower.at<double>(r, 119), 0.0);
    }
}

TEST(DeformImage, SingularGradientGivesZeroImage) {
    const cv::Mat image = ramp_image();
    EXPECT_EQ(cv::countNonZero(deform_image(image, 0, 0, -1.0, 0, 0, 0)), 0);
    EXPECT_EQ(cv::countNonZero(deform_image(image, 1, 2, 0, 1.0, 1.0, 0)), 0);  // J = 1 - 1
    EXPECT_EQ(cv::countNonZero(translate_image(image, std::nan(""), 0.0)), 0);
}

TEST(DeformImage, ShearMapsAboutTheOrigin) {
    const cv::Mat image = ramp_image();
    const cv::Mat sheared = deform_image(image, 0, 0, 0, 0.1, 0, 0);  // x' = x + 0.1 y
    EXPECT_EQ(sheared.at<double>(10, 12), bicubic_interp(image, 10, 11.0));
    EXPECT_EQ(sheared.at<double>(0, 7), image.at<double>(0, 7));
}

TEST(Warping, RefusesNonGreyImages) {
    const cv::Mat bytes(10, 10, CV_8UC1, cv::Scalar(4));
    const cv::Mat colour(10, 10, CV_64FC3, cv::Scalar(1, 2, 3));
    for (const cv::Mat& bad : {bytes, colour}) {
        try {
            translate_image(bad, 1, 1);
            FAIL() << "accepted a non-grey image";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()),
                      "translate_image: image must be a grey image (one channel of 64-bit floats, "
                      "CV_64FC1)");
        }
        EXPECT_THROW(deform_image(bad, 0, 0, 0, 0, 0, 0), std::invalid_argument);
    }
}

TEST(Warping, EmptyImageGivesEmptyImage) {
    EXPECT_TRUE(translate_image(cv::Mat(), 1, 1).empty());
    EXPECT_TRUE(deform_image(cv::Mat(), 0, 0, 0, 0, 0, 0).empty());
    const cv::Mat none(0, 5, CV_64FC1);
    const cv::Mat moved = translate_image(none, 1, 1);
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(moved.type(), CV_64FC1);
    EXPECT_EQ(moved.cols, 5);
}

}  // namespace
}  // namespace morvex::dic
