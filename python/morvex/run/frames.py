"""Worker side: the frame pipeline, measuring one frame after another, writing, reporting.

The correlation stays busy: the next frame is read and the last one assembled, written and
summarised on two helper threads while the current one correlates (one frame of look-ahead
each way, so memory stays at three frames). Which field starts each frame is the start rule's
business (:mod:`morvex.run.starts`); this loop only hands it each frame in turn.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import functools
import json
import math
import threading
import time
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np

from .. import _guided
from .._dataset import FLOAT_VARIABLES, STATUS_CANCELLED, dataset_from_result
from .._errors import MorvexError
from .._progress import Cancelled, run_cancellable
from .._status import Status
from ..io import Frames
from ..settings import Settings
from .plan import BadFrameError, check_frame_shape

if TYPE_CHECKING:
    import xarray as xr

    from .plan import SequencePlan


@dataclasses.dataclass(frozen=True)
class FrameSummary:
    """What a user wants to know of a frame at a glance (the command line prints it)."""

    frame: int           # 0-based position in the frame list
    name: str            # frame name (file name, "page K", "array K")
    valid_share: float   # valid points / specimen points (points not outside the mask), 0..1
    median_zncc: float   # over valid points (NaN if none)
    median_sigma: float  # px, median over valid points of max(sigma_u, sigma_v) (NaN if none)
    seconds: float       # wall time spent on the frame


def summarise(index: int, name: str, result: dict[str, Any], seconds: float) -> FrameSummary:
    """A frame's summary; the share counts only specimen points (not outside the mask)."""
    valid = np.asarray(result["valid"], dtype=bool)
    status = np.asarray(result["status"])
    specimen = int(np.count_nonzero((status != Status.OUTSIDE_MASK)
                                    & (status != Status.NOT_MEASURED)))
    share = float(valid.sum()) / specimen if specimen else 0.0
    if valid.any():
        zncc = float(np.median(np.asarray(result["zncc"])[valid]))
        sigma = float(np.median(np.maximum(np.asarray(result["sigma_u"])[valid],
                                           np.asarray(result["sigma_v"])[valid])))
    else:
        zncc = sigma = math.nan
    return FrameSummary(index, name, share, zncc, sigma, seconds)


# Called once per finished frame: (index, frame dataset or None when only the store has it,
# summary). Raising from it (KeyboardInterrupt) stops the loop after that frame.
FrameSink = Callable[[int, "xr.Dataset", FrameSummary], None]


@dataclasses.dataclass(frozen=True)
class Measurement:
    """What every frame of a run is measured with."""

    reference: np.ndarray
    settings: Settings
    mask: np.ndarray | None = None
    threads: int = 0          # 0: all cores
    skip_bad: bool = False    # an unreadable frame is written as not measured, not an error

    @classmethod
    def of(cls, plan: SequencePlan) -> Measurement:
        return cls(plan.reference, plan.settings, plan.mask, plan.threads, plan.skip_bad_frames)


@dataclasses.dataclass(frozen=True)
class Frame:
    """A frame as the reader hands it on."""

    index: int
    name: str
    image: np.ndarray | None  # None when unreadable (and skipped)
    bad: str | None           # why it is unreadable


# run_cancellable with the loop's stop, progress and poll: a start rule correlates through it.
Correlate = Callable[[Callable[[_guided.Control], dict[str, Any]]], dict[str, Any]]


class StartRule(Protocol):
    """Which frames are correlated, in which order, and which field starts each."""

    order: Iterator[int]

    def measure(self, frame: Frame, correlate: Correlate) -> dict[str, Any] | None:
        """The frame's result, or None for a frame correlated only to carry a chain on."""
        ...


class FrameWindow:
    """Frames start .. start + len(frames) - 1 of a sequence, addressed by sequence index."""

    def __init__(self, frames: Frames, start: int) -> None:
        self._frames = frames
        self._start = start
        self.names = {start + k: name for k, name in enumerate(frames.names)}

    def __getitem__(self, index: int) -> np.ndarray:
        return np.asarray(self._frames[index - self._start])


def not_measured(settings: Settings, ys: np.ndarray, xs: np.ndarray) -> dict[str, Any]:
    """A frame without a measurement: every point NaN, status 255 (not measured)."""
    result: dict[str, Any] = {"rows": len(ys), "cols": len(xs)}
    result["x"], result["y"] = np.meshgrid(np.asarray(xs, np.float64), np.asarray(ys, np.float64))
    for name in FLOAT_VARIABLES:
        result[name] = np.full((len(ys), len(xs)), np.nan)
    result["valid"] = np.zeros((len(ys), len(xs)), dtype=np.uint8)
    result["status"] = np.full((len(ys), len(xs)), int(Status.NOT_MEASURED), dtype=np.uint8)
    result["iterations"] = np.full((len(ys), len(xs)), -1, dtype=np.int32)
    return result


def stop_if_cancelled(result: dict[str, Any]) -> None:
    """Raise KeyboardInterrupt for a result with cancelled points (a cancel that reached the
    workers after the last poll)."""
    if np.any(np.asarray(result["status"]) == STATUS_CANCELLED):
        raise KeyboardInterrupt


def run_frames(measurement: Measurement, frames: Frames | FrameWindow, starts: StartRule, *,
               store: Any = None, sink: FrameSink | None = None,
               stop: threading.Event | None = None,
               on_points: Callable[[int, int], None] | None = None
               ) -> list[tuple[int, xr.Dataset | None]]:
    """Measure the frames of `starts.order`; write each to `store` if given, then report it.

    Writing a frame is idempotent, so a chunk may be run again.

    Returns:
        (frame index, frame dataset) for every frame measured and written; the datasets only
        without a store (with one, None: the store has them).

    Raises:
        KeyboardInterrupt: on Ctrl-C or `stop`; frames already written stay complete.
        BadFrameError: for an unreadable frame, unless `measurement.skip_bad`.
    """
    pipeline = _Pipeline(frames, measurement.reference.shape, measurement.skip_bad)
    out: list[tuple[int, xr.Dataset | None]] = []

    def written(frame: Frame, result: dict[str, Any],
                seconds: float) -> tuple[int, xr.Dataset, FrameSummary]:
        # On the writer thread: the dataset, the store and the summary, beside the next
        # frame's correlation.
        dataset = dataset_from_result(result, measurement.settings)
        if frame.bad is not None:
            dataset.attrs["skipped_frames"] = json.dumps({frame.name: frame.bad})
        if store is not None:
            store.write_frame(frame.index, dataset, skipped=frame.bad)
        return frame.index, dataset, summarise(frame.index, frame.name, result, seconds)

    def hand_on(done: tuple[int, xr.Dataset, FrameSummary] | None) -> None:
        if done is not None:
            out.append((done[0], done[1] if store is None else None))
            if sink is not None:
                sink(*done)

    def poll() -> None:
        # While a frame correlates: report the frame before it as soon as it is written.
        hand_on(pipeline.finished())

    def correlate(work: Callable[[_guided.Control], dict[str, Any]]) -> dict[str, Any]:
        return run_cancellable(work, stop=stop, on_progress=on_points, on_poll=poll)

    try:
        reading = pipeline.read(starts.order)
        while (frame := _arrived(reading, poll, stop)) is not None:
            began = time.perf_counter()
            reading = pipeline.read(starts.order)
            result = starts.measure(frame, correlate)
            if result is None:
                continue  # replayed to rebuild an incremental state; already stored
            stop_if_cancelled(result)
            seconds = time.perf_counter() - began
            hand_on(pipeline.finish())
            pipeline.write(functools.partial(written, frame, result, seconds))
        hand_on(pipeline.finish())
    except BaseException:
        # The write in flight completes (a frame is never half written by us) and is reported;
        # then whatever stopped the loop goes on.
        with contextlib.suppress(BaseException):
            hand_on(pipeline.finish())
        raise
    finally:
        pipeline.close()
    return out


def _arrived(reading: concurrent.futures.Future[Frame | None], poll: Callable[[], None],
             stop: threading.Event | None) -> Frame | None:
    # Waiting for the frame (a slow disk, a camera): the last one is reported meanwhile, and a
    # cancel is heard.
    while not reading.done():
        poll()
        if stop is not None and stop.is_set():
            raise Cancelled
        concurrent.futures.wait([reading], timeout=0.05)
    return reading.result()


class _Pipeline:
    """One reader and one writer thread beside the correlation (one frame ahead each way)."""

    def __init__(self, frames: Any, shape: tuple[int, ...], skip_bad: bool) -> None:
        self._frames, self._shape, self._skip_bad = frames, shape, skip_bad
        self._pool = concurrent.futures.ThreadPoolExecutor(2, thread_name_prefix="morvex-io")
        self._writing: concurrent.futures.Future[Any] | None = None

    def read(self, order: Iterator[int]) -> concurrent.futures.Future[Frame | None]:
        """The next frame of `order`, or None at its end.

        The reader thread advances `order` itself: a watched folder's order waits for the next
        file there, never in the loop.
        """
        return self._pool.submit(self._next, order)

    def _next(self, order: Iterator[int]) -> Frame | None:
        index = next(order, None)
        return None if index is None else self._load(index)

    def _load(self, index: int) -> Frame:
        name = self._frames.names[index]
        try:
            image = self._frames[index]
        except MorvexError as error:
            if not self._skip_bad:
                raise BadFrameError(index, name, str(error)) from None
            return Frame(index, name, None, str(error))
        check_frame_shape(name, image, self._shape)
        return Frame(index, name, image, None)

    def write(self, work: Callable[[], Any]) -> None:
        """Run `work` after the previous write finished (its result is handed on by finish)."""
        self.finish()
        self._writing = self._pool.submit(work)

    def finish(self) -> Any:
        writing, self._writing = self._writing, None
        return None if writing is None else writing.result()

    def finished(self) -> Any:
        """The last write's result if it is done (and hand it on once), else None."""
        if self._writing is not None and self._writing.done():
            return self.finish()
        return None

    def close(self) -> None:
        # Writes were finished above; a read may still wait for a watched folder's next file
        # (its watcher ends with the job).
        self._pool.shutdown(wait=False, cancel_futures=True)
