#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <omp.h>
#include <opencv2/imgproc.hpp>

#include <morvex/guided.hpp>

#include "guided/reference/crack_barrier.h"
#include "guided/reference/reference_data.h"
#include "guided/reference/subset_hessian.h"
#include "image/read_noise.h"

namespace morvex::dic {

namespace detail {

namespace {

// Per-point inverse Hessians are kept when they take at most this much memory (a 4096 x 4096
// image at step 7 needs 98 MiB affine, 394 MiB quadratic); beyond it they are recomputed per
// point.
constexpr std::size_t kHessianBudget = std::size_t{256} << 20;

// Six significant digits, as a user typed them: "3.5", "1e+80", "nan" (not "3.500000").
std::string num(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

bool is_grey(const cv::Mat& image) {
    return image.dims == 2 && image.type() == CV_64FC1 && !image.empty();
}

}  // namespace

SplineKind spline_kind(Interpolation interpolation) {
    switch (interpolation) {
        case Interpolation::kQuinticBSpline:
            return SplineKind::kQuintic;
        case Interpolation::kCubicBSpline:
            return SplineKind::kCubic;
        case Interpolation::kKeysFourth:
            return SplineKind::kKeysFourth;
    }
    throw std::invalid_argument("GuidedConfig::interpolation is not a known Interpolation, got " +
                                std::to_string(static_cast<int>(interpolation)));
}

void check_threads(int threads) {
    if (threads < 0)
        throw std::invalid_argument("GuidedConfig::threads must not be negative, got " +
                                    std::to_string(threads));
    if (threads > kMaxGuidedThreads)
        throw std::invalid_argument("GuidedConfig::threads must be at most " +
                                    std::to_string(kMaxGuidedThreads) + ", got " +
                                    std::to_string(threads));
}

namespace {

// Half-width of the truncated Gaussian: 4 sigma, but not beyond the image's larger side,
// past which the mirrored taps only revisit pixels the kernel already covers. The limit also
// keeps 4 sigma of an absurd sigma from being converted to an int it does not fit.
int prefilter_radius(double sigma, int rows, int cols) {
    const double limit = std::max({1, rows, cols});
    return static_cast<int>(std::clamp(std::ceil(kPrefilterRadiusSigmas * sigma), 1.0, limit));
}

}  // namespace

cv::Mat gaussian_prefilter(const cv::Mat& image, double sigma) {
    const int radius = prefilter_radius(sigma, image.rows, image.cols);
    cv::Mat out;
    cv::GaussianBlur(image, out, cv::Size(2 * radius + 1, 2 * radius + 1), sigma, sigma,
                     cv::BORDER_REFLECT_101);
    return out;
}

bool replace_non_finite(const cv::Mat& image, cv::Mat& clean, cv::Mat& bad) {
    bool any = false;
    for (int r = 0; r < image.rows && !any; ++r) {
        const double* p = image.ptr<double>(r);
        for (int c = 0; c < image.cols; ++c)
            if (!std::isfinite(p[c])) {
                any = true;
                break;
            }
    }
    if (!any) {
        clean = image;
        bad.release();
        return false;
    }
    clean = image.clone();
    bad = cv::Mat::zeros(image.size(), CV_8UC1);
    for (int r = 0; r < image.rows; ++r) {
        const double* p = image.ptr<double>(r);
        for (int c = 0; c < image.cols; ++c) {
            if (std::isfinite(p[c])) continue;
            bad.at<std::uint8_t>(r, c) = 1;
            double sum = 0.0;
            int count = 0;
            for (int rr = std::max(0, r - 2); rr <= std::min(image.rows - 1, r + 2); ++rr)
                for (int cc = std::max(0, c - 2); cc <= std::min(image.cols - 1, c + 2); ++cc) {
                    const double value = image.at<double>(rr, cc);
                    if (std::isfinite(value)) {
                        sum += value;
                        ++count;
                    }
                }
            clean.at<double>(r, c) = count > 0 ? sum / count : 0.0;
        }
    }
    return true;
}

namespace {

// Gradients of the interpolant at every pixel centre: the derivative weights at t = 0 along
// one axis, the value weights at t = 0 along the other, applied to the coefficients.
void interpolant_gradients(const cv::Mat& image, SplineKind kind, int threads, cv::Mat& gx,
                           cv::Mat& gy) {
    const CoefficientImage coef = make_coefficient_image(image, kind, 3, threads);
    double w[6], dw[6];
    spline_weights(kind, 0.0, w);
    spline_derivative_weights(kind, 0.0, dw);
    const int rows = image.rows, cols = image.cols;
    // Along x first, on every padded row the y pass needs.
    cv::Mat value_x(rows + 6, cols, CV_64FC1), slope_x(rows + 6, cols, CV_64FC1);
    for (int r = -3; r < rows + 3; ++r) {
        const double* p = coef.at(r, -2);
        double* v = value_x.ptr<double>(r + 3);
        double* s = slope_x.ptr<double>(r + 3);
        for (int c = 0; c < cols; ++c) {
            double a = 0.0, b = 0.0;
            for (int j = 0; j < 6; ++j) {
                a += w[j] * p[c + j];
                b += dw[j] * p[c + j];
            }
            v[c] = a;
            s[c] = b;
        }
    }
    gx.create(rows, cols, CV_64FC1);
    gy.create(rows, cols, CV_64FC1);
    for (int r = 0; r < rows; ++r) {
        double* ox = gx.ptr<double>(r);
        double* oy = gy.ptr<double>(r);
        for (int c = 0; c < cols; ++c) {
            ox[c] = 0.0;
            oy[c] = 0.0;
        }
        for (int k = 0; k < 6; ++k) {
            const double* s = slope_x.ptr<double>(r + 1 + k);  // row r - 2 + k
            const double* v = value_x.ptr<double>(r + 1 + k);
            for (int c = 0; c < cols; ++c) {
                ox[c] += w[k] * s[c];
                oy[c] += dw[k] * v[c];
            }
        }
    }
}

void check_reference_inputs(const cv::Mat& reference, const GuidedReferenceSettings& config) {
    if (reference.empty())
        throw std::invalid_argument("ReferenceImage: the reference image is empty");
    if (!is_grey(reference))
        throw std::invalid_argument(
            "ReferenceImage: the reference image must be a 2-D CV_64FC1 matrix, got type " +
            std::to_string(reference.type()) + " with " + std::to_string(reference.channels()) +
            " channel(s)");
    config.check();
    if (!config.mask.empty() &&
        (config.mask.type() != CV_8UC1 || config.mask.size() != reference.size()))
        throw std::invalid_argument(
            "GuidedConfig::mask must be CV_8UC1 and " + std::to_string(reference.rows) + " x " +
            std::to_string(reference.cols) + " like the reference, got type " +
            std::to_string(config.mask.type()) + " and " + std::to_string(config.mask.rows) +
            " x " + std::to_string(config.mask.cols));
    if (config.subset_size > reference.rows || config.subset_size > reference.cols)
        throw std::invalid_argument("GuidedConfig::subset_size " +
                                    std::to_string(config.subset_size) +
                                    " is larger than the image (" + std::to_string(reference.rows) +
                                    " x " + std::to_string(reference.cols) + ")");
    check_crack_lines_inside(config.crack_lines, reference.rows, reference.cols);
}

// Grid: the one rule, guided_grid_axes (below, public so the package asks the same question).
void place_grid(cv::Size image, const GuidedReferenceSettings& config, ReferenceImage::Data& d) {
    GuidedGridAxes axes = guided_grid_axes(image.height, image.width, config);
    d.grid_y = std::move(axes.rows_y);
    d.grid_x = std::move(axes.cols_x);
}

// Grey levels the solver matches and their gradients; `bad` marks the replaced non-finite
// pixels.
void prepare_grey_levels(const cv::Mat& reference, const GuidedReferenceSettings& config,
                         int threads, ReferenceImage::Data& d, cv::Mat& bad) {
    d.image = reference.clone();
    replace_non_finite(d.image, d.raw, bad);
    d.correlated =
        config.prefilter_sigma > 0.0 ? gaussian_prefilter(d.raw, config.prefilter_sigma) : d.raw;
    double lo = 0.0, hi = 0.0;
    cv::minMaxLoc(d.correlated, &lo, &hi);
    d.grey_range = hi - lo;
    interpolant_gradients(d.correlated, d.kind, threads, d.grad_x, d.grad_y);
    if (config.prefilter_sigma > 0.0) {
        d.noise_grad_x = gaussian_prefilter(d.grad_x, config.prefilter_sigma);
        d.noise_grad_y = gaussian_prefilter(d.grad_y, config.prefilter_sigma);
    }
}

// Variance of a gradient component at a pixel for unit white noise in the raw image, for the
// gradients of the interpolant of the prefiltered image (`grad_x`) and for those filtered once
// more (`noise_grad_x`): the sums of the squared impulse responses, taken from an impulse far
// enough from the borders that the mirrored copies add nothing (up to a prefilter sigma of
// 16 px; a wider one folds a little of its tail back, and leaves a tiny gain anyway).
void gradient_noise_gains(SplineKind kind, double prefilter_sigma, double& gain,
                          double& filtered_gain) {
    const int radius = 24 + 3 * static_cast<int>(std::min(64.0, std::ceil(4.0 * prefilter_sigma)));
    cv::Mat impulse = cv::Mat::zeros(2 * radius + 1, 2 * radius + 1, CV_64FC1);
    impulse.at<double>(radius, radius) = 1.0;
    if (prefilter_sigma > 0.0) impulse = gaussian_prefilter(impulse, prefilter_sigma);
    cv::Mat gx, gy;
    interpolant_gradients(impulse, kind, 1, gx, gy);
    gain = 0.5 * (gx.dot(gx) + gy.dot(gy));
    filtered_gain = 0.0;
    if (prefilter_sigma > 0.0) {
        gx = gaussian_prefilter(gx, prefilter_sigma);
        gy = gaussian_prefilter(gy, prefilter_sigma);
        filtered_gain = 0.5 * (gx.dot(gx) + gy.dot(gy));
    }
}

// The reference's read noise and what it adds to each gradient's variance.
void measure_reference_noise(const GuidedReferenceSettings& config, ReferenceImage::Data& d) {
    d.reference_noise = config.reference_noise >= 0.0 ? config.reference_noise
                                                      : estimate_read_noise(d.raw, d.specimen);
    if (!(d.reference_noise > 0.0)) return;
    double gain = 0.0, filtered_gain = 0.0;
    gradient_noise_gains(d.kind, config.prefilter_sigma, gain, filtered_gain);
    const double variance = d.reference_noise * d.reference_noise;
    d.gradient_noise = variance * gain;
    d.filtered_gradient_noise = variance * filtered_gain;
}

// Per point: centre in the mask, enough specimen pixels, no non-finite pixel under the
// subset (integral images make each check four reads).
void classify_points(const GuidedReferenceSettings& config, const cv::Mat& bad,
                     ReferenceImage::Data& d) {
    if (!config.mask.empty()) {
        d.specimen = cv::Mat::zeros(d.image.size(), CV_8UC1);
        cv::threshold(config.mask, d.specimen, 0, 1, cv::THRESH_BINARY);
    }
    cv::Mat specimen_sum, bad_sum;
    if (!d.specimen.empty()) cv::integral(d.specimen, specimen_sum, CV_32S);
    if (!bad.empty()) cv::integral(bad, bad_sum, CV_32S);
    const int h = d.half;
    const auto box = [&](const cv::Mat& sum, int r, int c) {
        return sum.at<int>(r + h + 1, c + h + 1) - sum.at<int>(r - h, c + h + 1) -
               sum.at<int>(r + h + 1, c - h) + sum.at<int>(r - h, c - h);
    };
    const int area = config.subset_size * config.subset_size;
    d.point_state.assign(static_cast<std::size_t>(d.points()), 0);
    d.full_subset.assign(static_cast<std::size_t>(d.points()), 1);
    for (int gr = 0; gr < d.grid_rows(); ++gr)
        for (int gc = 0; gc < d.grid_cols(); ++gc) {
            const int r = d.grid_y[gr], c = d.grid_x[gc];
            const std::size_t i = static_cast<std::size_t>(gr) * d.grid_cols() + gc;
            if (!d.specimen.empty()) {
                const int inside = box(specimen_sum, r, c);
                if (d.specimen.at<std::uint8_t>(r, c) == 0 || inside < kMinSpecimenShare * area)
                    d.point_state[i] = static_cast<std::uint8_t>(GuidedStatus::kOutsideMask);
                d.full_subset[i] = inside == area ? 1 : 0;
            }
            if (d.point_state[i] == 0 && !bad_sum.empty() && box(bad_sum, r, c) > 0)
                d.point_state[i] = static_cast<std::uint8_t>(GuidedStatus::kBadPixels);
        }
}

// Share of each usable point's specimen pixels clear of the untextured patches and their
// edge zone (1 without a read noise to judge texture by).
void measure_textured_share(ReferenceImage::Data& d) {
    d.textured_share.assign(static_cast<std::size_t>(d.points()), 1.0);
    if (!(d.gradient_noise > 0.0)) return;
    // The noise's squared magnitude is gradient_noise times a chi-square of 2 degrees: 3 times
    // its rms is passed by e^-9 of the pixels.
    const double floor = kTexturedGradient * kTexturedGradient * 2.0 * d.gradient_noise;
    cv::Mat textured(d.grad_x.size(), CV_8UC1);
    for (int r = 0; r < textured.rows; ++r) {
        const double* gx = d.grad_x.ptr<double>(r);
        const double* gy = d.grad_y.ptr<double>(r);
        std::uint8_t* t = textured.ptr<std::uint8_t>(r);
        for (int c = 0; c < textured.cols; ++c)
            t[c] = gx[c] * gx[c] + gy[c] * gy[c] > floor ? 1 : 0;
    }
    const auto disk = [](int radius) {
        return cv::getStructuringElement(cv::MORPH_ELLIPSE,
                                         cv::Size(2 * radius + 1, 2 * radius + 1));
    };
    cv::Mat near_texture, patch, edge_zone;
    cv::dilate(textured, near_texture, disk(kTextureReach));
    patch = near_texture == 0;                                 // 255 where untextured
    if (!d.specimen.empty()) patch.setTo(0, d.specimen == 0);  // the mask handles its outside
    if (cv::countNonZero(patch) == 0) return;
    cv::dilate(patch, edge_zone, disk(kTextureReach + kTextureEdge), cv::Point(-1, -1), 1,
               cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::Mat clear = edge_zone == 0;
    if (!d.specimen.empty()) clear.setTo(0, d.specimen == 0);
    cv::threshold(clear, clear, 0, 1, cv::THRESH_BINARY);
    cv::Mat clear_sum, specimen_sum;
    cv::integral(clear, clear_sum, CV_32S);
    if (!d.specimen.empty()) cv::integral(d.specimen, specimen_sum, CV_32S);
    const int h = d.half;
    const auto box = [h](const cv::Mat& sum, int r, int c) {
        return sum.at<int>(r + h + 1, c + h + 1) - sum.at<int>(r - h, c + h + 1) -
               sum.at<int>(r + h + 1, c - h) + sum.at<int>(r - h, c - h);
    };
    const double area = static_cast<double>((2 * h + 1) * (2 * h + 1));
    for (int gr = 0; gr < d.grid_rows(); ++gr)
        for (int gc = 0; gc < d.grid_cols(); ++gc) {
            const std::size_t i = static_cast<std::size_t>(gr) * d.grid_cols() + gc;
            if (d.point_state[i] != 0) continue;
            const int r = d.grid_y[gr], c = d.grid_x[gc];
            const double pixels = specimen_sum.empty() ? area : box(specimen_sum, r, c);
            d.textured_share[i] = pixels > 0.0 ? box(clear_sum, r, c) / pixels : 0.0;
        }
}

// Inverse Hessians of all usable points, once (every frame and every start reuses them, when
// they fit the memory budget), and every point's predicted sigma.
void precompute_hessians(int threads, ReferenceImage::Data& d) {
    const auto per_point = static_cast<std::size_t>(d.params) * static_cast<std::size_t>(d.params);
    const bool keep =
        static_cast<std::size_t>(d.points()) * per_point * sizeof(double) <= kHessianBudget;
    if (keep) {
        d.hessian_inverse.assign(static_cast<std::size_t>(d.points()) * per_point, 0.0);
        d.textured.assign(static_cast<std::size_t>(d.points()), 0);
        d.noise_factors.assign(static_cast<std::size_t>(d.points()) * 4, 0.0);
    }
    d.predicted_sigma.assign(static_cast<std::size_t>(d.points()),
                             std::numeric_limits<double>::quiet_NaN());
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int i = 0; i < d.points(); ++i) {
        if (d.point_state[i] != 0) continue;
        double scratch[144], scratch_noise[4];
        const auto at = static_cast<std::size_t>(i);
        const bool textured = subset_hessian_inverse(
            d, i, keep ? d.hessian_inverse.data() + at * per_point : scratch,
            keep ? d.noise_factors.data() + at * 4 : scratch_noise, &d.predicted_sigma[at]);
        if (keep) d.textured[at] = textured ? 1 : 0;
    }
}

// The texture test, decided once for every frame: with a limit, a point whose subset cannot
// measure the motion is refused here, before any frame's search or solve.
void refuse_textureless(const GuidedReferenceSettings& config, ReferenceImage::Data& d) {
    if (!(config.max_predicted_sigma > 0.0)) return;
    for (std::size_t i = 0; i < d.point_state.size(); ++i) {
        if (d.point_state[i] != 0) continue;
        // NaN-safe: a flat subset predicts infinity, and anything not below the limit fails.
        if (!(d.predicted_sigma[i] <= config.max_predicted_sigma) || d.textured_share[i] < 1.0)
            d.point_state[i] = static_cast<std::uint8_t>(GuidedStatus::kFlatSubset);
    }
}

std::size_t held_bytes(const ReferenceImage::Data& d) {
    const auto mat_bytes = [](const cv::Mat& m) { return m.total() * m.elemSize(); };
    std::size_t bytes = mat_bytes(d.image) + mat_bytes(d.grad_x) + mat_bytes(d.grad_y) +
                        mat_bytes(d.specimen) + d.point_state.size() * 2 +
                        (d.grid_x.size() + d.grid_y.size()) * sizeof(int) +
                        (d.hessian_inverse.size() + d.noise_factors.size()) * sizeof(double) +
                        d.textured.size() + mat_bytes(d.noise_grad_x) + mat_bytes(d.noise_grad_y) +
                        (d.predicted_sigma.size() + d.textured_share.size()) * sizeof(double) +
                        d.crack_segments.size() * sizeof(d.crack_segments[0]) +
                        d.near_crack.size() + d.cut_slot.size() * sizeof(int) + d.cut_masks.size();
    if (d.raw.data != d.image.data) bytes += mat_bytes(d.raw);
    if (d.correlated.data != d.raw.data) bytes += mat_bytes(d.correlated);
    return bytes;
}

}  // namespace
}  // namespace detail

double max_prefilter_sigma(int subset_size) {
    return static_cast<double>(std::max(0, subset_size / 2)) / kPrefilterRadiusSigmas;
}

GuidedGridAxes guided_grid_axes(int rows, int cols, const GuidedReferenceSettings& config) {
    if (config.step < 1)
        throw std::invalid_argument("GuidedConfig::step must be at least 1, got " +
                                    std::to_string(config.step));
    // Centres inside the region with the whole subset inside the image.
    int x0 = 0, y0 = 0, x1 = cols - 1, y1 = rows - 1;
    if (config.roi_x0 >= 0 && config.roi_y0 >= 0 && config.roi_x1 > config.roi_x0 &&
        config.roi_y1 > config.roi_y0) {
        x0 = config.roi_x0;
        y0 = config.roi_y0;
        x1 = std::min(config.roi_x1, cols - 1);
        y1 = std::min(config.roi_y1, rows - 1);
    }
    const int h = config.subset_size / 2;
    GuidedGridAxes axes;
    for (long long y = std::max(y0, h); y <= std::min(y1, rows - 1 - h); y += config.step)
        axes.rows_y.push_back(static_cast<int>(y));
    for (long long x = std::max(x0, h); x <= std::min(x1, cols - 1 - h); x += config.step)
        axes.cols_x.push_back(static_cast<int>(x));
    if (axes.cols_x.empty() || axes.rows_y.empty())
        throw std::invalid_argument(
            "GuidedConfig: the region of interest (columns " + std::to_string(x0) + " to " +
            std::to_string(x1) + ", rows " + std::to_string(y0) + " to " + std::to_string(y1) +
            ") leaves no grid point for subset_size " + std::to_string(config.subset_size));
    if (static_cast<long long>(axes.cols_x.size()) * static_cast<long long>(axes.rows_y.size()) >
        (1LL << 30))
        throw std::invalid_argument("GuidedConfig: the grid holds more than 2^30 points");
    return axes;
}

ReferenceImage::ReferenceImage(const cv::Mat& reference, const GuidedReferenceSettings& config,
                               int requested_threads) {
    using namespace detail;
    check_threads(requested_threads);
    check_reference_inputs(reference, config);
    auto data = std::make_unique<Data>();
    Data& d = *data;
    d.settings = config;
    d.kind = spline_kind(config.interpolation);
    d.half = config.subset_size / 2;
    d.params = config.shape == SubsetShape::kQuadratic ? 12 : 6;
    place_grid(reference.size(), config, d);
    const int threads = requested_threads > 0 ? requested_threads : omp_get_max_threads();
    cv::Mat bad;
    prepare_grey_levels(reference, config, threads, d, bad);
    classify_points(config, bad, d);
    cut_subsets(d);
    measure_reference_noise(config, d);
    if (d.gradient_noise > 0.0) full_subset_geometry(d);
    precompute_hessians(threads, d);
    measure_textured_share(d);
    refuse_textureless(config, d);
    d.bytes = held_bytes(d);
    data_ = std::move(data);
}

// The solve settings are checked here too, so a whole config is refused before the reference
// is prepared, as it always was.
ReferenceImage::ReferenceImage(const cv::Mat& reference, const GuidedConfig& config)
    : ReferenceImage(reference, (config.GuidedSolveSettings::check(), config), config.threads) {}

ReferenceImage::~ReferenceImage() = default;
ReferenceImage::ReferenceImage(ReferenceImage&&) noexcept = default;
ReferenceImage& ReferenceImage::operator=(ReferenceImage&&) noexcept = default;

int ReferenceImage::rows() const {
    return data_->image.rows;
}
int ReferenceImage::cols() const {
    return data_->image.cols;
}
int ReferenceImage::grid_rows() const {
    return data_->grid_rows();
}
int ReferenceImage::grid_cols() const {
    return data_->grid_cols();
}
const cv::Mat& ReferenceImage::image() const {
    return data_->image;
}
std::size_t ReferenceImage::memory_bytes() const {
    return data_->bytes;
}
double ReferenceImage::reference_noise() const {
    return data_->reference_noise;
}
const GuidedReferenceSettings& ReferenceImage::settings() const {
    return data_->settings;
}

double estimate_read_noise(const cv::Mat& image, const cv::Mat& specimen) {
    if (!image.empty() && image.type() != CV_64FC1)
        throw std::invalid_argument("estimate_read_noise: the image must be CV_64FC1, got type " +
                                    std::to_string(image.type()));
    if (!specimen.empty() && (specimen.type() != CV_8UC1 || specimen.size() != image.size()))
        throw std::invalid_argument(
            "estimate_read_noise: the specimen mask must be CV_8UC1 and " +
            std::to_string(image.rows) + " x " + std::to_string(image.cols) +
            " like the image, got type " + std::to_string(specimen.type()) + " and " +
            std::to_string(specimen.rows) + " x " + std::to_string(specimen.cols));
    return detail::estimate_read_noise(image, specimen);
}

void GuidedReferenceSettings::check() const {
    using detail::num;
    using detail::spline_kind;
    if (this->subset_size < 5 || this->subset_size % 2 == 0)
        throw std::invalid_argument("GuidedConfig::subset_size must be odd and at least 5, got " +
                                    std::to_string(this->subset_size));
    if (this->step < 1)
        throw std::invalid_argument("GuidedConfig::step must be at least 1, got " +
                                    std::to_string(this->step));
    if (!std::isfinite(this->prefilter_sigma) || this->prefilter_sigma < 0.0)
        throw std::invalid_argument(
            "GuidedConfig::prefilter_sigma must be finite and not negative, got " +
            num(this->prefilter_sigma));
    if (this->prefilter_sigma > max_prefilter_sigma(this->subset_size))
        throw std::invalid_argument(
            "GuidedConfig::prefilter_sigma must be at most " +
            num(max_prefilter_sigma(this->subset_size)) + " px for subset_size " +
            std::to_string(this->subset_size) +
            " (its 4-sigma radius within half a subset; a wider blur leaves smooth ramps that "
            "many shifts match), got " +
            num(this->prefilter_sigma));
    if (!std::isfinite(this->reference_noise) ||
        (this->reference_noise < 0.0 && this->reference_noise != -1.0))
        throw std::invalid_argument(
            "GuidedConfig::reference_noise must be -1 (estimate) or at least 0, got " +
            num(this->reference_noise));
    if (!(this->max_predicted_sigma >= 0.0))
        throw std::invalid_argument(
            "GuidedConfig::max_predicted_sigma must be 0 (off) or positive, got " +
            num(this->max_predicted_sigma));
    (void)spline_kind(this->interpolation);
    if (this->shape != SubsetShape::kAffine && this->shape != SubsetShape::kQuadratic)
        throw std::invalid_argument("GuidedConfig::shape is not a known SubsetShape, got " +
                                    std::to_string(static_cast<int>(this->shape)));
    detail::check_crack_lines(this->crack_lines);
}

void GuidedSolveSettings::check() const {
    using detail::num;
    detail::check_threads(threads);
    if (!std::isfinite(this->min_zncc) || this->min_zncc < -1.0 || this->min_zncc > 1.0)
        throw std::invalid_argument("GuidedConfig::min_zncc must be a number in [-1, 1], got " +
                                    num(this->min_zncc));
    if (!(this->max_jump > 0.0))
        throw std::invalid_argument("GuidedConfig::max_jump must be positive, got " +
                                    num(this->max_jump));
    if (this->search_range < -1)
        throw std::invalid_argument(
            "GuidedConfig::search_range must be -1 (whole image) or at least 0, got " +
            std::to_string(this->search_range));
    if (this->seed_count < 0)
        throw std::invalid_argument("GuidedConfig::seed_count must not be negative, got " +
                                    std::to_string(this->seed_count));
    if (this->max_iterations < 1)
        throw std::invalid_argument("GuidedConfig::max_iterations must be at least 1, got " +
                                    std::to_string(this->max_iterations));
    if (!(this->convergence_threshold > 0.0) || !std::isfinite(this->convergence_threshold))
        throw std::invalid_argument(
            "GuidedConfig::convergence_threshold must be positive and finite, got " +
            num(this->convergence_threshold));
    if (this->strain_window < 0)
        throw std::invalid_argument("GuidedConfig::strain_window must not be negative, got " +
                                    std::to_string(this->strain_window));
    if (this->strain_source != StrainSource::kDisplacementFit &&
        this->strain_source != StrainSource::kSubset)
        throw std::invalid_argument(
            "GuidedConfig::strain_source is not a known StrainSource, got " +
            std::to_string(static_cast<int>(this->strain_source)));
}

void GuidedConfig::check() const {
    GuidedReferenceSettings::check();
    GuidedSolveSettings::check();
}

}  // namespace morvex::dic
