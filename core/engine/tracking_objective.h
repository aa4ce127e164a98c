#pragma once
/// The tracking simplex's objective: the ZNSSD of one subset under a rigid rotation,
/// evaluated many times for the same point.
///
/// compute_znssd rebuilds the reference side (samples, mean, Sff) on every call, and the
/// simplex calls it a hundred times per point with the same reference subset. This evaluator
/// does the reference side once per point and samples the deformed side with the inline
/// kernels (four samples at a time where the CPU has AVX2) into buffers it owns. Every value
/// it returns is bit-identical to compute_znssd for the same warp: the same positions, the
/// same per-sample arithmetic, the same sums in the same order. Keep the two in step; the
/// tracking tests compare them bit for bit on random warps.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/znssd.hpp>

#include "matching/interpolation_kernels.h"

// A 4-wide path for whole subset rows on x86-64 CPUs with AVX2, chosen at run time. It is
// compiled for AVX2 without FMA, so every product and sum rounds exactly as in the kernels.
#if MORVEX_KERNELS_SSE2 && defined(__GNUC__) && defined(__x86_64__)
#define MORVEX_TRACKING_AVX2 1
#include <immintrin.h>
#else
#define MORVEX_TRACKING_AVX2 0
#endif

namespace morvex::dic::detail {

#if MORVEX_TRACKING_AVX2
/// True when the CPU runs AVX2 code.
inline bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

#define MORVEX_AVX2_FUNCTION __attribute__((target("avx2"))) inline

// keys_inner, keys_middle and keys_outer of the kernels, four lanes at a time.
MORVEX_AVX2_FUNCTION __m256d keys_inner_x4(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_add_pd(
        _mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(4.0 / 3.0), t2), t),
                      _mm256_mul_pd(_mm256_set1_pd(7.0 / 3.0), t2)),
        _mm256_set1_pd(1.0));
}

MORVEX_AVX2_FUNCTION __m256d keys_middle_x4(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_add_pd(
        _mm256_sub_pd(
            _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(-(7.0 / 12.0)), t2), t),
                          _mm256_mul_pd(_mm256_set1_pd(3.0), t2)),
            _mm256_mul_pd(_mm256_set1_pd(59.0 / 12.0), t)),
        _mm256_set1_pd(2.5));
}

MORVEX_AVX2_FUNCTION __m256d keys_outer_x4(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_sub_pd(
        _mm256_add_pd(
            _mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(1.0 / 12.0), t2), t),
                          _mm256_mul_pd(_mm256_set1_pd(2.0 / 3.0), t2)),
            _mm256_mul_pd(_mm256_set1_pd(1.75), t)),
        _mm256_set1_pd(1.5));
}

// keys_fourth_weights for four fractions.
MORVEX_AVX2_FUNCTION void keys_fourth_weights_x4(__m256d f, __m256d w[6]) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    w[0] = keys_outer_x4(_mm256_add_pd(f, two));
    w[1] = keys_middle_x4(_mm256_add_pd(f, one));
    w[2] = keys_inner_x4(f);
    w[3] = keys_inner_x4(_mm256_sub_pd(one, f));
    w[4] = keys_middle_x4(_mm256_sub_pd(two, f));
    w[5] = keys_outer_x4(_mm256_sub_pd(_mm256_set1_pd(3.0), f));
}

/// Samples the whole subset with sample_keys_fourth and returns the sum of the samples,
/// taken in subset order. Sample (dy, j) sits at
///   y' = ((y + dy + v) + column_y[j]) + dv_dy*dy,  x' = column_x[j] + du_dy*dy,
/// compute_znssd's positions; every one must lie inside the kernel's unclamped range.
/// Four samples at a time: their twelve weights in 4-wide registers (lane by lane the
/// arithmetic of keys_fourth_weights), each 6 x 6 block summed down its columns with the
/// row weights (columns 0-3 in one register, 4-5 in another), then the even and odd column
/// products summed and added, as the kernel does. Bit-identical to the kernel.
MORVEX_AVX2_FUNCTION double sample_subset_keys_fourth_avx2(const GreyView& image, int y, int h,
                                                           const WarpParams& warp,
                                                           const double* column_x,
                                                           const double* column_y,
                                                           double* out) {
    const std::ptrdiff_t stride = image.stride;
    const int m = 2 * h + 1;
    double sum = 0.0;
    for (int dy = -h; dy <= h; ++dy, out += m) {
        const double row_y = static_cast<double>(y) + dy + warp.v;
        const double shear_y = warp.dv_dy * dy;
        const double shear_x = warp.du_dy * dy;
        const __m256d row_y4 = _mm256_set1_pd(row_y);
        const __m256d shear_y4 = _mm256_set1_pd(shear_y);
        const __m256d shear_x4 = _mm256_set1_pd(shear_x);
        int j = 0;
        for (; j + 4 <= m; j += 4) {
            const __m256d yp =
                _mm256_add_pd(_mm256_add_pd(row_y4, _mm256_loadu_pd(column_y + j)), shear_y4);
            const __m256d xp = _mm256_add_pd(_mm256_loadu_pd(column_x + j), shear_x4);
            // Non-negative positions: truncation is floor, as in the kernel's fast path.
            const __m128i r0 = _mm256_cvttpd_epi32(yp);
            const __m128i c0 = _mm256_cvttpd_epi32(xp);
            __m256d wr[6];
            __m256d wc[6];
            keys_fourth_weights_x4(_mm256_sub_pd(yp, _mm256_cvtepi32_pd(r0)), wr);
            keys_fourth_weights_x4(_mm256_sub_pd(xp, _mm256_cvtepi32_pd(c0)), wc);

            alignas(32) double row_weight[6][4];
            for (int k = 0; k < 6; ++k) _mm256_store_pd(row_weight[k], wr[k]);
            alignas(16) int rows[4];
            alignas(16) int cols[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(rows), r0);
            _mm_store_si128(reinterpret_cast<__m128i*>(cols), c0);

            // Column weights per sample: 0-3 by a 4 x 4 transpose, 4-5 as pairs.
            const __m256d t0 = _mm256_unpacklo_pd(wc[0], wc[1]);
            const __m256d t1 = _mm256_unpackhi_pd(wc[0], wc[1]);
            const __m256d t2 = _mm256_unpacklo_pd(wc[2], wc[3]);
            const __m256d t3 = _mm256_unpackhi_pd(wc[2], wc[3]);
            const __m256d column_weight[4] = {_mm256_permute2f128_pd(t0, t2, 0x20),
                                              _mm256_permute2f128_pd(t1, t3, 0x20),
                                              _mm256_permute2f128_pd(t0, t2, 0x31),
                                              _mm256_permute2f128_pd(t1, t3, 0x31)};
            const __m256d e0 = _mm256_unpacklo_pd(wc[4], wc[5]);
            const __m256d e1 = _mm256_unpackhi_pd(wc[4], wc[5]);
            const __m128d column_weight_45[4] = {
                _mm256_castpd256_pd128(e0), _mm256_castpd256_pd128(e1),
                _mm256_extractf128_pd(e0, 1), _mm256_extractf128_pd(e1, 1)};

            for (int s = 0; s < 4; ++s) {
                const double* p = image.row(rows[s] - 2) + (cols[s] - 2);
                __m256d w = _mm256_broadcast_sd(&row_weight[0][s]);
                __m256d a03 = _mm256_mul_pd(w, _mm256_loadu_pd(p));
                __m128d a45 = _mm_mul_pd(_mm256_castpd256_pd128(w), _mm_loadu_pd(p + 4));
                for (int k = 1; k < 6; ++k) {
                    p += stride;
                    w = _mm256_broadcast_sd(&row_weight[k][s]);
                    a03 = _mm256_add_pd(a03, _mm256_mul_pd(w, _mm256_loadu_pd(p)));
                    a45 = _mm_add_pd(a45,
                                     _mm_mul_pd(_mm256_castpd256_pd128(w), _mm_loadu_pd(p + 4)));
                }
                const __m256d products = _mm256_mul_pd(column_weight[s], a03);
                // (even, odd) = (w0 a0 + w2 a2 + w4 a4, w1 a1 + w3 a3 + w5 a5); even + odd.
                __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(products),
                                          _mm256_extractf128_pd(products, 1));
                pair = _mm_add_pd(pair, _mm_mul_pd(column_weight_45[s], a45));
                const double value =
                    _mm_cvtsd_f64(pair) + _mm_cvtsd_f64(_mm_unpackhi_pd(pair, pair));
                out[j + s] = value;
                sum += value;
            }
        }
        for (; j < m; ++j) {
            const double value =
                sample_keys_fourth(image, row_y + column_y[j] + shear_y, column_x[j] + shear_x);
            out[j] = value;
            sum += value;
        }
    }
    return sum;
}

#undef MORVEX_AVX2_FUNCTION
#endif

/// Largest subset side compute_znssd evaluates (larger ones count as not evaluable); must
/// stay equal to the limit in matching/znssd.cpp.
inline constexpr int kZnssdMaxSubsetSide = 16383;

/// Warp of a rigid rotation by t radians plus the translation (u, v): a subset pixel at
/// (dx, dy) maps to x + u + dx cos t - dy sin t, y + v + dx sin t + dy cos t.
inline WarpParams rigid_rotation_warp(double u, double v, double t) {
    const double cos_t = std::cos(t);
    const double sin_t = std::sin(t);
    WarpParams warp;
    warp.u = u;
    warp.v = v;
    warp.du_dx = cos_t - 1.0;
    warp.dv_dx = sin_t;
    warp.du_dy = -sin_t;
    warp.dv_dy = cos_t - 1.0;
    return warp;
}

/// compute_znssd(reference, deformed, y, x, warp, subset_size, use_bicubic) for many warps
/// of one subset. Holds views of both images: they must outlive the evaluator. Not thread
/// safe (one evaluator per point and thread); no allocation after construction.
class SubsetZnssd {
public:
    /// `allow_wide` permits the AVX2 path where the CPU has it (false: tests of the portable
    /// path; both give the same values).
    SubsetZnssd(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                int subset_size, bool use_bicubic, bool allow_wide = true)
        : y_(y), x_(x), use_bicubic_(use_bicubic) {
#if MORVEX_TRACKING_AVX2
        wide_ = allow_wide && cpu_has_avx2();
#else
        (void)allow_wide;
#endif
        // The same refusals as compute_znssd: a deformed matrix that is not a grey image, a
        // reference that is neither empty nor grey, an empty or absurdly large subset.
        const int m = subset_size | 1;
        usable_ = is_grey_image(deformed) && (reference.empty() || is_grey_image(reference)) &&
                  m >= 1 && m <= kZnssdMaxSubsetSide;
        if (!usable_) return;
        deformed_ = GreyView(deformed);
        h_ = m / 2;
        n_ = static_cast<std::size_t>(m) * static_cast<std::size_t>(m);
        reference_centred_.resize(n_);
        deformed_samples_.resize(n_);
        const auto side = static_cast<std::size_t>(m);
        column_x_.resize(side);
        column_y_.resize(side);

        // Reference pixels outside the image count as 0.
        const GreyView ref(reference);
        double sum = 0.0;
        std::size_t k = 0;
        for (int dy = -h_; dy <= h_; ++dy) {
            const std::int64_t r = static_cast<std::int64_t>(y) + dy;
            const bool row_inside = r >= 0 && r < ref.rows;
            const double* row = row_inside ? ref.row(static_cast<int>(r)) : nullptr;
            for (int dx = -h_; dx <= h_; ++dx, ++k) {
                const std::int64_t c = static_cast<std::int64_t>(x) + dx;
                const double value = (row_inside && c >= 0 && c < ref.cols) ? row[c] : 0.0;
                reference_centred_[k] = value;
                sum += value;
            }
        }
        const double mean = sum / static_cast<double>(n_);
        double sff = 0.0;
        for (double& value : reference_centred_) {
            value -= mean;
            sff += value * value;
        }
        sff_ = sff;
    }

    /// ZNSSD in [0, 4] of the subset under `warp`; 2.0 when it cannot be evaluated.
    double operator()(const WarpParams& warp) {
        if (!usable_) return kZnssdUnavailable;
        const int m = 2 * h_ + 1;
        const double last_row = deformed_.rows - 1.0;
        const double last_col = deformed_.cols - 1.0;
        // Per-column parts of the mapping, formed exactly as compute_znssd forms them:
        // x' = ((x + dx + u) + du_dx*dx) + du_dy*dy, y' = ((y + dy + v) + dv_dx*dx) + dv_dy*dy.
        double* column_x = column_x_.data();
        double* column_y = column_y_.data();
        for (int j = 0; j < m; ++j) {
            const int dx = j - h_;
            column_x[j] = static_cast<double>(x_) + dx + warp.u + warp.du_dx * dx;
            column_y[j] = warp.dv_dx * dx;
        }
        // An affine map takes its extremes at the corners: refuse early, before sampling;
        // and when the corners lie well inside the kernel's unclamped range, every sample
        // does (the margin dwarfs the rounding of the positions), so no sample needs its
        // own test.
        bool interior = true;
        for (int dy : {-h_, h_}) {
            for (int j : {0, m - 1}) {
                const double yp =
                    static_cast<double>(y_) + dy + warp.v + column_y[j] + warp.dv_dy * dy;
                const double xp = column_x[j] + warp.du_dy * dy;
                if (!(yp > 0.0 && yp < last_row && xp > 0.0 && xp < last_col))
                    return kZnssdUnavailable;
                interior = interior && yp >= 2.0 + kInteriorMargin &&
                           yp < deformed_.rows - 3.0 - kInteriorMargin &&
                           xp >= 2.0 + kInteriorMargin &&
                           xp < deformed_.cols - 3.0 - kInteriorMargin;
            }
        }

        double* samples = deformed_samples_.data();
        double sum = 0.0;
#if MORVEX_TRACKING_AVX2
        if (wide_ && use_bicubic_ && interior) {
            sum = sample_subset_keys_fourth_avx2(deformed_, y_, h_, warp, column_x, column_y,
                                                 samples);
        } else
#endif
        {
            std::size_t k = 0;
            for (int dy = -h_; dy <= h_; ++dy) {
                const double row_y = static_cast<double>(y_) + dy + warp.v;
                const double shear_y = warp.dv_dy * dy;
                const double shear_x = warp.du_dy * dy;
                for (int j = 0; j < m; ++j, ++k) {
                    const double yp = row_y + column_y[j] + shear_y;
                    const double xp = column_x[j] + shear_x;
                    // Open interval; NaN fails every comparison and is refused with the rest.
                    if (!(yp > 0.0 && yp < last_row && xp > 0.0 && xp < last_col))
                        return kZnssdUnavailable;
                    const double g = use_bicubic_ ? sample_keys_fourth(deformed_, yp, xp)
                                                  : sample_bilinear(deformed_, yp, xp);
                    samples[k] = g;
                    sum += g;
                }
            }
        }

        const double mean = sum / static_cast<double>(n_);
        double sgg = 0.0;
        double sfg = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            const double g = samples[i] - mean;
            sgg += g * g;
            sfg += reference_centred_[i] * g;
        }
        const double d = std::sqrt(sff_ * sgg);
        if (d < 1e-12) return kZnssdUnavailable;
        return 2.0 * (1.0 - sfg / d);
    }

    /// The objective of the tracking simplex at translation (u, v) and angle t.
    double operator()(double u, double v, double t) { return (*this)(rigid_rotation_warp(u, v, t)); }

private:
    // Pixels kept between the corner positions and the border of the kernel's unclamped
    // range before the sampling skips the per-sample tests.
    static constexpr double kInteriorMargin = 1e-3;

    int y_ = 0;
    int x_ = 0;
    bool use_bicubic_ = true;
    bool usable_ = false;
    bool wide_ = false;
    GreyView deformed_;
    int h_ = 0;
    std::size_t n_ = 1;
    double sff_ = 0.0;
    std::vector<double> reference_centred_;
    std::vector<double> deformed_samples_;
    std::vector<double> column_x_;  // per-column parts of the mapping
    std::vector<double> column_y_;
};

}  // namespace morvex::dic::detail
