#include <morvex/engine.hpp>

#include <algorithm>
#include <cmath>

#include "engine/integer_start.h"
#include "engine/passes.h"
#include "matching/simplex.h"
#include "matching/subset_znssd.h"

namespace morvex::dic {

namespace {

// With an integer peak the simplex starts this close to it, pixels at most.
constexpr double kFoundStepLimit = 0.1;

}  // namespace

namespace detail {

PointResult track_point(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                        const DICConfig& config, std::optional<double> start_u,
                        std::optional<double> start_v) {
    bool found = false;
    IntegerSearchResult peak;
    if (config.tracking_integer_initialization) {
        peak = search_integer_start(reference, deformed, y, x, config);
        found = peak.valid;
    }

    // A given start wins over the integer peak: the recovery passes know better.
    const double u_start =
        start_u ? *start_u : static_cast<double>(found ? peak.u : config.search_center_u);
    const double v_start =
        start_v ? *start_v : static_cast<double>(found ? peak.v : config.search_center_v);
    SimplexSettings settings;
    settings.start = {u_start, v_start, 0.0};
    settings.step_disp =
        found ? std::min(kFoundStepLimit, config.robust_delta_disp) : config.robust_delta_disp;
    settings.step_angle = config.robust_delta_theta;
    settings.max_iterations = config.robust_max_iterations;
    settings.tolerance = config.robust_tolerance;
    settings.from_integer_peak = found;

    SubsetZnssd objective(reference, deformed, y, x, config.subset_size, config.use_bicubic);
    const SimplexOutcome end = nelder_mead_search(
        [&objective](const SimplexPoint& p) {
            return objective(rigid_rotation_warp(p[0], p[1], p[2]));
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

}  // namespace detail

PointResult DICEngine::compute_tracking_simplex(const cv::Mat& reference, const cv::Mat& deformed,
                                                int y, int x, const DICConfig& config,
                                                std::optional<double> start_u,
                                                std::optional<double> start_v) const {
    return detail::track_point(reference, deformed, y, x, config, start_u, start_v);
}

}  // namespace morvex::dic
