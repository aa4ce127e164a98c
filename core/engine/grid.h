#pragma once
/// Grid geometry of a run: region of interest, margin, subset centres and grid shape.
/// All arithmetic is 64-bit so that extreme configuration values (sizes and ranges near
/// INT_MAX, a region reaching INT_MAX) cannot overflow.

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>

namespace morvex::dic::detail {

/// Inclusive bounds of the region in which subset centres may lie (before the margin).
struct GridRegion {
    std::int64_t x0 = 0;
    std::int64_t y0 = 0;
    std::int64_t x1 = -1;
    std::int64_t y1 = -1;
};

/// The configured region when it is well formed (x0, y0 >= 0, x1 > x0, y1 > y0), otherwise
/// the whole reference image. A configured region is not clipped to the image.
inline GridRegion region_of_interest(const cv::Mat& reference, const DICConfig& config) {
    if (config.roi_x0 >= 0 && config.roi_y0 >= 0 && config.roi_x1 > config.roi_x0 &&
        config.roi_y1 > config.roi_y0)
        return {config.roi_x0, config.roi_y0, config.roi_x1, config.roi_y1};
    return {0, 0, std::int64_t{reference.cols} - 1, std::int64_t{reference.rows} - 1};
}

/// Distance kept between the region's border and the outermost centres: the full subset in
/// tracking mode without integer search (no search window to fit), otherwise half a subset
/// plus the search range.
inline std::int64_t grid_margin(const DICConfig& config) {
    if (config.use_tracking_simplex && !config.tracking_integer_initialization)
        return config.subset_size;
    return std::int64_t{config.subset_size / 2} + config.search_range;
}

/// Start and count of the centres along one axis, `first + k * step` for k < count.
struct GridAxis {
    std::int64_t first = 0;
    std::int64_t count = 0;
};

inline GridAxis grid_axis(std::int64_t lo, std::int64_t hi, std::int64_t margin, int step) {
    GridAxis axis;
    axis.first = lo + margin;
    const std::int64_t last = hi - margin;
    if (axis.first <= last) axis.count = (last - axis.first) / step + 1;
    return axis;
}

/// Subset centres, row by row (y outer, x inner). Rejects grids that cannot be represented:
/// more than INT_MAX points (the result's shape and the progress counter are ints) or
/// centres outside the int range.
/// @throws std::invalid_argument for a step below 1 or a grid that cannot be represented.
inline std::vector<Point2D> make_grid(const cv::Mat& reference, const DICConfig& config) {
    if (config.step < 1)
        throw std::invalid_argument("DICConfig::step must be at least 1, got " +
                                    std::to_string(config.step));
    const GridRegion region = region_of_interest(reference, config);
    const std::int64_t margin = grid_margin(config);
    const GridAxis ys = grid_axis(region.y0, region.y1, margin, config.step);
    const GridAxis xs = grid_axis(region.x0, region.x1, margin, config.step);
    if (ys.count == 0 || xs.count == 0) return {};

    constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();
    constexpr std::int64_t kIntMin = std::numeric_limits<int>::min();
    // Both counts are below 2^33 here, so their product cannot overflow once each is
    // known to fit in an int.
    if (ys.count > kIntMax || xs.count > kIntMax || ys.count * xs.count > kIntMax)
        throw std::invalid_argument(
            "Grid too large: the region of interest, subset_size, search_range and step give "
            "more than 2147483647 points");
    const std::int64_t y_last = ys.first + (ys.count - 1) * config.step;
    const std::int64_t x_last = xs.first + (xs.count - 1) * config.step;
    if (ys.first < kIntMin || xs.first < kIntMin || y_last > kIntMax || x_last > kIntMax)
        throw std::invalid_argument(
            "Grid coordinates outside the int range: check subset_size, search_range and the "
            "region of interest");

    std::vector<Point2D> grid;
    grid.reserve(static_cast<std::size_t>(ys.count * xs.count));
    for (std::int64_t r = 0; r < ys.count; ++r)
        for (std::int64_t c = 0; c < xs.count; ++c)
            grid.push_back({static_cast<int>(ys.first + r * config.step),
                            static_cast<int>(xs.first + c * config.step)});
    return grid;
}

struct GridShape {
    int rows = 0;
    int cols = 0;
};

/// Rows and columns from the spread of the centres; a grid that does not fill its
/// rows x cols rectangle is reported as one column of n rows.
inline GridShape grid_shape(const std::vector<Point2D>& grid, int step) {
    if (grid.empty() || step < 1) return {};
    std::int64_t max_y = grid.front().y, max_x = grid.front().x;
    for (const Point2D& p : grid) {
        if (p.y > max_y) max_y = p.y;
        if (p.x > max_x) max_x = p.x;
    }
    const std::int64_t rows = (max_y - grid.front().y) / step + 1;
    const std::int64_t cols = (max_x - grid.front().x) / step + 1;
    const auto n = static_cast<std::int64_t>(grid.size());
    // Each factor of a product equal to n lies in [1, n], which also keeps it from overflowing.
    if (rows < 1 || cols < 1 || rows > n || cols > n || rows * cols != n)
        return {static_cast<int>(n), 1};
    return {static_cast<int>(rows), static_cast<int>(cols)};
}

}  // namespace morvex::dic::detail
