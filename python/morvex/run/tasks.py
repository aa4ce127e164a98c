"""Worker side: measure a frame loop, a chunk, a chain or a tile; stitch; the reference cache.

Everything here runs where the work is, in this process or on a Dask worker, and knows neither
the front doors nor the backend. A frame loop keeps the correlation busy: the next frame is read
and the last one assembled, written and summarised on two helper threads while the current
one correlates (one frame of look-ahead each way, so memory stays at three frames), and the
prepared reference is built once per process and kept.
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
from collections import OrderedDict
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from .. import _guided
from .._dataset import (
    FIELD_VARIABLES,
    FLOAT_VARIABLES,
    STATUS_CANCELLED,
    dataset_from_result,
    start_from_result,
)
from .._errors import MorvexError
from .._progress import Cancelled, run_cancellable
from .._status import Status
from ..io import Frames, Source
from ..settings import Settings, grid_axes
from .plan import BadFrameError, Tile, check_frame_shape

if TYPE_CHECKING:
    import xarray as xr


_CACHE_ENTRIES = 2  # reference images kept per process (a fixed run needs one)
_cache: OrderedDict[str, _guided.ReferenceImage] = OrderedDict()
_cache_lock = threading.Lock()
builds = 0  # reference images built by this process (read by the tests through client.run)


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


# --- the reference cache --------------------------------------------------------------------

def prepare_reference(reference: np.ndarray, settings: Settings,
                      mask: np.ndarray | None,
                      stop: threading.Event | None = None) -> _guided.ReferenceImage:
    """The reference image prepared once for every deformed frame (checked settings).

    Raises:
        MorvexError: when the library refuses the reference (its message, one line).
    """
    kwargs = settings.to_kwargs()[0]
    if mask is not None:
        if not mask.any():
            raise MorvexError("the mask marks no pixel as specimen; non-zero pixels are measured")
        kwargs["mask"] = mask.astype(np.uint8)
    try:
        return run_cancellable(lambda control: _guided.ReferenceImage(reference, **kwargs),
                               stop=stop)
    except ValueError as error:
        raise MorvexError(str(error)) from None
    except TypeError as error:
        # An extension built before second-order subsets refuses the keyword itself.
        if "shape" in kwargs and ("shape" in str(error) or "incompatible" in str(error)):
            raise MorvexError(f"shape {settings.shape!r} needs a morvex._guided extension with "
                              "second-order subsets; this build has affine subsets only"
                              ) from None
        raise


def cached_reference(token: str, reference: np.ndarray, settings: Settings,
                     mask: np.ndarray | None) -> _guided.ReferenceImage:
    """The prepared reference for `token`, built at most once per process while cached."""
    global builds
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


def forget_reference(token: str) -> None:
    with _cache_lock:
        _cache.pop(token, None)


def reference_token(reference: np.ndarray, mask: np.ndarray | None, settings: Settings) -> str:
    from ..store import digest

    return "|".join((digest(reference), digest(mask), repr(settings.to_kwargs()[0])))


def load_pixels(source: Source | None, what: str) -> np.ndarray | None:
    """A task's input image from its source: the scheduler can run it again on any worker."""
    if source is None:
        return None
    if source.kind == "array":
        return np.asarray(source.array)
    return source.read(what)


# --- the frame loop -----------------------------------------------------------------------

class _Pipeline:
    """One reader and one writer thread beside the correlation (one frame ahead each way)."""

    def __init__(self, frames: Any, shape: tuple[int, ...], skip_bad: bool) -> None:
        self._frames, self._shape, self._skip_bad = frames, shape, skip_bad
        self._pool = concurrent.futures.ThreadPoolExecutor(2, thread_name_prefix="morvex-io")
        self._writing: concurrent.futures.Future[Any] | None = None

    def read(self, order: Iterator[int]) -> concurrent.futures.Future[Any]:
        """The next (index, image, reason it is bad) of `order`, or None at its end.

        The reader thread advances `order` itself: a watched folder's order waits for the next
        file there, never in the loop.
        """
        return self._pool.submit(self._next, order)

    def _next(self, order: Iterator[int]) -> tuple[int, np.ndarray | None, str | None] | None:
        index = next(order, None)
        return None if index is None else (index, *self._load(index))

    def _load(self, index: int) -> tuple[np.ndarray | None, str | None]:
        name = self._frames.names[index]
        try:
            image = self._frames[index]
        except MorvexError as error:
            if not self._skip_bad:
                raise BadFrameError(index, name, str(error)) from None
            return None, str(error)
        check_frame_shape(name, image, self._shape)
        return image, None

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


def run_frames(reference: np.ndarray, frames: Frames | FrameWindow, indices: Iterable[int],
               settings: Settings, *, mask: np.ndarray | None = None, store: Any = None,
               previous: dict[str, Any] | None = None, threads: int = 0,
               prepared: _guided.ReferenceImage | None = None,
               incremental: bool = False, skip_bad: bool = False, keep: bool = True,
               sink: FrameSink | None = None, stop: threading.Event | None = None,
               on_points: Callable[[int, int], None] | None = None,
               chain_from_store: bool = True) -> list[tuple[int, xr.Dataset | None]]:
    """Measure frames `indices` (increasing); write each to `store` if given.

    Fixed reference: each frame starts from the frame before it in `indices`; the first from
    `previous` if given, else from the store's frame before it when complete
    (`chain_from_store`), else from seeds. Incremental: every frame up to the last index is
    correlated (the chain), and only the frames of `indices` are written and reported.
    Writing a frame is idempotent, so a chunk may be run again.

    Returns:
        (frame index, frame dataset or None) for every measured frame; datasets only with
        `keep`.

    Raises:
        KeyboardInterrupt: on Ctrl-C or `stop`; frames already written stay complete.
        BadFrameError: for an unreadable frame, unless `skip_bad`.
    """
    ys, xs = grid_axes(settings, reference.shape)
    solver = settings.to_kwargs()[1]
    pipeline = _Pipeline(frames, reference.shape, skip_bad)
    out: list[tuple[int, xr.Dataset | None]] = []
    sequence: _guided.Sequence | None = None
    if incremental and isinstance(indices, (list, tuple, range)):
        wanted: set[int] | None = set(indices)
        order: Iterator[int] = iter(range(max(wanted) + 1) if wanted else ())
    else:
        wanted = None  # a growing list: every frame it yields is written
        order = iter(indices)
    if incremental:
        reference_kwargs = settings.to_kwargs()[0]
        if mask is not None:
            reference_kwargs["mask"] = mask.astype(np.uint8)
        holder: dict[str, Any] = {}

        def build(control: _guided.Control) -> _guided.Sequence:
            holder["control"] = control  # the sequence keeps a pointer to it
            return _guided.Sequence(reference, control=control, incremental=True,
                                    threads=threads, **reference_kwargs, **solver)

        sequence = run_cancellable(build, stop=stop)
    else:
        if prepared is None:
            prepared = prepare_reference(reference, settings, mask, stop)

    def written(index: int, result: dict[str, Any], seconds: float,
                skipped: str | None) -> tuple[int, xr.Dataset, FrameSummary]:
        # On the writer thread: the dataset, the store and the summary, beside the next
        # frame's correlation.
        frame = dataset_from_result(result, settings)
        if skipped is not None:
            frame.attrs["skipped_frames"] = json.dumps({frames.names[index]: skipped})
        if store is not None:
            store.write_frame(index, frame, skipped=skipped)
        return index, frame, summarise(index, frames.names[index], result, seconds)

    def hand_on(done: tuple[int, xr.Dataset, FrameSummary] | None) -> None:
        if done is None:
            return
        index, frame, summary = done
        out.append((index, frame if keep else None))
        if sink is not None:
            sink(index, frame, summary)

    def poll() -> None:
        # While a frame correlates: report the frame before it as soon as it is written.
        hand_on(pipeline.finished())

    start = previous
    last = None
    try:
        reading = pipeline.read(order)
        while True:
            while not reading.done():
                # Waiting for the frame (a slow disk, a camera): the last one is reported
                # meanwhile, and a cancel is heard.
                poll()
                if stop is not None and stop.is_set():
                    raise Cancelled
                concurrent.futures.wait([reading], timeout=0.05)
            item = reading.result()
            if item is None:
                break
            began = time.perf_counter()
            index, image, bad = item
            reading = pipeline.read(order)
            if not incremental and (last is None or index != last + 1):
                if last is None and previous is not None:
                    start = previous
                elif store is not None and chain_from_store:
                    start = store.previous(index)
                else:
                    start = None
            if bad is not None:
                result = not_measured(settings, ys, xs)
                start = None  # the frame after a skipped one starts from seeds
                if incremental:
                    raise MorvexError(f"frame {index} ({frames.names[index]}) is damaged or "
                                      f"unreadable: {bad}; an incremental run cannot skip it "
                                      "(every frame is the next one's reference)")
            elif incremental:
                # run_cancellable returns before the loop moves on: the closures see this frame.
                assert sequence is not None
                result = run_cancellable(lambda _c: sequence.add_frame(image),  # noqa: B023
                                         stop=stop, on_progress=on_points, on_poll=poll)
            else:
                chained = start
                assert prepared is not None
                result = run_cancellable(
                    lambda control: _guided.correlate(  # noqa: B023
                        prepared, image, control=control, previous=chained,  # noqa: B023
                        threads=threads, **solver), on_progress=on_points, stop=stop,
                    on_poll=poll)
            last = index
            if wanted is not None and index not in wanted:
                continue  # replayed to rebuild the incremental state; already stored
            _stop_if_cancelled(result)
            if bad is None and not incremental:
                # The next frame starts from the field as stored (invalid points NaN), so a
                # resumed run follows exactly the path of an uninterrupted one.
                start = start_from_result(result)
            seconds = time.perf_counter() - began
            hand_on(pipeline.finish())
            pipeline.write(functools.partial(written, index, result, seconds, bad))
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


def _stop_if_cancelled(result: dict[str, Any]) -> None:
    # A cancel that reached the workers after the last poll leaves cancelled points.
    if np.any(np.asarray(result["status"]) == STATUS_CANCELLED):
        raise KeyboardInterrupt


# --- tasks of a chunked run ---------------------------------------------------------------

class FrameWindow:
    """Frames start .. start + len(frames) - 1 of a sequence, addressed by sequence index."""

    def __init__(self, frames: Frames, start: int) -> None:
        self._frames = frames
        self._start = start
        self.names = {start + k: name for k, name in enumerate(frames.names)}

    def __getitem__(self, index: int) -> np.ndarray:
        return np.asarray(self._frames[index - self._start])


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
    prepared = cached_reference(token, reference, settings, mask)
    out: list[tuple[int, Any, Any]] = []
    # A chunk's first frame starts from seeds, never from a neighbouring chunk's stored frame
    # (which may or may not be there yet).
    run_frames(reference, FrameWindow(frames, start), range(first, stop), settings, mask=mask,
               store=store, previous=previous, threads=threads, prepared=prepared,
               skip_bad=skip_bad, keep=store is None, chain_from_store=False,
               sink=lambda index, frame, summary: out.append(
                   (index, summary, frame if store is None else None)))
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
    out: list[tuple[int, Any, Any]] = []
    run_frames(reference, frames, todo, settings, mask=mask, store=store, threads=threads,
               incremental=True, keep=store is None,
               sink=lambda index, frame, summary: out.append(
                   (index, summary, frame if store is None else None)))
    return out


# --- tiles --------------------------------------------------------------------------------

def measure_tile(tile: Tile, reference: Source, deformed: Source, mask: Source | None,
                 settings: Settings, threads: int,
                 stop: threading.Event | None = None) -> dict[str, np.ndarray]:
    """Correlate one tile (one task) and return its kept grid block of every variable."""
    reference_pixels = reference.window(tile.window, "reference")
    mask_pixels = None if mask is None else mask.window(tile.window, "mask") != 0
    keep_rows, keep_cols = tile.rows[1] - tile.rows[0], tile.cols[1] - tile.cols[0]
    if mask_pixels is not None and not mask_pixels.any():
        return _outside_mask(keep_rows, keep_cols)
    local = dataclasses.replace(settings, roi=tile.roi)
    prepared = prepare_reference(reference_pixels, local, mask_pixels, stop)
    del reference_pixels  # the prepared reference keeps its own copy
    deformed_pixels = deformed.window(tile.window, "deformed")
    result = run_cancellable(lambda control: _guided.correlate(
        prepared, deformed_pixels, control=control, threads=threads, **local.to_kwargs()[1]),
        stop=stop)
    _stop_if_cancelled(result)
    return _kept_block(result, tile, settings)


def _kept_block(result: dict[str, Any], tile: Tile, settings: Settings) -> dict[str, np.ndarray]:
    # Select the core by position: the window's grid may hold a point the whole grid lacks.
    y0, _, x0, _ = tile.window
    ys = np.asarray(result["y"])[:, 0] + y0
    xs = np.asarray(result["x"])[0, :] + x0
    want_y = tile.first[0] + settings.step * np.arange(tile.rows[1] - tile.rows[0])
    want_x = tile.first[1] + settings.step * np.arange(tile.cols[1] - tile.cols[0])
    rows = np.minimum(np.searchsorted(ys, want_y), len(ys) - 1)
    cols = np.minimum(np.searchsorted(xs, want_x), len(xs) - 1)
    if not (np.array_equal(ys[rows], want_y) and np.array_equal(xs[cols], want_x)):
        raise RuntimeError(f"tile {tile} misses grid points of the whole image")
    block = np.ix_(rows, cols)
    return {name: np.asarray(result[name])[block] for name in FIELD_VARIABLES}


def _outside_mask(rows: int, cols: int) -> dict[str, np.ndarray]:
    block = {name: np.full((rows, cols), np.nan) for name in FLOAT_VARIABLES}
    block["valid"] = np.zeros((rows, cols), dtype=np.uint8)
    block["status"] = np.full((rows, cols), int(Status.OUTSIDE_MASK), dtype=np.uint8)
    block["iterations"] = np.zeros((rows, cols), dtype=np.int32)
    return block


def stitch(blocks: list[tuple[Tile, dict[str, np.ndarray]]], ys: np.ndarray,
           xs: np.ndarray) -> dict[str, Any]:
    """The whole grid's result dictionary from the tiles' kept blocks."""
    result: dict[str, Any] = {"rows": len(ys), "cols": len(xs)}
    result["x"], result["y"] = np.meshgrid(np.asarray(xs, np.float64), np.asarray(ys, np.float64))
    for tile, block in blocks:
        for name, values in block.items():
            if name not in result:
                result[name] = np.empty((len(ys), len(xs)), dtype=values.dtype)
            result[name][tile.rows[0]:tile.rows[1], tile.cols[0]:tile.cols[1]] = values
    return result


def stitch_frame(index: int, name: str, tiles: list[Tile], blocks: list[dict[str, np.ndarray]],
                 ys: np.ndarray, xs: np.ndarray, settings: Settings, store_path: str | None,
                 began: float) -> tuple[int, Any, Any]:
    """Stitch one frame's tiles (one task) and write it to the store, if there is one."""
    from ..store import Store

    result = stitch(list(zip(tiles, blocks, strict=True)), ys, xs)
    frame = dataset_from_result(result, settings)
    if store_path is not None:
        Store(store_path).write_frame(index, frame)
    summary = summarise(index, name, result, time.time() - began)
    return index, summary, None if store_path is not None else frame


def cut(source: Source, tile: Tile) -> Source:
    """A task carries its own window of an in-memory image, never the whole image."""
    if source.kind != "array":
        return source
    y0, y1, x0, x1 = tile.window
    window = np.ascontiguousarray(source.array[y0:y1, x0:x1])
    return Source("array", source.shape, array=Shifted(window, y0, x0))


class Shifted:
    """A window of an image indexed by whole-image pixel positions."""

    def __init__(self, pixels: np.ndarray, y0: int, x0: int) -> None:
        self.pixels, self.y0, self.x0 = pixels, y0, x0

    def __getitem__(self, key: tuple[slice, slice]) -> np.ndarray:
        rows, cols = key
        return self.pixels[rows.start - self.y0:rows.stop - self.y0,
                           cols.start - self.x0:cols.stop - self.x0]


def load_pixels_source(source: Source | None) -> Source | None:
    """A tile's window source as a task of its own (recomputed if its worker dies)."""
    return source
