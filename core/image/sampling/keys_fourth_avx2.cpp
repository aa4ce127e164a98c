// Built with -mavx2 (and -ffp-contract=off): nothing here may be an inline function shared
// with other translation units, or the linker could pick this AVX2 copy for CPUs without
// it. Hence raw row arithmetic instead of GreyView::row, and file-local helpers only.
#include "image/sampling/keys_fourth_avx2.h"

#include <immintrin.h>

namespace morvex::dic::detail {

namespace {

// keys_inner, keys_middle, keys_outer (weights.h) on four lanes, operation for operation.
__m256d keys_inner_quad(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_add_pd(
        _mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(4.0 / 3.0), t2), t),
                      _mm256_mul_pd(_mm256_set1_pd(7.0 / 3.0), t2)),
        _mm256_set1_pd(1.0));
}

__m256d keys_middle_quad(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_add_pd(
        _mm256_sub_pd(
            _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(-(7.0 / 12.0)), t2), t),
                          _mm256_mul_pd(_mm256_set1_pd(3.0), t2)),
            _mm256_mul_pd(_mm256_set1_pd(59.0 / 12.0), t)),
        _mm256_set1_pd(2.5));
}

__m256d keys_outer_quad(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_sub_pd(
        _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(1.0 / 12.0), t2), t),
                                    _mm256_mul_pd(_mm256_set1_pd(2.0 / 3.0), t2)),
                      _mm256_mul_pd(_mm256_set1_pd(1.75), t)),
        _mm256_set1_pd(1.5));
}

void keys_fourth_weights_quad(__m256d f, __m256d w[6]) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    w[0] = keys_outer_quad(_mm256_add_pd(f, two));
    w[1] = keys_middle_quad(_mm256_add_pd(f, one));
    w[2] = keys_inner_quad(f);
    w[3] = keys_inner_quad(_mm256_sub_pd(one, f));
    w[4] = keys_middle_quad(_mm256_sub_pd(two, f));
    w[5] = keys_outer_quad(_mm256_sub_pd(_mm256_set1_pd(3.0), f));
}

}  // namespace

// Each block is summed down its columns (0-3 in one register, 4-5 in another), then the even
// and odd column products are summed and added, exactly as the 2-lane kernel does.
std::size_t sample_keys_fourth_quads(const GreyView& image, const double* ys, const double* xs,
                                     std::size_t count, double* out) {
    const std::ptrdiff_t stride = image.stride;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d yp = _mm256_loadu_pd(ys + i);
        const __m256d xp = _mm256_loadu_pd(xs + i);
        // Non-negative positions: truncation is floor, as in the kernel's unclamped path.
        const __m128i r0 = _mm256_cvttpd_epi32(yp);
        const __m128i c0 = _mm256_cvttpd_epi32(xp);
        __m256d wr[6], wc[6];
        keys_fourth_weights_quad(_mm256_sub_pd(yp, _mm256_cvtepi32_pd(r0)), wr);
        keys_fourth_weights_quad(_mm256_sub_pd(xp, _mm256_cvtepi32_pd(c0)), wc);
        alignas(32) double row_weight[6][4];
        for (int k = 0; k < 6; ++k) _mm256_store_pd(row_weight[k], wr[k]);
        alignas(16) int rows[4];
        alignas(16) int cols[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(rows), r0);
        _mm_store_si128(reinterpret_cast<__m128i*>(cols), c0);
        // Column weights per sample: taps 0-3 by a 4 x 4 transpose, taps 4-5 as pairs.
        const __m256d t0 = _mm256_unpacklo_pd(wc[0], wc[1]);
        const __m256d t1 = _mm256_unpackhi_pd(wc[0], wc[1]);
        const __m256d t2 = _mm256_unpacklo_pd(wc[2], wc[3]);
        const __m256d t3 = _mm256_unpackhi_pd(wc[2], wc[3]);
        const __m256d column_weight[4] = {
            _mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
            _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)};
        const __m256d e0 = _mm256_unpacklo_pd(wc[4], wc[5]);
        const __m256d e1 = _mm256_unpackhi_pd(wc[4], wc[5]);
        const __m128d column_weight_45[4] = {_mm256_castpd256_pd128(e0), _mm256_castpd256_pd128(e1),
                                             _mm256_extractf128_pd(e0, 1),
                                             _mm256_extractf128_pd(e1, 1)};
        for (int s = 0; s < 4; ++s) {
            const double* p = image.data + stride * (rows[s] - 2) + (cols[s] - 2);
            __m256d w = _mm256_broadcast_sd(&row_weight[0][s]);
            __m256d a03 = _mm256_mul_pd(w, _mm256_loadu_pd(p));
            __m128d a45 = _mm_mul_pd(_mm256_castpd256_pd128(w), _mm_loadu_pd(p + 4));
            for (int k = 1; k < 6; ++k) {
                p += stride;
                w = _mm256_broadcast_sd(&row_weight[k][s]);
                a03 = _mm256_add_pd(a03, _mm256_mul_pd(w, _mm256_loadu_pd(p)));
                a45 = _mm_add_pd(a45, _mm_mul_pd(_mm256_castpd256_pd128(w), _mm_loadu_pd(p + 4)));
            }
            const __m256d products = _mm256_mul_pd(column_weight[s], a03);
            __m128d pair =
                _mm_add_pd(_mm256_castpd256_pd128(products), _mm256_extractf128_pd(products, 1));
            pair = _mm_add_pd(pair, _mm_mul_pd(column_weight_45[s], a45));
            out[i + s] = _mm_cvtsd_f64(pair) + _mm_cvtsd_f64(_mm_unpackhi_pd(pair, pair));
        }
    }
    return i;
}

}  // namespace morvex::dic::detail
