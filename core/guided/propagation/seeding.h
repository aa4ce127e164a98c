#pragma once
/// Where a frame's growth starts: explicit seeds, the frame's first seed (one full search),
/// every block's seeds, and, with a previous frame, each block's check of its last field.

#include <functional>
#include <utility>
#include <vector>

#include "guided/propagation/frame_run.h"

namespace morvex::dic::detail {

/// Grid point nearest to image position (y, x).
int nearest_grid_point(const ReferenceImage::Data& reference, int y, int x);

/// Mean grid row and column of a set of grid points.
std::pair<double, double> centre_of(const ReferenceImage::Data& reference,
                                    const std::vector<int>& points);

/// The points, nearest their centre (in grid units) first; ties by index.
std::vector<int> by_distance_to_centre(const ReferenceImage::Data& reference,
                                       const std::vector<int>& points);

/// Throws std::invalid_argument naming the seed for an explicit seed outside the image or on
/// the mask's background, and for seed_u, seed_v not one value per seed.
void check_explicit_seeds(const ReferenceImage::Data& reference, const GuidedSolveSettings& config);

/// Where seed `index` starts: the start given with an explicit seed there, else the feature
/// motion of its region (when the frame has one), else the first seed's warp carried to it.
/// False when none is known: the seed is searched.
bool seed_start(const FrameRun& run, int index, Warp& start);

/// Snap GuidedConfig::seed_points to grid points, listed under their blocks.
void place_explicit_seeds(FrameRun& run);

/// One full search for the whole frame, before the blocks start: the first point (explicit
/// seeds first, then block by block from each block's centre) that converges with ZNCC >=
/// min_zncc. Sequential, so every thread count sees the same first seed. Estimates the
/// frame's feature motion first with FeatureSeeds::kOn; with kAuto, after a search that found
/// no seed, or found one only after another failed: then features that place that seed more
/// than max_jump px elsewhere replace it.
void find_first_seed(FrameRun& run);

/// With a previous frame: check the block's seed from its previous value, `grow` from it,
/// then start every point growth left untouched from its previous value moved by the seed's
/// change, growing again after each one that converges. Failures wait for their neighbours.
void seed_from_previous(FrameRun& run, SubsetSolver& solver, GrowthQueue& queue, int block,
                        const std::function<void()>& grow);

/// Seeds of a block: explicit ones first, then the untried point nearest the block centre,
/// until the block is covered or the attempts run out; `grow` runs after every seed accepted.
void seed_block(FrameRun& run, SubsetSolver& solver, GrowthQueue& queue, int block,
                const std::function<void()>& grow);

}  // namespace morvex::dic::detail
