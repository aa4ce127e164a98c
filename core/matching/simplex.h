#pragma once
/// The tracking solver: a Nelder-Mead simplex over translation and rotation of one subset,
/// beside the Gauss-Newton solvers. The engine chooses the start and steps and judges the
/// outcome; this file only searches.
///
/// Nelder, J. A., Mead, R. (1965). A simplex method for function minimization.
/// The Computer Journal 7(4), 308-313.

#include <array>
#include <cmath>
#include <functional>

#include <morvex/records.hpp>

namespace morvex::dic::detail {

/// Warp of a rigid rotation by t radians plus the translation (u, v) in pixels: a subset
/// pixel at (dx, dy) maps to x + u + dx cos t - dy sin t, y + v + dx sin t + dy cos t.
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

/// A point of the search: u, v (pixels, column then row displacement as in WarpParams) and
/// the angle t (radians).
using SimplexPoint = std::array<double, 3>;

struct SimplexSettings {
    SimplexPoint start{};     ///< first vertex
    double step_disp = 0.0;   ///< px: the second and third vertices sit this far along u, v
    double step_angle = 0.0;  ///< rad: the fourth vertex sits this far along t
    int max_iterations = 1;   ///< at least 1; at most max_iterations - 1 moves are made
    double tolerance = 0.0;   ///< stop when the relative spread of values, or its change, is below
    /// The start is an integer correlation peak: the first steps are turned downhill (the
    /// minus side is probed, plus wins a tie) and the search may stop only after
    /// kMinFoundIterations moves and once the simplex has contracted around its best vertex.
    bool from_integer_peak = false;
};

struct SimplexOutcome {
    SimplexPoint best{};  ///< the chosen vertex
    double value = 0.0;   ///< the objective there (may be NaN if the objective gives NaN)
    int iterations = 0;   ///< moves made before the stop (max_iterations when none met)
};

/// Minimises `objective` from settings.start. Deterministic: the same objective values give
/// the same path. Never throws itself (the objective's exceptions pass through); allocates
/// nothing; reentrant.
SimplexOutcome nelder_mead_search(const std::function<double(const SimplexPoint&)>& objective,
                                  const SimplexSettings& settings);

}  // namespace morvex::dic::detail
