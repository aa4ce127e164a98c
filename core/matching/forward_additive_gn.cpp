// Forward-additive Gauss-Newton solver on the six WarpParams, minimising the ZNSSD itself
// with the exact derivative of its normalisation and gradients of the deformed image at the
// warped positions (Lucas & Kanade 1981; Pan et al. 2013 for the ZNSSD form).

#include <cmath>
#include <cstddef>
#include <vector>

#include <morvex/solvers.hpp>

#include "image/sampling/kernels.h"
#include "matching/solver_common.h"

namespace morvex::dic {

namespace {

using detail::GreyView;

// Deformed values and gradients at the warped positions; false at the first position
// outside [1, rows - 1) x [1, cols - 1). NaN and infinite positions fail the same test, so
// a warp gone non-finite stops the iterations instead of reaching an interpolator.
template <bool kCubic>
bool sample_deformed(const GreyView& def, int y, int x, const WarpParams& w, int h, double* g,
                     double* gx, double* gy, double& sum) {
    const double last_row = def.rows - 1.0;
    const double last_col = def.cols - 1.0;
    double total = 0.0;
    std::size_t k = 0;
    for (int dy = -h; dy <= h; ++dy) {
        for (int dx = -h; dx <= h; ++dx, ++k) {
            const double xp = static_cast<double>(x) + dx + w.u + w.du_dx * dx + w.du_dy * dy;
            const double yp = static_cast<double>(y) + dy + w.v + w.dv_dx * dx + w.dv_dy * dy;
            if (!detail::inside_for_iteration(yp, xp, last_row, last_col)) return false;
            if (kCubic) {
                const InterpResult sample = detail::sample_bicubic_grad(def, yp, xp);
                g[k] = sample.value;
                gx[k] = sample.dx;
                gy[k] = sample.dy;
            } else {
                // Differences over +-0.5 pixel of the bilinear interpolant.
                g[k] = detail::sample_bilinear(def, yp, xp);
                gx[k] = detail::sample_bilinear(def, yp, xp + 0.5) -
                        detail::sample_bilinear(def, yp, xp - 0.5);
                gy[k] = detail::sample_bilinear(def, yp + 0.5, xp) -
                        detail::sample_bilinear(def, yp - 0.5, xp);
            }
            total += g[k];
        }
    }
    sum = total;
    return true;
}

// Steepest-descent vector of one pixel, in WarpParams field order.
inline void steepest_descent(double gx, double gy, int dx, int dy, double s[6]) {
    s[0] = gx;
    s[1] = gy;
    s[2] = gx * dx;
    s[3] = gy * dx;
    s[4] = gx * dy;
    s[5] = gy * dy;
}

template <bool kCubic>
ICGNResult solve(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                 const WarpParams& start, const ICGNConfig& config,
                 const detail::SubsetGeometry& subset) {
    const GreyView ref(reference);
    const GreyView def(deformed);
    const int h = subset.h;
    const std::size_t n = subset.n;
    const double count = static_cast<double>(n);

    double* f = detail::solver_scratch(11 * n);
    double* g = f + n;
    double* gx = g + n;
    double* gy = gx + n;
    double* residual = gy + n;
    double* jacobian[6];
    for (int i = 0; i < 6; ++i) jacobian[i] = residual + (i + 1) * n;

    std::size_t k = 0;
    for (int dy = -h; dy <= h; ++dy) {
        const double* row = ref.row(y + dy);
        for (int dx = -h; dx <= h; ++dx, ++k) f[k] = row[x + dx];
    }
    const double norm_f = std::sqrt(detail::remove_mean(f, n));
    // A NaN or infinite reference pixel would make every update NaN: refuse it here.
    if (!(norm_f >= detail::kFlatNorm) || !std::isfinite(norm_f))
        return detail::early_result(start);

    WarpParams p = start;
    int iterations = 0;
    bool converged = false;

    while (config.max_iterations > 0) {
        double sum_g = 0.0;
        if (!sample_deformed<kCubic>(def, y, x, p, h, g, gx, gy, sum_g)) break;
        const double mean_g = sum_g / count;

        // Zero-mean samples, their norm and the mean steepest-descent vector.
        double sgg = 0.0;
        double s_sum[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        k = 0;
        for (int dy = -h; dy <= h; ++dy) {
            for (int dx = -h; dx <= h; ++dx, ++k) {
                g[k] -= mean_g;
                sgg += g[k] * g[k];
                double s[6];
                steepest_descent(gx[k], gy[k], dx, dy, s);
                for (int i = 0; i < 6; ++i) s_sum[i] += s[i];
            }
        }
        const double norm_g = std::sqrt(sgg);
        if (norm_g < detail::kFlatNorm) break;
        double s_mean[6];
        for (int i = 0; i < 6; ++i) s_mean[i] = s_sum[i] / count;

        // Normalised samples and c = sum (s_k - s_mean) * g_hat_k.
        double c_vec[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        k = 0;
        for (int dy = -h; dy <= h; ++dy) {
            for (int dx = -h; dx <= h; ++dx, ++k) {
                g[k] /= norm_g;
                double s[6];
                steepest_descent(gx[k], gy[k], dx, dy, s);
                for (int i = 0; i < 6; ++i) c_vec[i] += (s[i] - s_mean[i]) * g[k];
            }
        }

        // J_k is the derivative of g_hat_k with respect to the warp parameters.
        k = 0;
        for (int dy = -h; dy <= h; ++dy) {
            for (int dx = -h; dx <= h; ++dx, ++k) {
                double s[6];
                steepest_descent(gx[k], gy[k], dx, dy, s);
                for (int i = 0; i < 6; ++i)
                    jacobian[i][k] = ((s[i] - s_mean[i]) - g[k] * c_vec[i]) / norm_g;
                residual[k] = g[k] - f[k] / norm_f;
            }
        }
        const detail::StepOutcome step = detail::gauss_newton_step(
            jacobian, residual, n, config, iterations, [&p](const double delta[6]) {
                p.u -= delta[0];
                p.v -= delta[1];
                p.du_dx -= delta[2];
                p.dv_dx -= delta[3];
                p.du_dy -= delta[4];
                p.dv_dy -= delta[5];
            });
        converged = step == detail::StepOutcome::kConverged;
        if (step != detail::StepOutcome::kContinue) break;
    }
    // The iterations sample with the 4 x 4 kernel; the score uses the criterion's own
    // (fourth-order when use_bicubic), as the rotation-stretch solver does.
    return detail::scored_result(reference, deformed, y, x, p, subset.m, kCubic, iterations,
                                 converged);
}

}  // namespace

ICGNResult fa_gn_solve(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                       const WarpParams& start, const ICGNConfig& config) {
    return detail::enter_solver(reference, deformed, y, x, start, config, &solve<true>,
                                &solve<false>);
}

}  // namespace morvex::dic
