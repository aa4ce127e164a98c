#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

#include <morvex/guided.hpp>

#include "guided/field/strain_fit.h"
#include "guided/reference/crack_barrier.h"
#include "guided/reference/reference_data.h"
#include "guided/solve/warp.h"
#include "guided/solve/warp_fields.h"

namespace morvex::dic {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using detail::Warp;

// Bilinear interpolation of a grid field at image position (y, x); NaN when a corner needed
// is invalid or the position lies outside the grid.
struct GridField {
    const GuidedResult& r;
    const std::vector<double>& values;

    double at(double y, double x) const {
        const int cols = r.cols, rows = r.rows;
        const double x0 = r.x[0], y0 = r.y[0];
        const double step_x = cols > 1 ? r.x[1] - r.x[0] : 1.0;
        const double step_y = rows > 1 ? r.y[cols] - r.y[0] : 1.0;
        const double gx = (x - x0) / step_x, gy = (y - y0) / step_y;
        if (!(gx >= 0.0 && gy >= 0.0 && gx <= cols - 1 && gy <= rows - 1)) return kNaN;
        const int c0 = std::min(static_cast<int>(gx), std::max(cols - 2, 0));
        const int r0 = std::min(static_cast<int>(gy), std::max(rows - 2, 0));
        const int c1 = std::min(c0 + 1, cols - 1), r1 = std::min(r0 + 1, rows - 1);
        const double fx = gx - c0, fy = gy - r0;
        auto v = [&](int rr, int cc) {
            const int i = rr * cols + cc;
            return r.valid[i] ? values[i] : kNaN;
        };
        // A weight-zero corner must not poison the sum with its NaN.
        double sum = 0.0;
        const double w[4] = {(1 - fy) * (1 - fx), (1 - fy) * fx, fy * (1 - fx), fy * fx};
        const int rr[4] = {r0, r0, r1, r1}, cc[4] = {c0, c1, c0, c1};
        for (int k = 0; k < 4; ++k)
            if (w[k] != 0.0) sum += w[k] * v(rr[k], cc[k]);
        return sum;
    }
};

// Index of the grid point of `r` nearest to image position (y, x).
std::size_t nearest_point(const GuidedResult& r, double y, double x) {
    const double step_x = r.cols > 1 ? r.x[1] - r.x[0] : 1.0;
    const double step_y = r.rows > 1 ? r.y[r.cols] - r.y[0] : 1.0;
    const int c = std::clamp(static_cast<int>(std::lround((x - r.x[0]) / step_x)), 0, r.cols - 1);
    const int row = std::clamp(static_cast<int>(std::lround((y - r.y[0]) / step_y)), 0, r.rows - 1);
    return static_cast<std::size_t>(row) * r.cols + c;
}

}  // namespace

struct GuidedSequence::State {
    GuidedConfig config;              // as given; the first reference's grid
    GuidedReferenceSettings current;  // of `reference` (incremental: region and mask carried)
    bool incremental = false;
    std::unique_ptr<ReferenceImage> reference;  // first image (fixed) or latest frame (incremental)
    cv::Mat first_mask;
    std::optional<GuidedResult> previous;     // last field against `reference`
    std::optional<GuidedResult> accumulated;  // incremental: last field against the first image
    int frames = 0;
};

GuidedSequence::GuidedSequence(const cv::Mat& reference, GuidedConfig config, bool incremental)
    : state_(std::make_unique<State>()) {
    state_->reference = std::make_unique<ReferenceImage>(reference, config);
    state_->first_mask = config.mask;
    state_->current = config;
    state_->config = std::move(config);
    state_->incremental = incremental;
}

GuidedSequence::~GuidedSequence() = default;
GuidedSequence::GuidedSequence(GuidedSequence&&) noexcept = default;
GuidedSequence& GuidedSequence::operator=(GuidedSequence&&) noexcept = default;

int GuidedSequence::frame_count() const {
    return state_->frames;
}
const GuidedConfig& GuidedSequence::config() const {
    return state_->config;
}

namespace {

// The last increment starts every point when it lies on the same grid.
const GuidedResult* previous_on_grid(const std::optional<GuidedResult>& previous,
                                     const ReferenceImage& reference) {
    return previous && previous->rows == reference.grid_rows() &&
                   previous->cols == reference.grid_cols() &&
                   previous->x.front() == reference.data().grid_x.front() &&
                   previous->y.front() == reference.data().grid_y.front()
               ? &*previous
               : nullptr;
}

// Why a point carried to image position (y, x) of the increment's reference has no
// increment there: it left the measured grid (kLeftView), or the nearest invalid grid point
// of the four around it says why.
std::uint8_t lost_status(const GuidedResult& increment, double y, double x) {
    const int cols = increment.cols, rows = increment.rows;
    const double step_x = cols > 1 ? increment.x[1] - increment.x[0] : 1.0;
    const double step_y = rows > 1 ? increment.y[cols] - increment.y[0] : 1.0;
    const double gx = (x - increment.x[0]) / step_x, gy = (y - increment.y[0]) / step_y;
    if (!(gx >= 0.0 && gy >= 0.0 && gx <= cols - 1 && gy <= rows - 1))
        return static_cast<std::uint8_t>(GuidedStatus::kLeftView);
    std::uint8_t status = static_cast<std::uint8_t>(GuidedStatus::kNotConverged);
    double nearest = 1e300;
    const int c0 = static_cast<int>(gx), r0 = static_cast<int>(gy);
    for (int r = r0; r <= std::min(r0 + 1, rows - 1); ++r)
        for (int c = c0; c <= std::min(c0 + 1, cols - 1); ++c) {
            const std::size_t k = static_cast<std::size_t>(r) * cols + c;
            const double d = (r - gy) * (r - gy) + (c - gx) * (c - gx);
            if (!increment.valid[k] && d < nearest) {
                nearest = d;
                status = increment.status[k];
            }
        }
    return status;
}

// The increment at an image position of its reference, as the total needs it: the warp there
// (u, v, gradients and, in second-order runs, second derivatives), its uncertainties and ZNCC.
struct IncrementSample {
    Warp warp;
    double sigma_u = kNaN, sigma_v = kNaN, zncc = kNaN;
};

// Bilinear between the four increment points around (y, x); false when one of them that
// carries weight failed or (y, x) lies off the increment's grid.
bool sample_between(const GuidedResult& inc, double y, double x, bool curved,
                    IncrementSample& out) {
    const GridField u{inc, inc.u}, v{inc, inc.v};
    out.warp.u = u.at(y, x);
    out.warp.v = v.at(y, x);
    if (!std::isfinite(out.warp.u) || !std::isfinite(out.warp.v)) return false;
    out.warp.du_dx = GridField{inc, inc.du_dx}.at(y, x);
    out.warp.du_dy = GridField{inc, inc.du_dy}.at(y, x);
    out.warp.dv_dx = GridField{inc, inc.dv_dx}.at(y, x);
    out.warp.dv_dy = GridField{inc, inc.dv_dy}.at(y, x);
    if (curved) {
        double* second[6] = {&out.warp.du_dxx, &out.warp.du_dxy, &out.warp.du_dyy,
                             &out.warp.dv_dxx, &out.warp.dv_dxy, &out.warp.dv_dyy};
        for (int k = 0; k < 6; ++k)
            *second[k] = GridField{inc, *detail::curvature_fields(inc, k)}.at(y, x);
    }
    out.sigma_u = GridField{inc, inc.sigma_u}.at(y, x);
    out.sigma_v = GridField{inc, inc.sigma_v}.at(y, x);
    out.zncc = GridField{inc, inc.zncc}.at(y, x);
    return true;
}

// Where sample_between() fails: each valid one of the four increment points around (y, x)
// carries its own warp to (y, x) by its gradients (and second derivatives), and the carried
// warps are blended by their bilinear weights. A grid point that failed, most often because
// its subset left the frame while the subsets beside it did not, then no longer takes the
// points between it and a valid neighbour with it; a position up to one grid step beyond the
// grid's edge (the next centre there would have put its subset outside the image) is carried
// from the edge points the same way. A point across one of `segments` (the crack lines of
// the increment's reference) from (y, x) measured the other lip and is left out. False when
// no valid point around carries weight.
bool sample_from_valid_points(const GuidedResult& inc, double y, double x, bool curved,
                              const std::vector<std::array<double, 4>>& segments,
                              IncrementSample& out) {
    const int cols = inc.cols, rows = inc.rows;
    const double step_x = cols > 1 ? inc.x[1] - inc.x[0] : 1.0;
    const double step_y = rows > 1 ? inc.y[cols] - inc.y[0] : 1.0;
    const double gx = (x - inc.x[0]) / step_x, gy = (y - inc.y[0]) / step_y;
    if (!(gx >= -1.0 && gy >= -1.0 && gx <= cols && gy <= rows)) return false;
    const int c0 = std::clamp(static_cast<int>(std::floor(gx)), 0, std::max(cols - 2, 0));
    const int r0 = std::clamp(static_cast<int>(std::floor(gy)), 0, std::max(rows - 2, 0));
    const int c1 = std::min(c0 + 1, cols - 1), r1 = std::min(r0 + 1, rows - 1);
    // Beyond the edge the edge points take the whole weight: no extrapolated blend.
    const double fx = std::clamp(gx - c0, 0.0, 1.0), fy = std::clamp(gy - r0, 0.0, 1.0);
    const double w[4] = {(1 - fy) * (1 - fx), (1 - fy) * fx, fy * (1 - fx), fy * fx};
    const int rr[4] = {r0, r0, r1, r1}, cc[4] = {c0, c1, c0, c1};
    const bool second_order = detail::has_curvature(inc, inc.u.size());
    static constexpr double Warp::* kFields[12] = {
        &Warp::u,      &Warp::v,      &Warp::du_dx,  &Warp::du_dy,  &Warp::dv_dx,  &Warp::dv_dy,
        &Warp::du_dxx, &Warp::du_dxy, &Warp::du_dyy, &Warp::dv_dxx, &Warp::dv_dxy, &Warp::dv_dyy};
    double weight = 0.0, sigma_u = 0.0, sigma_v = 0.0, zncc = 0.0;
    Warp sum;
    for (int k = 0; k < 4; ++k) {
        const std::size_t i = static_cast<std::size_t>(rr[k]) * cols + cc[k];
        if (!(w[k] > 0.0) || !inc.valid[i]) continue;
        if (!segments.empty() && detail::crosses_any(segments, x, y, inc.x[i], inc.y[i])) continue;
        const Warp at = detail::recentre(detail::warp_at(inc, static_cast<int>(i), second_order),
                                         x - inc.x[i], y - inc.y[i], second_order);
        weight += w[k];
        for (const auto field : kFields) sum.*field += w[k] * at.*field;
        sigma_u += w[k] * inc.sigma_u[i];
        sigma_v += w[k] * inc.sigma_v[i];
        zncc += w[k] * inc.zncc[i];
    }
    if (!(weight > 0.0)) return false;
    // Second derivatives only where the total composes them (both runs second-order).
    for (int k = 0; k < 12; ++k) sum.*kFields[k] = k < 6 || curved ? sum.*kFields[k] / weight : 0.0;
    out.warp = sum;
    out.sigma_u = sigma_u / weight;
    out.sigma_v = sigma_v / weight;
    out.zncc = zncc / weight;
    return true;
}

// Whether the subset of `half` px around first-grid point i, moved by the total warp, lies
// inside a frame of `frame` size (within the half pixel around the outermost pixel centres),
// as the solver demands of every subset it measures: its corners and, for a second-order
// warp whose edges may bow, the middle of each edge.
bool total_subset_inside(const GuidedResult& total, std::size_t i, int half, bool curved,
                         cv::Size frame) {
    const Warp w = detail::warp_at(total, static_cast<int>(i), curved);
    for (int sy = -1; sy <= 1; ++sy)
        for (int sx = -1; sx <= 1; ++sx) {
            if (sx == 0 && sy == 0) continue;
            const double dx = sx * half, dy = sy * half;
            const Warp at = detail::recentre(w, dx, dy, curved);
            const double x = total.x[i] + dx + at.u, y = total.y[i] + dy + at.v;
            if (!(x >= -0.5 && x <= frame.width - 0.5 && y >= -0.5 && y <= frame.height - 0.5))
                return false;
        }
    return true;
}

// Second derivatives of the total U(X) = U_acc(X) + u_inc(X + U_acc(X)) at point i of the
// first grid, with the increment's warp `inc` sampled at the moved position: by the chain
// rule, d2U_c/dX_a dX_b = d2U_acc_c/dX_a dX_b + sum_d du_inc_c/dx_d d2U_acc_d/dX_a dX_b
// + sum_de d2u_inc_c/dx_d dx_e F_da F_eb, F = I + grad U_acc.
void compose_curvature(const GuidedResult& acc, const Warp& inc, std::size_t i,
                       GuidedResult& total) {
    const double f[2][2] = {{1.0 + acc.du_dx[i], acc.du_dy[i]}, {acc.dv_dx[i], 1.0 + acc.dv_dy[i]}};
    // Per component c (u, v): the increment's gradient and Hessian at the moved position.
    const double grad[2][2] = {{inc.du_dx, inc.du_dy}, {inc.dv_dx, inc.dv_dy}};
    const double hess[2][3] = {{inc.du_dxx, inc.du_dxy, inc.du_dyy},
                               {inc.dv_dxx, inc.dv_dxy, inc.dv_dyy}};
    const double acc_hess[2][3] = {{acc.du_dxx[i], acc.du_dxy[i], acc.du_dyy[i]},
                                   {acc.dv_dxx[i], acc.dv_dxy[i], acc.dv_dyy[i]}};
    static constexpr int kA[3] = {0, 0, 1}, kB[3] = {0, 1, 1};  // xx, xy, yy
    for (int c = 0; c < 2; ++c) {
        const double* g = grad[c];
        const double h[2][2] = {{hess[c][0], hess[c][1]}, {hess[c][1], hess[c][2]}};
        for (int k = 0; k < 3; ++k) {
            const int a = kA[k], b = kB[k];
            double value = acc_hess[c][k] + g[0] * acc_hess[0][k] + g[1] * acc_hess[1][k];
            for (int d = 0; d < 2; ++d)
                for (int e = 0; e < 2; ++e) value += h[d][e] * f[d][a] * f[e][b];
            (*detail::curvature_fields(total, 3 * c + k))[i] = value;
        }
    }
}

// Total displacement at a first-image point X: what reached X + U(X) in the frame before,
// plus the increment there; gradients compose as F = F_inc * F_acc. A point the increment's
// bilinear stencil cannot serve is carried from the valid increment points around it, and
// kept only when its subset, moved by the total, stays inside the frame (`frame`, subsets of
// `half` px). A point within a grid cell's diagonal of a crack line of the increment's
// reference (`lines`) never blends the lips: it is carried from the valid points on its side.
// Strain is left to the caller.
GuidedResult accumulate(const GuidedResult& acc, const GuidedResult& increment, int half,
                        cv::Size frame, const std::vector<std::vector<CrackVertex>>& lines) {
    const std::vector<std::array<double, 4>> segments = detail::crack_segments(lines);
    const double cell =
        std::hypot(increment.cols > 1 ? increment.x[1] - increment.x[0] : 1.0,
                   increment.rows > 1 ? increment.y[increment.cols] - increment.y[0] : 1.0);
    GuidedResult total = acc;
    const bool curved = detail::has_curvature(acc, acc.u.size()) &&
                        detail::has_curvature(increment, increment.u.size());
    const std::size_t n = acc.u.size();
    for (std::size_t i = 0; i < n; ++i) {
        total.status[i] = acc.status[i];
        total.valid[i] = 0;
        for (auto* f : {&total.u, &total.v, &total.du_dx, &total.du_dy, &total.dv_dx, &total.dv_dy,
                        &total.zncc, &total.sigma_u, &total.sigma_v})
            (*f)[i] = kNaN;
        if (curved)
            for (int k = 0; k < 6; ++k) (*detail::curvature_fields(total, k))[i] = kNaN;
        total.iterations[i] = 0;
        if (!acc.valid[i]) continue;
        const double y = acc.y[i] + acc.v[i], x = acc.x[i] + acc.u[i];
        total.iterations[i] = increment.iterations[nearest_point(increment, y, x)];
        IncrementSample inc;
        const bool by_line = !segments.empty() && detail::crack_distance(segments, x, y) <= cell;
        const bool between = !by_line && sample_between(increment, y, x, curved, inc);
        if (!between && !sample_from_valid_points(increment, y, x, curved, segments, inc)) {
            total.status[i] = lost_status(increment, y, x);
            continue;
        }
        const double ax = 1.0 + acc.du_dx[i], ay = acc.du_dy[i];
        const double bx = acc.dv_dx[i], by = 1.0 + acc.dv_dy[i];
        const double px = 1.0 + inc.warp.du_dx, py = inc.warp.du_dy;
        const double qx = inc.warp.dv_dx, qy = 1.0 + inc.warp.dv_dy;
        total.u[i] = acc.u[i] + inc.warp.u;
        total.v[i] = acc.v[i] + inc.warp.v;
        total.du_dx[i] = px * ax + py * bx - 1.0;
        total.du_dy[i] = px * ay + py * by;
        total.dv_dx[i] = qx * ax + qy * bx;
        total.dv_dy[i] = qx * ay + qy * by - 1.0;
        if (curved) compose_curvature(acc, inc.warp, i, total);
        if (!between && !total_subset_inside(total, i, half, curved, frame)) {
            for (auto* f :
                 {&total.u, &total.v, &total.du_dx, &total.du_dy, &total.dv_dx, &total.dv_dy})
                (*f)[i] = kNaN;
            if (curved)
                for (int k = 0; k < 6; ++k) (*detail::curvature_fields(total, k))[i] = kNaN;
            total.status[i] = lost_status(increment, y, x);
            continue;
        }
        total.sigma_u[i] = std::sqrt(acc.sigma_u[i] * acc.sigma_u[i] + inc.sigma_u * inc.sigma_u);
        total.sigma_v[i] = std::sqrt(acc.sigma_v[i] * acc.sigma_v[i] + inc.sigma_v * inc.sigma_v);
        total.zncc[i] = inc.zncc;
        total.status[i] = static_cast<std::uint8_t>(GuidedStatus::kConverged);
        total.valid[i] = 1;
    }
    return total;
}

// The first region carried along by the field, so the increments keep covering the moving
// points; unchanged when no point is valid.
void carry_region(const GuidedResult& total, const GuidedReferenceSettings& first, cv::Size frame,
                  GuidedReferenceSettings& next) {
    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
    for (std::size_t i = 0; i < total.u.size(); ++i)
        if (total.valid[i]) {
            x0 = std::min(x0, total.x[i] + total.u[i]);
            x1 = std::max(x1, total.x[i] + total.u[i]);
            y0 = std::min(y0, total.y[i] + total.v[i]);
            y1 = std::max(y1, total.y[i] + total.v[i]);
        }
    if (x1 < x0) return;
    const double margin = first.step + first.subset_size / 2;
    next.roi_x0 = std::max(0, static_cast<int>(std::floor(x0 - margin)));
    next.roi_y0 = std::max(0, static_cast<int>(std::floor(y0 - margin)));
    next.roi_x1 = std::min(frame.width - 1, static_cast<int>(std::ceil(x1 + margin)));
    next.roi_y1 = std::min(frame.height - 1, static_cast<int>(std::ceil(y1 + margin)));
}

// The first mask moved by the field onto the current frame.
cv::Mat carry_mask(const cv::Mat& first_mask, const GuidedResult& total, cv::Size frame) {
    cv::Mat map_x(frame, CV_32FC1), map_y(frame, CV_32FC1);
    const GridField tu{total, total.u}, tv{total, total.v};
    for (int r = 0; r < frame.height; ++r)
        for (int c = 0; c < frame.width; ++c) {
            // Approximate inverse map: the displacement found at the same position.
            double u = tu.at(r, c), v = tv.at(r, c);
            if (!std::isfinite(u) || !std::isfinite(v)) u = v = 0.0;
            map_x.at<float>(r, c) = static_cast<float>(c - u);
            map_y.at<float>(r, c) = static_cast<float>(r - v);
        }
    cv::Mat mask;
    cv::remap(first_mask, mask, map_x, map_y, cv::INTER_NEAREST, cv::BORDER_CONSTANT, 0);
    return mask;
}

// The crack lines of the first image moved by the field onto the current frame. Each vertex
// moves by the mean of the two lips' motion there: the valid points within `reach` px on each
// side of the line (by its direction at the vertex), weighted by their closeness, so an
// opening moves the line to the middle of the gap and a lip measured alone still carries it.
// A vertex with no valid point within reach takes the motion of the nearest valid point; the
// moved vertices stay on the frame.
std::vector<std::vector<CrackVertex>> carry_crack_lines(
    const std::vector<std::vector<CrackVertex>>& lines, const GuidedResult& total, double reach,
    cv::Size frame) {
    std::vector<std::vector<CrackVertex>> moved = lines;
    const std::size_t n = total.u.size();
    for (std::size_t l = 0; l < lines.size(); ++l)
        for (std::size_t j = 0; j < lines[l].size(); ++j) {
            const std::vector<CrackVertex>& line = lines[l];
            const CrackVertex& at = line[j];
            const CrackVertex& a = line[j > 0 ? j - 1 : j];
            const CrackVertex& b = line[j + 1 < line.size() ? j + 1 : j];
            const double tx = b.x - a.x, ty = b.y - a.y;
            double sum[2][3] = {};  // per side: weight, weighted u, weighted v
            double nearest = std::numeric_limits<double>::infinity(), near_u = 0.0, near_v = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                if (!total.valid[i]) continue;
                const double dx = total.x[i] - at.x, dy = total.y[i] - at.y;
                const double d = std::hypot(dx, dy);
                if (d < nearest) {
                    nearest = d;
                    near_u = total.u[i];
                    near_v = total.v[i];
                }
                if (d > reach) continue;
                const int side = tx * dy - ty * dx > 0.0 ? 1 : 0;
                const double w = 1.0 / (1.0 + d * d);
                sum[side][0] += w;
                sum[side][1] += w * total.u[i];
                sum[side][2] += w * total.v[i];
            }
            if (!std::isfinite(nearest)) continue;
            double u = 0.0, v = 0.0;
            int sides = 0;
            for (const auto& s : sum)
                if (s[0] > 0.0) {
                    u += s[1] / s[0];
                    v += s[2] / s[0];
                    ++sides;
                }
            if (sides == 0) {
                u = near_u;
                v = near_v;
                sides = 1;
            }
            moved[l][j].x = std::clamp(at.x + u / sides, -0.5, frame.width - 0.5);
            moved[l][j].y = std::clamp(at.y + v / sides, -0.5, frame.height - 0.5);
        }
    return moved;
}

}  // namespace

GuidedResult GuidedSequence::add_frame(const cv::Mat& frame) {
    State& s = *state_;
    // The reference's own settings hold; the solve settings are the sequence's, checked once
    // when it was made.
    GuidedResult increment =
        correlate_guided(*s.reference, frame, static_cast<const GuidedSolveSettings&>(s.config),
                         previous_on_grid(s.previous, *s.reference));
    ++s.frames;
    if (!s.incremental) {
        s.previous = increment;
        return increment;
    }
    // The first frame's increment is the total; later ones live on the moved region's grid
    // and are carried back to the first grid.
    GuidedResult total = increment;
    if (s.accumulated) {
        total = accumulate(*s.accumulated, increment, s.config.subset_size / 2, frame.size(),
                           s.current.crack_lines);
        // What this frame's correlation did, not the frame before's.
        total.full_searches = increment.full_searches;
        total.seconds_by_status = increment.seconds_by_status;
        detail::fit_strain(total, s.config);
    }
    s.accumulated = total;
    // The frame becomes the reference, its region and mask the first ones carried along.
    GuidedReferenceSettings next = s.config;
    carry_region(total, s.config, frame.size(), next);
    if (!s.first_mask.empty()) next.mask = carry_mask(s.first_mask, total, frame.size());
    // The lines, like the mask, belong to the first image's material.
    if (!s.config.crack_lines.empty())
        next.crack_lines = carry_crack_lines(
            s.config.crack_lines, total, s.config.subset_size + 2.0 * s.config.step, frame.size());
    s.current = next;
    s.reference = std::make_unique<ReferenceImage>(frame, s.current, s.config.threads);
    // The increment just measured is the best start for the next one (steady motion).
    s.previous = increment;
    return total;
}

}  // namespace morvex::dic
