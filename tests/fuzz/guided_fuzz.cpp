// The guided path on pairs of at most 64 x 64 pixels with arbitrary configurations: a
// ReferenceImage, then correlate_guided once, twice (the second from the first result), or a
// fixed or incremental GuidedSequence of two frames.
//
// Every configuration value reaches the library as decoded, except where a legitimate run
// would take seconds and so read as a hang (the clamps keep one run, under the sanitizers,
// well under a second):
//   - the region of interest is clamped to [-8, 72] per coordinate;
//   - step is raised (doubled) until the region holds at most kMaxGridPoints grid points;
//   - max_iterations to at most 50 (the default);
//   - threads to at most 2 (this machine's cores; more only adds thread start-up).
// Documented outcomes: std::invalid_argument before any work, or a result whose arrays all
// hold rows * cols values, valid exactly where the status is kConverged, and finite values
// with a ZNCC of at least min_zncc at valid points.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include <opencv2/core.hpp>

#include <morvex/guided.hpp>

#include "fuzz_cases.h"
#include "fuzz_support.h"

namespace {

using namespace morvex;

constexpr int kRoiLow = -8;
constexpr int kRoiHigh = fuzz::kMaxImageSide + 8;
constexpr int kMaxIterations = 50;
constexpr int kMaxThreads = 2;
constexpr std::int64_t kMaxGridPoints = 36;
constexpr int kLastStatus = static_cast<int>(dic::GuidedStatus::kCrossesDiscontinuity);

// An upper bound of the grid's point count: the region's extent over the step, margins
// ignored.
std::int64_t grid_bound(const cv::Mat& reference, const dic::GuidedConfig& c) {
    std::int64_t x0 = 0, y0 = 0, x1 = reference.cols - 1, y1 = reference.rows - 1;
    if (c.roi_x0 >= 0 && c.roi_y0 >= 0 && c.roi_x1 > c.roi_x0 && c.roi_y1 > c.roi_y0) {
        x0 = c.roi_x0;
        y0 = c.roi_y0;
        x1 = c.roi_x1;
        y1 = c.roi_y1;
    }
    return ((x1 - x0) / c.step + 1) * ((y1 - y0) / c.step + 1);
}

void clamp_config(const cv::Mat& reference, dic::GuidedConfig& c) {
    for (int* roi : {&c.roi_x0, &c.roi_y0, &c.roi_x1, &c.roi_y1})
        *roi = std::clamp(*roi, kRoiLow, kRoiHigh);
    c.max_iterations = std::min(c.max_iterations, kMaxIterations);
    c.threads = std::min(c.threads, kMaxThreads);
    if (c.step < 1) return;  // refused; nothing to bound
    while (grid_bound(reference, c) > kMaxGridPoints &&
           c.step <= std::numeric_limits<int>::max() / 2)
        c.step *= 2;
}

cv::Mat make_mask(const fuzz::GuidedCase& c, const cv::Mat& reference) {
    cv::Mat mask;
    switch (c.mask_kind % 5) {
        case 1: {
            if (reference.empty()) break;  // refused with the reference itself
            mask.create(reference.rows, reference.cols, CV_8UC1);
            cv::RNG rng(c.mask_seed);
            // Mostly specimen with holes and a random half plane of background.
            rng.fill(mask, cv::RNG::UNIFORM, 0, 8);
            mask = mask > 0;
            if (c.mask_seed & 1) mask(cv::Rect(0, 0, mask.cols / 2, mask.rows)).setTo(0);
            break;
        }
        case 2:
            mask = cv::Mat::zeros(reference.rows, reference.cols, CV_8UC1);
            break;
        case 3:
            mask = cv::Mat::ones(reference.rows + 1, reference.cols, CV_8UC1);
            break;
        case 4:
            mask = cv::Mat::ones(reference.rows, reference.cols, CV_32FC1);
            break;
        default:
            break;
    }
    return mask;
}

void check_result(const dic::GuidedResult& r, const dic::GuidedConfig& config, bool cancelled) {
    MORVEX_FUZZ_CHECK(r.rows > 0 && r.cols > 0, "a reference image always has grid points");
    const auto n = static_cast<std::size_t>(r.rows) * static_cast<std::size_t>(r.cols);
    for (std::size_t size :
         {r.x.size(), r.y.size(), r.u.size(), r.v.size(), r.du_dx.size(), r.du_dy.size(),
          r.dv_dx.size(), r.dv_dy.size(), r.exx.size(), r.eyy.size(), r.exy.size(), r.zncc.size(),
          r.sigma_u.size(), r.sigma_v.size(), r.valid.size(), r.status.size(), r.iterations.size()})
        MORVEX_FUZZ_CHECK(size == n, "every result array holds rows * cols values");
    for (std::size_t k = 0; k < n; ++k) {
        MORVEX_FUZZ_CHECK(r.status[k] <= kLastStatus, "the status is a GuidedStatus");
        const bool converged =
            r.status[k] == static_cast<std::uint8_t>(dic::GuidedStatus::kConverged);
        MORVEX_FUZZ_CHECK(r.valid[k] == (converged ? 1 : 0), "valid exactly where converged");
        MORVEX_FUZZ_CHECK(std::isfinite(r.x[k]) && std::isfinite(r.y[k]),
                          "grid centres are finite");
        MORVEX_FUZZ_CHECK(r.iterations[k] >= 0, "iteration counts are not negative");
        if (cancelled)
            MORVEX_FUZZ_CHECK(!r.valid[k], "a run cancelled before it starts accepts no point");
        if (!r.valid[k]) continue;
        MORVEX_FUZZ_CHECK(std::isfinite(r.u[k]) && std::isfinite(r.v[k]) &&
                              std::isfinite(r.du_dx[k]) && std::isfinite(r.du_dy[k]) &&
                              std::isfinite(r.dv_dx[k]) && std::isfinite(r.dv_dy[k]),
                          "a valid point has a finite warp");
        MORVEX_FUZZ_CHECK(r.zncc[k] >= config.min_zncc && r.zncc[k] <= 1.0,
                          "a valid point's ZNCC lies in [min_zncc, 1]");
        MORVEX_FUZZ_CHECK(!(r.sigma_u[k] < 0.0) && !(r.sigma_v[k] < 0.0),
                          "uncertainties are not negative");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::GuidedCase c;
    fuzz::ByteReader reader(data, size);
    fuzz::visit_guided(reader, c);

    cv::Mat reference;
    cv::Mat deformed;
    fuzz::make_image_pair(c.images, reference, deformed);
    if (c.same_size % 2 == 1 && !reference.empty()) {
        cv::Mat fitted(reference.rows, reference.cols, CV_64FC1, cv::Scalar(0.0));
        const cv::Rect common(0, 0, std::min(reference.cols, deformed.cols),
                              std::min(reference.rows, deformed.rows));
        if (!common.empty()) deformed(common).copyTo(fitted(common));
        deformed = fitted;
    }
    dic::GuidedConfig config = c.config;
    clamp_config(reference, config);
    config.mask = make_mask(c, reference);
    std::atomic<bool> cancel{c.cancel % 2 == 1};
    config.cancel = &cancel;
    const bool cancelled = cancel.load();

    try {
        switch (c.mode % 4) {
            case 0:
            case 1: {
                const dic::ReferenceImage prepared(reference, config);
                const dic::GuidedResult first = dic::correlate_guided(prepared, deformed, config);
                check_result(first, config, cancelled);
                if (c.mode % 4 == 1)
                    check_result(dic::correlate_guided(prepared, deformed, config, &first), config,
                                 cancelled);
                break;
            }
            default: {
                dic::GuidedSequence sequence(reference, config, c.mode % 4 == 3);
                check_result(sequence.add_frame(deformed), config, cancelled);
                check_result(sequence.add_frame(deformed), config, cancelled);
                MORVEX_FUZZ_CHECK(sequence.frame_count() == 2, "a sequence counts its frames");
                break;
            }
        }
    } catch (const std::invalid_argument&) {
        return 0;  // documented refusals before any work
    }
    return 0;
}
