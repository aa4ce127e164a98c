#include "matching/simplex.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace morvex::dic::detail {

namespace {

// Guards the relative spread against a zero denominator at a perfect match.
constexpr double kRelativeSpreadFloor = 1e-10;
// Two trial values closer than this count as a stall.
constexpr double kStallDifference = 1e-8;
// More stalls than this end the search even when the spread is still large.
constexpr int kMaxStalls = 15;
// With an integer peak the simplex must first contract to this share of its initial steps
// (or to kMinSimplexSpread, whichever is larger), after at least kMinFoundIterations.
constexpr double kSpreadShare = 0.05;
constexpr double kMinSimplexSpread = 0.005;
constexpr int kMinFoundIterations = 6;

// Nelder-Mead moves over three coordinates written with the sums S of all four vertices
// and the worst vertex W: with c the centroid of the other three, reflection 2c - W,
// expansion 2W' - c and contraction (c + W) / 2.
constexpr double kReflectSum = 2.0 / 3.0;
constexpr double kReflectWorst = 5.0 / 3.0;
constexpr double kExpandWorst = 7.0 / 3.0;
constexpr double kExpandSum = 1.0 / 3.0;
constexpr double kContractSum = 1.0 / 6.0;
constexpr double kContractWorst = 1.0 / 3.0;

constexpr int kSlots = 4;
constexpr int kCoords = 3;

struct Vertex {
    SimplexPoint p{};  // u, v, t
    double f = 0.0;
};

struct Simplex {
    std::array<Vertex, kSlots> slot;
    SimplexPoint sum{};

    void recompute_sums() {
        for (int j = 0; j < kCoords; ++j) {
            double s = 0.0;
            for (const Vertex& vertex : slot) s += vertex.p[j];
            sum[j] = s;
        }
    }

    void replace(int i, const SimplexPoint& p, double f) {
        for (int j = 0; j < kCoords; ++j) sum[j] += p[j] - slot[i].p[j];
        slot[i].p = p;
        slot[i].f = f;
    }
};

// Best: the last slot with the lowest value. Worst and second worst as in the classic
// ranking, seeded from slots 0 and 1.
struct Ranking {
    int best = 0;
    int worst = 1;
    int second = 0;
};

Ranking rank(const Simplex& s) {
    Ranking r;
    for (int i = 1; i < kSlots; ++i)
        if (s.slot[i].f <= s.slot[r.best].f) r.best = i;
    if (s.slot[0].f <= s.slot[1].f) {
        r.worst = 1;
        r.second = 0;
    } else {
        r.worst = 0;
        r.second = 1;
    }
    for (int i = 2; i < kSlots; ++i) {
        if (s.slot[i].f > s.slot[r.worst].f) {
            r.second = r.worst;
            r.worst = i;
        } else if (s.slot[i].f > s.slot[r.second].f) {
            r.second = i;
        }
    }
    return r;
}

// Lowest value, the lowest slot number on ties.
int lowest_slot(const Simplex& s) {
    int chosen = 0;
    for (int i = 1; i < kSlots; ++i)
        if (s.slot[i].f < s.slot[chosen].f) chosen = i;
    return chosen;
}

SimplexPoint combine(double sum_weight, const SimplexPoint& sum, double worst_weight,
                     const SimplexPoint& worst) {
    SimplexPoint p{};
    for (int j = 0; j < kCoords; ++j) p[j] = sum_weight * sum[j] + worst_weight * worst[j];
    return p;
}

}  // namespace

SimplexOutcome nelder_mead_search(const std::function<double(const SimplexPoint&)>& objective,
                                  const SimplexSettings& settings) {
    const bool found = settings.from_integer_peak;
    const double u_start = settings.start[0];
    const double v_start = settings.start[1];
    const double d = settings.step_disp;
    const double dt = settings.step_angle;
    const auto& evaluate = objective;

    Simplex s;
    s.slot[0].p = {u_start, v_start, settings.start[2]};
    s.slot[1].p = {u_start + d, v_start, settings.start[2]};
    s.slot[2].p = {u_start, v_start + d, settings.start[2]};
    s.slot[3].p = {u_start, v_start, settings.start[2] + dt};
    for (Vertex& vertex : s.slot) vertex.f = evaluate(vertex.p);

    if (found) {
        // Point the first steps downhill from the integer peak; plus wins a tie.
        const SimplexPoint minus_u{u_start - d, v_start, settings.start[2]};
        const double f_minus_u = evaluate(minus_u);
        if (s.slot[1].f > f_minus_u) s.slot[1] = {minus_u, f_minus_u};
        const SimplexPoint minus_v{u_start, v_start - d, settings.start[2]};
        const double f_minus_v = evaluate(minus_v);
        if (s.slot[2].f > f_minus_v) s.slot[2] = {minus_v, f_minus_v};
    }

    const int limit = std::max(1, settings.max_iterations);
    s.recompute_sums();
    int stalls = 0;
    double previous_rel = 0.0;
    double last_trial = 0.0;
    double trial_before = -1.0;
    const double spread_limit_disp = std::max(kSpreadShare * d, kMinSimplexSpread);
    const double spread_limit_theta = std::max(kSpreadShare * dt, kMinSimplexSpread);

    int chosen = -1;
    int iterations = limit;
    for (int k = 0; k < limit - 1; ++k) {
        const Ranking r = rank(s);
        const double f_best = s.slot[r.best].f;
        const double f_worst = s.slot[r.worst].f;

        const double rel = 2.0 * std::fabs(f_worst - f_best) /
                           (std::fabs(f_worst) + std::fabs(f_best) + kRelativeSpreadFloor);
        if (std::fabs(last_trial - trial_before) < kStallDifference) ++stalls;
        const bool tolerance_met = settings.tolerance > rel ||
                                   settings.tolerance > std::fabs(rel - previous_rel) ||
                                   stalls > kMaxStalls;

        // Without an integer peak any tolerance stop will do; with one, the simplex must
        // also have shrunk around the best vertex, so a lucky flat start cannot end it.
        bool size_met = true;
        if (found) {
            const Vertex& b = s.slot[r.best];
            double spread_disp = 0.0;
            double spread_theta = 0.0;
            for (const Vertex& vertex : s.slot) {
                spread_disp = std::max(spread_disp, std::max(std::fabs(vertex.p[0] - b.p[0]),
                                                             std::fabs(vertex.p[1] - b.p[1])));
                spread_theta = std::max(spread_theta, std::fabs(vertex.p[2] - b.p[2]));
            }
            size_met = k >= kMinFoundIterations && spread_disp <= spread_limit_disp &&
                       spread_theta <= spread_limit_theta;
        }
        if (tolerance_met && size_met) {
            chosen = r.best;
            iterations = k;
            break;
        }
        previous_rel = rel;
        trial_before = last_trial;

        const SimplexPoint reflected =
            combine(kReflectSum, s.sum, -kReflectWorst, s.slot[r.worst].p);
        const double f_reflected = evaluate(reflected);
        last_trial = f_reflected;
        if (f_reflected < s.slot[r.worst].f) s.replace(r.worst, reflected, f_reflected);

        if (f_reflected <= f_best) {
            const SimplexPoint expanded =
                combine(-kExpandSum, s.sum, kExpandWorst, s.slot[r.worst].p);
            const double f_expanded = evaluate(expanded);
            last_trial = f_expanded;
            if (f_expanded < s.slot[r.worst].f) s.replace(r.worst, expanded, f_expanded);
        } else if (f_reflected >= s.slot[r.second].f) {
            const double g = s.slot[r.worst].f;
            const SimplexPoint contracted =
                combine(kContractSum, s.sum, kContractWorst, s.slot[r.worst].p);
            const double f_contracted = evaluate(contracted);
            last_trial = f_contracted;
            if (f_contracted < g) {
                s.replace(r.worst, contracted, f_contracted);
            } else {
                const SimplexPoint best = s.slot[r.best].p;
                for (int i = 0; i < kSlots; ++i) {
                    if (i == r.best) continue;
                    for (int j = 0; j < kCoords; ++j)
                        s.slot[i].p[j] = 0.5 * (s.slot[i].p[j] + best[j]);
                    s.slot[i].f = evaluate(s.slot[i].p);
                    last_trial = s.slot[i].f;
                }
                s.recompute_sums();
            }
        }
    }
    if (chosen < 0) chosen = lowest_slot(s);

    const Vertex& end = s.slot[chosen];
    SimplexOutcome outcome;
    outcome.best = end.p;
    outcome.value = end.f;
    outcome.iterations = iterations;
    return outcome;
}

}  // namespace morvex::dic::detail
