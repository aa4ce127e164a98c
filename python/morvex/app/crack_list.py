"""The project's cracks: named, coloured polylines drawn on the reference, mouth first.

Every crack kept is one :func:`morvex.crack.crack_line` accepts inside the reference image,
so the page measures, and a run may take as a barrier, exactly the line the hand drew.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any

import numpy as np

from .._errors import MorvexError
from ..crack import crack_line
from .shape_list import ShapeList, Vertices

# Apart from the probes' palette (app/probe_list.py): a crack is never taken for a section.
PALETTE = ("#ff1744", "#ffea00", "#00e5ff", "#76ff03", "#d500f9", "#ff9100")


@dataclasses.dataclass
class CrackEntry:
    name: str
    colour: str
    points: list[tuple[float, float]]  # (x, y) px, mouth first, tip last

    def to_json(self) -> dict[str, Any]:
        return {"name": self.name, "colour": self.colour,
                "points": [[x, y] for x, y in self.points]}


def _vertices(raw: object) -> list[tuple[float, float]]:
    try:
        pairs = [tuple(float(c) for c in p) for p in raw]  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        pairs = []
        raw_ok = False
    else:
        raw_ok = all(len(p) == 2 for p in pairs)
    if not raw_ok:
        raise MorvexError(f"a crack's vertices must be (x, y) pairs, got {raw!r}")
    return [(p[0], p[1]) for p in pairs]


class CrackList(ShapeList[CrackEntry]):
    """The ordered cracks of a project; every change is checked before it is kept.

    `shape` (rows, cols) of the reference bounds the vertices; None takes any finite place.
    """

    noun = "crack"
    palette = PALETTE

    def __init__(self, shape: tuple[int, int] | None = None) -> None:
        super().__init__()
        self.shape = shape

    def _parsed(self, entry: CrackEntry, raw: object) -> Vertices:
        return _vertices(raw)

    def _checked(self, entry: CrackEntry) -> None:
        bounds = None
        if self.shape is not None:
            bounds = (0.0, float(self.shape[1] - 1), 0.0, float(self.shape[0] - 1))
        # An empty list as (0, 2): "needs at least 2 vertices", not a shape to puzzle over.
        crack_line(entry.points or np.empty((0, 2)), bounds, name=repr(entry.name))

    def _free_name(self) -> str:
        taken = {e.name for e in self.entries}
        rank = 1
        while f"crack {rank}" in taken:
            rank += 1
        return f"crack {rank}"

    def add(self, points: object, name: str = "", colour: str = "") -> CrackEntry:
        """A new crack at the end, named "crack N" (the lowest N free) unless `name` is given.

        Raises:
            MorvexError: for a line crack_line refuses (fewer than 2 vertices, one repeated,
                outside the image, crossing itself) or a name already taken.
        """
        return self._append(CrackEntry(name.strip() or self._free_name(),
                                       colour or self._free_colour(), _vertices(points)))

    def lines(self) -> list[list[list[float]]]:
        """Every crack as a list of [x, y], as a run's settings take them."""
        return [[[x, y] for x, y in e.points] for e in self.entries]

    def to_json(self) -> list[dict[str, Any]]:
        return [e.to_json() for e in self.entries]

    @classmethod
    def from_saved(cls, saved: object, shape: tuple[int, int] | None = None) -> CrackList:
        """The list a project file kept; an entry no longer valid is left out rather than
        stop the open (a file edited by hand, a reference replaced by a smaller one)."""
        out = cls(shape)
        if not isinstance(saved, list):
            return out
        for item in saved:
            if not isinstance(item, dict):
                continue
            try:
                out.add(item.get("points", []), str(item.get("name", "")),
                        str(item.get("colour", "")))
            except MorvexError:
                continue
        return out


def clean_draft(draft: list[tuple[float, float]], same_px: float) -> list[tuple[float, float]]:
    """The clicked vertices without the repeats a double click leaves (closer than
    `same_px` to the vertex before)."""
    vertices: list[tuple[float, float]] = []
    for vertex in draft:
        if not vertices or math.dist(vertices[-1], vertex) >= same_px:
            vertices.append(vertex)
    return vertices
