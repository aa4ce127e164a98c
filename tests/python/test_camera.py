"""Camera calibration, the camera file, and pixels taken to millimetres on a plane: every image
is rendered in code through a camera whose lens is known exactly."""

import json
import math

import numpy as np
import pytest

from morvex import _guided
from morvex._errors import MorvexError
from morvex.camera import (
    Camera,
    calibrate,
    camera_from_dict,
    check_distance,
    coverage_warnings,
    read_camera,
)
from morvex.metric import (
    PlaneMap,
    gradients,
    map_frame,
    plane_from_length,
    plane_from_target,
    strain_from_gradients,
)
from morvex.synthetic_camera import (
    chessboard_texture,
    circle_grid_texture,
    render_plane,
    rotation_matrix,
    target_poses,
)

# About 1 % radial distortion at the sensor's corners: r^2 = 0.31 there.
TRUE = Camera(np.array([[450.0, 0.0, 201.3], [0.0, 452.0, 148.7], [0.0, 0.0, 1.0]]),
              np.array([-0.032, 0.0, 0.0, 0.0, 0.0]), (400, 300))
PATTERN = (9, 6)
SQUARE = 12.0


def _view(pose, noise=1.0, seed=0):
    return render_plane(TRUE, pose[0], pose[1], chessboard_texture(PATTERN, SQUARE),
                        supersample=3, noise=noise, seed=seed)


@pytest.fixture(scope="module")
def views():
    poses = target_poses(TRUE, 12, PATTERN, SQUARE, 330.0, seed=3)
    return poses, [_view(pose, seed=k) for k, pose in enumerate(poses)]


@pytest.fixture(scope="module")
def calibration(views):
    return calibrate(views[1], target="chessboard", pattern=PATTERN, spacing=SQUARE)


def test_recovers_the_intrinsics_of_the_rendering_camera(calibration):
    matrix = calibration.camera.camera_matrix
    for got, want in ((matrix[0, 0], 450.0), (matrix[1, 1], 452.0)):
        assert got == pytest.approx(want, rel=2e-3)
    assert matrix[0, 2] == pytest.approx(201.3, abs=1.0)
    assert matrix[1, 2] == pytest.approx(148.7, abs=1.0)
    assert calibration.camera.dist_coeffs[0] == pytest.approx(-0.032, abs=3e-3)
    assert calibration.report["rms_px"] < 0.1
    assert len(calibration.report["image_rms_px"]) == 12
    assert calibration.report["left_out"] == []


@pytest.mark.parametrize("target, pattern, asymmetric", [
    ("circles", (7, 5), False), ("asymmetric_circles", (4, 7), True)])
def test_circle_grids_calibrate_the_lens_too(target, pattern, asymmetric):
    pitch = 14.0 if not asymmetric else 9.0
    texture = circle_grid_texture(pattern, pitch, asymmetric=asymmetric)
    # Poses aimed at the grid's own centre (the chessboard's pattern has the same extent).
    extent = ((2 * pattern[0] - 1) * pitch if asymmetric else (pattern[0] - 1) * pitch,
              (pattern[1] - 1) * pitch)
    poses = target_poses(TRUE, 10, (int(extent[0] // 10) + 1, int(extent[1] // 10) + 1), 10.0,
                         330.0, seed=5)
    images = [render_plane(TRUE, r, t, texture, supersample=2, noise=1.0, seed=k)
              for k, (r, t) in enumerate(poses)]
    result = calibrate(images, target=target, pattern=pattern, spacing=pitch)
    assert len(result.points) >= 9, result.report["left_out"]
    np.testing.assert_allclose(np.diag(result.camera.camera_matrix)[:2], [450.0, 452.0],
                               rtol=5e-3)
    assert result.report["rms_px"] < 0.2


def test_calibrated_lens_corrects_points_as_the_true_one_does(calibration):
    # Points across the whole sensor, corners included, where the distortion is largest.
    xs, ys = np.meshgrid(np.linspace(5, 395, 9), np.linspace(5, 295, 7))
    pixels = np.column_stack([xs.ravel(), ys.ravel()])
    # The correction each lens model makes, in pixels through its own camera matrix: about
    # two pixels at the corners, recovered to a few hundredths.
    truth = _guided.undistort_points(pixels, TRUE.camera_matrix, TRUE.dist_coeffs, True)
    got = _guided.undistort_points(pixels, calibration.camera.camera_matrix,
                                   calibration.camera.dist_coeffs, True)
    assert np.max(np.abs(truth - pixels)) > 1.5
    assert np.max(np.abs((got - pixels) - (truth - pixels))) < 0.2


def test_undistortion_inverts_the_exact_projection():
    rotation = rotation_matrix(math.radians(10), math.radians(-5), 0.2)
    translation = np.array([-40.0, -30.0, 300.0])
    xs, ys = np.meshgrid(np.linspace(-60, 140, 11), np.linspace(-40, 100, 8))
    plane = np.column_stack([xs.ravel(), ys.ravel(), np.zeros(xs.size)])
    pixels = _guided.project_points(plane, rotation, translation, TRUE.camera_matrix,
                                    TRUE.dist_coeffs)
    camera_frame = plane @ rotation.T + translation
    exact = camera_frame[:, :2] / camera_frame[:, 2:]
    got = _guided.undistort_points(pixels, TRUE.camera_matrix, TRUE.dist_coeffs)
    assert np.max(np.abs(got - exact)) < 1e-9


def test_known_distance_on_the_first_view(calibration, views):
    rotation, translation = views[0][0]
    ends = _guided.project_points(np.array([[0.0, 0.0, 0.0], [8 * SQUARE, 5 * SQUARE, 0.0]]),
                                  rotation, translation, TRUE.camera_matrix, TRUE.dist_coeffs)
    known = math.hypot(8 * SQUARE, 5 * SQUARE)
    check = check_distance(calibration, ends.ravel().tolist(), known)
    assert abs(check["error_relative"]) < 2e-3
    with pytest.raises(MorvexError, match="distance"):
        check_distance(calibration, ends.ravel().tolist(), -1.0)


def test_few_views_are_warned_with_the_reason(views):
    result = calibrate(views[1][:5], target="chessboard", pattern=PATTERN, spacing=SQUARE)
    assert any("only 5 views" in w for w in result.report["warnings"])


@pytest.mark.parametrize("points, expected", [
    # A small patch in the middle: under half the sensor, no corner reached.
    (np.array([[150, 100], [250, 100], [250, 200], [150, 200]]), ["cover", "top-left"]),
    # The whole sensor out to its corners: nothing to say.
    (np.array([[2, 2], [398, 2], [398, 298], [2, 298]]), []),
    # A big hull that misses one corner.
    (np.array([[2, 2], [398, 2], [398, 298], [150, 298], [2, 150]]), ["bottom-left"]),
])
def test_coverage_warnings_name_what_is_missing(points, expected):
    warnings = coverage_warnings(points.astype(float), 12, (400, 300))
    text = " ".join(warnings)
    assert all(word in text for word in expected)
    if not expected:
        assert warnings == []


def test_images_without_the_target_are_left_out_with_the_reason(views):
    blank = np.full((300, 400), 128.0)
    result = calibrate([blank] + views[1][:4], pattern=PATTERN, spacing=SQUARE)
    assert result.report["left_out"][0]["image"] == "array 0"
    assert "not found" in result.report["left_out"][0]["reason"]
    with pytest.raises(MorvexError, match="at least 3 images"):
        calibrate([blank, blank, views[1][0]], pattern=PATTERN, spacing=SQUARE)


GOOD = {"camera_matrix": [[450.0, 0.0, 200.0], [0.0, 452.0, 150.0], [0.0, 0.0, 1.0]],
        "dist_coeffs": [-0.03, 0.0, 0.0, 0.0, 0.0], "image_size": [400, 300]}


@pytest.mark.parametrize("change, named", [
    ({"camera_matrix": None}, "missing key 'camera_matrix'"),
    ({"dist_coeffs": None}, "missing key 'dist_coeffs'"),
    ({"image_size": None}, "missing key 'image_size'"),
    ({"camera_matrix": [[450.0, 0.0], [0.0, 452.0]]}, "camera_matrix must be 3 x 3"),
    ({"camera_matrix": [[-1.0, 0, 200], [0, 452.0, 150], [0, 0, 1]]}, "fx, fy > 0"),
    ({"dist_coeffs": [0.1, 0.2, 0.3]}, "dist_coeffs must be 4, 5, 8, 12 or 14"),
    ({"image_size": [400]}, "image_size must be"),
    ({"image_size": [400.5, 300]}, "image_size must be"),
])
def test_bad_camera_files_are_refused_by_name(tmp_path, change, named):
    data = {k: v for k, v in {**GOOD, **change}.items() if v is not None}
    path = tmp_path / "camera.json"
    path.write_text(json.dumps(data))
    with pytest.raises(MorvexError, match=named.replace("(", r"\(").replace(")", r"\)")):
        read_camera(path)


def test_camera_file_errors_name_the_file(tmp_path):
    with pytest.raises(MorvexError, match="camera file not found"):
        read_camera(tmp_path / "missing.json")
    broken = tmp_path / "broken.json"
    broken.write_text("{ not json")
    with pytest.raises(MorvexError, match="broken.json is not readable JSON"):
        read_camera(broken)


def test_a_camera_of_another_image_size_is_refused():
    with pytest.raises(MorvexError, match="calibrated at 400 x 300"):
        camera_from_dict(GOOD).check_image((480, 640), "frame 0")


def test_a_camera_file_written_by_opencv_reads_as_is(tmp_path):
    # cv::FileStorage's JSON: matrices as opencv-matrix objects, a cv::Size as a sequence.
    text = """{
    "image_size": [ 400, 300 ],
    "camera_matrix": {
        "type_id": "opencv-matrix",
        "rows": 3,
        "cols": 3,
        "dt": "d",
        "data": [ 4.5e+02, 0., 2.0e+02, 0., 4.52e+02, 1.5e+02, 0., 0., 1. ]
    },
    "dist_coeffs": {
        "type_id": "opencv-matrix",
        "rows": 1,
        "cols": 5,
        "dt": "d",
        "data": [ -3.0e-02, 0., 0., 0., 0. ]
    }
}
"""
    path = tmp_path / "opencv.json"
    path.write_text(text)
    camera = read_camera(path)
    assert camera.camera_matrix.tolist() == GOOD["camera_matrix"]
    assert camera.dist_coeffs.tolist() == GOOD["dist_coeffs"]
    assert camera.image_size == (400, 300)


# --- pixels to the plane ---------------------------------------------------------------------

def _tilted_pose():
    rotation = rotation_matrix(math.radians(10.0), math.radians(4.0), 0.1)
    return rotation, np.array([-50.0, -35.0, 320.0])


def test_a_field_uniform_in_mm_comes_out_uniform():
    rotation, translation = _tilted_pose()
    xs, ys = np.meshgrid(np.linspace(0, 100, 21), np.linspace(0, 70, 15))
    # 0.3 % stretch along x, 0.1 % along y and a shift, all in mm on the tilted plane.
    ux = 0.4 + 0.003 * xs
    uy = -0.2 + 0.001 * ys
    project = _guided.project_points
    reference = project(np.column_stack([xs.ravel(), ys.ravel(), np.zeros(xs.size)]),
                        rotation, translation, TRUE.camera_matrix, TRUE.dist_coeffs)
    deformed = project(np.column_stack([(xs + ux).ravel(), (ys + uy).ravel(),
                                        np.zeros(xs.size)]),
                       rotation, translation, TRUE.camera_matrix, TRUE.dist_coeffs)
    px = (deformed - reference)
    # In raw pixels the same field is far from uniform: perspective and the lens.
    u_px = px[:, 0].reshape(xs.shape)
    assert np.ptp(np.gradient(u_px, axis=1)) > 1e-3
    plane = PlaneMap(camera=TRUE, pose=(rotation, translation))
    mapped = map_frame(plane, reference[:, 0].reshape(xs.shape),
                       reference[:, 1].reshape(xs.shape), u_px,
                       px[:, 1].reshape(xs.shape))
    np.testing.assert_allclose(mapped["x_mm"], xs, atol=1e-8)
    np.testing.assert_allclose(mapped["u_mm"], ux, atol=1e-8)
    np.testing.assert_allclose(mapped["v_mm"], uy, atol=1e-8)
    h = gradients(mapped["x_mm"], mapped["y_mm"], mapped["u_mm"], mapped["v_mm"], 2)
    exx, eyy, exy = strain_from_gradients(h, "engineering")
    np.testing.assert_allclose(exx, 0.003, atol=1e-9)
    np.testing.assert_allclose(eyy, 0.001, atol=1e-9)
    np.testing.assert_allclose(exy, 0.0, atol=1e-9)


def test_the_plane_found_from_a_target_image_is_the_true_one():
    rotation, translation = _tilted_pose()
    image = render_plane(TRUE, rotation, translation, chessboard_texture(PATTERN, SQUARE),
                         supersample=3)
    plane = plane_from_target(TRUE, image, pattern=PATTERN, spacing=SQUARE)
    assert plane.pose is not None
    # The board looks the same turned half a turn, so its own axes may come out reversed;
    # the plane (its normal, its distances) may not.
    np.testing.assert_allclose(plane.pose[0][:, 2], rotation[:, 2], atol=2e-3)
    ends = np.array([[0.0, 0.0, 0.0], [8 * SQUARE, 5 * SQUARE, 0.0], [3 * SQUARE, 0.0, 0.0]])
    pixels = _guided.project_points(ends, rotation, translation, TRUE.camera_matrix,
                                    TRUE.dist_coeffs)
    mapped = plane(pixels)
    for a, b in ((0, 1), (0, 2), (1, 2)):
        assert np.linalg.norm(mapped[a] - mapped[b]) == pytest.approx(
            np.linalg.norm(ends[a] - ends[b]), rel=1e-3)
    with pytest.raises(MorvexError, match="calibrated at 400 x 300"):
        plane_from_target(TRUE, image[:200], pattern=PATTERN, spacing=SQUARE)
    with pytest.raises(MorvexError, match="was not found"):
        plane_from_target(TRUE, np.full((300, 400), 100.0), pattern=PATTERN, spacing=SQUARE)


def test_axes_rotate_positions_and_displacements():
    plane = plane_from_length(10.0, (0.0, 0.0, 100.0, 0.0))  # 0.1 mm per px, y down
    turned = plane.with_axes((50.0, 50.0), (50.0, 150.0), y_up=True)
    # x runs down the image from (50, 50); y up the image is then towards +x of the image.
    np.testing.assert_allclose(turned(np.array([[50.0, 60.0], [60.0, 50.0]])),
                               [[1.0, 0.0], [0.0, 1.0]], atol=1e-12)
    mapped = map_frame(turned, np.array([50.0]), np.array([50.0]), np.array([0.0]),
                       np.array([20.0]), np.array([0.1]), np.array([0.3]))
    assert mapped["u_mm"][0] == pytest.approx(2.0)
    assert mapped["v_mm"][0] == pytest.approx(0.0, abs=1e-12)
    # The Jacobian turns the sigmas with the axes: u_mm takes v's.
    assert mapped["sigma_u_mm"][0] == pytest.approx(0.03)
    assert mapped["sigma_v_mm"][0] == pytest.approx(0.01)
    with pytest.raises(MorvexError, match="other than --origin"):
        plane.with_axes((5.0, 5.0), (5.0, 5.0))


def test_a_scale_with_a_camera_measures_undistorted_pixels():
    ends = np.array([[20.0, 150.0], [380.0, 150.0]])
    plane = plane_from_length(36.0, ends.ravel(), TRUE)
    straight = _guided.undistort_points(ends, TRUE.camera_matrix, TRUE.dist_coeffs, True)
    assert plane.scale == pytest.approx(36.0 / np.ptp(straight[:, 0]))
    mapped = plane(ends)
    assert np.hypot(*(mapped[1] - mapped[0])) == pytest.approx(36.0)
    with pytest.raises(MorvexError, match="positive number of mm"):
        plane_from_length(0.0, ends.ravel())
    with pytest.raises(MorvexError, match="two different points"):
        plane_from_length(1.0, (3.0, 3.0, 3.0, 3.0))


def test_calibrate_command_writes_the_camera_file_and_its_coverage(tmp_path, views, run_cli):
    import tifffile

    files = []
    for k, image in enumerate(views[1][:6]):
        files.append(tmp_path / f"view{k}.tif")
        tifffile.imwrite(files[-1], image.astype(np.float32))
    rotation, translation = views[0][0]
    ends = _guided.project_points(np.array([[0.0, 0.0, 0.0], [8 * SQUARE, 0.0, 0.0]]),
                                  rotation, translation, TRUE.camera_matrix, TRUE.dist_coeffs)
    output = tmp_path / "camera.json"
    code, out, err = run_cli("calibrate", *files, "-o", output, "--chessboard", "9x6",
                             "--square", SQUARE, "--check",
                             ",".join(f"{c:.4f}" for c in ends.ravel()),
                             "--distance", 8 * SQUARE)
    assert code in (0, None), err
    data = json.loads(output.read_text())
    assert np.shape(data["camera_matrix"]) == (3, 3)
    assert len(data["dist_coeffs"]) == 5 and data["image_size"] == [400, 300]
    assert data["source"]["pattern"] == [9, 6] and len(data["image_rms_px"]) == 6
    assert abs(data["check"]["error_relative"]) < 3e-3
    assert "warning: only 6 views" in out
    assert output.with_suffix(".png").stat().st_size > 0
    assert read_camera(output).image_size == (400, 300)


@pytest.mark.parametrize("args, message", [
    (("--square", "3"), "give one target"),
    (("--chessboard", "9x6", "--circles", "4x11", "--square", "3"), "give one target"),
    (("--chessboard", "nine", "--square", "3"), "COLUMNSxROWS"),
    (("--chessboard", "9x6", "--square", "3", "--check", "1,2,3"), "--check and --distance"),
    (("--chessboard", "9x6", "--square", "-3"), "positive number of mm"),
])
def test_calibrate_command_refuses_bad_input_in_one_line(tmp_path, run_cli, args, message):
    image = tmp_path / "view.tif"
    import tifffile

    tifffile.imwrite(image, np.full((30, 40), 100.0, dtype=np.float32))
    code, out, err = run_cli("calibrate", image, "-o", tmp_path / "c.json", *args)
    assert code == 2
    assert message in err and "Traceback" not in err
