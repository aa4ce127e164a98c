#include <morvex/speckle.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace morvex::dic {
namespace {

constexpr int kHistogramBins = 256;
// Grey-level units: a pixel counts as textured when its Sobel magnitude is > 5.0.
constexpr double kCoverageGradient = 5.0;
constexpr int kMinSubsetSize = 2;
constexpr int kMinRecommendedSubset = 15;
constexpr int kMaxRecommendedSubset = 61;
// Speckle radius assumed when the autocorrelation gives no usable lag.
constexpr int kDefaultSpeckleLag = 2;

// Shannon entropy, in bits, of the 8-bit grey-level histogram. Values outside 0..255
// saturate into the first or last bin.
double grey_entropy(const cv::Mat& image) {
    cv::Mat bytes;
    image.convertTo(bytes, CV_8U, 1.0, 0.0);
    const int channels[] = {0};
    const int bins[] = {kHistogramBins};
    const float range[] = {0.0f, static_cast<float>(kHistogramBins)};
    const float* ranges[] = {range};
    cv::Mat histogram;
    cv::calcHist(&bytes, 1, channels, cv::Mat(), histogram, 1, bins, ranges, true, false);
    histogram /= static_cast<double>(image.total());

    // Terms in single precision (log2f) summed in double, bin by bin.
    double sum = 0.0;
    for (int i = 0; i < kHistogramBins; ++i) {
        const float p = histogram.at<float>(i);
        if (p > 0.0f) {
            sum += static_cast<double>(p * ::log2f(p));
        }
    }
    return -sum;
}

// Mean over a lattice of spacing h = subset_size / 2 of each subset's summed squared
// gradient divided by subset_size^2 (not by (2h + 1)^2, which differs for even sizes).
double subset_gradient_energy(const cv::Mat& gx, const cv::Mat& gy, int subset_size) {
    const int h = subset_size / 2;
    const cv::Mat energy = gx.mul(gx) + gy.mul(gy);
    const double area = static_cast<double>(subset_size) * subset_size;
    double total = 0.0;
    int count = 0;
    // cy < rows - h keeps cy + h inside the image, and cy += h cannot overflow.
    for (int cy = h; cy < energy.rows - h; cy += h) {
        for (int cx = h; cx < energy.cols - h; cx += h) {
            const cv::Rect window(cx - h, cy - h, 2 * h + 1, 2 * h + 1);
            total += cv::sum(energy(window))[0] / area;
            ++count;
        }
    }
    return count > 0 ? total / count : 0.0;
}

}  // namespace

SpeckleQuality assess_speckle_quality(const cv::Mat& image, int subset_size) {
    // A lattice spacing of subset_size / 2 = 0 would never advance.
    if (subset_size < kMinSubsetSize) {
        throw std::invalid_argument("assess_speckle_quality: subset_size must be at least 2, got " +
                                    std::to_string(subset_size));
    }

    // Gradients first: OpenCV rejects an empty image here, before any per-pixel average
    // would divide by zero.
    cv::Mat grey;
    image.convertTo(grey, CV_64F, 1.0, 0.0);
    cv::Mat gx;
    cv::Mat gy;
    cv::Sobel(grey, gx, CV_64F, 1, 0, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Sobel(grey, gy, CV_64F, 0, 1, 3, 1.0, 0.0, cv::BORDER_DEFAULT);
    cv::Mat magnitude;
    cv::magnitude(gx, gy, magnitude);
    const double pixels = static_cast<double>(image.total());

    SpeckleQuality quality;
    quality.entropy = grey_entropy(image);
    quality.mean_gradient = cv::sum(magnitude)[0] / pixels;
    quality.sssig = subset_gradient_energy(gx, gy, subset_size);

    // Michelson contrast on the values as given, not on the 8-bit copy.
    double min_value = 0.0;
    double max_value = 0.0;
    cv::minMaxLoc(image, &min_value, &max_value);
    const double level_sum = max_value + min_value;
    quality.contrast = level_sum > 0.0 ? (max_value - min_value) / level_sum : 0.0;

    const cv::Mat textured = magnitude > kCoverageGradient;
    quality.coverage = cv::countNonZero(textured) / pixels;
    quality.recommended_subset = recommend_subset_size(image);
    return quality;
}

int recommend_subset_size(const cv::Mat& image) {
    cv::Mat grey;
    image.convertTo(grey, CV_64F, 1.0, 0.0);
    cv::Mat zero_mean;
    cv::subtract(grey, cv::mean(grey), zero_mean);

    // Wiener-Khinchin: the circular autocorrelation is the inverse transform of the
    // power spectrum. No padding, so lags wrap around the image.
    cv::Mat spectrum;
    cv::dft(zero_mean, spectrum, cv::DFT_COMPLEX_OUTPUT);
    cv::Mat power;
    cv::mulSpectrums(spectrum, spectrum, power, 0, true);
    cv::Mat autocorrelation;
    cv::idft(power, autocorrelation, cv::DFT_SCALE | cv::DFT_REAL_OUTPUT);
    autocorrelation /= static_cast<double>(image.total());

    // The speckle size is the first vertical lag where the correlation drops strictly
    // below half its zero-lag value; a drop within one pixel counts as 2.
    const double threshold = 0.5 * autocorrelation.at<double>(0, 0);
    const int limit = std::min(image.rows, image.cols) / 4;
    int lag = kDefaultSpeckleLag;
    for (int k = 1; k < limit; ++k) {
        if (autocorrelation.at<double>(k, 0) < threshold) {
            lag = k == 1 ? kDefaultSpeckleLag : k;
            break;
        }
    }

    int size = 10 * lag;
    size = std::min(size, kMaxRecommendedSubset);
    size = std::max(size, kMinRecommendedSubset);
    if (size % 2 == 0) {
        ++size;
    }
    return size;
}

}  // namespace morvex::dic
