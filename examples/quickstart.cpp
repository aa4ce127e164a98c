// Quickstart: find a known whole-pixel shift with the integer-pixel search.
//
// A speckle image is cut twice, the second cut offset by (kShiftU, kShiftV) pixels, which
// gives a reference and a deformed image whose true displacement is known everywhere. Both
// searches then run on a coarse grid of subset centres and the table shows what they found.
// Exits with status 1 if any point misses the shift.

#include <cstdio>

#include <opencv2/core.hpp>

#include <morvex/dic.hpp>

int main() {
    using namespace morvex::dic;

    constexpr int kRows = 200;
    constexpr int kCols = 240;
    constexpr int kShiftU = 5;   // px along x (columns): what the search should find
    constexpr int kShiftV = -3;  // px along y (rows)
    constexpr int kPad = 16;     // room to cut the shifted copy without an empty border
    constexpr int kGridStep = 40;

    const cv::Mat speckle =
        generate_speckle(kRows + 2 * kPad, kCols + 2 * kPad, /*dot_radius=*/3,
                         /*density=*/0.6, /*seed=*/2024);
    // The deformed image shows at (y + v, x + u) what the reference shows at (y, x).
    const cv::Mat reference = speckle(cv::Rect(kPad, kPad, kCols, kRows)).clone();
    const cv::Mat deformed =
        speckle(cv::Rect(kPad - kShiftU, kPad - kShiftV, kCols, kRows)).clone();

    // The engine's defaults: a 29 px subset searched +-21 px around (0, 0).
    const DICConfig config;
    std::printf("reference %d x %d, true shift u = %d, v = %d px; subset %d px, range %d px\n\n",
                kCols, kRows, kShiftU, kShiftV, config.subset_size, config.search_range);
    std::printf("  row  col |  template: u   v   zncc  | exhaustive: u   v   zncc\n");

    int points = 0;
    int recovered = 0;
    for (int row = kGridStep; row < kRows - kGridStep / 2; row += kGridStep) {
        for (int col = kGridStep; col < kCols - kGridStep / 2; col += kGridStep) {
            const IntegerSearchResult templ =
                fft_zncc_search(reference, deformed, row, col, config.subset_size,
                                config.search_range, config.search_center_u,
                                config.search_center_v);
            const IntegerSearchResult brute =
                brute_zncc_search(reference, deformed, row, col, config.subset_size,
                                  config.search_range, config.search_center_u,
                                  config.search_center_v);
            std::printf("  %3d  %3d |       %3d %3d  %6.4f |       %3d %3d  %6.4f\n", row, col,
                        templ.u, templ.v, templ.zncc, brute.u, brute.v, brute.zncc);
            ++points;
            const bool templ_ok = templ.valid && templ.u == kShiftU && templ.v == kShiftV;
            const bool brute_ok = brute.valid && brute.u == kShiftU && brute.v == kShiftV;
            recovered += templ_ok && brute_ok ? 1 : 0;
        }
    }
    std::printf("\n%d of %d points recovered the shift with both searches\n", recovered, points);
    return recovered == points ? 0 : 1;
}
