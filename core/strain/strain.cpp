#include <morvex/strain.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include <Eigen/Dense>

#include "strain/tensor.h"

namespace morvex::dic {

namespace {

enum class StrainMeasure { kGreenLagrange, kSmall };

// Fewer points than this leave the plane fit too weakly determined to trust.
constexpr std::int64_t kMinFitPoints = 6;

void check_inputs(const char* function, const std::vector<double>& u, const std::vector<double>& v,
                  int rows, int cols, int step, int window,
                  const std::vector<std::uint8_t>* valid) {
    const std::string name(function);
    if (rows < 0 || cols < 0)
        throw std::invalid_argument(name + ": rows and cols must not be negative, got rows = " +
                                    std::to_string(rows) + ", cols = " + std::to_string(cols));
    if (step < 1)
        throw std::invalid_argument(name + ": step must be at least 1, got " +
                                    std::to_string(step));
    if (window < 0)
        throw std::invalid_argument(name + ": window must not be negative, got " +
                                    std::to_string(window));
    const std::uint64_t cells = static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(cols);
    const auto check_size = [&](const char* what, std::size_t size) {
        if (size < cells)
            throw std::invalid_argument(
                name + ": " + what + " holds " + std::to_string(size) +
                " values, fewer than rows * cols = " + std::to_string(cells));
    };
    check_size("u", u.size());
    check_size("v", v.size());
    if (valid) check_size("valid", valid->size());
}

StrainField fit_strain(const std::vector<double>& u, const std::vector<double>& v, int rows,
                       int cols, int step, int window, const std::vector<std::uint8_t>* valid,
                       StrainMeasure measure) {
    const auto cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    StrainField out;
    out.exx.assign(cells, 0.0);
    out.eyy.assign(cells, 0.0);
    out.exy.assign(cells, 0.0);
    if (cells == 0) return out;

    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    // Neighbours outside the grid are never taken, so clipping the window to the grid keeps
    // the same points in the same order while keeping the loop bounds in range.
    const std::int64_t half = std::min<std::int64_t>(window, std::max(rows, cols));
    const std::int64_t capacity = std::min<std::int64_t>(
        std::min<std::int64_t>(2 * half + 1, rows) * std::min<std::int64_t>(2 * half + 1, cols),
        static_cast<std::int64_t>(cells));

    // Work arrays sized once; Eigen reallocates the design matrix only when the number of
    // taken points changes from one grid point to the next (near the border, or with a mask).
    Eigen::MatrixXd design;
    Eigen::VectorXd u_values(capacity), v_values(capacity);
    std::vector<double> xs(static_cast<std::size_t>(capacity)),
        ys(static_cast<std::size_t>(capacity));
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(capacity, 3);

    for (std::int64_t row = 0; row < rows; ++row) {
        for (std::int64_t col = 0; col < cols; ++col) {
            const auto i = static_cast<std::size_t>(row * cols + col);
            if (valid && (*valid)[i] == 0) {
                out.exx[i] = out.eyy[i] = out.exy[i] = kNaN;
                continue;
            }
            std::int64_t taken = 0;
            const std::int64_t r_end = std::min<std::int64_t>(rows - 1, row + half);
            const std::int64_t c_end = std::min<std::int64_t>(cols - 1, col + half);
            for (std::int64_t rr = std::max<std::int64_t>(0, row - half); rr <= r_end; ++rr) {
                for (std::int64_t cc = std::max<std::int64_t>(0, col - half); cc <= c_end; ++cc) {
                    const auto j = static_cast<std::size_t>(rr * cols + cc);
                    if (valid && (*valid)[j] == 0) continue;
                    xs[static_cast<std::size_t>(taken)] = static_cast<double>(cc * step);
                    ys[static_cast<std::size_t>(taken)] = static_cast<double>(rr * step);
                    u_values[taken] = u[j];
                    v_values[taken] = v[j];
                    ++taken;
                }
            }
            if (taken < kMinFitPoints) {
                out.exx[i] = out.eyy[i] = out.exy[i] = kNaN;
                continue;
            }

            design.resize(taken, 3);
            for (std::int64_t k = 0; k < taken; ++k) {
                design(k, 0) = 1.0;
                design(k, 1) = xs[static_cast<std::size_t>(k)];
                design(k, 2) = ys[static_cast<std::size_t>(k)];
            }
            // Column-pivoting QR: on a rank-deficient design (all points on one grid line)
            // it returns the basic solution, zeroing the slope it cannot determine. One
            // decomposition serves both components: it depends on the design alone.
            qr.compute(design);
            const Eigen::Vector3d a = qr.solve(u_values.head(taken));
            const Eigen::Vector3d b = qr.solve(v_values.head(taken));
            const double du_dx = a(1), du_dy = a(2), dv_dx = b(1), dv_dy = b(2);

            const detail::StrainTensor e = detail::strain_tensor(
                du_dx, du_dy, dv_dx, dv_dy, measure == StrainMeasure::kGreenLagrange);
            out.exx[i] = e.exx;
            out.eyy[i] = e.eyy;
            out.exy[i] = e.exy;
        }
    }
    return out;
}

}  // namespace

StrainField compute_strain(const std::vector<double>& u, const std::vector<double>& v, int rows,
                           int cols, int step, int window, const std::vector<std::uint8_t>* valid) {
    check_inputs("compute_strain", u, v, rows, cols, step, window, valid);
    return fit_strain(u, v, rows, cols, step, window, valid, StrainMeasure::kGreenLagrange);
}

StrainField compute_engineering_strain(const std::vector<double>& u, const std::vector<double>& v,
                                       int rows, int cols, int step, int window,
                                       const std::vector<std::uint8_t>* valid) {
    check_inputs("compute_engineering_strain", u, v, rows, cols, step, window, valid);
    return fit_strain(u, v, rows, cols, step, window, valid, StrainMeasure::kSmall);
}

}  // namespace morvex::dic
