#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/interpolation.hpp>
#include <morvex/znssd.hpp>

#include "support/random_image.h"

namespace morvex::dic {
namespace {

using morvex::test::random_image;

WarpParams translation(double u, double v) {
    WarpParams w;
    w.u = u;
    w.v = v;
    return w;
}

// Straightforward criterion: reference first, two work vectors, positions tested one by one.
double plain_znssd(const cv::Mat& ref, const cv::Mat& def, int y, int x, const WarpParams& w,
                   int size, bool fourth) {
    const int m = size | 1, h = m / 2, n = m * m;
    std::vector<double> f, g;
    for (int dy = -h; dy <= h; ++dy)
        for (int dx = -h; dx <= h; ++dx) {
            const int r = y + dy, c = x + dx;
            f.push_back(r >= 0 && r < ref.rows && c >= 0 && c < ref.cols ? ref.at<double>(r, c)
                                                                         : 0.0);
        }
    for (int dy = -h; dy <= h; ++dy)
        for (int dx = -h; dx <= h; ++dx) {
            const double xp = x + dx + w.u + w.du_dx * dx + w.du_dy * dy;
            const double yp = y + dy + w.v + w.dv_dx * dx + w.dv_dy * dy;
            if (!std::isfinite(yp) || !std::isfinite(xp) || yp <= 0 || yp >= def.rows - 1 ||
                xp <= 0 || xp >= def.cols - 1)
                return 2.0;
            g.push_back(fourth ? keys_fourth_interp(def, yp, xp) : bilinear_interp(def, yp, xp));
        }
    double mf = 0, mg = 0;
    for (int k = 0; k < n; ++k) mf += f[k], mg += g[k];
    mf /= n, mg /= n;
    double sff = 0, sgg = 0, sfg = 0;
    for (int k = 0; k < n; ++k) {
        sff += (f[k] - mf) * (f[k] - mf);
        sgg += (g[k] - mg) * (g[k] - mg);
        sfg += (f[k] - mf) * (g[k] - mg);
    }
    const double d = std::sqrt(sff * sgg);
    return d < 1e-12 ? 2.0 : 2 * (1 - sfg / d);
}

TEST(Znssd, AgreesWithStraightforwardComputation) {
    const cv::Mat ref = random_image(60, 70, 1), def = random_image(60, 70, 2);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> shift(-3.0, 3.0), grad(-0.05, 0.05);
    std::uniform_int_distribution<int> centre(2, 58);
    for (int i = 0; i < 300; ++i) {
        WarpParams w{shift(rng), shift(rng), grad(rng), grad(rng), grad(rng), grad(rng)};
        const int y = centre(rng), x = centre(rng);
        for (bool fourth : {true, false}) {
            SCOPED_TRACE(std::to_string(i) + (fourth ? " fourth" : " bilinear"));
            // Bit for bit: the same sums in the same order, and the criterion's batched
            // sampling (four at a time on AVX2 CPUs) gives the single-sample kernel's bits.
            const double want = plain_znssd(ref, def, y, x, w, 15, fourth);
            ASSERT_EQ(compute_znssd(ref, def, y, x, w, 15, fourth), want);
        }
    }
}

TEST(Znssd, IdenticalSubsetsScoreZero) {
    const cv::Mat image = random_image(40, 40, 4);
    for (bool fourth : {true, false})
        EXPECT_NEAR(compute_znssd(image, image, 20, 20, WarpParams{}, 21, fourth), 0.0, 1e-12);
}

struct GreyChange {
    double gain;
    double offset;
    double expected;
};

void PrintTo(const GreyChange& c, std::ostream* os) {
    *os << "gain=" << c.gain << " offset=" << c.offset;
}

class ZnssdGreyChange : public ::testing::TestWithParam<GreyChange> {};

TEST_P(ZnssdGreyChange, IsInsensitiveToGainAndOffset) {
    const auto [gain, offset, expected] = GetParam();
    const cv::Mat ref = random_image(40, 40, 5);
    const cv::Mat def = ref * gain + offset;
    for (bool fourth : {true, false})
        EXPECT_NEAR(compute_znssd(ref, def, 20, 20, WarpParams{}, 21, fourth), expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Gains, ZnssdGreyChange,
                         ::testing::Values(GreyChange{2.0, 10.0, 0.0}, GreyChange{0.3, -50.0, 0.0},
                                           GreyChange{-1.0, 255.0, 4.0},
                                           GreyChange{-0.5, 3.0, 4.0}));

TEST(Znssd, UniformReferenceSubsetIsNotEvaluable) {
    cv::Mat ref(40, 40, CV_64FC1, cv::Scalar(100.0));
    EXPECT_EQ(compute_znssd(ref, random_image(40, 40, 6), 20, 20, WarpParams{}, 21, true), 2.0);
}

TEST(Znssd, OpenIntervalOnEveryBorder) {
    const cv::Mat image = random_image(40, 50, 7);
    const int h = 5;  // subset 11
    // Subset touching row 0 / column 0 exactly under the identity is refused ...
    EXPECT_EQ(compute_znssd(image, image, h, 20, WarpParams{}, 11, true), 2.0);
    EXPECT_EQ(compute_znssd(image, image, 20, h, WarpParams{}, 11, true), 2.0);
    // ... and accepted a thousandth of a pixel further in.
    EXPECT_LT(compute_znssd(image, image, h, 20, translation(0, 0.001), 11, true), 2.0);
    EXPECT_LT(compute_znssd(image, image, 20, h, translation(0.001, 0), 11, false), 2.0);
    // The last row and column likewise.
    EXPECT_EQ(compute_znssd(image, image, 39 - h, 20, WarpParams{}, 11, true), 2.0);
    EXPECT_LT(compute_znssd(image, image, 39 - h, 20, translation(0, -0.001), 11, true), 2.0);
    EXPECT_EQ(compute_znssd(image, image, 20, 49 - h, WarpParams{}, 11, false), 2.0);
    EXPECT_LT(compute_znssd(image, image, 20, 49 - h, translation(-0.001, 0), 11, false), 2.0);
}

TEST(Znssd, EvenSizeIsMadeOdd) {
    const cv::Mat ref = random_image(50, 50, 8), def = random_image(50, 50, 9);
    const WarpParams w = translation(0.4, -0.2);
    EXPECT_EQ(compute_znssd(ref, def, 25, 25, w, 20, true),
              compute_znssd(ref, def, 25, 25, w, 21, true));
    EXPECT_NE(compute_znssd(ref, def, 25, 25, w, 20, true),
              compute_znssd(ref, def, 25, 25, w, 19, true));
}

TEST(Znssd, DegenerateSubsetSizesAreNotEvaluable) {
    const cv::Mat image = random_image(30, 30, 10);
    WarpParams collapse;  // every pixel maps onto the centre: the subset never leaves the image
    collapse.du_dx = collapse.dv_dy = -1.0;
    for (int size : {1, 0, -1, -2, -7, std::numeric_limits<int>::min(), 1 << 20,
                     std::numeric_limits<int>::max()}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(compute_znssd(image, image, 15, 15, WarpParams{}, size, true), 2.0);
        EXPECT_EQ(compute_znssd(image, image, 15, 15, collapse, size, false), 2.0);
    }
}

TEST(Znssd, ReferenceRowsOutsideTheImageReadAsZero) {
    const cv::Mat ref = random_image(40, 40, 11), def = random_image(40, 40, 12);
    const WarpParams w = translation(0.0, 5.0);
    const double got = compute_znssd(ref, def, 3, 20, w, 11, true);
    EXPECT_LT(got, 2.0);
    EXPECT_NEAR(got, plain_znssd(ref, def, 3, 20, w, 11, true), 1e-12);
}

TEST(Znssd, BothKernelsAgreeAtIntegerTranslation) {
    const cv::Mat ref = random_image(40, 40, 13), def = random_image(40, 40, 14);
    const WarpParams w = translation(2.0, -3.0);
    EXPECT_NEAR(compute_znssd(ref, def, 20, 20, w, 15, true),
                compute_znssd(ref, def, 20, 20, w, 15, false), 1e-12);
}

TEST(Znssd, NonFiniteWarpIsRefusedBeforeSampling) {
    const cv::Mat image = random_image(30, 30, 15);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {nan, inf, -inf, 1e300}) {
        EXPECT_EQ(compute_znssd(image, image, 15, 15, translation(bad, 0), 11, true), 2.0);
        WarpParams w;
        w.dv_dy = bad;
        EXPECT_EQ(compute_znssd(image, image, 15, 15, w, 11, false), 2.0);
    }
}

TEST(Znssd, ExtremeCentresAndImagesAreNotEvaluable) {
    const cv::Mat image = random_image(30, 30, 16);
    constexpr int kMax = std::numeric_limits<int>::max(), kMin = std::numeric_limits<int>::min();
    EXPECT_EQ(compute_znssd(image, image, kMax, kMin, WarpParams{}, 11, true), 2.0);
    EXPECT_EQ(compute_znssd(image, image, kMin, kMax, translation(-1e9, 3e9), 29, false), 2.0);
    EXPECT_EQ(compute_znssd(image, cv::Mat(), 15, 15, WarpParams{}, 11, true), 2.0);
    EXPECT_EQ(compute_znssd(image, cv::Mat(30, 30, CV_8UC1, cv::Scalar(1)), 15, 15, WarpParams{},
                            11, true),
              2.0);
    EXPECT_EQ(compute_znssd(cv::Mat(), image, 15, 15, WarpParams{}, 11, true), 2.0);  // reads as 0
}

}  // namespace
}  // namespace morvex::dic
