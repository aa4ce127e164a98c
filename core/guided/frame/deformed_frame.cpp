#include "guided/frame/deformed_frame.h"

#include <opencv2/imgproc.hpp>

namespace morvex::dic::detail {

DeformedFrame make_deformed_frame(const cv::Mat& deformed, const ReferenceImage::Data& reference,
                                  int threads) {
    DeformedFrame frame;
    frame.rows = deformed.rows;
    frame.cols = deformed.cols;
    cv::Mat clean, bad;
    if (replace_non_finite(deformed, clean, bad)) cv::integral(bad, frame.bad_sum, CV_32S);
    const bool filtered = reference.settings.prefilter_sigma > 0.0;
    frame.clean = filtered ? gaussian_prefilter(clean, reference.settings.prefilter_sigma) : clean;
    frame.coefficients =
        make_coefficient_image(frame.clean, reference.kind, kCoefficientPad, threads);
    if (filtered)
        frame.raw = make_coefficient_image(clean, reference.kind, kCoefficientPad, threads);
    return frame;
}

}  // namespace morvex::dic::detail
