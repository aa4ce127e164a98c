#include "image/sampling/bspline.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace morvex::dic::detail {

namespace {

// Poles of the B-spline prefilters (Unser 1999, table I) and the gain that makes the
// filter's DC response one.
struct Poles {
    double z[2] = {0.0, 0.0};
    int count = 0;
    double gain = 1.0;
};

Poles poles_of(SplineKind kind) {
    Poles p;
    if (kind == SplineKind::kCubic) {
        p.z[0] = std::sqrt(3.0) - 2.0;
        p.count = 1;
    } else if (kind == SplineKind::kQuintic) {
        p.z[0] = std::sqrt(67.5 - std::sqrt(4436.25)) + std::sqrt(26.25) - 6.5;
        p.z[1] = std::sqrt(67.5 + std::sqrt(4436.25)) - std::sqrt(26.25) - 6.5;
        p.count = 2;
    }
    for (int k = 0; k < p.count; ++k) p.gain *= (1.0 - p.z[k]) * (1.0 - 1.0 / p.z[k]);
    return p;
}

// Terms of the causal initial sum below this relative size are dropped: beyond double
// precision, so the truncated sum is the exact one to the last bit that matters.
constexpr double kHorizonTolerance = 1e-17;

int horizon_of(double z) {
    return static_cast<int>(std::ceil(std::log(kHorizonTolerance) / std::log(std::fabs(z))));
}

// c+[0] for mirror boundaries: sum over k of z^k c[k] on the mirrored signal.
double initial_causal(const double* c, std::ptrdiff_t n, std::ptrdiff_t stride, double z) {
    const int horizon = horizon_of(z);
    if (horizon < n) {
        double zn = z, sum = c[0];
        for (int k = 1; k < horizon; ++k) {
            sum += zn * c[k * stride];
            zn *= z;
        }
        return sum;
    }
    // Short line: the exact closed form over one period of the mirrored signal.
    double zn = z;
    const double iz = 1.0 / z;
    double z2n = std::pow(z, static_cast<double>(n - 1));
    double sum = c[0] + z2n * c[(n - 1) * stride];
    z2n *= z2n * iz;
    for (std::ptrdiff_t k = 1; k <= n - 2; ++k) {
        sum += (zn + z2n) * c[k * stride];
        zn *= z;
        z2n *= iz;
    }
    return sum / (1.0 - zn * zn);
}

double initial_anticausal(const double* c, std::ptrdiff_t n, std::ptrdiff_t stride, double z) {
    return (z / (z * z - 1.0)) * (z * c[(n - 2) * stride] + c[(n - 1) * stride]);
}

// The column pass over a strip of columns [c0, c1), row by row so the inner loop runs along
// memory: the same recursions as bspline_prefilter_line, one column per lane.
void prefilter_columns(cv::Mat& image, int c0, int c1, const Poles& poles) {
    const int n = image.rows;
    const int w = c1 - c0;
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(image.step[0] / sizeof(double));
    double* base = image.ptr<double>(0) + c0;
    for (int r = 0; r < n; ++r) {
        double* row = base + stride * r;
        for (int j = 0; j < w; ++j) row[j] *= poles.gain;
    }
    std::vector<double> first(static_cast<std::size_t>(w));
    for (int k = 0; k < poles.count; ++k) {
        const double z = poles.z[k];
        for (int j = 0; j < w; ++j) first[j] = initial_causal(base + j, n, stride, z);
        for (int j = 0; j < w; ++j) base[j] = first[j];
        for (int r = 1; r < n; ++r) {
            double* row = base + stride * r;
            const double* prev = row - stride;
            for (int j = 0; j < w; ++j) row[j] += z * prev[j];
        }
        double* last = base + stride * (n - 1);
        for (int j = 0; j < w; ++j) first[j] = initial_anticausal(base + j, n, stride, z);
        for (int j = 0; j < w; ++j) last[j] = first[j];
        for (int r = n - 2; r >= 0; --r) {
            double* row = base + stride * r;
            const double* next = row + stride;
            for (int j = 0; j < w; ++j) row[j] = z * (next[j] - row[j]);
        }
    }
}

}  // namespace

void bspline_prefilter_line(double* line, std::ptrdiff_t n, std::ptrdiff_t stride,
                            SplineKind kind) {
    const Poles poles = poles_of(kind);
    if (poles.count == 0 || n < 2) return;
    for (std::ptrdiff_t i = 0; i < n; ++i) line[i * stride] *= poles.gain;
    for (int k = 0; k < poles.count; ++k) {
        const double z = poles.z[k];
        line[0] = initial_causal(line, n, stride, z);
        for (std::ptrdiff_t i = 1; i < n; ++i) line[i * stride] += z * line[(i - 1) * stride];
        line[(n - 1) * stride] = initial_anticausal(line, n, stride, z);
        for (std::ptrdiff_t i = n - 2; i >= 0; --i)
            line[i * stride] = z * (line[(i + 1) * stride] - line[i * stride]);
    }
}

void bspline_prefilter(cv::Mat& image, SplineKind kind, int threads) {
    const Poles poles = poles_of(kind);
    if (poles.count == 0) return;
    const int rows = image.rows, cols = image.cols;
    if (cols >= 2) {
#pragma omp parallel for schedule(static) num_threads(std::max(threads, 1)) if (threads > 1)
        for (int r = 0; r < rows; ++r) bspline_prefilter_line(image.ptr<double>(r), cols, 1, kind);
    }
    if (rows >= 2) {
        // Strips of columns: each thread runs the recursion down its own strip.
        constexpr int kStrip = 64;
        const int strips = (cols + kStrip - 1) / kStrip;
#pragma omp parallel for schedule(static) num_threads(std::max(threads, 1)) if (threads > 1)
        for (int s = 0; s < strips; ++s)
            prefilter_columns(image, s * kStrip, std::min(cols, (s + 1) * kStrip), poles);
    }
}

CoefficientImage make_coefficient_image(const cv::Mat& image, SplineKind kind, int pad,
                                        int threads) {
    CoefficientImage out;
    out.rows = image.rows;
    out.cols = image.cols;
    out.pad = pad;
    out.padded.create(image.rows + 2 * pad, image.cols + 2 * pad, CV_64FC1);
    cv::Mat inner = out.padded(cv::Rect(pad, pad, image.cols, image.rows));
    image.copyTo(inner);
    bspline_prefilter(inner, kind, threads);
    // Mirror the coefficients into the border (the spline of the mirrored image).
    std::vector<int> col_map(static_cast<std::size_t>(image.cols + 2 * pad));
    for (int j = 0; j < image.cols + 2 * pad; ++j) col_map[j] = mirror_index(j - pad, image.cols);
    for (int r = 0; r < out.padded.rows; ++r) {
        const int src_r = mirror_index(r - pad, image.rows) + pad;
        const double* src = out.padded.ptr<double>(src_r) + pad;
        double* dst = out.padded.ptr<double>(r);
        if (r == src_r) {
            for (int j = 0; j < pad; ++j) dst[j] = src[col_map[j]];
            for (int j = image.cols + pad; j < image.cols + 2 * pad; ++j) dst[j] = src[col_map[j]];
        } else {
            for (int j = 0; j < image.cols + 2 * pad; ++j) dst[j] = src[col_map[j]];
        }
    }
    out.stride = static_cast<std::ptrdiff_t>(out.padded.step[0] / sizeof(double));
    out.origin = out.padded.ptr<double>(pad) + pad;
    return out;
}

}  // namespace morvex::dic::detail
