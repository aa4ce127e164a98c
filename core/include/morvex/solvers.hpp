#pragma once
/// Sub-pixel Gauss-Newton registration of one subset.

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Rotation-stretch Gauss-Newton solver on translation, angle and symmetric stretch, with
/// reference gradients turned by the current angle. Starts from the `u`, `v` of `start`.
/// Numerical trouble shows in `converged` / `valid`, never as an exception. Reentrant.
MORVEX_EXPORT ICGNResult ic_gn_solve(const cv::Mat& reference, const cv::Mat& deformed, int y,
                                     int x, const WarpParams& start, const ICGNConfig& config);

/// Forward-additive Gauss-Newton solver on the six WarpParams, minimising the ZNSSD with
/// deformed-image gradients. Starts from the whole of `start`. Reentrant.
MORVEX_EXPORT ICGNResult fa_gn_solve(const cv::Mat& reference, const cv::Mat& deformed, int y,
                                     int x, const WarpParams& start, const ICGNConfig& config);

}  // namespace morvex::dic
