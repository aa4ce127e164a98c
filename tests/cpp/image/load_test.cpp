#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/image.hpp>

#include "support/temp_folder.h"

namespace morvex::dic {
namespace {

namespace fs = std::filesystem;

// 1/257 written out: the grey level of a 16-bit pixel of 1.
constexpr double kOneIn16Bit = 0.0038910505836575876;

// Each test writes its files into a folder of its own, removed afterwards.
class LoadImage : public ::testing::Test {
protected:
    std::string write(const std::string& name, const cv::Mat& image) const {
        const std::string path = folder_.file(name);
        EXPECT_TRUE(cv::imwrite(path, image)) << path;
        return path;
    }
    morvex::test::TempFolder folder_{"morvex-load"};
};

cv::Mat random_colour(int depth, int channels, int rows = 9, int cols = 11) {
    cv::Mat image(rows, cols, CV_MAKETYPE(depth, channels));
    cv::RNG rng(7);
    rng.fill(image, cv::RNG::UNIFORM, 0, depth == CV_8U ? 256 : 65536);
    return image;
}

void expect_equal_images(const cv::Mat& actual, const cv::Mat& expected) {
    ASSERT_EQ(actual.type(), CV_64FC1);
    ASSERT_EQ(actual.size(), expected.size());
    EXPECT_EQ(cv::norm(actual, expected, cv::NORM_INF), 0.0);
}

TEST_F(LoadImage, Grey8BitKeepsLevels) {
    const cv::Mat pixels = (cv::Mat_<std::uint8_t>(1, 3) << 0, 17, 255);
    const cv::Mat grey = load_image_gray(write("grey8.png", pixels));
    ASSERT_EQ(grey.type(), CV_64FC1);
    EXPECT_TRUE(grey.isContinuous());
    EXPECT_EQ(grey.at<double>(0, 0), 0.0);
    EXPECT_EQ(grey.at<double>(0, 1), 17.0);
    EXPECT_EQ(grey.at<double>(0, 2), 255.0);
}

TEST_F(LoadImage, Grey16BitScalesTo255) {
    const cv::Mat pixels = (cv::Mat_<std::uint16_t>(1, 3) << 65535, 257, 1);
    const cv::Mat grey = load_image_gray(write("grey16.png", pixels));
    ASSERT_EQ(grey.type(), CV_64FC1);
    EXPECT_EQ(grey.at<double>(0, 0), 255.0);
    EXPECT_EQ(grey.at<double>(0, 1), 1.0);
    EXPECT_EQ(grey.at<double>(0, 2), kOneIn16Bit);
}

TEST_F(LoadImage, ColourRoundsToIntegerGreyAtSourceDepth) {
    const cv::Mat colour = random_colour(CV_8U, 3);
    const cv::Mat grey = load_image_gray(write("colour8.png", colour));
    cv::Mat expected;
    cv::cvtColor(colour, expected, cv::COLOR_BGR2GRAY);
    expected.convertTo(expected, CV_64F);
    expect_equal_images(grey, expected);
}

TEST_F(LoadImage, Colour16BitConvertsThenScales) {
    const cv::Mat colour = random_colour(CV_16U, 3);
    const cv::Mat grey = load_image_gray(write("colour16.png", colour));
    cv::Mat expected;
    cv::cvtColor(colour, expected, cv::COLOR_BGR2GRAY);
    expected.convertTo(expected, CV_64F, kOneIn16Bit);
    expect_equal_images(grey, expected);
}

TEST_F(LoadImage, AlphaChannelIsIgnored) {
    const cv::Mat colour = random_colour(CV_8U, 3);
    cv::Mat alpha(colour.size(), CV_8UC1);
    cv::randu(alpha, 0, 256);
    cv::Mat with_alpha;
    cv::merge(std::vector<cv::Mat>{colour, alpha}, with_alpha);
    expect_equal_images(load_image_gray(write("bgra.png", with_alpha)),
                        load_image_gray(write("bgr.png", colour)));
}

TEST_F(LoadImage, FloatFileKeepsItsScale) {
    const cv::Mat pixels = (cv::Mat_<float>(1, 3) << 0.0f, 0.25f, 1.0f);
    const cv::Mat grey = load_image_gray(write("float.tiff", pixels));
    ASSERT_EQ(grey.type(), CV_64FC1);
    EXPECT_EQ(grey.at<double>(0, 1), 0.25);
    EXPECT_EQ(grey.at<double>(0, 2), 1.0);
}

TEST_F(LoadImage, NonAsciiFileNameLoads) {
    const cv::Mat pixels = (cv::Mat_<std::uint8_t>(1, 2) << 3, 4);
    const cv::Mat grey =
        load_image_gray(write("d\xC3\xA9"
                              "formation.png",
                              pixels));
    EXPECT_EQ(grey.at<double>(0, 1), 4.0);
}

void expect_load_failure(const std::string& path) {
    try {
        load_image_gray(path);
        ADD_FAILURE() << "no exception for " << path;
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to load image: " + path);
    }
}

TEST_F(LoadImage, MissingFileNamesThePathVerbatim) {
    expect_load_failure(folder_.file("missing.png"));
    expect_load_failure(
        folder_.file("\xC3\xA9prouvette \xE2\x84\x96"
                     "2.png"));
    expect_load_failure("");
}

TEST_F(LoadImage, UndecodableFileFails) {
    const std::string path = folder_.file("not-an-image.png");
    std::ofstream(path) << "plain text, not pixels\n";
    expect_load_failure(path);
}

// Found by fuzzing: the image library stops at the NUL and loaded "grey.png" instead.
TEST_F(LoadImage, EmbeddedNulPathIsRefusedNotTruncated) {
    const std::string real = write("grey.png", cv::Mat(3, 4, CV_8UC1, cv::Scalar(9)));
    try {
        load_image_gray(real + std::string(1, '\0') + ".tif");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to load image: " + real + "\\0.tif");
    }
}

class UnsupportedChannels : public ::testing::TestWithParam<int> {};

TEST_P(UnsupportedChannels, Throw) {
    cv::Mat image(4, 4, CV_8UC(GetParam()));
    // Filled by hand: cv::Scalar holds at most four channels.
    std::fill(image.data, image.data + image.total() * image.elemSize(), std::uint8_t{1});
    try {
        to_gray_double(image);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Unsupported channel count in image");
    }
}

INSTANTIATE_TEST_SUITE_P(ToGrayDouble, UnsupportedChannels, ::testing::Values(2, 5));

class EmptyMatrix : public ::testing::TestWithParam<int> {};

TEST_P(EmptyMatrix, GivesEmptyImage) {
    const cv::Mat grey = to_gray_double(cv::Mat(0, 0, GetParam()));
    EXPECT_TRUE(grey.empty());
}

INSTANTIATE_TEST_SUITE_P(ToGrayDouble, EmptyMatrix,
                         ::testing::Values(CV_8UC1, CV_64FC1, CV_8UC3, CV_16UC4));

// Found by fuzzing: one channel came back as a 3-D "grey image" with rows = cols = -1, and
// the colour conversion silently read only the first plane.
class ThreeDimensionalMatrix : public ::testing::TestWithParam<int> {};

TEST_P(ThreeDimensionalMatrix, IsRefusedNamingItsDimensions) {
    const int sizes[] = {2, 3, 5};
    const cv::Mat volume(3, sizes, GetParam(), cv::Scalar::all(7));
    try {
        to_gray_double(volume);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(),
                     "to_gray_double: expected a two-dimensional matrix, got 3 dimensions");
    }
    const int empty_sizes[] = {0, 3, 5};
    EXPECT_TRUE(to_gray_double(cv::Mat(3, empty_sizes, GetParam())).empty());
}

INSTANTIATE_TEST_SUITE_P(ToGrayDouble, ThreeDimensionalMatrix,
                         ::testing::Values(CV_8UC1, CV_64FC1, CV_8UC3, CV_16UC4));

// One-channel sources other than 16-bit unsigned keep their values, whatever their range.
class KeepsValues : public ::testing::TestWithParam<int> {};

TEST_P(KeepsValues, OneChannel) {
    const cv::Mat source64 = (cv::Mat_<double>(2, 3) << 0.0, 0.25, 1.0, -3.0, 100.0, 127.0);
    cv::Mat source;
    source64.convertTo(source, GetParam());
    const cv::Mat grey = to_gray_double(source);
    ASSERT_EQ(grey.type(), CV_64FC1);
    cv::Mat expected;
    source.convertTo(expected, CV_64F);
    expect_equal_images(grey, expected);
}

INSTANTIATE_TEST_SUITE_P(ToGrayDouble, KeepsValues,
                         ::testing::Values(CV_8S, CV_16S, CV_32S, CV_16F, CV_32F, CV_64F));

TEST(ToGrayDouble, ResultNeverAliasesInput) {
    cv::Mat source(3, 3, CV_64FC1, cv::Scalar(5.0));
    cv::Mat grey = to_gray_double(source);
    grey.setTo(9.0);
    EXPECT_EQ(source.at<double>(1, 1), 5.0);
}

TEST(ToGrayDouble, RegionOfLargerImageGivesContinuousCopy) {
    cv::Mat parent(6, 8, CV_8UC1);
    cv::randu(parent, 0, 256);
    const cv::Mat region = parent(cv::Rect(2, 1, 4, 3));
    const cv::Mat grey = to_gray_double(region);
    EXPECT_TRUE(grey.isContinuous());
    cv::Mat expected;
    region.convertTo(expected, CV_64F);
    expect_equal_images(grey, expected);
}

TEST(ToGrayDouble, ColourDepthTheConverterRefusesPassesItsError) {
    EXPECT_THROW(to_gray_double(cv::Mat(2, 2, CV_64FC3, cv::Scalar::all(1.0))), cv::Exception);
}

}  // namespace
}  // namespace morvex::dic
