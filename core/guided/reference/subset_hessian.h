#pragma once
/// What the reference alone fixes about a grid point's subset: the inverse of its Gauss-Newton
/// Hessian, the factors that turn residual variance into the variance of u and v, and the
/// sigma read noise predicts. Built for every point with the ReferenceImage when the memory
/// budget allows, otherwise per point by the solver.

#include <cstdint>

#include "guided/reference/reference_data.h"

namespace morvex::dic::detail {

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
/// With `view` (side x side, row by row): only the specimen pixels where it is non-zero.
bool subset_hessian_inverse(const ReferenceImage::Data& reference, int index, double* hinv,
                            double* noise, double* predicted_sigma = nullptr,
                            const std::uint8_t* view = nullptr);

/// The geometry sum b b^T of a subset wholly on the specimen (the same for all of them), into
/// reference.full_geometry; left empty when no grid point's subset is.
void full_subset_geometry(ReferenceImage::Data& reference);

}  // namespace morvex::dic::detail
