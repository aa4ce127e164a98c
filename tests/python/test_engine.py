"""DICEngine from Python: the result dictionary, an end-to-end run, and run's refusals."""

import numpy as np
import pytest

# The specified module is a CPython 3.12 module: on other versions its tests skip.
dic = pytest.importorskip("_morvex_dic", reason="_morvex_dic is built for CPython 3.12 only")

KEYS = ["rows", "cols", "u", "v", "exx", "eyy", "exy", "confidence", "valid"]
SHIFT_U, SHIFT_V = 0.4, -0.3
# px: sub-pixel shifts of a dense speckle come back within a few hundredths on synthetic data.
SHIFT_TOLERANCE = 0.02


@pytest.fixture(scope="module")
def shifted_run(speckle):
    config = dic.DICConfig()
    config.subset_size, config.search_range, config.step = 21, 5, 10
    deformed = dic.translate_image(speckle, SHIFT_U, SHIFT_V)
    return dic.DICEngine().run(speckle, deformed, config)


def test_result_dictionary_keys_dtypes_and_lengths(shifted_run):
    assert list(shifted_run) == KEYS
    assert type(shifted_run["rows"]) is int and type(shifted_run["cols"]) is int
    assert (shifted_run["rows"], shifted_run["cols"]) == (9, 9)
    for key in KEYS[2:]:
        array = shifted_run[key]
        assert array.ndim == 1 and array.shape == (81,), key
        assert array.dtype == (np.uint8 if key == "valid" else np.float64), key


def test_sub_pixel_shift_is_measured(shifted_run):
    valid = shifted_run["valid"] == 1
    assert valid.mean() > 0.95
    np.testing.assert_allclose(shifted_run["u"][valid], SHIFT_U, atol=SHIFT_TOLERANCE)
    np.testing.assert_allclose(shifted_run["v"][valid], SHIFT_V, atol=SHIFT_TOLERANCE)
    assert np.all(shifted_run["confidence"][valid] > 0.9)


def test_result_round_trips_into_both_exporters(shifted_run, tmp_path):
    dic.export_csv(shifted_run, str(tmp_path / "r.csv"), 10)
    dic.export_vtk(shifted_run, str(tmp_path / "r.vtk"), 10)
    table = np.loadtxt(tmp_path / "r.csv", delimiter=",", skiprows=1)
    np.testing.assert_allclose(table[:, 4], shifted_run["u"], rtol=1e-9)
    np.testing.assert_array_equal(table[:, 10], shifted_run["valid"])


def test_runs_are_independent_of_each_other_and_of_the_inputs(speckle, small_config):
    engine = dic.DICEngine()
    deformed = dic.translate_image(speckle, 1.0, 0.0)
    first = engine.run(speckle, deformed, small_config)
    first["u"][:] = 99.0
    deformed[:] = 0.0
    engine.cancel()  # a cancel between runs is cleared when the next run starts
    second = engine.run(speckle, dic.translate_image(speckle, 1.0, 0.0), small_config)
    assert np.all(first["u"] == 99.0)
    np.testing.assert_allclose(second["u"][second["valid"] == 1], 1.0, atol=SHIFT_TOLERANCE)
    assert second["valid"].mean() > 0.95


def test_run_leaves_the_configuration_unchanged(speckle, small_config):
    small_config.seed_u_arr = [0.0] * 81
    small_config.seed_v_arr = [0.0] * 81
    dic.DICEngine().run(speckle, speckle, small_config)
    assert (small_config.step, small_config.subset_size) == (10, 21)
    assert small_config.seed_u_arr == [0.0] * 81


def test_image_too_small_for_the_grid_gives_an_empty_result(small_config):
    result = dic.DICEngine().run(np.zeros((20, 20)), np.zeros((20, 20)), small_config)
    assert (result["rows"], result["cols"]) == (0, 0)
    assert [result[key].shape for key in KEYS[2:]] == [(0,)] * 7
    assert result["valid"].dtype == np.uint8


# Fault: a step below 1 never ended the grid loops.
@pytest.mark.parametrize("step", [0, -7])
def test_step_below_one_raises_value_error(step, speckle, small_config):
    small_config.step = step
    with pytest.raises(ValueError, match="step"):
        dic.DICEngine().run(speckle, speckle, small_config)
