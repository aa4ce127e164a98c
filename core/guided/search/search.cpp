#include "guided/search/search.h"

#include "guided/reference/crack_barrier.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace morvex::dic::detail {

const cv::Mat& SearchImage::get() const {
    std::call_once(once_, [this] { clean_.convertTo(image_, CV_32F); });
    return image_;
}

const cv::Mat& SearchImage::half() const {
    std::call_once(half_once_, [this] {
        const cv::Mat& full = get();
        cv::resize(full(cv::Rect(0, 0, full.cols & ~1, full.rows & ~1)), half_,
                   cv::Size(full.cols / 2, full.rows / 2), 0.0, 0.0, cv::INTER_AREA);
    });
    return half_;
}

namespace {

// Search windows with more candidate positions than this are searched at half resolution
// first (a quarter of the work), then refined by kRefineRange px at full resolution.
constexpr long long kCoarseAbove = 128LL * 128LL;
constexpr int kRefineRange = 2;
// A coarse match refined to at least this ZNCC is taken; below it the full-resolution search
// decides (a coarse peak on the wrong speckle).
constexpr double kCoarseAccept = 0.6;

// Template matching of `templ` in `window`; the best top-left corner in window pixels, or
// false when every candidate was flat.
bool best_match(const cv::Mat& window, const cv::Mat& templ, int& bi, int& bj) {
    cv::Mat score;
    cv::matchTemplate(window, templ, score, cv::TM_CCOEFF_NORMED);
    // Highest score, first in row order on ties; flat windows give NaN and are skipped.
    float top = -2.0f;
    bi = bj = -1;
    for (int i = 0; i < score.rows; ++i) {
        const float* s = score.ptr<float>(i);
        for (int j = 0; j < score.cols; ++j)
            if (s[j] > top) {
                top = s[j];
                bi = i;
                bj = j;
            }
    }
    return bi >= 0;
}

cv::Mat subset_template(const ReferenceImage::Data& reference, int index, int cx, int cy, int side,
                        int half_side) {
    cv::Mat templ;
    reference.correlated(cv::Rect(cx - half_side, cy - half_side, side, side))
        .convertTo(templ, CV_32F);
    if (!reference.cut_slot.empty() && reference.cut_slot[static_cast<std::size_t>(index)] >= 0) {
        // A subset cut by a crack line: the pixels across it take the mean of its own side,
        // as off-specimen pixels do (the even template's extra row and column count as off).
        cv::Mat m = cv::Mat::zeros(side, side, CV_8UC1);
        const int h = reference.half;
        for (int dy = -h; dy <= h; ++dy) {
            const std::uint8_t* row = subset_mask_row(reference, index, dy);
            for (int dx = -h; dx <= h; ++dx)
                m.at<std::uint8_t>(dy + half_side, dx + half_side) = row[dx + h];
        }
        const double mean = cv::mean(templ, m)[0];
        templ.setTo(cv::Scalar(mean), m == 0);
    } else if (!reference.specimen.empty()) {
        // Pixels off the specimen take the specimen mean: they then add nothing to the
        // correlation's numerator.
        const cv::Mat m = reference.specimen(cv::Rect(cx - half_side, cy - half_side, side, side));
        const double mean = cv::mean(templ, m)[0];
        templ.setTo(cv::Scalar(mean), m == 0);
    }
    return templ;
}

}  // namespace

IntegerShift full_search(const SubsetSolver& solver, const ReferenceImage::Data& reference,
                         const SearchImage& image, int range) {
    IntegerShift best;
    const cv::Mat& deformed = image.get();
    const int h = reference.half, side = 2 * h + 1;
    const int cx = solver.centre_x(), cy = solver.centre_y();
    // Window of top-left corners: the subset shifted by at most `range`, inside the image.
    int x0 = 0, y0 = 0, x1 = deformed.cols - side, y1 = deformed.rows - side;
    if (range >= 0) {
        // In 64 bits: a range near INT_MAX (the whole image, in effect) overflows int sums.
        const long long r = range;
        x0 = static_cast<int>(std::max<long long>(x0, cx - h - r));
        y0 = static_cast<int>(std::max<long long>(y0, cy - h - r));
        x1 = static_cast<int>(std::min<long long>(x1, cx - h + r));
        y1 = static_cast<int>(std::min<long long>(y1, cy - h + r));
    }
    if (x1 < x0 || y1 < y0) return best;
    const long long positions = static_cast<long long>(x1 - x0 + 1) * (y1 - y0 + 1);
    if (positions > kCoarseAbove && side >= 9) {
        // Half resolution: a template of the even-sized patch around the centre, 2 x 2 means.
        const int even = side + 1;  // side is odd
        const int eh = even / 2;
        if (cx - eh >= 0 && cy - eh >= 0 && cx + eh <= reference.correlated.cols &&
            cy + eh <= reference.correlated.rows) {
            cv::Mat templ_full = subset_template(reference, solver.index(), cx, cy, even, eh);
            cv::Mat templ;
            cv::resize(templ_full, templ, cv::Size(eh, eh), 0.0, 0.0, cv::INTER_AREA);
            const cv::Mat& coarse = image.half();
            // Window of coarse top-left corners covering the fine window.
            const int qx0 = std::max(0, (x0 - 1) / 2), qy0 = std::max(0, (y0 - 1) / 2);
            const int qx1 = std::min(coarse.cols - eh, (x1 + 1) / 2);
            const int qy1 = std::min(coarse.rows - eh, (y1 + 1) / 2);
            int bi, bj;
            if (qx1 >= qx0 && qy1 >= qy0 &&
                best_match(coarse(cv::Rect(qx0, qy0, qx1 - qx0 + eh, qy1 - qy0 + eh)), templ, bi,
                           bj)) {
                // Coarse corner (qx0 + bj) covers fine columns 2 (qx0 + bj) onwards, where the
                // even patch starts at cx - eh.
                const int u = 2 * (qx0 + bj) - (cx - eh);
                const int v = 2 * (qy0 + bi) - (cy - eh);
                best = residual_search(solver, u, v, kRefineRange);
                if (best.zncc >= kCoarseAccept) return best;
            }
        }
    }
    const cv::Mat templ = subset_template(reference, solver.index(), cx, cy, side, h);
    const cv::Mat window = deformed(cv::Rect(x0, y0, x1 - x0 + side, y1 - y0 + side));
    int bi, bj;
    if (!best_match(window, templ, bi, bj)) return IntegerShift{};
    best.u = x0 + bj - (cx - h);
    best.v = y0 + bi - (cy - h);
    // Rescore exactly (and with the mask) in double precision.
    best.zncc = solver.integer_zncc(best.u, best.v);
    return best;
}

IntegerShift residual_search(const SubsetSolver& solver, int u0, int v0, int range) {
    IntegerShift best;
    for (int v = v0 - range; v <= v0 + range; ++v)
        for (int u = u0 - range; u <= u0 + range; ++u) {
            const double z = solver.integer_zncc(u, v);
            if (z > best.zncc) {
                best.zncc = z;
                best.u = u;
                best.v = v;
            }
        }
    return best;
}

}  // namespace morvex::dic::detail
