#include "guided/solve/subset_solver.h"

#include "guided/reference/crack_barrier.h"
#include "guided/reference/subset_hessian.h"
#include "guided/solve/lane_sums.h"
#include "image/sampling/bspline_sampler.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Dense>

namespace morvex::dic::detail {

namespace {

// Backtracking of the second-order solver: a residual above kBacktrackSlack times the last
// accepted one halves the step, at most kMaxHalvings times in a row. The slack is what noise
// alone does near the minimum: with none (only rounding), a 29 px subset on a noisy star
// halved steps that were already converging and took 4.1 iterations instead of 3.4, with the
// same field, noise and resolution; a step that wanders off to a false bend raises the
// residual by far more.
constexpr double kBacktrackSlack = 1.0 + 1e-3;
constexpr int kMaxHalvings = 6;

// px: a subset the image's edge cuts off keeps the pixels the warp puts this far inside the
// outermost pixel centres. Closer, the interpolant leans on its mirrored border: kept from
// the outermost centres on, the top rows of an opened plate read up to 0.029 px off, from
// half a pixel inside at most 0.014, as far from the edge. The solve then moves the subset by
// a fraction of a pixel, and each kept pixel must still end on the image (within half a
// pixel of those centres).
constexpr double kViewMargin = 0.5;
// Least share of its specimen pixels a subset cut off by the edge keeps: what the guide
// leaves in view (kLeftViewShare) less the margin's row and column.
constexpr double kLeastInView = 1.0 - 2.0 * kLeftViewShare;

// Replaced non-finite pixels disturb the coefficients around them for a few pixels (the
// quintic prefilter's slow pole decays as 0.43^k): subsets this close count as touching them.
constexpr int kBadPixelReach = 4;

}  // namespace

SubsetSolver::SubsetSolver(const ReferenceImage::Data& reference, const DeformedFrame& deformed,
                           int max_iterations, double convergence_threshold)
    : ref_(reference),
      def_(deformed),
      max_iterations_(max_iterations),
      threshold_(convergence_threshold),
      half_(reference.half),
      side_(2 * reference.half + 1),
      n_(side_ * side_),
      params_(reference.params),
      quadratic_(reference.params == 12) {
    weight_.resize(n_);
    f0_.resize(n_);
    g_.resize(n_);
    if (!deformed.raw.padded.empty()) {
        raw_f0_.resize(n_);
        raw_g_.resize(n_);
    }
    for (int p = 0; p < params_; ++p) sd_[p].resize(n_);
}

bool SubsetSolver::prepare(int index) {
    const int gr = index / ref_.grid_cols(), gc = index % ref_.grid_cols();
    index_ = index;
    cx_ = ref_.grid_x[gc];
    cy_ = ref_.grid_y[gr];
    // The inverse Hessian depends on the reference alone: stored per point when it fits.
    const int np = params_;
    if (!ref_.hessian_inverse.empty()) {
        if (!ref_.textured[index]) return false;
        const double* stored =
            ref_.hessian_inverse.data() + static_cast<std::size_t>(index) * np * np;
        for (int a = 0; a < np; ++a)
            for (int b = 0; b < np; ++b) hinv_[a][b] = stored[a * np + b];
        const double* noise = ref_.noise_factors.data() + 4 * static_cast<std::size_t>(index);
        for (int k = 0; k < 4; ++k) noise_[k] = noise[k];
    } else {
        double inv[144], noise[4];
        if (!subset_hessian_inverse(ref_, index, inv, noise)) return false;
        for (int a = 0; a < np; ++a)
            for (int b = 0; b < np; ++b) hinv_[a][b] = inv[a * np + b];
        for (int k = 0; k < 4; ++k) noise_[k] = noise[k];
    }
    restricted_ = viewed_ = false;
    const bool masked = !ref_.full_subset[index];
    for (int i = 0; i < side_; ++i) {
        double* w = weight_.data() + i * side_;
        if (masked) {
            const std::uint8_t* m = subset_mask_row(ref_, index, i - half_);
            for (int j = 0; j < side_; ++j) w[j] = m[j] ? 1.0 : 0.0;
        } else {
            for (int j = 0; j < side_; ++j) w[j] = 1.0;
        }
    }
    centre_grey_levels(masked);
    whole_count_ = count_;
    prepare_descent();
    return df_ > 0.0;
}

void SubsetSolver::centre_grey_levels(bool masked) {
    for (int i = 0; i < side_; ++i) {
        const int r = cy_ - half_ + i;
        const double* w = weight_.data() + i * side_;
        double* f0 = f0_.data() + i * side_;
        const double* f = ref_.correlated.ptr<double>(r) + (cx_ - half_);
        for (int j = 0; j < side_; ++j) f0[j] = w[j] * f[j];
    }
    const double count =
        masked ? lane_dot(weight_.data(), weight_.data(), n_) : static_cast<double>(n_);
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
}

bool SubsetSolver::restrict_to(const std::uint8_t* part, bool affine) {
    restricted_ = true;
    for (int k = 0; k < n_; ++k)
        if (!part[k]) weight_[k] = 0.0;
    centre_grey_levels(true);
    if (!(count_ > 0.0) || !(df_ > 0.0)) return false;
    prepare_descent();
    // The Hessian of the chosen parameters alone; the others get no update (zero rows).
    const int basis_count = params_ / 2;
    int chosen[6];
    int m = 0;
    for (int b = 0; b < (affine ? 3 : 1); ++b) {
        chosen[m++] = b;
        chosen[m++] = basis_count + b;
    }
    Eigen::MatrixXd h(m, m);
    for (int a = 0; a < m; ++a)
        for (int b = 0; b <= a; ++b)
            h(a, b) = h(b, a) = lane_dot(sd_[chosen[a]].data(), sd_[chosen[b]].data(), n_);
    const Eigen::LLT<Eigen::MatrixXd> llt(h);
    if (llt.info() != Eigen::Success) return false;
    const Eigen::MatrixXd inv = llt.solve(Eigen::MatrixXd::Identity(m, m));
    if (!inv.allFinite()) return false;
    for (auto& row : hinv_)
        for (double& x : row) x = 0.0;
    for (int a = 0; a < m; ++a)
        for (int b = 0; b < m; ++b) hinv_[chosen[a]][chosen[b]] = inv(a, b);
    return true;
}

bool SubsetSolver::residual(const Warp& w, double* out) const {
    if (!readable(w)) return false;
    sample(def_.coefficients, w, out);
    const double gm = lane_dot(weight_.data(), out, n_) / count_;
    double gss = 0.0;
    for (int k = 0; k < n_; ++k) {
        out[k] = weight_[k] * (out[k] - gm);
        gss += out[k] * out[k];
    }
    if (!(gss > 0.0)) return false;
    const double scale = df_ / std::sqrt(gss);
    for (int k = 0; k < n_; ++k) out[k] = f0_[k] - scale * out[k];
    return true;
}

void SubsetSolver::prepare_descent() {
    // Steepest-descent images (zero off the specimen): the gradients times each basis
    // function, u's block first, then v's.
    const int basis_count = params_ / 2;
    for (int i = 0; i < side_; ++i) {
        const int r = cy_ - half_ + i;
        const double dy = i - half_;
        const double* gx = ref_.grad_x.ptr<double>(r) + (cx_ - half_);
        const double* gy = ref_.grad_y.ptr<double>(r) + (cx_ - half_);
        const double* w = weight_.data() + i * side_;
        for (int j = 0; j < side_; ++j) {
            const double dx = j - half_;
            const double basis[6] = {1.0, dx, dy, 0.5 * dx * dx, dx * dy, 0.5 * dy * dy};
            const double fx = w[j] * gx[j], fy = w[j] * gy[j];
            const int k = i * side_ + j;
            for (int b = 0; b < basis_count; ++b) {
                sd_[b][k] = fx * basis[b];
                sd_[basis_count + b][k] = fy * basis[b];
            }
        }
    }
}

void SubsetSolver::curved_bounds(const Warp& w, double& x0, double& x1, double& y0,
                                 double& y1) const {
    // Along each row a position is a parabola in dx: its extremes are at the row's ends or
    // at its vertex. Every row is visited, so no pixel of the subset can fall outside the box.
    x0 = y0 = 1e300;
    x1 = y1 = -1e300;
    const double h = half_;
    for (int i = 0; i < side_; ++i) {
        const double dy = i - half_;
        const double ax = cx_ + w.u + w.du_dy * dy + 0.5 * w.du_dyy * dy * dy;
        const double bx = 1.0 + w.du_dx + w.du_dxy * dy, qx = 0.5 * w.du_dxx;
        const double ay = cy_ + dy + w.v + w.dv_dy * dy + 0.5 * w.dv_dyy * dy * dy;
        const double by = w.dv_dx + w.dv_dxy * dy, qy = 0.5 * w.dv_dxx;
        const auto extend = [h](double a, double b, double q, double& lo, double& hi) {
            const auto at = [&](double dx) { return a + b * dx + q * dx * dx; };
            double candidates[3] = {at(-h), at(h), at(-h)};
            if (q != 0.0) {
                const double vertex = -b / (2.0 * q);
                if (vertex > -h && vertex < h) candidates[2] = at(vertex);
            }
            for (const double c : candidates) {
                // NaN positions poison the box so that the caller's tests fail.
                if (!(c == c)) {
                    lo = hi = c;
                    return false;
                }
                lo = std::min(lo, c);
                hi = std::max(hi, c);
            }
            return true;
        };
        if (!extend(ax, bx, qx, x0, x1) || !extend(ay, by, qy, y0, y1)) {
            x0 = x1 = y0 = y1 = std::numeric_limits<double>::quiet_NaN();
            return;
        }
    }
}

bool SubsetSolver::inside(const Warp& w, double margin) const {
    const double lo = -margin, hi_x = def_.cols - 1.0 + margin, hi_y = def_.rows - 1.0 + margin;
    if (quadratic_) {
        double x0, x1, y0, y1;
        curved_bounds(w, x0, x1, y0, y1);
        return x0 >= lo && x1 <= hi_x && y0 >= lo && y1 <= hi_y;
    }
    for (const int k : {0, side_ - 1, n_ - side_, n_ - 1}) {
        double x, y;
        position(w, k, x, y);
        if (!(x >= lo && x <= hi_x && y >= lo && y <= hi_y)) return false;
    }
    return true;
}

bool SubsetSolver::readable(const Warp& w) const {
    // Cut off by the edge, the subset may reach past it as far as the coefficient image's
    // border holds taps: its pixels out there weigh nothing.
    return inside(w, viewed_ ? def_.slack : 0.5);
}

void SubsetSolver::position(const Warp& w, int k, double& x, double& y) const {
    const double dx = k % side_ - half_, dy = k / side_ - half_;
    x = cx_ + dx + w.u + w.du_dx * dx + w.du_dy * dy;
    y = cy_ + dy + w.v + w.dv_dx * dx + w.dv_dy * dy;
    if (quadratic_) {
        x += 0.5 * w.du_dxx * dx * dx + w.du_dxy * dx * dy + 0.5 * w.du_dyy * dy * dy;
        y += 0.5 * w.dv_dxx * dx * dx + w.dv_dxy * dx * dy + 0.5 * w.dv_dyy * dy * dy;
    }
}

bool SubsetSolver::restrict_to_view(const Warp& w) {
    if (!inside(w, def_.slack)) return false;
    const double lo = kViewMargin, hi_x = def_.cols - 1.0 - kViewMargin,
                 hi_y = def_.rows - 1.0 - kViewMargin;
    // Rare (edge points only): a buffer of its own rather than a member kept for it.
    std::vector<std::uint8_t> view(static_cast<std::size_t>(n_));
    double kept = 0.0;
    for (int k = 0; k < n_; ++k) {
        double x, y;
        position(w, k, x, y);
        view[k] = weight_[k] != 0.0 && x >= lo && x <= hi_x && y >= lo && y <= hi_y;
        kept += view[k];
    }
    if (!(kept < count_) || kept < kLeastInView * whole_count_) return false;
    for (int k = 0; k < n_; ++k)
        if (!view[k]) weight_[k] = 0.0;
    centre_grey_levels(true);
    double inv[144], noise[4];
    if (!(df_ > 0.0) || !subset_hessian_inverse(ref_, index_, inv, noise, nullptr, view.data())) {
        // What is left inside is flat: the whole subset again, which the edge stops.
        prepare(index_);
        restricted_ = true;
        return false;
    }
    prepare_descent();
    const int np = params_;
    for (int a = 0; a < np; ++a)
        for (int b = 0; b < np; ++b) hinv_[a][b] = inv[a * np + b];
    for (int k = 0; k < 4; ++k) noise_[k] = noise[k];
    viewed_ = true;
    return true;
}

bool SubsetSolver::kept_in_view(const Warp& w) const {
    for (int k = 0; k < n_; ++k) {
        if (weight_[k] == 0.0) continue;
        double x, y;
        position(w, k, x, y);
        if (!(x >= -0.5 && x <= def_.cols - 0.5 && y >= -0.5 && y <= def_.rows - 0.5)) return false;
    }
    return true;
}

bool SubsetSolver::touches_bad_pixels(const Warp& w) const {
    if (def_.bad_sum.empty()) return false;
    double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
    if (quadratic_) {
        curved_bounds(w, x0, x1, y0, y1);
    } else {
        for (const int k : {0, side_ - 1, n_ - side_, n_ - 1}) {
            double x, y;
            position(w, k, x, y);
            x0 = std::min(x0, x);
            x1 = std::max(x1, x);
            y0 = std::min(y0, y);
            y1 = std::max(y1, y);
        }
    }
    // A box wholly outside the image covers no pixel (the solver's bounds check rejects such
    // a warp next); without this test its clipped corners cross over and index the sums
    // before row or column 0. Clipping in floating point first keeps a wild warp's corners
    // from overflowing the conversion to int; corners that are all NaN leave the box empty.
    const double reach = kBadPixelReach;
    if (!(x1 + reach >= 0.0 && y1 + reach >= 0.0 && x0 - reach <= def_.cols - 1.0 &&
          y0 - reach <= def_.rows - 1.0))
        return false;
    const int c0 = static_cast<int>(std::max(0.0, std::floor(x0) - reach));
    const int c1 = static_cast<int>(std::min(def_.cols - 1.0, std::ceil(x1) + reach));
    const int r0 = static_cast<int>(std::max(0.0, std::floor(y0) - reach));
    const int r1 = static_cast<int>(std::min(def_.rows - 1.0, std::ceil(y1) + reach));
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
    if (quadratic_) {
        SubsetCurvature curve;
        curve.x_xx = 0.5 * w.du_dxx;
        curve.x_xy = w.du_dxy;
        curve.x_yy = 0.5 * w.du_dyy;
        curve.y_xx = 0.5 * w.dv_dxx;
        curve.y_xy = w.dv_dxy;
        curve.y_yy = 0.5 * w.dv_dyy;
        sample_curved_subset(coefficients, ref_.kind, subset, curve, out);
        return;
    }
    sample_warped_subset(coefficients, ref_.kind, subset, out, nullptr);
}

SubsetSolution SubsetSolver::solve(const Warp& start) {
    bool left = false;
    SubsetSolution out = solve_from(start, left);
    // A subset the image's edge cuts off: matched again on the pixels the warp that left it
    // kept inside, when they are enough. A side of a cut subset is not.
    if (left && !restricted_ && restrict_to_view(out.warp)) out = solve_from(start, left);
    return out;
}

SubsetSolution SubsetSolver::solve_from(const Warp& start, bool& left) {
    left = false;
    SubsetSolution out;
    Warp w = start;
    out.warp = w;
    if (touches_bad_pixels(w)) {
        out.status = GuidedStatus::kBadPixels;
        return out;
    }
    double last_ssr = 0.0;
    bool converged = false;
    // Second order only: a step that raised the residual is taken back and halved. Twelve
    // parameters let a noisy subset trade its outline for a better-looking bend, and plain
    // Gauss-Newton can wander off to such a bend far from its start.
    Warp before_step = w;
    double step[12] = {};
    double best_ssr = std::numeric_limits<double>::infinity();
    int halvings = 0;
    // A start whose subset centre wanders more than half a subset from it is given up at once:
    // no start is judged from that far, the solve is chasing noise or another speckle. (A stop
    // on a residual and step that no longer fall lost valid points of noisy subsets that settle
    // slowly.)
    const double wander = half_;
    for (int it = 0; it < max_iterations_; ++it) {
        if (!readable(w)) {
            left = true;
            break;
        }
        if (!(std::fabs(w.u - start.u) <= wander && std::fabs(w.v - start.v) <= wander)) break;
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
        double b[12], ssr;
        lane_residual_sums(f0_.data(), g, scale, sd, n_, b, ssr);
        if (quadratic_) {
            const double* const sd2[6] = {sd_[6].data(), sd_[7].data(),  sd_[8].data(),
                                          sd_[9].data(), sd_[10].data(), sd_[11].data()};
            double unused;
            lane_residual_sums(f0_.data(), g, scale, sd2, n_, b + 6, unused);
        }
        if (quadratic_ && ssr > kBacktrackSlack * best_ssr && halvings < kMaxHalvings) {
            ++halvings;
            for (double& p : step) p *= 0.5;
            w = before_step;
            if (!compose_inverse_quadratic(w, step)) break;
            out.iterations = it + 1;
            // Near the minimum noise alone can raise the residual: a halved step that moves
            // no corner by the threshold ends the iteration as any small step does.
            const double h = half_;
            const double corner_u =
                std::fabs(step[0]) + (std::fabs(step[1]) + std::fabs(step[2])) * h +
                (0.5 * std::fabs(step[3]) + std::fabs(step[4]) + 0.5 * std::fabs(step[5])) * h * h;
            const double corner_v =
                std::fabs(step[6]) + (std::fabs(step[7]) + std::fabs(step[8])) * h +
                (0.5 * std::fabs(step[9]) + std::fabs(step[10]) + 0.5 * std::fabs(step[11])) * h *
                    h;
            if (corner_u * corner_u + corner_v * corner_v < threshold_ * threshold_) {
                converged = true;
                break;
            }
            continue;
        }
        halvings = 0;
        out.zncc = std::max(-1.0, std::min(1.0, cross / (df_ * dg)));
        last_ssr = ssr;
        double dp[12];
        for (int p = 0; p < params_; ++p) {
            double s = 0.0;
            for (int q = 0; q < params_; ++q) s -= hinv_[p][q] * b[q];
            dp[p] = s;
        }
        if (quadratic_) {
            best_ssr = ssr;
            before_step = w;
            std::copy(dp, dp + 12, step);
        }
        if (quadratic_ ? !compose_inverse_quadratic(w, dp) : !compose_inverse(w, dp)) break;
        out.iterations = it + 1;
        double move = 0.0;
        for (int sy = -1; sy <= 1; sy += 2)
            for (int sx = -1; sx <= 1; sx += 2) {
                const double dx = sx * half_, dy = sy * half_;
                double mu, mv;
                if (quadratic_) {
                    mu = dp[0] + dp[1] * dx + dp[2] * dy + 0.5 * dp[3] * dx * dx + dp[4] * dx * dy +
                         0.5 * dp[5] * dy * dy;
                    mv = dp[6] + dp[7] * dx + dp[8] * dy + 0.5 * dp[9] * dx * dx +
                         dp[10] * dx * dy + 0.5 * dp[11] * dy * dy;
                } else {
                    mu = dp[0] + dp[1] * dx + dp[2] * dy;
                    mv = dp[3] + dp[4] * dx + dp[5] * dy;
                }
                move = std::max(move, mu * mu + mv * mv);
            }
        if (!std::isfinite(move)) break;
        if (move < threshold_ * threshold_) {
            converged = true;
            break;
        }
    }
    out.warp = w;
    // Cut off by the edge, the pixels kept must still lie on the image where it ended.
    if (converged && viewed_ && !kept_in_view(w)) {
        converged = false;
        left = true;
    }
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
    if (!raw_f0_.empty() && readable(w)) {
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
    // Residual degrees of freedom: one per fitted parameter.
    const double dof = static_cast<double>(params_);
    const double s2 = count_ > dof ? ssr / (count_ - dof) : 0.0;
    // The residual holds both images' noise; the reference's share is its read noise.
    const double s2_ref = std::min(s2, ref_.reference_noise * ref_.reference_noise);
    out.sigma_u = std::sqrt(s2_ref * noise_[2] + (s2 - s2_ref) * noise_[0]);
    out.sigma_v = std::sqrt(s2_ref * noise_[3] + (s2 - s2_ref) * noise_[1]);
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
