#include "guided/lane_sums.h"

#include "image/sampling/dispatch.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(MORVEX_SCALAR_KERNELS)
#define MORVEX_LANES_AVX2 1
#include <immintrin.h>
#pragma GCC diagnostic ignored "-Wpsabi"
#define MORVEX_AVX2 __attribute__((target("avx2")))
#define MORVEX_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#else
#define MORVEX_LANES_AVX2 0
#endif

namespace morvex::dic::detail {

namespace {

inline double combine(const double acc[4]) { return (acc[0] + acc[2]) + (acc[1] + acc[3]); }

double dot_scalar(const double* a, const double* b, int n) {
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    const int n4 = n & ~3;
    for (int k = 0; k < n4; k += 4)
        for (int l = 0; l < 4; ++l) acc[l] = acc[l] + a[k + l] * b[k + l];
    double sum = combine(acc);
    for (int k = n4; k < n; ++k) sum = sum + a[k] * b[k];
    return sum;
}

void energy_cross_scalar(const double* g, const double* f, int n, double& gss, double& cross) {
    double e[4] = {0.0, 0.0, 0.0, 0.0}, c[4] = {0.0, 0.0, 0.0, 0.0};
    const int n4 = n & ~3;
    for (int k = 0; k < n4; k += 4)
        for (int l = 0; l < 4; ++l) {
            e[l] = e[l] + g[k + l] * g[k + l];
            c[l] = c[l] + f[k + l] * g[k + l];
        }
    gss = combine(e);
    cross = combine(c);
    for (int k = n4; k < n; ++k) {
        gss = gss + g[k] * g[k];
        cross = cross + f[k] * g[k];
    }
}

void residual_scalar(const double* f0, const double* g, double scale, const double* const sd[6],
                     int n, double b[6], double& ssr) {
    double acc[7][4] = {};
    const int n4 = n & ~3;
    for (int k = 0; k < n4; k += 4)
        for (int l = 0; l < 4; ++l) {
            const double r = f0[k + l] - scale * g[k + l];
            for (int p = 0; p < 6; ++p) acc[p][l] = acc[p][l] + sd[p][k + l] * r;
            acc[6][l] = acc[6][l] + r * r;
        }
    for (int p = 0; p < 6; ++p) b[p] = combine(acc[p]);
    ssr = combine(acc[6]);
    for (int k = n4; k < n; ++k) {
        const double r = f0[k] - scale * g[k];
        for (int p = 0; p < 6; ++p) b[p] = b[p] + sd[p][k] * r;
        ssr = ssr + r * r;
    }
}

#if MORVEX_LANES_AVX2
MORVEX_AVX2_INLINE double combine4(__m256d acc) {
    const __m128d s = _mm_add_pd(_mm256_castpd256_pd128(acc), _mm256_extractf128_pd(acc, 1));
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
}

MORVEX_AVX2 double dot_avx2(const double* a, const double* b, int n) {
    __m256d acc = _mm256_setzero_pd();
    const int n4 = n & ~3;
    for (int k = 0; k < n4; k += 4)
        acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_loadu_pd(a + k), _mm256_loadu_pd(b + k)));
    double sum = combine4(acc);
    for (int k = n4; k < n; ++k) sum = sum + a[k] * b[k];
    return sum;
}

MORVEX_AVX2 void energy_cross_avx2(const double* g, const double* f, int n, double& gss,
                                   double& cross) {
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

MORVEX_AVX2 void residual_avx2(const double* f0, const double* g, double scale,
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
#endif

}  // namespace

double lane_dot(const double* a, const double* b, int n) {
#if MORVEX_LANES_AVX2
    if (detail::cpu_has_avx2()) return dot_avx2(a, b, n);
#endif
    return dot_scalar(a, b, n);
}

void lane_energy_cross(const double* g, const double* f, int n, double& gss, double& cross) {
#if MORVEX_LANES_AVX2
    if (detail::cpu_has_avx2()) return energy_cross_avx2(g, f, n, gss, cross);
#endif
    energy_cross_scalar(g, f, n, gss, cross);
}

void lane_residual_sums(const double* f0, const double* g, double scale,
                        const double* const sd[6], int n, double b[6], double& ssr) {
#if MORVEX_LANES_AVX2
    if (detail::cpu_has_avx2()) return residual_avx2(f0, g, scale, sd, n, b, ssr);
#endif
    residual_scalar(f0, g, scale, sd, n, b, ssr);
}

}  // namespace morvex::dic::detail
