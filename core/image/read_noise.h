#pragma once
/// The white read noise of one image, estimated from the image alone.

#include <opencv2/core/mat.hpp>

#include <morvex/visibility.hpp>

namespace morvex::dic::detail {

/// Standard deviation of the white noise in `image` (CV_64FC1), grey levels: the median
/// magnitude of Immerkaer's high-pass (his 3 x 3 mask convolved with itself, fourth
/// differences along rows and columns, which cancel any surface up to cubic in each direction)
/// robustly scaled (Immerkaer, "Fast noise variance estimation", CVIU 64(2), 1996). With
/// `specimen` (CV_8UC1 of the image's size, non-zero = specimen; empty = everywhere) only
/// 5 x 5 windows that lie on the specimen count. 0 when no window does or the image is
/// smaller than 5 x 5. Reads high on patterns of dots under about 2 px.
MORVEX_EXPORT double estimate_read_noise(const cv::Mat& image, const cv::Mat& specimen);

}  // namespace morvex::dic::detail
