#include "image/sampling/bspline_sampler.h"

#include <cmath>

#include "image/sampling/dispatch.h"

#if MORVEX_KERNELS_AVX2
#include "image/sampling/bspline_sampler_avx2.h"
#endif

namespace morvex::dic::detail {

namespace {

// One 6 x 6 weighted sum: the columns summed down (rows in order), then the six column sums
// combined as (c0 + c4, c1 + c5, c2, c3) and pairwise: the order of the four-lane form.
inline double tap_sum(const double* p, std::ptrdiff_t stride, const double* wy, const double* wx) {
    double c[6];
    for (int j = 0; j < 6; ++j) c[j] = wy[0] * p[j];
    for (int k = 1; k < 6; ++k) {
        const double* row = p + k * stride;
        for (int j = 0; j < 6; ++j) c[j] = c[j] + wy[k] * row[j];
    }
    const double s0 = wx[0] * c[0] + wx[4] * c[4];
    const double s1 = wx[1] * c[1] + wx[5] * c[5];
    const double s2 = wx[2] * c[2];
    const double s3 = wx[3] * c[3];
    return (s0 + s2) + (s1 + s3);
}

// Where row i of the subset starts and how it runs: the position at dx = 0 and its slope
// along the row (Curved adds the row's dy^2 offset and the slope's dx dy term).
template <bool Curved>
struct SubsetRow {
    double x, y, slope_x, slope_y;
    SubsetRow(const WarpedSubset& s, const SubsetCurvature& q, int i) {
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

// Curved == false evaluates exactly the first-order positions row_x + ax dx (the affine
// path's bits); Curved adds the row's extra slope and the dx^2 term.
template <bool Curved>
void sample_scalar(const CoefficientImage& coef, SplineKind kind, const WarpedSubset& s,
                   const SubsetCurvature& q, double* out) {
    const int side = 2 * s.half + 1;
    double wx[6], wy[6];
    for (int i = 0; i < side; ++i) {
        const SubsetRow<Curved> row(s, q, i);
        double* o = out + static_cast<std::ptrdiff_t>(i) * side;
        for (int j = 0; j < side; ++j) {
            const double dx = j - s.half;
            double x = row.x + row.slope_x * dx;
            double y = row.y + row.slope_y * dx;
            if constexpr (Curved) {
                x += q.x_xx * (dx * dx);
                y += q.y_xx * (dx * dx);
            }
            // Positions lie above -kSamplerReach, so the shifted truncation is floor.
            const int ix = static_cast<int>(x + kSamplerReach) - kSamplerReach;
            const int iy = static_cast<int>(y + kSamplerReach) - kSamplerReach;
            spline_weights(kind, x - ix, wx);
            spline_weights(kind, y - iy, wy);
            o[j] = tap_sum(coef.at(iy - 2, ix - 2), coef.stride, wy, wx);
        }
    }
}

}  // namespace

void sample_warped_subset_scalar(const CoefficientImage& coefficients, SplineKind kind,
                                 const WarpedSubset& subset, double* out) {
    sample_scalar<false>(coefficients, kind, subset, SubsetCurvature{}, out);
}

void sample_curved_subset_scalar(const CoefficientImage& coefficients, SplineKind kind,
                                 const WarpedSubset& subset, const SubsetCurvature& curve,
                                 double* out) {
    sample_scalar<true>(coefficients, kind, subset, curve, out);
}

void sample_curved_subset(const CoefficientImage& coefficients, SplineKind kind,
                          const WarpedSubset& subset, const SubsetCurvature& curve, double* out) {
#if MORVEX_KERNELS_AVX2
    if (kind == SplineKind::kQuintic && cpu_has_avx2()) {
        sample_quintic_curved_avx2(coefficients, subset, curve, out);
        return;
    }
#endif
    sample_scalar<true>(coefficients, kind, subset, curve, out);
}

bool sampler_uses_avx2() {
#if MORVEX_KERNELS_AVX2
    return cpu_has_avx2();
#else
    return false;
#endif
}

void sample_warped_subset(const CoefficientImage& coefficients, SplineKind kind,
                          const WarpedSubset& subset, double* out, double* scratch) {
#if MORVEX_KERNELS_AVX2
    if (kind == SplineKind::kQuintic && cpu_has_avx2()) {
        sample_quintic_subset_avx2(coefficients, subset, out);
        (void)scratch;
        return;
    }
#endif
    (void)scratch;
    sample_scalar<false>(coefficients, kind, subset, SubsetCurvature{}, out);
}

}  // namespace morvex::dic::detail
