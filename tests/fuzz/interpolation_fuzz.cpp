// The four interpolators on images of up to 16 x 16 pixels at arbitrary positions,
// checked against their documented answers:
//   - a non-grey or empty matrix gives NaN;
//   - a NaN or infinite position gives NaN;
//   - on an image of finite, moderate values any finite position gives a finite value;
//   - at a pixel centre inside the image the bilinear and cubic kernels return that pixel
//     exactly, the fourth-order kernel to within rounding, and the gradient is the central
//     difference of the clamped neighbours;
//   - a window into a larger image answers exactly as its continuous copy.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include <morvex/interpolation.hpp>

#include "fuzz_cases.h"
#include "fuzz_support.h"

namespace {

using namespace morvex;

// Values up to this magnitude cannot overflow through the kernels' weights (at most 36 taps
// with weights below 2 in magnitude).
constexpr double kModerate = 1e300;

struct Answers {
    double bilinear;
    double bicubic;
    dic::InterpResult bicubic_grad;
    double keys;
};

Answers sample(const cv::Mat& image, double y, double x) {
    return {dic::bilinear_interp(image, y, x), dic::bicubic_interp(image, y, x),
            dic::bicubic_interp_grad(image, y, x), dic::keys_fourth_interp(image, y, x)};
}

bool same_bits(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

bool same_answers(const Answers& a, const Answers& b) {
    return same_bits(a.bilinear, b.bilinear) && same_bits(a.bicubic, b.bicubic) &&
           same_bits(a.bicubic_grad.value, b.bicubic_grad.value) &&
           same_bits(a.bicubic_grad.dx, b.bicubic_grad.dx) &&
           same_bits(a.bicubic_grad.dy, b.bicubic_grad.dy) && same_bits(a.keys, b.keys);
}

bool all_nan(const Answers& a) {
    return std::isnan(a.bilinear) && std::isnan(a.bicubic) && std::isnan(a.bicubic_grad.value) &&
           std::isnan(a.bicubic_grad.dx) && std::isnan(a.bicubic_grad.dy) && std::isnan(a.keys);
}

bool all_finite(const Answers& a) {
    return std::isfinite(a.bilinear) && std::isfinite(a.bicubic) &&
           std::isfinite(a.bicubic_grad.value) && std::isfinite(a.bicubic_grad.dx) &&
           std::isfinite(a.bicubic_grad.dy) && std::isfinite(a.keys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InterpolationCase c;
    fuzz::ByteReader reader(data, size);
    fuzz::visit_interpolation(reader, c);

    const int rows = c.rows % 17;
    const int cols = c.cols % 17;
    cv::Mat grey(rows, cols, CV_64FC1);
    bool moderate = true;
    double largest = 0.0;
    for (int k = 0; k < rows * cols; ++k) {
        const double value =
            c.pixels.empty() ? 0.0 : c.pixels[static_cast<std::size_t>(k) % c.pixels.size()];
        grey.ptr<double>()[k] = value;
        moderate = moderate && std::isfinite(value) && std::abs(value) <= kModerate / 64.0;
        if (moderate) largest = std::max(largest, std::abs(value));
    }

    // Layout 0: the grey image itself; 1: the same values as a window into a larger image;
    // 2: 32-bit floats; 3: three channels; 4: an empty grey image.
    const int layout = c.layout % 5;
    cv::Mat image;
    switch (layout) {
        case 0:
            image = grey;
            break;
        case 1: {
            cv::Mat big(rows + 3, cols + 5, CV_64FC1, cv::Scalar(-7.0));
            if (!grey.empty()) grey.copyTo(big(cv::Rect(2, 1, cols, rows)));
            image = big(cv::Rect(2, 1, cols, rows));
            break;
        }
        case 2:
            grey.convertTo(image, CV_32F);
            break;
        case 3:
            image = cv::Mat(rows, cols, CV_64FC3, cv::Scalar(1.0, 2.0, 3.0));
            break;
        default:
            image = cv::Mat(0, cols, CV_64FC1);
            break;
    }
    const bool is_grey = !image.empty() && image.type() == CV_64FC1;

    for (const fuzz::Position& p : c.positions) {
        const Answers got = sample(image, p.y, p.x);
        if (!is_grey) {
            MORVEX_FUZZ_CHECK(all_nan(got), "a non-grey or empty image gives NaN");
            continue;
        }
        if (!std::isfinite(p.y) || !std::isfinite(p.x)) {
            MORVEX_FUZZ_CHECK(all_nan(got), "a non-finite position gives NaN");
            continue;
        }
        if (layout == 1)
            MORVEX_FUZZ_CHECK(same_answers(got, sample(grey, p.y, p.x)),
                              "a window answers as its continuous copy");
        if (moderate) MORVEX_FUZZ_CHECK(all_finite(got), "a finite position gives a finite value");
        const bool pixel_centre = std::floor(p.y) == p.y && std::floor(p.x) == p.x && p.y >= 0 &&
                                  p.x >= 0 && p.y < rows && p.x < cols;
        if (moderate && pixel_centre) {
            const int r = static_cast<int>(p.y);
            const int col = static_cast<int>(p.x);
            const auto at = [&](int rr, int cc) {
                return grey.at<double>(std::clamp(rr, 0, rows - 1), std::clamp(cc, 0, cols - 1));
            };
            // Rounding of 36 products of the largest pixel with weights below 2; subnormal
            // pixels round in absolute steps of denorm_min, which the relative term misses.
            const double tolerance =
                1e-13 * largest + 256 * std::numeric_limits<double>::denorm_min();
            MORVEX_FUZZ_CHECK(got.bilinear == at(r, col) && got.bicubic == at(r, col) &&
                                  got.bicubic_grad.value == at(r, col),
                              "the bilinear and cubic kernels return the pixel at its centre");
            MORVEX_FUZZ_CHECK(std::abs(got.keys - at(r, col)) <= tolerance,
                              "the fourth-order kernel returns the pixel at its centre");
            MORVEX_FUZZ_CHECK(std::abs(got.bicubic_grad.dx -
                                       (at(r, col + 1) - at(r, col - 1)) / 2) <= tolerance &&
                                  std::abs(got.bicubic_grad.dy -
                                           (at(r + 1, col) - at(r - 1, col)) / 2) <= tolerance,
                              "the gradient at a pixel centre is the central difference");
        }
    }
    return 0;
}
