// Built with -mavx2 (and -ffp-contract=off): nothing here may be an inline function shared
// with other translation units, or the linker could pick this AVX2 copy for CPUs without
// it. Hence raw coefficient addressing instead of CoefficientImage::at, and file-local
// helpers only.
#include "image/sampling/bspline_sampler_avx2.h"

#include <immintrin.h>

namespace morvex::dic::detail {

namespace {

// SubsetRow of bspline_sampler.cpp, operation for operation: where row i of the subset
// starts and its slope along the row.
template <bool Curved>
struct Row {
    double x, y, slope_x, slope_y;
    Row(const WarpedSubset& s, const SubsetCurvature& q, int i) {
        const double dy = i - s.half;
        x = s.x0 + s.bx * dy;
        y = s.y0 + s.by * dy;
        slope_x = s.ax;
        slope_y = s.ay;
        if constexpr (Curved) {
            x += q.x_yy * dy * dy;
            y += q.y_yy * dy * dy;
            slope_x += q.x_xy * dy;
            slope_y += q.y_xy * dy;
        }
    }
};

// The helpers below are always inlined, as they were beside the portable form: quintic_weights4
// runs twice and tap_sum4 four times per four pixels, where a call costs more than it does.

// beta5 on [0, 1] as quintic_weights evaluates it: 11/20 + d2 (-1/2 + d2 (1/4 - d / 12)).
[[gnu::always_inline]] inline __m256d quintic_inner4(__m256d d, __m256d d2) {
    const __m256d inner =
        _mm256_sub_pd(_mm256_set1_pd(0.25), _mm256_mul_pd(d, _mm256_set1_pd(1.0 / 12.0)));
    const __m256d mid = _mm256_add_pd(_mm256_set1_pd(-0.5), _mm256_mul_pd(d2, inner));
    return _mm256_add_pd(_mm256_set1_pd(11.0 / 20.0), _mm256_mul_pd(d2, mid));
}

// beta5 on [1, 2] by Horner, as quintic_weights.
[[gnu::always_inline]] inline __m256d quintic_middle4(__m256d a) {
    __m256d r =
        _mm256_add_pd(_mm256_set1_pd(-3.0 / 8.0), _mm256_mul_pd(a, _mm256_set1_pd(1.0 / 24.0)));
    r = _mm256_add_pd(_mm256_set1_pd(5.0 / 4.0), _mm256_mul_pd(a, r));
    r = _mm256_add_pd(_mm256_set1_pd(-7.0 / 4.0), _mm256_mul_pd(a, r));
    r = _mm256_add_pd(_mm256_set1_pd(5.0 / 8.0), _mm256_mul_pd(a, r));
    return _mm256_add_pd(_mm256_set1_pd(17.0 / 40.0), _mm256_mul_pd(a, r));
}

// quintic_weights on four fractions at once, operation for operation.
[[gnu::always_inline]] inline void quintic_weights4(__m256d t, __m256d w[6]) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d s = _mm256_sub_pd(one, t);
    const __m256d t2 = _mm256_mul_pd(t, t), s2 = _mm256_mul_pd(s, s);
    const __m256d c120 = _mm256_set1_pd(1.0 / 120.0);
    w[0] = _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(s2, s2), s), c120);
    w[5] = _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(t2, t2), t), c120);
    w[2] = quintic_inner4(t, t2);
    w[3] = quintic_inner4(s, s2);
    w[1] = quintic_middle4(_mm256_add_pd(t, one));
    w[4] = quintic_middle4(_mm256_sub_pd(_mm256_set1_pd(2.0), t));
}

// wy[4 k] is the weight of row k (the y weights of four pixels lie interleaved).
[[gnu::always_inline]] inline double tap_sum4(const double* p, std::ptrdiff_t stride,
                                              const double* wy, __m256d wx03, __m128d wx45) {
    __m256d w = _mm256_broadcast_sd(wy);
    __m256d c4 = _mm256_mul_pd(w, _mm256_loadu_pd(p));
    __m128d c2 = _mm_mul_pd(_mm256_castpd256_pd128(w), _mm_loadu_pd(p + 4));
    for (int k = 1; k < 6; ++k) {
        const double* row = p + k * stride;
        w = _mm256_broadcast_sd(wy + 4 * k);
        c4 = _mm256_add_pd(c4, _mm256_mul_pd(w, _mm256_loadu_pd(row)));
        c2 = _mm_add_pd(c2, _mm_mul_pd(_mm256_castpd256_pd128(w), _mm_loadu_pd(row + 4)));
    }
    const __m256d m4 = _mm256_mul_pd(wx03, c4);
    const __m128d m2 = _mm_mul_pd(wx45, c2);
    const __m128d lo = _mm_add_pd(_mm256_castpd256_pd128(m4), m2);  // s0, s1
    const __m128d hi = _mm256_extractf128_pd(m4, 1);                // s2, s3
    const __m128d s = _mm_add_pd(lo, hi);                           // s0 + s2, s1 + s3
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
}

template <bool Curved>
void sample_quintic(const CoefficientImage& coef, const WarpedSubset& s, const SubsetCurvature& q,
                    double* out) {
    const int side = 2 * s.half + 1;
    // Pixel columns padded to a multiple of four; the extra lanes compute unused values at
    // positions just past the subset (still inside the padded coefficients).
    const int lanes = (side + 3) & ~3;
    alignas(32) double wxs[6][4], wys[6][4];
    alignas(16) int xs[4], ys[4];
    const __m256d offsets = _mm256_set_pd(3.0, 2.0, 1.0, 0.0);
    const __m256d shift = _mm256_set1_pd(static_cast<double>(kSamplerReach));
    for (int i = 0; i < side; ++i) {
        const Row<Curved> row(s, q, i);
        const __m256d row_x = _mm256_set1_pd(row.x);
        const __m256d row_y = _mm256_set1_pd(row.y);
        const __m256d ax = _mm256_set1_pd(row.slope_x), ay = _mm256_set1_pd(row.slope_y);
        double* o = out + static_cast<std::ptrdiff_t>(i) * side;
        for (int j0 = 0; j0 < lanes; j0 += 4) {
            const __m256d dx =
                _mm256_add_pd(_mm256_set1_pd(static_cast<double>(j0 - s.half)), offsets);
            __m256d x = _mm256_add_pd(row_x, _mm256_mul_pd(ax, dx));
            __m256d y = _mm256_add_pd(row_y, _mm256_mul_pd(ay, dx));
            if constexpr (Curved) {
                const __m256d dx2 = _mm256_mul_pd(dx, dx);
                x = _mm256_add_pd(x, _mm256_mul_pd(_mm256_set1_pd(q.x_xx), dx2));
                y = _mm256_add_pd(y, _mm256_mul_pd(_mm256_set1_pd(q.y_xx), dx2));
            }
            // floor as the scalar form computes it: truncation of the shifted position.
            const __m256d fx = _mm256_sub_pd(
                _mm256_round_pd(_mm256_add_pd(x, shift), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC),
                shift);
            const __m256d fy = _mm256_sub_pd(
                _mm256_round_pd(_mm256_add_pd(y, shift), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC),
                shift);
            __m256d wx[6], wy[6];
            quintic_weights4(_mm256_sub_pd(x, fx), wx);
            quintic_weights4(_mm256_sub_pd(y, fy), wy);
            // Transpose the x weights to per-pixel vectors (w0..w3) and pairs (w4, w5).
            const __m256d t0 = _mm256_unpacklo_pd(wx[0], wx[1]);
            const __m256d t1 = _mm256_unpackhi_pd(wx[0], wx[1]);
            const __m256d t2 = _mm256_unpacklo_pd(wx[2], wx[3]);
            const __m256d t3 = _mm256_unpackhi_pd(wx[2], wx[3]);
            __m256d px[4];
            px[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
            px[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
            px[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
            px[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
            _mm256_store_pd(wxs[4], wx[4]);
            _mm256_store_pd(wxs[5], wx[5]);
            for (int k = 0; k < 6; ++k) _mm256_store_pd(wys[k], wy[k]);
            _mm_store_si128(reinterpret_cast<__m128i*>(xs), _mm256_cvttpd_epi32(fx));
            _mm_store_si128(reinterpret_cast<__m128i*>(ys), _mm256_cvttpd_epi32(fy));
            const int count = side - j0 < 4 ? side - j0 : 4;
            for (int l = 0; l < count; ++l) {
                o[j0 + l] =
                    tap_sum4(coef.origin + coef.stride * (ys[l] - 2) + (xs[l] - 2), coef.stride,
                             &wys[0][l], px[l], _mm_set_pd(wxs[5][l], wxs[4][l]));
            }
        }
    }
}

}  // namespace

void sample_quintic_subset_avx2(const CoefficientImage& coefficients, const WarpedSubset& subset,
                                double* out) {
    sample_quintic<false>(coefficients, subset, SubsetCurvature{}, out);
}

void sample_quintic_curved_avx2(const CoefficientImage& coefficients, const WarpedSubset& subset,
                                const SubsetCurvature& curve, double* out) {
    sample_quintic<true>(coefficients, subset, curve, out);
}

}  // namespace morvex::dic::detail
