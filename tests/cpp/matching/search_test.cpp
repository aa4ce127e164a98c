#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/search.hpp>

namespace morvex::dic {
namespace {

// Template-matching scores come from 32-bit floats; on these textures they agree with the
// 64-bit scores to about 1e-6, so 1e-4 still separates neighbours by orders of magnitude.
constexpr double kFloatScoreTolerance = 1e-4;
// A blurred random texture matched with its exact copy scores 1 up to rounding.
constexpr double kExactMatchZncc = 1.0 - 1e-9;

// Random speckle-like texture on a 0..255 scale, reproducible from its seed.
cv::Mat make_texture(int rows, int cols, int seed) {
    cv::Mat noise(rows, cols, CV_64FC1);
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::UNIFORM, 0.0, 255.0);
    cv::Mat texture;
    cv::GaussianBlur(noise, texture, cv::Size(0, 0), 1.2);
    return texture;
}

// A reference and a deformed image in which everything moved by (du, dv) whole pixels,
// both cut from one larger texture, so no border effect enters the deformed image.
struct ShiftedPair {
    cv::Mat reference;
    cv::Mat deformed;
};

ShiftedPair make_shifted_pair(int rows, int cols, int du, int dv, int seed = 3) {
    constexpr int kPad = 16;
    const cv::Mat big = make_texture(rows + 2 * kPad, cols + 2 * kPad, seed);
    return {big(cv::Rect(kPad, kPad, cols, rows)).clone(),
            big(cv::Rect(kPad - du, kPad - dv, cols, rows)).clone()};
}

void expect_same(const IntegerSearchResult& actual, const IntegerSearchResult& expected) {
    EXPECT_EQ(actual.u, expected.u);
    EXPECT_EQ(actual.v, expected.v);
    EXPECT_EQ(actual.zncc, expected.zncc);
    EXPECT_EQ(actual.valid, expected.valid);
}

void expect_start_record(const IntegerSearchResult& result, double start_zncc) {
    EXPECT_EQ(result.u, 0);
    EXPECT_EQ(result.v, 0);
    EXPECT_EQ(result.zncc, start_zncc);
    EXPECT_FALSE(result.valid);
}

// ---- compute_zncc -------------------------------------------------------------------------

// The textbook formula, written plainly, to check the fast loop against.
double zncc_by_definition(const cv::Mat& a, const cv::Mat& b) {
    const double ma = cv::mean(a)[0];
    const double mb = cv::mean(b)[0];
    double sab = 0.0, saa = 0.0, sbb = 0.0;
    for (int r = 0; r < a.rows; ++r) {
        for (int c = 0; c < a.cols; ++c) {
            sab += (a.at<double>(r, c) - ma) * (b.at<double>(r, c) - mb);
            saa += (a.at<double>(r, c) - ma) * (a.at<double>(r, c) - ma);
            sbb += (b.at<double>(r, c) - mb) * (b.at<double>(r, c) - mb);
        }
    }
    return sab / std::sqrt(saa * sbb);
}

TEST(Zncc, KnownValues) {
    const cv::Mat a = make_texture(21, 21, 1);
    EXPECT_NEAR(compute_zncc(a, a), 1.0, 1e-12);
    EXPECT_NEAR(compute_zncc(a, -a), -1.0, 1e-12);
    EXPECT_NEAR(compute_zncc(a, 0.3 * a + 40.0), 1.0, 1e-12);
    const cv::Mat flat(21, 21, CV_64FC1, cv::Scalar(80.0));
    EXPECT_EQ(compute_zncc(flat, a), 0.0);
    EXPECT_EQ(compute_zncc(a, flat), 0.0);
}

TEST(Zncc, RegionsOfLargerImagesMatchTheDefinition) {
    const cv::Mat image = make_texture(40, 50, 2);
    const cv::Mat a = image(cv::Rect(3, 4, 17, 15));
    const cv::Mat b = image(cv::Rect(9, 11, 17, 15));
    EXPECT_NEAR(compute_zncc(a, b), zncc_by_definition(a, b), 1e-12);
    EXPECT_NEAR(compute_zncc(a, b), zncc_by_definition(a.clone(), b.clone()), 1e-12);
}

TEST(Zncc, SmallerSecondSubsetIsRejectedNotOverread) {
    const cv::Mat a = make_texture(9, 9, 1);
    EXPECT_THROW(compute_zncc(a, a(cv::Rect(0, 0, 9, 8))), std::invalid_argument);
    EXPECT_THROW(compute_zncc(a, a(cv::Rect(0, 0, 8, 9))), std::invalid_argument);
    EXPECT_THROW(compute_zncc(cv::Mat(9, 9, CV_8UC1), a), std::invalid_argument);
    EXPECT_EQ(compute_zncc(cv::Mat(), a), 0.0);
}

// ---- both searches on known shifts --------------------------------------------------------

struct ShiftCase {
    int du, dv;  // true displacement
    int s, R, uc, vc;
};

std::ostream& operator<<(std::ostream& out, const ShiftCase& c) {
    return out << "du=" << c.du << " dv=" << c.dv << " s=" << c.s << " R=" << c.R << " uc=" << c.uc
               << " vc=" << c.vc;
}

class KnownShift : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(KnownShift, BothSearchesFindItExactly) {
    const ShiftCase& c = GetParam();
    const ShiftedPair pair = make_shifted_pair(90, 100, c.du, c.dv);
    for (const auto& [row, col] : {std::pair{45, 50}, std::pair{30, 62}, std::pair{58, 38}}) {
        SCOPED_TRACE(::testing::Message() << "row=" << row << " col=" << col);
        const IntegerSearchResult brute =
            brute_zncc_search(pair.reference, pair.deformed, row, col, c.s, c.R, c.uc, c.vc);
        const IntegerSearchResult templ =
            fft_zncc_search(pair.reference, pair.deformed, row, col, c.s, c.R, c.uc, c.vc);
        EXPECT_EQ(brute.u, c.du);
        EXPECT_EQ(brute.v, c.dv);
        EXPECT_GT(brute.zncc, kExactMatchZncc);
        EXPECT_TRUE(brute.valid);
        EXPECT_EQ(templ.u, c.du);
        EXPECT_EQ(templ.v, c.dv);
        EXPECT_NEAR(templ.zncc, brute.zncc, kFloatScoreTolerance);
        EXPECT_TRUE(templ.valid);
    }
}

INSTANTIATE_TEST_SUITE_P(
    IntegerSearch, KnownShift,
    ::testing::Values(ShiftCase{0, 0, 21, 5, 0, 0}, ShiftCase{3, -2, 21, 5, 0, 0},
                      ShiftCase{-5, 5, 21, 5, 0, 0},   // corner of the search area
                      ShiftCase{9, -7, 17, 3, 8, -6},  // off-centre search area
                      ShiftCase{4, 1, 20, 6, 0, 0},    // even subset
                      ShiftCase{-1, 2, 11, 12, 0, 0},  // range wider than the subset
                      ShiftCase{2, 3, 3, 4, 0, 0}));   // tiny subset

// ---- geometry at the borders ---------------------------------------------------------------

class ReferenceSubsetOutside : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ReferenceSubsetOutside, GivesStartRecords) {
    const ShiftedPair pair = make_shifted_pair(60, 70, 1, 1);
    const auto [row, col] = GetParam();
    expect_start_record(brute_zncc_search(pair.reference, pair.deformed, row, col, 21, 4, 0, 0),
                        -2.0);
    expect_start_record(fft_zncc_search(pair.reference, pair.deformed, row, col, 21, 4, 0, 0), 0.0);
}

// half = 10: rows 10..49 and columns 10..59 are the centres whose subset fits.
INSTANTIATE_TEST_SUITE_P(IntegerSearch, ReferenceSubsetOutside,
                         ::testing::Values(std::pair{9, 30}, std::pair{50, 30}, std::pair{30, 9},
                                           std::pair{30, 60}, std::pair{-1, -1},
                                           std::pair{1000, 1000}));

TEST(IntegerSearch, FindsPeakNextToImageBorder) {
    // The true block lies one pixel from the left and top borders; the window is clipped there.
    const ShiftedPair pair = make_shifted_pair(60, 70, -3, -2);
    const IntegerSearchResult brute =
        brute_zncc_search(pair.reference, pair.deformed, 13, 14, 21, 8, 0, 0);
    const IntegerSearchResult templ =
        fft_zncc_search(pair.reference, pair.deformed, 13, 14, 21, 8, 0, 0);
    EXPECT_EQ(brute.u, -3);
    EXPECT_EQ(brute.v, -2);
    EXPECT_EQ(templ.u, -3);
    EXPECT_EQ(templ.v, -2);
    EXPECT_TRUE(templ.valid);
}

TEST(IntegerSearch, EveryCandidateOutsideTheDeformedImage) {
    const ShiftedPair pair = make_shifted_pair(60, 70, 0, 0);
    // Search area centred 100 px to the right of a 70 px wide image.
    expect_start_record(brute_zncc_search(pair.reference, pair.deformed, 30, 30, 21, 5, 100, 0),
                        -2.0);
    // A deformed image smaller than the subset.
    const cv::Mat tiny = pair.deformed(cv::Rect(0, 0, 15, 15)).clone();
    expect_start_record(brute_zncc_search(pair.reference, tiny, 30, 30, 21, 5, 0, 0), -2.0);
}

// The eight search arguments after the two images.
struct SearchArgs {
    int row, col, s, R, uc, vc;
};

std::ostream& operator<<(std::ostream& out, const SearchArgs& a) {
    return out << "row=" << a.row << " col=" << a.col << " s=" << a.s << " R=" << a.R
               << " uc=" << a.uc << " vc=" << a.vc;
}

using FallbackCase = SearchArgs;

class WindowSmallerThanSubset : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(WindowSmallerThanSubset, TemplateSearchReturnsExhaustiveResult) {
    const ShiftedPair pair = make_shifted_pair(60, 70, 2, -1);
    const FallbackCase& c = GetParam();
    const IntegerSearchResult brute =
        brute_zncc_search(pair.reference, pair.deformed, c.row, c.col, c.s, c.R, c.uc, c.vc);
    const IntegerSearchResult templ =
        fft_zncc_search(pair.reference, pair.deformed, c.row, c.col, c.s, c.R, c.uc, c.vc);
    expect_same(templ, brute);
}

INSTANTIATE_TEST_SUITE_P(
    IntegerSearch, WindowSmallerThanSubset,
    ::testing::Values(FallbackCase{30, 30, 21, 3, -35, 0},    // window past the left border
                      FallbackCase{30, 30, 21, 3, 0, 35},     // past the bottom border
                      FallbackCase{30, 30, 21, 3, 42, 30},    // past the bottom-right corner
                      FallbackCase{30, 30, 21, -1, 0, 0},     // negative range: no candidate
                      FallbackCase{30, 30, 20, 3, -25, 0},    // even subset, 19 columns left
                      FallbackCase{30, 30, 11, 0, -26, 0}));  // 10 columns for 11

// ---- ties, signs and the even-size window -------------------------------------------------

TEST(IntegerSearch, TiesGoToSmallestVThenSmallestU) {
    // A texture repeating every 8 px: candidates 8 px apart are the same pixels and score
    // exactly alike, so only scan order can pick among (-8|0|8, -8|0|8).
    constexpr int kPeriod = 8;
    const cv::Mat tile = make_texture(kPeriod, kPeriod, 5);
    cv::Mat periodic;
    cv::repeat(tile, 10, 10, periodic);
    const IntegerSearchResult brute = brute_zncc_search(periodic, periodic, 40, 40, 11, 9, 0, 0);
    EXPECT_EQ(brute.u, -8);
    EXPECT_EQ(brute.v, -8);
    EXPECT_GT(brute.zncc, kExactMatchZncc);

    const cv::Mat flat(40, 40, CV_64FC1, cv::Scalar(7.0));
    const IntegerSearchResult on_flat = brute_zncc_search(flat, flat, 20, 20, 11, 3, 1, 0);
    EXPECT_EQ(on_flat.u, -2);
    EXPECT_EQ(on_flat.v, -3);
    EXPECT_EQ(on_flat.zncc, 0.0);
    EXPECT_TRUE(on_flat.valid);
}

TEST(IntegerSearch, NegativePeakIsValidOnlyForExhaustiveSearch) {
    const ShiftedPair pair = make_shifted_pair(60, 70, 2, 0);
    const cv::Mat negative = 255.0 - pair.deformed;
    // Range 0: the one candidate is the true match with its contrast inverted.
    const IntegerSearchResult brute =
        brute_zncc_search(pair.reference, negative, 30, 30, 21, 0, 2, 0);
    const IntegerSearchResult templ =
        fft_zncc_search(pair.reference, negative, 30, 30, 21, 0, 2, 0);
    EXPECT_TRUE(brute.valid);
    EXPECT_NEAR(brute.zncc, -1.0, 1e-12);
    EXPECT_FALSE(templ.valid);
    EXPECT_EQ(templ.u, 2);
    EXPECT_EQ(templ.v, 0);
    EXPECT_NEAR(templ.zncc, -1.0, kFloatScoreTolerance);
}

TEST(IntegerSearch, EvenSubsetWindowReachesOnePixelFurther) {
    // True shift one past the search area (R = 3) on both axes.
    const ShiftedPair pair = make_shifted_pair(60, 70, 4, 4);
    const IntegerSearchResult templ =
        fft_zncc_search(pair.reference, pair.deformed, 30, 30, 20, 3, 0, 0);
    const IntegerSearchResult brute =
        brute_zncc_search(pair.reference, pair.deformed, 30, 30, 20, 3, 0, 0);
    EXPECT_EQ(templ.u, 4);
    EXPECT_EQ(templ.v, 4);
    EXPECT_LE(brute.u, 3);
    EXPECT_LE(brute.v, 3);
}

TEST(IntegerSearch, NanScoresNeverWin) {
    const ShiftedPair pair = make_shifted_pair(60, 70, 1, 1);
    cv::Mat deformed = pair.deformed.clone();
    // Row 43 lies in the blocks of candidates v >= 3 only (rows 20 + v .. 40 + v); the true
    // block (v = 1) stays clean.
    deformed.at<double>(43, 31) = std::numeric_limits<double>::quiet_NaN();
    const IntegerSearchResult brute =
        brute_zncc_search(pair.reference, deformed, 30, 30, 21, 4, 0, 0);
    EXPECT_EQ(brute.u, 1);
    EXPECT_EQ(brute.v, 1);
    EXPECT_FALSE(std::isnan(brute.zncc));
}

TEST(IntegerSearch, RegionsOfLargerImagesSearchLikeCopies) {
    const ShiftedPair pair = make_shifted_pair(80, 90, -2, 3);
    const cv::Rect inner(5, 7, 70, 60);
    const cv::Mat reference = pair.reference(inner);
    const cv::Mat deformed = pair.deformed(inner);
    expect_same(brute_zncc_search(reference, deformed, 30, 30, 15, 4, 0, 0),
                brute_zncc_search(reference.clone(), deformed.clone(), 30, 30, 15, 4, 0, 0));
    expect_same(fft_zncc_search(reference, deformed, 30, 30, 15, 4, 0, 0),
                fft_zncc_search(reference.clone(), deformed.clone(), 30, 30, 15, 4, 0, 0));
}

TEST(IntegerSearch, ImagesOfOtherTypesAreRejected) {
    const cv::Mat grey = make_texture(40, 40, 1);
    cv::Mat bytes;
    grey.convertTo(bytes, CV_8U);
    EXPECT_THROW(brute_zncc_search(bytes, grey, 20, 20, 11, 3, 0, 0), std::invalid_argument);
    EXPECT_THROW(brute_zncc_search(grey, bytes, 20, 20, 11, 3, 0, 0), std::invalid_argument);
    EXPECT_THROW(fft_zncc_search(grey, bytes, 20, 20, 11, 3, 0, 0), std::invalid_argument);
    // An empty image is no type error: there is simply nothing to match.
    expect_start_record(brute_zncc_search(grey, cv::Mat(), 20, 20, 11, 3, 0, 0), -2.0);
    expect_start_record(fft_zncc_search(cv::Mat(), grey, 20, 20, 11, 3, 0, 0), 0.0);
}

// ---- mends: sizes, ranges and centres the int arithmetic cannot hold ----------------------

class SubsetSizeNotPositive : public ::testing::TestWithParam<int> {};

TEST_P(SubsetSizeNotPositive, GivesStartRecord) {
    const ShiftedPair pair = make_shifted_pair(40, 40, 0, 0);
    expect_start_record(
        brute_zncc_search(pair.reference, pair.deformed, 20, 20, GetParam(), 3, 0, 0), -2.0);
    expect_start_record(fft_zncc_search(pair.reference, pair.deformed, 20, 20, GetParam(), 3, 0, 0),
                        0.0);
}

INSTANTIATE_TEST_SUITE_P(IntegerSearch, SubsetSizeNotPositive,
                         ::testing::Values(0, -1, -2, -21, INT_MIN));

TEST(IntegerSearch, EnormousRangeIsBoundedByTheImage) {
    // Without cutting the range to the image this scans 2^64 candidates.
    const ShiftedPair pair = make_shifted_pair(48, 52, 3, -4);
    const IntegerSearchResult whole_image =
        brute_zncc_search(pair.reference, pair.deformed, 24, 26, 11, 60, 0, 0);
    EXPECT_EQ(whole_image.u, 3);
    EXPECT_EQ(whole_image.v, -4);
    for (const int centre : {0, 5, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(centre);
        const int R = INT_MAX;
        const IntegerSearchResult brute =
            brute_zncc_search(pair.reference, pair.deformed, 24, 26, 11, R, centre, centre);
        const IntegerSearchResult templ =
            fft_zncc_search(pair.reference, pair.deformed, 24, 26, 11, R, centre, centre);
        if (centre == 0 || centre == 5) {
            expect_same(brute, whole_image);
            EXPECT_EQ(templ.u, 3);
            EXPECT_EQ(templ.v, -4);
        } else {
            // uc +- R still covers only one side of the image: some candidates, no overflow.
            EXPECT_TRUE(brute.valid);
        }
    }
}

using ExtremeCase = SearchArgs;

class ExtremeArguments : public ::testing::TestWithParam<ExtremeCase> {};

TEST_P(ExtremeArguments, DoNotOverflowOrCrash) {
    const ShiftedPair pair = make_shifted_pair(40, 44, 1, 1);
    const ExtremeCase& c = GetParam();
    const IntegerSearchResult brute =
        brute_zncc_search(pair.reference, pair.deformed, c.row, c.col, c.s, c.R, c.uc, c.vc);
    const IntegerSearchResult templ =
        fft_zncc_search(pair.reference, pair.deformed, c.row, c.col, c.s, c.R, c.uc, c.vc);
    // Whatever wins must be a candidate whose block lies in the 40 x 44 image.
    if (brute.valid) {
        EXPECT_GE(20 + brute.v, 0);
        EXPECT_LT(20 + brute.v, 40);
        EXPECT_GE(22 + brute.u, 0);
        EXPECT_LT(22 + brute.u, 44);
    }
    EXPECT_LE(std::abs(templ.u), 44);
    EXPECT_LE(std::abs(templ.v), 40);
}

INSTANTIATE_TEST_SUITE_P(IntegerSearch, ExtremeArguments,
                         ::testing::Values(ExtremeCase{INT_MAX, INT_MAX, 11, 3, 0, 0},
                                           ExtremeCase{INT_MIN, INT_MIN, 11, 3, 0, 0},
                                           ExtremeCase{INT_MAX, 22, INT_MAX, 3, 0, 0},
                                           ExtremeCase{20, 22, INT_MAX, INT_MAX, INT_MAX, INT_MAX},
                                           ExtremeCase{20, 22, 11, INT_MAX, INT_MIN, INT_MAX},
                                           ExtremeCase{20, 22, 11, INT_MIN, 0, 0},
                                           ExtremeCase{20, 22, 11, INT_MIN, INT_MIN, INT_MIN},
                                           ExtremeCase{20, 22, 11, 3, INT_MAX, INT_MIN},
                                           ExtremeCase{20, 22, 11, 3, INT_MIN, INT_MAX},
                                           ExtremeCase{20, 22, 11, INT_MAX, INT_MAX, INT_MIN}));

}  // namespace
}  // namespace morvex::dic
