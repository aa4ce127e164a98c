#include <morvex/engine.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <morvex/strain.hpp>

#include "engine/for_each_point.h"
#include "engine/grid.h"

namespace morvex::dic {

namespace {

/// Search centre taken from a seed, rounded half away from zero. A seed that is not finite
/// or whose rounding does not fit in an int cannot be converted without undefined
/// behaviour; that point falls back to the configured centre.
int seed_centre(double seed, int configured) {
    if (!std::isfinite(seed)) return configured;
    const double rounded = std::round(seed);
    if (rounded < static_cast<double>(std::numeric_limits<int>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<int>::max()))
        return configured;
    return static_cast<int>(rounded);
}

/// Everything that can be refused is refused here, on the calling thread, before any work.
void validate(const DICConfig& config) {
    if (config.step < 1)
        throw std::invalid_argument("DICConfig::step must be at least 1, got " +
                                    std::to_string(config.step));
    if (config.compute_strain && config.strain_window < 0)
        throw std::invalid_argument("DICConfig::strain_window must not be negative, got " +
                                    std::to_string(config.strain_window));
    // A negative margin lays the grid out beyond the image on every side: a search range of
    // -3000 gives millions of points that can never correlate (minutes of work, gigabytes).
    if (const std::int64_t margin = detail::grid_margin(config); margin < 0)
        throw std::invalid_argument(
            "DICConfig: the grid margin must not be negative, got " + std::to_string(margin) +
            " (subset_size = " + std::to_string(config.subset_size) +
            ", search_range = " + std::to_string(config.search_range) + ")");
}

/// A result of `shape` over `grid`: every field zero, every point invalid.
DICResult empty_result(const std::vector<Point2D>& grid, const detail::GridShape& shape) {
    DICResult result;
    result.rows = shape.rows;
    result.cols = shape.cols;
    const auto cells = static_cast<std::size_t>(shape.rows) * static_cast<std::size_t>(shape.cols);
    result.u.assign(cells, 0.0);
    result.v.assign(cells, 0.0);
    result.exx.assign(cells, 0.0);
    result.eyy.assign(cells, 0.0);
    result.exy.assign(cells, 0.0);
    result.confidence.assign(cells, 0.0);
    result.valid.assign(cells, 0);
    result.iterations.assign(cells, 0);
    result.points = grid;
    return result;
}

void add_strain(const DICConfig& config, DICResult& result) {
    StrainField strain = compute_strain(result.u, result.v, result.rows, result.cols, config.step,
                                        config.strain_window, &result.valid);
    result.exx = std::move(strain.exx);
    result.eyy = std::move(strain.eyy);
    result.exy = std::move(strain.exy);
}

}  // namespace

DICEngine::DICEngine() = default;
DICEngine::~DICEngine() = default;

void DICEngine::cancel() {
    cancel_requested.store(true);
}

std::vector<Point2D> DICEngine::generate_grid(const cv::Mat& reference,
                                              const DICConfig& config) const {
    return detail::make_grid(reference, config);
}

DICResult DICEngine::run(const cv::Mat& reference, const cv::Mat& deformed,
                         const DICConfig& config) {
    validate(config);
    cancel_requested.store(false);

    const std::vector<Point2D> grid = generate_grid(reference, config);
    if (grid.empty()) return DICResult{};
    const detail::GridShape shape = detail::grid_shape(grid, config.step);
    DICResult result = empty_result(grid, shape);

    const int n = static_cast<int>(grid.size());
    const bool recovery = config.use_tracking_simplex && config.tracking_spatial_recovery &&
                          shape.rows > 1 && shape.cols > 1;
    const bool use_seeds = !config.seed_u_arr.empty() && !config.seed_v_arr.empty() &&
                           config.seed_u_arr.size() == grid.size() &&
                           config.seed_v_arr.size() == grid.size();

    DICConfig run_config = config;
    if (recovery) run_config.tracking_integer_initialization = false;

    // Each worker correlates with its own configuration when seeds move the search centre
    // per point: one copy per worker, not per point (a copy carries both seed arrays, n
    // values each).
    const auto make_worker = [&]() {
        std::optional<DICConfig> point_config;
        if (use_seeds) point_config.emplace(run_config);
        return [&, point_config = std::move(point_config)](int i) mutable {
            const auto k = static_cast<std::size_t>(i);
            const Point2D p = grid[k];
            PointResult point;
            if (use_seeds) {
                point_config->search_center_u =
                    seed_centre(config.seed_u_arr[k], run_config.search_center_u);
                point_config->search_center_v =
                    seed_centre(config.seed_v_arr[k], run_config.search_center_v);
                point = compute_point(reference, deformed, p.y, p.x, *point_config);
            } else {
                point = compute_point(reference, deformed, p.y, p.x, run_config);
            }
            result.u[k] = point.u;
            result.v[k] = point.v;
            result.confidence[k] = point.zncc;
            result.iterations[k] = point.iterations;
            // A NaN ZNCC fails the comparison and so the recovery mode's acceptance.
            const bool accepted =
                point.valid && (!recovery || point.zncc >= config.tracking_min_zncc);
            result.valid[k] = accepted ? 1 : 0;
        };
    };
    int finished = 0;
    const auto progress = [&]() {
        ++finished;
        if (progress_callback) progress_callback(finished, n);
    };
    const bool parallel =
        static_cast<std::int64_t>(shape.rows) * shape.cols > detail::kParallelThreshold;
    detail::for_each_point_with(n, parallel, cancel_requested, make_worker, progress);

    if (recovery) recover_tracking(reference, deformed, config, run_config, result);
    if (config.compute_strain) add_strain(config, result);
    return result;
}

}  // namespace morvex::dic
