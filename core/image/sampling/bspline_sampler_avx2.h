#pragma once
/// The quintic B-spline sampler four pixels at a time on CPUs with AVX2. Compiled in its own
/// translation unit with AVX2 but without FMA (bspline_sampler_avx2.cpp), so every product and
/// sum rounds as in the portable form: the same bits on every CPU. Call it only through
/// sample_warped_subset and sample_curved_subset, which ask the CPU first (dispatch.h).

#include "image/sampling/bspline.h"
#include "image/sampling/bspline_sampler.h"

namespace morvex::dic::detail {

/// sample_warped_subset for SplineKind::kQuintic, bit for bit. Same contract; requires an
/// AVX2 CPU.
void sample_quintic_subset_avx2(const CoefficientImage& coefficients, const WarpedSubset& subset,
                                double* out);

/// sample_curved_subset for SplineKind::kQuintic, bit for bit. Same contract; requires an
/// AVX2 CPU.
void sample_quintic_curved_avx2(const CoefficientImage& coefficients, const WarpedSubset& subset,
                                const SubsetCurvature& curve, double* out);

}  // namespace morvex::dic::detail
