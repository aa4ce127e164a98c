#pragma once
/// Converged points whose match is far worse than their neighbours': a subset across a crack
/// or an occluded edge fits both lips with one blended warp, converges and keeps a ZNCC well
/// above min_zncc, yet its misfit stands out against the intact speckle around it.

#include <vector>

#include <morvex/guided.hpp>

namespace morvex::dic::detail {

/// Valid points whose misfit 1 - ZNCC exceeds kMisfitFloor and kMisfitRatio times the median
/// misfit of the valid points within kMisfitReach grid steps (at least kMisfitNeighbours of
/// them) become kLowCorrelation. The medians are taken before any point is rejected, so the
/// outcome does not depend on the order of the points.
void reject_misfits(GuidedResult& result);

/// 1 - ZNCC of each valid point, NaN elsewhere, in grid order.
std::vector<double> valid_misfits(const GuidedResult& result);

/// The non-NaN misfits within `reach` grid steps of (row, col), the point itself included,
/// into `around` (cleared first).
void misfits_around(const std::vector<double>& misfit, int rows, int cols, int row, int col,
                    int reach, std::vector<double>& around);

/// 1 - ZNCC a point must exceed to be rejected as a misfit: a clean match, however curved
/// the field within its subset, stays below it.
inline constexpr double kMisfitFloor = 0.02;
/// How many times its neighbours' median misfit marks a point's match as a misfit.
inline constexpr double kMisfitRatio = 10.0;
/// Grid steps around a point whose valid points give the median.
inline constexpr int kMisfitReach = 3;
/// Valid points the neighbourhood needs (the point itself included) for a verdict.
inline constexpr int kMisfitNeighbours = 9;

}  // namespace morvex::dic::detail
