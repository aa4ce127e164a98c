#pragma once
/// Inverse-compositional Gauss-Newton on one masked subset (B. Pan, K. Li, W. Tong,
/// Experimental Mechanics 53, 2013), sampling the deformed image's coefficient image.
/// Reference-side data (zero-mean subset, steepest-descent images, inverse Hessian) is built
/// once per point in a per-thread workspace and reused by every start tried at that point.

#include <cstdint>
#include <vector>

#include <morvex/guided.hpp>

#include "guided/reference_data.h"
#include "image/sampling/bspline.h"

namespace morvex::dic::detail {

/// A warp about the subset centre: u, v, the four displacement gradients and, for
/// second-order subsets, the six second derivatives (zero, and ignored, for affine ones).
struct Warp {
    double u = 0.0, v = 0.0;
    double du_dx = 0.0, du_dy = 0.0, dv_dx = 0.0, dv_dy = 0.0;
    double du_dxx = 0.0, du_dxy = 0.0, du_dyy = 0.0;
    double dv_dxx = 0.0, dv_dxy = 0.0, dv_dyy = 0.0;
};

/// The warp `w` re-expanded about a point (dx, dy) px from its centre: the start a neighbour
/// takes from it. First order carries u, v by the gradients; second order (`quadratic`) also
/// moves the gradients by the second derivatives, so a quadratic field is carried exactly.
Warp recentre(Warp w, double dx, double dy, bool quadratic);

/// The deformed frame as the solver reads it.
struct DeformedFrame {
    CoefficientImage coefficients;  ///< of the correlated (prefiltered) grey levels
    CoefficientImage raw;           ///< of the raw grey levels when prefiltered, else empty
    cv::Mat clean;                  ///< correlated grey levels (non-finite replaced): searches
    cv::Mat bad_sum;                ///< integral image (CV_32S) of non-finite pixels; empty if none
    int rows = 0;
    int cols = 0;
};

/// Outcome of one start.
struct SubsetSolution {
    Warp warp;
    double zncc = -2.0;  ///< -2 when never evaluated
    double sigma_u = 0.0, sigma_v = 0.0;
    int iterations = 0;
    GuidedStatus status = GuidedStatus::kNotConverged;
};

/// Per-thread scratch of the solver; prepare() fills the reference side of one point.
class SubsetSolver {
public:
    SubsetSolver(const ReferenceImage::Data& reference, const DeformedFrame& deformed,
                 int max_iterations, double convergence_threshold);

    /// Reference side of grid point `index`. False (status kFlatSubset) when the subset has
    /// no usable texture: zero variance or a Hessian that is not positive definite.
    bool prepare(int index);

    /// Gauss-Newton from `start`; converged means the last update moved no subset corner by
    /// convergence_threshold px or more. The status is kConverged, kNotConverged (iteration
    /// limit, left the image, flat deformed subset, a centre more than half a subset from the
    /// start)
    /// or kBadPixels; the caller
    /// judges ZNCC.
    SubsetSolution solve(const Warp& start);

    /// ZNCC of the reference subset against the deformed image shifted by whole pixels
    /// (u, v) without interpolation; -2 when the shifted subset leaves the image.
    double integer_zncc(int u, int v) const;

    int centre_x() const { return cx_; }
    int centre_y() const { return cy_; }

private:
    bool inside(const Warp& w) const;
    bool touches_bad_pixels(const Warp& w) const;
    void sample(const CoefficientImage& coefficients, const Warp& w, double* out) const;
    // Box of every position of the second-order subset (exact over the continuous square).
    void curved_bounds(const Warp& w, double& x0, double& x1, double& y0, double& y1) const;
    void prepare_descent();

    const ReferenceImage::Data& ref_;
    const DeformedFrame& def_;
    int max_iterations_;
    double threshold_;
    int half_, side_, n_;
    int params_;             // 6 or 12
    bool quadratic_;
    int cx_ = 0, cy_ = 0;
    double count_ = 0.0;    // specimen pixels in the subset
    double df_ = 0.0;       // sqrt(sum (f - fm)^2)
    double raw_df_ = 0.0;
    // sigma^2 of u, v = s_def^2 * noise_[0], [1] + s_ref^2 * noise_[2], [3]
    double noise_[4] = {};
    std::vector<double> weight_, f0_, raw_f0_, g_, raw_g_;
    std::vector<double> sd_[12];
    double hinv_[12][12] = {};
};

/// The geometry sum b b^T of a subset wholly on the specimen (the same for all of them), into
/// reference.full_geometry; left empty when no grid point's subset is.
void full_subset_geometry(ReferenceImage::Data& reference);

/// Inverse of the Gauss-Newton Hessian of grid point `index` (params^2 values, row major:
/// u, du_dx, du_dy, v, dv_dx, dv_dy affine; u, du_dx, du_dy, du_dxx, du_dxy, du_dyy, v, ...
/// quadratic), from the
/// reference gradients on the specimen pixels, and the factors that turn the raw residual
/// variance into the variance of u and v (`noise`, 4 values: of u and v for the deformed
/// image's share of that variance, then for the reference's); false when the subset is flat
/// (kFlatSubset).
/// With `predicted_sigma`: the standard deviation, px, of the subset's displacement along its
/// weakest direction for read noise reference.reference_noise in both images (the larger
/// eigenvalue of the (u, v) covariance); 0 when the reference has no read noise to predict
/// from, infinity for a flat subset.
bool subset_hessian_inverse(const ReferenceImage::Data& reference, int index, double* hinv,
                            double* noise, double* predicted_sigma = nullptr);

/// Composes w with the inverse of the increment dp (u, ux, uy, v, vx, vy): the IC-GN update.
/// False when the increment's matrix is singular.
bool compose_inverse(Warp& w, const double dp[6]);

/// Largest difference, px, between the displacements two warps give anywhere on a subset of
/// half-width `half`: at its centre for first-order warps (they differ by a plane whose
/// centre is what the jump test is about), over the whole subset for second-order ones,
/// where a noisy or textureless subset can trade a sane centre for a wildly bent outline.
double warp_jump(const Warp& a, const Warp& b, int half, bool quadratic);

/// The second-order update (Gao et al. 2015): w composed with the inverse of dp (u, ux, uy,
/// uxx, uxy, uyy, v, vx, ..., vyy) through their 6 x 6 matrices on (x^2, xy, y^2, x, y, 1).
/// False when the increment's matrix is singular or the result not finite.
bool compose_inverse_quadratic(Warp& w, const double dp[12]);

}  // namespace morvex::dic::detail
