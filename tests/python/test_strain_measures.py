"""Strain measures from a known tensor, and the rigid motion taken out of a field."""

import math

import numpy as np
import pytest
import xarray as xr

from morvex._errors import MorvexError
from morvex.metric import gradients, rigid_motion, strain_from_gradients
from morvex.strain_measures import add_strain_measures, logarithmic, principal


@pytest.mark.parametrize("exx, eyy, exy", [
    (0.01, -0.002, 0.003), (-0.004, 0.006, -0.001), (0.002, 0.002, 0.0), (0.0, 0.0, 0.005)])
def test_principal_strains_are_the_tensors_eigen_decomposition(exx, eyy, exy):
    tensor = np.array([[exx, exy], [exy, eyy]])
    values, vectors = np.linalg.eigh(tensor)
    got = principal(exx, eyy, exy)
    assert got["e1"] == pytest.approx(values[1], abs=1e-15)
    assert got["e2"] == pytest.approx(values[0], abs=1e-15)
    assert got["max_shear"] == pytest.approx((values[1] - values[0]) / 2, abs=1e-15)
    if values[1] > values[0]:
        direction = np.array([math.cos(math.radians(got["e1_angle"])),
                              math.sin(math.radians(got["e1_angle"]))])
        np.testing.assert_allclose(tensor @ direction, values[1] * direction, atol=1e-15)
        assert -90.0 < got["e1_angle"] <= 90.0


def test_pure_shear_turns_45_degrees_and_uniaxial_von_mises_is_the_stretch():
    assert principal(0.0, 0.0, 0.004)["e1_angle"] == pytest.approx(45.0)
    assert principal(0.0, 0.0, -0.004)["e1_angle"] == pytest.approx(-45.0)
    # An incompressible bar pulled along x: e2 = -e1 / 2, the equivalent strain is e1.
    assert principal(0.01, -0.005, 0.0)["von_mises"] == pytest.approx(0.01)


@pytest.mark.parametrize("stretch", [1.2, 0.9, 1.0])
def test_logarithmic_strain_of_a_stretch(stretch):
    green = (stretch**2 - 1) / 2
    got = logarithmic(green, 0.0, 0.0, "green-lagrange")
    assert got["exx_log"] == pytest.approx(math.log(stretch), abs=1e-15)
    assert got["eyy_log"] == pytest.approx(0.0, abs=1e-15)
    engineering = logarithmic(stretch - 1, 0.0, 0.0, "engineering")
    assert engineering["exx_log"] == pytest.approx(math.log(stretch), abs=1e-15)


def test_logarithmic_strain_turns_with_the_tensor():
    # A stretch of 1.1 along 30 degrees, as a Green-Lagrange tensor in x, y.
    angle = math.radians(30.0)
    axis = np.array([math.cos(angle), math.sin(angle)])
    green = 0.5 * (1.1**2 - 1) * np.outer(axis, axis)
    got = logarithmic(green[0, 0], green[1, 1], green[0, 1], "green-lagrange")
    expected = math.log(1.1) * np.outer(axis, axis)
    assert got["exx_log"] == pytest.approx(expected[0, 0], abs=1e-14)
    assert got["exy_log"] == pytest.approx(expected[0, 1], abs=1e-14)
    assert math.isnan(logarithmic(-0.6, 0.0, 0.0, "green-lagrange")["exx_log"])
    with pytest.raises(MorvexError, match="strain measure"):
        logarithmic(0.0, 0.0, 0.0, "true")


def test_strain_measures_join_the_dataset_with_units():
    rng = np.random.default_rng(2)
    values = {name: (("y", "x"), rng.normal(0, 1e-3, (3, 4))) for name in ("exx", "eyy", "exy")}
    dataset = add_strain_measures(xr.Dataset(values), "engineering")
    assert dataset["e1_angle"].attrs["units"] == "degree"
    assert dataset["von_mises"].attrs["units"] == "1"
    np.testing.assert_array_less(dataset["e2"].values, dataset["e1"].values + 1e-18)
    assert "e1_plane" not in dataset


def _grid():
    xs, ys = np.meshgrid(np.arange(0.0, 200.0, 10.0), np.arange(0.0, 150.0, 10.0))
    return xs, ys


def test_removing_a_pure_rotation_leaves_nothing_and_the_strain_unchanged():
    xs, ys = _grid()
    angle = math.radians(3.0)
    c, s = math.cos(angle), math.sin(angle)
    u = c * xs - s * ys + 4.0 - xs
    v = s * xs + c * ys - 2.5 - ys
    u[2, 3] = np.nan  # an invalid point takes no part and stays invalid
    v[2, 3] = np.nan
    rel_u, rel_v, tx, ty, turned = rigid_motion(xs, ys, u, v)
    assert turned == pytest.approx(3.0, abs=1e-12)
    np.testing.assert_allclose(np.nan_to_num(rel_u), 0.0, atol=1e-11)
    np.testing.assert_allclose(np.nan_to_num(rel_v), 0.0, atol=1e-11)
    assert math.isnan(rel_u[2, 3])
    # The centroid's own motion.
    ok = np.isfinite(u)
    assert tx == pytest.approx(u[ok].mean(), abs=1e-12)
    assert ty == pytest.approx(v[ok].mean(), abs=1e-12)
    # Green-Lagrange strain of the whole motion and of what is left agree (zero here).
    whole = strain_from_gradients(gradients(xs, ys, u, v, 1), "green-lagrange")
    left = strain_from_gradients(gradients(xs, ys, rel_u, rel_v, 1), "green-lagrange")
    for a, b in zip(whole, left, strict=True):
        np.testing.assert_allclose(np.nan_to_num(a), np.nan_to_num(b), atol=1e-12)


def test_rigid_motion_on_top_of_a_stretch_leaves_the_stretch():
    xs, ys = _grid()
    angle = math.radians(-2.0)
    c, s = math.cos(angle), math.sin(angle)
    stretched_x = xs + 0.002 * (xs - xs.mean())
    u = c * stretched_x - s * ys + 1.0 - xs
    v = s * stretched_x + c * ys + 0.5 - ys
    rel_u, rel_v, *_, turned = rigid_motion(xs, ys, u, v)
    assert turned == pytest.approx(-2.0, abs=1e-9)
    np.testing.assert_allclose(rel_u, 0.002 * (xs - xs.mean()), atol=1e-9)
    np.testing.assert_allclose(rel_v, 0.0, atol=1e-9)


def test_plane_fit_gradients_of_a_linear_field_with_holes():
    xs, ys = _grid()
    u = 0.01 * xs - 0.004 * ys + 3.0
    v = 0.002 * xs + 0.006 * ys
    u[5, 5] = np.nan
    h = gradients(xs, ys, u, v, 2)
    np.testing.assert_allclose(h[4, 4], [[0.01, -0.004], [0.002, 0.006]], atol=1e-12)
    assert np.all(np.isnan(h[5, 5]))
    with pytest.raises(MorvexError, match="strain window"):
        gradients(xs, ys, u, v, 0)
