#pragma once
/// Zero-normalised sum of squared differences of a warped subset.

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Value returned when a ZNSSD cannot be evaluated (equals a ZNCC of 0).
inline constexpr double kZnssdUnavailable = 2.0;

/// ZNSSD in [0, 4] between the subset of `reference` centred on row y, column x (size forced
/// odd; pixels outside the reference read as 0) and `deformed` sampled at the warped
/// positions (fourth-order kernel when `use_bicubic`, else bilinear). Returns 2.0 when a
/// warped position is not finite or not strictly inside (0, rows-1) x (0, cols-1), or when
/// either side is flat. Reentrant.
MORVEX_EXPORT double compute_znssd(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                                   const WarpParams& warp, int subset_size, bool use_bicubic);

}  // namespace morvex::dic
