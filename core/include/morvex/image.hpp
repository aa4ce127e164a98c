#pragma once
/// The grey image (one channel of 64-bit floats, row-major, 0..255 for 8/16-bit sources):
/// loading and conversion. Both functions return a new matrix that owns its pixels; they are
/// reentrant and safe to call from many threads at once. OpenCV's own exceptions pass through.

#include <string>

#include <opencv2/core/mat.hpp>

#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Read an image file and convert it with to_gray_double().
/// @throws std::runtime_error "Failed to load image: <path>" when it cannot be decoded or
/// the path holds an embedded NUL (which would name a different file).
MORVEX_EXPORT cv::Mat load_image_gray(const std::string& path);

/// Convert a 1-, 3- or 4-channel matrix (BGR, alpha ignored) to a new grey image.
/// 16-bit unsigned sources are scaled by 255/65535; every other depth keeps its values.
/// An empty matrix gives an empty image.
/// @throws std::runtime_error "Unsupported channel count in image" for 2 or > 4 channels.
/// @throws std::invalid_argument naming the dimension count for a non-empty matrix of more
/// than two dimensions.
MORVEX_EXPORT cv::Mat to_gray_double(const cv::Mat& image);

}  // namespace morvex::dic
