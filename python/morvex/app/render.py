"""Pictures for the page: grey frames and fields as PNG, colour bars, in display units.

A field is drawn at its grid's own resolution (one pixel per point, transparent where the
point is invalid) and scaled by the browser over the image, so a redraw costs the grid's size
(about 20 000 points), never the image's.
"""

from __future__ import annotations

import base64
import html
import io
import math
from functools import lru_cache
from typing import Any

import numpy as np


def status_legend() -> list[tuple[int, str, str]]:
    """(code, label, colour as #rrggbb) of every status of the library's table, in code order:
    the words and colours the status field is drawn in, so a status added to the library
    reaches the legend unasked."""
    from .. import _guided

    return [(int(row["code"]), str(row["label"]), str(row["colour"]))
            for row in _guided.STATUS_TABLE]


@lru_cache(maxsize=1)
def _status_colours() -> np.ndarray:
    """RGBA per status code 0..255: each code of the library's table in its colour, the codes
    beyond it black."""
    table = np.zeros((256, 4), dtype=np.uint8)
    table[:, 3] = 255
    for code, _, colour in status_legend():
        table[code, :3] = [int(colour[k:k + 2], 16) for k in (1, 3, 5)]
    return table


def unit_of(name: str, strain_unit: str, scale_mm_per_px: float | None) -> tuple[float, str]:
    """(factor, unit) turning stored values of field `name` into what the page shows: from
    the unit the results table gives it (a length in px, a fraction), the page's own
    `magnitude` being a length."""
    from .._dataset import QUANTITY

    quantity = QUANTITY.get(name)
    unit = "px" if name == "magnitude" else quantity.unit if quantity is not None else ""
    if unit == "fraction":
        return {"%": (100.0, "%"), "µε": (1e6, "µε")}.get(strain_unit, (1.0, ""))
    if unit == "px":
        return (scale_mm_per_px, "mm") if scale_mm_per_px else (1.0, "px")
    return 1.0, ""


@lru_cache(maxsize=4)
def _lut(name: str) -> np.ndarray:
    import matplotlib

    return (matplotlib.colormaps[name](np.linspace(0.0, 1.0, 256)) * 255).astype(np.uint8)


def png(rgba: np.ndarray, *, fast: bool = True) -> bytes:
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(rgba).save(buffer, format="PNG", compress_level=1 if fast else 6)
    return buffer.getvalue()


def data_url(data: bytes) -> str:
    return "data:image/png;base64," + base64.b64encode(data).decode("ascii")


def grey_png(image: np.ndarray) -> bytes:
    """An 8-bit PNG of a grey image (values clipped to 0..255)."""
    return png(np.clip(image, 0, 255).astype(np.uint8))


def field_rgba(values: np.ndarray, low: float, high: float, colormap: str = "jet",
               status: bool = False) -> np.ndarray:
    """RGBA of a field (y, x): colour by value between `low` and `high`, NaN transparent."""
    finite = np.isfinite(values)
    if status:
        # Looked up by code: a colour map's sampled table would give neighbouring codes
        # (converged, outside mask) one colour.
        lut = _status_colours()
        index = np.clip(np.nan_to_num(values), 0, 255).astype(np.int64)
    else:
        lut = _lut(colormap)
        span = high - low if high > low else 1.0
        scaled = np.nan_to_num((values - low) / span, nan=0.0)
        index = np.clip(scaled * 255.0, 0, 255).astype(np.int64)
    rgba = lut[index]
    rgba[..., 3] = np.where(finite, 255, 0)
    return np.asarray(rgba)


def colour_bar_css(colormap: str = "jet", stops: int = 11) -> str:
    lut = _lut(colormap)
    colours = [f"rgb({r},{g},{b})" for r, g, b, _ in lut[np.linspace(0, 255, stops).astype(int)]]
    return "linear-gradient(to right, " + ", ".join(colours) + ")"


def colour_bar_html(label: str, low: float, high: float, unit: str, *,
                    status: bool = False, sigma: float | None = None,
                    note: str = "") -> str:
    """The legend under the picture: a colour bar from `low` to `high` in display units
    (numbers rounded to `sigma` when known, `note` after the label), or for the status
    field, each status with the colour it is drawn in."""
    from .rounding import to_uncertainty

    if status:
        # From the library's status table, so a status added there reaches the legend unasked.
        items = "".join(
            f"<span data-testid='status-{code}' style='display:inline-flex;"
            f"align-items:center;gap:3px;margin-right:10px'><span class='mv-swatch' "
            f"style='width:12px;height:12px;border:1px solid #0004;background:{colour}'>"
            f"</span>{code} {html.escape(words)}</span>"
            for code, words, colour in status_legend())
        return f"<div class='text-xs' data-testid='status-legend'><b>status</b> {items}</div>"
    middle = (low + high) / 2
    unit_text = f" [{html.escape(unit)}]" if unit else ""
    return (f"<div style='display:flex;align-items:center;gap:8px'>"
            f"<b>{html.escape(label)}{unit_text}</b>"
            + (f"<span data-testid='limits-note' class='text-xs'>{html.escape(note)}</span>"
               if note else "") +
            f"<div style='flex:1'><div style='height:14px;border-radius:3px;"
            f"background:{colour_bar_css()}'></div>"
            f"<div style='display:flex;justify-content:space-between;font-size:11px;"
            f"font-family:monospace' data-testid='colour-bar-numbers'>"
            f"<span>{to_uncertainty(low, sigma)}</span>"
            f"<span>{to_uncertainty(middle, sigma)}</span>"
            f"<span>{to_uncertainty(high, sigma)}</span></div></div></div>")


def vector_arrows(u: np.ndarray, v: np.ndarray, xs: np.ndarray,
                  ys: np.ndarray) -> list[tuple[float, float, float, float]]:
    """Displacement arrows (x, y, tip x, tip y) on about a 30 x 30 subgrid of the points,
    scaled so the longest spans 0.9 of the arrows' spacing; invalid points get none."""
    stride = max(1, int(math.ceil(max(xs.size, ys.size) / 30)))
    magnitude = np.nanmax(np.hypot(u, v)) if np.isfinite(u).any() else 0.0
    spacing = stride * (float(xs[1] - xs[0]) if xs.size > 1 else 1.0)
    scale = 0.9 * spacing / magnitude if magnitude > 0 else 1.0
    out = []
    for j in range(0, ys.size, stride):
        for i in range(0, xs.size, stride):
            if np.isfinite(u[j, i]) and np.isfinite(v[j, i]):
                out.append((xs[i], ys[j], xs[i] + scale * u[j, i], ys[j] + scale * v[j, i]))
    return out


def limits(values: np.ndarray) -> tuple[float, float]:
    """Robust default limits: the 2nd and 98th percentiles of the finite values."""
    low, high, _ = field_limits(values)
    return low, high


def field_limits(values: np.ndarray, uncertainty: float = 0.0,
                 default_half: float = 1e-6) -> tuple[float, float, bool]:
    """(low, high, uniform): the 2nd and 98th percentiles of the finite values, or, when
    their span is no more than the values' `uncertainty` or 1e-9 of their magnitude (at
    least 1, in stored units), a span of ± max(`default_half`, `uncertainty`) about their
    middle, about 0 when the middle lies within it, and uniform True: the reference frame's
    zero strain is a uniform field, never rounding noise stretched over the whole scale."""
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return 0.0, 1.0, False
    low, high = (float(v) for v in np.percentile(finite, [2, 98]))
    if high - low <= max(uncertainty, 1e-9 * max(1.0, abs(high), abs(low))):
        middle = (high + low) / 2
        half = max(default_half, uncertainty, abs(middle) * 0.01)
        if abs(middle) <= half:
            middle = 0.0
        return middle - half, middle + half, True
    return low, high, False


def svg_overlay(*, field_url: str | None, field_box: tuple[float, float, float, float] | None,
                opacity: float, grid: tuple[np.ndarray, np.ndarray, np.ndarray] | None,
                subset: tuple[float, float, int] | None, shapes: list[dict[str, Any]],
                draft: list[tuple[float, float]], vectors: list[tuple[float, float, float, float]],
                probes: dict[str, Any], image_side: float) -> str:
    """The SVG drawn over the image: field, grid, subset, mask shapes, probes, drafts."""
    line = max(1.0, image_side / 400.0)
    parts: list[str] = []
    if field_url is not None and field_box is not None:
        x, y, w, h = field_box
        parts.append(f'<image href="{field_url}" x="{x}" y="{y}" width="{w}" height="{h}" '
                     f'preserveAspectRatio="none" opacity="{opacity:.3f}" '
                     'style="image-rendering:pixelated"/>')
    for index, item in enumerate(shapes):
        colour = "#ff5252" if item["cut"] else "#00e676"
        style = (f'fill="{colour}" fill-opacity="0.15" stroke="{colour}" '
                 f'stroke-width="{line}" stroke-dasharray="{4 * line},{2 * line}"')
        points = item["points"]
        if item["kind"] == "rectangle":
            (xa, ya), (xb, yb) = points[:2]
            parts.append(f'<rect x="{min(xa, xb)}" y="{min(ya, yb)}" width="{abs(xb - xa)}" '
                         f'height="{abs(yb - ya)}" {style}/>')
        elif item["kind"] == "circle":
            (xc, yc), (xr, yr) = points[:2]
            parts.append(f'<circle cx="{xc}" cy="{yc}" r="{np.hypot(xr - xc, yr - yc):.2f}" '
                         f'{style}/>')
        else:
            text = " ".join(f"{px:.1f},{py:.1f}" for px, py in points)
            # Numbered: the browser finds a polygon's corners by it to drag them.
            parts.append(f'<polygon data-shape="{index}" points="{text}" {style}/>')
    if grid is not None:
        gx, gy, kept = grid
        for flag, colour in ((True, "#ffeb3b"), (False, "#9e9e9e")):
            xs, ys = gx[kept == flag], gy[kept == flag]
            if xs.size > 6000:  # a preview: every k-th point keeps the pattern readable
                pick = slice(None, None, int(np.ceil(xs.size / 6000)))
                xs, ys = xs[pick], ys[pick]
            if xs.size:
                d = "".join(f"M{px} {py}h0"
                            for px, py in zip(xs.tolist(), ys.tolist(), strict=True))
                parts.append(f'<path d="{d}" stroke="{colour}" stroke-width="{2.5 * line}" '
                             'stroke-linecap="round" opacity="0.8"/>')
    if subset is not None:
        sx, sy, side = subset
        parts.append(f'<rect x="{sx - side / 2}" y="{sy - side / 2}" width="{side}" '
                     f'height="{side}" fill="none" stroke="#00b0ff" stroke-width="{line}"/>')
    if vectors:
        arrows = "".join(f"M{x0:.1f} {y0:.1f}L{x1:.1f} {y1:.1f}" for x0, y0, x1, y1 in vectors)
        parts.append(f'<path d="{arrows}" stroke="white" stroke-width="{line}" '
                     'marker-end="url(#arrow)"/>')
    if draft:
        text = " ".join(f"{px:.1f},{py:.1f}" for px, py in draft)
        parts.append(f'<polyline points="{text}" fill="none" stroke="#ffffff" '
                     f'stroke-width="{line}" stroke-dasharray="{3 * line}"/>')
    if "point" in probes:
        px, py = probes["point"]
        parts.append(f'<circle cx="{px}" cy="{py}" r="{4 * line}" fill="none" stroke="#ff4081" '
                     f'stroke-width="{1.5 * line}"/>')
    for key, colour in (("line", "#40c4ff"), ("extensometer", "#ff4081")):
        if key in probes:
            (xa, ya), (xb, yb) = probes[key]
            parts.append(f'<line x1="{xa}" y1="{ya}" x2="{xb}" y2="{yb}" stroke="{colour}" '
                         f'stroke-width="{1.5 * line}"/>')
            for cx, cy in ((xa, ya), (xb, yb)):
                parts.append(f'<circle cx="{cx}" cy="{cy}" r="{3 * line}" fill="{colour}"/>')
    if "gauge" in probes:
        (xa, ya), (xb, yb) = probes["gauge"]
        parts.append(f'<rect x="{min(xa, xb)}" y="{min(ya, yb)}" width="{abs(xb - xa)}" '
                     f'height="{abs(yb - ya)}" fill="none" stroke="#ffab40" '
                     f'stroke-width="{1.5 * line}"/>')
    defs = ('<defs><marker id="arrow" markerWidth="6" markerHeight="6" refX="5" refY="3" '
            'orient="auto"><path d="M0,0 L6,3 L0,6 z" fill="white"/></marker></defs>')
    return defs + "".join(parts)
