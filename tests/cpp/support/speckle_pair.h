#pragma once
// Analytic speckle images for the tracking tests: Gaussian dots rendered directly, so a
// moved copy is exact at any sub-pixel shift or angle (no resampling error to allow for).

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <opencv2/core/mat.hpp>

namespace morvex::test {

struct Dot {
    double x = 0.0;
    double y = 0.0;
    double amplitude = 0.0;
};

// Roughly one dot per 30 pixels, radius (sigma) 2 px: a dense, well-contrasted pattern.
inline std::vector<Dot> random_dots(int rows, int cols, std::uint32_t seed) {
    std::mt19937 rng(seed);
    auto uniform = [&rng](double lo, double hi) {
        return lo + (hi - lo) * (static_cast<double>(rng()) / 4294967296.0);
    };
    const int count = rows * cols / 30;
    std::vector<Dot> dots(static_cast<std::size_t>(count));
    for (Dot& dot : dots) {
        // Dots may sit a little outside so the border is speckled like the interior.
        dot.x = uniform(-6.0, cols + 6.0);
        dot.y = uniform(-6.0, rows + 6.0);
        dot.amplitude = uniform(60.0, 160.0);
    }
    return dots;
}

// Dots moved rigidly: turned by `angle` about (cx, cy) (+x towards +y), then shifted.
inline std::vector<Dot> moved_dots(const std::vector<Dot>& dots, double u, double v,
                                   double angle = 0.0, double cx = 0.0, double cy = 0.0) {
    std::vector<Dot> out = dots;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    for (Dot& dot : out) {
        const double dx = dot.x - cx;
        const double dy = dot.y - cy;
        dot.x = cx + dx * c - dy * s + u;
        dot.y = cy + dx * s + dy * c + v;
    }
    return out;
}

inline cv::Mat render_dots(int rows, int cols, const std::vector<Dot>& dots) {
    constexpr double kSigma = 2.0;
    constexpr int kReach = 8;  // 4 sigma: beyond it a dot adds < 0.05 grey levels
    cv::Mat image(rows, cols, CV_64FC1, cv::Scalar(30.0));
    for (const Dot& dot : dots) {
        const int r0 = static_cast<int>(std::floor(dot.y)) - kReach;
        const int c0 = static_cast<int>(std::floor(dot.x)) - kReach;
        for (int r = std::max(0, r0); r <= std::min(rows - 1, r0 + 2 * kReach); ++r) {
            double* row = image.ptr<double>(r);
            for (int c = std::max(0, c0); c <= std::min(cols - 1, c0 + 2 * kReach); ++c) {
                const double d2 = (c - dot.x) * (c - dot.x) + (r - dot.y) * (r - dot.y);
                row[c] += dot.amplitude * std::exp(-d2 / (2.0 * kSigma * kSigma));
            }
        }
    }
    return image;
}

// A speckle image and a copy moved by (u, v) and turned by `angle` about (cx, cy).
struct ImagePair {
    cv::Mat reference;
    cv::Mat deformed;
};

inline ImagePair speckle_pair(int rows, int cols, double u, double v, double angle = 0.0,
                              double cx = 0.0, double cy = 0.0, std::uint32_t seed = 7) {
    const std::vector<Dot> dots = random_dots(rows, cols, seed);
    return {render_dots(rows, cols, dots),
            render_dots(rows, cols, moved_dots(dots, u, v, angle, cx, cy))};
}

}  // namespace morvex::test
