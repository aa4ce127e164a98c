#pragma once
/// The sums of lane_sums.h on CPUs with AVX2, one 4-lane register for the four partial sums.
/// Compiled in its own translation unit with AVX2 but without FMA (lane_sums_avx2.cpp), so
/// every product and sum rounds as in the portable form: the same bits on every CPU. Call
/// them only through lane_dot, lane_energy_cross and lane_residual_sums, which ask the CPU
/// first (image/sampling/dispatch.h). Never throw, never allocate; safe from any thread.

namespace morvex::dic::detail {

/// lane_dot, bit for bit. Requires an AVX2 CPU.
double lane_dot_avx2(const double* a, const double* b, int n);

/// lane_energy_cross, bit for bit. Requires an AVX2 CPU.
void lane_energy_cross_avx2(const double* g, const double* f, int n, double& gss, double& cross);

/// lane_residual_sums, bit for bit. Requires an AVX2 CPU.
void lane_residual_sums_avx2(const double* f0, const double* g, double scale,
                             const double* const sd[6], int n, double b[6], double& ssr);

}  // namespace morvex::dic::detail
