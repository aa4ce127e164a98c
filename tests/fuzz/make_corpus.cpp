// Writes the seed corpus of every fuzz target: make_corpus <folder> creates
// <folder>/<target>/seed-NN files. The structured targets' seeds are written through the
// same visit functions the targets read with; the image loader's seeds are small speckle
// images encoded by the image library in every format it writes here.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <morvex/synthesis.hpp>

#include "fuzz_cases.h"
#include "fuzz_support.h"

namespace {

using namespace morvex;
namespace fs = std::filesystem;

class SeedFolder {
public:
    SeedFolder(const fs::path& root, const std::string& target) : dir_(root / target) {
        fs::create_directories(dir_);
    }

    void add(const std::vector<unsigned char>& bytes) {
        char name[32];
        std::snprintf(name, sizeof name, "seed-%02d", count_++);
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    template <class Case, class Visit>
    void add_case(Case c, Visit visit) {
        fuzz::ByteWriter writer;
        visit(writer, c);
        add(writer.bytes());
    }

    int count() const { return count_; }

private:
    fs::path dir_;
    int count_ = 0;
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void image_seeds(SeedFolder& seeds) {
    const cv::Mat speckle = dic::generate_speckle(16, 20, 2, 0.6, 3);
    cv::Mat grey8, grey16, grey32f, colour8, colour16, bgra8;
    speckle.convertTo(grey8, CV_8U);
    speckle.convertTo(grey16, CV_16U, 257.0);
    speckle.convertTo(grey32f, CV_32F, 1.0 / 255.0);
    cv::merge(std::vector<cv::Mat>{grey8, 255 - grey8, grey8 / 2}, colour8);
    cv::merge(std::vector<cv::Mat>{grey16, 65535 - grey16, grey16 / 2}, colour16);
    cv::merge(std::vector<cv::Mat>{grey8, 255 - grey8, grey8 / 2, grey8 / 3}, bgra8);
    const std::vector<std::pair<std::string, std::vector<const cv::Mat*>>> formats = {
        {".png", {&grey8, &grey16, &colour8, &colour16, &bgra8}},
        {".tif", {&grey8, &grey16, &grey32f, &colour8, &bgra8}},
        {".bmp", {&grey8, &colour8}},
        {".jpg", {&grey8, &colour8}},
        {".pgm", {&grey8, &grey16}},
        {".ppm", {&colour8}},
        {".pbm", {&grey8}},
        {".ras", {&grey8, &colour8}},
        {".webp", {&colour8}},
        {".pfm", {&grey32f}},
        {".hdr", {&colour8}},
        {".jp2", {&grey8}},
    };
    for (const auto& [extension, images] : formats) {
        for (const cv::Mat* image : images) {
            std::vector<unsigned char> bytes;
            try {
                cv::Mat source = *image;
                if (extension == ".pfm" || extension == ".hdr") source.convertTo(source, CV_32F);
                if (extension == ".hdr" && source.channels() == 1)
                    cv::cvtColor(source, source, cv::COLOR_GRAY2BGR);
                if (cv::imencode(extension, source, bytes)) seeds.add(bytes);
            } catch (const cv::Exception&) {
                // This OpenCV build does not write the format; the fuzzer finds it or not.
            }
        }
    }
}

void gray_seeds(SeedFolder& seeds) {
    for (int depth = CV_8U; depth <= CV_16F; ++depth) {
        for (int channels : {1, 3, 4, 2}) {
            fuzz::GrayCase c;
            c.depth = static_cast<std::uint8_t>(depth);
            c.channels = static_cast<std::uint8_t>(channels - 1);
            c.rows = 5;
            c.cols = 7;
            c.view = channels == 3 ? 1 : 0;
            c.bytes = {0, 17, 255, 128, 3, 0x7f, 0xf0, 0x00, 0x00, 0x80};
            seeds.add_case(c, [](auto& io, auto& x) { fuzz::visit_gray(io, x); });
        }
    }
    fuzz::GrayCase three_d;
    three_d.dims = 1;
    three_d.layers = 2;
    seeds.add_case(three_d, [](auto& io, auto& x) { fuzz::visit_gray(io, x); });
    fuzz::GrayCase empty;
    empty.rows = 0;
    seeds.add_case(empty, [](auto& io, auto& x) { fuzz::visit_gray(io, x); });
}

void export_seeds(SeedFolder& seeds) {
    const auto visit = [](auto& io, auto& x) { fuzz::visit_export(io, x); };
    for (std::uint8_t writer = 0; writer < 4; ++writer) {
        for (std::uint8_t path_kind = 0; path_kind < 7; ++path_kind) {
            fuzz::ExportCase c;
            c.writer = writer;
            c.path_kind = path_kind;
            c.u = {0.5, -1.25, kNaN};
            c.v = {1e-300, 2.0};
            c.exx = {0.001};
            c.eyy = {-kInf};
            c.exy = {0.0};
            c.confidence = {0.95, 0.2};
            c.valid = {1, 0, 2};
            seeds.add_case(c, visit);
        }
    }
    fuzz::ExportCase unfitted;
    unfitted.fit = 0;
    unfitted.u = {1.0, 2.0};
    seeds.add_case(unfitted, visit);
    fuzz::ExportCase negative;
    negative.rows = -1;
    seeds.add_case(negative, visit);
    fuzz::ExportCase empty_grid;
    empty_grid.rows = 0;
    empty_grid.cols = 5;
    empty_grid.step = std::numeric_limits<int>::max();
    seeds.add_case(empty_grid, visit);
}

dic::DICConfig small_config() {
    dic::DICConfig config;
    config.subset_size = 11;
    config.search_range = 3;
    config.step = 6;
    config.strain_window = 1;
    return config;
}

void engine_seeds(SeedFolder& seeds) {
    const auto visit = [](auto& io, auto& x) { fuzz::visit_engine(io, x); };
    std::vector<fuzz::EngineCase> cases(12);
    for (fuzz::EngineCase& c : cases) c.config = small_config();
    // 0: the standard path on a sub-pixel shift, 1: its template search off and bilinear.
    cases[1].config.use_fft_search = false;
    cases[1].config.use_bicubic = false;
    // 2: tracking with recovery, 3: tracking without integer initialisation.
    cases[2].config.use_tracking_simplex = true;
    cases[3].config.use_tracking_simplex = true;
    cases[3].config.tracking_integer_initialization = false;
    cases[3].config.tracking_spatial_recovery = false;
    // 4: a region of interest and a residual search, 5: per-point seeds.
    cases[4].config.roi_x0 = 4;
    cases[4].config.roi_y0 = 6;
    cases[4].config.roi_x1 = 60;
    cases[4].config.roi_y1 = 40;
    cases[4].config.residual_search_range = 2;
    cases[4].config.search_center_u = 1;
    cases[5].config.seed_u_arr = {0.4, 2.5, -2.5};
    cases[5].config.seed_v_arr = {-0.3};
    cases[5].seeds_fit_grid = 1;
    // 6: flat images, 7: NaN and infinite pixels, 8: unrelated images, 9: a sheared copy.
    cases[6].images.kind = 1;
    cases[7].images.overrides = {{kNaN, 100, 0}, {kInf, 900, 1}, {-kInf, 1500, 0}, {1e308, 7, 1}};
    cases[8].images.kind = 3;
    cases[8].config.use_tracking_simplex = true;
    cases[9].images.du_dx = 0.02;
    cases[9].images.dv_dy = -0.01;
    cases[9].images.du_dy = 0.01;
    // 10: images of different sizes, 11: a tiny image and the default configuration.
    cases[10].images.deformed_rows = 30;
    cases[10].images.deformed_cols = 64;
    cases[11].images.reference_rows = 9;
    cases[11].images.reference_cols = 9;
    cases[11].config = dic::DICConfig();
    for (fuzz::EngineCase& c : cases) seeds.add_case(c, visit);
}

void interpolation_seeds(SeedFolder& seeds) {
    const auto visit = [](auto& io, auto& x) { fuzz::visit_interpolation(io, x); };
    const std::vector<fuzz::Position> positions = {
        {0.0, 0.0},   {2.0, 3.0},      {2.5, 3.25}, {-0.5, 1.0}, {5.9, 5.99},
        {-3.0, 40.0}, {1e300, -1e300}, {kNaN, 1.0}, {1.0, kInf}, {4.0 - 1e-12, 1e-12}};
    for (std::uint8_t layout = 0; layout < 5; ++layout) {
        fuzz::InterpolationCase c;
        c.layout = layout;
        for (int k = 0; k < 36; ++k) c.pixels.push_back((k * 37) % 256 + 0.5 * (k % 3));
        c.positions = positions;
        seeds.add_case(c, visit);
    }
    fuzz::InterpolationCase single;
    single.rows = 1;
    single.cols = 1;
    single.pixels = {42.0};
    single.positions = positions;
    seeds.add_case(single, visit);
    fuzz::InterpolationCase wild;
    wild.pixels = {kNaN, kInf, -1e308, 0.0};
    wild.positions = positions;
    seeds.add_case(wild, visit);
}

void guided_seeds(SeedFolder& seeds) {
    const auto visit = [](auto& io, auto& x) { fuzz::visit_guided(io, x); };
    std::vector<fuzz::GuidedCase> cases(10);
    for (fuzz::GuidedCase& c : cases) {
        c.config.subset_size = 11;
        c.config.step = 6;
        c.config.strain_window = 12;
        c.config.threads = 1;
    }
    // 0: one frame, quintic; 1: cubic, from the first result; 2, 3: fixed and incremental
    // sequences; 4: a random mask and explicit seeds; 5: fourth-order kernel, prefilter,
    // engineering strain; 6: NaN pixels; 7: cancelled; 8: unrelated images; 9: a region.
    cases[1].config.interpolation = dic::Interpolation::kCubicBSpline;
    cases[1].mode = 1;
    cases[2].mode = 2;
    cases[3].mode = 3;
    cases[4].mask_kind = 1;
    cases[4].mask_seed = 3;
    cases[4].config.seed_points = {{24, 24}, {10, 40}};
    cases[4].config.seed_count = 2;
    cases[5].config.interpolation = dic::Interpolation::kKeysFourth;
    cases[5].config.prefilter_sigma = 0.8;
    cases[5].config.strain_measure = dic::StrainMeasure::kEngineering;
    cases[5].config.search_range = 4;
    cases[6].images.overrides = {{kNaN, 300, 0}, {kInf, 1000, 1}, {-kInf, 1200, 1}};
    cases[7].cancel = 1;
    cases[8].images.kind = 3;
    cases[9].config.roi_x0 = 5;
    cases[9].config.roi_y0 = 8;
    cases[9].config.roi_x1 = 44;
    cases[9].config.roi_y1 = 40;
    cases[9].config.min_zncc = 0.95;
    cases[9].config.max_jump = 0.5;
    for (fuzz::GuidedCase& c : cases) seeds.add_case(c, visit);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    SeedFolder images(root, "load_image");
    image_seeds(images);
    SeedFolder gray(root, "to_gray_double");
    gray_seeds(gray);
    SeedFolder exports(root, "export");
    export_seeds(exports);
    SeedFolder engine(root, "engine");
    engine_seeds(engine);
    SeedFolder interpolation(root, "interpolation");
    interpolation_seeds(interpolation);
    SeedFolder guided(root, "guided");
    guided_seeds(guided);
    std::printf(
        "make_corpus: %d image, %d grey, %d export, %d engine, %d interpolation, %d guided "
        "seeds\n",
        images.count(), gray.count(), exports.count(), engine.count(), interpolation.count(),
        guided.count());
    return 0;
}
