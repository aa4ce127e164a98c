// load_image_gray on arbitrary file contents, written to a scratch file first (the
// function takes a path). Formats are whatever the image library decodes: PNG, TIFF, BMP,
// JPEG, the portable any-maps, Sun raster, WebP, ... . Documented outcomes: a non-empty,
// continuous CV_64FC1 grey image, "Failed to load image: <path>", "Unsupported channel
// count in image", or OpenCV's own exception for a colour depth its conversion refuses.
//
// Decoded images are limited to 2^20 pixels (OPENCV_IO_MAX_IMAGE_PIXELS; the library's own
// default is 2^30): a 20-byte header may announce a gigapixel image, whose allocation and
// decoding are the image library's cost, not a fault of ours, and would read as a hang.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>

#include <morvex/image.hpp>

#include "fuzz_support.h"

using namespace morvex;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("OPENCV_IO_MAX_IMAGE_PIXELS", "1048576", 1);
    ::setenv("OPENCV_LOG_LEVEL", "SILENT", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::scratch_dir() + "/image";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    MORVEX_FUZZ_CHECK(file != nullptr, "cannot write the scratch image");
    MORVEX_FUZZ_CHECK(std::fwrite(data, 1, size, file) == size, "cannot write the scratch image");
    std::fclose(file);

    cv::Mat grey;
    try {
        grey = dic::load_image_gray(path);
    } catch (const std::runtime_error& error) {
        const std::string message = error.what();
        MORVEX_FUZZ_CHECK(message == "Failed to load image: " + path ||
                              message == "Unsupported channel count in image",
                          "load_image_gray fails only with its documented messages");
        return 0;
    } catch (const cv::Exception& error) {
        // Only the colour conversion's refusal of a depth is documented to pass through.
        MORVEX_FUZZ_CHECK(error.code == cv::Error::StsAssert || error.code == cv::Error::BadDepth ||
                              error.code == cv::Error::StsBadArg,
                          "OpenCV's exception comes from the colour conversion");
        return 0;
    }
    MORVEX_FUZZ_CHECK(!grey.empty(), "a decoded file gives a non-empty image");
    MORVEX_FUZZ_CHECK(grey.type() == CV_64FC1 && grey.dims == 2 && grey.isContinuous(),
                      "a decoded file gives a continuous two-dimensional grey image");
    return 0;
}
