#include "guided/field/misfit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace morvex::dic::detail {

std::vector<double> valid_misfits(const GuidedResult& result) {
    const auto n = static_cast<std::size_t>(result.rows) * static_cast<std::size_t>(result.cols);
    std::vector<double> misfit(n, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t i = 0; i < n; ++i)
        if (result.valid[i]) misfit[i] = 1.0 - result.zncc[i];
    return misfit;
}

void misfits_around(const std::vector<double>& misfit, int rows, int cols, int row, int col,
                    int reach, std::vector<double>& around) {
    around.clear();
    const int r0 = std::max(0, row - reach), r1 = std::min(rows - 1, row + reach);
    const int c0 = std::max(0, col - reach), c1 = std::min(cols - 1, col + reach);
    for (int rr = r0; rr <= r1; ++rr)
        for (int cc = c0; cc <= c1; ++cc) {
            const double m = misfit[static_cast<std::size_t>(rr) * cols + cc];
            if (!std::isnan(m)) around.push_back(m);
        }
}

void reject_misfits(GuidedResult& result) {
    const int rows = result.rows, cols = result.cols;
    const auto n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    const std::vector<double> misfit = valid_misfits(result);
    std::vector<std::uint8_t> reject(n, 0);
    std::vector<double> around;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * cols + c;
            // Most points are clean: only one above the floor needs its neighbourhood.
            if (!(misfit[i] > kMisfitFloor)) continue;
            misfits_around(misfit, rows, cols, r, c, kMisfitReach, around);
            if (static_cast<int>(around.size()) < kMisfitNeighbours) continue;
            auto middle = around.begin() + static_cast<std::ptrdiff_t>(around.size() / 2);
            std::nth_element(around.begin(), middle, around.end());
            if (misfit[i] > kMisfitRatio * *middle) reject[i] = 1;
        }
    for (std::size_t i = 0; i < n; ++i)
        if (reject[i]) {
            result.valid[i] = 0;
            result.status[i] = static_cast<std::uint8_t>(GuidedStatus::kLowCorrelation);
            result.sigma_u[i] = result.sigma_v[i] = std::numeric_limits<double>::quiet_NaN();
        }
}

}  // namespace morvex::dic::detail
