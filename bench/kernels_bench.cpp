// Per-call costs of the engine's innermost loops: the interpolators, the ZNSSD criterion
// and the Gauss-Newton solvers on one subset of 29 x 29 pixels. Synthesises its own speckle
// pair (512 x 512, content shifted by u = 0.3, v = -0.15), so it needs no data files.
//
//   kernels_bench [--benchmark_filter=...] [--benchmark_repetitions=...]
//
// Every solver benchmark checks the displacement it found, so a change that makes the code
// faster but wrong fails here instead of reporting a number.

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <morvex/interpolation.hpp>
#include <morvex/solvers.hpp>
#include <morvex/synthesis.hpp>
#include <morvex/znssd.hpp>

namespace {

using namespace morvex::dic;

constexpr int kSize = 512;
constexpr int kSubset = 29;
constexpr double kShiftU = 0.3;
constexpr double kShiftV = -0.15;
// A solver result further than this from the imposed shift means the code is wrong.
constexpr double kShiftTolerance = 0.02;

struct Pair {
    cv::Mat reference;
    cv::Mat deformed;
    std::vector<std::pair<int, int>> centres;          // subset centres, well inside
    std::vector<std::pair<double, double>> positions;  // sub-pixel sample positions
};

const Pair& pair() {
    static const Pair data = [] {
        Pair p;
        p.reference = generate_speckle(kSize, kSize, 3, 0.6, 2024u);
        p.deformed = translate_image(p.reference, kShiftU, kShiftV);
        std::mt19937 rng(1);
        std::uniform_int_distribution<int> centre(40, kSize - 41);
        for (int i = 0; i < 256; ++i) p.centres.emplace_back(centre(rng), centre(rng));
        // Sample positions inside one 29 x 29 subset, as a solver visits them.
        std::uniform_real_distribution<double> position(200.0, 229.0);
        for (int i = 0; i < 4096; ++i) p.positions.emplace_back(position(rng), position(rng));
        return p;
    }();
    return data;
}

void BM_KeysFourthInterp(benchmark::State& state) {
    const Pair& p = pair();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [y, x] = p.positions[i++ & 4095];
        benchmark::DoNotOptimize(keys_fourth_interp(p.reference, y, x));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeysFourthInterp);

void BM_BicubicInterpGrad(benchmark::State& state) {
    const Pair& p = pair();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [y, x] = p.positions[i++ & 4095];
        benchmark::DoNotOptimize(bicubic_interp_grad(p.reference, y, x));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BicubicInterpGrad);

void BM_BilinearInterp(benchmark::State& state) {
    const Pair& p = pair();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [y, x] = p.positions[i++ & 4095];
        benchmark::DoNotOptimize(bilinear_interp(p.reference, y, x));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BilinearInterp);

// arg 0: use_bicubic (fourth-order kernel) or bilinear.
void BM_ComputeZnssd(benchmark::State& state) {
    const Pair& p = pair();
    const bool fourth_order = state.range(0) != 0;
    WarpParams warp;
    warp.u = kShiftU;
    warp.v = kShiftV;
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [y, x] = p.centres[i++ & 255];
        const double score =
            compute_znssd(p.reference, p.deformed, y, x, warp, kSubset, fourth_order);
        if (!(score < 0.05)) state.SkipWithError("compute_znssd: the true warp scored badly");
        benchmark::DoNotOptimize(score);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ComputeZnssd)->Arg(1)->Arg(0);

template <ICGNResult (*Solve)(const cv::Mat&, const cv::Mat&, int, int, const WarpParams&,
                              const ICGNConfig&)>
void solver_benchmark(benchmark::State& state) {
    const Pair& p = pair();
    ICGNConfig config;  // defaults: 50 iterations, 1e-6, fourth order, subset 29
    config.use_bicubic = state.range(0) != 0;
    const WarpParams start;  // the integer search's answer for this pair: (0, 0)
    std::size_t i = 0;
    double iterations = 0.0;
    for (auto _ : state) {
        const auto& [y, x] = p.centres[i++ & 255];
        const ICGNResult r = Solve(p.reference, p.deformed, y, x, start, config);
        if (!r.converged || std::abs(r.warp.u - kShiftU) > kShiftTolerance ||
            std::abs(r.warp.v - kShiftV) > kShiftTolerance) {
            state.SkipWithError("solver: wrong or unconverged result");
            break;
        }
        iterations += r.iterations;
        benchmark::DoNotOptimize(r);
    }
    state.counters["iterations"] = iterations / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}

void BM_IcGnSolve(benchmark::State& state) {
    solver_benchmark<ic_gn_solve>(state);
}
BENCHMARK(BM_IcGnSolve)->Arg(1)->Arg(0);

void BM_FaGnSolve(benchmark::State& state) {
    solver_benchmark<fa_gn_solve>(state);
}
BENCHMARK(BM_FaGnSolve)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
