#include <morvex/image.hpp>

#include <stdexcept>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace morvex::dic {
namespace {

// 255/65535: puts 16-bit sources on the same 0..255 scale as 8-bit ones.
constexpr double kScale16U = 1.0 / 257.0;

}  // namespace

cv::Mat load_image_gray(const std::string& path) {
    // The image library takes a C string: an embedded NUL would open a different file than
    // the one named. The message shows the NUL as \0: what() would end the text there.
    if (path.find('\0') != std::string::npos) {
        std::string shown = path;
        for (std::size_t at = shown.find('\0'); at != std::string::npos;
             at = shown.find('\0', at + 2))
            shown.replace(at, 1, "\\0");
        throw std::runtime_error("Failed to load image: " + shown);
    }
    // UNCHANGED keeps the file's bit depth and channels; a few decoders only answer to the
    // grey flag, hence the second attempt.
    cv::Mat raw = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (raw.empty()) {
        raw = cv::imread(path, cv::IMREAD_GRAYSCALE);
    }
    if (raw.empty()) {
        throw std::runtime_error("Failed to load image: " + path);
    }
    return to_gray_double(raw);
}

cv::Mat to_gray_double(const cv::Mat& image) {
    const int channels = image.channels();
    if (channels != 1 && channels != 3 && channels != 4) {
        throw std::runtime_error("Unsupported channel count in image");
    }
    // The colour conversion refuses empty input; an empty matrix of any accepted channel
    // count is simply an empty image.
    if (image.empty()) {
        return cv::Mat(0, 0, CV_64FC1);
    }
    // A grey image has rows and columns only: one channel of a 3-D matrix would come back
    // as a 3-D matrix, and the colour conversion would read just its first plane.
    if (image.dims != 2) {
        throw std::invalid_argument("to_gray_double: expected a two-dimensional matrix, got " +
                                    std::to_string(image.dims) + " dimensions");
    }

    // One channel needs no intermediate copy: convertTo below always writes a new matrix.
    cv::Mat grey;
    if (channels == 1) {
        grey = image;
    } else {
        // At the source depth, so integer colour images round to integer grey levels first;
        // with four channels the same conversion reads B, G, R and skips alpha.
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    }

    const double factor = grey.depth() == CV_16U ? kScale16U : 1.0;
    cv::Mat result;
    grey.convertTo(result, CV_64F, factor, 0.0);
    return result;
}

}  // namespace morvex::dic
