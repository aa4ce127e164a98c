#include "guided/subset_solver.h"

#include "guided/lane_sums.h"
#include "image/sampling/bspline_sampler.h"

#include <algorithm>
#include <cmath>

namespace morvex::dic::detail {

namespace {

// Cholesky of the 6 x 6 Hessian and its inverse. A pivot below kPivotFloor of its diagonal
// entry means the subset constrains that parameter (nearly) not at all: flat or 1-D texture.
constexpr double kPivotFloor = 1e-12;

bool invert_spd(const double a[6][6], double inv[6][6]) {
    double l[6][6] = {};
    for (int j = 0; j < 6; ++j) {
        double d = a[j][j];
        for (int k = 0; k < j; ++k) d -= l[j][k] * l[j][k];
        if (!(d > kPivotFloor * a[j][j]) || !(d > 0.0)) return false;
        l[j][j] = std::sqrt(d);
        for (int i = j + 1; i < 6; ++i) {
            double s = a[i][j];
            for (int k = 0; k < j; ++k) s -= l[i][k] * l[j][k];
            l[i][j] = s / l[j][j];
        }
    }
    // inv = L^-T L^-1, column by column.
    for (int col = 0; col < 6; ++col) {
        double y[6];
        for (int i = 0; i < 6; ++i) {
            double s = i == col ? 1.0 : 0.0;
            for (int k = 0; k < i; ++k) s -= l[i][k] * y[k];
            y[i] = s / l[i][i];
        }
        for (int i = 5; i >= 0; --i) {
            double s = y[i];
            for (int k = i + 1; k < 6; ++k) s -= l[k][i] * inv[k][col];
            inv[i][col] = s / l[i][i];
        }
    }
    return true;
}

// Mean squared gradient below (kFlatGradient * grey range)^2 per pixel: no texture to match.
constexpr double kFlatGradient = 1e-4;

// Replaced non-finite pixels disturb the coefficients around them for a few pixels (the
// quintic prefilter's slow pole decays as 0.43^k): subsets this close count as touching them.
constexpr int kBadPixelReach = 4;

}  // namespace

bool compose_inverse(Warp& w, const double dp[6]) {
    // W(p) * W(dp)^-1 with W = [[1 + ux, uy, u], [vx, 1 + vy, v], [0, 0, 1]].
    const double a = 1.0 + dp[1], b = dp[2], c = dp[0];
    const double d = dp[4], e = 1.0 + dp[5], f = dp[3];
    const double det = a * e - b * d;
    if (!(std::fabs(det) > 1e-12)) return false;
    const double ia = e / det, ib = -b / det, id = -d / det, ie = a / det;
    const double ic = -(ia * c + ib * f), iff = -(id * c + ie * f);
    const double pa = 1.0 + w.du_dx, pb = w.du_dy, pc = w.u;
    const double pd = w.dv_dx, pe = 1.0 + w.dv_dy, pf = w.v;
    w.du_dx = pa * ia + pb * id - 1.0;
    w.du_dy = pa * ib + pb * ie;
    w.u = pa * ic + pb * iff + pc;
    w.dv_dx = pd * ia + pe * id;
    w.dv_dy = pd * ib + pe * ie - 1.0;
    w.v = pd * ic + pe * iff + pf;
    return true;
}

SubsetSolver::SubsetSolver(const ReferenceImage::Data& reference, const DeformedFrame& deformed,
                           int max_iterations, double convergence_threshold)
    : ref_(reference),
      def_(deformed),
      max_iterations_(max_iterations),
      threshold_(convergence_threshold),
      half_(reference.half),
      side_(2 * reference.half + 1),
      n_(side_ * side_) {
    weight_.resize(n_);
    f0_.resize(n_);
    g_.resize(n_);
    if (!deformed.raw.padded.empty()) {
        raw_f0_.resize(n_);
        raw_g_.resize(n_);
    }
    for (auto& s : sd_) s.resize(n_);
}

namespace {

// Gauss-Newton normal matrix sum J J^T of grid point `index` with the steepest-descent images
// built from the gradient images gx_image, gy_image on the specimen pixels; `energy` is the
// sum of squared gradients, `count` the pixels used. The 21 distinct entries come from the
// moments sum P m of the three gradient products P (gx^2, gx gy, gy^2) and six weights m
// (1, dx, dy, dx^2, dx dy, dy^2), gathered from per-row sums.
void normal_matrix(const ReferenceImage::Data& ref, int index, const cv::Mat& gx_image,
                   const cv::Mat& gy_image, double out[6][6], double& energy, double& count) {
    const int gr = index / ref.grid_cols(), gc = index % ref.grid_cols();
    const int cx = ref.grid_x[gc], cy = ref.grid_y[gr], h = ref.half;
    const bool masked = !ref.specimen.empty() && !ref.full_subset[index];
    double mom[3][6] = {};
    energy = 0.0;
    count = 0.0;
    for (int dy = -h; dy <= h; ++dy) {
        const double* gx = gx_image.ptr<double>(cy + dy) + cx;
        const double* gy = gy_image.ptr<double>(cy + dy) + cx;
        const std::uint8_t* m = masked ? ref.specimen.ptr<std::uint8_t>(cy + dy) + cx : nullptr;
        double row[3][3] = {};
        for (int dx = -h; dx <= h; ++dx) {
            if (m && !m[dx]) continue;
            const double p[3] = {gx[dx] * gx[dx], gx[dx] * gy[dx], gy[dx] * gy[dx]};
            for (int k = 0; k < 3; ++k) {
                row[k][0] += p[k];
                row[k][1] += p[k] * dx;
                row[k][2] += p[k] * dx * dx;
            }
            count += 1.0;
        }
        for (int k = 0; k < 3; ++k) {
            mom[k][0] += row[k][0];
            mom[k][1] += row[k][1];
            mom[k][2] += dy * row[k][0];
            mom[k][3] += row[k][2];
            mom[k][4] += dy * row[k][1];
            mom[k][5] += static_cast<double>(dy) * dy * row[k][0];
        }
        energy += row[0][0] + row[2][0];
    }
    // Moment of m_a m_b for a, b in (1, dx, dy).
    static constexpr int kPair[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b < 6; ++b) {
            const int product = (a < 3 && b < 3) ? 0 : (a >= 3 && b >= 3) ? 2 : 1;
            out[a][b] = mom[product][kPair[a % 3][b % 3]];
        }
}

}  // namespace

bool subset_hessian_inverse(const ReferenceImage::Data& ref, int index, double* hinv,
                            double* noise) {
    double hm[6][6], energy, count;
    normal_matrix(ref, index, ref.grad_x, ref.grad_y, hm, energy, count);
    const double floor = kFlatGradient * ref.grey_range;
    if (!(energy > floor * floor * count)) return false;
    double inv[6][6];
    if (!invert_spd(hm, inv)) return false;
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b < 6; ++b) hinv[a * 6 + b] = inv[a][b];
    noise[0] = inv[0][0];
    noise[1] = inv[3][3];
    if (!ref.noise_grad_x.empty()) {
        // Prefiltered: the estimate's covariance is s^2 H^-1 M H^-1 with M built from the
        // gradients filtered once more (the filter applied to the steepest-descent images),
        // s^2 the raw residual variance. Only the u and v entries are kept.
        double m[6][6];
        normal_matrix(ref, index, ref.noise_grad_x, ref.noise_grad_y, m, energy, count);
        for (int k = 0; k < 2; ++k) {
            const int p = k == 0 ? 0 : 3;
            double t[6];
            for (int b = 0; b < 6; ++b) {
                t[b] = 0.0;
                for (int a = 0; a < 6; ++a) t[b] += inv[p][a] * m[a][b];
            }
            double v = 0.0;
            for (int b = 0; b < 6; ++b) v += t[b] * inv[b][p];
            noise[k] = v;
        }
    }
    return true;
}

bool SubsetSolver::prepare(int index) {
    const int gr = index / ref_.grid_cols(), gc = index % ref_.grid_cols();
    cx_ = ref_.grid_x[gc];
    cy_ = ref_.grid_y[gr];
    // The inverse Hessian depends on the reference alone: stored per point when it fits.
    if (!ref_.hessian_inverse.empty()) {
        if (!ref_.textured[index]) return false;
        const double* stored = ref_.hessian_inverse.data() + static_cast<std::size_t>(index) * 36;
        for (int a = 0; a < 6; ++a)
            for (int b = 0; b < 6; ++b) hinv_[a][b] = stored[a * 6 + b];
        noise_u_ = ref_.noise_factors[2 * static_cast<std::size_t>(index)];
        noise_v_ = ref_.noise_factors[2 * static_cast<std::size_t>(index) + 1];
    } else {
        double inv[36], noise[2];
        if (!subset_hessian_inverse(ref_, index, inv, noise)) return false;
        for (int a = 0; a < 6; ++a)
            for (int b = 0; b < 6; ++b) hinv_[a][b] = inv[a * 6 + b];
        noise_u_ = noise[0];
        noise_v_ = noise[1];
    }
    const bool masked = !ref_.specimen.empty() && !ref_.full_subset[index];
    double count = 0.0;
    for (int i = 0; i < side_; ++i) {
        const int r = cy_ - half_ + i;
        double* w = weight_.data() + i * side_;
        double* f0 = f0_.data() + i * side_;
        const double* f = ref_.correlated.ptr<double>(r) + (cx_ - half_);
        if (masked) {
            const std::uint8_t* m = ref_.specimen.ptr<std::uint8_t>(r) + (cx_ - half_);
            for (int j = 0; j < side_; ++j) w[j] = m[j] ? 1.0 : 0.0;
        } else {
            for (int j = 0; j < side_; ++j) w[j] = 1.0;
        }
        for (int j = 0; j < side_; ++j) f0[j] = w[j] * f[j];
    }
    count = masked ? lane_dot(weight_.data(), weight_.data(), n_) : static_cast<double>(n_);
    count_ = count;
    double sum = 0.0;
    for (int k = 0; k < n_; ++k) sum += f0_[k];
    const double fm = sum / count;
    for (int k = 0; k < n_; ++k) f0_[k] = weight_[k] * (f0_[k] - fm);
    const double ss = lane_dot(f0_.data(), f0_.data(), n_);
    df_ = std::sqrt(ss);
    if (!raw_f0_.empty()) {
        double raw_sum = 0.0;
        for (int i = 0; i < side_; ++i) {
            const double* fr = ref_.raw.ptr<double>(cy_ - half_ + i) + (cx_ - half_);
            for (int j = 0; j < side_; ++j) {
                raw_f0_[i * side_ + j] = weight_[i * side_ + j] * fr[j];
                raw_sum += raw_f0_[i * side_ + j];
            }
        }
        const double raw_fm = raw_sum / count;
        for (int k = 0; k < n_; ++k) raw_f0_[k] = weight_[k] * (raw_f0_[k] - raw_fm);
        raw_df_ = std::sqrt(lane_dot(raw_f0_.data(), raw_f0_.data(), n_));
    }
    // Steepest-descent images (zero off the specimen).
    for (int i = 0; i < side_; ++i) {
        const int r = cy_ - half_ + i;
        const double dy = i - half_;
        const double* gx = ref_.grad_x.ptr<double>(r) + (cx_ - half_);
        const double* gy = ref_.grad_y.ptr<double>(r) + (cx_ - half_);
        const double* w = weight_.data() + i * side_;
        double* s0 = sd_[0].data() + i * side_;
        double* s1 = sd_[1].data() + i * side_;
        double* s2 = sd_[2].data() + i * side_;
        double* s3 = sd_[3].data() + i * side_;
        double* s4 = sd_[4].data() + i * side_;
        double* s5 = sd_[5].data() + i * side_;
        for (int j = 0; j < side_; ++j) {
            const double dx = j - half_;
            const double fx = w[j] * gx[j], fy = w[j] * gy[j];
            s0[j] = fx;
            s1[j] = fx * dx;
            s2[j] = fx * dy;
            s3[j] = fy;
            s4[j] = fy * dx;
            s5[j] = fy * dy;
        }
    }
    return ss > 0.0;
}

bool SubsetSolver::inside(const Warp& w) const {
    const double lo_x = -0.5, hi_x = def_.cols - 0.5, lo_y = -0.5, hi_y = def_.rows - 0.5;
    for (int sy = -1; sy <= 1; sy += 2)
        for (int sx = -1; sx <= 1; sx += 2) {
            const double dx = sx * half_, dy = sy * half_;
            const double x = cx_ + dx + w.u + w.du_dx * dx + w.du_dy * dy;
            const double y = cy_ + dy + w.v + w.dv_dx * dx + w.dv_dy * dy;
            if (!(x >= lo_x && x <= hi_x && y >= lo_y && y <= hi_y)) return false;
        }
    return true;
}

bool SubsetSolver::touches_bad_pixels(const Warp& w) const {
    if (def_.bad_sum.empty()) return false;
    double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
    for (int sy = -1; sy <= 1; sy += 2)
        for (int sx = -1; sx <= 1; sx += 2) {
            const double dx = sx * half_, dy = sy * half_;
            const double x = cx_ + dx + w.u + w.du_dx * dx + w.du_dy * dy;
            const double y = cy_ + dy + w.v + w.dv_dx * dx + w.dv_dy * dy;
            x0 = std::min(x0, x);
            x1 = std::max(x1, x);
            y0 = std::min(y0, y);
            y1 = std::max(y1, y);
        }
    const int c0 = std::max(0, static_cast<int>(std::floor(x0)) - kBadPixelReach);
    const int c1 = std::min(def_.cols - 1, static_cast<int>(std::ceil(x1)) + kBadPixelReach);
    const int r0 = std::max(0, static_cast<int>(std::floor(y0)) - kBadPixelReach);
    const int r1 = std::min(def_.rows - 1, static_cast<int>(std::ceil(y1)) + kBadPixelReach);
    const cv::Mat& s = def_.bad_sum;
    return s.at<int>(r1 + 1, c1 + 1) - s.at<int>(r0, c1 + 1) - s.at<int>(r1 + 1, c0) +
               s.at<int>(r0, c0) >
           0;
}

void SubsetSolver::sample(const CoefficientImage& coefficients, const Warp& w, double* out) const {
    WarpedSubset subset;
    subset.x0 = cx_ + w.u;
    subset.y0 = cy_ + w.v;
    subset.ax = 1.0 + w.du_dx;
    subset.bx = w.du_dy;
    subset.ay = w.dv_dx;
    subset.by = 1.0 + w.dv_dy;
    subset.half = half_;
    sample_warped_subset(coefficients, ref_.kind, subset, out, nullptr);
}

SubsetSolution SubsetSolver::solve(const Warp& start) {
    SubsetSolution out;
    Warp w = start;
    out.warp = w;
    if (touches_bad_pixels(w)) {
        out.status = GuidedStatus::kBadPixels;
        return out;
    }
    double last_ssr = 0.0;
    bool converged = false;
    for (int it = 0; it < max_iterations_; ++it) {
        if (!inside(w)) break;
        sample(def_.coefficients, w, g_.data());
        const double gm = lane_dot(weight_.data(), g_.data(), n_) / count_;
        // Zero-mean deformed subset (specimen pixels only), its energy and the cross term.
        double* g = g_.data();
        const double* wt = weight_.data();
        for (int k = 0; k < n_; ++k) g[k] = wt[k] * (g[k] - gm);
        double gss, cross;
        lane_energy_cross(g, f0_.data(), n_, gss, cross);
        if (!(gss > 0.0)) break;
        const double dg = std::sqrt(gss);
        const double scale = df_ / dg;
        const double* const sd[6] = {sd_[0].data(), sd_[1].data(), sd_[2].data(),
                                     sd_[3].data(), sd_[4].data(), sd_[5].data()};
        double b[6], ssr;
        lane_residual_sums(f0_.data(), g, scale, sd, n_, b, ssr);
        out.zncc = std::max(-1.0, std::min(1.0, cross / (df_ * dg)));
        last_ssr = ssr;
        double dp[6];
        for (int p = 0; p < 6; ++p) {
            double s = 0.0;
            for (int q = 0; q < 6; ++q) s -= hinv_[p][q] * b[q];
            dp[p] = s;
        }
        if (!compose_inverse(w, dp)) break;
        out.iterations = it + 1;
        double move = 0.0;
        for (int sy = -1; sy <= 1; sy += 2)
            for (int sx = -1; sx <= 1; sx += 2) {
                const double dx = sx * half_, dy = sy * half_;
                const double mu = dp[0] + dp[1] * dx + dp[2] * dy;
                const double mv = dp[3] + dp[4] * dx + dp[5] * dy;
                move = std::max(move, mu * mu + mv * mv);
            }
        if (!std::isfinite(move)) break;
        if (move < threshold_ * threshold_) {
            converged = true;
            break;
        }
    }
    out.warp = w;
    if (!converged) {
        out.status = GuidedStatus::kNotConverged;
        return out;
    }
    if (touches_bad_pixels(w)) {
        out.status = GuidedStatus::kBadPixels;
        return out;
    }
    // Uncertainty on the raw grey levels: with a prefilter the correlated residual would
    // understate the noise, so sample the raw frame once more at the final warp.
    double ssr = last_ssr;
    if (!raw_f0_.empty() && inside(w)) {
        sample(def_.raw, w, raw_g_.data());
        double gsum = 0.0;
        for (int k = 0; k < n_; ++k) gsum += weight_[k] * raw_g_[k];
        const double gm = gsum / count_;
        double gss = 0.0;
        for (int k = 0; k < n_; ++k) {
            raw_g_[k] = weight_[k] * (raw_g_[k] - gm);
            gss += raw_g_[k] * raw_g_[k];
        }
        const double scale = gss > 0.0 ? raw_df_ / std::sqrt(gss) : 0.0;
        ssr = 0.0;
        for (int k = 0; k < n_; ++k) {
            const double r = raw_f0_[k] - scale * raw_g_[k];
            ssr += r * r;
        }
    }
    const double s2 = count_ > 6.0 ? ssr / (count_ - 6.0) : 0.0;
    out.sigma_u = std::sqrt(s2 * noise_u_);
    out.sigma_v = std::sqrt(s2 * noise_v_);
    out.status = GuidedStatus::kConverged;
    return out;
}

double SubsetSolver::integer_zncc(int u, int v) const {
    const int c0 = cx_ - half_ + u, r0 = cy_ - half_ + v;
    if (c0 < 0 || r0 < 0 || c0 + side_ > def_.cols || r0 + side_ > def_.rows) return -2.0;
    double sum = 0.0;
    for (int i = 0; i < side_; ++i) {
        const double* g = def_.clean.ptr<double>(r0 + i) + c0;
        const double* m = weight_.data() + i * side_;
        for (int j = 0; j < side_; ++j) sum += m[j] * g[j];
    }
    const double gm = sum / count_;
    double gss = 0.0, cross = 0.0;
    for (int i = 0; i < side_; ++i) {
        const double* g = def_.clean.ptr<double>(r0 + i) + c0;
        const double* m = weight_.data() + i * side_;
        const double* f = f0_.data() + i * side_;
        for (int j = 0; j < side_; ++j) {
            const double d = m[j] * (g[j] - gm);
            gss += d * d;
            cross += f[j] * d;
        }
    }
    if (!(gss > 0.0)) return 0.0;
    return cross / (df_ * std::sqrt(gss));
}

}  // namespace morvex::dic::detail
