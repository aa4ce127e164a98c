"""The specimen mask as the user draws it: rectangles, polygons and circles that add or cut.

Shapes are kept as data (so they can be edited, deleted and saved with the store) and turned
into a boolean image in the order they were drawn: an adding shape sets its pixels, a cutting
shape clears them. With no adding shape the whole image is specimen and cuts make holes.
A mask image is measured by its header before a pixel is decoded: a small compressed file can
declare a huge image, and decoding it to float64 would hold the server for seconds.
"""

from __future__ import annotations

import dataclasses
import pathlib
from typing import Any

import numpy as np

from .._errors import MorvexError

KINDS = ("rectangle", "polygon", "circle")


@dataclasses.dataclass(frozen=True)
class Shape:
    """One drawn shape. Points are (x, y) in image pixels: rectangle two corners, circle the
    centre and a point on the rim, polygon its vertices (at least three)."""

    kind: str
    points: tuple[tuple[float, float], ...]
    cut: bool = False

    @classmethod
    def from_json(cls, data: Any) -> Shape:
        """A shape from what the page or a saved project sent, checked.

        Raises:
            MorvexError: for an unknown kind or too few or non-finite points.
        """
        if not isinstance(data, dict):
            raise MorvexError(f"a mask shape must be an object, got {data!r}")
        kind = data.get("kind")
        if kind not in KINDS:
            raise MorvexError(f"mask shape kind must be one of {', '.join(KINDS)}, got {kind!r}")
        try:
            points = tuple((float(x), float(y)) for x, y in data.get("points", ()))
        except (TypeError, ValueError):
            raise MorvexError(f"mask {kind} points must be (x, y) pairs of numbers") from None
        if not np.all(np.isfinite(np.asarray(points, dtype=float))):
            raise MorvexError(f"mask {kind} points must be finite numbers")
        least = 3 if kind == "polygon" else 2
        if len(points) < least:
            raise MorvexError(f"a mask {kind} needs at least {least} points, got {len(points)}")
        return cls(kind, points, bool(data.get("cut", False)))

    def to_json(self) -> dict[str, Any]:
        return {"kind": self.kind, "points": [list(p) for p in self.points], "cut": self.cut}

    def covers(self, shape: tuple[int, int]) -> np.ndarray:
        """Boolean image of the pixels (centres at integer positions) inside the shape."""
        rows, cols = shape
        ys, xs = np.mgrid[0:rows, 0:cols]
        if self.kind == "rectangle":
            (xa, ya), (xb, yb) = self.points[:2]
            return np.asarray((xs >= min(xa, xb)) & (xs <= max(xa, xb))
                              & (ys >= min(ya, yb)) & (ys <= max(ya, yb)))
        if self.kind == "circle":
            (xc, yc), (xr, yr) = self.points[:2]
            return np.asarray((xs - xc) ** 2 + (ys - yc) ** 2 <= (xr - xc) ** 2 + (yr - yc) ** 2)
        return _inside_polygon(xs.astype(float), ys.astype(float), self.points)


def _inside_polygon(xs: np.ndarray, ys: np.ndarray,
                    vertices: tuple[tuple[float, float], ...]) -> np.ndarray:
    # Even-odd rule, one edge at a time over the whole image.
    inside = np.zeros(xs.shape, dtype=bool)
    count = len(vertices)
    for k in range(count):
        (x0, y0), (x1, y1) = vertices[k], vertices[(k + 1) % count]
        if y0 == y1:
            continue
        crosses = (ys >= min(y0, y1)) & (ys < max(y0, y1))
        x_at = x0 + (ys - y0) * (x1 - x0) / (y1 - y0)
        inside ^= crosses & (xs < x_at)
    return inside


def rasterise(shapes: list[Shape], shape: tuple[int, int],
              base: np.ndarray | None = None) -> np.ndarray | None:
    """The mask of `shapes` drawn over `base` (a loaded mask image), or None for no mask."""
    if not shapes:
        return None if base is None else base.copy()
    if base is not None:
        mask = base.copy()
    else:
        mask = np.zeros(shape, dtype=bool) if any(not s.cut for s in shapes) else np.ones(
            shape, dtype=bool)
    for item in shapes:
        covered = item.covers(shape)
        mask = mask & ~covered if item.cut else mask | covered
    return mask


_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_TIFF_SIGNATURES = (b"II*\x00", b"MM\x00*", b"II+\x00", b"MM\x00+")
# JPEG start-of-frame markers: C0-CF but DHT (C4), JPG (C8) and DAC (CC), which share the range.
_JPEG_FRAMES = set(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}
_JPEG_HEADER_LIMIT = 1 << 20  # bytes of segments scanned for the frame header before giving up


def header_shape(path: pathlib.Path) -> tuple[int, int] | None:
    """(rows, cols) an image file's header declares (the first page of a TIFF), read without
    decoding a pixel; None for a format or header this reader does not know.

    Raises:
        OSError: when the file cannot be read.
    """
    with open(path, "rb") as handle:
        head = handle.read(64)
        if head.startswith(_PNG_SIGNATURE):
            # IHDR comes first: length, type, then width and height (big-endian).
            if head[12:16] != b"IHDR" or len(head) < 24:
                return None
            return int.from_bytes(head[20:24], "big"), int.from_bytes(head[16:20], "big")
        if head[:2] == b"BM" and len(head) >= 26:
            if int.from_bytes(head[14:18], "little") == 12:  # the old OS/2 core header
                return int.from_bytes(head[20:22], "little"), int.from_bytes(head[18:20],
                                                                             "little")
            # A negative height marks a top-down image.
            return (abs(int.from_bytes(head[22:26], "little", signed=True)),
                    abs(int.from_bytes(head[18:22], "little", signed=True)))
        if head[:2] == b"\xff\xd8":
            return _jpeg_shape(handle)
        if head[:2] in (b"P1", b"P2", b"P3", b"P4", b"P5", b"P6"):
            return _netpbm_shape(head + handle.read(1024))
    if head[:4] in _TIFF_SIGNATURES:
        from ..io import tifffile

        try:
            with tifffile.TiffFile(path) as tif:
                page = tif.pages.first
                return int(page.imagelength), int(page.imagewidth)
        except Exception:  # tifffile raises many types for a broken file
            return None
    return None


def _jpeg_shape(handle: Any) -> tuple[int, int] | None:
    handle.seek(2)
    while handle.tell() < _JPEG_HEADER_LIMIT:
        byte = handle.read(1)
        if byte != b"\xff":
            return None
        marker = handle.read(1)
        while marker == b"\xff":  # fill bytes before a marker
            marker = handle.read(1)
        if not marker:
            return None
        code = marker[0]
        if code == 0x01 or 0xD0 <= code <= 0xD7:
            continue  # markers without a segment
        segment = handle.read(2)
        if len(segment) < 2:
            return None
        length = int.from_bytes(segment, "big")
        if code in _JPEG_FRAMES:
            frame = handle.read(5)  # precision, height, width
            if len(frame) < 5:
                return None
            return int.from_bytes(frame[1:3], "big"), int.from_bytes(frame[3:5], "big")
        handle.seek(length - 2, 1)
    return None


def _netpbm_shape(head: bytes) -> tuple[int, int] | None:
    # Magic, width, height as text, with '#' comments to the end of a line between them.
    words: list[bytes] = []
    for line in head.splitlines():
        words += line.split(b"#", 1)[0].split()
        if len(words) >= 3:
            break
    if len(words) < 3 or not (words[1].isdigit() and words[2].isdigit()):
        return None
    return int(words[2]), int(words[1])


# Pixels an image may have for the app to decode it: 8192 x 8192, above the largest sensors
# used for correlation (about 50 Mpx); as the float64 the package decodes into, 512 MB, near
# the server's whole budget. A small compressed file can declare far more than this.
MAX_IMAGE_PIXELS = 8192 * 8192


def check_image_size(path: pathlib.Path, what: str, name: str = "") -> None:
    """Refuse an image whose header declares more than MAX_IMAGE_PIXELS, before a pixel is
    decoded; `what` names its role (reference, frame), `name` the file as the user gave it.
    A file whose header this reader does not know, or cannot read, is left to the decoder.

    Raises:
        MorvexError: naming the file and the size its header declares.
    """
    try:
        declared = header_shape(path)
    except OSError:
        return  # the decoder names the file and why it cannot be read
    if declared is not None and declared[0] * declared[1] > MAX_IMAGE_PIXELS:
        raise MorvexError(f"{what} image {name or path} is {declared[0]} x {declared[1]} px "
                          f"(rows x cols), more than the {MAX_IMAGE_PIXELS} px the app "
                          "opens, so it was not decoded")


def read_mask(path: pathlib.Path, shape: tuple[int, int], name: str = "") -> np.ndarray:
    """A mask image (non-zero = specimen) of the reference's (rows, cols), refused by its
    header's size, before anything is decoded, when that differs; `name` is what the
    message calls the file (the path as the user gave it).

    Raises:
        MorvexError: for a file whose size its header does not give, a size other than the
            reference's (naming both), or what :func:`morvex.io.as_mask` refuses.
    """
    from ..io import as_mask

    shown = name or str(path)
    try:
        declared = header_shape(path)
    except OSError as error:
        raise MorvexError(f"cannot read mask image {shown}: {error.strerror or error}"
                          ) from None
    if declared is None:
        raise MorvexError(f"mask image {shown}: not a TIFF, PNG, BMP, JPEG or PNM file whose "
                          "size its header gives")
    if declared != tuple(shape):
        raise MorvexError(f"mask image {shown} is {declared[0]} x {declared[1]} px (rows x "
                          f"cols); a mask must be the reference image's size, {shape[0]} x "
                          f"{shape[1]} px, so it was not decoded")
    return as_mask(path, shape)
