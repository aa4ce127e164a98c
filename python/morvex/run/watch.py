"""A folder that grows while it is measured: its files become frames once they are complete.

The watched run takes the steps of every sequence run (:func:`morvex.run.execute.held_store`:
the store held, opened with its identity checked, the reporter begun) and measures in this
process with the frame pipeline, whose order waits here for the next complete file. A front
door (the job) starts it and keeps its state and thread; nothing here knows Dask.
"""

from __future__ import annotations

import os
import pathlib
import threading
import time
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from .._errors import MorvexError
from .._progress import Cancelled
from ..io import Frames, frames_from
from .execute import Reporter, held_store, keep_attrs
from .frames import FrameSummary, Measurement, run_frames
from .plan import SequencePlan
from .starts import starts_for

if TYPE_CHECKING:
    import xarray as xr

    from ..store import Store

_SETTLE_RETRIES = 10  # a stable file that does not decode is retried this many settle periods


class WatchedFolder:
    """The files of a folder or pattern that are complete: size and mtime stable for `settle`
    seconds, and decodable. `confine`, when given, receives every file found before it is read
    and returns the path to read, or raises MorvexError to end the run with that message."""

    def __init__(self, pattern: str | os.PathLike[str], settle: float,
                 confine: Callable[[pathlib.Path], pathlib.Path] | None = None) -> None:
        self._pattern, self._settle, self._confine = pattern, settle, confine
        self._seen: dict[str, tuple[int, float, float]] = {}  # path -> size, mtime, since
        self._failures: dict[str, int] = {}
        self._ready: list[str] = []
        self._waiting = 0  # files seen but not ready yet

    def wait_for(self, count: int, stop: threading.Event,
                 finish: threading.Event) -> list[str] | None:
        """The first `count` ready files (in name order), or None when stopped first."""
        while True:
            self._poll()
            if len(self._ready) >= count:
                return list(self._ready)
            # Stopped: files still settling are waited for ("finish what is there").
            if stop.is_set() or (finish.is_set() and not self._waiting):
                return None
            stop.wait(min(0.1, max(self._settle / 4, 0.02)))

    def _poll(self) -> None:
        from ..io import as_image, files_of

        now = time.monotonic()
        pending = files_of(self._pattern, allow_empty=True)[len(self._ready):]
        if self._confine is not None:
            pending = [self._confine(file) for file in pending]
        stable = []
        for file in pending:
            key = os.fspath(file)
            try:
                info = file.stat()
            except OSError:
                break  # removed meanwhile: the frames after it wait for the next look
            signature = (info.st_size, info.st_mtime)
            seen = self._seen.get(key)
            if seen is None or seen[:2] != signature:
                self._seen[key] = (*signature, now)
                seen = self._seen[key]
            stable.append(now - seen[2] >= self._settle)
        # Frames are taken in name order: a file counts once it and every file before it do.
        for file, settled in zip(pending, stable, strict=True):
            if not settled:
                break
            key = os.fspath(file)
            try:
                as_image(file, "frame")
            except MorvexError:
                failures = self._failures.get(key, 0) + 1
                self._failures[key] = failures
                if failures < _SETTLE_RETRIES:
                    break  # still being written, perhaps: look again next time
            self._ready.append(key)
        ready = set(self._ready)
        self._waiting = sum(1 for f in pending if os.fspath(f) not in ready)


def watch_sequence(folder: WatchedFolder,
                   plan_for: Callable[[Frames], tuple[SequencePlan, Reporter]], *,
                   stop: threading.Event, finish: threading.Event, lock: Any = None,
                   on_start: Callable[[list[int]], None] | None = None) -> None:
    """Measure the frames of `folder` into the plan's store as they arrive, until `finish`
    (measure what is there, then end) or `stop` (now).

    `plan_for` makes the plan and its reporter from the first frames, once one is complete.

    Raises:
        Cancelled: when `stop` was set.
    """
    first = folder.wait_for(1, stop, finish)
    if first is None:
        return  # stopped before any frame arrived
    plan, reporter = plan_for(frames_from(first))
    with held_store(plan, reporter, lock) as (store, todo):
        assert store is not None  # a watched run always writes into a store
        if on_start is not None:
            on_start(todo)
        complete = set(range(len(plan.frames))) - set(todo)

        def sink(index: int, frame: xr.Dataset, summary: FrameSummary) -> None:
            if index not in complete:
                reporter.frame(index, frame, summary)

        arrivals = _arrivals(folder, plan, complete, reporter, stop, finish)
        measurement = Measurement.of(plan)
        growing = _GrowingStore(store, plan.frames)
        try:
            starts = starts_for(measurement, arrivals, incremental=plan.incremental,
                                stored=growing, stop=stop)
            run_frames(measurement, plan.frames, starts, store=growing, sink=sink, stop=stop,
                       on_points=reporter.on_points)
        except BaseException:
            finish.set()  # the folder, waited on by the reader thread, ends too
            raise
    keep_attrs(plan, store)  # as a run over a fixed list keeps them
    if stop.is_set():
        raise Cancelled


def _arrivals(folder: WatchedFolder, plan: SequencePlan, complete: set[int], reporter: Reporter,
              stop: threading.Event, finish: threading.Event) -> Iterator[int]:
    # The frames to correlate, waiting for the next complete file at the end of the list. An
    # incremental run correlates the stored frames too: each is the next one's reference.
    index = 0
    while True:
        while index < len(plan.frames):
            if plan.incremental or index not in complete:
                yield index
            index += 1
        more = folder.wait_for(len(plan.frames) + 1, stop, finish)
        if more is None:
            return
        plan.frames.extend(frames_from(more[len(plan.frames):]))
        reporter.grow(len(plan.frames))


class _GrowingStore:
    """A store that follows a frame list growing under it (all writes on one thread)."""

    def __init__(self, store: Store, frames: Frames) -> None:
        self._store, self._frames = store, frames
        self.path = store.path

    def write_frame(self, index: int, frame: xr.Dataset, *, skipped: str | None = None) -> None:
        if self._store.exists() and index >= len(self._store.complete()):
            self._store.grow(list(self._frames.names))
        elif not self._store.exists():
            self._store.expect_frames(list(self._frames.names))
        self._store.write_frame(index, frame, skipped=skipped)

    def previous(self, index: int) -> Any:
        return self._store.previous(index)

    def exists(self) -> bool:
        return bool(self._store.exists())
