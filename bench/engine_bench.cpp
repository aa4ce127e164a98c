// The standard engine path on the bench data: speed at 1 and 2 threads, peak memory, and the
// accuracy of u, v and strain against the known fields, checked against the targets.
//
// Usage: engine_bench <bench-data folder> [runs (default 5)]
// The folder holds clean/ and noisy/ with their manifest.json. Speed is correlation only
// (compute_strain off) on translate_03 with the default configuration, the median of the runs.
// The speed lines end with a checksum of the result (u, v, valid, iterations): it must be the
// same at every thread count, and a speed-up that changes it has changed the results.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <omp.h>
#include <sys/resource.h>

#include <morvex/engine.hpp>

#include "bench_data.hpp"

namespace {

using morvex::bench::checksum;
using morvex::bench::DataSet;
using morvex::bench::ErrorStats;
using morvex::dic::DICConfig;
using morvex::dic::DICEngine;
using morvex::dic::DICResult;

// Targets for this machine kind (2 cores).
constexpr double kMinPointsPerSecond2 = 8000.0;
constexpr double kMinSpeedup = 1.8;
constexpr double kMaxCleanRms = 0.0035;      // px, translate_03 and affine
constexpr double kMaxCleanBias = 0.0035;     // px, over translate_00..10
constexpr double kMaxNoisyStd = 0.0042;      // px, translate_03
constexpr double kMaxStrainStdClean = 7e-5;  // exx on affine
constexpr double kMaxStrainStdNoisy = 1e-4;
constexpr double kMaxStrainMean = 1e-5;

struct Speed {
    double points_per_second = 0.0;
    std::uint64_t sum = 0;
    int points = 0;
};

Speed measure_speed(const cv::Mat& reference, const cv::Mat& deformed, int threads, int runs) {
    omp_set_num_threads(threads);
    DICConfig config;
    config.compute_strain = false;
    DICEngine engine;
    std::vector<double> rates;
    Speed speed;
    engine.run(reference, deformed, config);  // warm-up: page faults, caches, thread pool
    for (int k = 0; k < runs; ++k) {
        const auto start = std::chrono::steady_clock::now();
        const DICResult result = engine.run(reference, deformed, config);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rates.push_back(static_cast<double>(result.u.size()) / seconds);
        const std::uint64_t sum = checksum(result);
        if (k > 0 && sum != speed.sum) std::printf("WARNING: results differ between runs\n");
        speed.sum = sum;
        speed.points = static_cast<int>(result.u.size());
    }
    std::sort(rates.begin(), rates.end());
    speed.points_per_second = rates[rates.size() / 2];
    return speed;
}

const char* verdict(bool ok) {
    return ok ? "ok" : "MISSED";
}

int run_bench(const std::string& root, int runs) {
    const DataSet clean = morvex::bench::read_data_set(root + "/clean");
    const DataSet noisy = morvex::bench::read_data_set(root + "/noisy");
    const cv::Mat clean_reference = clean.load_reference();
    const cv::Mat noisy_reference = noisy.load_reference();
    bool all_ok = true;

    // --- Speed ---------------------------------------------------------------------------
    const cv::Mat speed_deformed = clean.load_deformed("translate_03");
    const Speed one = measure_speed(clean_reference, speed_deformed, 1, runs);
    const Speed two = measure_speed(clean_reference, speed_deformed, 2, runs);
    const double speedup = two.points_per_second / one.points_per_second;
    const bool speed_ok = two.points_per_second >= kMinPointsPerSecond2;
    const bool speedup_ok = speedup >= kMinSpeedup;
    const bool same = one.sum == two.sum;
    all_ok = all_ok && speed_ok && speedup_ok && same;
    std::printf(
        "Speed: translate_03 (clean), default config, %d points, correlation only, "
        "median of %d runs\n",
        one.points, runs);
    std::printf("  %-8s %12s  %s\n", "threads", "points/s", "checksum");
    std::printf("  %-8d %12.0f  %016llx\n", 1, one.points_per_second,
                static_cast<unsigned long long>(one.sum));
    std::printf("  %-8d %12.0f  %016llx  [target >= %.0f: %s]\n", 2, two.points_per_second,
                static_cast<unsigned long long>(two.sum), kMinPointsPerSecond2, verdict(speed_ok));
    std::printf(
        "  speed-up 2/1: %.2fx  [target >= %.1fx: %s]; results identical across "
        "thread counts: %s\n\n",
        speedup, kMinSpeedup, verdict(speedup_ok), same ? "yes" : "NO");

    // --- Displacement accuracy -----------------------------------------------------------
    omp_set_num_threads(2);
    DICEngine engine;
    const DICConfig config;  // defaults, strain included
    std::printf("Displacement error (measured - true) over valid points, px\n");
    std::printf("  %-6s %-13s %10s %10s %10s %10s %10s %10s %8s\n", "set", "pair", "bias u",
                "std u", "rms u", "bias v", "std v", "rms v", "valid");
    DICResult clean_affine, noisy_affine;
    for (const DataSet* set : {&clean, &noisy}) {
        const bool is_clean = set == &clean;
        const cv::Mat& reference = is_clean ? clean_reference : noisy_reference;
        for (const char* name : {"translate_03", "affine", "large_shift", "sine_060"}) {
            DICResult result = engine.run(reference, set->load_deformed(name), config);
            const ErrorStats s = morvex::bench::displacement_errors(result, set->pair(name).field);
            std::string notes;
            const std::string pair(name);
            if (is_clean && (pair == "translate_03" || pair == "affine")) {
                const bool ok = s.u.rms <= kMaxCleanRms && s.v.rms <= kMaxCleanRms;
                all_ok = all_ok && ok;
                notes += std::string(" [rms <= 0.0035: ") + verdict(ok) + "]";
            }
            if (!is_clean && pair == "translate_03") {
                const bool ok = s.u.std <= kMaxNoisyStd && s.v.std <= kMaxNoisyStd;
                all_ok = all_ok && ok;
                notes += std::string(" [std <= 0.0042: ") + verdict(ok) + "]";
            }
            if (pair != "sine_060" && (is_clean || pair == "translate_03")) {
                const bool ok = s.valid == s.total;
                all_ok = all_ok && ok;
                notes += std::string(" [100% valid: ") + verdict(ok) + "]";
            }
            std::printf("  %-6s %-13s %10.5f %10.5f %10.5f %10.5f %10.5f %10.5f %7.2f%%%s\n",
                        is_clean ? "clean" : "noisy", name, s.u.bias, s.u.std, s.u.rms, s.v.bias,
                        s.v.std, s.v.rms, 100.0 * s.valid_share, notes.c_str());
            if (pair == "affine") (is_clean ? clean_affine : noisy_affine) = std::move(result);
        }
    }

    // --- Sub-pixel bias over the translation series ---------------------------------------
    std::printf("\nLargest |bias| over translate_00 .. translate_10, px\n");
    for (const DataSet* set : {&clean, &noisy}) {
        const bool is_clean = set == &clean;
        const cv::Mat& reference = is_clean ? clean_reference : noisy_reference;
        double worst_u = 0.0, worst_v = 0.0;
        std::string worst_u_name, worst_v_name;
        bool all_valid = true;
        for (int k = 0; k <= 10; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "translate_%02d", k);
            const DICResult result = engine.run(reference, set->load_deformed(name), config);
            const ErrorStats s = morvex::bench::displacement_errors(result, set->pair(name).field);
            all_valid = all_valid && s.valid == s.total;
            if (std::abs(s.u.bias) >= worst_u) {
                worst_u = std::abs(s.u.bias);
                worst_u_name = name;
            }
            if (std::abs(s.v.bias) >= worst_v) {
                worst_v = std::abs(s.v.bias);
                worst_v_name = name;
            }
        }
        std::string notes;
        if (is_clean) {
            const bool ok = worst_u <= kMaxCleanBias && worst_v <= kMaxCleanBias && all_valid;
            all_ok = all_ok && ok;
            notes = std::string(" [<= 0.0035 and 100% valid: ") + verdict(ok) + "]";
        }
        std::printf("  %-6s u %.5f (%s)  v %.5f (%s)  all points valid: %s%s\n",
                    is_clean ? "clean" : "noisy", worst_u, worst_u_name.c_str(), worst_v,
                    worst_v_name.c_str(), all_valid ? "yes" : "no", notes.c_str());
    }

    // --- Strain on the affine pair ----------------------------------------------------------
    std::printf("\nStrain error on affine (strain_window 5) against Green-Lagrange truth\n");
    std::printf("  %-6s %12s %12s %12s %12s %12s %12s %7s\n", "set", "mean exx", "std exx",
                "mean eyy", "std eyy", "mean exy", "std exy", "points");
    for (const bool is_clean : {true, false}) {
        const DICResult& result = is_clean ? clean_affine : noisy_affine;
        const DataSet& set = is_clean ? clean : noisy;
        const auto s = morvex::bench::strain_errors(result, set.pair("affine").field);
        const double max_std = is_clean ? kMaxStrainStdClean : kMaxStrainStdNoisy;
        const bool ok = s.exx.std <= max_std && std::abs(s.exx.bias) < kMaxStrainMean;
        all_ok = all_ok && ok;
        std::printf(
            "  %-6s %12.2e %12.2e %12.2e %12.2e %12.2e %12.2e %7d [exx std <= %.0e, "
            "|mean| < 1e-5: %s]\n",
            is_clean ? "clean" : "noisy", s.exx.bias, s.exx.std, s.eyy.bias, s.eyy.std, s.exy.bias,
            s.exy.std, s.used, max_std, verdict(ok));
    }

    // --- Memory -------------------------------------------------------------------------------
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("\nPeak memory (max RSS of the whole benchmark): %.1f MiB\n",
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    std::printf("All targets met: %s\n", all_ok ? "yes" : "NO");
    return all_ok ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s <bench-data folder> [runs (default 5)]\n", argv[0]);
        return 1;
    }
    const int runs = argc == 3 ? std::max(1, std::atoi(argv[2])) : 5;
    try {
        return run_bench(argv[1], runs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "engine_bench: %s\n", e.what());
        return 1;
    }
}
