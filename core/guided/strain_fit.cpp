#include "guided/strain_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <morvex/strain.hpp>

namespace morvex::dic::detail {

void fit_strain(GuidedResult& result, const GuidedConfig& config) {
    if (!config.compute_strain) {
        for (auto* f : {&result.exx, &result.eyy, &result.exy})
            f->assign(result.u.size(), std::numeric_limits<double>::quiet_NaN());
        return;
    }
    const int window = std::max(
        1, static_cast<int>(std::lround(static_cast<double>(config.strain_window) / config.step)));
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

}  // namespace morvex::dic::detail
