"""Run a correlation on a worker thread so the main thread stays free for Ctrl-C and progress.

The C++ call releases the interpreter lock and reports through a Control's atomics; this
thread polls them. Ctrl-C (KeyboardInterrupt) sets the cancel flag, waits for the workers to
skip what is left (a few milliseconds) and re-raises.
"""

from __future__ import annotations

import threading
from collections.abc import Callable

from . import _guided

ProgressCallback = Callable[[int, int], None]
Progress = bool | ProgressCallback | None
POLL_SECONDS = 0.05


class Cancelled(KeyboardInterrupt):
    """A run stopped on request from another thread (a job's cancel()), not by Ctrl-C."""


def run_cancellable[T](work: Callable[[_guided.Control], T],
                       on_progress: ProgressCallback | None = None,
                       stop: threading.Event | None = None,
                       on_poll: Callable[[], None] | None = None) -> T:
    """Call ``work(control)`` on a worker thread; report (done, total) points while it runs.

    `stop`, when set by another thread, cancels the run as Ctrl-C would. `on_poll` is called
    every poll while the run goes on (what it raises cancels the run and is re-raised).

    Raises:
        KeyboardInterrupt: when interrupted; the run is cancelled and finished first.
        Cancelled: when `stop` was set.
        Whatever ``work`` raised.
    """
    if stop is not None and stop.is_set():
        raise Cancelled
    control = _guided.Control()
    outcome: dict[str, object] = {}
    finished = threading.Event()

    def target() -> None:
        try:
            outcome["value"] = work(control)
        except BaseException as error:  # handed to the caller's thread below
            outcome["error"] = error
        finally:
            finished.set()

    # Waiting on an Event, not Thread.join: a KeyboardInterrupt that lands inside join() can
    # mark a running thread as stopped, and the run would outlive the call.
    worker = threading.Thread(target=target, name="morvex-correlate", daemon=True)
    worker.start()
    last = (-1, -1)
    try:
        while not finished.wait(POLL_SECONDS):
            if stop is not None and stop.is_set():
                raise Cancelled
            if on_poll is not None:
                on_poll()
            if on_progress is not None:
                now = (control.done, control.total)
                if now != last and now[1] > 0:
                    last = now
                    on_progress(*now)
    except BaseException:
        control.cancel()
        _wait_through_interrupts(finished)
        raise
    worker.join()
    if "error" in outcome:
        raise outcome["error"]  # type: ignore[misc]
    if on_progress is not None and control.total > 0 and last != (control.total, control.total):
        on_progress(control.total, control.total)
    return outcome["value"]  # type: ignore[return-value]


def _wait_through_interrupts(finished: threading.Event) -> None:
    """Wait for a cancelled run to stop (milliseconds); a second Ctrl-C does not cut it short."""
    while True:
        try:
            if finished.wait(POLL_SECONDS):
                return
        except KeyboardInterrupt:
            continue


class Bar:
    """A tqdm bar or a user callable behind one (done, total) interface."""

    def __init__(self, progress: Progress, unit: str, description: str, total: int = 0,
                 initial: int = 0, started: float | None = None) -> None:
        self._callable = progress if callable(progress) else None
        self._bar = None
        if progress is True:
            from tqdm.auto import tqdm

            # `initial`: work done before this run (a resumed store) counts towards the bar but
            # not towards its rate, which would otherwise read as thousands of frames a second.
            self._bar = tqdm(total=total, unit=unit, desc=description, leave=False,
                             dynamic_ncols=True, initial=initial)
            if started is not None:
                # A bar opened after work began (a follower polls) dates its rate from then,
                # or a frame finished just before the first poll reads as instant.
                self._bar.start_t = self._bar.last_print_t = started

    def __call__(self, done: int, total: int) -> None:
        if self._callable is not None:
            self._callable(done, total)
        if self._bar is not None:
            if self._bar.total != total:
                self._bar.total = total
            self._bar.n = done
            self._bar.refresh()

    def write(self, text: str) -> None:
        if self._bar is not None:
            self._bar.write(text)
        else:
            print(text)

    def active(self) -> bool:
        return self._callable is not None or self._bar is not None

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
