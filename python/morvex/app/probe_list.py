"""The project's probes as a list: named, coloured definitions the page draws and reads.

Each entry is a kind (point, extensometer, gauge, section), a name, a colour and its
vertices in reference-image pixels. The values always come from :mod:`morvex.probe`, built
from these definitions, so the page and ``morvex probe`` read the same numbers.

A project saved before probes were a list kept one of each under the keys ``point``,
``line``, ``extensometer`` and ``gauge`` (a rectangle by two corners); those open as the
entries P1, S1 (a line is a two-vertex section), E1 and G1.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any

from .._errors import MorvexError
from ..probe import Extensometer, Gauge, Point, Probe, Section
from .shape_list import ShapeList, Vertices

KINDS = ("point", "extensometer", "gauge", "section")
LETTERS = {"point": "P", "extensometer": "E", "gauge": "G", "section": "S"}
# Distinct on a grey image and on the field's colours; reused in order after the last.
PALETTE = ("#ff4081", "#40c4ff", "#ffab40", "#69f0ae", "#e040fb", "#ffd740", "#ff6e40",
           "#18ffff", "#b2ff59", "#ea80fc")


@dataclasses.dataclass
class ProbeEntry:
    kind: str
    name: str
    colour: str
    points: list[tuple[float, float]]

    def to_probe(self) -> Probe:
        """The package's probe for this entry (checks the geometry)."""
        pts = self.points
        if self.kind == "point":
            return Point(pts[0][0], pts[0][1], self.name)
        if self.kind == "extensometer":
            return Extensometer(pts[0][0], pts[0][1], pts[1][0], pts[1][1], self.name)
        if self.kind == "gauge":
            return Gauge(tuple(pts), self.name)
        return Section(tuple(pts), self.name)

    def to_json(self) -> dict[str, Any]:
        return {"kind": self.kind, "name": self.name, "colour": self.colour,
                "points": [[x, y] for x, y in self.points]}


def _vertices(kind: str, raw: object) -> list[tuple[float, float]]:
    try:
        pairs = [(float(p[0]), float(p[1])) for p in raw]  # type: ignore[attr-defined]
    except (TypeError, ValueError, IndexError):
        raise MorvexError(f"a {kind}'s vertices must be (x, y) pairs, got {raw!r}") from None
    if not all(math.isfinite(c) for p in pairs for c in p):
        raise MorvexError(f"a {kind}'s vertices must be finite, got {raw!r}")
    return pairs


class ProbeList(ShapeList[ProbeEntry]):
    """The ordered probes of a project; every change is checked before it is kept."""

    noun = "probe"
    palette = PALETTE

    def _parsed(self, entry: ProbeEntry, raw: object) -> Vertices:
        return _vertices(entry.kind, raw)

    def _checked(self, entry: ProbeEntry) -> None:
        entry.to_probe()

    def _moved(self, entry: ProbeEntry, vertex: int, point: tuple[float, float]) -> Vertices:
        if entry.kind == "gauge" and len(entry.points) == 4:
            return _keep_rectangle(entry.points, vertex, point)
        return super()._moved(entry, vertex, point)

    def _free_name(self, kind: str) -> str:
        taken = {e.name for e in self.entries}
        rank = 1
        while f"{LETTERS[kind]}{rank}" in taken:
            rank += 1
        return f"{LETTERS[kind]}{rank}"

    def add(self, kind: str, points: object, name: str = "", colour: str = "") -> ProbeEntry:
        """A new probe at the end, named after its kind (E1, G2 ...) unless `name` is given.

        Raises:
            MorvexError: for an unknown kind, bad vertices, a name already taken.
        """
        if kind not in KINDS:
            raise MorvexError(f"unknown probe kind {kind!r}; choose one of {', '.join(KINDS)}")
        return self._append(ProbeEntry(kind, name or self._free_name(kind),
                                       colour or self._free_colour(), _vertices(kind, points)))

    def last(self, kind: str) -> int | None:
        """The index of the newest probe of `kind`, None when there is none."""
        for index in range(len(self.entries) - 1, -1, -1):
            if self.entries[index].kind == kind:
                return index
        return None

    def probes(self) -> list[Probe]:
        return [e.to_probe() for e in self.entries]

    def to_json(self) -> list[dict[str, Any]]:
        return [e.to_json() for e in self.entries]

    @classmethod
    def from_saved(cls, saved: object) -> ProbeList:
        """The list a project file kept: a list of definitions, or the older one-of-each keys.
        An entry that no longer makes a valid probe is left out rather than stop the open."""
        out = cls()
        if isinstance(saved, dict):
            old = []
            if "point" in saved:
                old.append(("point", [saved["point"]]))
            if "extensometer" in saved:
                old.append(("extensometer", saved["extensometer"]))
            if "gauge" in saved:
                try:
                    (xa, ya), (xb, yb) = saved["gauge"]
                    old.append(("gauge", [(xa, ya), (xb, ya), (xb, yb), (xa, yb)]))
                except (TypeError, ValueError):
                    pass
            if "line" in saved:
                old.append(("section", saved["line"]))
            for kind, points in old:
                try:
                    out.add(kind, points)
                except MorvexError:
                    continue
            return out
        if isinstance(saved, list):
            for item in saved:
                if not isinstance(item, dict):
                    continue
                try:
                    out.add(str(item.get("kind", "")), item.get("points", []),
                            str(item.get("name", "")), str(item.get("colour", "")))
                except MorvexError:
                    continue
        return out


def _keep_rectangle(old: list[tuple[float, float]], vertex: int,
                    moved: tuple[float, float]) -> list[tuple[float, float]]:
    """A rectangle gauge dragged by a corner stays a rectangle: the opposite corner holds."""
    xs = {p[0] for p in old}
    ys = {p[1] for p in old}
    if len(old) != 4 or len(xs) != 2 or len(ys) != 2:
        points = list(old)
        points[vertex] = moved
        return points
    fixed = old[(vertex + 2) % 4]
    x0, y0, x1, y1 = fixed[0], fixed[1], moved[0], moved[1]
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
