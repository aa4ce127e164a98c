#include "guided/frame/deformed_frame.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "image/sampling/bspline_sampler.h"

namespace morvex::dic::detail {

int view_slack(int half) {
    const int wanted =
        kSampleSlack + static_cast<int>(std::ceil(kLeftViewShare * (2 * half + 1))) + 1;
    // The samplers' floor holds to kSamplerReach px out; a larger subset cut off further
    // than this is not solved.
    return std::min(wanted, kSamplerReach - 4);
}

DeformedFrame make_deformed_frame(const cv::Mat& deformed, const ReferenceImage::Data& reference,
                                  int threads) {
    DeformedFrame frame;
    frame.rows = deformed.rows;
    frame.cols = deformed.cols;
    frame.slack = view_slack(reference.half);
    // The taps of a position reach 4 px past it.
    const int pad = frame.slack + (kCoefficientPad - kSampleSlack);
    cv::Mat clean, bad;
    if (replace_non_finite(deformed, clean, bad)) cv::integral(bad, frame.bad_sum, CV_32S);
    const bool filtered = reference.settings.prefilter_sigma > 0.0;
    frame.clean = filtered ? gaussian_prefilter(clean, reference.settings.prefilter_sigma) : clean;
    frame.coefficients = make_coefficient_image(frame.clean, reference.kind, pad, threads);
    if (filtered) frame.raw = make_coefficient_image(clean, reference.kind, pad, threads);
    return frame;
}

}  // namespace morvex::dic::detail
