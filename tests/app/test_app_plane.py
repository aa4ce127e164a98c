"""Millimetres on the specimen from the page: a camera calibrated from target views in the
project folder, a known length, and the files it takes kept inside the folder."""

from __future__ import annotations

import json
import pathlib

import numpy as np
import pytest
import tifffile
from playwright.sync_api import expect

import morvex
from morvex._errors import MorvexError
from morvex.app.paths import Root
from morvex.app.project import Project
from morvex.camera import Camera
from morvex.synthetic_camera import chessboard_texture, render_plane, target_poses

from .helpers import open_project, run_to, set_number
from .test_app_view import _choose, _picture

# The test sequence's size: the views are taken with the same sensor.
TRUE = Camera(np.array([[300.0, 0.0, 121.0], [0.0, 301.0, 99.0], [0.0, 0.0, 1.0]]),
              np.array([-0.02, 0.0, 0.0, 0.0, 0.0]), (240, 200))


@pytest.mark.app
def test_calibrate_in_the_folder_then_run_with_a_known_length(browser, root: pathlib.Path
                                                               ) -> None:
    page = browser
    (root / "views").mkdir()
    board = chessboard_texture((7, 5), 4.0)
    for k, (rotation, translation) in enumerate(target_poses(TRUE, 10, (7, 5), 4.0, 130.0,
                                                             seed=4)):
        tifffile.imwrite(root / "views" / f"v{k}.tif", render_plane(
            TRUE, rotation, translation, board, supersample=2, noise=0.5, seed=k))
    open_project(page)
    page.get_by_test_id("plane-card").click()
    # A ChArUco board's marker inputs show only when that target is chosen.
    expect(page.get_by_test_id("calibrate-marker")).to_be_hidden()
    page.get_by_test_id("calibrate-views").fill("views/*.tif")
    page.get_by_test_id("calibrate-pattern").fill("7x5")
    set_number(page, "calibrate-spacing", 4)
    page.get_by_test_id("calibrate").click()
    expect(page.get_by_test_id("calibration-report")).to_contain_text("reprojection RMS",
                                                                      timeout=120_000)
    expect(page.get_by_test_id("plane-camera")).to_have_value("camera.json")
    written = json.loads((root / "camera.json").read_text())
    assert written["camera_matrix"][0][0] == pytest.approx(300.0, rel=0.01)
    assert (root / "camera.png").is_file()
    # A known length instead of the target's pose: 12 mm between two points 120 px apart.
    set_number(page, "plane-scale", 12)
    # The length's ends drawn on the picture with the Scale line tool, then typed exactly.
    _choose(page, "Scale line (known length)")
    picture = _picture(page)
    page.mouse.move(picture["x"] + 0.25 * picture["width"], picture["y"] + 0.5 * picture["height"])
    page.mouse.down()
    page.mouse.move(picture["x"] + 0.75 * picture["width"], picture["y"] + 0.5 * picture["height"],
                    steps=4)
    page.mouse.up()
    drawn = page.get_by_test_id("plane-between")
    expect(drawn).not_to_have_value("")
    x0, y0, x1, y1 = (float(v) for v in drawn.input_value().split(","))
    assert abs(x0 - 60) < 3 and abs(x1 - 180) < 3 and abs(y0 - 100) < 3 and abs(y1 - y0) < 1
    drawn.fill("60,100,180,100")
    drawn.press("Tab")
    run_to(page, "done")
    store = morvex.open_store(root / "results.zarr")
    assert "u_mm" in store and "x_mm" in store
    kept = json.loads((root / "results.zarr" / "morvex_app.json").read_text())["plane"]
    assert (kept["camera"], kept["scale"], kept["between"]) == ("camera.json", 12, "60,100,180,100")


def test_plane_files_stay_inside_the_folder_and_go_together(root: pathlib.Path) -> None:
    project = Project(Root(root))
    outside = root.parent / "elsewhere.json"
    outside.write_text("{}")
    (root / "link.json").symlink_to(outside)
    for name, message in (("../elsewhere.json", "climbs out"), ("link.json", "outside"),
                          ("/etc/passwd", "absolute")):
        project.plane["camera"] = name
        with pytest.raises(MorvexError, match=message):
            project.plane_settings()
    project.plane.update(camera=None, plane="frames/img_000.tif")
    with pytest.raises(MorvexError, match="plane needs camera"):
        project.plane_settings()
    project.plane.update(plane=None, scale=5.0)
    with pytest.raises(MorvexError, match="between"):
        project.plane_settings()
    project.plane.update(between="0,0,10,0", remove_rigid_motion=True)
    assert project.plane_settings() == {"scale": 5.0, "between": "0,0,10,0",
                                        "remove_rigid_motion": True}


def test_calibrate_in_the_folder_from_charuco_views(root: pathlib.Path) -> None:
    from morvex.app.cards.plane import calibrate_in_folder
    from morvex.app.state import PageState
    from morvex.synthetic_camera import charuco_texture

    # A sensor large enough for the markers' bits to be two pixels or more wide.
    camera = Camera(np.array([[450.0, 0.0, 201.0], [0.0, 452.0, 149.0], [0.0, 0.0, 1.0]]),
                    np.array([-0.03, 0.0, 0.0, 0.0, 0.0]), (400, 300))
    (root / "views").mkdir()
    board = charuco_texture((10, 7), 14.0, 10.0)
    for k, (rotation, translation) in enumerate(target_poses(camera, 4, (11, 8), 14.0, 300.0,
                                                             seed=2)):
        tifffile.imwrite(root / "views" / f"v{k}.tif", render_plane(
            camera, rotation, translation, board, supersample=2, noise=0.5, seed=k))
    page = PageState(Root(root))
    written, lines = calibrate_in_folder(page, "views/*.tif", "charuco", "10x7", 14.0, 10.0, "")
    assert "reprojection RMS" in lines[0] and "4 of 4 views" in lines[0]
    source = json.loads((root / written).read_text())["source"]
    assert (source["target"], source["marker_mm"], source["dictionary"]) == \
        ("charuco", 10.0, "DICT_5X5_100")
    with pytest.raises(MorvexError, match="needs its marker side"):
        calibrate_in_folder(page, "views/*.tif", "charuco", "10x7", 14.0, None, "")
