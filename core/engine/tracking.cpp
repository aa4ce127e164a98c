#include <morvex/engine.hpp>

#include <algorithm>
#include <cmath>

#include "engine/integer_start.h"
#include "matching/simplex.h"
#include "matching/subset_znssd.h"

namespace morvex::dic {

namespace {

// With an integer peak the simplex starts this close to it, pixels at most.
constexpr double kFoundStepLimit = 0.1;

}  // namespace

PointResult DICEngine::compute_tracking_simplex(const cv::Mat& reference, const cv::Mat& deformed,
                                                int y, int x, const DICConfig& config,
                                                std::optional<double> start_u,
                                                std::optional<double> start_v) const {
    bool found = false;
    IntegerSearchResult peak;
    if (config.tracking_integer_initialization) {
        peak = detail::search_integer_start(reference, deformed, y, x, config);
        found = peak.valid;
    }

    // A given start wins over the integer peak: the recovery passes know better.
    const double u_start = start_u ? *start_u
                                   : static_cast<double>(found ? peak.u : config.search_center_u);
    const double v_start = start_v ? *start_v
                                   : static_cast<double>(found ? peak.v : config.search_center_v);
    detail::SimplexSettings settings;
    settings.start = {u_start, v_start, 0.0};
    settings.step_disp = found ? std::min(kFoundStepLimit, config.robust_delta_disp)
                               : config.robust_delta_disp;
    settings.step_angle = config.robust_delta_theta;
    settings.max_iterations = config.robust_max_iterations;
    settings.tolerance = config.robust_tolerance;
    settings.from_integer_peak = found;

    detail::SubsetZnssd objective(reference, deformed, y, x, config.subset_size, config.use_bicubic);
    const detail::SimplexOutcome end = detail::nelder_mead_search(
        [&objective](const detail::SimplexPoint& p) {
            return objective(detail::rigid_rotation_warp(p[0], p[1], p[2]));
        },
        settings);

    PointResult result;
    result.y = y;
    result.x = x;
    result.u = end.best[0];
    result.v = end.best[1];
    result.znssd = end.value;
    result.zncc = std::clamp(1.0 - end.value / 2.0, -1.0, 1.0);
    result.iterations = end.iterations;
    // The simplex always reports convergence; validity carries the verdict.
    result.converged = true;
    result.valid = std::isfinite(end.value) &&
                   std::fabs(end.best[0] - u_start) <= config.disp_jump_tolerance &&
                   std::fabs(end.best[1] - v_start) <= config.disp_jump_tolerance &&
                   std::fabs(end.best[2]) <= config.theta_jump_tolerance;
    return result;
}

}  // namespace morvex::dic
