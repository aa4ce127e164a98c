#include <morvex/synthesis.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>

#include "image/sampling/kernels.h"

// The speckle pattern must come out the same on every platform, so no multiply-add of the
// generator may be fused into one rounding (aarch64 has FMA in its base instruction set,
// x86-64 with -march=native). GCC: the option for the generator's functions only (a region,
// since functions with other options are not inlined into each other); Clang: a pragma in
// each body.
#if defined(__clang__)
#define MORVEX_NO_FUSED_MULTIPLY_ADD _Pragma("clang fp contract(off)")
#else
#define MORVEX_NO_FUSED_MULTIPLY_ADD
#endif

namespace morvex::dic {

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")
#endif

namespace {

constexpr double kBackground = 128.0;
constexpr double kLn4 = 1.3862943611198906;

// Uniform and normal numbers derived by hand from the raw 32-bit Mersenne Twister outputs
// (whose sequence the standard fixes for a seed), not by the standard library's
// distributions, whose derivations differ between implementations: the same seed must
// give the same image everywhere.
class SpeckleRandom {
public:
    explicit SpeckleRandom(std::uint32_t seed) : engine_(seed) {}

    /// U in [0, 1) with 53 random bits from two outputs, the first giving the low bits.
    double uniform() {
        const std::uint64_t first = static_cast<std::uint32_t>(engine_());
        const std::uint64_t second = static_cast<std::uint32_t>(engine_());
        return static_cast<double>((second << 21) + (first >> 11)) * 0x1p-53;
    }

    /// Standard normal by the polar method (Marsaglia & Bray 1964), the pair's second value
    /// saved for the next call.
    double normal() {
        MORVEX_NO_FUSED_MULTIPLY_ADD
        if (has_saved_) {
            has_saved_ = false;
            return saved_;
        }
        double w1, w2, s;
        do {
            w1 = 2.0 * uniform() - 1.0;
            w2 = 2.0 * uniform() - 1.0;
            s = w1 * w1 + w2 * w2;
        } while (!(s < 1.0 && w1 != 0.0 && w2 != 0.0));
        double f;
        if (s > 0.0001) {
            f = std::sqrt(std::log(s) * -2.0 / s);
        } else {
            // Tiny s: scale the pair by a power of two first (exact), so the squares keep
            // their precision, and add the scale back inside the logarithm.
            const int e = std::ilogb(std::max(std::fabs(w1), std::fabs(w2)));
            w1 = std::scalbn(w1, -e);
            w2 = std::scalbn(w2, -e);
            s = w1 * w1 + w2 * w2;
            f = std::sqrt((std::log(s) + e * kLn4) * -2.0 / s);
        }
        saved_ = f * w2;
        has_saved_ = true;
        return f * w1;
    }

private:
    std::mt19937 engine_;
    bool has_saved_ = false;
    double saved_ = 0.0;
};

inline double clamp_grey(double p) {
    if (p <= 0.0 || std::isnan(p)) p = 0.0;
    return std::min(p, 255.0);
}

// Dots to paint: trunc(rows * density * cols / radius^2); a quotient that is not a finite
// number within the int range counts as none (radius 0, density <= 0, absurd densities).
int dot_count(int rows, int cols, int dot_radius, double density) {
    // In 64 bits: the square of a radius beyond 46340 does not fit an int.
    const std::int64_t radius = dot_radius;
    const double quotient = static_cast<double>(rows) * density * static_cast<double>(cols) /
                            static_cast<double>(radius * radius);
    if (!std::isfinite(quotient) || !(quotient > -2147483649.0 && quotient < 2147483648.0))
        return 0;
    return static_cast<int>(quotient);
}

}  // namespace

cv::Mat generate_speckle(int rows, int cols, int dot_radius, double density, std::uint32_t seed) {
    MORVEX_NO_FUSED_MULTIPLY_ADD
    cv::Mat image(rows, cols, CV_64FC1, cv::Scalar(kBackground));
    SpeckleRandom random(seed);

    const int dots = dot_count(rows, cols, dot_radius, density);
    for (int i = 0; i < dots; ++i) {
        const int cx = static_cast<int>(random.uniform() * cols);
        const int cy = static_cast<int>(random.uniform() * rows);
        double intensity = random.uniform() * 100.0 + 30.0;                       // dark dot
        if (random.uniform() < 0.3) intensity = random.uniform() * 60.0 + 180.0;  // bright dot
        const double size = (random.uniform() * 0.5 + 0.5) * dot_radius;
        const std::int64_t extent = static_cast<std::int64_t>(3.0 * size);
        const double spread = (size + size) * size;
        const double contrast = intensity - kBackground;
        // Only the part of the square inside the image is visited, in the same order; a
        // huge dot costs no more than the image.
        const std::int64_t dy_first = std::max<std::int64_t>(-extent, -cy);
        const std::int64_t dy_last = std::min<std::int64_t>(extent, rows - 1 - cy);
        const std::int64_t dx_first = std::max<std::int64_t>(-extent, -cx);
        const std::int64_t dx_last = std::min<std::int64_t>(extent, cols - 1 - cx);
        for (std::int64_t dy = dy_first; dy <= dy_last; ++dy) {
            double* row = image.ptr<double>(static_cast<int>(cy + dy));
            for (std::int64_t dx = dx_first; dx <= dx_last; ++dx) {
                const double k = static_cast<double>(-(dx * dx + dy * dy));
                double& p = row[cx + dx];
                // Clamped after every addition: overlapping dots saturate instead of summing.
                p = clamp_grey(contrast * std::exp(k / spread) + p);
            }
        }
    }

    for (int r = 0; r < rows; ++r) {
        double* row = image.ptr<double>(r);
        for (int c = 0; c < cols; ++c) row[c] = clamp_grey((random.normal() + 0.0) + row[c]);
    }
    return image;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

namespace {

void require_grey(const cv::Mat& image, const char* function) {
    if (image.dims != 2 || image.type() != CV_64FC1) {
        throw std::invalid_argument(std::string(function) +
                                    ": image must be a grey image (one channel of 64-bit floats, "
                                    "CV_64FC1)");
    }
}

// A result of the same size as an empty source: nothing to resample.
cv::Mat empty_like(const cv::Mat& image) {
    return image.dims == 2 ? cv::Mat(image.rows, image.cols, CV_64FC1) : cv::Mat();
}

}  // namespace

cv::Mat translate_image(const cv::Mat& image, double u, double v) {
    if (image.empty()) return empty_like(image);
    require_grey(image, "translate_image");
    cv::Mat result(image.rows, image.cols, CV_64FC1, cv::Scalar(0.0));
    const detail::GreyView source(image);
    for (int r = 0; r < image.rows; ++r) {
        double* out = result.ptr<double>(r);
        const double y = r - v;
        for (int c = 0; c < image.cols; ++c) {
            const double x = c - u;
            // Also refuses NaN: such pixels stay 0.
            if (y >= 0.0 && y < image.rows && x >= 0.0 && x < image.cols)
                out[c] = detail::sample_bicubic(source, y, x);
        }
    }
    return result;
}

cv::Mat deform_image(const cv::Mat& image, double u, double v, double du_dx, double du_dy,
                     double dv_dx, double dv_dy) {
    if (image.empty()) return empty_like(image);
    require_grey(image, "deform_image");
    // Inverse of the forward map about the image origin. A singular map (J = 0) gives
    // infinite or NaN sources, which the bounds test refuses: the result stays 0.
    const double jacobian = (1.0 + dv_dy) * (1.0 + du_dx) - du_dy * dv_dx;
    cv::Mat result(image.rows, image.cols, CV_64FC1, cv::Scalar(0.0));
    const detail::GreyView source(image);
    for (int r = 0; r < image.rows; ++r) {
        double* out = result.ptr<double>(r);
        for (int c = 0; c < image.cols; ++c) {
            const double y = ((r - v) * (1.0 + du_dx) - (c - u) * dv_dx) / jacobian;
            const double x = ((c - u) * (1.0 + dv_dy) - (r - v) * du_dy) / jacobian;
            if (y >= 0.0 && y < image.rows && x >= 0.0 && x < image.cols)
                out[c] = detail::sample_bicubic(source, y, x);
        }
    }
    return result;
}

}  // namespace morvex::dic
