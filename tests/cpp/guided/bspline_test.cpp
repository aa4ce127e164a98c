// B-spline coefficient images, weights and the subset sampler of the guided path.

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "image/sampling/bspline.h"
#include "image/sampling/bspline_sampler.h"
#include "support/random_image.h"

namespace {

using morvex::dic::detail::CoefficientImage;
using morvex::dic::detail::make_coefficient_image;
using morvex::dic::detail::sample_spline;
using morvex::dic::detail::SplineKind;
using morvex::dic::detail::SubsetCurvature;
using morvex::dic::detail::WarpedSubset;

using morvex::test::random_image;

class SplineKinds : public ::testing::TestWithParam<SplineKind> {};

// Every interpolant passes through the pixels, up to the last rows and columns and for
// lines as short as two samples (the closed-form start of the recursion).
TEST_P(SplineKinds, ReproducesPixelsAtIntegerPositions) {
    constexpr double kTolerance = 1e-9;  // grey levels: rounding of the recursions on 0..255
    for (const cv::Size size :
         {cv::Size(17, 20), cv::Size(2, 3), cv::Size(5, 2), cv::Size(60, 45)}) {
        const cv::Mat image = random_image(size.height, size.width, 3);
        const CoefficientImage c = make_coefficient_image(image, GetParam(), 6, 1);
        for (int r = 0; r < image.rows; ++r)
            for (int col = 0; col < image.cols; ++col)
                EXPECT_NEAR(sample_spline(c, GetParam(), r, col), image.at<double>(r, col),
                            kTolerance)
                    << size << " at " << r << ", " << col;
    }
}

// The weights sum to one and their derivatives to zero at every fraction; the derivative
// weights are the derivative of the weights (central differences).
TEST_P(SplineKinds, WeightsPartitionUnityAndDifferentiate) {
    for (double t = 0.0; t < 1.0; t += 0.0625) {
        double w[6], dw[6], wp[6], wm[6];
        morvex::dic::detail::spline_weights(GetParam(), t, w);
        morvex::dic::detail::spline_derivative_weights(GetParam(), t, dw);
        double sum = 0.0, dsum = 0.0;
        for (int k = 0; k < 6; ++k) {
            sum += w[k];
            dsum += dw[k];
        }
        EXPECT_NEAR(sum, 1.0, 1e-14);
        EXPECT_NEAR(dsum, 0.0, 1e-14);
        if (t > 0.0) {
            constexpr double h = 1e-6;
            morvex::dic::detail::spline_weights(GetParam(), t + h, wp);
            morvex::dic::detail::spline_weights(GetParam(), t - h, wm);
            for (int k = 0; k < 6; ++k) EXPECT_NEAR(dw[k], (wp[k] - wm[k]) / (2 * h), 1e-8);
        }
    }
}

// The sampler's vector path and its scalar form agree bit for bit, and both agree with the
// tap-by-tap reference to rounding, under a warp with stretch, shear and rotation.
TEST_P(SplineKinds, SubsetSamplerMatchesSlowSampling) {
    const cv::Mat image = random_image(64, 64, 11);
    const CoefficientImage c = make_coefficient_image(image, GetParam(), 6, 1);
    WarpedSubset s;
    s.x0 = 31.37;
    s.y0 = 29.81;
    s.ax = 1.02;
    s.bx = -0.03;
    s.ay = 0.025;
    s.by = 0.985;
    s.half = 7;
    const int n = 15 * 15;
    std::vector<double> fast(n), scalar(n);
    morvex::dic::detail::sample_warped_subset(c, GetParam(), s, fast.data(), nullptr);
    morvex::dic::detail::sample_warped_subset_scalar(c, GetParam(), s, scalar.data());
    for (int i = 0; i < 15; ++i)
        for (int j = 0; j < 15; ++j) {
            const double dy = i - 7, dx = j - 7;
            const double x = s.x0 + s.ax * dx + s.bx * dy, y = s.y0 + s.ay * dx + s.by * dy;
            EXPECT_EQ(fast[i * 15 + j], scalar[i * 15 + j]);
            EXPECT_NEAR(fast[i * 15 + j], sample_spline(c, GetParam(), y, x), 1e-10);
        }
}

// Each subset side leaves the four-pixel path another tail (side mod 4 = 0 to 3), so every
// half from 0 to 12 must give the portable form's bits, first- and second-order, with the
// subset's first column just inside the sampler's slack beyond the left border.
TEST_P(SplineKinds, SubsetSamplerFormsAgreeForEverySide) {
    const cv::Mat image = random_image(64, 64, 5);
    const CoefficientImage c = make_coefficient_image(image, GetParam(), 12, 1);
    SubsetCurvature q;
    q.x_xx = 2e-3;
    q.x_xy = -1e-3;
    q.x_yy = 1.5e-3;
    q.y_xx = -1e-3;
    q.y_xy = 2e-3;
    q.y_yy = -2.5e-3;
    for (int half = 0; half <= 12; ++half) {
        SCOPED_TRACE(half);
        WarpedSubset s;
        s.x0 = half - 1.63;  // leftmost positions between -1.9 and -1.6 px
        s.y0 = half + 0.41;
        s.ax = 0.97;
        s.bx = 0.04;
        s.ay = -0.02;
        s.by = 1.03;
        s.half = half;
        const auto n = static_cast<std::size_t>((2 * half + 1) * (2 * half + 1));
        std::vector<double> fast(n), portable(n);
        morvex::dic::detail::sample_warped_subset(c, GetParam(), s, fast.data(), nullptr);
        morvex::dic::detail::sample_warped_subset_scalar(c, GetParam(), s, portable.data());
        EXPECT_EQ(fast, portable);
        morvex::dic::detail::sample_curved_subset(c, GetParam(), s, q, fast.data());
        morvex::dic::detail::sample_curved_subset_scalar(c, GetParam(), s, q, portable.data());
        EXPECT_EQ(fast, portable);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SplineKinds,
                         ::testing::Values(SplineKind::kQuintic, SplineKind::kCubic,
                                           SplineKind::kKeysFourth));

struct PolynomialCase {
    SplineKind kind;
    int degree;
};

class SplinePolynomials : public ::testing::TestWithParam<PolynomialCase> {};

// A B-spline of degree n reproduces polynomials up to degree n exactly. The mirror border
// is not polynomial, so only positions far from it (where its influence, |pole|^distance,
// is below 1e-10) are compared.
TEST_P(SplinePolynomials, ExactForPolynomialsAwayFromTheBorder) {
    const PolynomialCase pc = GetParam();
    constexpr int kSize = 96;
    auto p = [&](double x) {
        const double t = (x - 40.0) / 20.0;
        double value = 0.0, power = 1.0;
        for (int k = 0; k <= pc.degree; ++k) {
            value += (k % 2 ? -0.7 : 1.3) * power;
            power *= t;
        }
        return 50.0 * value;
    };
    cv::Mat image(kSize, kSize, CV_64FC1);
    for (int r = 0; r < kSize; ++r)
        for (int c = 0; c < kSize; ++c) image.at<double>(r, c) = p(c) + 0.5 * p(r);
    const CoefficientImage coef = make_coefficient_image(image, pc.kind, 6, 1);
    for (double y = 36.0; y <= 60.0; y += 2.37)
        for (double x = 36.0; x <= 60.0; x += 1.91)
            EXPECT_NEAR(sample_spline(coef, pc.kind, y, x), p(x) + 0.5 * p(y), 1e-7)
                << "at " << y << ", " << x;
}

INSTANTIATE_TEST_SUITE_P(Degrees, SplinePolynomials,
                         ::testing::Values(PolynomialCase{SplineKind::kCubic, 3},
                                           PolynomialCase{SplineKind::kQuintic, 3},
                                           PolynomialCase{SplineKind::kQuintic, 5}));

}  // namespace
