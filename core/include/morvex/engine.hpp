#pragma once
/// The correlation engine: a run over a regular grid of subset centres.

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Performs correlation runs. Holds only its progress callback and cancel flag between
/// runs; neither copyable nor movable because of the atomic flag.
class MORVEX_EXPORT DICEngine {
public:
    /// Called after each point of the first pass with (points finished, points in grid),
    /// from a worker thread, one call at a time.
    std::function<void(int, int)> progress_callback;
    /// Set by cancel(); cleared when run() starts; read before every point.
    std::atomic<bool> cancel_requested{false};

    DICEngine();
    ~DICEngine();
    DICEngine(const DICEngine&) = delete;
    DICEngine& operator=(const DICEngine&) = delete;
    DICEngine(DICEngine&&) = delete;
    DICEngine& operator=(DICEngine&&) = delete;

    /// Ask a running run() to skip every point not yet started. Any thread, any time.
    void cancel();

    /// Measure the displacement (and, if configured, strain) field between two grey images
    /// (one channel, 64-bit float) on the grid of `config`. Points that do not correlate are
    /// marked invalid; an empty grid gives an empty result.
    /// @throws std::invalid_argument before any work for a `step` below 1, a negative
    /// `strain_window` when `compute_strain` is set, a negative grid margin
    /// (`subset_size` / 2 + `search_range`, unless tracking without integer initialisation
    /// makes the margin `subset_size`), or a grid that cannot be represented
    /// (more than INT_MAX points, or centres outside the int range). An exception thrown
    /// while correlating (OpenCV's, a callback's) is rethrown on the calling thread.
    /// Calls on one engine must not overlap; distinct engines may run concurrently.
    DICResult run(const cv::Mat& reference, const cv::Mat& deformed, const DICConfig& config);

private:
    /// Subset centres over the region of interest minus the margin, row by row.
    std::vector<Point2D> generate_grid(const cv::Mat& reference, const DICConfig& config) const;

    /// Integer search, Gauss-Newton refinement and acceptance of one point
    /// (or the tracking simplex when `use_tracking_simplex` is set).
    PointResult compute_point(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                              const DICConfig& config) const;

    /// Rotation-aware simplex over (u, v, angle) on the ZNSSD of the rotated subset.
    PointResult compute_tracking_simplex(const cv::Mat& reference, const cv::Mat& deformed, int y,
                                         int x, const DICConfig& config,
                                         std::optional<double> start_u,
                                         std::optional<double> start_v) const;

    /// Tracking follow-up after the first pass: a global retry with integer initialisation
    /// when fewer than 30 % of the points are valid, otherwise the spatial recovery passes.
    /// `caller_config` is the caller's configuration, `run_config` the run's copy.
    void recover_tracking(const cv::Mat& reference, const cv::Mat& deformed,
                          const DICConfig& caller_config, const DICConfig& run_config,
                          DICResult& result) const;
    void retry_globally(const cv::Mat& reference, const cv::Mat& deformed,
                        const DICConfig& caller_config, DICResult& result) const;
    void recover_spatially(const cv::Mat& reference, const cv::Mat& deformed,
                           const DICConfig& run_config, DICResult& result) const;
};

}  // namespace morvex::dic
