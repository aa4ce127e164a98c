"""From image pixels to millimetres on the specimen's plane.

Correlation stays in the raw images; each point's reference position (x, y) and deformed
position (x + u, y + v) are taken through the lens (OpenCV's undistortion) onto the plane, so
the millimetre displacement is the difference of two mapped positions, not a scaled pixel
displacement. The plane comes from one view of the calibration target lying on it (its pose)
or from a known length; an origin and x-axis picked in the image set the axes.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _guided
from ._errors import MorvexError
from .camera import (
    DEFAULT_DICTIONARY,
    TARGETS,
    Camera,
    check_charuco,
    find_charuco,
    plane_point,
)

if TYPE_CHECKING:
    import xarray as xr

    from .settings import Settings

# Central differences of the map over half a pixel: the map is smooth on the scale of many
# pixels, so the Jacobian's truncation error is far below the correlation's noise.
_JACOBIAN_STEP = 0.5


@dataclasses.dataclass(frozen=True)
class PlaneMap:
    """Image pixels to millimetres on the specimen's plane, in the user's axes.

    Exactly one of `pose` (rotation, translation: the plane z = 0 in the camera's frame)
    and `scale` (mm per px, on undistorted pixels when there is a camera) is set.
    `axes` rotates and moves the plane's coordinates: origin (mm) and the unit x and y axes.
    """

    camera: Camera | None = None
    pose: tuple[np.ndarray, np.ndarray] | None = None
    scale: float | None = None
    origin: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(2))
    axes: np.ndarray = dataclasses.field(default_factory=lambda: np.eye(2))

    def plane(self, points: np.ndarray) -> np.ndarray:
        """Points (n, 2) px to the plane's own mm (before the user's axes)."""
        points = np.asarray(points, dtype=float).reshape(-1, 2)
        if self.pose is not None:
            assert self.camera is not None
            return plane_point(self.camera, self.pose[0], self.pose[1], points)
        assert self.scale is not None
        if self.camera is not None:
            points = _guided.undistort_points(points, self.camera.camera_matrix,
                                              self.camera.dist_coeffs, True)
        return points * self.scale

    def __call__(self, points: np.ndarray) -> np.ndarray:
        """Points (n, 2) px to mm in the user's axes."""
        return np.asarray((self.plane(points) - self.origin) @ self.axes.T)

    def jacobian(self, points: np.ndarray) -> np.ndarray:
        """d(mm)/d(px) at each point, (n, 2, 2): rows x_mm, y_mm; columns x, y."""
        points = np.asarray(points, dtype=float).reshape(-1, 2)
        h = _JACOBIAN_STEP
        out = np.empty((len(points), 2, 2))
        for column in range(2):
            step = np.zeros(2)
            step[column] = h
            out[:, :, column] = (self(points + step) - self(points - step)) / (2 * h)
        return out

    def with_axes(self, origin_px: Sequence[float], axis_px: Sequence[float], *,
                  y_up: bool = False) -> PlaneMap:
        """This map with its origin at the image point `origin_px` and its x-axis towards
        `axis_px`; y perpendicular, towards the image's top (y_up) or bottom."""
        base = dataclasses.replace(self, origin=np.zeros(2), axes=np.eye(2))
        ends = base(np.array([origin_px, axis_px], dtype=float))
        along = ends[1] - ends[0]
        length = float(np.hypot(*along))
        if not length > 0:
            raise MorvexError("--axis must be a point other than --origin")
        x_axis = along / length
        y_axis = np.array([-x_axis[1], x_axis[0]])
        # Which way the image's "up" runs on the plane decides y's sign, whatever the
        # target's own handedness.
        up = base(np.array([origin_px[0], origin_px[1] - 1.0]))[0] - ends[0]
        if (float(up @ y_axis) > 0) != y_up:
            y_axis = -y_axis
        return dataclasses.replace(self, origin=ends[0], axes=np.vstack([x_axis, y_axis]))


def _pair(values: Sequence[float], count: int, what: str) -> np.ndarray:
    array = np.asarray(values, dtype=float).ravel()
    if array.size != count or not np.all(np.isfinite(array)):
        raise MorvexError(f"{what} must be {count} finite numbers (px), got {list(values)!r}")
    return array


def plane_from_target(camera: Camera, image: np.ndarray, *, target: str = "chessboard",
                      pattern: tuple[int, int] = (9, 6), spacing: float = 1.0,
                      marker: float | None = None,
                      dictionary: str = DEFAULT_DICTIONARY) -> PlaneMap:
    """The plane on which the target lies in `image`, from its pose (cv::solvePnP). A
    ChArUco board (pattern in squares, `marker` and `dictionary` as calibrated) may be partly
    hidden.

    Raises:
        MorvexError: when the image is not the camera's size or the whole target is not in it.
    """
    if target not in TARGETS:
        raise MorvexError(f"target must be one of {', '.join(TARGETS)}, got {target!r}")
    image = np.asarray(image, dtype=float)
    camera.check_image(image.shape, "the plane image")
    columns, rows = pattern
    if target == "charuco":
        marker = check_charuco(pattern, float(spacing), marker, dictionary)
        points, objects, why = find_charuco(image, pattern, float(spacing), marker, dictionary)
        if why is not None:
            raise MorvexError(f"the plane image cannot give the plane: {why}")
    else:
        found = _guided.find_target_points(image, target, columns, rows)
        if found is None:
            raise MorvexError(f"the whole {columns}x{rows} {target} was not found in the "
                              "plane image")
        points = found
        objects = _guided.target_object_points(target, columns, rows, float(spacing))
    pose = _guided.solve_plane_pose(objects, points, camera.camera_matrix, camera.dist_coeffs)
    return PlaneMap(camera=camera, pose=(np.asarray(pose["rotation"]),
                                         np.asarray(pose["translation"])))


def plane_from_length(length_mm: float, between: Sequence[float],
                      camera: Camera | None = None) -> PlaneMap:
    """A scale from a known length between two image points (x0, y0, x1, y1) px; with a
    camera the points and every later one are undistorted first."""
    if not (isinstance(length_mm, (int, float)) and math.isfinite(length_mm)
            and length_mm > 0):
        raise MorvexError(f"the known length must be a positive number of mm, got "
                          f"{length_mm!r}")
    ends = _pair(between, 4, "--between").reshape(2, 2)
    if camera is not None:
        ends = _guided.undistort_points(ends, camera.camera_matrix, camera.dist_coeffs, True)
    pixels = float(np.hypot(*(ends[1] - ends[0])))
    if not pixels > 0:
        raise MorvexError("--between needs two different points")
    return PlaneMap(camera=camera, scale=float(length_mm) / pixels)


def gradients(x: np.ndarray, y: np.ndarray, u: np.ndarray, v: np.ndarray,
              half_width: int) -> np.ndarray:
    """Displacement gradients (..., 2, 2) [[du/dx, du/dy], [dv/dx, dv/dy]] from a plane
    fitted to u and v over each grid point's (2 half_width + 1)^2 neighbours with values;
    NaN where fewer than 3 neighbours have them. x, y, u, v: (rows, cols)."""
    if half_width < 1:
        raise MorvexError(f"the strain window must span at least one grid step, got "
                          f"{half_width}")
    ok = np.isfinite(x) & np.isfinite(y) & np.isfinite(u) & np.isfinite(v)
    rows, cols = x.shape
    out = np.full((rows, cols, 2, 2), np.nan)
    # Each point's neighbours relative to it keep the normal equations well conditioned.
    for r in range(rows):
        r0, r1 = max(0, r - half_width), min(rows, r + half_width + 1)
        for c in range(cols):
            if not ok[r, c]:
                continue
            c0, c1 = max(0, c - half_width), min(cols, c + half_width + 1)
            mask = ok[r0:r1, c0:c1]
            if mask.sum() < 3:
                continue
            dx = x[r0:r1, c0:c1][mask] - x[r, c]
            dy = y[r0:r1, c0:c1][mask] - y[r, c]
            design = np.column_stack([np.ones(dx.size), dx, dy])
            targets = np.column_stack([u[r0:r1, c0:c1][mask], v[r0:r1, c0:c1][mask]])
            solution, _, rank, _ = np.linalg.lstsq(design, targets, rcond=None)
            if rank == 3:
                out[r, c] = solution[1:].T
    return out


def strain_from_gradients(h: np.ndarray, measure: str) -> tuple[np.ndarray, ...]:
    """exx, eyy, exy (tensor shear) from gradients (..., 2, 2): "green-lagrange"
    E = (H + H^T + H^T H) / 2 or "engineering" (H + H^T) / 2."""
    if measure not in ("green-lagrange", "engineering"):
        raise MorvexError(f"strain measure must be green-lagrange or engineering, got "
                          f"{measure!r}")
    strain = 0.5 * (h + np.swapaxes(h, -1, -2))
    if measure == "green-lagrange":
        strain = strain + 0.5 * np.swapaxes(h, -1, -2) @ h
    return strain[..., 0, 0], strain[..., 1, 1], strain[..., 0, 1]


def map_frame(plane_map: PlaneMap, x: np.ndarray, y: np.ndarray, u: np.ndarray,
              v: np.ndarray, sigma_u: np.ndarray | None = None,
              sigma_v: np.ndarray | None = None) -> dict[str, np.ndarray]:
    """One frame's points on the plane: x_mm, y_mm (mapped reference positions), u_mm, v_mm
    (mapped deformed minus mapped reference) and sigma_u_mm, sigma_v_mm through the map's
    local Jacobian. Arrays of one shape; NaN stays NaN."""
    shape = np.shape(u)
    reference = np.column_stack([np.ravel(x), np.ravel(y)])
    deformed = reference + np.column_stack([np.ravel(u), np.ravel(v)])
    finite = np.all(np.isfinite(deformed), axis=1)
    safe = np.where(finite[:, None], deformed, reference)
    at_reference = plane_map(reference)
    displacement = plane_map(safe) - at_reference
    displacement[~finite] = np.nan
    out = {"x_mm": at_reference[:, 0].reshape(shape), "y_mm": at_reference[:, 1].reshape(shape),
           "u_mm": displacement[:, 0].reshape(shape), "v_mm": displacement[:, 1].reshape(shape)}
    if sigma_u is not None and sigma_v is not None:
        j = plane_map.jacobian(reference)
        su, sv = np.ravel(sigma_u), np.ravel(sigma_v)
        out["sigma_u_mm"] = np.hypot(j[:, 0, 0] * su, j[:, 0, 1] * sv).reshape(shape)
        out["sigma_v_mm"] = np.hypot(j[:, 1, 0] * su, j[:, 1, 1] * sv).reshape(shape)
    return out


def add_plane(dataset: xr.Dataset, plane_map: PlaneMap, *, measure: str | None = None,
              half_width: int | None = None) -> xr.Dataset:
    """`dataset` (one frame (y, x) or a sequence (frame, y, x)) with the plane's x_mm, y_mm,
    u_mm, v_mm, sigma_u_mm, sigma_v_mm and the strains fitted in plane coordinates
    exx_plane, eyy_plane, exy_plane beside the pixel ones.

    `measure` and `half_width` (grid points) default to the run's strain measure and window.
    """
    import xarray as xr

    settings = _settings_of(dataset)
    measure = measure or str(settings.get("strain_measure", "green-lagrange"))
    if half_width is None:
        step = max(1, int(settings.get("step", 1)))
        half_width = max(1, round(int(settings.get("strain_window", step)) / step))
    grid = dataset["u"].dims
    xs, ys = np.meshgrid(dataset["x"].values, dataset["y"].values)
    u = dataset["u"].values
    v = dataset["v"].values
    frames = u.reshape((-1,) + xs.shape)
    names = ("x_mm", "y_mm", "u_mm", "v_mm", "sigma_u_mm", "sigma_v_mm",
             "exx_plane", "eyy_plane", "exy_plane")
    results: dict[str, list[np.ndarray]] = {name: [] for name in names}
    sigma_u = dataset["sigma_u"].values.reshape(frames.shape) if "sigma_u" in dataset else None
    sigma_v = dataset["sigma_v"].values.reshape(frames.shape) if "sigma_v" in dataset else None
    for k in range(frames.shape[0]):
        mapped = map_frame(plane_map, xs, ys, frames[k], v.reshape(frames.shape)[k],
                           None if sigma_u is None else sigma_u[k],
                           None if sigma_v is None else sigma_v[k])
        h = gradients(mapped["x_mm"], mapped["y_mm"], mapped["u_mm"], mapped["v_mm"],
                      half_width)
        exx, eyy, exy = strain_from_gradients(h, measure)
        mapped.update(exx_plane=exx, eyy_plane=eyy, exy_plane=exy)
        for name in names:
            if name in mapped:
                results[name].append(mapped[name])
    units = {"x_mm": "mm", "y_mm": "mm", "u_mm": "mm", "v_mm": "mm", "sigma_u_mm": "mm",
             "sigma_v_mm": "mm", "exx_plane": "1", "eyy_plane": "1", "exy_plane": "1"}
    meanings = {"x_mm": "x on the specimen plane (reference position)",
                "y_mm": "y on the specimen plane (reference position)",
                "u_mm": "displacement along the plane's x", "v_mm": "displacement along the "
                "plane's y", "sigma_u_mm": "one-sigma uncertainty of u_mm",
                "sigma_v_mm": "one-sigma uncertainty of v_mm",
                "exx_plane": f"strain tensor xx in plane coordinates ({measure})",
                "eyy_plane": f"strain tensor yy in plane coordinates ({measure})",
                "exy_plane": f"strain tensor xy in plane coordinates ({measure})"}
    dropped = [n for n in ("x_mm", "y_mm") if n in dataset.coords]
    out = dataset.drop_vars(dropped + [n for n in names if n in dataset.data_vars])
    assigned: dict[str, Any] = {}
    for name, arrays in results.items():
        if not arrays:
            continue
        values = np.stack(arrays).reshape(u.shape)
        assigned[name] = xr.Variable(grid, values, {"units": units[name],
                                                    "long_name": meanings[name]})
    positions = {name: assigned.pop(name) for name in ("x_mm", "y_mm") if name in assigned}
    out = out.assign(assigned)
    # Where each grid point sits on the plane does not depend on the frame: coordinates.
    out = out.assign_coords({name: (grid[-2:], variable.values.reshape(
        (-1,) + variable.shape[-2:])[0], variable.attrs) for name, variable in positions.items()})
    out.attrs["plane_map"] = describe(plane_map)
    return out


def describe(plane_map: PlaneMap) -> str:
    """One line saying how pixels became millimetres (kept in the dataset's attributes)."""
    if plane_map.pose is not None:
        kind = "pose of a target on the plane through the calibrated camera"
    else:
        kind = (f"scale {plane_map.scale:.6g} mm/px"
                + (" on undistorted pixels" if plane_map.camera is not None else ""))
    origin = ", ".join(f"{c:.6g}" for c in plane_map.origin)
    axis = ", ".join(f"{c:.6g}" for c in plane_map.axes[0])
    return f"{kind}; origin ({origin}) mm, x-axis ({axis})"


def _settings_of(dataset: xr.Dataset) -> dict[str, Any]:
    import json

    text = dataset.attrs.get("morvex_settings")
    if not isinstance(text, str):
        return {}
    try:
        value = json.loads(text)
    except json.JSONDecodeError:
        return {}
    return value if isinstance(value, dict) else {}


def rigid_motion(x: np.ndarray, y: np.ndarray, u: np.ndarray,
                 v: np.ndarray) -> tuple[np.ndarray, np.ndarray, float, float, float]:
    """The least-squares rigid motion (rotation, then translation) of the points with values
    and the displacements left once it is taken away: (u_rel, v_rel, tx, ty, angle).

    tx, ty move the valid points' centroid; angle (degrees) turns from x towards y. The
    remainder is expressed in the reference's orientation, R^T (x + u - t) - x, so a pure
    rigid motion leaves exactly nothing and the Green-Lagrange strain of what is left is the
    strain of the whole motion.
    """
    reference = np.column_stack([np.ravel(x), np.ravel(y)])
    moved = reference + np.column_stack([np.ravel(u), np.ravel(v)])
    ok = np.all(np.isfinite(reference), axis=1) & np.all(np.isfinite(moved), axis=1)
    if ok.sum() < 2:
        nan = np.full(np.shape(u), np.nan)
        return nan, nan.copy(), math.nan, math.nan, math.nan
    p_mean = reference[ok].mean(axis=0)
    q_mean = moved[ok].mean(axis=0)
    a = reference[ok] - p_mean
    b = moved[ok] - q_mean
    angle = math.atan2(float(np.sum(a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0])),
                       float(np.sum(a[:, 0] * b[:, 0] + a[:, 1] * b[:, 1])))
    c, s = math.cos(angle), math.sin(angle)
    rotation = np.array([[c, -s], [s, c]])
    # Undo the motion about the centroid: back to the reference's place and orientation.
    back = (moved - q_mean) @ rotation + p_mean
    rest = back - reference
    rest[~ok] = np.nan
    shift = q_mean - p_mean
    return (rest[:, 0].reshape(np.shape(u)), rest[:, 1].reshape(np.shape(u)),
            float(shift[0]), float(shift[1]), math.degrees(angle))


def remove_rigid_motion(dataset: xr.Dataset) -> xr.Dataset:
    """`dataset` with each frame's rigid motion taken out of its displacements: u_rel, v_rel
    (px) beside u, v, and u_mm_rel, v_mm_rel beside u_mm, v_mm on a plane; each frame's
    motion as rigid_tx, rigid_ty, rigid_angle (and rigid_tx_mm, ... on a plane). The strains
    are left as they are."""
    import xarray as xr

    out = dataset
    grid = dataset["u"].dims
    frames_dims = grid[:-2]
    pairs: list[tuple[str, str, str, str, Any]] = [
        ("", "u", "v", "px", np.meshgrid(dataset["x"].values, dataset["y"].values))]
    if "u_mm" in dataset and "x_mm" in dataset and dataset["x_mm"].dims == grid:
        pairs.append(("_mm", "u_mm", "v_mm", "mm", None))
    for suffix, un, vn, unit, positions in pairs:
        u = dataset[un].values
        shape = u.shape[-2:]
        u_frames = u.reshape((-1,) + shape)
        v_frames = dataset[vn].values.reshape(u_frames.shape)
        if positions is None:
            xs_frames = dataset["x_mm"].values.reshape(u_frames.shape)
            ys_frames = dataset["y_mm"].values.reshape(u_frames.shape)
        else:
            xs_frames = np.broadcast_to(positions[0], u_frames.shape)
            ys_frames = np.broadcast_to(positions[1], u_frames.shape)
        rel_u, rel_v, motion = [], [], []
        for k in range(u_frames.shape[0]):
            ru, rv, tx, ty, angle = rigid_motion(xs_frames[k], ys_frames[k], u_frames[k],
                                                 v_frames[k])
            rel_u.append(ru)
            rel_v.append(rv)
            motion.append((tx, ty, angle))
        table = np.asarray(motion).reshape(u.shape[:-2] + (3,))
        out = out.assign({
            f"u{suffix}_rel": xr.Variable(grid, np.stack(rel_u).reshape(u.shape), {
                "units": unit, "long_name": f"{un} with the frame's rigid motion removed"}),
            f"v{suffix}_rel": xr.Variable(grid, np.stack(rel_v).reshape(u.shape), {
                "units": unit, "long_name": f"{vn} with the frame's rigid motion removed"}),
            f"rigid_tx{suffix}": xr.Variable(frames_dims, table[..., 0], {
                "units": unit, "long_name": "rigid translation along x (the points' centroid)"}),
            f"rigid_ty{suffix}": xr.Variable(frames_dims, table[..., 1], {
                "units": unit, "long_name": "rigid translation along y (the points' centroid)"}),
            f"rigid_angle{suffix}": xr.Variable(frames_dims, table[..., 2], {
                "units": "degree", "long_name": "rigid rotation from x towards y"}),
        })
    return out


@functools.lru_cache(maxsize=8)
def _cached_map(camera: str | None, plane: str | None, scale: float | None,
                between: tuple[float, ...] | None, origin: tuple[float, ...] | None,
                axis: tuple[float, ...] | None, y_up: bool) -> PlaneMap | None:
    from .camera import read_camera
    from .io import load_image

    lens = None if camera is None else read_camera(camera)
    plane_map: PlaneMap | None = None
    if plane is not None:
        assert lens is not None
        if lens.target is None:
            raise MorvexError(f"camera file {camera} does not say which target it was "
                              "calibrated with (source: target, pattern, spacing_mm, and "
                              "marker_mm, dictionary for a ChArUco board), which plane needs")
        kind, pattern, spacing = lens.target
        marker, dictionary = lens.charuco or (None, DEFAULT_DICTIONARY)
        plane_map = plane_from_target(lens, load_image(plane), target=kind, pattern=pattern,
                                      spacing=spacing, marker=marker, dictionary=dictionary)
    elif scale is not None:
        assert between is not None
        plane_map = plane_from_length(scale, between, lens)
    if plane_map is not None and origin is not None and axis is not None:
        plane_map = plane_map.with_axes(origin, axis, y_up=y_up)
    elif plane_map is not None and y_up:
        plane_map = dataclasses.replace(plane_map, axes=np.diag([1.0, -1.0]))
    return plane_map


def plane_map_for(settings: Settings) -> PlaneMap | None:
    """The map a run's settings ask for (read once per process), or None without a plane."""
    if not settings.on_plane:
        return None
    return _cached_map(settings.camera, settings.plane, settings.scale, settings.between,
                       settings.origin, settings.axis, settings.y_up)


def apply_settings(dataset: xr.Dataset, settings: Settings) -> xr.Dataset:
    """A measured frame (or sequence) with what the settings add beside the pixel fields:
    the specimen plane's millimetres and strains, the rigid motion taken out, and the
    strain measures."""
    plane_map = plane_map_for(settings)
    if plane_map is not None:
        dataset = add_plane(dataset, plane_map)
    if settings.remove_rigid_motion:
        dataset = remove_rigid_motion(dataset)
    if settings.strain_measures:
        from .strain_measures import add_strain_measures

        dataset = add_strain_measures(dataset)
    return dataset
