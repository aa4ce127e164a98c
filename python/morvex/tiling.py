"""Very large images as tiles: split the grid, correlate each tile on its own window, stitch.

How tiles are planned (cores, strain reach, overlaps) is :mod:`morvex.run.plan`; measuring and
stitching a tile is :mod:`morvex.run.tasks`. Workers read only their window: TIFF files through
tifffile's Zarr view (only the strips or tiles under the window are decoded), Zarr arrays
natively; other formats are read whole and cropped. Arrays in memory are cut on the client and
each task carries only its window. This module keeps the names earlier code uses.
"""

from __future__ import annotations

from .io import Source, open_source
from .run.plan import DEFAULT_TILE_MARGIN, Tile, check_tile, minimum_tile, overlap, plan_tiles
from .run.tasks import measure_tile, stitch
from .settings import grid_axes, strain_reach

__all__ = ["DEFAULT_TILE_MARGIN", "Source", "Tile", "check_tile", "grid_axes", "measure_tile",
           "minimum_tile", "open_source", "overlap", "plan_tiles", "stitch", "strain_reach"]
