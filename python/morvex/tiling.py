"""Very large images as tiles: split the grid, correlate each tile on its own window, stitch.

The grid of the whole image (subset centres ``step`` px apart) is cut into blocks of about
``tile`` x ``tile`` px; each block is a tile's core, and only its points are kept from that
tile. Around the core a tile measures ``w`` more grid points per side, w = the strain window in
grid steps, so the strain fit of every kept point sees the same neighbours as in the whole
image. Its image window adds, around those points, half a subset, ``tile_margin`` px for the
displacement (a subset must stay inside the deformed window wherever it moves) and the reach of
the interpolation prefilter (B-spline coefficients depend on grey values ~20 px away by less
than 1e-7 of their range; the Gaussian prefilter on 4 sigma, twice). Every tile then sees the
grey values the whole-image run sees, and its kept points agree with that run within the
solver's convergence. A point that moves further than ``tile_margin`` near a tile edge fails (status 2),
it is never silently wrong.

Workers read only their window: TIFF files through tifffile's Zarr view (only the strips or
tiles under the window are decoded), Zarr arrays natively; other formats are read whole and
cropped. Arrays in memory are cut on the client and each task carries only its window.
"""

from __future__ import annotations

import dataclasses
import math
import os
import pathlib
from typing import Any

import numpy as np
import xarray as xr

from ._dataset import FIELD_VARIABLES, FLOAT_VARIABLES, dataset_from_result
from ._errors import MorvexError
from ._progress import Bar
from .settings import Settings

DEFAULT_TILE_MARGIN = 32  # px of displacement a tile allows for at its edges
# px beyond which the interpolation prefilter's influence falls below 1e-7: the largest
# quintic B-spline pole is -0.4306 (0.4306^20 = 5e-8), the cubic one -0.2679.
_PREFILTER_REACH = {"quintic": 20, "cubic": 13, "keys": 4}
_BAD_PIXEL_REACH = 4  # px: non-finite grey values this close to a subset invalidate it


@dataclasses.dataclass(frozen=True)
class Tile:
    """One tile: its kept grid block, its image window and its region inside the window."""

    rows: tuple[int, int]                  # kept grid rows, [first, stop)
    cols: tuple[int, int]                  # kept grid columns, [first, stop)
    window: tuple[int, int, int, int]      # image rows y0:y1, columns x0:x1 (half-open)
    roi: tuple[int, int, int, int]         # x0, y0, x1, y1 inside the window, inclusive
    first: tuple[int, int]                 # image row and column of the first kept point


def grid_axes(settings: Settings, shape: tuple[int, int]) -> tuple[np.ndarray, np.ndarray]:
    """Grid rows and columns (subset centres, px) of an image, as the library places them."""
    rows, cols = shape
    half = settings.subset // 2
    x0, y0, x1, y1 = settings.roi if settings.roi is not None else (0, 0, cols - 1, rows - 1)
    ys = np.arange(max(y0, half), min(y1, rows - 1 - half) + 1, settings.step)
    xs = np.arange(max(x0, half), min(x1, cols - 1 - half) + 1, settings.step)
    return ys, xs


def strain_reach(settings: Settings) -> int:
    """Grid steps on each side the strain fit uses (rounded as the library rounds)."""
    return max(1, int(math.floor(settings.strain_window / settings.step + 0.5)))


def overlap(settings: Settings, tile_margin: int) -> int:
    """px a tile's window reaches past its outermost measured subset centre."""
    reach = max(_PREFILTER_REACH[settings.interpolation], _BAD_PIXEL_REACH)
    if settings.prefilter > 0:
        # The image is low-passed, and its gradients once more for the uncertainty.
        reach += 2 * (int(math.ceil(4 * settings.prefilter)) + 1)
    return settings.subset // 2 + tile_margin + reach


def minimum_tile(settings: Settings, tile_margin: int) -> int:
    """The smallest tile side, px: one subset plus its margins on both sides."""
    return settings.subset + 2 * (overlap(settings, tile_margin) - settings.subset // 2
                                  + strain_reach(settings) * settings.step)


def check_tile(tile: Any, tile_margin: Any, settings: Settings) -> tuple[int, int]:
    """(tile, tile_margin) checked.

    Raises:
        MorvexError: for a non-integer or too small tile (naming the minimum), or a negative
            margin.
    """
    margin = DEFAULT_TILE_MARGIN if tile_margin is None else tile_margin
    if isinstance(margin, bool) or not isinstance(margin, int) or margin < 0:
        raise MorvexError(f"tile_margin must be an integer >= 0 px, got {tile_margin!r}")
    if isinstance(tile, bool) or not isinstance(tile, int):
        raise MorvexError(f"tile must be an integer side in px, got {tile!r}")
    least = minimum_tile(settings, margin)
    if tile < least:
        raise MorvexError(
            f"tile of {tile} px is smaller than one subset plus its margins: at least {least} px "
            f"for subset {settings.subset}, strain window {settings.strain_window}, "
            f"tile_margin {margin} and {settings.interpolation} interpolation")
    return tile, margin


def plan_tiles(shape: tuple[int, int], settings: Settings, tile: int,
               tile_margin: int) -> list[Tile]:
    """Tiles covering the grid of an image of `shape`, row by row."""
    ys, xs = grid_axes(settings, shape)
    per = max(1, tile // settings.step)
    reach = strain_reach(settings)
    pad = overlap(settings, tile_margin)
    tiles = []
    for r0 in range(0, len(ys), per):
        for c0 in range(0, len(xs), per):
            r1, c1 = min(r0 + per, len(ys)), min(c0 + per, len(xs))
            mr0, mr1 = max(0, r0 - reach), min(len(ys), r1 + reach)
            mc0, mc1 = max(0, c0 - reach), min(len(xs), c1 + reach)
            wy0, wy1 = max(0, ys[mr0] - pad), min(shape[0], ys[mr1 - 1] + pad + 1)
            wx0, wx1 = max(0, xs[mc0] - pad), min(shape[1], xs[mc1 - 1] + pad + 1)
            tiles.append(Tile((r0, r1), (c0, c1), (int(wy0), int(wy1), int(wx0), int(wx1)),
                              _window_roi(ys[mr0], ys[mr1 - 1], wy0, wy1, xs[mc0],
                                          xs[mc1 - 1], wx0, wx1, settings.step),
                              (int(ys[r0]), int(xs[c0]))))
    return tiles


def _window_roi(first_y: int, last_y: int, wy0: int, wy1: int, first_x: int, last_x: int,
                wx0: int, wx1: int, step: int) -> tuple[int, int, int, int]:
    # Up to one step short of the next grid point; a region one point wide is widened by a
    # pixel (the library ignores empty regions), and any extra point is dropped by position.
    def bounds(first: int, last: int, w0: int, w1: int) -> tuple[int, int]:
        lo, hi = first - w0, min(last - w0 + step - 1, w1 - w0 - 1)
        return int(lo), int(max(hi, lo + 1))

    x0, x1 = bounds(first_x, last_x, wx0, wx1)
    y0, y1 = bounds(first_y, last_y, wy0, wy1)
    return (x0, y0, x1, y1)


# --- image sources ---------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Source:
    """Where a tile's window comes from: an array in memory, or a file read by window."""

    kind: str                       # "array", "tiff", "zarr", "file"
    shape: tuple[int, int]
    path: str | None = None
    array: Any = None
    page: int | None = None         # page of a multi-page TIFF (a frame of a stack)


def open_source(image: Any, what: str) -> Source:
    """An image source and its (rows, cols), without reading a TIFF or Zarr image's pixels.

    Raises:
        MorvexError: as :func:`morvex.io.as_image` (missing or unreadable file, a stack).
    """
    from .io import as_image, to_grey

    if not isinstance(image, (str, os.PathLike)):
        array = to_grey(image, what)
        return Source("array", array.shape, array=array)
    path = pathlib.Path(image)
    suffix = path.suffix.lower()
    if path.is_dir() and suffix == ".zarr":
        import zarr

        try:
            shape = zarr.open_array(path, mode="r").shape
        except Exception as error:  # zarr raises many types for a folder that is not an array
            raise MorvexError(f"cannot read image {path}: {error}") from None
        return Source("zarr", _grey_shape(shape, path, what), path=str(path))
    if suffix in (".tif", ".tiff") and path.is_file():
        import tifffile

        try:
            with tifffile.TiffFile(path) as tif:
                pages, shape = len(tif.pages), tif.pages[0].shape
        except Exception as error:  # tifffile raises many types for a broken file
            raise MorvexError(f"cannot read image {path}: {error}") from None
        if pages > 1:
            raise MorvexError(f"{what} {path} is a stack of {pages} images; pass a single image")
        return Source("tiff", _grey_shape(shape, path, what), path=str(path))
    return Source("file", as_image(path, what).shape, path=str(path))


def frame_sources(frames: Any) -> list[Source]:
    """Sources of a frame list as :func:`morvex.io.frames_from` resolves it (same order).

    Raises:
        MorvexError: as frames_from.
    """
    import glob

    from .io import _GLOB_CHARACTERS, IMAGE_SUFFIXES, frames_from

    resolved = frames_from(frames)  # the checks and messages of every other run
    if isinstance(frames, np.ndarray) and frames.ndim == 3 and frames.shape[-1] not in (3, 4):
        items: list = list(frames)
    elif isinstance(frames, (str, os.PathLike, np.ndarray)):
        items = [frames]
    else:
        items = list(frames)
    sources: list[Source] = []
    for item in items:
        if not isinstance(item, (str, os.PathLike)):
            sources.append(open_source(item, "frame"))
            continue
        path = pathlib.Path(item)
        if path.is_dir() and path.suffix.lower() != ".zarr":
            files = sorted(p for p in path.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES)
        elif _GLOB_CHARACTERS & set(os.fspath(item)) and not path.exists():
            files = [pathlib.Path(p) for p in sorted(glob.glob(os.fspath(item)))]
        else:
            files = [path]
        for file in files:
            sources.extend(_file_sources(file))
    if len(sources) != len(resolved):
        raise RuntimeError("frame sources and frames differ in number")
    return sources


def _file_sources(file: pathlib.Path) -> list[Source]:
    if file.suffix.lower() not in (".tif", ".tiff"):
        return [open_source(file, "frame")]
    import tifffile

    with tifffile.TiffFile(file) as tif:
        shapes = [page.shape for page in tif.pages]
    if len(shapes) == 1:
        return [open_source(file, "frame")]
    return [Source("tiff", _grey_shape(shape, file, "frame"), path=str(file), page=k)
            for k, shape in enumerate(shapes)]


def _grey_shape(shape: tuple[int, ...], path: pathlib.Path, what: str) -> tuple[int, int]:
    if len(shape) == 2 or (len(shape) == 3 and shape[2] in (3, 4)):
        return int(shape[0]), int(shape[1])
    raise MorvexError(f"{what} {path} must be a 2-D grey or (rows, cols, 3|4) colour image, "
                      f"got shape {tuple(shape)}")


def read_window(source: Source, window: tuple[int, int, int, int], what: str) -> np.ndarray:
    """Grey float64 pixels rows y0:y1, columns x0:x1 of a source."""
    from .io import as_image, to_grey

    y0, y1, x0, x1 = window
    if source.kind == "array":
        pixels = source.array[y0:y1, x0:x1]
    elif source.kind == "tiff":
        import tifffile
        import zarr

        with tifffile.imread(source.path, aszarr=True, key=source.page or 0) as store:
            pixels = zarr.open_array(store, mode="r")[y0:y1, x0:x1]
    elif source.kind == "zarr":
        import zarr

        pixels = zarr.open_array(source.path, mode="r")[y0:y1, x0:x1]
    else:
        pixels = as_image(source.path, what)[y0:y1, x0:x1]  # type: ignore[arg-type]
    return to_grey(pixels, what)


# --- tasks and stitching ---------------------------------------------------------------------

def measure_tile(tile: Tile, reference: Source, deformed: Source, mask: Source | None,
                 settings: Settings, threads: int) -> dict[str, np.ndarray]:
    """Correlate one tile (one task) and return its kept grid block of every variable."""
    from . import _guided
    from ._progress import run_cancellable
    from .correlate import prepare_reference
    from .sequence import _stop_if_cancelled

    reference_pixels = read_window(reference, tile.window, "reference")
    mask_pixels = None if mask is None else read_window(mask, tile.window, "mask") != 0
    keep_rows, keep_cols = tile.rows[1] - tile.rows[0], tile.cols[1] - tile.cols[0]
    if mask_pixels is not None and not mask_pixels.any():
        return _outside_mask(keep_rows, keep_cols)
    local = dataclasses.replace(settings, roi=tile.roi)
    prepared = prepare_reference(reference_pixels, local, mask_pixels)
    del reference_pixels  # the prepared reference keeps its own copy
    deformed_pixels = read_window(deformed, tile.window, "deformed")
    result = run_cancellable(lambda control: _guided.correlate(
        prepared, deformed_pixels, control=control, threads=threads, **local.to_kwargs()[1]))
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
    block["status"] = np.ones((rows, cols), dtype=np.uint8)  # outside the mask
    block["iterations"] = np.zeros((rows, cols), dtype=np.int32)
    return block


def stitch(blocks: list[tuple[Tile, dict[str, np.ndarray]]], ys: np.ndarray,
           xs: np.ndarray) -> dict[str, Any]:
    """The whole grid's result dictionary from the tiles' kept blocks."""
    result: dict[str, Any] = {"rows": len(ys), "cols": len(xs)}
    result["x"], result["y"] = np.meshgrid(xs.astype(np.float64), ys.astype(np.float64))
    for tile, block in blocks:
        for name, values in block.items():
            if name not in result:
                result[name] = np.empty((len(ys), len(xs)), dtype=values.dtype)
            result[name][tile.rows[0]:tile.rows[1], tile.cols[0]:tile.cols[1]] = values
    return result


def correlate_tiled(reference: Any, deformed: Any, settings: Settings, *, tile: int,
                    tile_margin: int | None, mask: Any, threads: int, workers: int | None,
                    client: Any, threads_per_worker: int | None,
                    progress: Any = False) -> xr.Dataset:
    """:func:`morvex.correlate` by tiles, in-process or as tasks on a cluster."""
    from .distributed import cluster

    tile, margin = check_tile(tile, tile_margin, settings)
    reference_source = open_source(reference, "reference")
    deformed_source = open_source(deformed, "deformed")
    shape = reference_source.shape
    if deformed_source.shape != shape:
        raise MorvexError(f"the deformed image has shape {deformed_source.shape}, the reference "
                          f"{shape} (rows, cols); both must be the same size")
    settings.check_image(shape)
    mask_source = None if mask is None else _mask_source(mask, shape)
    ys, xs = grid_axes(settings, shape)
    tiles = plan_tiles(shape, settings, tile, margin)
    bar = Bar(progress, "tile", "tiles")
    blocks: list[tuple[Tile, dict[str, np.ndarray]]] = []
    try:
        with cluster(workers, client, threads_per_worker) as dask_client:
            if dask_client is None:
                for t in tiles:
                    blocks.append((t, measure_tile(t, reference_source, deformed_source,
                                                   mask_source, settings, threads)))
                    bar(len(blocks), len(tiles))
            else:
                from distributed import as_completed

                futures = {dask_client.submit(
                    measure_tile, t, _cut(reference_source, t), _cut(deformed_source, t),
                    None if mask_source is None else _cut(mask_source, t), settings,
                    threads or 1, pure=False): t for t in tiles}
                for future in as_completed(futures):
                    blocks.append((futures[future], future.result()))
                    bar(len(blocks), len(tiles))
    finally:
        bar.close()
    result = stitch(blocks, ys, xs)
    image = reference_source.array if reference_source.kind == "array" else None
    return dataset_from_result(result, settings, image,
                               extra_attrs={"tile": tile, "tile_margin": margin})


def _mask_source(mask: Any, shape: tuple[int, int]) -> Source:
    from .io import as_mask

    if isinstance(mask, (str, os.PathLike)):
        source = open_source(mask, "mask")
        if source.shape != tuple(shape):
            raise MorvexError(f"mask of shape {source.shape} does not match the reference image "
                              f"of shape {tuple(shape)} (rows, cols)")
        return source
    values = as_mask(mask, shape)
    if not values.any():
        raise MorvexError("the mask marks no pixel as specimen; non-zero pixels are measured")
    return Source("array", tuple(shape), array=values.astype(np.uint8))


def _cut(source: Source, tile: Tile) -> Source:
    # A task carries its own window of an in-memory image, never the whole image.
    if source.kind != "array":
        return source
    y0, y1, x0, x1 = tile.window
    window = np.ascontiguousarray(source.array[y0:y1, x0:x1])
    return Source("array", source.shape, array=_Shifted(window, y0, x0))


class _Shifted:
    """A window of an image indexed by whole-image pixel positions."""

    def __init__(self, pixels: np.ndarray, y0: int, x0: int) -> None:
        self.pixels, self.y0, self.x0 = pixels, y0, x0

    def __getitem__(self, key: tuple[slice, slice]) -> np.ndarray:
        rows, cols = key
        return self.pixels[rows.start - self.y0:rows.stop - self.y0,
                           cols.start - self.x0:cols.stop - self.x0]


# --- tiled sequences ---------------------------------------------------------------------------

def stitch_frame(index: int, tiles: list[Tile], blocks: list[dict[str, np.ndarray]],
                 ys: np.ndarray, xs: np.ndarray, settings: Settings, store_path: str | None,
                 began: float) -> tuple[int, float, xr.Dataset | None]:
    """Stitch one frame's tiles (one task) and write it to the store, if there is one."""
    import time

    from .store import Store

    frame = dataset_from_result(stitch(list(zip(tiles, blocks)), ys, xs), settings)
    if store_path is not None:
        Store(store_path).write_frame(index, frame)
    return index, time.time() - began, None if store_path is not None else frame


def run_tiled_sequence(dask_client: Any, reference: np.ndarray, frames: list[Source],
                       todo: list[int], settings: Settings, *, mask: np.ndarray | None,
                       store_path: str | None, tile: int, tile_margin: int, threads: int,
                       on_frame: Any) -> list[tuple[int, xr.Dataset]]:
    """Every frame of `todo` measured by tiles against a fixed reference.

    Each frame's tiles start from seeds (a tile knows nothing of its neighbours' previous
    frame), so frames are independent: on a cluster all frames' tiles are tasks at once and
    one more task per frame stitches and writes it.
    """
    import time

    shape = reference.shape
    tiles = plan_tiles(shape, settings, tile, tile_margin)
    ys, xs = grid_axes(settings, shape)
    reference_source = Source("array", shape, array=reference)
    mask_source = None if mask is None else Source("array", shape, array=mask.astype(np.uint8))
    measured: list[tuple[int, xr.Dataset]] = []

    def report(index: int, seconds: float, frame: xr.Dataset | None) -> None:
        if frame is None and on_frame is not None:
            from .distributed import _read_frame

            frame = _read_frame(store_path, index)  # type: ignore[arg-type]
        elif frame is not None and store_path is None:
            measured.append((index, frame))
        if on_frame is not None:
            on_frame(index, frame, seconds)

    if dask_client is None:
        for index in todo:
            began = time.time()
            blocks = [measure_tile(t, reference_source, frames[index], mask_source, settings,
                                   threads) for t in tiles]
            report(*stitch_frame(index, tiles, blocks, ys, xs, settings, store_path, began))
        return measured

    from distributed import as_completed

    # Reference and mask windows are scattered once per tile and shared by every frame.
    references = dask_client.scatter([_cut(reference_source, t) for t in tiles])
    masks = (dask_client.scatter([_cut(mask_source, t) for t in tiles])
             if mask_source is not None else [None] * len(tiles))
    finals = []
    for index in todo:
        blocks = [dask_client.submit(measure_tile, t, ref, _cut(frames[index], t), msk,
                                     settings, threads or 1, pure=False)
                  for t, ref, msk in zip(tiles, references, masks)]
        finals.append(dask_client.submit(stitch_frame, index, tiles, blocks, ys, xs, settings,
                                         store_path, time.time(), pure=False))
    try:
        for future in as_completed(finals):
            report(*future.result())
    except BaseException:
        dask_client.cancel(finals)
        raise
    return sorted(measured, key=lambda item: item[0])
