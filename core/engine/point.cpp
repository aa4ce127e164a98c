#include <optional>

#include <morvex/engine.hpp>
#include <morvex/solvers.hpp>

#include "engine/integer_start.h"
#include "engine/passes.h"

namespace morvex::dic {

namespace detail {

PointResult correlate_point(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                            const DICConfig& config) {
    PointResult result;
    result.y = y;
    result.x = x;
    if (config.use_tracking_simplex)
        return track_point(reference, deformed, y, x, config, std::nullopt, std::nullopt);

    const IntegerSearchResult found = search_integer_start(reference, deformed, y, x, config);
    if (!found.valid) return result;

    WarpParams start;
    start.u = found.u;
    start.v = found.v;
    ICGNConfig solver;
    solver.max_iterations = config.max_iterations;
    solver.convergence_threshold = config.convergence_threshold;
    solver.use_bicubic = config.use_bicubic;
    solver.subset_size = config.subset_size;
    const ICGNResult solved = ic_gn_solve(reference, deformed, y, x, start, solver);

    // The search score is not carried over: both scores describe the solver's final warp.
    result.u = solved.warp.u;
    result.v = solved.warp.v;
    result.znssd = solved.znssd;
    result.zncc = solved.zncc;
    result.iterations = solved.iterations;
    result.converged = solved.converged;
    // Accept only a converged, scorable match with znssd < znssd_threshold; a solver stopped
    // by its iteration limit is rejected even when its last ZNSSD is small.
    result.valid = solved.converged && solved.valid && solved.znssd < config.znssd_threshold;
    return result;
}

}  // namespace detail

PointResult DICEngine::compute_point(const cv::Mat& reference, const cv::Mat& deformed, int y,
                                     int x, const DICConfig& config) const {
    return detail::correlate_point(reference, deformed, y, x, config);
}

}  // namespace morvex::dic
