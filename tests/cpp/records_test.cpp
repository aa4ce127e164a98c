#include <type_traits>

#include <gtest/gtest.h>

#include <morvex/dic.hpp>

namespace morvex::dic {
namespace {

TEST(Records, ConfigDefaults) {
    const DICConfig c;
    EXPECT_EQ(c.subset_size, 29);
    EXPECT_EQ(c.step, 7);
    EXPECT_EQ(c.search_range, 21);
    EXPECT_EQ(c.search_center_u, 0);
    EXPECT_EQ(c.search_center_v, 0);
    EXPECT_EQ(c.residual_search_range, -1);
    EXPECT_TRUE(c.seed_u_arr.empty());
    EXPECT_TRUE(c.seed_v_arr.empty());
    EXPECT_EQ(c.max_iterations, 50);
    EXPECT_EQ(c.convergence_threshold, 1e-6);
    EXPECT_EQ(c.znssd_threshold, 0.5);
    EXPECT_TRUE(c.use_fft_search);
    EXPECT_TRUE(c.use_bicubic);
    EXPECT_FALSE(c.use_tracking_simplex);
    EXPECT_TRUE(c.tracking_integer_initialization);
    EXPECT_TRUE(c.tracking_spatial_recovery);
    EXPECT_EQ(c.robust_max_iterations, 1000);
    EXPECT_EQ(c.robust_tolerance, 1e-6);
    EXPECT_EQ(c.robust_delta_disp, 1.0);
    EXPECT_EQ(c.robust_delta_theta, 0.1);
    EXPECT_EQ(c.disp_jump_tolerance, 8.0);
    EXPECT_EQ(c.theta_jump_tolerance, 0.1);
    EXPECT_EQ(c.tracking_min_zncc, 0.2);
    EXPECT_EQ(c.strain_window, 5);
    EXPECT_TRUE(c.compute_strain);
    EXPECT_EQ(c.roi_x0, -1);
    EXPECT_EQ(c.roi_y0, -1);
    EXPECT_EQ(c.roi_x1, -1);
    EXPECT_EQ(c.roi_y1, -1);
    EXPECT_FALSE(c.enable_denoise);
    EXPECT_EQ(c.denoise_method, "gaussian");
    EXPECT_EQ(c.denoise_kernel_size, 3);
    EXPECT_FALSE(c.enable_contrast_enhance);
}

TEST(Records, CopiesAreDeep) {
    DICConfig source;
    source.seed_u_arr = {1.0, 2.0};
    DICConfig copy = source;
    copy.seed_u_arr.push_back(3.0);
    copy.denoise_method = "median";
    EXPECT_EQ(source.seed_u_arr.size(), 2u);
    EXPECT_EQ(source.denoise_method, "gaussian");

    DICConfig assigned;
    assigned = source;
    EXPECT_EQ(assigned.seed_u_arr, source.seed_u_arr);

    DICResult result;
    result.rows = 1;
    result.cols = 2;
    result.u = {0.5, 1.5};
    DICResult copied = result;
    copied.u[0] = 9.0;
    EXPECT_EQ(result.u[0], 0.5);

    DICResult moved = std::move(result);
    EXPECT_EQ(moved.u.size(), 2u);
    EXPECT_TRUE(result.u.empty());  // NOLINT(bugprone-use-after-move): moved-from vectors are empty

    StrainField strain;
    strain.exx = {1.0};
    StrainField strain_copy = strain;
    strain_copy.exx[0] = 2.0;
    EXPECT_EQ(strain.exx[0], 1.0);
}

TEST(Records, SmallRecordsAreZeroAndTriviallyCopyable) {
    EXPECT_TRUE(std::is_trivially_copyable_v<PointResult>);
    EXPECT_TRUE(std::is_trivially_copyable_v<WarpParams>);
    EXPECT_TRUE(std::is_trivially_copyable_v<ICGNResult>);
    EXPECT_TRUE(std::is_trivially_copyable_v<CalibrationParams>);
    const DICResult empty;
    EXPECT_EQ(empty.rows, 0);
    EXPECT_EQ(empty.cols, 0);
    EXPECT_TRUE(empty.points.empty() && empty.valid.empty() && empty.iterations.empty());
    const CalibrationParams calibration;
    EXPECT_EQ(calibration.fx, 1.0);
    EXPECT_EQ(calibration.fy, 1.0);
    const ICGNConfig solver;
    EXPECT_EQ(solver.max_iterations, 50);
    EXPECT_EQ(solver.subset_size, 29);
    EXPECT_TRUE(solver.use_bicubic);
}

TEST(Records, EngineStartsIdleAndIsNotCopyable) {
    static_assert(!std::is_copy_constructible_v<DICEngine>);
    static_assert(!std::is_move_constructible_v<DICEngine>);
    DICEngine engine;
    EXPECT_FALSE(engine.progress_callback);
    EXPECT_FALSE(engine.cancel_requested.load());
    engine.cancel();
    EXPECT_TRUE(engine.cancel_requested.load());
}

}  // namespace
}  // namespace morvex::dic
