#include <morvex/preprocess.hpp>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

namespace morvex::dic {
namespace {

constexpr double kNlmStrength = 3.0;
constexpr int kNlmTemplateWindow = 7;
constexpr int kNlmSearchWindow = 21;
constexpr double kClaheClipLimit = 3.0;
constexpr int kClaheTiles = 8;
// Largest aperture OpenCV's median filter accepts for 32-bit float images; wider
// apertures exist only for 8-bit images.
constexpr int kMaxFloatMedianAperture = 5;
constexpr double kScaleBaseFloor = 1e-12;

// The 8-bit steps round to the nearest integer and saturate to 0..255, so values
// outside that range and fractions are lost; the result holds integers.
template <typename Step>
void through_8bit(cv::Mat& image, Step&& step) {
    cv::Mat bytes;
    image.convertTo(bytes, CV_8U, 1.0, 0.0);
    step(bytes);
    bytes.convertTo(image, CV_64F, 1.0, 0.0);
}

// OpenCV's median filter rejects 64-bit floats for every aperture above 1, so the
// filter runs on a 32-bit float copy where OpenCV allows it (apertures 3 and 5) and
// on the 8-bit round trip beyond. A negative aperture reaches medianBlur and is
// rejected there.
void median_denoise(cv::Mat& image, int aperture) {
    if (aperture == 1) {
        return;
    }
    if (aperture > kMaxFloatMedianAperture) {
        through_8bit(image, [aperture](cv::Mat& bytes) { cv::medianBlur(bytes, bytes, aperture); });
        return;
    }
    cv::Mat floats;
    image.convertTo(floats, CV_32F, 1.0, 0.0);
    cv::medianBlur(floats, floats, aperture);
    floats.convertTo(image, CV_64F, 1.0, 0.0);
}

}  // namespace

cv::Mat preprocess_image(const cv::Mat& image, const DICConfig& config) {
    cv::Mat result = image.clone();

    if (config.enable_denoise) {
        const int k = config.denoise_kernel_size | 1;
        // Exact, case-sensitive comparison: an unknown name disables denoising silently.
        if (config.denoise_method == "gaussian") {
            cv::GaussianBlur(result, result, cv::Size(k, k), 0.0, 0.0, cv::BORDER_DEFAULT);
        } else if (config.denoise_method == "median") {
            median_denoise(result, k);
        } else if (config.denoise_method == "nlm") {
            through_8bit(result, [](cv::Mat& bytes) {
                cv::fastNlMeansDenoising(bytes, bytes, static_cast<float>(kNlmStrength),
                                         kNlmTemplateWindow, kNlmSearchWindow);
            });
        }
    }

    if (config.enable_contrast_enhance) {
        through_8bit(result, [](cv::Mat& bytes) {
            const cv::Ptr<cv::CLAHE> clahe =
                cv::createCLAHE(kClaheClipLimit, cv::Size(kClaheTiles, kClaheTiles));
            clahe->apply(bytes, bytes);
        });
    }
    return result;
}

cv::Mat undistort_image(const cv::Mat& image, const CalibrationParams& calibration) {
    // Exact comparison on purpose: any non-zero coefficient, NaN included, undistorts.
    if (calibration.k1 == 0.0 && calibration.k2 == 0.0 && calibration.k3 == 0.0 &&
        calibration.p1 == 0.0 && calibration.p2 == 0.0) {
        return image.clone();
    }
    const cv::Mat camera = (cv::Mat_<double>(3, 3) << calibration.fx, 0.0, calibration.cx, 0.0,
                            calibration.fy, calibration.cy, 0.0, 0.0, 1.0);
    // OpenCV's order is k1, k2, p1, p2, k3: k3 moves from third place to fifth.
    const cv::Mat distortion = (cv::Mat_<double>(1, 5) << calibration.k1, calibration.k2,
                                calibration.p1, calibration.p2, calibration.k3);
    cv::Mat result;
    cv::undistort(image, result, camera, distortion);
    return result;
}

double compute_scale(double base, double target) {
    // A NaN base fails the comparison and yields NaN, as the ratio would.
    if (base < kScaleBaseFloor) {
        return 1.0;
    }
    return target / base;
}

}  // namespace morvex::dic
