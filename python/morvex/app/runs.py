"""The runs of this server, one per store: started, found again, and let go when done.

Runs are kept per store for the whole server, so a reloaded page or a second tab sees the run
that is going on, and a second run on the same store is refused.
"""

from __future__ import annotations

import functools
import pathlib
import threading
import time
from typing import TYPE_CHECKING, Any

from .._errors import MorvexError
from .job_adapter import JobState
from .job_process import ChildJob

if TYPE_CHECKING:
    from .project import Project

_RUNS: dict[pathlib.Path, Any] = {}
_STARTED: dict[pathlib.Path, dict[str, Any]] = {}  # the project each run was started with
_RUNS_LOCK = threading.Lock()


def run_of(store: pathlib.Path) -> Any:
    """The job of this server on `store` (running or finished), or None."""
    with _RUNS_LOCK:
        return _RUNS.get(store.resolve())


def running_store() -> pathlib.Path | None:
    """The store of the run of this server started last that is still going on, or None."""
    with _RUNS_LOCK:
        going = [store for store, job in _RUNS.items()
                 if job.state in (JobState.QUEUED, JobState.RUNNING)]
    return going[-1] if going else None  # dicts keep insertion order: the newest last


def started_with(store: pathlib.Path) -> dict[str, Any] | None:
    """The project state the run on `store` was started with, or None."""
    with _RUNS_LOCK:
        return _STARTED.get(store.resolve())


def start_run(project: Project, watch: bool) -> Any:
    """Start a Job for `project` on its store (see Project.start); the project is open."""
    from ..settings import Settings

    root = project.root
    plane = project.plane_settings()
    barriers = project.crack_settings()
    settings = Settings.build(**project.settings, **plane, **barriers)
    settings.check_image(project.reference.shape)  # type: ignore[union-attr]
    store = project.store.resolve()
    root.confine_tree(store, "store entry")
    with _RUNS_LOCK:
        current = _RUNS.get(store)
        if current is not None and current.state in (JobState.QUEUED, JobState.RUNNING):
            raise MorvexError(f"{root.relative(store)} is being written by a run; "
                              "wait for it or cancel it")
        if watch:
            folder = root.resolve(project.frames_text, "frames")
            if not folder.is_dir():
                raise MorvexError("watch folder: the frames must be a folder the camera "
                                  "writes into")
            frames: Any = str(folder)
            extra: dict[str, Any] = {"watch": True, "confine": functools.partial(
                root.confine, what="frame")}
        else:
            frames, extra = root.frames(project.frames_text), {}
        reference = root.resolve(project.reference_text, "reference")
        job = ChildJob(frames, store=store, reference=reference, mask=project.mask(),
                       incremental=project.incremental, **extra, **project.settings, **plane,
                       **barriers)
        job.start()
        _RUNS.pop(store, None)
        _RUNS[store] = job
        _STARTED[store] = project.state()
    _keep_state_when_created(project, job)
    threading.Thread(target=_release_when_done, args=(job,), name="morvex-app-release",
                     daemon=True).start()
    return job


def _release_when_done(job: Any) -> None:
    """Once the run ends, give the memory its threads freed back to the system.

    A run allocates from its threads' own malloc arenas (images, prepared references, frames
    on their way to the store); glibc keeps what they free for later, so a server that ran a
    sequence would keep its peak for good. Elsewhere than glibc this does nothing.
    """
    import gc

    job.wait()
    gc.collect()
    trim_heap()


def trim_heap() -> None:
    """Give the memory freed in this process back to the system (glibc keeps it otherwise;
    elsewhere this does nothing). Releases the GIL while it works: call from any thread."""
    import contextlib
    import ctypes

    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL("libc.so.6").malloc_trim(0)


def _keep_state_when_created(project: Project, job: Any) -> None:
    """Save the project into the store as soon as the run has laid the store out.

    The run creates the store with its first frame (replacing whatever folder was there),
    so the state is written then, whether or not a page is still open.
    """
    from ..store import Store

    def wait() -> None:
        store = Store(project.store)
        while job.state in (JobState.QUEUED, JobState.RUNNING) and not store.exists():
            time.sleep(0.2)
        if store.exists():
            project.save()

    threading.Thread(target=wait, name="morvex-app-state", daemon=True).start()
