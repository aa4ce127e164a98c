#pragma once
/// The tracking simplex's objective: the ZNSSD of one subset under a rigid rotation,
/// evaluated many times for the same point.
///
/// compute_znssd rebuilds the reference side (samples, mean, Sff) on every call, and the
/// simplex calls it a hundred times per point with the same reference subset. This evaluator
/// does the reference side once per point, samples the deformed side with the kernels'
/// subset-row sampler into buffers it owns, and skips the per-sample bounds tests when the
/// subset's corners lie well inside the image. Every value it returns is bit-identical to
/// compute_znssd for the same warp: the same positions, the same per-sample arithmetic, the
/// same sums in the same order. Keep the two in step; the tracking tests compare them bit
/// for bit on random warps.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/znssd.hpp>

#include "image/sampling/dispatch.h"

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
        const auto side = static_cast<std::size_t>(m);
        column_x_.resize(side);
        column_y_.resize(side);
        position_y_.resize(side);
        position_x_.resize(side);

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
        const int m = 2 * h_ + 1;
        const double last_row = deformed_.rows - 1.0;
        const double last_col = deformed_.cols - 1.0;
        // Per-column parts of the mapping, formed exactly as compute_znssd forms them:
        // x' = ((x + dx + u) + du_dx*dx) + du_dy*dy, y' = ((y + dy + v) + dv_dx*dx) + dv_dy*dy.
        double* column_x = column_x_.data();
        double* column_y = column_y_.data();
        for (int j = 0; j < m; ++j) {
            const int dx = j - h_;
            column_x[j] = static_cast<double>(x_) + dx + warp.u + warp.du_dx * dx;
            column_y[j] = warp.dv_dx * dx;
        }
        // An affine map takes its extremes at the corners: refuse early, before sampling;
        // and when the corners lie well inside the kernel's unclamped range, every sample
        // does (the margin dwarfs the rounding of the positions), so no sample needs its
        // own tests.
        bool interior = true;
        for (int dy : {-h_, h_}) {
            for (int j : {0, m - 1}) {
                const double yp =
                    static_cast<double>(y_) + dy + warp.v + column_y[j] + warp.dv_dy * dy;
                const double xp = column_x[j] + warp.du_dy * dy;
                if (!(yp > 0.0 && yp < last_row && xp > 0.0 && xp < last_col))
                    return kZnssdUnavailable;
                interior = interior && yp >= 2.0 + kInteriorMargin &&
                           yp < deformed_.rows - 3.0 - kInteriorMargin &&
                           xp >= 2.0 + kInteriorMargin &&
                           xp < deformed_.cols - 3.0 - kInteriorMargin;
            }
        }

        double* samples = deformed_samples_.data();
        double* position_y = position_y_.data();
        double* position_x = position_x_.data();
        double sum = 0.0;
        for (int dy = -h_; dy <= h_; ++dy, samples += m) {
            const double row_y = static_cast<double>(y_) + dy + warp.v;
            const double shear_y = warp.dv_dy * dy;
            const double shear_x = warp.du_dy * dy;
            bool unclamped = true;
            if (interior) {
                for (int j = 0; j < m; ++j) {
                    position_y[j] = row_y + column_y[j] + shear_y;
                    position_x[j] = column_x[j] + shear_x;
                }
            } else {
                for (int j = 0; j < m; ++j) {
                    const double yp = row_y + column_y[j] + shear_y;
                    const double xp = column_x[j] + shear_x;
                    // Open interval; NaN fails every comparison and is refused with the rest.
                    if (!(yp > 0.0 && yp < last_row && xp > 0.0 && xp < last_col))
                        return kZnssdUnavailable;
                    unclamped = unclamped && keys_fourth_unclamped(deformed_, yp, xp);
                    position_y[j] = yp;
                    position_x[j] = xp;
                }
            }
            if (use_bicubic_) {
                sample_keys_fourth_run(deformed_, position_y, position_x,
                                       static_cast<std::size_t>(m), unclamped, samples);
            } else {
                for (int j = 0; j < m; ++j)
                    samples[j] = sample_bilinear(deformed_, position_y[j], position_x[j]);
            }
            for (int j = 0; j < m; ++j) sum += samples[j];
        }

        samples = deformed_samples_.data();
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
    // Pixels kept between the corner positions and the border of the kernel's unclamped
    // range before the per-sample tests are skipped.
    static constexpr double kInteriorMargin = 1e-3;

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
    std::vector<double> column_x_;    // per-column parts of the mapping
    std::vector<double> column_y_;
    std::vector<double> position_y_;  // positions of one subset row
    std::vector<double> position_x_;
};

}  // namespace morvex::dic::detail
