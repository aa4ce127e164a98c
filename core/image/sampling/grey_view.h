#pragma once
/// The grey-image view every sampling kernel reads, and the index helpers of the clamped
/// (border) paths. Header-only: the kernels inline into the criterion's and the solvers'
/// innermost loops.

#include <cmath>
#include <cstddef>
#include <limits>

#include <opencv2/core/mat.hpp>

namespace morvex::dic::detail {

/// Raw row pointers of a grey image (CV_64FC1, not checked here; see is_grey_image): read
/// once per call, so the kernels touch no cv::Mat machinery per sample. Borrows the pixels:
/// the matrix must outlive the view. Row first: at(r, c) is row r, column c.
/// Never throws, never allocates; safe to share between threads.
struct GreyView {
    const double* data = nullptr;
    std::ptrdiff_t stride = 0;  ///< doubles between the starts of two rows
    int rows = 0;
    int cols = 0;

    GreyView() = default;
    explicit GreyView(const cv::Mat& image)
        : data(reinterpret_cast<const double*>(image.data)),
          stride(image.rows > 0 ? static_cast<std::ptrdiff_t>(image.step[0] / sizeof(double)) : 0),
          rows(image.rows),
          cols(image.cols) {}

    const double* row(int r) const { return data + stride * r; }
    double at(int r, int c) const { return row(r)[c]; }
};

/// True for a non-empty 2-D single-channel 64-bit float matrix (inline: cv::Mat::empty is
/// an out-of-line call, and this runs once per public interpolation).
inline bool is_grey_image(const cv::Mat& image) {
    return image.dims == 2 && image.type() == CV_64FC1 && image.data != nullptr && image.rows > 0 &&
           image.cols > 0;
}

/// i clamped into [0, n - 1]; n must be at least 1.
inline int clamp_index(int i, int n) {
    return i < 0 ? 0 : (i >= n ? n - 1 : i);
}

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// floor(p) as an int plus the fraction p - floor(p), for the clamped (slow) path. The
/// integer part is limited to a band just outside [0, n) before conversion: every tap of a
/// neighbourhood that far out clamps onto the same edge index anyway, so the samples are
/// unchanged and a huge or non-finite position never overflows the conversion (the
/// fraction, and so the result, is NaN for NaN and infinite positions).
inline int floor_split(double p, int n, double& frac) {
    double base = std::floor(p);
    frac = p - base;
    if (!(base >= -8.0)) base = -8.0;
    if (base > static_cast<double>(n) + 8.0) base = static_cast<double>(n) + 8.0;
    return static_cast<int>(base);
}

}  // namespace morvex::dic::detail
