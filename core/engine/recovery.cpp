#include <morvex/engine.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <vector>

#include "engine/recovery_rules.h"

namespace morvex::dic {

namespace {

// Passes with this many points or fewer run on the calling thread: thread start-up would
// cost more than it saves.
constexpr std::int64_t kParallelThreshold = 100;

// Keeps the first exception thrown inside a parallel loop so that it can be rethrown on the
// calling thread; an exception must never leave an OpenMP region.
class FirstError {
public:
    bool raised() const { return raised_.load(std::memory_order_relaxed); }

    // Call from inside a catch handler.
    void capture() noexcept {
#pragma omp critical(morvex_recovery_first_error)
        {
            if (!error_) {
                error_ = std::current_exception();
                raised_.store(true, std::memory_order_relaxed);
            }
        }
    }

    void rethrow_if_raised() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::exception_ptr error_;
    std::atomic<bool> raised_{false};
};

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

void DICEngine::recover_tracking(const cv::Mat& reference, const cv::Mat& deformed,
                                 const DICConfig& caller_config, const DICConfig& run_config,
                                 DICResult& result) const {
    const std::size_t n = static_cast<std::size_t>(result.rows) * result.cols;
    if (result.rows < 1 || result.cols < 1 || result.u.size() != n || result.v.size() != n ||
        result.confidence.size() != n || result.valid.size() != n ||
        result.iterations.size() != n || result.points.size() != n)
        throw std::logic_error("recover_tracking: result arrays do not match the grid shape");

    std::int64_t valid_count = 0;
    for (std::uint8_t flag : result.valid)
        if (flag == 1) ++valid_count;

    if (detail::prefers_global_retry(valid_count, static_cast<std::int64_t>(n),
                                     caller_config.tracking_integer_initialization))
        retry_globally(reference, deformed, caller_config, result);
    else
        recover_spatially(reference, deformed, run_config, result);
}

void DICEngine::retry_globally(const cv::Mat& reference, const cv::Mat& deformed,
                               const DICConfig& caller_config, DICResult& result) const {
    const int n = result.rows * result.cols;
    const bool parallel = static_cast<std::int64_t>(n) > kParallelThreshold;
    FirstError error;

#pragma omp parallel for schedule(dynamic, 1) if (parallel)
    for (int i = 0; i < n; ++i) {
        if (cancel_requested.load() || error.raised()) continue;
        try {
            const Point2D point = result.points[static_cast<std::size_t>(i)];
            // The caller's configuration keeps the integer search on, which is the point of
            // the retry; per-point seeds are deliberately not applied here.
            const PointResult outcome =
                compute_point(reference, deformed, point.y, point.x, caller_config);
            if (accepted(outcome, caller_config))
                store(outcome, static_cast<std::size_t>(i), result);
        } catch (...) {
            error.capture();
        }
    }
    error.rethrow_if_raised();
}

void DICEngine::recover_spatially(const cv::Mat& reference, const cv::Mat& deformed,
                                  const DICConfig& run_config, DICResult& result) const {
    const int rows = result.rows;
    const int cols = result.cols;
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    const detail::RecoveryLimits limits = detail::recovery_limits(static_cast<std::int64_t>(n));
    std::int64_t budget = limits.budget;
    int passes = 0;

    while (budget > 0) {
        // Every candidate reads its neighbours from these copies, so a pass's outcome does
        // not depend on which thread rescued which point first.
        const std::vector<double> snapshot_u = result.u;
        const std::vector<double> snapshot_v = result.v;
        const std::vector<std::uint8_t> snapshot_valid = result.valid;

        std::vector<detail::RecoveryCandidate> candidates =
            detail::recovery_candidates(snapshot_valid, rows, cols);
        if (candidates.empty()) break;
        if (static_cast<std::int64_t>(candidates.size()) > budget)
            candidates.resize(static_cast<std::size_t>(budget));
        const int kept = static_cast<int>(candidates.size());
        budget -= kept;

        std::vector<PointResult> outcomes(n);
        std::vector<std::uint8_t> rescued(n, 0);
        FirstError error;

#pragma omp parallel for schedule(dynamic, 1) if (kept > kParallelThreshold)
        for (int j = 0; j < kept; ++j) {
            if (cancel_requested.load() || error.raised()) continue;
            try {
                const int i = candidates[static_cast<std::size_t>(j)].second;
                std::array<double, 8> neighbour_u{};
                std::array<double, 8> neighbour_v{};
                int k = 0;
                detail::for_each_neighbour(rows, cols, i, [&](int nb) {
                    const auto at = static_cast<std::size_t>(nb);
                    if (snapshot_valid[at] == 0) return;
                    neighbour_u[static_cast<std::size_t>(k)] = snapshot_u[at];
                    neighbour_v[static_cast<std::size_t>(k)] = snapshot_v[at];
                    ++k;
                });
                // u and v take their medians independently.
                const double start_u = detail::median_rank_value(neighbour_u.data(), k);
                const double start_v = detail::median_rank_value(neighbour_v.data(), k);
                const Point2D point = result.points[static_cast<std::size_t>(i)];
                const PointResult outcome = compute_tracking_simplex(
                    reference, deformed, point.y, point.x, run_config, start_u, start_v);
                if (accepted(outcome, run_config)) {
                    outcomes[static_cast<std::size_t>(i)] = outcome;
                    rescued[static_cast<std::size_t>(i)] = 1;
                }
            } catch (...) {
                error.capture();
            }
        }
        error.rethrow_if_raised();

        std::int64_t merged = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!rescued[i]) continue;
            store(outcomes[i], i, result);
            ++merged;
        }
        if (detail::recovery_stalls(merged, kept)) break;
        if (++passes >= limits.max_passes) break;
    }
}

}  // namespace morvex::dic
