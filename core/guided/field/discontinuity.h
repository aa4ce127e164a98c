#pragma once
/// Converged points whose subset straddles a displacement jump. One warp cannot follow both
/// lips of a crack: it blends them into a steep gradient and still converges with a ZNCC well
/// above min_zncc (0.92 to 0.96 with a 4 px opening). Cut along the right line, each side fits
/// on its own, and the two fits disagree where they meet.

#include <morvex/guided.hpp>

#include "guided/frame/deformed_frame.h"
#include "guided/reference/reference_data.h"

namespace morvex::dic::detail {

/// Valid points of `result` that straddle a jump become kCrossesDiscontinuity (not valid,
/// sigma NaN, the estimate kept). Only a point whose misfit stands out is tested (see
/// kSplitGateRatio): its subset is cut along each of kSplitAngles orientations at every whole
/// pixel offset, the kSplitCandidates cuts whose sides, each under its best translation (see
/// kSplitShiftStep),
/// leave the least residual are solved side by side, and the point is marked when one cut's sides leave at most
/// kSplitRatio of the whole warp's residual and its sides' warps differ on the cut by more than kSplitMinJump px.
/// Each point is judged on the result as it came in, so the outcome depends neither on the
/// order of the points nor on `threads`. The valid neighbours of marked points are tested in
/// rounds once their misfit clears kSplitGateFloor; last, the valid subsets the marked
/// points' cut lines run through are tested for a crack that ends inside them (kTipGuard).
void mark_discontinuities(const ReferenceImage::Data& reference, const DeformedFrame& frame,
                          const GuidedConfig& config, GuidedResult& result, int threads);

/// A point is tested when its misfit 1 - ZNCC exceeds kSplitGateFloor and kSplitGateRatio
/// times the lower quartile of the misfits of the valid points within kSplitGateReach grid
/// steps (or, with fewer than kSplitGateNeighbours of them, the floor alone). A subset across
/// a crack misfits a hundred times more than the intact speckle beside it; a smooth field
/// too steep for one warp (a sine of a period near two subsets) varies its misfit by a few
/// times over its period, and at twice instead of ten times the split test was all that stood
/// between a fifth of such a field's points and a false verdict.
inline constexpr double kSplitGateFloor = 0.001;
inline constexpr double kSplitGateRatio = 10.0;
inline constexpr int kSplitGateReach = 3;
inline constexpr int kSplitGateNeighbours = 9;
/// Orientations of the cuts, evenly over half a turn.
inline constexpr int kSplitAngles = 8;
/// The translations tried on each side of a cut to rank the cuts: the displacements of the
/// valid points within kSplitGateReach grid steps (the lips' own motion), and a grid
/// kSplitShiftStep px apart, up to kSplitShiftReach steps in u and in v from the warp's centre
/// displacement. Whole pixels would rank the cuts of a 2 px slide no better than chance: the
/// fractional misalignment they leave outweighs the cut.
inline constexpr double kSplitShiftStep = 0.5;
inline constexpr int kSplitShiftReach = 2;
/// Cuts solved side by side, the most promising first.
inline constexpr int kSplitCandidates = 3;
/// Largest share of the whole warp's residual the two sides may leave together; neither may
/// leave more than its share of the pixels' worth. Noise alone leaves them (n - 12) / (n - 6)
/// of it, a smooth but curved field most of it; a jump of a few tenths of a pixel through
/// speckle leaves a few percent, or up to half next to a dark gap the interpolant reads.
inline constexpr double kSplitRatio = 0.5;
/// A cut whose smaller side holds less than kSplitNarrowShare of the pixels must leave at most
/// kSplitNarrowRatio of the residual instead: a narrow side fits the edge of a smooth but
/// steep field (a sine of a period near two subsets) by itself, the rest of the subset then
/// fits better too, and the narrow side's fit, carried to the cut, parts from the other by
/// tenths of a pixel. On such fields the narrow sides left 0.39 of the residual and more.
inline constexpr double kSplitNarrowShare = 0.3;
inline constexpr double kSplitNarrowRatio = 0.3;
/// px; the two sides' displacements where the cut meets the subset's centre line must differ
/// by more than this (in u or v), and by more than their gradients differ by over half a
/// subset: a curved field, however poorly one warp fits it, is continuous across any cut, and
/// the two sides' first-order fits of it part only as far as their gradients do.
inline constexpr double kSplitMinJump = 0.25;
/// px; when no cut passes, cuts are tried again leaving out the pixels within kSplitGuard px
/// of the line on both sides: the deformed image's interpolant reads a dark gap, or the other
/// lip, that far, and the lip next to it then fits no translation or warp of its own.
inline constexpr double kSplitGuard = 4.0;
/// px; the sides of such a cut must part by this much: the steep sine of the bench pairs
/// (period 60 px) parted them by 0.40 to 0.66 px across the band, with no crack.
inline constexpr double kSplitGuardedJump = 0.75;
/// Rows of pixels (subset sides) a side of such a cut needs to be fitted; a thinner one is
/// left out and the other side judged alone.
inline constexpr int kSplitGuardedSide = 2;
/// A side judged alone must leave at most this share of the one warp's residual on it, and
/// the rest of the subset, under that side's warp, kSplitEdgeContrast times its residual per
/// pixel.
inline constexpr double kSplitEdgeRatio = 0.3;
inline constexpr double kSplitEdgeContrast = 10.0;
/// Near a crack's tip: the valid subsets a marked point's cut line runs through are cut along
/// it again, offset by up to kTipOffsetReach px, with a guard band of kTipGuard px, and kept
/// only on the marked point's side of a tip placed every kTipStep px (at least kTipShortest px
/// of the line kept, each side at least kTipSidePixels pixels, fitted with its gradients);
/// the sides must leave at most kTipRatio of the one warp's residual there and part by
/// kTipMinJump px, and by more than their gradients across the line differ by over half a
/// subset, where the kept part of the line is halfway. A shorter kept part (5 px) marked a
/// subset 4 px ahead of a tip: the interpolant and the tip's steep field reach into it. Only
/// the kTipCandidates cuts whose sides' best translations leave the least residual per pixel
/// are solved: all 21 cost a third more time per frame on a 300 px plate with a tip, for
/// one more point marked of 155.
inline constexpr int kTipOffsetReach = 1;
inline constexpr double kTipGuard = 3.0;
inline constexpr double kTipStep = 2.0;
inline constexpr double kTipShortest = 9.0;
inline constexpr int kTipSidePixels = 40;
inline constexpr double kTipMinJump = 0.25;
inline constexpr double kTipRatio = 0.75;
inline constexpr int kTipCandidates = 6;

}  // namespace morvex::dic::detail
