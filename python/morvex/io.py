"""Images, masks and frame lists: from files or arrays to grey float64 images.

Grey values follow the library: 8-bit and float images keep their values, 16-bit images are
scaled by 255/65535 to the 8-bit range at full precision, colour images become grey as
0.299 R + 0.587 G + 0.114 B (alpha ignored).
"""

from __future__ import annotations

import dataclasses
import glob
import os
import pathlib
from collections.abc import Sequence
from typing import Any, Union

import numpy as np
import tifffile

import _morvex_dic

from ._errors import MorvexError

PathLike = Union[str, os.PathLike]
ImageLike = Union[np.ndarray, PathLike]
IMAGE_SUFFIXES = (".tif", ".tiff", ".png", ".bmp", ".jpg", ".jpeg", ".pgm", ".pbm", ".ppm")
_GLOB_CHARACTERS = set("*?[")
_SCALE_16BIT = 1.0 / 257.0  # 255 / 65535, as the library scales 16-bit files


def load_image(path: PathLike) -> np.ndarray:
    """Read an image file as grey float64 values.

    Args:
        path: an 8/16-bit or float TIFF, PNG, BMP or JPEG file; colour is converted to grey.

    Returns:
        A 2-D array (rows, cols) for a single image; a 3-D array (pages, rows, cols) for a
        multi-page TIFF stack. 16-bit images are scaled to 0..255 without rounding.

    Raises:
        MorvexError: when the file does not exist or cannot be decoded (names the path).

    Example:
        >>> image = morvex.load_image("frames/frame_000.tif")   # doctest: +SKIP
        >>> image.shape, image.dtype                            # doctest: +SKIP
        ((2048, 2448), dtype('float64'))
    """
    path = pathlib.Path(path)
    if not path.is_file():
        raise MorvexError(f"image file not found: {path}")
    if path.suffix.lower() in (".tif", ".tiff"):
        try:
            stack = _read_tiff_stack(path)
        except Exception as error:  # tifffile raises many types for a broken file
            raise MorvexError(f"cannot read image {path}: {error}") from None
        if stack is not None:
            return stack
    try:
        return _morvex_dic.load_image(str(path))
    except RuntimeError:
        raise MorvexError(f"cannot read image {path}: not a TIFF, PNG, BMP or JPEG file this "
                          "reader can decode") from None


def _read_tiff_stack(path: pathlib.Path) -> np.ndarray | None:
    """Pages of a multi-page TIFF as grey images, or None for a single image."""
    with tifffile.TiffFile(path) as tif:
        if len(tif.pages) < 2:
            return None
        pages = [to_grey(page.asarray(), f"page {k} of {path}")
                 for k, page in enumerate(tif.pages)]
    if len({page.shape for page in pages}) != 1:
        raise MorvexError(f"the pages of {path} differ in size")
    return np.stack(pages)


def to_grey(image: np.ndarray, what: str = "image") -> np.ndarray:
    """A grey float64 image from a 2-D array or a colour array (rows, cols, 3 or 4).

    Raises:
        MorvexError: for another shape, an empty image, or a non-real dtype.
    """
    array = np.asarray(image)
    if array.dtype.kind not in "biuf":
        raise MorvexError(f"{what} must hold real numbers, got dtype {array.dtype}")
    scale = _SCALE_16BIT if array.dtype == np.uint16 else 1.0
    if array.ndim == 3 and array.shape[2] in (3, 4):
        rgb = array[..., :3].astype(np.float64)
        array = rgb @ np.array([0.299, 0.587, 0.114])
    elif array.ndim != 2:
        raise MorvexError(f"{what} must be a 2-D grey or (rows, cols, 3|4) colour array, "
                          f"got shape {array.shape}")
    if array.size == 0:
        raise MorvexError(f"{what} is empty (shape {array.shape})")
    grey = np.array(array, dtype=np.float64, order="C")
    if scale != 1.0:
        grey *= scale
    return grey


def as_image(image: ImageLike, what: str = "image") -> np.ndarray:
    """A grey float64 image from an array or a path (a stack is refused here).

    Raises:
        MorvexError: for a missing or unreadable file, a stack, or an unusable array.
    """
    if isinstance(image, (str, os.PathLike)):
        loaded = load_image(image)
        if loaded.ndim != 2:
            raise MorvexError(f"{what} {image} is a stack of {loaded.shape[0]} images; "
                              "pass a single image")
        return loaded
    return to_grey(image, what)


def as_mask(mask: ImageLike, shape: tuple[int, int]) -> np.ndarray:
    """A boolean specimen mask (True = measure) of the reference image's shape.

    Args:
        mask: a boolean or 8-bit array, or an image file; non-zero pixels are specimen.
        shape: (rows, cols) of the reference image.

    Raises:
        MorvexError: for a missing file or a mask of another size (names both shapes).
    """
    if isinstance(mask, (str, os.PathLike)):
        values = load_image(mask)
    else:
        values = np.asarray(mask)
        if values.dtype.kind not in "biuf":
            raise MorvexError(f"mask must be a boolean or numeric array, got dtype {values.dtype}")
    if values.ndim == 3 and values.shape[2] in (3, 4) and not isinstance(mask, (str, os.PathLike)):
        values = values.any(axis=2)
    if values.shape != tuple(shape):
        raise MorvexError(f"mask of shape {values.shape} does not match the reference image "
                          f"of shape {tuple(shape)} (rows, cols)")
    return values != 0


@dataclasses.dataclass(frozen=True)
class Source:
    """Where one image comes from: an array in memory, or a file read whole or by window.

    Picklable (a path or an array, never an open file), so a worker can read its own frames.
    """

    kind: str                          # "array", "tiff", "zarr" or "file"
    shape: tuple[int, int] | None = None
    path: str | None = None
    array: Any = None
    page: int | None = None            # page of a multi-page TIFF (a frame of a stack)

    def read(self, what: str = "frame") -> np.ndarray:
        """The whole image, grey float64."""
        if self.kind == "array":
            return to_grey(self.array, what) if self.array.dtype != np.float64 else self.array
        if self.page is not None:
            with tifffile.TiffFile(self.path) as tif:
                return to_grey(tif.pages[self.page].asarray(), f"page {self.page} of {self.path}")
        if self.kind == "zarr":
            import zarr

            return to_grey(zarr.open_array(self.path, mode="r")[:], what)
        return as_image(self.path, what)  # type: ignore[arg-type]

    def window(self, window: tuple[int, int, int, int], what: str) -> np.ndarray:
        """Grey float64 pixels rows y0:y1, columns x0:x1, reading no more than needed."""
        y0, y1, x0, x1 = window
        if self.kind == "array":
            pixels = self.array[y0:y1, x0:x1]
        elif self.kind == "tiff":
            import zarr

            with tifffile.imread(self.path, aszarr=True, key=self.page or 0) as store:
                pixels = zarr.open_array(store, mode="r")[y0:y1, x0:x1]
        elif self.kind == "zarr":
            import zarr

            pixels = zarr.open_array(self.path, mode="r")[y0:y1, x0:x1]
        else:
            pixels = as_image(self.path, what)[y0:y1, x0:x1]  # type: ignore[arg-type]
        return to_grey(pixels, what)


def open_source(image: ImageLike, what: str) -> Source:
    """An image source and its (rows, cols), without reading a TIFF or Zarr image's pixels.

    Raises:
        MorvexError: as :func:`as_image` (missing or unreadable file, a stack).
    """
    if not isinstance(image, (str, os.PathLike)):
        array = to_grey(image, what)
        return Source("array", (int(array.shape[0]), int(array.shape[1])), array=array)
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
        try:
            with tifffile.TiffFile(path) as tif:
                pages, shape = len(tif.pages), tif.pages[0].shape
        except Exception as error:  # tifffile raises many types for a broken file
            raise MorvexError(f"cannot read image {path}: {error}") from None
        if pages > 1:
            raise MorvexError(f"{what} {path} is a stack of {pages} images; pass a single image")
        return Source("tiff", _grey_shape(shape, path, what), path=str(path))
    return Source("file", as_image(path, what).shape, path=str(path))  # type: ignore[arg-type]


def _grey_shape(shape: tuple[int, ...], path: pathlib.Path, what: str) -> tuple[int, int]:
    if len(shape) == 2 or (len(shape) == 3 and shape[2] in (3, 4)):
        return int(shape[0]), int(shape[1])
    raise MorvexError(f"{what} {path} must be a 2-D grey or (rows, cols, 3|4) colour image, "
                      f"got shape {tuple(shape)}")


class Frames(Sequence):  # type: ignore[type-arg]
    """A list of frames loaded one at a time, so a long sequence never sits in memory.

    Picklable (paths and arrays, no open files), so workers of a distributed run can load
    their own frames. Build it with :func:`frames_from`. ``frames[k]`` is a grey float64 image,
    ``frames.names[k]`` a readable name (file name, ``file.tif[page]`` or ``array k``) and
    ``frames.sources[k]`` where it comes from.
    """

    def __init__(self, sources: list[Source], names: list[str]) -> None:
        self.sources = sources
        self.names = names

    def __len__(self) -> int:
        return len(self.sources)

    def __getitem__(self, index):  # type: ignore[no-untyped-def]
        if isinstance(index, slice):
            return Frames(self.sources[index], self.names[index])
        return self.sources[index].read("frame")

    def extend(self, other: "Frames") -> None:
        """Append frames (a watched folder that grew)."""
        self.sources.extend(other.sources)
        self.names.extend(other.names)


def frames_from(frames: object) -> Frames:
    """Resolve a frame list: paths or arrays, a glob pattern, a folder, or a multi-page TIFF.

    A folder gives its image files (TIFF, PNG, BMP, JPEG) sorted by name; a pattern its
    matches sorted by name; a 3-D array its first axis. The one place a frame list is read.

    Raises:
        MorvexError: for an empty list, a pattern or folder without images, a missing file.
    """
    if isinstance(frames, np.ndarray) and frames.ndim == 3 and frames.shape[-1] not in (3, 4):
        items: list[object] = list(frames)
    elif isinstance(frames, (str, os.PathLike, np.ndarray)):
        items = [frames]
    else:
        try:
            items = list(frames)  # type: ignore[call-overload]
        except TypeError:
            raise MorvexError(f"frames must be paths, arrays, a folder or a glob pattern, "
                              f"got {type(frames).__name__}") from None
    sources: list[Source] = []
    names: list[str] = []
    for k, item in enumerate(items):
        if isinstance(item, (str, os.PathLike)):
            for file in files_of(item):
                _add_file(file, sources, names)
        else:
            sources.append(Source("array", array=to_grey(item, f"frame {k}")))  # type: ignore[arg-type]
            names.append(f"array {k}")
    if not sources:
        raise MorvexError("no frames: the frame list is empty")
    return Frames(sources, names)


def files_of(item: PathLike, *, allow_empty: bool = False) -> list[pathlib.Path]:
    """The image files a path names: a folder's images or a pattern's matches, sorted by name.

    Raises:
        MorvexError: for a folder without images or a pattern without matches (unless
            `allow_empty`: a watched folder may start empty).
    """
    text = os.fspath(item)
    path = pathlib.Path(text)
    if path.is_dir() and path.suffix.lower() != ".zarr":
        files = sorted(p for p in path.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES)
        if not files and not allow_empty:
            raise MorvexError(f"no frames: the folder {path} holds no TIFF, PNG, BMP or JPEG file")
    elif _GLOB_CHARACTERS & set(text) and not path.exists():
        files = [pathlib.Path(p) for p in sorted(glob.glob(text))]
        if not files and not allow_empty:
            raise MorvexError(f"no frames: the pattern {text!r} matches no file")
    else:
        files = [path]
    return files


def _add_file(file: pathlib.Path, sources: list[Source], names: list[str]) -> None:
    if not file.is_file():
        raise MorvexError(f"image file not found: {file}")
    pages = _tiff_pages(file)
    tiff = file.suffix.lower() in (".tif", ".tiff")
    if pages > 1:
        for page in range(pages):
            sources.append(Source("tiff", path=str(file), page=page))
            names.append(f"{file.name}[{page}]")
    else:
        sources.append(Source("tiff" if tiff else "file", path=str(file)))
        names.append(file.name)


def _tiff_pages(file: pathlib.Path) -> int:
    if file.suffix.lower() not in (".tif", ".tiff"):
        return 1
    try:
        with tifffile.TiffFile(file) as tif:
            return len(tif.pages)
    except Exception as error:  # tifffile raises many types for a broken file
        raise MorvexError(f"cannot read image {file}: {error}") from None
