#include "guided/subset_solver.h"

#include "guided/lane_sums.h"
#include "image/sampling/bspline_sampler.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include <Eigen/Dense>

namespace morvex::dic::detail {

namespace {

// Cholesky of the 6 x 6 Hessian and its inverse. A pivot below kPivotFloor of its diagonal
// entry means the subset constrains that parameter (nearly) not at all: flat or 1-D texture.
constexpr double kPivotFloor = 1e-12;

template <int N>
bool invert_spd(const double a[N][N], double inv[N][N]) {
    double l[N][N] = {};
    for (int j = 0; j < N; ++j) {
        double d = a[j][j];
        for (int k = 0; k < j; ++k) d -= l[j][k] * l[j][k];
        if (!(d > kPivotFloor * a[j][j]) || !(d > 0.0)) return false;
        l[j][j] = std::sqrt(d);
        for (int i = j + 1; i < N; ++i) {
            double s = a[i][j];
            for (int k = 0; k < j; ++k) s -= l[i][k] * l[j][k];
            l[i][j] = s / l[j][j];
        }
    }
    // inv = L^-T L^-1, column by column.
    for (int col = 0; col < N; ++col) {
        double y[N];
        for (int i = 0; i < N; ++i) {
            double s = i == col ? 1.0 : 0.0;
            for (int k = 0; k < i; ++k) s -= l[i][k] * y[k];
            y[i] = s / l[i][i];
        }
        for (int i = N - 1; i >= 0; --i) {
            double s = y[i];
            for (int k = i + 1; k < N; ++k) s -= l[k][i] * inv[k][col];
            inv[i][col] = s / l[i][i];
        }
    }
    return true;
}

// Backtracking of the second-order solver: a residual above kBacktrackSlack times the last
// accepted one halves the step, at most kMaxHalvings times in a row. The slack is what noise
// alone does near the minimum: with none (only rounding), a 29 px subset on a noisy star
// halved steps that were already converging and took 4.1 iterations instead of 3.4, with the
// same field, noise and resolution; a step that wanders off to a false bend raises the
// residual by far more.
constexpr double kBacktrackSlack = 1.0 + 1e-3;
constexpr int kMaxHalvings = 6;

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

namespace {

// Matrix of a second-order warp on the monomials (x^2, xy, y^2, x, y, 1): rows 3 and 4 are
// the mapped x and y, rows 0 to 2 their products truncated to second order (the truncation
// keeps the set closed under composition).
using Poly = std::array<double, 6>;  // coefficients of x^2, xy, y^2, x, y, 1

Poly truncated_product(const Poly& a, const Poly& b) {
    return {a[3] * b[3] + a[5] * b[0] + a[0] * b[5],
            a[3] * b[4] + a[4] * b[3] + a[5] * b[1] + a[1] * b[5],
            a[4] * b[4] + a[5] * b[2] + a[2] * b[5],
            a[5] * b[3] + a[3] * b[5],
            a[5] * b[4] + a[4] * b[5],
            a[5] * b[5]};
}

Eigen::Matrix<double, 6, 6> warp_matrix(const Poly& x, const Poly& y) {
    const Poly rows[6] = {truncated_product(x, x), truncated_product(x, y),
                          truncated_product(y, y), x, y, {0.0, 0.0, 0.0, 0.0, 0.0, 1.0}};
    Eigen::Matrix<double, 6, 6> m;
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) m(r, c) = rows[r][static_cast<std::size_t>(c)];
    return m;
}

Poly x_poly(const Warp& w) {
    return {0.5 * w.du_dxx, w.du_dxy, 0.5 * w.du_dyy, 1.0 + w.du_dx, w.du_dy, w.u};
}
Poly y_poly(const Warp& w) {
    return {0.5 * w.dv_dxx, w.dv_dxy, 0.5 * w.dv_dyy, w.dv_dx, 1.0 + w.dv_dy, w.v};
}

}  // namespace

bool compose_inverse_quadratic(Warp& w, const double dp[12]) {
    const Poly dx = {0.5 * dp[3], dp[4], 0.5 * dp[5], 1.0 + dp[1], dp[2], dp[0]};
    const Poly dy = {0.5 * dp[9], dp[10], 0.5 * dp[11], dp[7], 1.0 + dp[8], dp[6]};
    const Eigen::Matrix<double, 6, 6> increment = warp_matrix(dx, dy);
    // Partial-pivot LU: the increment is near the identity, so it is far from singular
    // unless the update itself is wild, which the determinant catches.
    const Eigen::PartialPivLU<Eigen::Matrix<double, 6, 6>> lu(increment);
    if (!(std::fabs(lu.determinant()) > 1e-12)) return false;
    const Eigen::Matrix<double, 6, 6> m = warp_matrix(x_poly(w), y_poly(w)) * lu.inverse();
    if (!m.allFinite()) return false;
    w.du_dxx = 2.0 * m(3, 0);
    w.du_dxy = m(3, 1);
    w.du_dyy = 2.0 * m(3, 2);
    w.du_dx = m(3, 3) - 1.0;
    w.du_dy = m(3, 4);
    w.u = m(3, 5);
    w.dv_dxx = 2.0 * m(4, 0);
    w.dv_dxy = m(4, 1);
    w.dv_dyy = 2.0 * m(4, 2);
    w.dv_dx = m(4, 3);
    w.dv_dy = m(4, 4) - 1.0;
    w.v = m(4, 5);
    return true;
}

double warp_jump(const Warp& a, const Warp& b, int half, bool quadratic) {
    double jump = std::max(std::fabs(a.u - b.u), std::fabs(a.v - b.v));
    if (!quadratic) return jump;
    // The difference of two quadratics over the square: its extremes lie on the edges or at
    // interior vertices; sampling every pixel of the outline and the centre cross is enough
    // at subset scale (the curvature between pixels is far below a pixel's worth).
    for (int dy = -half; dy <= half; ++dy)
        for (int dx = -half; dx <= half; dx += (dy == -half || dy == half || dy == 0) ? 1 : half) {
            const Warp da = recentre(a, dx, dy, true), db = recentre(b, dx, dy, true);
            jump = std::max({jump, std::fabs(da.u - db.u), std::fabs(da.v - db.v)});
        }
    return jump;
}

Warp recentre(Warp w, double dx, double dy, bool quadratic) {
    if (!quadratic) {
        w.u += w.du_dx * dx + w.du_dy * dy;
        w.v += w.dv_dx * dx + w.dv_dy * dy;
        return w;
    }
    w.u += w.du_dx * dx + w.du_dy * dy +
           0.5 * w.du_dxx * dx * dx + w.du_dxy * dx * dy + 0.5 * w.du_dyy * dy * dy;
    w.v += w.dv_dx * dx + w.dv_dy * dy +
           0.5 * w.dv_dxx * dx * dx + w.dv_dxy * dx * dy + 0.5 * w.dv_dyy * dy * dy;
    w.du_dx += w.du_dxx * dx + w.du_dxy * dy;
    w.du_dy += w.du_dxy * dx + w.du_dyy * dy;
    w.dv_dx += w.dv_dxx * dx + w.dv_dxy * dy;
    w.dv_dy += w.dv_dxy * dx + w.dv_dyy * dy;
    return w;
}

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

namespace {

// Gauss-Newton normal matrix sum J J^T of grid point `index`, 2 Basis x 2 Basis in the order
// u, its basis terms, v, its basis terms, with the steepest-descent images built from the
// gradient images gx_image, gy_image on the specimen pixels; `energy` is the sum of squared
// gradients, `count` the pixels used. Basis 3: first order (1, dx, dy); Basis 6: second order
// (1, dx, dy, dx^2 / 2, dx dy, dy^2 / 2). Every entry is a moment sum P dx^a dy^b of one of the
// three gradient products P (gx^2, gx gy, gy^2), gathered from per-row sums. Unit: every
// product 1 (the images unread), the geometry of the subset's specimen pixels alone.
template <int Basis, bool Unit = false>
void normal_matrix(const ReferenceImage::Data& ref, int index, const cv::Mat& gx_image,
                   const cv::Mat& gy_image, double out[2 * Basis][2 * Basis], double& energy,
                   double& count) {
    constexpr int kPowers = Basis == 6 ? 5 : 3;  // dx^a dy^b with a + b < kPowers
    const int gr = index / ref.grid_cols(), gc = index % ref.grid_cols();
    const int cx = ref.grid_x[gc], cy = ref.grid_y[gr], h = ref.half;
    const bool masked = !ref.specimen.empty() && !ref.full_subset[index];
    double mom[3][kPowers][kPowers] = {};  // [product][power of dx][power of dy]
    energy = 0.0;
    count = 0.0;
    for (int dy = -h; dy <= h; ++dy) {
        const double* gx = gx_image.ptr<double>(cy + dy) + cx;
        const double* gy = gy_image.ptr<double>(cy + dy) + cx;
        const std::uint8_t* m = masked ? ref.specimen.ptr<std::uint8_t>(cy + dy) + cx : nullptr;
        double row[3][kPowers] = {};
        for (int dx = -h; dx <= h; ++dx) {
            if (m && !m[dx]) continue;
            double term[3] = {1.0, 1.0, 1.0};
            if (!Unit) {
                term[0] = gx[dx] * gx[dx];
                term[1] = gx[dx] * gy[dx];
                term[2] = gy[dx] * gy[dx];
            }
            for (int a = 0; a < kPowers; ++a)
                for (int k = 0; k < 3; ++k) {
                    row[k][a] += term[k];
                    term[k] *= dx;
                }
            count += 1.0;
        }
        double power = 1.0;
        for (int b = 0; b < kPowers; ++b) {
            for (int a = 0; a + b < kPowers; ++a)
                for (int k = 0; k < 3; ++k) mom[k][a][b] += power * row[k][a];
            power *= dy;
        }
        energy += row[0][0] + row[2][0];
    }
    static constexpr int kPowerX[6] = {0, 1, 0, 2, 1, 0};
    static constexpr int kPowerY[6] = {0, 0, 1, 0, 1, 2};
    static constexpr double kFactor[6] = {1.0, 1.0, 1.0, 0.5, 1.0, 0.5};
    for (int a = 0; a < 2 * Basis; ++a)
        for (int b = 0; b < 2 * Basis; ++b) {
            const int product = (a < Basis && b < Basis) ? 0 : (a >= Basis && b >= Basis) ? 2 : 1;
            const int i = a % Basis, j = b % Basis;
            const double moment = mom[product][kPowerX[i] + kPowerX[j]][kPowerY[i] + kPowerY[j]];
            out[a][b] = Basis == 3 ? moment : kFactor[i] * kFactor[j] * moment;
        }
}

// s^2 H^-1 M H^-1 for the u and v entries (rows `pu`, `pv` of the inverse).
template <int N>
void filtered_noise(const double inv[N][N], const double m[N][N], int pu, int pv, double* noise) {
    for (int k = 0; k < 2; ++k) {
        const int p = k == 0 ? pu : pv;
        double t[N];
        for (int b = 0; b < N; ++b) {
            t[b] = 0.0;
            for (int a = 0; a < N; ++a) t[b] += inv[p][a] * m[a][b];
        }
        double v = 0.0;
        for (int b = 0; b < N; ++b) v += t[b] * inv[b][p];
        noise[k] = v;
    }
}

// The (u, u), (v, v) and (u, v) entries of inv M inv (M = null: of inv itself).
template <int N>
void uv_block(const double inv[N][N], const double (*m)[N], int pv, double out[3]) {
    const int rows[2] = {0, pv};
    double t[2][N];
    for (int k = 0; k < 2; ++k)
        for (int b = 0; b < N; ++b) {
            if (!m) {
                t[k][b] = inv[rows[k]][b];
                continue;
            }
            t[k][b] = 0.0;
            for (int a = 0; a < N; ++a) t[k][b] += inv[rows[k]][a] * m[a][b];
        }
    const auto dot = [&](int k, int p) {
        if (!m) return t[k][p];
        double v = 0.0;
        for (int b = 0; b < N; ++b) v += t[k][b] * inv[b][p];
        return v;
    };
    out[0] = dot(0, 0);
    out[1] = dot(1, pv);
    out[2] = dot(0, pv);
}

// Standard deviation along the weakest direction of the (u, v) covariance
// s^2 (C_def + C_ref), both images carrying the reference's read noise s: the larger
// eigenvalue of a 2 x 2 block, px.
double weakest_sigma(const double def[3], const double ref[3], double noise) {
    const double a = def[0] + ref[0], b = def[1] + ref[1], c = def[2] + ref[2];
    const double largest = 0.5 * (a + b) + std::sqrt(0.25 * (a - b) * (a - b) + c * c);
    return noise * std::sqrt(std::max(0.0, largest));
}

// The most of a Hessian taken as the reference's noise in any one direction. A subset's
// noise share scatters about its expectation (the more, the smaller the subset and the
// higher the basis term); subtracting the expectation in full could leave a direction near
// singular and its sigma far too high (a cap of 0.5 on the trace alone gave 3.5 x the
// scatter at 15 px). With 0.7 per direction, noise of a sixth of the speckle's grey-level
// spread is predicted within 1.00-1.04 x of the scatter at 29 px and 1.21 x at 15 px, and
// a third of it within 1.27-1.34 x and 1.76 x (bench/uncertainty_bench.py).
constexpr double kNoiseShareCap = 0.7;

// The inverse of `matrix` (= L L^T, its Cholesky factor) less what the reference's
// read noise adds to it in expectation: `variance` (that of each gradient component behind
// it, the two uncorrelated) times the subset's geometry `g`, in the u and v blocks alone (u's
// block first, v's from `pv`). In the whitened frame, where the noise's share of the matrix
// is S = variance L^-1 G L^-T, each eigenvalue of S is taken in full up to kNoiseShareCap:
// (M - noise)^-1 = L^-T (I - S_capped)^-1 L^-1.
template <int N>
bool inverse_without_noise(const double matrix[N][N], const double g[N][N], double variance,
                           int pv, double out[N][N]) {
    using Matrix = Eigen::Matrix<double, N, N>;
    Matrix m, blocks;
    for (int a = 0; a < N; ++a)
        for (int b = 0; b < N; ++b) {
            m(a, b) = matrix[a][b];
            blocks(a, b) = (a < pv) == (b < pv) ? g[a][b] : 0.0;
        }
    // Usually no direction reaches the cap (M - noise >= (1 - cap) M, i.e. cap M - noise
    // positive definite): then the plain difference stands, without an eigen-decomposition.
    const Matrix noise = variance * blocks;
    if (Eigen::LLT<Matrix>(kNoiseShareCap * m - noise).info() == Eigen::Success) {
        const Eigen::LLT<Matrix> difference(m - noise);
        if (difference.info() != Eigen::Success) return false;
        const Matrix inverse = difference.solve(Matrix::Identity());
        for (int a = 0; a < N; ++a)
            for (int b = 0; b < N; ++b) out[a][b] = inverse(a, b);
        return true;
    }
    const Eigen::LLT<Matrix> llt(m);
    if (llt.info() != Eigen::Success) return false;
    const Matrix lower_inverse =
        llt.matrixL().solve(Matrix::Identity());  // L^-1
    const Matrix share = variance * lower_inverse * blocks * lower_inverse.transpose();
    const Eigen::SelfAdjointEigenSolver<Matrix> eigen(0.5 * (share + share.transpose()));
    if (eigen.info() != Eigen::Success) return false;
    const Eigen::Matrix<double, N, 1> kept =
        (1.0 - eigen.eigenvalues().array().min(kNoiseShareCap)).inverse();
    const Matrix inverse = lower_inverse.transpose() * eigen.eigenvectors() * kept.asDiagonal() *
                           eigen.eigenvectors().transpose() * lower_inverse;
    for (int a = 0; a < N; ++a)
        for (int b = 0; b < N; ++b) out[a][b] = inverse(a, b);
    return true;
}

// The inverse Hessian of an N-parameter warp (u at 0, v at pv) and the variance factors of u
// and v (`noise`: deformed-image factors of u and v, then reference-image factors).
//
// At convergence p - p_true = H0^-1 sum J (n_ref - n_def), J the steepest-descent images from
// the noisy reference and H0 = sum J J0^T their product with the noise-free ones, that is H
// less the noise's share. The deformed image's noise is independent of J: covariance
// s_def^2 H0^-1 M H0^-1 with M = H. The reference's noise pairs with its own gradients only
// through n^T D n, which vanishes for an antisymmetric derivative filter D: covariance
// s_ref^2 H0^-1 M0 H0^-1 with M0 = H0. Prefiltered, both images' noise goes through the
// filter: M and M0 are built from the gradients filtered once more (M0 without the noise's
// share). The solver splits the raw residual variance s^2 = s_ref^2 + s_def^2 with the
// reference's read noise. A noise-free reference gives s^2 H^-1 (H^-1 M H^-1 prefiltered).
// Only the u and v entries are kept.
template <int N, typename NormalMatrix, typename GeometryMatrix>
bool hessian_inverse(const ReferenceImage::Data& ref, int index, int pv, NormalMatrix normal,
                     GeometryMatrix geometry, double* hinv, double* noise, double* predicted) {
    if (predicted) *predicted = std::numeric_limits<double>::infinity();
    double hm[N][N], energy, count;
    normal(ref, index, ref.grad_x, ref.grad_y, hm, energy, count);
    const double floor = kFlatGradient * ref.grey_range;
    if (!(energy > floor * floor * count)) return false;
    double inv[N][N];
    if (!invert_spd<N>(hm, inv)) return false;
    for (int a = 0; a < N; ++a)
        for (int b = 0; b < N; ++b) hinv[a * N + b] = inv[a][b];
    const bool filtered = !ref.noise_grad_x.empty();
    double m[N][N];
    if (filtered) normal(ref, index, ref.noise_grad_x, ref.noise_grad_y, m, energy, count);
    if (!(ref.gradient_noise > 0.0)) {
        noise[0] = inv[0][0];
        noise[1] = inv[pv][pv];
        if (filtered) filtered_noise<N>(inv, m, 0, pv, noise);
        noise[2] = noise[0];
        noise[3] = noise[1];
        // No read noise to predict from: only a flat subset is known to be unmeasurable.
        if (predicted) *predicted = 0.0;
        return true;
    }
    double g[N][N], inv0[N][N];
    if (!ref.full_geometry.empty() && (ref.specimen.empty() || ref.full_subset[index])) {
        for (int a = 0; a < N; ++a)
            for (int b = 0; b < N; ++b) g[a][b] = ref.full_geometry[static_cast<std::size_t>(a * N + b)];
    } else {
        geometry(ref, index, ref.grad_x, ref.grad_y, g, energy, count);
    }
    // Should the factorisation fail on rounding, the plain Hessian stands.
    const bool clean = inverse_without_noise<N>(hm, g, ref.gradient_noise, pv, inv0);
    const double(*h0_inverse)[N] = clean ? inv0 : inv;
    filtered_noise<N>(h0_inverse, filtered ? m : hm, 0, pv, noise);
    double m0_inverse[N][N], m0[N][N];
    // The full (u, v) blocks as well, for the weakest direction: an edge or a scratch
    // constrains one direction, which neither axis need be.
    double def_block[3] = {}, ref_block[3] = {};
    if (predicted) uv_block<N>(h0_inverse, filtered ? m : hm, pv, def_block);
    if (!filtered) {
        // M0 = H0: s_ref^2 H0^-1.
        noise[2] = h0_inverse[0][0];
        noise[3] = h0_inverse[pv][pv];
        if (predicted) uv_block<N>(h0_inverse, nullptr, pv, ref_block);
    } else if (inverse_without_noise<N>(m, g, ref.filtered_gradient_noise, pv, m0_inverse) &&
               invert_spd<N>(m0_inverse, m0)) {
        // (M0^-1)^-1 = M0: the filtered matrix itself without the noise's share.
        filtered_noise<N>(h0_inverse, m0, 0, pv, noise + 2);
        if (predicted) uv_block<N>(h0_inverse, m0, pv, ref_block);
    } else {
        noise[2] = noise[0];
        noise[3] = noise[1];
        std::copy(def_block, def_block + 3, ref_block);
    }
    if (predicted) *predicted = weakest_sigma(def_block, ref_block, ref.reference_noise);
    return true;
}

}  // namespace

bool subset_hessian_inverse(const ReferenceImage::Data& ref, int index, double* hinv,
                            double* noise, double* predicted_sigma) {
    if (ref.params == 12)
        return hessian_inverse<12>(ref, index, 6, normal_matrix<6>, normal_matrix<6, true>, hinv,
                                   noise, predicted_sigma);
    return hessian_inverse<6>(ref, index, 3, normal_matrix<3>, normal_matrix<3, true>, hinv,
                              noise, predicted_sigma);
}

namespace {

// The geometry sum b b^T of point `index`'s subset (2 Basis parameters), row-major.
template <int Basis>
std::vector<double> subset_geometry(const ReferenceImage::Data& ref, int index) {
    constexpr int N = 2 * Basis;
    double g[N][N], energy, count;
    normal_matrix<Basis, true>(ref, index, ref.grad_x, ref.grad_y, g, energy, count);
    return std::vector<double>(&g[0][0], &g[0][0] + N * N);
}

}  // namespace

void full_subset_geometry(ReferenceImage::Data& ref) {
    ref.full_geometry.clear();
    for (int i = 0; i < ref.points(); ++i) {
        if (!ref.specimen.empty() && !ref.full_subset[static_cast<std::size_t>(i)]) continue;
        ref.full_geometry =
            ref.params == 12 ? subset_geometry<6>(ref, i) : subset_geometry<3>(ref, i);
        return;
    }
}

bool SubsetSolver::prepare(int index) {
    const int gr = index / ref_.grid_cols(), gc = index % ref_.grid_cols();
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
    prepare_descent();
    return ss > 0.0;
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

bool SubsetSolver::inside(const Warp& w) const {
    if (quadratic_) {
        double x0, x1, y0, y1;
        curved_bounds(w, x0, x1, y0, y1);
        return x0 >= -0.5 && x1 <= def_.cols - 0.5 && y0 >= -0.5 && y1 <= def_.rows - 0.5;
    }
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
    if (quadratic_) {
        curved_bounds(w, x0, x1, y0, y1);
    } else {
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
        if (!inside(w)) break;
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
            const double* const sd2[6] = {sd_[6].data(), sd_[7].data(), sd_[8].data(),
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
            const double corner_u = std::fabs(step[0]) + (std::fabs(step[1]) + std::fabs(step[2])) * h +
                                    (0.5 * std::fabs(step[3]) + std::fabs(step[4]) +
                                     0.5 * std::fabs(step[5])) * h * h;
            const double corner_v = std::fabs(step[6]) + (std::fabs(step[7]) + std::fabs(step[8])) * h +
                                    (0.5 * std::fabs(step[9]) + std::fabs(step[10]) +
                                     0.5 * std::fabs(step[11])) * h * h;
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
                    mu = dp[0] + dp[1] * dx + dp[2] * dy +
                         0.5 * dp[3] * dx * dx + dp[4] * dx * dy + 0.5 * dp[5] * dy * dy;
                    mv = dp[6] + dp[7] * dx + dp[8] * dy +
                         0.5 * dp[9] * dx * dx + dp[10] * dx * dy + 0.5 * dp[11] * dy * dy;
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
