#include <morvex/export.hpp>

#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "export/atomic_file.h"

namespace morvex::dic {
namespace {

constexpr int kCsvPrecision = 10;  // significant digits, as %.10g
constexpr int kVtkPrecision = 8;   // significant digits, as %.8g
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

// Formats into one large buffer handed to the file in big pieces: per-line stream
// insertions with flushes made large grids take minutes. std::to_chars in the general
// format is %.<p>g, so values (nan, -nan, inf included) read exactly as a C++ stream
// writes them, independent of the global locale.
class TextWriter {
public:
    explicit TextWriter(const std::string& path) : file_(path) { text_.reserve(kFlushBytes + 256); }

    void put(std::string_view s) {
        text_.append(s);
        flush_if_full();
    }

    void put(char c) { text_.push_back(c); }

    void put_integer(std::int64_t value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        text_.append(digits, end);
    }

    void put_general(double value, int precision) {
        char digits[40];  // %.10g needs at most 17 characters ("-1.234567891e-308")
        const auto end = std::to_chars(digits, digits + sizeof digits, value,
                                       std::chars_format::general, precision)
                             .ptr;
        text_.append(digits, end);
    }

    void end_line() {
        text_.push_back('\n');
        flush_if_full();
    }

    void commit() {
        file_.write(text_);
        text_.clear();
        file_.commit();
    }

private:
    void flush_if_full() {
        if (text_.size() < kFlushBytes) return;
        file_.write(text_);
        text_.clear();
    }

    detail::AtomicFile file_;
    std::string text_;
};

struct NamedField {
    const char* name;
    const std::vector<double>* values;
};

// Returns rows * cols, computed in 64 bits, after refusing a result the writers would read
// past the end of. `valid` may be shorter: the missing entries read as valid.
std::int64_t checked_point_count(const DICResult& result, const char* writer) {
    if (result.rows < 0 || result.cols < 0) {
        throw std::invalid_argument(
            std::string(writer) + ": rows and cols must not be negative (rows = " +
            std::to_string(result.rows) + ", cols = " + std::to_string(result.cols) + ")");
    }
    const std::int64_t count = std::int64_t{result.rows} * result.cols;
    const NamedField fields[] = {{"u", &result.u},     {"v", &result.v},
                                 {"exx", &result.exx}, {"eyy", &result.eyy},
                                 {"exy", &result.exy}, {"confidence", &result.confidence}};
    for (const NamedField& field : fields) {
        if (static_cast<std::uint64_t>(field.values->size()) < static_cast<std::uint64_t>(count)) {
            throw std::invalid_argument(
                std::string(writer) + ": " + field.name + " holds " +
                std::to_string(field.values->size()) +
                " values, fewer than rows * cols = " + std::to_string(count));
        }
    }
    return count;
}

}  // namespace

void export_csv(const DICResult& result, const std::string& path, int step) {
    const std::int64_t count = checked_point_count(result, "export_csv");
    TextWriter out(path);
    out.put("grid_row,grid_col,x_pixel,y_pixel,u,v,exx,eyy,exy,confidence,valid\n");
    const std::vector<double>* columns[] = {&result.u,   &result.v,   &result.exx,
                                            &result.eyy, &result.exy, &result.confidence};
    std::size_t k = 0;
    // With no points the row loop is skipped: 0 columns and rows near INT_MAX would spin
    // through billions of empty rows.
    for (int r = 0; count > 0 && r < result.rows; ++r) {
        for (int c = 0; c < result.cols; ++c, ++k) {
            out.put_integer(r);
            out.put(',');
            out.put_integer(c);
            out.put(',');
            // 64-bit products: int * int overflows on large grids or steps.
            out.put_general(static_cast<double>(std::int64_t{c} * step), kCsvPrecision);
            out.put(',');
            out.put_general(static_cast<double>(std::int64_t{r} * step), kCsvPrecision);
            for (const std::vector<double>* column : columns) {
                out.put(',');
                out.put_general((*column)[k], kCsvPrecision);
            }
            out.put(',');
            out.put(k >= result.valid.size() || result.valid[k] != 0 ? '1' : '0');
            out.end_line();
        }
    }
    out.commit();
}

void export_vtk(const DICResult& result, const std::string& path, int step) {
    const std::int64_t count = checked_point_count(result, "export_vtk");
    TextWriter out(path);
    out.put("# vtk DataFile Version 3.0\nMorvex DIC Result\nASCII\nDATASET STRUCTURED_GRID\n");
    out.put("DIMENSIONS ");
    out.put_integer(result.cols);
    out.put(' ');
    out.put_integer(result.rows);
    out.put(" 1\nPOINTS ");
    out.put_integer(count);
    out.put(" float\n");
    for (int r = 0; count > 0 && r < result.rows; ++r) {  // as in export_csv
        for (int c = 0; c < result.cols; ++c) {
            out.put_integer(std::int64_t{c} * step);
            out.put(' ');
            out.put_integer(std::int64_t{r} * step);
            out.put(" 0.0");
            out.end_line();
        }
    }
    out.put("POINT_DATA ");
    out.put_integer(count);
    out.end_line();
    const NamedField blocks[] = {{"U", &result.u},     {"V", &result.v},
                                 {"Exx", &result.exx}, {"Eyy", &result.eyy},
                                 {"Exy", &result.exy}, {"Confidence", &result.confidence}};
    for (const NamedField& block : blocks) {
        out.put("SCALARS ");
        out.put(block.name);
        out.put(" float 1\nLOOKUP_TABLE default\n");
        for (std::int64_t k = 0; k < count; ++k) {
            out.put_general((*block.values)[static_cast<std::size_t>(k)], kVtkPrecision);
            out.end_line();
        }
    }
    out.commit();
}

}  // namespace morvex::dic
