"""A run others can drive: start it in the background, follow it, cancel it, reopen it.

    >>> job = morvex.start("frames/", store="test.zarr", subset=31)      # doctest: +SKIP
    >>> job.progress, job.summaries()[-1:]                                # doctest: +SKIP
    >>> job.wait()                                                        # doctest: +SKIP
    <JobState.DONE: 'done'>

The command line and the application both run sequences through a Job; a Job writes only to
its store, so whatever watches it (a progress bar, a browser) can go away and come back. Cheap
to import: the heavy modules load when a job starts.
"""

from __future__ import annotations

import enum
import os
import pathlib
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ._errors import MorvexError

if TYPE_CHECKING:
    import xarray as xr

    from .io import Frames
    from .run.execute import Reporter
    from .run.plan import SequencePlan

# The frame summary is the worker side's record; a job hands it on as it is. Cheap: run.execute
# loads xarray, Zarr and Dask only when a run needs them.
from .run.execute import FrameSummary  # noqa: E402


class JobState(str, enum.Enum):  # noqa: UP042 (str() and format() stay "JobState.X")
    QUEUED = "queued"
    RUNNING = "running"
    DONE = "done"
    FAILED = "failed"
    CANCELLED = "cancelled"


@dataclass(frozen=True)
class JobProgress:
    frames_done: int     # frames complete in the store (includes frames resumed from before)
    frames_total: int    # frames known so far (grows while watching a folder)
    points_done: int     # points finished, frames done plus the current frame
    points_total: int    # frames_total * grid points per frame


class Job:
    """A sequence measured in the background into a store.

    Same arguments and checks as :func:`morvex.correlate_sequence` (MorvexError naming the bad
    value, raised here, before anything runs); `store` is required. ``watch=True``: `frames`
    is a folder (or glob) that may grow; a new file counts once its size and modification
    time have been stable for `settle` seconds and it decodes; the job runs until
    :meth:`stop` or :meth:`cancel`. `confine`, when given, receives every file found while
    watching before it is read and returns the path to read, or raises MorvexError to end the
    job with that message (the application keeps a link in the folder from leading outside).
    """

    def __init__(self, frames: object, *, store: str | os.PathLike[str], reference: Any = 0,
                 mask: Any = None, incremental: bool = False, overwrite: bool = False,
                 watch: bool = False, settle: float = 1.0, skip_bad_frames: bool = False,
                 threads: int | None = None, workers: int | None = None, client: Any = None,
                 threads_per_worker: int | None = None, chunk: int | None = None,
                 confine: Callable[[pathlib.Path], pathlib.Path] | None = None,
                 **settings: Any) -> None:
        from .run.plan import check_watch

        if store is None:
            raise MorvexError("a job writes into a store: give store (a .zarr path)")
        self._store = pathlib.Path(store)
        self._watch = bool(watch)
        self._arguments = dict(reference=reference, mask=mask, incremental=incremental,
                               overwrite=overwrite, threads=threads, workers=workers,
                               client=client, threads_per_worker=threads_per_worker,
                               chunk=chunk, skip_bad_frames=skip_bad_frames)
        self._settings = dict(settings)
        self._frames_given = frames
        if confine is not None and not callable(confine):
            raise MorvexError(f"confine must be a function of a path, got {confine!r}")
        self._confine = confine
        self._settle = float(settle)
        if not (self._settle >= 0):
            raise MorvexError(f"settle must be >= 0 s, got {settle!r}")
        self._plan: SequencePlan | None = None
        if self._watch:
            check_watch(frames, settings, threads=threads, workers=workers, client=client,
                        threads_per_worker=threads_per_worker, chunk=chunk)
        else:
            self._plan = self._make_plan(None)
            from .run.execute import open_for

            open_for(self._plan, check_only=True)
        self._state = JobState.QUEUED
        self._error: BaseException | None = None
        self._stop = threading.Event()      # cancel: stop now
        self._finish = threading.Event()    # stop (watch mode): finish what is there
        self._done = threading.Event()
        self._thread: threading.Thread | None = None
        self._reporter: Any = None
        self._grid_points = 0 if self._plan is None else self._plan.grid[0] * self._plan.grid[1]
        self.resumed_after: int | None = None  # last frame complete before this run, if any
        self.resumed_frames: int | None = None  # frames complete before this run (once known)

    # --- building -----------------------------------------------------------------------

    def _make_plan(self, resolved: Any) -> SequencePlan:
        from .run.plan import plan_sequence

        arguments = dict(self._arguments)
        plan = plan_sequence(self._frames_given, store=self._store, resolved=resolved,
                             tile=self._settings.get("tile"),
                             tile_margin=self._settings.get("tile_margin"),
                             settings={k: v for k, v in self._settings.items()
                                       if k not in ("tile", "tile_margin")}, **arguments)
        if self._watch:
            plan.record["watch"] = True
        return plan

    @classmethod
    def reopen(cls, store: str | os.PathLike[str], **overrides: Any) -> Job:
        """A job rebuilt from what `store` recorded (reference, frames, mask, settings); it
        resumes the store when started.

        Raises:
            MorvexError: when the path is not a Morvex store, or it does not record its frames
                (arrays, or a store written before it recorded them) and `frames` is not given.
        """
        import json

        from .store import Store

        path = pathlib.Path(store)
        handle = Store(path)
        identity = handle.identity()
        if identity is None:
            raise MorvexError(f"{path} is not a Morvex results store (made by morvex run)")
        sources = handle.sources() or {}
        base = path.resolve().parent

        def resolve(item: Any) -> Any:
            if isinstance(item, str):
                return os.fspath(base / item) if not os.path.isabs(item) else item
            return item

        arguments: dict[str, Any] = {}
        frames = overrides.pop("frames", None)
        if frames is None:
            recorded = sources.get("frames")
            if recorded is None:
                raise MorvexError(f"{path} does not record its frames (they were arrays, or the "
                                  "store predates the record); give frames= to reopen it")
            frames = [resolve(item) for item in recorded]
            if sources.get("watch") or len(frames) == 1:
                frames = frames[0]
        arguments["reference"] = resolve(sources.get("reference", 0))
        if arguments["reference"] is None:
            raise MorvexError(f"{path} does not record its reference (it was an array); give "
                              "reference= to reopen it")
        arguments["mask"] = handle.mask()
        arguments["incremental"] = bool(identity.get("incremental", False))
        arguments["watch"] = bool(sources.get("watch", False))
        for name in ("chunk", "tile", "tile_margin"):
            if sources.get(name) is not None:
                arguments[name] = sources[name]
        settings = json.loads(sources["settings"]) if "settings" in sources else {
            k: identity[k] for k in identity if k not in (
                "frames", "frame_names", "reference_sha256", "mask_sha256", "incremental")}
        if settings.get("roi") is not None:
            settings["roi"] = tuple(settings["roi"])
        arguments.update(settings)
        arguments.update(overrides)
        return cls(frames, store=path, **arguments)

    # --- running ------------------------------------------------------------------------

    def start(self) -> Job:
        """Run in a background thread; returns self.

        Raises:
            MorvexError: when another run holds the store, or the job was started before.
        """
        from .store import Store

        if self._thread is not None:
            raise MorvexError("this job has been started already; make a new one (Job.reopen)")
        self._lock = Store(self._store).lock()
        self._state = JobState.RUNNING
        self._thread = threading.Thread(target=self._run, name="morvex-job", daemon=True)
        self._thread.start()
        return self

    def _run(self) -> None:
        from ._progress import Cancelled

        try:
            if self._watch:
                self._run_watched()
            else:
                self._run_plan(self._plan)  # type: ignore[arg-type]
            self._state = JobState.DONE
        except (Cancelled, KeyboardInterrupt):
            self._state = JobState.CANCELLED
        except BaseException as error:  # handed to whoever waits: wait() never raises
            self._error = error
            self._state = JobState.FAILED
        finally:
            self._lock.release()
            self._done.set()

    def _reporter_for(self, plan: SequencePlan) -> Reporter:
        from .run.execute import Reporter

        self._grid_points = plan.grid[0] * plan.grid[1]
        reporter = Reporter(len(plan.frames))
        self._reporter = reporter
        return reporter

    def _note_resume(self, todo: list[int]) -> None:
        assert self._plan is not None
        total = len(self._plan.frames)
        self.resumed_frames = total - len(todo)
        first = todo[0] if todo else total
        if first > 0 and len(todo) < total:
            self.resumed_after = first - 1

    def _run_plan(self, plan: SequencePlan) -> None:
        from .run.execute import run_sequence

        run_sequence(plan, self._reporter_for(plan), stop=self._stop, lock=self._lock,
                     on_start=self._note_resume)

    def _planned(self, frames: Frames) -> tuple[SequencePlan, Reporter]:
        # A watched run's plan, once its first frames are there.
        self._plan = self._make_plan(frames)
        return self._plan, self._reporter_for(self._plan)

    def _run_watched(self) -> None:
        from .run.watch import WatchedFolder, watch_sequence

        folder = WatchedFolder(self._frames_given, self._settle,  # type: ignore[arg-type]
                               self._confine)
        watch_sequence(folder, self._planned, stop=self._stop, finish=self._finish,
                       lock=self._lock, on_start=self._note_resume)

    # --- watching -----------------------------------------------------------------------

    @property
    def watching(self) -> bool:
        """Whether the job watches a folder that may grow."""
        return self._watch

    @property
    def stopping(self) -> bool:
        """Whether stop() or cancel() was asked for."""
        return self._finish.is_set() or self._stop.is_set()

    @property
    def state(self) -> JobState:
        return self._state

    @property
    def frame_names(self) -> list[str]:
        """The frames in the order they are measured (empty while a watch waits for files)."""
        return list(self._plan.frames.names) if self._plan is not None else []

    @property
    def progress(self) -> JobProgress:
        reporter = self._reporter
        if reporter is None:
            total = len(self._plan.frames) if self._plan is not None else 0
            return JobProgress(0, total, 0, total * self._grid_points)
        points = reporter.done * self._grid_points + reporter.points[0]
        return JobProgress(reporter.done, reporter.total, points,
                           reporter.total * self._grid_points)

    def summaries(self) -> list[FrameSummary]:
        """Every frame measured by this job so far, in order of the frame list."""
        if self._reporter is None:
            return []
        return sorted(list(self._reporter.summaries), key=lambda s: s.frame)

    def summaries_since(self, count: int) -> list[FrameSummary]:
        """The summaries of the frames measured after the first `count` of this job, in the
        order they finished: a watcher that has seen `count` of them takes only what is new.

        Raises:
            MorvexError: for a negative or non-integer `count`.
        """
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise MorvexError(f"count must be a whole number >= 0, got {count!r}")
        if self._reporter is None:
            return []
        return list(self._reporter.summaries[count:])

    def cancel(self) -> None:
        """Stop now; state CANCELLED once work stops (well under a second)."""
        self._stop.set()

    def stop(self) -> None:
        """Watch mode: measure what is there, then end DONE (a finite run is not affected)."""
        self._finish.set()

    def wait(self, timeout: float | None = None) -> JobState:
        """Wait for the job to end (or `timeout` s); never raises (see :attr:`error`)."""
        if self._thread is not None:
            self._done.wait(timeout)
        return self._state

    @property
    def store(self) -> pathlib.Path:
        return self._store

    @property
    def error(self) -> BaseException | None:
        return self._error

    def dataset(self) -> xr.Dataset:
        """The store as it is now (complete frames)."""
        from .store import open_store

        return open_store(self._store)


def start(frames: object, **kwargs: Any) -> Job:
    """:class:`Job` (frames, **kwargs), started."""
    return Job(frames, **kwargs).start()


__all__ = ["FrameSummary", "Job", "JobProgress", "JobState", "start"]
