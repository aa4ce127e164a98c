#pragma once
/// Plain records that cross every boundary of the library: the run configuration,
/// the run result and the small values passed between search, solver and engine.
/// Coordinates: row (y) first, growing downwards; column (x) grows to the right.
/// u is the displacement along x (columns), v along y (rows), both in pixels.

#include <cstdint>
#include <string>
#include <vector>

namespace morvex::dic {

/// Settings of one correlation run (and of preprocess_image). The engine reads it
/// and never changes the caller's object.
struct DICConfig {
    int subset_size = 29;     ///< side of the square subset, pixels; solvers force it odd
    int step = 7;             ///< grid spacing, pixels; at least 1
    int search_range = 21;    ///< half-width of the integer search window; enters the grid margin
    int search_center_u = 0;  ///< expected u in whole pixels (search window centre)
    int search_center_v = 0;  ///< expected v in whole pixels
    int residual_search_range =
        -1;  ///< when >= 1, replaces search_range in the search (not the margin)
    std::vector<double>
        seed_u_arr;  ///< per-point expected u; used only with one value per grid point
    std::vector<double> seed_v_arr;       ///< per-point expected v; as above
    int max_iterations = 50;              ///< Gauss-Newton iteration limit
    double convergence_threshold = 1e-6;  ///< stop when |update| < this
    double znssd_threshold = 0.5;         ///< standard path: valid only if final ZNSSD < this
    bool use_fft_search = true;           ///< template matching first, exhaustive fallback
    bool use_bicubic = true;              ///< fourth-order kernel and gradients; false: bilinear
    bool use_tracking_simplex = false;  ///< rotation-aware simplex instead of search + Gauss-Newton
    bool tracking_integer_initialization = true;  ///< tracking: start from an integer search
    bool tracking_spatial_recovery = true;        ///< tracking: recovery passes on 2-D grids
    int robust_max_iterations = 1000;             ///< simplex iteration limit; below 1 counts as 1
    double robust_tolerance = 1e-6;               ///< simplex relative stopping tolerance
    double robust_delta_disp = 1.0;               ///< initial simplex step along u and v, pixels
    double robust_delta_theta = 0.1;              ///< initial simplex step along the angle, radians
    double disp_jump_tolerance =
        8.0;  ///< tracked point valid only if |u - start|, |v - start| <= this
    double theta_jump_tolerance = 0.1;  ///< tracked point valid only if |angle| <= this, radians
    /// Tracking with recovery: minimum ZNCC of a valid point (not applied without recovery).
    /// Permissive: on a 2-degree rotation, 191 of 4096 points pass at 0.2 while 5.6-17 px off
    /// (median ZNCC 0.28); at 0.6 every point is valid and right (RMS 0.0011 px). Use 0.6 or
    /// more for measurements.
    double tracking_min_zncc = 0.2;
    int strain_window = 5;       ///< strain neighbourhood half-width, grid points
    bool compute_strain = true;  ///< derive exx, eyy, exy after the displacements
    int roi_x0 = -1;             ///< region of interest, first column (inclusive)
    int roi_y0 = -1;             ///< first row (inclusive)
    int roi_x1 = -1;             ///< last column (inclusive)
    int roi_y1 = -1;  ///< last row (inclusive); region used only if x0, y0 >= 0, x1 > x0, y1 > y0
    bool enable_denoise = false;  ///< preprocess_image: denoise
    std::string denoise_method =
        "gaussian";                        ///< "gaussian", "median" or "nlm"; anything else: none
    int denoise_kernel_size = 3;           ///< made odd by OR-ing with 1
    bool enable_contrast_enhance = false;  ///< preprocess_image: CLAHE
};

/// One grid point: the centre of a subset, whole pixels, row first.
struct Point2D {
    int y = 0;  ///< row
    int x = 0;  ///< column
};

/// Outcome of one run, laid out row by row over the grid (index r * cols + c).
/// After a run with a non-empty grid every vector holds rows * cols elements.
struct DICResult {
    int rows = 0;
    int cols = 0;
    std::vector<double> u;
    std::vector<double> v;
    std::vector<double> exx;
    std::vector<double> eyy;
    std::vector<double> exy;
    std::vector<double> confidence;   ///< ZNCC of the final match, [-1, 1]
    std::vector<std::uint8_t> valid;  ///< 1 where the point was accepted
    std::vector<int> iterations;
    std::vector<Point2D> points;
};

/// Outcome for one grid point.
struct PointResult {
    int y = 0;
    int x = 0;
    double u = 0.0;
    double v = 0.0;
    double znssd = 0.0;
    double zncc = 0.0;
    bool valid = false;
    int iterations = 0;
    bool converged = false;
};

/// First-order shape function: a subset pixel at offset (dx, dy) from centre (x, y) maps to
/// x' = x + dx + u + du_dx*dx + du_dy*dy and y' = y + dy + v + dv_dx*dx + dv_dy*dy.
/// Note the field order: both x-derivatives come before both y-derivatives.
struct WarpParams {
    double u = 0.0;
    double v = 0.0;
    double du_dx = 0.0;
    double dv_dx = 0.0;
    double du_dy = 0.0;
    double dv_dy = 0.0;
};

/// Settings of the Gauss-Newton solvers.
struct ICGNConfig {
    int max_iterations = 50;
    double convergence_threshold = 1e-6;
    bool use_bicubic = true;
    int subset_size = 29;
};

/// Outcome of a Gauss-Newton solver.
struct ICGNResult {
    WarpParams warp;
    double znssd = 0.0;
    double zncc = 0.0;       ///< 1 - znssd / 2, clamped to [-1, 1]
    int iterations = 0;      ///< parameter updates applied
    bool converged = false;  ///< the last update's norm fell below the threshold
    bool valid = false;      ///< the final ZNSSD is a number below 2.0
};

/// Outcome of an integer-pixel search.
struct IntegerSearchResult {
    int u = 0;
    int v = 0;
    double zncc = 0.0;
    bool valid = false;
};

/// A sampled grey value with its gradient.
struct InterpResult {
    double value = 0.0;
    double dx = 0.0;  ///< derivative along the columns
    double dy = 0.0;  ///< derivative along the rows
};

/// Strain arrays laid out like the DICResult arrays.
struct StrainField {
    std::vector<double> exx;
    std::vector<double> eyy;
    std::vector<double> exy;
};

/// Speckle-pattern quality metrics.
struct SpeckleQuality {
    double entropy = 0.0;        ///< bits, 0 to 8
    double mean_gradient = 0.0;  ///< mean Sobel magnitude (unnormalised kernel)
    double sssig = 0.0;          ///< mean subset gradient energy per pixel
    double contrast = 0.0;       ///< Michelson contrast
    double coverage = 0.0;       ///< share of pixels with gradient magnitude > 5
    int recommended_subset = 0;  ///< one of 21, 31, 41, 51, 61
};

/// Camera intrinsics and lens distortion. Declaration order differs from OpenCV's
/// distortion vector (k1, k2, p1, p2, k3).
struct CalibrationParams {
    double fx = 1.0;
    double fy = 1.0;
    double cx = 0.0;
    double cy = 0.0;
    double k1 = 0.0;
    double k2 = 0.0;
    double k3 = 0.0;
    double p1 = 0.0;
    double p2 = 0.0;
};

}  // namespace morvex::dic
