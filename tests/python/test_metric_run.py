"""Runs measured onto the specimen plane: settings, datasets, stores and exports."""

import json

import numpy as np
import pytest

import morvex
from conftest import PACKAGE_SETTINGS
from morvex._errors import MorvexError
from morvex.settings import Settings


@pytest.fixture(scope="module")
def pair():
    return morvex.synthetic_pair(shape=(96, 96), u=0.3, v=-0.2)


def test_a_scaled_run_with_axes_gives_millimetres_beside_pixels(pair):
    ds = morvex.correlate(pair.reference, pair.deformed, **PACKAGE_SETTINGS, scale=10.0,
                          between=(0, 0, 100, 0), origin=(10, 10), axis=(100, 10), y_up=True,
                          remove_rigid_motion=True, strain_measures=True)
    ok = ds["valid"].values
    # 0.1 mm per px; y up the image: v_mm = -0.1 v.
    np.testing.assert_allclose(ds["u_mm"].values[ok], 0.1 * ds["u"].values[ok], atol=1e-12)
    np.testing.assert_allclose(ds["v_mm"].values[ok], -0.1 * ds["v"].values[ok], atol=1e-12)
    np.testing.assert_allclose(ds["x_mm"].values[0], 0.1 * (ds["x"].values - 10), atol=1e-12)
    # The centroid's motion is reported and taken out; the stretch stays.
    assert float(ds["rigid_tx"]) == pytest.approx(float(np.nanmean(ds["u"].values)))
    assert float(np.nanmean(ds["u_rel"].values)) == pytest.approx(0.0, abs=1e-9)
    assert float(np.nanmean(ds["v_rel"].values)) == pytest.approx(0.0, abs=1e-9)
    assert ds["u_mm"].attrs["units"] == "mm" and ds["e1_angle"].attrs["units"] == "degree"
    assert "exx_plane" in ds and "von_mises_plane" in ds and "u" in ds


@pytest.mark.parametrize("values, message", [
    ({"plane": "p.tif"}, "plane needs camera"),
    ({"scale": 3.0}, "scale (mm) and between"),
    ({"between": (0, 0, 1, 1)}, "scale (mm) and between"),
    ({"scale": 3.0, "between": (0, 0, 1, 1), "origin": (1, 1)}, "origin and axis go together"),
    ({"origin": (1, 1), "axis": (2, 1)}, "need a plane"),
    ({"scale": 3.0, "between": (0, 0, 1, 1), "scale_mm_per_px": 0.1}, "plain scale"),
    ({"scale": 3.0, "between": "0,0,1"}, "between must be X0,Y0,X1,Y1"),
    ({"origin": (1, float("nan")), "axis": (2, 1)}, "origin must be X,Y"),
    ({"remove_rigid_motion": "yes"}, "True or False"),
])
def test_plane_settings_that_do_not_go_together_are_refused(values, message):
    with pytest.raises(MorvexError, match=message.replace("(", r"\(").replace(")", r"\)")):
        Settings.build(**values)


def test_a_camera_of_another_size_is_refused_before_any_work(tmp_path, pair):
    camera = tmp_path / "camera.json"
    camera.write_text(json.dumps({
        "camera_matrix": [[100.0, 0, 50], [0, 100.0, 50], [0, 0, 1]],
        "dist_coeffs": [0.0, 0, 0, 0, 0], "image_size": [640, 480]}))
    with pytest.raises(MorvexError, match="calibrated at 640 x 480"):
        morvex.correlate(pair.reference, pair.deformed, **PACKAGE_SETTINGS, camera=camera,
                         scale=1.0, between=(0, 0, 10, 0))


def test_run_flags_reach_the_store_and_its_export(tmp_path, frame_files, run_cli):
    store = tmp_path / "run.zarr"
    code, out, err = run_cli("run", frame_files / "f0.tif", frame_files / "f1.tif",
                             frame_files / "f2.tif", "-o", store, "--subset", "21", "--step",
                             "8", "--scale", "5", "--between", "0,0,100,0",
                             "--remove-rigid-motion", "-q")
    assert code in (0, None), err
    ds = morvex.open_store(store)
    assert ds["rigid_tx"].dims == ("frame",) and ds["x_mm"].dims == ("y", "x")
    np.testing.assert_allclose(ds["u_mm"].values, 0.05 * ds["u"].values, atol=1e-12)
    path = morvex.to_csv(ds, tmp_path / "run.csv")
    header = path.read_text().splitlines()[0]
    assert "u_mm [mm]" in header and "u_rel [px]" in header


def test_a_run_through_a_calibrated_lens_measures_the_plane_stretch(tmp_path, run_cli):
    """The command line end to end: a camera file, the target lying on a tilted specimen, and
    a speckled plane stretched 0.4 % along its own x, seen through a lens with 1 % distortion
    at the corners; the plane's strain comes out as the stretch, not as the tilt's foreshortening
    or the lens's barrel."""
    import math

    import tifffile

    from morvex.camera import Camera, write_camera
    from morvex.synthetic_camera import (
        chessboard_texture,
        look_at,
        render_plane,
        rotation_matrix,
        speckle_texture,
    )

    camera = Camera(np.array([[450.0, 0.0, 201.3], [0.0, 452.0, 148.7], [0.0, 0.0, 1.0]]),
                    np.array([-0.032, 0.0, 0.0, 0.0, 0.0]), (400, 300),
                    ("chessboard", (9, 6), 8.0))
    write_camera(tmp_path / "camera.json", camera)
    tilt = rotation_matrix(0.0, math.radians(12.0), 0.0)
    place = look_at(camera, tilt, 150.0, (200.0, 150.0), (0.0, 0.0))
    speckle = speckle_texture(1.0, 0.3, seed=2)

    def stretched(x, y):
        return speckle(x / 1.004, y)

    for name, texture in (("ref.tif", speckle), ("def.tif", stretched)):
        tifffile.imwrite(tmp_path / name, render_plane(camera, tilt, place, texture,
                                                       supersample=2, noise=0.5, seed=len(name)))
    board = chessboard_texture((9, 6), 8.0)
    tifffile.imwrite(tmp_path / "target.tif", render_plane(
        camera, tilt, place - tilt @ np.array([32.0, 20.0, 0.0]), board, supersample=3))
    store = tmp_path / "plane.zarr"
    code, _, err = run_cli("run", tmp_path / "ref.tif", tmp_path / "def.tif", "-o", store,
                           "--camera", tmp_path / "camera.json", "--plane", tmp_path / "target.tif",
                           "--subset", "31", "--step", "14", "-q")
    assert code in (0, None), err
    last = morvex.open_store(store).isel(frame=-1)
    ok = last["valid"].values
    assert ok.mean() > 0.8
    # The board's axes may come out either way round; the stretch lies along one of them.
    strains = sorted(abs(float(np.median(last[name].values[ok])))
                     for name in ("exx_plane", "eyy_plane"))
    assert strains[1] == pytest.approx(0.004, abs=2e-4)
    assert strains[0] == pytest.approx(0.0, abs=2e-4)
