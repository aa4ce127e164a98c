#pragma once
/// The tracking simplex's objective: the ZNSSD of one subset (matching/subset_znssd.h)
/// under a rigid rotation, evaluated many times for the same point.

#include <cmath>

#include <morvex/records.hpp>

#include "matching/subset_znssd.h"

namespace morvex::dic::detail {

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

}  // namespace morvex::dic::detail
