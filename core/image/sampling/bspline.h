#pragma once
/// B-spline interpolation with exact recursive prefiltering (M. Unser, "Splines: a perfect fit
/// for signal and image processing", IEEE Signal Processing Magazine 16(6), 1999), and the
/// six-tap weights the guided solver samples with.
///
/// A coefficient image holds the spline coefficients of an image (or, for the fourth-order
/// cubic convolution, the pixels themselves), surrounded by a border of `pad` mirrored
/// values, so a kernel whose 6 x 6 taps lie within the border reads no index check.
/// Boundaries are mirrors about the first and last pixel centres (c[-k] = c[k]): the spline
/// of the mirrored signal, so the interpolant reproduces every pixel up to the image edge.
///
/// Weights: for a position p = base + t (base = floor(p), t in [0, 1)) the six taps sit at
/// base - 2 ... base + 3. The cubic B-spline uses the middle four (w[0] = w[5] = 0), so one
/// 6 x 6 sum serves every kernel.

#include <cmath>
#include <cstddef>

#include <opencv2/core/mat.hpp>

#include <morvex/visibility.hpp>

#include "image/sampling/weights.h"

// Exported (though internal) so the tests can reach them.
namespace morvex::dic::detail {

/// Which interpolant a coefficient image serves.
enum class SplineKind : int {
    kQuintic = 5,     ///< degree-5 B-spline coefficients
    kCubic = 3,       ///< degree-3 B-spline coefficients
    kKeysFourth = 0,  ///< the pixels (fourth-order cubic convolution needs no prefilter)
};

/// In-place exact prefilter of the rows, then the columns, of a CV_64FC1 image (mirror
/// boundaries). `threads` > 0 runs the rows and column strips on that many OpenMP threads;
/// the result does not depend on it. Not for kKeysFourth (no-op).
MORVEX_EXPORT void bspline_prefilter(cv::Mat& image, SplineKind kind, int threads);

/// In-place exact prefilter of one line of n samples `stride` doubles apart.
MORVEX_EXPORT void bspline_prefilter_line(double* line, std::ptrdiff_t n, std::ptrdiff_t stride,
                                          SplineKind kind);

/// Interpolation coefficients of an image with a mirrored border of `pad` values per side.
struct CoefficientImage {
    cv::Mat padded;  ///< (rows + 2 pad) x (cols + 2 pad), CV_64FC1
    int pad = 0;
    int rows = 0;  ///< rows of the image the coefficients interpolate
    int cols = 0;
    const double* origin = nullptr;  ///< coefficient of pixel (0, 0)
    std::ptrdiff_t stride = 0;       ///< doubles between two rows

    const double* at(int r, int c) const { return origin + stride * r + c; }
    std::size_t bytes() const { return padded.total() * sizeof(double); }
};

/// Coefficients of `image` (CV_64FC1, finite) for `kind`, with a mirrored border of `pad`.
MORVEX_EXPORT CoefficientImage make_coefficient_image(const cv::Mat& image, SplineKind kind,
                                                      int pad, int threads);

/// Mirror index into [0, n): whole-sample symmetric extension with period 2n - 2.
inline int mirror_index(long long i, int n) {
    if (n <= 1) return 0;
    const long long period = 2LL * n - 2;
    long long k = i % period;
    if (k < 0) k += period;
    return static_cast<int>(k < n ? k : period - k);
}

// ---------------------------------------------------------------------------------------
// Weights of taps base - 2 ... base + 3 for fraction t in [0, 1).

/// Quintic B-spline: beta5 at distances t + 2, t + 1, t, 1 - t, 2 - t, 3 - t.
inline void quintic_weights(double t, double w[6]) {
    const double s = 1.0 - t;
    const double t2 = t * t, s2 = s * s;
    // Outer pieces (3 - d)^5 / 120; inner pieces by Horner in the distance.
    w[0] = s2 * s2 * s * (1.0 / 120.0);
    w[5] = t2 * t2 * t * (1.0 / 120.0);
    // beta5 on [0, 1]: 11/20 - d^2/2 + d^4/4 - d^5/12
    w[2] = 11.0 / 20.0 + t2 * (-0.5 + t2 * (0.25 - t * (1.0 / 12.0)));
    w[3] = 11.0 / 20.0 + s2 * (-0.5 + s2 * (0.25 - s * (1.0 / 12.0)));
    // beta5 on [1, 2]: 17/40 + 5d/8 - 7d^2/4 + 5d^3/4 - 3d^4/8 + d^5/24
    const double a = t + 1.0, b = 2.0 - t;
    w[1] =
        17.0 / 40.0 +
        a * (5.0 / 8.0 + a * (-7.0 / 4.0 + a * (5.0 / 4.0 + a * (-3.0 / 8.0 + a * (1.0 / 24.0)))));
    w[4] =
        17.0 / 40.0 +
        b * (5.0 / 8.0 + b * (-7.0 / 4.0 + b * (5.0 / 4.0 + b * (-3.0 / 8.0 + b * (1.0 / 24.0)))));
}

/// d/dt of quintic_weights.
inline void quintic_derivative_weights(double t, double w[6]) {
    const double s = 1.0 - t;
    const double t2 = t * t, s2 = s * s;
    w[0] = -s2 * s2 * (1.0 / 24.0);
    w[5] = t2 * t2 * (1.0 / 24.0);
    // beta5' on [0, 1]: -d + d^3 - 5 d^4 / 12
    w[2] = t * (-1.0 + t2 * (1.0 - t * (5.0 / 12.0)));
    w[3] = -(s * (-1.0 + s2 * (1.0 - s * (5.0 / 12.0))));
    // beta5' on [1, 2]: 5/8 - 7d/2 + 15 d^2/4 - 3 d^3/2 + 5 d^4/24
    const double a = t + 1.0, b = 2.0 - t;
    w[1] = 5.0 / 8.0 + a * (-7.0 / 2.0 + a * (15.0 / 4.0 + a * (-3.0 / 2.0 + a * (5.0 / 24.0))));
    w[4] = -(5.0 / 8.0 + b * (-7.0 / 2.0 + b * (15.0 / 4.0 + b * (-3.0 / 2.0 + b * (5.0 / 24.0)))));
}

/// Cubic B-spline in the middle four taps.
inline void cubic_bspline_weights(double t, double w[6]) {
    const double s = 1.0 - t;
    w[0] = 0.0;
    w[1] = s * s * s * (1.0 / 6.0);
    w[2] = 2.0 / 3.0 - t * t * (1.0 - 0.5 * t);
    w[3] = 2.0 / 3.0 - s * s * (1.0 - 0.5 * s);
    w[4] = t * t * t * (1.0 / 6.0);
    w[5] = 0.0;
}

inline void cubic_bspline_derivative_weights(double t, double w[6]) {
    const double s = 1.0 - t;
    w[0] = 0.0;
    w[1] = -0.5 * s * s;
    w[2] = t * (1.5 * t - 2.0);
    w[3] = -(s * (1.5 * s - 2.0));
    w[4] = 0.5 * t * t;
    w[5] = 0.0;
}

/// Fourth-order cubic convolution (Keys 1981), six taps: the very weights DICEngine uses.
inline void keys_weights(double t, double w[6]) {
    keys_fourth_weights(t, w);
}

/// d/dt of keys_weights.
inline void keys_derivative_weights(double t, double w[6]) {
    auto inner = [](double d) { return (4.0 * d - 14.0 / 3.0) * d; };
    auto middle = [](double d) { return (-(7.0 / 4.0) * d + 6.0) * d - 59.0 / 12.0; };
    auto outer = [](double d) { return (0.25 * d - 4.0 / 3.0) * d + 1.75; };
    w[0] = outer(t + 2.0);
    w[1] = middle(t + 1.0);
    w[2] = inner(t);
    w[3] = -inner(1.0 - t);
    w[4] = -middle(2.0 - t);
    w[5] = -outer(3.0 - t);
}

inline void spline_weights(SplineKind kind, double t, double w[6]) {
    if (kind == SplineKind::kQuintic)
        quintic_weights(t, w);
    else if (kind == SplineKind::kCubic)
        cubic_bspline_weights(t, w);
    else
        keys_weights(t, w);
}

inline void spline_derivative_weights(SplineKind kind, double t, double w[6]) {
    if (kind == SplineKind::kQuintic)
        quintic_derivative_weights(t, w);
    else if (kind == SplineKind::kCubic)
        cubic_bspline_derivative_weights(t, w);
    else
        keys_derivative_weights(t, w);
}

/// Value of the interpolant at (y, x), row first. The 6 x 6 taps must lie inside the padded
/// image (|y|, |x| within pad - 3 of the image). Slow reference form for tests and seeds.
inline double sample_spline(const CoefficientImage& c, SplineKind kind, double y, double x) {
    const double by = std::floor(y), bx = std::floor(x);
    double wy[6], wx[6];
    spline_weights(kind, y - by, wy);
    spline_weights(kind, x - bx, wx);
    const double* p = c.at(static_cast<int>(by) - 2, static_cast<int>(bx) - 2);
    double sum = 0.0;
    for (int k = 0; k < 6; ++k) {
        double row = 0.0;
        for (int j = 0; j < 6; ++j) row += wx[j] * p[k * c.stride + j];
        sum += wy[k] * row;
    }
    return sum;
}

}  // namespace morvex::dic::detail
