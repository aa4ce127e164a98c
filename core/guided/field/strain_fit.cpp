#include "guided/field/strain_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include <Eigen/Dense>

#include <morvex/strain.hpp>

#include "guided/reference/crack_barrier.h"
#include "strain/tensor.h"

namespace morvex::dic::detail {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The plane fit of u, v keeps a point's strain only with this many valid points in its window;
// smoothing the subsets' gradients keeps the same rule, so both sources cover the same points.
constexpr int kMinWindowPoints = 6;

// The strain window in whole grid steps; `least` is the smallest the fit accepts.
int window_steps(const GuidedConfig& config, int least) {
    return std::max(least, static_cast<int>(std::lround(static_cast<double>(config.strain_window) /
                                                        config.step)));
}

void fit_displacement(GuidedResult& result, const GuidedConfig& config) {
    const int window = window_steps(config, 1);
    const StrainField strain =
        config.strain_measure == StrainMeasure::kEngineering
            ? compute_engineering_strain(result.u, result.v, result.rows, result.cols, config.step,
                                         window, &result.valid)
            : compute_strain(result.u, result.v, result.rows, result.cols, config.step, window,
                             &result.valid);
    result.exx = strain.exx;
    result.eyy = strain.eyy;
    result.exy = strain.exy;
}

// Each gradient component's plane fit over the valid points within `window` grid steps, taken
// at the point itself (coordinates relative to it, so the intercept is the answer); a point
// whose window holds fewer than kMinWindowPoints valid points gets NaN. The point is always
// one of the fitted points, so its value is determined even when all of them lie on one line.
void smooth_gradients(const GuidedResult& r, int window, std::vector<double> (&out)[4]) {
    const std::vector<double>* in[4] = {&r.du_dx, &r.du_dy, &r.dv_dx, &r.dv_dy};
    const std::size_t cells = r.u.size();
    for (auto& o : out) o.assign(cells, kNaN);
    for (int row = 0; row < r.rows; ++row) {
        for (int col = 0; col < r.cols; ++col) {
            const auto i = static_cast<std::size_t>(row) * r.cols + col;
            if (!r.valid[i]) continue;
            Eigen::Matrix3d normal = Eigen::Matrix3d::Zero();
            Eigen::Matrix<double, 3, 4> moments = Eigen::Matrix<double, 3, 4>::Zero();
            int taken = 0;
            for (int rr = std::max(0, row - window); rr <= std::min(r.rows - 1, row + window); ++rr)
                for (int cc = std::max(0, col - window); cc <= std::min(r.cols - 1, col + window);
                     ++cc) {
                    const auto j = static_cast<std::size_t>(rr) * r.cols + cc;
                    if (!r.valid[j]) continue;
                    const Eigen::Vector3d basis(1.0, cc - col, rr - row);
                    normal.noalias() += basis * basis.transpose();
                    for (int k = 0; k < 4; ++k) moments.col(k) += (*in[k])[j] * basis;
                    ++taken;
                }
            if (taken < kMinWindowPoints) continue;
            const Eigen::Matrix<double, 3, 4> planes = normal.colPivHouseholderQr().solve(moments);
            for (int k = 0; k < 4; ++k) out[k][i] = planes(0, k);
        }
    }
}

void fit_subset_gradients(GuidedResult& result, const GuidedConfig& config) {
    const int window = window_steps(config, 0);
    std::vector<double> smoothed[4];
    if (window > 0) smooth_gradients(result, window, smoothed);
    const std::vector<double>* g[4] = {&result.du_dx, &result.du_dy, &result.dv_dx, &result.dv_dy};
    if (window > 0)
        for (int k = 0; k < 4; ++k) g[k] = &smoothed[k];
    const bool finite = config.strain_measure == StrainMeasure::kGreenLagrange;
    const std::size_t cells = result.u.size();
    for (auto* f : {&result.exx, &result.eyy, &result.exy}) f->assign(cells, kNaN);
    for (std::size_t i = 0; i < cells; ++i) {
        if (!result.valid[i] || !std::isfinite((*g[0])[i])) continue;
        const StrainTensor e =
            strain_tensor((*g[0])[i], (*g[1])[i], (*g[2])[i], (*g[3])[i], finite);
        result.exx[i] = e.exx;
        result.eyy[i] = e.eyy;
        result.exy[i] = e.exy;
    }
}

// With crack lines: the strain again at every valid point whose window a line may pass
// through, fitted on the window's valid points on its own side only (the straight step
// between the two centres crosses no line), so no fit blends the two lips into a band of huge
// strain. `source` is u, v (a plane fit whose slopes are the gradients) or the four subset
// gradients (each plane's value at the point). Far points keep the plain fit.
void refit_beside_cracks(GuidedResult& r, const GuidedConfig& config, int window) {
    const auto segments = crack_segments(config.crack_lines);
    if (segments.empty() || r.rows == 0 || r.cols == 0) return;
    const bool displacement = config.strain_source == StrainSource::kDisplacementFit;
    if (!displacement && window == 0) return;  // each point's own gradients: nothing mixes
    const bool finite = config.strain_measure == StrainMeasure::kGreenLagrange;
    const double reach = std::sqrt(2.0) * window * config.step + 1.0;
    const std::vector<double>* gradients[4] = {&r.du_dx, &r.du_dy, &r.dv_dx, &r.dv_dy};
    for (int row = 0; row < r.rows; ++row)
        for (int col = 0; col < r.cols; ++col) {
            const auto i = static_cast<std::size_t>(row) * r.cols + col;
            if (!r.valid[i] || crack_distance(segments, r.x[i], r.y[i]) > reach) continue;
            Eigen::Matrix3d normal = Eigen::Matrix3d::Zero();
            Eigen::Matrix<double, 3, 4> moments = Eigen::Matrix<double, 3, 4>::Zero();
            int taken = 0;
            for (int rr = std::max(0, row - window); rr <= std::min(r.rows - 1, row + window); ++rr)
                for (int cc = std::max(0, col - window); cc <= std::min(r.cols - 1, col + window);
                     ++cc) {
                    const auto j = static_cast<std::size_t>(rr) * r.cols + cc;
                    if (!r.valid[j] || crosses_any(segments, r.x[i], r.y[i], r.x[j], r.y[j]))
                        continue;
                    const Eigen::Vector3d basis(1.0, (cc - col) * config.step,
                                                (rr - row) * config.step);
                    normal.noalias() += basis * basis.transpose();
                    if (displacement) {
                        moments.col(0) += r.u[j] * basis;
                        moments.col(1) += r.v[j] * basis;
                    } else {
                        for (int k = 0; k < 4; ++k) moments.col(k) += (*gradients[k])[j] * basis;
                    }
                    ++taken;
                }
            r.exx[i] = r.eyy[i] = r.exy[i] = kNaN;
            if (taken < kMinWindowPoints) continue;
            const Eigen::Matrix<double, 3, 4> planes = normal.colPivHouseholderQr().solve(moments);
            const StrainTensor e =
                displacement
                    ? strain_tensor(planes(1, 0), planes(2, 0), planes(1, 1), planes(2, 1), finite)
                    : strain_tensor(planes(0, 0), planes(0, 1), planes(0, 2), planes(0, 3), finite);
            r.exx[i] = e.exx;
            r.eyy[i] = e.eyy;
            r.exy[i] = e.exy;
        }
}

}  // namespace

void fit_strain(GuidedResult& result, const GuidedConfig& config) {
    if (!config.compute_strain) {
        for (auto* f : {&result.exx, &result.eyy, &result.exy}) f->assign(result.u.size(), kNaN);
        return;
    }
    if (config.strain_source == StrainSource::kSubset)
        fit_subset_gradients(result, config);
    else
        fit_displacement(result, config);
    refit_beside_cracks(
        result, config,
        window_steps(config, config.strain_source == StrainSource::kSubset ? 0 : 1));
}

}  // namespace morvex::dic::detail
