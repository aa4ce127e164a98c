#pragma once
/// Second derivatives of subset warps in and out of a GuidedResult: the arrays exist only for
/// second-order runs, so every helper is a no-op on a result without them.

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include <morvex/guided.hpp>

#include "guided/solve/warp.h"

namespace morvex::dic::detail {

/// The six second-derivative arrays of a result, in Warp order.
inline std::vector<double>* curvature_fields(GuidedResult& r, int k) {
    std::vector<double>* fields[6] = {&r.du_dxx, &r.du_dxy, &r.du_dyy,
                                      &r.dv_dxx, &r.dv_dxy, &r.dv_dyy};
    return fields[k];
}
inline const std::vector<double>* curvature_fields(const GuidedResult& r, int k) {
    const std::vector<double>* fields[6] = {&r.du_dxx, &r.du_dxy, &r.du_dyy,
                                            &r.dv_dxx, &r.dv_dxy, &r.dv_dyy};
    return fields[k];
}

/// Sizes the second-derivative arrays (NaN) for a second-order run, clears them otherwise.
inline void allocate_curvature(GuidedResult& r, std::size_t points, bool quadratic) {
    for (int k = 0; k < 6; ++k) {
        std::vector<double>& f = *curvature_fields(r, k);
        if (quadratic)
            f.assign(points, std::numeric_limits<double>::quiet_NaN());
        else
            f.clear();
    }
}

/// True when `r` holds second derivatives for all of its `points` points.
inline bool has_curvature(const GuidedResult& r, std::size_t points) {
    for (int k = 0; k < 6; ++k)
        if (curvature_fields(r, k)->size() != points) return false;
    return points > 0;
}

/// Copies the second derivatives of `w` into point `index` (when the arrays exist).
inline void store_curvature(GuidedResult& r, int index, const Warp& w) {
    if (r.du_dxx.empty()) return;
    // A point without a warp (it left the view) has no curvature either.
    const double none = std::numeric_limits<double>::quiet_NaN();
    const bool known = std::isfinite(w.u) && std::isfinite(w.v);
    const double values[6] = {w.du_dxx, w.du_dxy, w.du_dyy, w.dv_dxx, w.dv_dxy, w.dv_dyy};
    for (int k = 0; k < 6; ++k)
        (*curvature_fields(r, k))[static_cast<std::size_t>(index)] = known ? values[k] : none;
}

/// Reads the second derivatives of point `index` into `w` (when the arrays exist); non-finite
/// values read as 0, a plain affine start.
inline void load_curvature(const GuidedResult& r, int index, Warp& w) {
    if (r.du_dxx.empty()) return;
    double* targets[6] = {&w.du_dxx, &w.du_dxy, &w.du_dyy, &w.dv_dxx, &w.dv_dxy, &w.dv_dyy};
    for (int k = 0; k < 6; ++k) {
        const double value = (*curvature_fields(r, k))[static_cast<std::size_t>(index)];
        *targets[k] = std::isfinite(value) ? value : 0.0;
    }
}

/// The warp of point `index`: u, v, the four gradients and, with `curved` (and the arrays
/// there), the second derivatives as load_curvature() reads them.
inline Warp warp_at(const GuidedResult& r, int index, bool curved = true) {
    const auto i = static_cast<std::size_t>(index);
    Warp w;
    w.u = r.u[i];
    w.v = r.v[i];
    w.du_dx = r.du_dx[i];
    w.du_dy = r.du_dy[i];
    w.dv_dx = r.dv_dx[i];
    w.dv_dy = r.dv_dy[i];
    if (curved) load_curvature(r, index, w);
    return w;
}

}  // namespace morvex::dic::detail
