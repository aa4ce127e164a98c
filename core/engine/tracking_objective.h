#pragma once
/// The tracking simplex's objective: the ZNSSD of one subset under a rigid rotation,
/// evaluated many times for the same point.
///
/// compute_znssd rebuilds the reference side (samples, mean, Sff) and allocates two work
/// vectors on every call; the simplex calls it dozens of times per point with the same
/// reference subset. This evaluator does the reference side once per point and samples the
/// deformed side with the inline kernels into one buffer owned by the evaluator. Every value
/// it returns is bit-identical to compute_znssd for the same warp: the same positions, the
/// same kernels, the same sums in the same order. Keep the two in step.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/znssd.hpp>

#include "matching/interpolation_kernels.h"

namespace morvex::dic::detail {

/// Largest subset side compute_znssd evaluates (larger ones count as not evaluable); must
/// stay equal to the limit in matching/znssd.cpp.
inline constexpr int kZnssdMaxSubsetSide = 16383;

/// Warp of a rigid rotation by t radians plus the translation (u, v): a subset pixel at
/// (dx, dy) maps to x + u + dx cos t - dy sin t, y + v + dx sin t + dy cos t.
inline WarpParams rigid_rotation_warp(double u, double v, double t) {
    const double cos_t = std::cos(t);
    const double sin_t = std::sin(t);
    WarpParams warp;
    warp.u = u;
    warp.v = v;
    warp.du_dx = cos_t - 1.0;
    warp.dv_dx = sin_t;
    warp.du_dy = -sin_t;
    warp.dv_dy = cos_t - 1.0;
    return warp;
}

/// compute_znssd(reference, deformed, y, x, warp, subset_size, use_bicubic) for many warps
/// of one subset. Holds views of both images: they must outlive the evaluator. Not thread
/// safe (one evaluator per point and thread); no allocation after construction.
class SubsetZnssd {
public:
    SubsetZnssd(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                int subset_size, bool use_bicubic)
        : y_(y), x_(x), use_bicubic_(use_bicubic) {
        // The same refusals as compute_znssd: a deformed matrix that is not a grey image, a
        // reference that is neither empty nor grey, an empty or absurdly large subset.
        const int m = subset_size | 1;
        usable_ = is_grey_image(deformed) && (reference.empty() || is_grey_image(reference)) &&
                  m >= 1 && m <= kZnssdMaxSubsetSide;
        if (!usable_) return;
        deformed_ = GreyView(deformed);
        h_ = m / 2;
        n_ = static_cast<std::size_t>(m) * static_cast<std::size_t>(m);
        reference_centred_.resize(n_);
        deformed_samples_.resize(n_);

        // Reference pixels outside the image count as 0.
        const GreyView ref(reference);
        double sum = 0.0;
        std::size_t k = 0;
        for (int dy = -h_; dy <= h_; ++dy) {
            const std::int64_t r = static_cast<std::int64_t>(y) + dy;
            const bool row_inside = r >= 0 && r < ref.rows;
            const double* row = row_inside ? ref.row(static_cast<int>(r)) : nullptr;
            for (int dx = -h_; dx <= h_; ++dx, ++k) {
                const std::int64_t c = static_cast<std::int64_t>(x) + dx;
                const double value = (row_inside && c >= 0 && c < ref.cols) ? row[c] : 0.0;
                reference_centred_[k] = value;
                sum += value;
            }
        }
        const double mean = sum / static_cast<double>(n_);
        double sff = 0.0;
        for (double& value : reference_centred_) {
            value -= mean;
            sff += value * value;
        }
        sff_ = sff;
    }

    /// ZNSSD in [0, 4] of the subset under `warp`; 2.0 when it cannot be evaluated.
    double operator()(const WarpParams& warp) {
        if (!usable_) return kZnssdUnavailable;
        const double last_row = deformed_.rows - 1.0;
        const double last_col = deformed_.cols - 1.0;
        double* samples = deformed_samples_.data();
        double sum = 0.0;
        std::size_t k = 0;
        for (int dy = -h_; dy <= h_; ++dy) {
            for (int dx = -h_; dx <= h_; ++dx, ++k) {
                const double xp = static_cast<double>(x_) + dx + warp.u + warp.du_dx * dx +
                                  warp.du_dy * dy;
                const double yp = static_cast<double>(y_) + dy + warp.v + warp.dv_dx * dx +
                                  warp.dv_dy * dy;
                // Open interval; NaN fails every comparison and is refused with the rest.
                if (!(yp > 0.0 && yp < last_row && xp > 0.0 && xp < last_col))
                    return kZnssdUnavailable;
                const double g = use_bicubic_ ? sample_keys_fourth(deformed_, yp, xp)
                                              : sample_bilinear(deformed_, yp, xp);
                samples[k] = g;
                sum += g;
            }
        }
        const double mean = sum / static_cast<double>(n_);
        double sgg = 0.0;
        double sfg = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            const double g = samples[i] - mean;
            sgg += g * g;
            sfg += reference_centred_[i] * g;
        }
        const double d = std::sqrt(sff_ * sgg);
        if (d < 1e-12) return kZnssdUnavailable;
        return 2.0 * (1.0 - sfg / d);
    }

    /// The objective of the tracking simplex at translation (u, v) and angle t.
    double operator()(double u, double v, double t) { return (*this)(rigid_rotation_warp(u, v, t)); }

private:
    int y_ = 0;
    int x_ = 0;
    bool use_bicubic_ = true;
    bool usable_ = false;
    GreyView deformed_;
    int h_ = 0;
    std::size_t n_ = 1;
    double sff_ = 0.0;
    std::vector<double> reference_centred_;
    std::vector<double> deformed_samples_;
};

}  // namespace morvex::dic::detail
