"""ChArUco boards in calibration: boards drawn by OpenCV's own code, seen in code through a
camera whose lens is known exactly (about 1 % radial distortion at the sensor's corners)."""

import json

import numpy as np
import pytest

from morvex import _guided
from morvex._errors import MorvexError
from morvex.camera import MIN_CHARUCO_CORNERS, Camera, calibrate, camera_from_dict, read_camera
from morvex.metric import plane_from_target
from morvex.synthetic_camera import charuco_texture, render_plane, target_poses

TRUE = Camera(np.array([[450.0, 0.0, 201.3], [0.0, 452.0, 148.7], [0.0, 0.0, 1.0]]),
              np.array([-0.032, 0.0, 0.0, 0.0, 0.0]), (400, 300))
SQUARES = (10, 7)
SQUARE = 14.0
MARKER = 10.0
DISTANCE = 300.0
# Corners of the whole board: (columns - 1) x (rows - 1) inner ones.
ALL_CORNERS = (SQUARES[0] - 1) * (SQUARES[1] - 1)


@pytest.fixture(scope="module")
def views():
    # target_poses aims at the middle of a pattern of inner corners; the board's middle is
    # that of (columns + 1) x (rows + 1) corners one square apart from its outer corner.
    poses = target_poses(TRUE, 14, (SQUARES[0] + 1, SQUARES[1] + 1), SQUARE, DISTANCE, seed=7)
    texture = charuco_texture(SQUARES, SQUARE, MARKER)
    images = [render_plane(TRUE, r, t, texture, supersample=3, noise=1.0, seed=k)
              for k, (r, t) in enumerate(poses)]
    return poses, images


@pytest.fixture(scope="module")
def calibration(views):
    return calibrate(views[1], target="charuco", pattern=SQUARES, spacing=SQUARE, marker=MARKER)


def test_the_drawn_board_is_found_corner_for_corner_where_its_geometry_says():
    scale, margin = 6.0, 30
    drawn = _guided.draw_charuco_board(*SQUARES, SQUARE, MARKER, "DICT_5X5_100", scale, margin)
    assert drawn.shape == (SQUARES[1] * SQUARE * scale + 2 * margin,
                           SQUARES[0] * SQUARE * scale + 2 * margin)
    points, ids = _guided.find_charuco_corners(drawn, *SQUARES, SQUARE, MARKER)
    objects = _guided.charuco_object_points(*SQUARES, SQUARE, MARKER)
    assert sorted(ids.tolist()) == list(range(ALL_CORNERS))
    # Corner id k is row k // (columns - 1), column k % (columns - 1), one square in.
    k = np.arange(ALL_CORNERS)
    np.testing.assert_allclose(objects[:, 0], (k % (SQUARES[0] - 1) + 1) * SQUARE)
    np.testing.assert_allclose(objects[:, 1], (k // (SQUARES[0] - 1) + 1) * SQUARE)
    np.testing.assert_allclose(points, margin + scale * objects[ids, :2] - 0.5, atol=0.1)


def test_recovers_the_intrinsics_of_the_rendering_camera(calibration):
    matrix = calibration.camera.camera_matrix
    got = [matrix[0, 0], matrix[1, 1], matrix[0, 2], matrix[1, 2]]
    np.testing.assert_allclose(got, [450.0, 452.0, 201.3, 148.7], rtol=2e-3)
    assert calibration.camera.dist_coeffs[0] == pytest.approx(-0.032, abs=3e-3)
    assert calibration.report["rms_px"] < 0.1
    assert calibration.report["left_out"] == []
    assert len(calibration.report["image_rms_px"]) == 14
    source = calibration.report["source"]
    assert (source["target"], source["marker_mm"], source["dictionary"]) == \
        ("charuco", MARKER, "DICT_5X5_100")


def test_a_partly_hidden_board_is_still_used(views, calibration):
    poses, images = views
    hidden = images[4].copy()
    hidden[:, 200:] = 128.0  # the board's right half behind something grey
    result = calibrate([hidden] + images[:3], target="charuco", pattern=SQUARES, spacing=SQUARE,
                       marker=MARKER)
    corners = result.report["source"]["corners"]
    assert result.report["left_out"] == []
    assert MIN_CHARUCO_CORNERS <= corners["array 0"] < corners["array 1"]
    assert result.report["image_rms_px"]["array 0"] < 0.15


def test_blank_and_nearly_hidden_views_are_left_out_with_the_reason(views):
    images = views[1]
    blank = np.full((300, 400), 128.0)
    result = calibrate([blank] + images[:4], target="charuco", pattern=SQUARES, spacing=SQUARE,
                       marker=MARKER)
    assert result.report["left_out"] == [
        {"image": "array 0", "reason": "no ChArUco marker was found; 6 are needed"}]
    with pytest.raises(MorvexError, match="at least 3 images, found in 1"):
        calibrate([blank, blank, images[0]], target="charuco", pattern=SQUARES, spacing=SQUARE,
                  marker=MARKER)


def test_the_plane_is_found_from_a_charuco_view_with_the_calibrated_camera(views, tmp_path):
    (rotation, translation), image = views[0][4], views[1][4]
    plane = plane_from_target(TRUE, image, target="charuco", pattern=SQUARES, spacing=SQUARE,
                              marker=MARKER)
    assert plane.pose is not None
    # Markers fix the board's own axes, so unlike a chessboard the pose is the true one.
    np.testing.assert_allclose(plane.pose[0], rotation, atol=2e-3)
    np.testing.assert_allclose(plane.pose[1], translation, rtol=2e-3)
    with pytest.raises(MorvexError, match="no ChArUco marker was found"):
        plane_from_target(TRUE, np.full((300, 400), 90.0), target="charuco", pattern=SQUARES,
                          spacing=SQUARE, marker=MARKER)


def test_the_camera_file_keeps_the_board_to_find_it_again(calibration, tmp_path):
    data = {**calibration.camera.to_json()}
    camera = camera_from_dict(json.loads(json.dumps(data)))
    assert camera.target == ("charuco", SQUARES, SQUARE)
    assert camera.charuco == (MARKER, "DICT_5X5_100")
    # Without its markers' geometry the board cannot be found again: no target for the plane.
    del data["source"]["marker_mm"]
    assert camera_from_dict(data).target is None


def test_calibrate_command_with_a_charuco_board(tmp_path, views, run_cli):
    import tifffile

    files = []
    for k, image in enumerate(views[1][:5]):
        files.append(tmp_path / f"view{k}.tif")
        tifffile.imwrite(files[-1], image.astype(np.float32))
    output = tmp_path / "camera.json"
    code, out, err = run_cli("calibrate", *files, "-o", output, "--charuco", "10x7",
                             "--square", SQUARE, "--marker", MARKER)
    assert code in (0, None), err
    data = json.loads(output.read_text())
    assert data["source"]["target"] == "charuco" and data["source"]["pattern"] == [10, 7]
    assert data["source"]["corners"][str(files[0])] == ALL_CORNERS
    assert "warning: only 5 views" in out
    assert read_camera(output).charuco == (MARKER, "DICT_5X5_100")


@pytest.mark.parametrize("args, message", [
    (("--charuco", "10x7", "--square", "14"), "needs its marker side (--marker, mm)"),
    (("--charuco", "10x7", "--square", "14", "--marker", "14"),
     "marker side 14 mm must be smaller than the square side 14 mm"),
    (("--charuco", "10x7", "--square", "14", "--marker", "-2"),
     "marker side must be a positive number of mm"),
    (("--charuco", "10x7", "--square", "14", "--marker", "10", "--dictionary", "DICT_9X9_50"),
     "unknown ArUco dictionary 'DICT_9X9_50'"),
    (("--charuco", "12x10", "--square", "14", "--marker", "10", "--dictionary", "DICT_4X4_50"),
     "a 12x10 ChArUco board has 60 markers but DICT_4X4_50 only 50 codes"),
    (("--charuco", "10x7", "--square", "14", "--marker", "10", "--dictionary",
      "DICT_APRILTAG_16h5"), "needs 35 markers but DICT_APRILTAG_16h5 has 30"),
    (("--charuco", "1x6", "--square", "14", "--marker", "10"), "at least 2x2"),
    (("--chessboard", "9x6", "--square", "14", "--marker", "10"), "--marker is a ChArUco"),
])
def test_calibrate_command_refuses_bad_charuco_geometry_in_one_line(tmp_path, run_cli, args,
                                                                    message):
    import tifffile

    image = tmp_path / "view.tif"
    tifffile.imwrite(image, np.full((30, 40), 100.0, dtype=np.float32))
    code, out, err = run_cli("calibrate", image, "-o", tmp_path / "c.json", *args)
    assert code == 2
    assert message in err and "Traceback" not in err
    assert len(err.strip().splitlines()) == 1


def test_a_run_finds_its_plane_from_the_charuco_board_its_camera_file_names(calibration, views,
                                                                            tmp_path):
    import tifffile

    from morvex.camera import write_camera
    from morvex.metric import plane_map_for
    from morvex.settings import Settings

    camera_file = tmp_path / "camera.json"
    write_camera(camera_file, calibration.camera, dict(calibration.report))
    rotation, image = views[0][6][0], views[1][6]
    plane_image = tmp_path / "plane.tif"
    tifffile.imwrite(plane_image, image.astype(np.float32))
    plane = plane_map_for(Settings.build(camera=str(camera_file), plane=str(plane_image)))
    assert plane is not None and plane.pose is not None
    np.testing.assert_allclose(plane.pose[0], rotation, atol=5e-3)
