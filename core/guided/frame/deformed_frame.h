#pragma once
/// The deformed side of a guided correlation, prepared once per frame: non-finite pixels
/// replaced and counted, the prefilter, the coefficient images the solver samples.

#include <opencv2/core/mat.hpp>

#include "guided/reference/reference_data.h"
#include "image/sampling/bspline.h"

namespace morvex::dic::detail {

/// The deformed frame as the solver reads it.
struct DeformedFrame {
    CoefficientImage coefficients;  ///< of the correlated (prefiltered) grey levels
    CoefficientImage raw;           ///< of the raw grey levels when prefiltered, else empty
    cv::Mat clean;                  ///< correlated grey levels (non-finite replaced): searches
    cv::Mat bad_sum;                ///< integral image (CV_32S) of non-finite pixels; empty if none
    int rows = 0;
    int cols = 0;
};

/// Prepare `deformed` (CV_64FC1, the reference's size: checked by the caller) for the
/// reference's interpolation and prefilter, on `threads` threads.
DeformedFrame make_deformed_frame(const cv::Mat& deformed, const ReferenceImage::Data& reference,
                                  int threads);

}  // namespace morvex::dic::detail
