#pragma once
/// Inline sampling kernels behind the public interpolators. The criterion, the solvers, the
/// engine and image synthesis call these directly so the innermost loop crosses no library
/// boundary; the public functions in matching/interpolation.cpp forward here, so there is
/// one implementation.
///
/// Every kernel takes a GreyView (built once per call from a CV_64FC1 matrix, not checked
/// here) and a position, row first. Pixel centres sit at integer positions; every tap index
/// is clamped into the image. Positions whose whole neighbourhood lies inside the image take
/// a fast path without clamping; both paths run the same arithmetic, so they agree bit for
/// bit. A NaN or infinite position gives NaN; no position is ever converted to int before
/// it is known to fit. Never throw, never allocate; the functions are safe from any thread,
/// a KeysFourthSampler belongs to one loop.
///
/// Keys, R. (1981). Cubic convolution interpolation for digital image processing.
/// IEEE Transactions on Acoustics, Speech, and Signal Processing 29(6), 1153-1160.

#include <cmath>
#include <cstddef>

#include <morvex/records.hpp>

#include "image/sampling/grey_view.h"
#include "image/sampling/separable_sums.h"
#include "image/sampling/weights.h"

namespace morvex::dic::detail {

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

/// Bilinear interpolation at (y, x) from the 2 x 2 neighbourhood, indices clamped.
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

/// True when all N x N taps around (y, x) (rows floor(y) - (N/2 - 1) ... floor(y) + N/2,
/// columns likewise) lie inside the image. False for NaN.
template <int N>
inline bool taps_inside(const GreyView& image, double y, double x) {
    constexpr double kBefore = N / 2 - 1;
    constexpr double kAfter = N / 2;
    return y >= kBefore && y < image.rows - kAfter && x >= kBefore && x < image.cols - kAfter;
}

/// True when all 36 taps around (y, x) lie inside the image: sample_keys_fourth's unclamped
/// path.
inline bool keys_fourth_unclamped(const GreyView& image, double y, double x) {
    return taps_inside<6>(image, y, x);
}

/// The N x N neighbourhood of (y, x): a pointer into the image when every tap is inside
/// (fast path), else the clamped taps gathered into `block` (N * N doubles); the fractions
/// go to fy, fx (NaN for a NaN position).
template <int N>
inline const double* neighbourhood(const GreyView& image, double y, double x, double& fy,
                                   double& fx, std::ptrdiff_t& stride, double* block) {
    constexpr int kBefore = N / 2 - 1;
    if (taps_inside<N>(image, y, x)) {
        const int r0 = static_cast<int>(y);
        const int c0 = static_cast<int>(x);
        fy = y - r0;
        fx = x - c0;
        stride = image.stride;
        return image.row(r0 - kBefore) + (c0 - kBefore);
    }
    const int r0 = floor_split(y, image.rows, fy);
    const int c0 = floor_split(x, image.cols, fx);
    gather_clamped<N>(image, r0 - kBefore, c0 - kBefore, block);
    stride = N;
    return block;
}

/// The 6 x 6 neighbourhood of the fourth-order kernel.
inline const double* keys_fourth_neighbourhood(const GreyView& image, double y, double x,
                                               double& fy, double& fx, std::ptrdiff_t& stride,
                                               double* block) {
    return neighbourhood<6>(image, y, x, fy, fx, stride, block);
}

/// Third-order cubic convolution (a = -0.5) at (y, x).
inline double sample_bicubic(const GreyView& image, double y, double x) {
    double fy, fx, block[16];
    std::ptrdiff_t stride;
    const double* p = neighbourhood<4>(image, y, x, fy, fx, stride, block);
    if (std::isnan(fy + fx)) return kNaN;  // the piecewise kernel would answer 0
    double wr[4], wc[4];
    cubic_weights(fy, wr);
    cubic_weights(fx, wc);
    return weighted_sum<4>(wc, weighted_columns<4>(p, stride, wr));
}

/// sample_bicubic and its two derivatives (grey levels per pixel) from one neighbourhood.
inline InterpResult sample_bicubic_grad(const GreyView& image, double y, double x) {
    double fy, fx, block[16];
    std::ptrdiff_t stride;
    const double* p = neighbourhood<4>(image, y, x, fy, fx, stride, block);
    if (std::isnan(fy + fx)) return InterpResult{kNaN, kNaN, kNaN};
    double wr[4], dr[4], wc[4], dc[4];
    cubic_weights(fy, wr);
    cubic_derivative_weights(fy, dr);
    cubic_weights(fx, wc);
    cubic_derivative_weights(fx, dc);
    const ColumnSums<4> acc = weighted_columns<4>(p, stride, wr);
    const ColumnSums<4> dacc = weighted_columns<4>(p, stride, dr);
    InterpResult out;
    out.value = weighted_sum<4>(wc, acc);
    out.dx = weighted_sum<4>(dc, acc);
    out.dy = weighted_sum<4>(wc, dacc);
    return out;
}

/// Fourth-order cubic convolution (six taps per axis) at (y, x).
inline double sample_keys_fourth(const GreyView& image, double y, double x) {
    double fy, fx, block[36];
    std::ptrdiff_t stride;
    const double* p = keys_fourth_neighbourhood(image, y, x, fy, fx, stride, block);
    KeysFourthWeights weights;
    weights.compute(fy, fx);
    return weights.sum(p, stride);
}

/// sample_keys_fourth over a run of samples, keeping the weights of the last fractions: a
/// warp without gradient terms (a solver's integer start) gives every sample of a subset
/// the same fractions, and their weights are then computed once. Same results as
/// sample_keys_fourth. One per loop; not shared between threads.
class KeysFourthSampler {
public:
    KeysFourthSampler() { weights_.compute(fy_, fx_); }

    double operator()(const GreyView& image, double y, double x) {
        double fy, fx, block[36];
        std::ptrdiff_t stride;
        const double* p = keys_fourth_neighbourhood(image, y, x, fy, fx, stride, block);
        // Compared as values: a NaN fraction never matches, so its weights are recomputed.
        if (!(fy == fy_ && fx == fx_)) {
            weights_.compute(fy, fx);
            fy_ = fy;
            fx_ = fx;
        }
        return weights_.sum(p, stride);
    }

private:
    double fy_ = 0.0;
    double fx_ = 0.0;
    KeysFourthWeights weights_;
};

}  // namespace morvex::dic::detail
