#pragma once
/// The deformed side of a guided correlation, prepared once per frame: non-finite pixels
/// replaced and counted, the prefilter, the coefficient images the solver samples.

#include <opencv2/core/mat.hpp>

#include "guided/reference/reference_data.h"
#include "image/sampling/bspline.h"

namespace morvex::dic::detail {

/// A point has left the field of view when more than this share of its subset's specimen
/// pixels, moved by its guide's warp, fall outside the deformed image (beyond the half pixel
/// around the outermost pixel centres) or on one of its non-finite pixels:
/// share > kLeftViewShare. A subset that the image's edge cuts off by no more than this is
/// matched on its pixels inside.
constexpr double kLeftViewShare = 0.1;

/// The deformed frame as the solver reads it.
struct DeformedFrame {
    CoefficientImage coefficients;  ///< of the correlated (prefiltered) grey levels
    CoefficientImage raw;           ///< of the raw grey levels when prefiltered, else empty
    cv::Mat clean;                  ///< correlated grey levels (non-finite replaced): searches
    cv::Mat bad_sum;                ///< integral image (CV_32S) of non-finite pixels; empty if none
    int rows = 0;
    int cols = 0;
    /// px outside the image a position may be sampled at: the coefficient images' border
    /// holds its taps. Room for a subset the edge cuts off by up to kLeftViewShare.
    int slack = kSampleSlack;
};

/// The slack of a frame for subsets of 2 half + 1 px: kSampleSlack, and a share of
/// kLeftViewShare of the subset's rows or columns, and one more for the solve's steps.
int view_slack(int half);

/// Prepare `deformed` (CV_64FC1, the reference's size: checked by the caller) for the
/// reference's interpolation and prefilter, on `threads` threads.
DeformedFrame make_deformed_frame(const cv::Mat& deformed, const ReferenceImage::Data& reference,
                                  int threads);

}  // namespace morvex::dic::detail
