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
