#include "guided/propagation/propagation.h"

#include <algorithm>
#include <cmath>

#include "guided/field/discontinuity.h"
#include "guided/field/misfit.h"
#include "guided/propagation/seeding.h"

namespace morvex::dic::detail {

namespace {

// Automatic block count: one block per this many grid points, 1 to kMaxAutoBlocks.
constexpr int kPointsPerBlock = 250;
constexpr int kMaxAutoBlocks = 64;

void grow_block(FrameRun& run, int block) {
    if (run.stopped()) return;
    SubsetSolver solver(run.ref, run.frame, run.config.max_iterations,
                        run.config.convergence_threshold);
    GrowthQueue queue;
    const auto grow_here = [&] { grow(run, solver, queue, block); };
    if (run.previous) seed_from_previous(run, solver, queue, block, grow_here);
    grow_here();
    seed_block(run, solver, queue, block, grow_here);
}

// Points no block reached, one thread, in a fixed order: first grown from every finished
// neighbour; then every point still untouched in a region holding a finished point is tried
// from the nearest one (breadth first over the grid, through failed points but not across
// fixed ones), and growth resumes from each success. What is left has no finished point in
// its region: kNotReached.
void final_phase(FrameRun& run) {
    const int n = run.ref.points();
    bool any = false;
    for (int i = 0; i < n && !any; ++i) any = run.state[i] == kUntouched;
    if (!any) return;
    SubsetSolver solver(run.ref, run.frame, run.config.max_iterations,
                        run.config.convergence_threshold);
    GrowthQueue queue;
    for (int i = 0; i < n; ++i)
        if (run.state[i] == kDone) queue.push({run.out.zncc[i], i});
    grow(run, solver, queue, -1);
    std::vector<int> source(static_cast<std::size_t>(n), -1);
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        if (run.state[i] == kDone) {
            source[i] = i;
            order.push_back(i);
        }
    for (std::size_t head = 0; head < order.size(); ++head) {
        const int i = order[head];
        int near[4];
        const int near_count = linked_neighbours(run.ref, i, near);
        for (int k = 0; k < near_count; ++k) {
            const int j = near[k];
            if (source[j] >= 0 || run.state[j] == kFixed) continue;
            source[j] = source[i];
            order.push_back(j);
        }
    }
    for (int j : order) {
        if (run.stopped()) return;
        if (run.state[j] != kUntouched) continue;
        const Warp guide = run.guide_from_neighbour(source[j], j);
        if (run.attempt(solver, j, guide, true, queue, false)) grow(run, solver, queue, -1);
    }
}

}  // namespace

Blocks make_blocks(int rows, int cols, int requested) {
    const int n = rows * cols;
    int want = requested > 0
                   ? requested
                   : std::clamp((n + kPointsPerBlock / 2) / kPointsPerBlock, 1, kMaxAutoBlocks);
    want = std::min(want, n);
    int bc = static_cast<int>(std::lround(std::sqrt(static_cast<double>(want) * cols / rows)));
    bc = std::clamp(bc, 1, cols);
    int br = std::clamp((want + bc - 1) / bc, 1, rows);
    Blocks b;
    b.count = br * bc;
    b.of_point.resize(n);
    b.points.resize(b.count);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            // 64-bit products: a block index fits an int, r * br may not.
            const int id = static_cast<int>(static_cast<long long>(r) * br / rows) * bc +
                           static_cast<int>(static_cast<long long>(c) * bc / cols);
            b.of_point[r * cols + c] = id;
            b.points[id].push_back(r * cols + c);
        }
    return b;
}

void grow(FrameRun& run, SubsetSolver& solver, GrowthQueue& queue, int block) {
    while (!queue.empty()) {
        if (run.stopped()) return;
        const int i = queue.top().index;
        queue.pop();
        int near[4];
        const int near_count = linked_neighbours(run.ref, i, near);
        for (int k = 0; k < near_count; ++k) {
            const int j = near[k];
            // Another block's points belong to its thread: never read their state.
            if (block >= 0 && run.blocks.of_point[j] != block) continue;
            if (run.state[j] != kUntouched) continue;
            if (run.stopped()) return;
            const Warp guide = run.guide_from_neighbour(i, j);
            run.attempt(solver, j, guide, true, queue);
        }
    }
}

void propagate(FrameRun& run, int threads) {
    const int n = run.ref.points();
    int fixed = 0;
    for (int i = 0; i < n; ++i)
        if (run.ref.point_state[i] != 0) {
            run.state[i] = kFixed;
            run.out.status[i] = run.ref.point_state[i];
            ++fixed;
        }
    run.count_finished(fixed);
    run.blocks = make_blocks(run.ref.grid_rows(), run.ref.grid_cols(), run.config.seed_count);
    place_explicit_seeds(run);
    if (!run.previous) find_first_seed(run);
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
    for (int b = 0; b < run.blocks.count; ++b) {
        try {
            grow_block(run, b);
        } catch (...) {
            run.record_error();
        }
    }
    if (!run.failed() && !run.stopped()) {
        try {
            final_phase(run);
        } catch (...) {
            run.record_error();
        }
    }
    for (int i = 0; i < n; ++i)
        if (run.state[i] == kUntouched)
            run.out.status[i] = static_cast<std::uint8_t>(
                run.cancelled() ? GuidedStatus::kCancelled : GuidedStatus::kNotReached);
    // A subset across a jump is told apart before the misfit test, which would call it a
    // poor match: its residual is the medians' business only once it is gone.
    if (!run.failed() && !run.cancelled()) {
        mark_discontinuities(run.ref, run.frame, run.config, run.out, threads);
        reject_misfits(run.out);
    }
    run.out.seconds_by_status.assign(
        static_cast<std::size_t>(GuidedStatus::kCrossesDiscontinuity) + 1, 0.0);
    for (int i = 0; i < n; ++i) run.out.seconds_by_status[run.out.status[i]] += run.spent[i];
    run.rethrow_error();
    run.report(true);
}

}  // namespace morvex::dic::detail
