// DICEngine::run on pairs of at most 64 x 64 pixels with arbitrary configurations.
//
// Every configuration value reaches the engine as decoded, except where a legitimate run
// would take seconds to minutes and so read as a hang (the clamps keep one run, under the
// sanitizers, well under a second):
//   - the region of interest is clamped to [-8, 72] per coordinate: a region reaching
//     far beyond the image is correlated point by point (not clipped), by design;
//   - max_iterations to at most 50 (the default) and robust_max_iterations to at most 100:
//     a NaN tolerance never stops a solver, so every point runs to its limit;
//   - step is raised (doubled) until the grid has at most kMaxGridPoints points, because
//     the cost of a run is linear in its point count (only for a margin of at least 0; with
//     the region clamped, a large grid then comes from a small step, not a fault).
// Negative, zero and huge values of every other field, and NaN or infinite doubles, pass.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include <morvex/engine.hpp>

#include "engine/grid.h"
#include "fuzz_cases.h"
#include "fuzz_support.h"

namespace {

using namespace morvex;

constexpr int kRoiLow = -8;
constexpr int kRoiHigh = fuzz::kMaxImageSide + 8;
constexpr int kMaxIterations = 50;
constexpr int kMaxRobustIterations = 100;
constexpr std::int64_t kMaxGridPoints = 16;

std::int64_t grid_points(const cv::Mat& reference, const dic::DICConfig& config) {
    const dic::detail::GridRegion region = dic::detail::region_of_interest(reference, config);
    const std::int64_t margin = dic::detail::grid_margin(config);
    const auto ys = dic::detail::grid_axis(region.y0, region.y1, margin, config.step);
    const auto xs = dic::detail::grid_axis(region.x0, region.x1, margin, config.step);
    // Each count is below 2^34 (the span of two int64 sums of ints), so the product of the
    // two capped counts cannot overflow.
    return std::min<std::int64_t>(ys.count, 1 << 30) * std::min<std::int64_t>(xs.count, 1 << 30);
}

void clamp_config(const cv::Mat& reference, dic::DICConfig& config) {
    for (int* roi : {&config.roi_x0, &config.roi_y0, &config.roi_x1, &config.roi_y1})
        *roi = std::clamp(*roi, kRoiLow, kRoiHigh);
    config.max_iterations = std::min(config.max_iterations, kMaxIterations);
    config.robust_max_iterations = std::min(config.robust_max_iterations, kMaxRobustIterations);
    // Refused by run(): nothing to bound. (A negative margin once made grids of millions of
    // points outside the image; raising the step would hide such a fault, not bound a
    // legitimate cost.)
    if (config.step < 1 || dic::detail::grid_margin(config) < 0) return;
    while (grid_points(reference, config) > kMaxGridPoints &&
           config.step <= std::numeric_limits<int>::max() / 2)
        config.step *= 2;
    if (grid_points(reference, config) > kMaxGridPoints)
        config.step = std::numeric_limits<int>::max();
}

void fit_seeds_to_grid(std::vector<double>& seeds, std::size_t n) {
    if (seeds.empty()) seeds.push_back(0.0);
    std::vector<double> fitted(n);
    for (std::size_t i = 0; i < n; ++i) fitted[i] = seeds[i % seeds.size()];
    seeds = std::move(fitted);
}

void check_result(const dic::DICResult& r, const dic::DICConfig& config) {
    if (r.points.empty()) {
        MORVEX_FUZZ_CHECK(r.rows == 0 && r.cols == 0, "an empty grid gives a 0 x 0 result");
        MORVEX_FUZZ_CHECK(r.u.empty() && r.v.empty() && r.valid.empty() && r.exx.empty(),
                          "an empty grid gives empty arrays");
        return;
    }
    MORVEX_FUZZ_CHECK(r.rows > 0 && r.cols > 0, "a non-empty grid has a positive shape");
    const auto n = static_cast<std::size_t>(r.rows) * static_cast<std::size_t>(r.cols);
    MORVEX_FUZZ_CHECK(r.points.size() == n, "rows * cols equals the number of points");
    for (std::size_t size : {r.u.size(), r.v.size(), r.exx.size(), r.eyy.size(), r.exy.size(),
                             r.confidence.size(), r.valid.size(), r.iterations.size()})
        MORVEX_FUZZ_CHECK(size == n, "every result array holds rows * cols values");
    for (std::size_t k = 0; k < n; ++k) {
        MORVEX_FUZZ_CHECK(r.valid[k] <= 1, "valid is 0 or 1");
        MORVEX_FUZZ_CHECK(r.iterations[k] >= 0, "iteration counts are not negative");
        if (r.valid[k]) {
            MORVEX_FUZZ_CHECK(std::isfinite(r.u[k]) && std::isfinite(r.v[k]),
                              "a valid point has a finite displacement");
            MORVEX_FUZZ_CHECK(r.confidence[k] >= -1.0 && r.confidence[k] <= 1.0,
                              "a valid point's confidence lies in [-1, 1]");
        }
        if (!config.compute_strain)
            MORVEX_FUZZ_CHECK(r.exx[k] == 0.0 && r.eyy[k] == 0.0 && r.exy[k] == 0.0,
                              "strain stays zero when it is not computed");
    }
}

// MORVEX_FUZZ_PRINT=1 prints the decoded case, for reading a saved input.
void print_case(const fuzz::EngineCase& c, const cv::Mat& reference, const cv::Mat& deformed) {
    const dic::DICConfig& k = c.config;
    std::fprintf(stderr,
                 "images %dx%d, %dx%d kind %d; subset %d step %d range %d centre (%d, %d) "
                 "residual %d seeds %zu/%zu iterations %d threshold %g znssd %g fft %d bicubic %d "
                 "tracking %d init %d recovery %d robust %d tol %g delta %g/%g jump %g/%g "
                 "min_zncc %g strain %d window %d roi (%d %d %d %d)\n",
                 reference.rows, reference.cols, deformed.rows, deformed.cols, c.images.kind % 4,
                 k.subset_size, k.step, k.search_range, k.search_center_u, k.search_center_v,
                 k.residual_search_range, k.seed_u_arr.size(), k.seed_v_arr.size(),
                 k.max_iterations, k.convergence_threshold, k.znssd_threshold, k.use_fft_search,
                 k.use_bicubic, k.use_tracking_simplex, k.tracking_integer_initialization,
                 k.tracking_spatial_recovery, k.robust_max_iterations, k.robust_tolerance,
                 k.robust_delta_disp, k.robust_delta_theta, k.disp_jump_tolerance,
                 k.theta_jump_tolerance, k.tracking_min_zncc, k.compute_strain, k.strain_window,
                 k.roi_x0, k.roi_y0, k.roi_x1, k.roi_y1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::EngineCase c;
    fuzz::ByteReader reader(data, size);
    fuzz::visit_engine(reader, c);

    cv::Mat reference;
    cv::Mat deformed;
    fuzz::make_image_pair(c.images, reference, deformed);
    clamp_config(reference, c.config);
    if (c.seeds_fit_grid % 2 == 1 && c.config.step >= 1 &&
        grid_points(reference, c.config) <= kMaxGridPoints) {
        const auto n = static_cast<std::size_t>(grid_points(reference, c.config));
        fit_seeds_to_grid(c.config.seed_u_arr, n);
        fit_seeds_to_grid(c.config.seed_v_arr, n);
    }

    if (std::getenv("MORVEX_FUZZ_PRINT")) print_case(c, reference, deformed);

    dic::DICEngine engine;
    dic::DICResult result;
    try {
        result = engine.run(reference, deformed, c.config);
    } catch (const std::invalid_argument&) {
        return 0;  // documented refusals: step, strain_window, unrepresentable grids
    }
    check_result(result, c.config);
    return 0;
}
