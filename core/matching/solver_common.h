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

#include "image/sampling/kernels.h"

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

/// Normal equations H = sum d_k d_k^T, b = sum r_k d_k of a Gauss-Newton step. Only the
/// upper triangle of H is accumulated (21 entries, row by row) and mirrored for the solve:
/// d_i * d_j == d_j * d_i exactly, so this equals accumulating all 36.
///
/// Every entry is summed as two partial sums, over the even and over the odd pixels in
/// subset order, added at the end: the two lanes of an SSE2 register. That regroups each
/// sum of ~n terms (relative change of order 1e-16, far below anything the solvers test),
/// and the scalar version does the same operations, so all platforms agree bit for bit.
struct NormalEquations {
    double upper[21] = {};
    double rhs[6] = {};

    /// Sets H and b from the pixels 0 .. n-1 of the steepest-descent vectors d[i][k] (one
    /// array per parameter) and the residuals r[k].
    void accumulate(const double* const d[6], const double* r, std::size_t n) {
        // (i, j) of each upper entry in the order of upper[], then b as (i, 6), r being
        // "parameter" 6. Three groups, each small enough to keep its sums in registers.
        static constexpr int kGroupA[][2] = {{0, 0}, {0, 1}, {0, 2}, {0, 3},
                                             {0, 4}, {0, 5}, {1, 1}, {0, 6}};
        static constexpr int kGroupB[][2] = {{1, 2}, {1, 3}, {1, 4}, {1, 5}, {2, 2},
                                             {2, 3}, {2, 4}, {2, 5}, {1, 6}};
        static constexpr int kGroupC[][2] = {{3, 3}, {3, 4}, {3, 5}, {4, 4}, {4, 5},
                                             {5, 5}, {2, 6}, {3, 6}, {4, 6}, {5, 6}};
        const double* const column[7] = {d[0], d[1], d[2], d[3], d[4], d[5], r};
        sum_products(column, kGroupA, n);
        sum_products(column, kGroupB, n);
        sum_products(column, kGroupC, n);
    }

    /// Solves H * delta = b with full-pivot LU: flat or one-dimensional textures give
    /// near-singular matrices, and a rank check is better than a wild step. False when the
    /// rank (Eigen's default threshold: pivots above 6 * 2^-52 times the largest count) is
    /// below 6.
    bool solve(double delta[6]) const;

private:
    // Where the sum of column[i] * column[j] goes.
    double& slot(int i, int j) {
        if (j == 6) return rhs[i];
        return upper[i * 6 - i * (i - 1) / 2 + (j - i)];
    }

    template <std::size_t N>
    void sum_products(const double* const column[7], const int (&pairs)[N][2], std::size_t n) {
        std::size_t k = 0;
#if MORVEX_KERNELS_SSE2
        __m128d sums[N];
        for (std::size_t e = 0; e < N; ++e) sums[e] = _mm_setzero_pd();
        for (; k + 1 < n; k += 2)
            for (std::size_t e = 0; e < N; ++e)
                sums[e] = _mm_add_pd(sums[e], _mm_mul_pd(_mm_loadu_pd(column[pairs[e][0]] + k),
                                                         _mm_loadu_pd(column[pairs[e][1]] + k)));
        if (k < n)  // odd count: the last pixel joins the even sums, the odd ones get +0
            for (std::size_t e = 0; e < N; ++e)
                sums[e] = _mm_add_pd(sums[e], _mm_mul_pd(_mm_load_sd(column[pairs[e][0]] + k),
                                                         _mm_load_sd(column[pairs[e][1]] + k)));
        for (std::size_t e = 0; e < N; ++e)
            slot(pairs[e][0], pairs[e][1]) =
                _mm_cvtsd_f64(sums[e]) + _mm_cvtsd_f64(_mm_unpackhi_pd(sums[e], sums[e]));
#else
        double even[N] = {};
        double odd[N] = {};
        for (; k + 1 < n; k += 2)
            for (std::size_t e = 0; e < N; ++e) {
                even[e] += column[pairs[e][0]][k] * column[pairs[e][1]][k];
                odd[e] += column[pairs[e][0]][k + 1] * column[pairs[e][1]][k + 1];
            }
        if (k < n)
            for (std::size_t e = 0; e < N; ++e) {
                even[e] += column[pairs[e][0]][k] * column[pairs[e][1]][k];
                odd[e] += 0.0;
            }
        for (std::size_t e = 0; e < N; ++e) slot(pairs[e][0], pairs[e][1]) = even[e] + odd[e];
#endif
    }
};

inline bool NormalEquations::solve(double delta[6]) const {
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

/// Euclidean norm of an update, summed in parameter order (pixels, radians and stretch
/// mixed without weights).
inline double update_norm(const double delta[6]) {
    double sum = 0.0;
    for (int i = 0; i < 6; ++i) sum += delta[i] * delta[i];
    return std::sqrt(sum);
}

/// The solvers' work arrays: one buffer per thread that grows to the largest request seen
/// and is then reused (a thread runs one solve at a time). Valid until the next call on the
/// same thread.
inline double* solver_scratch(std::size_t size) {
    thread_local std::vector<double> buffer;
    if (buffer.size() < size) buffer.resize(size);
    return buffer.data();
}

/// Where a Gauss-Newton iteration leaves the solve.
enum class StepOutcome { kContinue, kConverged, kStopped };

/// The end of one Gauss-Newton iteration, shared by both solvers: the normal equations of
/// the steepest-descent vectors d[0..5] and the residuals r over n pixels are solved (rank
/// checked), the update goes to apply(delta), which subtracts it from the solver's own
/// parameters, and the stop rules follow: converged when |delta| is strictly below
/// convergence_threshold; stopped on a rank-deficient system (before counting the
/// iteration) or once `iterations` reaches max_iterations.
template <typename Apply>
inline StepOutcome gauss_newton_step(const double* const d[6], const double* r, std::size_t n,
                                     const ICGNConfig& config, int& iterations, Apply&& apply) {
    NormalEquations equations;
    equations.accumulate(d, r, n);
    double delta[6];
    if (!equations.solve(delta)) return StepOutcome::kStopped;
    ++iterations;
    apply(delta);
    if (update_norm(delta) < config.convergence_threshold) return StepOutcome::kConverged;
    if (iterations >= config.max_iterations) return StepOutcome::kStopped;
    return StepOutcome::kContinue;
}

/// Half-open test of the solvers' iterations: [1, rows - 1) x [1, cols - 1). NaN fails.
inline bool inside_for_iteration(double yp, double xp, double last_row, double last_col) {
    return yp >= 1.0 && yp < last_row && xp >= 1.0 && xp < last_col;
}

/// Subtracts the mean of values[0..n) in place; returns the sum of squares of the result.
/// Both sums run in index order.
inline double remove_mean(double* values, std::size_t n) {
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) sum += values[k];
    const double mean = sum / static_cast<double>(n);
    double squares = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        values[k] -= mean;
        squares += values[k] * values[k];
    }
    return squares;
}

/// One solver body, for one choice of interpolation.
using SubsetSolver = ICGNResult (*)(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                                    const WarpParams& start, const ICGNConfig& config,
                                    const SubsetGeometry& subset);

/// The entry both solvers share: images that are not grey cannot be read, which gives the
/// same early result as a subset that does not fit in the reference; otherwise the body for
/// `use_bicubic`.
inline ICGNResult enter_solver(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                               const WarpParams& start, const ICGNConfig& config,
                               SubsetSolver higher_order, SubsetSolver bilinear) {
    if (!is_grey_image(reference) || !is_grey_image(deformed)) return early_result(start);
    SubsetGeometry subset;
    if (!subset_inside(GreyView(reference), y, x, config.subset_size, subset))
        return early_result(start);
    return (config.use_bicubic ? higher_order : bilinear)(reference, deformed, y, x, start, config,
                                                          subset);
}

}  // namespace morvex::dic::detail
