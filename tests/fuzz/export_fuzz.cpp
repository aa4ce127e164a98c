// export_csv, export_vtk and export_hdf5 on arbitrary result records: any rows, cols and
// step, arrays of any length holding any doubles, and paths that exist, do not, are
// folders, are empty, carry a NUL or name a device. Checked against the documented
// contract: std::invalid_argument exactly when the record cannot be written (negative
// shape, arrays too short; for the binary file, not exactly rows * cols), otherwise a file
// of the documented size or a std::runtime_error for an unwritable path; never a leftover
// temporary file, and a failed write keeps an existing file's old content.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <morvex/export.hpp>

#include "fuzz_cases.h"
#include "fuzz_support.h"

namespace {

using namespace morvex;
namespace fs = std::filesystem;

constexpr std::int64_t kMaxFittedPoints = 4096;
const std::string kOldContent = "old content\n";

enum class Writer { kCsv, kVtk, kBinary };

template <class T>
void cycle_to(std::vector<T>& values, std::int64_t n) {
    if (values.empty()) values.push_back(T{});
    std::vector<T> fitted(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < fitted.size(); ++i) fitted[i] = values[i % values.size()];
    values = std::move(fitted);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether the writer must refuse the record with std::invalid_argument.
bool must_refuse(const dic::DICResult& r, Writer writer) {
    if (r.rows < 0 || r.cols < 0) return true;
    const auto n = static_cast<std::uint64_t>(std::int64_t{r.rows} * r.cols);
    for (const auto* a : {&r.u, &r.v, &r.exx, &r.eyy, &r.exy, &r.confidence}) {
        if (writer == Writer::kBinary ? a->size() != n : a->size() < n) return true;
    }
    return writer == Writer::kBinary && r.valid.size() != n;
}

void check_written(const std::string& path, const dic::DICResult& r, Writer writer) {
    const std::string text = read_file(path);
    const auto n = static_cast<std::size_t>(std::int64_t{r.rows} * r.cols);
    switch (writer) {
        case Writer::kCsv: {
            std::size_t lines = 0;
            for (char ch : text) lines += ch == '\n';
            MORVEX_FUZZ_CHECK(lines == n + 1, "a CSV file holds a header and one line per point");
            break;
        }
        case Writer::kVtk:
            MORVEX_FUZZ_CHECK(text.rfind("# vtk DataFile Version 3.0\n", 0) == 0,
                              "a VTK file starts with its version line");
            break;
        case Writer::kBinary:
            MORVEX_FUZZ_CHECK(text.size() == 16 + 49 * n, "a binary file is 16 + 49 * n bytes");
            MORVEX_FUZZ_CHECK(text.compare(0, 4, "MXD1") == 0, "a binary file starts with MXD1");
            break;
    }
}

void export_one(const dic::DICResult& r, const std::string& path, int step, Writer writer) {
    switch (writer) {
        case Writer::kCsv:
            dic::export_csv(r, path, step);
            break;
        case Writer::kVtk:
            dic::export_vtk(r, path, step);
            break;
        case Writer::kBinary:
            dic::export_hdf5(r, path, step);
            break;
    }
}

void run_writer(const dic::DICResult& r, int step, int path_kind, Writer writer) {
    fuzz::clear_scratch_dir();
    const std::string& dir = fuzz::scratch_dir();
    std::string path = dir + "/result";
    bool writable = true;
    bool existing = false;
    switch (path_kind % 7) {
        case 0:
            break;
        case 1:
            path = dir + "/missing/result";
            writable = false;
            break;
        case 2:
            path = dir;
            writable = false;
            break;
        case 3:
            path.clear();
            writable = false;
            break;
        case 4:
            path = dir + std::string("/res\0ult", 8);
            writable = false;
            break;
        case 5: {
            std::ofstream(path, std::ios::binary) << kOldContent;
            existing = true;
            break;
        }
        default:
            path = "/dev/null";
            break;
    }
    const bool refuse = must_refuse(r, writer);
    bool written = false;
    try {
        export_one(r, path, step, writer);
        written = true;
    } catch (const std::invalid_argument&) {
        MORVEX_FUZZ_CHECK(refuse, "std::invalid_argument only for a record that cannot be written");
    } catch (const std::runtime_error&) {
        MORVEX_FUZZ_CHECK(!refuse,
                          "a record that cannot be written is refused as invalid_argument");
        MORVEX_FUZZ_CHECK(!writable, "a writable path is written");
    }
    if (written)
        MORVEX_FUZZ_CHECK(!refuse && writable, "a refused record or bad path is not written");

    const bool in_scratch = path_kind % 7 == 0 || path_kind % 7 == 5;
    if (written && in_scratch) check_written(path, r, writer);
    if (!written && existing)
        MORVEX_FUZZ_CHECK(read_file(path) == kOldContent, "a failed write keeps the old file");
    const std::size_t expected = (written && in_scratch) || existing ? 1 : 0;
    MORVEX_FUZZ_CHECK(fuzz::count_entries(dir) == expected, "no temporary file is left behind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ExportCase c;
    fuzz::ByteReader reader(data, size);
    fuzz::visit_export(reader, c);

    dic::DICResult r;
    r.rows = c.rows;
    r.cols = c.cols;
    r.u = c.u;
    r.v = c.v;
    r.exx = c.exx;
    r.eyy = c.eyy;
    r.exy = c.exy;
    r.confidence = c.confidence;
    r.valid = c.valid;
    const std::int64_t n = std::int64_t{c.rows} * c.cols;
    if (c.fit % 2 == 1 && c.rows >= 0 && c.cols >= 0 && n <= kMaxFittedPoints) {
        for (auto* a : {&r.u, &r.v, &r.exx, &r.eyy, &r.exy, &r.confidence}) cycle_to(*a, n);
        cycle_to(r.valid, n);
    }

    const int writer = c.writer % 4;
    for (Writer w : {Writer::kCsv, Writer::kVtk, Writer::kBinary}) {
        if (writer == 3 || writer == static_cast<int>(w)) run_writer(r, c.step, c.path_kind, w);
    }
    return 0;
}
