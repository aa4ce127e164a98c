#pragma once
/// Sub-pixel sampling of a grey image. Row position first; pixel centres at integer
/// positions; every sample index is clamped into the image, so any finite position gives a
/// finite value (NaN and infinite positions give NaN). Never throw, never allocate; safe from
/// many threads at once. The image must be a non-empty CV_64FC1 matrix; any other matrix
/// gives NaN rather than being read out of bounds.
///
/// Keys, R. (1981). Cubic convolution interpolation for digital image processing.
/// IEEE Transactions on Acoustics, Speech, and Signal Processing 29(6), 1153-1160.

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// 2x2 bilinear interpolation: exact on planes, between the four neighbouring values.
MORVEX_EXPORT double bilinear_interp(const cv::Mat& image, double y, double x);

/// 4x4 cubic convolution, a = -0.5: exact on quadratics away from the border.
MORVEX_EXPORT double bicubic_interp(const cv::Mat& image, double y, double x);

/// 4x4 cubic convolution with the interpolant's derivatives along columns (dx) and rows (dy),
/// grey levels per pixel.
MORVEX_EXPORT InterpResult bicubic_interp_grad(const cv::Mat& image, double y, double x);

/// 6x6 fourth-order cubic convolution (three cubic pieces): exact on cubics away from the
/// border. The engine's kernel when `use_bicubic` is set.
MORVEX_EXPORT double keys_fourth_interp(const cv::Mat& image, double y, double x);

}  // namespace morvex::dic
