#pragma once
/// The engine's per-point work and recovery steps as free functions; the private members of
/// DICEngine forward here. Not installed: exported from the library only so that the
/// white-box tests (tests/cpp/engine_access.h) can reach them.

#include <atomic>
#include <optional>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic::detail {

/// Integer search, Gauss-Newton refinement and acceptance of the point at row y, column x
/// (or the tracking simplex when `config.use_tracking_simplex` is set). Failure to
/// correlate is data (valid = false); only OpenCV's own refusals and allocation failures
/// throw. Reentrant.
MORVEX_EXPORT PointResult correlate_point(const cv::Mat& reference, const cv::Mat& deformed, int y,
                                          int x, const DICConfig& config);

/// Rotation-aware simplex over (u, v, angle) on the ZNSSD of the rotated subset, started at
/// (start_u, start_v) when given, else at the integer peak (when
/// `tracking_integer_initialization` finds one) or the configured search centre. Valid when
/// the end is finite and within the jump tolerances of the start. Reentrant.
MORVEX_EXPORT PointResult track_point(const cv::Mat& reference, const cv::Mat& deformed, int y,
                                      int x, const DICConfig& config, std::optional<double> start_u,
                                      std::optional<double> start_v);

/// Tracking follow-up after the first pass: retry_globally when fewer than 30 % of the
/// points are valid and the caller allows the integer search, otherwise recover_spatially.
/// `caller_config` is the caller's configuration, `run_config` the run's copy (integer
/// search off). Points not yet started when `cancel` is set are left as they are.
/// @throws std::logic_error when the arrays of `result` do not match its grid shape; any
/// exception of a point is rethrown on the calling thread after the pass.
MORVEX_EXPORT void recover_tracking(const cv::Mat& reference, const cv::Mat& deformed,
                                    const DICConfig& caller_config, const DICConfig& run_config,
                                    DICResult& result, const std::atomic<bool>& cancel);

/// Every point again with the caller's configuration (integer search on, per-point seeds
/// deliberately not applied); a point is overwritten only when its retry is accepted.
MORVEX_EXPORT void retry_globally(const cv::Mat& reference, const cv::Mat& deformed,
                                  const DICConfig& caller_config, DICResult& result,
                                  const std::atomic<bool>& cancel);

/// Passes over the invalid points with a valid neighbour, each started at the medians of its
/// valid neighbours' displacements, until no candidate is left, a pass rescues too few, or
/// the pass and candidate limits (recovery_rules.h) are reached.
MORVEX_EXPORT void recover_spatially(const cv::Mat& reference, const cv::Mat& deformed,
                                     const DICConfig& run_config, DICResult& result,
                                     const std::atomic<bool>& cancel);

}  // namespace morvex::dic::detail
