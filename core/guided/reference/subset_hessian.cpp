#include "guided/reference/subset_hessian.h"

#include "guided/reference/crack_barrier.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

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

// Mean squared gradient below (kFlatGradient * grey range)^2 per pixel: no texture to match.
constexpr double kFlatGradient = 1e-4;

// Gauss-Newton normal matrix sum J J^T of grid point `index`, 2 Basis x 2 Basis in the order
// u, its basis terms, v, its basis terms, with the steepest-descent images built from the
// gradient images gx_image, gy_image on the specimen pixels; `energy` is the sum of squared
// gradients, `count` the pixels used. Basis 3: first order (1, dx, dy); Basis 6: second order
// (1, dx, dy, dx^2 / 2, dx dy, dy^2 / 2). Every entry is a moment sum P dx^a dy^b of one of the
// three gradient products P (gx^2, gx gy, gy^2), gathered from per-row sums. Unit: every
// product 1 (the images unread), the geometry of the subset's specimen pixels alone. `view`
// (side x side, row by row; null: every pixel) leaves out the pixels where it is 0.
template <int Basis, bool Unit = false>
void normal_matrix(const ReferenceImage::Data& ref, int index, const cv::Mat& gx_image,
                   const cv::Mat& gy_image, const std::uint8_t* view,
                   double out[2 * Basis][2 * Basis], double& energy, double& count) {
    constexpr int kPowers = Basis == 6 ? 5 : 3;  // dx^a dy^b with a + b < kPowers
    const int gr = index / ref.grid_cols(), gc = index % ref.grid_cols();
    const int cx = ref.grid_x[gc], cy = ref.grid_y[gr], h = ref.half;
    const bool masked = !ref.full_subset[index];
    double mom[3][kPowers][kPowers] = {};  // [product][power of dx][power of dy]
    energy = 0.0;
    count = 0.0;
    for (int dy = -h; dy <= h; ++dy) {
        const double* gx = gx_image.ptr<double>(cy + dy) + cx;
        const double* gy = gy_image.ptr<double>(cy + dy) + cx;
        const std::uint8_t* m = masked ? subset_mask_row(ref, index, dy) + h : nullptr;
        const std::uint8_t* seen = view ? view + (dy + h) * (2 * h + 1) + h : nullptr;
        double row[3][kPowers] = {};
        for (int dx = -h; dx <= h; ++dx) {
            if ((m && !m[dx]) || (seen && !seen[dx])) continue;
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
bool inverse_without_noise(const double matrix[N][N], const double g[N][N], double variance, int pv,
                           double out[N][N]) {
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
    const Matrix lower_inverse = llt.matrixL().solve(Matrix::Identity());  // L^-1
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
                     GeometryMatrix geometry, double* hinv, double* noise, double* predicted,
                     const std::uint8_t* view) {
    if (predicted) *predicted = std::numeric_limits<double>::infinity();
    double hm[N][N], energy, count;
    normal(ref, index, ref.grad_x, ref.grad_y, view, hm, energy, count);
    const double floor = kFlatGradient * ref.grey_range;
    if (!(energy > floor * floor * count)) return false;
    double inv[N][N];
    if (!invert_spd<N>(hm, inv)) return false;
    for (int a = 0; a < N; ++a)
        for (int b = 0; b < N; ++b) hinv[a * N + b] = inv[a][b];
    const bool filtered = !ref.noise_grad_x.empty();
    double m[N][N];
    if (filtered) normal(ref, index, ref.noise_grad_x, ref.noise_grad_y, view, m, energy, count);
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
    if (!ref.full_geometry.empty() && ref.full_subset[index] && !view) {
        for (int a = 0; a < N; ++a)
            for (int b = 0; b < N; ++b)
                g[a][b] = ref.full_geometry[static_cast<std::size_t>(a * N + b)];
    } else {
        geometry(ref, index, ref.grad_x, ref.grad_y, view, g, energy, count);
    }
    // Should the factorisation fail on rounding, the plain Hessian stands.
    const bool clean = inverse_without_noise<N>(hm, g, ref.gradient_noise, pv, inv0);
    const double (*h0_inverse)[N] = clean ? inv0 : inv;
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

bool subset_hessian_inverse(const ReferenceImage::Data& ref, int index, double* hinv, double* noise,
                            double* predicted_sigma, const std::uint8_t* view) {
    if (ref.params == 12)
        return hessian_inverse<12>(ref, index, 6, normal_matrix<6>, normal_matrix<6, true>, hinv,
                                   noise, predicted_sigma, view);
    return hessian_inverse<6>(ref, index, 3, normal_matrix<3>, normal_matrix<3, true>, hinv, noise,
                              predicted_sigma, view);
}

namespace {

// The geometry sum b b^T of point `index`'s subset (2 Basis parameters), row-major.
template <int Basis>
std::vector<double> subset_geometry(const ReferenceImage::Data& ref, int index) {
    constexpr int N = 2 * Basis;
    double g[N][N], energy, count;
    normal_matrix<Basis, true>(ref, index, ref.grad_x, ref.grad_y, nullptr, g, energy, count);
    return std::vector<double>(&g[0][0], &g[0][0] + N * N);
}

}  // namespace

void full_subset_geometry(ReferenceImage::Data& ref) {
    ref.full_geometry.clear();
    for (int i = 0; i < ref.points(); ++i) {
        if (!ref.full_subset[static_cast<std::size_t>(i)]) continue;
        ref.full_geometry =
            ref.params == 12 ? subset_geometry<6>(ref, i) : subset_geometry<3>(ref, i);
        return;
    }
}

}  // namespace morvex::dic::detail
