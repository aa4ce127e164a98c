#pragma once
// The tests' random texture: independent uniform grey levels, a worst case for the kernels
// (no smoothness to hide regrouping errors) and reproducible from its seed.

#include <random>

#include <opencv2/core/mat.hpp>

namespace morvex::test {

// rows x cols CV_64FC1 image of grey levels uniform in [0, 255), filled row by row.
inline cv::Mat random_image(int rows, int cols, unsigned seed) {
    cv::Mat image(rows, cols, CV_64FC1);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> grey(0.0, 255.0);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) image.at<double>(r, c) = grey(rng);
    return image;
}

}  // namespace morvex::test
