#pragma once
/// Synthetic speckle images and warped copies with a known displacement, for tests,
/// examples and benchmarks. Every function returns a new CV_64FC1 image (row-major, row
/// first), is deterministic and is safe to call from many threads at once.

#include <cstdint>

#include <opencv2/core/mat.hpp>

#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Speckle pattern of Gaussian dots plus unit normal noise, values in [0, 255]. The same
/// arguments give the same image on every platform. rows or cols of 0 give an empty image;
/// OpenCV's exception for negative sizes passes through.
MORVEX_EXPORT cv::Mat generate_speckle(int rows, int cols, int dot_radius, double density,
                                       std::uint32_t seed);

/// Shift content by +u columns and +v rows (cubic convolution); uncovered pixels are 0.
/// @throws std::invalid_argument unless `image` is a grey image (CV_64FC1).
MORVEX_EXPORT cv::Mat translate_image(const cv::Mat& image, double u, double v);

/// Affine deformation about the image origin: the result shows at
/// (x + u + du_dx*x + du_dy*y, y + v + dv_dx*x + dv_dy*y) what `image` has at (x, y).
/// Note the gradient order: du_dx, du_dy, dv_dx, dv_dy.
/// @throws std::invalid_argument unless `image` is a grey image (CV_64FC1).
MORVEX_EXPORT cv::Mat deform_image(const cv::Mat& image, double u, double v, double du_dx,
                                   double du_dy, double dv_dx, double dv_dy);

}  // namespace morvex::dic
