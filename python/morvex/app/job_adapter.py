"""The package's Job as the application uses it.

The application never measures anything itself: it starts, watches and cancels a Job. Until
``morvex.Job`` exists in the installed package this file holds a stand-in with the same
interface (over ``correlate_sequence``); once it exists, the import below is all there is.
"""

from __future__ import annotations

import ctypes
import dataclasses
import enum
import math
import pathlib
import threading
from typing import Any

import numpy as np

from .._errors import MorvexError

try:
    from ..job import FrameSummary, Job, JobProgress, JobState  # type: ignore[import-not-found]
except ImportError:  # the package's Job has not landed yet
    class JobState(str, enum.Enum):  # type: ignore[no-redef]
        QUEUED = "queued"
        RUNNING = "running"
        DONE = "done"
        FAILED = "failed"
        CANCELLED = "cancelled"

    @dataclasses.dataclass(frozen=True)
    class FrameSummary:  # type: ignore[no-redef]
        frame: int
        name: str
        valid_share: float
        median_zncc: float
        median_sigma: float
        seconds: float

    @dataclasses.dataclass(frozen=True)
    class JobProgress:  # type: ignore[no-redef]
        frames_done: int
        frames_total: int
        points_done: int
        points_total: int

    _RUNNING_STORES: set[pathlib.Path] = set()
    _LOCK = threading.Lock()

    class Job:  # type: ignore[no-redef]
        """A sequence measured on a background thread (the package's interface)."""

        def __init__(self, frames: Any, *, store: Any, reference: Any = 0, mask: Any = None,
                     incremental: bool = False, overwrite: bool = False,
                     threads: int | None = None, watch: bool = False, settle: float = 1.0,
                     **settings: Any) -> None:
            from ..io import frames_from

            if watch:
                raise MorvexError("watching a folder needs morvex.Job, which this installed "
                                  "package does not have yet")
            from ..settings import Settings

            Settings.build(**settings)
            self._frame_list = frames_from(frames)
            self._args = dict(frames=frames, reference=reference, mask=mask,
                              incremental=incremental, overwrite=overwrite, threads=threads,
                              **settings)
            self._store = pathlib.Path(store).resolve()
            self._state = JobState.QUEUED
            self._summaries: list[FrameSummary] = []
            self._done = 0
            self._error: BaseException | None = None
            self._thread: threading.Thread | None = None
            self._finished = threading.Event()

        def start(self) -> "Job":
            with _LOCK:
                if self._store in _RUNNING_STORES:
                    raise MorvexError(f"{self._store} is being written by another run; wait "
                                      "for it or cancel it")
                _RUNNING_STORES.add(self._store)
            self._state = JobState.RUNNING
            self._thread = threading.Thread(target=self._run, name="morvex-job", daemon=True)
            self._thread.start()
            return self

        def _run(self) -> None:
            from ..sequence import correlate_sequence

            args = dict(self._args)
            frames = args.pop("frames")

            def progress(done: int, total: int) -> None:
                self._done = done

            def on_frame(index: int, frame: Any, seconds: float) -> None:
                valid = frame["valid"].values
                specimen = int((frame["status"].values != 1).sum())
                share = float(valid.sum() / specimen) if specimen else 0.0
                if valid.any():
                    zncc = float(np.nanmedian(frame["zncc"].values[valid]))
                    sigma = float(np.nanmedian(np.maximum(frame["sigma_u"].values,
                                                          frame["sigma_v"].values)[valid]))
                else:
                    zncc = sigma = math.nan
                self._summaries.append(FrameSummary(index, self._frame_list.names[index],
                                                    share, zncc, sigma, seconds))

            try:
                correlate_sequence(frames, store=self._store, progress=progress,
                                   on_frame=on_frame, **args)
                self._state = JobState.DONE
            except KeyboardInterrupt:
                self._state = JobState.CANCELLED
            except BaseException as error:  # reported through .error
                self._error = error
                self._state = JobState.FAILED
            finally:
                with _LOCK:
                    _RUNNING_STORES.discard(self._store)
                self._finished.set()

        @property
        def state(self) -> JobState:
            return self._state

        @property
        def progress(self) -> JobProgress:
            total = len(self._frame_list)
            return JobProgress(self._done, total, 0, 0)

        def summaries(self) -> list[FrameSummary]:
            return list(self._summaries)

        def cancel(self) -> None:
            thread = self._thread
            if thread is not None and thread.ident is not None and not self._finished.is_set():
                # The sequence stops like on Ctrl-C: the current frame's workers are told to
                # skip what is left, complete frames stay in the store.
                ctypes.pythonapi.PyThreadState_SetAsyncExc(
                    ctypes.c_ulong(thread.ident), ctypes.py_object(KeyboardInterrupt))

        def stop(self) -> None:
            self.cancel()

        def wait(self, timeout: float | None = None) -> JobState:
            self._finished.wait(timeout)
            return self._state

        @property
        def store(self) -> pathlib.Path:
            return self._store

        @property
        def error(self) -> BaseException | None:
            return self._error

        def dataset(self) -> Any:
            from ..store import open_store

            return open_store(self._store)

__all__ = ["FrameSummary", "Job", "JobProgress", "JobState"]
