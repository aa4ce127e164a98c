#pragma once
/// Optional image preparation before correlation: denoising, contrast enhancement and
/// lens undistortion. The engine never applies these itself.

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Denoise ("gaussian", "median", "nlm"; exact, case-sensitive) and/or CLAHE, as enabled in
/// `config`. Returns a new grey image; with both steps off, an exact copy.
MORVEX_EXPORT cv::Mat preprocess_image(const cv::Mat& image, const DICConfig& config);

/// Undistort with the camera matrix and distortion of `calibration`; an exact copy when
/// k1, k2, k3, p1 and p2 are all zero.
MORVEX_EXPORT cv::Mat undistort_image(const cv::Mat& image, const CalibrationParams& calibration);

/// target / base, or 1.0 when base < 1e-12.
MORVEX_EXPORT double compute_scale(double base, double target);

}  // namespace morvex::dic
