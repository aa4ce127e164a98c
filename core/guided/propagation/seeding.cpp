#include "guided/propagation/seeding.h"

#include "guided/propagation/field_of_view.h"
#include "guided/solve/warp_fields.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

namespace morvex::dic::detail {

namespace {

// Seeds tried per block before its remaining points are left to the neighbouring blocks.
constexpr int kMaxSeedAttempts = 6;
// Textured points tried with a full search for the frame's first seed.
constexpr int kMaxFirstSeedTries = 16;

double finite_or_zero(double x) {
    return std::isfinite(x) ? x : 0.0;
}

}  // namespace

int nearest_grid_point(const ReferenceImage::Data& reference, int y, int x) {
    // In 64 bits: a seed may be given anywhere in int's range, far off the image.
    auto nearest = [](const std::vector<int>& axis, int value) {
        auto distance = [value](int a) {
            return std::llabs(static_cast<long long>(a) - static_cast<long long>(value));
        };
        int best = 0;
        for (int k = 1; k < static_cast<int>(axis.size()); ++k)
            if (distance(axis[k]) < distance(axis[best])) best = k;
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

void check_explicit_seeds(const ReferenceImage::Data& reference,
                          const GuidedSolveSettings& config) {
    const std::size_t n = config.seed_points.size();
    if ((!config.seed_u.empty() || !config.seed_v.empty()) &&
        (config.seed_u.size() != n || config.seed_v.size() != n))
        throw std::invalid_argument("correlate_guided: seed_u and seed_v hold " +
                                    std::to_string(config.seed_u.size()) + " and " +
                                    std::to_string(config.seed_v.size()) +
                                    " values, expected none or one per "
                                    "seed (" +
                                    std::to_string(n) + ")");
    const int rows = reference.image.rows, cols = reference.image.cols;
    for (std::size_t k = 0; k < n; ++k) {
        const Point2D& p = config.seed_points[k];
        const std::string where = "correlate_guided: seed (row, column) = (" + std::to_string(p.y) +
                                  ", " + std::to_string(p.x) + ")";
        if (p.y < 0 || p.y >= rows || p.x < 0 || p.x >= cols)
            throw std::invalid_argument(where + " lies outside the " + std::to_string(rows) +
                                        " x " + std::to_string(cols) + " image");
        if (!reference.specimen.empty() && reference.specimen.at<std::uint8_t>(p.y, p.x) == 0)
            throw std::invalid_argument(where + " lies on the mask's background");
        if (!config.seed_u.empty() &&
            std::isfinite(config.seed_u[k]) != std::isfinite(config.seed_v[k]))
            throw std::invalid_argument(where +
                                        " has a start (u, v) with one value not finite;"
                                        " give both, or NaN for both to search");
    }
}

namespace {

// The start given with an explicit seed that snaps to grid point `index`, if any.
bool explicit_start(const FrameRun& run, int index, Warp& start) {
    const GuidedConfig& config = run.config;
    if (config.seed_u.empty()) return false;
    for (std::size_t k = 0; k < config.seed_points.size(); ++k) {
        if (!std::isfinite(config.seed_u[k]) || !std::isfinite(config.seed_v[k])) continue;
        const Point2D& p = config.seed_points[k];
        if (nearest_grid_point(run.ref, p.y, p.x) != index) continue;
        start = Warp{};
        start.u = config.seed_u[k];
        start.v = config.seed_v[k];
        return true;
    }
    return false;
}

}  // namespace

void place_explicit_seeds(FrameRun& run) {
    run.explicit_seeds.assign(static_cast<std::size_t>(run.blocks.count), {});
    for (const Point2D& p : run.config.seed_points) {
        const int idx = nearest_grid_point(run.ref, p.y, p.x);
        run.explicit_seeds[run.blocks.of_point[idx]].push_back(idx);
    }
}

namespace {

// A seed no neighbour can vouch for needs a match this much closer to 1 than min_zncc is:
// ZNCC >= 1 - kLoneSeedMargin * (1 - min_zncc). False matches of a whole-image search on
// speckle score just above min_zncc.
constexpr double kLoneSeedMargin = 0.5;
// Agreeing neighbours a seed needs when it has at least this many usable ones.
constexpr int kAgreeingNeighbours = 2;

struct NeighbourCheck {
    int index = -1;
    bool in_view = true;
    SubsetSolution solution;
};

// Whether the seed at `index` (solution `s`) is confirmed by its neighbours, each solved from
// the guide the seed gives it exactly as growth would solve it: two of them (or the one it
// has), and one along every axis that has a usable neighbour. Neighbours outside the mask,
// flat or out of view cannot vouch; `checks` receives what was solved.
bool neighbours_agree(FrameRun& run, SubsetSolver& solver, int index, const SubsetSolution& s,
                      std::vector<NeighbourCheck>& checks) {
    const int cols = run.ref.grid_cols();
    int near[4];
    const int near_count = linked_neighbours(run.ref, index, near);
    checks.clear();
    int usable = 0, agree = 0;
    // Per axis (0: along a column, 1: along a row): a crack's points agree with each other
    // along it, never across it.
    int axis_usable[2] = {0, 0}, axis_agree[2] = {0, 0};
    for (int k = 0; k < near_count; ++k) {
        const int j = near[k];
        if (run.ref.point_state[j] != 0) continue;
        const Warp guide = run.carry(s.warp, index, j);
        NeighbourCheck check;
        check.index = j;
        if (left_view(run.ref, run.frame, j, guide)) {
            check.in_view = false;
            checks.push_back(check);
            continue;
        }
        if (!solver.prepare(j)) continue;
        check.solution = run.solve_guided(solver, guide);
        const int axis = j / cols == index / cols ? 1 : 0;
        ++usable;
        ++axis_usable[axis];
        if (check.solution.status == GuidedStatus::kConverged) {
            ++agree;
            ++axis_agree[axis];
        }
        checks.push_back(check);
    }
    if (usable == 0) return s.zncc >= 1.0 - kLoneSeedMargin * (1.0 - run.config.min_zncc);
    for (int axis = 0; axis < 2; ++axis)
        if (axis_usable[axis] > 0 && axis_agree[axis] == 0) return false;
    return agree >= std::min(usable, kAgreeingNeighbours);
}

// Solve seed `index` (prepared) from `guide` or by search and keep it only when its
// neighbours agree. An accepted seed is done and queued with its neighbours of `block`
// (block < 0: none written), which are finished just as growth from it would finish them.
bool try_seed(FrameRun& run, SubsetSolver& solver, int index, const Warp* guide, GrowthQueue& queue,
              int block, SubsetSolution* accepted = nullptr) {
    SubsetSolution s = run.solve_seed(solver, index, guide);
    if (s.status != GuidedStatus::kConverged) {
        run.remember(index, s);
        return false;
    }
    std::vector<NeighbourCheck> checks;
    if (!neighbours_agree(run, solver, index, s, checks)) {
        s.status = GuidedStatus::kDisplacementJump;
        run.remember(index, s);
        return false;
    }
    if (accepted) *accepted = s;
    if (block < 0) return true;
    run.write(index, s);
    run.state[index] = kDone;
    run.finish_point();
    queue.push({s.zncc, index});
    for (const NeighbourCheck& check : checks) {
        const int j = check.index;
        if (run.blocks.of_point[j] != block || run.state[j] != kUntouched) continue;
        if (!check.in_view) {
            run.left_view_point(j);
            continue;
        }
        run.write(j, check.solution);
        const bool ok = check.solution.status == GuidedStatus::kConverged;
        run.state[j] = ok ? kDone : kFailed;
        run.finish_point();
        if (ok) queue.push({check.solution.zncc, j});
    }
    return true;
}

// Whether the untouched points of `block` connected to `index` (through untouched points not
// yet tried) border a point of the block that growth finished (done or failed): growth reached that
// region, and a search there would only find what its border could not; the final pass
// tries it from the nearest finished point. Every point of the region is marked tried.
bool region_reached(FrameRun& run, int index, int block) {
    std::vector<int> region{index};
    run.tried_seed[index] = 1;
    bool reached = false;
    for (std::size_t head = 0; head < region.size(); ++head) {
        const int i = region[head];
        int near[4];
        const int near_count = linked_neighbours(run.ref, i, near);
        for (int k = 0; k < near_count; ++k) {
            const int j = near[k];
            if (run.blocks.of_point[j] != block) continue;
            // Flat points are also finished by seeding, which reaches nothing.
            if (run.state[j] == kDone ||
                (run.state[j] == kFailed &&
                 run.out.status[j] != static_cast<std::uint8_t>(GuidedStatus::kFlatSubset)))
                reached = true;
            if (run.state[j] != kUntouched || run.tried_seed[j]) continue;
            run.tried_seed[j] = 1;
            region.push_back(j);
        }
    }
    if (!reached)
        for (int i : region) run.tried_seed[i] = 0;
    return reached;
}

}  // namespace

bool seed_start(const FrameRun& run, int index, Warp& start) {
    if (explicit_start(run, index, start)) return true;
    if (feature_warp(run.features, run.ref, index, start)) return true;
    if (run.first_seed < 0) return false;
    start = run.carry(run.first_seed_warp, run.first_seed, index);
    return true;
}

void find_first_seed(FrameRun& run) {
    const FeatureSeeds mode = run.config.feature_seeds;
    if (mode == FeatureSeeds::kOn) run.features = estimate_feature_motion(run.ref, run.frame.clean);
    SubsetSolver solver(run.ref, run.frame, run.config.max_iterations,
                        run.config.convergence_threshold);
    std::vector<int> order;
    for (const auto& list : run.explicit_seeds) order.insert(order.end(), list.begin(), list.end());
    for (int b = 0; b < run.blocks.count; ++b)
        for (int i : by_distance_to_centre(run.ref, run.blocks.points[b]))
            if (run.state[i] == kUntouched) order.push_back(i);
    int tries = 0;
    GrowthQueue unused;
    for (int i : order) {
        if (run.stopped() || tries >= kMaxFirstSeedTries) break;
        const PointTimer timer(run.spent, i);
        if (!solver.prepare(i)) continue;
        ++tries;
        Warp start;
        const bool has_start = seed_start(run, i, start);
        SubsetSolution s;
        if (try_seed(run, solver, i, has_start ? &start : nullptr, unused, -1, &s)) {
            run.first_seed = i;
            run.first_seed_warp = s.warp;
            break;
        }
    }
    // Only now, so that a pair the translation search seeds at once never sees a feature: its
    // result stays exactly what it was.
    if (mode != FeatureSeeds::kAuto || run.stopped() || (run.first_seed >= 0 && tries <= 1)) return;
    run.features = estimate_feature_motion(run.ref, run.frame.clean);
    if (run.first_seed < 0) return;
    // A seed found only after others failed may be a chance match on a turned specimen (a
    // photographed card at 180 degrees grew 4 points from one, 40 px wrong): where its
    // region's features place it elsewhere, the features start the blocks; where they agree,
    // or say nothing, the search's seed stands alone, as without features.
    Warp w;
    if (feature_warp(run.features, run.ref, run.first_seed, w) &&
        run.jumps(run.first_seed_warp, w, true))
        run.first_seed = -1;
    else
        run.features = FeatureMotion{};
}

void seed_from_previous(FrameRun& run, SubsetSolver& solver, GrowthQueue& queue, int block,
                        const std::function<void()>& grow) {
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
        if (run.ref.params == 12) load_curvature(previous, i, w);
        return w;
    };
    const auto has_previous = [&](int i) {
        return std::isfinite(previous.u[i]) && std::isfinite(previous.v[i]);
    };
    double shift_u = 0.0, shift_v = 0.0;
    bool settled = false;
    for (int i : by_distance_to_centre(run.ref, pts)) {
        if (run.stopped()) return;
        if (run.state[i] != kUntouched || !has_previous(i)) continue;
        const PointTimer timer(run.spent, i);
        if (!solver.prepare(i)) {
            run.flat_point(i);
            continue;
        }
        const Warp w = previous_warp(i);
        if (left_view(run.ref, run.frame, i, w)) continue;  // the next one nearest the centre
        SubsetSolution seed;
        if (try_seed(run, solver, i, &w, queue, block, &seed)) {
            shift_u = run.out.u[i] - w.u;
            shift_v = run.out.v[i] - w.v;
            settled = seed.iterations <= 1;
        }
        break;  // one seed check per block
    }
    // Growth first, unless the seed found the previous field already converged (a frame
    // that did not move, a run started again on its own result): a converged neighbour's
    // warp, carried across one grid step, is a closer start than the point's field of the
    // frame before, which misses the frame's strain increment away from the seed (about two
    // iterations a point instead of three). The previous field then starts only what growth
    // has not reached, and growth goes on from each point it starts.
    if (!settled) grow();
    for (int i : pts) {
        if (run.state[i] != kUntouched || !has_previous(i)) continue;
        if (run.stopped()) return;
        Warp w = previous_warp(i);
        w.u += shift_u;
        w.v += shift_v;
        // A point whose start leaves the view waits for its neighbours' guides.
        if (left_view(run.ref, run.frame, i, w)) continue;
        bool converged = false;
        {
            const PointTimer timer(run.spent, i);
            if (!solver.prepare(i)) {
                run.flat_point(i);
                continue;
            }
            const SubsetSolution s = run.judge(solver.solve(w), &w);
            converged = s.status == GuidedStatus::kConverged;
            if (converged) {
                run.write(i, s);
                run.state[i] = kDone;
                run.finish_point();
                queue.push({s.zncc, i});
            }
        }
        if (converged && !settled) grow();
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
        if (region_reached(run, seed, block)) continue;
        run.tried_seed[seed] = 1;
        // A seed starts from its own start (an explicit one, else its region's feature
        // motion, else the first seed's warp: one full search per frame instead of one per
        // block); the fallbacks search around it, then everywhere.
        Warp guide;
        const Warp* start = seed_start(run, seed, guide) ? &guide : nullptr;
        // A candidate the first seed's warp moves out of view, or a flat one, costs nothing
        // and does not count against the attempts.
        if (start && left_view(run.ref, run.frame, seed, *start))
            continue;  // the final pass decides
        bool accepted = false;
        {
            const PointTimer timer(run.spent, seed);
            if (!solver.prepare(seed)) {
                run.flat_point(seed);
                continue;
            }
            ++searches;
            accepted = try_seed(run, solver, seed, start, queue, block);
        }
        if (accepted) grow();
    }
}

}  // namespace morvex::dic::detail
