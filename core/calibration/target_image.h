#pragma once

#include <stdexcept>

#include <opencv2/core.hpp>

namespace morvex::dic::detail {

/// A target view as the detectors take it: 8-bit grey. Deeper images are saturated to
/// 0..255 as they were, not stretched: a target's contrast is what the detectors threshold.
inline cv::Mat grey_target(const cv::Mat& image) {
    if (image.empty() || image.channels() != 1) {
        throw std::invalid_argument("target image must be a non-empty grey image");
    }
    if (image.depth() == CV_8U) return image;
    cv::Mat grey;
    image.convertTo(grey, CV_8U);
    return grey;
}

}  // namespace morvex::dic::detail
