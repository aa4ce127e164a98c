"""Named, coloured shapes drawn on the reference (probes, cracks): one list's rules, and the
drag of a vertex on the picture.

A list keeps only shapes its kind accepts: every change is checked on a copy before it
replaces the entry, so a refused name, vertex or drag leaves the list as it was.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable
from typing import Any, Protocol

from .._errors import MorvexError

Vertices = list[tuple[float, float]]


class Shape(Protocol):
    name: str
    colour: str
    points: Vertices


class ShapeList[E: Shape]:
    """The ordered shapes of a project. A kind of list says what it calls a shape (`noun`),
    its colours, how it reads vertices and what makes a shape valid."""

    noun = "shape"
    palette: tuple[str, ...] = ("#ffffff",)

    def __init__(self) -> None:
        self.entries: list[E] = []

    def __len__(self) -> int:
        return len(self.entries)

    def __bool__(self) -> bool:
        return bool(self.entries)

    def _parsed(self, entry: E, raw: object) -> Vertices:
        """`raw` as the vertices of `entry`'s kind (raises MorvexError naming the value)."""
        raise NotImplementedError

    def _checked(self, entry: E) -> None:
        """Raises MorvexError when `entry` is not a shape of this kind."""
        raise NotImplementedError

    def _moved(self, entry: E, vertex: int, point: tuple[float, float]) -> Vertices:
        points = list(entry.points)
        points[vertex] = point
        return points

    def _free_colour(self) -> str:
        used = [e.colour for e in self.entries]
        for colour in self.palette:
            if colour not in used:
                return colour
        return self.palette[len(used) % len(self.palette)]

    def _refuse_taken(self, name: str, index: int | None = None) -> None:
        if any(e.name == name for k, e in enumerate(self.entries) if k != index):
            raise MorvexError(f"a {self.noun} is already named {name!r}; give each its own name")

    def _append(self, entry: E) -> E:
        self._refuse_taken(entry.name)
        self._checked(entry)
        self.entries.append(entry)
        return entry

    def _replace(self, index: int, **change: Any) -> None:
        changed = dataclasses.replace(self.entries[index], **change)  # type: ignore[type-var]
        self._checked(changed)
        self.entries[index] = changed

    def delete(self, index: int) -> None:
        self._check_index(index)
        del self.entries[index]

    def rename(self, index: int, name: str) -> None:
        """Raises MorvexError for a blank name, one another shape has, or one its kind
        refuses."""
        self._check_index(index)
        name = str(name).strip()
        if not name:
            raise MorvexError(f"a {self.noun}'s name must not be blank")
        self._refuse_taken(name, index)
        self._replace(index, name=name)

    def move(self, index: int, vertex: int, x: float, y: float) -> None:
        """One vertex to (x, y) px; the shape is kept only if still valid."""
        self._check_index(index)
        entry = self.entries[index]
        if not 0 <= vertex < len(entry.points):
            raise MorvexError(f"{entry.name} has no vertex {vertex}")
        self._replace(index, points=self._moved(entry, vertex,
                                                self._parsed(entry, [(x, y)])[0]))

    def set_points(self, index: int, points: object) -> None:
        self._check_index(index)
        self._replace(index, points=self._parsed(self.entries[index], points))

    def nearest_vertex(self, x: float, y: float, reach: float) -> tuple[int, int] | None:
        """(shape, vertex) of the vertex nearest (x, y) within `reach` px, or None."""
        best: tuple[float, int, int] | None = None
        for index, entry in enumerate(self.entries):
            for vertex, point in enumerate(entry.points):
                distance = math.dist(point, (x, y))
                if distance <= reach and (best is None or distance < best[0]):
                    best = (distance, index, vertex)
        return None if best is None else (best[1], best[2])

    def _check_index(self, index: int) -> None:
        if not 0 <= index < len(self.entries):
            raise MorvexError(f"no {self.noun} number {index}; there are {len(self.entries)}")


class ShapeEdits:
    """What the hand does to a list's shapes on the page: delete, rename, and drag a vertex,
    which follows the pointer while shapes valid on the way are passed through, and is kept
    where it is let go, or put back when its shape would not be valid there."""

    def __init__(self, shapes: Callable[[], ShapeList[Any]], moved: Callable[[], None],
                 changed: Callable[[], None]) -> None:
        self._shapes, self._moved, self._changed = shapes, moved, changed
        self.dragging: tuple[int, int, Vertices] | None = None

    def delete(self, index: int) -> None:
        self._shapes().delete(index)
        self._changed()

    def rename(self, index: int, name: str, refresh_rows: Callable[[], None]) -> None:
        """A refused name leaves the rows showing the name kept."""
        try:
            self._shapes().rename(index, name)
        finally:
            refresh_rows()
        self._changed()

    def grab(self, x: float, y: float, image_shape: tuple[int, ...]) -> bool:
        """A press near a vertex (a reach that grows with the image) starts moving it;
        whether it did."""
        reach = 4.0 * max(1.0, max(image_shape) / 400.0)
        shapes = self._shapes()
        held = shapes.nearest_vertex(x, y, reach)
        if held is None:
            return False
        self.dragging = (held[0], held[1], list(shapes.entries[held[0]].points))
        return True

    def drag_to(self, x: float, y: float) -> None:
        if self.dragging is None:
            return
        index, vertex, _ = self.dragging
        try:
            self._shapes().move(index, vertex, round(x, 1), round(y, 1))
        except MorvexError:
            return  # a shape not valid on the way (ends on one another, crossing) passes
        self._moved()

    def release(self, x: float, y: float) -> bool:
        """Whether a drag ended here. Raises the shape's MorvexError when it was put back."""
        if self.dragging is None:
            return False
        index, vertex, before = self.dragging
        self.dragging = None
        shapes = self._shapes()
        try:
            shapes.move(index, vertex, round(x, 1), round(y, 1))
        except MorvexError:
            shapes.set_points(index, before)
            self._changed()
            raise
        self._changed()
        return True
