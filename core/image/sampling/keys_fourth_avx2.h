#pragma once
/// The fourth-order kernel four samples at a time on CPUs with AVX2. Compiled in its own
/// translation unit with AVX2 but without FMA (keys_fourth_avx2.cpp), so every product and
/// sum rounds as in the scalar kernel: the same bits on every CPU. Call it only through
/// sample_keys_fourth_run (dispatch.h), which asks the CPU first.

#include <cstddef>

#include "image/sampling/grey_view.h"

namespace morvex::dic::detail {

/// out[i] = sample_keys_fourth(image, ys[i], xs[i]) for i below the returned count, a
/// multiple of four no larger than `count`, bit for bit. Every position must lie in the
/// unclamped range (keys_fourth_unclamped); the caller samples the rest. Four samples share
/// one pass of weights: twelve 4-lane polynomials instead of six 2-lane ones per sample.
/// Never throws, never allocates; safe from any thread. Requires an AVX2 CPU.
std::size_t sample_keys_fourth_quads(const GreyView& image, const double* ys, const double* xs,
                                     std::size_t count, double* out);

}  // namespace morvex::dic::detail
