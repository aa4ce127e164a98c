#pragma once
/// Sampling a whole subset under a first-order warp from a coefficient image: the guided
/// solver's innermost loop. On x86-64 CPUs with AVX2 (checked at run time) the quintic
/// B-spline runs four pixels at a time; the portable form performs the very same operations
/// in the same order (no fused multiply-add), so both give the same bits.

#include <morvex/visibility.hpp>

#include "image/sampling/bspline.h"

// Exported (though internal) so the tests can reach them.
namespace morvex::dic::detail {

/// A square subset of side 2 half + 1 mapped by x = x0 + ax dx + bx dy, y = y0 + ay dx + by dy
/// for pixel offsets dx, dy in [-half, half] (row dy, column dx).
struct WarpedSubset {
    double x0 = 0.0, y0 = 0.0;
    double ax = 1.0, bx = 0.0;
    double ay = 0.0, by = 1.0;
    int half = 0;
};

/// The curvature a second-order warp adds to a WarpedSubset's positions:
/// x += x_xx dx^2 + x_xy dx dy + x_yy dy^2, y likewise (the halves of the second derivatives
/// already applied).
struct SubsetCurvature {
    double x_xx = 0.0, x_xy = 0.0, x_yy = 0.0;
    double y_xx = 0.0, y_xy = 0.0, y_yy = 0.0;
};

/// Values of the interpolant at every pixel of the warped subset, row by row into `out`
/// ((2 half + 1)^2 doubles). Every position must lie within kSamplerSlack px of the image, or
/// within coefficients.pad - 3 px of it and less than kSamplerReach px outside (the caller
/// checks the four corners); `coefficients.pad` must be at least 3 + kSamplerSlack.
/// `scratch` holds at least 14 (2 half + 5) doubles. Never allocates; thread-safe.
MORVEX_EXPORT void sample_warped_subset(const CoefficientImage& coefficients, SplineKind kind,
                                        const WarpedSubset& subset, double* out, double* scratch);

/// sample_warped_subset for a second-order warp: positions
/// x = x0 + (ax + x_xy dy) dx + bx dy + x_xx dx^2 + x_yy dy^2 (y alike), evaluated row by row
/// in that grouping by both forms, so they give the same bits. Same contract otherwise.
MORVEX_EXPORT void sample_curved_subset(const CoefficientImage& coefficients, SplineKind kind,
                                        const WarpedSubset& subset, const SubsetCurvature& curve,
                                        double* out);

/// The portable form of sample_curved_subset, whatever the CPU.
MORVEX_EXPORT void sample_curved_subset_scalar(const CoefficientImage& coefficients,
                                               SplineKind kind, const WarpedSubset& subset,
                                               const SubsetCurvature& curve, double* out);

/// The portable form of sample_warped_subset, whatever the CPU (tests compare the two).
MORVEX_EXPORT void sample_warped_subset_scalar(const CoefficientImage& coefficients,
                                               SplineKind kind, const WarpedSubset& subset,
                                               double* out);

constexpr int kSamplerSlack = 2;
/// px outside the image beyond which no position may lie, whatever the pad: the samplers
/// take the floor as the truncation of the position shifted by this much.
constexpr int kSamplerReach = 16;

/// True when the CPU runs the AVX2 form.
MORVEX_EXPORT bool sampler_uses_avx2();

}  // namespace morvex::dic::detail
