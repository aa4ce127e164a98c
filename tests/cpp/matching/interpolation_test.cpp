#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/interpolation.hpp>

// This file sees the kernels' portable scalar code; the library uses its SSE2 code on
// x86-64 (its inline copies are not exported, so the two never meet at link time). Both
// must give the same bits, so that results do not depend on the platform.
#define MORVEX_SCALAR_KERNELS
#include "image/sampling/kernels.h"
#include "support/random_image.h"

namespace morvex::dic {
namespace {

// The fast kernels regroup the double sum over the taps. On grey values up to 255 the
// tap-by-tap sum itself is only good to about 1.6e-12 (measured against extended
// precision, the rounding of the kernel polynomials dominates); the two agree within that.
constexpr double kRegroupTolerance = 3e-12;

using morvex::test::random_image;

cv::Mat image_from(int rows, int cols, const std::function<double(int, int)>& f) {
    cv::Mat image(rows, cols, CV_64FC1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) image.at<double>(r, c) = f(r, c);
    return image;
}

// ----- Straightforward versions, written from the kernel definitions: every tap clamped
// through cv::Mat::at, weights per tap, one running sum rows outer / columns inner.

double tap(const cv::Mat& image, int r, int c) {
    return image.at<double>(std::clamp(r, 0, image.rows - 1), std::clamp(c, 0, image.cols - 1));
}

double plain_cubic(double t) {
    const double a = std::abs(t);
    if (a < 1) return 1.5 * a * a * a - 2.5 * t * t + 1;
    if (a < 2) return -0.5 * a * a * a + 2.5 * t * t - 4 * a + 2;
    return 0;
}

double plain_cubic_derivative(double t) {
    const double a = std::abs(t);
    const double s = t >= 0 ? 1 : -1;
    if (a < 1) return s * (4.5 * t * t - 5 * a);
    if (a < 2) return s * (-1.5 * t * t + 5 * a - 4);
    return 0;
}

std::vector<double> plain_keys_weights(double f) {
    auto k1 = [](double t) { return 4.0 / 3 * t * t * t - 7.0 / 3 * t * t + 1; };
    auto k2 = [](double t) { return -7.0 / 12 * t * t * t + 3 * t * t - 59.0 / 12 * t + 2.5; };
    auto k3 = [](double t) { return 1.0 / 12 * t * t * t - 2.0 / 3 * t * t + 7.0 / 4 * t - 1.5; };
    return {k3(f + 2), k2(f + 1), k1(f), k1(1 - f), k2(2 - f), k3(3 - f)};
}

double plain_bilinear(const cv::Mat& im, double y, double x) {
    const int r0 = static_cast<int>(std::floor(y)), c0 = static_cast<int>(std::floor(x));
    const double fy = y - r0, fx = x - c0;
    return (1 - fy) * (1 - fx) * tap(im, r0, c0) + (1 - fy) * fx * tap(im, r0, c0 + 1) +
           fy * (1 - fx) * tap(im, r0 + 1, c0) + fy * fx * tap(im, r0 + 1, c0 + 1);
}

InterpResult plain_bicubic_grad(const cv::Mat& im, double y, double x) {
    const int r0 = static_cast<int>(std::floor(y)), c0 = static_cast<int>(std::floor(x));
    const double fy = y - r0, fx = x - c0;
    InterpResult out;
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 4; ++j) {
            const double v = tap(im, r0 - 1 + k, c0 - 1 + j);
            const double ty = fy + 1 - k, tx = fx + 1 - j;
            out.value += plain_cubic(ty) * plain_cubic(tx) * v;
            out.dx += plain_cubic(ty) * plain_cubic_derivative(tx) * v;
            out.dy += plain_cubic_derivative(ty) * plain_cubic(tx) * v;
        }
    return out;
}

double plain_keys_fourth(const cv::Mat& im, double y, double x) {
    const int r0 = static_cast<int>(std::floor(y)), c0 = static_cast<int>(std::floor(x));
    const std::vector<double> wr = plain_keys_weights(y - r0), wc = plain_keys_weights(x - c0);
    double sum = 0;
    for (int k = 0; k < 6; ++k)
        for (int j = 0; j < 6; ++j) sum += wr[k] * wc[j] * tap(im, r0 - 2 + k, c0 - 2 + j);
    return sum;
}

// ----- Agreement with the straightforward versions, across image shapes: interior, near and
// beyond every border, negative positions (floor, not truncation), and images smaller than
// the 6 x 6 neighbourhood, where every position takes the clamped path.

struct Shape {
    int rows;
    int cols;
};

void PrintTo(const Shape& s, std::ostream* os) {
    *os << s.rows << "x" << s.cols;
}

class InterpolatorsAgree : public ::testing::TestWithParam<Shape> {};

TEST_P(InterpolatorsAgree, WithStraightforwardComputationAtRandomPositions) {
    const auto [rows, cols] = GetParam();
    const cv::Mat image = random_image(rows, cols, 11u + rows * 31u + cols);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> ry(-4.0, rows + 3.0), rx(-4.0, cols + 3.0);
    std::vector<std::pair<double, double>> positions = {
        {-0.25, 0.5},      {0.0, 0.0},        {rows - 1.0, cols - 1.0}, {rows - 1.5, 1.999},
        {2.0, cols - 3.0}, {rows - 3.0, 2.0}, {-3.7, cols * 0.5},       {0.999999, -0.000001}};
    for (int i = 0; i < 4000; ++i) positions.emplace_back(ry(rng), rx(rng));
    for (const auto& [y, x] : positions) {
        SCOPED_TRACE("y=" + std::to_string(y) + " x=" + std::to_string(x));
        const InterpResult want = plain_bicubic_grad(image, y, x);
        const InterpResult got = bicubic_interp_grad(image, y, x);
        ASSERT_NEAR(bilinear_interp(image, y, x), plain_bilinear(image, y, x), kRegroupTolerance);
        ASSERT_NEAR(bicubic_interp(image, y, x), want.value, kRegroupTolerance);
        ASSERT_NEAR(got.value, want.value, kRegroupTolerance);
        ASSERT_NEAR(got.dx, want.dx, kRegroupTolerance);
        ASSERT_NEAR(got.dy, want.dy, kRegroupTolerance);
        ASSERT_EQ(got.value, bicubic_interp(image, y, x));
        ASSERT_NEAR(keys_fourth_interp(image, y, x), plain_keys_fourth(image, y, x),
                    kRegroupTolerance);
    }
}

TEST_P(InterpolatorsAgree, ScalarAndVectorKernelsGiveSameBits) {
    static_assert(!MORVEX_KERNELS_SSE2, "this file must see the scalar kernels");
    const auto [rows, cols] = GetParam();
    const cv::Mat image = random_image(rows, cols, 5u + rows);
    const detail::GreyView view(image);
    std::mt19937 rng(8);
    std::uniform_real_distribution<double> ry(-4.0, rows + 3.0), rx(-4.0, cols + 3.0);
    for (int i = 0; i < 4000; ++i) {
        const double y = ry(rng), x = rx(rng);
        ASSERT_EQ(keys_fourth_interp(image, y, x), detail::sample_keys_fourth(view, y, x));
        ASSERT_EQ(bicubic_interp(image, y, x), detail::sample_bicubic(view, y, x));
        const InterpResult a = bicubic_interp_grad(image, y, x),
                           b = detail::sample_bicubic_grad(view, y, x);
        ASSERT_EQ(a.value, b.value);
        ASSERT_EQ(a.dx, b.dx);
        ASSERT_EQ(a.dy, b.dy);
        ASSERT_EQ(bilinear_interp(image, y, x), detail::sample_bilinear(view, y, x));
    }
}

TEST(Interpolation, SamplerReusingWeightsMatchesSinglePositions) {
    const cv::Mat image = random_image(30, 30, 13);
    const detail::GreyView view(image);
    detail::KeysFourthSampler sampler;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Runs of equal fractions (a pure translation), fractions 0, a NaN, then changes again;
    // inside and at the border.
    std::vector<std::pair<double, double>> positions;
    for (int r = 0; r < 30; r += 3)
        for (int c = 0; c < 30; c += 2) positions.emplace_back(r + 0.25, c - 0.625);
    for (int r = 0; r < 30; r += 5) positions.emplace_back(r, r);
    positions.emplace_back(nan, 3.0);
    positions.emplace_back(4.0, 4.0);
    for (int i = 0; i < 50; ++i) positions.emplace_back(10.0 + 0.013 * i, 12.0 - 0.007 * i);
    for (const auto& [y, x] : positions) {
        const double want = detail::sample_keys_fourth(view, y, x);
        const double got = sampler(view, y, x);
        if (std::isnan(want)) {
            EXPECT_TRUE(std::isnan(got));
        } else {
            EXPECT_EQ(got, want) << y << ", " << x;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, InterpolatorsAgree,
                         ::testing::Values(Shape{40, 50}, Shape{7, 9}, Shape{3, 2}, Shape{1, 1},
                                           Shape{1, 12}));

// ----- Exact answers.

TEST(Interpolation, ReproducesPixelsAtIntegerPositions) {
    const cv::Mat image = random_image(12, 15, 3);
    for (int r = 0; r < image.rows; ++r)
        for (int c = 0; c < image.cols; ++c) {
            const double pixel = image.at<double>(r, c);
            EXPECT_EQ(bilinear_interp(image, r, c), pixel);
            EXPECT_EQ(bicubic_interp(image, r, c), pixel);
            EXPECT_EQ(bicubic_interp_grad(image, r, c).value, pixel);
            EXPECT_NEAR(keys_fourth_interp(image, r, c), pixel, 1e-12);
        }
}

TEST(Interpolation, GradientIsCentralDifferenceAtIntegerPositions) {
    const cv::Mat image = random_image(12, 15, 4);
    for (int r = 1; r + 1 < image.rows; ++r)
        for (int c = 1; c + 1 < image.cols; ++c) {
            const InterpResult g = bicubic_interp_grad(image, r, c);
            EXPECT_NEAR(g.dx, (image.at<double>(r, c + 1) - image.at<double>(r, c - 1)) / 2, 1e-12);
            EXPECT_NEAR(g.dy, (image.at<double>(r + 1, c) - image.at<double>(r - 1, c)) / 2, 1e-12);
        }
}

TEST(Interpolation, ConstantImageGivesConstantEverywhere) {
    const cv::Mat image(9, 11, CV_64FC1, cv::Scalar(87.25));
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> pos(-20.0, 30.0);
    for (int i = 0; i < 500; ++i) {
        const double y = pos(rng), x = pos(rng);
        EXPECT_NEAR(bilinear_interp(image, y, x), 87.25, 1e-12);
        EXPECT_NEAR(bicubic_interp(image, y, x), 87.25, 1e-12);
        EXPECT_NEAR(keys_fourth_interp(image, y, x), 87.25, 1e-12);
        const InterpResult g = bicubic_interp_grad(image, y, x);
        EXPECT_NEAR(g.value, 87.25, 1e-12);
        EXPECT_NEAR(g.dx, 0.0, 1e-12);
        EXPECT_NEAR(g.dy, 0.0, 1e-12);
    }
}

TEST(Interpolation, PolynomialsAwayFromTheBorder) {
    // Cubic convolution reproduces quadratics, the six-tap kernel cubics.
    const cv::Mat quadratic =
        image_from(30, 30, [](int r, int c) { return 0.5 * c * c - 0.3 * r * c + 2.0 * r + 7.0; });
    const cv::Mat cubic = image_from(
        30, 30, [](int r, int c) { return 0.01 * c * c * c - 0.02 * r * r * c + 0.4 * r + 3.0; });
    std::mt19937 rng(6);
    std::uniform_real_distribution<double> pos(3.0, 26.0);
    for (int i = 0; i < 200; ++i) {
        const double y = pos(rng), x = pos(rng);
        EXPECT_NEAR(bicubic_interp(quadratic, y, x), 0.5 * x * x - 0.3 * y * x + 2.0 * y + 7.0,
                    1e-9);
        EXPECT_NEAR(keys_fourth_interp(cubic, y, x),
                    0.01 * x * x * x - 0.02 * y * y * x + 0.4 * y + 3.0, 1e-9);
    }
}

TEST(Interpolation, BilinearFollowsRampUpToLastColumn) {
    const cv::Mat ramp = image_from(6, 10, [](int, int c) { return c; });
    for (double x = 0.0; x <= 9.0; x += 0.125) EXPECT_NEAR(bilinear_interp(ramp, 2.5, x), x, 1e-12);
    EXPECT_EQ(bilinear_interp(ramp, 2.0, 9.0), 9.0);
    // Row first: the second coordinate is the column.
    EXPECT_EQ(bilinear_interp(ramp, 2.0, 5.25), 5.25);
}

TEST(Interpolation, LeftOfImageInterpolatesDownColumnZero) {
    const cv::Mat image = random_image(10, 10, 8);
    const cv::Mat column = image.col(0).clone();
    const cv::Mat wide = cv::repeat(column, 1, 10);
    for (double y : {0.0, 2.3, 4.75, 8.6}) {
        EXPECT_NEAR(bicubic_interp(image, y, -3.7), bicubic_interp(wide, y, 4.0), 1e-12);
        EXPECT_NEAR(keys_fourth_interp(image, y, -3.7), keys_fourth_interp(wide, y, 4.0), 1e-12);
    }
}

TEST(Interpolation, FarOutsideGivesCornerPixelWithZeroGradient) {
    const cv::Mat image = random_image(8, 9, 9);
    const double corner = image.at<double>(7, 0);
    for (double far : {1e3, 1e9, 3e9, 1e300}) {
        EXPECT_NEAR(bilinear_interp(image, far, -far), corner, 1e-12);
        EXPECT_NEAR(bicubic_interp(image, far, -far), corner, 1e-12);
        EXPECT_NEAR(keys_fourth_interp(image, far, -far), corner, 1e-12);
        const InterpResult g = bicubic_interp_grad(image, far, -far);
        EXPECT_NEAR(g.value, corner, 1e-12);
        EXPECT_NEAR(g.dx, 0.0, 1e-12);
        EXPECT_NEAR(g.dy, 0.0, 1e-12);
    }
}

TEST(Interpolation, KeysFourthOnSinglePixelImage) {
    const cv::Mat one(1, 1, CV_64FC1, cv::Scalar(42.0));
    for (double p : {-5.5, 0.0, 0.3, 17.9})
        EXPECT_NEAR(keys_fourth_interp(one, p, -p), 42.0, 1e-12);
}

TEST(Interpolation, NonFinitePositionGivesNaNWithoutConversion) {
    const cv::Mat image = random_image(8, 8, 10);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (auto [y, x] : {std::pair{nan, 3.0}, {3.0, nan}, {inf, 3.0}, {3.0, -inf}}) {
        EXPECT_TRUE(std::isnan(bilinear_interp(image, y, x)));
        EXPECT_TRUE(std::isnan(bicubic_interp(image, y, x)));
        EXPECT_TRUE(std::isnan(keys_fourth_interp(image, y, x)));
        EXPECT_TRUE(std::isnan(bicubic_interp_grad(image, y, x).value));
    }
}

TEST(Interpolation, EmptyOrNonGreyImageGivesNaNInsteadOfReadingOutOfBounds) {
    const cv::Mat bytes(8, 8, CV_8UC1, cv::Scalar(9));
    const cv::Mat colour(8, 8, CV_64FC3, cv::Scalar(9, 9, 9));
    for (const cv::Mat& bad : {cv::Mat(), bytes, colour}) {
        EXPECT_TRUE(std::isnan(bilinear_interp(bad, 2.5, 2.5)));
        EXPECT_TRUE(std::isnan(bicubic_interp(bad, 2.5, 2.5)));
        EXPECT_TRUE(std::isnan(keys_fourth_interp(bad, 2.5, 2.5)));
        const InterpResult g = bicubic_interp_grad(bad, 2.5, 2.5);
        EXPECT_TRUE(std::isnan(g.value) && std::isnan(g.dx) && std::isnan(g.dy));
    }
}

TEST(Interpolation, ReadsThroughRowStrideOfAView) {
    const cv::Mat big = random_image(20, 30, 12);
    const cv::Mat view = big(cv::Rect(5, 4, 12, 10));
    const cv::Mat copy = view.clone();
    for (auto [y, x] : {std::pair{0.3, 0.7}, {4.5, 6.25}, {9.0, 11.0}, {-1.0, 12.5}}) {
        EXPECT_EQ(keys_fourth_interp(view, y, x), keys_fourth_interp(copy, y, x));
        EXPECT_EQ(bicubic_interp(view, y, x), bicubic_interp(copy, y, x));
        EXPECT_EQ(bilinear_interp(view, y, x), bilinear_interp(copy, y, x));
    }
}

}  // namespace
}  // namespace morvex::dic
