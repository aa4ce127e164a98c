// Noise in the reference image: its estimate, and the uncertainty that allows for it (a noisy
// reference overstates its own texture, so the Hessian alone predicts too small a sigma).

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/guided.hpp>

#include "image/read_noise.h"
#include "support/calibration.h"
#include "support/speckle_pair.h"

namespace {

using namespace morvex::dic;
using morvex::test::Dot;

constexpr int kSize = 128;

cv::Mat with_noise(const cv::Mat& image, double sigma, std::mt19937& rng) {
    std::normal_distribution<double> noise(0.0, sigma);
    cv::Mat out = image.clone();
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) out.at<double>(r, c) += noise(rng);
    return out;
}

TEST(ReadNoiseEstimate, FindsTheAddedNoiseOnTheSpecimenAlone) {
    const cv::Mat clean =
        morvex::test::render_dots(kSize, kSize, morvex::test::random_dots(kSize, kSize, 4));
    std::mt19937 rng(8);
    for (const double sigma : {2.0, 6.0}) {
        const cv::Mat noisy = with_noise(clean, sigma, rng);
        EXPECT_NEAR(detail::estimate_read_noise(noisy, cv::Mat()), sigma, 0.1 * sigma);
        // A background of much stronger noise over 40 % of the image: counted, it pulls the
        // estimate up; masked out, it is not seen.
        cv::Mat holed = noisy.clone(), specimen(kSize, kSize, CV_8UC1, cv::Scalar(1));
        const cv::Rect hole(24, 24, 80, 80);
        with_noise(cv::Mat(hole.size(), CV_64FC1, cv::Scalar(0.0)), 40.0, rng).copyTo(holed(hole));
        specimen(hole) = 0;
        EXPECT_GT(detail::estimate_read_noise(holed, cv::Mat()), 1.2 * sigma);
        EXPECT_NEAR(detail::estimate_read_noise(holed, specimen), sigma, 0.1 * sigma);
    }
    // No 5 x 5 window: nothing to estimate from.
    EXPECT_EQ(detail::estimate_read_noise(cv::Mat(4, 40, CV_64FC1, cv::Scalar(1.0)), cv::Mat()),
              0.0);
    cv::Mat sparse = cv::Mat::zeros(kSize, kSize, CV_8UC1);
    sparse.at<std::uint8_t>(5, 5) = 1;
    EXPECT_EQ(detail::estimate_read_noise(clean, sparse), 0.0);
}

// Fresh noise of a sixth of the dots' contrast in both images of a shifted pair, many times
// over: the reported sigma follows the scatter of u, and did not when the reference was taken
// as noise-free. u and v themselves do not depend on it.
TEST(ReferenceNoise, SigmaFollowsTheScatterWhenTheReferenceIsNoisy) {
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 12);
    const cv::Mat clean_ref = morvex::test::render_dots(kSize, kSize, dots);
    const cv::Mat clean_def =
        morvex::test::render_dots(kSize, kSize, morvex::test::moved_dots(dots, 0.3, -0.2));
    GuidedConfig estimated;
    estimated.subset_size = 21;
    estimated.step = 8;
    estimated.compute_strain = false;
    // The texture test judges subsets by the read noise: off, so that only sigma may differ.
    estimated.max_predicted_sigma = 0.0;
    GuidedConfig noise_free = estimated;
    noise_free.reference_noise = 0.0;
    constexpr int kRealisations = 12;
    constexpr double kNoise = 16.0;  // grey levels, against dots of 60-160
    std::mt19937 rng(5);
    std::vector<std::vector<double>> us;
    std::vector<double> sum_estimated, sum_noise_free;
    std::vector<std::uint8_t> always_valid;
    for (int k = 0; k < kRealisations; ++k) {
        const cv::Mat ref = with_noise(clean_ref, kNoise, rng);
        const cv::Mat def = with_noise(clean_def, kNoise, rng);
        const ReferenceImage with(ref, estimated), without(ref, noise_free);
        EXPECT_NEAR(with.reference_noise(), kNoise, 0.1 * kNoise);
        EXPECT_EQ(without.reference_noise(), 0.0);
        const GuidedResult a = correlate_guided(with, def, estimated);
        const GuidedResult b = correlate_guided(without, def, noise_free);
        ASSERT_EQ(a.u, b.u);
        ASSERT_EQ(a.v, b.v);
        ASSERT_EQ(a.status, b.status);
        us.push_back(a.u);
        if (sum_estimated.empty()) {
            sum_estimated.assign(a.u.size(), 0.0);
            sum_noise_free.assign(a.u.size(), 0.0);
            always_valid = a.valid;
        }
        for (std::size_t i = 0; i < a.u.size(); ++i) {
            always_valid[i] &= a.valid[i];
            if (!a.valid[i]) continue;
            sum_estimated[i] += a.sigma_u[i];
            sum_noise_free[i] += b.sigma_u[i];
            EXPECT_GE(a.sigma_u[i], b.sigma_u[i]) << "point " << i;
        }
    }
    // The points every realisation measured.
    std::vector<std::vector<double>> kept_u(us.size());
    std::vector<double> kept_estimated, kept_noise_free;
    for (std::size_t i = 0; i < always_valid.size(); ++i) {
        if (!always_valid[i]) continue;
        for (std::size_t k = 0; k < us.size(); ++k) kept_u[k].push_back(us[k][i]);
        kept_estimated.push_back(sum_estimated[i]);
        kept_noise_free.push_back(sum_noise_free[i]);
    }
    ASSERT_GT(kept_estimated.size(), always_valid.size() * 9 / 10);
    const double calibrated = morvex::test::median_sigma_calibration(kept_u, kept_estimated);
    const double before = morvex::test::median_sigma_calibration(kept_u, kept_noise_free);
    EXPECT_GT(calibrated, 0.85);
    EXPECT_LT(calibrated, 1.2);
    EXPECT_LT(before, 0.8);
}

// Bad values of reference_noise are among the guided entry checks.
TEST(ReferenceNoise, AGivenValueIsKeptAndAnotherOneRefused) {
    const cv::Mat image =
        morvex::test::render_dots(kSize, kSize, morvex::test::random_dots(kSize, kSize, 1));
    GuidedConfig config;
    config.subset_size = 21;
    // The public estimate checks what the internal one is given.
    EXPECT_THROW(estimate_read_noise(cv::Mat(16, 16, CV_32FC1, cv::Scalar(0))),
                 std::invalid_argument);
    EXPECT_THROW(estimate_read_noise(image, cv::Mat(8, 8, CV_8UC1, cv::Scalar(1))),
                 std::invalid_argument);
    EXPECT_EQ(estimate_read_noise(image), detail::estimate_read_noise(image, cv::Mat()));
    config.reference_noise = 3.0;
    const ReferenceImage reference(image, config);
    EXPECT_EQ(reference.reference_noise(), 3.0);
    GuidedConfig other = config;
    other.reference_noise = -1.0;
    std::string refusal;
    try {
        correlate_guided(reference, image, other);
    } catch (const std::invalid_argument& error) {
        refusal = error.what();
    }
    EXPECT_NE(refusal.find("reference_noise"), std::string::npos) << refusal;
}

}  // namespace
