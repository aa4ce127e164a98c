#pragma once
/// Integer-pixel search by zero-normalised cross-correlation.

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// ZNCC of two equally sized subsets (a's size governs; b at least as large); 0.0 when
/// either is flat.
MORVEX_EXPORT double compute_zncc(const cv::Mat& a, const cv::Mat& b);

/// Exhaustive search of displacements uc-R..uc+R, vc-R..vc+R for the subset of size s centred
/// on (row, col). Ties go to the smallest v, then the smallest u. `valid` means at least one
/// candidate lay inside the deformed image; start record has zncc -2.0.
MORVEX_EXPORT IntegerSearchResult brute_zncc_search(const cv::Mat& reference,
                                                    const cv::Mat& deformed, int row, int col,
                                                    int s, int R, int uc, int vc);

/// Template-matching search over the same window (clipped to the image), falling back to
/// brute_zncc_search when the window is smaller than the subset. `valid` means the peak is
/// positive; start record has zncc 0.0.
MORVEX_EXPORT IntegerSearchResult fft_zncc_search(const cv::Mat& reference,
                                                  const cv::Mat& deformed, int row, int col,
                                                  int s, int R, int uc, int vc);

}  // namespace morvex::dic
