"""What the probes read from a results dataset: a point, a line, an extensometer, a gauge.

All positions are reference-image pixels (x to the right, y downwards), as the grid's
coordinates are. Values come from the stored grid only: the nearest grid point for a point
probe and a line profile, bilinear interpolation of u and v between grid points for the
extensometer's two ends (a segment's strain is about where its ends moved).
"""

from __future__ import annotations

import math
from typing import cast

import numpy as np
import xarray as xr

from .._errors import MorvexError

FIELDS = ("u", "v", "magnitude", "exx", "eyy", "exy", "zncc", "sigma_u", "sigma_v", "status")


def field(ds: xr.Dataset, name: str) -> xr.DataArray:
    """A field with dims (frame, y, x); ``magnitude`` is the length of (u, v)."""
    if name == "magnitude":
        return cast("xr.DataArray", np.hypot(ds["u"], ds["v"]))  # NumPy keeps the DataArray
    if name not in FIELDS or name not in ds:
        raise MorvexError(f"unknown field {name!r}; choose one of {', '.join(FIELDS)}")
    return ds[name]


def nearest(ds: xr.Dataset, x: float, y: float) -> tuple[int, int]:
    """(row, column) of the grid point nearest (x, y) px."""
    _finite(x, y)
    return (int(np.abs(ds["y"].values - y).argmin()), int(np.abs(ds["x"].values - x).argmin()))


def point_series(ds: xr.Dataset, name: str, x: float, y: float) -> np.ndarray:
    """The field at the grid point nearest (x, y), one value per frame (NaN where invalid)."""
    row, col = nearest(ds, x, y)
    return np.asarray(field(ds, name).values[:, row, col], dtype=float)


def line_profile(ds: xr.Dataset, name: str, frame: int, start: tuple[float, float],
                 end: tuple[float, float]) -> tuple[np.ndarray, np.ndarray]:
    """(distance from `start` in px, value) along the segment, one sample per grid step."""
    _finite(*start, *end)
    length = math.dist(start, end)
    step = float(np.diff(ds["x"].values[:2])[0]) if ds.sizes["x"] > 1 else 1.0
    count = max(2, int(length / step) + 1)
    t = np.linspace(0.0, 1.0, count)
    xs = start[0] + t * (end[0] - start[0])
    ys = start[1] + t * (end[1] - start[1])
    rows = np.abs(ds["y"].values[None, :] - ys[:, None]).argmin(axis=1)
    cols = np.abs(ds["x"].values[None, :] - xs[:, None]).argmin(axis=1)
    values = field(ds, name).values[frame][rows, cols]
    return t * length, np.asarray(values, dtype=float)


def bilinear(ds: xr.Dataset, values: np.ndarray, x: float, y: float) -> float:
    """`values` (y, x) on the grid at (x, y) px; NaN outside the grid or next to an invalid
    point."""
    xs, ys = ds["x"].values, ds["y"].values
    if not (xs[0] <= x <= xs[-1] and ys[0] <= y <= ys[-1]):
        return math.nan
    i = min(int(np.searchsorted(xs, x, side="right")) - 1, xs.size - 2) if xs.size > 1 else 0
    j = min(int(np.searchsorted(ys, y, side="right")) - 1, ys.size - 2) if ys.size > 1 else 0
    if xs.size == 1 or ys.size == 1:
        return float(values[j, i])
    fx = (x - xs[i]) / (xs[i + 1] - xs[i])
    fy = (y - ys[j]) / (ys[j + 1] - ys[j])
    corners = values[j:j + 2, i:i + 2]
    weights = np.array([[(1 - fx) * (1 - fy), fx * (1 - fy)], [(1 - fx) * fy, fx * fy]])
    return float((corners * weights).sum())


def extensometer(ds: xr.Dataset, start: tuple[float, float],
                 end: tuple[float, float]) -> np.ndarray:
    """Engineering strain (change of length / length) of the segment, one value per frame.

    Raises:
        MorvexError: for ends closer than one pixel.
    """
    _finite(*start, *end)
    length = math.dist(start, end)
    if length < 1.0:
        raise MorvexError(f"the extensometer's ends are {length:.2f} px apart; draw a longer "
                          "segment")
    out = np.empty(ds.sizes["frame"])
    for k in range(ds.sizes["frame"]):
        u, v = ds["u"].values[k], ds["v"].values[k]
        moved = [(px + bilinear(ds, u, px, py), py + bilinear(ds, v, px, py))
                 for px, py in (start, end)]
        out[k] = math.dist(*moved) / length - 1.0
    return out


def gauge(ds: xr.Dataset, corner0: tuple[float, float],
          corner1: tuple[float, float]) -> dict[str, np.ndarray]:
    """Mean exx, eyy, exy of the valid grid points inside the rectangle, one per frame.

    Raises:
        MorvexError: when the rectangle holds no grid point.
    """
    _finite(*corner0, *corner1)
    xs, ys = ds["x"].values, ds["y"].values
    cols = (xs >= min(corner0[0], corner1[0])) & (xs <= max(corner0[0], corner1[0]))
    rows = (ys >= min(corner0[1], corner1[1])) & (ys <= max(corner0[1], corner1[1]))
    if not cols.any() or not rows.any():
        raise MorvexError("the strain gauge holds no grid point; draw a larger rectangle")
    out = {}
    for name in ("exx", "eyy", "exy"):
        block = ds[name].values[:, rows][:, :, cols].reshape(ds.sizes["frame"], -1)
        with np.errstate(invalid="ignore"):
            counts = np.isfinite(block).sum(axis=1)
            out[name] = np.where(counts > 0, np.nansum(block, axis=1) / np.maximum(counts, 1),
                                 np.nan)
    return out


def load_table(path: str) -> np.ndarray:
    """A load per frame from a CSV file: the last numeric column, one row per frame.

    Raises:
        MorvexError: when the file holds no numeric column.
    """
    import pandas as pd

    try:
        table = pd.read_csv(path)
    except Exception as error:  # pandas raises many types for a malformed file
        raise MorvexError(f"cannot read the load file {path}: {error}") from None
    numeric = table.select_dtypes("number")
    if numeric.shape[1] == 0 or numeric.shape[0] == 0:
        raise MorvexError(f"the load file {path} holds no numeric column (one row per frame)")
    return np.asarray(numeric.iloc[:, -1].to_numpy(dtype=float))


def _finite(*values: float) -> None:
    for value in values:
        if not isinstance(value, (int, float)) or not math.isfinite(value):
            raise MorvexError(f"a probe position must be a finite number of px, got {value!r}")
