#pragma once
/// Strain from displacement grids by local least-squares plane fits (pointwise least
/// squares: Pan, B., Asundi, A., Xie, H., Gao, J. (2009). Digital image correlation using
/// iterative least squares and pointwise least squares for displacement field and strain
/// field measurements. Optics and Lasers in Engineering 47, 865-874).
/// Grids are row-major (index r * cols + c), displacements in pixels, `step` the grid
/// spacing in pixels, so gradients are dimensionless. Reentrant; safe from many threads.

#include <cstdint>
#include <vector>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Green-Lagrange strain; exy is the tensor component. NaN where the point is masked out or
/// fewer than 6 usable neighbours lie in its (2*window+1)^2 block. `valid` may be null.
/// @throws std::invalid_argument for negative rows/cols/window, step < 1, or u, v, valid
/// holding fewer than rows * cols values.
MORVEX_EXPORT StrainField compute_strain(const std::vector<double>& u, const std::vector<double>& v,
                                         int rows, int cols, int step, int window,
                                         const std::vector<std::uint8_t>* valid);

/// Small-strain tensor with the same fitting and checks as compute_strain().
MORVEX_EXPORT StrainField compute_engineering_strain(const std::vector<double>& u,
                                                     const std::vector<double>& v, int rows,
                                                     int cols, int step, int window,
                                                     const std::vector<std::uint8_t>* valid);

}  // namespace morvex::dic
