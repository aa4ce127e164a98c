#pragma once
// Analytic speckle images for the tracking tests: Gaussian dots rendered directly, so a
// moved copy is exact at any sub-pixel shift or angle (no resampling error to allow for).

#include <algorithm>
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

// The dots seen through a smooth displacement field: the image shows at x what the dot
// pattern has at X, where x = X + d(X) (d returns u, v at a reference position X, column
// first). X is found per pixel by fixed-point iteration, exact to 1e-12 px for fields whose
// gradients stay well below 1, so the image is exact for curved fields too.
template <typename Field>
cv::Mat render_dots_deformed(int rows, int cols, const std::vector<Dot>& dots, const Field& field) {
    constexpr double kSigma = 2.0;
    constexpr int kReach = 8;
    cv::Mat map_x(rows, cols, CV_64FC1), map_y(rows, cols, CV_64FC1);
    double largest = 0.0;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            double x = c, y = r;
            for (int k = 0; k < 60; ++k) {
                double u, v;
                field(x, y, u, v);
                const double nx = c - u, ny = r - v;
                const bool done = std::fabs(nx - x) + std::fabs(ny - y) < 1e-13;
                x = nx;
                y = ny;
                if (done) break;
            }
            map_x.at<double>(r, c) = x;
            map_y.at<double>(r, c) = y;
            largest = std::max(largest, std::fabs(x - c) + std::fabs(y - r));
        }
    // A pixel sees a dot when its reference position lies within kReach of it; the pixel
    // itself is at most `largest` from that position.
    const int reach = kReach + static_cast<int>(std::ceil(largest));
    cv::Mat image(rows, cols, CV_64FC1, cv::Scalar(30.0));
    for (const Dot& dot : dots) {
        const int r0 = static_cast<int>(std::floor(dot.y)) - reach;
        const int c0 = static_cast<int>(std::floor(dot.x)) - reach;
        for (int r = std::max(0, r0); r <= std::min(rows - 1, r0 + 2 * reach); ++r)
            for (int c = std::max(0, c0); c <= std::min(cols - 1, c0 + 2 * reach); ++c) {
                const double dx = map_x.at<double>(r, c) - dot.x;
                const double dy = map_y.at<double>(r, c) - dot.y;
                const double d2 = dx * dx + dy * dy;
                if (d2 > kReach * kReach * 2.0) continue;
                image.at<double>(r, c) += dot.amplitude * std::exp(-d2 / (2.0 * kSigma * kSigma));
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
