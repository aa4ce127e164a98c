"""Images of a textured plane seen through a camera with a known lens, for tests, the demo of
calibration and benchmarks: every pixel's ray is found with OpenCV's own undistortion, met with
the plane, and the texture (a function of plane millimetres) averaged over sub-pixel samples.
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np

from . import _guided
from ._errors import MorvexError
from .camera import Camera, plane_point

Texture = Callable[[np.ndarray, np.ndarray], np.ndarray]


def rotation_matrix(about_x: float, about_y: float, about_z: float) -> np.ndarray:
    """Rotation by the three angles (radians), applied about z, then y, then x."""
    cx, sx = math.cos(about_x), math.sin(about_x)
    cy, sy = math.cos(about_y), math.sin(about_y)
    cz, sz = math.cos(about_z), math.sin(about_z)
    rx = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    ry = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    rz = np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
    return np.asarray(rx @ ry @ rz)


def look_at(camera: Camera, rotation: np.ndarray, distance: float,
            pixel: tuple[float, float], plane_mm: tuple[float, float]) -> np.ndarray:
    """The translation that puts the plane's point `plane_mm` on the ray through `pixel`
    (ignoring distortion) at depth `distance` mm, for the given rotation."""
    ray = np.linalg.solve(camera.camera_matrix, np.array([pixel[0], pixel[1], 1.0]))
    anchor = rotation @ np.array([plane_mm[0], plane_mm[1], 0.0])
    return np.asarray(distance * ray - anchor)


def render_plane(camera: Camera, rotation: np.ndarray, translation: np.ndarray,
                 texture: Texture, *, supersample: int = 4, background: float = 0.0,
                 noise: float = 0.0, seed: int = 0) -> np.ndarray:
    """The image (height, width) the camera takes of the plane z = 0 at this pose (target
    to camera) painted with `texture(x_mm, y_mm)`; rays that miss the plane in front of the
    camera see `background`; Gaussian read noise of sigma `noise` grey levels on top."""
    if supersample < 1:
        raise MorvexError(f"supersample must be at least 1, got {supersample}")
    width, height = camera.image_size
    offsets = (np.arange(supersample) + 0.5) / supersample - 0.5
    total = np.zeros((height, width))
    rows, cols = np.mgrid[0:height, 0:width].astype(float)
    for dy in offsets:
        for dx in offsets:
            pixels = np.column_stack([(cols + dx).ravel(), (rows + dy).ravel()])
            plane = plane_point(camera, rotation, translation, pixels)
            values = texture(plane[:, 0], plane[:, 1])
            values = np.where(np.all(np.isfinite(plane), axis=1), values, background)
            total += values.reshape(height, width)
    image = total / supersample**2
    if noise > 0:
        image = image + np.random.default_rng(seed).normal(0.0, noise, image.shape)
    return np.clip(image, 0.0, 255.0)


def chessboard_texture(pattern: tuple[int, int], square: float, *, dark: float = 30.0,
                       light: float = 220.0, edge: float | None = None) -> Texture:
    """A chessboard whose inner corners (columns x rows) lie on a grid `square` mm apart from
    the origin, in a light margin one square wide (the detectors need the quiet zone).

    Its edges are soft ramps `edge` mm wide (a printed edge seen through optics; default a
    twelfth of a square): a hard edge sampled N x N times per pixel would sit on a 1/N px
    staircase, which is what a corner detector would then measure.
    """
    columns, rows = pattern
    width = square / 12.0 if edge is None else edge

    def wave(t: np.ndarray) -> np.ndarray:
        # The square wave (-1)^floor(t / square), each step a symmetric ramp about its edge.
        k = np.round(t / square)
        return np.where(k % 2 == 0, 1.0, -1.0) * np.tanh((t - k * square) / width)

    def inside(t: np.ndarray, low: float, high: float) -> np.ndarray:
        return np.asarray(0.25 * (1 + np.tanh((t - low) / width))
                          * (1 - np.tanh((t - high) / width)))

    def paint(x: np.ndarray, y: np.ndarray) -> np.ndarray:
        black = 0.5 * (1.0 - wave(x) * wave(y))
        board = inside(x, -square, columns * square) * inside(y, -square, rows * square)
        return np.asarray(light + (dark - light) * black * board)

    return paint


def circle_grid_texture(pattern: tuple[int, int], pitch: float, *, radius: float | None = None,
                        asymmetric: bool = False, dark: float = 30.0,
                        light: float = 220.0) -> Texture:
    """Dark circles (radius `radius` mm, default a third of the pitch) on a light ground, their
    centres (columns x rows) `pitch` mm apart from the origin. Asymmetric: every other row
    shifted by a pitch, columns two pitches apart, OpenCV's asymmetric layout (x = (2 column +
    row % 2) pitch, y = row pitch). The edges are soft ramps a twelfth of the radius wide."""
    columns, rows = pattern
    r = pitch / 3.0 if radius is None else radius
    width = r / 12.0
    js, is_ = np.meshgrid(np.arange(rows), np.arange(columns), indexing="ij")
    if asymmetric:
        centres = np.column_stack([(2 * is_ + js % 2).ravel() * pitch, js.ravel() * pitch])
    else:
        centres = np.column_stack([is_.ravel() * pitch, js.ravel() * pitch])

    def paint(x: np.ndarray, y: np.ndarray) -> np.ndarray:
        ink = np.zeros(np.shape(x))
        for cx, cy in centres:
            distance = np.hypot(x - cx, y - cy)
            ink = np.maximum(ink, 0.5 * (1.0 - np.tanh((distance - r) / width)))
        return np.asarray(light + (dark - light) * ink)

    return paint


def _soften(image: np.ndarray, half: int) -> np.ndarray:
    """Two passes of a running mean 2 * half + 1 pixels wide along each axis: a ramp about
    4 * half pixels wide across every edge, so no edge is sharper than the optics would leave
    it. The window is centred (odd), so no edge moves."""
    if half < 1:
        return image
    width = 2 * half + 1
    out = image
    for axis in (0, 1):
        for _ in range(2):
            pad = [(0, 0), (0, 0)]
            pad[axis] = (half, half)
            padded = np.pad(out, pad, mode="edge")
            total = np.cumsum(padded, axis=axis)
            total = np.concatenate([np.zeros_like(np.take(total, [0], axis=axis)), total],
                                   axis=axis)
            n = out.shape[axis]
            out = (np.take(total, np.arange(width, width + n), axis=axis)
                   - np.take(total, np.arange(n), axis=axis)) / width
    return out


def charuco_texture(squares: tuple[int, int], square: float, marker: float, *,
                    dictionary: str = "DICT_5X5_100", dark: float = 30.0, light: float = 220.0,
                    pixels_per_mm: float | None = None, edge: float | None = None) -> Texture:
    """A ChArUco board (columns x rows of squares `square` mm wide, markers `marker` mm wide
    from OpenCV's `dictionary`) as OpenCV draws it for printing, its outer corner at the
    origin and its inner corners where charuco_object_points puts them, in a light margin
    one square wide. The drawing (`pixels_per_mm`, default 60 px per square) is softened
    to edges about `edge` mm wide (default a twelfth of a square, as chessboard_texture)
    and read bilinearly."""
    columns, rows = squares
    scale = 60.0 / square if pixels_per_mm is None else pixels_per_mm
    margin = int(round(square * scale))
    board = _guided.draw_charuco_board(columns, rows, float(square), float(marker), dictionary,
                                       scale, margin)
    half = int(round((square / 12.0 if edge is None else edge) * scale / 4))
    board = _soften(board / 255.0, half)
    height_px, width_px = board.shape

    def paint(x: np.ndarray, y: np.ndarray) -> np.ndarray:
        # Pixel edges of the drawing sit at whole numbers, so a pixel's centre is at + 0.5.
        col = np.clip(margin + x * scale - 0.5, 0.0, width_px - 1.0)
        row = np.clip(margin + y * scale - 0.5, 0.0, height_px - 1.0)
        col = np.where(np.isfinite(col), col, 0.0)
        row = np.where(np.isfinite(row), row, 0.0)
        c0 = np.minimum(np.floor(col).astype(np.int64), width_px - 2)
        r0 = np.minimum(np.floor(row).astype(np.int64), height_px - 2)
        fc, fr = col - c0, row - r0
        white = ((1 - fr) * ((1 - fc) * board[r0, c0] + fc * board[r0, c0 + 1])
                 + fr * ((1 - fc) * board[r0 + 1, c0] + fc * board[r0 + 1, c0 + 1]))
        return np.asarray(dark + (light - dark) * white)

    return paint


def speckle_texture(cell: float, radius: float, *, seed: int = 0, dark: float = 20.0,
                    light: float = 230.0) -> Texture:
    """A speckle of Gaussian dots (sigma `radius` mm), one at a random place in each `cell`
    mm square, dark on light: smooth, so any deformation of it is known exactly."""
    period = 512
    rng = np.random.default_rng(seed)
    jitter = rng.uniform(0.0, 1.0, (period, period, 2))
    depth = rng.uniform(0.6, 1.0, (period, period))

    def paint(x: np.ndarray, y: np.ndarray) -> np.ndarray:
        ix = np.floor(x / cell).astype(np.int64)
        iy = np.floor(y / cell).astype(np.int64)
        ink = np.zeros(x.shape)
        for oy in (-1, 0, 1):
            for ox in (-1, 0, 1):
                cx_index = (ix + ox) % period
                cy_index = (iy + oy) % period
                dot_x = (ix + ox + jitter[cy_index, cx_index, 0]) * cell
                dot_y = (iy + oy + jitter[cy_index, cx_index, 1]) * cell
                r2 = (x - dot_x) ** 2 + (y - dot_y) ** 2
                ink += depth[cy_index, cx_index] * np.exp(-r2 / (2 * radius**2))
        return light - (light - dark) * np.minimum(ink, 1.0)

    return paint


def target_poses(camera: Camera, count: int, pattern: tuple[int, int], square: float,
                 distance: float, *, seed: int = 0) -> list[tuple[np.ndarray, np.ndarray]]:
    """`count` poses (rotation, translation) of a calibration target, tilted 15-35 degrees in
    turn about both axes and turned a little, its centre placed round the sensor (corners,
    edges, centre) so the views cover it as a careful user's would."""
    if count < 1:
        raise MorvexError(f"count must be at least 1, got {count}")
    rng = np.random.default_rng(seed)
    width, height = camera.image_size
    spots = [(0.3, 0.3), (0.7, 0.3), (0.3, 0.7), (0.7, 0.7), (0.5, 0.5), (0.5, 0.3),
             (0.5, 0.7), (0.3, 0.5), (0.7, 0.5), (0.35, 0.35), (0.65, 0.65), (0.4, 0.6)]
    centre_mm = ((pattern[0] - 1) * square / 2, (pattern[1] - 1) * square / 2)
    poses = []
    for k in range(count):
        fx, fy = spots[k % len(spots)]
        tilt = math.radians(rng.uniform(15.0, 35.0)) * (1 if k % 2 else -1)
        other = math.radians(rng.uniform(-15.0, 15.0))
        spin = math.radians(rng.uniform(-20.0, 20.0))
        about = (tilt, other) if k % 4 < 2 else (other, tilt)
        rotation = rotation_matrix(about[0], about[1], spin)
        translation = look_at(camera, rotation, distance * rng.uniform(0.9, 1.1),
                              (fx * width, fy * height), centre_mm)
        poses.append((rotation, translation))
    return poses
