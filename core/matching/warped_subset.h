#pragma once
// Sampling the deformed image at the warped positions of a subset, shared by the criterion
// (subset_znssd.h) and the rotation-stretch solver; they differ only in which positions
// they accept.

#include "image/sampling/dispatch.h"

#include <morvex/records.hpp>

namespace morvex::dic::detail {

/// Samples `deformed` at every warped position of the (2h+1)^2 subset centred on row y,
/// column x, in subset order, into g; fourth-order kernel or bilinear. A subset row's
/// positions are formed first (x + dx + u + du_dx*dx + du_dy*dy, y + dy + v + dv_dx*dx +
/// dv_dy*dy, in that order of operations), then sampled in one run. Returns false at the
/// first position `accept(y', x')` refuses (NaN included, as every comparison fails), before
/// it is sampled. `sum` receives the running sum of the samples in subset order.
/// column_x, column_y, pos_y and pos_x are scratch of at least 2h+1 doubles each.
/// kKnownInside: the caller has shown that every position lies in the fourth-order kernel's
/// unclamped range (and is accepted), so the per-sample tests are skipped; same samples.
template <bool kFourthOrder, bool kKnownInside = false, typename Accept>
bool sample_warped_subset(const GreyView& deformed, int y, int x, const WarpParams& w, int h,
                          Accept accept, double* g, double* column_x, double* column_y,
                          double* pos_y, double* pos_x, double& sum) {
    const int m = 2 * h + 1;
    for (int j = 0; j < m; ++j) {
        const int dx = j - h;
        column_x[j] = static_cast<double>(x) + dx + w.u + w.du_dx * dx;
        column_y[j] = w.dv_dx * dx;
    }
    double total = 0.0;
    for (int dy = -h; dy <= h; ++dy, g += m) {
        const double row_y = static_cast<double>(y) + dy + w.v;
        const double shear_y = w.dv_dy * dy;
        const double shear_x = w.du_dy * dy;
        bool all_unclamped = true;
        if (kKnownInside) {
            for (int j = 0; j < m; ++j) {
                pos_y[j] = row_y + column_y[j] + shear_y;
                pos_x[j] = column_x[j] + shear_x;
            }
        } else {
            for (int j = 0; j < m; ++j) {
                const double yp = row_y + column_y[j] + shear_y;
                const double xp = column_x[j] + shear_x;
                if (!accept(yp, xp)) return false;
                if (kFourthOrder) all_unclamped &= keys_fourth_unclamped(deformed, yp, xp);
                pos_y[j] = yp;
                pos_x[j] = xp;
            }
        }
        if (kFourthOrder) {
            sample_keys_fourth_run(deformed, pos_y, pos_x, static_cast<std::size_t>(m),
                                   all_unclamped, g);
        } else {
            for (int j = 0; j < m; ++j) g[j] = sample_bilinear(deformed, pos_y[j], pos_x[j]);
        }
        for (int j = 0; j < m; ++j) total += g[j];
    }
    sum = total;
    return true;
}

}  // namespace morvex::dic::detail
