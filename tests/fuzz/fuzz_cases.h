#pragma once
// The structured inputs of the fuzz targets: one record per target and the order in which
// its fields are read (visit). Shared by the targets and by make_corpus, which writes seeds
// through the same visit functions.

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/guided.hpp>
#include <morvex/records.hpp>

namespace morvex::fuzz {

/// Largest side of the images the engine-level targets build.
constexpr int kMaxImageSide = 64;

/// One pixel of a generated image replaced by an arbitrary value (NaN, infinities, huge).
struct PixelOverride {
    double value = 0.0;
    std::uint32_t index = 0;  ///< pixel index, modulo the image's size
    std::uint32_t image = 0;  ///< even: the reference, odd: the deformed image
};

/// A reference and a deformed image of at most kMaxImageSide pixels a side.
struct ImagePairCase {
    std::uint8_t reference_rows = 48;  ///< modulo kMaxImageSide + 1, like the three below
    std::uint8_t reference_cols = 48;
    std::uint8_t deformed_rows = 48;
    std::uint8_t deformed_cols = 48;
    /// 0: speckle and its warped copy; 1: flat images; 2: identical speckles;
    /// 3: two unrelated speckles.
    std::uint8_t kind = 0;
    std::uint32_t speckle_seed = 7;
    std::uint8_t dot_radius = 2;  ///< 1 + value % 6
    double density = 0.6;         ///< used when in [0, 1]; 0.6 otherwise
    double u = 0.4;               ///< warp of kind 0, as deform_image takes it
    double v = -0.3;
    double du_dx = 0.0;
    double du_dy = 0.0;
    double dv_dx = 0.0;
    double dv_dy = 0.0;
    std::vector<PixelOverride> overrides;
};

template <class Io, class Case>
void visit_image_pair(Io& io, Case& c) {
    io.field(c.reference_rows);
    io.field(c.reference_cols);
    io.field(c.deformed_rows);
    io.field(c.deformed_cols);
    io.field(c.kind);
    io.field(c.speckle_seed);
    io.field(c.dot_radius);
    io.field(c.density);
    io.field(c.u);
    io.field(c.v);
    io.field(c.du_dx);
    io.field(c.du_dy);
    io.field(c.dv_dx);
    io.field(c.dv_dy);
    io.field(c.overrides);
}

/// Every member of DICConfig, in declaration order.
template <class Io, class Config>
void visit_dic_config(Io& io, Config& c) {
    io.field(c.subset_size);
    io.field(c.step);
    io.field(c.search_range);
    io.field(c.search_center_u);
    io.field(c.search_center_v);
    io.field(c.residual_search_range);
    io.field(c.seed_u_arr);
    io.field(c.seed_v_arr);
    io.field(c.max_iterations);
    io.field(c.convergence_threshold);
    io.field(c.znssd_threshold);
    io.field(c.use_fft_search);
    io.field(c.use_bicubic);
    io.field(c.use_tracking_simplex);
    io.field(c.tracking_integer_initialization);
    io.field(c.tracking_spatial_recovery);
    io.field(c.robust_max_iterations);
    io.field(c.robust_tolerance);
    io.field(c.robust_delta_disp);
    io.field(c.robust_delta_theta);
    io.field(c.disp_jump_tolerance);
    io.field(c.theta_jump_tolerance);
    io.field(c.tracking_min_zncc);
    io.field(c.strain_window);
    io.field(c.compute_strain);
    io.field(c.roi_x0);
    io.field(c.roi_y0);
    io.field(c.roi_x1);
    io.field(c.roi_y1);
    io.field(c.enable_denoise);
    io.field(c.denoise_method);
    io.field(c.denoise_kernel_size);
    io.field(c.enable_contrast_enhance);
}

/// DICEngine::run on a small pair.
struct EngineCase {
    ImagePairCase images;
    dic::DICConfig config;
    /// 1: the seed arrays are resized to the grid (cycling their values), so they are used.
    std::uint8_t seeds_fit_grid = 0;
};

template <class Io, class Case>
void visit_engine(Io& io, Case& c) {
    visit_image_pair(io, c.images);
    visit_dic_config(io, c.config);
    io.field(c.seeds_fit_grid);
}

/// to_gray_double on a matrix of any depth, channel count and shape.
struct GrayCase {
    std::uint8_t depth = CV_8U;  ///< modulo 8 (CV_8U ... CV_16F)
    std::uint8_t channels = 1;   ///< 1 + value % 6
    std::uint8_t dims = 2;       ///< 2 + value % 2
    std::uint8_t rows = 8;       ///< modulo 33, like cols and layers
    std::uint8_t cols = 8;
    std::uint8_t layers = 1;          ///< third extent when dims is 3
    std::uint8_t view = 0;            ///< odd: a non-continuous window into a larger matrix
    std::vector<std::uint8_t> bytes;  ///< element bytes, repeated to fill the matrix
};

template <class Io, class Case>
void visit_gray(Io& io, Case& c) {
    io.field(c.depth);
    io.field(c.channels);
    io.field(c.dims);
    io.field(c.rows);
    io.field(c.cols);
    io.field(c.layers);
    io.field(c.view);
    io.field(c.bytes, true);
}

/// The three writers on an arbitrary result record.
struct ExportCase {
    std::uint8_t writer = 0;     ///< 0 csv, 1 vtk, 2 binary, 3 all three
    std::uint8_t path_kind = 0;  ///< see export_fuzz.cpp
    std::int32_t rows = 2;
    std::int32_t cols = 3;
    std::int32_t step = 7;
    std::uint8_t fit = 1;  ///< odd: every array cycled to rows * cols values (up to 4096)
    std::vector<double> u;
    std::vector<double> v;
    std::vector<double> exx;
    std::vector<double> eyy;
    std::vector<double> exy;
    std::vector<double> confidence;
    std::vector<std::uint8_t> valid;
};

template <class Io, class Case>
void visit_export(Io& io, Case& c) {
    io.field(c.writer);
    io.field(c.path_kind);
    io.field(c.rows);
    io.field(c.cols);
    io.field(c.step);
    io.field(c.fit);
    io.field(c.u, true);
    io.field(c.v, true);
    io.field(c.exx, true);
    io.field(c.eyy, true);
    io.field(c.exy, true);
    io.field(c.confidence, true);
    io.field(c.valid, true);
}

/// A sub-pixel position, row first.
struct Position {
    double y = 0.0;
    double x = 0.0;
};

/// The four interpolators on a small image at arbitrary positions.
struct InterpolationCase {
    std::uint8_t rows = 6;  ///< modulo 17
    std::uint8_t cols = 6;
    std::uint8_t layout = 0;     ///< see interpolation_fuzz.cpp
    std::vector<double> pixels;  ///< repeated to fill the image
    std::vector<Position> positions;
};

template <class Io, class Case>
void visit_interpolation(Io& io, Case& c) {
    io.field(c.rows);
    io.field(c.cols);
    io.field(c.layout);
    io.field(c.pixels, true);
    io.field(c.positions, true);
}

/// The guided path (ReferenceImage, correlate_guided, GuidedSequence) on a small pair.
struct GuidedCase {
    ImagePairCase images;
    dic::GuidedConfig config;  ///< every plain field is read; mask and cancel come from below
    /// 0: no mask; 1: a random mask; 2: an all-background mask; 3: a mask of another size;
    /// 4: a mask of another type.
    std::uint8_t mask_kind = 0;
    std::uint32_t mask_seed = 1;
    std::uint8_t cancel = 0;  ///< odd: the cancel flag is set before the call
    /// 0: one frame; 1: a second frame from the first result; 2: a fixed sequence of two
    /// frames; 3: an incremental one.
    std::uint8_t mode = 0;
    std::uint8_t same_size =
        1;  ///< odd: the deformed image is cut or padded to the reference's size
};

template <class Io, class Case>
void visit_guided(Io& io, Case& c) {
    visit_image_pair(io, c.images);
    io.field(c.config.subset_size);
    io.field(c.config.step);
    io.field(c.config.roi_x0);
    io.field(c.config.roi_y0);
    io.field(c.config.roi_x1);
    io.field(c.config.roi_y1);
    io.field(c.config.interpolation);
    io.field(c.config.prefilter_sigma);
    io.field(c.config.min_zncc);
    io.field(c.config.max_jump);
    io.field(c.config.search_range);
    io.field(c.config.seed_count);
    io.field(c.config.seed_points);
    io.field(c.config.max_iterations);
    io.field(c.config.convergence_threshold);
    io.field(c.config.compute_strain);
    io.field(c.config.strain_window);
    io.field(c.config.strain_measure);
    io.field(c.config.threads);
    io.field(c.mask_kind);
    io.field(c.mask_seed);
    io.field(c.cancel);
    io.field(c.mode);
    io.field(c.same_size);
}

/// The pair an ImagePairCase describes (CV_64FC1 each, possibly empty).
void make_image_pair(const ImagePairCase& c, cv::Mat& reference, cv::Mat& deformed);

}  // namespace morvex::fuzz
