#include <morvex/engine.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "engine/for_each_point.h"
#include "engine/passes.h"
#include "engine/recovery_rules.h"

namespace morvex::dic {

namespace detail {

namespace {

// The recovery-mode acceptance: a NaN ZNCC fails the comparison and is rejected.
bool accepted(const PointResult& outcome, const DICConfig& config) {
    return outcome.valid && outcome.zncc >= config.tracking_min_zncc;
}

void store(const PointResult& outcome, std::size_t i, DICResult& result) {
    result.u[i] = outcome.u;
    result.v[i] = outcome.v;
    result.confidence[i] = outcome.zncc;
    result.iterations[i] = outcome.iterations;
    result.valid[i] = 1;
}

}  // namespace

void recover_tracking(const cv::Mat& reference, const cv::Mat& deformed,
                      const DICConfig& caller_config, const DICConfig& run_config,
                      DICResult& result, const std::atomic<bool>& cancel) {
    const std::size_t n = static_cast<std::size_t>(result.rows) * static_cast<std::size_t>(result.cols);
    if (result.rows < 1 || result.cols < 1 || result.u.size() != n || result.v.size() != n ||
        result.confidence.size() != n || result.valid.size() != n ||
        result.iterations.size() != n || result.points.size() != n)
        throw std::logic_error("recover_tracking: result arrays do not match the grid shape");

    std::int64_t valid_count = 0;
    for (std::uint8_t flag : result.valid)
        if (flag == 1) ++valid_count;

    if (prefers_global_retry(valid_count, static_cast<std::int64_t>(n),
                             caller_config.tracking_integer_initialization))
        retry_globally(reference, deformed, caller_config, result, cancel);
    else
        recover_spatially(reference, deformed, run_config, result, cancel);
}

void retry_globally(const cv::Mat& reference, const cv::Mat& deformed,
                    const DICConfig& caller_config, DICResult& result,
                    const std::atomic<bool>& cancel) {
    const int n = result.rows * result.cols;
    for_each_point(n, static_cast<std::int64_t>(n) > kParallelThreshold, cancel, [&](int i) {
        const Point2D point = result.points[static_cast<std::size_t>(i)];
        // The caller's configuration keeps the integer search on, which is the point of the
        // retry; per-point seeds are deliberately not applied here.
        const PointResult outcome = correlate_point(reference, deformed, point.y, point.x, caller_config);
        if (accepted(outcome, caller_config)) store(outcome, static_cast<std::size_t>(i), result);
    });
}

void recover_spatially(const cv::Mat& reference, const cv::Mat& deformed,
                       const DICConfig& run_config, DICResult& result,
                       const std::atomic<bool>& cancel) {
    const int rows = result.rows;
    const int cols = result.cols;
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    const RecoveryLimits limits = recovery_limits(static_cast<std::int64_t>(n));
    std::int64_t budget = limits.budget;
    int passes = 0;

    while (budget > 0) {
        // Every candidate reads its neighbours from these copies, so a pass's outcome does
        // not depend on which thread rescued which point first.
        const std::vector<double> snapshot_u = result.u;
        const std::vector<double> snapshot_v = result.v;
        const std::vector<std::uint8_t> snapshot_valid = result.valid;

        std::vector<RecoveryCandidate> candidates = recovery_candidates(snapshot_valid, rows, cols);
        if (candidates.empty()) break;
        if (static_cast<std::int64_t>(candidates.size()) > budget)
            candidates.resize(static_cast<std::size_t>(budget));
        const int kept = static_cast<int>(candidates.size());
        budget -= kept;

        std::vector<PointResult> outcomes(n);
        std::vector<std::uint8_t> rescued(n, 0);
        for_each_point(kept, kept > kParallelThreshold, cancel, [&](int j) {
            const int i = candidates[static_cast<std::size_t>(j)].second;
            std::array<double, 8> neighbour_u{};
            std::array<double, 8> neighbour_v{};
            int k = 0;
            for_each_neighbour(rows, cols, i, [&](int nb) {
                const auto at = static_cast<std::size_t>(nb);
                if (snapshot_valid[at] == 0) return;
                neighbour_u[static_cast<std::size_t>(k)] = snapshot_u[at];
                neighbour_v[static_cast<std::size_t>(k)] = snapshot_v[at];
                ++k;
            });
            // u and v take their medians independently.
            const double start_u = median_rank_value(neighbour_u.data(), k);
            const double start_v = median_rank_value(neighbour_v.data(), k);
            const Point2D point = result.points[static_cast<std::size_t>(i)];
            const PointResult outcome =
                track_point(reference, deformed, point.y, point.x, run_config, start_u, start_v);
            if (accepted(outcome, run_config)) {
                outcomes[static_cast<std::size_t>(i)] = outcome;
                rescued[static_cast<std::size_t>(i)] = 1;
            }
        });

        std::int64_t merged = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!rescued[i]) continue;
            store(outcomes[i], i, result);
            ++merged;
        }
        if (recovery_stalls(merged, kept)) break;
        if (++passes >= limits.max_passes) break;
    }
}

}  // namespace detail

// The declared private steps stay as thin forwarders to the free functions above.
void DICEngine::recover_tracking(const cv::Mat& reference, const cv::Mat& deformed,
                                 const DICConfig& caller_config, const DICConfig& run_config,
                                 DICResult& result) const {
    detail::recover_tracking(reference, deformed, caller_config, run_config, result, cancel_requested);
}

void DICEngine::retry_globally(const cv::Mat& reference, const cv::Mat& deformed,
                               const DICConfig& caller_config, DICResult& result) const {
    detail::retry_globally(reference, deformed, caller_config, result, cancel_requested);
}

void DICEngine::recover_spatially(const cv::Mat& reference, const cv::Mat& deformed,
                                  const DICConfig& run_config, DICResult& result) const {
    detail::recover_spatially(reference, deformed, run_config, result, cancel_requested);
}

}  // namespace morvex::dic
