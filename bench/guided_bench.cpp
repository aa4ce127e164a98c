// The specified engine and the guided path side by side on the bench data.
//
// Usage: guided_bench <bench-data folder> [runs (default 5)] [--quick]
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
#include <morvex/guided.hpp>
#include <morvex/synthesis.hpp>

#include "bench_data.hpp"

namespace {

using morvex::bench::ComponentStats;
using morvex::bench::DataSet;
using morvex::bench::ErrorStats;
using morvex::bench::Field;
using namespace morvex::dic;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The guided grid placed on the engine's grid (margin: half a subset plus its search range
// of 21 px), so both measure the same 4096 points.
GuidedConfig bench_guided_config(int size) {
    GuidedConfig config;
    config.roi_x0 = 21;
    config.roi_y0 = 21;
    config.roi_x1 = size - 22;
    config.roi_y1 = size - 22;
    return config;
}

ErrorStats guided_errors(const GuidedResult& r, const Field& field) {
    ErrorStats stats;
    stats.total = static_cast<int>(r.u.size());
    std::vector<double> eu, ev;
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        if (!r.valid[i]) continue;
        double tu, tv;
        field.displacement(r.x[i], r.y[i], tu, tv);
        eu.push_back(r.u[i] - tu);
        ev.push_back(r.v[i] - tv);
    }
    stats.valid = static_cast<int>(eu.size());
    stats.valid_share = stats.total > 0 ? static_cast<double>(stats.valid) / stats.total : 0.0;
    stats.u = morvex::bench::detail_stats::summarise(eu);
    stats.v = morvex::bench::detail_stats::summarise(ev);
    return stats;
}

std::uint64_t checksum(const GuidedResult& r) {
    std::uint64_t h = 1469598103934665603ULL;
    const auto add = [&h](const void* data, std::size_t bytes) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 1099511628211ULL;
    };
    add(r.u.data(), r.u.size() * sizeof(double));
    add(r.v.data(), r.v.size() * sizeof(double));
    add(r.valid.data(), r.valid.size());
    add(r.iterations.data(), r.iterations.size() * sizeof(int));
    return h;
}

int run(const std::string& root, int runs) {
    const DataSet clean = morvex::bench::read_data_set(root + "/clean");
    const cv::Mat reference = clean.load_reference();
    const cv::Mat deformed = clean.load_deformed("translate_03");
    GuidedConfig config = bench_guided_config(reference.cols);
    config.compute_strain = false;
    auto t0 = std::chrono::steady_clock::now();
    const ReferenceImage ref(reference, config);
    std::printf("ReferenceImage build %.2f ms, %d x %d grid\n", 1e3 * seconds_since(t0),
                ref.grid_rows(), ref.grid_cols());
    for (int threads : {1, 2}) {
        config.threads = threads;
        std::vector<double> rates;
        std::uint64_t sum = 0;
        for (int k = 0; k < runs; ++k) {
            t0 = std::chrono::steady_clock::now();
            const GuidedResult r = correlate_guided(ref, deformed, config);
            rates.push_back(r.u.size() / seconds_since(t0));
            sum = checksum(r);
        }
        std::sort(rates.begin(), rates.end());
        std::printf("threads %d: %.0f points/s checksum %016llx\n", threads, rates[rates.size() / 2],
                    static_cast<unsigned long long>(sum));
    }
    config.threads = 2;
    for (const char* name : {"translate_00", "translate_03", "translate_05", "affine", "large_shift",
                             "rotate_2deg", "sine_060"}) {
        const GuidedResult r = correlate_guided(ref, clean.load_deformed(name), config);
        const ErrorStats s = guided_errors(r, clean.pair(name).field);
        double it = 0;
        for (int k : r.iterations) it += k;
        std::printf("%-13s bias %8.5f %8.5f std %8.5f %8.5f rms %8.5f %8.5f valid %.2f%% it %.2f\n",
                    name, s.u.bias, s.v.bias, s.u.std, s.v.std, s.u.rms, s.v.rms,
                    100 * s.valid_share, it / r.iterations.size());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <bench-data folder> [runs]\n", argv[0]);
        return 1;
    }
    try {
        return run(argv[1], argc > 2 ? std::max(1, std::atoi(argv[2])) : 5);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "guided_bench: %s\n", e.what());
        return 1;
    }
}
