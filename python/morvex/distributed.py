"""Sequences on a Dask cluster: contiguous chunks of frames as tasks, results written by workers.

How a sequence is split. Frames are cut into contiguous chunks of ``chunk`` frames (the last
may be shorter); each chunk is one task. A chunk's first frame starts from a seed search, every
later frame from the field of the frame before it, exactly as :func:`correlate_frames` chains
them. The plan depends only on the number of frames and ``chunk``, never on the number of
workers or on which worker runs what, so two runs with the same chunk size give the same
numbers bit for bit (results do not depend on the thread count either). A run without a cluster
and without ``chunk`` chains every frame from the one before; its fields agree with a chunked
run within the solver's convergence (the starts differ only at chunk boundaries).

Incremental sequences are one chain: every frame's reference is the frame before, and the
region and mask carried along depend on every earlier field, so they cannot be cut without
changing the numbers. On a cluster an incremental run is therefore one task that walks the
whole chain on one worker (writing each frame as it goes); the join between chunks is the
chain itself. A resumed incremental run replays the frames before its first missing one.

Workers write each frame into the store by region (one chunk file per frame and variable) and
then set its marker; the client creates the store's layout before any task runs and reads back
only what ``on_frame`` asks for, one frame at a time. A task that finds frames of its chunk
already complete (a retry after its worker died, or a resumed run) starts after them, from the
stored field, so every frame is written once and the numbers do not change. The scheduler moves
the tasks of a dead worker to the others (Dask's ``allowed-failures``, 3 by default).

The reference-side data (B-spline coefficients, gradients, inverse Hessians) are built once per
worker process and kept in a small cache keyed by the reference, mask and settings.

What travels where. Once per run: the reference (and mask) from the client to one worker, then
to each other worker that runs a chunk (peer to peer). Per chunk: a task of a few hundred bytes
(frame paths, settings, the reference's key); per frame: the worker reads the image from shared
storage and writes about 100 bytes per grid point to the store (which must be on storage every
worker and the client see); a few numbers go back to the client, plus the frame itself when
``on_frame`` asks for it. Scaling stops at the number of chunks (frames / chunk), at the shared
storage's bandwidth and file count, and for incremental runs at one worker.
"""

from __future__ import annotations

import contextlib
import logging
import os
import threading
import time
from collections import OrderedDict
from collections.abc import Iterator
from typing import Any

import numpy as np
import xarray as xr

from ._errors import MorvexError
from .settings import Settings

# Frames per task. A seeded frame costs about 10 % more than a chained one, so 4 frames add
# under 3 %; short chunks keep the last task's wait short on a few workers.
DEFAULT_CHUNK = 4
CONNECT_SECONDS = 5
_CACHE_ENTRIES = 2  # reference images kept per worker (a fixed run needs one)

_cache: OrderedDict[str, Any] = OrderedDict()
_cache_lock = threading.Lock()
builds = 0  # reference images built by this process (read by the tests through client.run)


# --- clusters -------------------------------------------------------------------------------

def check_workers(workers: Any) -> int | None:
    if workers is None:
        return None
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise MorvexError(f"workers must be a positive integer (worker processes), got {workers!r}")
    return workers


def check_chunk(chunk: Any) -> int | None:
    if chunk is None:
        return None
    if isinstance(chunk, bool) or not isinstance(chunk, int) or chunk < 1:
        raise MorvexError(f"chunk must be a positive integer (frames per task), got {chunk!r}")
    return chunk


@contextlib.contextmanager
def cluster(workers: int | None = None, client: Any = None,
            threads_per_worker: int | None = None) -> Iterator[Any]:
    """A Dask client for one run, or None to stay in-process.

    Args:
        workers: start a local cluster of this many worker processes, closed afterwards.
        client: an existing ``distributed.Client`` or a scheduler address
            ("tcp://host:8786"); left open when given as a client.
        threads_per_worker: task threads per local worker (default 1).

    Raises:
        MorvexError: for workers <= 0, both `workers` and `client`, or a scheduler that cannot
            be reached within CONNECT_SECONDS (names the address).
    """
    workers = check_workers(workers)
    if threads_per_worker is not None and (
            isinstance(threads_per_worker, bool) or not isinstance(threads_per_worker, int)
            or threads_per_worker < 1):
        raise MorvexError("threads_per_worker must be a positive integer, got "
                          f"{threads_per_worker!r}")
    if workers is not None and client is not None:
        raise MorvexError("give either workers (start a local cluster) or client / scheduler "
                          "(use an existing one), not both")
    if threads_per_worker is not None and workers is None:
        raise MorvexError("threads_per_worker sets up a local cluster: give workers as well "
                          "(an existing cluster keeps its own threads)")
    if workers is None and client is None:
        yield None
        return
    from distributed import Client, LocalCluster

    if workers is not None:
        with LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker or 1,
                          processes=True, dashboard_address=":0",
                          silence_logs=logging.ERROR) as local, Client(local) as started:
            yield started
        return
    if isinstance(client, (str, os.PathLike)):
        address = os.fspath(client)
        try:
            connected = Client(address, timeout=f"{CONNECT_SECONDS}s")
        except (OSError, TimeoutError, ValueError) as error:
            raise MorvexError(f"cannot reach the Dask scheduler at {address} within "
                              f"{CONNECT_SECONDS} s ({type(error).__name__}); is it running?"
                              ) from None
        with connected:
            yield connected
        return
    if not hasattr(client, "submit") or not hasattr(client, "scatter"):
        raise MorvexError("client must be a distributed.Client or a scheduler address, got "
                          f"{type(client).__name__}")
    yield client


# --- worker side ----------------------------------------------------------------------------

def reference_on_worker(token: str, reference: np.ndarray, settings: Settings,
                        mask: np.ndarray | None) -> Any:
    """The prepared reference for `token`, built at most once per process while cached."""
    global builds
    from .correlate import prepare_reference

    with _cache_lock:
        if token in _cache:
            _cache.move_to_end(token)
            return _cache[token]
        # Built under the lock: two tasks of one run on one worker must not build it twice.
        prepared = prepare_reference(reference, settings, mask)
        builds += 1
        _cache[token] = prepared
        while len(_cache) > _CACHE_ENTRIES:
            _cache.popitem(last=False)
        return prepared


def reference_token(reference: np.ndarray, mask: np.ndarray | None, settings: Settings) -> str:
    from .store import digest

    return "|".join((digest(reference), digest(mask), repr(settings.to_kwargs()[0])))


class FrameWindow:
    """Frames start .. start + len(frames) - 1 of a sequence, addressed by sequence index."""

    def __init__(self, frames: Any, start: int) -> None:
        self._frames = frames
        self._start = start
        self.names = {start + k: name for k, name in enumerate(frames.names)}

    def __getitem__(self, index: int) -> np.ndarray:
        return self._frames[index - self._start]


def measure_chunk(start: int, stop: int, frames: Any, reference: np.ndarray,
                  mask: np.ndarray | None, settings: Settings, token: str,
                  store_path: str | None, threads: int) -> list[tuple[int, float, Any]]:
    """Measure frames start .. stop - 1 of a chunk (one task); write them to the store.

    Skips the chunk's frames already complete in the store and starts after them from the
    stored field, so a retried or resumed chunk follows the path of an uninterrupted one.

    Returns:
        (frame index, seconds, the frame dataset or None when it went to the store).
    """
    from .sequence import correlate_frames
    from .store import Store

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
    prepared = reference_on_worker(token, reference, settings, mask)
    out: list[tuple[int, float, Any]] = []

    def keep(index: int, frame: xr.Dataset, seconds: float) -> None:
        if store is not None:
            store.write_frame(index, frame)  # only this frame's chunks: safe beside others
        out.append((index, seconds, None if store_path is not None else frame))

    # No store for correlate_frames: a chunk's first frame must start from seeds, never from
    # a neighbouring chunk's stored frame (which may or may not be there yet).
    correlate_frames(reference, FrameWindow(frames, start), range(first, stop), settings,
                     mask=mask, previous=previous, threads=threads, prepared=prepared,
                     on_frame=keep)
    return out


def measure_chain(frames: Any, reference: np.ndarray, mask: np.ndarray | None,
                  settings: Settings, todo: list[int], store_path: str | None,
                  threads: int) -> list[tuple[int, float, Any]]:
    """An incremental sequence as one task (its frames form one chain of references)."""
    from .sequence import _run_incremental
    from .store import Store

    if store_path is not None:
        # A chain retried after its worker died goes on after the frames it already wrote.
        complete = Store(store_path).complete()
        todo = [k for k in todo if not complete[k]]
    out: list[tuple[int, float, Any]] = []

    def keep(index: int, frame: xr.Dataset, seconds: float) -> None:
        out.append((index, seconds, None if store_path is not None else frame))

    _run_incremental(reference, frames, todo, settings, mask=mask,
                     store=Store(store_path) if store_path is not None else None,
                     threads=threads, on_frame=keep)
    return out


# --- client side ----------------------------------------------------------------------------

def plan_chunks(frame_count: int, chunk: int) -> list[tuple[int, int]]:
    """Contiguous (start, stop) frame ranges of `chunk` frames; the last may be shorter."""
    return [(start, min(start + chunk, frame_count)) for start in range(0, frame_count, chunk)]


def run_sequence(client: Any, reference: np.ndarray, frames: Any, todo: list[int],
                 settings: Settings, *, mask: np.ndarray | None, incremental: bool,
                 store_path: str | None, chunk: int | None, threads: int | None,
                 on_frame: Any) -> list[tuple[int, xr.Dataset]]:
    """Measure frames `todo` as chunk tasks on `client`, or one after another without one.

    Frames go to the store from the workers; `on_frame(index, frame, seconds)` receives each
    frame after its chunk finished (read back from the store, one at a time).

    Returns:
        (index, frame) of each measured frame when there is no store, else an empty list.
    """
    threads = 1 if threads is None and client is not None else (threads or 0)
    chunk = chunk or DEFAULT_CHUNK
    wanted = set(todo)
    if not wanted:
        return []
    token = reference_token(reference, mask, settings)
    if incremental:
        jobs = [("chain", None, None)]
    else:
        jobs = [("chunk", a, b) for a, b in plan_chunks(len(frames), chunk)
                if any(k in wanted for k in range(a, b))]
    measured: list[tuple[int, xr.Dataset]] = []

    def report(results: list[tuple[int, float, Any]]) -> None:
        for index, seconds, frame in results:
            if frame is None and on_frame is not None:
                frame = _read_frame(store_path, index)  # type: ignore[arg-type]
            if frame is not None and store_path is None:
                measured.append((index, frame))
            if on_frame is not None:
                on_frame(index, frame, seconds)

    def call(job: tuple[str, Any, Any], ref: Any, msk: Any) -> Any:
        kind, a, b = job
        if kind == "chain":
            return (measure_chain, frames, ref, msk, settings, sorted(wanted), store_path,
                    threads)
        return (measure_chunk, a, b, frames[a:b], ref, msk, settings, token, store_path,
                threads)

    if client is None:
        try:
            for job in jobs:
                function, *args = call(job, reference, mask)
                report(function(*args))
        finally:
            with _cache_lock:  # this process is no worker: keep nothing after the run
                _cache.pop(token, None)
        return sorted(measured, key=lambda item: item[0])

    from distributed import as_completed

    # Scattered once: each worker fetches the reference at most once, whatever its task count.
    ref_future = client.scatter(reference, broadcast=False, hash=False)
    mask_future = None if mask is None else client.scatter(mask, broadcast=False, hash=False)
    futures = []
    for job in jobs:
        function, *args = call(job, ref_future, mask_future)
        futures.append(client.submit(function, *args, pure=False,
                                     key=f"morvex-{job[0]}-{job[1]}-{time.time_ns()}"))
    try:
        for future in as_completed(futures):
            report(future.result())
    except BaseException:
        client.cancel(futures)
        raise
    return sorted(measured, key=lambda item: item[0])


def run_on_cluster(workers: int | None, client: Any, threads_per_worker: int | None,
                   reference: np.ndarray, frames: Any, todo: list[int], settings: Settings, *,
                   mask: np.ndarray | None, incremental: bool, store: Any, chunk: int | None,
                   threads: int | None, on_frame: Any,
                   tiles: tuple[Any, int, int] | None = None) -> list[tuple[int, xr.Dataset]]:
    """correlate_sequence's chunked path: lay out the store, then run on a cluster (or here).

    `tiles` = (the frames as given, tile, tile_margin) measures every frame by tiles.
    """
    if store is not None and not store.exists() and todo:
        store.create(template_frame(settings, reference.shape))
    sources = None
    if tiles is not None:
        from .tiling import frame_sources

        sources = frame_sources(tiles[0])
    with cluster(workers, client, threads_per_worker) as dask_client:
        if tiles is not None:
            from .tiling import run_tiled_sequence

            return run_tiled_sequence(
                dask_client, reference, sources or [], todo, settings, mask=mask,
                store_path=None if store is None else str(store.path), tile=tiles[1],
                tile_margin=tiles[2], threads=threads or (1 if dask_client else 0),
                on_frame=on_frame)
        return run_sequence(dask_client, reference, frames, todo, settings, mask=mask,
                            incremental=incremental,
                            store_path=None if store is None else str(store.path), chunk=chunk,
                            threads=threads, on_frame=on_frame)


def template_frame(settings: Settings, shape: tuple[int, int]) -> xr.Dataset:
    """An unmeasured frame (every point NaN, status 255) with the grid of an image of `shape`."""
    from ._dataset import FLOAT_VARIABLES, dataset_from_result
    from .tiling import grid_axes

    ys, xs = grid_axes(settings, shape)
    result: dict[str, Any] = {"rows": len(ys), "cols": len(xs)}
    result["x"], result["y"] = np.meshgrid(xs.astype(np.float64), ys.astype(np.float64))
    for name in FLOAT_VARIABLES:
        result[name] = np.full((len(ys), len(xs)), np.nan)
    result["valid"] = np.zeros((len(ys), len(xs)), dtype=np.uint8)
    result["status"] = np.full((len(ys), len(xs)), 255, dtype=np.uint8)
    result["iterations"] = np.full((len(ys), len(xs)), -1, dtype=np.int32)
    return dataset_from_result(result, settings)


def _read_frame(store_path: str, index: int) -> xr.Dataset:
    from .store import _quiet

    with _quiet():
        dataset = xr.open_zarr(store_path, consolidated=False, chunks=None)
    return dataset.isel(frame=index).drop_vars(["reference_image", "complete"],
                                               errors="ignore").load()


def total_threads(client: Any) -> int:
    """Task threads of all workers of a cluster (for messages and benchmarks)."""
    return int(sum(client.nthreads().values())) if client is not None else 0


__all__ = ["DEFAULT_CHUNK", "cluster", "measure_chunk", "plan_chunks", "run_on_cluster",
           "run_sequence", "check_workers", "check_chunk"]
