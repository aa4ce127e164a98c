// Tracking mode on the bench data: share of valid points, RMS error and points per second,
// with the recovery passes on (the default) and off; then a streaming run over frames made by
// translating a speckle image in steps (frames per second and the error of each frame).
//
// Usage: tracking_bench <bench-data folder> [threads (default 2)] [repeats (default 1)] [pair]
// (a pair name such as translate_03 restricts the tracking table to that pair and skips the
// streaming run).
// The folder holds clean/ and noisy/ with their manifest.json. Points per second are taken
// from the fastest of the repeats, by the wall clock; "pts/cpu-s" divides the points by the
// CPU time all threads spent, which stays meaningful on a machine shared with other work
// (times the thread count, it is the wall-clock rate the run would reach on idle cores).
// Each row ends with a checksum of the result (u, v, valid, iterations) so that a speed-up
// that changes any result shows at once.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include <omp.h>

#include <morvex/engine.hpp>
#include <morvex/streaming.hpp>
#include <morvex/synthesis.hpp>

#include "bench_data.hpp"

namespace {

using morvex::dic::DICConfig;
using morvex::dic::DICEngine;
using morvex::dic::DICResult;

// FNV-1a over the bytes of the measured fields.
class Checksum {
public:
    template <typename T>
    void add(const std::vector<T>& values) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
        for (std::size_t i = 0; i < values.size() * sizeof(T); ++i) {
            hash_ ^= bytes[i];
            hash_ *= 1099511628211ull;
        }
    }
    std::uint64_t value() const { return hash_; }

private:
    std::uint64_t hash_ = 14695981039346656037ull;
};

std::uint64_t result_checksum(const DICResult& r) {
    Checksum sum;
    sum.add(r.u);
    sum.add(r.v);
    sum.add(r.valid);
    sum.add(r.iterations);
    return sum.value();
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double combined_rms(const morvex::bench::ErrorStats& s) {
    return std::sqrt(s.u.rms * s.u.rms + s.v.rms * s.v.rms);
}

void run_tracking(const std::string& root, int repeats, const std::string& only) {
    const char* kPairs[] = {"translate_03", "rotate_2deg", "large_shift"};
    std::printf("%-6s %-13s %-8s %6s %7s %9s %9s %9s %9s %10s  %s\n", "set", "pair", "recovery",
                "points", "valid", "rms_u", "rms_v", "rms", "points/s", "pts/cpu-s", "checksum");
    for (const char* set_name : {"clean", "noisy"}) {
        const morvex::bench::DataSet set = morvex::bench::read_data_set(root + "/" + set_name);
        const cv::Mat reference = set.load_reference();
        for (const char* pair_name : kPairs) {
            if (!only.empty() && only != pair_name) continue;
            const morvex::bench::PairSpec& pair = set.pair(pair_name);
            const cv::Mat deformed = set.load_deformed(pair_name);
            for (bool recovery : {true, false}) {
                DICConfig config;
                config.use_tracking_simplex = true;
                config.tracking_spatial_recovery = recovery;
                config.compute_strain = false;  // measure the correlation alone
                DICEngine engine;
                DICResult result;
                double best = 1e300;
                double best_cpu = 1e300;
                for (int k = 0; k < repeats; ++k) {
                    const auto t0 = std::chrono::steady_clock::now();
                    const std::clock_t c0 = std::clock();
                    result = engine.run(reference, deformed, config);
                    best_cpu =
                        std::min(best_cpu, static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
                    best = std::min(best, seconds_since(t0));
                }
                const auto stats = morvex::bench::displacement_errors(result, pair.field);
                std::printf("%-6s %-13s %-8s %6d %6.1f%% %9.4f %9.4f %9.4f %9.0f %10.0f  %016llx\n",
                            set_name, pair_name, recovery ? "on" : "off", stats.total,
                            100.0 * stats.valid_share, stats.u.rms, stats.v.rms,
                            combined_rms(stats), stats.total / best, stats.total / best_cpu,
                            static_cast<unsigned long long>(result_checksum(result)));
                std::fflush(stdout);
            }
        }
    }
}

// A 512 x 512 speckle image moved by (0.35, -0.2) px per frame: ten frames against the
// first, with the default configuration (standard path), as a camera stream would arrive.
void run_streaming() {
    constexpr int kSize = 512;
    constexpr int kFrames = 10;
    constexpr double kStepU = 0.35;
    constexpr double kStepV = -0.2;
    const cv::Mat reference = morvex::dic::generate_speckle(kSize, kSize, 4, 0.6, 2024);

    DICConfig config;
    config.compute_strain = false;
    morvex::dic::StreamingDIC stream(config);
    stream.process_frame(reference);

    std::printf("\nstreaming: %dx%d speckle, step (%.2f, %.2f) px per frame, default config\n",
                kSize, kSize, kStepU, kStepV);
    std::printf("%5s %7s %7s %6s %7s %9s %9s %9s\n", "frame", "true_u", "true_v", "points", "valid",
                "rms_u", "rms_v", "ms");
    double total_ms = 0.0;
    for (int k = 1; k <= kFrames; ++k) {
        morvex::bench::Field field;
        field.kind = "translate";
        field.p["u"] = k * kStepU;
        field.p["v"] = k * kStepV;
        const cv::Mat frame = morvex::dic::translate_image(reference, k * kStepU, k * kStepV);
        const DICResult result = stream.process_frame(frame);
        const auto stats = morvex::bench::displacement_errors(result, field);
        total_ms += stream.last_frame_ms();
        std::printf("%5d %7.2f %7.2f %6d %6.1f%% %9.4f %9.4f %9.1f\n", k, k * kStepU, k * kStepV,
                    stats.total, 100.0 * stats.valid_share, stats.u.rms, stats.v.rms,
                    stream.last_frame_ms());
        std::fflush(stdout);
    }
    std::printf("streaming: %.2f frames/s over %d frames\n", kFrames / (total_ms / 1000.0),
                kFrames);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <bench-data folder> [threads] [repeats] [pair]\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    const int threads = argc > 2 ? std::atoi(argv[2]) : 2;
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    const std::string only = argc > 4 ? argv[4] : "";
    if (threads < 1) {
        std::fprintf(stderr, "threads must be at least 1\n");
        return 2;
    }
    omp_set_num_threads(threads);
    std::printf("tracking_bench: %s, %d thread(s), fastest of %d run(s)\n\n", root.c_str(), threads,
                repeats);
    try {
        run_tracking(root, repeats, only);
        if (only.empty()) run_streaming();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tracking_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
