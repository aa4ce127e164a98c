#pragma once
/// Guided correlation: a displacement field grown from a few seed points by reliability-guided
/// propagation, with masks, B-spline interpolation and a per-point uncertainty.
///
/// A separate family beside DICEngine (which it never calls or changes). Build a ReferenceImage
/// once per reference frame, then call correlate_guided() for every deformed frame; pass the
/// previous frame's result to seed every block from its last value, with no search.
/// GuidedSequence runs a whole sequence against a fixed reference or incrementally.
///
/// Coordinates as everywhere in Morvex: row (y) first, growing downwards; column (x) to the
/// right; u along x, v along y, pixels; pixel centres at integer positions. Per-point arrays are
/// laid out row by row over the grid, index r * cols + c.
///
/// Method: reliability-guided DIC (B. Pan, "Reliability-guided digital image correlation for
/// image deformation measurement", Applied Optics 48(8), 2009) with the inverse-compositional
/// Gauss-Newton solver (B. Pan, K. Li, W. Tong, "Fast, robust and accurate digital image
/// correlation calculation without redundant computations", Experimental Mechanics 53, 2013),
/// B-spline interpolation with exact recursive prefiltering (M. Unser, "Splines: a perfect fit
/// for signal and image processing", IEEE Signal Processing Magazine 16(6), 1999), and the
/// uncertainty of the Gauss-Newton estimate from its residual and Hessian (Y. Q. Wang,
/// M. A. Sutton et al., "Quantitative error assessment in pattern matching", Experimental
/// Mechanics 49, 2009). Second-order subsets follow B. Gao, Z. Cheng, C. Xiong, Y. Su,
/// B. Pan, "High-accuracy and high-efficiency digital image correlation: the inverse
/// compositional Gauss-Newton algorithm with a second-order shape function", Optics and Lasers
/// in Engineering 65, 2015 (the 6 x 6 warp matrix that makes the update composable).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// How the deformed image is sampled between pixel centres.
enum class Interpolation : std::uint8_t {
    kQuinticBSpline = 0,  ///< degree-5 B-spline, exact prefilter: lowest bias (default)
    kCubicBSpline = 1,    ///< degree-3 B-spline, exact prefilter
    kKeysFourth = 2,      ///< 6x6 fourth-order cubic convolution, as DICEngine uses
};

/// Which strain tensor correlate_guided() derives from the displacement field.
enum class StrainMeasure : std::uint8_t {
    kGreenLagrange = 0,  ///< finite strain, as compute_strain()
    kEngineering = 1,    ///< small strain, as compute_engineering_strain()
};

/// Which displacement gradients correlate_guided()'s strain is made of.
enum class StrainSource : std::uint8_t {
    /// A plane fit of u, v over the strain window of valid points (default): the strain keeps
    /// the displacement's resolution, blurred by the window; virtual strain gauge
    /// 2 n step + subset_size for a window of n grid steps.
    kDisplacementFit = 0,
    /// The subsets' own warp gradients (du_dx, du_dy, dv_dx, dv_dy): as they are when the
    /// strain window rounds to 0 grid steps (gauge = subset_size), else each one's plane fit
    /// over the window's valid points, taken at the point (gauge 2 n step + subset_size).
    kSubset = 1,
};

/// How a subset may deform: the shape function of the warp the solver fits.
enum class SubsetShape : std::uint8_t {
    /// First order, 6 parameters: u + du_dx dx + du_dy dy (and v alike). Follows a field only
    /// as far as it is linear across the subset: a sinusoid loses 10 % of its amplitude at a
    /// period of about 4 subsets.
    kAffine = 0,
    /// Second order, 12 parameters: the affine warp plus 1/2 du_dxx dx^2 + du_dxy dx dy +
    /// 1/2 du_dyy dy^2 (and v alike). Follows curved fields: the 10 % loss comes at about
    /// 1.3 to 1.5 subsets, for roughly twice the noise of an affine subset of the same size
    /// and 1.5 to 1.9 times the time per point. du_dx etc. stay the gradients at the subset
    /// centre (a symmetric fit gives them the affine subset's resolution); the strain comes
    /// from u, v or from these gradients as strain_source says, for either shape.
    kQuadratic = 1,
};

/// When seeds start from the motion of image features (keypoints matched between the two
/// images, a robust similarity fit per connected region of the mask) instead of a translation
/// search alone: what lets a specimen rotated by any angle, or scaled, be measured directly.
enum class FeatureSeeds : std::uint8_t {
    /// Only when the frame's translation search found no first seed (default): a pair the
    /// search measures is seeded, and measured, exactly as without features.
    kAuto = 0,
    kOn = 1,   ///< always, before the translation search; each region starts from its fit
    kOff = 2,  ///< never
};

/// Why a grid point holds the value it holds. Only kConverged points are valid.
enum class GuidedStatus : std::uint8_t {
    kConverged = 0,    ///< solved, ZNCC >= min_zncc, no jump: valid
    kOutsideMask = 1,  ///< centre outside the mask, or too few specimen pixels in the subset
    /// the solver hit max_iterations, or left the image by more than a subset cut off by the
    /// frame's edge may (see kLeftView)
    kNotConverged = 2,
    /// converged, but ZNCC < min_zncc; or its misfit 1 - ZNCC exceeds 0.02 and ten times the
    /// median misfit of the valid points within 3 grid steps (at least 9 of them): a subset
    /// across a crack or holding a smudge, which fits a blend of what it sees
    kLowCorrelation = 3,
    /// differs from its guide by more than max_jump px at its centre or a subset corner; for a
    /// seed, its neighbours, started from it, do not agree with it
    kDisplacementJump = 4,
    /// too little texture to measure: zero grey-level variance or a singular Hessian; with
    /// max_predicted_sigma > 0 also a predicted sigma along the weakest direction >
    /// max_predicted_sigma, or a subset within reach of an untextured patch (kTextureReach):
    /// decided on the reference, before any search or solve, at no cost per frame
    kFlatSubset = 5,
    kCancelled = 6,   ///< cancel was requested before the point was finished
    kNotReached = 7,  ///< no seed could start the specimen region it lies in
    kBadPixels = 8,   ///< NaN or infinite grey values under (or within 4 px of) the subset
    /// left the field of view: the subset moved by its guide's warp has more than a tenth of
    /// its specimen pixels outside the deformed image or on its non-finite pixels
    /// (share > 0.1); decided before any solve or search. A subset the frame's edge cuts off
    /// by less is matched on its pixels at least half a pixel inside (at least four fifths
    /// of them), its sigma from those alone
    kLeftView = 9,
    /// converged, but its subset straddles a displacement jump (a crack, a sliding edge): cut
    /// along the best of a few lines, its two sides fit far better apart than under the one
    /// warp, and they disagree on the line by more than 0.25 px (also with a band of 4 px on
    /// either side of the line left out, where the interpolant reads a gap); or a lip a few
    /// pixels inside the subset's edge pulled the one warp: the rest, fitted alone, leaves a
    /// small share of its residual there and ten times more per pixel on the strip. Tested
    /// only where the misfit stands out against the valid neighbours', and at the neighbours
    /// of a point so marked
    kCrossesDiscontinuity = 10,
};

/// Most threads GuidedConfig::threads may ask for. The largest machines hold a few hundred
/// hardware threads, and more threads than cores only queue; each OpenMP thread reserves its
/// own stack, so a million of them crashed the process before any work.
inline constexpr int kMaxGuidedThreads = 1024;

/// The prefilter's Gaussian is cut at this many sigma on each side, and that radius must fit in
/// half a subset (see max_prefilter_sigma).
inline constexpr double kPrefilterRadiusSigmas = 4.0;

/// Largest GuidedConfig::prefilter_sigma for a subset of `subset_size` px, pixels:
/// (subset_size / 2) / kPrefilterRadiusSigmas, the Gaussian's radius within half a subset.
/// A wider blur leaves each subset a smooth ramp that many shifts match equally well: at
/// sigma 1000 px a 29 px subset reported ZNCC 1.0000 on 94 % of the points with the field's
/// sign flipped. Never throws.
MORVEX_EXPORT double max_prefilter_sigma(int subset_size);

/// A grid point is measured only when its centre is on the mask's specimen and at least this
/// share of its subset's pixels is (share >= kMinSpecimenShare); a partly covered subset is
/// matched on its specimen pixels alone, and below this share the fit is too weakly determined.
inline constexpr double kMinSpecimenShare = 0.5;

/// The texture test of GuidedConfig::max_predicted_sigma. A pixel is textured when its
/// gradient's magnitude exceeds kTexturedGradient times the rms the reference's read noise
/// alone gives it; an untextured patch is the pixels farther than kTextureReach px from every
/// textured one (a dark margin, a hole, a saturated area; not the gaps of a speckle pattern,
/// at most 8 px from a textured pixel on the bench pairs and a real plate). A grid point is
/// refused when any specimen pixel of its subset lies within kTextureReach + kTextureEdge px
/// of such a patch (the edge's own gradient reaches
/// 3 px into the dark, the interpolant 3 px across it): the subset then holds the edge of the
/// textured field, whose step outweighs the speckle and moves its match by tenths of a pixel
/// with a confident sigma (a mask does not cure it: the deformed image's edge pixels blend
/// both sides).
inline constexpr double kTexturedGradient = 3.0;
inline constexpr int kTextureReach = 10;
inline constexpr int kTextureEdge = 7;

/// A vertex of a crack line, reference pixels: x along columns, y along rows.
struct CrackVertex {
    double x = 0.0;
    double y = 0.0;
};

/// A grid point whose centre lies within this many px of a crack line straddles it whatever its
/// subset: kCrossesDiscontinuity.
inline constexpr double kCrackClearance = 1.0;

/// The settings that shape a prepared reference image. A ReferenceImage keeps its own copy,
/// and every frame correlated against it uses them as they were.
struct MORVEX_EXPORT GuidedReferenceSettings {
    int subset_size = 29;  ///< side of the square subset, pixels; odd, >= 5
    int step = 7;          ///< grid spacing, pixels; >= 1
    int roi_x0 = -1;       ///< region of interest, first column (inclusive)
    int roi_y0 = -1;       ///< first row (inclusive)
    int roi_x1 = -1;       ///< last column (inclusive)
    /// Last row (inclusive); the region is used only if x0, y0 >= 0, x1 > x0, y1 > y0
    int roi_y1 = -1;
    /// CV_8UC1, size of the reference, non-zero = specimen; empty = everywhere. A grid
    /// point needs its centre on the specimen and at least half of its subset's pixels there
    /// (else kOutsideMask); a partly covered subset is matched on its specimen pixels alone.
    cv::Mat mask;
    Interpolation interpolation = Interpolation::kQuinticBSpline;
    /// Shape function of every subset. kQuadratic stores a 12 x 12 inverse Hessian
    /// per point (1152 bytes instead of 288) while the 256 MiB budget allows, else recomputes it.
    SubsetShape shape = SubsetShape::kAffine;
    /// Gaussian low-pass of both images before interpolation, pixels; 0 = off, at
    /// most max_prefilter_sigma(subset_size). The
    /// uncertainty still comes from the raw grey levels: s^2 of the raw residual propagated
    /// through the filter (H^-1 M H^-1, M from the steepest-descent images filtered once more),
    /// since the filtered noise is no longer white.
    double prefilter_sigma = 0.0;
    /// Read noise of the reference image, grey levels: -1 = estimated from the
    /// image (on the mask's specimen), 0 = a noise-free reference. Noise in the reference
    /// enters its gradients, so the Hessian overstates the texture and an uncertainty from it
    /// alone reads low (1.6 x at 29 px for noise of a sixth of the speckle's grey-level
    /// spread in both images). sigma_u, sigma_v split the residual variance s^2 between the
    /// images, s_ref^2 H0^-1 + s_def^2 H0^-1 H H0^-1, with H0 = H less the noise's expected
    /// share of it (at most 70 % in any direction). Changes sigma only, never u, v (but for
    /// which subsets max_predicted_sigma refuses, judged against this noise).
    double reference_noise = -1.0;
    /// px; a grid point whose subset cannot measure the motion is refused before
    /// any search or solve (kFlatSubset): its predicted sigma along its weakest direction, for
    /// the reference's read noise in both images, is > max_predicted_sigma, or its subset
    /// reaches an untextured patch (see kTextureReach). 0 = off: only a subset without any
    /// texture is refused, when first solved. Both tests need a read noise: a noise-free
    /// reference (reference_noise = 0) refuses only flat subsets. The default sits between
    /// speckle (at most 0.015 px on the bench pairs, 0.044 px on partly masked subsets of a real
    /// plate) and subsets of a dark field, which predict 0.12 px and more.
    double max_predicted_sigma = 0.05;
    /// Crack lines, each a polyline of at least 2 vertices in reference pixels, that act as
    /// barriers: a subset uses only the pixels on its centre's side of every line (a pixel is
    /// across when the segment from the centre to it crosses a line; it is then treated as off
    /// the mask, as are the pixels within 4 px of a line, where the deformed image's
    /// interpolant reads the far lip or the gap), a point whose centre lies within
    /// kCrackClearance px of a line, or whose subset holds a line's end inside the image (more
    /// than a pixel from its border: a tip, around which the lips close as no warp follows), is
    /// kCrossesDiscontinuity, each region the lines cut off is seeded on its own, growth never
    /// steps across a line and no strain window mixes its sides. Empty = no barrier. A line may
    /// not cross itself, and its vertices must lie inside the image. An incremental
    /// GuidedSequence moves the lines with the material onto each new reference frame (each
    /// vertex by the mean of its two lips' measured motion, kept on the frame).
    std::vector<std::vector<CrackVertex>> crack_lines;

    /// Throws std::invalid_argument naming the first field out of its range. Needs no image:
    /// the mask's size and the grid's fit are checked against the image when it is prepared.
    void check() const;
};

/// The settings of each frame's correlation against a prepared reference image.
struct MORVEX_EXPORT GuidedSolveSettings {
    double min_zncc = 0.8;  ///< a point is valid only if its ZNCC >= this
    /// px; a point is rejected if its u or v, at the subset centre or a corner, differs more
    /// than this from its guide's
    double max_jump = 2.0;
    /// Half-width of the full integer search (seeds only), px; -1 = the whole image. Large
    /// windows are searched at half resolution, then refined.
    int search_range = -1;
    /// The grid is cut into this many blocks of about equal area, each grown from its own seed by
    /// a priority queue; blocks are spread over the threads, so the result does not depend on the
    /// thread count. 0 = automatic (about one block per 250 grid points, 1 to 64). One full search
    /// per frame finds a first seed (explicit seeds first, then each block's centre outwards);
    /// every block's seed starts from its warp, then a residual and a full search. A seed is
    /// accepted only when its neighbours, started from it, agree with it (at least two of them,
    /// or the one it has; a point without usable neighbours needs ZNCC >= (1 + min_zncc) / 2).
    /// A block tries up to 6 textured seeds; points no block reached are finally grown from the
    /// nearest finished point of their region, in one deterministic pass. A point grown from a
    /// neighbour is solved from its guide, then from the best whole-pixel shift within
    /// max(3, ceil(max_jump) + 1) px of it, and then gives up: it is never searched further.
    int seed_count = 0;
    /// Explicit seeds (row, column), snapped to the nearest grid point; each must lie inside
    /// the image and, with a mask, on its specimen.
    std::vector<Point2D> seed_points;
    /// Start displacement of each explicit seed, px: empty, or one (u, v) per seed_points entry
    /// (a NaN pair: that seed is searched). A seed with a start is solved from it first, so a
    /// region that moved beyond search_range is still found.
    std::vector<double> seed_u, seed_v;
    /// Seeds from image features; see FeatureSeeds. Results never depend on the thread count.
    FeatureSeeds feature_seeds = FeatureSeeds::kAuto;
    int max_iterations = 50;              ///< Gauss-Newton iteration limit per start
    double convergence_threshold = 1e-3;  ///< px; stop when the update moves no subset corner more
    bool compute_strain = true;           ///< derive exx, eyy, exy
    /// half-width of the strain fit, pixels, rounded to grid steps: at least one for
    /// kDisplacementFit; 0 steps leaves kSubset's gradients unsmoothed
    int strain_window = 35;
    StrainMeasure strain_measure = StrainMeasure::kGreenLagrange;
    StrainSource strain_source = StrainSource::kDisplacementFit;
    int threads = 0;  ///< 0 = OpenMP's default, otherwise exactly this many (<= kMaxGuidedThreads)
    /// Called with (points finished, points in the grid) from one thread at a time.
    std::function<void(int, int)> progress;
    /// When non-null and set, every point not yet finished is skipped (status kCancelled) and
    /// strain is not computed (exx, eyy, exy stay NaN).
    const std::atomic<bool>* cancel = nullptr;

    /// Throws std::invalid_argument naming the first field out of its range.
    void check() const;
};

/// Both records in one, for a caller that prepares the reference and correlates in one go
/// (GuidedSequence, or ReferenceImage followed by correlate_guided with the same config).
struct MORVEX_EXPORT GuidedConfig : GuidedReferenceSettings, GuidedSolveSettings {
    /// Both records' checks.
    void check() const;
};

/// Outcome of a guided correlation, row by row over the grid. Every vector holds rows * cols
/// values. Invalid points keep the last estimate in u, v (NaN when there was none).
struct GuidedResult {
    int rows = 0;
    int cols = 0;
    std::vector<double> x, y;  ///< subset centre in the reference image, pixels
    std::vector<double> u, v;  ///< displacement, pixels
    std::vector<double> du_dx, du_dy, dv_dx, dv_dy;  ///< displacement gradients of the subset warp
    /// Second derivatives of the subset warp (d2u/dx2, d2u/dxdy, d2u/dy2, and of v), 1/px, at
    /// the subset centre; empty unless shape is kQuadratic, NaN where u is.
    std::vector<double> du_dxx, du_dxy, du_dyy, dv_dxx, dv_dxy, dv_dyy;
    std::vector<double> exx, eyy, exy;  ///< strain (tensor components); NaN where not computable
    std::vector<double> zncc;           ///< ZNCC of the final match, [-1, 1]; NaN when never solved
    std::vector<double> sigma_u, sigma_v;  ///< one-sigma uncertainty of u and v, pixels
    std::vector<std::uint8_t> valid;       ///< 1 where status is kConverged
    std::vector<std::uint8_t> status;      ///< GuidedStatus
    std::vector<int> iterations;           ///< Gauss-Newton iterations spent on the accepted start
    /// Full integer searches (search_range wide; the whole image by default) run for this
    /// frame. Only seeds are searched so: the frame's first seed, the blocks' seeds, explicit
    /// seeds; a point grown from a neighbour never is.
    int full_searches = 0;
    /// Seconds of work on this frame's points, by the status each point ended with (index:
    /// GuidedStatus, kCrossesDiscontinuity + 1 entries): its solves and searches, and for a seed the checks
    /// of the neighbours that confirm it. Thread time by the clock, so a busy machine inflates
    /// it; the frame's preparation and the strain fit are not included.
    std::vector<double> seconds_by_status;
};

/// Subset centres of the grid a ReferenceImage of `rows` x `cols` pixels lays out for `config`:
/// centres `step` px apart inside the region of interest (or the image), with the whole subset
/// inside the image. `rows_y` holds the row of each grid row, `cols_x` the column of each grid
/// column. The one place the grid rule lives; the package asks for it through its extension.
/// @throws std::invalid_argument naming the region when it leaves no grid point, or for a
/// grid of more than 2^30 points.
struct GuidedGridAxes {
    std::vector<int> rows_y;  ///< centre row of each grid row, increasing
    std::vector<int> cols_x;  ///< centre column of each grid column, increasing
};
MORVEX_EXPORT GuidedGridAxes guided_grid_axes(int rows, int cols,
                                              const GuidedReferenceSettings& settings);

/// Standard deviation of the white read noise of `image` (CV_64FC1), grey levels, as a
/// ReferenceImage estimates its own: the median magnitude of Immerkaer's high-pass (fourth
/// differences along rows and columns), robustly scaled. With `specimen` (CV_8UC1 of the
/// image's size, non-zero = specimen) only 5 x 5 windows on the specimen count; 0 when none
/// does. Reads high on patterns of dots under about 2 px.
/// @throws std::invalid_argument for an image that is not CV_64FC1 or a specimen of another
/// size or type.
MORVEX_EXPORT double estimate_read_noise(const cv::Mat& image, const cv::Mat& specimen = cv::Mat());

/// Everything that depends only on the reference image and its GuidedReferenceSettings: grid,
/// mask, interpolation coefficients, gradients, per-subset data.
/// Build it once and correlate any number of deformed frames against it. Immutable after
/// construction, so one ReferenceImage may be used by many threads at once.
class MORVEX_EXPORT ReferenceImage {
public:
    /// @throws std::invalid_argument naming the value, before any work, for an empty or
    /// non-CV_64FC1 image, a mask of another size or type, an even subset_size or one below 5
    /// or larger than the image, a step below 1, a non-finite or negative prefilter_sigma or one
    /// above max_prefilter_sigma(subset_size), threads outside 0 ... kMaxGuidedThreads, or a
    /// region that leaves no grid point. `threads` (0 = OpenMP's default) prepare it.
    ReferenceImage(const cv::Mat& reference, const GuidedReferenceSettings& settings,
                   int threads = 0);
    /// The same from a whole config (its solve settings are checked too, and its threads
    /// prepare the reference).
    ReferenceImage(const cv::Mat& reference, const GuidedConfig& config);
    ~ReferenceImage();
    ReferenceImage(ReferenceImage&&) noexcept;
    ReferenceImage& operator=(ReferenceImage&&) noexcept;
    ReferenceImage(const ReferenceImage&) = delete;
    ReferenceImage& operator=(const ReferenceImage&) = delete;

    int rows() const;                  ///< reference image rows
    int cols() const;                  ///< reference image columns
    int grid_rows() const;             ///< grid rows
    int grid_cols() const;             ///< grid columns
    const cv::Mat& image() const;      ///< the reference as given (CV_64FC1)
    std::size_t memory_bytes() const;  ///< bytes held by the precomputed data
    /// The reference's read noise the uncertainty allows for, grey levels: the settings'
    /// reference_noise, or its estimate from the image when that is -1.
    double reference_noise() const;
    /// The settings it was prepared with (without a caller's callbacks).
    const GuidedReferenceSettings& settings() const;

    struct Data;
    const Data& data() const { return *data_; }

private:
    std::unique_ptr<Data> data_;
};

/// Measure the displacement field of `deformed` against `reference`.
/// With `previous` (a result of the same grid), each block's seed starts from its previous
/// value and is only checked, the field grows from it, and points growth does not reach start
/// from their previous values (all of them do when the seed shows the field unchanged);
/// otherwise seeds are searched and the field grows from them.
/// Never throws on numerical trouble: bad points carry a status.
/// The reference settings are the ReferenceImage's own.
/// @throws std::invalid_argument before any work for a deformed image that is empty, not
/// CV_64FC1 or of another size than the reference; a field of `solve` out of its range
/// (threads < 0 or > kMaxGuidedThreads, ...); a `previous` of another grid; an explicit seed
/// outside the image or on the mask's background, or seed_u, seed_v not empty and not one
/// value per seed.
/// An exception thrown by the progress callback is rethrown on the calling thread after the
/// workers stop.
MORVEX_EXPORT GuidedResult correlate_guided(const ReferenceImage& reference,
                                            const cv::Mat& deformed,
                                            const GuidedSolveSettings& solve,
                                            const GuidedResult* previous = nullptr);

/// The same with a whole config, for a caller that keeps one: its reference settings must be
/// those the ReferenceImage was prepared with.
/// @throws std::invalid_argument as above, and naming the first reference field that differs.
MORVEX_EXPORT GuidedResult correlate_guided(const ReferenceImage& reference,
                                            const cv::Mat& deformed, const GuidedConfig& config,
                                            const GuidedResult* previous = nullptr);

/// A sequence of frames against one reference image. Fixed mode correlates every frame
/// against the first image, starting from the previous frame's field. Incremental mode
/// correlates each frame against the one before it and accumulates the increments back to the
/// positions of the first image, interpolating the previous field (large deformations that
/// decorrelate a fixed reference). Not thread-safe; one sequence per thread.
class MORVEX_EXPORT GuidedSequence {
public:
    /// @throws std::invalid_argument as ReferenceImage.
    GuidedSequence(const cv::Mat& reference, GuidedConfig config, bool incremental = false);
    ~GuidedSequence();
    GuidedSequence(GuidedSequence&&) noexcept;
    GuidedSequence& operator=(GuidedSequence&&) noexcept;

    /// Correlate the next frame; the result is relative to the first reference image.
    /// @throws std::invalid_argument as correlate_guided().
    GuidedResult add_frame(const cv::Mat& frame);
    int frame_count() const;  ///< frames added so far
    const GuidedConfig& config() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace morvex::dic
