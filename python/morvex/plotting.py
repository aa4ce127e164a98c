"""Fields drawn over the reference image."""

from __future__ import annotations

from typing import Any

import numpy as np
import xarray as xr

from ._errors import MorvexError
from .io import ImageLike, as_image

_STRAINS = ("exx", "eyy", "exy", "du_dx", "du_dy", "dv_dx", "dv_dy")
_LABELS = {"u": "u", "v": "v", "exx": "εxx", "eyy": "εyy", "exy": "εxy", "zncc": "ZNCC",
           "sigma_u": "σu", "sigma_v": "σv", "u_mm": "u", "v_mm": "v"}


def _frame(ds: xr.Dataset, frame: int) -> xr.Dataset:
    if "frame" not in ds.dims:
        return ds
    count = ds.sizes["frame"]
    if count == 0:
        raise MorvexError("the dataset holds no complete frame")
    if not -count <= frame < count:
        raise MorvexError(f"frame {frame} is outside the {count} frames (0 ... {count - 1}, or "
                          "negative from the end)")
    return ds.isel(frame=frame)


def _background(ds: xr.Dataset, background: ImageLike | None) -> np.ndarray | None:
    if background is not None:
        return as_image(background, "background")
    if "reference_image" in ds:
        return np.asarray(ds["reference_image"].values, dtype=np.float64)
    return None


def _axes(ax: Any, shape: tuple[float, float]) -> Any:
    """`ax`, or a new figure sized to a field of `shape` (height, width) with a colour bar."""
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    aspect = shape[0] / shape[1] if shape[1] > 0 else 1.0
    height = min(9.0, max(4.0, 6.0 * aspect))
    width = min(12.0, max(4.5, height / aspect + 1.8))
    return plt.figure(figsize=(width, height), layout="constrained").add_subplot()


def _extent_shape(ds: xr.Dataset, image: np.ndarray | None) -> tuple[float, float]:
    if image is not None:
        return float(image.shape[0]), float(image.shape[1])
    return float(np.ptp(ds["y"].values) + 1.0), float(np.ptp(ds["x"].values) + 1.0)


def plot(ds: xr.Dataset, field: str = "exx", frame: int = -1,
         background: ImageLike | None = None, ax: Any = None, *, alpha: float = 0.75,
         cmap: str = "jet", vmin: float | None = None, vmax: float | None = None) -> Any:
    """Draw one field over the reference image.

    Each grid point paints a square of one step around its subset centre, semi-transparent;
    invalid and masked points are not drawn.

    Args:
        ds: a dataset from :func:`morvex.correlate`, :func:`morvex.correlate_sequence` or
            :func:`morvex.open_store`.
        field: a variable with dims (y, x): u, v (px), exx, eyy, exy (shown in %), zncc,
            sigma_u, sigma_v (px), u_mm, v_mm (mm), ...
        frame: frame index for sequences (negative from the end); ignored for a pair.
        background: image (array or path) under the field; default the stored reference.
        ax: matplotlib Axes to draw into; default a new figure.
        alpha: opacity of the field, 0..1.
        cmap, vmin, vmax: colour map and limits (in the units shown).

    Returns:
        The matplotlib Axes.

    Raises:
        MorvexError: for an unknown field or a frame outside the sequence.

    Example:
        >>> ax = morvex.plot(ds, "exx")                      # doctest: +SKIP
        >>> ax.figure.savefig("exx.png", dpi=150)            # doctest: +SKIP
    """
    data = _frame(ds, frame)
    values, label = _field(data, field)
    image = _background(ds, background)
    ax = _axes(ax, _extent_shape(data, image))
    if image is not None:
        ax.imshow(image, cmap="gray", interpolation="nearest")
    x, y = data["x"].values, data["y"].values
    step = float(x[1] - x[0]) if x.size > 1 else float(y[1] - y[0]) if y.size > 1 else 1.0
    extent = (x[0] - step / 2, x[-1] + step / 2, y[-1] + step / 2, y[0] - step / 2)
    shown = ax.imshow(np.ma.masked_invalid(values), extent=extent, alpha=alpha, cmap=cmap,
                      vmin=vmin, vmax=vmax, interpolation="nearest")
    if image is None:
        ax.set_xlim(extent[0], extent[1])
        ax.set_ylim(extent[2], extent[3])
    ax.figure.colorbar(shown, ax=ax, label=label, shrink=0.85)
    ax.set_xlabel("x [px]")
    ax.set_ylabel("y [px]")
    ax.set_title(_title(data, field))
    return ax


def plot_vectors(ds: xr.Dataset, frame: int = -1, background: ImageLike | None = None,
                 ax: Any = None, *, every: int = 1, scale: float | None = None,
                 color: str = "yellow") -> Any:
    """Draw the displacement vectors (u, v) at the subset centres over the reference image.

    Args:
        ds, frame, background, ax: as :func:`plot`.
        every: draw every n-th point along each axis (>= 1).
        scale: arrow length per px of displacement, in px; default so the longest arrow is
            about two grid steps.
        color: arrow colour.

    Returns:
        The matplotlib Axes.

    Raises:
        MorvexError: for a frame outside the sequence or `every` below 1.

    Example:
        >>> morvex.plot_vectors(ds, every=2).figure.savefig("vectors.png")   # doctest: +SKIP
    """
    if isinstance(every, bool) or not isinstance(every, int) or every < 1:
        raise MorvexError(f"every must be an integer >= 1, got {every!r}")
    data = _frame(ds, frame).isel(y=slice(None, None, every), x=slice(None, None, every))
    image = _background(ds, background)
    ax = _axes(ax, _extent_shape(data, image))
    if image is not None:
        ax.imshow(image, cmap="gray", interpolation="nearest")
    x, y = np.meshgrid(data["x"].values, data["y"].values)
    u, v = data["u"].values, data["v"].values
    longest = np.nanmax(np.hypot(u, v)) if np.isfinite(u).any() else 0.0
    step = float(np.diff(data["x"].values[:2])[0]) if data.sizes["x"] > 1 else 10.0
    if scale is None:
        scale = 2.0 * step / longest if longest > 0 else 1.0
    ax.quiver(x, y, u * scale, v * scale, angles="xy", scale_units="xy", scale=1.0,
              color=color, width=0.003)
    if image is None:
        ax.invert_yaxis()
    ax.set_xlabel("x [px]")
    ax.set_ylabel("y [px]")
    ax.set_title(f"displacement (arrows x{scale:.3g}){_frame_suffix(data)}")
    return ax


def _field(data: xr.Dataset, field: str) -> tuple[np.ndarray, str]:
    if field not in data or data[field].dims != ("y", "x"):
        known = sorted(n for n in data.data_vars if data[n].dims == ("y", "x"))
        raise MorvexError(f"unknown field {field!r}; choose one of {', '.join(known)}")
    values = np.asarray(data[field].values, dtype=np.float64)
    name = _LABELS.get(field, field)
    if field in _STRAINS:
        return values * 100.0, f"{name} [%]"
    units = data[field].attrs.get("units", "")
    return values, f"{name} [{units}]" if units and units != "1" else name


def _frame_suffix(data: xr.Dataset) -> str:
    if "frame" in data.coords and data["frame"].ndim == 0:
        name = data["frame_name"].item() if "frame_name" in data.coords else ""
        return f", frame {int(data['frame'])}" + (f" ({name})" if name else "")
    return ""


def _title(data: xr.Dataset, field: str) -> str:
    valid = float(data["valid"].mean()) if "valid" in data else float("nan")
    return f"{field}{_frame_suffix(data)}, {valid:.1%} valid"
