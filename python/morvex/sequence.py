"""A sequence of frames against one reference, optionally written to a resumable store."""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np
import xarray as xr

from . import _guided
from ._dataset import STATUS_CANCELLED, dataset_from_result, result_from_dataset
from ._errors import MorvexError
from ._progress import Bar, Progress, run_cancellable
from .correlate import check_threads, choice_attrs, prepare_reference
from .io import Frames, ImageLike, as_image, as_mask, frames_from
from .settings import AUTO_SUBSET, Settings
from .store import Store, open_store, run_identity, write_store_attrs

FrameCallback = Callable[[int, xr.Dataset, float], None]


def correlate_sequence(frames: object, *, reference: int | ImageLike = 0,
                       incremental: bool = False, mask: ImageLike | None = None,
                       store: str | os.PathLike | None = None, overwrite: bool = False,
                       progress: Progress = True, threads: int | None = None,
                       on_frame: FrameCallback | None = None, workers: int | None = None,
                       client: Any = None, threads_per_worker: int | None = None,
                       chunk: int | None = None, tile: int | None = None,
                       tile_margin: int | None = None, **settings: Any) -> xr.Dataset:
    """Measure every frame of a sequence against one reference image.

    Each frame starts from the previous frame's field, so displacements may grow by many
    pixels over the sequence as long as each step stays within reach.

    Args:
        frames: a list of paths or arrays, a glob pattern ("frames/*.tif"), a folder (its
            images sorted by name), a multi-page TIFF, or a 3-D array (frame, rows, cols).
        reference: index of the reference in `frames` (default 0), or an image/path.
        incremental: correlate each frame against the one before and accumulate the
            increments back to the reference positions (large deformations). A resumed
            incremental run re-measures the frames before its first missing one without
            writing them (the sequence state lives in memory).
        mask: specimen mask of the reference (array or path; non-zero = specimen).
        store: a ``.zarr`` path; each frame is written as soon as it is measured and a rerun
            resumes after the complete frames (nothing measured twice in fixed mode).
        overwrite: replace a store written with other settings instead of refusing it.
        progress: True shows a bar of frames; a callable receives (frames done, total).
        threads: worker threads; None = all cores.
        on_frame: called with (frame index, frame dataset, seconds) after each new frame.
        workers: run on a local Dask cluster of this many worker processes, closed afterwards.
        client: run on an existing cluster: a distributed.Client or a scheduler address.
        threads_per_worker: task threads per local worker (default 1); each task correlates
            with `threads` threads (default 1 on a cluster).
        chunk: frames per task (default 4 on a cluster). A chunk's first frame starts from
            seeds, the others from the frame before; the numbers depend on `chunk`, never on
            the cluster. Given without a cluster, the chunks run one after another here.
            See morvex.distributed for how incremental runs are split (one chain).
        tile, tile_margin: measure every frame by tiles as :func:`morvex.correlate` does
            (fixed reference only); each frame's tiles start from seeds.
        **settings: subset, step, roi, interpolation, prefilter, min_zncc, strain_window,
            strain_measure, max_jump, search_range, seed_count, max_iterations,
            convergence_threshold, scale_mm_per_px, shape, noise_target (with subset="auto"):
            as :func:`morvex.correlate`.

    Returns:
        An xarray.Dataset with dims ("frame", "y", "x") and the variables of
        :func:`morvex.correlate`; coordinate ``frame_name`` names each frame's source.

    Raises:
        MorvexError: before any work, for an empty frame list or pattern, a missing file,
            frames of another size than the reference, a bad mask or setting, or a store
            written with other settings (naming them).
        KeyboardInterrupt: on Ctrl-C, within about 0.1 s; complete frames stay in the store.

    Example:
        >>> seq = morvex.synthetic_sequence(frames=4, shape=(128, 128))
        >>> ds = morvex.correlate_sequence(seq.frames, subset=21, step=8, progress=False)
        >>> ds.sizes["frame"]
        4
    """
    checked = Settings.build(**settings)
    threads = check_threads(threads)
    chunked = (workers is not None or client is not None or chunk is not None
               or tile is not None or threads_per_worker is not None)
    if chunked:
        from .distributed import check_chunk, check_workers

        check_workers(workers)
        check_chunk(chunk)
    if tile is not None:
        from .tiling import check_tile

        if incremental:
            raise MorvexError("tile needs a fixed reference: incremental runs correlate whole "
                              "frames")
        tile, tile_margin = check_tile(tile, tile_margin, checked)
    frame_list = frames_from(frames)
    if isinstance(reference, (int, np.integer)) and not isinstance(reference, bool):
        if not -len(frame_list) <= reference < len(frame_list):
            raise MorvexError(f"reference index {reference} is outside the {len(frame_list)} "
                              "frames")
        reference_image = frame_list[int(reference)]
    else:
        reference_image = as_image(reference, "reference")  # type: ignore[arg-type]
    mask_image = None if mask is None else as_mask(mask, reference_image.shape)
    choice: dict[str, Any] = {}
    if checked.subset == AUTO_SUBSET:
        from .autosubset import choose_subset

        checked, choice = choose_subset(reference_image, checked, mask_image,
                                        threads=threads or None)
    checked.check_image(reference_image.shape)
    _check_frame_sizes(frame_list, reference_image.shape)

    target = None
    todo = list(range(len(frame_list)))
    if store is not None:
        identity = run_identity(checked.to_json(), list(frame_list.names), reference_image,
                                mask_image, incremental)
        target = Store.open_for_run(store, identity, reference_image, overwrite=overwrite)
        done = target.complete()
        todo = [k for k in todo if k >= len(done) or not done[k]]

    bar = Bar(progress, "frame", "frames", len(frame_list))
    bar(len(frame_list) - len(todo), len(frame_list))
    try:
        report = _reporting(bar, on_frame, len(frame_list), len(todo))
        if chunked:
            from .distributed import run_on_cluster

            measured = run_on_cluster(
                workers, client, threads_per_worker, reference_image, frame_list, todo,
                checked, mask=mask_image, incremental=incremental, store=target, chunk=chunk,
                threads=threads or None, on_frame=report,
                tiles=None if tile is None else (frames, tile, tile_margin))
        else:
            measured = (_run_incremental if incremental else correlate_frames)(
                reference_image, frame_list, todo, checked, mask=mask_image, store=target,
                threads=threads, on_frame=report)
    finally:
        bar.close()
    if target is not None:
        if choice:
            write_store_attrs(target.path, choice_attrs(choice))
        return open_store(target.path)
    return _stack(measured, frame_list, reference_image).assign_attrs(choice_attrs(choice))


def correlate_frames(reference: np.ndarray, frames: Frames, indices: Iterable[int],
                     settings: Settings, *, mask: np.ndarray | None = None,
                     store: Store | None = None, previous: dict[str, Any] | None = None,
                     threads: int = 0, prepared: Any = None,
                     on_frame: FrameCallback | None = None) -> list[tuple[int, xr.Dataset]]:
    """Measure frames `indices` against a fixed reference; write each to `store` if given.

    The seam for distributed runs: a worker may call it on any contiguous chunk of frames.
    Each frame starts from the previous frame of the chunk; the chunk's first frame starts
    from `previous` if given, else from the store's frame before it when that is complete,
    else from seeds. Writing a frame is idempotent, so a chunk may be run again.

    Returns:
        (frame index, frame dataset with dims (y, x)) for every measured frame.

    Raises:
        KeyboardInterrupt: on Ctrl-C; frames already written stay complete.
    """
    prepared = prepared if prepared is not None else prepare_reference(reference, settings, mask)
    solver = settings.to_kwargs()[1]
    out: list[tuple[int, xr.Dataset]] = []
    last_index = None
    for index in indices:
        if last_index is None or index != last_index + 1:
            start = previous if last_index is None and previous is not None else (
                store.previous(index) if store is not None else None)
        image = frames[index]
        _check_shape(frames, index, image, reference.shape)
        began = time.perf_counter()
        result = run_cancellable(
            lambda control: _guided.correlate(prepared, image, control=control, previous=start,
                                              threads=threads, **solver))
        _stop_if_cancelled(result)
        frame = dataset_from_result(result, settings)
        if store is not None:
            store.write_frame(index, frame)
        # The next frame starts from the field as stored (invalid points NaN), so a resumed
        # run follows exactly the path of an uninterrupted one.
        start = result_from_dataset(frame)
        last_index = index
        out.append((index, frame))
        if on_frame is not None:
            on_frame(index, frame, time.perf_counter() - began)
    return out


def _run_incremental(reference: np.ndarray, frames: Frames, indices: list[int],
                     settings: Settings, *, mask: np.ndarray | None, store: Store | None,
                     threads: int, on_frame: FrameCallback | None
                     ) -> list[tuple[int, xr.Dataset]]:
    if not indices:
        return []
    reference_kwargs, solver = settings.to_kwargs()
    if mask is not None:
        reference_kwargs["mask"] = mask.astype(np.uint8)
    control_holder: dict[str, Any] = {}

    def build(control: Any) -> Any:
        control_holder["control"] = control
        return _guided.Sequence(reference, control=control, incremental=True, threads=threads,
                                **reference_kwargs, **solver)

    sequence = run_cancellable(build)
    out: list[tuple[int, xr.Dataset]] = []
    wanted = set(indices)
    for index in range(max(indices) + 1):
        image = frames[index]
        _check_shape(frames, index, image, reference.shape)
        began = time.perf_counter()
        result = run_cancellable(lambda _control: sequence.add_frame(image))
        if index not in wanted:
            continue  # replayed to rebuild the incremental state; already stored
        _stop_if_cancelled(result)
        frame = dataset_from_result(result, settings)
        if store is not None:
            store.write_frame(index, frame)
        out.append((index, frame))
        if on_frame is not None:
            on_frame(index, frame, time.perf_counter() - began)
    return out


def _stop_if_cancelled(result: dict[str, Any]) -> None:
    # A cancel that reached the workers after the last poll leaves cancelled points.
    if np.any(np.asarray(result["status"]) == STATUS_CANCELLED):
        raise KeyboardInterrupt


def _check_frame_sizes(frames: Frames, shape: tuple[int, int]) -> None:
    # Only cheap checks up front: loading every frame twice would double the reading time.
    for index in (0, len(frames) - 1):
        _check_shape(frames, index, frames[index], shape)


def _check_shape(frames: Frames, index: int, image: np.ndarray, shape: tuple[int, int]) -> None:
    if image.shape != shape:
        raise MorvexError(f"frame {frames.names[index]} has shape {image.shape}, the "
                          f"reference {shape} (rows, cols); all must be the same size")


def _reporting(bar: Bar, on_frame: FrameCallback | None, total: int,
               todo: int) -> FrameCallback:
    done = [total - todo]

    def report(index: int, frame: xr.Dataset, seconds: float) -> None:
        done[0] += 1
        bar(done[0], total)
        if on_frame is not None:
            on_frame(index, frame, seconds)

    return report


def _stack(measured: list[tuple[int, xr.Dataset]], frames: Frames,
           reference: np.ndarray) -> xr.Dataset:
    indices = [index for index, _ in measured]
    datasets = [frame for _, frame in measured]
    stacked = xr.concat(datasets, dim="frame", combine_attrs="override")
    stacked = stacked.assign_coords(
        frame=("frame", np.asarray(indices, dtype=np.int64)),
        frame_name=("frame", np.array([frames.names[k] for k in indices], dtype=object)))
    stacked["reference_image"] = (("row", "col"), reference.astype(np.float32),
                                  {"long_name": "reference image (grey)", "units": "1"})
    return stacked
