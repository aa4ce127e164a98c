#pragma once
/// The deformed side of a guided correlation, prepared once per frame: non-finite pixels
/// replaced and counted, the prefilter, the coefficient images the solver samples.

#include <opencv2/core/mat.hpp>

#include "guided/reference_data.h"
#include "guided/subset_solver.h"

namespace morvex::dic::detail {

/// Prepare `deformed` (CV_64FC1, the reference's size: checked by the caller) for the
/// reference's interpolation and prefilter, on `threads` threads.
DeformedFrame make_deformed_frame(const cv::Mat& deformed, const ReferenceImage::Data& reference,
                                  int threads);

}  // namespace morvex::dic::detail
