#include <morvex/search.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace morvex::dic {
namespace {

// Start scores: below any ZNCC for the exhaustive search, so one scored candidate always
// wins; zero for the template search, whose `valid` means a positive peak.
constexpr double kBruteStartZncc = -2.0;
constexpr double kTemplateStartZncc = 0.0;
// Below this product of the two variances a subset counts as flat and scores 0.
constexpr double kFlatDenominator = 1e-12;
// Windows up to this many pixels keep their scratch buffers for the thread's next search;
// a larger one (an enormous search range) gives its memory back at once.
constexpr std::size_t kScratchKeepPixels = std::size_t{1} << 20;

// Every offset is computed in 64 bits: row, col, search_radius, center_u and center_v may
// each be near the int limits, and their sums must neither wrap nor become undefined
// behaviour.
using Index = std::int64_t;

// The library's grey image; an empty matrix of any type is geometrically empty and passes.
bool is_grey_or_empty(const cv::Mat& image) {
    return image.empty() || (image.dims == 2 && image.type() == CV_64FC1);
}

void require_grey(const cv::Mat& image, const char* message) {
    if (!is_grey_or_empty(image)) throw std::invalid_argument(message);
}

// A header over the rows x cols block of `image` whose top-left pixel is (top, left), made
// without touching the image's reference count (workers share the images, and an atomic
// per candidate would bounce a cache line between them). The caller has checked the bounds.
cv::Mat block_view(const cv::Mat& image, Index top, Index left, Index rows, Index cols) {
    auto* data = const_cast<double*>(image.ptr<double>(static_cast<int>(top))) + left;
    return cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_64FC1, data, image.step[0]);
}

// The reference subset of a search, or an empty matrix when it does not fit in the
// reference image (or subset_size is not a positive size).
cv::Mat reference_block(const cv::Mat& reference, Index row, Index col, int subset_size) {
    if (subset_size <= 0) {
        return cv::Mat();
    }
    const Index half = subset_size / 2;
    if (row - half < 0 || row + half >= reference.rows || col - half < 0 ||
        col + half >= reference.cols) {
        return cv::Mat();
    }
    return block_view(reference, row - half, col - half, subset_size, subset_size);
}

// The accumulation shared by compute_zncc and the exhaustive search, so that the search's
// scores are exactly the ones compute_zncc gives for the same blocks. Row by row, one
// running sum each, in the order the criterion is defined.
double zncc_sums(const cv::Mat& a, double ma, const cv::Mat& b, double mb) {
    double sab = 0.0;
    double saa = 0.0;
    double sbb = 0.0;
    const int rows = a.rows;
    const int cols = a.cols;
    for (int r = 0; r < rows; ++r) {
        const double* pa = a.ptr<double>(r);
        const double* pb = b.ptr<double>(r);
        for (int c = 0; c < cols; ++c) {
            const double da = pa[c] - ma;
            const double db = pb[c] - mb;
            sab += da * db;
            saa += da * da;
            sbb += db * db;
        }
    }
    const double den = std::sqrt(saa * sbb);
    return den < kFlatDenominator ? 0.0 : sab / den;
}

// Scratch matrices of the template search, reused across calls on the same thread:
// convertTo and matchTemplate keep a buffer whose size and type already match.
struct TemplateScratch {
    cv::Mat templ;
    cv::Mat window;
    cv::Mat response;
};

}  // namespace

double compute_zncc(const cv::Mat& a, const cv::Mat& b) {
    require_grey(a, "compute_zncc: subsets must be one-channel 64-bit float (CV_64FC1)");
    require_grey(b, "compute_zncc: subsets must be one-channel 64-bit float (CV_64FC1)");
    if (a.empty()) {
        return 0.0;
    }
    if (b.rows < a.rows || b.cols < a.cols) {
        throw std::invalid_argument("compute_zncc: b is smaller than a");
    }
    return zncc_sums(a, cv::mean(a)[0], b, cv::mean(b)[0]);
}

namespace {

// The start of both searches: both images checked (the message names the function and the
// image), then the reference subset, empty when it does not fit.
cv::Mat checked_reference_block(const char* function, const cv::Mat& reference,
                                const cv::Mat& deformed, Index row, Index col, int subset_size) {
    if (!is_grey_or_empty(reference))
        throw std::invalid_argument(std::string(function) + ": reference must be CV_64FC1");
    if (!is_grey_or_empty(deformed))
        throw std::invalid_argument(std::string(function) + ": deformed must be CV_64FC1");
    return reference_block(reference, row, col, subset_size);
}

}  // namespace

IntegerSearchResult brute_zncc_search(const cv::Mat& reference, const cv::Mat& deformed, int row,
                                      int col, int subset_size, int search_radius, int center_u,
                                      int center_v) {
    const cv::Mat a =
        checked_reference_block("brute_zncc_search", reference, deformed, row, col, subset_size);
    IntegerSearchResult best;
    best.zncc = kBruteStartZncc;
    if (a.empty()) return best;
    const double ma = cv::mean(a)[0];
    const Index half = subset_size / 2;

    // Candidates outside the deformed image would be skipped one by one; cutting the range
    // to the admissible ones first gives the same winner and bounds the work by the image,
    // however large search_radius is. Admissible: top = row + v - half >= 0 and
    // top + 2*half < rows.
    const Index v_first = std::max(Index{center_v} - search_radius, half - row);
    const Index v_last =
        std::min(Index{center_v} + search_radius, Index{deformed.rows} - 1 - half - row);
    const Index u_first = std::max(Index{center_u} - search_radius, half - col);
    const Index u_last =
        std::min(Index{center_u} + search_radius, Index{deformed.cols} - 1 - half - col);

    for (Index v = v_first; v <= v_last; ++v) {
        for (Index u = u_first; u <= u_last; ++u) {
            const cv::Mat b =
                block_view(deformed, row + v - half, col + u - half, subset_size, subset_size);
            const double score = zncc_sums(a, ma, b, cv::mean(b)[0]);
            // Strictly greater: the first candidate in scan order keeps a tie, NaN never wins.
            if (score > best.zncc) {
                best.u = static_cast<int>(u);
                best.v = static_cast<int>(v);
                best.zncc = score;
                best.valid = true;
            }
        }
    }
    return best;
}

IntegerSearchResult fft_zncc_search(const cv::Mat& reference, const cv::Mat& deformed, int row,
                                    int col, int subset_size, int search_radius, int center_u,
                                    int center_v) {
    const cv::Mat a =
        checked_reference_block("fft_zncc_search", reference, deformed, row, col, subset_size);
    IntegerSearchResult result;
    result.zncc = kTemplateStartZncc;
    if (a.empty()) return result;
    const Index half = subset_size / 2;

    // The window spans every candidate block. It uses +half on the far side, so for an even
    // subset_size it reaches one pixel beyond the last candidate block and the peak may land
    // at center_u + search_radius + 1 or center_v + search_radius + 1.
    const Index x0 = std::max(Index{0}, Index{col} - half + center_u - search_radius);
    const Index x1 =
        std::min(Index{deformed.cols} - 1, Index{col} + half + center_u + search_radius);
    const Index y0 = std::max(Index{0}, Index{row} - half + center_v - search_radius);
    const Index y1 =
        std::min(Index{deformed.rows} - 1, Index{row} + half + center_v + search_radius);
    const Index width = x1 - x0 + 1;
    const Index height = y1 - y0 + 1;
    if (width < subset_size || height < subset_size) {
        return brute_zncc_search(reference, deformed, row, col, subset_size, search_radius,
                                 center_u, center_v);
    }

    thread_local TemplateScratch scratch;
    a.convertTo(scratch.templ, CV_32F, 1.0, 0.0);
    block_view(deformed, y0, x0, height, width).convertTo(scratch.window, CV_32F, 1.0, 0.0);
    cv::matchTemplate(scratch.window, scratch.templ, scratch.response, cv::TM_CCOEFF_NORMED);

    double peak = 0.0;
    cv::Point peak_at;
    cv::minMaxLoc(scratch.response, nullptr, &peak, nullptr, &peak_at);
    if (scratch.window.total() > kScratchKeepPixels) {
        scratch = TemplateScratch();
    }

    result.u = static_cast<int>(x0 + peak_at.x + half - col);
    result.v = static_cast<int>(y0 + peak_at.y + half - row);
    result.zncc = peak;
    result.valid = peak > 0.0;
    return result;
}

}  // namespace morvex::dic
