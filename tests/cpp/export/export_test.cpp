#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <morvex/export.hpp>

#include "support/temp_folder.h"

namespace morvex::dic {
namespace {

namespace fs = std::filesystem;

using Writer = void (*)(const DICResult&, const std::string&, int);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A fresh folder per test, removed with everything in it.
class TempDir : public morvex::test::TempFolder {
public:
    TempDir() : TempFolder("morvex-export") {}
};

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// 2 x 3 grid: the first row has no strain (NaN), values exercise rounding and notation.
DICResult grid_2x3() {
    DICResult r;
    r.rows = 2;
    r.cols = 3;
    r.u = {0.1234567890123, -1.5, 40.0, 1e-7, 0.1, 123456.789012345};
    r.v = {2.0, -0.25, 3.0000000001, 0.0, -7.0, 1e20};
    r.exx = {kNaN, kNaN, kNaN, 0.001, 0.002, 0.003};
    r.eyy = {kNaN, kNaN, kNaN, -0.001, 0.0, 2.5e-5};
    r.exy = {kNaN, kNaN, kNaN, 0.5, 0.25, 0.125};
    r.confidence = {0.99, 0.5, -1.0, 1.0, 0.87654321987, 0.0};
    r.valid = {1, 0, 1, 0, 1, 0};
    return r;
}

const char* const kCsvHeader =
    "grid_row,grid_col,x_pixel,y_pixel,u,v,exx,eyy,exy,confidence,valid\n";

std::string csv_2x3(const std::string& valid_column) {
    const char* lines[] = {"0,0,0,0,0.123456789,2,nan,nan,nan,0.99,",
                           "0,1,10,0,-1.5,-0.25,nan,nan,nan,0.5,",
                           "0,2,20,0,40,3,nan,nan,nan,-1,",
                           "1,0,0,10,1e-07,0,0.001,-0.001,0.5,1,",
                           "1,1,10,10,0.1,-7,0.002,0,0.25,0.8765432199,",
                           "1,2,20,10,123456.789,1e+20,0.003,2.5e-05,0.125,0,"};
    std::string text = kCsvHeader;
    for (int k = 0; k < 6; ++k) text += std::string(lines[k]) + valid_column[k] + "\n";
    return text;
}

struct ValidCase {
    const char* name;
    std::vector<std::uint8_t> valid;
    const char* column;  // expected valid column of the six lines
};

class CsvValidColumn : public testing::TestWithParam<ValidCase> {};

TEST_P(CsvValidColumn, MatchesGoldenFile) {
    TempDir dir;
    DICResult r = grid_2x3();
    r.valid = GetParam().valid;
    export_csv(r, dir.file("out.csv"), 10);
    EXPECT_EQ(read_bytes(dir.file("out.csv")), csv_2x3(GetParam().column));
}

INSTANTIATE_TEST_SUITE_P(
    TextExport, CsvValidColumn,
    testing::Values(ValidCase{"Full", {1, 0, 1, 0, 1, 0}, "101010"},
                    ValidCase{"NonZeroByteIsValid", {7, 0, 255, 0, 1, 0}, "101010"},
                    ValidCase{"ShortReadsMissingAsValid", {0, 0, 1, 0}, "001011"},
                    ValidCase{"EmptyReadsAllValid", {}, "111111"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(TextExport, Vtk2x3MatchesGoldenFile) {
    TempDir dir;
    export_vtk(grid_2x3(), dir.file("out.vtk"), 10);
    const std::string expected =
        "# vtk DataFile Version 3.0\nMorvex DIC Result\nASCII\nDATASET STRUCTURED_GRID\n"
        "DIMENSIONS 3 2 1\nPOINTS 6 float\n"
        "0 0 0.0\n10 0 0.0\n20 0 0.0\n0 10 0.0\n10 10 0.0\n20 10 0.0\n"
        "POINT_DATA 6\n"
        "SCALARS U float 1\nLOOKUP_TABLE default\n0.12345679\n-1.5\n40\n1e-07\n0.1\n123456.79\n"
        "SCALARS V float 1\nLOOKUP_TABLE default\n2\n-0.25\n3\n0\n-7\n1e+20\n"
        "SCALARS Exx float 1\nLOOKUP_TABLE default\nnan\nnan\nnan\n0.001\n0.002\n0.003\n"
        "SCALARS Eyy float 1\nLOOKUP_TABLE default\nnan\nnan\nnan\n-0.001\n0\n2.5e-05\n"
        "SCALARS Exy float 1\nLOOKUP_TABLE default\nnan\nnan\nnan\n0.5\n0.25\n0.125\n"
        "SCALARS Confidence float 1\nLOOKUP_TABLE default\n0.99\n0.5\n-1\n1\n0.87654322\n0\n";
    EXPECT_EQ(read_bytes(dir.file("out.vtk")), expected);
}

TEST(TextExport, NonFiniteValuesUseStreamSpelling) {
    TempDir dir;
    DICResult r;
    r.rows = 1;
    r.cols = 1;
    r.u = {-kNaN};
    r.v = {kInf};
    r.exx = {-kInf};
    r.eyy = {kNaN};
    r.exy = {-0.0};
    r.confidence = {5e-324};
    export_csv(r, dir.file("out.csv"), 1);
    EXPECT_EQ(read_bytes(dir.file("out.csv")),
              std::string(kCsvHeader) + "0,0,0,0,-nan,inf,-inf,nan,-0,4.940656458e-324,1\n");
    export_vtk(r, dir.file("out.vtk"), 1);
    const std::string vtk = read_bytes(dir.file("out.vtk"));
    EXPECT_NE(vtk.find("SCALARS U float 1\nLOOKUP_TABLE default\n-nan\n"
                       "SCALARS V float 1\nLOOKUP_TABLE default\ninf\n"
                       "SCALARS Exx float 1\nLOOKUP_TABLE default\n-inf\n"),
              std::string::npos);
}

TEST(TextExport, EmptyResultWritesHeadersOnly) {
    TempDir dir;
    DICResult r;
    r.cols = 4;  // a zero extent in one direction is still an empty grid
    export_csv(r, dir.file("out.csv"), 10);
    EXPECT_EQ(read_bytes(dir.file("out.csv")), kCsvHeader);
    export_vtk(r, dir.file("out.vtk"), 10);
    std::string expected =
        "# vtk DataFile Version 3.0\nMorvex DIC Result\nASCII\nDATASET STRUCTURED_GRID\n"
        "DIMENSIONS 4 0 1\nPOINTS 0 float\nPOINT_DATA 0\n";
    for (const char* name : {"U", "V", "Exx", "Eyy", "Exy", "Confidence"}) {
        expected += std::string("SCALARS ") + name + " float 1\nLOOKUP_TABLE default\n";
    }
    EXPECT_EQ(read_bytes(dir.file("out.vtk")), expected);
}

// Found by fuzzing: with no columns the row loop still ran INT_MAX times (seconds of work,
// minutes under the sanitizers) to write nothing.
TEST(TextExport, ZeroColumnsWithHugeRowCountWritesHeadersOnly) {
    TempDir dir;
    DICResult r;
    r.rows = std::numeric_limits<int>::max();
    export_csv(r, dir.file("out.csv"), 10);
    EXPECT_EQ(read_bytes(dir.file("out.csv")), kCsvHeader);
    export_vtk(r, dir.file("out.vtk"), 10);
    EXPECT_NE(read_bytes(dir.file("out.vtk"))
                  .find("DIMENSIONS 0 2147483647 1\nPOINTS 0 float\nPOINT_DATA 0\n"),
              std::string::npos);
}

TEST(TextExport, NegativeStepGivesNegativePositions) {
    TempDir dir;
    DICResult r = grid_2x3();
    export_csv(r, dir.file("out.csv"), -10);
    EXPECT_NE(read_bytes(dir.file("out.csv")).find("\n1,2,-20,-10,123456.789,"), std::string::npos);
    export_vtk(r, dir.file("out.vtk"), -10);
    EXPECT_NE(read_bytes(dir.file("out.vtk")).find("\n0 0 0.0\n-10 0 0.0\n-20 0 0.0\n0 -10 0.0\n"),
              std::string::npos);
}

TEST(TextExport, PixelPositionDoesNotOverflow) {
    TempDir dir;
    DICResult r = grid_2x3();
    const int step = 2'000'000'000;  // 2 * step exceeds the 32-bit range
    export_csv(r, dir.file("out.csv"), step);
    EXPECT_NE(read_bytes(dir.file("out.csv")).find("\n1,2,4000000000,2000000000,"),
              std::string::npos);
    export_vtk(r, dir.file("out.vtk"), step);
    EXPECT_NE(read_bytes(dir.file("out.vtk")).find("\n4000000000 2000000000 0.0\nPOINT_DATA"),
              std::string::npos);
}

// Random bit patterns (NaN payloads, subnormals, huge values) on a grid large enough that
// the writers hand the file several buffers: compared with plain stream output.
TEST(TextExport, LargeGridMatchesPlainStreamOutput) {
    DICResult r;
    r.rows = 150;
    r.cols = 200;
    const std::size_t n = 150 * 200;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> plain(-50.0, 50.0);
    for (std::vector<double>* a : {&r.u, &r.v, &r.exx, &r.eyy, &r.exy, &r.confidence}) {
        a->resize(n);
        for (double& x : *a) {
            if (rng() % 2 == 0) {
                x = plain(rng);
            } else {
                const std::uint64_t bits = rng();
                std::memcpy(&x, &bits, sizeof x);
            }
        }
    }
    r.valid.resize(n - 17);
    for (auto& b : r.valid) b = static_cast<std::uint8_t>(rng() % 3);
    const int step = 7;

    std::ostringstream csv;
    csv << kCsvHeader;
    csv.precision(10);
    std::ostringstream vtk;
    vtk << "# vtk DataFile Version 3.0\nMorvex DIC Result\nASCII\nDATASET "
           "STRUCTURED_GRID\nDIMENSIONS "
        << r.cols << ' ' << r.rows << " 1\nPOINTS " << n << " float\n";
    vtk.precision(8);
    for (int row = 0; row < r.rows; ++row) {
        for (int col = 0; col < r.cols; ++col) {
            const std::size_t k = static_cast<std::size_t>(row) * r.cols + col;
            csv << row << ',' << col << ',' << double(col * step) << ',' << double(row * step)
                << ',' << r.u[k] << ',' << r.v[k] << ',' << r.exx[k] << ',' << r.eyy[k] << ','
                << r.exy[k] << ',' << r.confidence[k] << ','
                << (k >= r.valid.size() || r.valid[k] ? 1 : 0) << '\n';
            vtk << col * step << ' ' << row * step << " 0.0\n";
        }
    }
    vtk << "POINT_DATA " << n << '\n';
    const std::pair<const char*, const std::vector<double>*> blocks[] = {
        {"U", &r.u},     {"V", &r.v},     {"Exx", &r.exx},
        {"Eyy", &r.eyy}, {"Exy", &r.exy}, {"Confidence", &r.confidence}};
    for (const auto& [name, values] : blocks) {
        vtk << "SCALARS " << name << " float 1\nLOOKUP_TABLE default\n";
        for (double x : *values) vtk << x << '\n';
    }

    TempDir dir;
    export_csv(r, dir.file("out.csv"), step);
    EXPECT_TRUE(read_bytes(dir.file("out.csv")) == csv.str());
    export_vtk(r, dir.file("out.vtk"), step);
    EXPECT_TRUE(read_bytes(dir.file("out.vtk")) == vtk.str());
}

// ---- binary file --------------------------------------------------------------------

// Decodes a little-endian field byte by byte, so the check holds on any host.
std::uint64_t little_endian(const std::string& bytes, std::size_t offset, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
        value |= std::uint64_t{static_cast<unsigned char>(bytes.at(offset + i))} << (8 * i);
    }
    return value;
}

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

TEST(BinaryExport, EveryFieldReadsBackLittleEndian) {
    TempDir dir;
    DICResult r = grid_2x3();
    r.exx[0] = from_bits(0x7ff800000000beefULL);  // NaN with a payload
    r.eyy[1] = from_bits(0xfff0000000000001ULL);  // signalling NaN, sign set
    r.valid = {1, 0, 2, 0, 255, 1};
    export_hdf5(r, dir.file("out.mxd"), -10);

    const std::string bytes = read_bytes(dir.file("out.mxd"));
    ASSERT_EQ(bytes.size(), 16u + 49u * 6u);
    EXPECT_EQ(bytes.substr(0, 4), "MXD1");
    EXPECT_EQ(little_endian(bytes, 4, 4), 2u);
    EXPECT_EQ(little_endian(bytes, 8, 4), 3u);
    EXPECT_EQ(little_endian(bytes, 12, 4), 0xfffffff6u);  // -10, two's complement
    std::size_t offset = 16;
    for (const std::vector<double>* a : {&r.u, &r.v, &r.exx, &r.eyy, &r.exy, &r.confidence}) {
        for (double x : *a) {
            EXPECT_EQ(little_endian(bytes, offset, 8), bits_of(x)) << "at byte " << offset;
            offset += 8;
        }
    }
    EXPECT_EQ(bytes.substr(offset), std::string("\x01\x00\x02\x00\xff\x01", 6));
}

TEST(BinaryExport, EmptyResultIsSixteenBytes) {
    TempDir dir;
    export_hdf5(DICResult{}, dir.file("out.mxd"), 7);
    EXPECT_EQ(read_bytes(dir.file("out.mxd")), std::string("MXD1\0\0\0\0\0\0\0\0\x07\0\0\0", 16));
}

// ---- refused results ----------------------------------------------------------------

struct WriterCase {
    const char* name;
    Writer write;
};

const WriterCase kWriters[] = {{"Csv", export_csv}, {"Vtk", export_vtk}, {"Binary", export_hdf5}};

struct Defect {
    const char* name;
    void (*apply)(DICResult&);
    const char* mentions;  // what the message must name
};

// Refused by every writer.
const std::vector<Defect> kDefects = {
    {"NegativeRows", [](DICResult& r) { r.rows = -2; }, "rows = -2"},
    {"NegativeCols", [](DICResult& r) { r.cols = -3; }, "cols = -3"},
    {"ShortU", [](DICResult& r) { r.u.pop_back(); }, "u holds 5"},
    {"ShortV", [](DICResult& r) { r.v.clear(); }, "v holds 0"},
    {"ShortExx", [](DICResult& r) { r.exx.pop_back(); }, "exx holds 5"},
    {"ShortEyy", [](DICResult& r) { r.eyy.pop_back(); }, "eyy holds 5"},
    {"ShortExy", [](DICResult& r) { r.exy.pop_back(); }, "exy holds 5"},
    {"ShortConfidence", [](DICResult& r) { r.confidence.pop_back(); }, "confidence holds 5"},
};

// Also refused by the binary writer, whose header must describe every array.
std::vector<Defect> binary_defects() {
    std::vector<Defect> defects = kDefects;
    defects.push_back({"ShortValid", [](DICResult& r) { r.valid.pop_back(); }, "valid holds 5"});
    defects.push_back({"LongU", [](DICResult& r) { r.u.push_back(1.0); }, "u holds 7"});
    return defects;
}

class RefusedResult : public testing::TestWithParam<std::tuple<WriterCase, Defect>> {};

TEST_P(RefusedResult, ShortArrayIsRefusedBeforeAnythingIsWritten) {
    const auto& [writer, defect] = GetParam();
    TempDir dir;
    const std::string path = dir.file("result.out");
    write_bytes(path, "previous results");
    DICResult r = grid_2x3();
    defect.apply(r);
    try {
        writer.write(r, path, 10);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(defect.mentions), std::string::npos) << e.what();
    }
    EXPECT_EQ(read_bytes(path), "previous results");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"result.out"});
}

std::string refusal_name(const testing::TestParamInfo<std::tuple<WriterCase, Defect>>& case_info) {
    return std::string(std::get<0>(case_info.param).name) + std::get<1>(case_info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Text, RefusedResult,
                         testing::Combine(testing::Values(kWriters[0], kWriters[1]),
                                          testing::ValuesIn(kDefects)),
                         refusal_name);
INSTANTIATE_TEST_SUITE_P(Binary, RefusedResult,
                         testing::Combine(testing::Values(kWriters[2]),
                                          testing::ValuesIn(binary_defects())),
                         refusal_name);

TEST(TextExport, LongerArraysAreWrittenUpToTheGrid) {
    TempDir dir;
    DICResult r = grid_2x3();
    r.u.push_back(99.0);
    r.valid.push_back(0);
    export_csv(r, dir.file("out.csv"), 10);
    EXPECT_EQ(read_bytes(dir.file("out.csv")), csv_2x3("101010"));
}

// ---- failures while writing ---------------------------------------------------------

std::string runtime_error_of(Writer write, const DICResult& result, const std::string& path) {
    try {
        write(result, path, 10);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

class WriteFailure : public testing::TestWithParam<WriterCase> {};

TEST_P(WriteFailure, UnopenablePathThrowsInsteadOfReturningSilently) {
    TempDir dir;
    write_bytes(dir.file("plain"), "keep");
    const std::pair<std::string, int> cases[] = {{dir.file("missing/out.dat"), ENOENT},
                                                 {dir.file("plain/out.dat"), ENOTDIR}};
    for (const auto& [path, error] : cases) {
        EXPECT_EQ(runtime_error_of(GetParam().write, grid_2x3(), path),
                  "Failed to write " + path + ": " + std::strerror(error));
    }
    EXPECT_EQ(read_bytes(dir.file("plain")), "keep");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"plain"});
}

// Found by fuzzing: the C calls stopped at the NUL and wrote "result" instead.
TEST_P(WriteFailure, EmbeddedNulPathIsRefusedNotTruncated) {
    TempDir dir;
    const std::string path = dir.file("result") + std::string(1, '\0') + ".out";
    EXPECT_EQ(runtime_error_of(GetParam().write, grid_2x3(), path),
              "Failed to write " + dir.file("result") +
                  "\\0.out: path contains an embedded null character");
    EXPECT_TRUE(dir.entries().empty());
}

// A full disk, as far as this process is concerned: the file-size limit stops the write
// part way (permission bits would not, since the tests may run as root).
TEST_P(WriteFailure, FailedWriteKeepsExistingFileAndLeavesNoTemporary) {
    DICResult r;
    r.rows = 100;
    r.cols = 200;
    for (std::vector<double>* a : {&r.u, &r.v, &r.exx, &r.eyy, &r.exy, &r.confidence}) {
        a->assign(20000, 0.123456789);
    }
    r.valid.assign(20000, 1);
    TempDir dir;
    const std::string path = dir.file("result.out");
    write_bytes(path, "previous results");

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    const auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);  // fail with EFBIG instead
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string message = runtime_error_of(GetParam().write, r, path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, saved_handler);

    EXPECT_EQ(message, "Failed to write " + path + ": " + std::strerror(EFBIG));
    EXPECT_EQ(read_bytes(path), "previous results");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"result.out"});
}

// A device is written in place, never renamed over: /dev/full reports a full disk.
TEST_P(WriteFailure, FullDeviceReportsNoSpace) {
    if (!fs::is_character_file("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(runtime_error_of(GetParam().write, grid_2x3(), "/dev/full"),
              std::string("Failed to write /dev/full: ") + std::strerror(ENOSPC));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST_P(WriteFailure, SuccessReplacesExistingFileKeepingItsMode) {
    TempDir dir;
    const std::string path = dir.file("result.out");
    write_bytes(path, std::string(100000, 'x'));  // longer than the new content
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    GetParam().write(grid_2x3(), path, 10);
    TempDir fresh;
    GetParam().write(grid_2x3(), fresh.file("result.out"), 10);
    EXPECT_EQ(read_bytes(path), read_bytes(fresh.file("result.out")));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"result.out"});
}

TEST_P(WriteFailure, SymbolicLinkKeepsPointingAtTheNewFile) {
    TempDir dir;
    fs::create_directory(dir.file("data"));
    fs::create_symlink("data/real.out", dir.file("link.out"));  // dangling until written
    GetParam().write(grid_2x3(), dir.file("link.out"), 10);
    EXPECT_TRUE(fs::is_symlink(dir.file("link.out")));
    EXPECT_FALSE(read_bytes(dir.file("data/real.out")).empty());
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"data", "link.out"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("data")), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(Export, WriteFailure, testing::ValuesIn(kWriters),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace morvex::dic
