#pragma once
/// All-or-nothing file output shared by the result writers.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace morvex::dic::detail {

/// A file that appears at its path only when every byte was written.
///
/// The content goes to a temporary file created beside the target (same folder, hence the
/// same filesystem); commit() flushes and closes it and renames it over the target. If
/// anything fails, or the object is destroyed before commit(), the temporary is removed and
/// an existing file at the path keeps its old content. A symbolic link at the path is
/// followed, so the file it points to is replaced and the link stays. An existing target
/// that is not a regular file (a device such as /dev/null, a pipe) is written in place,
/// since renaming over it would replace the device rather than write to it.
///
/// Every failure throws std::runtime_error "Failed to write <path>: <reason>", where path is
/// the text the caller gave and reason the system's description of the error.
/// Not thread-safe; distinct objects for distinct paths may be used concurrently.
class AtomicFile {
public:
    /// Creates the temporary file (or opens a non-regular target). Throws as above.
    explicit AtomicFile(std::string path);
    ~AtomicFile();

    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    /// Appends bytes. Throws as above; the object is then unusable.
    void write(std::string_view bytes);

    /// Flushes, closes and moves the file into place. Throws as above.
    void commit();

private:
    [[noreturn]] void fail(const std::string& reason);
    void discard() noexcept;

    std::string path_;       // as given by the caller, for messages
    std::string target_;     // the file actually replaced (symbolic links resolved)
    std::string temp_path_;  // empty when writing the target in place
    std::FILE* file_ = nullptr;
};

}  // namespace morvex::dic::detail
