"""The package's Job run in a child process, watched from the server as a Job is.

A run holds its images, prepared references and frames on their way to the store; in the
server's own process that memory would sit beside every tab's page, and glibc keeps much of
it after the run. In a child it goes back to the system when the child ends, and the server
stays the size of its pages. The child runs an ordinary morvex.Job with the same arguments;
the server's side answers the questions the page asks a Job (state, progress, summaries,
error) from what the child reports, and passes cancel and stop on.

The child ends with the server: it watches its pipe, and a server gone (ended, killed, Ctrl-C)
cancels the run there, so the store is left resumable and its lock free.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import pathlib
import threading
from typing import Any

from .._errors import MorvexError
from .job_adapter import FrameSummary, Job, JobProgress, JobState

_REPORT_EVERY = 0.1  # s: how stale the page's progress may be, at about 20 small messages/s
# The run's niceness: a run takes every core for minutes, and at the server's own priority
# the pages' requests and redraws wait behind it for the CPU (p99 above half a second with
# two cores). Below it, the run takes what the pages leave, which is nearly everything.
_RUN_NICENESS = 10
_ENDED = (JobState.DONE, JobState.FAILED, JobState.CANCELLED)


class ChildJob:
    """A morvex.Job run in a child process; checked here first, with the Job's own messages.

    Raises:
        MorvexError: as Job does, before anything runs.
    """

    def __init__(self, frames: object, **arguments: Any) -> None:
        Job(frames, **arguments)  # the checks, here, before a process is spent on them
        self._frames, self._arguments = frames, arguments
        self._store = pathlib.Path(arguments["store"])
        self._watch = bool(arguments.get("watch", False))
        self._state = JobState.QUEUED
        self._progress = JobProgress(0, 0, 0, 0)
        self._summaries: list[FrameSummary] = []
        self._error: BaseException | None = None
        self._stopping = False
        self._done = threading.Event()
        self._lock = threading.Lock()  # the pipe's sending end, shared by the page's threads
        self._connection: Any = None

    def start(self) -> ChildJob:
        context = multiprocessing.get_context("spawn")
        ours, theirs = context.Pipe()
        process = context.Process(target=_child, args=(theirs, self._frames, self._arguments),
                                  name="morvex-app-run", daemon=True)
        process.start()
        theirs.close()
        self._connection, self._state = ours, JobState.RUNNING
        threading.Thread(target=self._listen, args=(process,), name="morvex-app-run-reports",
                         daemon=True).start()
        return self

    def _listen(self, process: Any) -> None:
        try:
            while True:
                kind, *message = self._connection.recv()
                if kind == "progress":
                    # An end is taken only with its error (the "ended" message), so a page
                    # never sees FAILED without the reason.
                    if message[0] not in _ENDED:
                        self._state = message[0]
                    self._progress = message[1]
                    self._summaries.extend(message[2])
                elif kind == "ended":
                    self._error = message[0]
                    self._state = message[1]
                    break
        except (EOFError, OSError):
            process.join(5)
            self._error = MorvexError(f"the run's process ended unexpectedly (exit code "
                                      f"{process.exitcode})")
            self._state = JobState.FAILED
        finally:
            process.join(10)
            with contextlib.suppress(OSError):
                self._connection.close()
            self._done.set()

    def _send(self, command: str) -> None:
        with self._lock, contextlib.suppress(OSError, AttributeError):
            self._connection.send(command)

    @property
    def state(self) -> JobState:
        return self._state

    @property
    def progress(self) -> JobProgress:
        return self._progress

    @property
    def error(self) -> BaseException | None:
        return self._error

    @property
    def store(self) -> pathlib.Path:
        return self._store

    @property
    def watching(self) -> bool:
        return self._watch

    @property
    def stopping(self) -> bool:
        return self._stopping

    def summaries_since(self, count: int) -> list[FrameSummary]:
        """As Job.summaries_since: those reported after the first `count`, in order."""
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise MorvexError(f"count must be a whole number >= 0, got {count!r}")
        return list(self._summaries[count:])

    def cancel(self) -> None:
        self._stopping = True
        self._send("cancel")

    def stop(self) -> None:
        self._stopping = True
        self._send("stop")

    def wait(self, timeout: float | None = None) -> JobState:
        self._done.wait(timeout)
        return self._state


def _child(connection: Any, frames: object, arguments: dict[str, Any]) -> None:
    """The child's whole life: run the Job, report, obey, and cancel if the server goes."""
    import os

    # Before the Job's threads exist: they take their niceness from this one.
    with contextlib.suppress(OSError):
        os.nice(_RUN_NICENESS)
    job = Job(frames, **arguments).start()
    seen = 0
    try:
        while job.state not in _ENDED:
            if connection.poll(_REPORT_EVERY):
                if connection.recv() == "cancel":  # EOFError: the server is gone
                    job.cancel()
                else:
                    job.stop()
            new = job.summaries_since(seen)
            seen += len(new)
            connection.send(("progress", job.state, job.progress, new))
    except (EOFError, OSError, KeyboardInterrupt):
        job.cancel()  # a Ctrl-C reaches the whole process group; the server asks the same
        job.wait()
        return
    new = job.summaries_since(seen)
    error = job.error
    with contextlib.suppress(OSError):
        connection.send(("progress", job.state, job.progress, new))
        connection.send(("ended", _sendable(error), job.state))


def _sendable(error: BaseException | None) -> BaseException | None:
    """The error itself when it crosses a pipe, else a MorvexError with its text."""
    import pickle

    if error is None:
        return None
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        return MorvexError(f"{type(error).__name__}: {error}")
