#include "guided/search.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace morvex::dic::detail {

const cv::Mat& SearchImage::get() const {
    std::call_once(once_, [this] { clean_.convertTo(image_, CV_32F); });
    return image_;
}

IntegerShift full_search(const SubsetSolver& solver, const ReferenceImage::Data& reference,
                         const SearchImage& image, int range) {
    IntegerShift best;
    const cv::Mat& deformed = image.get();
    const int h = reference.half, side = 2 * h + 1;
    const int cx = solver.centre_x(), cy = solver.centre_y();
    // Window of top-left corners: the subset shifted by at most `range`, inside the image.
    int x0 = 0, y0 = 0, x1 = deformed.cols - side, y1 = deformed.rows - side;
    if (range >= 0) {
        x0 = std::max(x0, cx - h - range);
        y0 = std::max(y0, cy - h - range);
        x1 = std::min(x1, cx - h + range);
        y1 = std::min(y1, cy - h + range);
    }
    if (x1 < x0 || y1 < y0) return best;
    cv::Mat templ;
    reference.correlated(cv::Rect(cx - h, cy - h, side, side)).convertTo(templ, CV_32F);
    if (!reference.specimen.empty()) {
        // Pixels off the specimen take the specimen mean: they then add nothing to the
        // correlation's numerator.
        const cv::Mat m = reference.specimen(cv::Rect(cx - h, cy - h, side, side));
        const double mean = cv::mean(templ, m)[0];
        templ.setTo(cv::Scalar(mean), m == 0);
    }
    const cv::Mat window = deformed(cv::Rect(x0, y0, x1 - x0 + side, y1 - y0 + side));
    cv::Mat score;
    cv::matchTemplate(window, templ, score, cv::TM_CCOEFF_NORMED);
    // Highest score, first in row order on ties; flat windows give NaN and are skipped.
    float top = -2.0f;
    int bi = -1, bj = -1;
    for (int i = 0; i < score.rows; ++i) {
        const float* s = score.ptr<float>(i);
        for (int j = 0; j < score.cols; ++j)
            if (s[j] > top) {
                top = s[j];
                bi = i;
                bj = j;
            }
    }
    if (bi < 0) return best;
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
