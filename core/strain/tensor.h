#pragma once
/// The strain tensor of one displacement gradient, shared by the plane fits of u, v and by
/// strain taken from the subsets' own warps, so both give the same tensor for the same
/// gradient.

namespace morvex::dic::detail {

struct StrainTensor {
    double exx, eyy, exy;  ///< exy is the tensor component
};

/// Green-Lagrange E = (F^T F - I) / 2 with F = I + grad u; `finite` false gives the small
/// strain (grad u + grad u^T) / 2.
inline StrainTensor strain_tensor(double du_dx, double du_dy, double dv_dx, double dv_dy,
                                  bool finite) {
    if (!finite) return {du_dx, dv_dy, 0.5 * (du_dy + dv_dx)};
    return {0.5 * ((1.0 + du_dx) * (1.0 + du_dx) + dv_dx * dv_dx - 1.0),
            0.5 * ((1.0 + dv_dy) * (1.0 + dv_dy) + du_dy * du_dy - 1.0),
            0.5 * ((1.0 + dv_dy) * dv_dx + (1.0 + du_dx) * du_dy)};
}

}  // namespace morvex::dic::detail
