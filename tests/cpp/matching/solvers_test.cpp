#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/solvers.hpp>
#include <morvex/znssd.hpp>

// The portable scalar form of the solvers' helpers (the library runs the SSE2 form, which
// performs the same operations).
#define MORVEX_SCALAR_KERNELS
#include "matching/solver_common.h"

namespace morvex::dic {
namespace {

using Solver = std::function<ICGNResult(const cv::Mat&, const cv::Mat&, int, int, const WarpParams&,
                                        const ICGNConfig&)>;

// Smooth random texture: a sum of plane waves with wavelengths of 8 to 25 px, so it can be
// shifted, turned or stretched exactly (by evaluating it at the mapped position).
class Texture {
public:
    explicit Texture(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (Wave& w : waves_) {
            const double length = 8.0 + 17.0 * unit(rng);
            const double angle = 2.0 * M_PI * unit(rng);
            w.ky = 2.0 * M_PI / length * std::sin(angle);
            w.kx = 2.0 * M_PI / length * std::cos(angle);
            w.phase = 2.0 * M_PI * unit(rng);
            w.amplitude = 8.0 + 8.0 * unit(rng);
        }
    }
    double operator()(double y, double x) const {
        double value = 128.0;
        for (const Wave& w : waves_) value += w.amplitude * std::sin(w.ky * y + w.kx * x + w.phase);
        return value;
    }
    // Image whose pixel (r, c) shows the texture at source(r, c).
    cv::Mat render(int rows, int cols,
                   const std::function<std::pair<double, double>(int, int)>& source) const {
        cv::Mat image(rows, cols, CV_64FC1);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                const auto [y, x] = source(r, c);
                image.at<double>(r, c) = (*this)(y, x);
            }
        return image;
    }
    cv::Mat render(int rows, int cols) const {
        return render(rows, cols, [](int r, int c) { return std::pair<double, double>(r, c); });
    }
    // Content moved by +u columns and +v rows.
    cv::Mat shifted(int rows, int cols, double u, double v) const {
        return render(rows, cols,
                      [u, v](int r, int c) { return std::pair<double, double>(r - v, c - u); });
    }

private:
    struct Wave {
        double ky, kx, phase, amplitude;
    };
    Wave waves_[12];
};

WarpParams translation(double u, double v) {
    WarpParams w;
    w.u = u;
    w.v = v;
    return w;
}

ICGNConfig settings(bool use_bicubic, int max_iterations = 50, int subset_size = 29) {
    ICGNConfig config;
    config.use_bicubic = use_bicubic;
    config.max_iterations = max_iterations;
    config.subset_size = subset_size;
    return config;
}

void expect_early(const ICGNResult& r, const WarpParams& start) {
    EXPECT_EQ(r.warp.u, start.u);
    EXPECT_EQ(r.warp.v, start.v);
    EXPECT_EQ(r.warp.du_dx, start.du_dx);
    EXPECT_EQ(r.warp.dv_dx, start.dv_dx);
    EXPECT_EQ(r.warp.du_dy, start.du_dy);
    EXPECT_EQ(r.warp.dv_dy, start.dv_dy);
    EXPECT_EQ(r.znssd, 0.0);
    EXPECT_EQ(r.zncc, 0.0);
    EXPECT_EQ(r.iterations, 0);
    EXPECT_FALSE(r.converged);
    EXPECT_FALSE(r.valid);
}

// ----- Behaviour shared by both solvers, for both interpolation settings.

struct Case {
    const char* name;
    Solver solve;
    bool use_bicubic;
};

class BothSolvers : public ::testing::TestWithParam<Case> {};

// Bias of the interpolators on this texture stays below a few thousandths of a pixel.
constexpr double kShiftTolerance = 0.01;

TEST_P(BothSolvers, RecoverSubPixelTranslation) {
    const Case& c = GetParam();
    const Texture texture(1);
    const cv::Mat ref = texture.render(80, 80);
    const cv::Mat def = texture.shifted(80, 80, 0.3, -0.7);
    for (const WarpParams& start : {translation(0, 0), translation(0, -1)}) {
        const ICGNResult r = c.solve(ref, def, 40, 40, start, settings(c.use_bicubic));
        EXPECT_TRUE(r.converged);
        EXPECT_TRUE(r.valid);
        EXPECT_NEAR(r.warp.u, 0.3, kShiftTolerance);
        EXPECT_NEAR(r.warp.v, -0.7, kShiftTolerance);
        for (double gradient : {r.warp.du_dx, r.warp.dv_dx, r.warp.du_dy, r.warp.dv_dy})
            EXPECT_NEAR(gradient, 0.0, 1e-3);
        EXPECT_LT(r.znssd, 1e-3);
        EXPECT_GT(r.iterations, 1);
    }
}

TEST_P(BothSolvers, IdenticalImagesConvergeInOneIteration) {
    const Case& c = GetParam();
    const cv::Mat image = Texture(2).render(70, 70);
    const ICGNResult r = c.solve(image, image, 35, 35, WarpParams{}, settings(c.use_bicubic));
    EXPECT_TRUE(r.converged);
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.iterations, 1);
    for (double value :
         {r.warp.u, r.warp.v, r.warp.du_dx, r.warp.dv_dx, r.warp.du_dy, r.warp.dv_dy})
        EXPECT_NEAR(value, 0.0, 1e-9);
    EXPECT_NEAR(r.znssd, 0.0, 1e-12);
    EXPECT_NEAR(r.zncc, 1.0, 1e-12);
}

TEST_P(BothSolvers, ZeroIterationsScoresTheStart) {
    const Case& c = GetParam();
    const Texture texture(3);
    const cv::Mat ref = texture.render(70, 70), def = texture.shifted(70, 70, 0.4, 0.2);
    WarpParams start = translation(0.5, 0.25);
    start.du_dx = 0.01;
    const ICGNResult r = c.solve(ref, def, 35, 35, start, settings(c.use_bicubic, 0));
    EXPECT_EQ(r.iterations, 0);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.warp.u, 0.5);
    EXPECT_EQ(r.warp.v, 0.25);
    EXPECT_EQ(r.znssd, compute_znssd(ref, def, 35, 35, r.warp, 29, c.use_bicubic));
    EXPECT_TRUE(r.valid);
}

TEST_P(BothSolvers, SubsetNotInsideReferenceGivesEarlyResult) {
    const Case& c = GetParam();
    const cv::Mat image = Texture(4).render(60, 60);
    WarpParams start = translation(1.5, -2.0);
    start.dv_dy = 0.02;
    for (auto [y, x] : {std::pair{13, 30},
                        {30, 13},
                        {46, 30},
                        {30, 46},
                        {std::numeric_limits<int>::max(), 30},
                        {30, std::numeric_limits<int>::min()}}) {
        SCOPED_TRACE(std::to_string(y) + ", " + std::to_string(x));
        expect_early(c.solve(image, image, y, x, start, settings(c.use_bicubic)), start);
    }
    // Subset sizes that make no subset, or one larger than the image.
    for (int size :
         {-1, -2, -29, std::numeric_limits<int>::min(), 61, std::numeric_limits<int>::max()})
        expect_early(c.solve(image, image, 30, 30, start, settings(c.use_bicubic, 50, size)),
                     start);
}

TEST_P(BothSolvers, FlatOrNonFiniteReferenceGivesEarlyResult) {
    const Case& c = GetParam();
    const cv::Mat flat(60, 60, CV_64FC1, cv::Scalar(90.0));
    const cv::Mat textured = Texture(5).render(60, 60);
    expect_early(c.solve(flat, textured, 30, 30, WarpParams{}, settings(c.use_bicubic)),
                 WarpParams{});
    for (double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        cv::Mat poisoned = textured.clone();
        poisoned.at<double>(31, 28) = bad;
        expect_early(c.solve(poisoned, textured, 30, 30, WarpParams{}, settings(c.use_bicubic)),
                     WarpParams{});
    }
}

TEST_P(BothSolvers, NonFiniteStartNeverReachesTheInterpolators) {
    const Case& c = GetParam();
    const cv::Mat image = Texture(6).render(60, 60);
    for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity(), -1e300}) {
        const ICGNResult r =
            c.solve(image, image, 30, 30, translation(bad, 0.0), settings(c.use_bicubic));
        EXPECT_EQ(r.iterations, 0);
        EXPECT_FALSE(r.converged);
        EXPECT_FALSE(r.valid);
        EXPECT_EQ(r.znssd, 2.0);
    }
}

TEST_P(BothSolvers, PositionTestStopsAndTheCriterionScoresThatWarp) {
    const Case& c = GetParam();
    const cv::Mat image = Texture(7).render(60, 60);
    // The top subset row lands on y' = 0.5: outside [1, rows - 1), inside (0, rows - 1).
    const ICGNResult r =
        c.solve(image, image, 14 + 5, 30, translation(0.0, -4.5), settings(c.use_bicubic));
    EXPECT_EQ(r.iterations, 0);
    EXPECT_FALSE(r.converged);
    EXPECT_LT(r.znssd, 2.0);
    EXPECT_EQ(r.znssd,
              compute_znssd(image, image, 19, 30, translation(0.0, -4.5), 29, c.use_bicubic));
}

TEST_P(BothSolvers, OneDimensionalTextureFailsTheRankTest) {
    const Case& c = GetParam();
    const Texture texture(8);
    // Varies along the columns only: no information along the rows.
    const cv::Mat ref =
        texture.render(60, 60, [](int, int col) { return std::pair<double, double>(0.0, col); });
    const ICGNResult r = c.solve(ref, ref, 30, 30, WarpParams{}, settings(c.use_bicubic));
    EXPECT_EQ(r.iterations, 0);
    EXPECT_FALSE(r.converged);
}

TEST_P(BothSolvers, NonGreyImagesGiveEarlyResult) {
    const Case& c = GetParam();
    const cv::Mat image = Texture(9).render(60, 60);
    const cv::Mat bytes(60, 60, CV_8UC1, cv::Scalar(3));
    expect_early(c.solve(bytes, image, 30, 30, WarpParams{}, settings(c.use_bicubic)),
                 WarpParams{});
    expect_early(c.solve(image, bytes, 30, 30, WarpParams{}, settings(c.use_bicubic)),
                 WarpParams{});
    expect_early(c.solve(image, cv::Mat(), 30, 30, WarpParams{}, settings(c.use_bicubic)),
                 WarpParams{});
}

INSTANTIATE_TEST_SUITE_P(Solvers, BothSolvers,
                         ::testing::Values(Case{"RotationStretchFourthOrder", ic_gn_solve, true},
                                           Case{"RotationStretchBilinear", ic_gn_solve, false},
                                           Case{"ForwardAdditiveCubic", fa_gn_solve, true},
                                           Case{"ForwardAdditiveBilinear", fa_gn_solve, false}),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

// ----- Normal equations against a plain pixel-by-pixel sum, for odd and even pixel counts.

TEST(NormalEquations, MatchPlainSumsWithinRounding) {
    for (std::size_t n : {1u, 2u, 7u, 841u, 842u}) {
        std::mt19937 rng(static_cast<unsigned>(n));
        std::uniform_real_distribution<double> value(-300.0, 300.0);
        std::vector<double> columns[7];
        for (auto& column : columns)
            for (std::size_t k = 0; k < n; ++k) column.push_back(value(rng));
        const double* d[6];
        for (int i = 0; i < 6; ++i) d[i] = columns[i].data();
        detail::NormalEquations equations;
        equations.accumulate(d, columns[6].data(), n);
        int idx = 0;
        for (int i = 0; i < 6; ++i) {
            for (int j = i; j < 6; ++j, ++idx) {
                double plain = 0.0, scale = 0.0;
                for (std::size_t k = 0; k < n; ++k) {
                    plain += d[i][k] * d[j][k];
                    scale += std::abs(d[i][k] * d[j][k]);
                }
                EXPECT_NEAR(equations.upper[idx], plain, 1e-13 * scale) << i << ", " << j;
            }
            double plain = 0.0, scale = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                plain += columns[6][k] * d[i][k];
                scale += std::abs(columns[6][k] * d[i][k]);
            }
            EXPECT_NEAR(equations.rhs[i], plain, 1e-13 * scale) << "b " << i;
        }
    }
}

// ----- Rotation-stretch solver.

TEST(RotationStretchSolver, IgnoresTheStartGradients) {
    const Texture texture(10);
    const cv::Mat ref = texture.render(70, 70), def = texture.shifted(70, 70, 2.0, 0.0);
    WarpParams start = translation(2.0, 0.0);
    start.du_dx = 0.3;
    start.dv_dy = -0.2;
    const ICGNResult r = ic_gn_solve(ref, def, 35, 35, start, settings(true, 0));
    EXPECT_EQ(r.warp.u, 2.0);
    EXPECT_EQ(r.warp.du_dx, 0.0);
    EXPECT_EQ(r.warp.dv_dy, 0.0);
}

TEST(RotationStretchSolver, RecoversRotationWithTheImageSense) {
    // Positive angle turns +x towards +y: the deformed pixel at offset (dx', dy') from the
    // centre shows the reference at R(-t) (dx', dy').
    const double t = 0.02;
    const Texture texture(11);
    const cv::Mat ref = texture.render(90, 90);
    const cv::Mat def = texture.render(90, 90, [t](int r, int c) {
        const double dx = c - 45.0, dy = r - 45.0;
        return std::pair<double, double>(45.0 - std::sin(t) * dx + std::cos(t) * dy,
                                         45.0 + std::cos(t) * dx + std::sin(t) * dy);
    });
    const ICGNResult r = ic_gn_solve(ref, def, 45, 45, WarpParams{}, settings(true));
    EXPECT_TRUE(r.converged);
    EXPECT_NEAR(r.warp.dv_dx, std::sin(t), 1e-3);
    EXPECT_NEAR(r.warp.du_dy, -std::sin(t), 1e-3);
    EXPECT_NEAR(r.warp.du_dx, std::cos(t) - 1.0, 1e-3);
    EXPECT_NEAR(r.warp.u, 0.0, kShiftTolerance);
    EXPECT_NEAR(r.warp.v, 0.0, kShiftTolerance);
}

TEST(RotationStretchSolver, RecoversStretchAlongX) {
    const double e = 0.01;
    const Texture texture(12);
    const cv::Mat ref = texture.render(90, 90);
    const cv::Mat def = texture.render(90, 90, [e](int r, int c) {
        return std::pair<double, double>(r, 45.0 + (c - 45.0) / (1.0 + e));
    });
    const ICGNResult r = ic_gn_solve(ref, def, 45, 45, WarpParams{}, settings(true));
    EXPECT_TRUE(r.converged);
    EXPECT_NEAR(r.warp.du_dx, e, 1e-3);
    EXPECT_NEAR(r.warp.dv_dy, 0.0, 1e-3);
    EXPECT_NEAR(r.warp.dv_dx, 0.0, 1e-3);
    EXPECT_NEAR(r.warp.du_dy, 0.0, 1e-3);
}

TEST(RotationStretchSolver, IterationCriterionReactsToGain) {
    // Zero-mean only: twice the reference leaves residuals f~ at the identity, so the first
    // update is not zero, while the final score (normalised) is.
    const cv::Mat ref = Texture(13).render(70, 70);
    const cv::Mat twice = ref * 2.0;
    const ICGNResult r = ic_gn_solve(ref, twice, 35, 35, WarpParams{}, settings(true, 1));
    EXPECT_FALSE(r.converged);
    EXPECT_GT(std::abs(r.warp.u) + std::abs(r.warp.v) + std::abs(r.warp.du_dx), 1e-6);
}

TEST(RotationStretchSolver, FourthOrderGradientsStayInsideAtTheBorder) {
    // Subset whose rim touches row 0 and column 0: the gradient taps two pixels out are
    // clamped onto the image, which equals solving on a copy padded by edge replication.
    const Texture texture(14);
    const int h = 14;
    const cv::Mat ref = texture.render(60, 60), def = texture.shifted(60, 60, 1.3, 1.4);
    const ICGNResult r = ic_gn_solve(ref, def, h, h, translation(1.0, 1.0), settings(true));
    EXPECT_TRUE(r.converged);
    EXPECT_NEAR(r.warp.u, 1.3, kShiftTolerance);
    EXPECT_NEAR(r.warp.v, 1.4, kShiftTolerance);

    cv::Mat ref_padded, def_padded;
    cv::copyMakeBorder(ref, ref_padded, 2, 2, 2, 2, cv::BORDER_REPLICATE);
    cv::copyMakeBorder(def, def_padded, 2, 2, 2, 2, cv::BORDER_REPLICATE);
    const ICGNResult p =
        ic_gn_solve(ref_padded, def_padded, h + 2, h + 2, translation(1.0, 1.0), settings(true));
    EXPECT_EQ(p.iterations, r.iterations);
    EXPECT_NEAR(p.warp.u, r.warp.u, 1e-12);
    EXPECT_NEAR(p.warp.v, r.warp.v, 1e-12);
    EXPECT_NEAR(p.warp.du_dx, r.warp.du_dx, 1e-12);
}

// ----- Forward-additive solver.

TEST(ForwardAdditiveSolver, StaysAtIdentityUnderGainAndOffset) {
    const cv::Mat ref = Texture(15).render(70, 70);
    const cv::Mat changed = ref * 2.0 + 10.0;
    for (bool cubic : {true, false}) {
        const ICGNResult r = fa_gn_solve(ref, changed, 35, 35, WarpParams{}, settings(cubic));
        EXPECT_TRUE(r.converged);
        EXPECT_EQ(r.iterations, 1);
        EXPECT_NEAR(r.warp.u, 0.0, 1e-9);
        EXPECT_NEAR(r.znssd, 0.0, 1e-12);
    }
}

TEST(ForwardAdditiveSolver, RecoversAffineDeformationFromAnAffineStart) {
    const Texture texture(16);
    const cv::Mat ref = texture.render(90, 90);
    // Deformed shows at (x', y') = (x + 0.2 + 0.01 x, y - 0.3 + 0.005 x) the reference at (x, y),
    // about the centre (45, 45).
    const cv::Mat def = texture.render(90, 90, [](int r, int c) {
        const double x = (c - 45.0 - 0.2) / 1.01;
        return std::pair<double, double>(r - 45.0 + 0.3 - 0.005 * x + 45.0, x + 45.0);
    });
    WarpParams start;
    start.du_dx = 0.01;
    const ICGNResult r = fa_gn_solve(ref, def, 45, 45, start, settings(true));
    EXPECT_TRUE(r.converged);
    EXPECT_NEAR(r.warp.u, 0.2, kShiftTolerance);
    EXPECT_NEAR(r.warp.v, -0.3, kShiftTolerance);
    EXPECT_NEAR(r.warp.du_dx, 0.01, 1e-3);
    EXPECT_NEAR(r.warp.dv_dx, 0.005, 1e-3);
}

}  // namespace
}  // namespace morvex::dic
