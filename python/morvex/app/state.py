"""What one browser tab shows, shared by its cards: the look's choices and the plumbing.

State worth keeping lives in the project (saved in the store); this is only what the tab is
looking at. Every handler runs through `guarded`, so a refused path, setting or input shows
its message in the error line instead of breaking the page.
"""

from __future__ import annotations

import functools
import inspect
import logging
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from .._errors import MorvexError
from .paths import Root
from .project import Project
from .render import unit_of

if TYPE_CHECKING:
    from nicegui import ui

    from .cards.cracks import CrackCard
    from .cards.export import ExportCard
    from .cards.look import LookCard
    from .cards.mask import MaskCard
    from .cards.pattern import PatternCard
    from .cards.plane import PlaneCard
    from .cards.probes import ProbeCard
    from .cards.project import ProjectCard
    from .cards.run import RunCard

log = logging.getLogger("morvex.app")
FIELD_LABELS = {"u": "u", "v": "v", "magnitude": "|displacement|", "exx": "εxx", "eyy": "εyy",
                "exy": "εxy", "zncc": "ZNCC", "sigma_u": "σu", "sigma_v": "σv",
                "status": "status"}


class PageState:
    """One browser tab's view: what it looks at, and its cards (set when the page is made)."""

    error_label: ui.label
    projects: ProjectCard
    pattern: PatternCard
    plane: PlaneCard
    mask: MaskCard
    run: RunCard
    look: LookCard
    probes: ProbeCard
    cracks: CrackCard
    export: ExportCard

    def __init__(self, root: Root) -> None:
        self.root = root
        self.project = Project(root)
        self.key = f"{id(self):x}{time.monotonic_ns():x}"
        self.frame = 0
        self.field = "exx"
        self.strain_unit = "%"
        self.opacity = 0.7
        self.auto_limits = True
        self.low, self.high = 0.0, 1.0
        self.background = "reference"
        self.tool = "probe"
        self.cut = False  # shapes drawn now cut holes
        self.draft: list[tuple[float, float]] = []  # a polygon's corners so far
        self.pressed: tuple[float, float] | None = None
        self.show_grid = False
        self.show_subset = True
        self.vectors = False

    def guarded(self, action: Callable[..., Any]) -> Callable[..., Any]:
        if inspect.iscoroutinefunction(action):
            @functools.wraps(action)
            async def run_async(*args: Any, **kwargs: Any) -> Any:
                try:
                    return await action(*args, **kwargs)
                except Exception as error:
                    self._failed(error)
                    return None

            return run_async

        @functools.wraps(action)
        def run(*args: Any, **kwargs: Any) -> Any:
            try:
                return action(*args, **kwargs)
            except Exception as error:
                self._failed(error)
                return None

        return run

    def _failed(self, error: Exception) -> None:
        if isinstance(error, MorvexError):
            self.error(str(error))
            return
        log.exception("unexpected error in the page", exc_info=error)  # never a dead page
        self.error(f"unexpected error ({type(error).__name__}): {error}")

    def error(self, text: str) -> None:
        self.error_label.set_text(text)
        self.error_label.set_visibility(bool(text))

    def clear_error(self) -> None:
        self.error("")

    def set(self, name: str, value: Any, redraw: bool = True) -> None:
        """A look choice (a checkbox, the opacity) set, and the picture redrawn with it."""
        setattr(self, name, value)
        if redraw:
            self.look.redraw()

    def unit(self, name: str) -> tuple[float, str]:
        scale = self.project.settings.get("scale_mm_per_px")
        return unit_of(name, self.strain_unit, scale)

    def background_image(self) -> np.ndarray:
        if self.background == "current":
            return self.project.frame_image(self.frame)
        assert self.project.reference is not None
        return self.project.reference

    def frame_data(self) -> tuple[Any, int | None]:
        """(dataset, position of the current frame in it) or (dataset or None, None)."""
        dataset = self.project.dataset()
        if dataset is None:
            return None, None
        positions = np.flatnonzero(dataset["frame"].values == self.frame)
        return dataset, (int(positions[0]) if positions.size else None)
