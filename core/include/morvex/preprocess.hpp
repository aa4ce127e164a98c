#pragma once
/// Optional image preparation before correlation: denoising, contrast enhancement and
/// lens undistortion. The engine never applies these itself. Every function returns a new
/// image and is safe to call from many threads at once; OpenCV's own exceptions (for
/// example a matrix type a filter does not take) pass through.

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Denoise ("gaussian", "median", "nlm"; exact, case-sensitive) and/or CLAHE, as enabled in
/// `config` (kernel side denoise_kernel_size | 1, pixels). Returns a new grey image; with
/// both steps off, or an unknown method, an exact copy.
MORVEX_EXPORT cv::Mat preprocess_image(const cv::Mat& image, const DICConfig& config);

/// Undistort with the camera matrix and distortion of `calibration`; an exact copy when
/// k1, k2, k3, p1 and p2 are all zero. Same size as `image`; pixels mapped from outside it
/// read as 0. Zhang, Z. (2000). A flexible new technique for camera calibration. IEEE
/// Transactions on Pattern Analysis and Machine Intelligence 22(11), 1330-1334.
MORVEX_EXPORT cv::Mat undistort_image(const cv::Mat& image, const CalibrationParams& calibration);

/// target / base, or 1.0 when base < 1e-12 (never divides by a vanishing base; NaN in, NaN
/// out). Pure; never throws.
MORVEX_EXPORT double compute_scale(double base, double target);

}  // namespace morvex::dic
