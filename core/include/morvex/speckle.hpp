#pragma once
/// Speckle-pattern quality and subset-size recommendation for a grey image (CV_64FC1, grey
/// levels 0..255). Reentrant and safe from many threads; OpenCV's exceptions pass through.

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Entropy, mean gradient, subset gradient energy, contrast, coverage and the recommended
/// subset of a grey image.
/// @throws std::invalid_argument for a subset_size below 2.
MORVEX_EXPORT SpeckleQuality assess_speckle_quality(const cv::Mat& image, int subset_size);

/// Odd subset size (21, 31, 41, 51 or 61) from the autocorrelation's half-width.
MORVEX_EXPORT int recommend_subset_size(const cv::Mat& image);

}  // namespace morvex::dic
