"""Images, masks and frame lists: from files or arrays to grey float64 images.

Grey values follow the library: 8-bit and float images keep their values, 16-bit images are
scaled by 255/65535 to the 8-bit range at full precision, colour images become grey as
0.299 R + 0.587 G + 0.114 B (alpha ignored).
"""

from __future__ import annotations

import dataclasses
import glob
import logging
import os
import pathlib
import re
import sys
import tempfile
import threading
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _guided
from ._errors import MorvexError


class _Deferred:
    """A module imported on first use (tifffile costs tens of ms at start-up)."""

    def __init__(self, name: str) -> None:
        self._name = name

    def __getattr__(self, attribute: str) -> Any:
        import importlib

        return getattr(importlib.import_module(self._name), attribute)


tifffile: Any = _Deferred("tifffile")
PathLike = str | os.PathLike[str]
ImageLike = np.ndarray | PathLike
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
    check_intact(path)
    if path.suffix.lower() in (".tif", ".tiff"):
        try:
            with _quiet_tifffile():
                stack = _read_tiff_stack(path)
        except MorvexError:
            raise
        except Exception as error:  # tifffile raises many types for a broken file
            raise MorvexError(f"cannot read image {path}: {error}") from None
        if stack is not None:
            return stack
    with _captured_stderr() as decoder:
        try:
            return np.asarray(_guided.load_image(_native_name(path)))
        except RuntimeError:
            pass
    said = decoder.first_line()
    raise MorvexError(f"cannot read image {path}: not a TIFF, PNG, BMP or JPEG file this "
                      "reader can decode" + (f" (decoder: {said})" if said else ""))


def _native_name(path: pathlib.Path) -> str | bytes:
    """The path for the decoder: its text, or the file system's own bytes when the name is not
    UTF-8 (a Latin-1 name from an old camera), which the text could not carry."""
    try:
        return str(path).encode("utf-8") and str(path)
    except UnicodeEncodeError:
        return os.fsencode(path)


def check_intact(path: PathLike) -> None:
    """Raise MorvexError when an image file ends before its own header says it should.

    A cheap look at the file's structure (no pixel is decoded): a TIFF's strips or tiles and
    page chain, a PNG's chunks up to IEND, a JPEG's end-of-image marker, a BMP's declared size.
    Decoders would otherwise print warnings and fail with a vague message, or (JPEG) return
    the missing rows as grey.

    Raises:
        MorvexError: "image file X is damaged (truncated: ...)", naming the file.
    """
    path = pathlib.Path(path)
    suffix = path.suffix.lower()
    try:
        if suffix in (".tif", ".tiff"):
            reason = _tiff_damage(path)
        elif suffix == ".png":
            reason = _png_damage(path)
        elif suffix in (".jpg", ".jpeg"):
            reason = _jpeg_damage(path)
        elif suffix == ".bmp":
            reason = _bmp_damage(path)
        else:
            reason = None
    except OSError as error:
        raise MorvexError(f"cannot read image {path}: {error.strerror or error}") from None
    if reason is not None:
        raise MorvexError(f"image file {path} is damaged ({reason}); replace or remove it")


def _truncated(size: int, needed: int) -> str:
    return f"truncated: {size} of at least {needed} bytes"


def _tiff_damage(path: pathlib.Path) -> str | None:
    with _quiet_tifffile() as notes:
        try:
            with tifffile.TiffFile(path) as tif:
                size = tif.filehandle.size
                needed = 0
                for page in tif.pages:
                    ends = [o + c for o, c in
                            zip(page.dataoffsets, page.databytecounts, strict=True)]
                    needed = max([needed, *ends])
        except Exception as error:  # tifffile raises many types for a broken file
            return f"not a readable TIFF: {error}"
    if needed > size:
        return _truncated(size, needed)
    if notes:  # a page chain that points past the end of the file
        note = re.sub(r"^<[^>]*>\s*", "", notes[0])
        return f"truncated or corrupt page chain: {note} in a file of {size} bytes"
    return None


_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _png_damage(path: pathlib.Path) -> str | None:
    size = path.stat().st_size
    with open(path, "rb") as handle:
        if handle.read(8) != _PNG_SIGNATURE:
            return None  # not a PNG at all: the decoder's own message says so
        position = 8
        # Chunks: length (4, big-endian), type (4), data, CRC (4); the image ends with IEND.
        while position + 8 <= size:
            handle.seek(position)
            header = handle.read(8)
            length = int.from_bytes(header[:4], "big")
            position += 12 + length
            if header[4:8] == b"IEND":
                return None if position <= size else _truncated(size, position)
        return _truncated(size, position + 12) + ", no end-of-image chunk"


def _jpeg_damage(path: pathlib.Path) -> str | None:
    size = path.stat().st_size
    with open(path, "rb") as handle:
        if handle.read(2) != b"\xff\xd8":
            return None
        # Entropy-coded data never holds FF D9 (an FF there is followed by 00 or a restart
        # marker), so its absence near the end means the image was cut; some writers pad
        # after it, hence a tail rather than the last two bytes.
        handle.seek(max(0, size - 4096))
        if b"\xff\xd9" not in handle.read():
            return f"truncated: {size} bytes, no end-of-image marker"
    return None


def _bmp_damage(path: pathlib.Path) -> str | None:
    size = path.stat().st_size
    with open(path, "rb") as handle:
        header = handle.read(6)
    if len(header) < 6 or header[:2] != b"BM":
        return None
    declared = int.from_bytes(header[2:6], "little")  # some writers leave it 0
    return _truncated(size, declared) if declared > size else None


class _quiet_tifffile:
    """Collect tifffile's log warnings (as a list of messages) instead of printing them."""

    _lock = threading.Lock()

    def __enter__(self) -> list[str]:
        self._lock.acquire()
        self.notes: list[str] = []
        self.handler = _ListHandler(self.notes)
        self.logger = logging.getLogger("tifffile")
        self.logger.addHandler(self.handler)
        self.propagate, self.logger.propagate = self.logger.propagate, False
        return self.notes

    def __exit__(self, *exc: object) -> None:
        self.logger.removeHandler(self.handler)
        self.logger.propagate = self.propagate
        self._lock.release()


class _ListHandler(logging.Handler):
    def __init__(self, notes: list[str]) -> None:
        super().__init__(logging.WARNING)
        self.notes = notes

    def emit(self, record: logging.LogRecord) -> None:
        self.notes.append(record.getMessage().strip())


class _captured_stderr:
    """Route the process's stderr (file descriptor 2) into a buffer while a C decoder runs.

    OpenCV, libtiff, libpng and libjpeg print their warnings from C, below Python's
    sys.stderr; what they said is kept for the error message instead of reaching the
    terminal. One capture at a time: descriptor 2 is shared by every thread.
    """

    _lock = threading.Lock()

    def __enter__(self) -> _captured_stderr:
        self._lock.acquire()
        self.text = ""
        try:
            sys.stderr.flush()
            self.buffer = tempfile.TemporaryFile()
            self.saved: int | None = os.dup(2)
            os.dup2(self.buffer.fileno(), 2)
        except (OSError, ValueError, AttributeError):  # no usable descriptor 2: nothing to hide
            self.saved = None
        return self

    def __exit__(self, *exc: object) -> None:
        try:
            if self.saved is not None:
                os.dup2(self.saved, 2)
                os.close(self.saved)
                self.buffer.seek(0)
                self.text = self.buffer.read(65536).decode(errors="replace")
                self.buffer.close()
        finally:
            self._lock.release()

    def first_line(self) -> str:
        lines = [line.strip() for line in self.text.splitlines() if line.strip()]
        return lines[0] if lines else ""


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
    return np.asarray(values != 0)


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
            check_intact(self.path)  # type: ignore[arg-type]
            try:
                with _quiet_tifffile(), tifffile.TiffFile(self.path) as tif:
                    pixels = tif.pages[self.page].asarray()
            except Exception as error:  # tifffile raises many types for a broken file
                raise MorvexError(f"cannot read page {self.page} of {self.path}: {error}"
                                  ) from None
            return to_grey(pixels, f"page {self.page} of {self.path}")
        if self.kind == "zarr":
            import zarr

            return to_grey(np.asarray(zarr.open_array(self.path, mode="r")[:]), what)
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
    return Source("file", as_image(path, what).shape, path=str(path))


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

    def extend(self, other: Frames) -> None:
        """Append frames (a watched folder that grew)."""
        self.sources.extend(other.sources)
        self.names.extend(other.names)

    def in_stored_order(self, stored: object) -> Frames:
        """These frames in the order a store measured them, when that was the text order.

        Stores written before frames were put in natural order hold a folder's or pattern's
        frames sorted as text (``def_1, def_10, def_2``); resuming one keeps its order, so
        its frames stay where they were measured. Any other order: these frames as they are.
        """
        if (not isinstance(stored, list) or stored == self.names or stored != sorted(self.names)
                or len(set(self.names)) != len(self.names)):
            return self
        position = {name: k for k, name in enumerate(self.names)}
        picked = [position[name] for name in stored]
        return Frames([self.sources[k] for k in picked], list(stored))


def frames_from(frames: object) -> Frames:
    """Resolve a frame list: paths or arrays, a glob pattern, a folder, or a multi-page TIFF.

    A folder gives its image files (TIFF, PNG, BMP, JPEG) and a pattern its matches, both in
    natural order (:func:`natural_key`: ``def_2`` before ``def_10``); a list keeps its own
    order; a 3-D array gives its first axis. The one place a frame list is read.

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
    """The image files a path names: a folder's images or a pattern's matches, in natural order.

    Raises:
        MorvexError: for a folder without images or a pattern without matches (unless
            `allow_empty`: a watched folder may start empty).
    """
    text = os.fspath(item)
    path = pathlib.Path(text)
    if path.is_dir() and path.suffix.lower() != ".zarr":
        files = sorted((p for p in path.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES),
                       key=natural_key)
        if not files and not allow_empty:
            raise MorvexError(f"no frames: the folder {path} holds no TIFF, PNG, BMP or JPEG file")
    elif _GLOB_CHARACTERS & set(text) and not path.exists():
        files = [pathlib.Path(p) for p in sorted(glob.glob(text), key=natural_key)]
        if not files and not allow_empty:
            raise MorvexError(f"no frames: the pattern {text!r} matches no file")
    else:
        files = [path]
    return files


_NUMBER = re.compile(r"(\d+)")


def natural_key(name: PathLike) -> tuple[tuple[tuple[int, int | str], ...], str]:
    """Sort key of natural order: numbers within names compare by value, text without case.

    ``def_2 < def_10``, ``K50 < K100 < K400``, ``img_9.TIF < img_10.tif``. A camera that
    does not pad its counter (``def_1 ... def_15``) would otherwise be sorted as text,
    ``def_1, def_10, ..., def_15, def_2``, and the frames measured out of order. Names equal
    but for case or leading zeros fall back to their text, so the order is total.
    """
    text = os.fspath(name)
    parts = tuple((0, int(part)) if k % 2 else (1, part.casefold())
                  for k, part in enumerate(_NUMBER.split(text)) if part)
    return parts, text


def _add_file(file: pathlib.Path, sources: list[Source], names: list[str]) -> None:
    if not file.is_file():
        raise MorvexError(f"image file not found: {file}")
    pages = _tiff_pages(file)
    tiff = file.suffix.lower() in (".tif", ".tiff")
    # A name that is not UTF-8 is shown and stored with its odd bytes escaped (f1_\xe9.tif):
    # text that every terminal and the store can hold, while the source keeps the real path.
    name = os.fsencode(file.name).decode("utf-8", "backslashreplace")
    if pages > 1:
        for page in range(pages):
            sources.append(Source("tiff", path=str(file), page=page))
            names.append(f"{name}[{page}]")
    else:
        sources.append(Source("tiff" if tiff else "file", path=str(file)))
        names.append(name)


def _tiff_pages(file: pathlib.Path) -> int:
    if file.suffix.lower() not in (".tif", ".tiff"):
        return 1
    try:
        with _quiet_tifffile(), tifffile.TiffFile(file) as tif:
            return len(tif.pages)
    except Exception as error:  # tifffile raises many types for a broken file
        raise MorvexError(f"cannot read image {file}: {error}") from None
