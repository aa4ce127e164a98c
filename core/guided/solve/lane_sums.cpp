#include "guided/solve/lane_sums.h"

#include "image/sampling/dispatch.h"

#if MORVEX_KERNELS_AVX2
#include "guided/solve/lane_sums_avx2.h"
#endif

namespace morvex::dic::detail {

namespace {

inline double combine(const double acc[4]) {
    return (acc[0] + acc[2]) + (acc[1] + acc[3]);
}

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

}  // namespace

double lane_dot(const double* a, const double* b, int n) {
#if MORVEX_KERNELS_AVX2
    if (detail::cpu_has_avx2()) return lane_dot_avx2(a, b, n);
#endif
    return dot_scalar(a, b, n);
}

void lane_energy_cross(const double* g, const double* f, int n, double& gss, double& cross) {
#if MORVEX_KERNELS_AVX2
    if (detail::cpu_has_avx2()) return lane_energy_cross_avx2(g, f, n, gss, cross);
#endif
    energy_cross_scalar(g, f, n, gss, cross);
}

void lane_residual_sums(const double* f0, const double* g, double scale, const double* const sd[6],
                        int n, double b[6], double& ssr) {
#if MORVEX_KERNELS_AVX2
    if (detail::cpu_has_avx2()) return lane_residual_sums_avx2(f0, g, scale, sd, n, b, ssr);
#endif
    residual_scalar(f0, g, scale, sd, n, b, ssr);
}

}  // namespace morvex::dic::detail
