#pragma once
/// Pieces shared by the two Gauss-Newton solvers: subset geometry, the early result, the
/// 6 x 6 solve with its rank test and the final scoring.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <Eigen/Dense>
#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/znssd.hpp>

#include "matching/interpolation_kernels.h"

namespace morvex::dic::detail {

/// Below this the zero-mean norm of a subset counts as flat.
inline constexpr double kFlatNorm = 1e-12;

/// Square subset of side m = size | 1 centred on (y, x), half-width h, n = m * m pixels.
struct SubsetGeometry {
    int m = 0;
    int h = 0;
    std::size_t n = 0;
};

/// The subset geometry when the whole subset lies inside `image`; false otherwise (which
/// includes the empty subsets of negative sizes). Sums in 64 bits: centre and size may be
/// anywhere in the int range.
inline bool subset_inside(const GreyView& image, int y, int x, int subset_size,
                          SubsetGeometry& geometry) {
    const int m = subset_size | 1;
    if (m < 1) return false;
    const std::int64_t h = m / 2;
    if (y - h < 0 || y + h >= image.rows || x - h < 0 || x + h >= image.cols) return false;
    geometry.m = m;
    geometry.h = static_cast<int>(h);
    geometry.n = static_cast<std::size_t>(m) * static_cast<std::size_t>(m);
    return true;
}

/// The result of a solver that could not start: the starting warp, every score 0, not
/// converged, not valid.
inline ICGNResult early_result(const WarpParams& start) {
    ICGNResult result;
    result.warp = start;
    return result;
}

/// Scores the final warp with the criterion and fills the result.
inline ICGNResult scored_result(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                                const WarpParams& warp, int m, bool use_bicubic, int iterations,
                                bool converged) {
    ICGNResult result;
    result.warp = warp;
    result.znssd = compute_znssd(reference, deformed, y, x, warp, m, use_bicubic);
    result.zncc = std::clamp(1.0 - 0.5 * result.znssd, -1.0, 1.0);
    result.iterations = iterations;
    result.converged = converged;
    result.valid = result.znssd < kZnssdUnavailable;  // false for NaN
    return result;
}

/// Upper triangle of a symmetric 6 x 6 matrix, row by row (21 entries), accumulated as
/// sums of outer products; mirrored once per iteration. d_i * d_j == d_j * d_i exactly, so
/// the mirror equals accumulating all 36 entries.
struct NormalEquations {
    double upper[21] = {};
    double rhs[6] = {};

    void add(const double d[6], double residual) {
        int idx = 0;
        for (int i = 0; i < 6; ++i)
            for (int j = i; j < 6; ++j) upper[idx++] += d[i] * d[j];
        for (int i = 0; i < 6; ++i) rhs[i] += residual * d[i];
    }

    /// Solves H * delta = b with full-pivot LU: flat or one-dimensional textures give
    /// near-singular matrices, and a rank check is better than a wild step. False when the
    /// rank (Eigen's default threshold: pivots above 6 * 2^-52 times the largest count) is
    /// below 6.
    bool solve(double delta[6]) const {
        Eigen::Matrix<double, 6, 6> hessian;
        int idx = 0;
        for (int i = 0; i < 6; ++i)
            for (int j = i; j < 6; ++j) {
                hessian(i, j) = upper[idx];
                hessian(j, i) = upper[idx];
                ++idx;
            }
        const Eigen::FullPivLU<Eigen::Matrix<double, 6, 6>> lu(hessian);
        if (lu.rank() < 6) return false;
        const Eigen::Matrix<double, 6, 1> solution =
            lu.solve(Eigen::Map<const Eigen::Matrix<double, 6, 1>>(rhs));
        for (int i = 0; i < 6; ++i) delta[i] = solution(i);
        return true;
    }
};

/// Euclidean norm of an update, summed in parameter order (pixels, radians and stretch
/// mixed without weights).
inline double update_norm(const double delta[6]) {
    double sum = 0.0;
    for (int i = 0; i < 6; ++i) sum += delta[i] * delta[i];
    return std::sqrt(sum);
}

inline double* grow_scratch(std::vector<double>& buffer, std::size_t size) {
    if (buffer.size() < size) buffer.resize(size);
    return buffer.data();
}

/// Half-open test of the solvers' iterations: [1, rows - 1) x [1, cols - 1). NaN fails.
inline bool inside_for_iteration(double yp, double xp, double last_row, double last_col) {
    return yp >= 1.0 && yp < last_row && xp >= 1.0 && xp < last_col;
}

}  // namespace morvex::dic::detail
