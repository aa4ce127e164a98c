#pragma once
/// Strain of a guided field, the same fit for a single pair and for a sequence's totals.

#include <morvex/guided.hpp>

namespace morvex::dic::detail {

/// With config.compute_strain, exx, eyy, exy of `result` in config.strain_measure: from its
/// valid u, v by the plane fit of config.strain_window px (rounded to whole grid steps, at
/// least one), or from its subsets' gradients as config.strain_source says; otherwise NaN
/// everywhere. Invalid points get NaN.
void fit_strain(GuidedResult& result, const GuidedConfig& config);

}  // namespace morvex::dic::detail
