#include "fuzz_support.h"

#include <stdlib.h>  // mkdtemp

#include <filesystem>
#include <system_error>

namespace morvex::fuzz {
namespace {

namespace fs = std::filesystem;

struct ScratchDir {
    std::string path;
    ScratchDir() {
        char pattern[] = "/tmp/morvex-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        MORVEX_FUZZ_CHECK(made != nullptr, "cannot create a scratch folder under /tmp");
        path = made;
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

}  // namespace

const std::string& scratch_dir() {
    static ScratchDir dir;
    return dir.path;
}

void clear_scratch_dir() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(scratch_dir(), ignored))
        fs::remove_all(entry.path(), ignored);
}

std::size_t count_entries(const std::string& dir) {
    std::error_code error;
    std::size_t n = 0;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) ++n;
    return n;
}

}  // namespace morvex::fuzz
