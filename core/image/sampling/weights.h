#pragma once
/// Tap weights of the cubic convolution kernels, scalar form. The vector paths
/// (separable_sums.h, keys_fourth_avx2.cpp) repeat this arithmetic operation for operation,
/// so every path gives the same bits.
///
/// Keys, R. (1981). Cubic convolution interpolation for digital image processing.
/// IEEE Transactions on Acoustics, Speech, and Signal Processing 29(6), 1153-1160:
/// the third-order kernel with a = -0.5 (four taps) and the fourth-order kernel (six taps).
/// Pure functions: never throw, never allocate, safe from any thread.

#include <cmath>

namespace morvex::dic::detail {

/// Cubic convolution kernel, a = -0.5, piece chosen by |t| (t in pixels; 0 for |t| >= 2).
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

/// Derivative weights of taps -1 .. +2 around the base index for fraction f in [0, 1).
inline void cubic_derivative_weights(double f, double w[4]) {
    w[0] = cubic_weight_derivative(f + 1.0);
    w[1] = cubic_weight_derivative(f);
    w[2] = cubic_weight_derivative(f - 1.0);
    w[3] = cubic_weight_derivative(f - 2.0);
}

// Fourth-order cubic convolution (six taps); the distance range of each tap is known from
// its position, so the piece is fixed per tap.
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

}  // namespace morvex::dic::detail
