#pragma once
/// The subset warp of the guided path and its algebra: re-expansion about another centre (the
/// start a neighbour takes), the inverse-compositional updates of first- and second-order
/// warps, and the jump test between two warps.

namespace morvex::dic::detail {

/// A warp about the subset centre: u, v, the four displacement gradients and, for
/// second-order subsets, the six second derivatives (zero, and ignored, for affine ones).
struct Warp {
    double u = 0.0, v = 0.0;
    double du_dx = 0.0, du_dy = 0.0, dv_dx = 0.0, dv_dy = 0.0;
    double du_dxx = 0.0, du_dxy = 0.0, du_dyy = 0.0;
    double dv_dxx = 0.0, dv_dxy = 0.0, dv_dyy = 0.0;
};

/// The warp `w` re-expanded about a point (dx, dy) px from its centre: the start a neighbour
/// takes from it. First order carries u, v by the gradients; second order (`quadratic`) also
/// moves the gradients by the second derivatives, so a quadratic field is carried exactly.
Warp recentre(Warp w, double dx, double dy, bool quadratic);

/// Composes w with the inverse of the increment dp (u, ux, uy, v, vx, vy): the IC-GN update.
/// False when the increment's matrix is singular.
bool compose_inverse(Warp& w, const double dp[6]);

/// The second-order update (Gao et al. 2015): w composed with the inverse of dp (u, ux, uy,
/// uxx, uxy, uyy, v, vx, ..., vyy) through their 6 x 6 matrices on (x^2, xy, y^2, x, y, 1).
/// False when the increment's matrix is singular or the result not finite.
bool compose_inverse_quadratic(Warp& w, const double dp[12]);

/// Largest difference, px, between the displacements two warps give anywhere on a subset of
/// half-width `half`: at its centre for first-order warps (they differ by a plane whose
/// centre is what the jump test is about), over the whole subset for second-order ones,
/// where a noisy or textureless subset can trade a sane centre for a wildly bent outline.
double warp_jump(const Warp& a, const Warp& b, int half, bool quadratic);

}  // namespace morvex::dic::detail
