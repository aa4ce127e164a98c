#include "image/sampling/dispatch.h"

namespace morvex::dic::detail {

#if MORVEX_KERNELS_AVX2
bool cpu_has_avx2() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}
#endif

}  // namespace morvex::dic::detail
