"""Cracks found from a measured field, as polylines :mod:`morvex.crack` can measure along.

A subset that straddles a crack fails (the library marks it "crosses a discontinuity", or it
stops converging or correlates poorly), so a crack shows as a band of failed points a subset
wide, with the lips valid on either side and a jump between them. The points of such bands are
flagged, grouped into chains of grid neighbours, and each chain becomes a polyline:

1. flagged: every point of status "crosses a discontinuity"; and every failed point lying
   between two valid points (along a row, a column or a diagonal, at most a subset and a step
   apart) whose u or v differ by far more than their noise once the strain on either side is
   taken out; two valid neighbours with such a jump are flagged both;
2. chains: 8-connected groups of flagged points; dropped with fewer than `min_points`, or
   fewer than two flagged by a jump (the library also marks points along the image's border
   as crossing a discontinuity on a pair without one);
3. order: the chain's points averaged across it at each grid step along its longest path,
   thinned by Douglas-Peucker (D. H. Douglas, T. K. Peucker, Cartographica 10, 1973) to a
   few vertices;
4. ridge: at stations every half subset along that line, the lips' valid points near the
   station are split across the line where one plane of u and v per side fits best (a step
   plus each lip's own strain: where the jump is steepest), and each grid line crossing there
   gives the middle of its gap between the two sides; the stations are moved to the mean of
   these, those with a jump under half the crack's median left out (a tip's ragged end), and
   fitted piecewise by total least-squares lines; twice, the second pass along the first's
   normals; given the images, the stations are then moved to where the images place the
   crack (:mod:`morvex.crack_image`: to a fraction of a pixel, where the grid alone leaves a
   crack along a grid row more than a pixel off) and fitted again;
5. mouth and tip: the end at the grid's edge (or, with both or neither there, the one with the
   larger jump) is the mouth and is carried to the image's edge; the other end is continued
   straight to the edge and cut where the opening at the line falls below its noise threshold,
   as :func:`morvex.crack.find_tip` reads it. A line along which the lips nowhere part by more
   than the jump threshold is no crack and is dropped.
"""

from __future__ import annotations

import collections
import contextlib
import math
from typing import TYPE_CHECKING, Any

import numpy as np

from ._errors import MorvexError
from ._status import Status
from .crack import (
    DEFAULT_NOISE_FACTOR,
    Crack,
    crack_line,
    field_bounds,
    find_tip,
    grid_step,
    opening_profile,
    profile_noise,
)
from .crack_image import Lips, Pair, image_stations, plane, prepared

if TYPE_CHECKING:
    import xarray as xr

# The status table is built from the library at import: its members are looked up by name.
_CROSSES_DISCONTINUITY = int(Status["CROSSES_DISCONTINUITY"])
# Failures a straddling subset ends in. Masked, cancelled or unreached points say nothing.
_STRADDLE_FAILURES = tuple(int(Status[name]) for name in (
    "NOT_CONVERGED", "LOW_CORRELATION", "DISPLACEMENT_JUMP", "CROSSES_DISCONTINUITY"))
DEFAULT_MIN_POINTS = 5
# A jump counts when it exceeds this many times the noise of a difference of two points...
DEFAULT_JUMP_FACTOR = 10.0
# ...and this floor, px: a noise-free synthetic field has sigmas at rounding level, and the
# strain left after taking out a linear trend is a few thousandths of a px over a subset.
DEFAULT_MIN_JUMP = 0.05
# px: the floor of the tip threshold, as in morvex.crack.
_OPENING_FLOOR = 1e-6
_DIRECTIONS = ((0, 1), (1, 0), (1, 1), (1, -1))


def find_cracks(dataset: xr.Dataset, frame: int = -1, *, min_points: int = DEFAULT_MIN_POINTS,
                jump_factor: float = DEFAULT_JUMP_FACTOR, min_jump: float = DEFAULT_MIN_JUMP,
                noise_factor: float = DEFAULT_NOISE_FACTOR, tolerance: float | None = None,
                bounds: tuple[float, float, float, float] | None = None,
                images: tuple[Any, Any] | None = None,
                ) -> list[list[tuple[float, float]]]:
    """The cracks of one frame, each a polyline of (x, y) reference px from mouth to tip.

    Args:
        dataset: one frame (y, x) or a sequence (frame, y, x) with u, v, valid and status
            (sigma_u, sigma_v used when present).
        frame: which frame of a sequence (negative counts from the end).
        min_points: chains of fewer flagged points are dropped (5: a band a subset wide on a
            grid a fifth of it apart shows five points across a single column).
        jump_factor, min_jump: a jump between valid points counts above
            max(jump_factor x sqrt(2) x noise, min_jump) px, noise the median sigma of the
            valid points (or, without sigmas, the scatter of the field's second differences).
        noise_factor: the tip is where the opening falls below this times its noise.
        bounds: (x_min, x_max, y_min, y_max) px the lines are carried to and clipped at
            (default :func:`morvex.crack.field_bounds`: the image when the dataset holds it).
        tolerance: Douglas-Peucker tolerance, px (default half the subset: the band's middle
            wanders by about a step, and the ridge search moves each vertex anyway).
        images: (reference, deformed) of that frame, 2-D, as correlated: the lines are then
            placed where the images part the lips, to a fraction of a pixel (without them,
            where the grid of points does: within about half a step).

    Returns:
        One polyline per crack, longest first, each accepted by
        :func:`morvex.crack.crack_line` within `bounds`; an empty list when the field shows
        no discontinuity.

    Raises:
        MorvexError: for a dataset without u, v, valid or status, a frame out of range,
            images that are not two finite 2-D arrays of one shape covering the grid, or a
            bad number.
    """
    for name in ("u", "v", "valid", "status"):
        if name not in dataset:
            raise MorvexError(f"the dataset has no {name!r}: finding cracks needs u, v, valid "
                              "and status on a (y, x) grid")
    if isinstance(min_points, bool) or not isinstance(min_points, int) or min_points < 2:
        raise MorvexError(f"min_points must be a whole number >= 2, got {min_points!r}")
    for label, value in (("jump_factor", jump_factor), ("noise_factor", noise_factor)):
        if not (math.isfinite(value) and value > 0):
            raise MorvexError(f"{label} must be a positive number, got {value!r}")
    if not (math.isfinite(min_jump) and min_jump >= 0):
        raise MorvexError(f"min_jump must be a number of px >= 0, got {min_jump!r}")
    if tolerance is not None and not (math.isfinite(tolerance) and tolerance > 0):
        raise MorvexError(f"tolerance must be a positive number of px, got {tolerance!r}")
    if bounds is not None and not (len(bounds) == 4 and all(math.isfinite(b) for b in bounds)
                                   and bounds[0] < bounds[1] and bounds[2] < bounds[3]):
        raise MorvexError(f"bounds must be x_min < x_max, y_min < y_max (px), got {bounds!r}")
    one = _one_frame(dataset, frame)
    step = grid_step(dataset)
    subset = _subset_px(dataset, step)
    xs, ys = np.meshgrid(dataset["x"].values.astype(float), dataset["y"].values.astype(float))
    pair = None if images is None else _images(images, xs, ys)
    valid = one["valid"] & np.isfinite(one["u"]) & np.isfinite(one["v"])
    noise = _noise(one, valid)
    threshold = max(jump_factor * math.sqrt(2.0) * noise, min_jump) if math.isfinite(noise) \
        else max(min_jump, _OPENING_FLOOR)
    reach = int(math.ceil(subset / step)) + 1
    flagged, jumped = _flag(one["status"], valid, one["u"], one["v"], threshold, reach)
    if bounds is None:
        bounds = field_bounds(dataset)
    # A valid point with a jump to its neighbour may hold both lips in its subset: the lips
    # are read, and the ridge traced, without them.
    context = _Context(xs, ys, one, valid & ~jumped, step, subset, bounds, noise_factor, pair)
    lines: list[Crack] = []
    for chain in _chains(flagged, jumped, min_points):
        crack = _line_of(chain, context, subset / 2.0 if tolerance is None else float(tolerance),
                         threshold)
        if crack is not None:
            lines.append(crack)
    lines.sort(key=lambda c: -c.length)
    return [[(float(x), float(y)) for x, y in c.vertices] for c in lines]


def format_line(vertices: list[tuple[float, float]]) -> str:
    """X,Y,X,Y,... to 2 decimals: what ``morvex run --crack`` and ``morvex crack --line`` read."""
    return ",".join(f"{v:.2f}" for vertex in vertices for v in vertex)


class _Context:
    """What every chain's polyline is built from."""

    def __init__(self, xs: np.ndarray, ys: np.ndarray, one: dict[str, Any], valid: np.ndarray,
                 step: float, subset: float, bounds: tuple[float, float, float, float],
                 noise_factor: float, images: Pair | None = None) -> None:
        self.xs, self.ys, self.one, self.valid = xs, ys, one, valid
        # Points of a lip: valid with at least two valid grid neighbours. A subset across
        # the crack that converged anyway sits alone among failed points, with a value
        # between the lips' that would pull the ridge towards it.
        padded = np.pad(valid, 1)
        neighbours = (padded[:-2, 1:-1].astype(int) + padded[2:, 1:-1] + padded[1:-1, :-2]
                      + padded[1:-1, 2:])
        self.lips = valid & (neighbours >= 2)
        self.step, self.subset, self.bounds = step, subset, bounds
        self.noise_factor = noise_factor
        # As measure_cracks reads the lips: past half the subset, two grid steps out.
        self.distance = subset / 2.0 + 2.0 * step
        self.images = images


def _images(images: Any, xs: np.ndarray, ys: np.ndarray) -> Pair:
    """The (reference, deformed) pair, checked against the grid, prepared for placing lines."""
    if not isinstance(images, tuple | list) or len(images) != 2:
        raise MorvexError("images must be (reference, deformed): two 2-D arrays, got "
                          f"{type(images).__name__}")
    pair = []
    for name, image in zip(("reference", "deformed"), images, strict=True):
        try:
            array = np.asarray(image, dtype=np.float64)
        except (TypeError, ValueError) as error:
            raise MorvexError(f"the {name} image must be a 2-D array of numbers: {error}") \
                from None
        if array.ndim != 2 or min(array.shape) < 2:
            raise MorvexError(f"the {name} image must be a 2-D array, got shape {array.shape}")
        if not np.all(np.isfinite(array)):
            raise MorvexError(f"the {name} image holds NaN or infinite values")
        pair.append(array)
    if pair[0].shape != pair[1].shape:
        raise MorvexError(f"the reference image is {pair[0].shape[1]} x {pair[0].shape[0]} px "
                          f"but the deformed one {pair[1].shape[1]} x {pair[1].shape[0]} px")
    rows, cols = pair[0].shape
    if xs.min() < 0 or ys.min() < 0 or xs.max() > cols - 1 or ys.max() > rows - 1:
        raise MorvexError(f"the images ({cols} x {rows} px) do not cover the grid (x "
                          f"{xs.min():g} ... {xs.max():g}, y {ys.min():g} ... {ys.max():g} px): "
                          "they are not the images this field was measured on")
    return prepared(pair[0], pair[1])


def _one_frame(dataset: xr.Dataset, frame: int) -> dict[str, Any]:
    names = ("u", "v", "valid", "status", "sigma_u", "sigma_v")
    if "frame" in dataset.dims:
        count = dataset.sizes["frame"]
        if isinstance(frame, bool) or not isinstance(frame, int | np.integer) \
                or not -count <= frame < count:
            raise MorvexError(f"frame must be a whole number in {-count} ... {count - 1}, got "
                              f"{frame!r}")
        picked = {n: dataset[n].isel(frame=int(frame)).values for n in names if n in dataset}
    else:
        if frame not in (0, -1):
            raise MorvexError(f"frame must be 0 or -1 for a single pair, got {frame!r}")
        picked = {n: dataset[n].values for n in names if n in dataset}
    out: dict[str, Any] = {n: picked.get(n) for n in names}
    for n in ("u", "v"):
        out[n] = np.asarray(out[n], float)
    out["valid"] = np.asarray(out["valid"], bool)
    out["status"] = np.asarray(out["status"]).astype(np.int64)
    if out["u"].ndim != 2:
        raise MorvexError(f"finding cracks needs a (y, x) grid per frame, got u of shape "
                          f"{out['u'].shape}")
    return out


def _subset_px(dataset: xr.Dataset, step: float) -> float:
    from .crack import _subset

    subset = _subset(dataset)
    if subset is None and isinstance(dataset.attrs.get("subset"), int | float):
        subset = float(dataset.attrs["subset"])
    # Without the subset, a band five steps wide is what a subset of five steps leaves.
    return float(subset) if subset is not None and subset > 0 else 5.0 * step


def _noise(one: dict[str, Any], valid: np.ndarray) -> float:
    """One sigma of a point's u or v, px: the median sigma when the points carry sigmas, else
    the robust scatter of second differences along rows (a linear trend leaves none; Gaussian
    noise of sigma s gives second differences of sigma s sqrt(6))."""
    sigmas = [one[n][valid] for n in ("sigma_u", "sigma_v") if one[n] is not None]
    if sigmas:
        both = np.concatenate(sigmas)
        both = both[np.isfinite(both)]
        if both.size:
            return float(np.median(both))
    seconds = []
    for n in ("u", "v"):
        field = np.where(valid, one[n], np.nan)
        second = np.diff(field, 2, axis=1)
        seconds.append(second[np.isfinite(second)])
    second = np.abs(np.concatenate(seconds))
    if second.size == 0:
        return math.nan
    return float(1.4826 * np.median(second) / math.sqrt(6.0))


def _flag(status: np.ndarray, valid: np.ndarray, u: np.ndarray, v: np.ndarray,
          threshold: float, reach: int) -> tuple[np.ndarray, np.ndarray]:
    """Points of the bands a crack leaves: status "crosses a discontinuity", and the failed
    points between (or the pair of) valid points up to `reach` steps apart along a grid
    direction whose u or v jump by more than `threshold` beyond the trend on either side;
    with the latter apart."""
    failed = np.isin(status, _STRADDLE_FAILURES) & ~valid
    jumped = np.zeros_like(valid)
    for dr, dc in _DIRECTIONS:
        # Whether every point strictly between a point and the one k steps on has failed.
        between = np.ones_like(valid)
        for k in range(1, reach + 1):
            pair = valid & _shifted(valid, k * dr, k * dc, False) & between
            if pair.any():
                hit = pair & (_jump((u, v), valid, (dr, dc), k) > threshold)
                if k == 1:
                    jumped |= hit | _shifted(hit, -dr, -dc, False)
                for j in range(1, k):
                    jumped |= _shifted(hit, -j * dr, -j * dc, False)
            between &= _shifted(failed, k * dr, k * dc, False)
            if not between.any():
                break
    return jumped | ((status == _CROSSES_DISCONTINUITY) & ~valid), jumped


def _shifted(array: np.ndarray, dr: int, dc: int, fill: Any) -> np.ndarray:
    """out[r, c] = array[r + dr, c + dc], `fill` where that falls off the grid."""
    rows, cols = array.shape
    out = np.full(array.shape, fill, dtype=array.dtype)
    if abs(dr) < rows and abs(dc) < cols:
        out[max(-dr, 0):rows - max(dr, 0), max(-dc, 0):cols - max(dc, 0)] = \
            array[max(dr, 0):rows + min(dr, 0), max(dc, 0):cols + min(dc, 0)]
    return out


def _jump(fields: tuple[np.ndarray, np.ndarray], valid: np.ndarray,
          direction: tuple[int, int], gap: int) -> np.ndarray:
    """At every point, the larger of the |u|, |v| jumps to the point `gap` steps along
    `direction`, less what the gradient just outside the pair (one step beyond each, where
    valid) carries across the gap; NaN where either point has no value."""
    dr, dc = direction
    has_before = _shifted(valid, -dr, -dc, False)
    has_after = _shifted(valid, (gap + 1) * dr, (gap + 1) * dc, False)
    count = has_before.astype(float) + has_after
    worst = np.zeros(valid.shape)
    for f in fields:
        end = _shifted(f, gap * dr, gap * dc, np.nan)
        slope = (np.where(has_before, f - _shifted(f, -dr, -dc, np.nan), 0.0)
                 + np.where(has_after, _shifted(f, (gap + 1) * dr, (gap + 1) * dc, np.nan)
                            - end, 0.0)) / np.maximum(count, 1.0)
        worst = np.fmax(worst, np.abs(end - f - gap * slope))
    return worst


def _chains(flagged: np.ndarray, jumped: np.ndarray, min_points: int
            ) -> list[list[tuple[int, int]]]:
    """8-connected groups of flagged points with at least `min_points` each, two of them
    flagged by a jump: the library also marks points along the image's border as crossing a
    discontinuity on a pair without one, and a crack always parts its lips somewhere."""
    rows, cols = flagged.shape
    seen = np.zeros_like(flagged)
    out = []
    for r0, c0 in zip(*np.nonzero(flagged), strict=True):
        if seen[r0, c0]:
            continue
        seen[r0, c0] = True
        group, queue = [], collections.deque([(int(r0), int(c0))])
        while queue:
            r, c = queue.popleft()
            group.append((r, c))
            for dr in (-1, 0, 1):
                for dc in (-1, 0, 1):
                    rr, cc = r + dr, c + dc
                    if 0 <= rr < rows and 0 <= cc < cols and flagged[rr, cc] \
                            and not seen[rr, cc]:
                        seen[rr, cc] = True
                        queue.append((rr, cc))
        if len(group) >= min_points and sum(bool(jumped[p]) for p in group) >= 2:
            out.append(group)
    return out


def _steps_from(start: tuple[int, int], members: set[tuple[int, int]]
                ) -> dict[tuple[int, int], int]:
    """Grid steps (8-connected) from `start` to every point of the chain."""
    steps = {start: 0}
    queue = collections.deque([start])
    while queue:
        r, c = queue.popleft()
        for dr in (-1, 0, 1):
            for dc in (-1, 0, 1):
                p = (r + dr, c + dc)
                if p in members and p not in steps:
                    steps[p] = steps[(r, c)] + 1
                    queue.append(p)
    return steps


def _centre_line(chain: list[tuple[int, int]], xs: np.ndarray, ys: np.ndarray) -> np.ndarray:
    """The chain's points averaged at each step along its longest path: (k, 2) x, y px.

    Steps counted from a corner of a band cut it slantwise near that corner (an L of points
    whose mean lies off the middle) and square across near the far end; so each half of the
    chain is sliced by the steps from the other half's end.
    """
    members = set(chain)
    first = _steps_from(chain[0], members)
    end_a = max(first, key=lambda p: (first[p], p))
    from_a = _steps_from(end_a, members)
    end_b = max(from_a, key=lambda p: (from_a[p], p))
    from_b = _steps_from(end_b, members)
    near_a: dict[int, list[tuple[int, int]]] = collections.defaultdict(list)
    near_b: dict[int, list[tuple[int, int]]] = collections.defaultdict(list)
    for p in chain:
        if from_a[p] <= from_b[p]:
            near_a[from_b[p]].append(p)
        else:
            near_b[from_a[p]].append(p)
    slices = [near_a[k] for k in sorted(near_a, reverse=True)]
    slices += [near_b[k] for k in sorted(near_b)]
    return np.array([(float(np.mean([xs[p] for p in points])),
                      float(np.mean([ys[p] for p in points]))) for points in slices])


def _douglas_peucker(points: np.ndarray, tolerance: float) -> np.ndarray:
    """The vertices of `points` (k, 2) that keep every point within `tolerance` of the line."""
    return points[_breaks(points, tolerance)]


def _breaks(points: np.ndarray, tolerance: float) -> list[int]:
    """Indices of the Douglas-Peucker vertices of `points`, first and last included."""
    if len(points) <= 2:
        return list(range(len(points)))
    a, b = points[0], points[-1]
    chord = b - a
    length = math.hypot(*chord)
    rel = points - a
    if length == 0:
        gaps = np.hypot(rel[:, 0], rel[:, 1])
    else:
        gaps = np.abs(rel[:, 0] * chord[1] - rel[:, 1] * chord[0]) / length
    k = int(np.argmax(gaps))
    if gaps[k] <= tolerance:
        return [0, len(points) - 1]
    return _breaks(points[:k + 1], tolerance)[:-1] + [k + i for i in _breaks(points[k:],
                                                                              tolerance)]


def _fitted_polyline(points: np.ndarray, tolerance: float) -> np.ndarray:
    """A polyline through `points` (k, 2): its pieces from Douglas-Peucker, each then fitted
    by a total least-squares line to all the points it spans (a ridge point alone is known to
    about a step; a crack's straight run crosses many grid lines and averages that out), its
    vertices where neighbouring pieces' lines meet (or, where they are near parallel or meet
    far off, the ridge point projected onto their mean)."""
    index = _breaks(points, tolerance)
    lines = []
    for lo, hi in zip(index[:-1], index[1:], strict=True):
        piece = points[lo:hi + 1]
        centre = piece.mean(axis=0)
        _, _, axes = np.linalg.svd(piece - centre)
        direction = axes[0] if float(np.dot(axes[0], piece[-1] - piece[0])) >= 0 else -axes[0]
        lines.append((centre, direction))

    def project(point: np.ndarray, line: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
        centre, direction = line
        return np.asarray(centre + float(np.dot(point - centre, direction)) * direction)

    vertices = [project(points[index[0]], lines[0])]
    for k in range(1, len(lines)):
        (c1, d1), (c2, d2) = lines[k - 1], lines[k]
        turn = d1[0] * d2[1] - d1[1] * d2[0]
        near = points[index[k]]
        meet = None
        if abs(turn) > 1e-3:
            t = ((c2 - c1)[0] * d2[1] - (c2 - c1)[1] * d2[0]) / turn
            meet = c1 + t * d1
        if meet is None or math.hypot(*(meet - near)) > tolerance:
            meet = 0.5 * (project(near, lines[k - 1]) + project(near, lines[k]))
        vertices.append(meet)
    vertices.append(project(points[index[-1]], lines[-1]))
    return np.array(vertices)


def _ridge_offset(context: _Context, where: np.ndarray, tangent: np.ndarray,
                  half_length: float) -> tuple[float, float]:
    """How far across the line (along the normal, px) the jump is steepest near `where`, and
    the size of the jump there (px); NaN and 0 when the lips cannot be told apart.

    The lip points near `where`, sorted by their offset across, are split where a plane of u
    and v per side fits best (a step across the line); then each grid line crossing the crack
    (a column for a crack closer to the x axis, else a row) gives the middle of its gap
    between the two sides, and their mean is the ridge: one grid line alone knows it only to
    half a step, several crossing an oblique crack at different heights average that out.
    """
    normal = np.array([-tangent[1], tangent[0]])
    dx, dy = context.xs - where[0], context.ys - where[1]
    along = dx * tangent[0] + dy * tangent[1]
    across = dx * normal[0] + dy * normal[1]
    width = context.subset / 2.0 + 3.0 * context.step
    near = context.lips & (np.abs(along) <= half_length) & (np.abs(across) <= width)
    order = np.argsort(across[near])
    a, b = along[near][order], across[near][order]
    u, v = context.one["u"][near][order], context.one["v"][near][order]
    split, best_cost = math.nan, math.inf
    for k in range(3, len(b) - 2):
        if b[k] - b[k - 1] <= 1e-9:
            continue
        cost = _plane_misfit(a[:k], b[:k], u[:k], v[:k]) + _plane_misfit(a[k:], b[k:], u[k:],
                                                                           v[k:])
        if cost < best_cost:
            best_cost, split = cost, 0.5 * (b[k] + b[k - 1])
    if not math.isfinite(split):
        return math.nan, 0.0
    lines = (np.indices(context.valid.shape)[1] if abs(tangent[0]) >= abs(tangent[1])
             else np.indices(context.valid.shape)[0])[near][order]
    middles = []
    for line in np.unique(lines):
        mine = b[lines == line]
        below, above = mine[mine < split], mine[mine > split]
        if below.size and above.size:
            middles.append(0.5 * (below.max() + above.min()))
    offset = float(np.mean(middles)) if middles else split
    if abs(offset) > width:
        return math.nan, 0.0
    lower, upper = b < split, b > split
    jump = [_plane_at(a[upper], b[upper], f[upper], offset)
            - _plane_at(a[lower], b[lower], f[lower], offset) for f in (u, v)]
    return offset, math.hypot(*jump)


def _plane_at(a: np.ndarray, b: np.ndarray, f: np.ndarray, across: float) -> float:
    """The plane through f(a, b) at a = 0, b = `across`."""
    coefficients = plane(a, b, f)
    return float(coefficients[0] + coefficients[2] * across)


def _plane_misfit(a: np.ndarray, b: np.ndarray, u: np.ndarray, v: np.ndarray) -> float:
    total = 0.0
    for f in (u, v):
        c0, ca, cb = plane(a, b, f)
        total += float(np.sum((f - (c0 + ca * a + cb * b)) ** 2))
    return total


def _ridge(context: _Context, vertices: np.ndarray, threshold: float) -> np.ndarray:
    """Stations every half subset along the polyline, each moved along its normal to the
    ridge of the jump; those whose lips part by no more than `threshold` left out."""
    crack = Crack(vertices)
    spacing = max(context.subset / 2.0, context.step)
    count = max(int(math.ceil(crack.length / spacing)), 1)
    positions, tangents, normals = crack.at(np.linspace(0.0, crack.length, count + 1))
    # A subset's length of the line: enough grid lines either side to average the grid's
    # steps out of an oblique crack, few enough to follow a bend.
    half_length = max(2.0 * context.step, context.subset / 2.0)
    ridge, jumps = [], []
    for position, tangent, normal in zip(positions, tangents, normals, strict=True):
        offset, jump = _ridge_offset(context, position, tangent, half_length)
        if math.isfinite(offset) and jump > threshold:
            ridge.append(position + offset * normal)
            jumps.append(jump)
    if not jumps:
        return np.zeros((0, 2))
    # Near a tip the band is ragged and lopsided, and a station a subset from it was read
    # 4 px off the line: stations whose lips part by less than half the crack's median are
    # left out, and the opening profile finds the tip beyond them.
    strong = np.asarray(jumps) >= 0.5 * float(np.median(jumps))
    return np.asarray(ridge)[strong]


def _placed_by_images(context: _Context, vertices: np.ndarray, tolerance: float
                     ) -> np.ndarray:
    """The polyline fitted again through the stations where the images place the crack; as
    it was when fewer than two stations tell."""
    assert context.images is not None
    lips = Lips(context.xs, context.ys, context.one["u"], context.one["v"], context.lips)
    stations = image_stations(vertices, context.images, lips, context.subset, context.step)
    if len(stations) < 2:
        return vertices
    placed = _fitted_polyline(stations, min(tolerance, context.step))
    # The ends stay as far along as the grid had them: a station near the image's edge has
    # no pixels beyond it to tell, and an end short of the edge would read as a tip.
    placed[0] = _on_line(vertices[0], placed[0], placed[1])
    placed[-1] = _on_line(vertices[-1], placed[-2], placed[-1])
    try:
        crack_line(placed, name="found")
    except MorvexError:
        return vertices
    return placed


def _on_line(point: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """`point` projected on the line through a and b."""
    direction = (b - a) / math.hypot(*(b - a))
    return np.asarray(a + float(np.dot(point - a, direction)) * direction)


def _to_edge(point: np.ndarray, direction: np.ndarray,
             bounds: tuple[float, float, float, float]) -> np.ndarray:
    """Where the ray from `point` along `direction` leaves the bounds."""
    x0, x1, y0, y1 = bounds
    reach = math.inf
    for value, d, lo, hi in ((point[0], direction[0], x0, x1), (point[1], direction[1], y0, y1)):
        if d > 0:
            reach = min(reach, (hi - value) / d)
        elif d < 0:
            reach = min(reach, (lo - value) / d)
    end = point + max(reach, 0.0) * direction
    return np.array([min(max(end[0], x0), x1), min(max(end[1], y0), y1)])


def _read_to_edge(context: _Context, crack: Crack, s: float) -> bool:
    """Whether the station at arc length `s`, or a lip point it is read on (`distance` px
    along the normal either side), lies near the grid's edge."""
    position, _, normal = crack.at(np.array([s]))
    return any(_near_edge(position[0] + k * context.distance * normal[0], context)
               for k in (0.0, -1.0, 1.0))


def _near_edge(point: np.ndarray, context: _Context) -> bool:
    """Within three grid steps of the grid's outer points: a band that reaches there runs out
    of the field (the border points fail for want of pixels, not for a crack)."""
    xs, ys, margin = context.xs, context.ys, 3.0 * context.step
    return bool(point[0] - xs.min() <= margin or xs.max() - point[0] <= margin
                or point[1] - ys.min() <= margin or ys.max() - point[1] <= margin)


def _profile(context: _Context, crack: Crack) -> Any:
    one = context.one
    return opening_profile(crack, context.xs, context.ys, one["u"], one["v"], context.valid,
                           distance=context.distance, spacing=context.step,
                           sigma_u=one["sigma_u"], sigma_v=one["sigma_v"])


def _end_jump(context: _Context, vertices: np.ndarray) -> float:
    """The size of the jump between the lips near the polyline's first vertex."""
    try:
        crack = crack_line(vertices)
    except MorvexError:
        return 0.0
    profile = _profile(context, crack)
    jump = np.hypot(profile.opening, profile.sliding)
    first = jump[np.isfinite(jump)][:3]
    return float(np.mean(first)) if first.size else 0.0


def _line_of(chain: list[tuple[int, int]], context: _Context, tolerance: float,
             threshold: float) -> Crack | None:
    """The chain's polyline, mouth first and its tip where the opening closes; None when the
    lips either side do not part by more than `threshold` anywhere (not a crack)."""
    centres = _centre_line(chain, context.xs, context.ys)
    if len(centres) < 2:
        return None
    vertices = _douglas_peucker(centres, tolerance)
    # Twice: the first pass also turns each station's normal towards the ridge's own.
    for _ in range(2):
        ridge = _ridge(context, vertices, threshold)
        if len(ridge) < 2:
            break
        refined = _fitted_polyline(ridge, min(tolerance, context.step))
        try:
            crack_line(refined, name="found")
        except MorvexError:
            break
        vertices = refined
    if context.images is not None:
        vertices = _placed_by_images(context, vertices, tolerance)
    mouth_edge, tip_edge = _near_edge(vertices[0], context), _near_edge(vertices[-1], context)
    if tip_edge and not mouth_edge or (mouth_edge == tip_edge and _end_jump(
            context, vertices[::-1]) > _end_jump(context, vertices)):
        vertices = vertices[::-1]
        mouth_edge, tip_edge = tip_edge, mouth_edge
    if mouth_edge:
        outwards = vertices[0] - vertices[1]
        vertices = np.vstack((_to_edge(vertices[0], outwards / math.hypot(*outwards),
                                       context.bounds), vertices[1:]))
    onwards = vertices[-1] - vertices[-2]
    extended = np.vstack((vertices[:-1], _to_edge(vertices[-1], onwards / math.hypot(*onwards),
                                                  context.bounds)))
    try:
        crack = crack_line(extended, context.bounds, name="found")
    except MorvexError:
        try:
            crack = crack_line(vertices, context.bounds, name="found")
        except MorvexError:
            return None
    profile = _profile(context, crack)
    jump = np.hypot(profile.opening, profile.sliding)
    if not np.any(jump[np.isfinite(jump)] > threshold):
        return None
    level = profile_noise(profile)
    if math.isfinite(level):
        tip_s, found = find_tip(profile, max(context.noise_factor * level, _OPENING_FLOOR),
                                context.noise_factor)
        # Open to the last station read, and that station or a lip it is read on near the
        # edge: the crack runs out of the field (a crack at a shallow angle to the edge
        # cannot be read once a lip's reading point leaves the grid). Closed at the mouth (a
        # sliding crack): the line as found stands.
        through = not found and math.isfinite(tip_s) and _read_to_edge(context, crack, tip_s)
        if math.isfinite(tip_s) and tip_s > 0 and not through:
            with contextlib.suppress(MorvexError):
                crack = crack_line(crack.up_to(tip_s).vertices, context.bounds, name="found")
    return crack
