#include <morvex/znssd.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/sampling/kernels.h"
#include "matching/warped_subset.h"

namespace morvex::dic {

namespace {

constexpr double kFlatDenominator = 1e-12;
// Beyond this side a subset's work arrays (2 x 2 GB) are not attempted: the ZNSSD counts
// as not evaluable. Real subsets are a few dozen pixels wide.
constexpr int kMaxSubsetSide = 16383;

double* scratch(std::vector<double>& buffer, std::size_t size) {
    if (buffer.size() < size) buffer.resize(size);
    return buffer.data();
}

// The warped-position mapping, term by term in the order of the warp's definition; the
// pixel position is formed in double so that no int sum can overflow.
struct WarpedPosition {
    double y;
    double x;
};

inline WarpedPosition warp_position(int y, int x, const WarpParams& w, int dy, int dx) {
    return {static_cast<double>(y) + dy + w.v + w.dv_dx * dx + w.dv_dy * dy,
            static_cast<double>(x) + dx + w.u + w.du_dx * dx + w.du_dy * dy};
}

// Open interval: a position on the first or last row or column is refused. NaN fails every
// comparison and is refused with the rest.
inline bool strictly_inside(const WarpedPosition& p, double last_row, double last_col) {
    return p.y > 0.0 && p.y < last_row && p.x > 0.0 && p.x < last_col;
}

}  // namespace

double compute_znssd(const cv::Mat& reference, const cv::Mat& deformed, int y, int x,
                     const WarpParams& warp, int subset_size, bool use_bicubic) {
    // A matrix that is not a grey image cannot be sampled: not evaluable, like any other
    // failure here (an empty reference is fine: all its pixels read as 0).
    if (!detail::is_grey_image(deformed)) return kZnssdUnavailable;
    if (!reference.empty() && !detail::is_grey_image(reference)) return kZnssdUnavailable;

    const int m = subset_size | 1;
    // A negative size leaves an empty subset: every sum is 0, so the denominator test fails.
    if (m < 1 || m > kMaxSubsetSide) return kZnssdUnavailable;
    const int h = m / 2;
    const std::size_t n = static_cast<std::size_t>(m) * static_cast<std::size_t>(m);

    const detail::GreyView def(deformed);
    const double last_row = def.rows - 1.0;
    const double last_col = def.cols - 1.0;
    // An affine map takes its extremes at the corners: refuse a subset that leaves the image
    // there before touching any pixel. The per-pixel test below still decides every case.
    for (int cy : {-h, h})
        for (int cx : {-h, h})
            if (!strictly_inside(warp_position(y, x, warp, cy, cx), last_row, last_col))
                return kZnssdUnavailable;

    // Scratch that grows to the largest subset seen on this thread and is then reused: the
    // tracking simplex calls this dozens of times per point.
    thread_local std::vector<double> buffer;
    double* g = scratch(buffer, 2 * n + 4 * static_cast<std::size_t>(m));
    double* f = g + n;
    double* column_x = f + n;
    double* column_y = column_x + m;
    double* pos_y = column_y + m;
    double* pos_x = pos_y + m;

    double sum_g = 0.0;
    // Open interval: a position on the first or last row or column is refused.
    const auto open_range = [last_row, last_col](double yp, double xp) {
        return yp > 0.0 && yp < last_row && xp > 0.0 && xp < last_col;
    };
    const bool inside =
        use_bicubic ? detail::sample_warped_subset<true>(def, y, x, warp, h, open_range, g,
                                                         column_x, column_y, pos_y, pos_x, sum_g)
                    : detail::sample_warped_subset<false>(def, y, x, warp, h, open_range, g,
                                                          column_x, column_y, pos_y, pos_x, sum_g);
    if (!inside) return kZnssdUnavailable;

    // Reference subset; pixels outside the reference image count as 0.
    const detail::GreyView ref(reference);
    double sum_f = 0.0;
    std::size_t k = 0;
    for (int dy = -h; dy <= h; ++dy) {
        const std::int64_t r = static_cast<std::int64_t>(y) + dy;
        const bool row_inside = r >= 0 && r < ref.rows;
        const double* row = row_inside ? ref.row(static_cast<int>(r)) : nullptr;
        for (int dx = -h; dx <= h; ++dx, ++k) {
            const std::int64_t c = static_cast<std::int64_t>(x) + dx;
            const double value = (row_inside && c >= 0 && c < ref.cols) ? row[c] : 0.0;
            f[k] = value;
            sum_f += value;
        }
    }

    const double count = static_cast<double>(n);
    const double mean_f = sum_f / count;
    double sff = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        f[i] -= mean_f;
        sff += f[i] * f[i];
    }
    const double mean_g = sum_g / count;
    double sgg = 0.0;
    double sfg = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double centred = g[i] - mean_g;
        sgg += centred * centred;
        sfg += f[i] * centred;
    }
    const double d = std::sqrt(sff * sgg);
    if (d < kFlatDenominator) return kZnssdUnavailable;
    return 2.0 * (1.0 - sfg / d);
}

}  // namespace morvex::dic
