"""Fields drawn over the reference or deformed image, single frames and animations."""

from __future__ import annotations

import math
import numbers
import os
import pathlib
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from ._errors import MorvexError
from .io import ImageLike, as_image

if TYPE_CHECKING:
    import xarray as xr

ROBUST_PERCENTILES = (2.0, 98.0)  # default colour limits: one outlier cannot flatten the scale

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
         cmap: str = "jet", vmin: float | None = None, vmax: float | None = None,
         percentiles: tuple[float, float] | None = ROBUST_PERCENTILES,
         on: str = "reference") -> Any:
    """Draw one field over the reference image, or over the deformed image.

    On the reference, each grid point paints a square of one step around its subset centre,
    semi-transparent. On the deformed image (``on="deformed"``, with that frame's image as
    `background`) every point moves to where it went, ``(x + u, y + v)``, and the field is
    shaded over the cells of the displaced grid whose corners are all valid. Invalid and
    masked points are not drawn.

    Args:
        ds: a dataset from :func:`morvex.correlate`, :func:`morvex.correlate_sequence` or
            :func:`morvex.open_store`.
        field: a variable with dims (y, x): u, v (px), exx, eyy, exy (shown in %), zncc,
            sigma_u, sigma_v (px), u_mm, v_mm (mm), ...
        frame: frame index for sequences (negative from the end); ignored for a pair.
        background: image (array or path) under the field; default the stored reference.
            Required for ``on="deformed"``: the deformed image of `frame`.
        ax: matplotlib Axes to draw into; default a new figure.
        alpha: opacity of the field, 0..1.
        cmap: a matplotlib colour map name.
        vmin, vmax: colour limits in the units shown; a limit left None comes from
            `percentiles`.
        percentiles: (low, high) percentiles of the shown values that set the missing limits
            (default 2 and 98, so one outlier cannot flatten the scale; the colour bar says
            so); None for the full range.
        on: "reference" or "deformed".

    Returns:
        The matplotlib Axes.

    Raises:
        MorvexError: for an unknown field or colour map, a frame outside the sequence, bad
            limits, or ``on="deformed"`` without a background.

    Example:
        >>> ax = morvex.plot(ds, "exx", vmin=-0.5, vmax=1.5)   # doctest: +SKIP
        >>> ax.figure.savefig("exx.png", dpi=150)            # doctest: +SKIP
    """
    if on not in ("reference", "deformed"):
        raise MorvexError(f"on must be 'reference' or 'deformed', got {on!r}")
    if on == "deformed" and background is None:
        raise MorvexError("on='deformed' needs the frame's deformed image as background")
    data = _frame(ds, frame)
    values, label = _field(data, field)
    colours = colour_limits(values, vmin, vmax, percentiles)
    image = _background(ds, background)
    ax = _axes(ax, _extent_shape(data, image))
    if image is not None:
        ax.imshow(image, cmap="gray", interpolation="nearest")
    if on == "deformed":
        shown = _draw_displaced(ax, data, values, alpha, _colour_map(cmap), colours)
    else:
        x, y = data["x"].values, data["y"].values
        step = float(x[1] - x[0]) if x.size > 1 else float(y[1] - y[0]) if y.size > 1 else 1.0
        extent = (x[0] - step / 2, x[-1] + step / 2, y[-1] + step / 2, y[0] - step / 2)
        shown = ax.imshow(np.ma.masked_invalid(values), extent=extent, alpha=alpha,
                          cmap=_colour_map(cmap), vmin=colours.vmin, vmax=colours.vmax,
                          interpolation="nearest")
        if image is None:
            ax.set_xlim(extent[0], extent[1])
            ax.set_ylim(extent[2], extent[3])
    ax.figure.colorbar(shown, ax=ax, label=label + colours.note, shrink=0.85)
    ax.set_xlabel("x [px]")
    ax.set_ylabel("y [px]")
    _set_title(ax, _title(data, field) + (", on the deformed image" if on == "deformed" else ""))
    return ax


class ColourLimits(NamedTuple):
    """Colour limits of a plot and how they were chosen (appended to the colour bar label)."""

    vmin: float | None
    vmax: float | None
    note: str


def colour_limits(values: np.ndarray, vmin: float | None = None, vmax: float | None = None,
                  percentiles: tuple[float, float] | None = ROBUST_PERCENTILES) -> ColourLimits:
    """Colour limits for `values`: the given ones, the rest from robust percentiles.

    Non-finite values are ignored. Without finite values (or with `percentiles` None) a
    missing limit stays None, which matplotlib reads as the full range.

    Raises:
        MorvexError: for a non-finite limit, vmin >= vmax, or percentiles outside
            0 <= low < high <= 100.
    """
    for name, limit in (("vmin", vmin), ("vmax", vmax)):
        if limit is not None and (isinstance(limit, bool) or not isinstance(limit, numbers.Real)
                                  or not math.isfinite(limit)):
            raise MorvexError(f"{name} must be a finite number, got {limit!r}")
    if vmin is not None and vmax is not None and vmin >= vmax:
        raise MorvexError(f"vmin must be below vmax, got {vmin} and {vmax}")
    if percentiles is not None:
        try:
            low, high = (float(p) for p in percentiles)
        except (TypeError, ValueError):
            raise MorvexError(f"percentiles must be two numbers (low, high), got "
                              f"{percentiles!r}") from None
        if not 0.0 <= low < high <= 100.0:
            raise MorvexError(f"percentiles must satisfy 0 <= low < high <= 100, got "
                              f"{percentiles!r}")
    if vmin is not None and vmax is not None:
        return ColourLimits(float(vmin), float(vmax), "")
    finite = np.asarray(values, dtype=np.float64)
    finite = finite[np.isfinite(finite)]
    if percentiles is None or finite.size == 0:
        return ColourLimits(vmin, vmax, "")
    robust_low, robust_high = (float(v) for v in np.percentile(finite, (low, high)))
    if robust_low == robust_high:  # a constant field: any scale around it shows one colour
        robust_low, robust_high = robust_low - 0.5, robust_high + 0.5
    if vmin is None and vmax is None:
        note = f"\n(limits: percentiles {low:g} and {high:g})"
    else:
        note = f"\n(vmin: percentile {low:g})" if vmin is None else f"\n(vmax: percentile {high:g})"
    new_vmin = float(vmin) if vmin is not None else robust_low
    new_vmax = float(vmax) if vmax is not None else robust_high
    if new_vmin >= new_vmax:  # one given limit lies beyond the other's robust value
        raise MorvexError(f"colour limits {new_vmin:g} .. {new_vmax:g} are empty; give both "
                          "vmin and vmax")
    return ColourLimits(new_vmin, new_vmax, note)


def animate(ds: xr.Dataset, path: str | os.PathLike[str], field: str = "exx",
            frames: Sequence[int] | None = None, *, fps: float = 4.0, cmap: str = "jet",
            vmin: float | None = None, vmax: float | None = None,
            percentiles: tuple[float, float] | None = ROBUST_PERCENTILES,
            backgrounds: Callable[[int], ImageLike] | None = None, on: str = "reference",
            alpha: float = 0.75, dpi: int = 100) -> pathlib.Path:
    """Write an animation of `field` over the frames of a sequence, one scale for all frames.

    The colour limits are chosen once from every shown frame's values together (the given
    vmin/vmax, the rest from `percentiles`), so colours mean the same in every frame.

    Args:
        ds: a sequence dataset (dims frame, y, x).
        path: a ``.gif`` (written with Pillow) or ``.mp4`` (needs the ffmpeg program).
        field, cmap, vmin, vmax, percentiles, on, alpha: as :func:`plot`.
        frames: frame indices to show (negative from the end); default every frame.
        fps: frames per second, > 0.
        backgrounds: called with a frame index, returns the image under that frame
            (required for ``on="deformed"``); default the stored reference.
        dpi: resolution of the written frames.

    Returns:
        The path written.

    Raises:
        MorvexError: for a dataset without frames, a suffix other than .gif or .mp4, .mp4
            without ffmpeg (suggesting .gif), or any argument :func:`plot` refuses.
    """
    import matplotlib.animation as animation
    import matplotlib.pyplot as plt

    path = pathlib.Path(path)
    suffix = path.suffix.lower()
    if "frame" not in ds.dims or ds.sizes["frame"] == 0:
        raise MorvexError("an animation needs a sequence with at least one complete frame")
    if suffix not in (".gif", ".mp4"):
        raise MorvexError(f"an animation is written as .gif or .mp4, got {path.name}")
    if suffix == ".mp4" and not animation.writers.is_available("ffmpeg"):
        raise MorvexError(f"writing {path.name} needs the ffmpeg program, which is not "
                          f"installed; write {path.with_suffix('.gif').name} instead")
    if isinstance(fps, bool) or not isinstance(fps, numbers.Real) or not fps > 0:
        raise MorvexError(f"fps must be a number > 0, got {fps!r}")
    if on == "deformed" and backgrounds is None:
        raise MorvexError("on='deformed' needs the frames' deformed images (backgrounds)")
    if not path.parent.is_dir():
        raise MorvexError(f"cannot write {path}: the folder {path.parent} does not exist")
    count = ds.sizes["frame"]
    indices = list(range(count)) if frames is None else [int(k) for k in frames]
    for k in indices:
        _frame(ds, k)  # names a frame outside the sequence before any drawing
    indices = [k % count for k in indices]
    shown = np.stack([_field(ds.isel(frame=k), field)[0] for k in indices])
    colours = colour_limits(shown, vmin, vmax, percentiles)
    limits = dict(vmin=colours.vmin, vmax=colours.vmax, percentiles=None)

    def draw(position: int) -> Any:
        k = indices[position]
        background = backgrounds(k) if backgrounds is not None else None
        ax = plot(ds, field, k, background, None, alpha=alpha, cmap=cmap, on=on, **limits)
        # The colour bar tells how the shared limits were chosen, as a single plot's would.
        ax.figure.axes[-1].set_ylabel(ax.figure.axes[-1].get_ylabel() + colours.note)
        return ax

    first = draw(0)
    figure = first.figure
    writer = (animation.PillowWriter(fps=fps) if suffix == ".gif"
              else animation.FFMpegWriter(fps=fps))
    temporary = path.with_name(f".{path.name}.tmp{suffix}")
    try:
        with writer.saving(figure, str(temporary), dpi):
            writer.grab_frame()
            for position in range(1, len(indices)):
                # A fresh figure per frame: the deformed background and the displaced grid
                # differ from frame to frame, so nothing of the last frame may linger.
                ax = draw(position)
                if ax.figure.get_size_inches().tolist() != figure.get_size_inches().tolist():
                    ax.figure.set_size_inches(figure.get_size_inches())
                writer.fig = ax.figure
                writer.grab_frame()
                plt.close(ax.figure)
        os.replace(temporary, path)
    except OSError as error:
        raise MorvexError(f"cannot write {path}: {error.strerror or error}") from None
    finally:
        plt.close(figure)
        if temporary.exists():
            temporary.unlink()
    return path


MAX_ARROWS = 40  # along the longer side of a vector plot: more merge into a solid carpet


def plot_vectors(ds: xr.Dataset, frame: int = -1, background: ImageLike | None = None,
                 ax: Any = None, *, every: int | None = None, scale: float | None = None,
                 color: str = "yellow") -> Any:
    """Draw the displacement vectors (u, v) at the subset centres over the reference image.

    A key arrow in the lower right corner gives the length of a round displacement in px.

    Args:
        ds, frame, background, ax: as :func:`plot`.
        every: draw every n-th point along each axis (>= 1); default so that at most
            MAX_ARROWS (40) arrows stand along the grid's longer side.
        scale: arrow length per px of displacement, in px; default so the longest arrow is
            one step of the drawn arrows (longer ones would run into their neighbours).
        color: arrow colour.

    Returns:
        The matplotlib Axes.

    Raises:
        MorvexError: for a frame outside the sequence or `every` below 1.

    Example:
        >>> morvex.plot_vectors(ds).figure.savefig("vectors.png")   # doctest: +SKIP
    """
    if every is not None and (isinstance(every, bool) or not isinstance(every, int)
                              or every < 1):
        raise MorvexError(f"every must be an integer >= 1, got {every!r}")
    data = _frame(ds, frame)
    if every is None:
        every = max(1, math.ceil(max(data.sizes["y"], data.sizes["x"]) / MAX_ARROWS))
    data = data.isel(y=slice(None, None, every), x=slice(None, None, every))
    image = _background(ds, background)
    ax = _axes(ax, _extent_shape(data, image))
    if image is not None:
        ax.imshow(image, cmap="gray", interpolation="nearest")
    x, y = np.meshgrid(data["x"].values, data["y"].values)
    u, v = data["u"].values, data["v"].values
    longest = float(np.nanmax(np.hypot(u, v))) if np.isfinite(u).any() else 0.0
    step = float(np.diff(data["x"].values[:2])[0]) if data.sizes["x"] > 1 else 10.0
    if scale is None:
        scale = step / longest if longest > 0 else 1.0
    arrows = ax.quiver(x, y, u * scale, v * scale, angles="xy", scale_units="xy", scale=1.0,
                       color=color, units="inches", width=0.012)
    key = _round_length(longest)
    if key > 0:
        # Inside the axes, drawn like the field's arrows over a dark label: outside them it
        # would fall off a tall figure or out of a tight bounding box, neither of which
        # counts a key.
        drawn = ax.quiverkey(arrows, 0.95, 0.03, key * scale, f"{key:g} px", labelpos="W",
                             coordinates="axes", color=color, labelcolor="white")
        drawn.text.set_bbox({"facecolor": "black", "alpha": 0.6, "edgecolor": "none",
                             "boxstyle": "round,pad=0.2"})
    if image is None:
        ax.invert_yaxis()
    ax.set_xlabel("x [px]")
    ax.set_ylabel("y [px]")
    thinned = f", one per {every} x {every} points" if every > 1 else ""
    _set_title(ax, f"displacement (arrows x{scale:.3g}{thinned}){_frame_suffix(data)}")
    return ax


def _round_length(longest: float) -> float:
    """A round length (1, 2 or 5 times a power of ten) at most `longest`; 0 for none."""
    if not math.isfinite(longest) or longest <= 0:
        return 0.0
    power = 10.0 ** math.floor(math.log10(longest))
    return max(m * power for m in (1.0, 2.0, 5.0) if m * power <= longest)


def _set_title(ax: Any, text: str) -> None:
    # Wrapped at the figure's edge: a tall image gives a narrow figure, and one long line
    # would be cut off on both sides.
    ax.set_title(text, wrap=True)


def _field(data: xr.Dataset, field: str) -> tuple[np.ndarray, str]:
    if field not in data or data[field].dims != ("y", "x"):
        known = sorted(str(n) for n in data.data_vars if data[n].dims == ("y", "x"))
        raise MorvexError(f"unknown field {field!r}; choose one of {', '.join(known)}")
    values = np.asarray(data[field].values, dtype=np.float64)
    name = _LABELS.get(field, field)
    if field in _STRAINS:
        return values * 100.0, f"{name} [%]"
    units = data[field].attrs.get("units", "")
    return values, f"{name} [{units}]" if units and units != "1" else name


def _frame_suffix(data: xr.Dataset) -> str:
    if "frame" in data.coords and data["frame"].ndim == 0:
        index = int(data["frame"])
        name = str(data["frame_name"].item()) if "frame_name" in data.coords else ""
        # Frames given as arrays are named after their index, which the title already says.
        named = name and name != f"array {index}"
        return f", frame {index}" + (f" ({name})" if named else "")
    return ""


def valid_share(data: xr.Dataset) -> float:
    """Valid points over specimen points (those not outside the mask, status 1), 0..1.

    NaN when no point lies on the specimen.
    """
    from ._status import STATUS_MEANINGS

    outside_mask = STATUS_MEANINGS.split().index("outside_mask")
    valid = np.asarray(data["valid"].values, dtype=bool)
    specimen = (np.asarray(data["status"].values) != outside_mask if "status" in data
                else np.ones_like(valid))
    count = int(specimen.sum())
    return float((valid & specimen).sum()) / count if count else float("nan")


def _title(data: xr.Dataset, field: str) -> str:
    share = valid_share(data) if "valid" in data else float("nan")
    return f"{field}{_frame_suffix(data)}, {share:.1%} of specimen points valid"


def _colour_map(name: str) -> Any:
    import matplotlib

    try:
        return matplotlib.colormaps[name]
    except KeyError:
        raise MorvexError(f"unknown colour map {name!r}; for example viridis, jet, coolwarm, "
                          "RdBu_r, gray (see matplotlib's colour map list)") from None


def _draw_displaced(ax: Any, data: xr.Dataset, values: np.ndarray, alpha: float, cmap: Any,
                    colours: ColourLimits) -> Any:
    """Shade the displaced grid's cells whose four corners all hold a value.

    The cells' corners are the grid points moved to (x + u, y + v); a cell takes the mean of
    its corners. The grid's own topology never bridges a hole the way a triangulation of
    scattered points would.
    """
    x, y = np.meshgrid(data["x"].values.astype(np.float64), data["y"].values.astype(np.float64))
    u, v = np.asarray(data["u"].values, np.float64), np.asarray(data["v"].values, np.float64)
    ok = np.isfinite(u) & np.isfinite(v) & np.isfinite(values)
    cells = ok[:-1, :-1] & ok[1:, :-1] & ok[:-1, 1:] & ok[1:, 1:]
    if not cells.any():
        raise MorvexError("no grid cell has four valid corners to draw on the deformed image")
    filled = np.where(ok, values, 0.0)
    means = (filled[:-1, :-1] + filled[1:, :-1] + filled[:-1, 1:] + filled[1:, 1:]) / 4.0
    # Invalid corners stay where they were (coordinates must be finite); no cell uses them.
    corners_x, corners_y = np.where(ok, x + u, x), np.where(ok, y + v, y)
    mesh = ax.pcolormesh(corners_x, corners_y, np.ma.masked_array(means, ~cells),
                         shading="flat", alpha=alpha, cmap=cmap, vmin=colours.vmin,
                         vmax=colours.vmax, antialiased=False, edgecolors="none")
    return mesh
