"""Where and in which order a plan runs: in this process or on Dask; progress, cancel, retry,
write. The only module of the package that knows Dask.

On a cluster, workers write each frame into the store by region (one chunk file per frame and
variable) and then set its marker; the client lays out the store before any task runs. A task
that finds frames of its chunk already complete (a retry after its worker died, or a resumed
run) starts after them from the stored field, so every frame is written once and the numbers do
not change. The scheduler moves the tasks of a dead worker to the others.

Nothing a task needs lives only on one worker: the reference (and mask) are tasks of their own
that load them from their source (a path, or the array carried in the task), never scattered
data. When the worker holding them dies, the scheduler runs them again elsewhere, and the cache
of prepared references (keyed by reference, mask and settings) rebuilds the same numbers.

What travels where. Per run: the reference (and mask) once to each worker that runs a chunk.
Per chunk: a task of a few hundred bytes (frame paths, settings, the reference's key); per
frame the worker reads the image from shared storage and writes about 100 bytes per grid point
to the store (which must be on storage every worker and the client see).
"""

from __future__ import annotations

import contextlib
import json
import logging
import os
import socket
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from .._errors import MorvexError
from .._progress import Bar, Progress, run_cancellable
from ..io import Source
from ..settings import grid_axes
from . import tasks
from .frames import FrameSummary as FrameSummary  # the front doors' record of a frame
from .frames import Measurement, not_measured, run_frames
from .plan import ClusterSpec, PairPlan, SequencePlan
from .reference_cache import forget_reference, reference_token
from .reference_cache import prepare_reference as prepare_reference  # correlate's, as before
from .starts import starts_for
from .tiles import cut, load_pixels_source, measure_tile, stitch, stitch_frame

if TYPE_CHECKING:
    import xarray as xr
    from distributed import Client

    from ..store import Store

CONNECT_SECONDS = 5
POLL_SECONDS = 0.05
FrameCallback = Callable[[int, "xr.Dataset", float], None]


# --- clusters -------------------------------------------------------------------------------

@contextlib.contextmanager
def cluster(backend: ClusterSpec | None) -> Iterator[Client | None]:
    """A Dask client for one run, or None to stay in process.

    Raises:
        MorvexError: for a scheduler that cannot be reached within CONNECT_SECONDS (names the
            address).
    """
    if backend is None:
        yield None
        return
    if backend.workers is not None:
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=backend.workers,
                          threads_per_worker=backend.threads_per_worker or 1,
                          processes=True, dashboard_address=":0",
                          silence_logs=logging.ERROR) as local, Client(local) as started:
            yield started
        return
    if isinstance(backend.client, (str, os.PathLike)):
        address = os.fspath(backend.client)
        began = time.monotonic()
        _check_reachable(address)
        from distributed import Client

        # What is left of the limit after the import, which a busy machine slows down.
        left = max(1.0, CONNECT_SECONDS - (time.monotonic() - began))
        try:
            connected = Client(address, timeout=f"{left}s")
        except (OSError, TimeoutError, ValueError) as error:
            raise _unreachable(address, error) from None
        with connected:
            yield connected
        return
    yield backend.client


def _check_reachable(address: str) -> None:
    # A plain TCP connection first, with its own timeout: a closed port or an unknown host
    # fails at once, before importing distributed (seconds on a loaded machine).
    parsed = urllib.parse.urlparse(address if "://" in address else f"tcp://{address}")
    if parsed.scheme not in ("tcp", "tls", "") or parsed.hostname is None:
        return  # another transport: leave it to distributed
    try:
        with socket.create_connection((parsed.hostname, parsed.port or 8786),
                                      timeout=CONNECT_SECONDS):
            pass
    except (OSError, ValueError) as error:
        raise _unreachable(address, error) from None


def _unreachable(address: str, error: BaseException) -> MorvexError:
    return MorvexError(f"cannot reach the Dask scheduler at {address} within {CONNECT_SECONDS} s "
                       f"({type(error).__name__}); is it running?")


def total_threads(client: Client) -> int:
    """Task threads of all workers of a cluster (for messages and benchmarks)."""
    return int(sum(client.nthreads().values())) if client is not None else 0


def _gather(client: Client, futures: list[Any], on_result: Callable[[Any], None],
            stop: threading.Event | None) -> None:
    """Hand each future's result on as it completes; cancel the rest on any exception."""
    pending = list(futures)
    try:
        while pending:
            finished = [f for f in pending if f.done()]
            for future in finished:
                pending.remove(future)
                on_result(future.result())
            if stop is not None and stop.is_set():
                from .._progress import Cancelled

                raise Cancelled
            if not finished:
                time.sleep(POLL_SECONDS)
    except BaseException:
        client.cancel(pending)
        raise


# --- reporting ------------------------------------------------------------------------------

class Reporter:
    """The reporting loop, written once: counts frames (resumed ones included), moves the bar,
    keeps the summaries and calls the user's callback."""

    def __init__(self, total: int, progress: Progress = False,
                 on_frame: FrameCallback | None = None,
                 on_summary: Callable[[FrameSummary], None] | None = None) -> None:
        self.total = total
        self.done = 0
        self.points = (0, 0)
        self.summaries: list[FrameSummary] = []
        self._progress = progress
        self._on_frame = on_frame
        self._on_summary = on_summary
        self._bar: Bar | None = None
        self._lock = threading.Lock()

    def begin(self, done: int, total: int) -> None:
        """Frames already complete before this run: counted, but not as measured now."""
        self.done, self.total = done, total
        self._bar = Bar(self._progress, "frame", "frames", total, initial=done)
        self._bar(done, total)

    def grow(self, total: int) -> None:
        self.total = total

    def frame(self, index: int, frame: xr.Dataset, summary: FrameSummary,
              store_path: str | None = None) -> None:
        with self._lock:
            self.done += 1
            self.points = (0, 0)
            self.summaries.append(summary)
        if self._bar is not None:
            self._bar(self.done, self.total)
        if self._on_summary is not None:
            self._on_summary(summary)
        if self._on_frame is not None:
            if frame is None and store_path is not None:
                frame = read_frame(store_path, index)
            self._on_frame(index, frame, summary.seconds)

    def on_points(self, done: int, total: int) -> None:
        self.points = (done, total)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def read_frame(store_path: str, index: int) -> xr.Dataset:
    import xarray as xr

    from ..store import _quiet

    with _quiet():
        dataset: xr.Dataset = xr.open_zarr(store_path, consolidated=False, chunks=None)
    return dataset.isel(frame=index).drop_vars(["reference_image", "complete", "mask"],
                                               errors="ignore").load()


# --- a pair ---------------------------------------------------------------------------------

def execute_pair(plan: PairPlan, progress: Progress = False) -> xr.Dataset:
    """The dataset of one pair, whole or by tiles, here or on a cluster."""
    from .. import _guided
    from .._dataset import dataset_from_result

    settings = plan.settings
    if plan.tiles is None:
        reference = plan.reference.array
        mask = None if plan.mask is None else plan.mask.array
        prepared = prepare_reference(reference, settings, mask)
        bar = Bar(progress, "pt", "correlating", prepared.grid_rows * prepared.grid_cols)
        try:
            result = run_cancellable(
                lambda control: _guided.correlate(prepared, plan.deformed.array, control=control,
                                                  threads=plan.threads,
                                                  **settings.to_kwargs()[1]),
                bar if bar.active() else None)
        finally:
            bar.close()
        return dataset_from_result(result, settings, reference, plan.attrs)
    ys, xs = grid_axes(settings, plan.shape)
    tiles = list(plan.tiles.tiles)
    bar = Bar(progress, "tile", "tiles")
    blocks: list[tuple[Any, dict[str, np.ndarray]]] = []
    try:
        with cluster(plan.cluster) as client:
            if client is None:
                for t in tiles:
                    blocks.append((t, measure_tile(t, plan.reference, plan.deformed,
                                                         plan.mask, settings, plan.threads)))
                    bar(len(blocks), len(tiles))
            else:
                futures = [client.submit(
                    measure_tile, t, cut(plan.reference, t),
                    cut(plan.deformed, t),
                    None if plan.mask is None else cut(plan.mask, t), settings,
                    plan.threads or 1, pure=False) for t in tiles]
                finished: list[Any] = []

                def count(block: Any) -> None:
                    finished.append(block)
                    bar(len(finished), len(tiles))

                _gather(client, futures, count, None)
                blocks = [(t, f.result()) for f, t in zip(futures, tiles, strict=True)]
    finally:
        bar.close()
    result = stitch(blocks, ys, xs)
    image = plan.reference.array if plan.reference.kind == "array" else None
    return dataset_from_result(result, settings, image,
                               extra_attrs={"tile": plan.tiles.tile,
                                            "tile_margin": plan.tiles.margin}).assign_attrs(
                                                plan.attrs)


# --- a sequence -----------------------------------------------------------------------------

def open_for(plan: SequencePlan, *, check_only: bool = False) -> Any:
    """The store of a plan, checked against it (and made to follow an appended frame list)."""
    from ..store import Store, run_identity

    identity = run_identity(plan.settings.to_json(), list(plan.frames.names), plan.reference,
                            plan.mask, plan.incremental)
    if check_only:
        store = Store(plan.store)  # type: ignore[arg-type]
        if store.path.exists() and not plan.overwrite and not store.is_vacant():
            _check_identity(store, identity)
        return store
    return Store.open_for_run(plan.store, identity, plan.reference,  # type: ignore[arg-type]
                              overwrite=plan.overwrite, mask=plan.mask,
                              sources={**plan.record, "settings": plan.settings.to_json()})


def _check_identity(store: Store, identity: dict[str, Any]) -> None:
    # The checks of Store.open_for_run without changing anything (before a job starts).
    from .._errors import StoreMismatchError

    differences = store.differences(identity)
    if differences:
        raise StoreMismatchError(str(store.path), differences)


def todo_of(plan: SequencePlan, store: Store | None) -> list[int]:
    todo = list(range(len(plan.frames)))
    if store is None:
        return todo
    done = store.complete()
    return [k for k in todo if k >= len(done) or not done[k]]


def execute_sequence(plan: SequencePlan, reporter: Reporter, *,
                     stop: threading.Event | None = None, store: Store | None = None,
                     todo: list[int] | None = None) -> list[tuple[int, xr.Dataset | None]]:
    """Measure the frames of `todo` (default: every frame the store lacks) and write them.

    Returns:
        (index, frame dataset) of each measured frame when there is no store.
    """
    todo = todo_of(plan, store) if todo is None else todo
    if not todo:
        return []
    store_path = None if store is None else str(store.path)

    def sink(index: int, frame: xr.Dataset, summary: FrameSummary) -> None:
        reporter.frame(index, frame, summary, store_path)

    if not plan.chunked:
        measurement = Measurement.of(plan)
        starts = starts_for(measurement, todo, incremental=plan.incremental, stored=store,
                            stop=stop)
        return run_frames(measurement, plan.frames, starts, store=store, sink=sink, stop=stop,
                          on_points=reporter.on_points)
    if store is not None and not store.exists():
        ys, xs = grid_axes(plan.settings, plan.reference.shape)
        from .._dataset import dataset_from_result

        store.create(dataset_from_result(not_measured(plan.settings, ys, xs), plan.settings))
    measured: list[tuple[int, xr.Dataset | None]] = []

    def report(results: list[tuple[int, Any, Any]]) -> None:
        for index, summary, frame in results:
            if frame is not None and store is None:
                measured.append((index, frame))
            sink(index, frame, summary)

    with cluster(plan.cluster) as client:
        if plan.tiles is not None:
            _tiled_sequence(client, plan, todo, store_path, report, stop)
        else:
            _chunked_sequence(client, plan, todo, store_path, report, stop)
    return sorted(measured, key=lambda item: item[0])


def _chunked_sequence(client: Client | None, plan: SequencePlan, todo: list[int],
                      store_path: str | None,
                      report: Callable[[Any], None], stop: threading.Event | None) -> None:
    threads = plan.threads or (1 if client is not None else 0)
    token = reference_token(plan.reference, plan.mask, plan.settings)
    jobs = plan.jobs(todo)

    def call(job: tuple[str, int, int], reference: Any, mask: Any) -> tuple[Any, ...]:
        kind, a, b = job
        if kind == "chain":
            return (tasks.measure_chain, plan.frames, reference, mask, plan.settings, sorted(todo),
                    store_path, threads)
        return (tasks.measure_chunk, a, b, plan.frames[a:b], reference, mask, plan.settings,
                token, store_path, threads, plan.skip_bad_frames)

    if client is None:
        try:
            for job in jobs:
                if stop is not None and stop.is_set():
                    from .._progress import Cancelled

                    raise Cancelled
                function, *args = call(job, plan.reference, plan.mask)
                report(function(*args))
        finally:
            forget_reference(token)  # this process is no worker: keep nothing after
        return
    # Tasks, not scattered data: a reference lost with its worker is loaded again elsewhere.
    stamp = time.time_ns()
    reference = client.submit(tasks.load_pixels, Source("array", array=plan.reference),
                              "reference", key=f"morvex-reference-{stamp}", pure=False)
    mask = None if plan.mask is None else client.submit(
        tasks.load_pixels, Source("array", array=plan.mask), "mask",
        key=f"morvex-mask-{stamp}", pure=False)
    futures = [client.submit(*call(job, reference, mask), pure=False,
                             key=f"morvex-{job[0]}-{job[1]}-{stamp}") for job in jobs]
    _gather(client, futures, report, stop)


def _tiled_sequence(client: Client | None, plan: SequencePlan, todo: list[int],
                    store_path: str | None,
                    report: Callable[[Any], None], stop: threading.Event | None) -> None:
    # Each frame's tiles start from seeds (a tile knows nothing of its neighbours' previous
    # frame), so frames are independent: on a cluster all frames' tiles are tasks at once and
    # one more task per frame stitches and writes it.
    assert plan.tiles is not None
    shape = plan.reference.shape
    tiles = list(plan.tiles.tiles)
    ys, xs = grid_axes(plan.settings, shape)
    reference = Source("array", shape, array=plan.reference)
    mask = None if plan.mask is None else Source("array", shape, array=plan.mask.astype(np.uint8))
    sources = plan.frames.sources
    names = plan.frames.names
    threads = plan.threads or (1 if client is not None else 0)
    if client is None:
        for index in todo:
            began = time.time()
            blocks = [measure_tile(t, reference, sources[index], mask, plan.settings,
                                         threads, stop) for t in tiles]
            report([stitch_frame(index, names[index], tiles, blocks, ys, xs,
                                       plan.settings, store_path, began)])
        return
    # Reference and mask windows are tasks per tile, shared by every frame.
    references = [client.submit(load_pixels_source, cut(reference, t), pure=False)
                  for t in tiles]
    masks = ([client.submit(load_pixels_source, cut(mask, t), pure=False)
              for t in tiles] if mask is not None else [None] * len(tiles))
    finals = []
    for index in todo:
        # Futures, handed on as such: the scheduler gives stitch_frame their results.
        pending: list[Any] = [
            client.submit(measure_tile, t, ref, cut(sources[index], t), msk,
                          plan.settings, threads, pure=False)
            for t, ref, msk in zip(tiles, references, masks, strict=True)]
        finals.append(client.submit(stitch_frame, index, names[index], tiles, pending, ys,
                                    xs, plan.settings, store_path, time.time(), pure=False))
    _gather(client, finals, lambda one: report([one]), stop)


def run_sequence(plan: SequencePlan, reporter: Reporter, *,
                 stop: threading.Event | None = None,
                 on_start: Callable[[list[int]], None] | None = None,
                 lock: Any = None) -> xr.Dataset:
    """A whole sequence run: hold the store, resume it, measure, and return the dataset.

    Returns:
        The store's dataset, or the stacked frames when there is no store.
    """
    from ..store import open_store

    with held_store(plan, reporter, lock) as (store, todo):
        if on_start is not None:
            on_start(todo)
        measured = execute_sequence(plan, reporter, stop=stop, store=store, todo=todo)
    if store is not None:
        keep_attrs(plan, store)
        return open_store(store.path)
    return stack(measured, plan).assign_attrs(plan.attrs)


@contextlib.contextmanager
def held_store(plan: SequencePlan, reporter: Reporter,
               lock: Any = None) -> Iterator[tuple[Store | None, list[int]]]:
    """The steps every sequence run takes around its measuring (a fixed list or a watched
    folder): hold the store (unless `lock` holds it already), open or create it with the run's
    identity checked, and begin the reporter with the frames it has; at the end close the
    reporter and let the store go.

    Yields:
        (the store or None, the frames to measure).
    """
    from ..store import Store

    store = None
    held = lock
    try:
        if plan.store is not None:
            held = held or Store(plan.store).lock()
            store = open_for(plan)
        todo = todo_of(plan, store)
        reporter.begin(len(plan.frames) - len(todo), len(plan.frames))
        yield store, todo
    finally:
        reporter.close()
        if held is not None and lock is None:
            held.release()


def keep_attrs(plan: SequencePlan, store: Store) -> None:
    """What the plan chose (the subset choice, the read noise), recorded on the store."""
    if plan.attrs:
        from ..store import write_store_attrs

        write_store_attrs(store.path, plan.attrs)


def stack(measured: list[tuple[int, xr.Dataset | None]], plan: SequencePlan) -> xr.Dataset:
    """Frames measured without a store as one dataset (dims frame, y, x)."""
    import xarray as xr

    indices = [index for index, _ in measured]
    frames = [frame for _, frame in measured if frame is not None]
    stacked = xr.concat(frames, dim="frame", combine_attrs="override")
    stacked = stacked.assign_coords(
        frame=("frame", np.asarray(indices, dtype=np.int64)),
        frame_name=("frame", np.array([plan.frames.names[k] for k in indices], dtype=object)))
    stacked["reference_image"] = (("row", "col"), plan.reference.astype(np.float32),
                                  {"long_name": "reference image (grey)", "units": "1"})
    skipped: dict[str, str] = {}
    for frame in frames:
        skipped.update(json.loads(frame.attrs.get("skipped_frames", "{}")))
    stacked.attrs.pop("skipped_frames", None)
    if skipped:
        stacked.attrs["skipped_frames"] = json.dumps(skipped)
    return stacked
