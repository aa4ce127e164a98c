#include "guided/solve/warp.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <Eigen/Dense>

namespace morvex::dic::detail {

bool compose_inverse(Warp& w, const double dp[6]) {
    // W(p) * W(dp)^-1 with W = [[1 + ux, uy, u], [vx, 1 + vy, v], [0, 0, 1]].
    const double a = 1.0 + dp[1], b = dp[2], c = dp[0];
    const double d = dp[4], e = 1.0 + dp[5], f = dp[3];
    const double det = a * e - b * d;
    if (!(std::fabs(det) > 1e-12)) return false;
    const double ia = e / det, ib = -b / det, id = -d / det, ie = a / det;
    const double ic = -(ia * c + ib * f), iff = -(id * c + ie * f);
    const double pa = 1.0 + w.du_dx, pb = w.du_dy, pc = w.u;
    const double pd = w.dv_dx, pe = 1.0 + w.dv_dy, pf = w.v;
    w.du_dx = pa * ia + pb * id - 1.0;
    w.du_dy = pa * ib + pb * ie;
    w.u = pa * ic + pb * iff + pc;
    w.dv_dx = pd * ia + pe * id;
    w.dv_dy = pd * ib + pe * ie - 1.0;
    w.v = pd * ic + pe * iff + pf;
    return true;
}

namespace {

// Matrix of a second-order warp on the monomials (x^2, xy, y^2, x, y, 1): rows 3 and 4 are
// the mapped x and y, rows 0 to 2 their products truncated to second order (the truncation
// keeps the set closed under composition).
using Poly = std::array<double, 6>;  // coefficients of x^2, xy, y^2, x, y, 1

Poly truncated_product(const Poly& a, const Poly& b) {
    return {a[3] * b[3] + a[5] * b[0] + a[0] * b[5],
            a[3] * b[4] + a[4] * b[3] + a[5] * b[1] + a[1] * b[5],
            a[4] * b[4] + a[5] * b[2] + a[2] * b[5],
            a[5] * b[3] + a[3] * b[5],
            a[5] * b[4] + a[4] * b[5],
            a[5] * b[5]};
}

Eigen::Matrix<double, 6, 6> warp_matrix(const Poly& x, const Poly& y) {
    const Poly rows[6] = {
        truncated_product(x, x),       truncated_product(x, y), truncated_product(y, y), x, y,
        {0.0, 0.0, 0.0, 0.0, 0.0, 1.0}};
    Eigen::Matrix<double, 6, 6> m;
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) m(r, c) = rows[r][static_cast<std::size_t>(c)];
    return m;
}

Poly x_poly(const Warp& w) {
    return {0.5 * w.du_dxx, w.du_dxy, 0.5 * w.du_dyy, 1.0 + w.du_dx, w.du_dy, w.u};
}
Poly y_poly(const Warp& w) {
    return {0.5 * w.dv_dxx, w.dv_dxy, 0.5 * w.dv_dyy, w.dv_dx, 1.0 + w.dv_dy, w.v};
}

}  // namespace

bool compose_inverse_quadratic(Warp& w, const double dp[12]) {
    const Poly dx = {0.5 * dp[3], dp[4], 0.5 * dp[5], 1.0 + dp[1], dp[2], dp[0]};
    const Poly dy = {0.5 * dp[9], dp[10], 0.5 * dp[11], dp[7], 1.0 + dp[8], dp[6]};
    const Eigen::Matrix<double, 6, 6> increment = warp_matrix(dx, dy);
    // Partial-pivot LU: the increment is near the identity, so it is far from singular
    // unless the update itself is wild, which the determinant catches.
    const Eigen::PartialPivLU<Eigen::Matrix<double, 6, 6>> lu(increment);
    if (!(std::fabs(lu.determinant()) > 1e-12)) return false;
    const Eigen::Matrix<double, 6, 6> m = warp_matrix(x_poly(w), y_poly(w)) * lu.inverse();
    if (!m.allFinite()) return false;
    w.du_dxx = 2.0 * m(3, 0);
    w.du_dxy = m(3, 1);
    w.du_dyy = 2.0 * m(3, 2);
    w.du_dx = m(3, 3) - 1.0;
    w.du_dy = m(3, 4);
    w.u = m(3, 5);
    w.dv_dxx = 2.0 * m(4, 0);
    w.dv_dxy = m(4, 1);
    w.dv_dyy = 2.0 * m(4, 2);
    w.dv_dx = m(4, 3);
    w.dv_dy = m(4, 4) - 1.0;
    w.v = m(4, 5);
    return true;
}

double warp_jump(const Warp& a, const Warp& b, int half, bool quadratic) {
    double jump = std::max(std::fabs(a.u - b.u), std::fabs(a.v - b.v));
    if (!quadratic) return jump;
    // The difference of two quadratics over the square: its extremes lie on the edges or at
    // interior vertices; sampling every pixel of the outline and the centre cross is enough
    // at subset scale (the curvature between pixels is far below a pixel's worth).
    for (int dy = -half; dy <= half; ++dy)
        for (int dx = -half; dx <= half; dx += (dy == -half || dy == half || dy == 0) ? 1 : half) {
            const Warp da = recentre(a, dx, dy, true), db = recentre(b, dx, dy, true);
            jump = std::max({jump, std::fabs(da.u - db.u), std::fabs(da.v - db.v)});
        }
    return jump;
}

Warp recentre(Warp w, double dx, double dy, bool quadratic) {
    if (!quadratic) {
        w.u += w.du_dx * dx + w.du_dy * dy;
        w.v += w.dv_dx * dx + w.dv_dy * dy;
        return w;
    }
    w.u += w.du_dx * dx + w.du_dy * dy + 0.5 * w.du_dxx * dx * dx + w.du_dxy * dx * dy +
           0.5 * w.du_dyy * dy * dy;
    w.v += w.dv_dx * dx + w.dv_dy * dy + 0.5 * w.dv_dxx * dx * dx + w.dv_dxy * dx * dy +
           0.5 * w.dv_dyy * dy * dy;
    w.du_dx += w.du_dxx * dx + w.du_dxy * dy;
    w.du_dy += w.du_dxy * dx + w.du_dyy * dy;
    w.dv_dx += w.dv_dxx * dx + w.dv_dxy * dy;
    w.dv_dy += w.dv_dxy * dx + w.dv_dyy * dy;
    return w;
}

}  // namespace morvex::dic::detail
