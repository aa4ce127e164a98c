#include "image/sampling/dispatch.h"

namespace morvex::dic::detail {

bool cpu_has_avx2() {
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
#else
    return false;
#endif
}

}  // namespace morvex::dic::detail
