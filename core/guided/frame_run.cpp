#include "guided/frame_run.h"

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

}  // namespace

FrameRun::FrameRun(const ReferenceImage::Data& reference, const DeformedFrame& deformed,
                   const GuidedConfig& run_config, const GuidedResult* previous_result,
                   GuidedResult& result)
    : ref(reference), frame(deformed), config(run_config), previous(previous_result), out(result),
      search_image(deformed.clean),
      state(static_cast<std::size_t>(reference.points()), kUntouched),
      tried_seed(static_cast<std::size_t>(reference.points()), 0) {}

bool FrameRun::cancelled() const {
    return config.cancel != nullptr && config.cancel->load(std::memory_order_relaxed);
}

bool FrameRun::stopped() const { return stop_.load(std::memory_order_relaxed) || cancelled(); }

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
    Warp w;
    w.u = out.u[index];
    w.v = out.v[index];
    w.du_dx = out.du_dx[index];
    w.du_dy = out.du_dy[index];
    w.dv_dx = out.dv_dx[index];
    w.dv_dy = out.dv_dy[index];
    return w;
}

Warp FrameRun::guide_from_neighbour(int from, int to) const { return carry(warp_of(from), from, to); }

Warp FrameRun::carry(Warp w, int from, int to) const {
    const int cols = ref.grid_cols();
    const double dx = ref.grid_x[to % cols] - ref.grid_x[from % cols];
    const double dy = ref.grid_y[to / cols] - ref.grid_y[from / cols];
    w.u += w.du_dx * dx + w.du_dy * dy;
    w.v += w.dv_dx * dx + w.dv_dy * dy;
    return w;
}

SubsetSolution FrameRun::judge(SubsetSolution s, const Warp* guide) const {
    if (s.status != GuidedStatus::kConverged) return s;
    if (!(s.zncc >= config.min_zncc)) {
        s.status = GuidedStatus::kLowCorrelation;
        return s;
    }
    if (guide && (std::fabs(s.warp.u - guide->u) > config.max_jump ||
                  std::fabs(s.warp.v - guide->v) > config.max_jump))
        s.status = GuidedStatus::kDisplacementJump;
    return s;
}

SubsetSolution FrameRun::evaluate(SubsetSolver& solver, const Warp* guide, bool check_jump) {
    const Warp* jump_ref = check_jump ? guide : nullptr;
    SubsetSolution first;
    bool have_first = false;
    auto keep = [&](const SubsetSolution& s) {
        if (!have_first) {
            first = s;
            have_first = true;
        }
    };
    if (guide) {
        SubsetSolution s = judge(solver.solve(*guide), jump_ref);
        if (s.status == GuidedStatus::kConverged || s.status == GuidedStatus::kBadPixels)
            return s;
        keep(s);
        const IntegerShift near = residual_search(solver, static_cast<int>(std::lround(guide->u)),
                                                  static_cast<int>(std::lround(guide->v)),
                                                  kResidualRange);
        if (near.zncc > -2.0) {
            Warp start = *guide;
            start.u = near.u;
            start.v = near.v;
            s = judge(solver.solve(start), jump_ref);
            if (s.status == GuidedStatus::kConverged) return s;
        }
    }
    const IntegerShift found = full_search(solver, ref, search_image, config.search_range);
    if (found.zncc > -2.0) {
        Warp start;
        start.u = found.u;
        start.v = found.v;
        SubsetSolution s = judge(solver.solve(start), jump_ref);
        if (s.status == GuidedStatus::kConverged) return s;
        keep(s);
    }
    if (!have_first) first.status = GuidedStatus::kNotConverged;
    return first;
}

bool FrameRun::attempt(SubsetSolver& solver, int index, const Warp* guide, bool final_on_failure,
                       GrowthQueue& queue, bool check_jump) {
    if (!solver.prepare(index)) {
        flat_point(index);
        return false;
    }
    const SubsetSolution s = evaluate(solver, guide, check_jump);
    const bool ok = s.status == GuidedStatus::kConverged;
    if (ok || final_on_failure) {
        write(index, s);
        state[index] = ok ? kDone : kFailed;
        finish_point();
    } else if (out.status[index] == static_cast<std::uint8_t>(GuidedStatus::kNotReached)) {
        write(index, s);  // remembered in case nothing reaches the point later
        out.valid[index] = 0;
    }
    if (ok) queue.push({s.zncc, index});
    return ok;
}

}  // namespace morvex::dic::detail
