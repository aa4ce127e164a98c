#pragma once
/// Integer-pixel search by zero-normalised cross-correlation (ZNCC).
///
/// Row first: a subset is centred on (row, col) of the reference; a candidate displacement
/// (u, v) moves it u columns right and v rows down in the deformed image. All functions are
/// reentrant and safe to call from many threads at once (fft_zncc_search keeps per-thread
/// scratch buffers). Exceptions: std::invalid_argument with the function's name for a
/// matrix that is neither empty nor CV_64FC1; OpenCV's own exceptions pass through.
///
/// Pan, B., Xie, H., Wang, Z. (2010). Equivalence of digital image correlation criteria for
/// pattern matching. Applied Optics 49(28), 5501-5509 (the ZNCC criterion).
/// Lewis, J. P. (1995). Fast normalized cross-correlation. Vision Interface, 120-123 (the
/// template-matching form of the search).

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// ZNCC in [-1, 1] of two equally sized CV_64FC1 subsets (a's size governs; b at least as
/// large, its top-left block is used); 0.0 when either is flat or `a` is empty.
/// @throws std::invalid_argument "compute_zncc: subsets must be one-channel 64-bit float
/// (CV_64FC1)" for another type, "compute_zncc: b is smaller than a" when b is smaller.
MORVEX_EXPORT double compute_zncc(const cv::Mat& a, const cv::Mat& b);

/// Exhaustive search of the displacements center_u - search_radius .. center_u +
/// search_radius (columns) and likewise for v (rows), in whole pixels, for the subset of
/// side subset_size centred on (row, col). Candidates whose block leaves the deformed image
/// are skipped. Ties go to the smallest v, then the smallest u. `valid` means at least one
/// candidate lay inside the deformed image; otherwise the start record (zncc -2.0) comes
/// back. A subset that does not fit in the reference, or a subset_size below 1, gives the
/// start record. Every offset is formed in 64 bits: any int arguments are safe.
/// @throws std::invalid_argument "brute_zncc_search: reference must be CV_64FC1" (or
/// deformed) for a non-empty matrix of another type.
MORVEX_EXPORT IntegerSearchResult brute_zncc_search(const cv::Mat& reference,
                                                    const cv::Mat& deformed, int row, int col,
                                                    int subset_size, int search_radius,
                                                    int center_u, int center_v);

/// Template-matching search (single precision) over the same window, clipped to the image,
/// falling back to brute_zncc_search when the clipped window is smaller than the subset.
/// `valid` means the peak is positive; otherwise the start record (zncc 0.0). For an even
/// subset_size the peak may land one pixel beyond the window's far edge.
/// @throws std::invalid_argument "fft_zncc_search: reference must be CV_64FC1" (or
/// deformed) for a non-empty matrix of another type.
MORVEX_EXPORT IntegerSearchResult fft_zncc_search(const cv::Mat& reference, const cv::Mat& deformed,
                                                  int row, int col, int subset_size,
                                                  int search_radius, int center_u, int center_v);

}  // namespace morvex::dic
