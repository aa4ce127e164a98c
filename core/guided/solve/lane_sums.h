#pragma once
/// The guided solver's sums over a subset, in four interleaved partial sums (element k goes
/// to lane k mod 4) combined as (lane 0 + lane 2) + (lane 1 + lane 3), then the tail of fewer
/// than four elements in order. An AVX2 form (chosen at run time) and a portable form
/// perform the very same operations, so results do not depend on the CPU.

namespace morvex::dic::detail {

/// sum of a[k] b[k].
double lane_dot(const double* a, const double* b, int n);

/// gss = sum g[k]^2 and cross = sum f[k] g[k], in one pass.
void lane_energy_cross(const double* g, const double* f, int n, double& gss, double& cross);

/// With r[k] = f0[k] - scale g[k]: b[p] = sum sd[p][k] r[k] (p < 6) and ssr = sum r[k]^2.
void lane_residual_sums(const double* f0, const double* g, double scale, const double* const sd[6],
                        int n, double b[6], double& ssr);

}  // namespace morvex::dic::detail
