#include "guided/seeding.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace morvex::dic::detail {

namespace {

// Seeds tried per block before its remaining points are left to the neighbouring blocks.
constexpr int kMaxSeedAttempts = 6;
// Textured points tried with a full search for the frame's first seed.
constexpr int kMaxFirstSeedTries = 16;

double finite_or_zero(double x) { return std::isfinite(x) ? x : 0.0; }

}  // namespace

int nearest_grid_point(const ReferenceImage::Data& reference, int y, int x) {
    auto nearest = [](const std::vector<int>& axis, int value) {
        int best = 0;
        for (int k = 1; k < static_cast<int>(axis.size()); ++k)
            if (std::abs(axis[k] - value) < std::abs(axis[best] - value)) best = k;
        return best;
    };
    return nearest(reference.grid_y, y) * reference.grid_cols() + nearest(reference.grid_x, x);
}

std::pair<double, double> centre_of(const ReferenceImage::Data& reference,
                                    const std::vector<int>& points) {
    const int cols = reference.grid_cols();
    double cy = 0.0, cx = 0.0;
    for (int i : points) {
        cy += i / cols;
        cx += i % cols;
    }
    const auto n = static_cast<double>(points.size());
    return {cy / n, cx / n};
}

std::vector<int> by_distance_to_centre(const ReferenceImage::Data& reference,
                                       const std::vector<int>& points) {
    const int cols = reference.grid_cols();
    const auto [cy, cx] = centre_of(reference, points);
    std::vector<std::pair<double, int>> order;
    order.reserve(points.size());
    for (int i : points)
        order.push_back({(i / cols - cy) * (i / cols - cy) + (i % cols - cx) * (i % cols - cx), i});
    std::sort(order.begin(), order.end());
    std::vector<int> out;
    out.reserve(order.size());
    for (const auto& entry : order) out.push_back(entry.second);
    return out;
}

void place_explicit_seeds(FrameRun& run) {
    run.explicit_seeds.assign(static_cast<std::size_t>(run.blocks.count), {});
    for (const Point2D& p : run.config.seed_points) {
        const int idx = nearest_grid_point(run.ref, p.y, p.x);
        run.explicit_seeds[run.blocks.of_point[idx]].push_back(idx);
    }
}

void find_first_seed(FrameRun& run) {
    SubsetSolver solver(run.ref, run.frame, run.config.max_iterations,
                        run.config.convergence_threshold);
    std::vector<int> order;
    for (const auto& list : run.explicit_seeds) order.insert(order.end(), list.begin(), list.end());
    for (int b = 0; b < run.blocks.count; ++b)
        for (int i : by_distance_to_centre(run.ref, run.blocks.points[b]))
            if (run.state[i] == kUntouched) order.push_back(i);
    int tries = 0;
    for (int i : order) {
        if (run.stopped() || tries >= kMaxFirstSeedTries) return;
        if (!solver.prepare(i)) continue;
        ++tries;
        const SubsetSolution s = run.evaluate(solver, nullptr, false);
        if (s.status == GuidedStatus::kConverged) {
            run.first_seed = i;
            run.first_seed_warp = s.warp;
            return;
        }
    }
}

void seed_from_previous(FrameRun& run, SubsetSolver& solver, GrowthQueue& queue, int block) {
    const GuidedResult& previous = *run.previous;
    const std::vector<int>& pts = run.blocks.points[block];
    // A whole-body motion between frames costs one search per block.
    const auto previous_warp = [&](int i) {
        Warp w;
        w.u = previous.u[i];
        w.v = previous.v[i];
        w.du_dx = finite_or_zero(previous.du_dx[i]);
        w.du_dy = finite_or_zero(previous.du_dy[i]);
        w.dv_dx = finite_or_zero(previous.dv_dx[i]);
        w.dv_dy = finite_or_zero(previous.dv_dy[i]);
        return w;
    };
    const auto has_previous = [&](int i) {
        return std::isfinite(previous.u[i]) && std::isfinite(previous.v[i]);
    };
    double shift_u = 0.0, shift_v = 0.0;
    for (int i : by_distance_to_centre(run.ref, pts)) {
        if (run.stopped()) return;
        if (run.state[i] != kUntouched || !has_previous(i)) continue;
        if (!solver.prepare(i)) {
            run.flat_point(i);
            continue;
        }
        const Warp w = previous_warp(i);
        if (run.attempt(solver, i, &w, false, queue, false)) {
            shift_u = run.out.u[i] - w.u;
            shift_v = run.out.v[i] - w.v;
        }
        break;  // one seed check per block
    }
    for (int i : pts) {
        if (run.state[i] != kUntouched || !has_previous(i)) continue;
        if (run.stopped()) return;
        Warp w = previous_warp(i);
        w.u += shift_u;
        w.v += shift_v;
        if (!solver.prepare(i)) {
            run.flat_point(i);
            continue;
        }
        const SubsetSolution s = run.judge(solver.solve(w), nullptr);
        if (s.status == GuidedStatus::kConverged) {
            run.write(i, s);
            run.state[i] = kDone;
            run.finish_point();
            queue.push({s.zncc, i});
        }
    }
}

void seed_block(FrameRun& run, SubsetSolver& solver, GrowthQueue& queue, int block,
                const std::function<void()>& grow) {
    const std::vector<int>& pts = run.blocks.points[block];
    const std::vector<int>& candidates = run.explicit_seeds[block];
    const int cols = run.ref.grid_cols();
    const auto [cy, cx] = centre_of(run.ref, pts);
    for (int searches = 0; searches < kMaxSeedAttempts;) {
        if (run.stopped()) return;
        int seed = -1;
        for (int i : candidates)
            if (run.state[i] == kUntouched && !run.tried_seed[i]) {
                seed = i;
                break;
            }
        if (seed < 0) {
            double best = std::numeric_limits<double>::infinity();
            for (int i : pts) {
                if (run.state[i] != kUntouched || run.tried_seed[i]) continue;
                const double d =
                    (i / cols - cy) * (i / cols - cy) + (i % cols - cx) * (i % cols - cx);
                if (d < best) {
                    best = d;
                    seed = i;
                }
            }
        }
        if (seed < 0) return;  // block covered
        run.tried_seed[seed] = 1;
        // A seed starts from the first seed's warp (one full search per frame instead of
        // one per block); the fallbacks search around it, then everywhere.
        Warp guide;
        const Warp* start = nullptr;
        if (run.first_seed >= 0) {
            guide = run.carry(run.first_seed_warp, run.first_seed, seed);
            start = &guide;
        }
        // A flat candidate costs nothing and does not count against the attempts.
        if (!solver.prepare(seed)) {
            run.flat_point(seed);
            continue;
        }
        ++searches;
        if (run.attempt(solver, seed, start, false, queue, false)) grow();
    }
}

}  // namespace morvex::dic::detail
