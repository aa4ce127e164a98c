"""Worker side: the start rule, which field starts each frame of a run.

Fixed reference: a frame starts from the field of the frame before it, as stored (invalid
points NaN), so a resumed run follows exactly the path of an uninterrupted one. Incremental:
each frame is correlated against the one before it, so every frame up to the last wanted one
is correlated (the chain), even those a store already has.
"""

from __future__ import annotations

import threading
from collections.abc import Iterable
from typing import Any

import numpy as np

from .. import _guided
from .._dataset import start_from_result
from .._errors import MorvexError
from .._progress import run_cancellable
from ..settings import grid_axes
from .frames import Correlate, Frame, Measurement, StartRule, not_measured
from .reference_cache import prepare_reference


class FromPrevious:
    """Fixed reference: each frame starts from the one before it in the order. After a gap (and
    at the first frame): from `previous` for the first frame if given, else from `stored`'s
    frame before it when that is complete, else from seeds. A frame after an unreadable one
    starts from seeds."""

    def __init__(self, measurement: Measurement, indices: Iterable[int], *,
                 prepared: _guided.ReferenceImage, previous: dict[str, Any] | None = None,
                 stored: Any = None) -> None:
        self.order = iter(indices)
        self._measurement, self._prepared = measurement, prepared
        self._solver = measurement.settings.to_kwargs()[1]
        self._previous, self._stored = previous, stored
        self._start = previous
        self._last: int | None = None

    def measure(self, frame: Frame, correlate: Correlate) -> dict[str, Any]:
        if self._last is None or frame.index != self._last + 1:
            self._start = self._after_gap(frame.index)
        self._last = frame.index
        if frame.image is None:  # unreadable, and skipped (its reason in frame.bad)
            self._start = None
            settings = self._measurement.settings
            return not_measured(settings, *grid_axes(settings, self._measurement.reference.shape))
        start, prepared, image = self._start, self._prepared, frame.image
        result = correlate(lambda control: _guided.correlate(
            prepared, image, control=control, previous=start,
            threads=self._measurement.threads, **self._solver))
        # The next frame starts from the field as stored (invalid points NaN), so a resumed
        # run follows exactly the path of an uninterrupted one.
        self._start = start_from_result(result)
        return result

    def _after_gap(self, index: int) -> dict[str, Any] | None:
        if self._last is None and self._previous is not None:
            return self._previous
        if self._stored is not None:
            return self._stored.previous(index)  # type: ignore[no-any-return]
        return None


class IncrementalChain:
    """Incremental: each frame against the one before it. A list of indices is a chain from
    the first frame to its last index, and only the listed frames are written and reported; a
    growing order (a watched folder) writes every frame it yields."""

    def __init__(self, measurement: Measurement, indices: Iterable[int],
                 stop: threading.Event | None = None) -> None:
        self._wanted: set[int] | None = None
        if isinstance(indices, (list, tuple, range)):
            self._wanted = set(indices)
            self.order = iter(range(max(self._wanted) + 1) if self._wanted else ())
        else:
            self.order = iter(indices)
        reference_kwargs, solver = measurement.settings.to_kwargs()
        if measurement.mask is not None:
            reference_kwargs["mask"] = measurement.mask.astype(np.uint8)
        controls: list[_guided.Control] = []

        def build(control: _guided.Control) -> _guided.Sequence:
            controls.append(control)  # the sequence keeps a pointer to it
            return _guided.Sequence(measurement.reference, control=control, incremental=True,
                                    threads=measurement.threads, **reference_kwargs, **solver)

        self._sequence = run_cancellable(build, stop=stop)
        self._controls = controls

    def measure(self, frame: Frame, correlate: Correlate) -> dict[str, Any] | None:
        if frame.image is None:
            raise MorvexError(f"frame {frame.index} ({frame.name}) is damaged or unreadable: "
                              f"{frame.bad}; an incremental run cannot skip it (every frame "
                              "is the next one's reference)")
        sequence, image = self._sequence, frame.image
        result = correlate(lambda _control: sequence.add_frame(image))
        if self._wanted is not None and frame.index not in self._wanted:
            return None
        return result


def starts_for(measurement: Measurement, indices: Iterable[int], *, incremental: bool,
               stored: Any = None, stop: threading.Event | None = None) -> StartRule:
    """The start rule of a whole run in this process: the chain, or each frame from the one
    before it (after a gap, from `stored`'s frame before it)."""
    if incremental:
        return IncrementalChain(measurement, indices, stop)
    prepared = prepare_reference(measurement.reference, measurement.settings, measurement.mask,
                                 stop)
    return FromPrevious(measurement, indices, prepared=prepared, stored=stored)
