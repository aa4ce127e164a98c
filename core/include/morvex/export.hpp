#pragma once
/// Writing results: CSV, legacy VTK and the binary "MXD1" file. Each writer writes a
/// temporary file beside the target and renames it over the target only when everything was
/// written, so a failure never leaves a truncated file or destroys an existing one.
/// Rows of the grid run first (index r * cols + c); positions are grid index times `step`
/// pixels. Safe from many threads as long as they write different paths.

#include <string>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// One line per grid point: grid_row,grid_col,x_pixel,y_pixel,u,v,exx,eyy,exy,confidence,valid.
/// @throws std::invalid_argument when rows/cols is negative or an array is shorter than
/// rows * cols (a shorter `valid` is allowed: missing entries read as valid).
/// @throws std::runtime_error naming the path and the reason when the file cannot be written.
MORVEX_EXPORT void export_csv(const DICResult& result, const std::string& path, int step);

/// Legacy ASCII VTK structured grid with scalars U, V, Exx, Eyy, Exy, Confidence.
/// Errors as export_csv().
MORVEX_EXPORT void export_vtk(const DICResult& result, const std::string& path, int step);

/// Binary file: "MXD1", rows, cols, step (int32 LE), then u, v, exx, eyy, exy, confidence
/// (float64 LE) and valid (uint8), 16 + 49 * rows * cols bytes.
/// @throws std::invalid_argument unless all seven arrays hold exactly rows * cols values.
/// @throws std::runtime_error naming the path and the reason when the file cannot be written.
MORVEX_EXPORT void export_hdf5(const DICResult& result, const std::string& path, int step);

}  // namespace morvex::dic
