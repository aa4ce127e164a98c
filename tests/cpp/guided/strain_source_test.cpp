// Strain taken from the subsets' own warp gradients: each point's tensor as it is, the plane
// fit of the gradients over the window against a slow fit, agreement with the fit of u, v on
// a homogeneous stretch (pairs and incremental sequences). An unknown source is among the
// guided entry checks.

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/guided.hpp>

#include "support/speckle_pair.h"

namespace {

using namespace morvex::dic;
using morvex::test::Dot;

constexpr int kSize = 128;
constexpr double kCentre = kSize / 2.0;

// du/dx etc. of a field that is quadratic about the image centre.
struct Gradient {
    double ux, uy, vx, vy;
};

// u = ux dx + uy dy + uxx dx^2 / 2, v = vx dx + vy dy + vyy dy^2 / 2 about the centre.
struct Field {
    Gradient g;
    double uxx = 0.0, vyy = 0.0;
    double scale = 1.0;

    void at(double x, double y, double& u, double& v) const {
        const double dx = x - kCentre, dy = y - kCentre;
        u = scale * (g.ux * dx + g.uy * dy + 0.5 * uxx * dx * dx);
        v = scale * (g.vx * dx + g.vy * dy + 0.5 * vyy * dy * dy);
    }
    Gradient gradient_at(double x, double y) const {
        const double dx = x - kCentre, dy = y - kCentre;
        return {scale * (g.ux + uxx * dx), scale * g.uy, scale * g.vx, scale * (g.vy + vyy * dy)};
    }
};

cv::Mat render(const std::vector<Dot>& dots, const Field& f) {
    return morvex::test::render_dots_deformed(
        kSize, kSize, dots, [&f](double x, double y, double& u, double& v) { f.at(x, y, u, v); });
}

// Green-Lagrange from F = I + grad u written out as a matrix product, independently of the
// library's expanded form.
void green_lagrange(const Gradient& g, double& exx, double& eyy, double& exy) {
    const double f[2][2] = {{1.0 + g.ux, g.uy}, {g.vx, 1.0 + g.vy}};
    double c[2][2];
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) c[i][j] = f[0][i] * f[0][j] + f[1][i] * f[1][j];
    exx = 0.5 * (c[0][0] - 1.0);
    eyy = 0.5 * (c[1][1] - 1.0);
    exy = 0.5 * c[0][1];
}

GuidedConfig config_of(SubsetShape shape, StrainSource source, int window) {
    GuidedConfig config;
    config.subset_size = 21;
    config.step = 6;
    config.roi_x0 = config.roi_y0 = 24;
    config.roi_x1 = config.roi_y1 = kSize - 25;
    config.shape = shape;
    config.strain_source = source;
    config.strain_window = window;
    return config;
}

// A round hole in the specimen, so that windows near it hold fewer points than elsewhere.
cv::Mat holed_mask() {
    cv::Mat mask(kSize, kSize, CV_8UC1, cv::Scalar(255));
    cv::circle(mask, cv::Point(60, 70), 12, cv::Scalar(0), cv::FILLED);
    return mask;
}

const Field kCurved{{0.004, 0.002, -0.003, 0.006}, 1e-3, -8e-4};

TEST(SubsetStrain, UnsmoothedIsEachValidPointsOwnTensorAndFollowsTheField) {
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 3);
    const cv::Mat reference = render(dots, Field{}), deformed = render(dots, kCurved);
    // A window under half a step leaves every gradient as the subset found it.
    GuidedConfig config = config_of(SubsetShape::kQuadratic, StrainSource::kSubset, 2);
    config.mask = holed_mask();
    const GuidedResult r = correlate_guided(ReferenceImage(reference, config), deformed, config);
    int valid = 0;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        if (!r.valid[i]) {
            EXPECT_TRUE(std::isnan(r.exx[i]) && std::isnan(r.eyy[i]) && std::isnan(r.exy[i]));
            continue;
        }
        ++valid;
        double exx, eyy, exy;
        green_lagrange({r.du_dx[i], r.du_dy[i], r.dv_dx[i], r.dv_dy[i]}, exx, eyy, exy);
        EXPECT_NEAR(r.exx[i], exx, 1e-15);
        EXPECT_NEAR(r.eyy[i], eyy, 1e-15);
        EXPECT_NEAR(r.exy[i], exy, 1e-15);
        // Against the field itself: the quadratic subset's gradient is the one at its centre.
        double tx, ty, txy;
        green_lagrange(kCurved.gradient_at(r.x[i], r.y[i]), tx, ty, txy);
        EXPECT_NEAR(r.exx[i], tx, 1e-3) << "point " << i;
        EXPECT_NEAR(r.eyy[i], ty, 1e-3) << "point " << i;
        EXPECT_NEAR(r.exy[i], txy, 1e-3) << "point " << i;
    }
    EXPECT_GT(valid, static_cast<int>(r.u.size()) * 3 / 4);
    EXPECT_LT(valid, static_cast<int>(r.u.size()));  // the hole is there

    config.strain_measure = StrainMeasure::kEngineering;
    const GuidedResult e = correlate_guided(ReferenceImage(reference, config), deformed, config);
    for (std::size_t i = 0; i < e.u.size(); ++i) {
        if (!e.valid[i]) continue;
        EXPECT_DOUBLE_EQ(e.exx[i], e.du_dx[i]);
        EXPECT_DOUBLE_EQ(e.eyy[i], e.dv_dy[i]);
        EXPECT_DOUBLE_EQ(e.exy[i], 0.5 * (e.du_dy[i] + e.dv_dx[i]));
    }
}

// Each gradient's least-squares plane over the window's valid points, at the point, solved
// the slow way; NaN where fewer than six valid points are there to fit.
double slow_plane_at(const GuidedResult& r, const std::vector<double>& g, int row, int col,
                     int reach) {
    cv::Mat a(0, 3, CV_64F), b(0, 1, CV_64F);
    for (int rr = row - reach; rr <= row + reach; ++rr)
        for (int cc = col - reach; cc <= col + reach; ++cc) {
            if (rr < 0 || cc < 0 || rr >= r.rows || cc >= r.cols) continue;
            const std::size_t j = static_cast<std::size_t>(rr) * r.cols + cc;
            if (!r.valid[j]) continue;
            a.push_back(cv::Mat(cv::Matx13d(1.0, cc - col, rr - row)));
            b.push_back(g[j]);
        }
    if (a.rows < 6) return std::nan("");
    cv::Mat plane;
    cv::solve(a, b, plane, cv::DECOMP_SVD);
    return plane.at<double>(0);
}

TEST(SubsetStrain, SmoothedIsThePlaneFitOfTheGradientsAtThePoint) {
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 8);
    const cv::Mat reference = render(dots, Field{}), deformed = render(dots, kCurved);
    // Two grid steps on each side; small strain, so exx is the smoothed du_dx itself.
    GuidedConfig config = config_of(SubsetShape::kQuadratic, StrainSource::kSubset, 12);
    config.strain_measure = StrainMeasure::kEngineering;
    config.mask = holed_mask();
    const GuidedResult r = correlate_guided(ReferenceImage(reference, config), deformed, config);
    int fitted = 0;
    for (int row = 0; row < r.rows; ++row)
        for (int col = 0; col < r.cols; ++col) {
            const std::size_t i = static_cast<std::size_t>(row) * r.cols + col;
            if (!r.valid[i]) {
                EXPECT_TRUE(std::isnan(r.exx[i]));
                continue;
            }
            const double ux = slow_plane_at(r, r.du_dx, row, col, 2);
            const double vy = slow_plane_at(r, r.dv_dy, row, col, 2);
            const double shear = 0.5 * (slow_plane_at(r, r.du_dy, row, col, 2) +
                                        slow_plane_at(r, r.dv_dx, row, col, 2));
            if (std::isnan(ux)) {
                EXPECT_TRUE(std::isnan(r.exx[i])) << row << ", " << col;
                continue;
            }
            ++fitted;
            EXPECT_NEAR(r.exx[i], ux, 1e-12) << row << ", " << col;
            EXPECT_NEAR(r.eyy[i], vy, 1e-12) << row << ", " << col;
            EXPECT_NEAR(r.exy[i], shear, 1e-12) << row << ", " << col;
        }
    EXPECT_GT(fitted, r.rows * r.cols / 2);
}

// On a homogeneous stretch every source and every window gives the same exact strain: for
// a pair with either shape, and for the totals an incremental sequence composes.
TEST(SubsetStrain, AgreesWithTheDisplacementFitOnAHomogeneousStretch) {
    const Field stretch{{0.008, 0.003, -0.002, -0.005}};
    const std::vector<Dot> dots = morvex::test::random_dots(kSize, kSize, 21);
    const cv::Mat reference = render(dots, Field{});
    const auto check = [](const GuidedResult& r, const Field& f, const std::string& what) {
        double tx, ty, txy;
        green_lagrange(f.gradient_at(kCentre, kCentre), tx, ty, txy);
        int valid = 0;
        for (std::size_t i = 0; i < r.u.size(); ++i) {
            // A fit of u, v leaves the grid's corners without strain (four points there).
            if (!r.valid[i] || std::isnan(r.exx[i])) continue;
            ++valid;
            EXPECT_NEAR(r.exx[i], tx, 2e-4) << what << " point " << i;
            EXPECT_NEAR(r.eyy[i], ty, 2e-4) << what << " point " << i;
            EXPECT_NEAR(r.exy[i], txy, 2e-4) << what << " point " << i;
        }
        EXPECT_GT(valid, static_cast<int>(r.u.size()) * 3 / 4) << what;
    };
    for (const SubsetShape shape : {SubsetShape::kAffine, SubsetShape::kQuadratic})
        for (const StrainSource source : {StrainSource::kDisplacementFit, StrainSource::kSubset})
            for (const int window : {0, 12}) {
                const std::string what = "shape " + std::to_string(static_cast<int>(shape)) +
                                         " source " + std::to_string(static_cast<int>(source)) +
                                         " window " + std::to_string(window);
                const GuidedConfig config = config_of(shape, source, window);
                check(correlate_guided(ReferenceImage(reference, config), render(dots, stretch),
                                       config),
                      stretch, what);
            }
    GuidedSequence sequence(reference, config_of(SubsetShape::kAffine, StrainSource::kSubset, 0),
                            true);
    for (int k = 1; k <= 3; ++k) {
        Field step = stretch;
        step.scale = k;
        check(sequence.add_frame(render(dots, step)), step,
              "incremental frame " + std::to_string(k));
    }
}

}  // namespace
