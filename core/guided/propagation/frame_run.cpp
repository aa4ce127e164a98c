#include "guided/propagation/frame_run.h"

#include "guided/propagation/field_of_view.h"
#include "guided/solve/warp_fields.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvex::dic::detail {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Whole pixels searched around a guess that failed before the full search is tried: covers
// a guide that is off by a few pixels (a steep gradient across one grid step).
constexpr int kResidualRange = 3;
// The progress callback is called at most once per this many finished points (and at the end).
constexpr int kProgressEvery = 64;
// Starts closer than this, px, in u and v at the subset's centre and corners, are the same
// start: the solve from the second goes where the first went.
constexpr double kSameStart = 0.1;

}  // namespace

FrameRun::FrameRun(const ReferenceImage::Data& reference, const DeformedFrame& deformed,
                   const GuidedConfig& run_config, const GuidedResult* previous_result,
                   GuidedResult& result)
    : ref(reference),
      frame(deformed),
      config(run_config),
      previous(previous_result),
      out(result),
      search_image(deformed.clean),
      state(static_cast<std::size_t>(reference.points()), kUntouched),
      tried_seed(static_cast<std::size_t>(reference.points()), 0),
      spent(static_cast<std::size_t>(reference.points()), 0.0) {
    Warp none;
    none.u = kNaN;
    failed_guide.assign(static_cast<std::size_t>(reference.points()), none);
}

bool FrameRun::cancelled() const {
    return config.cancel != nullptr && config.cancel->load(std::memory_order_relaxed);
}

bool FrameRun::stopped() const {
    return stop_.load(std::memory_order_relaxed) || cancelled();
}

void FrameRun::record_error() {
    std::lock_guard<std::mutex> lock(error_mutex_);
    if (!error_) error_ = std::current_exception();
    stop_ = true;
}

void FrameRun::rethrow_error() const {
    if (error_) std::rethrow_exception(error_);
}

void FrameRun::report(bool final_call) {
    if (!config.progress) return;
    const int total = ref.points();
    if (final_call) {
        config.progress(cancelled() ? std::min(finished_.load(), total) : total, total);
        return;
    }
    std::unique_lock<std::mutex> lock(progress_mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    config.progress(std::min(finished_.load(), total), total);
}

void FrameRun::finish_point() {
    const int done = ++finished_;
    if (config.progress && done % kProgressEvery == 0) report(false);
}

void FrameRun::write(int index, const SubsetSolution& s) {
    out.u[index] = s.warp.u;
    out.v[index] = s.warp.v;
    out.du_dx[index] = s.warp.du_dx;
    out.du_dy[index] = s.warp.du_dy;
    out.dv_dx[index] = s.warp.dv_dx;
    out.dv_dy[index] = s.warp.dv_dy;
    store_curvature(out, index, s.warp);
    out.zncc[index] = s.zncc >= -1.0 ? s.zncc : kNaN;
    const bool ok = s.status == GuidedStatus::kConverged;
    out.sigma_u[index] = ok ? s.sigma_u : kNaN;
    out.sigma_v[index] = ok ? s.sigma_v : kNaN;
    out.status[index] = static_cast<std::uint8_t>(s.status);
    out.valid[index] = ok ? 1 : 0;
    out.iterations[index] = s.iterations;
}

void FrameRun::flat_point(int index) {
    SubsetSolution s;
    s.status = GuidedStatus::kFlatSubset;
    write(index, s);
    state[index] = kFailed;
    finish_point();
}

Warp FrameRun::warp_of(int index) const {
    return warp_at(out, index);
}

Warp FrameRun::guide_from_neighbour(int from, int to) const {
    return carry(warp_of(from), from, to);
}

Warp FrameRun::carry(Warp w, int from, int to) const {
    const int cols = ref.grid_cols();
    const double dx = ref.grid_x[to % cols] - ref.grid_x[from % cols];
    const double dy = ref.grid_y[to / cols] - ref.grid_y[from / cols];
    return recentre(w, dx, dy, ref.params == 12);
}

SubsetSolution FrameRun::judge(SubsetSolution s, const Warp* start, bool centre_only) const {
    if (s.status != GuidedStatus::kConverged) return s;
    if (!(s.zncc >= config.min_zncc)) {
        s.status = GuidedStatus::kLowCorrelation;
        return s;
    }
    if (start && jumps(s.warp, *start, centre_only)) s.status = GuidedStatus::kDisplacementJump;
    return s;
}

bool FrameRun::jumps(const Warp& w, const Warp& start, bool centre_only) const {
    return jumps(w, start, centre_only, config.max_jump);
}

bool FrameRun::jumps(const Warp& w, const Warp& start, bool centre_only, double limit) const {
    // At the centre and at the four subset corners: a subset straddling a crack fits both
    // lips with one steep gradient whose centre can stay within max_jump of its guide.
    // A second-order warp can also bend between the corners: judge its whole outline.
    if (ref.params == 12 && !centre_only) return !(warp_jump(w, start, ref.half, true) <= limit);
    const double h = ref.half;
    for (const double dy : {0.0, -h, h})
        for (const double dx : {0.0, -h, h}) {
            if ((dx == 0.0) != (dy == 0.0) || (centre_only && dx != 0.0)) continue;
            const double du =
                (w.u - start.u) + (w.du_dx - start.du_dx) * dx + (w.du_dy - start.du_dy) * dy;
            const double dv =
                (w.v - start.v) + (w.dv_dx - start.dv_dx) * dx + (w.dv_dy - start.dv_dy) * dy;
            if (!(std::fabs(du) <= limit && std::fabs(dv) <= limit)) return true;
        }
    return false;
}

int FrameRun::residual_range() const {
    // Never wider than the image: a huge max_jump would otherwise overflow the conversion and
    // turn the bounded search back into a whole-image one.
    const double widest = static_cast<double>(std::max(ref.image.rows, ref.image.cols));
    const double wanted = std::min(std::ceil(config.max_jump) + 1.0, widest);
    return std::max(kResidualRange, static_cast<int>(wanted));
}

SubsetSolution FrameRun::solve_guided(SubsetSolver& solver, const Warp& guide) const {
    SubsetSolution first = judge(solver.solve(guide), &guide);
    if (first.status == GuidedStatus::kConverged || first.status == GuidedStatus::kBadPixels)
        return first;
    const IntegerShift near =
        residual_search(solver, static_cast<int>(std::lround(guide.u)),
                        static_cast<int>(std::lround(guide.v)), residual_range());
    // The search's peak at the guide's own whole pixel would restart the solve that just
    // failed to converge, a fraction of a pixel away, in the same basin.
    const bool same = first.status == GuidedStatus::kNotConverged &&
                      std::fabs(near.u - guide.u) < 0.5 && std::fabs(near.v - guide.v) < 0.5;
    if (near.zncc > -2.0) {
        Warp start = guide;
        start.u = near.u;
        start.v = near.v;
        SubsetSolution s;
        s.status = GuidedStatus::kNotConverged;
        if (!same) s = judge(solver.solve(start), &guide);
        if (s.status == GuidedStatus::kConverged) return s;
        // The guide's gradients can tip the corner of a subset by the image border out of
        // it; the same shift without them starts inside.
        if (s.status == GuidedStatus::kNotConverged && (start.du_dx != 0.0 || start.du_dy != 0.0 ||
                                                        start.dv_dx != 0.0 || start.dv_dy != 0.0)) {
            start = Warp{};
            start.u = near.u;
            start.v = near.v;
            s = judge(solver.solve(start), &guide);
            if (s.status == GuidedStatus::kConverged) return s;
        }
    }
    return first;
}

SubsetSolution FrameRun::solve_seed(SubsetSolver& solver, int index, const Warp* guide) {
    // The guide of a seed is a hint (the first seed's warp carried across the grid, or the
    // point's value a frame ago, however far the specimen moved since): its seeds answer to
    // their neighbours instead. A solve that wanders more than max_jump from a search peak
    // has lost it.
    const Warp* jump_ref = nullptr;
    SubsetSolution first;
    bool have_first = false;
    if (guide && !left_view(ref, frame, index, *guide)) {
        first = judge(solver.solve(*guide), jump_ref);
        if (first.status == GuidedStatus::kConverged || first.status == GuidedStatus::kBadPixels)
            return first;
        have_first = true;
        const IntegerShift near =
            residual_search(solver, static_cast<int>(std::lround(guide->u)),
                            static_cast<int>(std::lround(guide->v)), residual_range());
        if (near.zncc > -2.0) {
            Warp start = *guide;
            start.u = near.u;
            start.v = near.v;
            const SubsetSolution s = judge(solver.solve(start), jump_ref);
            if (s.status == GuidedStatus::kConverged) return s;
        }
    }
    ++full_searches_;
    const IntegerShift found = full_search(solver, ref, search_image, config.search_range);
    if (found.zncc > -2.0) {
        Warp start;
        start.u = found.u;
        start.v = found.v;
        // The search knows no gradients: only its centre bounds the solve.
        const SubsetSolution s = judge(solver.solve(start), &start, true);
        if (s.status == GuidedStatus::kConverged || !have_first) return s;
    }
    if (!have_first) first.status = GuidedStatus::kNotConverged;
    return first;
}

void FrameRun::left_view_point(int index) {
    SubsetSolution s;
    s.warp.u = s.warp.v = kNaN;
    s.warp.du_dx = s.warp.du_dy = s.warp.dv_dx = s.warp.dv_dy = kNaN;
    s.status = GuidedStatus::kLeftView;
    write(index, s);
    state[index] = kFailed;
    finish_point();
}

void FrameRun::remember(int index, const SubsetSolution& s) {
    if (out.status[index] != static_cast<std::uint8_t>(GuidedStatus::kNotReached)) return;
    write(index, s);
    out.valid[index] = 0;
}

bool FrameRun::attempt(SubsetSolver& solver, int index, const Warp& guide, bool final_on_failure,
                       GrowthQueue& queue, bool defer_jump) {
    const PointTimer timer(spent, index);
    // Out of view is decided on the guide alone: no solve or search could measure the point.
    if (left_view(ref, frame, index, guide)) {
        if (final_on_failure) left_view_point(index);
        return false;
    }
    // A second neighbour's guide that gives the same start as the one that failed would fail
    // the same way: the point waits for a guide that differs.
    const Warp& before = failed_guide[index];
    if (!std::isnan(before.u) && !jumps(guide, before, false, kSameStart)) {
        // Its remembered failure stands when this was its last chance.
        if (final_on_failure && !defer_jump) {
            state[index] = kFailed;
            finish_point();
        }
        return false;
    }
    if (!solver.prepare(index)) {
        flat_point(index);
        return false;
    }
    const SubsetSolution s = solve_guided(solver, guide);
    if (s.status != GuidedStatus::kConverged) failed_guide[index] = guide;
    const bool ok = s.status == GuidedStatus::kConverged;
    // A jump may be the neighbour's fault (its own subset straddles a crack): another
    // neighbour's guide gets its turn before the point is given up.
    const bool deferred = defer_jump && s.status == GuidedStatus::kDisplacementJump;
    if (ok || (final_on_failure && !deferred)) {
        write(index, s);
        state[index] = ok ? kDone : kFailed;
        finish_point();
    } else {
        remember(index, s);
        // Reached, and failed: not a seed. Neighbours along a crack agree with each other.
        if (deferred) tried_seed[index] = 1;
    }
    if (ok) queue.push({s.zncc, index});
    return ok;
}

}  // namespace morvex::dic::detail
