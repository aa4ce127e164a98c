#pragma once
/// Integer-pixel searches of the guided path: a full search by normalised cross-correlation
/// over the whole allowed range (seeds, and points nothing else could start), and a small
/// residual search around a guess.

#include <mutex>

#include <opencv2/core/mat.hpp>

#include "guided/solve/subset_solver.h"

namespace morvex::dic::detail {

/// Single-precision copy of the deformed frame for template matching, made on first use.
class SearchImage {
public:
    explicit SearchImage(const cv::Mat& clean) : clean_(clean) {}
    const cv::Mat& get() const;   ///< full resolution
    const cv::Mat& half() const;  ///< half resolution (2 x 2 pixel means)

private:
    const cv::Mat& clean_;
    mutable std::once_flag once_, half_once_;
    mutable cv::Mat image_, half_;
};

struct IntegerShift {
    int u = 0;
    int v = 0;
    double zncc = -2.0;  ///< -2 when no candidate lay inside the image
};

/// Best whole-pixel shift of the prepared subset of `solver` within `range` px of (0, 0)
/// (range < 0: anywhere in the image), by template matching.
IntegerShift full_search(const SubsetSolver& solver, const ReferenceImage::Data& reference,
                         const SearchImage& image, int range);

/// Best whole-pixel shift within `range` px of (u0, v0), by direct ZNCC; ties go to the
/// smallest v, then the smallest u.
IntegerShift residual_search(const SubsetSolver& solver, int u0, int v0, int range);

}  // namespace morvex::dic::detail
