"""Where a found crack runs, read from the images rather than from the grid.

The lips' valid points place a crack only within the band of failed points between them: a
grid line knows it to half a step, and a crack along a grid row stays more than a pixel off
however the ridge is traced. The images know better. Carried by its own lip's motion, every
reference pixel lands on its match in the deformed image; a pixel between a wrong line and the
true one is carried by the other lip's motion and lands an opening (or a slide) away from it.
So at stations along the line every pixel near it is read in the deformed image twice, moved by
the plane of the lip on either side, and the station is put where the line leaves least
residual when each pixel takes the motion of the side it lies on. Between two rows of pixels
(a crack along a grid row) no pixel tells where exactly: the middle of the rows is taken.
"""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np

from .crack import Crack
from .warping import bspline_coefficients, sample

# A station is kept when the residual with the line where the images put it is at most this
# share of the residual with the line at either end of the search: where the lips move alike
# (past a tip), every offset leaves the same residual up to the noise, and the least of them
# says nothing.
_CONTRAST = 0.8
# px beyond the search on either side whose pixels take one side's motion whatever the line:
# they scale the deformed image's grey levels to the reference's.
_ANCHOR = 4.0
# Fewest lip points a side's plane of u and v is fitted to (three unknowns each).
_PLANE_POINTS = 4


class Pair(NamedTuple):
    """The reference, and the deformed frame as its quintic spline's coefficients (prefiltered
    once for every station of every line)."""

    reference: np.ndarray
    coefficients: np.ndarray


def prepared(reference: np.ndarray, deformed: np.ndarray) -> Pair:
    """The pair, the deformed frame prefiltered."""
    return Pair(reference, bspline_coefficients(bspline_coefficients(deformed, 0), 1))


def plane(a: np.ndarray, b: np.ndarray, f: np.ndarray) -> np.ndarray:
    """Least-squares coefficients (c0, ca, cb) of the plane f = c0 + ca a + cb b."""
    design = np.stack((np.ones(len(a)), a, b), axis=1)
    coefficients, *_ = np.linalg.lstsq(design, f, rcond=None)
    return np.asarray(coefficients)


class Lips(NamedTuple):
    """The measured field the sides' motion comes from: grid centres (px), u and v (px),
    and which points are lip points (valid, with valid neighbours)."""

    xs: np.ndarray
    ys: np.ndarray
    u: np.ndarray
    v: np.ndarray
    points: np.ndarray


def image_stations(vertices: np.ndarray, pair: Pair, lips: Lips, subset: float, step: float
                   ) -> np.ndarray:
    """Points on the crack (k, 2 px) where the images place it, at stations every half
    subset along the polyline `vertices`, each searched a grid step either side of it along
    its normal; stations where the images cannot tell (lips moving alike, too few lip points,
    the image's edge) are left out."""
    crack = Crack(np.asarray(vertices, dtype=np.float64))
    spacing = max(subset / 2.0, step)
    count = max(int(math.ceil(crack.length / spacing)), 1)
    positions, tangents, normals = crack.at(np.linspace(0.0, crack.length, count + 1))
    found = []
    for position, tangent, normal in zip(positions, tangents, normals, strict=True):
        offset = _station_offset(position, tangent, normal, *pair, lips, subset, step)
        if math.isfinite(offset):
            found.append(position + offset * normal)
    return np.asarray(found).reshape(-1, 2)


def _station_offset(position: np.ndarray, tangent: np.ndarray, normal: np.ndarray,
                    reference: np.ndarray, coefficients: np.ndarray, lips: Lips,
                    subset: float, step: float) -> float:
    """How far along `normal` (px) the images put the crack near `position`; NaN when they
    cannot tell."""
    half_length = max(2.0 * step, subset / 2.0)
    search = step
    planes = _side_planes(position, tangent, normal, lips, half_length, subset, step)
    if planes is None:
        return math.nan
    reach = search + _ANCHOR
    corner = half_length + reach
    rows, cols = reference.shape
    x0, x1 = max(int(math.floor(position[0] - corner)), 0), min(
        int(math.ceil(position[0] + corner)), cols - 1)
    y0, y1 = max(int(math.floor(position[1] - corner)), 0), min(
        int(math.ceil(position[1] + corner)), rows - 1)
    if x1 <= x0 or y1 <= y0:
        return math.nan
    py, px = np.mgrid[y0:y1 + 1, x0:x1 + 1].astype(np.float64)
    along = (px - position[0]) * tangent[0] + (py - position[1]) * tangent[1]
    across = (px - position[0]) * normal[0] + (py - position[1]) * normal[1]
    near = (np.abs(along) <= half_length) & (np.abs(across) <= reach)
    # Both sides of the search need their anchors inside the image.
    if not (np.any(near & (across < -search)) and np.any(near & (across > search))):
        return math.nan
    a, b = along[near], across[near]
    grey = reference[y0:y1 + 1, x0:x1 + 1][near].astype(np.float64)
    read = []
    for plane in planes:
        du = plane[0][0] + plane[0][1] * a + plane[0][2] * b
        dv = plane[1][0] + plane[1][1] * a + plane[1][2] * b
        read.append(sample(coefficients, px[near] + du, py[near] + dv))
    lower, upper = read
    anchor_lower, anchor_upper = b < -search, b > search
    # The deformed frame's grey levels scaled to the reference's, as ZNCC allows.
    grey_lower = np.concatenate((lower[anchor_lower], upper[anchor_upper]))
    grey_reference = np.concatenate((grey[anchor_lower], grey[anchor_upper]))
    design = np.stack((np.ones_like(grey_lower), grey_lower), axis=1)
    scale, *_ = np.linalg.lstsq(design, grey_reference, rcond=None)
    lower_misfit = (grey - scale[0] - scale[1] * lower) ** 2
    upper_misfit = (grey - scale[0] - scale[1] * upper) ** 2
    return _least_cut(b, lower_misfit, upper_misfit, search)


def _side_planes(position: np.ndarray, tangent: np.ndarray, normal: np.ndarray, lips: Lips,
                 half_length: float, subset: float, step: float
                 ) -> tuple[tuple[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]] | None:
    """Planes of u and v in (along, across) for the lip below the line and the lip above it,
    from lip points whose subsets stay clear of the line wherever the search puts it."""
    dx, dy = lips.xs - position[0], lips.ys - position[1]
    along = dx * tangent[0] + dy * tangent[1]
    across = dx * normal[0] + dy * normal[1]
    clear = subset / 2.0 + step
    close = lips.points & (np.abs(along) <= half_length) & (np.abs(across) <= clear + 3 * step)
    planes = []
    for side in (across <= -clear, across >= clear):
        mine = close & side
        if int(mine.sum()) < _PLANE_POINTS:
            return None
        design = np.stack((np.ones(int(mine.sum())), along[mine], across[mine]), axis=1)
        if np.linalg.matrix_rank(design) < 3:
            return None
        planes.append((plane(along[mine], across[mine], lips.u[mine]),
                       plane(along[mine], across[mine], lips.v[mine])))
    return planes[0], planes[1]


def _least_cut(across: np.ndarray, lower: np.ndarray, upper: np.ndarray, search: float
               ) -> float:
    """The offset within +-search that leaves least residual when the pixels below it take
    the lower side's misfit and those above the upper side's: the middle of the gap between
    the two pixels it falls between; NaN when no offset stands out from the search's ends."""
    order = np.argsort(across, kind="stable")
    b, lo, up = across[order], lower[order], upper[order]
    # cost[k]: pixels 0..k-1 below the cut, k.. above.
    cost = np.concatenate(([0.0], np.cumsum(lo))) + np.concatenate(
        (np.cumsum(up[::-1])[::-1], [0.0]))
    gaps = np.flatnonzero(np.diff(b) > 1e-9) + 1  # cuts between distinct offsets
    middles = 0.5 * (b[gaps - 1] + b[gaps])
    inside = np.abs(middles) <= search
    if not np.any(inside):
        return math.nan
    gaps, middles = gaps[inside], middles[inside]
    costs = cost[gaps]
    best = int(np.argmin(costs))
    ends = min(float(costs[0]), float(costs[-1]))
    if not costs[best] <= _CONTRAST * ends:
        return math.nan
    return float(middles[best])
