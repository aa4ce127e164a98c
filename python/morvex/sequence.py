"""A sequence of frames against one reference, optionally written to a resumable store."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ._progress import Progress
from .io import ImageLike

if TYPE_CHECKING:
    import xarray as xr

FrameCallback = Callable[[int, "xr.Dataset", float], None]


def correlate_sequence(frames: object, *, reference: int | ImageLike = 0,
                       incremental: bool = False, mask: ImageLike | None = None,
                       store: str | os.PathLike[str] | None = None, overwrite: bool = False,
                       progress: Progress = True, threads: int | None = None,
                       on_frame: FrameCallback | None = None, workers: int | None = None,
                       client: Any = None, threads_per_worker: int | None = None,
                       chunk: int | None = None, tile: int | None = None,
                       tile_margin: int | None = None, skip_bad_frames: bool = False,
                       **settings: Any) -> xr.Dataset:
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
        chunk: frames per task (default 2 on a cluster). A chunk's first frame starts from
            seeds, the others from the frame before; the numbers depend on `chunk`, never on
            the cluster. Given without a cluster, the chunks run one after another here.
            See morvex.run.plan for how incremental runs are split (one chain).
        tile, tile_margin: measure every frame by tiles as :func:`morvex.correlate` does
            (fixed reference only); each frame's tiles start from seeds.
        skip_bad_frames: record a frame whose file cannot be read as not measured (status
            255, its reason in the ``skipped_frames`` attribute) and go on; by default such a
            frame stops the run with a message naming it.
        **settings: subset, step, roi, interpolation, prefilter, min_zncc, strain_window,
            strain_measure, strain_source, max_jump, search_range, seed_count, max_iterations,
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
    from .run.execute import Reporter, run_sequence
    from .run.plan import plan_sequence

    plan = plan_sequence(frames, reference=reference, incremental=incremental, mask=mask,
                         store=store, overwrite=overwrite, threads=threads, workers=workers,
                         client=client, threads_per_worker=threads_per_worker, chunk=chunk,
                         tile=tile, tile_margin=tile_margin, skip_bad_frames=skip_bad_frames,
                         settings=settings)
    reporter = Reporter(len(plan.frames), progress, on_frame)
    return run_sequence(plan, reporter)
