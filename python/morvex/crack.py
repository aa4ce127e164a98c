"""Crack measurements from a measured field: the opening and sliding along a crack drawn as a
polyline, the crack tip and its length over frames, and the stress intensity factors.

A crack is a polyline in reference-image pixels, from its mouth (first vertex) towards its tip
(last vertex). Along it, x' is the tangent and n = x' turned by +90 degrees from x towards y
(downwards on the image for a crack running to the right); the "upper" lip is the side n points
to. The jump between the lips is upper - lower: its n component is the opening (positive when
the lips part) and its x' component the sliding.

The displacement of a lip at a station is read at distance d from the line, bilinearly from
the grid cell there when its four corners are valid points of that side, else from a local
plane fitted to the valid points of that side only: a point on the other side never
contributes, so a jump is measured, not smoothed over.

The stress intensity factors come from a least-squares fit of the Williams series (M. L.
Williams, "On the stress distribution at the base of a stationary crack", J. Appl. Mech. 24,
1957) to u, v in an annulus around the tip, in the form of the displacement expansion used for
full-field fits (e.g. S. Yoneyama, Y. Morimoto, M. Takashi, "Automatic evaluation of mixed-mode
stress intensity factors utilizing digital image correlation", Strain 42, 2006): with
kappa = 3 - 4 nu (plane strain) or (3 - nu) / (1 + nu) (plane stress), mu = E / (2 (1 + nu)),

    2 mu u' = sum_n r^(n/2) { a_n [(kappa + n/2 + (-1)^n) cos(n t/2) - n/2 cos((n/2 - 2) t)]
                            - b_n [(kappa + n/2 - (-1)^n) sin(n t/2) - n/2 sin((n/2 - 2) t)] }
    2 mu v' = sum_n r^(n/2) { a_n [(kappa - n/2 - (-1)^n) sin(n t/2) + n/2 sin((n/2 - 2) t)]
                            + b_n [(kappa - n/2 + (-1)^n) cos(n t/2) + n/2 cos((n/2 - 2) t)] }

for n = 0 ... N: a_0, b_0 are the rigid translation, b_2 the rigid rotation,
K_I = a_1 sqrt(2 pi), K_II = -b_1 sqrt(2 pi) and T = 4 a_2.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._errors import MorvexError

if TYPE_CHECKING:
    import xarray as xr

PLANES = ("stress", "strain")
# Tip threshold: the opening must stay above k times its noise to count as open (3: a noise
# excursion crosses it once in about 700 stations).
DEFAULT_NOISE_FACTOR = 3.0
DEFAULT_ORDERS = 5
# Local plane of a lip: points within this many grid steps of the sampling point; 1.5 reaches
# the 3 x 3 neighbourhood, the fewest points that still determine a plane near a border.
_REACH_STEPS = 1.5
_SQRT_M_PER_SQRT_MM = math.sqrt(1e-3)
# px: far below any correlation's noise floor, far above rounding.
_OPENING_FLOOR = 1e-6
# Compass search of the tip: start at a grid step, stop at a hundredth of it.
_REFINE_SHRINK = 0.5
_REFINE_STOP = 0.01


@dataclasses.dataclass(frozen=True)
class Crack:
    """A crack drawn as a polyline in reference px, mouth first, tip last.

    Build it with :func:`crack_line`, which refuses a line it cannot measure along.
    """

    vertices: np.ndarray  # (n, 2): x, y in px

    @property
    def length(self) -> float:
        """Length along the polyline, px."""
        return float(np.sum(np.hypot(*np.diff(self.vertices, axis=0).T)))

    def _segments(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        start = self.vertices[:-1]
        delta = np.diff(self.vertices, axis=0)
        lengths = np.hypot(delta[:, 0], delta[:, 1])
        offsets = np.concatenate(([0.0], np.cumsum(lengths)[:-1]))
        return start, delta / lengths[:, None], lengths, offsets

    def at(self, s: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Positions (k, 2), unit tangents (k, 2) and normals (k, 2) at arc lengths `s` px.

        The normal is the tangent turned by +90 degrees from x towards y; beyond the ends the
        line is continued straight.
        """
        start, tangent, lengths, offsets = self._segments()
        s = np.atleast_1d(np.asarray(s, dtype=np.float64))
        k = np.clip(np.searchsorted(offsets, s, side="right") - 1, 0, len(lengths) - 1)
        t = tangent[k]
        position = start[k] + t * (s - offsets[k])[:, None]
        normal = np.stack((-t[:, 1], t[:, 0]), axis=1)
        return position, t, normal

    def side(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        """+1 on the upper lip's side (where the normal points), -1 on the other, 0 on the line.

        Each point takes the side of its nearest segment; beyond the ends the line is continued
        straight, so the material ahead of the tip is split along the crack's direction.
        """
        start, tangent, lengths, _ = self._segments()
        points = np.stack((np.ravel(x), np.ravel(y)), axis=1)
        rel = points[:, None, :] - start[None, :, :]
        along = np.einsum("pkc,kc->pk", rel, tangent)
        across = rel[:, :, 1] * tangent[None, :, 0] - rel[:, :, 0] * tangent[None, :, 1]
        last = len(lengths) - 1
        # The first and last segments reach to infinity beyond the mouth and the tip.
        low = np.where(np.arange(len(lengths)) == 0, -np.inf, 0.0)
        high = np.where(np.arange(len(lengths)) == last, np.inf, lengths)
        beyond = np.clip(along, low, high) - along
        distance = np.hypot(beyond, across)
        nearest = np.argmin(distance, axis=1)
        sign = np.sign(across[np.arange(len(points)), nearest])
        return np.asarray(sign.reshape(np.shape(x)))

    def distance(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        """Distance of each point from the polyline itself (not continued), px."""
        start, tangent, lengths, _ = self._segments()
        points = np.stack((np.ravel(x), np.ravel(y)), axis=1)
        rel = points[:, None, :] - start[None, :, :]
        along = np.clip(np.einsum("pkc,kc->pk", rel, tangent), 0.0, lengths)
        nearest = start[None, :, :] + along[:, :, None] * tangent[None, :, :]
        gaps = np.hypot(points[:, None, 0] - nearest[:, :, 0], points[:, None, 1]
                        - nearest[:, :, 1])
        return np.asarray(gaps.min(axis=1).reshape(np.shape(x)))

    def up_to(self, s: float) -> Crack:
        """The part of the crack from the mouth to arc length `s` px (0 < s)."""
        _, _, lengths, offsets = self._segments()
        inside = int(np.searchsorted(offsets, s, side="left"))
        end = self.at(np.array([s]))[0][0]
        return Crack(np.vstack((self.vertices[:max(inside, 1)], end)))


def crack_line(vertices: Sequence[Sequence[float]] | np.ndarray,
               bounds: tuple[float, float, float, float] | None = None, name: str = "line"
               ) -> Crack:
    """A crack from its vertices ((x, y) pairs in reference px, mouth first, tip last).

    Args:
        vertices: at least 2 distinct, finite points.
        bounds: (x_min, x_max, y_min, y_max) px that every vertex must lie within.
        name: how messages call the line (the CLI says "--line 2").

    Raises:
        MorvexError: for fewer than 2 vertices, a non-finite value, two equal consecutive
            vertices, a vertex outside `bounds`, or a line that crosses itself.
    """
    try:
        points = np.array(vertices, dtype=np.float64)
    except (TypeError, ValueError):
        raise MorvexError(f"crack {name} must be (x, y) pairs of numbers, got {vertices!r}"
                          ) from None
    if points.ndim != 2 or points.shape[1] != 2:
        raise MorvexError(f"crack {name} must be (x, y) pairs, got an array of shape "
                          f"{points.shape}")
    if len(points) < 2:
        raise MorvexError(f"crack {name} needs at least 2 vertices, got {len(points)}")
    if not np.all(np.isfinite(points)):
        raise MorvexError(f"crack {name} has a vertex that is not a finite number")
    steps = np.hypot(*np.diff(points, axis=0).T)
    if np.any(steps == 0):
        k = int(np.flatnonzero(steps == 0)[0])
        raise MorvexError(f"crack {name} repeats vertex {k} ({points[k, 0]:g}, "
                          f"{points[k, 1]:g}); consecutive vertices must differ")
    if bounds is not None:
        x0, x1, y0, y1 = bounds
        outside = ((points[:, 0] < x0) | (points[:, 0] > x1) | (points[:, 1] < y0)
                   | (points[:, 1] > y1))
        if np.any(outside):
            k = int(np.flatnonzero(outside)[0])
            raise MorvexError(f"crack {name} is outside the field: vertex {k} "
                              f"({points[k, 0]:g}, {points[k, 1]:g}) px is not within "
                              f"x {x0:g} ... {x1:g}, y {y0:g} ... {y1:g}")
    crossing = _self_crossing(points)
    if crossing is not None:
        raise MorvexError(f"crack {name} is self-intersecting: segment {crossing[0]} crosses "
                          f"segment {crossing[1]}")
    return Crack(points)


def _self_crossing(points: np.ndarray) -> tuple[int, int] | None:
    """The first pair of segments that touch, other than consecutive ones at their shared
    vertex; consecutive segments that fold back onto each other count too."""
    count = len(points) - 1
    for i in range(count):
        a, b = points[i], points[i + 1]
        for j in range(i + 1, count):
            c, d = points[j], points[j + 1]
            if j == i + 1:
                # A shared vertex is fine; a fold back along the same line is not.
                if _cross(b - a, d - c) == 0 and float(np.dot(b - a, d - c)) < 0:
                    return i, j
                continue
            if _segments_touch(a, b, c, d):
                return i, j
    return None


def _cross(p: np.ndarray, q: np.ndarray) -> float:
    return float(p[0] * q[1] - p[1] * q[0])


def _segments_touch(a: np.ndarray, b: np.ndarray, c: np.ndarray, d: np.ndarray) -> bool:
    d1, d2 = _cross(b - a, c - a), _cross(b - a, d - a)
    d3, d4 = _cross(d - c, a - c), _cross(d - c, b - c)
    if ((d1 > 0) != (d2 > 0)) and d1 != 0 and d2 != 0 and ((d3 > 0) != (d4 > 0)) \
            and d3 != 0 and d4 != 0:
        return True

    def on(p: np.ndarray, q: np.ndarray, r: np.ndarray, turn: float) -> bool:
        return turn == 0 and min(p[0], q[0]) <= r[0] <= max(p[0], q[0]) \
            and min(p[1], q[1]) <= r[1] <= max(p[1], q[1])

    return on(a, b, c, d1) or on(a, b, d, d2) or on(c, d, a, d3) or on(c, d, b, d4)


# --- the opening along the crack ----------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Profile:
    """The jump between the lips at stations along a crack, for one frame (px)."""

    s: np.ndarray  # arc length of each station from the mouth, px
    opening: np.ndarray
    sliding: np.ndarray
    sigma_opening: np.ndarray  # NaN where the points carry no sigma
    sigma_sliding: np.ndarray
    # The opening of each lip's plane carried to the line itself: ahead of a tip the material
    # is whole and this falls to zero, while the opening at a distance keeps the strain
    # between the two reading points (2 d eyy), so the tip is looked for on this one.
    line_opening: np.ndarray
    sigma_line_opening: np.ndarray


def opening_profile(crack: Crack, x: np.ndarray, y: np.ndarray, u: np.ndarray, v: np.ndarray,
                    valid: np.ndarray, *, distance: float, spacing: float,
                    sigma_u: np.ndarray | None = None, sigma_v: np.ndarray | None = None,
                    reach: float | None = None) -> Profile:
    """Opening and sliding (px) at stations `spacing` px apart along `crack`, from the mouth to
    the last vertex, each lip read `distance` px from the line.

    Args:
        x, y: positions of the points, px (any shape, the same for every array).
        u, v: their displacements, px; valid: which of them to use.
        distance: how far from the line each lip is read, px (> 0).
        spacing: distance between stations, px (> 0).
        sigma_u, sigma_v: one-sigma uncertainties of u, v, px; without them the sigmas are NaN.
        reach: radius of the points that make a lip's local plane, px (default 1.5 spacings).

    Returns:
        A Profile. Each lip is read bilinearly when (x, y) form a grid and the cell there has
        four valid corners on the lip's side; else by a plane through the valid points of
        that side within `reach`, NaN when they are fewer than 3 or all on one line.
    """
    for label, value in (("distance", distance), ("spacing", spacing)):
        if not (math.isfinite(value) and value > 0):
            raise MorvexError(f"{label} must be a positive number of px, got {value!r}")
    reach = _REACH_STEPS * spacing if reach is None else float(reach)
    xs, ys = np.ravel(np.asarray(x, float)), np.ravel(np.asarray(y, float))
    us, vs = np.ravel(np.asarray(u, float)), np.ravel(np.asarray(v, float))
    usable = np.ravel(np.asarray(valid, bool)) & np.isfinite(us) & np.isfinite(vs)
    sides = np.ravel(crack.side(xs, ys))
    sig_u = None if sigma_u is None else np.ravel(np.asarray(sigma_u, float))
    sig_v = None if sigma_v is None else np.ravel(np.asarray(sigma_v, float))
    count = int(math.floor(crack.length / spacing + 1e-9)) + 1
    s = np.arange(count) * spacing
    if s[-1] < crack.length - 1e-9:
        s = np.append(s, crack.length)
    position, tangent, normal = crack.at(s)
    jump = np.full((len(s), 2), np.nan)
    jump_var = np.full((len(s), 2), np.nan)
    at_line = np.full((len(s), 2), np.nan)
    at_line_var = np.full((len(s), 2), np.nan)
    axes = _grid_axes(np.asarray(x, float), np.asarray(y, float))
    for k in range(len(s)):
        lips = []
        for sign in (1.0, -1.0):
            where = position[k] + sign * distance * normal[k]
            own = usable & (sides == sign)
            cell = None if axes is None else _cell_weights(where, axes, own)
            if cell is not None:
                lips.append(_combine(cell[0], cell[1], us, vs, sig_u, sig_v))
            else:
                lips.append(_lip(where, xs, ys, us, vs, sig_u, sig_v, own, reach))
        (upper, upper_var), (lower, lower_var) = lips
        jump[k] = upper - lower
        jump_var[k] = upper_var + lower_var
        carried = [_lip_at_line(position[k], tangent[k], sign * normal[k], distance, spacing,
                                reach, xs, ys, us, vs, sig_u, sig_v, usable & (sides == sign))
                   for sign in (1.0, -1.0)]
        at_line[k] = carried[0][0] - carried[1][0]
        at_line_var[k] = carried[0][1] + carried[1][1]
    opening = np.einsum("kc,kc->k", jump, normal)
    sliding = np.einsum("kc,kc->k", jump, tangent)
    # u and v errors taken as independent: the projection's variance is the weighted sum.
    sigma_opening = np.sqrt(np.einsum("kc,kc->k", jump_var, normal ** 2))
    sigma_sliding = np.sqrt(np.einsum("kc,kc->k", jump_var, tangent ** 2))
    line_opening = np.einsum("kc,kc->k", at_line, normal)
    sigma_line_opening = np.sqrt(np.einsum("kc,kc->k", at_line_var, normal ** 2))
    return Profile(s, opening, sliding, sigma_opening, sigma_sliding, line_opening,
                   sigma_line_opening)


def _grid_axes(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    """The grid's x and y axes when the points form one (x along columns, y along rows, both
    increasing), else None."""
    if x.ndim != 2 or x.shape != y.shape or min(x.shape) < 2:
        return None
    columns, rows = x[0], y[:, 0]
    if not (np.all(x == columns) and np.all(y == rows[:, None])
            and np.all(np.diff(columns) > 0) and np.all(np.diff(rows) > 0)):
        return None
    return columns, rows


def _cell_weights(where: np.ndarray, axes: tuple[np.ndarray, np.ndarray], own: np.ndarray
                  ) -> tuple[np.ndarray, np.ndarray] | None:
    """Flat indices and bilinear weights of the grid cell around `where`, when its four
    corners are all usable points of the lip's own side: a cell reaches no further than one
    step, so an opening that stops at a tip is not smeared past it."""
    columns, rows = axes
    c = int(np.searchsorted(columns, where[0], side="right")) - 1
    r = int(np.searchsorted(rows, where[1], side="right")) - 1
    c = min(c, len(columns) - 2) if where[0] == columns[-1] else c
    r = min(r, len(rows) - 2) if where[1] == rows[-1] else r
    if not (0 <= c < len(columns) - 1 and 0 <= r < len(rows) - 1):
        return None
    fx = (where[0] - columns[c]) / (columns[c + 1] - columns[c])
    fy = (where[1] - rows[r]) / (rows[r + 1] - rows[r])
    width = len(columns)
    index = np.array([r * width + c, r * width + c + 1, (r + 1) * width + c,
                      (r + 1) * width + c + 1])
    if not np.all(own[index]):
        return None
    weights = np.array([(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy])
    return index, weights


def _combine(index: np.ndarray, weights: np.ndarray, us: np.ndarray, vs: np.ndarray,
             sig_u: np.ndarray | None, sig_v: np.ndarray | None
             ) -> tuple[np.ndarray, np.ndarray]:
    """(u, v) as a weighted sum of points, and each one's variance from the points' sigmas
    (NaN without them)."""
    value = np.array([weights @ us[index], weights @ vs[index]])
    variance = np.full(2, np.nan)
    if sig_u is not None and sig_v is not None:
        variance = np.array([(weights ** 2) @ (sig_u[index] ** 2),
                             (weights ** 2) @ (sig_v[index] ** 2)])
    return value, variance


def _lip_at_line(on_line: np.ndarray, tangent: np.ndarray, outwards: np.ndarray,
                 distance: float, spacing: float, reach: float, xs: np.ndarray, ys: np.ndarray,
                 us: np.ndarray, vs: np.ndarray, sig_u: np.ndarray | None,
                 sig_v: np.ndarray | None, usable: np.ndarray
                 ) -> tuple[np.ndarray, np.ndarray]:
    """(u, v) of a lip at the line: the plane through its own side's usable points at
    `distance` +- `reach` from the line and within a station `spacing` along it, evaluated on
    the line; with each one's variance (NaN without sigmas)."""
    dx, dy = xs - on_line[0], ys - on_line[1]
    along = dx * tangent[0] + dy * tangent[1]
    across = dx * outwards[0] + dy * outwards[1]
    near = usable & (np.abs(along) <= spacing + 1e-9) & (np.abs(across - distance) <= reach)
    return _plane_at_origin(near, along, across, us, vs, sig_u, sig_v)


def _lip(where: np.ndarray, xs: np.ndarray, ys: np.ndarray, us: np.ndarray, vs: np.ndarray,
         sig_u: np.ndarray | None, sig_v: np.ndarray | None, usable: np.ndarray,
         reach: float) -> tuple[np.ndarray, np.ndarray]:
    """(u, v) at `where` from a plane through the usable points within `reach`, and the
    variance of each from the points' sigmas (NaN without them): where the cell around
    `where` is cut by the line or holds invalid points."""
    dx, dy = xs - where[0], ys - where[1]
    near = usable & (dx * dx + dy * dy <= reach * reach)
    return _plane_at_origin(near, dx, dy, us, vs, sig_u, sig_v)


def _plane_at_origin(near: np.ndarray, a: np.ndarray, b: np.ndarray, us: np.ndarray,
                     vs: np.ndarray, sig_u: np.ndarray | None, sig_v: np.ndarray | None
                     ) -> tuple[np.ndarray, np.ndarray]:
    """(u, v) where the local coordinates a, b are 0, from the plane through the `near`
    points, with each one's variance; NaN for fewer than 3 points or points on a line."""
    nan2 = np.full(2, np.nan)
    if np.count_nonzero(near) < 3:
        return nan2, nan2
    design = np.stack((np.ones(np.count_nonzero(near)), a[near], b[near]), axis=1)
    if np.linalg.matrix_rank(design) < 3:
        return nan2, nan2
    # The value at the origin is a fixed linear combination of the points: its weights give
    # both the value and how the points' sigmas add up in it.
    return _combine(np.flatnonzero(near), np.linalg.pinv(design)[0], us, vs, sig_u, sig_v)


# --- the tip ------------------------------------------------------------------------------


def profile_noise(profile: Profile) -> float:
    """The noise of the opening at the line, px: the median sigma of the stations when the
    points carry sigmas, else the scatter of the profile where it is flat (straight): the
    median absolute second difference, which a linear trend does not change, scaled to one
    sigma (Gaussian noise of sigma s gives second differences of sigma s sqrt(6))."""
    sigmas = profile.sigma_line_opening[np.isfinite(profile.sigma_line_opening)]
    if sigmas.size:
        return float(np.median(sigmas))
    opening = profile.line_opening[np.isfinite(profile.line_opening)]
    if opening.size < 3:
        return math.nan
    second = np.abs(np.diff(opening, 2))
    return float(1.4826 * np.median(second) / math.sqrt(6.0))


def find_tip(profile: Profile, threshold: float, factor: float = 0.0) -> tuple[float, bool]:
    """(arc length of the tip px, found) walking from the mouth: the first place where the
    opening at the line falls below `threshold`, or below `factor` times that station's own
    sigma (a station at the grid's edge, read from few points, may scatter far more than the
    profile's noise: on a field without a crack it opened one), linearly interpolated between
    the two stations either side. Not found: the last station (the crack runs on beyond the
    line), or NaN when the first station read is already closed (no crack opens at the mouth:
    a noise excursion further on is not a crack). Stations that cannot be read are skipped."""
    last_s, last_open = math.nan, math.nan
    for s, opening, sigma in zip(profile.s, profile.line_opening, profile.sigma_line_opening,
                                 strict=True):
        if not math.isfinite(opening):
            continue
        if opening < threshold or (math.isfinite(sigma) and opening < factor * sigma):
            if not math.isfinite(last_s):
                return math.nan, False
            share = (last_open - threshold) / (last_open - opening)
            return last_s + share * (float(s) - last_s), True
        last_s, last_open = float(s), float(opening)
    return last_s, False


# --- the stress intensity factors ---------------------------------------------------------


def kolosov(nu: float, plane: str) -> float:
    """kappa: 3 - 4 nu in plane strain, (3 - nu) / (1 + nu) in plane stress."""
    return 3.0 - 4.0 * nu if plane == "strain" else (3.0 - nu) / (1.0 + nu)


def check_material(young: float, poisson: float, plane: str) -> None:
    """Refuses a Young's modulus that is not positive, a Poisson's ratio outside (-1, 0.5)
    (0.5 itself in plane stress), or a plane other than stress or strain."""
    if not (math.isfinite(young) and young > 0):
        raise MorvexError(f"Young's modulus must be a positive number of MPa, got {young!r}")
    if plane not in PLANES:
        raise MorvexError(f"plane must be one of {', '.join(PLANES)}, got {plane!r}")
    top = 0.5 if plane == "strain" else 0.5 + 1e-12
    if not (math.isfinite(poisson) and -1.0 < poisson < top):
        raise MorvexError(f"Poisson's ratio must lie in (-1, 0.5), got {poisson!r}")


def williams_basis(r: np.ndarray, theta: np.ndarray, kappa: float, orders: int
                   ) -> np.ndarray:
    """Columns of 2 mu (u', v') for a_0, b_0, a_1, b_1, ... a_N, b_N at (r, theta), stacked as
    rows [u' of every point; v' of every point]: shape (2 P, 2 (N + 1))."""
    columns = []
    for n in range(orders + 1):
        h = n / 2.0
        rn = r ** h
        sign = (-1.0) ** n
        c1, s1 = np.cos(h * theta), np.sin(h * theta)
        c2, s2 = np.cos((h - 2.0) * theta), np.sin((h - 2.0) * theta)
        a_u = rn * ((kappa + h + sign) * c1 - h * c2)
        a_v = rn * ((kappa - h - sign) * s1 + h * s2)
        b_u = -rn * ((kappa + h - sign) * s1 - h * s2)
        b_v = rn * ((kappa - h + sign) * c1 + h * c2)
        columns.append(np.concatenate((a_u, a_v)))
        columns.append(np.concatenate((b_u, b_v)))
    return np.stack(columns, axis=1)


def williams_displacement(x: np.ndarray, y: np.ndarray, tip: tuple[float, float],
                          angle: float, *, k_one: float, k_two: float = 0.0, t_stress: float = 0.0,
                          young: float, poisson: float, plane: str = "strain"
                          ) -> tuple[np.ndarray, np.ndarray]:
    """u, v (mm) of the leading Williams terms at positions x, y (mm) around a tip (mm) whose
    crack runs towards `angle` (radians from x towards y): K_I, K_II (MPa sqrt(m)) and T (MPa).

    The exact field the fit recovers; for tests and benches. The crack faces lie behind the
    tip, where theta = +-pi.
    """
    check_material(young, poisson, plane)
    mu = young / (2.0 * (1.0 + poisson))
    kappa = kolosov(poisson, plane)
    coefficients = np.zeros(6)
    root = math.sqrt(2.0 * math.pi) * _SQRT_M_PER_SQRT_MM
    coefficients[2] = k_one / root
    coefficients[3] = -k_two / root
    coefficients[4] = t_stress / 4.0
    r, theta, shape = _polar(np.asarray(x, float), np.asarray(y, float), tip, angle)
    local = williams_basis(r, theta, kappa, 2) @ coefficients / (2.0 * mu)
    return _to_global(local, angle, shape)


def _polar(x: np.ndarray, y: np.ndarray, tip: tuple[float, float], angle: float
           ) -> tuple[np.ndarray, np.ndarray, tuple[int, ...]]:
    x, y = np.broadcast_arrays(x, y)
    dx, dy = np.ravel(x) - tip[0], np.ravel(y) - tip[1]
    c, s = math.cos(angle), math.sin(angle)
    along, across = c * dx + s * dy, -s * dx + c * dy
    return np.hypot(along, across), np.arctan2(across, along), x.shape


def _to_global(local: np.ndarray, angle: float, shape: tuple[int, ...]
               ) -> tuple[np.ndarray, np.ndarray]:
    half = local.size // 2
    ul, vl = local[:half], local[half:]
    c, s = math.cos(angle), math.sin(angle)
    return (c * ul - s * vl).reshape(shape), (s * ul + c * vl).reshape(shape)


@dataclasses.dataclass(frozen=True)
class WilliamsFit:
    """Stress intensity factors of one frame and how well the series fits there."""

    k_one: float  # MPa sqrt(m)
    k_two: float  # MPa sqrt(m)
    t_stress: float  # MPa
    residual: float  # RMS of the u, v misfit, in the fit's length unit
    points: int
    tip: tuple[float, float]  # where the series was centred, in the fit's length unit


def fit_williams(x: np.ndarray, y: np.ndarray, u: np.ndarray, v: np.ndarray,
                 tip: tuple[float, float], angle: float, *, young: float, poisson: float,
                 plane: str, r_min: float, r_max: float, orders: int = DEFAULT_ORDERS
                 ) -> WilliamsFit:
    """Least-squares Williams series (n = 0 ... `orders`, both modes) to u, v (mm) of the
    points at x, y (mm) whose distance from `tip` (mm) lies in [r_min, r_max] (mm).

    Points with a non-finite value are left out. With fewer equations than unknowns every
    result is NaN (points counts what was there).
    """
    check_material(young, poisson, plane)
    if not (isinstance(orders, int) and orders >= 2):
        raise MorvexError(f"orders must be a whole number >= 2 (K_I, K_II and T), got "
                          f"{orders!r}")
    if not (math.isfinite(r_min) and math.isfinite(r_max) and 0 <= r_min < r_max):
        raise MorvexError(f"the fitting region needs 0 <= r_min < r_max, got r_min {r_min!r}, "
                          f"r_max {r_max!r}")
    mu = young / (2.0 * (1.0 + poisson))
    kappa = kolosov(poisson, plane)
    r, theta, _ = _polar(np.asarray(x, float), np.asarray(y, float), tip, angle)
    us, vs = np.ravel(np.broadcast_to(u, np.shape(x))), np.ravel(np.broadcast_to(v, np.shape(x)))
    take = np.isfinite(us) & np.isfinite(vs) & np.isfinite(r) & (r >= r_min) & (r <= r_max)
    points = int(np.count_nonzero(take))
    unknowns = 2 * (orders + 1)
    if 2 * points < unknowns + 1:
        return WilliamsFit(math.nan, math.nan, math.nan, math.nan, points, tip)
    c, s = math.cos(angle), math.sin(angle)
    u_local = c * us[take] + s * vs[take]
    v_local = -s * us[take] + c * vs[take]
    design = williams_basis(r[take], theta[take], kappa, orders) / (2.0 * mu)
    target = np.concatenate((u_local, v_local))
    # Columns span r^0 ... r^(N/2): scaled to unit norm, or the high orders swamp the rest.
    norms = np.linalg.norm(design, axis=0)
    norms[norms == 0] = 1.0
    solution, *_ = np.linalg.lstsq(design / norms, target, rcond=None)
    coefficients = solution / norms
    misfit = target - design @ coefficients
    root = math.sqrt(2.0 * math.pi) * _SQRT_M_PER_SQRT_MM
    return WilliamsFit(float(coefficients[2] * root), float(-coefficients[3] * root),
                       float(4.0 * coefficients[4]),
                       float(np.sqrt(np.mean(misfit ** 2))), points, tip)


def refine_tip(x: np.ndarray, y: np.ndarray, u: np.ndarray, v: np.ndarray,
               tip: tuple[float, float], angle: float, step: float, **fit: Any) -> WilliamsFit:
    """The fit whose tip minimises the residual, by a compass search from `tip` (moves of
    `step`, halved when no move helps, down to a hundredth of it) that stays within r_min of
    `tip`: the annulus moves with the tip, and a tip among the fitted points, or one that
    drags the annulus off the data, would fit fewer points rather than better ones. The same
    keywords as :func:`fit_williams`."""
    best = fit_williams(x, y, u, v, tip, angle, **fit)
    if not math.isfinite(best.residual):
        return best
    limit = float(fit["r_min"])
    size = float(step)
    while size >= _REFINE_STOP * step:
        moved = False
        for dx, dy in ((size, 0.0), (-size, 0.0), (0.0, size), (0.0, -size)):
            where = (best.tip[0] + dx, best.tip[1] + dy)
            if math.hypot(where[0] - tip[0], where[1] - tip[1]) > limit:
                continue
            trial = fit_williams(x, y, u, v, where, angle, **fit)
            if math.isfinite(trial.residual) and trial.residual < best.residual:
                best, moved = trial, True
                break
        if not moved:
            size *= _REFINE_SHRINK
    return best


# --- a dataset's cracks -------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Material:
    """What the stress intensity factors need: E (MPa), Poisson's ratio, plane stress/strain."""

    young: float
    poisson: float
    plane: str = "strain"

    def __post_init__(self) -> None:
        check_material(self.young, self.poisson, self.plane)


def field_bounds(dataset: xr.Dataset) -> tuple[float, float, float, float]:
    """(x_min, x_max, y_min, y_max) px a crack may span: the reference image when the dataset
    holds it, else the grid widened by half a step."""
    if "reference_image" in dataset:
        rows, cols = dataset["reference_image"].shape[-2:]
        return 0.0, float(cols - 1), 0.0, float(rows - 1)
    xs, ys = dataset["x"].values, dataset["y"].values
    half = 0.5 * grid_step(dataset)
    return (float(xs.min()) - half, float(xs.max()) + half, float(ys.min()) - half,
            float(ys.max()) + half)


def grid_step(dataset: xr.Dataset) -> float:
    """The smallest spacing of the grid, px (1 for a single point)."""
    steps = [float(np.min(np.diff(dataset[axis].values))) for axis in ("x", "y")
             if dataset.sizes[axis] > 1]
    return min(steps) if steps else 1.0


def _subset(dataset: xr.Dataset) -> float | None:
    import json

    try:
        subset = json.loads(str(dataset.attrs.get("morvex_settings", "{}"))).get("subset")
    except ValueError:
        return None
    return float(subset) if isinstance(subset, int | float) else None


def measure_cracks(dataset: xr.Dataset, lines: Sequence[Sequence[Sequence[float]]], *,
                   distance: float | None = None, spacing: float | None = None,
                   noise_factor: float = DEFAULT_NOISE_FACTOR, noise: float | None = None,
                   material: Material | None = None, r_min: float | None = None,
                   r_max: float | None = None, orders: int = DEFAULT_ORDERS,
                   tip_from: str = "opening", refine: bool = True,
                   clearance: float | None = None, pixel_size_mm: float | None = None
                   ) -> xr.Dataset:
    """The opening, tip, length and stress intensity of each crack in each frame.

    Args:
        dataset: one frame (y, x) or a sequence (frame, y, x) with u, v, valid (and sigma_u,
            sigma_v when measured; x_mm, y_mm, u_mm, v_mm when calibrated).
        lines: one polyline per crack, (x, y) vertices in reference px, mouth first.
        distance: how far from the line each lip is read, px; default half the subset plus
            two grid steps (the lip's plane then takes no point whose subset reaches the
            line), or three grid steps when the subset is not recorded.
        spacing: distance between stations, px; default the grid step.
        noise_factor: the tip is where the opening falls below this times its noise.
        noise: the opening's noise, px, instead of the one taken from the field.
        material: E, Poisson's ratio and plane for the stress intensity factors (None: no fit).
        r_min, r_max: the annulus of the fit around the tip, px; default `distance` and the
            distance from the tip to the nearest edge of the grid.
        orders: highest order N of the series (>= 2).
        tip_from: "opening" centres the fit on the tip the opening finds; "line" on the
            line's last vertex.
        refine: move the tip of the fit (within r_min of the tip found) to where the series
            fits best; on by default: the opening finds the tip a few grid steps ahead of the
            true one (the lips' strain keeps it open there), and a fit centred there read K_I
            12 % low in bench/crack_bench.py, the refined one within 0.2 %.
        clearance: points nearer than this to the crack behind the fit's tip (px) are left
            out of the fit; default half the subset plus half a pixel (their subsets hold
            both lips), or 0 when the subset is not recorded.
        pixel_size_mm: mm per px when the dataset is not calibrated (needed for a fit).

    Returns:
        A dataset with dims (crack, frame) for tip_x, tip_y (px), tip_found, length, growth
        (px), noise (px), and with a material K_I, K_II (MPa sqrt(m)), T (MPa), residual
        (fit length unit), fit_points, fit_tip_x, fit_tip_y (px); and dims (crack, frame,
        station) for opening, sliding, sigma_opening, sigma_sliding, opening_at_line,
        sigma_opening_at_line (px), with the station's
        s, station_x, station_y (px) as coordinates (NaN past a shorter crack's end).

    Raises:
        MorvexError: for a bad line (by name), a bad number, a dataset without u, v, valid,
            or a fit asked for on an uncalibrated dataset without `pixel_size_mm`.
    """
    import xarray as xr

    for name in ("u", "v", "valid"):
        if name not in dataset:
            raise MorvexError(f"the dataset has no {name!r}: crack measurements need u, v and "
                              "valid on a (y, x) grid")
    if len(lines) == 0:
        raise MorvexError("give at least one crack line")
    if tip_from not in ("opening", "line"):
        raise MorvexError(f"tip_from must be opening or line, got {tip_from!r}")
    if not (math.isfinite(noise_factor) and noise_factor > 0):
        raise MorvexError(f"noise_factor must be a positive number, got {noise_factor!r}")
    if noise is not None and not (math.isfinite(noise) and noise > 0):
        raise MorvexError(f"noise must be a positive number of px, got {noise!r}")
    bounds = field_bounds(dataset)
    cracks = [crack_line(line, bounds, name=str(k + 1)) for k, line in enumerate(lines)]
    step = grid_step(dataset)
    spacing = step if spacing is None else float(spacing)
    subset = _subset(dataset)
    if clearance is None:
        clearance = subset / 2.0 + 0.5 if subset is not None else 0.0
    if not (math.isfinite(clearance) and clearance >= 0):
        raise MorvexError(f"clearance must be a number of px >= 0, got {clearance!r}")
    if distance is None:
        distance = subset / 2.0 + 2.0 * step if subset is not None else 3.0 * step
    frames = _frames(dataset)
    xs, ys = np.meshgrid(dataset["x"].values, dataset["y"].values)
    metric = _metric_positions(dataset, xs, ys, material, pixel_size_mm)

    rows: list[dict[str, Any]] = []
    for crack in cracks:
        per_frame = [_measure_frame(crack, frame, xs, ys, metric, distance, spacing,
                                    noise_factor, noise, material, r_min, r_max, orders,
                                    tip_from, refine, step, clearance) for frame in frames]
        rows.append({"crack": crack, "frames": per_frame})
    stations = max(len(row["frames"][0]["profile"].s) for row in rows)
    count = (len(cracks), len(frames))

    def grid(key: str) -> np.ndarray:
        return np.array([[f[key] for f in row["frames"]] for row in rows], dtype=float)

    def profile(name: str) -> np.ndarray:
        out = np.full(count + (stations,), np.nan)
        for c, row in enumerate(rows):
            for f, frame in enumerate(row["frames"]):
                values = getattr(frame["profile"], name)
                out[c, f, :len(values)] = values
        return out

    s = np.full((len(cracks), stations), np.nan)
    station_x, station_y = s.copy(), s.copy()
    for c, row in enumerate(rows):
        positions = row["frames"][0]["profile"].s
        where, _, _ = row["crack"].at(positions)
        s[c, :len(positions)] = positions
        station_x[c, :len(positions)], station_y[c, :len(positions)] = where[:, 0], where[:, 1]
    length = grid("length")
    data: dict[str, Any] = {
        "tip_x": (("crack", "frame"), grid("tip_x"), {"units": "px", "long_name": "tip x"}),
        "tip_y": (("crack", "frame"), grid("tip_y"), {"units": "px", "long_name": "tip y"}),
        "tip_found": (("crack", "frame"), grid("found").astype(bool),
                      {"long_name": "the opening falls below the threshold before the line "
                                    "ends"}),
        "length": (("crack", "frame"), length,
                   {"units": "px", "long_name": "length along the line from its first vertex "
                                                "to the tip"}),
        "growth": (("crack", "frame"), length - length[:, :1],
                   {"units": "px", "long_name": "length minus the first frame's length"}),
        "noise": (("crack", "frame"), grid("noise"),
                  {"units": "px", "long_name": "noise of the opening the threshold is "
                                               "taken from"}),
    }
    if material is not None:
        unit = "mm"
        data.update({
            "K_I": (("crack", "frame"), grid("k_one"),
                    {"units": "MPa m0.5", "long_name": "mode I stress intensity factor"}),
            "K_II": (("crack", "frame"), grid("k_two"),
                     {"units": "MPa m0.5", "long_name": "mode II stress intensity factor"}),
            "T": (("crack", "frame"), grid("t_stress"),
                  {"units": "MPa", "long_name": "T-stress"}),
            "residual": (("crack", "frame"), grid("residual"),
                         {"units": unit, "long_name": "RMS misfit of u, v to the series"}),
            "fit_points": (("crack", "frame"), grid("points").astype(np.int64),
                           {"long_name": "points in the fitting annulus"}),
            "fit_tip_x": (("crack", "frame"), grid("fit_tip_x"),
                          {"units": "px", "long_name": "x of the tip the series is centred on"}),
            "fit_tip_y": (("crack", "frame"), grid("fit_tip_y"),
                          {"units": "px", "long_name": "y of the tip the series is centred on"}),
        })
    meanings = {"opening": "jump between the lips (upper - lower) along the normal",
                "sliding": "jump between the lips (upper - lower) along the crack",
                "sigma_opening": "one-sigma uncertainty of opening",
                "sigma_sliding": "one-sigma uncertainty of sliding",
                "opening_at_line": "opening of the lips' planes carried to the line (the "
                                   "tip is where it closes)",
                "sigma_opening_at_line": "one-sigma uncertainty of opening_at_line"}
    for name, meaning in meanings.items():
        source = {"opening_at_line": "line_opening",
                  "sigma_opening_at_line": "sigma_line_opening"}.get(name, name)
        data[name] = (("crack", "frame", "station"), profile(source),
                      {"units": "px", "long_name": meaning})
    coords: dict[str, Any] = {
        "crack": ("crack", np.arange(1, len(cracks) + 1)),
        "s": (("crack", "station"), s, {"units": "px", "long_name": "arc length from the "
                                                                    "first vertex"}),
        "station_x": (("crack", "station"), station_x, {"units": "px"}),
        "station_y": (("crack", "station"), station_y, {"units": "px"}),
    }
    if "frame" in dataset.dims:
        coords["frame"] = ("frame", dataset["frame"].values)
    attrs: dict[str, Any] = {
        "lines": "; ".join(",".join(f"{v:g}" for v in c.vertices.ravel()) for c in cracks),
        "distance_px": float(distance), "spacing_px": float(spacing),
        "noise_factor": float(noise_factor), "tip_from": tip_from, "refine": int(refine)}
    if material is not None:
        r_lo, r_hi = (rows[0]["frames"][0]["r_min"], rows[0]["frames"][0]["r_max"])
        attrs.update(clearance_px=float(clearance), young_mpa=material.young,
                     poisson=material.poisson, plane=material.plane, orders=orders,
                     r_min_px=r_lo, r_max_px=r_hi, fit_unit=unit,
                     mm_per_px=metric[2] if metric is not None else math.nan)
    return xr.Dataset(data, coords=coords, attrs=attrs)


def _frames(dataset: xr.Dataset) -> list[dict[str, np.ndarray | None]]:
    names = ("u", "v", "valid", "sigma_u", "sigma_v", "u_mm", "v_mm")
    if "frame" in dataset.dims:
        count = dataset.sizes["frame"]
        return [{n: (dataset[n].isel(frame=k).values if n in dataset else None)
                 for n in names} for k in range(count)]
    return [{n: (dataset[n].values if n in dataset else None) for n in names}]


def _metric_positions(dataset: xr.Dataset, xs: np.ndarray, ys: np.ndarray,
                      material: Material | None, pixel_size_mm: float | None
                      ) -> tuple[np.ndarray, np.ndarray, float] | None:
    """x, y of the grid in mm and the mean mm per px, when a fit is asked for."""
    if material is None:
        return None
    if pixel_size_mm is not None:
        if not (math.isfinite(pixel_size_mm) and pixel_size_mm > 0):
            raise MorvexError(f"pixel size must be a positive number of mm, got "
                              f"{pixel_size_mm!r}")
        if "x_mm" not in dataset.coords or "u_mm" not in dataset:
            return xs * pixel_size_mm, ys * pixel_size_mm, float(pixel_size_mm)
    if "x_mm" in dataset.coords and "y_mm" in dataset.coords and "u_mm" in dataset:
        x_mm = np.broadcast_to(dataset["x_mm"].values, xs.shape) if dataset["x_mm"].ndim == 2 \
            else np.broadcast_to(dataset["x_mm"].values[None, :], xs.shape)
        y_mm = np.broadcast_to(dataset["y_mm"].values, xs.shape) if dataset["y_mm"].ndim == 2 \
            else np.broadcast_to(dataset["y_mm"].values[:, None], xs.shape)
        # The local scale from the grid's spread: exact for a uniform scale, a mean otherwise.
        spread_px = math.hypot(float(np.ptp(xs)), float(np.ptp(ys)))
        spread_mm = math.hypot(float(np.ptp(x_mm)), float(np.ptp(y_mm)))
        scale = spread_mm / spread_px if spread_px > 0 else math.nan
        return np.asarray(x_mm, float), np.asarray(y_mm, float), scale
    raise MorvexError("the dataset is in pixels: give the pixel size in mm (pixel_size_mm, "
                      "--pixel-size) for the stress intensity factors")


def _to_mm(metric: tuple[np.ndarray, np.ndarray, float], xs: np.ndarray, ys: np.ndarray,
           point: tuple[float, float], direction: np.ndarray
           ) -> tuple[tuple[float, float], float]:
    """A point (px) and a direction in the plane's mm frame, through the affine map that fits
    the grid's positions best (exact for a uniform scale or a plane seen square-on)."""
    design = np.stack((np.ones(xs.size), xs.ravel(), ys.ravel()), axis=1)
    coefficients, *_ = np.linalg.lstsq(design, np.stack((metric[0].ravel(),
                                                         metric[1].ravel()), axis=1),
                                       rcond=None)
    mapped = np.array([1.0, point[0], point[1]]) @ coefficients
    towards = direction @ coefficients[1:]
    return (float(mapped[0]), float(mapped[1])), math.atan2(float(towards[1]),
                                                            float(towards[0]))


def _measure_frame(crack: Crack, frame: dict[str, Any], xs: np.ndarray, ys: np.ndarray,
                   metric: tuple[np.ndarray, np.ndarray, float] | None, distance: float,
                   spacing: float, noise_factor: float, noise: float | None,
                   material: Material | None, r_min: float | None, r_max: float | None,
                   orders: int, tip_from: str, refine: bool, step: float, clearance: float
                   ) -> dict[str, Any]:
    profile = opening_profile(crack, xs, ys, frame["u"], frame["v"], frame["valid"],
                              distance=distance, spacing=spacing, sigma_u=frame["sigma_u"],
                              sigma_v=frame["sigma_v"])
    level = profile_noise(profile) if noise is None else float(noise)
    # A frame measured against itself has sigmas at rounding level: no opening below the
    # floor counts as one, whatever the noise.
    threshold = max(noise_factor * level, _OPENING_FLOOR)
    tip_s, found = (find_tip(profile, threshold, noise_factor) if math.isfinite(level)
                    else (math.nan, False))
    tip_xy = crack.at(np.array([tip_s]))[0][0] if math.isfinite(tip_s) \
        else np.array([math.nan, math.nan])
    out: dict[str, Any] = {"profile": profile, "noise": level, "found": found,
                           "length": tip_s, "tip_x": tip_xy[0], "tip_y": tip_xy[1]}
    if material is None or metric is None:
        return out
    centre = crack.vertices[-1] if tip_from == "line" else tip_xy
    lo = float(distance) if r_min is None else float(r_min)
    if r_max is None:
        hi = float(min(centre[0] - xs.min(), xs.max() - centre[0], centre[1] - ys.min(),
                       ys.max() - centre[1])) if np.all(np.isfinite(centre)) else math.nan
    else:
        hi = float(r_max)
    out.update(r_min=lo, r_max=hi)
    nan_fit = {"k_one": math.nan, "k_two": math.nan, "t_stress": math.nan,
               "residual": math.nan, "points": 0, "fit_tip_x": math.nan,
               "fit_tip_y": math.nan}
    if not (np.all(np.isfinite(centre)) and math.isfinite(hi)) or hi <= lo:
        out.update(nan_fit)
        return out
    direction = crack.vertices[-1] - crack.vertices[-2]
    direction = direction / np.hypot(*direction)
    tip_mm, angle = _to_mm(metric, xs, ys, (float(centre[0]), float(centre[1])), direction)
    scale = metric[2]
    u_mm = frame["u_mm"] if frame["u_mm"] is not None else frame["u"] * scale
    v_mm = frame["v_mm"] if frame["v_mm"] is not None else frame["v"] * scale
    valid = np.asarray(frame["valid"], bool)
    if clearance > 0:
        behind = crack if tip_from == "line" else crack.up_to(max(tip_s, 1e-6))
        valid = valid & (behind.distance(xs, ys) >= clearance)
    u_fit = np.where(valid, u_mm, np.nan)
    v_fit = np.where(valid, v_mm, np.nan)
    keywords: dict[str, Any] = {"young": material.young, "poisson": material.poisson,
                                "plane": material.plane, "r_min": lo * scale,
                                "r_max": hi * scale, "orders": orders}
    if refine:
        fit = refine_tip(metric[0], metric[1], u_fit, v_fit, tip_mm, angle, step * scale,
                         **keywords)
    else:
        fit = fit_williams(metric[0], metric[1], u_fit, v_fit, tip_mm, angle, **keywords)
    fit_px = _from_mm(metric, xs, ys, fit.tip)
    out.update(k_one=fit.k_one, k_two=fit.k_two, t_stress=fit.t_stress,
               residual=fit.residual, points=fit.points, fit_tip_x=fit_px[0],
               fit_tip_y=fit_px[1])
    return out


def _from_mm(metric: tuple[np.ndarray, np.ndarray, float], xs: np.ndarray, ys: np.ndarray,
             point: tuple[float, float]) -> tuple[float, float]:
    design = np.stack((np.ones(xs.size), metric[0].ravel(), metric[1].ravel()), axis=1)
    coefficients, *_ = np.linalg.lstsq(design, np.stack((xs.ravel(), ys.ravel()), axis=1),
                                       rcond=None)
    mapped = np.array([1.0, point[0], point[1]]) @ coefficients
    return float(mapped[0]), float(mapped[1])


# --- files --------------------------------------------------------------------------------


def parse_line(text: str, name: str = "--line") -> list[tuple[float, float]]:
    """"X,Y,X,Y,..." -> vertices; refuses an odd count, fewer than 2 points or a non-number."""
    try:
        numbers = [float(part) for part in text.split(",")]
    except ValueError:
        raise MorvexError(f"{name} must be X,Y,X,Y,... (numbers, px), got {text!r}") from None
    if len(numbers) % 2:
        raise MorvexError(f"{name} must hold x, y pairs, got {len(numbers)} numbers in "
                          f"{text!r}")
    if len(numbers) < 4:
        raise MorvexError(f"{name} needs at least 2 vertices, got {len(numbers) // 2}")
    if not all(math.isfinite(n) for n in numbers):
        raise MorvexError(f"{name} has a number that is not finite: {text!r}")
    return list(zip(numbers[0::2], numbers[1::2], strict=True))


_ROW_COLUMNS = ("tip_x", "tip_y", "tip_found", "length", "growth", "noise", "K_I", "K_II", "T",
                "residual", "fit_points", "fit_tip_x", "fit_tip_y")


def write_csv(result: xr.Dataset, path: str | Any, *, source: str = "",
              frame_names: Sequence[str] | None = None) -> None:
    """One row per crack and frame of :func:`measure_cracks`' result, after `#` comment lines
    that give the lines, the units and the fitting region."""
    attrs = result.attrs
    comments = [f"morvex crack measurements{' of ' + source if source else ''}"]
    for k, line in enumerate(str(attrs["lines"]).split("; ")):
        comments.append(f"crack {k + 1}: {line} (x,y px, first vertex the mouth)")
    comments.append(f"lips read {attrs['distance_px']:g} px from the line, stations "
                    f"{attrs['spacing_px']:g} px apart; tip where the opening falls below "
                    f"{attrs['noise_factor']:g} x noise")
    comments.append("units: tip_x, tip_y, length, growth, noise, fit_tip_x, fit_tip_y px; "
                    "K_I, K_II MPa m^0.5; T MPa; residual " + str(attrs.get("fit_unit", "mm")))
    if "K_I" in result:
        comments.append(f"fit: Williams series to order {attrs['orders']}, plane "
                        f"{attrs['plane']}, E {attrs['young_mpa']:g} MPa, nu "
                        f"{attrs['poisson']:g}, annulus r {attrs['r_min_px']:g} ... "
                        f"{attrs['r_max_px']:g} px around the tip "
                        f"({attrs['mm_per_px']:.6g} mm/px), tip from {attrs['tip_from']}"
                        + (", refined" if attrs["refine"] else ""))
    columns = ["crack", "frame", "frame_name"] + [c for c in _ROW_COLUMNS if c in result]
    frames = result["frame"].values if "frame" in result.coords else np.arange(
        result.sizes["frame"])
    lines = ["# " + c for c in comments] + [",".join(columns)]
    for c, crack_id in enumerate(result["crack"].values):
        for f, frame in enumerate(frames):
            name = frame_names[f] if frame_names is not None else str(frame)
            cells = [str(int(crack_id)), str(int(frame)), _csv_text(name)]
            for column in columns[3:]:
                cells.append(_cell(result[column].values[c, f]))
            lines.append(",".join(cells))
    _write_text(path, "\n".join(lines) + "\n")


def write_profiles(result: xr.Dataset, path: str | Any) -> None:
    """One row per crack, frame and station: s, x, y and the opening and sliding (px)."""
    columns = ("crack", "frame", "station", "s", "x", "y", "opening", "sigma_opening",
               "sliding", "sigma_sliding")
    lines = ["# morvex crack opening profiles; every column in px; opening and sliding are "
             "the jump upper - lower along the normal and the crack", ",".join(columns)]
    frames = result["frame"].values if "frame" in result.coords else np.arange(
        result.sizes["frame"])
    s = result["s"].values
    for c, crack_id in enumerate(result["crack"].values):
        for f, frame in enumerate(frames):
            for k in range(result.sizes["station"]):
                if not math.isfinite(s[c, k]):
                    continue
                cells = [str(int(crack_id)), str(int(frame)), str(k), _cell(s[c, k]),
                         _cell(result["station_x"].values[c, k]),
                         _cell(result["station_y"].values[c, k])]
                cells += [_cell(result[name].values[c, f, k]) for name in columns[6:]]
                lines.append(",".join(cells))
    _write_text(path, "\n".join(lines) + "\n")


def _cell(value: Any) -> str:
    if isinstance(value, np.bool_ | bool):
        return "1" if value else "0"
    if isinstance(value, np.integer | int):
        return str(int(value))
    number = float(value)
    return "" if not math.isfinite(number) else f"{number:.9g}"


def _csv_text(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n') else text


def _write_text(path: str | Any, text: str) -> None:
    import pathlib

    target = pathlib.Path(path)
    try:
        target.write_text(text, encoding="utf-8")
    except OSError as error:
        raise MorvexError(f"cannot write {target}: {error.strerror}") from None


def plot_cracks(result: xr.Dataset, path: str | Any, frames: Sequence[int]) -> None:
    """A two-panel figure at journal width: the opening along each crack for `frames`, and
    each crack's length over all frames."""
    import pathlib

    import matplotlib.pyplot as plt

    target = pathlib.Path(path)
    if not target.parent.is_dir():
        raise MorvexError(f"cannot write {target}: the folder {target.parent} does not exist")
    figure = crack_figure(result, frames)
    try:
        figure.savefig(target, dpi=300)
    except (OSError, ValueError) as error:
        raise MorvexError(f"cannot write {target}: {error}") from None
    finally:
        plt.close(figure)


def crack_figure(result: xr.Dataset, frames: Sequence[int]) -> Any:
    """The figure :func:`plot_cracks` saves (and the report shows): the opening along each
    crack for `frames`, and each crack's length over all frames."""
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    labels = result["frame"].values if "frame" in result.coords else np.arange(
        result.sizes["frame"])
    figure, (left, right) = plt.subplots(1, 2, figsize=(7.0, 3.0), constrained_layout=True)
    for c, crack_id in enumerate(result["crack"].values):
        s = result["s"].values[c]
        for f in frames:
            left.plot(s, result["opening"].values[c, f], marker=".",
                      label=f"crack {int(crack_id)}, frame {int(labels[f])}")
        right.plot(labels, result["length"].values[c], marker="o",
                   label=f"crack {int(crack_id)}")
    left.axhline(0.0, color="0.6", linewidth=0.6)
    left.set_xlabel("position along the crack from its mouth (px)")
    left.set_ylabel("opening (px)")
    left.set_title(f"Opening {result.attrs['distance_px']:g} px either side")
    left.legend(fontsize="x-small")
    right.set_xlabel("frame")
    right.set_ylabel("crack length to the tip (px)")
    right.set_title("Tip over frames")
    right.xaxis.set_major_locator(MaxNLocator(integer=True))
    if len(labels) > 1:
        right.set_xlim(float(labels[0]) - 0.5, float(labels[-1]) + 0.5)
    if not np.any(np.isfinite(result["length"].values)):
        right.text(0.5, 0.5, "no open crack found in any frame", ha="center",
                   va="center", transform=right.transAxes)
    right.legend(fontsize="x-small")
    return figure
