#pragma once
/// Reliability-guided growth of a frame's field: the grid cut into blocks, each grown from its
/// own seeds by a priority queue on one thread, then one deterministic pass over the points
/// no block reached.

#include "guided/propagation/frame_run.h"

namespace morvex::dic::detail {

/// `requested` blocks (0 = about one per 250 grid points, 1 to 64) of about equal area.
Blocks make_blocks(int rows, int cols, int requested);

/// Pop the best point, try its untouched neighbours (of `block`, or any when block < 0) from
/// the guide it gives them.
void grow(FrameRun& run, SubsetSolver& solver, GrowthQueue& queue, int block);

/// The whole frame: fixed points, seeds, blocks over `threads` threads, the final pass, and
/// kNotReached (or kCancelled) for what is left. Rethrows a worker's exception.
void propagate(FrameRun& run, int threads);

}  // namespace morvex::dic::detail
