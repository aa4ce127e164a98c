"""One reference image against one deformed image."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ._progress import Progress
from .io import ImageLike
from .run.execute import prepare_reference
from .run.plan import check_threads, choice_attrs
from .settings import DEFAULTS as _D
from .settings import Settings

if TYPE_CHECKING:
    import xarray as xr


def correlate(reference: ImageLike, deformed: ImageLike, *, subset: int | str = _D.subset,
              step: int = _D.step, mask: ImageLike | None = None,
              roi: Sequence[int] | None = None, interpolation: str = _D.interpolation,
              prefilter: float = _D.prefilter, min_zncc: float = _D.min_zncc,
              strain_window: int = _D.strain_window, strain_measure: str = _D.strain_measure,
              strain_source: str = _D.strain_source,
              max_jump: float = _D.max_jump, search_range: int = _D.search_range,
              seed_count: int = _D.seed_count, max_iterations: int = _D.max_iterations,
              convergence_threshold: float = _D.convergence_threshold,
              scale_mm_per_px: float | None = None, threads: int | None = None,
              progress: Progress = False, tile: int | None = None,
              tile_margin: int | None = None, workers: int | None = None, client: Any = None,
              threads_per_worker: int | None = None, shape: str = _D.shape,
              noise_target: float | None = None, feature_seeds: str = _D.feature_seeds,
              seeds: Sequence[Sequence[float]] = (),
              max_predicted_sigma: float = _D.max_predicted_sigma,
              camera: str | os.PathLike[str] | None = None,
              plane: str | os.PathLike[str] | None = None, scale: float | None = None,
              between: Sequence[float] | None = None, origin: Sequence[float] | None = None,
              axis: Sequence[float] | None = None, y_up: bool = False,
              remove_rigid_motion: bool = False, strain_measures: bool = False,
              crack_lines: Sequence[Sequence[Sequence[float]]] = ()) -> xr.Dataset:
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
        max_predicted_sigma: px; points whose subset cannot measure the motion (a predicted
            sigma along its weakest direction above this, or a subset reaching an untextured
            patch: a dark margin, a hole) are refused before any solve (status 5, flat);
            0 = off.
        min_zncc: points with a lower final ZNCC are invalid (status 3).
        strain_window: half-width of the strain fit, px.
        strain_measure: "green-lagrange" (finite strain) or "engineering" (small strain).
        strain_source: "displacement" (default: plane fit of u, v over the strain window) or
            "subset" (the subsets' own warp gradients, fitted over the window; a window under
            half a step takes them as they are, a strain gauge of one subset).
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
            files (see morvex.run.tiles). Results agree with the whole-image run within the
            solver's convergence. At least one subset plus its margins (the message says).
        tile_margin: px of displacement a tile allows for at its edges (default 32).
        workers: run the tiles on a local Dask cluster of this many worker processes.
        client: run the tiles on an existing cluster (distributed.Client or its address).
        threads_per_worker: task threads per local worker (default 1).
        shape: subset shape function: "affine" (default) or "quadratic" (second order, finer
            spatial resolution at about twice the noise).
        noise_target: px, for subset="auto".
        feature_seeds: seeds from matched image features, for a specimen turned or scaled in
            the image plane: "auto" (when the translation search finds no seed), "on", "off".
        camera: camera file (morvex.calibrate, or OpenCV's JSON with the same keys); the
            images must be the calibrated size.
        plane: image of the camera file's target lying on the specimen plane: x_mm, y_mm
            (coordinates), u_mm, v_mm, sigma_u_mm, sigma_v_mm and the strains fitted in plane
            coordinates exx_plane, eyy_plane, exy_plane join the pixel fields. Each point's
            reference and deformed positions are mapped, so u_mm is their difference.
        scale, between: instead of plane, a known length (mm) between two reference image
            points (x0, y0, x1, y1) px; undistorted first with a camera.
        origin, axis: image points (x, y) px: the plane's origin and a point on its +x axis;
            y_up turns y towards the image's top.
        remove_rigid_motion: u_rel, v_rel (and u_mm_rel, v_mm_rel) without the frame's
            least-squares rigid motion, which rigid_tx, rigid_ty, rigid_angle report.
        strain_measures: add e1, e2, e1_angle, max_shear, von_mises, exx_log, eyy_log,
            exy_log (and their _plane twins on a plane).
        seeds: explicit seeds ``(x, y)`` or ``(x, y, u, v)`` in image px, inside the image and
            on the mask's specimen; (u, v) starts the seed's solve (a region that moved beyond
            search_range).
        crack_lines: crack lines, each a polyline of at least 2 ``(x, y)`` vertices in
            reference px: barriers no subset, seed's growth or strain window crosses; points
            within 1 px of a line get status 10 (crosses a discontinuity).

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
    from .run.execute import execute_pair
    from .run.plan import plan_pair

    settings = Settings.build(subset=subset, step=step, roi=roi, interpolation=interpolation,
                              prefilter=prefilter, min_zncc=min_zncc,
                              strain_window=strain_window, strain_measure=strain_measure,
                              strain_source=strain_source,
                              max_jump=max_jump, search_range=search_range,
                              seed_count=seed_count, max_iterations=max_iterations,
                              convergence_threshold=convergence_threshold,
                              scale_mm_per_px=scale_mm_per_px, shape=shape,
                              noise_target=noise_target, feature_seeds=feature_seeds,
                              seeds=seeds, max_predicted_sigma=max_predicted_sigma,
                              camera=None if camera is None else str(camera),
                              plane=None if plane is None else str(plane), scale=scale,
                              between=between, origin=origin, axis=axis, y_up=y_up,
                              remove_rigid_motion=remove_rigid_motion,
                              strain_measures=strain_measures, crack_lines=crack_lines)
    plan = plan_pair(reference, deformed, settings, mask=mask, threads=threads, tile=tile,
                     tile_margin=tile_margin, workers=workers, client=client,
                     threads_per_worker=threads_per_worker)
    return execute_pair(plan, progress)


__all__ = ["check_threads", "choice_attrs", "correlate", "prepare_reference"]
