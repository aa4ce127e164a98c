"""Seeds at the package's boundary: explicit seeds (x, y[, u, v]) from Python, TOML and
--seed, refused by name when they cannot start anything; feature seeds for a turned card."""

import numpy as np
import pytest

import morvex
from morvex import _guided
from morvex.settings import Settings

SIZE = 160


@pytest.fixture(scope="module")
def shifted_pair():
    """A speckle image and a copy shifted 30 px along x: far beyond a search range of 3 px."""
    image = _guided.generate_speckle(SIZE, SIZE, 3, 0.6, 11)
    return image, _guided.deform_image(image, 30.0, 0.0, 0.0, 0.0, 0.0, 0.0)


def test_feature_seeds_default_is_the_library_s():
    assert Settings().feature_seeds == _guided.DEFAULTS["feature_seeds"] == "auto"
    assert Settings().seeds == ()


def test_a_seed_with_a_start_reaches_beyond_the_search(shifted_pair):
    reference, deformed = shifted_pair
    common = dict(subset=21, step=10, search_range=3, feature_seeds="off")
    alone = morvex.correlate(reference, deformed, **common)
    assert int(alone.valid.sum()) == 0
    seeded = morvex.correlate(reference, deformed, seeds=[(60, 80, 30, 0)], **common)
    u = seeded.u.values[seeded.valid.values]
    assert u.size > 0.7 * seeded.valid.size
    np.testing.assert_allclose(u, 30.0, atol=0.05)
    assert seeded.attrs["feature_seeds"] == "off"


def test_a_card_turned_by_a_right_angle_is_measured_from_feature_seeds():
    card = _guided.generate_speckle(120, 120, 3, 0.6, 12)
    reference = np.full((160, 160), 20.0)
    reference[20:140, 20:140] = card
    deformed = np.rot90(reference).copy()  # exact: turned about the frame's centre
    ds = morvex.correlate(reference, deformed, subset=21, step=8)
    valid = ds.valid.values
    assert valid.sum() > 100
    x, y = np.meshgrid(ds.x.values, ds.y.values)
    c = (SIZE - 1) / 2
    # np.rot90 turns counter-clockwise as shown: (x, y) goes to (y, 2c - x).
    np.testing.assert_allclose(ds.u.values[valid], (y - x)[valid], atol=0.05)
    np.testing.assert_allclose(ds.v.values[valid], (2 * c - x - y)[valid], atol=0.05)


BAD_SEEDS = [
    ([(500, 3)], None, "seed (x, y) = (500, 3) lies outside the 160 x 160 px image"),
    ([(10, 20), (-1, 5)], None, "seed (x, y) = (-1, 5) lies outside the 160 x 160 px image"),
    ([(5, 5)], "frame", "seed (x, y) = (5, 5) lies on the mask's background"),
    ([(1, 2, 3)], None, "a seed must be (x, y) or (x, y, u, v) finite numbers, got (1, 2, 3)"),
    ([(1, float("nan"))], None,
     "a seed must be (x, y) or (x, y, u, v) finite numbers, got (1, nan)"),
    ([(True, 2)], None, "a seed must be (x, y) or (x, y, u, v) numbers, got (True, 2)"),
    ("x", None, "a seed must be (x, y) or (x, y, u, v) numbers, got 'x'"),
    (3, None, "seeds must be a list of (x, y) or (x, y, u, v), got 3"),
]


@pytest.mark.parametrize(("seeds", "mask", "message"), BAD_SEEDS)
def test_bad_seeds_are_refused_by_name(shifted_pair, seeds, mask, message):
    reference, deformed = shifted_pair
    specimen = None
    if mask == "frame":
        specimen = np.zeros((SIZE, SIZE), bool)
        specimen[20:140, 20:140] = True
    with pytest.raises(morvex.MorvexError) as error:
        morvex.correlate(reference, deformed, subset=21, step=10, mask=specimen, seeds=seeds)
    assert str(error.value) == message


def test_bad_feature_seeds_value_is_refused(shifted_pair):
    with pytest.raises(morvex.MorvexError, match="feature_seeds must be one of auto, on, off, "
                                                 "got 'maybe'"):
        morvex.correlate(*shifted_pair, subset=21, feature_seeds="maybe")


def test_cli_seed_flags(run_cli, shifted_pair, tmp_path):
    import tifffile

    for name, image in zip(("ref.tif", "def.tif"), shifted_pair, strict=True):
        tifffile.imwrite(tmp_path / name, image.astype(np.float32))
    args = ["run", tmp_path / "ref.tif", tmp_path / "def.tif", "--subset", "21", "--step", "10",
            "--search-range", "3", "--feature-seeds", "off", "-q"]
    code, out, err = run_cli(*args, "-o", tmp_path / "a.zarr", "--seed", "60,80,30,0")
    assert code == 0, err
    ds = morvex.open_store(tmp_path / "a.zarr")
    assert float(ds.valid.values[-1].mean()) > 0.7
    for flag, message in [("500,3", "seed (x, y) = (500, 3) lies outside the 160 x 160 px image"),
                          ("1,2,3", "'1,2,3' is not X,Y or X,Y,U,V (finite numbers, px)")]:
        code, out, err = run_cli(*args, "-o", tmp_path / "b.zarr", "--seed", flag)
        assert code == 2
        assert len(err.strip().splitlines()) == 1 and message in err, err
