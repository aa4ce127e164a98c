// Metrological figures of the guided path's subset shapes, affine against quadratic at
// subsets 15, 21 and 29: spatial resolution l10% of displacement and strain on a star set
// made here on four speckle patterns, noise floors from a static noisy pair of each, the
// metrological efficiency indicator MEI = noise x l10%, the uncertainty calibration, RMS on
// the sine pairs of the bench data, the bias over the 0-1 px shift sweep, the speed, and the
// DIC Challenge sample 14 L5 l10%.
//
// Star set: four 1024 x 512 speckles from generate_speckle, each warped by u(X) =
// 0.5 sin(phi(X)) px whose period grows geometrically from 10 px (left) to 300 px (right),
// v = 0. The warped image is exact for the quintic B-spline interpolant of the reference (each
// deformed pixel x samples the spline at the X that solves x = X + u(X)); noisy copies add 2
// grey levels of independent read noise to both images. l10% is the period below which a half
// wave's least-squares amplitude (column means over the grid rows of all four patterns) first
// falls under 90 % of the truth, scanning from the longest period down, interpolated in log
// period.
//
// Usage: resolution_bench <bench-data folder> [dic-challenge folder] [--quick]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>
#include <sys/resource.h>

#include <morvex/guided.hpp>
#include <morvex/image.hpp>
#include <morvex/synthesis.hpp>

#include "bench_data.hpp"
#include "image/sampling/bspline.h"

namespace {

using namespace morvex::dic;
using morvex::bench::DataSet;
using morvex::bench::Field;

constexpr int kStarRows = 512, kStarCols = 1024;
constexpr double kAmplitude = 0.5;                          // px
constexpr double kShortPeriod = 10.0, kLongPeriod = 300.0;  // px
constexpr double kReadNoise = 2.0;                          // grey levels
constexpr double kTwoPi = 6.283185307179586;
constexpr int kThreads = 2;

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// --- The star set ---------------------------------------------------------------------------

double star_period(double x) {
    return kShortPeriod * std::pow(kLongPeriod / kShortPeriod, x / (kStarCols - 1.0));
}
double star_phase(double x) {
    const double r = std::log(kLongPeriod / kShortPeriod);
    return kTwoPi * (kStarCols - 1.0) / (kShortPeriod * r) *
           (1.0 - std::exp(-r * x / (kStarCols - 1.0)));
}
double star_u(double x) {
    return kAmplitude * std::sin(star_phase(x));
}
double star_exx(double x) {
    return kAmplitude * kTwoPi / star_period(x) * std::cos(star_phase(x));
}

// Every row resampled at X(x), x = X + u(X), through its exact quintic prefilter: along a row
// the 2-D spline at an integer row is this 1-D spline, so the warp is exact for the
// interpolant the solver uses.
cv::Mat warp_star(const cv::Mat& reference) {
    std::vector<double> source(static_cast<std::size_t>(kStarCols));
    for (int c = 0; c < kStarCols; ++c) {
        double x = c;
        for (int k = 0; k < 50; ++k) {
            const double step = (x + star_u(x) - c) / (1.0 + star_exx(x));
            x -= step;
            if (std::fabs(step) < 1e-13) break;
        }
        source[static_cast<std::size_t>(c)] = x;
    }
    cv::Mat out(reference.size(), CV_64FC1);
    std::vector<double> line(static_cast<std::size_t>(kStarCols));
    for (int r = 0; r < reference.rows; ++r) {
        const double* in = reference.ptr<double>(r);
        std::copy(in, in + kStarCols, line.begin());
        detail::bspline_prefilter_line(line.data(), kStarCols, 1, detail::SplineKind::kQuintic);
        double* o = out.ptr<double>(r);
        for (int c = 0; c < kStarCols; ++c) {
            const double x = source[static_cast<std::size_t>(c)];
            const int base = static_cast<int>(std::floor(x));
            double w[6];
            detail::quintic_weights(x - base, w);
            double sum = 0.0;
            for (int k = 0; k < 6; ++k)
                sum +=
                    w[k] *
                    line[static_cast<std::size_t>(detail::mirror_index(base - 2 + k, kStarCols))];
            o[c] = sum;
        }
    }
    return out;
}

cv::Mat add_noise(const cv::Mat& image, double sigma, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    cv::Mat out = image.clone();
    for (int r = 0; r < out.rows; ++r) {
        double* p = out.ptr<double>(r);
        for (int c = 0; c < out.cols; ++c) p[c] += noise(rng);
    }
    return out;
}

// Noise floors are the robust standard deviation over each static noisy pair (see
// robust_std), combined as their RMS; the points left out are printed beside them.

// --- Spatial resolution -----------------------------------------------------------------------

struct Profile {
    std::vector<double> x, value;  // grid column positions, column mean over valid points
};

// Column means of one field over the valid points of one or more results on the same grid
// (the star's patterns): a column needs more than half of its points valid.
using ResultField = std::vector<double> GuidedResult::*;
Profile column_means(const std::vector<GuidedResult>& results, ResultField field) {
    Profile p;
    const GuidedResult& first = results.front();
    for (int c = 0; c < first.cols; ++c) {
        double sum = 0.0;
        int n = 0;
        for (const GuidedResult& r : results)
            for (int row = 0; row < r.rows; ++row) {
                const std::size_t i = static_cast<std::size_t>(row) * r.cols + c;
                const double v = (r.*field)[i];
                if (r.valid[i] && std::isfinite(v)) {
                    sum += v;
                    ++n;
                }
            }
        if (n > static_cast<int>(results.size()) * first.rows / 2) {
            p.x.push_back(first.x[static_cast<std::size_t>(c)]);
            p.value.push_back(sum / n);
        }
    }
    return p;
}
Profile column_means(const GuidedResult& r, ResultField field) {
    return column_means(std::vector<GuidedResult>{r}, field);
}

// l10% from the truth at every image column (half waves between its sign changes) and the
// measured profile; NaN when no half wave falls below 90 %, with the shortest period measured
// and its amplitude ratio in `shortest`, `shortest_ratio` (l10% is then below that period).
double l10(const Profile& measured, const std::vector<double>& truth, double* shortest = nullptr,
           double* shortest_ratio = nullptr) {
    struct Wave {
        double period, ratio;
    };
    std::vector<int> zeros;
    for (std::size_t x = 1; x < truth.size(); ++x)
        if ((truth[x - 1] < 0.0) != (truth[x] < 0.0)) zeros.push_back(static_cast<int>(x));
    std::vector<Wave> waves;
    for (std::size_t k = 0; k + 1 < zeros.size(); ++k) {
        double mt = 0.0, tt = 0.0;
        int n = 0;
        for (std::size_t i = 0; i < measured.x.size(); ++i) {
            const double x = measured.x[i];
            if (x < zeros[k] || x >= zeros[k + 1]) continue;
            const double t = truth[static_cast<std::size_t>(std::lround(x))];
            mt += measured.value[i] * t;
            tt += t * t;
            ++n;
        }
        if (n >= 2 && tt > 0.0) waves.push_back({2.0 * (zeros[k + 1] - zeros[k]), mt / tt});
    }
    std::sort(waves.begin(), waves.end(),
              [](const Wave& a, const Wave& b) { return a.period > b.period; });
    if (shortest && !waves.empty()) {
        *shortest = waves.back().period;
        *shortest_ratio = waves.back().ratio;
    }
    for (std::size_t k = 0; k < waves.size(); ++k) {
        if (waves[k].ratio >= 0.9) continue;
        if (k == 0) return waves[0].period;
        const Wave& a = waves[k - 1];
        const Wave& b = waves[k];
        const double t = (a.ratio - 0.9) / (a.ratio - b.ratio);
        return std::exp(std::log(a.period) + t * (std::log(b.period) - std::log(a.period)));
    }
    return NAN;
}

// --- Statistics -------------------------------------------------------------------------------

double rms(const std::vector<double>& e) {
    double s = 0.0;
    for (double v : e) s += v * v;
    return e.empty() ? NAN : std::sqrt(s / static_cast<double>(e.size()));
}
double std_dev(const std::vector<double>& e) {
    if (e.size() < 2) return NAN;
    double m = 0.0;
    for (double v : e) m += v;
    m /= static_cast<double>(e.size());
    double s = 0.0;
    for (double v : e) s += (v - m) * (v - m);
    return std::sqrt(s / static_cast<double>(e.size() - 1));
}
// Standard deviation of the values within 6 robust sigmas (1.4826 x median absolute
// deviation) of the median: a noise floor, not the few points that matched a wrong bend.
// `dropped` counts the values left out.
double robust_std(const std::vector<double>& e, int& dropped) {
    std::vector<double> sorted = e;
    std::sort(sorted.begin(), sorted.end());
    dropped = 0;
    if (sorted.size() < 2) return NAN;
    const double med = sorted[sorted.size() / 2];
    std::vector<double> dev;
    for (double v : e) dev.push_back(std::fabs(v - med));
    std::sort(dev.begin(), dev.end());
    const double limit = 6.0 * 1.4826 * dev[dev.size() / 2];
    std::vector<double> kept;
    for (double v : e)
        if (std::fabs(v - med) <= limit) kept.push_back(v);
    dropped = static_cast<int>(e.size() - kept.size());
    return std_dev(kept);
}
double mean(const std::vector<double>& e) {
    double m = 0.0;
    for (double v : e) m += v;
    return e.empty() ? NAN : m / static_cast<double>(e.size());
}
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? NAN : v[v.size() / 2];
}

// --- One setting --------------------------------------------------------------------------------

struct Setting {
    SubsetShape shape;
    int subset;
    const char* name() const { return shape == SubsetShape::kQuadratic ? "quadratic" : "affine"; }
};

struct Figures {
    double l10_u_clean = NAN, l10_u_noisy = NAN, l10_exx_subset = NAN, l10_exx_fit = NAN;
    double l10_u_spread = NAN;  // standard deviation of the clean l10% over the patterns
    double noise_u = NAN, predicted_u = NAN, noise_exx_subset = NAN, noise_exx_fit = NAN;
    double calibration = NAN, within = NAN;
    double sine_rms[3] = {NAN, NAN, NAN};
    double bias_clean = 0.0, bias_noisy = 0.0;
    double us_per_point = NAN, points_per_second = NAN;
    double valid_star = NAN;
    int noise_dropped = 0;  // static-pair points beyond 6 robust sigmas
    double sample14 = NAN;
    double sample14_shortest = NAN, sample14_ratio = NAN;  // the image's shortest period
    double sample14_star = NAN;  // on sample 14's pattern warped by the star
};

// The setting's subset and shape at the benchmark's thread count.
GuidedConfig setting_config(const Setting& s) {
    GuidedConfig c;
    c.subset_size = s.subset;
    c.shape = s.shape;
    c.threads = kThreads;
    return c;
}

GuidedConfig star_config(const Setting& s) {
    GuidedConfig c = setting_config(s);
    c.step = 3;
    c.roi_x0 = 0;
    c.roi_x1 = kStarCols - 1;
    c.roi_y0 = 128;
    c.roi_y1 = 383;
    c.strain_measure = StrainMeasure::kEngineering;  // compared with du/dx directly
    return c;
}

GuidedConfig bench_config(const Setting& s, int size) {
    // As guided_bench: the grid 35 px from the border.
    GuidedConfig c = setting_config(s);
    c.roi_x0 = c.roi_y0 = 35;
    c.roi_x1 = c.roi_y1 = size - 36;
    c.compute_strain = false;
    return c;
}

// The star is measured on several speckle patterns. One 1024 x 512 star holds only some ten
// independent subsets per column, and its l10% moves from pattern to pattern (by 0.3 % for
// affine and 2.5 % for quadratic subsets at 29 px, one standard deviation): the solver weighs
// each pixel by its gradient, so a few speckles shape a subset's response. That is as much as
// the differences the figures are meant to show, so the response is the column mean over all
// patterns. Each pattern also gives one static noisy pair, so the noise floor is the RMS
// scatter over as many pairs and patterns (one pair's scatter is itself uncertain by some 4 %).
constexpr int kStarPatterns = 4;

struct StarPattern {
    cv::Mat reference, deformed, noisy_reference, noisy_deformed, static_first, static_second;
};

struct StarSet {
    std::vector<StarPattern> patterns;
    std::vector<double> truth_u, truth_exx;
};

StarSet make_star_set() {
    StarSet star;
    for (std::uint32_t k = 0; k < kStarPatterns; ++k) {
        StarPattern p;
        p.reference = generate_speckle(kStarRows, kStarCols, 3, 0.6, 2026u + k);
        p.deformed = warp_star(p.reference);
        const std::uint32_t seed = 1u + 4u * k;
        p.noisy_reference = add_noise(p.reference, kReadNoise, seed);
        p.noisy_deformed = add_noise(p.deformed, kReadNoise, seed + 1u);
        p.static_first = add_noise(p.reference, kReadNoise, seed + 2u);
        p.static_second = add_noise(p.reference, kReadNoise, seed + 3u);
        star.patterns.push_back(std::move(p));
    }
    for (int x = 0; x < kStarCols; ++x) {
        star.truth_u.push_back(star_u(x));
        star.truth_exx.push_back(star_exx(x));
    }
    return star;
}

void measure_star(const Setting& s, const StarSet& star, Figures& f) {
    const GuidedConfig config = star_config(s);
    std::vector<GuidedResult> clean, noisy;
    double cpu = 0.0, wall = 0.0, points = 0.0, valid = 0.0;
    // Static noisy pairs: the scatter of u and of the strains is the noise floor.
    double noise_u = 0.0, predicted_u = 0.0, noise_exx_subset = 0.0, noise_exx_fit = 0.0;
    f.noise_dropped = 0;
    std::vector<double> pattern_l10;
    for (const StarPattern& p : star.patterns) {
        {
            const ReferenceImage ref(p.reference, config);
            clean.push_back(correlate_guided(ref, p.deformed, config));
            const GuidedResult& r = clean.back();
            pattern_l10.push_back(l10(column_means(r, &GuidedResult::u), star.truth_u));
            for (auto v : r.valid) valid += v;
        }
        {
            const ReferenceImage ref(p.noisy_reference, config);
            const double cpu0 = cpu_seconds();
            const auto t0 = std::chrono::steady_clock::now();
            noisy.push_back(correlate_guided(ref, p.noisy_deformed, config));
            wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            cpu += cpu_seconds() - cpu0;
            points += static_cast<double>(noisy.back().u.size());
        }
        const ReferenceImage ref(p.static_first, config);
        const GuidedResult r = correlate_guided(ref, p.static_second, config);
        std::vector<double> u, ex_subset, ex_fit, sigma;
        for (std::size_t i = 0; i < r.u.size(); ++i) {
            if (!r.valid[i]) continue;
            u.push_back(r.u[i]);
            ex_subset.push_back(r.du_dx[i]);
            if (std::isfinite(r.exx[i])) ex_fit.push_back(r.exx[i]);
            sigma.push_back(r.sigma_u[i]);
        }
        int dropped = 0;
        const double su = robust_std(u, dropped);
        f.noise_dropped += dropped;
        const double se = robust_std(ex_subset, dropped), sf = robust_std(ex_fit, dropped);
        noise_u += su * su;
        predicted_u += mean(sigma);
        noise_exx_subset += se * se;
        noise_exx_fit += sf * sf;
    }
    f.l10_u_clean = l10(column_means(clean, &GuidedResult::u), star.truth_u);
    f.l10_u_spread = std_dev(pattern_l10);
    f.l10_exx_subset = l10(column_means(clean, &GuidedResult::du_dx), star.truth_exx);
    f.l10_exx_fit = l10(column_means(clean, &GuidedResult::exx), star.truth_exx);
    f.l10_u_noisy = l10(column_means(noisy, &GuidedResult::u), star.truth_u);
    f.valid_star =
        100.0 * valid /
        (static_cast<double>(clean.front().valid.size()) * static_cast<double>(clean.size()));
    f.us_per_point = 1e6 * cpu / points;
    f.points_per_second = points / wall;
    const double pairs = static_cast<double>(star.patterns.size());
    f.noise_u = std::sqrt(noise_u / pairs);
    f.predicted_u = predicted_u / pairs;
    f.noise_exx_subset = std::sqrt(noise_exx_subset / pairs);
    f.noise_exx_fit = std::sqrt(noise_exx_fit / pairs);
}

// Predicted sigma against the scatter over independent noise realisations of one pair.
void measure_calibration(const Setting& s, Figures& f) {
    constexpr int kRealisations = 16;
    const cv::Mat base = generate_speckle(256, 256, 3, 0.6, 4242u);
    const cv::Mat moved = translate_image(base, 0.3, -0.45);
    GuidedConfig config = setting_config(s);
    config.roi_x0 = config.roi_y0 = 30;
    config.roi_x1 = config.roi_y1 = 225;
    config.compute_strain = false;
    std::vector<std::vector<double>> us, sus;
    for (int k = 0; k < kRealisations; ++k) {
        const ReferenceImage ref(add_noise(base, kReadNoise, 100u + 2u * k), config);
        const GuidedResult r =
            correlate_guided(ref, add_noise(moved, kReadNoise, 101u + 2u * k), config);
        us.push_back(r.u);
        sus.push_back(r.sigma_u);
    }
    morvex::bench::SigmaCalibration calibration;
    calibration.add(us, sus);
    f.calibration = median(calibration.ratios);
    f.within = calibration.within_percent();
}

void measure_bench_data(const Setting& s, const DataSet& clean, const DataSet& noisy, Figures& f) {
    for (const DataSet* set : {&clean, &noisy}) {
        const cv::Mat reference = set->load_reference();
        const GuidedConfig config = bench_config(s, reference.cols);
        const ReferenceImage ref(reference, config);
        for (const auto& pair : set->pairs) {
            const bool translate = pair.name.rfind("translate_", 0) == 0;
            const bool sine = pair.name.rfind("sine_", 0) == 0;
            if (!translate && !(sine && set == &noisy)) continue;
            const GuidedResult r = correlate_guided(ref, set->load_deformed(pair.name), config);
            std::vector<double> eu, ev;
            for (std::size_t i = 0; i < r.u.size(); ++i) {
                if (!r.valid[i]) continue;
                double tu, tv;
                pair.field.displacement(r.x[i], r.y[i], tu, tv);
                eu.push_back(r.u[i] - tu);
                ev.push_back(r.v[i] - tv);
            }
            if (translate) {
                double& worst = set == &clean ? f.bias_clean : f.bias_noisy;
                worst = std::max({worst, std::fabs(mean(eu)), std::fabs(mean(ev))});
            } else {
                const int k = pair.name == "sine_030" ? 0 : pair.name == "sine_060" ? 1 : 2;
                f.sine_rms[k] = rms(ev);
            }
        }
    }
}

// Sample 14 L5's own field has no period under 100 px, so the shape's l10% is also measured
// on the image's own pattern: its reference, cut into two 1024-column pieces, warped by the
// star and given fresh read noise of the level estimated on it (the warped copy's own noise
// is the reference's, resampled).
constexpr int kSample14Pieces = 2;

void measure_sample14(const Setting& s, const std::string& root, Figures& f) {
    const std::string dir = root + "/sample14/";
    const std::vector<double> truth = morvex::bench::read_sample14_truth(dir);
    if (truth.empty()) return;
    const cv::Mat reference = load_image_gray(dir + "reference.tif");
    const cv::Mat deformed = load_image_gray(dir + "L5.tif");
    GuidedConfig config = setting_config(s);
    config.compute_strain = false;
    {
        const ReferenceImage ref(reference, config);
        const GuidedResult r = correlate_guided(ref, deformed, config);
        f.sample14 =
            l10(column_means(r, &GuidedResult::u), truth, &f.sample14_shortest, &f.sample14_ratio);
    }
    if (reference.cols < kSample14Pieces * kStarCols || reference.rows < kStarRows) return;
    const double noise = estimate_read_noise(reference);
    GuidedConfig star = star_config(s);
    star.compute_strain = false;
    std::vector<GuidedResult> pieces;
    const int top = (reference.rows - kStarRows) / 2;
    for (int k = 0; k < kSample14Pieces; ++k) {
        const cv::Mat piece = reference(cv::Rect(k * kStarCols, top, kStarCols, kStarRows)).clone();
        const ReferenceImage ref(piece, star);
        pieces.push_back(correlate_guided(
            ref, add_noise(warp_star(piece), noise, 50u + static_cast<std::uint32_t>(k)), star));
    }
    std::vector<double> star_truth;
    for (int x = 0; x < kStarCols; ++x) star_truth.push_back(star_u(x));
    f.sample14_star = l10(column_means(pieces, &GuidedResult::u), star_truth);
}

const char* verdict(bool ok) {
    return ok ? "ok" : "MISSED";
}

// The image's periods stop at about 100 px: a shape that keeps 90 % there has an l10% below
// it, shown as "< period (ratio there)".
std::string sample14_text(const Figures& f) {
    char text[64];
    if (std::isfinite(f.sample14))
        std::snprintf(text, sizeof text, "%6.1f px", f.sample14);
    else
        std::snprintf(text, sizeof text, "< %.0f px (%.3f there)", f.sample14_shortest,
                      f.sample14_ratio);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <bench-data folder> [dic-challenge folder] [--quick]\n",
                     argv[0]);
        return 1;
    }
    try {
        const std::string data = argv[1];
        const std::string challenge =
            argc > 2 && std::string(argv[2]) != "--quick" ? argv[2] : "../shared/dic-challenge";
        const bool quick = std::string(argv[argc - 1]) == "--quick";
        omp_set_num_threads(kThreads);
        double load[3] = {0, 0, 0};
        getloadavg(load, 3);
        std::printf("Resolution benchmark, %d threads, load average %.2f %.2f %.2f on %d cores\n",
                    kThreads, load[0], load[1], load[2], omp_get_num_procs());

        const StarSet star = make_star_set();
        const DataSet clean = morvex::bench::read_data_set(data + "/clean");
        const DataSet noisy = morvex::bench::read_data_set(data + "/noisy");

        const std::vector<Setting> settings = {
            {SubsetShape::kAffine, 15}, {SubsetShape::kQuadratic, 15},
            {SubsetShape::kAffine, 21}, {SubsetShape::kQuadratic, 21},
            {SubsetShape::kAffine, 29}, {SubsetShape::kQuadratic, 29}};
        std::vector<Figures> figures(settings.size());
        for (std::size_t k = 0; k < settings.size(); ++k) {
            const Setting& s = settings[k];
            measure_star(s, star, figures[k]);
            measure_calibration(s, figures[k]);
            if (!quick) {
                measure_bench_data(s, clean, noisy, figures[k]);
                measure_sample14(s, challenge, figures[k]);
            }
        }

        std::printf(
            "\nStar %d x %d on %d patterns, u = %.1f sin, period %.0f..%.0f px; step 3, "
            "rows 128-383; engineering strain, window 35 px; sd: the clean l10 u's "
            "standard deviation over the patterns\n",
            kStarCols, kStarRows, kStarPatterns, kAmplitude, kShortPeriod, kLongPeriod);
        std::printf("  %-9s %4s | %-17s %6s %-17s | %-17s %-17s | %9s %9s %6s | %9s %9s %9s\n",
                    "shape", "sub", "l10 u clean", "sd", "l10 u noisy", "l10 exx subset",
                    "l10 exx fit", "noise u", "pred u", "valid", "noise exx", "(fit)", "outliers");
        for (std::size_t k = 0; k < settings.size(); ++k) {
            const Setting& s = settings[k];
            const Figures& f = figures[k];
            const double sub = s.subset;
            std::printf(
                "  %-9s %4d | %6.1f px %5.2fx  %6.2f %6.1f px %5.2fx  | %6.1f px %5.2fx  "
                "%6.1f px %5.2fx  | %9.5f %9.5f %5.1f%% | %9.2e %9.2e %9d\n",
                s.name(), s.subset, f.l10_u_clean, f.l10_u_clean / sub, f.l10_u_spread,
                f.l10_u_noisy, f.l10_u_noisy / sub, f.l10_exx_subset, f.l10_exx_subset / sub,
                f.l10_exx_fit, f.l10_exx_fit / sub, f.noise_u, f.predicted_u, f.valid_star,
                f.noise_exx_subset, f.noise_exx_fit, f.noise_dropped);
        }
        std::printf(
            "\n  %-9s %4s | %9s %10s | %-11s %-15s | %-26s | %-17s | %-18s | %-22s | "
            "%s\n",
            "shape", "sub", "MEI u", "MEI exx", "calibration", "", "RMS v sine 030/060/120",
            "max|bias| cl/noisy", "CPU us/pt (pts/s)", "s14 L5 l10", "s14 pattern, star l10");
        for (std::size_t k = 0; k < settings.size(); ++k) {
            const Setting& s = settings[k];
            const Figures& f = figures[k];
            std::printf(
                "  %-9s %4d | %9.5f %10.2e | %6.3f %5.1f%% within 1 sigma | "
                "%.4f %.4f %.4f    | %.5f %.5f   | %6.1f (%7.0f)   | %-22s | %6.1f px\n",
                s.name(), s.subset, f.noise_u * f.l10_u_clean,
                f.noise_exx_subset * f.l10_exx_subset, f.calibration, f.within, f.sine_rms[0],
                f.sine_rms[1], f.sine_rms[2], f.bias_clean, f.bias_noisy, f.us_per_point,
                f.points_per_second, sample14_text(f).c_str(), f.sample14_star);
        }
        // Targets for the quadratic shape at 29 px, against the affine one at 29 px.
        const Figures& a = figures[4];
        const Figures& q = figures[5];
        const double mei_ratio = (q.noise_u * q.l10_u_clean) / (a.noise_u * a.l10_u_clean);
        // As the DIC Challenge takes it, from the noisy star (its images carry noise).
        const double mei_noisy_ratio = (q.noise_u * q.l10_u_noisy) / (a.noise_u * a.l10_u_noisy);
        const double speed_ratio = a.us_per_point / q.us_per_point;
        std::printf(
            "\nQuadratic at 29 px: l10 u %.1f px <= 46 %s; sine_060 RMS v %.4f <= 0.02 %s; "
            "noise %.2fx affine <= 2 %s; MEI %.2fx affine <= 0.65 %s with the clean star's "
            "l10, %.2fx %s with the noisy star's (the DIC Challenge's way); max|bias| %.5f <= "
            "0.0015 %s; calibration %.3f in 0.85-1.15 %s, %.1f%% in 60-76%% %s; speed "
            "%.2fx affine (CPU time per point) >= 0.5 %s; sample 14 L5 l10 %s <= 60 "
            "%s, on its own pattern warped by the star %.1f px <= 60 %s\n",
            q.l10_u_clean, verdict(q.l10_u_clean <= 46.0), q.sine_rms[1],
            verdict(q.sine_rms[1] <= 0.02), q.noise_u / a.noise_u,
            verdict(q.noise_u <= 2.0 * a.noise_u), mei_ratio, verdict(mei_ratio <= 0.65),
            mei_noisy_ratio, verdict(mei_noisy_ratio <= 0.65), std::max(q.bias_clean, q.bias_noisy),
            verdict(std::max(q.bias_clean, q.bias_noisy) <= 0.0015), q.calibration,
            verdict(q.calibration >= 0.85 && q.calibration <= 1.15), q.within,
            verdict(q.within >= 60.0 && q.within <= 76.0), speed_ratio, verdict(speed_ratio >= 0.5),
            sample14_text(q).c_str(),
            std::isfinite(q.sample14) ? verdict(q.sample14 <= 60.0) : "not measurable on its field",
            q.sample14_star, verdict(q.sample14_star <= 60.0));
        getloadavg(load, 3);
        std::printf("Load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "resolution_bench: %s\n", e.what());
        return 1;
    }
}
