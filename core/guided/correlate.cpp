#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <string>
#include <vector>

#include <omp.h>
#include <opencv2/imgproc.hpp>

#include <morvex/guided.hpp>
#include <morvex/strain.hpp>

#include "guided/reference_data.h"
#include "guided/search.h"
#include "guided/subset_solver.h"
#include "guided/warp_fields.h"

namespace morvex::dic {

namespace {

using detail::DeformedFrame;
using detail::IntegerShift;
using detail::SubsetSolution;
using detail::SubsetSolver;
using detail::Warp;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Whole pixels searched around a guess that failed before the full search is tried: covers
// a guide that is off by a few pixels (a steep gradient across one grid step).
constexpr int kResidualRange = 3;
// Seeds tried per block before its remaining points are left to the neighbouring blocks.
constexpr int kMaxSeedAttempts = 6;
// Textured points tried with a full search for the frame's first seed.
constexpr int kMaxFirstSeedTries = 16;
// Automatic block count: one block per this many grid points, 1 to kMaxAutoBlocks.
constexpr int kPointsPerBlock = 250;
constexpr int kMaxAutoBlocks = 64;
// The progress callback is called at most once per this many finished points (and at the end).
constexpr int kProgressEvery = 64;

enum PointState : std::uint8_t { kUntouched = 0, kDone = 1, kFailed = 2, kFixed = 3 };

bool same_reference_fields(const GuidedConfig& a, const GuidedConfig& b, std::string& which) {
    auto differ = [&](const char* name) {
        which = name;
        return false;
    };
    if (a.subset_size != b.subset_size) return differ("subset_size");
    if (a.step != b.step) return differ("step");
    if (a.roi_x0 != b.roi_x0 || a.roi_y0 != b.roi_y0 || a.roi_x1 != b.roi_x1 ||
        a.roi_y1 != b.roi_y1)
        return differ("roi_x0, roi_y0, roi_x1, roi_y1");
    if (a.interpolation != b.interpolation) return differ("interpolation");
    if (a.shape != b.shape) return differ("shape");
    if (!(a.prefilter_sigma == b.prefilter_sigma)) return differ("prefilter_sigma");
    if (a.mask.empty() != b.mask.empty()) return differ("mask");
    if (!a.mask.empty()) {
        if (a.mask.size() != b.mask.size() || a.mask.type() != b.mask.type())
            return differ("mask");
        if (a.mask.data != b.mask.data && cv::norm(a.mask, b.mask, cv::NORM_INF) != 0.0)
            return differ("mask");
    }
    return true;
}

struct Blocks {
    int count = 1;
    std::vector<int> of_point;                 // block of every grid point
    std::vector<std::vector<int>> points;      // grid points of every block, row order
    std::vector<int> centre;                   // grid point nearest each block's centre
};

Blocks make_blocks(int rows, int cols, int requested) {
    const int n = rows * cols;
    int want = requested > 0 ? requested
                             : std::clamp((n + kPointsPerBlock / 2) / kPointsPerBlock, 1,
                                          kMaxAutoBlocks);
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

// Priority: higher ZNCC first, then the lower index, so the visiting order is fixed.
struct QueueItem {
    double zncc;
    int index;
    bool operator<(const QueueItem& o) const {
        if (zncc != o.zncc) return zncc < o.zncc;
        return index > o.index;
    }
};

class Run {
public:
    Run(const ReferenceImage::Data& ref, const DeformedFrame& frame, const GuidedConfig& config,
        const GuidedResult* previous, GuidedResult& out)
        : ref_(ref), frame_(frame), config_(config), previous_(previous), out_(out),
          search_image_(frame.clean),
          state_(static_cast<std::size_t>(ref.points()), kUntouched),
          tried_seed_(static_cast<std::size_t>(ref.points()), 0) {}

    void execute(int threads) {
        const int n = ref_.points();
        int fixed = 0;
        for (int i = 0; i < n; ++i)
            if (ref_.point_state[i] != 0) {
                state_[i] = kFixed;
                out_.status[i] = ref_.point_state[i];
                ++fixed;
            }
        finished_ = fixed;
        blocks_ = make_blocks(ref_.grid_rows(), ref_.grid_cols(), config_.seed_count);
        // Explicit seeds first, in their blocks.
        explicit_seeds_.resize(blocks_.count);
        for (const Point2D& p : config_.seed_points) {
            const int idx = nearest_point(p.y, p.x);
            explicit_seeds_[blocks_.of_point[idx]].push_back(idx);
        }
        if (!previous_) find_first_seed();
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
        for (int b = 0; b < blocks_.count; ++b) {
            try {
                grow_block(b);
            } catch (...) {
                record_error();
            }
        }
        if (!error_ && !stopped()) {
            try {
                final_phase();
            } catch (...) {
                record_error();
            }
        }
        for (int i = 0; i < n; ++i)
            if (state_[i] == kUntouched)
                out_.status[i] = static_cast<std::uint8_t>(
                    cancelled() ? GuidedStatus::kCancelled : GuidedStatus::kNotReached);
        if (error_) std::rethrow_exception(error_);
        report(true);
    }

private:
    bool cancelled() const {
        return config_.cancel != nullptr && config_.cancel->load(std::memory_order_relaxed);
    }
    bool stopped() const { return stop_.load(std::memory_order_relaxed) || cancelled(); }

    void record_error() {
        std::lock_guard<std::mutex> lock(error_mutex_);
        if (!error_) error_ = std::current_exception();
        stop_ = true;
    }

    int nearest_point(int y, int x) const {
        auto nearest = [](const std::vector<int>& axis, int value) {
            int best = 0;
            for (int k = 1; k < static_cast<int>(axis.size()); ++k)
                if (std::abs(axis[k] - value) < std::abs(axis[best] - value)) best = k;
            return best;
        };
        return nearest(ref_.grid_y, y) * ref_.grid_cols() + nearest(ref_.grid_x, x);
    }

    void report(bool final_call) {
        if (!config_.progress) return;
        const int total = ref_.points();
        if (final_call) {
            config_.progress(cancelled() ? std::min(finished_.load(), total) : total, total);
            return;
        }
        std::unique_lock<std::mutex> lock(progress_mutex_, std::try_to_lock);
        if (!lock.owns_lock()) return;
        config_.progress(std::min(finished_.load(), total), total);
    }

    void finish_point(int index) {
        const int done = ++finished_;
        if (config_.progress && done % kProgressEvery == 0) report(false);
        (void)index;
    }

    void write(int index, const SubsetSolution& s) {
        out_.u[index] = s.warp.u;
        out_.v[index] = s.warp.v;
        out_.du_dx[index] = s.warp.du_dx;
        out_.du_dy[index] = s.warp.du_dy;
        out_.dv_dx[index] = s.warp.dv_dx;
        out_.dv_dy[index] = s.warp.dv_dy;
        detail::store_curvature(out_, index, s.warp);
        out_.zncc[index] = s.zncc >= -1.0 ? s.zncc : kNaN;
        const bool ok = s.status == GuidedStatus::kConverged;
        out_.sigma_u[index] = ok ? s.sigma_u : kNaN;
        out_.sigma_v[index] = ok ? s.sigma_v : kNaN;
        out_.status[index] = static_cast<std::uint8_t>(s.status);
        out_.valid[index] = ok ? 1 : 0;
        out_.iterations[index] = s.iterations;
    }

    // Judge a solver outcome: converged, correlated enough and (with a guide) no jump.
    SubsetSolution judge(SubsetSolution s, const Warp* guide) const {
        if (s.status != GuidedStatus::kConverged) return s;
        if (!(s.zncc >= config_.min_zncc)) {
            s.status = GuidedStatus::kLowCorrelation;
            return s;
        }
        if (guide && detail::warp_jump(s.warp, *guide, ref_.half, ref_.params == 12) >
                         config_.max_jump)
            s.status = GuidedStatus::kDisplacementJump;
        return s;
    }

    // Solve a prepared point: from the guide, then a residual search around it, then a full
    // search. Returns the accepted solution or the first failure.
    SubsetSolution evaluate(SubsetSolver& solver, const Warp* guide, bool check_jump) {
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
            const IntegerShift near = detail::residual_search(
                solver, static_cast<int>(std::lround(guide->u)),
                static_cast<int>(std::lround(guide->v)), kResidualRange);
            if (near.zncc > -2.0) {
                Warp start = *guide;
                start.u = near.u;
                start.v = near.v;
                s = judge(solver.solve(start), jump_ref);
                if (s.status == GuidedStatus::kConverged) return s;
            }
        }
        const IntegerShift found =
            detail::full_search(solver, ref_, search_image_, config_.search_range);
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

    // Try point `index` from `guide` (null: a seed). On success the point is done and queued.
    bool attempt(SubsetSolver& solver, int index, const Warp* guide, bool final_on_failure,
                 std::priority_queue<QueueItem>& queue, bool check_jump = true) {
        if (!solver.prepare(index)) {
            flat_point(index);
            return false;
        }
        const SubsetSolution s = evaluate(solver, guide, check_jump);
        const bool ok = s.status == GuidedStatus::kConverged;
        if (ok || final_on_failure) {
            write(index, s);
            state_[index] = ok ? kDone : kFailed;
            finish_point(index);
        } else if (out_.status[index] == static_cast<std::uint8_t>(GuidedStatus::kNotReached)) {
            write(index, s);  // remembered in case nothing reaches the point later
            out_.valid[index] = 0;
        }
        if (ok) queue.push({s.zncc, index});
        return ok;
    }

    void flat_point(int index) {
        SubsetSolution s;
        s.status = GuidedStatus::kFlatSubset;
        write(index, s);
        state_[index] = kFailed;
        finish_point(index);
    }

    Warp warp_of(int index) const {
        Warp w;
        w.u = out_.u[index];
        w.v = out_.v[index];
        w.du_dx = out_.du_dx[index];
        w.du_dy = out_.du_dy[index];
        w.dv_dx = out_.dv_dx[index];
        w.dv_dy = out_.dv_dy[index];
        detail::load_curvature(out_, index, w);
        return w;
    }

    // The warp of `from` carried to `to` by its own gradients.
    Warp extrapolate(int from, int to) const { return carry(warp_of(from), from, to); }

    Warp carry(Warp w, int from, int to) const {
        const int cols = ref_.grid_cols();
        const double dx = ref_.grid_x[to % cols] - ref_.grid_x[from % cols];
        const double dy = ref_.grid_y[to / cols] - ref_.grid_y[from / cols];
        return detail::recentre(w, dx, dy, ref_.params == 12);
    }

    // One full search for the whole frame, before the blocks start: the first point (explicit
    // seeds first, then block by block from each block's centre) that converges with ZNCC >=
    // min_zncc. Sequential, so every thread count sees the same first seed.
    void find_first_seed() {
        SubsetSolver solver(ref_, frame_, config_.max_iterations, config_.convergence_threshold);
        std::vector<int> order;
        for (const auto& list : explicit_seeds_) order.insert(order.end(), list.begin(), list.end());
        for (int b = 0; b < blocks_.count; ++b)
            for (int i : by_distance_to_centre(blocks_.points[b]))
                if (state_[i] == kUntouched) order.push_back(i);
        int tries = 0;
        for (int i : order) {
            if (stopped() || tries >= kMaxFirstSeedTries) return;
            if (!solver.prepare(i)) continue;
            ++tries;
            const SubsetSolution s = evaluate(solver, nullptr, false);
            if (s.status == GuidedStatus::kConverged) {
                first_seed_ = i;
                first_seed_warp_ = s.warp;
                return;
            }
        }
    }

    // Pop the best point, try its untouched neighbours (of `block`, or any when block < 0).
    void grow(SubsetSolver& solver, std::priority_queue<QueueItem>& queue, int block) {
        const int rows = ref_.grid_rows(), cols = ref_.grid_cols();
        while (!queue.empty()) {
            if (stopped()) return;
            const int i = queue.top().index;
            queue.pop();
            const int r = i / cols, c = i % cols;
            const int nr[4] = {r - 1, r, r, r + 1};
            const int nc[4] = {c, c - 1, c + 1, c};
            for (int k = 0; k < 4; ++k) {
                if (nr[k] < 0 || nr[k] >= rows || nc[k] < 0 || nc[k] >= cols) continue;
                const int j = nr[k] * cols + nc[k];
                // Another block's points belong to its thread: never read their state.
                if (block >= 0 && blocks_.of_point[j] != block) continue;
                if (state_[j] != kUntouched) continue;
                if (stopped()) return;
                const Warp guide = extrapolate(i, j);
                attempt(solver, j, &guide, true, queue);
            }
        }
    }

    void grow_block(int b) {
        if (stopped()) return;
        SubsetSolver solver(ref_, frame_, config_.max_iterations, config_.convergence_threshold);
        std::priority_queue<QueueItem> queue;
        const std::vector<int>& pts = blocks_.points[b];
        if (previous_) {
            // Check the block's seed first: its previous value, then the searches. Every other
            // point starts from its previous value moved by the seed's change, so a whole-body
            // motion between frames costs one search per block; failures wait for the
            // neighbours.
            const auto previous_warp = [&](int i) {
                Warp w;
                w.u = previous_->u[i];
                w.v = previous_->v[i];
                w.du_dx = finite_or_zero(previous_->du_dx[i]);
                w.du_dy = finite_or_zero(previous_->du_dy[i]);
                w.dv_dx = finite_or_zero(previous_->dv_dx[i]);
                w.dv_dy = finite_or_zero(previous_->dv_dy[i]);
                if (ref_.params == 12) detail::load_curvature(*previous_, i, w);
                return w;
            };
            const auto has_previous = [&](int i) {
                return std::isfinite(previous_->u[i]) && std::isfinite(previous_->v[i]);
            };
            double shift_u = 0.0, shift_v = 0.0;
            for (int i : by_distance_to_centre(pts)) {
                if (stopped()) return;
                if (state_[i] != kUntouched || !has_previous(i)) continue;
                if (!solver.prepare(i)) {
                    flat_point(i);
                    continue;
                }
                const Warp w = previous_warp(i);
                if (attempt(solver, i, &w, false, queue, false)) {
                    shift_u = out_.u[i] - w.u;
                    shift_v = out_.v[i] - w.v;
                }
                break;  // one seed check per block
            }
            for (int i : pts) {
                if (state_[i] != kUntouched || !has_previous(i)) continue;
                if (stopped()) return;
                Warp w = previous_warp(i);
                w.u += shift_u;
                w.v += shift_v;
                if (!solver.prepare(i)) {
                    flat_point(i);
                    continue;
                }
                const SubsetSolution s = judge(solver.solve(w), nullptr);
                if (s.status == GuidedStatus::kConverged) {
                    write(i, s);
                    state_[i] = kDone;
                    finish_point(i);
                    queue.push({s.zncc, i});
                }
            }
        }
        grow(solver, queue, b);
        // Seeds: explicit ones first, then the untried point nearest the block centre, until
        // the block is covered or the attempts run out.
        std::vector<int> candidates = explicit_seeds_[b];
        const int cols = ref_.grid_cols();
        const auto [cy, cx] = centre_of(pts);
        for (int searches = 0; searches < kMaxSeedAttempts;) {
            if (stopped()) return;
            int seed = -1;
            for (int i : candidates)
                if (state_[i] == kUntouched && !tried_seed_[i]) {
                    seed = i;
                    break;
                }
            if (seed < 0) {
                double best = std::numeric_limits<double>::infinity();
                for (int i : pts) {
                    if (state_[i] != kUntouched || tried_seed_[i]) continue;
                    const double d = (i / cols - cy) * (i / cols - cy) + (i % cols - cx) * (i % cols - cx);
                    if (d < best) {
                        best = d;
                        seed = i;
                    }
                }
            }
            if (seed < 0) return;  // block covered
            tried_seed_[seed] = 1;
            // A seed starts from the first seed's warp (one full search per frame instead of
            // one per block); the fallbacks search around it, then everywhere.
            Warp guide;
            const Warp* start = nullptr;
            if (first_seed_ >= 0) {
                guide = carry(first_seed_warp_, first_seed_, seed);
                start = &guide;
            }
            // A flat candidate costs nothing and does not count against the attempts.
            if (!solver.prepare(seed)) {
                flat_point(seed);
                continue;
            }
            ++searches;
            if (attempt(solver, seed, start, false, queue, false)) grow(solver, queue, b);
        }
    }

    // Points no block reached grow from every finished neighbour, one queue, one thread.
    void final_phase() {
        const int n = ref_.points();
        bool any = false;
        for (int i = 0; i < n && !any; ++i) any = state_[i] == kUntouched;
        if (!any) return;
        SubsetSolver solver(ref_, frame_, config_.max_iterations, config_.convergence_threshold);
        std::priority_queue<QueueItem> queue;
        for (int i = 0; i < n; ++i)
            if (state_[i] == kDone) queue.push({out_.zncc[i], i});
        grow(solver, queue, -1);
    }

    static double finite_or_zero(double x) { return std::isfinite(x) ? x : 0.0; }

    // Mean grid row and column of a block's points.
    std::pair<double, double> centre_of(const std::vector<int>& pts) const {
        const int cols = ref_.grid_cols();
        double cy = 0.0, cx = 0.0;
        for (int i : pts) {
            cy += i / cols;
            cx += i % cols;
        }
        const auto n = static_cast<double>(pts.size());
        return {cy / n, cx / n};
    }

    // The points of a block, nearest its centre (in grid units) first; ties by index.
    std::vector<int> by_distance_to_centre(const std::vector<int>& pts) const {
        const int cols = ref_.grid_cols();
        const auto [cy, cx] = centre_of(pts);
        std::vector<std::pair<double, int>> order;
        order.reserve(pts.size());
        for (int i : pts)
            order.push_back(
                {(i / cols - cy) * (i / cols - cy) + (i % cols - cx) * (i % cols - cx), i});
        std::sort(order.begin(), order.end());
        std::vector<int> out;
        out.reserve(order.size());
        for (const auto& entry : order) out.push_back(entry.second);
        return out;
    }

    const ReferenceImage::Data& ref_;
    const DeformedFrame& frame_;
    const GuidedConfig& config_;
    const GuidedResult* previous_;
    GuidedResult& out_;
    detail::SearchImage search_image_;
    std::vector<std::uint8_t> state_;
    std::vector<std::uint8_t> tried_seed_;
    Blocks blocks_;
    std::vector<std::vector<int>> explicit_seeds_;
    int first_seed_ = -1;
    Warp first_seed_warp_;
    std::atomic<int> finished_{0};
    std::atomic<bool> stop_{false};
    std::mutex error_mutex_, progress_mutex_;
    std::exception_ptr error_;
};

void check_previous(const GuidedResult& previous, const ReferenceImage::Data& ref) {
    const auto n = static_cast<std::size_t>(ref.points());
    if (previous.rows != ref.grid_rows() || previous.cols != ref.grid_cols())
        throw std::invalid_argument(
            "correlate_guided: previous result has a " + std::to_string(previous.rows) + " x " +
            std::to_string(previous.cols) + " grid, the reference image a " +
            std::to_string(ref.grid_rows()) + " x " + std::to_string(ref.grid_cols()) + " grid");
    for (const std::vector<double>* field :
         {&previous.u, &previous.v, &previous.du_dx, &previous.du_dy, &previous.dv_dx,
          &previous.dv_dy})
        if (field->size() != n)
            throw std::invalid_argument(
                "correlate_guided: previous result holds " + std::to_string(field->size()) +
                " values in a field, expected " + std::to_string(n));
    // Second derivatives are optional (an affine result may start a second-order run).
    if (!previous.du_dxx.empty() && !detail::has_curvature(previous, n))
        throw std::invalid_argument(
            "correlate_guided: previous result holds second derivatives that do not cover its "
            "grid, expected " + std::to_string(n) + " values in each of the six fields");
}

}  // namespace

namespace detail {

DeformedFrame make_deformed_frame(const cv::Mat& deformed, const ReferenceImage::Data& ref,
                                  int threads) {
    DeformedFrame frame;
    frame.rows = deformed.rows;
    frame.cols = deformed.cols;
    cv::Mat clean, bad;
    if (replace_non_finite(deformed, clean, bad)) cv::integral(bad, frame.bad_sum, CV_32S);
    const bool filtered = ref.shape.prefilter_sigma > 0.0;
    frame.clean = filtered ? gaussian_prefilter(clean, ref.shape.prefilter_sigma) : clean;
    frame.coefficients = make_coefficient_image(frame.clean, ref.kind, kCoefficientPad, threads);
    if (filtered) frame.raw = make_coefficient_image(clean, ref.kind, kCoefficientPad, threads);
    return frame;
}

}  // namespace detail

GuidedResult correlate_guided(const ReferenceImage& reference, const cv::Mat& deformed,
                              const GuidedConfig& config, const GuidedResult* previous) {
    const ReferenceImage::Data& ref = reference.data();
    if (deformed.empty())
        throw std::invalid_argument("correlate_guided: the deformed image is empty");
    if (deformed.dims != 2 || deformed.type() != CV_64FC1)
        throw std::invalid_argument(
            "correlate_guided: the deformed image must be a 2-D CV_64FC1 matrix, got type " +
            std::to_string(deformed.type()));
    if (deformed.rows != ref.image.rows || deformed.cols != ref.image.cols)
        throw std::invalid_argument(
            "correlate_guided: the deformed image is " + std::to_string(deformed.rows) + " x " +
            std::to_string(deformed.cols) + ", the reference " + std::to_string(ref.image.rows) +
            " x " + std::to_string(ref.image.cols));
    detail::check_guided_config(config);
    std::string field;
    if (!same_reference_fields(config, ref.shape, field))
        throw std::invalid_argument("correlate_guided: GuidedConfig::" + field +
                                    " differs from the one the ReferenceImage was built with");
    if (previous) check_previous(*previous, ref);

    const int threads = config.threads > 0 ? config.threads : omp_get_max_threads();
    const DeformedFrame frame = detail::make_deformed_frame(deformed, ref, threads);

    GuidedResult out;
    out.rows = ref.grid_rows();
    out.cols = ref.grid_cols();
    const auto n = static_cast<std::size_t>(ref.points());
    out.x.resize(n);
    out.y.resize(n);
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            out.x[r * out.cols + c] = ref.grid_x[c];
            out.y[r * out.cols + c] = ref.grid_y[r];
        }
    for (auto* f : {&out.u, &out.v, &out.du_dx, &out.du_dy, &out.dv_dx, &out.dv_dy, &out.exx,
                    &out.eyy, &out.exy, &out.zncc, &out.sigma_u, &out.sigma_v})
        f->assign(n, kNaN);
    detail::allocate_curvature(out, n, ref.params == 12);
    out.valid.assign(n, 0);
    out.status.assign(n, static_cast<std::uint8_t>(GuidedStatus::kNotReached));
    out.iterations.assign(n, 0);

    Run run(ref, frame, config, previous, out);
    run.execute(threads);

    // A cancelled run returns at once: on a dense grid the plane fits take seconds, longer
    // than the user is willing to wait after asking to stop.
    const bool cancelled = config.cancel != nullptr && config.cancel->load();
    if (config.compute_strain && !cancelled) {
        const int window = std::max(1, static_cast<int>(std::lround(
                                           static_cast<double>(config.strain_window) / config.step)));
        const StrainField strain =
            config.strain_measure == StrainMeasure::kEngineering
                ? compute_engineering_strain(out.u, out.v, out.rows, out.cols, config.step, window,
                                             &out.valid)
                : compute_strain(out.u, out.v, out.rows, out.cols, config.step, window, &out.valid);
        out.exx = strain.exx;
        out.eyy = strain.eyy;
        out.exy = strain.exy;
    }
    return out;
}

}  // namespace morvex::dic
