#pragma once
/// Zero-normalised sum of squared differences (ZNSSD) of a warped subset.
///
/// Pan, B., Xie, H., Wang, Z. (2010). Equivalence of digital image correlation criteria for
/// pattern matching. Applied Optics 49(28), 5501-5509: ZNSSD = 2 (1 - ZNCC).

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
/// either side is flat, the subset side exceeds 16383, or a matrix is not a grey image
/// (an empty reference is allowed and reads as 0). Never throws except std::bad_alloc;
/// reentrant and safe from many threads (one reused work buffer per thread).
MORVEX_EXPORT double compute_znssd(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                                   const WarpParams& warp, int subset_size, bool use_bicubic);

}  // namespace morvex::dic
