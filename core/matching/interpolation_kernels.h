#pragma once
/// Inline sampling kernels behind the public interpolators. The criterion, the solvers and
/// the engine call these directly so the innermost loop crosses no library boundary; the
/// public functions in interpolation.cpp forward here, so there is one implementation.
///
/// Every kernel takes a GreyView (built once per call from a CV_64FC1 matrix, not checked
/// here) and a position, row first. Pixel centres sit at integer positions; every tap index
/// is clamped into the image. Positions whose whole neighbourhood lies inside the image take
/// a fast path without clamping; both paths run the same arithmetic, so they agree bit for
/// bit. A NaN or infinite position gives NaN; no position is ever converted to int before
/// it is known to fit.

#include <cmath>
#include <cstddef>
#include <limits>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>

namespace morvex::dic::detail {

/// Raw row pointers of a grey image: read once per call, so the kernels touch no cv::Mat
/// machinery per sample.
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

/// True for a non-empty 2-D single-channel 64-bit float matrix.
inline bool is_grey_image(const cv::Mat& image) {
    return image.dims == 2 && image.type() == CV_64FC1 && !image.empty();
}

inline int clamp_index(int i, int n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

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

// ---------------------------------------------------------------------------------------
// Weights

/// Cubic convolution kernel, a = -0.5 (Keys 1981), piece chosen by |t|.
inline double cubic_weight(double t) {
    const double at = std::fabs(t);
    const double t2 = t * t;
    if (at < 1.0) return 1.5 * at * t2 - 2.5 * t2 + 1.0;
    if (at < 2.0) return -0.5 * at * t2 + 2.5 * t2 - 4.0 * at + 2.0;
    return 0.0;
}

/// Derivative of cubic_weight with respect to t.
inline double cubic_weight_derivative(double t) {
    const double at = std::fabs(t);
    const double t2 = t * t;
    const double sign = t >= 0.0 ? 1.0 : -1.0;
    if (at < 1.0) return sign * (4.5 * t2 - 5.0 * at);
    if (at < 2.0) return sign * (-1.5 * t2 + 5.0 * at - 4.0);
    return 0.0;
}

/// Weights of taps -1 .. +2 around the base index for fraction f in [0, 1).
inline void cubic_weights(double f, double w[4]) {
    w[0] = cubic_weight(f + 1.0);
    w[1] = cubic_weight(f);
    w[2] = cubic_weight(f - 1.0);
    w[3] = cubic_weight(f - 2.0);
}

inline void cubic_derivative_weights(double f, double w[4]) {
    w[0] = cubic_weight_derivative(f + 1.0);
    w[1] = cubic_weight_derivative(f);
    w[2] = cubic_weight_derivative(f - 1.0);
    w[3] = cubic_weight_derivative(f - 2.0);
}

// Fourth-order cubic convolution (Keys 1981, six taps); the distance range of each tap is
// known from its position, so the piece is fixed per tap.
inline double keys_inner(double t) {  // [0, 1]
    const double t2 = t * t;
    return (4.0 / 3.0) * t2 * t - (7.0 / 3.0) * t2 + 1.0;
}
inline double keys_middle(double t) {  // [1, 2]
    const double t2 = t * t;
    return -(7.0 / 12.0) * t2 * t + 3.0 * t2 - (59.0 / 12.0) * t + 2.5;
}
inline double keys_outer(double t) {  // [2, 3]
    const double t2 = t * t;
    return (1.0 / 12.0) * t2 * t - (2.0 / 3.0) * t2 + 1.75 * t - 1.5;
}

/// Weights of taps -2 .. +3 around the base index for fraction f in [0, 1).
inline void keys_fourth_weights(double f, double w[6]) {
    w[0] = keys_outer(f + 2.0);
    w[1] = keys_middle(f + 1.0);
    w[2] = keys_inner(f);
    w[3] = keys_inner(1.0 - f);
    w[4] = keys_middle(2.0 - f);
    w[5] = keys_outer(3.0 - f);
}

// ---------------------------------------------------------------------------------------
// Separable sums over an N x N block of samples, `stride` doubles between block rows.
// The block is summed column-wise first (row weights, top to bottom), then across the
// columns: contiguous, branch-free and vectorisable. This regroups the double sum over the
// taps; the difference from a tap-by-tap accumulation is a few ulps of the result.

template <int N>
inline void weighted_columns(const double* p, std::ptrdiff_t stride, const double* wr,
                             double* acc) {
    for (int j = 0; j < N; ++j) acc[j] = wr[0] * p[j];
    for (int k = 1; k < N; ++k) {
        const double* row = p + k * stride;
        for (int j = 0; j < N; ++j) acc[j] += wr[k] * row[j];
    }
}

inline double dot4(const double* w, const double* a) {
    return (w[0] * a[0] + w[1] * a[1]) + (w[2] * a[2] + w[3] * a[3]);
}

inline double dot6(const double* w, const double* a) {
    return (w[0] * a[0] + w[1] * a[1]) + (w[2] * a[2] + w[3] * a[3]) + (w[4] * a[4] + w[5] * a[5]);
}

/// Copies the N x N neighbourhood starting at (r0, c0) into `block`, every index clamped.
template <int N>
inline void gather_clamped(const GreyView& image, int r0, int c0, double* block) {
    int cols[N];
    for (int j = 0; j < N; ++j) cols[j] = clamp_index(c0 + j, image.cols);
    for (int k = 0; k < N; ++k) {
        const double* row = image.row(clamp_index(r0 + k, image.rows));
        for (int j = 0; j < N; ++j) block[k * N + j] = row[cols[j]];
    }
}

// ---------------------------------------------------------------------------------------
// Kernels

inline double sample_bilinear(const GreyView& image, double y, double x) {
    int r0, c0, r1, c1;
    double fy, fx;
    if (y >= 0.0 && y < image.rows - 1.0 && x >= 0.0 && x < image.cols - 1.0) {
        r0 = static_cast<int>(y);  // non-negative: truncation is floor
        c0 = static_cast<int>(x);
        fy = y - r0;
        fx = x - c0;
        r1 = r0 + 1;
        c1 = c0 + 1;
    } else {
        const int rb = floor_split(y, image.rows, fy);
        const int cb = floor_split(x, image.cols, fx);
        r0 = clamp_index(rb, image.rows);
        r1 = clamp_index(rb + 1, image.rows);
        c0 = clamp_index(cb, image.cols);
        c1 = clamp_index(cb + 1, image.cols);
    }
    const double* top = image.row(r0);
    const double* bottom = image.row(r1);
    return (1.0 - fy) * (1.0 - fx) * top[c0] + (1.0 - fy) * fx * top[c1] +
           fy * (1.0 - fx) * bottom[c0] + fy * fx * bottom[c1];
}

inline double sample_bicubic(const GreyView& image, double y, double x) {
    double fy, fx, wr[4], wc[4], acc[4];
    if (y >= 1.0 && y < image.rows - 2.0 && x >= 1.0 && x < image.cols - 2.0) {
        const int r0 = static_cast<int>(y);
        const int c0 = static_cast<int>(x);
        fy = y - r0;
        fx = x - c0;
        cubic_weights(fy, wr);
        weighted_columns<4>(image.row(r0 - 1) + (c0 - 1), image.stride, wr, acc);
    } else {
        double block[16];
        const int r0 = floor_split(y, image.rows, fy);
        const int c0 = floor_split(x, image.cols, fx);
        if (std::isnan(fy + fx)) return kNaN;  // the piecewise kernel would answer 0
        gather_clamped<4>(image, r0 - 1, c0 - 1, block);
        cubic_weights(fy, wr);
        weighted_columns<4>(block, 4, wr, acc);
    }
    cubic_weights(fx, wc);
    return dot4(wc, acc);
}

inline InterpResult sample_bicubic_grad(const GreyView& image, double y, double x) {
    double fy, fx, wr[4], dr[4], wc[4], dc[4], acc[4], dacc[4];
    double block[16];
    const double* p;
    std::ptrdiff_t stride;
    if (y >= 1.0 && y < image.rows - 2.0 && x >= 1.0 && x < image.cols - 2.0) {
        const int r0 = static_cast<int>(y);
        const int c0 = static_cast<int>(x);
        fy = y - r0;
        fx = x - c0;
        p = image.row(r0 - 1) + (c0 - 1);
        stride = image.stride;
    } else {
        const int r0 = floor_split(y, image.rows, fy);
        const int c0 = floor_split(x, image.cols, fx);
        if (std::isnan(fy + fx)) return InterpResult{kNaN, kNaN, kNaN};
        gather_clamped<4>(image, r0 - 1, c0 - 1, block);
        p = block;
        stride = 4;
    }
    cubic_weights(fy, wr);
    cubic_derivative_weights(fy, dr);
    cubic_weights(fx, wc);
    cubic_derivative_weights(fx, dc);
    weighted_columns<4>(p, stride, wr, acc);
    weighted_columns<4>(p, stride, dr, dacc);
    InterpResult out;
    out.value = dot4(wc, acc);
    out.dx = dot4(dc, acc);
    out.dy = dot4(wc, dacc);
    return out;
}

inline double sample_keys_fourth(const GreyView& image, double y, double x) {
    double fy, fx, wr[6], wc[6], acc[6];
    if (y >= 2.0 && y < image.rows - 3.0 && x >= 2.0 && x < image.cols - 3.0) {
        const int r0 = static_cast<int>(y);
        const int c0 = static_cast<int>(x);
        fy = y - r0;
        fx = x - c0;
        keys_fourth_weights(fy, wr);
        weighted_columns<6>(image.row(r0 - 2) + (c0 - 2), image.stride, wr, acc);
    } else {
        double block[36];
        const int r0 = floor_split(y, image.rows, fy);
        const int c0 = floor_split(x, image.cols, fx);
        gather_clamped<6>(image, r0 - 2, c0 - 2, block);
        keys_fourth_weights(fy, wr);
        weighted_columns<6>(block, 6, wr, acc);
    }
    keys_fourth_weights(fx, wc);
    return dot6(wc, acc);
}

}  // namespace morvex::dic::detail
