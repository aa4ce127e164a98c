#include "image/read_noise.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace morvex::dic::detail {

namespace {

constexpr int kSide = 5;
constexpr double kLine[kSide] = {1.0, -4.0, 6.0, -4.0, 1.0};

// 1.4826 turns a median absolute value into a Gaussian sigma; the mask's L2 norm is
// sqrt(sum of squared taps) = 70 / 1 (the line's squared taps sum to 70).
constexpr double kMadToSigma = 1.4826 / 70.0;

}  // namespace

double estimate_read_noise(const cv::Mat& image, const cv::Mat& specimen) {
    if (image.rows < kSide || image.cols < kSide) return 0.0;
    const int rows = image.rows - (kSide - 1), cols = image.cols - (kSide - 1);
    // The mask is separable: fourth differences along the columns, then along the rows; only
    // the responses whose window lies inside the image are kept.
    const cv::Mat line(1, kSide, CV_64FC1, const_cast<double*>(kLine));
    cv::Mat filtered;
    cv::sepFilter2D(image, filtered, CV_64F, line, line, cv::Point(-1, -1), 0.0,
                    cv::BORDER_REFLECT);
    const cv::Mat response = filtered(cv::Rect(kSide / 2, kSide / 2, cols, rows));
    cv::Mat inside;  // CV_32S sum of specimen pixels, for the 5 x 5 test
    if (!specimen.empty()) {
        cv::Mat ones;
        cv::threshold(specimen, ones, 0, 1, cv::THRESH_BINARY);
        cv::integral(ones, inside, CV_32S);
    }
    std::vector<double> magnitudes;
    magnitudes.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    for (int r = 0; r < rows; ++r) {
        const double* p = response.ptr<double>(r);
        for (int c = 0; c < cols; ++c) {
            if (!inside.empty()) {
                const int covered = inside.at<int>(r + kSide, c + kSide) -
                                    inside.at<int>(r, c + kSide) - inside.at<int>(r + kSide, c) +
                                    inside.at<int>(r, c);
                if (covered < kSide * kSide) continue;
            }
            if (std::isfinite(p[c])) magnitudes.push_back(std::abs(p[c]));
        }
    }
    if (magnitudes.empty()) return 0.0;
    const auto middle = magnitudes.begin() + static_cast<std::ptrdiff_t>(magnitudes.size() / 2);
    std::nth_element(magnitudes.begin(), middle, magnitudes.end());
    double median = *middle;
    if (magnitudes.size() % 2 == 0) {
        // The lower middle is the largest of the first half.
        median = 0.5 * (median + *std::max_element(magnitudes.begin(), middle));
    }
    return kMadToSigma * median;
}

}  // namespace morvex::dic::detail
