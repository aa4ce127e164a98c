"""What to measure: frames, chunks, chains, tiles and their overlaps, and every check on them.

Pure data: a plan names what a run will measure and how it is split, never how or where it
runs. Every check of a run's input lives here and raises MorvexError naming the bad value,
before any work.

How a sequence is split. Frames are cut into contiguous chunks of ``chunk`` frames (the last may
be shorter); each chunk is one task. A chunk's first frame starts from a seed search, every
later frame from the field of the frame before it. The plan depends only on the number of frames
and ``chunk``, never on the number of workers, so two runs with the same chunk size give the same
numbers bit for bit. A run without a cluster and without ``chunk`` chains every frame from the one
before. Incremental sequences are one chain: every frame's reference is the frame before, so they
cannot be cut without changing the numbers; a resumed incremental run replays the frames before
its first missing one.

Tiles. The grid of the whole image is cut into blocks of about ``tile`` x ``tile`` px; each block
is a tile's core, and only its points are kept from that tile. Around the core a tile measures
``w`` more grid points per side, w = the strain window in grid steps, so the strain fit of every
kept point sees the same neighbours as in the whole image. Its image window adds, around those
points, half a subset, ``tile_margin`` px for the displacement and the reach of the interpolation
prefilter (B-spline coefficients depend on grey values ~20 px away by less than 1e-7 of their
range; the Gaussian prefilter on 4 sigma, twice). A point that moves further than
``tile_margin`` near a tile edge fails (status 2); it is never silently wrong.
"""

from __future__ import annotations

import dataclasses
import math
import os
import pathlib
from typing import Any

import numpy as np

from .._errors import MorvexError
from ..io import Frames, ImageLike, Source, as_image, as_mask, frames_from, open_source
from ..settings import (
    AUTO_SUBSET,
    MAX_THREADS,
    MIN_SPECIMEN_SHARE,
    Settings,
    grid_axes,
    strain_reach,
)

# Frames per task. A frame seeded from scratch costs about 3 % more than one chained from the
# frame before (both grow from their seeds; the seeded one searches for its first), so 2
# frames add under 2 %; short chunks share a short sequence evenly among a few workers, where
# 4 left one of two workers idle for a fifth of a 20-frame run.
DEFAULT_CHUNK = 2
DEFAULT_TILE_MARGIN = 32  # px of displacement a tile allows for at its edges
# px beyond which the interpolation prefilter's influence falls below 1e-7: the largest
# quintic B-spline pole is -0.4306 (0.4306^20 = 5e-8), the cubic one -0.2679.
_PREFILTER_REACH = {"quintic": 20, "cubic": 13, "keys": 4}
_BAD_PIXEL_REACH = 4  # px: non-finite grey values this close to a subset invalidate it


# --- small checks -------------------------------------------------------------------------

def _positive(name: str, value: object, what: str) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise MorvexError(f"{name} must be a positive integer ({what}), got {value!r}")
    return int(value)


def check_threads(threads: object, name: str = "threads", default: str = "all cores") -> int:
    """0 (the default) for None, else a thread count from 1 to MAX_THREADS."""
    if threads is None:
        return 0
    if (isinstance(threads, bool) or not isinstance(threads, (int, np.integer))
            or not 1 <= threads <= MAX_THREADS):
        raise MorvexError(
            f"{name} must be a positive integer up to {MAX_THREADS} (more than any machine's "
            f"cores; each thread reserves its own stack) or None ({default}), got {threads!r}")
    return int(threads)


def check_workers(workers: object) -> int | None:
    return _positive("workers", workers, "worker processes")


def check_chunk(chunk: object) -> int | None:
    return _positive("chunk", chunk, "frames per task")


@dataclasses.dataclass(frozen=True)
class ClusterSpec:
    """Where tasks run: a local cluster of `workers` processes, or an existing `client`
    (a distributed.Client or a scheduler address)."""

    workers: int | None = None
    client: Any = None
    threads_per_worker: int | None = None


def check_cluster(workers: object, client: object,
                  threads_per_worker: object) -> ClusterSpec | None:
    """The cluster a run asks for, checked; None to stay in process."""
    workers = check_workers(workers)
    per_worker = check_threads(threads_per_worker, "threads_per_worker", "1") or None
    if workers is not None and client is not None:
        raise MorvexError("give either workers (start a local cluster) or client / scheduler "
                          "(use an existing one), not both")
    if threads_per_worker is not None and workers is None:
        raise MorvexError("threads_per_worker sets up a local cluster: give workers as well "
                          "(an existing cluster keeps its own threads)")
    if workers is None and client is None:
        return None
    if client is not None and not isinstance(client, (str, os.PathLike)) and (
            not hasattr(client, "submit") or not hasattr(client, "scatter")):
        raise MorvexError("client must be a distributed.Client or a scheduler address, got "
                          f"{type(client).__name__}")
    return ClusterSpec(workers, client, per_worker)


def check_watch(frames: object, settings: dict[str, Any], *, threads: object, workers: object,
                client: object, threads_per_worker: object, chunk: object) -> None:
    """The checks of a watched folder's run before its first file is there (the plan, made
    then, checks the rest).

    Raises:
        MorvexError: naming the bad value; for a cluster, chunk or tile (finished lists only);
            for frames that are not a folder or a glob pattern.
    """
    Settings.build(**{k: v for k, v in settings.items() if k not in ("tile", "tile_margin")})
    check_threads(threads)
    if (check_cluster(workers, client, threads_per_worker) is not None
            or chunk is not None or settings.get("tile") is not None):
        raise MorvexError("watch measures frames here as they arrive: workers, client, "
                          "chunk and tile are for finished frame lists")
    if not isinstance(frames, (str, os.PathLike)):
        raise MorvexError("watch needs a folder or a glob pattern to watch, got "
                          f"{type(frames).__name__}")
    text = os.fspath(frames)
    if not (pathlib.Path(text).is_dir() or set("*?[") & set(text)):
        raise MorvexError(f"watch needs a folder or a glob pattern; {text} is neither")


# --- chunks -------------------------------------------------------------------------------

def plan_chunks(frame_count: int, chunk: int) -> list[tuple[int, int]]:
    """Contiguous (start, stop) frame ranges of `chunk` frames; the last may be shorter."""
    return [(start, min(start + chunk, frame_count)) for start in range(0, frame_count, chunk)]


# --- tiles --------------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Tile:
    """One tile: its kept grid block, its image window and its region inside the window."""

    rows: tuple[int, int]                  # kept grid rows, [first, stop)
    cols: tuple[int, int]                  # kept grid columns, [first, stop)
    window: tuple[int, int, int, int]      # image rows y0:y1, columns x0:x1 (half-open)
    roi: tuple[int, int, int, int]         # x0, y0, x1, y1 inside the window, inclusive
    first: tuple[int, int]                 # image row and column of the first kept point


def overlap(settings: Settings, tile_margin: int) -> int:
    """px a tile's window reaches past its outermost measured subset centre."""
    reach = max(_PREFILTER_REACH[settings.interpolation], _BAD_PIXEL_REACH)
    if settings.prefilter > 0:
        # The image is low-passed, and its gradients once more for the uncertainty.
        reach += 2 * (int(math.ceil(4 * settings.prefilter)) + 1)
    return settings.subset_px // 2 + tile_margin + reach


def minimum_tile(settings: Settings, tile_margin: int) -> int:
    """The smallest tile side, px: one subset plus its margins on both sides."""
    return settings.subset_px + 2 * (overlap(settings, tile_margin) - settings.subset_px // 2
                                  + strain_reach(settings) * settings.step)


def check_tile(tile: object, tile_margin: object, settings: Settings) -> tuple[int, int]:
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


@dataclasses.dataclass(frozen=True)
class TilePlan:
    tile: int
    margin: int
    tiles: tuple[Tile, ...]


def mask_source(mask: ImageLike, shape: tuple[int, int]) -> Source:
    """A tile run's mask: a file read by window, or a checked array."""
    if isinstance(mask, (str, os.PathLike)):
        source = open_source(mask, "mask")
        if source.shape != tuple(shape):
            raise MorvexError(f"mask of shape {source.shape} does not match the reference image "
                              f"of shape {tuple(shape)} (rows, cols)")
        return source
    values = as_mask(mask, shape)
    check_mask(values)
    return Source("array", tuple(shape), array=values.astype(np.uint8))  # type: ignore[arg-type]


def check_mask(mask: np.ndarray | None) -> None:
    if mask is not None and not mask.any():
        raise MorvexError("the mask marks no pixel as specimen; non-zero pixels are measured")


# --- runs that could measure nothing ------------------------------------------------------

def check_region(settings: Settings, shape: tuple[int, int]) -> None:
    """Raise MorvexError when the region is narrower or lower than one subset: its points'
    subsets would lie mostly outside what was asked for (a region of 21 px with subset 29
    measured nothing, "0 % valid")."""
    x0, y0, x1, y1 = settings.region(shape)
    width, height = x1 - x0 + 1, y1 - y0 + 1
    if min(width, height) < settings.subset_px:
        raise MorvexError(f"the region {width} x {height} px is smaller than one "
                          f"{settings.subset_px} px subset; enlarge the region or reduce the "
                          "subset")


def check_measurable(settings: Settings, reference: np.ndarray,
                     mask: np.ndarray | None) -> None:
    """Raise MorvexError, before any work, when a run could measure no point: a region
    smaller than a subset, a mask that leaves no grid point on the specimen, or a reference
    without texture under the subsets. An unresolved subset ("auto") is judged on the
    texture of the region alone.

    A grid point is on the specimen as the library decides (its centre on the mask and at
    least MIN_SPECIMEN_SHARE of its subset); texture is any difference between the finite
    grey levels the subsets (on the specimen) cover.
    """
    shape = (int(reference.shape[0]), int(reference.shape[1]))
    x0, y0, x1, y1 = settings.region(shape)
    specimen = None if mask is None else np.asarray(mask) != 0
    settings.check_seeds(shape, specimen)
    if settings.subset == AUTO_SUBSET:
        _check_texture(reference[y0:y1 + 1, x0:x1 + 1],
                       None if specimen is None else specimen[y0:y1 + 1, x0:x1 + 1])
        return
    check_region(settings, shape)
    ys, xs = grid_axes(settings, shape)
    h = settings.subset_px // 2
    if specimen is not None:
        ys, xs = _specimen_rows(specimen, ys, xs, h, settings.subset_px)
    rows, cols = slice(int(ys[0]) - h, int(ys[-1]) + h + 1), slice(int(xs[0]) - h,
                                                                   int(xs[-1]) + h + 1)
    _check_texture(reference[rows, cols], None if specimen is None else specimen[rows, cols])


def _specimen_rows(specimen: np.ndarray, ys: np.ndarray, xs: np.ndarray, h: int,
                   subset: int) -> tuple[np.ndarray, np.ndarray]:
    """The grid rows and columns that hold a point on the specimen (a box around them all).

    Raises:
        MorvexError: when no grid point is on the specimen.
    """
    need = MIN_SPECIMEN_SHARE * subset * subset
    kept_rows, kept_cols = [], np.zeros(len(xs), dtype=bool)
    for y in ys:
        # Subset sums along the row of grid points: a band of the subset's rows, summed per
        # column, then a running sum over each subset's columns.
        band = np.concatenate(([0], np.cumsum(specimen[y - h:y + h + 1].sum(axis=0))))
        counts = band[xs + h + 1] - band[xs - h]
        on = specimen[y, xs] & (counts >= need)
        if on.any():
            kept_rows.append(y)
            kept_cols |= on
    if not kept_rows:
        raise MorvexError(
            f"the mask leaves no grid point on the specimen: a point needs its centre and at "
            f"least {MIN_SPECIMEN_SHARE:.0%} of its {subset} px subset on non-zero mask pixels "
            f"({specimen.sum()} specimen pixels in all); enlarge the mask's specimen or "
            "reduce the subset")
    return np.asarray(kept_rows), xs[kept_cols]


def _check_texture(window: np.ndarray, specimen: np.ndarray | None) -> None:
    values = window if specimen is None else window[specimen]
    values = values[np.isfinite(values)]
    where = "under the region's subsets" + ("" if specimen is None else " on the specimen")
    if values.size == 0:
        raise MorvexError(f"the reference holds no finite grey value {where}")
    if values.min() == values.max():
        raise MorvexError(
            f"the reference has no texture {where}: every pixel has grey level "
            f"{float(values[0]):g}, so no subset can be matched; a speckle pattern is needed")


# --- the automatic subset -------------------------------------------------------------------

def resolve_subset(settings: Settings, reference: np.ndarray, mask: np.ndarray | None,
                   threads: int) -> tuple[Settings, dict[str, Any]]:
    """Settings with subset="auto" resolved against the reference, and the choice made."""
    if settings.subset != AUTO_SUBSET:
        return settings, {}
    from ..autosubset import choose_subset

    return choose_subset(reference, settings, mask, threads=threads or None)


def choice_attrs(choice: dict[str, Any]) -> dict[str, Any]:
    """Attributes that record an automatic subset choice (none for a given subset)."""
    if not choice:
        return {}
    import json

    return {"subset_choice": choice["reason"], "subset_choice_json": json.dumps(choice)}


def noise_attrs(reference: np.ndarray, mask: np.ndarray | None) -> dict[str, Any]:
    """The reference's read noise that sigma_u, sigma_v allow for, grey levels: the estimate a
    prepared reference makes of itself (the same function on the same pixels). Tiled runs
    have none, since each tile estimates its own."""
    from .. import _guided

    specimen = None if mask is None else (np.asarray(mask) != 0).astype(np.uint8)
    return {"reference_read_noise": float(_guided.estimate_read_noise(reference, mask=specimen))}


# --- whole plans --------------------------------------------------------------------------

@dataclasses.dataclass
class PairPlan:
    """One deformed image against one reference (by tiles when `tiles` is set)."""

    settings: Settings
    threads: int
    reference: Source
    deformed: Source
    mask: Source | None
    shape: tuple[int, int]
    tiles: TilePlan | None = None
    cluster: ClusterSpec | None = None
    attrs: dict[str, Any] = dataclasses.field(default_factory=dict)  # subset choice, read noise


def plan_pair(reference: ImageLike, deformed: ImageLike, settings: Settings, *,
              mask: ImageLike | None, threads: object, tile: object, tile_margin: object,
              workers: object, client: object, threads_per_worker: object) -> PairPlan:
    """Everything :func:`morvex.correlate` measures, checked."""
    threads = check_threads(threads)
    choice: dict[str, Any] = {}
    if settings.subset == AUTO_SUBSET:
        reference = as_image(reference, "reference")
        specimen = None if mask is None else as_mask(mask, reference.shape)
        check_mask(specimen)
        check_measurable(settings, reference, specimen)
        settings, choice = resolve_subset(settings, reference, specimen, threads)
    tiled = any(value is not None for value in (tile, workers, client, threads_per_worker))
    if not tiled:
        reference_image = as_image(reference, "reference")
        deformed_image = as_image(deformed, "deformed")
        _same_size(deformed_image.shape, reference_image.shape)
        settings.check_image(reference_image.shape)
        mask_image = None if mask is None else as_mask(mask, reference_image.shape)
        check_mask(mask_image)
        check_measurable(settings, reference_image, mask_image)
        shape = (int(reference_image.shape[0]), int(reference_image.shape[1]))
        return PairPlan(settings, threads, Source("array", shape, array=reference_image),
                        Source("array", shape, array=deformed_image),
                        None if mask_image is None else Source("array", shape, array=mask_image),
                        shape, attrs={**choice_attrs(choice),
                                      **noise_attrs(reference_image, mask_image)})
    check_workers(workers)
    if tile is None:
        raise MorvexError("workers and client run tiles as tasks: give tile (px) as well")
    cluster = check_cluster(workers, client, threads_per_worker)
    tile, margin = check_tile(tile, tile_margin, settings)
    reference_source = open_source(reference, "reference")
    deformed_source = open_source(deformed, "deformed")
    assert reference_source.shape is not None
    shape = reference_source.shape
    _same_size(deformed_source.shape, shape)  # type: ignore[arg-type]
    settings.check_image(shape)
    # Tiles read their windows only; the texture and the mask are judged tile by tile.
    check_region(settings, shape)
    masked = None if mask is None else mask_source(mask, shape)
    return PairPlan(settings, threads, reference_source, deformed_source, masked, shape,
                    TilePlan(tile, margin, tuple(plan_tiles(shape, settings, tile, margin))),
                    cluster, choice_attrs(choice))


def _same_size(deformed: tuple[int, ...], reference: tuple[int, ...]) -> None:
    if tuple(deformed) != tuple(reference):
        raise MorvexError(f"the deformed image has shape {tuple(deformed)}, the reference "
                          f"{tuple(reference)} (rows, cols); both must be the same size")


@dataclasses.dataclass
class SequencePlan:
    """A sequence against one reference: which frames, how split, where written."""

    settings: Settings
    frames: Frames
    reference: np.ndarray
    mask: np.ndarray | None
    incremental: bool
    threads: int
    store: pathlib.Path | None
    overwrite: bool = False
    cluster: ClusterSpec | None = None
    chunk: int | None = None
    tiles: TilePlan | None = None
    skip_bad_frames: bool = False
    grid: tuple[int, int] = (0, 0)              # grid rows, grid columns
    record: dict[str, Any] = dataclasses.field(default_factory=dict)  # reopen recipe
    attrs: dict[str, Any] = dataclasses.field(default_factory=dict)   # subset choice, read noise

    @property
    def chunked(self) -> bool:
        """Split into tasks (chunks, a chain or tiles), in process or on a cluster."""
        return self.cluster is not None or self.chunk is not None or self.tiles is not None

    def jobs(self, todo: list[int]) -> list[tuple[str, int, int]]:
        """The tasks of a chunked run over frames `todo`: ("chain" | "chunk", start, stop)."""
        if not todo:
            return []
        if self.incremental:
            return [("chain", 0, len(self.frames))]
        wanted = set(todo)
        chunks = plan_chunks(len(self.frames), self.chunk or DEFAULT_CHUNK)
        return [("chunk", a, b) for a, b in chunks if any(k in wanted for k in range(a, b))]


def plan_sequence(frames: object, *, reference: int | ImageLike = 0, incremental: bool = False,
                  mask: ImageLike | None = None, store: str | os.PathLike[str] | None = None,
                  overwrite: bool = False, threads: object = None, workers: object = None,
                  client: object = None, threads_per_worker: object = None, chunk: object = None,
                  tile: object = None, tile_margin: object = None, skip_bad_frames: bool = False,
                  resolved: Frames | None = None, settings: dict[str, Any] | None = None
                  ) -> SequencePlan:
    """Everything :func:`morvex.correlate_sequence` measures, checked; nothing measured yet.

    `resolved` gives frames already resolved (a watched folder); `frames` is then only
    recorded.
    """
    checked = Settings.build(**(settings or {}))
    threads = check_threads(threads)
    cluster = check_cluster(workers, client, threads_per_worker)
    chunk = check_chunk(chunk)
    tiles = None
    if tile is not None and incremental:
        raise MorvexError("tile needs a fixed reference: incremental runs correlate whole "
                          "frames")
    if tile is not None and checked.subset != AUTO_SUBSET:
        tile, margin = check_tile(tile, tile_margin, checked)
    frame_list = resolved if resolved is not None else frames_from(frames)
    if store is not None and not overwrite and resolved is None:
        from ..store import Store

        stored = Store(store).identity() if pathlib.Path(store).exists() else None
        frame_list = frame_list.in_stored_order((stored or {}).get("frame_names"))
    if isinstance(reference, (int, np.integer)) and not isinstance(reference, bool):
        if not -len(frame_list) <= reference < len(frame_list):
            raise MorvexError(f"reference index {reference} is outside the {len(frame_list)} "
                              "frames")
        reference_image = frame_list[int(reference)]
        reference_record: Any = int(reference) % len(frame_list)
    else:
        reference_image = as_image(reference, "reference")  # type: ignore[arg-type]
        reference_record = (os.fspath(reference) if isinstance(reference, (str, os.PathLike))
                            else None)
    mask_image = None if mask is None else as_mask(mask, reference_image.shape)
    check_mask(mask_image)
    if checked.subset == AUTO_SUBSET:
        check_measurable(checked, reference_image, mask_image)
    checked, choice = resolve_subset(checked, reference_image, mask_image, threads)
    if tile is not None:
        tile, margin = check_tile(tile, tile_margin, checked)
    checked.check_image(reference_image.shape)
    # Only cheap checks up front: loading every frame twice would double the reading time.
    for index in sorted({0, len(frame_list) - 1}):
        try:
            image = frame_list[index]
        except MorvexError as error:
            if skip_bad_frames:
                continue  # recorded as not measured when its turn comes
            raise BadFrameError(index, frame_list.names[index], str(error)) from None
        check_frame_shape(frame_list.names[index], image, reference_image.shape)
    check_measurable(checked, reference_image, mask_image)
    ys, xs = grid_axes(checked, reference_image.shape)
    if tile is not None:
        tiles = TilePlan(tile, margin, tuple(plan_tiles(reference_image.shape, checked, tile,
                                                        margin)))
    path = None if store is None else pathlib.Path(store)
    record = {"reference": _relative(reference_record, path),
              "frames": _frames_record(frames, path), "incremental": bool(incremental),
              "chunk": chunk, "tile": tile, "tile_margin": None if tiles is None else tiles.margin}
    return SequencePlan(checked, frame_list, reference_image, mask_image, bool(incremental),
                        threads, path, bool(overwrite), cluster, chunk, tiles,
                        bool(skip_bad_frames), (len(ys), len(xs)), record,
                        {**choice_attrs(choice),
                         **({} if tiles is not None or incremental
                            else noise_attrs(reference_image, mask_image))})


class BadFrameError(MorvexError):
    """A frame whose file cannot be read: names the frame and its position."""

    def __init__(self, index: int, name: str, reason: str) -> None:
        self.index, self.name, self.reason = index, name, reason
        super().__init__(f"frame {index} ({name}) is damaged or unreadable: {reason}; "
                         "--skip-bad-frames (skip_bad_frames=True) records it as not measured "
                         "and goes on")


def check_frame_shape(name: str, image: np.ndarray, shape: tuple[int, ...]) -> None:
    if image.shape != tuple(shape):
        raise MorvexError(f"frame {name} has shape {image.shape}, the "
                          f"reference {tuple(shape)} (rows, cols); all must be the same size")


def _relative(item: Any, store: pathlib.Path | None) -> Any:
    """A path relative to the store's parent when it lies below it, else as given."""
    if not isinstance(item, (str, os.PathLike)) or store is None:
        return item
    path = pathlib.Path(item)
    try:
        return os.fspath(path.resolve().relative_to(store.resolve().parent))
    except ValueError:
        return os.fspath(path.resolve())


def _frames_record(frames: object, store: pathlib.Path | None) -> Any:
    # Paths are recorded as given (folders and patterns stay folders and patterns); arrays
    # cannot be, and a store made from them is reopened with its frames given again.
    if isinstance(frames, (str, os.PathLike)):
        return [_relative(frames, store)]
    if isinstance(frames, (list, tuple)) and all(isinstance(f, (str, os.PathLike))
                                                 for f in frames):
        return [_relative(f, store) for f in frames]
    return None
