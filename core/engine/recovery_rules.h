#pragma once
/// The small decisions of the tracking recovery passes, kept as pure functions so that each
/// rule can be checked on its own. recovery.cpp uses exactly these.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace morvex::dic::detail {

/// Grids up to this many points get the generous recovery limits.
inline constexpr std::int64_t kSmallGridPoints = 20000;

/// Pass limit and candidate budget (over all passes) of the spatial recovery.
struct RecoveryLimits {
    int max_passes = 0;
    std::int64_t budget = 0;
};

/// n <= 20000: 24 passes and 24 * n candidates; larger grids: 3 passes and 12000 candidates.
/// 24 * n is formed in 64 bits, so no grid size overflows it.
inline RecoveryLimits recovery_limits(std::int64_t n) {
    if (n <= kSmallGridPoints) return {24, 24 * n};
    return {3, 12000};
}

/// True when the global retry pass runs instead of the spatial passes: fewer than 30 % of
/// the n points valid (10 * valid_count < 3 * n) and the caller allows the integer search.
inline bool prefers_global_retry(std::int64_t valid_count, std::int64_t n,
                                 bool integer_initialization) {
    return integer_initialization && 10 * valid_count < 3 * n;
}

/// A (valid neighbour count, grid index) pair.
using RecoveryCandidate = std::pair<int, int>;

/// Calls visit(neighbour index) for each of the up to eight grid neighbours of `index`
/// (r = index / cols, c = index % cols) that lie inside the rows x cols grid, rows outer.
template <typename Visit>
inline void for_each_neighbour(int rows, int cols, int index, Visit&& visit) {
    const int r = index / cols;
    const int c = index % cols;
    for (int dr = -1; dr <= 1; ++dr) {
        for (int dc = -1; dc <= 1; ++dc) {
            if (dr == 0 && dc == 0) continue;
            const int rr = r + dr;
            const int cc = c + dc;
            if (rr < 0 || rr >= rows || cc < 0 || cc >= cols) continue;
            visit(rr * cols + cc);
        }
    }
}

/// Number of grid neighbours of `index` whose flag is non-zero.
inline int count_valid_neighbours(const std::vector<std::uint8_t>& valid, int rows, int cols,
                                  int index) {
    int count = 0;
    for_each_neighbour(rows, cols, index, [&](int j) {
        if (valid[static_cast<std::size_t>(j)] != 0) ++count;
    });
    return count;
}

/// Invalid points with at least three valid neighbours, best connected first (count
/// descending, then grid index ascending). `valid` holds rows * cols flags.
inline std::vector<RecoveryCandidate> recovery_candidates(const std::vector<std::uint8_t>& valid,
                                                          int rows, int cols) {
    constexpr int kMinValidNeighbours = 3;  // two neighbours give no trustworthy median
    const int n = rows * cols;
    std::vector<RecoveryCandidate> candidates;
    candidates.reserve(static_cast<std::size_t>(n / 4));
    for (int i = 0; i < n; ++i) {
        if (valid[static_cast<std::size_t>(i)] != 0) continue;
        const int count = count_valid_neighbours(valid, rows, cols, i);
        if (count >= kMinValidNeighbours) candidates.emplace_back(count, i);
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const RecoveryCandidate& a, const RecoveryCandidate& b) {
                  if (a.first != b.first) return a.first > b.first;
                  return a.second < b.second;
              });
    return candidates;
}

/// The value of rank count / 2 (0-based) among values[0..count) in ascending order: the
/// median for odd counts, the upper middle value for even ones. Sorts the values in place;
/// count must be at least 1. Insertion sort: at most eight neighbours.
inline double median_rank_value(double* values, int count) {
    for (int i = 1; i < count; ++i) {
        const double value = values[i];
        int j = i;
        for (; j > 0 && value < values[j - 1]; --j) values[j] = values[j - 1];
        values[j] = value;
    }
    return values[count / 2];
}

/// True when the spatial recovery ends after a pass: nothing merged, or fewer than 5 % of
/// the kept candidates rescued (20 * merged < kept).
inline bool recovery_stalls(std::int64_t merged, std::int64_t kept) {
    return merged == 0 || 20 * merged < kept;
}

}  // namespace morvex::dic::detail
