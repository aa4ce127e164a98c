#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <morvex/strain.hpp>

namespace morvex::dic {
namespace {

using Displacement = std::function<double(double x, double y)>;

struct Grid {
    std::vector<double> u, v;
};

// Samples u(x, y) and v(x, y) at x = col * step, y = row * step, row by row.
Grid sample(int rows, int cols, int step, const Displacement& u, const Displacement& v) {
    Grid g;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            g.u.push_back(u(c * step, r * step));
            g.v.push_back(v(c * step, r * step));
        }
    return g;
}

bool is_default_nan(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits == 0x7FF8000000000000ULL;
}

// Least squares on exact planes leaves only rounding error.
constexpr double kFitTolerance = 1e-10;

struct ExactCase {
    const char* name;
    bool green_lagrange;
    int step;
    Displacement u, v;
    double exx, eyy, exy;
};

class StrainExactField : public ::testing::TestWithParam<ExactCase> {};

TEST_P(StrainExactField, RecoversKnownStrainEverywhere) {
    const ExactCase& tc = GetParam();
    constexpr int kRows = 9, kCols = 11;
    const Grid g = sample(kRows, kCols, tc.step, tc.u, tc.v);
    const StrainField s =
        tc.green_lagrange ? compute_strain(g.u, g.v, kRows, kCols, tc.step, 2, nullptr)
                          : compute_engineering_strain(g.u, g.v, kRows, kCols, tc.step, 2, nullptr);
    ASSERT_EQ(s.exx.size(), static_cast<std::size_t>(kRows * kCols));
    for (std::size_t i = 0; i < s.exx.size(); ++i) {
        EXPECT_NEAR(s.exx[i], tc.exx, kFitTolerance) << "point " << i;
        EXPECT_NEAR(s.eyy[i], tc.eyy, kFitTolerance) << "point " << i;
        EXPECT_NEAR(s.exy[i], tc.exy, kFitTolerance) << "point " << i;
    }
}

constexpr double kE = 0.01;  // stretch
constexpr double kG = 0.02;  // shear

INSTANTIATE_TEST_SUITE_P(
    Fields, StrainExactField,
    ::testing::Values(ExactCase{"RigidTranslationGreen", true, 7,
                                [](double, double) { return 3.25; },
                                [](double, double) { return -1.5; }, 0.0, 0.0, 0.0},
                      ExactCase{"RigidTranslationSmall", false, 7,
                                [](double, double) { return 3.25; },
                                [](double, double) { return -1.5; }, 0.0, 0.0, 0.0},
                      ExactCase{"StretchGreen", true, 7, [](double x, double) { return kE * x; },
                                [](double, double) { return 0.0; }, kE + kE * kE / 2, 0.0, 0.0},
                      ExactCase{"StretchSmall", false, 7, [](double x, double) { return kE * x; },
                                [](double, double) { return 0.0; }, kE, 0.0, 0.0},
                      ExactCase{"ShearGreen", true, 7, [](double, double y) { return kG * y; },
                                [](double, double) { return 0.0; }, 0.0, kG * kG / 2, kG / 2},
                      ExactCase{"ShearSmall", false, 7, [](double, double y) { return kG * y; },
                                [](double, double) { return 0.0; }, 0.0, 0.0, kG / 2}),
    [](const ::testing::TestParamInfo<ExactCase>& case_info) {
        return std::string(case_info.param.name);
    });

TEST(Strain, DoublingStepAtEqualValuesHalvesGradients) {
    const Grid g = sample(
        6, 6, 1, [](double x, double y) { return 0.03 * x + 0.01 * y; },
        [](double x, double) { return 0.02 * x; });
    const StrainField one = compute_engineering_strain(g.u, g.v, 6, 6, 1, 2, nullptr);
    const StrainField two = compute_engineering_strain(g.u, g.v, 6, 6, 2, 2, nullptr);
    for (std::size_t i = 0; i < one.exx.size(); ++i) {
        EXPECT_NEAR(two.exx[i], one.exx[i] / 2, kFitTolerance);
        EXPECT_NEAR(two.exy[i], one.exy[i] / 2, kFitTolerance);
    }
}

// Plane fit by the normal equations, written out by hand: a slow, obvious reference.
void plane_slopes(const std::vector<double>& xs, const std::vector<double>& ys,
                  const std::vector<double>& values, double& slope_x, double& slope_y) {
    double m[3][4] = {};
    for (std::size_t k = 0; k < xs.size(); ++k) {
        const double row[3] = {1.0, xs[k], ys[k]};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) m[i][j] += row[i] * row[j];
            m[i][3] += row[i] * values[k];
        }
    }
    for (int p = 0; p < 3; ++p)  // Gauss-Jordan; the normal matrix is positive definite here
        for (int i = 0; i < 3; ++i) {
            if (i == p) continue;
            const double f = m[i][p] / m[p][p];
            for (int j = 0; j < 4; ++j) m[i][j] -= f * m[p][j];
        }
    slope_x = m[1][3] / m[1][1];
    slope_y = m[2][3] / m[2][2];
}

TEST(Strain, MatchesHandWrittenFitOnNoisyMaskedField) {
    constexpr int kRows = 8, kCols = 9, kStep = 5, kWindow = 2;
    std::vector<double> u, v;
    std::vector<std::uint8_t> mask;
    std::uint32_t state = 12345;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0;
    };
    for (int i = 0; i < kRows * kCols; ++i) {
        u.push_back(next() - 0.5);
        v.push_back(next() - 0.5);
        mask.push_back(next() < 0.8 ? 1 : 0);
    }
    const StrainField s = compute_engineering_strain(u, v, kRows, kCols, kStep, kWindow, &mask);
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) {
            const auto i = static_cast<std::size_t>(r * kCols + c);
            std::vector<double> xs, ys, us, vs;
            for (int rr = r - kWindow; rr <= r + kWindow; ++rr)
                for (int cc = c - kWindow; cc <= c + kWindow; ++cc) {
                    if (rr < 0 || rr >= kRows || cc < 0 || cc >= kCols) continue;
                    const auto j = static_cast<std::size_t>(rr * kCols + cc);
                    if (!mask[j]) continue;
                    xs.push_back(cc * kStep);
                    ys.push_back(rr * kStep);
                    us.push_back(u[j]);
                    vs.push_back(v[j]);
                }
            if (!mask[i] || xs.size() < 6) {
                EXPECT_TRUE(is_default_nan(s.exx[i])) << r << "," << c;
                continue;
            }
            double ux, uy, vx, vy;
            plane_slopes(xs, ys, us, ux, uy);
            plane_slopes(xs, ys, vs, vx, vy);
            EXPECT_NEAR(s.exx[i], ux, 1e-9) << r << "," << c;
            EXPECT_NEAR(s.eyy[i], vy, 1e-9) << r << "," << c;
            EXPECT_NEAR(s.exy[i], 0.5 * (uy + vx), 1e-9) << r << "," << c;
        }
}

TEST(Strain, WindowZeroIsNanEverywhere) {
    const Grid g = sample(
        4, 4, 7, [](double x, double) { return kE * x; }, [](double, double) { return 0.0; });
    const StrainField s = compute_strain(g.u, g.v, 4, 4, 7, 0, nullptr);
    for (std::size_t i = 0; i < s.exx.size(); ++i) {
        EXPECT_TRUE(is_default_nan(s.exx[i]) && is_default_nan(s.eyy[i]) &&
                    is_default_nan(s.exy[i]));
    }
}

TEST(Strain, WindowOneLeavesCornersNanAndFitsEdges) {
    constexpr int kRows = 4, kCols = 5;
    const Grid g = sample(
        kRows, kCols, 7, [](double x, double) { return kE * x; },
        [](double, double) { return 0.0; });
    const StrainField s = compute_engineering_strain(g.u, g.v, kRows, kCols, 7, 1, nullptr);
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) {
            const double exx = s.exx[static_cast<std::size_t>(r * kCols + c)];
            const bool corner = (r == 0 || r == kRows - 1) && (c == 0 || c == kCols - 1);
            if (corner)
                EXPECT_TRUE(is_default_nan(exx)) << r << "," << c;
            else
                EXPECT_NEAR(exx, kE, kFitTolerance) << r << "," << c;
        }
}

TEST(Strain, MaskedPointIsNanEvenWithValidNeighbours) {
    const Grid g = sample(
        5, 5, 7, [](double x, double) { return kE * x; }, [](double, double) { return 0.0; });
    std::vector<std::uint8_t> mask(25, 1);
    mask[12] = 0;
    const StrainField s = compute_strain(g.u, g.v, 5, 5, 7, 1, &mask);
    EXPECT_TRUE(is_default_nan(s.exx[12]));
    // Its neighbours fit without it: the centre of a 3x3 block loses one of nine points.
    EXPECT_NEAR(s.exx[6], kE + kE * kE / 2, kFitTolerance);
}

TEST(Strain, ValidPointAmongInvalidNeighboursIsNan) {
    const Grid g = sample(
        5, 5, 7, [](double x, double) { return kE * x; }, [](double, double) { return 0.0; });
    // Row 2 keeps five valid points; the centre sees only three of them with window 1.
    std::vector<std::uint8_t> mask(25, 0);
    for (int c = 0; c < 5; ++c) mask[static_cast<std::size_t>(10 + c)] = 1;
    const StrainField s = compute_strain(g.u, g.v, 5, 5, 7, 1, &mask);
    EXPECT_TRUE(is_default_nan(s.exx[12]));
    // Nonzero mask values other than 1 count as valid.
    std::vector<std::uint8_t> all(25, 7);
    EXPECT_NEAR(compute_strain(g.u, g.v, 5, 5, 7, 1, &all).exx[12], kE + kE * kE / 2,
                kFitTolerance);
}

TEST(Strain, NanDisplacementWithoutMaskSpreadsToItsNeighbourhood) {
    Grid g = sample(
        6, 6, 7, [](double x, double) { return kE * x; }, [](double, double) { return 0.0; });
    g.u[0] = std::numeric_limits<double>::quiet_NaN();
    const StrainField s = compute_strain(g.u, g.v, 6, 6, 7, 1, nullptr);
    EXPECT_TRUE(std::isnan(s.exx[1]));  // neighbour of the NaN point
    EXPECT_TRUE(std::isnan(s.exx[7]));
    EXPECT_NEAR(s.exx[27], kE + kE * kE / 2, kFitTolerance);  // far away
}

TEST(Strain, SingleRowUsesXSlopesOnly) {
    constexpr int kCols = 10;
    const Grid g = sample(
        1, kCols, 7, [](double x, double) { return kE * x; },
        [](double x, double) { return kG * x; });
    const StrainField s = compute_strain(g.u, g.v, 1, kCols, 7, 3, nullptr);
    // The two points at either end see four or five points of the row.
    for (int c : {0, 1, kCols - 2, kCols - 1})
        EXPECT_TRUE(is_default_nan(s.exx[static_cast<std::size_t>(c)])) << c;
    for (int c = 2; c < kCols - 2; ++c) {
        const auto i = static_cast<std::size_t>(c);
        EXPECT_NEAR(s.exx[i], kE + 0.5 * (kE * kE + kG * kG), kFitTolerance);
        EXPECT_NEAR(s.eyy[i], 0.0, kFitTolerance);
        EXPECT_NEAR(s.exy[i], 0.5 * kG, kFitTolerance);
    }
    const StrainField narrow = compute_strain(g.u, g.v, 1, kCols, 7, 2, nullptr);
    for (double value : narrow.exx) EXPECT_TRUE(is_default_nan(value));
}

TEST(Strain, HugeWindowCoversTheWholeGrid) {
    const Grid g = sample(
        4, 5, 3, [](double x, double y) { return 0.01 * x + 0.002 * x * y; },
        [](double, double y) { return -0.004 * y; });
    const StrainField whole = compute_strain(g.u, g.v, 4, 5, 3, 5, nullptr);
    const StrainField huge =
        compute_strain(g.u, g.v, 4, 5, 3, std::numeric_limits<int>::max(), nullptr);
    EXPECT_EQ(whole.exx, huge.exx);
    EXPECT_EQ(whole.exy, huge.exy);
}

TEST(Strain, EmptyGridGivesEmptyOutput) {
    const std::vector<double> none;
    const StrainField s = compute_strain(none, none, 0, 7, 7, 5, nullptr);
    EXPECT_TRUE(s.exx.empty() && s.eyy.empty() && s.exy.empty());
}

struct BadInput {
    const char* name;
    int rows, cols, step, window;
    std::size_t u_size, v_size, mask_size;  // mask_size 0: no mask
};

class StrainRejects : public ::testing::TestWithParam<BadInput> {};

TEST_P(StrainRejects, OutOfRangeArgumentsInsteadOfReadingOutOfBounds) {
    const BadInput& tc = GetParam();
    const std::vector<double> u(tc.u_size, 0.0), v(tc.v_size, 0.0);
    const std::vector<std::uint8_t> mask(tc.mask_size, 1);
    const std::vector<std::uint8_t>* m = tc.mask_size ? &mask : nullptr;
    EXPECT_THROW(compute_strain(u, v, tc.rows, tc.cols, tc.step, tc.window, m),
                 std::invalid_argument);
    EXPECT_THROW(compute_engineering_strain(u, v, tc.rows, tc.cols, tc.step, tc.window, m),
                 std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, StrainRejects,
    ::testing::Values(BadInput{"NegativeRows", -1, 4, 7, 2, 16, 16, 0},
                      BadInput{"NegativeCols", 4, -1, 7, 2, 16, 16, 0},
                      BadInput{"NegativeWindow", 4, 4, 7, -1, 16, 16, 0},
                      BadInput{"StepZero", 4, 4, 0, 2, 16, 16, 0},
                      BadInput{"ShortU", 4, 4, 7, 2, 15, 16, 0},
                      BadInput{"ShortV", 4, 4, 7, 2, 16, 15, 0},
                      BadInput{"ShortMask", 4, 4, 7, 2, 16, 16, 15},
                      // rows * cols overflows 32 bits; the sizes are checked in 64.
                      BadInput{"HugeGrid", 65536, 65536, 7, 2, 16, 16, 0}),
    [](const ::testing::TestParamInfo<BadInput>& case_info) {
        return std::string(case_info.param.name);
    });

TEST(Strain, RejectionNamesTheValue) {
    const std::vector<double> u(4, 0.0);
    try {
        compute_strain(u, u, 2, 2, 0, 1, nullptr);
        FAIL() << "step 0 accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "compute_strain: step must be at least 1, got 0");
    }
}

}  // namespace
}  // namespace morvex::dic
