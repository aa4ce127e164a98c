"""Worker side: very large images as tiles; correlate one tile on its window, stitch a frame.

How tiles are planned (cores, strain reach, overlaps) is :mod:`morvex.run.plan`. Workers read
only their window: TIFF files through tifffile's Zarr view (only the strips or tiles under the
window are decoded), Zarr arrays natively; other formats are read whole and cropped. Arrays in
memory are cut on the client (:func:`cut`) and each task carries only its window.
"""

from __future__ import annotations

import dataclasses
import threading
import time
from typing import Any

import numpy as np

from .. import _guided
from .._dataset import FIELD_VARIABLES, FLOAT_VARIABLES, dataset_from_result
from .._progress import run_cancellable
from .._status import Status
from ..io import Source
from ..settings import Settings
from .frames import stop_if_cancelled, summarise
from .plan import Tile
from .reference_cache import prepare_reference


def measure_tile(tile: Tile, reference: Source, deformed: Source, mask: Source | None,
                 settings: Settings, threads: int,
                 stop: threading.Event | None = None) -> dict[str, np.ndarray]:
    """Correlate one tile (one task) and return its kept grid block of every variable."""
    reference_pixels = reference.window(tile.window, "reference")
    mask_pixels = None if mask is None else mask.window(tile.window, "mask") != 0
    keep_rows, keep_cols = tile.rows[1] - tile.rows[0], tile.cols[1] - tile.cols[0]
    if mask_pixels is not None and not mask_pixels.any():
        return _outside_mask(keep_rows, keep_cols)
    local = dataclasses.replace(settings, roi=tile.roi, crack_lines=_local_cracks(
        settings.crack_lines, tile.window, reference_pixels.shape))
    prepared = prepare_reference(reference_pixels, local, mask_pixels, stop)
    del reference_pixels  # the prepared reference keeps its own copy
    deformed_pixels = deformed.window(tile.window, "deformed")
    result = run_cancellable(lambda control: _guided.correlate(
        prepared, deformed_pixels, control=control, threads=threads, **local.to_kwargs()[1]),
        stop=stop)
    stop_if_cancelled(result)
    return _kept_block(result, tile, settings)


def _local_cracks(lines: tuple[tuple[tuple[float, float], ...], ...],
                  window: tuple[int, int, int, int], shape: tuple[int, ...]
                  ) -> tuple[tuple[tuple[float, float], ...], ...]:
    """The crack lines in a tile's window coordinates, each segment clipped to the window
    (Liang-Barsky) as a line of its own: a tile's subsets meet the same barriers as the whole
    image's."""
    y0, _, x0, _ = window
    low_x, high_x, low_y, high_y = -0.5, shape[1] - 0.5, -0.5, shape[0] - 0.5
    out = []
    for line in lines:
        for (ax, ay), (bx, by) in zip(line[:-1], line[1:], strict=True):
            ax, bx, ay, by = ax - x0, bx - x0, ay - y0, by - y0
            dx, dy = bx - ax, by - ay
            t0, t1 = 0.0, 1.0
            for p, q in ((-dx, ax - low_x), (dx, high_x - ax), (-dy, ay - low_y),
                         (dy, high_y - ay)):
                if p == 0:
                    if q < 0:
                        t0, t1 = 1.0, 0.0
                    continue
                t = q / p
                if p < 0:
                    t0 = max(t0, t)
                else:
                    t1 = min(t1, t)
            if t1 > t0:
                # Rounding may put an end a hair outside the window it was clipped to.
                ends = tuple((min(max(ax + t * dx, low_x), high_x),
                              min(max(ay + t * dy, low_y), high_y)) for t in (t0, t1))
                if ends[0] != ends[1]:
                    out.append(ends)
    return tuple(out)


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
