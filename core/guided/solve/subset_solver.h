#pragma once
/// Inverse-compositional Gauss-Newton on one masked subset (B. Pan, K. Li, W. Tong,
/// Experimental Mechanics 53, 2013), sampling the deformed image's coefficient image.
/// Reference-side data (zero-mean subset, steepest-descent images, inverse Hessian) is built
/// once per point in a per-thread workspace and reused by every start tried at that point.

#include <cstdint>
#include <vector>

#include <morvex/guided.hpp>

#include "guided/frame/deformed_frame.h"
#include "guided/reference/reference_data.h"
#include "guided/solve/warp.h"
#include "image/sampling/bspline.h"

namespace morvex::dic::detail {

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
    /// judges ZNCC. A subset that leaves the image by at most kLeftViewShare of its pixels is
    /// solved again on the pixels left inside (sigma from them), and stays so restricted for
    /// the point's next starts; a subset restrict_to() cut is not.
    SubsetSolution solve(const Warp& start);

    /// ZNCC of the reference subset against the deformed image shifted by whole pixels
    /// (u, v) without interpolation; -2 when the shifted subset leaves the image.
    double integer_zncc(int u, int v) const;

    /// Restricts the prepared subset to its specimen pixels where `part` (side x side, row by
    /// row) is non-zero, and the fit to the translation, or with `affine` the first-order
    /// warp: one side of a subset cut along a line, fitted alone. False when that side is flat
    /// or its Hessian singular. The next prepare() undoes it; sigma from a restricted solve
    /// means nothing.
    bool restrict_to(const std::uint8_t* part, bool affine);

    /// Residual of the prepared subset under `w`, f - (|f| / |g|) g of the zero-mean grey
    /// levels on its pixels (side x side, row by row; 0 off them): false when `w` leaves the
    /// image or the deformed subset is flat.
    bool residual(const Warp& w, double* out) const;
    /// Whether pixel `k` (row by row over the subset) counts in the prepared subset.
    bool on_subset(int k) const { return weight_[static_cast<std::size_t>(k)] != 0.0; }
    /// Sum of the squared zero-mean grey levels of the prepared subset.
    double energy() const { return df_ * df_; }
    /// Specimen pixels of the prepared subset.
    double pixel_count() const { return count_; }
    int half() const { return half_; }

    int index() const { return index_; }  ///< grid point of the last prepare()
    int centre_x() const { return cx_; }
    int centre_y() const { return cy_; }

private:
    SubsetSolution solve_from(const Warp& start, bool& left);
    // Whether the subset under `w` lies within `margin` px of the outermost pixel centres.
    bool inside(const Warp& w, double margin = 0.5) const;
    // Whether the solver may sample the subset under `w`: inside, or once cut off by the
    // edge, within the coefficient image's border.
    bool readable(const Warp& w) const;
    // Where `w` puts pixel k (row by row over the subset) in the deformed image.
    void position(const Warp& w, int k, double& x, double& y) const;
    // Leaves out the pixels `w` puts outside the image (kViewMargin): false, and the subset
    // whole, when nothing or too much would go, or the rest is flat.
    bool restrict_to_view(const Warp& w);
    // Whether every pixel still weighed lies on the image under `w`.
    bool kept_in_view(const Warp& w) const;
    bool touches_bad_pixels(const Warp& w) const;
    void sample(const CoefficientImage& coefficients, const Warp& w, double* out) const;
    // Box of every position of the second-order subset (exact over the continuous square).
    void curved_bounds(const Warp& w, double& x0, double& x1, double& y0, double& y1) const;
    void prepare_descent();
    // Zero-mean grey levels of the subset under weight_ (f0_, count_, df_ and the raw ones).
    void centre_grey_levels(bool masked);

    const ReferenceImage::Data& ref_;
    const DeformedFrame& def_;
    int max_iterations_;
    double threshold_;
    int half_, side_, n_;
    int params_;  // 6 or 12
    bool quadratic_;
    int index_ = -1;
    // restrict_to() since the last prepare(), or a restriction to the view that failed: the
    // subset is not restricted to the view (again).
    bool restricted_ = false;
    bool viewed_ = false;  // restrict_to_view() since the last prepare()
    int cx_ = 0, cy_ = 0;
    double count_ = 0.0;        // specimen pixels in the subset
    double whole_count_ = 0.0;  // and before any restriction
    double df_ = 0.0;           // sqrt(sum (f - fm)^2)
    double raw_df_ = 0.0;
    // sigma^2 of u, v = s_def^2 * noise_[0], [1] + s_ref^2 * noise_[2], [3]
    double noise_[4] = {};
    std::vector<double> weight_, f0_, raw_f0_, g_, raw_g_;
    std::vector<double> sd_[12];
    double hinv_[12][12] = {};
};

}  // namespace morvex::dic::detail
