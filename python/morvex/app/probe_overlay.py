"""The probes drawn over the image: each in its colour, with its name beside it."""

from __future__ import annotations

from html import escape

from .probe_list import ProbeList


def probe_svg(probes: ProbeList, image_side: float,
              draft: list[tuple[float, float]] | None = None) -> str:
    """SVG elements for every probe (and a section being drawn, dashed)."""
    line = max(1.0, image_side / 400.0)
    parts: list[str] = []
    for entry in probes.entries:
        colour = escape(entry.colour, quote=True)
        pts = entry.points
        text = " ".join(f"{x:.2f},{y:.2f}" for x, y in pts)
        if entry.kind == "point":
            x, y = pts[0]
            parts.append(f'<circle cx="{x:.2f}" cy="{y:.2f}" r="{4 * line}" fill="none" '
                         f'stroke="{colour}" stroke-width="{1.5 * line}"/>')
        elif entry.kind == "gauge":
            parts.append(f'<polygon points="{text}" fill="{colour}" fill-opacity="0.12" '
                         f'stroke="{colour}" stroke-width="{1.5 * line}"/>')
        else:
            parts.append(f'<polyline points="{text}" fill="none" stroke="{colour}" '
                         f'stroke-width="{1.5 * line}"/>')
        if entry.kind != "point":
            for x, y in pts:
                parts.append(f'<circle cx="{x:.2f}" cy="{y:.2f}" r="{2.5 * line}" '
                             f'fill="{colour}"/>')
        x, y = pts[0]
        parts.append(f'<text x="{x + 4 * line:.2f}" y="{y - 4 * line:.2f}" fill="{colour}" '
                     f'font-size="{10 * line}" font-family="sans-serif" paint-order="stroke" '
                     f'stroke="black" stroke-width="{0.6 * line}">{escape(entry.name)}</text>')
    if draft:
        text = " ".join(f"{x:.2f},{y:.2f}" for x, y in draft)
        parts.append(f'<polyline points="{text}" fill="none" stroke="#ffffff" '
                     f'stroke-width="{line}" stroke-dasharray="{3 * line}"/>')
    return "".join(parts)
