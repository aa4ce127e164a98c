#include <morvex/interpolation.hpp>

#include "image/sampling/kernels.h"

namespace morvex::dic {

using detail::kNaN;

// The kernels cannot check the element type per sample; here, one comparison per call
// keeps an empty or non-grey matrix from being read out of bounds. Such an image has no
// grey value to give, so the answer is NaN (these functions never throw).

double bilinear_interp(const cv::Mat& image, double y, double x) {
    if (!detail::is_grey_image(image)) return kNaN;
    return detail::sample_bilinear(detail::GreyView(image), y, x);
}

double bicubic_interp(const cv::Mat& image, double y, double x) {
    if (!detail::is_grey_image(image)) return kNaN;
    return detail::sample_bicubic(detail::GreyView(image), y, x);
}

InterpResult bicubic_interp_grad(const cv::Mat& image, double y, double x) {
    if (!detail::is_grey_image(image)) {
        return InterpResult{kNaN, kNaN, kNaN};
    }
    return detail::sample_bicubic_grad(detail::GreyView(image), y, x);
}

double keys_fourth_interp(const cv::Mat& image, double y, double x) {
    if (!detail::is_grey_image(image)) return kNaN;
    return detail::sample_keys_fourth(detail::GreyView(image), y, x);
}

}  // namespace morvex::dic
