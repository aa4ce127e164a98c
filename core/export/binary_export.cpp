#include <morvex/export.hpp>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "export/atomic_file.h"

namespace morvex::dic {
namespace {

constexpr char kMagic[4] = {'M', 'X', 'D', '1'};
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

// Bytes are assembled explicitly so the file is little-endian on any host, and doubles
// travel as their bit patterns (NaN payloads and signs survive).
class LittleEndianWriter {
public:
    explicit LittleEndianWriter(const std::string& path) : file_(path) {
        bytes_.reserve(kFlushBytes + 8);
    }

    void put_raw(const char* data, std::size_t size) { bytes_.append(data, size); }

    void put_int32(std::int32_t value) { put_bits(static_cast<std::uint32_t>(value), 4); }

    void put_float64(double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        put_bits(bits, 8);
    }

    void put_uint8(std::uint8_t value) {
        bytes_.push_back(static_cast<char>(value));
        flush_if_full();
    }

    void commit() {
        file_.write(bytes_);
        bytes_.clear();
        file_.commit();
    }

private:
    void put_bits(std::uint64_t bits, int size) {
        for (int i = 0; i < size; ++i)
            bytes_.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
        flush_if_full();
    }

    void flush_if_full() {
        if (bytes_.size() < kFlushBytes) return;
        file_.write(bytes_);
        bytes_.clear();
    }

    detail::AtomicFile file_;
    std::string bytes_;
};

void require_length(const char* name, std::size_t length, std::int64_t count) {
    if (static_cast<std::uint64_t>(length) != static_cast<std::uint64_t>(count)) {
        throw std::invalid_argument(std::string("export_hdf5: ") + name + " holds " +
                                    std::to_string(length) +
                                    " values, rows * cols = " + std::to_string(count));
    }
}

}  // namespace

void export_hdf5(const DICResult& result, const std::string& path, int step) {
    // A reader takes every array length from the header, so the arrays must match it exactly.
    if (result.rows < 0 || result.cols < 0) {
        throw std::invalid_argument("export_hdf5: rows and cols must not be negative (rows = " +
                                    std::to_string(result.rows) +
                                    ", cols = " + std::to_string(result.cols) + ")");
    }
    const std::int64_t count = std::int64_t{result.rows} * result.cols;
    const std::vector<double>* arrays[] = {&result.u,   &result.v,   &result.exx,
                                           &result.eyy, &result.exy, &result.confidence};
    const char* names[] = {"u", "v", "exx", "eyy", "exy", "confidence"};
    for (int i = 0; i < 6; ++i) require_length(names[i], arrays[i]->size(), count);
    require_length("valid", result.valid.size(), count);

    LittleEndianWriter out(path);
    out.put_raw(kMagic, sizeof kMagic);
    out.put_int32(result.rows);
    out.put_int32(result.cols);
    out.put_int32(step);
    for (const std::vector<double>* array : arrays) {
        for (double value : *array) out.put_float64(value);
    }
    for (std::uint8_t flag : result.valid) out.put_uint8(flag);
    out.commit();
}

}  // namespace morvex::dic
