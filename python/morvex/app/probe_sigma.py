"""How well each probe value is known, from the store's displacement uncertainties.

The store keeps σu and σv (px) at every grid point; a probe's σ follows from them the way
its value follows from u and v, treating the points' errors as independent:

- a point's u, v: σu, σv interpolated where it sits (bilinearly, as the value is);
- an extensometer's elongation: each end's σ along the segment, sqrt(σa² + σb²), and its
  strain that over the length;
- a strain over a base b (a displacement difference across b): sqrt(2) σ / b, σ the median
  displacement σ along the strain's direction (exy: half the two shears' in quadrature).
  A point's base is two grid steps (a central difference), a gauge's or a section's the
  extent of what it averages along x or y, never less than that.

Strains are in %, lengths in the probe table's unit (mm when the dataset carries mm).
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from ..probe import Extensometer, Gauge, Point, Probe, _at, _Grid, _grid, _inside_polygon

if TYPE_CHECKING:
    import xarray as xr

SIGMAS = ("sigma_u", "sigma_v")


def _scale(grid: _Grid) -> float:
    """The table's length unit per px: 1 in px, the median mm per px of the grid else."""
    if grid.x_mm is None or grid.xs.size < 2:
        return 1.0
    per_px = np.abs(np.diff(grid.x_mm, axis=1)) / np.diff(grid.xs)[None, :]
    value = float(np.nanmedian(per_px))
    return value if math.isfinite(value) and value > 0 else 1.0


def _median(values: np.ndarray) -> np.ndarray:
    """Per frame (axis 0) median of the finite values, NaN where none is."""
    out = np.full(values.shape[0], np.nan)
    for frame, row in enumerate(values.reshape(values.shape[0], -1)):
        finite = row[np.isfinite(row)]
        if finite.size:
            out[frame] = float(np.median(finite))
    return out


def _strains(su: np.ndarray, sv: np.ndarray, base_x: float, base_y: float) -> dict[str, np.ndarray]:
    """σ of exx, eyy, exy in % from displacement σ (px) and the bases (px) along x and y."""
    exx = math.sqrt(2.0) * su / base_x
    eyy = math.sqrt(2.0) * sv / base_y
    exy = 0.5 * np.hypot(math.sqrt(2.0) * su / base_y, math.sqrt(2.0) * sv / base_x)
    return {"exx [%]": 100.0 * exx, "eyy [%]": 100.0 * eyy, "exy [%]": 100.0 * exy}


def probe_sigmas(ds: xr.Dataset, item: Probe) -> dict[str, np.ndarray]:
    """σ of each of `item`'s columns (named without the probe's name, as in
    :func:`morvex.probe.probe`), one per frame; empty when the dataset has no σu, σv.
    Counts (points, samples) have none."""
    if not all(name in ds for name in SIGMAS):
        return {}
    grid = _grid(ds)
    su_all = np.asarray(ds["sigma_u"].values, dtype=float)
    sv_all = np.asarray(ds["sigma_v"].values, dtype=float)
    if su_all.ndim == 2:
        su_all, sv_all = su_all[None], sv_all[None]
    unit = grid.unit
    scale = _scale(grid)
    step = grid.step()
    if isinstance(item, Point):
        su = _at(grid, su_all, item.x, item.y)[:, 0]
        sv = _at(grid, sv_all, item.x, item.y)[:, 0]
        out = {f"u [{unit}]": su * scale, f"v [{unit}]": sv * scale}
        out.update(_strains(su, sv, 2 * step, 2 * step))
        return out
    if isinstance(item, Extensometer):
        px = np.array([item.x0, item.x1])
        py = np.array([item.y0, item.y1])
        length = math.hypot(px[1] - px[0], py[1] - py[0])
        cos, sin = (px[1] - px[0]) / length, (py[1] - py[0]) / length
        su, sv = _at(grid, su_all, px, py), _at(grid, sv_all, px, py)
        along = np.sqrt(((cos * su) ** 2 + (sin * sv) ** 2).sum(axis=1))
        return {f"elongation [{unit}]": along * scale, "strain [%]": 100.0 * along / length}
    if isinstance(item, Gauge):
        inside = _inside_polygon(grid, item.corners)
        rows, cols = np.nonzero(inside)
        if rows.size == 0:
            return {}
        su, sv = _median(su_all[:, inside]), _median(sv_all[:, inside])
        xs, ys = grid.xs[cols], grid.ys[rows]
    else:
        _, xs, ys = item.samples(item.step or step)
        su, sv = _median(_at(grid, su_all, xs, ys)), _median(_at(grid, sv_all, xs, ys))
    base_x = max(float(np.ptp(xs)), 2 * step)
    base_y = max(float(np.ptp(ys)), 2 * step)
    return _strains(su, sv, base_x, base_y)


def table_scale(ds: xr.Dataset) -> tuple[str, float]:
    """(the probe table's length unit, that unit per px) for this dataset."""
    grid = _grid(ds)
    return grid.unit, _scale(grid)


def field_sigma(point: dict[str, np.ndarray], name: str, unit: str,
                scale: float) -> np.ndarray | None:
    """σ per frame, in stored units (px, or a strain fraction), of the field `name` at a
    point whose columns' σ `point` holds (:func:`probe_sigmas`, table `unit` and `scale` per
    px); None for a field without one (ZNCC, σ itself, status) or a store without σ."""
    if not point:
        return None
    if name in ("u", "v"):
        return point[f"{name} [{unit}]"] / scale
    if name == "magnitude":
        return np.asarray(np.hypot(point[f"u [{unit}]"], point[f"v [{unit}]"]) / scale)
    if name in ("exx", "eyy", "exy"):
        return point[f"{name} [%]"] / 100.0
    return None
