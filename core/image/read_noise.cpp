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
    cv::Mat inside;  // CV_32S sum of specimen pixels, for the 5 x 5 test
    if (!specimen.empty()) {
        cv::Mat ones;
        cv::threshold(specimen, ones, 0, 1, cv::THRESH_BINARY);
        cv::integral(ones, inside, CV_32S);
    }
    std::vector<double> magnitudes;
    magnitudes.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    std::vector<double> row_pass(static_cast<std::size_t>(image.cols));
    for (int r = 0; r < rows; ++r) {
        // Along the column first (five image rows), then along the row.
        std::fill(row_pass.begin(), row_pass.end(), 0.0);
        for (int k = 0; k < kSide; ++k) {
            const double* p = image.ptr<double>(r + k);
            for (int c = 0; c < image.cols; ++c) row_pass[static_cast<std::size_t>(c)] += kLine[k] * p[c];
        }
        for (int c = 0; c < cols; ++c) {
            if (!inside.empty()) {
                const int covered = inside.at<int>(r + kSide, c + kSide) - inside.at<int>(r, c + kSide) -
                                    inside.at<int>(r + kSide, c) + inside.at<int>(r, c);
                if (covered < kSide * kSide) continue;
            }
            double response = 0.0;
            for (int k = 0; k < kSide; ++k) response += kLine[k] * row_pass[static_cast<std::size_t>(c + k)];
            if (std::isfinite(response)) magnitudes.push_back(std::abs(response));
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
