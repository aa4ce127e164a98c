"""Worker side: the tasks of a chunked run, a chunk of frames or an incremental chain.

Everything here runs where the work is, in this process or on a Dask worker, and knows neither
the front doors nor the backend. A task reads its frames from their sources and writes them
into the store itself; what it returns is small (summaries), unless there is no store.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ..io import Frames, Source
from ..settings import Settings
from .frames import FrameSink, FrameWindow, Measurement, run_frames
from .reference_cache import cached_reference
from .starts import FromPrevious, IncrementalChain


def load_pixels(source: Source | None, what: str) -> np.ndarray | None:
    """A task's input image from its source: the scheduler can run it again on any worker."""
    if source is None:
        return None
    if source.kind == "array":
        return np.asarray(source.array)
    return source.read(what)


def measure_chunk(start: int, stop: int, frames: Frames, reference: np.ndarray,
                  mask: np.ndarray | None, settings: Settings, token: str,
                  store_path: str | None, threads: int,
                  skip_bad: bool = False) -> list[tuple[int, float, Any]]:
    """Measure frames start .. stop - 1 of a chunk (one task); write them to the store.

    Skips the chunk's frames already complete in the store and starts after them from the
    stored field, so a retried or resumed chunk follows the path of an uninterrupted one.

    Returns:
        (frame index, summary, the frame dataset or None when it went to the store).
    """
    from ..store import Store

    first = start
    previous = None
    store = Store(store_path) if store_path is not None else None
    if store is not None:
        complete = store.complete()
        while first < stop and complete[first]:
            first += 1
        if first == stop:
            return []
        if first > start:
            previous = store.previous(first)
    measurement = Measurement(reference, settings, mask, threads, skip_bad)
    prepared = cached_reference(token, reference, settings, mask)
    # A chunk's first frame starts from seeds, never from a neighbouring chunk's stored frame
    # (which may or may not be there yet): no `stored` to chain from.
    starts = FromPrevious(measurement, range(first, stop), prepared=prepared, previous=previous)
    out: list[tuple[int, Any, Any]] = []
    run_frames(measurement, FrameWindow(frames, start), starts, store=store,
               sink=_collect(out, store is None))
    return out


def measure_chain(frames: Frames, reference: np.ndarray, mask: np.ndarray | None,
                  settings: Settings, todo: list[int], store_path: str | None,
                  threads: int) -> list[tuple[int, Any, Any]]:
    """An incremental sequence as one task (its frames form one chain of references)."""
    from ..store import Store

    store = Store(store_path) if store_path is not None else None
    if store is not None:
        # A chain retried after its worker died goes on after the frames it already wrote.
        complete = store.complete()
        todo = [k for k in todo if not complete[k]]
    measurement = Measurement(reference, settings, mask, threads)
    out: list[tuple[int, Any, Any]] = []
    run_frames(measurement, frames, IncrementalChain(measurement, todo), store=store,
               sink=_collect(out, store is None))
    return out


def _collect(out: list[tuple[int, Any, Any]], keep: bool) -> FrameSink:
    # (index, summary, frame): the frame travels back only when no store has it.
    return lambda index, frame, summary: out.append((index, summary, frame if keep else None))
