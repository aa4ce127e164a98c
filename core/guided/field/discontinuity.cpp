#include "guided/field/discontinuity.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "guided/field/misfit.h"
#include "guided/solve/subset_solver.h"
#include "guided/solve/warp_fields.h"

namespace morvex::dic::detail {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kShiftSide = 2 * kSplitShiftReach + 1;
// Translations a cut's sides are tried under: the shifts, and one per neighbour at most.
constexpr int kMostTranslations =
    kShiftSide * kShiftSide + (2 * kSplitGateReach + 1) * (2 * kSplitGateReach + 1);

// A cut of the subset: the pixels whose projection on (cos, sin) exceeds `offset` are one
// side ("beyond"), the rest the other.
struct Cut {
    double cos = 1.0, sin = 0.0, offset = 0.0;
    double score = 0.0;                     // residual the best translation of each side leaves
    int below_shift = 0, beyond_shift = 0;  // those translations (index)
    // Pixels within `guard` px of the cut belong to neither side; a side too small to fit
    // (only with a guard) is left out, and the other is tested alone.
    double guard = 0.0;
    bool below_used = true, beyond_used = true;
    // A cut that stops at a crack's tip: only pixels whose coordinate along the line,
    // (-sin, cos), lies on the `behind` side (+1 or -1) of `tip` count; 0 keeps the whole line.
    int behind = 0;
    double tip = 0.0;
};

// A line a marked point's subset was cut along, in image coordinates: n . (x, y) = `at`, with
// the point's centre.
struct CutLine {
    double cos = 1.0, sin = 0.0, at = 0.0;
    double x = 0.0, y = 0.0;
};

// The translations a cut's sides are ranked under: kSplitShiftStep px apart around the warp's
// centre displacement, and the displacement of every valid point within kSplitGateReach grid
// steps (the lips' own motion, however far apart they moved), rounded to a quarter pixel and
// each once. Translations, not shifts of the warp: a warp across a slide or an opening
// carries the jump as a steep gradient, which tilts each lip out of reach of any shift of it.
void translations_for(const GuidedResult& result, int index, const Warp& w,
                      std::vector<Warp>& out) {
    out.clear();
    const auto add = [&out](double u, double v) {
        for (const Warp& t : out)
            if (std::fabs(t.u - u) < 0.125 && std::fabs(t.v - v) < 0.125) return;
        Warp t;
        t.u = u;
        t.v = v;
        out.push_back(t);
    };
    for (int s = 0; s < kShiftSide * kShiftSide; ++s)
        add(w.u + kSplitShiftStep * (s % kShiftSide - kSplitShiftReach),
            w.v + kSplitShiftStep * (s / kShiftSide - kSplitShiftReach));
    const int rows = result.rows, cols = result.cols, r = index / cols, c = index % cols;
    for (int rr = std::max(0, r - kSplitGateReach); rr <= std::min(rows - 1, r + kSplitGateReach);
         ++rr)
        for (int cc = std::max(0, c - kSplitGateReach);
             cc <= std::min(cols - 1, c + kSplitGateReach); ++cc) {
            const auto j = static_cast<std::size_t>(rr) * cols + cc;
            if (result.valid[j])
                add(std::round(4.0 * result.u[j]) / 4.0, std::round(4.0 * result.v[j]) / 4.0);
        }
}

// Points whose misfit stands out against their valid neighbours', in index order. Against
// their lower quartile, not their median: a crack crosses the subsets of several grid columns
// side by side, which would otherwise set the level they are compared with.
std::vector<int> gated_points(const GuidedResult& result, const std::vector<double>& misfit) {
    const int rows = result.rows, cols = result.cols;
    std::vector<int> gated;
    std::vector<double> around;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * cols + c;
            if (!(misfit[i] > kSplitGateFloor)) continue;
            misfits_around(misfit, rows, cols, r, c, kSplitGateReach, around);
            if (static_cast<int>(around.size()) >= kSplitGateNeighbours) {
                auto quartile = around.begin() + static_cast<std::ptrdiff_t>(around.size() / 4);
                std::nth_element(around.begin(), quartile, around.end());
                if (!(misfit[i] > kSplitGateRatio * *quartile)) continue;
            }
            gated.push_back(static_cast<int>(i));
        }
    return gated;
}

double displacement_at(const Warp& w, double dx, double dy, bool along_u) {
    if (along_u)
        return w.u + w.du_dx * dx + w.du_dy * dy + 0.5 * w.du_dxx * dx * dx + w.du_dxy * dx * dy +
               0.5 * w.du_dyy * dy * dy;
    return w.v + w.dv_dx * dx + w.dv_dy * dy + 0.5 * w.dv_dxx * dx * dx + w.dv_dxy * dx * dy +
           0.5 * w.dv_dyy * dy * dy;
}

// Per-thread scratch of the test.
class SplitTest {
public:
    SplitTest(const ReferenceImage::Data& ref, const DeformedFrame& frame,
              const GuidedConfig& config)
        : solver_(ref, frame, config.max_iterations, config.convergence_threshold),
          max_iterations_(config.max_iterations),
          half_(ref.half),
          side_(2 * ref.half + 1),
          n_(side_ * side_),
          residual_(static_cast<std::size_t>(n_)),
          part_(static_cast<std::size_t>(n_)),
          squares_(static_cast<std::size_t>(kMostTranslations) * static_cast<std::size_t>(n_)),
          bins_(static_cast<std::size_t>(kMostTranslations) *
                static_cast<std::size_t>(2 * ref.half + 1)),
          counts_(static_cast<std::size_t>(2 * ref.half + 1)),
          total_(kMostTranslations),
          beyond_(kMostTranslations) {}

    // Whether grid point `index`, converged with warp `w`, straddles a jump; `passed` is the
    // cut that showed it.
    bool straddles(const GuidedResult& result, int index, const Warp& w, Cut& passed) {
        translations_for(result, index, w, translations_);
        if (!solver_.prepare(index) || !solver_.residual(w, residual_.data())) return false;
        double whole = 0.0;
        for (double r : residual_) whole += r * r;
        if (!(whole > 0.0)) return false;
        for (const Cut& cut : promising_cuts())
            if (splits(index, cut, whole)) return pass(cut, passed);
        // The cuts above read the lips right next to the cut, where the deformed image's
        // interpolant blends them with the gap: a dark gap through the subset, or a lip just
        // inside its edge, then leaves neither side clean. Cuts that leave out a band on
        // either side of the line see each lip as it is. They are ranked on the whole subset,
        // which the sides solved above left restricted to one of them.
        if (!solver_.prepare(index)) return false;
        for (const Cut& cut : promising_guarded_cuts())
            if (cut.below_used && cut.beyond_used ? splits_guarded(index, cut, w)
                                                  : edge_splits(result, index, cut, w))
                return pass(cut, passed);
        return false;
    }

    // Whether grid point `index`, converged with warp `w`, holds the end of a crack that runs
    // along `line` from the marked point the line came from: the subset is cut along the line,
    // offset by up to kTipOffsetReach px, and kept only on the marked point's side of a tip
    // placed every kTipStep px. Near a tip the opening fades to tenths of a pixel, and the
    // continuous field ahead of it, which one warp fits well, swamps the lips' misfit in any
    // cut across the whole subset. `passed` is the cut that showed it.
    bool holds_tip(const GuidedResult& result, int index, const Warp& w, const CutLine& line,
                   Cut& passed) {
        const double x = result.x[static_cast<std::size_t>(index)];
        const double y = result.y[static_cast<std::size_t>(index)];
        const double along = -line.sin * (line.x - x) + line.cos * (line.y - y);
        if (!(std::fabs(along) >= 1.0)) return false;
        Cut cut;
        cut.cos = line.cos;
        cut.sin = line.sin;
        cut.guard = kTipGuard;
        cut.behind = along > 0 ? 1 : -1;
        const double centred = line.at - (line.cos * x + line.sin * y);
        translations_for(result, index, w, translations_);
        if (!solver_.prepare(index)) return false;
        square_residuals();
        std::vector<Cut> found;
        for (double kept = 2.0 * half_ - kTipStep; kept >= kTipShortest; kept -= kTipStep)
            for (int shift = -kTipOffsetReach; shift <= kTipOffsetReach; ++shift) {
                cut.offset = centred + shift;
                // Each side needs kSplitGuardedSide rows of pixels past the band.
                if (std::fabs(cut.offset) > half_ - kTipGuard - kSplitGuardedSide) continue;
                cut.tip = cut.behind * (half_ - kept);
                if (ranked_tip_cut(cut)) found.push_back(cut);
            }
        for (const Cut& best : best_of(std::move(found), kTipCandidates))
            if (splits_guarded(index, best, w, kTipMinJump)) return pass(best, passed);
        return false;
    }

private:
    double projection(const Cut& cut, int k) const {
        return (k % side_ - half_) * cut.cos + (k / side_ - half_) * cut.sin;
    }

    // Coordinate of pixel k along the cut's line, (-sin, cos).
    double along(const Cut& cut, int k) const {
        return -(k % side_ - half_) * cut.sin + (k / side_ - half_) * cut.cos;
    }

    static bool pass(const Cut& cut, Cut& passed) {
        passed = cut;
        return true;
    }

    // The squared residual of every pixel of the prepared subset under every translation
    // (squares_; infinite where one leaves the image).
    void square_residuals() {
        const int shifts = static_cast<int>(translations_.size());
        for (int s = 0; s < shifts; ++s) {
            double* sq = squares_.data() + static_cast<std::size_t>(s) * n_;
            if (!solver_.residual(translations_[static_cast<std::size_t>(s)], residual_.data())) {
                std::fill(sq, sq + n_, std::numeric_limits<double>::infinity());
                continue;
            }
            for (int k = 0; k < n_; ++k) sq[k] = residual_[k] * residual_[k];
        }
    }

    // A cut that stops at a tip (see holds_tip()) given each side's translation that leaves it
    // the least residual, and scored by the residual per pixel they leave (as the guarded cuts
    // are); false when a side is too small or no translation stays in the image.
    bool ranked_tip_cut(Cut& cut) {
        const int shifts = static_cast<int>(translations_.size());
        for (int k = 0; k < n_; ++k)
            part_[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(side_of(cut, k) + 1);
        double total = 0.0;
        std::ptrdiff_t pixels = 0;
        for (const bool beyond : {false, true}) {
            const std::uint8_t mine = beyond ? 2 : 0;
            double best = std::numeric_limits<double>::infinity();
            const auto count = std::count(part_.begin(), part_.end(), mine);
            if (count < kTipSidePixels) return false;
            pixels += count;
            for (int s = 0; s < shifts; ++s) {
                const double* sq = squares_.data() + static_cast<std::size_t>(s) * n_;
                double sum = 0.0;
                for (int k = 0; k < n_; ++k)
                    if (part_[static_cast<std::size_t>(k)] == mine) sum += sq[k];
                if (sum < best) {
                    best = sum;
                    (beyond ? cut.beyond_shift : cut.below_shift) = s;
                }
            }
            if (!std::isfinite(best)) return false;
            total += best;
        }
        cut.score = total / static_cast<double>(pixels);
        return true;
    }

    // The kSplitCandidates cuts whose two sides, each under its own best translation, leave
    // the least residual; each side holds at least a row of pixels. A
    // first-order gain would not rank them: the one warp puts each lip pixels off, beyond the
    // reach of its linearisation.
    std::vector<Cut> promising_cuts() {
        const int shifts = static_cast<int>(translations_.size());
        square_residuals();
        const int offsets = 2 * half_;
        const auto per_shift = static_cast<std::size_t>(offsets + 1);
        std::vector<Cut> found;
        double* total = total_.data();
        double* beyond = beyond_.data();
        for (int a = 0; a < kSplitAngles; ++a) {
            Cut cut;
            cut.cos = std::cos(kPi * a / kSplitAngles);
            cut.sin = std::sin(kPi * a / kSplitAngles);
            // Offsets -half + 0.5 + o, o = 0 ... 2 half - 1: a pixel lies beyond offset o for
            // every o below ceil(p + half - 0.5), so one pass fills bins summed from the top.
            bin_by_offset(cut, shifts);
            int count_total = 0;
            for (const int c : counts_) count_total += c;
            int count_beyond = counts_[per_shift - 1];
            for (int s = 0; s < shifts; ++s) {
                const double* bin = bins_.data() + static_cast<std::size_t>(s) * per_shift;
                total[s] = 0.0;
                for (std::size_t q = 0; q < per_shift; ++q) total[s] += bin[q];
                beyond[s] = bin[per_shift - 1];
            }
            for (int o = offsets - 1; o >= 0; --o) {
                if (count_beyond >= side_ && count_total - count_beyond >= side_) {
                    double best_below = std::numeric_limits<double>::infinity();
                    double best_beyond = best_below;
                    for (int s = 0; s < shifts; ++s) {
                        if (beyond[s] < best_beyond) {
                            best_beyond = beyond[s];
                            cut.beyond_shift = s;
                        }
                        if (total[s] - beyond[s] < best_below) {
                            best_below = total[s] - beyond[s];
                            cut.below_shift = s;
                        }
                    }
                    cut.offset = -half_ + 0.5 + o;
                    cut.score = best_below + best_beyond;
                    if (std::isfinite(cut.score)) found.push_back(cut);
                }
                const auto q = static_cast<std::size_t>(o);
                count_beyond += counts_[q];
                for (int s = 0; s < shifts; ++s)
                    beyond[s] += bins_[static_cast<std::size_t>(s) * per_shift + q];
            }
        }
        return best_of(std::move(found));
    }

    // The kSplitCandidates cuts of least score, best first.
    static std::vector<Cut> best_of(std::vector<Cut> found, int most = kSplitCandidates) {
        const auto keep = std::min<std::size_t>(found.size(), static_cast<std::size_t>(most));
        std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(keep),
                          found.end(),
                          [](const Cut& x, const Cut& y) { return x.score < y.score; });
        found.resize(keep);
        return found;
    }

    // The subset's pixels binned by their offset across the cut (counts_), and each
    // translation's squared residuals summed per bin (bins_, one row of 2 half + 1 a translation).
    void bin_by_offset(const Cut& cut, int shifts) {
        const int offsets = 2 * half_;
        const auto per_shift = static_cast<std::size_t>(offsets + 1);
        std::fill(bins_.begin(), bins_.end(), 0.0);
        std::fill(counts_.begin(), counts_.end(), 0);
        for (int k = 0; k < n_; ++k) {
            if (!solver_.on_subset(k)) continue;
            const auto q = static_cast<std::size_t>(std::clamp(
                static_cast<int>(std::ceil(projection(cut, k) + half_ - 0.5)), 0, offsets));
            ++counts_[q];
            for (int s = 0; s < shifts; ++s)
                bins_[static_cast<std::size_t>(s) * per_shift + q] +=
                    squares_[static_cast<std::size_t>(s) * n_ + k];
        }
    }

    // The kSplitCandidates cuts that leave out the pixels within kSplitGuard px of the line
    // whose used sides, each under its best translation, leave the least residual per pixel.
    // A side of fewer than kSplitGuardedSide rows of pixels is left out (a lip just inside the
    // subset's edge), never both. Reads the squared residuals promising_cuts() left, on the
    // whole subset as prepare() sets it.
    std::vector<Cut> promising_guarded_cuts() {
        const int shifts = static_cast<int>(translations_.size());
        const int offsets = 2 * half_;
        const auto per_shift = static_cast<std::size_t>(offsets + 1);
        const int guard = static_cast<int>(kSplitGuard);
        const int least = kSplitGuardedSide * side_;
        std::vector<Cut> found;
        std::vector<double> cumulative(per_shift * static_cast<std::size_t>(shifts));
        std::vector<int> counted(per_shift);
        for (int a = 0; a < kSplitAngles; ++a) {
            Cut cut;
            cut.cos = std::cos(kPi * a / kSplitAngles);
            cut.sin = std::sin(kPi * a / kSplitAngles);
            cut.guard = kSplitGuard;
            bin_by_offset(cut, shifts);
            // Sums over the bins 0 ... q: a pixel of bin q lies beyond offset o when q > o.
            for (std::size_t q = 0; q < per_shift; ++q) {
                counted[q] = counts_[q] + (q > 0 ? counted[q - 1] : 0);
                for (int s = 0; s < shifts; ++s) {
                    const std::size_t at = static_cast<std::size_t>(s) * per_shift + q;
                    cumulative[at] = bins_[at] + (q > 0 ? cumulative[at - 1] : 0.0);
                }
            }
            const int all = counted[per_shift - 1];
            for (int o = 0; o < offsets; ++o) {
                // Below: bins up to o - guard; beyond: bins above o + guard.
                const int last_below = o - guard;
                const int first_beyond = o + guard + 1;
                const int n_below =
                    last_below >= 0 ? counted[static_cast<std::size_t>(last_below)] : 0;
                const int n_beyond = first_beyond <= offsets
                                         ? all - counted[static_cast<std::size_t>(first_beyond - 1)]
                                         : 0;
                cut.below_used = n_below >= least;
                cut.beyond_used = n_beyond >= least;
                if (!cut.below_used && !cut.beyond_used) continue;
                double best_below = 0.0, best_beyond = 0.0;
                if (cut.below_used) {
                    best_below = std::numeric_limits<double>::infinity();
                    for (int s = 0; s < shifts; ++s) {
                        const double v = cumulative[static_cast<std::size_t>(s) * per_shift +
                                                    static_cast<std::size_t>(last_below)];
                        if (v < best_below) {
                            best_below = v;
                            cut.below_shift = s;
                        }
                    }
                }
                if (cut.beyond_used) {
                    best_beyond = std::numeric_limits<double>::infinity();
                    for (int s = 0; s < shifts; ++s) {
                        const std::size_t base = static_cast<std::size_t>(s) * per_shift;
                        const double v =
                            cumulative[base + per_shift - 1] -
                            cumulative[base + static_cast<std::size_t>(first_beyond - 1)];
                        if (v < best_beyond) {
                            best_beyond = v;
                            cut.beyond_shift = s;
                        }
                    }
                }
                cut.offset = -half_ + 0.5 + o;
                const int used = (cut.below_used ? n_below : 0) + (cut.beyond_used ? n_beyond : 0);
                cut.score = (best_below + best_beyond) / used;
                if (std::isfinite(cut.score)) found.push_back(cut);
            }
        }
        return best_of(std::move(found));
    }

    // Which side of `cut` pixel k lies on: -1 below, 1 beyond, 0 in the guard band.
    int side_of(const Cut& cut, int k) const {
        if (cut.behind != 0 && cut.behind * (along(cut, k) - cut.tip) < 0.0) return 0;
        const double p = projection(cut, k);
        if (p > cut.offset + cut.guard) return 1;
        if (cut.guard > 0.0 ? p < cut.offset - cut.guard : true) return -1;
        return 0;
    }

    // Residual the warp `w` leaves on the pixels of `cut`'s used sides (their own zero mean
    // and scale, as a side's fit is judged); NaN when that part is flat or `w` leaves the image.
    double residual_on_used(int index, const Cut& cut, const Warp& w) {
        if (!solver_.prepare(index)) return std::numeric_limits<double>::quiet_NaN();
        for (int k = 0; k < n_; ++k) {
            const int at = side_of(cut, k);
            part_[static_cast<std::size_t>(k)] =
                (at < 0 && cut.below_used) || (at > 0 && cut.beyond_used) ? 1 : 0;
        }
        if (!solver_.restrict_to(part_.data(), false) || !solver_.residual(w, residual_.data()))
            return std::numeric_limits<double>::quiet_NaN();
        double ssr = 0.0;
        for (double r : residual_) ssr += r * r;
        return ssr;
    }

    // One side of `cut` solved alone from its best translation: its residual and its warp.
    bool solve_side(int index, const Cut& cut, bool beyond, double& ssr, double& pixels,
                    Warp& fitted) {
        if (!solver_.prepare(index)) return false;
        int count = 0;
        for (int k = 0; k < n_; ++k) {
            const bool in = side_of(cut, k) == (beyond ? 1 : -1);
            part_[static_cast<std::size_t>(k)] = in ? 1 : 0;
            count += in ? 1 : 0;
        }
        // A narrow side holds too few pixels to pin down its own gradients; a side of a cut
        // that stops at a tip is fitted with them, as the field near a tip is steep.
        const bool affine = 4 * count >= n_ || cut.behind != 0;
        if (!solver_.restrict_to(part_.data(), affine)) return false;
        const Warp& start =
            translations_[static_cast<std::size_t>(beyond ? cut.beyond_shift : cut.below_shift)];
        const SubsetSolution s = solver_.solve(start);
        // A side next to a gap the interpolant reads may cycle by hundredths of a pixel without
        // settling: near its start it still says how well the side fits.
        const bool settled =
            s.status == GuidedStatus::kConverged ||
            (s.status == GuidedStatus::kNotConverged && s.iterations >= max_iterations_ &&
             std::fabs(s.warp.u - start.u) <= kSplitShiftReach * kSplitShiftStep &&
             std::fabs(s.warp.v - start.v) <= kSplitShiftReach * kSplitShiftStep);
        if (!settled) return false;
        if (!solver_.residual(s.warp, residual_.data())) return false;
        ssr = 0.0;
        for (double r : residual_) ssr += r * r;
        pixels = solver_.pixel_count();
        fitted = s.warp;
        return true;
    }

    bool splits(int index, const Cut& cut, double whole) {
        double ssr_below = 0.0, ssr_beyond = 0.0, pixels_below = 0.0, pixels_beyond = 0.0;
        Warp below, beyond;
        if (!solve_side(index, cut, false, ssr_below, pixels_below, below)) return false;
        if (!solve_side(index, cut, true, ssr_beyond, pixels_beyond, beyond)) return false;
        return sides_part(cut, whole, ssr_below, pixels_below, below, ssr_beyond, pixels_beyond,
                          beyond);
    }

    // A cut with a guard band: the one warp is judged on the sides' pixels alone.
    bool splits_guarded(int index, const Cut& cut, const Warp& w,
                        double min_jump = kSplitGuardedJump) {
        double ssr_below = 0.0, ssr_beyond = 0.0, pixels_below = 0.0, pixels_beyond = 0.0;
        Warp below, beyond;
        if (!solve_side(index, cut, false, ssr_below, pixels_below, below)) return false;
        if (!solve_side(index, cut, true, ssr_beyond, pixels_beyond, beyond)) return false;
        const double whole = residual_on_used(index, cut, w);
        if (!(whole > 0.0)) return false;
        // Without the band the sides' fits are carried over it to the cut: two first-order
        // fits of a steep smooth field part there by tenths of a pixel more than next to it.
        return sides_part(cut, whole, ssr_below, pixels_below, below, ssr_beyond, pixels_beyond,
                          beyond, min_jump);
    }

    // A cut whose one side is too thin to fit (a lip, or a gap, just inside the subset's
    // edge): the other side, fitted alone, must leave at most kSplitEdgeRatio of what the one
    // warp leaves there (the thin strip pulled that warp), and its warp, carried over the
    // rest of the subset, must leave kSplitEdgeContrast times more residual per pixel there
    // than on its own side. A smooth field, however curved, carries over the few pixels to
    // the edge; a lip that moved apart, or a gap, does not. The thin side's lip must have been
    // measured beside the subset (measured_past).
    bool edge_splits(const GuidedResult& result, int index, const Cut& cut, const Warp& w) {
        const bool beyond = cut.beyond_used;
        if (!measured_past(result, index, cut, !beyond)) return false;
        double ssr = 0.0, pixels = 0.0;
        Warp side;
        if (!solve_side(index, cut, beyond, ssr, pixels, side)) return false;
        const double whole = residual_on_used(index, cut, w);
        if (!(whole > 0.0) || !(ssr <= kSplitEdgeRatio * whole)) return false;
        if (!solver_.prepare(index) || !solver_.residual(side, residual_.data())) return false;
        double on = 0.0, off = 0.0;
        int count_on = 0, count_off = 0;
        for (int k = 0; k < n_; ++k) {
            if (!solver_.on_subset(k)) continue;
            const double r2 =
                residual_[static_cast<std::size_t>(k)] * residual_[static_cast<std::size_t>(k)];
            if (side_of(cut, k) == (beyond ? 1 : -1)) {
                on += r2;
                ++count_on;
            } else {
                off += r2;
                ++count_off;
            }
        }
        if (count_on == 0 || count_off < side_) return false;
        return off / count_off > kSplitEdgeContrast * (on / count_on);
    }

    // Whether a valid point within kSplitGateReach grid steps lies past `cut` on its thin
    // side (`beyond` or below): a lip there is material that was measured. A strip at the
    // image's edge, where the deformed image holds what moved in from outside (a dark margin),
    // has none and stays the misfit test's business.
    static bool measured_past(const GuidedResult& result, int index, const Cut& cut, bool beyond) {
        const int rows = result.rows, cols = result.cols, r = index / cols, c = index % cols;
        const auto centre = static_cast<std::size_t>(index);
        for (int rr = std::max(0, r - kSplitGateReach);
             rr <= std::min(rows - 1, r + kSplitGateReach); ++rr)
            for (int cc = std::max(0, c - kSplitGateReach);
                 cc <= std::min(cols - 1, c + kSplitGateReach); ++cc) {
                const auto j = static_cast<std::size_t>(rr) * cols + cc;
                if (!result.valid[j]) continue;
                const double p = (result.x[j] - result.x[centre]) * cut.cos +
                                 (result.y[j] - result.y[centre]) * cut.sin;
                if (beyond ? p > cut.offset : p < cut.offset) return true;
            }
        return false;
    }

    // Whether the two sides of `cut`, fitted apart, leave little of the one warp's residual
    // `whole` and disagree where they meet by more than `min_jump` px.
    bool sides_part(const Cut& cut, double whole, double ssr_below, double pixels_below,
                    const Warp& below, double ssr_beyond, double pixels_beyond, const Warp& beyond,
                    double min_jump = kSplitMinJump) const {
        // Together the sides must leave at most kSplitRatio of the residual, and neither more
        // than its share of the pixels: a smudge on one side leaves that side's residual where
        // it was however well the other fits, so only a cut through the smudge would pass.
        const double pixels = pixels_below + pixels_beyond;
        const bool narrow = std::min(pixels_below, pixels_beyond) < kSplitNarrowShare * pixels;
        // A cut that stops at a tip keeps a part of the subset the one warp was not fitted
        // to alone; its sides' parting, not their residual, tells a crack there.
        const double ratio = cut.behind != 0 ? kTipRatio : narrow ? kSplitNarrowRatio : kSplitRatio;
        if (!(ssr_below + ssr_beyond <= ratio * whole) ||
            !(ssr_below <= whole * pixels_below / pixels) ||
            !(ssr_beyond <= whole * pixels_beyond / pixels))
            return false;
        // Where the cut crosses the line through the centre along its normal, or, for a cut
        // that stops at a tip, halfway along the part of it kept.
        const double mid = cut.behind != 0 ? (cut.tip + cut.behind * half_) / 2 : 0.0;
        const double dx = cut.offset * cut.cos - mid * cut.sin;
        const double dy = cut.offset * cut.sin + mid * cut.cos;
        const double du =
            displacement_at(below, dx, dy, true) - displacement_at(beyond, dx, dy, true);
        const double dv =
            displacement_at(below, dx, dy, false) - displacement_at(beyond, dx, dy, false);
        // Two first-order fits of a curved field (a sine of a period near the subset) part
        // at the cut by about what their gradients differ by over half a subset; a jump
        // leaves the lips' gradients alike.
        // At a tip the lips turn apart, so their gradients along the line differ by how fast
        // the opening grows; halfway along the kept part a smooth field's sides agree however
        // their gradients along it differ, and only those across it are compared.
        const auto apart = [&cut](double d_dx, double d_dy) {
            return cut.behind != 0 ? std::fabs(d_dx * cut.cos + d_dy * cut.sin)
                                   : std::fabs(d_dx) + std::fabs(d_dy);
        };
        const double bend =
            half_ * std::max(apart(below.du_dx - beyond.du_dx, below.du_dy - beyond.du_dy),
                             apart(below.dv_dx - beyond.dv_dx, below.dv_dy - beyond.dv_dy));
        return std::max(std::fabs(du), std::fabs(dv)) > std::max(min_jump, bend);
    }

    SubsetSolver solver_;
    int max_iterations_;
    int half_, side_, n_;
    std::vector<double> residual_;
    std::vector<std::uint8_t> part_;
    std::vector<double> squares_;  // squared residual of every pixel under every shift
    std::vector<double> bins_;     // per shift, per offset bin
    std::vector<int> counts_;      // pixels per offset bin
    std::vector<Warp> translations_;
    std::vector<double> total_, beyond_;  // per translation
};

// Which of `count` points `judge(test, g, cut)` finds straddling a jump, judged over `threads`
// with a SplitTest each; `passed` gets the cut each passed on.
template <typename Judge>
std::vector<std::uint8_t> judged(const ReferenceImage::Data& reference, const DeformedFrame& frame,
                                 const GuidedConfig& config, int threads, std::size_t count,
                                 std::vector<Cut>& passed, const Judge& judge) {
    std::vector<std::uint8_t> marked(count, 0);
    passed.assign(count, Cut{});
    const int n = static_cast<int>(count);
#pragma omp parallel num_threads(threads)
    {
        SplitTest test(reference, frame, config);
#pragma omp for schedule(dynamic, 1)
        for (int g = 0; g < n; ++g) {
            const auto at = static_cast<std::size_t>(g);
            marked[at] = judge(test, at, passed[at]) ? 1 : 0;
        }
    }
    return marked;
}

// The line `cut` made at grid point `index` of `result`, in image coordinates.
CutLine line_of(const GuidedResult& result, int index, const Cut& cut) {
    CutLine line;
    line.cos = cut.cos;
    line.sin = cut.sin;
    line.x = result.x[static_cast<std::size_t>(index)];
    line.y = result.y[static_cast<std::size_t>(index)];
    line.at = cut.offset + cut.cos * line.x + cut.sin * line.y;
    return line;
}

// Valid points whose subset (of half side `half`) the line of a point marked last round
// runs through, each with the line of the nearest such point (the first in index order of
// equals); points `tried` already are left out and become tried.
std::vector<std::pair<int, CutLine>> tip_candidates(
    const GuidedResult& result, const std::vector<std::pair<int, CutLine>>& lines, double half,
    int step, std::vector<std::uint8_t>& tried) {
    const int rows = result.rows, cols = result.cols;
    const int reach = static_cast<int>(std::ceil(2 * half / std::max(1, step)));
    std::vector<int> nearest(result.valid.size(), -1);
    std::vector<int> distance(result.valid.size(), std::numeric_limits<int>::max());
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const int m = lines[l].first, r = m / cols, c = m % cols;
        const CutLine& line = lines[l].second;
        for (int rr = std::max(0, r - reach); rr <= std::min(rows - 1, r + reach); ++rr)
            for (int cc = std::max(0, c - reach); cc <= std::min(cols - 1, c + reach); ++cc) {
                const auto j = static_cast<std::size_t>(rr) * cols + cc;
                if (!result.valid[j] || tried[j]) continue;
                const double off = line.at - (line.cos * result.x[j] + line.sin * result.y[j]);
                if (!(std::fabs(off) <= half - kTipGuard - kSplitGuardedSide)) continue;
                const int d = std::max(std::abs(rr - r), std::abs(cc - c));
                if (d < distance[j]) {
                    distance[j] = d;
                    nearest[j] = static_cast<int>(l);
                }
            }
    }
    std::vector<std::pair<int, CutLine>> out;
    for (std::size_t j = 0; j < nearest.size(); ++j)
        if (nearest[j] >= 0) {
            tried[j] = 1;
            out.emplace_back(static_cast<int>(j),
                             lines[static_cast<std::size_t>(nearest[j])].second);
        }
    return out;
}

}  // namespace

void mark_discontinuities(const ReferenceImage::Data& reference, const DeformedFrame& frame,
                          const GuidedConfig& config, GuidedResult& result, int threads) {
    const std::vector<double> misfit = valid_misfits(result);
    std::vector<int> tested = gated_points(result, misfit);
    if (tested.empty()) return;
    const int rows = result.rows, cols = result.cols;
    std::vector<std::uint8_t> tried(misfit.size(), 0);
    const auto mark = [&result](std::size_t i) {
        result.valid[i] = 0;
        result.status[i] = static_cast<std::uint8_t>(GuidedStatus::kCrossesDiscontinuity);
        result.sigma_u[i] = result.sigma_v[i] = std::numeric_limits<double>::quiet_NaN();
    };
    std::vector<std::pair<int, CutLine>> lines;  // of the points marked
    // Each round judges its points on the result as the rounds before left it, so the outcome
    // depends neither on the order of the points nor on `threads`.
    while (!tested.empty()) {
        std::vector<Cut> passed;
        const std::vector<std::uint8_t> marked =
            judged(reference, frame, config, threads, tested.size(), passed,
                   [&](SplitTest& test, std::size_t g, Cut& cut) {
                       const int i = tested[g];
                       return test.straddles(result, i, warp_at(result, i), cut);
                   });
        for (const int i : tested) tried[static_cast<std::size_t>(i)] = 1;
        std::vector<int> next;
        for (std::size_t g = 0; g < tested.size(); ++g) {
            if (!marked[g]) continue;
            const auto i = static_cast<std::size_t>(tested[g]);
            mark(i);
            if (passed[g].below_used && passed[g].beyond_used)
                lines.emplace_back(tested[g], line_of(result, tested[g], passed[g]));
            // Towards a crack's tip the opening, and with it the misfit, fades below what
            // the gate lets through, while the subsets there still blend the lips: the
            // neighbours of a marked point are tested too once their misfit clears the floor.
            const int r = static_cast<int>(i) / cols, c = static_cast<int>(i) % cols;
            for (int rr = std::max(0, r - 1); rr <= std::min(rows - 1, r + 1); ++rr)
                for (int cc = std::max(0, c - 1); cc <= std::min(cols - 1, c + 1); ++cc) {
                    const auto j = static_cast<std::size_t>(rr) * cols + cc;
                    if (!tried[j] && result.valid[j] && misfit[j] > kSplitGateFloor) {
                        tried[j] = 1;
                        next.push_back(static_cast<int>(j));
                    }
                }
        }
        std::sort(next.begin(), next.end());
        tested = std::move(next);
    }
    // Closer to the tip the misfit fades into the noise: the valid subsets the marked points'
    // lines run through are tested for a crack that ends inside them, whatever their misfit,
    // in rounds as above, each new mark's line reaching further.
    std::vector<std::uint8_t> tip_tried(misfit.size(), 0);
    while (!lines.empty()) {
        const auto candidates =
            tip_candidates(result, lines, reference.half, config.step, tip_tried);
        std::vector<Cut> passed;
        const std::vector<std::uint8_t> marked = judged(
            reference, frame, config, threads, candidates.size(), passed,
            [&](SplitTest& test, std::size_t g, Cut& cut) {
                const int i = candidates[g].first;
                return test.holds_tip(result, i, warp_at(result, i), candidates[g].second, cut);
            });
        lines.clear();
        for (std::size_t g = 0; g < candidates.size(); ++g) {
            if (!marked[g]) continue;
            mark(static_cast<std::size_t>(candidates[g].first));
            lines.emplace_back(candidates[g].first,
                               line_of(result, candidates[g].first, passed[g]));
        }
    }
}

}  // namespace morvex::dic::detail
