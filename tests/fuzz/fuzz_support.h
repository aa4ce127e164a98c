#pragma once
// What every fuzz target shares: a byte reader that turns the fuzzer's input into typed
// fields, the matching writer the seed-corpus generator uses, a scratch folder, and the
// check that turns a broken promise into a crash libFuzzer records.
//
// Each target describes its input as a record plus a visit() function that names the
// record's fields in order. The target calls visit() with a ByteReader, the corpus generator
// with a ByteWriter, so the seeds decode to exactly the records they were written from.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace morvex::fuzz {

/// Aborts with the broken promise when `condition` is false; libFuzzer then saves the input.
#define MORVEX_FUZZ_CHECK(condition, what)                                                         \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz check failed: %s\n  at %s:%d\n", what, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

/// Reads fields front to back. Past the end every byte reads as zero, so any input, even an
/// empty one, decodes to a complete record.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class T>
    void field(T& value) {
        static_assert(std::is_trivially_copyable_v<T> && !std::is_same_v<T, bool>);
        unsigned char bytes[sizeof(T)] = {};
        take(bytes, sizeof(T));
        std::memcpy(&value, bytes, sizeof(T));
    }

    void field(bool& value) {
        std::uint8_t byte = 0;
        field(byte);
        value = (byte & 1) != 0;
    }

    /// A length byte, then that many bytes.
    void field(std::string& value) {
        std::uint8_t length = 0;
        field(length);
        value.assign(length, '\0');
        take(reinterpret_cast<unsigned char*>(value.data()), length);
    }

    /// A length (one byte, or two when `wide`), then that many elements.
    template <class T>
    void field(std::vector<T>& values, bool wide = false) {
        std::size_t count = 0;
        if (wide) {
            std::uint16_t n = 0;
            field(n);
            count = n;
        } else {
            std::uint8_t n = 0;
            field(n);
            count = n;
        }
        // A length beyond the remaining bytes only repeats zeros; cap it to keep a run cheap.
        count = std::min(count, remaining() / sizeof(T) + 1);
        values.assign(count, T{});
        for (T& value : values) field(value);
    }

    std::size_t remaining() const { return size_ - offset_; }

private:
    void take(unsigned char* out, std::size_t n) {
        const std::size_t available = std::min(n, remaining());
        if (available) std::memcpy(out, data_ + offset_, available);
        offset_ += available;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

/// The inverse of ByteReader, for writing seeds.
class ByteWriter {
public:
    template <class T>
    void field(const T& value) {
        static_assert(std::is_trivially_copyable_v<T> && !std::is_same_v<T, bool>);
        const auto* p = reinterpret_cast<const unsigned char*>(&value);
        bytes_.insert(bytes_.end(), p, p + sizeof(T));
    }

    void field(const bool& value) { field(static_cast<std::uint8_t>(value ? 1 : 0)); }

    void field(const std::string& value) {
        field(static_cast<std::uint8_t>(value.size()));
        bytes_.insert(bytes_.end(), value.begin(), value.end());
    }

    template <class T>
    void field(const std::vector<T>& values, bool wide = false) {
        if (wide)
            field(static_cast<std::uint16_t>(values.size()));
        else
            field(static_cast<std::uint8_t>(values.size()));
        for (const T& value : values) field(value);
    }

    const std::vector<unsigned char>& bytes() const { return bytes_; }

private:
    std::vector<unsigned char> bytes_;
};

/// A private folder for the process's files, created on first use and removed at exit.
const std::string& scratch_dir();

/// Removes every entry of scratch_dir().
void clear_scratch_dir();

/// Number of entries in a folder (0 when it cannot be read).
std::size_t count_entries(const std::string& dir);

}  // namespace morvex::fuzz
