#pragma once
/// One frame of a guided correlation in progress: the result being filled, where every grid
/// point stands, and the work on one point (its guide, the starts it is solved from, the
/// verdict on each outcome). Propagation and seeding drive it; threads share one FrameRun and
/// write disjoint points.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <queue>
#include <vector>

#include <morvex/guided.hpp>

#include "guided/reference/crack_barrier.h"
#include "guided/reference/reference_data.h"
#include "guided/search/feature_seeds.h"
#include "guided/search/search.h"
#include "guided/solve/subset_solver.h"

namespace morvex::dic::detail {

/// Where a grid point stands during a run.
enum PointState : std::uint8_t { kUntouched = 0, kDone = 1, kFailed = 2, kFixed = 3 };

/// The grid cut into blocks of about equal area, each grown by one thread at a time.
struct Blocks {
    int count = 1;
    std::vector<int> of_point;             ///< block of every grid point
    std::vector<std::vector<int>> points;  ///< grid points of every block, row order
};

/// Priority: higher ZNCC first, then the lower index, so the visiting order is fixed.
struct QueueItem {
    double zncc;
    int index;
    bool operator<(const QueueItem& o) const {
        if (zncc != o.zncc) return zncc < o.zncc;
        return index > o.index;
    }
};
using GrowthQueue = std::priority_queue<QueueItem>;

/// The up to four grid neighbours of point i, written to `out` above, left, right, below (a
/// fixed order keeps growth deterministic); returns how many there are.
inline int grid_neighbours(int i, int rows, int cols, int out[4]) {
    const int r = i / cols, c = i % cols;
    int n = 0;
    if (r > 0) out[n++] = i - cols;
    if (c > 0) out[n++] = i - 1;
    if (c + 1 < cols) out[n++] = i + 1;
    if (r + 1 < rows) out[n++] = i + cols;
    return n;
}

/// The grid neighbours of point i (as grid_neighbours) that no crack line separates from it:
/// growth, a seed's confirmation and the regions a seed may start never step across a line.
inline int linked_neighbours(const ReferenceImage::Data& ref, int i, int out[4]) {
    int all[4];
    const int count = grid_neighbours(i, ref.grid_rows(), ref.grid_cols(), all);
    if (ref.near_crack.empty()) {
        for (int k = 0; k < count; ++k) out[k] = all[k];
        return count;
    }
    int n = 0;
    for (int k = 0; k < count; ++k)
        if (!crack_between(ref, i, all[k])) out[n++] = all[k];
    return n;
}

/// Adds the time from its construction to its end to one grid point's work.
class PointTimer {
public:
    PointTimer(std::vector<double>& spent, int index)
        : spent_(spent), index_(index), start_(std::chrono::steady_clock::now()) {}
    ~PointTimer() {
        spent_[index_] +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    PointTimer(const PointTimer&) = delete;
    PointTimer& operator=(const PointTimer&) = delete;

private:
    std::vector<double>& spent_;
    int index_;
    std::chrono::steady_clock::time_point start_;
};

/// Shared state of one frame's run. `state` and the result slots of a point are written only
/// by the thread that owns the point's block (or by the single-threaded phases).
class FrameRun {
public:
    FrameRun(const ReferenceImage::Data& reference, const DeformedFrame& frame,
             const GuidedConfig& config, const GuidedResult* previous, GuidedResult& out);

    const ReferenceImage::Data& ref;
    const DeformedFrame& frame;
    const GuidedConfig& config;
    const GuidedResult* previous;  ///< last frame's field on this grid, or null
    GuidedResult& out;
    SearchImage search_image;
    std::vector<std::uint8_t> state;       ///< PointState of every grid point
    std::vector<std::uint8_t> tried_seed;  ///< 1 once a point was tried as a block seed
    Blocks blocks;
    std::vector<std::vector<int>> explicit_seeds;  ///< per block
    int first_seed = -1;                           ///< the frame's first seed, -1 if none
    Warp first_seed_warp;
    FeatureMotion features;  ///< the frame's feature motion, when seeding looked for it

    bool cancelled() const;
    /// Cancelled, or another thread failed: workers return as soon as they see it.
    bool stopped() const;
    /// Keep the first exception of any thread and stop the others.
    void record_error();
    /// Rethrow the recorded exception, if any, on the calling thread.
    void rethrow_error() const;
    bool failed() const { return static_cast<bool>(error_); }
    /// Progress callback: `final_call` reports the total.
    void report(bool final_call);
    void finish_point();
    /// Points finished before the run starts (fixed by the reference image).
    void count_finished(int points) { finished_ += points; }

    void write(int index, const SubsetSolution& s);
    void flat_point(int index);
    /// The accepted warp of a finished point.
    Warp warp_of(int index) const;
    /// The guide a converged neighbour `from` gives grid point `to`: its warp carried over the
    /// grid distance by its own displacement gradients.
    Warp guide_from_neighbour(int from, int to) const;
    /// `w`, measured at grid point `from`, carried to grid point `to` by its gradients.
    Warp carry(Warp w, int from, int to) const;

    /// Converged, correlated enough and no further than max_jump px from `start` (when given).
    SubsetSolution judge(SubsetSolution s, const Warp* start, bool centre_only = false) const;
    /// Whether `w` moves the subset's centre or (unless `centre_only`) one of its corners more
    /// than max_jump px (in u or v) away from where `start` puts it.
    bool jumps(const Warp& w, const Warp& start, bool centre_only) const;
    /// The same against `limit` px instead of max_jump.
    bool jumps(const Warp& w, const Warp& start, bool centre_only, double limit) const;
    /// A prepared point grown from a neighbour: from its guide, then from the best whole-pixel
    /// shift within residual_range() px of it; every outcome within max_jump of the guide. No
    /// full search. Returns the accepted solution or the first failure.
    SubsetSolution solve_guided(SubsetSolver& solver, const Warp& guide) const;
    /// A prepared seed: from `guide` (when given and in view) and the residual search around
    /// it, then a full search, whose start the solve may leave by at most max_jump px. The
    /// guide bounds nothing: the seed's neighbours judge it.
    SubsetSolution solve_seed(SubsetSolver& solver, int index, const Warp* guide);
    /// Grow point `index` from `guide` (a neighbour's): kLeftView when the guide moves its
    /// subset out of view, otherwise solve_guided(). On success the point is done and queued;
    /// on failure it is finished with its status when `final_on_failure`, except that with
    /// `defer_jump` a kDisplacementJump leaves it for another neighbour's guide.
    bool attempt(SubsetSolver& solver, int index, const Warp& guide, bool final_on_failure,
                 GrowthQueue& queue, bool defer_jump = true);
    /// Finish point `index` as out of view (no estimate).
    void left_view_point(int index);
    /// Remember a failure of a point that is not finished, in case nothing reaches it later.
    void remember(int index, const SubsetSolution& s);
    /// Whole pixels searched around a guide that failed: a guide off by a few pixels (a steep
    /// gradient across one grid step), but no further than a start the jump test could accept.
    int residual_range() const;
    int full_searches() const { return full_searches_.load(); }
    /// Seconds of work spent on each grid point, written by the thread that works on it.
    std::vector<double> spent;
    /// The guide of each point's last failed attempt (u NaN: none), by the thread that owns it.
    std::vector<Warp> failed_guide;

private:
    std::atomic<int> finished_{0};
    std::atomic<bool> stop_{false};
    std::atomic<int> full_searches_{0};
    std::mutex error_mutex_, progress_mutex_;
    std::exception_ptr error_;
};

}  // namespace morvex::dic::detail
