#pragma once
/// The separable sums of the Keys kernels in two forms that give the same bits: pairs of
/// doubles in SSE2 registers (every x86-64 CPU has them) and a portable scalar twin that
/// performs the very same operations in the same order. Define MORVEX_SCALAR_KERNELS before
/// including to get the scalar twin on x86-64 too (the tests compare the two).
///
/// Bit identity holds as long as the compiler fuses no multiply-add into one rounding; the
/// build passes -ffp-contract=off everywhere for that.

#include <cstddef>

#include "image/sampling/weights.h"

#if defined(__SSE2__) && !defined(MORVEX_SCALAR_KERNELS)
#define MORVEX_KERNELS_SSE2 1
#include <emmintrin.h>
#else
#define MORVEX_KERNELS_SSE2 0
#endif

namespace morvex::dic::detail {

// Separable sums over an N x N block of samples (N = 4 or 6), `stride` doubles between
// block rows. The block is summed down each column first (acc[j] = sum over k, top to
// bottom, of wr[k] * sample[k][j]), then across the columns as two interleaved partial
// sums, even columns and odd columns, added at the end. That order maps one to one onto
// pairs of doubles in SSE2 registers; the scalar version computes the very same
// operations, so every platform gets the same bits. Against a tap-by-tap accumulation the
// regrouping costs a few ulps of the result.

/// Column sums of an N x N block: N / 2 register pairs or N scalars.
template <int N>
struct ColumnSums {
#if MORVEX_KERNELS_SSE2
    __m128d pair[N / 2];
#else
    double value[N];
#endif
};

/// acc[j] = sum over k of wr[k] * p[k * stride + j], top to bottom.
template <int N>
inline ColumnSums<N> weighted_columns(const double* p, std::ptrdiff_t stride, const double* wr) {
    ColumnSums<N> acc;
#if MORVEX_KERNELS_SSE2
    __m128d w = _mm_set1_pd(wr[0]);
    for (int j = 0; j < N / 2; ++j) acc.pair[j] = _mm_mul_pd(w, _mm_loadu_pd(p + 2 * j));
    for (int k = 1; k < N; ++k) {
        const double* row = p + k * stride;
        w = _mm_set1_pd(wr[k]);
        for (int j = 0; j < N / 2; ++j)
            acc.pair[j] = _mm_add_pd(acc.pair[j], _mm_mul_pd(w, _mm_loadu_pd(row + 2 * j)));
    }
#else
    for (int j = 0; j < N; ++j) acc.value[j] = wr[0] * p[j];
    for (int k = 1; k < N; ++k) {
        const double* row = p + k * stride;
        for (int j = 0; j < N; ++j) acc.value[j] += wr[k] * row[j];
    }
#endif
    return acc;
}

/// sum over j of wc[j] * acc[j]: even and odd columns summed separately, then added.
template <int N>
inline double weighted_sum(const double* wc, const ColumnSums<N>& acc) {
#if MORVEX_KERNELS_SSE2
    // _mm_set_pd rather than a 16-byte load: the weights were just stored one by one.
    __m128d s = _mm_mul_pd(_mm_set_pd(wc[1], wc[0]), acc.pair[0]);
    for (int j = 1; j < N / 2; ++j)
        s = _mm_add_pd(s, _mm_mul_pd(_mm_set_pd(wc[2 * j + 1], wc[2 * j]), acc.pair[j]));
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
#else
    double even = wc[0] * acc.value[0];
    double odd = wc[1] * acc.value[1];
    for (int j = 2; j < N; j += 2) {
        even += wc[j] * acc.value[j];
        odd += wc[j + 1] * acc.value[j + 1];
    }
    return even + odd;
#endif
}

#if MORVEX_KERNELS_SSE2
// The fourth-order weights of the rows and of the columns side by side: lane 0 from fy,
// lane 1 from fx, each lane the exact arithmetic of keys_fourth_weights.
inline void keys_fourth_weight_pairs(double fy, double fx, __m128d w[6]) {
    const __m128d f = _mm_set_pd(fx, fy);
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d two = _mm_set1_pd(2.0);
    const __m128d three = _mm_set1_pd(3.0);
    auto inner = [](__m128d t) {
        const __m128d t2 = _mm_mul_pd(t, t);
        return _mm_add_pd(_mm_sub_pd(_mm_mul_pd(_mm_mul_pd(_mm_set1_pd(4.0 / 3.0), t2), t),
                                     _mm_mul_pd(_mm_set1_pd(7.0 / 3.0), t2)),
                          _mm_set1_pd(1.0));
    };
    auto middle = [](__m128d t) {
        const __m128d t2 = _mm_mul_pd(t, t);
        return _mm_add_pd(
            _mm_sub_pd(_mm_add_pd(_mm_mul_pd(_mm_mul_pd(_mm_set1_pd(-(7.0 / 12.0)), t2), t),
                                  _mm_mul_pd(_mm_set1_pd(3.0), t2)),
                       _mm_mul_pd(_mm_set1_pd(59.0 / 12.0), t)),
            _mm_set1_pd(2.5));
    };
    auto outer = [](__m128d t) {
        const __m128d t2 = _mm_mul_pd(t, t);
        return _mm_sub_pd(
            _mm_add_pd(_mm_sub_pd(_mm_mul_pd(_mm_mul_pd(_mm_set1_pd(1.0 / 12.0), t2), t),
                                  _mm_mul_pd(_mm_set1_pd(2.0 / 3.0), t2)),
                       _mm_mul_pd(_mm_set1_pd(1.75), t)),
            _mm_set1_pd(1.5));
    };
    w[0] = outer(_mm_add_pd(f, two));
    w[1] = middle(_mm_add_pd(f, one));
    w[2] = inner(f);
    w[3] = inner(_mm_sub_pd(one, f));
    w[4] = middle(_mm_sub_pd(two, f));
    w[5] = outer(_mm_sub_pd(three, f));
}

// weighted_columns<6> and weighted_sum<6> with the weights in lane pairs.
inline double keys_fourth_sum(const double* p, std::ptrdiff_t stride, const __m128d w[6]) {
    __m128d wr = _mm_unpacklo_pd(w[0], w[0]);
    __m128d a0 = _mm_mul_pd(wr, _mm_loadu_pd(p));
    __m128d a1 = _mm_mul_pd(wr, _mm_loadu_pd(p + 2));
    __m128d a2 = _mm_mul_pd(wr, _mm_loadu_pd(p + 4));
    for (int k = 1; k < 6; ++k) {
        p += stride;
        wr = _mm_unpacklo_pd(w[k], w[k]);
        a0 = _mm_add_pd(a0, _mm_mul_pd(wr, _mm_loadu_pd(p)));
        a1 = _mm_add_pd(a1, _mm_mul_pd(wr, _mm_loadu_pd(p + 2)));
        a2 = _mm_add_pd(a2, _mm_mul_pd(wr, _mm_loadu_pd(p + 4)));
    }
    __m128d s = _mm_mul_pd(_mm_unpackhi_pd(w[0], w[1]), a0);
    s = _mm_add_pd(s, _mm_mul_pd(_mm_unpackhi_pd(w[2], w[3]), a1));
    s = _mm_add_pd(s, _mm_mul_pd(_mm_unpackhi_pd(w[4], w[5]), a2));
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
}
#endif

/// Fourth-order weights of both axes, in the form the sum takes.
struct KeysFourthWeights {
#if MORVEX_KERNELS_SSE2
    __m128d pair[6];  // lane 0: row weight, lane 1: column weight
    void compute(double fy, double fx) { keys_fourth_weight_pairs(fy, fx, pair); }
    double sum(const double* p, std::ptrdiff_t stride) const {
        return keys_fourth_sum(p, stride, pair);
    }
#else
    double rows[6];
    double cols[6];
    void compute(double fy, double fx) {
        keys_fourth_weights(fy, rows);
        keys_fourth_weights(fx, cols);
    }
    double sum(const double* p, std::ptrdiff_t stride) const {
        return weighted_sum<6>(cols, weighted_columns<6>(p, stride, rows));
    }
#endif
};

}  // namespace morvex::dic::detail
