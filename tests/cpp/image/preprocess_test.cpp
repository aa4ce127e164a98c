#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/preprocess.hpp>

namespace morvex::dic {

// Names the parameterised cases by the steps they enable instead of dumping the record's bytes.
void PrintTo(const DICConfig& config, std::ostream* os) {
    *os << (config.enable_denoise
                ? config.denoise_method + "/" + std::to_string(config.denoise_kernel_size)
                : std::string("no-denoise"))
        << (config.enable_contrast_enhance ? "+clahe" : "");
}

// Only the intrinsics vary across the undistortion cases that take the whole record.
void PrintTo(const CalibrationParams& c, std::ostream* os) {
    *os << "fx=" << c.fx << " fy=" << c.fy << " cx=" << c.cx << " cy=" << c.cy;
}

namespace {

// Fractional grey values that also leave 0..255 on both sides, so an accidental 8-bit
// round trip or clamp shows up.
cv::Mat wide_range_image(int rows = 32, int cols = 40) {
    cv::Mat image(rows, cols, CV_64F);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            image.at<double>(r, c) = static_cast<double>((r * 37 + c * 13) % 331) - 40.0 + 0.375;
        }
    }
    return image;
}

cv::Mat random_image(int rows, int cols, unsigned seed) {
    cv::RNG rng(seed);
    cv::Mat image(rows, cols, CV_64F);
    rng.fill(image, cv::RNG::UNIFORM, 0.0, 255.0);
    return image;
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() &&
           (a.empty() || cv::countNonZero(a != b) == 0);
}

bool integer_valued_in_byte_range(const cv::Mat& image) {
    for (int r = 0; r < image.rows; ++r) {
        for (int c = 0; c < image.cols; ++c) {
            const double value = image.at<double>(r, c);
            if (value != std::round(value) || value < 0.0 || value > 255.0) {
                return false;
            }
        }
    }
    return true;
}

DICConfig denoise_config(const std::string& method, int kernel_size) {
    DICConfig config;
    config.enable_denoise = true;
    config.denoise_method = method;
    config.denoise_kernel_size = kernel_size;
    return config;
}

DICConfig contrast_config() {
    DICConfig config;
    config.enable_contrast_enhance = true;
    return config;
}

cv::Mat gaussian_reference(const cv::Mat& image, int k) {
    cv::Mat blurred;
    cv::GaussianBlur(image, blurred, cv::Size(k, k), 0.0, 0.0, cv::BORDER_DEFAULT);
    return blurred;
}

TEST(Preprocess, CopyIsExactWhenNothingEnabled) {
    const cv::Mat image = wide_range_image();
    DICConfig config;  // the defaults enable nothing
    config.denoise_method = "median";
    const cv::Mat result = preprocess_image(image, config);
    EXPECT_TRUE(identical(result, image));
    EXPECT_NE(result.data, image.data);
}

class PreprocessUnknownMethod : public ::testing::TestWithParam<std::string> {};

TEST_P(PreprocessUnknownMethod, LeavesImageUnchanged) {
    const cv::Mat image = wide_range_image();
    EXPECT_TRUE(identical(preprocess_image(image, denoise_config(GetParam(), 5)), image));
}

INSTANTIATE_TEST_SUITE_P(CaseAndBytesMatter, PreprocessUnknownMethod,
                         ::testing::Values("Gaussian", "gaussian ", " gaussian", "GAUSSIAN",
                                           "Median", "NLM", "", "mean",
                                           std::string("gaussian\0", 9)));

struct KernelCase {
    int kernel_size;
    int applied;  // aperture actually used; 1 means the image is unchanged
};

void PrintTo(const KernelCase& c, std::ostream* os) {
    *os << "kernel=" << c.kernel_size;
}

class PreprocessGaussianKernel : public ::testing::TestWithParam<KernelCase> {};

TEST_P(PreprocessGaussianKernel, IsMadeOddByOrWithOne) {
    const cv::Mat image = wide_range_image();
    const cv::Mat result =
        preprocess_image(image, denoise_config("gaussian", GetParam().kernel_size));
    const cv::Mat expected =
        GetParam().applied == 1 ? image : gaussian_reference(image, GetParam().applied);
    EXPECT_TRUE(identical(result, expected));
}

INSTANTIATE_TEST_SUITE_P(Sizes, PreprocessGaussianKernel,
                         ::testing::Values(KernelCase{0, 1}, KernelCase{1, 1}, KernelCase{2, 3},
                                           KernelCase{3, 3}, KernelCase{4, 5}, KernelCase{5, 5},
                                           KernelCase{8, 9}));

TEST(Preprocess, KernelFourDiffersFromKernelThree) {
    // Guards the table above against a pattern on which every blur looks alike.
    const cv::Mat image = wide_range_image();
    EXPECT_FALSE(identical(preprocess_image(image, denoise_config("gaussian", 4)),
                           gaussian_reference(image, 3)));
}

TEST(Preprocess, NegativeKernelSizeRaisesOpenCvError) {
    const cv::Mat image = wide_range_image();
    EXPECT_THROW(preprocess_image(image, denoise_config("gaussian", -4)), cv::Exception);
    EXPECT_THROW(preprocess_image(image, denoise_config("median", -3)), cv::Exception);
}

// Impulses on a flat background: every median aperture removes them completely.
cv::Mat impulse_image(double background) {
    cv::Mat image(40, 40, CV_64F, cv::Scalar(background));
    for (int r = 3; r < 40; r += 9) {
        for (int c = 4; c < 40; c += 9) {
            image.at<double>(r, c) = 255.0;
        }
    }
    return image;
}

class PreprocessMedian : public ::testing::TestWithParam<int> {};

// Regression: the median ran at 64-bit depth, which OpenCV rejects for every aperture
// above 1, so each call threw.
TEST_P(PreprocessMedian, WorksOnGreyImages) {
    const cv::Mat result =
        preprocess_image(impulse_image(100.0), denoise_config("median", GetParam()));
    ASSERT_EQ(result.type(), CV_64FC1);
    EXPECT_TRUE(identical(result, cv::Mat(40, 40, CV_64F, cv::Scalar(100.0))));
}

INSTANTIATE_TEST_SUITE_P(Apertures, PreprocessMedian, ::testing::Values(2, 3, 4, 5, 7, 9));

TEST(Preprocess, MedianUpToFiveKeepsFractionalValues) {
    // 100.25 is exact in single precision, so the float path returns it unchanged; the
    // 8-bit path of wider apertures rounds it.
    EXPECT_TRUE(identical(preprocess_image(impulse_image(100.25), denoise_config("median", 5)),
                          cv::Mat(40, 40, CV_64F, cv::Scalar(100.25))));
    EXPECT_TRUE(identical(preprocess_image(impulse_image(100.25), denoise_config("median", 7)),
                          cv::Mat(40, 40, CV_64F, cv::Scalar(100.0))));
}

TEST(Preprocess, MedianThreeMatchesSortedNeighbourhood) {
    const cv::Mat image = random_image(24, 24, 7);
    const cv::Mat result = preprocess_image(image, denoise_config("median", 3));
    for (int r = 1; r < 23; ++r) {
        for (int c = 1; c < 23; ++c) {
            std::vector<float> window;
            for (int dr = -1; dr <= 1; ++dr) {
                for (int dc = -1; dc <= 1; ++dc) {
                    window.push_back(static_cast<float>(image.at<double>(r + dr, c + dc)));
                }
            }
            std::nth_element(window.begin(), window.begin() + 4, window.end());
            ASSERT_EQ(result.at<double>(r, c), static_cast<double>(window[4])) << r << "," << c;
        }
    }
}

TEST(Preprocess, MedianOfOneLeavesImageUnchanged) {
    const cv::Mat image = wide_range_image();
    EXPECT_TRUE(identical(preprocess_image(image, denoise_config("median", 0)), image));
    EXPECT_TRUE(identical(preprocess_image(image, denoise_config("median", 1)), image));
}

class PreprocessEightBitStep : public ::testing::TestWithParam<DICConfig> {};

TEST_P(PreprocessEightBitStep, GivesIntegersInByteRange) {
    const cv::Mat result = preprocess_image(wide_range_image(64, 64), GetParam());
    EXPECT_TRUE(integer_valued_in_byte_range(result));
}

TEST_P(PreprocessEightBitStep, SaturatesInputBeforeFiltering) {
    // Rounding and saturating first must not change the outcome.
    const cv::Mat image = wide_range_image(64, 64);
    cv::Mat saturated;
    image.convertTo(saturated, CV_8U);
    saturated.convertTo(saturated, CV_64F);
    EXPECT_TRUE(
        identical(preprocess_image(image, GetParam()), preprocess_image(saturated, GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Steps, PreprocessEightBitStep,
                         ::testing::Values(denoise_config("nlm", 3), contrast_config()));

TEST(Preprocess, NlmIgnoresKernelSize) {
    const cv::Mat image = random_image(48, 48, 3);
    EXPECT_TRUE(identical(preprocess_image(image, denoise_config("nlm", 3)),
                          preprocess_image(image, denoise_config("nlm", 11))));
}

TEST(Preprocess, DenoisesBeforeContrastEnhancement) {
    const cv::Mat image = random_image(64, 64, 11);
    DICConfig both = denoise_config("gaussian", 5);
    both.enable_contrast_enhance = true;
    const DICConfig blur_only = denoise_config("gaussian", 5);

    const cv::Mat denoise_first =
        preprocess_image(preprocess_image(image, blur_only), contrast_config());
    const cv::Mat enhance_first =
        preprocess_image(preprocess_image(image, contrast_config()), blur_only);
    EXPECT_TRUE(identical(preprocess_image(image, both), denoise_first));
    EXPECT_FALSE(identical(denoise_first, enhance_first));
}

// An empty or tiny image must never crash: either a result of the input's size or an
// OpenCV error.
class PreprocessDegenerateImage : public ::testing::TestWithParam<DICConfig> {};

TEST_P(PreprocessDegenerateImage, ReturnsSameSizeOrOpenCvError) {
    for (const cv::Size size : {cv::Size(0, 0), cv::Size(1, 1), cv::Size(3, 2), cv::Size(1, 9)}) {
        const cv::Mat image =
            size.area() == 0 ? cv::Mat() : random_image(size.height, size.width, 5);
        try {
            EXPECT_EQ(preprocess_image(image, GetParam()).size(), image.size());
        } catch (const cv::Exception&) {
            EXPECT_TRUE(image.empty()) << "only an empty image may be rejected";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, PreprocessDegenerateImage,
                         ::testing::Values(DICConfig{}, denoise_config("gaussian", 5),
                                           denoise_config("median", 3), denoise_config("median", 9),
                                           denoise_config("nlm", 3), contrast_config()));

// ---- undistort_image -------------------------------------------------------------------

CalibrationParams camera(double fx, double fy, double cx, double cy) {
    CalibrationParams calibration;
    calibration.fx = fx;
    calibration.fy = fy;
    calibration.cx = cx;
    calibration.cy = cy;
    return calibration;
}

class UndistortWithoutDistortion : public ::testing::TestWithParam<CalibrationParams> {};

TEST_P(UndistortWithoutDistortion, ReturnsExactCopy) {
    const cv::Mat image = wide_range_image();
    const cv::Mat result = undistort_image(image, GetParam());
    EXPECT_TRUE(identical(result, image));
    EXPECT_NE(result.data, image.data);
}

INSTANTIATE_TEST_SUITE_P(AnyIntrinsics, UndistortWithoutDistortion,
                         ::testing::Values(CalibrationParams{}, camera(500.0, 480.0, 20.0, 16.0),
                                           camera(0.0, 0.0, 0.0, 0.0),
                                           camera(std::nan(""), -3.0, 1e9, std::nan(""))));

TEST(Undistort, EmptyImageWithoutDistortionIsEmptyCopy) {
    EXPECT_TRUE(undistort_image(cv::Mat(), CalibrationParams{}).empty());
}

enum class Coefficient { k1, k2, k3, p1, p2 };

void PrintTo(Coefficient c, std::ostream* os) {
    static const char* const kNames[] = {"k1", "k2", "k3", "p1", "p2"};
    *os << kNames[static_cast<int>(c)];
}

class UndistortSingleCoefficient : public ::testing::TestWithParam<Coefficient> {};

// Each coefficient alone must land in its own slot of OpenCV's (k1, k2, p1, p2, k3).
TEST_P(UndistortSingleCoefficient, UsesOpenCvOrder) {
    constexpr double kValue = 0.08;
    const cv::Mat image = random_image(40, 48, 21);
    CalibrationParams calibration = camera(30.0, 28.0, 23.5, 19.0);
    int slot = 0;
    switch (GetParam()) {
        case Coefficient::k1:
            calibration.k1 = kValue;
            slot = 0;
            break;
        case Coefficient::k2:
            calibration.k2 = kValue;
            slot = 1;
            break;
        case Coefficient::p1:
            calibration.p1 = kValue;
            slot = 2;
            break;
        case Coefficient::p2:
            calibration.p2 = kValue;
            slot = 3;
            break;
        case Coefficient::k3:
            calibration.k3 = kValue;
            slot = 4;
            break;
    }
    const cv::Mat matrix =
        (cv::Mat_<double>(3, 3) << 30.0, 0.0, 23.5, 0.0, 28.0, 19.0, 0.0, 0.0, 1.0);
    cv::Mat distortion = cv::Mat::zeros(1, 5, CV_64F);
    distortion.at<double>(0, slot) = kValue;
    cv::Mat expected;
    cv::undistort(image, expected, matrix, distortion);

    const cv::Mat result = undistort_image(image, calibration);
    EXPECT_TRUE(identical(result, expected));
    EXPECT_FALSE(identical(result, image));
}

INSTANTIATE_TEST_SUITE_P(Alone, UndistortSingleCoefficient,
                         ::testing::Values(Coefficient::k1, Coefficient::k2, Coefficient::k3,
                                           Coefficient::p1, Coefficient::p2));

TEST(Undistort, NanCoefficientIsNotZero) {
    const cv::Mat image(16, 16, CV_64F, cv::Scalar(80.0));
    CalibrationParams calibration = camera(10.0, 10.0, 8.0, 8.0);
    calibration.k1 = std::nan("");
    EXPECT_FALSE(identical(undistort_image(image, calibration), image));
}

TEST(Undistort, EmptyImageWithDistortionRaisesOpenCvError) {
    CalibrationParams calibration;
    calibration.p2 = 0.01;
    EXPECT_THROW(undistort_image(cv::Mat(), calibration), cv::Exception);
}

// ---- compute_scale ---------------------------------------------------------------------

struct ScaleCase {
    double base;
    double target;
    double expected;
};

void PrintTo(const ScaleCase& c, std::ostream* os) {
    *os << "base=" << c.base << " target=" << c.target;
}

class ComputeScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ComputeScale, RatioOrOneBelowFloor) {
    EXPECT_EQ(compute_scale(GetParam().base, GetParam().target), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComputeScale,
                         ::testing::Values(ScaleCase{0.0, 5.0, 1.0}, ScaleCase{-2.0, 5.0, 1.0},
                                           ScaleCase{9.9e-13, 5.0, 1.0}, ScaleCase{2.0, 5.0, 2.5},
                                           ScaleCase{1e-12, 5.0, 5.0 / 1e-12},
                                           ScaleCase{-std::numeric_limits<double>::infinity(), 5.0,
                                                     1.0}));

TEST(ComputeScaleNan, NanBaseGivesNan) {
    EXPECT_TRUE(std::isnan(compute_scale(std::nan(""), 5.0)));
}

}  // namespace
}  // namespace morvex::dic
