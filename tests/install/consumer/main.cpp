// Uses the installed headers and library; exits 0 only on the expected answers.
#include <cmath>
#include <cstdio>

#include <opencv2/core.hpp>

#include <morvex/dic.hpp>

int main() {
    using namespace morvex::dic;

    if (morvex::kVersionMajor != MORVEX_PACKAGE_VERSION_MAJOR ||
        morvex::kVersionMinor != MORVEX_PACKAGE_VERSION_MINOR) {
        std::fprintf(stderr, "version header %s does not match the package\n", morvex::kVersion);
        return 1;
    }

    // A 16-bit grey ramp: 257 * k must come back as k on the 0..255 scale.
    cv::Mat ramp(4, 5, CV_16UC1);
    for (int i = 0; i < 20; ++i) {
        ramp.at<unsigned short>(i / 5, i % 5) = static_cast<unsigned short>(257 * i);
    }
    const cv::Mat grey = to_gray_double(ramp);
    if (grey.type() != CV_64FC1 || grey.at<double>(3, 4) != 19.0) {
        std::fprintf(stderr, "to_gray_double gave an unexpected image\n");
        return 1;
    }

    // ZNCC ignores gain and offset: the ramp against 2 * ramp + 1 scores 1.
    const cv::Mat brighter = 2.0 * grey + 1.0;
    const double zncc = compute_zncc(grey, brighter);
    if (std::abs(zncc - 1.0) > 1e-12) {
        std::fprintf(stderr, "compute_zncc gave %.17g, expected 1\n", zncc);
        return 1;
    }

    // The records come with the library's defaults.
    if (DICConfig{}.subset_size != 29) {
        std::fprintf(stderr, "unexpected DICConfig default\n");
        return 1;
    }
    std::printf("morvex %s: consumer OK\n", morvex::kVersion);
    return 0;
}
