#include "guided/propagation/field_of_view.h"

#include "guided/reference/crack_barrier.h"

#include <cmath>
#include <cstdint>

namespace morvex::dic::detail {

double share_out_of_view(const ReferenceImage::Data& reference, const DeformedFrame& frame,
                         int index, const Warp& warp) {
    const int cols = reference.grid_cols();
    const int cx = reference.grid_x[index % cols], cy = reference.grid_y[index / cols];
    const int h = reference.half;
    const double lo_x = -0.5, hi_x = frame.cols - 0.5, lo_y = -0.5, hi_y = frame.rows - 0.5;
    const bool has_bad = !frame.bad_sum.empty();
    const bool masked = !reference.full_subset[index];
    long long total = 0, out = 0;
    for (int dy = -h; dy <= h; ++dy) {
        const std::uint8_t* on = masked ? subset_mask_row(reference, index, dy) : nullptr;
        // Along a row the warped position moves by (1 + du_dx, dv_dx) per pixel.
        const double row_x = cx + warp.u + warp.du_dy * dy;
        const double row_y = cy + dy + warp.v + warp.dv_dy * dy;
        for (int dx = -h; dx <= h; ++dx) {
            if (on && on[h + dx] == 0) continue;
            ++total;
            const double x = row_x + dx + warp.du_dx * dx;
            const double y = row_y + warp.dv_dx * dx;
            if (!(x >= lo_x && x <= hi_x && y >= lo_y && y <= hi_y)) {
                ++out;
                continue;
            }
            if (has_bad) {
                const int c = static_cast<int>(std::lround(x)),
                          r = static_cast<int>(std::lround(y));
                const int rc = std::min(std::max(r, 0), frame.rows - 1);
                const int cc = std::min(std::max(c, 0), frame.cols - 1);
                const int bad = frame.bad_sum.at<int>(rc + 1, cc + 1) -
                                frame.bad_sum.at<int>(rc, cc + 1) -
                                frame.bad_sum.at<int>(rc + 1, cc) + frame.bad_sum.at<int>(rc, cc);
                if (bad > 0) ++out;
            }
        }
    }
    return total > 0 ? static_cast<double>(out) / static_cast<double>(total) : 1.0;
}

bool left_view(const ReferenceImage::Data& reference, const DeformedFrame& frame, int index,
               const Warp& warp) {
    return share_out_of_view(reference, frame, index, warp) > kLeftViewShare;
}

}  // namespace morvex::dic::detail
