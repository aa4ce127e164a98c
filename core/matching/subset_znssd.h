#pragma once
/// The ZNSSD criterion of one subset, the single implementation behind compute_znssd, the
/// tracking simplex and the solvers' final scores.
///
/// The reference side (samples, mean, Sff) is prepared once per subset, at the first warp
/// that gets past the corner test; every warp then samples only the deformed side. A
/// caller that evaluates many warps of one point (the tracking simplex, a hundred times per
/// point) keeps one evaluator; compute_znssd keeps one per thread and resets it per call.
///
/// Pan, B., Xie, H., Wang, Z. (2010). Equivalence of digital image correlation criteria for
/// pattern matching. Applied Optics 49(28), 5501-5509: ZNSSD = 2 (1 - ZNCC).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/znssd.hpp>

#include "image/sampling/dispatch.h"
#include "matching/warped_subset.h"

namespace morvex::dic::detail {

/// Beyond this side a subset's work arrays (2 x 2 GB) are not attempted: the ZNSSD counts
/// as not evaluable. Real subsets are a few dozen pixels wide.
inline constexpr int kZnssdMaxSubsetSide = 16383;

/// Below this the product of the two zero-mean norms counts as a flat subset.
inline constexpr double kZnssdFlatDenominator = 1e-12;

/// compute_znssd(reference, deformed, y, x, warp, subset_size, use_bicubic) for many warps
/// of one subset, bit for bit. Holds views of both images: they must outlive the evaluator
/// (or the next reset). Not thread safe (one evaluator per point and thread); allocates only
/// when a subset larger than any before is first evaluated. Never throws except
/// std::bad_alloc.
class SubsetZnssd {
public:
    SubsetZnssd() = default;
    SubsetZnssd(const cv::Mat& reference, const cv::Mat& deformed, int y, int x, int subset_size,
                bool use_bicubic) {
        reset(reference, deformed, y, x, subset_size, use_bicubic);
    }

    /// Points the evaluator at the subset of side subset_size | 1 centred on row y, column
    /// x. Refuses (every evaluation gives 2.0) a deformed matrix that is not a grey image, a
    /// reference that is neither empty nor grey (an empty one reads as 0 everywhere), and an
    /// empty or absurdly large subset.
    void reset(const cv::Mat& reference, const cv::Mat& deformed, int y, int x, int subset_size,
               bool use_bicubic) {
        y_ = y;
        x_ = x;
        use_bicubic_ = use_bicubic;
        reference_ready_ = false;
        const int m = subset_size | 1;
        // A negative size leaves an empty subset: refused here, as its sums would all be 0.
        usable_ = is_grey_image(deformed) && (reference.empty() || is_grey_image(reference)) &&
                  m >= 1 && m <= kZnssdMaxSubsetSide;
        if (!usable_) return;
        reference_ = GreyView(reference);
        deformed_ = GreyView(deformed);
        h_ = m / 2;
        n_ = static_cast<std::size_t>(m) * static_cast<std::size_t>(m);
    }

    /// ZNSSD in [0, 4] of the subset under `warp`; 2.0 (kZnssdUnavailable) when a warped
    /// position is not finite or not strictly inside (0, rows-1) x (0, cols-1), or when
    /// either side is flat.
    double operator()(const WarpParams& warp) {
        if (!usable_) return kZnssdUnavailable;
        const double last_row = deformed_.rows - 1.0;
        const double last_col = deformed_.cols - 1.0;
        // An affine map takes its extremes at the corners: refuse early, before sampling;
        // and when the corners lie well inside the kernel's unclamped range, every sample
        // does (the margin dwarfs the rounding of the positions), so no sample needs its
        // own tests. Positions are formed term by term in the order of the warp's definition,
        // as the sampler forms them, in double so that no int sum can overflow.
        bool interior = true;
        for (int dy : {-h_, h_}) {
            for (int dx : {-h_, h_}) {
                const double yp =
                    static_cast<double>(y_) + dy + warp.v + warp.dv_dx * dx + warp.dv_dy * dy;
                const double xp =
                    static_cast<double>(x_) + dx + warp.u + warp.du_dx * dx + warp.du_dy * dy;
                if (!strictly_inside(yp, xp, last_row, last_col)) return kZnssdUnavailable;
                interior = interior && yp >= 2.0 + kInteriorMargin &&
                           yp < deformed_.rows - 3.0 - kInteriorMargin &&
                           xp >= 2.0 + kInteriorMargin &&
                           xp < deformed_.cols - 3.0 - kInteriorMargin;
            }
        }
        if (!reference_ready_) prepare_reference();

        const auto side = static_cast<std::size_t>(2 * h_ + 1);
        double* samples = deformed_samples_.data();
        double* column_x = samples + n_;
        double* column_y = column_x + side;
        double* position_y = column_y + side;
        double* position_x = position_y + side;
        const auto open_range = [last_row, last_col](double yp, double xp) {
            return strictly_inside(yp, xp, last_row, last_col);
        };
        double sum = 0.0;
        bool inside = true;
        if (interior) {
            inside = use_bicubic_
                         ? sample_warped_subset<true, true>(deformed_, y_, x_, warp, h_, open_range,
                                                            samples, column_x, column_y, position_y,
                                                            position_x, sum)
                         : sample_warped_subset<false, true>(deformed_, y_, x_, warp, h_,
                                                             open_range, samples, column_x,
                                                             column_y, position_y, position_x, sum);
        } else {
            inside =
                use_bicubic_
                    ? sample_warped_subset<true>(deformed_, y_, x_, warp, h_, open_range, samples,
                                                 column_x, column_y, position_y, position_x, sum)
                    : sample_warped_subset<false>(deformed_, y_, x_, warp, h_, open_range, samples,
                                                  column_x, column_y, position_y, position_x, sum);
        }
        if (!inside) return kZnssdUnavailable;

        const double mean = sum / static_cast<double>(n_);
        double sgg = 0.0;
        double sfg = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            const double g = samples[i] - mean;
            sgg += g * g;
            sfg += reference_centred_[i] * g;
        }
        const double d = std::sqrt(sff_ * sgg);
        if (d < kZnssdFlatDenominator) return kZnssdUnavailable;
        return 2.0 * (1.0 - sfg / d);
    }

private:
    // Pixels kept between the corner positions and the border of the kernel's unclamped
    // range before the per-sample tests are skipped.
    static constexpr double kInteriorMargin = 1e-3;

    // Open interval: a position on the first or last row or column is refused. NaN fails
    // every comparison and is refused with the rest.
    static bool strictly_inside(double yp, double xp, double last_row, double last_col) {
        return yp > 0.0 && yp < last_row && xp > 0.0 && xp < last_col;
    }

    // The zero-mean reference subset and its squared norm; pixels outside the reference
    // count as 0. Also sizes the deformed side's buffers (samples plus four subset rows).
    void prepare_reference() {
        const auto side = static_cast<std::size_t>(2 * h_ + 1);
        if (reference_centred_.size() < n_) reference_centred_.resize(n_);
        if (deformed_samples_.size() < n_ + 4 * side) deformed_samples_.resize(n_ + 4 * side);
        double sum = 0.0;
        std::size_t k = 0;
        for (int dy = -h_; dy <= h_; ++dy) {
            const std::int64_t r = static_cast<std::int64_t>(y_) + dy;
            const bool row_inside = r >= 0 && r < reference_.rows;
            const double* row = row_inside ? reference_.row(static_cast<int>(r)) : nullptr;
            for (int dx = -h_; dx <= h_; ++dx, ++k) {
                const std::int64_t c = static_cast<std::int64_t>(x_) + dx;
                const double value = (row_inside && c >= 0 && c < reference_.cols) ? row[c] : 0.0;
                reference_centred_[k] = value;
                sum += value;
            }
        }
        const double mean = sum / static_cast<double>(n_);
        double sff = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            reference_centred_[i] -= mean;
            sff += reference_centred_[i] * reference_centred_[i];
        }
        sff_ = sff;
        reference_ready_ = true;
    }

    int y_ = 0;
    int x_ = 0;
    bool use_bicubic_ = true;
    bool usable_ = false;
    bool reference_ready_ = false;
    GreyView reference_;
    GreyView deformed_;
    int h_ = 0;
    std::size_t n_ = 1;
    double sff_ = 0.0;
    std::vector<double> reference_centred_;  // grows to the largest subset, then reused
    std::vector<double> deformed_samples_;   // samples, then scratch of four subset rows
};

}  // namespace morvex::dic::detail
