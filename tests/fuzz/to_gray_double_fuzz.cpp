// to_gray_double on matrices of every depth, 1 to 6 channels, two or three dimensions,
// continuous or not, filled with arbitrary bytes (so NaN and infinite floats too).
// Documented outcomes: a new, continuous CV_64FC1 grey image of the input's rows and
// columns; "Unsupported channel count in image" for 2, 5 or 6 channels; std::invalid_argument
// for a non-empty matrix of three dimensions; OpenCV's own exception for a colour depth its
// conversion refuses.

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>

#include <morvex/image.hpp>

#include "fuzz_cases.h"
#include "fuzz_support.h"

namespace {

using namespace morvex;

cv::Mat make_matrix(const fuzz::GrayCase& c) {
    const int type = CV_MAKETYPE(c.depth % 8, 1 + c.channels % 6);
    const int rows = c.rows % 33;
    const int cols = c.cols % 33;
    const bool three_d = c.dims % 2 == 1;
    const bool view = c.view % 2 == 1;
    cv::Mat m;
    if (three_d) {
        const int sizes[] = {c.layers % 33, rows, cols};
        m.create(3, sizes, type);
    } else {
        m.create(rows + (view ? 2 : 0), cols + (view ? 3 : 0), type);
    }
    // Fill the whole allocation, so a window's surroundings hold values too.
    const std::size_t bytes = m.total() * m.elemSize();
    for (std::size_t k = 0; k < bytes; ++k)
        m.data[k] = c.bytes.empty() ? 0 : c.bytes[k % c.bytes.size()];
    if (view && !three_d) m = m(cv::Rect(1, 1, cols, rows));
    return m;
}

// Byte equality (NaN payloads included), row by row for a window.
bool same_bytes(const cv::Mat& a, const cv::Mat& b) {
    if (a.isContinuous() && b.isContinuous())
        return std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
    for (int r = 0; r < a.rows; ++r)
        if (std::memcmp(a.ptr(r), b.ptr(r), static_cast<std::size_t>(a.cols) * a.elemSize()) != 0)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::GrayCase c;
    fuzz::ByteReader reader(data, size);
    fuzz::visit_gray(reader, c);
    const cv::Mat image = make_matrix(c);
    const cv::Mat before = image.clone();

    cv::Mat grey;
    try {
        grey = dic::to_gray_double(image);
    } catch (const std::runtime_error& error) {
        const int channels = image.channels();
        MORVEX_FUZZ_CHECK(std::string(error.what()) == "Unsupported channel count in image" &&
                              channels != 1 && channels != 3 && channels != 4,
                          "only 2, 5 or 6 channels are refused with the channel-count message");
        return 0;
    } catch (const std::invalid_argument&) {
        MORVEX_FUZZ_CHECK(image.dims > 2 && !image.empty(),
                          "only a non-empty matrix of more than two dimensions is refused as such");
        return 0;
    } catch (const cv::Exception&) {
        const int depth = image.depth();
        MORVEX_FUZZ_CHECK(
            image.channels() > 1 && depth != CV_8U && depth != CV_16U && depth != CV_32F,
            "OpenCV refuses only colour depths its conversion lacks");
        return 0;
    }

    MORVEX_FUZZ_CHECK(grey.type() == CV_64FC1, "the result is one channel of 64-bit floats");
    MORVEX_FUZZ_CHECK(grey.dims == 2, "the result is a two-dimensional image");
    MORVEX_FUZZ_CHECK(grey.isContinuous(), "the result is continuous");
    if (image.empty()) {
        MORVEX_FUZZ_CHECK(grey.empty(), "an empty matrix gives an empty image");
        return 0;
    }
    MORVEX_FUZZ_CHECK(grey.rows == image.rows && grey.cols == image.cols,
                      "the result has the input's rows and columns");
    MORVEX_FUZZ_CHECK(grey.data != image.data, "the result does not alias the input");
    MORVEX_FUZZ_CHECK(same_bytes(before, image), "the input is left unchanged");
    if (image.channels() == 1 && image.depth() == CV_8U) {
        for (int r = 0; r < image.rows; ++r)
            for (int col = 0; col < image.cols; ++col)
                MORVEX_FUZZ_CHECK(grey.at<double>(r, col) == image.at<std::uint8_t>(r, col),
                                  "8-bit grey levels keep their values");
    }
    return 0;
}
