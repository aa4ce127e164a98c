"""The cracks drawn over the image: each in its colour and named, and the tip measured."""

from __future__ import annotations

import math
from html import escape

from .crack_list import CrackList


def crack_svg(cracks: CrackList, image_side: float,
              tips: dict[str, tuple[float, float]] | None = None) -> str:
    """SVG elements for every crack (square vertices, apart from the probes' round ones) and a
    cross at each crack's tip in `tips` ({name: (x, y) px}; a NaN tip is not drawn)."""
    line = max(1.0, image_side / 400.0)
    parts: list[str] = []
    for index, entry in enumerate(cracks.entries):
        colour = escape(entry.colour, quote=True)
        text = " ".join(f"{x:.2f},{y:.2f}" for x, y in entry.points)
        parts.append(f'<polyline data-crack="{index}" points="{text}" fill="none" '
                     f'stroke="{colour}" stroke-width="{2 * line}" '
                     f'stroke-dasharray="{6 * line} {2 * line}"/>')
        half = 2.5 * line
        for x, y in entry.points:
            parts.append(f'<rect x="{x - half:.2f}" y="{y - half:.2f}" width="{2 * half}" '
                         f'height="{2 * half}" fill="{colour}"/>')
        x, y = entry.points[0]
        parts.append(f'<text x="{x + 4 * line:.2f}" y="{y + 12 * line:.2f}" fill="{colour}" '
                     f'font-size="{10 * line}" font-family="sans-serif" paint-order="stroke" '
                     f'stroke="black" stroke-width="{0.6 * line}">{escape(entry.name)}</text>')
        tip = (tips or {}).get(entry.name)
        if tip is not None and all(math.isfinite(c) for c in tip):
            tx, ty, arm = tip[0], tip[1], 6 * line
            parts.append(f'<path data-testid="crack-tip" d="M{tx - arm:.2f},{ty - arm:.2f} '
                         f'L{tx + arm:.2f},{ty + arm:.2f} M{tx - arm:.2f},{ty + arm:.2f} '
                         f'L{tx + arm:.2f},{ty - arm:.2f}" stroke="{colour}" '
                         f'stroke-width="{2 * line}"/>')
    return "".join(parts)
