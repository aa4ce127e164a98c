"""Probes read from a results dataset: points, extensometers, strain gauges and sections.

A probe's geometry is in reference-image pixels (x to the right, y downwards), as the grid's
coordinates are; each probe has a name (``P1``, ``E1``, ``G1``, ``S1`` by default: its kind's
letter and its place among the probes of that kind) that every column it gives starts with.

Values are interpolated bilinearly between the four grid points around a position, so a
field that is linear in x and y (a uniform strain) comes back exactly anywhere inside the
grid. A grid point holding NaN (an invalid point) makes every value it takes part in NaN:
a probe never reports a number computed through invalid data. Gauges average the valid grid
points inside them and keep how many there were.

A dataset carrying millimetre positions (``x_mm``, a run with a scale or a camera) gives
lengths and displacements in mm (from ``x_mm``, ``y_mm``, ``u_mm``, ``v_mm``); otherwise in
px. Column names carry their unit: ``E1 strain [%]``, ``E1 elongation [mm]``.
"""

from __future__ import annotations

import dataclasses
import math
import os
import re
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._errors import MorvexError

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr

    from .store import Store

STRAINS = ("exx", "eyy", "exy")
# Names go into CSV headers and command lines: no separators that would split them there.
_NAME = re.compile(r"[^\s,=#\"'\[\]][^,=#\"'\[\]\n\r\t]*")


def _check_name(name: str) -> None:
    if not isinstance(name, str):
        raise MorvexError(f"a probe name must be text, got {name!r}")
    if name and (_NAME.fullmatch(name) is None or name != name.strip()):
        raise MorvexError(f"probe name {name!r} must be non-blank text without , = # quotes "
                          "or brackets")


def _check_numbers(kind: str, values: Iterable[object]) -> tuple[float, ...]:
    out = []
    for value in values:
        if (isinstance(value, bool) or not isinstance(value, (int, float, np.number))
                or not math.isfinite(float(value))):
            raise MorvexError(f"a {kind}'s coordinates must be finite numbers of px, "
                              f"got {value!r}")
        out.append(float(value))
    return tuple(out)


def _check_vertices(kind: str, vertices: object, least: int) -> tuple[tuple[float, float], ...]:
    try:
        pairs = [tuple(v) for v in vertices]  # type: ignore[attr-defined]
    except TypeError:
        raise MorvexError(f"a {kind} needs a list of (x, y) vertices, got {vertices!r}"
                          ) from None
    if len(pairs) < least or any(len(p) != 2 for p in pairs):
        raise MorvexError(f"a {kind} needs at least {least} (x, y) vertices, got {vertices!r}")
    flat = _check_numbers(kind, (c for p in pairs for c in p))
    return tuple((flat[2 * k], flat[2 * k + 1]) for k in range(len(pairs)))


@dataclasses.dataclass(frozen=True)
class Point:
    """The fields at one position (x, y) px: u, v and the strains when the dataset has them."""

    x: float
    y: float
    name: str = ""
    kind = "point"

    def __post_init__(self) -> None:
        _check_numbers(self.kind, (self.x, self.y))
        _check_name(self.name)

    def vertices(self) -> tuple[tuple[float, float], ...]:
        return ((float(self.x), float(self.y)),)


@dataclasses.dataclass(frozen=True)
class Extensometer:
    """A virtual extensometer between (x0, y0) and (x1, y1) px, at least 1 px long.

    Its engineering strain is (moved length - length) / length, the ends moved by the
    bilinear-interpolated displacement; NaN in a frame where an end touches invalid points.
    """

    x0: float
    y0: float
    x1: float
    y1: float
    name: str = ""
    kind = "extensometer"

    def __post_init__(self) -> None:
        _check_numbers(self.kind, (self.x0, self.y0, self.x1, self.y1))
        _check_name(self.name)
        length = math.dist((self.x0, self.y0), (self.x1, self.y1))
        if length < 1.0:
            raise MorvexError(f"the extensometer's ends are {length:.3g} px apart; they must "
                              "be at least 1 px apart")

    def vertices(self) -> tuple[tuple[float, float], ...]:
        return ((float(self.x0), float(self.y0)), (float(self.x1), float(self.y1)))


@dataclasses.dataclass(frozen=True)
class Gauge:
    """A strain gauge: the mean strains of the valid grid points inside a polygon.

    ``corners`` are at least 3 (x, y) px vertices of a simple (non-self-intersecting)
    polygon; :meth:`rectangle` builds an axis-aligned one. A grid point on the edge counts
    as inside.
    """

    corners: tuple[tuple[float, float], ...]
    name: str = ""
    kind = "gauge"

    def __post_init__(self) -> None:
        corners = _check_vertices(self.kind, self.corners, 3)
        object.__setattr__(self, "corners", corners)
        _check_name(self.name)
        crossing = _self_intersection(corners)
        if crossing is not None:
            raise MorvexError(f"gauge corners {list(corners)} cross themselves (edges "
                              f"{crossing[0] + 1} and {crossing[1] + 1})")
        if abs(_signed_area(corners)) < 1e-12:
            raise MorvexError(f"gauge corners {list(corners)} enclose no area")

    @classmethod
    def rectangle(cls, x0: float, y0: float, x1: float, y1: float, name: str = "") -> Gauge:
        """The axis-aligned rectangle with opposite corners (x0, y0) and (x1, y1) px."""
        _check_numbers("gauge", (x0, y0, x1, y1))
        return cls(((x0, y0), (x1, y0), (x1, y1), (x0, y1)), name)

    def vertices(self) -> tuple[tuple[float, float], ...]:
        return self.corners


@dataclasses.dataclass(frozen=True)
class Section:
    """A polyline of at least 2 (x, y) px vertices, sampled every ``step`` along its length.

    ``step`` in px; None takes the grid's step. Samples sit at 0, step, 2 step, ... from the
    first vertex, and at the last vertex.
    """

    points: tuple[tuple[float, float], ...]
    name: str = ""
    step: float | None = None
    kind = "section"

    def __post_init__(self) -> None:
        points = _check_vertices(self.kind, self.points, 2)
        object.__setattr__(self, "points", points)
        _check_name(self.name)
        if self.step is not None and (not _check_numbers(self.kind, (self.step,))
                                      or not self.step > 0):
            raise MorvexError(f"a section's step must be > 0 px, got {self.step!r}")
        if _polyline_length(points) < 1.0:
            raise MorvexError(f"section {list(points)} is shorter than 1 px")

    def vertices(self) -> tuple[tuple[float, float], ...]:
        return self.points

    def samples(self, step: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(distance along the polyline px, x px, y px) of the samples `step` px apart."""
        if not (isinstance(step, (int, float)) and math.isfinite(step) and step > 0):
            raise MorvexError(f"a section's step must be > 0 px, got {step!r}")
        vertices = np.asarray(self.points, dtype=float)
        lengths = np.hypot(*np.diff(vertices, axis=0).T)
        along = np.concatenate([[0.0], np.cumsum(lengths)])
        total = float(along[-1])
        count = int(math.floor(total / step + 1e-9))
        distance = np.arange(count + 1) * step
        if total - distance[-1] > 1e-9 * max(total, 1.0):
            distance = np.append(distance, total)
        distance[-1] = min(distance[-1], total)
        xs = np.interp(distance, along, vertices[:, 0])
        ys = np.interp(distance, along, vertices[:, 1])
        return distance, xs, ys


Probe = Point | Extensometer | Gauge | Section
_LETTERS = {"point": "P", "extensometer": "E", "gauge": "G", "section": "S"}


def named(probes: Iterable[Probe]) -> list[Probe]:
    """The probes with default names given (kind letter + rank among that kind: E1, E2, G1).

    Raises:
        MorvexError: for an item that is not a probe, or two probes with the same name.
    """
    out: list[Probe] = []
    counts: dict[str, int] = {}
    for item in probes:
        if not isinstance(item, (Point, Extensometer, Gauge, Section)):
            raise MorvexError(f"not a probe (Point, Extensometer, Gauge, Section): {item!r}")
        counts[item.kind] = counts.get(item.kind, 0) + 1
        if not item.name:
            item = dataclasses.replace(item, name=f"{_LETTERS[item.kind]}{counts[item.kind]}")
        out.append(item)
    seen: set[str] = set()
    for item in out:
        if item.name in seen:
            raise MorvexError(f"two probes are named {item.name!r}; give each its own name")
        seen.add(item.name)
    return out


# --- the grid -------------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class _Grid:
    xs: np.ndarray
    ys: np.ndarray
    x_mm: np.ndarray | None
    y_mm: np.ndarray | None

    @property
    def unit(self) -> str:
        return "px" if self.x_mm is None else "mm"

    def contains(self, x: float, y: float) -> bool:
        return bool(self.xs[0] <= x <= self.xs[-1] and self.ys[0] <= y <= self.ys[-1])

    def step(self) -> float:
        steps = [float(np.min(np.diff(a))) for a in (self.xs, self.ys) if a.size > 1]
        return min(steps) if steps else 1.0

    def to_unit(self, x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Positions px -> the output unit: mm interpolated in the dataset's own x_mm, y_mm
        (a plain scale, or the specimen plane's map, which is not linear in px)."""
        if self.x_mm is None or self.y_mm is None:
            return np.asarray(x, dtype=float), np.asarray(y, dtype=float)
        return (_at(self, self.x_mm[None], x, y)[0], _at(self, self.y_mm[None], x, y)[0])

    def weights(self, x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, ...]:
        """Bilinear (rows j, columns i, fx, fy) for positions inside the grid."""
        i, fx = _cell(self.xs, x)
        j, fy = _cell(self.ys, y)
        return j, i, fx, fy


def _cell(axis: np.ndarray, at: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    if axis.size == 1:
        return np.zeros(at.shape, dtype=int), np.zeros(at.shape)
    index = np.clip(np.searchsorted(axis, at, side="right") - 1, 0, axis.size - 2)
    fraction = (at - axis[index]) / (axis[index + 1] - axis[index])
    return index, fraction


def _grid(ds: xr.Dataset) -> _Grid:
    for name in ("x", "y"):
        if name not in ds.coords or ds[name].ndim != 1 or ds.sizes[name] == 0:
            raise MorvexError(f"the dataset has no grid coordinate {name!r} (open a store made "
                              "by morvex run)")
    xs = np.asarray(ds["x"].values, dtype=float)
    ys = np.asarray(ds["y"].values, dtype=float)
    if not ("x_mm" in ds.coords and "y_mm" in ds.coords and "u_mm" in ds and "v_mm" in ds):
        return _Grid(xs, ys, None, None)
    # A plain scale gives 1-D x_mm (x) and y_mm (y); the specimen plane 2-D maps (y, x).
    x_mm, y_mm = ds["x_mm"].broadcast_like(ds["y"]), ds["y_mm"].broadcast_like(ds["x"])
    return _Grid(xs, ys, np.asarray(x_mm.transpose("y", "x").values, dtype=float),
                 np.asarray(y_mm.transpose("y", "x").values, dtype=float))


def _at(grid: _Grid, values: np.ndarray, x: np.ndarray | float,
        y: np.ndarray | float) -> np.ndarray:
    """`values` (frame, y, x) at positions x, y px: (frame, position), NaN outside the grid."""
    x = np.atleast_1d(np.asarray(x, dtype=float))
    y = np.atleast_1d(np.asarray(y, dtype=float))
    j, i, fx, fy = grid.weights(x, y)
    j1 = np.minimum(j + 1, grid.ys.size - 1)
    i1 = np.minimum(i + 1, grid.xs.size - 1)
    out = np.zeros((values.shape[0], x.size))
    # A NaN corner with any weight spoils the value; one at zero weight (a position on a grid
    # line) plays no part, so a sample on a valid grid point keeps that point's value.
    for weight, rows, cols in (((1 - fx) * (1 - fy), j, i), (fx * (1 - fy), j, i1),
                               ((1 - fx) * fy, j1, i), (fx * fy, j1, i1)):
        out += weight * np.where(weight > 0, values[:, rows, cols], 0.0)
    inside = ((x >= grid.xs[0]) & (x <= grid.xs[-1]) & (y >= grid.ys[0]) & (y <= grid.ys[-1]))
    out[:, ~inside] = np.nan
    return np.asarray(out, dtype=float)


def _values(ds: xr.Dataset, name: str) -> np.ndarray:
    if name not in ds:
        raise MorvexError(f"the dataset has no field {name!r}; it holds "
                          + ", ".join(str(n) for n in ds.data_vars))
    array = ds[name]
    if array.dims != ("frame", "y", "x"):
        array = array.expand_dims("frame") if array.dims == ("y", "x") else array
        if array.dims != ("frame", "y", "x"):
            raise MorvexError(f"field {name!r} has dims {array.dims}, not (frame, y, x)")
    return np.asarray(array.values, dtype=float)


def _frames(ds: xr.Dataset) -> xr.Dataset:
    return ds if "frame" in ds.dims else ds.expand_dims("frame")


# --- reading ----------------------------------------------------------------------------------

def probe(data: xr.Dataset | Store | str | os.PathLike[str], probes: Iterable[Probe],
          times: Sequence[float] | np.ndarray | None = None) -> pd.DataFrame:
    """One row per frame: ``frame``, ``frame_name``, ``time [s]`` (when `times` is given),
    then every probe's values in the order given.

    A point gives ``u``, ``v`` (and ``exx``, ``eyy``, ``exy`` when the dataset has them); an
    extensometer ``elongation`` and ``strain [%]``; a gauge the mean ``exx``, ``eyy``,
    ``exy`` in % and ``points`` (the valid grid points averaged); a section the same means
    over its valid samples and ``samples``. Lengths and displacements are in mm when the
    dataset carries millimetre positions, else px.

    Args:
        data: a dataset (dims frame, y, x), a :class:`~morvex.store.Store` or a store's path.
        probes: Point, Extensometer, Gauge and Section objects.
        times: seconds, one per frame of the dataset.

    Raises:
        MorvexError: for a probe outside the grid, a duplicate name, a wrong number of times.
    """
    import pandas as pd

    ds = _frames(_dataset(data))
    grid = _grid(ds)
    chosen = named(probes)
    for item in chosen:
        _check_inside(grid, item)
    frames = ds.sizes["frame"]
    columns: dict[str, Any] = {
        "frame": np.asarray(ds["frame"].values if "frame" in ds.coords else np.arange(frames),
                            dtype=int),
        "frame_name": ([str(n) for n in ds["frame_name"].values] if "frame_name" in ds.coords
                       else [str(k) for k in range(frames)])}
    if times is not None:
        seconds = np.asarray(times, dtype=float)
        if seconds.shape != (frames,):
            raise MorvexError(f"times holds {seconds.size} values for {frames} frames")
        columns["time [s]"] = seconds
    for item in chosen:
        for label, values in _read(ds, grid, item).items():
            columns[f"{item.name} {label}"] = values
    return pd.DataFrame(columns)


def _dataset(data: object) -> xr.Dataset:
    import xarray as xr

    if isinstance(data, xr.Dataset):
        return data
    from .store import Store, open_store

    if isinstance(data, Store):
        return data.read()
    if isinstance(data, (str, os.PathLike)):
        return open_store(data)
    raise MorvexError(f"probe needs a dataset, a Store or a store's path, got "
                      f"{type(data).__name__}")


def _check_inside(grid: _Grid, item: Probe) -> None:
    for x, y in item.vertices():
        if not grid.contains(x, y):
            raise MorvexError(
                f"{item.kind} {item.name} has ({x:g}, {y:g}) px outside the measured grid "
                f"(x {grid.xs[0]:g} ... {grid.xs[-1]:g}, y {grid.ys[0]:g} ... {grid.ys[-1]:g} "
                "px)")


def _percent(values: np.ndarray) -> np.ndarray:
    return np.asarray(values * 100.0, dtype=float)


def _read(ds: xr.Dataset, grid: _Grid, item: Probe) -> dict[str, np.ndarray]:
    unit = grid.unit
    u_name, v_name = ("u", "v") if unit == "px" else ("u_mm", "v_mm")
    if isinstance(item, Point):
        out = {f"u [{unit}]": _at(grid, _values(ds, u_name), item.x, item.y)[:, 0],
               f"v [{unit}]": _at(grid, _values(ds, v_name), item.x, item.y)[:, 0]}
        for name in STRAINS:
            if name in ds:
                out[f"{name} [%]"] = _percent(_at(grid, _values(ds, name), item.x, item.y)[:, 0])
        return out
    if isinstance(item, Extensometer):
        elongation, strain = _extension(ds, grid, item)
        return {f"elongation [{unit}]": elongation, "strain [%]": _percent(strain)}
    if isinstance(item, Gauge):
        inside = _inside_polygon(grid, item.corners)
        if not inside.any():
            raise MorvexError(f"gauge {item.name} holds no grid point; draw it larger than the "
                              f"grid step ({grid.step():g} px)")
        out = {}
        counts = np.zeros(ds.sizes["frame"], dtype=int)
        for name in STRAINS:
            block = _values(ds, name)[:, inside]
            mean, counts = _mean(block)
            out[f"{name} [%]"] = _percent(mean)
        out["points"] = counts
        return out
    distance, xs, ys = item.samples(item.step or grid.step())
    out = {}
    counts = np.zeros(ds.sizes["frame"], dtype=int)
    for name in STRAINS:
        mean, counts = _mean(_at(grid, _values(ds, name), xs, ys))
        out[f"{name} [%]"] = _percent(mean)
    out["samples"] = counts
    return out


def _mean(block: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    finite = np.isfinite(block)
    counts = finite.sum(axis=1)
    total = np.where(finite, block, 0.0).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(counts > 0, total / np.maximum(counts, 1), np.nan)
    return np.asarray(mean, dtype=float), np.asarray(counts, dtype=int)


def _extension(ds: xr.Dataset, grid: _Grid, item: Extensometer) -> tuple[np.ndarray, np.ndarray]:
    """(elongation in the grid's unit, engineering strain) per frame."""
    unit = grid.unit
    u_name, v_name = ("u", "v") if unit == "px" else ("u_mm", "v_mm")
    px = np.array([item.x0, item.x1])
    py = np.array([item.y0, item.y1])
    ux, uy = grid.to_unit(px, py)
    u = _at(grid, _values(ds, u_name), px, py)
    v = _at(grid, _values(ds, v_name), px, py)
    length = math.hypot(ux[1] - ux[0], uy[1] - uy[0])
    moved = np.hypot((ux[1] + u[:, 1]) - (ux[0] + u[:, 0]), (uy[1] + v[:, 1]) - (uy[0] + v[:, 0]))
    elongation = moved - length
    return np.asarray(elongation, dtype=float), np.asarray(elongation / length, dtype=float)


def _inside_polygon(grid: _Grid, corners: Sequence[tuple[float, float]]) -> np.ndarray:
    """(y, x) mask of the grid points inside the polygon or on its edge (even-odd rule)."""
    x, y = np.meshgrid(grid.xs, grid.ys)
    inside = np.zeros(x.shape, dtype=bool)
    edge = np.zeros(x.shape, dtype=bool)
    tolerance = 1e-9 * max(1.0, float(np.abs(np.asarray(corners)).max()))
    n = len(corners)
    for k in range(n):
        (xa, ya), (xb, yb) = corners[k], corners[(k + 1) % n]
        crosses = (ya > y) != (yb > y)
        with np.errstate(invalid="ignore", divide="ignore"):
            at = xa + (y - ya) * (xb - xa) / np.where(yb != ya, yb - ya, 1.0)
        inside ^= crosses & (x < at)
        cross = (xb - xa) * (y - ya) - (yb - ya) * (x - xa)
        within = ((np.minimum(xa, xb) - tolerance <= x) & (x <= np.maximum(xa, xb) + tolerance)
                  & (np.minimum(ya, yb) - tolerance <= y) & (y <= np.maximum(ya, yb) + tolerance))
        edge |= within & (np.abs(cross) <= tolerance * max(1.0, math.hypot(xb - xa, yb - ya)))
    return inside | edge


def _signed_area(corners: Sequence[tuple[float, float]]) -> float:
    xs = np.array([c[0] for c in corners])
    ys = np.array([c[1] for c in corners])
    return float(0.5 * (xs * np.roll(ys, -1) - np.roll(xs, -1) * ys).sum())


def _self_intersection(corners: Sequence[tuple[float, float]]) -> tuple[int, int] | None:
    """The first pair of non-adjacent edges that touch or cross, or None."""
    n = len(corners)
    edges = [(corners[k], corners[(k + 1) % n]) for k in range(n)]
    for a in range(n):
        for b in range(a + 1, n):
            if b == a + 1 or (a == 0 and b == n - 1):
                continue
            if _segments_touch(*edges[a], *edges[b]):
                return a, b
    return None


def _segments_touch(p: tuple[float, float], q: tuple[float, float], r: tuple[float, float],
                    s: tuple[float, float]) -> bool:
    def orient(a: tuple[float, float], b: tuple[float, float], c: tuple[float, float]) -> float:
        return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])

    def on(a: tuple[float, float], b: tuple[float, float], c: tuple[float, float]) -> bool:
        return (min(a[0], b[0]) <= c[0] <= max(a[0], b[0])
                and min(a[1], b[1]) <= c[1] <= max(a[1], b[1]))

    d1, d2, d3, d4 = orient(r, s, p), orient(r, s, q), orient(p, q, r), orient(p, q, s)
    if ((d1 > 0) != (d2 > 0) and d1 != 0 and d2 != 0
            and (d3 > 0) != (d4 > 0) and d3 != 0 and d4 != 0):
        return True
    return ((d1 == 0 and on(r, s, p)) or (d2 == 0 and on(r, s, q))
            or (d3 == 0 and on(p, q, r)) or (d4 == 0 and on(p, q, s)))


def _polyline_length(points: Sequence[tuple[float, float]]) -> float:
    return float(sum(math.dist(points[k], points[k + 1]) for k in range(len(points) - 1)))


# --- sections ---------------------------------------------------------------------------------

def section_profile(ds: xr.Dataset, section: Section, frame: int,
                    quantity: str = "eyy") -> tuple[np.ndarray, np.ndarray]:
    """(position along the section, value) of `quantity` in one frame.

    Positions are in mm when the dataset carries millimetre positions, else px; strains stay
    fractions (0.01 is 1 %). `frame` is a position in the dataset (negative from the end).

    Raises:
        MorvexError: for an unknown quantity, a frame outside the dataset, a vertex outside
            the grid.
    """
    data = section_map(ds, section, quantity)
    count = data.sizes["frame"]
    if isinstance(frame, bool) or not isinstance(frame, (int, np.integer)) or not (
            -count <= frame < count):
        raise MorvexError(f"frame {frame!r} is outside the dataset's {count} frames")
    return (np.asarray(data["position"].values, dtype=float),
            np.asarray(data.values[:, int(frame)], dtype=float))


def section_map(ds: xr.Dataset, section: Section, quantity: str = "eyy") -> xr.DataArray:
    """`quantity` along the section in every frame: dims (position, frame).

    ``position`` is the distance from the first vertex (mm when the dataset carries
    millimetre positions, else px); coordinates ``x``, ``y`` (px) say where each sample is.
    """
    return section_maps(ds, [section], quantity)[0]


def section_maps(ds: xr.Dataset, sections: Sequence[Section],
                 quantity: str = "eyy") -> list[xr.DataArray]:
    """:func:`section_map` of each section, the field read once and all their samples
    interpolated together (the same numbers, without one pass over the field per section).

    Raises:
        MorvexError: for an item that is not a Section, a vertex outside the grid, an
            unknown quantity.
    """
    import xarray as xr

    ds = _frames(ds)
    grid = _grid(ds)
    placed = []
    for section in sections:
        if not isinstance(section, Section):
            raise MorvexError(f"section_map needs a Section, got {section!r}")
        item = dataclasses.replace(section, name=section.name or "S1")
        _check_inside(grid, item)
        distance, xs, ys = item.samples(item.step or grid.step())
        if grid.unit == "mm":
            mx, my = grid.to_unit(xs, ys)
            steps = np.hypot(np.diff(mx), np.diff(my))
            position = np.concatenate([[0.0], np.cumsum(steps)])
        else:
            position = distance
        placed.append((item, xs, ys, position))
    if not placed:
        return []
    values = _at(grid, _values(ds, quantity), np.concatenate([p[1] for p in placed]),
                 np.concatenate([p[2] for p in placed])).T
    frames = ds["frame"].values if "frame" in ds.coords else np.arange(ds.sizes["frame"])
    units = str(ds[quantity].attrs.get("units", ""))
    out = []
    first = 0
    for item, xs, ys, position in placed:
        out.append(xr.DataArray(
            values[first:first + xs.size], dims=("position", "frame"),
            coords={"position": ("position", position, {"units": grid.unit}),
                    "frame": frames, "x": ("position", xs, {"units": "px"}),
                    "y": ("position", ys, {"units": "px"})},
            name=quantity, attrs={"units": units, "section": item.name}))
        first += xs.size
    return out


# --- descriptions -----------------------------------------------------------------------------

def coordinates(ds: xr.Dataset, item: Probe) -> dict[str, np.ndarray | None]:
    """A probe's vertices, (n, 2) as (x, y): ``px`` and ``mm`` (None for a run without mm)."""
    grid = _grid(_frames(ds))
    vertices = np.asarray(named([item])[0].vertices(), dtype=float)
    if grid.unit == "px":
        return {"px": vertices, "mm": None}
    mx, my = grid.to_unit(vertices[:, 0], vertices[:, 1])
    return {"px": vertices, "mm": np.column_stack([mx, my])}


def describe(ds: xr.Dataset, probes: Iterable[Probe]) -> list[str]:
    """One line per probe: name, kind, vertices in px (and mm when the dataset is metric)."""
    grid = _grid(_frames(ds))
    lines = []
    for item in named(probes):
        where = coordinates(ds, item)
        text = f"{item.name}: {item.kind}, px " + _pairs(np.asarray(item.vertices(), dtype=float))
        if where["mm"] is not None:
            text += ", mm " + _pairs(where["mm"])
        if isinstance(item, Section):
            text += f", step {item.step or grid.step():g} px"
        lines.append(text)
    return lines


def _pairs(vertices: np.ndarray) -> str:
    return " ".join(f"({x:.6g}, {y:.6g})" for x, y in vertices)
