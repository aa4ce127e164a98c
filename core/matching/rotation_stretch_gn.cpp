// Rotation-stretch Gauss-Newton solver: translation, angle and symmetric stretch, with the
// reference gradients turned by the current angle (after the inverse-compositional idea of
// Baker & Matthews 2004: gradients from the reference, computed once per call).

#include <cmath>
#include <cstddef>
#include <vector>

#include <morvex/solvers.hpp>

#include "image/sampling/kernels.h"
#include "matching/solver_common.h"
#include "matching/warped_subset.h"

namespace morvex::dic {

namespace {

using detail::GreyView;

// Solver parameters, in order: u, v (pixels), theta (radians), sxx, syy, sxy.
enum Param { kU = 0, kV, kTheta, kSxx, kSyy, kSxy };

// Warp of rotation R(theta) times the symmetric stretch [[1 + sxx, sxy], [sxy, 1 + syy]].
WarpParams rotation_stretch_to_warp(const double p[6]) {
    const double c = std::cos(p[kTheta]);
    const double s = std::sin(p[kTheta]);
    WarpParams w;
    w.u = p[kU];
    w.v = p[kV];
    w.du_dx = c * (1.0 + p[kSxx]) - s * p[kSxy] - 1.0;
    w.dv_dx = s * (1.0 + p[kSxx]) + c * p[kSxy];
    w.du_dy = c * p[kSxy] - s * (1.0 + p[kSyy]);
    w.dv_dy = s * p[kSxy] + c * (1.0 + p[kSyy]) - 1.0;
    return w;
}

// Reference values and gradients of the subset, row by row. The fourth-order differences
// reach two pixels beyond the subset; those taps are clamped into the image like the
// interpolators' taps, so a subset on the border never reads outside it.
template <bool kFourthOrder>
void reference_subset(const GreyView& ref, int y, int x, int h, double* f, double* gx, double* gy) {
    std::size_t k = 0;
    for (int dy = -h; dy <= h; ++dy) {
        const int r = y + dy;
        const double* row = ref.row(r);
        const double* up2 = ref.row(detail::clamp_index(r - 2, ref.rows));
        const double* up1 = ref.row(detail::clamp_index(r - 1, ref.rows));
        const double* down1 = ref.row(detail::clamp_index(r + 1, ref.rows));
        const double* down2 = ref.row(detail::clamp_index(r + 2, ref.rows));
        for (int dx = -h; dx <= h; ++dx, ++k) {
            const int c = x + dx;
            f[k] = row[c];
            if (kFourthOrder) {
                const int l2 = detail::clamp_index(c - 2, ref.cols);
                const int l1 = detail::clamp_index(c - 1, ref.cols);
                const int r1 = detail::clamp_index(c + 1, ref.cols);
                const int r2 = detail::clamp_index(c + 2, ref.cols);
                gx[k] = (row[l2] - 8.0 * row[l1] + 8.0 * row[r1] - row[r2]) / 12.0;
                gy[k] = (up2[c] - 8.0 * up1[c] + 8.0 * down1[c] - down2[c]) / 12.0;
            } else {
                gx[k] = (c > 0 && c < ref.cols - 1) ? (row[c + 1] - row[c - 1]) * 0.5 : 0.0;
                gy[k] = (r > 0 && r < ref.rows - 1) ? (down1[c] - up1[c]) * 0.5 : 0.0;
            }
        }
    }
}

// Steepest-descent vectors of every pixel, one array per parameter: the reference gradient
// turned by the current angle, times the derivative of the warped position with respect to
// the parameter; and the residuals. No array aliases another, so the loop runs on several
// pixels at once: pairs, or fours on CPUs with AVX2 (a clone chosen at load time; without
// FMA, so each lane computes exactly what the scalar code does).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void steepest_descent(const double p[6], const double* __restrict gx, const double* __restrict gy,
                      const double* __restrict offset_x, const double* __restrict offset_y,
                      const double* __restrict g, const double* __restrict f, std::size_t n,
                      double* __restrict d_u, double* __restrict d_v, double* __restrict d_theta,
                      double* __restrict d_sxx, double* __restrict d_syy, double* __restrict d_sxy,
                      double* __restrict residual) {
    const double c = std::cos(p[kTheta]);
    const double s = std::sin(p[kTheta]);
    const double stretch_xx = 1.0 + p[kSxx];
    const double stretch_yy = 1.0 + p[kSyy];
    const double stretch_xy = p[kSxy];
    for (std::size_t k = 0; k < n; ++k) {
        const double dx = offset_x[k];
        const double dy = offset_y[k];
        const double turned_x = c * gx[k] - s * gy[k];
        const double turned_y = s * gx[k] + c * gy[k];
        const double sx = stretch_xx * dx + stretch_xy * dy;
        const double sy = stretch_xy * dx + stretch_yy * dy;
        d_u[k] = turned_x;
        d_v[k] = turned_y;
        d_theta[k] = turned_x * (-s * sx - c * sy) + turned_y * (c * sx - s * sy);
        d_sxx[k] = turned_x * c * dx + turned_y * s * dx;
        d_syy[k] = -turned_x * s * dy + turned_y * c * dy;
        d_sxy[k] = turned_x * (c * dy - s * dx) + turned_y * (s * dy + c * dx);
        // Zero-mean only: the iterated criterion is not normalised by either norm.
        residual[k] = g[k] - f[k];
    }
}

template <bool kFourthOrder>
ICGNResult solve(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                 const WarpParams& start, const ICGNConfig& config,
                 const detail::SubsetGeometry& subset) {
    const GreyView ref(reference);
    const GreyView def(deformed);
    const int h = subset.h;
    const std::size_t n = subset.n;
    const double count = static_cast<double>(n);

    double* f = detail::solver_scratch(15 * n + 2 * static_cast<std::size_t>(subset.m));
    double* gx = f + n;
    double* gy = gx + n;
    double* g = gy + n;
    double* offset_x = g + n;
    double* offset_y = offset_x + n;
    double* residual = offset_y + n;
    double* steepest[6];
    for (int i = 0; i < 6; ++i) steepest[i] = residual + (i + 1) * n;
    double* pos_y = residual + 7 * n;
    double* pos_x = pos_y + n;
    double* column_x = pos_x + n;
    double* column_y = column_x + subset.m;

    reference_subset<kFourthOrder>(ref, y, x, h, f, gx, gy);
    std::size_t k = 0;
    for (int dy = -h; dy <= h; ++dy)
        for (int dx = -h; dx <= h; ++dx, ++k) {
            offset_x[k] = dx;
            offset_y[k] = dy;
        }
    const double norm_f = std::sqrt(detail::remove_mean(f, n));
    if (!(norm_f >= detail::kFlatNorm) || !std::isfinite(norm_f))
        return detail::early_result(start);

    double p[6] = {start.u, start.v, 0.0, 0.0, 0.0, 0.0};
    WarpParams warp = rotation_stretch_to_warp(p);
    int iterations = 0;
    bool converged = false;

    // Half-open: [1, rows - 1) x [1, cols - 1).
    const double last_row = def.rows - 1.0;
    const double last_col = def.cols - 1.0;
    const auto in_iteration_range = [last_row, last_col](double yp, double xp) {
        return detail::inside_for_iteration(yp, xp, last_row, last_col);
    };
    while (config.max_iterations > 0) {
        double sum_g = 0.0;
        if (!detail::sample_warped_subset<kFourthOrder>(def, y, x, warp, h, in_iteration_range, g,
                                                        column_x, column_y, pos_y, pos_x, sum_g))
            break;
        const double mean_g = sum_g / count;
        double sgg = 0.0;
        for (k = 0; k < n; ++k) {
            g[k] -= mean_g;
            sgg += g[k] * g[k];
        }
        if (std::sqrt(sgg) < detail::kFlatNorm) break;

        steepest_descent(p, gx, gy, offset_x, offset_y, g, f, n, steepest[kU], steepest[kV],
                         steepest[kTheta], steepest[kSxx], steepest[kSyy], steepest[kSxy],
                         residual);
        const detail::StepOutcome step = detail::gauss_newton_step(
            steepest, residual, n, config, iterations, [&p, &warp](const double delta[6]) {
                for (int i = 0; i < 6; ++i) p[i] -= delta[i];
                warp = rotation_stretch_to_warp(p);
            });
        converged = step == detail::StepOutcome::kConverged;
        if (step != detail::StepOutcome::kContinue) break;
    }
    return detail::scored_result(reference, deformed, y, x, warp, subset.m, kFourthOrder,
                                 iterations, converged);
}

}  // namespace

ICGNResult ic_gn_solve(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                       const WarpParams& start, const ICGNConfig& config) {
    return detail::enter_solver(reference, deformed, y, x, start, config, &solve<true>,
                                &solve<false>);
}

}  // namespace morvex::dic
