#pragma once
/// Sub-pixel Gauss-Newton registration of one subset.
///
/// Both solvers take the subset of side config.subset_size (forced odd) centred on row y,
/// column x of `reference` and refine a warp (WarpParams: u, v in pixels, gradients
/// dimensionless) of it into `deformed`. A subset that does not fit in the reference, a flat
/// subset, a singular system or a warp leaving the image end the solve early: numerical
/// trouble shows in `converged` / `valid` and the scores, never as an exception. Matrices
/// that are not grey images (CV_64FC1) give the early (invalid) result. Reentrant and safe to
/// call from many threads at once; work arrays are per-thread buffers reused between calls.
///
/// Pan, B., Li, K., Tong, W. (2013). Fast, robust and accurate digital image correlation
/// calculation without redundant computations. Experimental Mechanics 53, 1277-1289.
/// Bruck, H. A., McNeill, S. R., Sutton, M. A., Peters, W. H. (1989). Digital image
/// correlation using Newton-Raphson method of partial differential correction.
/// Experimental Mechanics 29, 261-267.

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Rotation-stretch Gauss-Newton solver on translation, angle and symmetric stretch, with
/// reference gradients turned by the current angle. Starts from the `u`, `v` of `start`
/// (its gradients are ignored). Stops when the update falls below
/// config.convergence_threshold (`converged`) or after config.max_iterations.
MORVEX_EXPORT ICGNResult ic_gn_solve(const cv::Mat& reference, const cv::Mat& deformed, int y,
                                     int x, const WarpParams& start, const ICGNConfig& config);

/// Forward-additive Gauss-Newton solver on the six WarpParams, minimising the ZNSSD with
/// deformed-image gradients. Starts from the whole of `start`; stops as ic_gn_solve.
MORVEX_EXPORT ICGNResult fa_gn_solve(const cv::Mat& reference, const cv::Mat& deformed, int y,
                                     int x, const WarpParams& start, const ICGNConfig& config);

}  // namespace morvex::dic
