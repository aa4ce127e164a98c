"""One reference image against one deformed image."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import xarray as xr

from . import _guided
from ._dataset import dataset_from_result
from ._errors import MorvexError
from ._progress import Bar, Progress, run_cancellable
from .io import ImageLike, as_image, as_mask
from .settings import AUTO_SUBSET, Settings


def correlate(reference: ImageLike, deformed: ImageLike, *, subset: int | str = 29, step: int = 7,
              mask: ImageLike | None = None, roi: Sequence[int] | None = None,
              interpolation: str = "quintic", prefilter: float = 0.0, min_zncc: float = 0.8,
              strain_window: int = 35, strain_measure: str = "green-lagrange",
              max_jump: float = 2.0, search_range: int = -1, seed_count: int = 0,
              max_iterations: int = 50, convergence_threshold: float = 1e-3,
              scale_mm_per_px: float | None = None, threads: int | None = None,
              progress: Progress = False, tile: int | None = None,
              tile_margin: int | None = None, workers: int | None = None, client: Any = None,
              threads_per_worker: int | None = None, shape: str = "affine",
              noise_target: float | None = None) -> xr.Dataset:
    """Measure the displacement and strain fields of `deformed` against `reference`.

    Points sit on a regular grid of subset centres, `step` pixels apart; the field grows from
    a few seed points to their neighbours, most reliable first (guided correlation), with
    B-spline interpolation and a per-point uncertainty.

    Args:
        reference: grey image (2-D array of any real dtype), colour array (rows, cols, 3|4;
            converted to grey as 0.299 R + 0.587 G + 0.114 B) or an image path.
        deformed: the same, of the reference's size.
        subset: side of the square subset, px; odd, >= 5; or "auto": the smallest odd subset
            whose predicted sigma meets `noise_target` on >= 95 % of the region's points,
            judged on the reference against a copy with its own estimated read noise (see
            morvex.autosubset); the choice and its reason are in the ``subset_choice``
            attribute.
        step: grid spacing, px; >= 1.
        mask: boolean/8-bit array or image path of the reference's size; non-zero = specimen.
            Points whose subset holds too little specimen get status 1 (outside mask).
        roi: region of interest (x0, y0, x1, y1), inclusive pixel bounds.
        interpolation: "quintic" (default, lowest bias), "cubic" or "keys".
        prefilter: Gaussian low-pass sigma for both images, px; 0 = off.
        min_zncc: points with a lower final ZNCC are invalid (status 3).
        strain_window: half-width of the strain fit, px.
        strain_measure: "green-lagrange" (finite strain) or "engineering" (small strain).
        max_jump: px; a point differing more than this from its guide is invalid (status 4).
        search_range: half-width of the seeds' integer search, px; -1 = the whole image.
        seed_count: growth blocks; 0 = automatic.
        max_iterations: Gauss-Newton iteration limit per point.
        convergence_threshold: px; the solver stops when no subset corner moves more.
        scale_mm_per_px: calibration; adds x_mm, y_mm coordinates and u_mm, v_mm variables.
        threads: worker threads; None = all cores. The result does not depend on it.
        progress: True shows a progress bar of points; a callable receives (done, total).
            Tiled runs count tiles instead of points.
        tile: side of a tile, px: split the grid into tiles measured one by one (or as tasks
            on a cluster) and stitch them; each tile reads only its window of TIFF or Zarr
            files (see morvex.tiling). Results agree with the whole-image run within the
            solver's convergence. At least one subset plus its margins (the message says).
        tile_margin: px of displacement a tile allows for at its edges (default 32).
        workers: run the tiles on a local Dask cluster of this many worker processes.
        client: run the tiles on an existing cluster (distributed.Client or its address).
        threads_per_worker: task threads per local worker (default 1).
        shape: subset shape function: "affine" (default) or "quadratic" (second order, finer
            spatial resolution at about twice the noise).
        noise_target: px, for subset="auto".

    Returns:
        An xarray.Dataset with dims ("y", "x"), coordinates y, x (subset centres in
        reference-image pixels), variables u, v (px), exx, eyy, exy, zncc, sigma_u, sigma_v
        (px), du_dx, du_dy, dv_dx, dv_dy, valid (bool), status (uint8; meanings in the
        ``flag_meanings`` attribute), iterations, and reference_image (dims row, col);
        attributes hold every setting and the package version. Invalid points hold NaN in
        every float variable.

    Raises:
        MorvexError: before any work, for a missing or unreadable file, images of different
            sizes, a mask of another size, a subset larger than the image, a region that
            leaves no grid point, or a setting outside its range.
        KeyboardInterrupt: on Ctrl-C, within about 0.1 s; nothing is returned.

    Example:
        >>> case = morvex.synthetic_pair(shape=(128, 128), u=0.3, v=-0.2)
        >>> ds = morvex.correlate(case.reference, case.deformed, subset=21, step=8)
        >>> float(ds.u.mean()) # doctest: +SKIP
        0.3001
    """
    settings = Settings.build(subset=subset, step=step, roi=roi, interpolation=interpolation,
                              prefilter=prefilter, min_zncc=min_zncc,
                              strain_window=strain_window, strain_measure=strain_measure,
                              max_jump=max_jump, search_range=search_range,
                              seed_count=seed_count, max_iterations=max_iterations,
                              convergence_threshold=convergence_threshold,
                              scale_mm_per_px=scale_mm_per_px, shape=shape,
                              noise_target=noise_target)
    threads = check_threads(threads)
    choice: dict[str, Any] = {}
    if settings.subset == AUTO_SUBSET:
        from .autosubset import choose_subset

        reference = as_image(reference, "reference")
        settings, choice = choose_subset(
            reference, settings, None if mask is None else as_mask(mask, reference.shape),
            threads=threads or None)
    if any(value is not None for value in (tile, workers, client, threads_per_worker)):
        from .distributed import check_workers
        from .tiling import correlate_tiled

        check_workers(workers)
        if tile is None:
            raise MorvexError("workers and client run tiles as tasks: give tile (px) as well")
        tiled = correlate_tiled(reference, deformed, settings, tile=tile,
                                tile_margin=tile_margin, mask=mask, threads=threads,
                                workers=workers, client=client,
                                threads_per_worker=threads_per_worker, progress=progress)
        return tiled.assign_attrs(choice_attrs(choice))
    reference_image = as_image(reference, "reference")
    deformed_image = as_image(deformed, "deformed")
    if deformed_image.shape != reference_image.shape:
        raise MorvexError(f"the deformed image has shape {deformed_image.shape}, the reference "
                          f"{reference_image.shape} (rows, cols); both must be the same size")
    settings.check_image(reference_image.shape)
    mask_image = None if mask is None else as_mask(mask, reference_image.shape)
    prepared = prepare_reference(reference_image, settings, mask_image)
    bar = Bar(progress, "pt", "correlating", prepared.grid_rows * prepared.grid_cols)
    try:
        result = run_cancellable(
            lambda control: _guided.correlate(prepared, deformed_image, control=control,
                                              threads=threads, **settings.to_kwargs()[1]),
            bar if bar.active() else None)
    finally:
        bar.close()
    return dataset_from_result(result, settings, reference_image, choice_attrs(choice))


def choice_attrs(choice: dict[str, Any]) -> dict[str, Any]:
    """Attributes that record an automatic subset choice (none for a given subset)."""
    if not choice:
        return {}
    import json

    return {"subset_choice": choice["reason"], "subset_choice_json": json.dumps(choice)}


def prepare_reference(reference: np.ndarray, settings: Settings,
                      mask: np.ndarray | None) -> "_guided.ReferenceImage":
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
        return run_cancellable(lambda control: _guided.ReferenceImage(reference, **kwargs))
    except ValueError as error:
        raise MorvexError(str(error)) from None
    except TypeError as error:
        # An extension built before second-order subsets refuses the keyword itself.
        if "shape" in kwargs and ("shape" in str(error) or "incompatible" in str(error)):
            raise MorvexError(f"shape {settings.shape!r} needs a morvex._guided extension with "
                              "second-order subsets; this build has affine subsets only"
                              ) from None
        raise


def check_threads(threads: int | None) -> int:
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise MorvexError(f"threads must be a positive integer or None (all cores), got {threads!r}")
    return threads
