#pragma once
/// What a ReferenceImage holds, shared by the guided solver, propagation and sequences.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/guided.hpp>

#include "image/sampling/bspline.h"

namespace morvex::dic {

struct ReferenceImage::Data {
    GuidedReferenceSettings settings;  ///< what it was prepared with
    detail::SplineKind kind = detail::SplineKind::kQuintic;
    int half = 0;            ///< subset_size / 2
    int params = 6;          ///< warp parameters: 6 (affine) or 12 (quadratic)
    cv::Mat image;           ///< the reference as given
    cv::Mat correlated;      ///< grey levels the solver matches: prefiltered, non-finite replaced
    cv::Mat raw;             ///< raw grey levels with non-finite replaced (residuals, uncertainty)
    cv::Mat grad_x, grad_y;  ///< gradients of the interpolant of `correlated` at pixel centres
    cv::Mat specimen;        ///< CV_8UC1, 1 = specimen; empty = everywhere
    std::vector<int> grid_x, grid_y;  ///< centre column of each grid column, row of each grid row
    std::vector<std::uint8_t> point_state;  ///< 0 = usable, else the GuidedStatus it keeps
    std::vector<std::uint8_t> full_subset;  ///< 1 where the whole subset is specimen
    std::vector<double>
        hessian_inverse;  ///< params^2 per grid point, when it fits the memory budget
    std::vector<std::uint8_t> textured;  ///< with hessian_inverse: 0 where the subset is flat
    std::vector<double>
        noise_factors;  ///< with hessian_inverse: 4 per point, see subset_hessian_inverse
    cv::Mat noise_grad_x, noise_grad_y;  ///< prefiltered only: the gradients filtered once more
    /// Per grid point: sigma along the weakest direction predicted from the Hessian and the
    /// read noise, px (infinity when flat, NaN when not usable), and the share of its specimen
    /// pixels clear of the untextured patches (see kTextureReach; 1 = all).
    std::vector<double> predicted_sigma, textured_share;
    double grey_range = 0.0;       ///< max - min of `correlated`: the scale of the flat-subset test
    double reference_noise = 0.0;  ///< grey levels, the config's or the estimate
    /// Variance the reference's read noise adds to each gradient component of `grad_x`,
    /// `grad_y` (reference_noise^2 times the gradient filter's noise gain); 0 = none.
    double gradient_noise = 0.0;
    double filtered_gradient_noise = 0.0;  ///< the same for `noise_grad_x`, `noise_grad_y`
    /// With gradient_noise: the subset geometry sum b b^T (params^2) of a subset wholly on the
    /// specimen, the same for all of them.
    std::vector<double> full_geometry;
    /// The crack lines' segments (x0, y0, x1, y1), reference px; empty without lines.
    std::vector<std::array<double, 4>> crack_segments;
    /// Per grid point with lines: 1 where a line passes within reach of its subset or of its
    /// neighbours' centres (only those pay for the crossing tests).
    std::vector<std::uint8_t> near_crack;
    /// Per grid point with lines: its mask's slot in cut_masks, -1 = not cut.
    std::vector<int> cut_slot;
    /// side x side per cut point, 1 = specimen on the centre's side of every line.
    std::vector<std::uint8_t> cut_masks;
    std::size_t bytes = 0;

    int grid_rows() const { return static_cast<int>(grid_y.size()); }
    int grid_cols() const { return static_cast<int>(grid_x.size()); }
    int points() const { return grid_rows() * grid_cols(); }
};

namespace detail {

/// SplineKind of an Interpolation.
SplineKind spline_kind(Interpolation interpolation);

/// Border of the coefficient images: the 6 x 6 taps of a position up to kSampleSlack px
/// outside the image.
constexpr int kSampleSlack = 2;
constexpr int kCoefficientPad = kSampleSlack + 4;

/// Gaussian low-pass both images go through when prefilter_sigma > 0 (mirror borders).
cv::Mat gaussian_prefilter(const cv::Mat& image, double sigma);

/// Copy of `image` with every non-finite pixel replaced by the mean of the finite pixels
/// of its 5 x 5 neighbourhood (0 if none), so the prefilters spread no NaN; `bad` (CV_8UC1)
/// marks the replaced pixels. Returns false when nothing was replaced (bad left empty).
bool replace_non_finite(const cv::Mat& image, cv::Mat& clean, cv::Mat& bad);

/// Throws std::invalid_argument naming `threads` unless it is 0 ... kMaxGuidedThreads.
void check_threads(int threads);

}  // namespace detail
}  // namespace morvex::dic
