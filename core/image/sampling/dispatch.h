#pragma once
/// Run-time choice between the vector forms of the library. Every AVX2 form (the fourth-order
/// kernel, the quintic B-spline sampler, the guided solver's lane sums) lives in a translation
/// unit of its own, *_avx2.cpp, built with -mavx2 when the library has them
/// (MORVEX_HAVE_AVX2_KERNELS: x86-64 with GCC or Clang), and is called only after
/// cpu_has_avx2() says yes; MORVEX_KERNELS_AVX2 says whether to compile the call. The SSE2 or
/// scalar form runs otherwise. Every form gives the same bits. Code built outside the library
/// (the tests) sees the one-at-a-time form only.

#include <cstddef>

#include "image/sampling/kernels.h"

#if MORVEX_KERNELS_SSE2 && defined(MORVEX_HAVE_AVX2_KERNELS)
#define MORVEX_KERNELS_AVX2 1
#include "image/sampling/keys_fourth_avx2.h"
#else
#define MORVEX_KERNELS_AVX2 0
#endif

namespace morvex::dic::detail {

/// True when the CPU runs AVX2 code (asked once, then cached; false off x86-64). Every vector
/// path of the library (Keys runs, B-spline sampler, guided lane sums) asks here. Never
/// throws; any thread.
bool cpu_has_avx2();

/// out[i] = sample_keys_fourth(image, ys[i], xs[i]) for i < count: four at a time on AVX2
/// CPUs when `all_unclamped` (every position passed keys_fourth_unclamped), otherwise one
/// at a time reusing the weights of equal fractions. Same bits either way. Never throws,
/// never allocates; safe from any thread.
inline void sample_keys_fourth_run(const GreyView& image, const double* ys, const double* xs,
                                   std::size_t count, bool all_unclamped, double* out) {
    std::size_t done = 0;
#if MORVEX_KERNELS_AVX2
    if (all_unclamped && cpu_has_avx2()) {
        done = sample_keys_fourth_quads(image, ys, xs, count, out);
        for (; done < count; ++done) out[done] = sample_keys_fourth(image, ys[done], xs[done]);
        return;
    }
#else
    (void)all_unclamped;
#endif
    KeysFourthSampler sample;
    for (; done < count; ++done) out[done] = sample(image, ys[done], xs[done]);
}

}  // namespace morvex::dic::detail
