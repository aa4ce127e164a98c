#pragma once
// The integer-pixel start shared by the standard path and the tracking simplex.

#include <morvex/records.hpp>
#include <morvex/search.hpp>

namespace morvex::dic::detail {

// Template-matching peaks scoring below this are re-searched exhaustively: the template
// matcher works in single precision and a weak peak may be a wrong one.
inline constexpr double kMinTemplatePeakZncc = 0.5;

// Integer search around the configured centre, half-width residual_search_range when it is
// at least 1 (else search_range); template matching first unless use_fft_search is off.
inline IntegerSearchResult search_integer_start(const cv::Mat& reference, const cv::Mat& deformed,
                                                int y, int x, const DICConfig& config) {
    const int range =
        config.residual_search_range >= 1 ? config.residual_search_range : config.search_range;
    if (config.use_fft_search) {
        const IntegerSearchResult peak =
            fft_zncc_search(reference, deformed, y, x, config.subset_size, range,
                            config.search_center_u, config.search_center_v);
        if (peak.valid && peak.zncc >= kMinTemplatePeakZncc) return peak;
    }
    return brute_zncc_search(reference, deformed, y, x, config.subset_size, range,
                             config.search_center_u, config.search_center_v);
}

}  // namespace morvex::dic::detail
