"""The specimen mask as the user draws it: rectangles, polygons and circles that add or cut.

Shapes are kept as data (so they can be edited, deleted and saved with the store) and turned
into a boolean image in the order they were drawn: an adding shape sets its pixels, a cutting
shape clears them. With no adding shape the whole image is specimen and cuts make holes.
"""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np

from .._errors import MorvexError

KINDS = ("rectangle", "polygon", "circle")


@dataclasses.dataclass(frozen=True)
class Shape:
    """One drawn shape. Points are (x, y) in image pixels: rectangle two corners, circle the
    centre and a point on the rim, polygon its vertices (at least three)."""

    kind: str
    points: tuple[tuple[float, float], ...]
    cut: bool = False

    @classmethod
    def from_json(cls, data: Any) -> Shape:
        """A shape from what the page or a saved project sent, checked.

        Raises:
            MorvexError: for an unknown kind or too few or non-finite points.
        """
        if not isinstance(data, dict):
            raise MorvexError(f"a mask shape must be an object, got {data!r}")
        kind = data.get("kind")
        if kind not in KINDS:
            raise MorvexError(f"mask shape kind must be one of {', '.join(KINDS)}, got {kind!r}")
        try:
            points = tuple((float(x), float(y)) for x, y in data.get("points", ()))
        except (TypeError, ValueError):
            raise MorvexError(f"mask {kind} points must be (x, y) pairs of numbers") from None
        if not np.all(np.isfinite(np.asarray(points, dtype=float))):
            raise MorvexError(f"mask {kind} points must be finite numbers")
        least = 3 if kind == "polygon" else 2
        if len(points) < least:
            raise MorvexError(f"a mask {kind} needs at least {least} points, got {len(points)}")
        return cls(kind, points, bool(data.get("cut", False)))

    def to_json(self) -> dict[str, Any]:
        return {"kind": self.kind, "points": [list(p) for p in self.points], "cut": self.cut}

    def covers(self, shape: tuple[int, int]) -> np.ndarray:
        """Boolean image of the pixels (centres at integer positions) inside the shape."""
        rows, cols = shape
        ys, xs = np.mgrid[0:rows, 0:cols]
        if self.kind == "rectangle":
            (xa, ya), (xb, yb) = self.points[:2]
            return np.asarray((xs >= min(xa, xb)) & (xs <= max(xa, xb))
                              & (ys >= min(ya, yb)) & (ys <= max(ya, yb)))
        if self.kind == "circle":
            (xc, yc), (xr, yr) = self.points[:2]
            return np.asarray((xs - xc) ** 2 + (ys - yc) ** 2 <= (xr - xc) ** 2 + (yr - yc) ** 2)
        return _inside_polygon(xs.astype(float), ys.astype(float), self.points)


def _inside_polygon(xs: np.ndarray, ys: np.ndarray,
                    vertices: tuple[tuple[float, float], ...]) -> np.ndarray:
    # Even-odd rule, one edge at a time over the whole image.
    inside = np.zeros(xs.shape, dtype=bool)
    count = len(vertices)
    for k in range(count):
        (x0, y0), (x1, y1) = vertices[k], vertices[(k + 1) % count]
        if y0 == y1:
            continue
        crosses = (ys >= min(y0, y1)) & (ys < max(y0, y1))
        x_at = x0 + (ys - y0) * (x1 - x0) / (y1 - y0)
        inside ^= crosses & (xs < x_at)
    return inside


def rasterise(shapes: list[Shape], shape: tuple[int, int],
              base: np.ndarray | None = None) -> np.ndarray | None:
    """The mask of `shapes` drawn over `base` (a loaded mask image), or None for no mask."""
    if not shapes:
        return None if base is None else base.copy()
    if base is not None:
        mask = base.copy()
    else:
        mask = np.zeros(shape, dtype=bool) if any(not s.cut for s in shapes) else np.ones(
            shape, dtype=bool)
    for item in shapes:
        covered = item.covers(shape)
        mask = mask & ~covered if item.cut else mask | covered
    return mask
