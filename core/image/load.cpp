#include <morvex/image.hpp>

#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace morvex::dic {
namespace {

// 255/65535: puts 16-bit sources on the same 0..255 scale as 8-bit ones.
constexpr double kScale16U = 1.0 / 257.0;

}  // namespace

cv::Mat load_image_gray(const std::string& path) {
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
