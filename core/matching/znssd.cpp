#include <morvex/znssd.hpp>

#include "matching/subset_znssd.h"

namespace morvex::dic {

double compute_znssd(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                     const WarpParams& warp, int subset_size, bool use_bicubic) {
    // One evaluator per thread, its buffers grown to the largest subset seen and then
    // reused: the solvers score every point through here.
    thread_local detail::SubsetZnssd evaluator;
    evaluator.reset(reference, deformed, y, x, subset_size, use_bicubic);
    return evaluator(warp);
}

}  // namespace morvex::dic
