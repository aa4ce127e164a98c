#pragma once
// How well a reported sigma predicts the scatter it claims: repeated measurements of the same
// points under fresh noise against the sigma reported with them.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace morvex::test {

/// Median over the points of (mean reported sigma) / (scatter of the measured values), from
/// `values[k][i]`, point i of realisation k, and `sigma_sum[i]`, the sum of its reported
/// sigmas over the realisations. 1 for a calibrated sigma.
inline double median_sigma_calibration(const std::vector<std::vector<double>>& values,
                                       const std::vector<double>& sigma_sum) {
    const auto realisations = static_cast<double>(values.size());
    std::vector<double> ratios;
    for (std::size_t i = 0; i < sigma_sum.size(); ++i) {
        double mean = 0.0, var = 0.0;
        for (const auto& u : values) mean += u[i] / realisations;
        for (const auto& u : values) var += (u[i] - mean) * (u[i] - mean) / (realisations - 1.0);
        ratios.push_back(sigma_sum[i] / realisations / std::sqrt(var));
    }
    std::nth_element(ratios.begin(),
                     ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2), ratios.end());
    return ratios[ratios.size() / 2];
}

}  // namespace morvex::test
