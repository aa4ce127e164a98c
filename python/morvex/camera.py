"""Camera calibration from views of a planar target, and the camera file it writes.

The camera file is JSON with OpenCV's own names, so a file OpenCV writes reads as is:
``camera_matrix`` (3 x 3), ``dist_coeffs`` (k1, k2, p1, p2, k3, ...) and ``image_size``
[width, height], plus what the calibration was made from and how well it fits.
"""

from __future__ import annotations

import dataclasses
import json
import math
import pathlib
import re
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _guided
from ._errors import MorvexError
from .io import PathLike, load_image

TARGETS = ("chessboard", "circles", "asymmetric_circles", "charuco")
# OpenCV's predefined ArUco dictionaries by its own names. 5 x 5 bits with 100 codes is the
# default: enough markers for a 14 x 14 board, each code at least 7 bits from any other, and
# bits still two or more pixels wide where a 4 x 4 code's would be needed only on tiny views.
DICTIONARIES = ("DICT_4X4_50", "DICT_4X4_100", "DICT_4X4_250", "DICT_4X4_1000", "DICT_5X5_50",
                "DICT_5X5_100", "DICT_5X5_250", "DICT_5X5_1000", "DICT_6X6_50", "DICT_6X6_100",
                "DICT_6X6_250", "DICT_6X6_1000", "DICT_7X7_50", "DICT_7X7_100", "DICT_7X7_250",
                "DICT_7X7_1000", "DICT_ARUCO_ORIGINAL", "DICT_APRILTAG_16h5",
                "DICT_APRILTAG_25h9", "DICT_APRILTAG_36h10", "DICT_APRILTAG_36h11")
DEFAULT_DICTIONARY = "DICT_5X5_100"
# A ChArUco view with fewer corners than this is left out: each view adds six pose unknowns,
# and a handful of corners round one marker pins them down no better than the noise.
MIN_CHARUCO_CORNERS = 6
# OpenCV's default model (k1, k2, p1, p2, k3) is pinned down only by this many views of a
# target tilted in several directions; fewer leave the coefficients trading with each other.
MIN_VIEWS = 10
# Below this share of the sensor inside the corners' hull, the distortion towards the edges
# is extrapolated, not measured.
MIN_HULL_SHARE = 0.5
# A sensor corner counts as reached when a target point lies within this share of the image
# size of it (both ways): radial distortion is largest there.
CORNER_REACH = 0.15
_DIST_COUNTS = (4, 5, 8, 12, 14)


@dataclasses.dataclass(frozen=True)
class Camera:
    """A calibrated camera: OpenCV's camera matrix, distortion coefficients and image size."""

    camera_matrix: np.ndarray
    dist_coeffs: np.ndarray
    image_size: tuple[int, int]  # width, height in px
    # The calibration target (kind, (columns, rows), spacing mm), when the file says; a
    # ChArUco board's pattern counts squares and its spacing is the square's side.
    target: tuple[str, tuple[int, int], float] | None = None
    # A ChArUco board's marker side (mm) and dictionary name, which finding it again needs.
    charuco: tuple[float, str] | None = None

    def check_image(self, shape: tuple[int, ...], what: str) -> None:
        """Refuse an image whose size is not the calibrated one."""
        width, height = self.image_size
        if tuple(shape[-2:]) != (height, width):
            raise MorvexError(f"{what} is {shape[-1]} x {shape[-2]} px but the camera was "
                              f"calibrated at {width} x {height} px (image_size)")

    def to_json(self) -> dict[str, Any]:
        data: dict[str, Any] = {"camera_matrix": self.camera_matrix.tolist(),
                                "dist_coeffs": self.dist_coeffs.tolist(),
                                "image_size": list(self.image_size)}
        if self.target is not None:
            # Kept so that the file read back can still find the plane from a target image.
            kind, (columns, rows), spacing = self.target
            data["source"] = {"target": kind, "pattern": [columns, rows], "spacing_mm": spacing}
            if self.charuco is not None:
                data["source"].update(marker_mm=self.charuco[0], dictionary=self.charuco[1])
        return data


def _matrix(value: Any, path: str, key: str) -> np.ndarray:
    """A matrix as a nested list, or as OpenCV's FileStorage writes one in JSON."""
    if isinstance(value, dict) and "data" in value:
        try:
            rows, cols = int(value["rows"]), int(value["cols"])
            return np.asarray(value["data"], dtype=float).reshape(rows, cols)
        except (KeyError, TypeError, ValueError):
            raise MorvexError(f"camera file {path}: {key} is an OpenCV matrix whose rows, cols "
                              "and data do not agree") from None
    try:
        return np.asarray(value, dtype=float)
    except (TypeError, ValueError):
        raise MorvexError(f"camera file {path}: {key} must hold numbers") from None


def camera_from_dict(data: Any, path: str = "<dict>") -> Camera:
    """A Camera from a camera file's contents, every key checked by name."""
    if not isinstance(data, dict):
        raise MorvexError(f"camera file {path}: must be a JSON object with camera_matrix, "
                          "dist_coeffs and image_size")
    for key in ("camera_matrix", "dist_coeffs", "image_size"):
        if key not in data:
            raise MorvexError(f"camera file {path}: missing key {key!r}")
    matrix = _matrix(data["camera_matrix"], path, "camera_matrix")
    if matrix.shape != (3, 3):
        raise MorvexError(f"camera file {path}: camera_matrix must be 3 x 3, got shape "
                          f"{matrix.shape}")
    if not np.all(np.isfinite(matrix)) or matrix[0, 0] <= 0 or matrix[1, 1] <= 0 \
            or matrix[2, 2] != 1 or matrix[2, 0] != 0 or matrix[2, 1] != 0 \
            or matrix[1, 0] != 0:
        raise MorvexError(f"camera file {path}: camera_matrix must be [[fx, s, cx], "
                          "[0, fy, cy], [0, 0, 1]] with fx, fy > 0")
    dist = _matrix(data["dist_coeffs"], path, "dist_coeffs").ravel()
    if dist.size not in _DIST_COUNTS or not np.all(np.isfinite(dist)):
        raise MorvexError(f"camera file {path}: dist_coeffs must be 4, 5, 8, 12 or 14 finite "
                          f"numbers (k1, k2, p1, p2, k3, ...), got {dist.size}")
    size = _matrix(data["image_size"], path, "image_size").ravel()
    if size.size != 2 or not np.all(size == np.round(size)) or np.any(size < 1):
        raise MorvexError(f"camera file {path}: image_size must be [width, height] in whole "
                          "pixels")
    target = _target_of(data.get("source"))
    charuco = _charuco_of(data.get("source")) if target and target[0] == "charuco" else None
    if charuco is None and target is not None and target[0] == "charuco":
        target = None  # a board that cannot be found again is no target for the plane
    return Camera(matrix, dist, (int(size[0]), int(size[1])), target, charuco)


def _target_of(source: Any) -> tuple[str, tuple[int, int], float] | None:
    try:
        target = str(source["target"])
        columns, rows = (int(n) for n in source["pattern"])
        spacing = float(source["spacing_mm"])
    except (KeyError, TypeError, ValueError):
        return None
    return (target, (columns, rows), spacing) if target in TARGETS else None


def _charuco_of(source: Any) -> tuple[float, str] | None:
    try:
        marker = float(source["marker_mm"])
        dictionary = str(source["dictionary"])
    except (KeyError, TypeError, ValueError):
        return None
    return (marker, dictionary) if dictionary in DICTIONARIES else None


def check_charuco(pattern: tuple[int, int], square: float, marker: float | None,
                  dictionary: str) -> float:
    """The marker side, once the board's geometry is checked by name: the marker given,
    positive and inside its square, the dictionary one of OpenCV's."""
    if marker is None:
        raise MorvexError("a ChArUco board needs its marker side (--marker, mm)")
    if not (isinstance(marker, (int, float)) and math.isfinite(marker) and marker > 0):
        raise MorvexError(f"marker side must be a positive number of mm, got {marker!r}")
    if not marker < square:
        raise MorvexError(f"marker side {marker:g} mm must be smaller than the square side "
                          f"{square:g} mm")
    if dictionary not in DICTIONARIES:
        raise MorvexError(f"unknown ArUco dictionary {dictionary!r}: one of OpenCV's names, "
                          f"such as {DEFAULT_DICTIONARY}")
    codes = int(dictionary.rsplit("_", 1)[-1]) if dictionary.startswith("DICT_") \
        and dictionary.rsplit("_", 1)[-1].isdigit() else None
    markers = pattern[0] * pattern[1] // 2
    if codes is not None and markers > codes:
        raise MorvexError(f"a {pattern[0]}x{pattern[1]} ChArUco board has {markers} markers but "
                          f"{dictionary} only {codes} codes")
    try:  # the library's own checks, for the dictionaries whose size the name does not say
        _guided.charuco_object_points(pattern[0], pattern[1], float(square), float(marker),
                                      dictionary)
    except ValueError as error:
        raise MorvexError(str(error)) from None
    return float(marker)


def find_charuco(image: np.ndarray, pattern: tuple[int, int], square: float, marker: float,
                 dictionary: str) -> tuple[np.ndarray, np.ndarray, str | None]:
    """A ChArUco view's corners (n, 2) px and their object points (n, 3) mm, or why the view
    cannot serve: too few corners, or all on one line of the board (no plane to fit)."""
    columns, rows = pattern
    points, ids = _guided.find_charuco_corners(image, columns, rows, float(square),
                                               float(marker), dictionary)
    objects = _guided.charuco_object_points(columns, rows, float(square), float(marker),
                                            dictionary)[ids]
    if len(ids) < MIN_CHARUCO_CORNERS:
        found = "no ChArUco marker was found" if len(ids) == 0 else \
            f"only {len(ids)} ChArUco corners were found"
        return points, objects, f"{found}; {MIN_CHARUCO_CORNERS} are needed"
    if np.ptp(objects[:, 0]) == 0 or np.ptp(objects[:, 1]) == 0:
        return points, objects, f"its {len(ids)} ChArUco corners lie on one line of the board"
    return points, objects, None


# cv::FileStorage writes a whole float as "0." or "1.", which strict JSON refuses.
_BARE_POINT = re.compile(r"(?<=\d)\.(?=\s*[,\]}])")


def _loads(text: str) -> Any:
    try:
        return json.loads(text)
    except json.JSONDecodeError:
        return json.loads(_BARE_POINT.sub(".0", text))


def read_camera(path: PathLike) -> Camera:
    """Read a camera file (this package's or OpenCV's JSON with the same keys).

    Raises:
        MorvexError: for a missing or unreadable file, a missing key or a value of the wrong
            shape, naming it.
    """
    path = pathlib.Path(path)
    if not path.is_file():
        raise MorvexError(f"camera file not found: {path}")
    try:
        text = path.read_text(encoding="utf-8")
        data = _loads(text)
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise MorvexError(f"camera file {path} is not readable JSON: {error}") from None
    return camera_from_dict(data, str(path))


def write_camera(path: PathLike, camera: Camera, extra: dict[str, Any] | None = None) -> None:
    """Write a camera file: OpenCV's three keys first, then `extra` (source and quality)."""
    data = camera.to_json()
    data.update(extra or {})
    pathlib.Path(path).write_text(json.dumps(data, indent=2) + "\n", encoding="utf-8")


def parse_pattern(text: str) -> tuple[int, int]:
    """"9x6" -> (9, 6): columns by rows of the target's points."""
    parts = text.lower().split("x")
    try:
        columns, rows = (int(p) for p in parts)
    except ValueError:
        raise MorvexError(f"target pattern must be COLUMNSxROWS such as 9x6, got {text!r}") \
            from None
    if columns < 2 or rows < 2:
        raise MorvexError(f"target pattern must be at least 2x2, got {text!r}")
    return columns, rows


def _hull_area(points: np.ndarray) -> float:
    """Area of the convex hull of (n, 2) points (monotone chain, then the shoelace)."""
    pts = sorted(set(map(tuple, points.tolist())))
    if len(pts) < 3:
        return 0.0

    def cross(o: Any, a: Any, b: Any) -> float:
        return float((a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]))

    lower: list[Any] = []
    for p in pts:
        while len(lower) >= 2 and cross(lower[-2], lower[-1], p) <= 0:
            lower.pop()
        lower.append(p)
    upper: list[Any] = []
    for p in reversed(pts):
        while len(upper) >= 2 and cross(upper[-2], upper[-1], p) <= 0:
            upper.pop()
        upper.append(p)
    hull = np.asarray(lower[:-1] + upper[:-1])
    x, y = hull[:, 0], hull[:, 1]
    return float(abs(np.dot(x, np.roll(y, 1)) - np.dot(y, np.roll(x, 1))) / 2.0)


def coverage_warnings(points: np.ndarray, views: int, image_size: tuple[int, int],
                      coefficients: int = 5) -> list[str]:
    """Why a calibration may not hold across the sensor: too few views, a corners' hull
    covering too little of it, sensor corners no target point came near."""
    width, height = image_size
    warnings = []
    if coefficients >= 5 and views < MIN_VIEWS:
        warnings.append(f"only {views} views: {MIN_VIEWS} or more are needed to pin down "
                        f"{coefficients} distortion coefficients")
    share = _hull_area(points) / float(width * height) if len(points) else 0.0
    if share < MIN_HULL_SHARE:
        warnings.append(f"the target points cover {share:.0%} of the sensor (their hull); "
                        f"under {MIN_HULL_SHARE:.0%} the distortion at the edges is "
                        "extrapolated: move the target towards the edges")
    missed = []
    for name, cx, cy in (("top-left", 0, 0), ("top-right", width, 0),
                         ("bottom-left", 0, height), ("bottom-right", width, height)):
        near = bool(len(points)) and bool(np.any(
            (np.abs(points[:, 0] - cx) < CORNER_REACH * width)
            & (np.abs(points[:, 1] - cy) < CORNER_REACH * height)))
        if not near:
            missed.append(name)
    if missed:
        warnings.append("no target point near the sensor's " + ", ".join(missed)
                        + " corner" + ("s" if len(missed) > 1 else "")
                        + ", where the lens distorts most")
    return warnings


@dataclasses.dataclass(frozen=True)
class Calibration:
    """What `calibrate` returns: the camera, and the report the camera file keeps."""

    camera: Camera
    report: dict[str, Any]
    points: list[np.ndarray]          # each accepted view's image points, px
    rotations: list[np.ndarray]       # Rodrigues vectors, target to camera
    translations: list[np.ndarray]    # mm


def _image(item: Any, index: int) -> tuple[np.ndarray, str]:
    if isinstance(item, np.ndarray):
        if item.ndim != 2:
            raise MorvexError(f"target image {index} must be a 2-D grey array, got shape "
                              f"{item.shape}")
        return np.asarray(item, dtype=float), f"array {index}"
    image = load_image(item)
    if image.ndim != 2:
        raise MorvexError(f"target image {item} is a stack; give each view as its own file")
    return image, str(item)


def calibrate(images: Sequence[Any], *, target: str = "chessboard",
              pattern: tuple[int, int] = (9, 6), spacing: float = 1.0,
              fix_k3: bool = False, marker: float | None = None,
              dictionary: str = DEFAULT_DICTIONARY) -> Calibration:
    """Calibrate a camera from images of a planar target.

    Args:
        images: files or 2-D grey arrays, each one view of the whole target (of a ChArUco
            board, any part of it with enough corners).
        target: "chessboard" (pattern counts inner corners), "circles",
            "asymmetric_circles" or "charuco" (pattern counts squares).
        pattern: (columns, rows) of the target's points, or of a ChArUco board's squares.
        spacing: side of a square (chessboard, ChArUco) or the circles' pitch, mm.
        fix_k3: hold k3 at 0 (a lens with little distortion, or few views).
        marker: a ChArUco board's marker side, mm (smaller than its square).
        dictionary: a ChArUco board's ArUco dictionary, OpenCV's name.

    Returns:
        A Calibration; its report holds the overall and per-image reprojection RMS (px), the
        images left out and why, and warnings about too few views or poor sensor coverage.

    Raises:
        MorvexError: for a bad argument, images of different sizes, or fewer than 3 views in
            which the whole target was found.
    """
    if target not in TARGETS:
        raise MorvexError(f"target must be one of {', '.join(TARGETS)}, got {target!r}")
    columns, rows = pattern
    if not (isinstance(spacing, (int, float)) and math.isfinite(spacing) and spacing > 0):
        raise MorvexError(f"target spacing must be a positive number of mm, got {spacing!r}")
    if len(images) == 0:
        raise MorvexError("calibration needs target images, got none")
    charuco = None
    if target == "charuco":
        charuco = (check_charuco(pattern, float(spacing), marker, dictionary), dictionary)
    else:
        object_points = _guided.target_object_points(target, columns, rows, float(spacing))
    size: tuple[int, int] | None = None
    names: list[str] = []
    found: list[np.ndarray] = []
    objects: list[np.ndarray] = []
    left_out: list[dict[str, str]] = []
    for index, item in enumerate(images):
        image, name = _image(item, index)
        shape = (image.shape[1], image.shape[0])
        if size is None:
            size = shape
        elif shape != size:
            left_out.append({"image": name, "reason": f"{shape[0]} x {shape[1]} px, not "
                             f"{size[0]} x {size[1]} px like the first image"})
            continue
        if charuco is not None:
            points, view_objects, why = find_charuco(image, pattern, float(spacing), *charuco)
            if why is not None:
                left_out.append({"image": name, "reason": why})
                continue
        else:
            points = _guided.find_target_points(image, target, columns, rows)
            if points is None:
                left_out.append({"image": name, "reason": f"the whole {columns}x{rows} "
                                 f"{target} was not found"})
                continue
            view_objects = object_points
        names.append(name)
        found.append(points)
        objects.append(view_objects)
    if len(found) < 3:
        reasons = "; ".join(f"{item['image']}: {item['reason']}" for item in left_out[:3])
        raise MorvexError(f"calibration needs the target found in at least 3 images, found in "
                          f"{len(found)}" + (f" ({reasons})" if reasons else ""))
    assert size is not None
    flags = 128 if fix_k3 else 0  # cv::CALIB_FIX_K3
    try:
        result = _guided.calibrate_camera(objects, found, size, flags)
    except (ValueError, RuntimeError) as error:
        raise MorvexError(f"calibration failed: {error}") from None
    camera = Camera(np.asarray(result["camera_matrix"]), np.asarray(result["dist_coeffs"]),
                    size, (target, (columns, rows), float(spacing)), charuco)
    coefficients = 4 if fix_k3 else 5
    source: dict[str, Any] = {"images": names, "target": target, "pattern": [columns, rows],
                              "spacing_mm": float(spacing)}
    if charuco is not None:
        source.update(marker_mm=charuco[0], dictionary=charuco[1],
                      corners={name: len(points) for name, points in zip(names, found,
                                                                         strict=True)})
    report = {
        "source": source,
        "rms_px": float(result["rms"]),
        "image_rms_px": {name: float(rms) for name, rms in zip(names, result["view_rms"],
                                                                strict=True)},
        "intrinsic_sigma": [float(s) for s in result["intrinsic_sigma"][:4 + coefficients]],
        "left_out": left_out,
        "warnings": coverage_warnings(np.concatenate(found), len(found), size, coefficients),
    }
    return Calibration(camera, report, found, list(result["rotations"]),
                       list(result["translations"]))


def plane_point(camera: Camera, rotation: np.ndarray, translation: np.ndarray,
                points: np.ndarray) -> np.ndarray:
    """Image points (n, 2) px on the plane z = 0 of the pose (rotation: 3 x 3 or Rodrigues,
    target to camera), in that plane's mm: undistorted by OpenCV, then each ray met with
    the plane."""
    rotation = np.asarray(rotation, dtype=float)
    if rotation.shape == (3,):
        rotation = _rodrigues(rotation)
    normalised = _guided.undistort_points(np.asarray(points, dtype=float), camera.camera_matrix,
                                          camera.dist_coeffs)
    rays = np.column_stack([normalised, np.ones(len(normalised))])
    # In the target's frame the camera sits at -R^T t and looks along R^T ray; each ray meets
    # the plane z = 0 where its z comes to nothing.
    centre = -rotation.T @ np.asarray(translation, dtype=float)
    directions = rays @ rotation
    reach = -centre[2] / directions[:, 2]
    return np.asarray(centre[:2] + reach[:, None] * directions[:, :2])


def _rodrigues(vector: np.ndarray) -> np.ndarray:
    angle = float(np.linalg.norm(vector))
    if angle == 0.0:
        return np.eye(3)
    k = vector / angle
    cross = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.asarray(np.eye(3) + math.sin(angle) * cross
                      + (1 - math.cos(angle)) * cross @ cross)


def check_distance(calibration: Calibration, points: Sequence[float],
                   distance: float) -> dict[str, float]:
    """The calibrated distance, mm, between two image points of the first accepted view (on
    its target's plane) and its error against the known `distance`."""
    if len(points) != 4:
        raise MorvexError(f"the check takes two points X0,Y0,X1,Y1, got {len(points)} numbers")
    if not (math.isfinite(distance) and distance > 0):
        raise MorvexError(f"--distance must be a positive number of mm, got {distance!r}")
    ends = plane_point(calibration.camera, calibration.rotations[0],
                       calibration.translations[0], np.asarray(points, dtype=float).reshape(2, 2))
    measured = float(np.linalg.norm(ends[1] - ends[0]))
    return {"measured_mm": measured, "known_mm": float(distance),
            "error_mm": measured - float(distance),
            "error_relative": (measured - float(distance)) / float(distance)}


def coverage_plot(calibration: Calibration, path: PathLike) -> None:
    """A PNG of where the target points covered the sensor, one colour per view."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    width, height = calibration.camera.image_size
    figure, axes = plt.subplots(figsize=(6.4, 6.4 * height / width + 0.6))
    for points in calibration.points:
        axes.plot(points[:, 0], points[:, 1], ".", markersize=3)
    axes.set_xlim(0, width)
    axes.set_ylim(height, 0)
    axes.set_aspect("equal")
    axes.set_title(f"target points of {len(calibration.points)} views, "
                   f"RMS {calibration.report['rms_px']:.3f} px")
    axes.set_xlabel("x (px)")
    axes.set_ylabel("y (px)")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
