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

/// Normal equations H = sum d_k d_k^T, b = sum r_k d_k of a Gauss-Newton step. Only the
/// upper triangle of H is accumulated (21 entries, row by row) and mirrored for the solve:
/// d_i * d_j == d_j * d_i exactly, so this equals accumulating all 36. Each entry is summed
/// over the pixels in subset order, exactly as a plain loop would.
struct NormalEquations {
    double upper[21] = {};
    double rhs[6] = {};

    /// Adds the pixels 0 .. n-1 of the steepest-descent vectors d[i][k] (one array per
    /// parameter) and residuals r[k].
    void accumulate(const double* const d[6], const double* r, std::size_t n) {
#if MORVEX_KERNELS_SSE2
        // Two entries of one row of H per register; the pixel loop is split in two passes
        // so that the accumulators stay in registers. Each entry is still summed pixel by
        // pixel in subset order. The lower entries (1,0), (3,2) and (5,4) ride along unused.
        // Pixels come two at a time: one load per parameter, then the pairs of pixel k and
        // of pixel k + 1 by unpacking.
        __m128d h00 = _mm_setzero_pd(), h02 = h00, h04 = h00, h10 = h00, h12 = h00, h14 = h00;
        __m128d b0 = h00, b2 = h00, b4 = h00;
        auto first_pass = [&](__m128d d01, __m128d d23, __m128d d45, __m128d s0, __m128d s1,
                              __m128d sr) {
            h00 = _mm_add_pd(h00, _mm_mul_pd(s0, d01));
            h02 = _mm_add_pd(h02, _mm_mul_pd(s0, d23));
            h04 = _mm_add_pd(h04, _mm_mul_pd(s0, d45));
            h10 = _mm_add_pd(h10, _mm_mul_pd(s1, d01));
            h12 = _mm_add_pd(h12, _mm_mul_pd(s1, d23));
            h14 = _mm_add_pd(h14, _mm_mul_pd(s1, d45));
            b0 = _mm_add_pd(b0, _mm_mul_pd(sr, d01));
            b2 = _mm_add_pd(b2, _mm_mul_pd(sr, d23));
            b4 = _mm_add_pd(b4, _mm_mul_pd(sr, d45));
        };
        std::size_t k = 0;
        for (; k + 1 < n; k += 2) {
            const __m128d p0 = _mm_loadu_pd(d[0] + k), p1 = _mm_loadu_pd(d[1] + k);
            const __m128d p2 = _mm_loadu_pd(d[2] + k), p3 = _mm_loadu_pd(d[3] + k);
            const __m128d p4 = _mm_loadu_pd(d[4] + k), p5 = _mm_loadu_pd(d[5] + k);
            const __m128d pr = _mm_loadu_pd(r + k);
            first_pass(_mm_unpacklo_pd(p0, p1), _mm_unpacklo_pd(p2, p3), _mm_unpacklo_pd(p4, p5),
                       _mm_unpacklo_pd(p0, p0), _mm_unpacklo_pd(p1, p1), _mm_unpacklo_pd(pr, pr));
            first_pass(_mm_unpackhi_pd(p0, p1), _mm_unpackhi_pd(p2, p3), _mm_unpackhi_pd(p4, p5),
                       _mm_unpackhi_pd(p0, p0), _mm_unpackhi_pd(p1, p1), _mm_unpackhi_pd(pr, pr));
        }
        if (k < n)
            first_pass(_mm_set_pd(d[1][k], d[0][k]), _mm_set_pd(d[3][k], d[2][k]),
                       _mm_set_pd(d[5][k], d[4][k]), _mm_set1_pd(d[0][k]), _mm_set1_pd(d[1][k]),
                       _mm_set1_pd(r[k]));

        __m128d h22 = _mm_setzero_pd(), h24 = h22, h32 = h22, h34 = h22, h44 = h22, h54 = h22;
        auto second_pass = [&](__m128d d23, __m128d d45, __m128d s2, __m128d s3, __m128d s4,
                               __m128d s5) {
            h22 = _mm_add_pd(h22, _mm_mul_pd(s2, d23));
            h24 = _mm_add_pd(h24, _mm_mul_pd(s2, d45));
            h32 = _mm_add_pd(h32, _mm_mul_pd(s3, d23));
            h34 = _mm_add_pd(h34, _mm_mul_pd(s3, d45));
            h44 = _mm_add_pd(h44, _mm_mul_pd(s4, d45));
            h54 = _mm_add_pd(h54, _mm_mul_pd(s5, d45));
        };
        for (k = 0; k + 1 < n; k += 2) {
            const __m128d p2 = _mm_loadu_pd(d[2] + k), p3 = _mm_loadu_pd(d[3] + k);
            const __m128d p4 = _mm_loadu_pd(d[4] + k), p5 = _mm_loadu_pd(d[5] + k);
            second_pass(_mm_unpacklo_pd(p2, p3), _mm_unpacklo_pd(p4, p5), _mm_unpacklo_pd(p2, p2),
                        _mm_unpacklo_pd(p3, p3), _mm_unpacklo_pd(p4, p4), _mm_unpacklo_pd(p5, p5));
            second_pass(_mm_unpackhi_pd(p2, p3), _mm_unpackhi_pd(p4, p5), _mm_unpackhi_pd(p2, p2),
                        _mm_unpackhi_pd(p3, p3), _mm_unpackhi_pd(p4, p4), _mm_unpackhi_pd(p5, p5));
        }
        if (k < n)
            second_pass(_mm_set_pd(d[3][k], d[2][k]), _mm_set_pd(d[5][k], d[4][k]),
                        _mm_set1_pd(d[2][k]), _mm_set1_pd(d[3][k]), _mm_set1_pd(d[4][k]),
                        _mm_set1_pd(d[5][k]));

        double t[2];
        auto add_pair = [&t](__m128d v, double& first, double& second) {
            _mm_storeu_pd(t, v);
            first += t[0];
            second += t[1];
        };
        auto add_high = [&t](__m128d v, double& second) {
            _mm_storeu_pd(t, v);
            second += t[1];
        };
        // upper[] index of (i, j), j >= i: i * 6 - i * (i - 1) / 2 + (j - i).
        add_pair(h00, upper[0], upper[1]);
        add_pair(h02, upper[2], upper[3]);
        add_pair(h04, upper[4], upper[5]);
        add_high(h10, upper[6]);
        add_pair(h12, upper[7], upper[8]);
        add_pair(h14, upper[9], upper[10]);
        add_pair(h22, upper[11], upper[12]);
        add_pair(h24, upper[13], upper[14]);
        add_high(h32, upper[15]);
        add_pair(h34, upper[16], upper[17]);
        add_pair(h44, upper[18], upper[19]);
        add_high(h54, upper[20]);
        add_pair(b0, rhs[0], rhs[1]);
        add_pair(b2, rhs[2], rhs[3]);
        add_pair(b4, rhs[4], rhs[5]);
#else
        double h[21] = {};
        double b[6] = {};
        for (std::size_t k = 0; k < n; ++k) {
            int idx = 0;
            for (int i = 0; i < 6; ++i)
                for (int j = i; j < 6; ++j) h[idx++] += d[i][k] * d[j][k];
            for (int i = 0; i < 6; ++i) b[i] += r[k] * d[i][k];
        }
        for (int i = 0; i < 21; ++i) upper[i] += h[i];
        for (int i = 0; i < 6; ++i) rhs[i] += b[i];
#endif
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
