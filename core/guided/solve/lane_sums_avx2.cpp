// Built with -mavx2 (and -ffp-contract=off): nothing here may be an inline function shared
// with other translation units, or the linker could pick this AVX2 copy for CPUs without it.
#include "guided/solve/lane_sums_avx2.h"

#include <immintrin.h>

namespace morvex::dic::detail {

namespace {

// (lane 0 + lane 2) + (lane 1 + lane 3), as lane_sums.cpp combines its four partial sums.
[[gnu::always_inline]] inline double combine4(__m256d acc) {
    const __m128d s = _mm_add_pd(_mm256_castpd256_pd128(acc), _mm256_extractf128_pd(acc, 1));
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
}

}  // namespace

double lane_dot_avx2(const double* a, const double* b, int n) {
    __m256d acc = _mm256_setzero_pd();
    const int n4 = n & ~3;
    for (int k = 0; k < n4; k += 4)
        acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_loadu_pd(a + k), _mm256_loadu_pd(b + k)));
    double sum = combine4(acc);
    for (int k = n4; k < n; ++k) sum = sum + a[k] * b[k];
    return sum;
}

void lane_energy_cross_avx2(const double* g, const double* f, int n, double& gss, double& cross) {
    __m256d e = _mm256_setzero_pd(), c = _mm256_setzero_pd();
    const int n4 = n & ~3;
    for (int k = 0; k < n4; k += 4) {
        const __m256d gv = _mm256_loadu_pd(g + k);
        e = _mm256_add_pd(e, _mm256_mul_pd(gv, gv));
        c = _mm256_add_pd(c, _mm256_mul_pd(_mm256_loadu_pd(f + k), gv));
    }
    gss = combine4(e);
    cross = combine4(c);
    for (int k = n4; k < n; ++k) {
        gss = gss + g[k] * g[k];
        cross = cross + f[k] * g[k];
    }
}

void lane_residual_sums_avx2(const double* f0, const double* g, double scale,
                             const double* const sd[6], int n, double b[6], double& ssr) {
    __m256d acc[7];
    for (auto& a : acc) a = _mm256_setzero_pd();
    const __m256d s = _mm256_set1_pd(scale);
    const int n4 = n & ~3;
    for (int k = 0; k < n4; k += 4) {
        const __m256d r =
            _mm256_sub_pd(_mm256_loadu_pd(f0 + k), _mm256_mul_pd(s, _mm256_loadu_pd(g + k)));
        for (int p = 0; p < 6; ++p)
            acc[p] = _mm256_add_pd(acc[p], _mm256_mul_pd(_mm256_loadu_pd(sd[p] + k), r));
        acc[6] = _mm256_add_pd(acc[6], _mm256_mul_pd(r, r));
    }
    for (int p = 0; p < 6; ++p) b[p] = combine4(acc[p]);
    ssr = combine4(acc[6]);
    for (int k = n4; k < n; ++k) {
        const double r = f0[k] - scale * g[k];
        for (int p = 0; p < 6; ++p) b[p] = b[p] + sd[p][k] * r;
        ssr = ssr + r * r;
    }
}

}  // namespace morvex::dic::detail
