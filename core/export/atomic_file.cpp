#include "export/atomic_file.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace morvex::dic::detail {
namespace {

namespace fs = std::filesystem;

constexpr int kTempNameAttempts = 64;
constexpr int kMaxSymlinkHops = 40;              // the usual kernel limit
constexpr std::size_t kTempNameStemLimit = 100;  // bytes: keeps the name below NAME_MAX

std::string describe_errno(int error, const char* fallback) {
    return error != 0 ? std::generic_category().message(error) : std::string(fallback);
}

std::uint64_t mix(std::uint64_t x) {  // splitmix64 finaliser
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A name that is unlikely to be taken; the exclusive open below makes a clash harmless.
std::string temp_name(const fs::path& target, const void* owner, int attempt) {
    std::uint64_t key =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    key = mix(key ^ std::hash<std::thread::id>{}(std::this_thread::get_id()));
    key = mix(key ^ reinterpret_cast<std::uintptr_t>(owner));
    key = mix(key ^ static_cast<std::uint64_t>(attempt));
    static constexpr char kHex[] = "0123456789abcdef";
    std::string suffix(16, '0');
    for (int i = 0; i < 16; ++i) suffix[i] = kHex[(key >> (4 * i)) & 0xF];
    std::string stem = target.filename().string().substr(0, kTempNameStemLimit);
    return (target.parent_path() / ("." + stem + "." + suffix + ".tmp")).string();
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
    if (path_.empty()) fail("empty path");
    // The C calls below stop at the first NUL and would write a different file than the one
    // named. The message shows the NUL as \0: what() would end the text there.
    if (const std::size_t nul = path_.find('\0'); nul != std::string::npos) {
        for (std::size_t at = nul; at != std::string::npos; at = path_.find('\0', at + 2))
            path_.replace(at, 1, "\\0");
        fail("path contains an embedded null character");
    }
    std::error_code ec;
    fs::path target(path_);
    // Follow links by hand: a dangling link still names the file the user means to create.
    for (int hops = 0; fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
        if (hops == kMaxSymlinkHops) {
            fail(std::make_error_code(std::errc::too_many_symbolic_link_levels).message());
        }
        const fs::path link = fs::read_symlink(target, ec);
        if (ec) fail(ec.message());
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    target_ = target.string();

    // Errors other than "not found" are left to the open below, which reports them.
    const fs::file_status status = fs::status(target, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        errno = 0;
        file_ = std::fopen(target_.c_str(), "wb");
        if (file_ == nullptr) fail(describe_errno(errno, "cannot open file"));
        return;
    }

    for (int attempt = 0; attempt < kTempNameAttempts && file_ == nullptr; ++attempt) {
        std::string candidate = temp_name(target, this, attempt);
        errno = 0;
        // "x": exclusive creation, so another writer's temporary is never reused.
        file_ = std::fopen(candidate.c_str(), "wbx");
        if (file_ != nullptr) {
            temp_path_ = std::move(candidate);
        } else if (errno != EEXIST) {
            fail(describe_errno(errno, "cannot create file"));
        }
    }
    if (file_ == nullptr) fail("cannot create a temporary file beside it");

    // The replacement should look like the file it replaces to whoever reads it next.
    if (fs::is_regular_file(status)) fs::permissions(temp_path_, status.permissions(), ec);
}

AtomicFile::~AtomicFile() {
    discard();
}

void AtomicFile::write(std::string_view bytes) {
    if (file_ == nullptr) fail("file is no longer open");
    if (bytes.empty()) return;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        fail(describe_errno(errno, "write error"));
    }
}

void AtomicFile::commit() {
    if (file_ == nullptr) fail("file is no longer open");
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) {
        fail(describe_errno(errno, "write error"));
    }
    std::FILE* file = std::exchange(file_, nullptr);
    errno = 0;
    if (std::fclose(file) != 0) fail(describe_errno(errno, "error while closing the file"));
    if (temp_path_.empty()) return;
    errno = 0;
    if (std::rename(temp_path_.c_str(), target_.c_str()) != 0) {
        fail(describe_errno(errno, "cannot move the written file into place"));
    }
    temp_path_.clear();
}

void AtomicFile::fail(const std::string& reason) {
    discard();
    throw std::runtime_error("Failed to write " + path_ + ": " + reason);
}

void AtomicFile::discard() noexcept {
    if (file_ != nullptr) std::fclose(std::exchange(file_, nullptr));
    if (!temp_path_.empty()) std::remove(temp_path_.c_str());
    temp_path_.clear();
}

}  // namespace morvex::dic::detail
