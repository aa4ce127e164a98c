#include "guided/field/misfit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace morvex::dic::detail {

void reject_misfits(GuidedResult& result) {
    const int rows = result.rows, cols = result.cols;
    const auto n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    std::vector<double> misfit(n, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t i = 0; i < n; ++i)
        if (result.valid[i]) misfit[i] = 1.0 - result.zncc[i];
    std::vector<std::uint8_t> reject(n, 0);
    std::vector<double> around;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * cols + c;
            // Most points are clean: only one above the floor needs its neighbourhood.
            if (!(misfit[i] > kMisfitFloor)) continue;
            around.clear();
            const int r0 = std::max(0, r - kMisfitReach), r1 = std::min(rows - 1, r + kMisfitReach);
            const int c0 = std::max(0, c - kMisfitReach), c1 = std::min(cols - 1, c + kMisfitReach);
            for (int rr = r0; rr <= r1; ++rr)
                for (int cc = c0; cc <= c1; ++cc) {
                    const double m = misfit[static_cast<std::size_t>(rr) * cols + cc];
                    if (!std::isnan(m)) around.push_back(m);
                }
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
