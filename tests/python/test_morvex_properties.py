"""Property-based tests of the morvex package: random small images and settings through
morvex.correlate give a labelled field that keeps its promises, or MorvexError."""

import math

import numpy as np
import pytest
from hypothesis import event, given, note
from hypothesis import strategies as st

import morvex
from morvex import _guided

FLOAT_VARIABLES = ("u", "v", "exx", "eyy", "exy", "zncc", "sigma_u", "sigma_v",
                   "du_dx", "du_dy", "dv_dx", "dv_dy")
# The warp and score of an accepted point; strain may be NaN where too few neighbours are valid.
FINITE_WHERE_VALID = ("u", "v", "zncc", "du_dx", "du_dy", "dv_dx", "dv_dy")
ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
PIXELS = st.floats(-1e3, 1e3) | st.sampled_from([math.nan, math.inf, -math.inf])


@st.composite
def image_pairs(draw, max_side=40):
    """A speckle and its shifted copy, or random images with NaN and infinities; mostly of
    one size, sometimes not; as float64, float32, uint8 or colour arrays."""
    sizes = st.integers(24, max_side) if draw(st.booleans()) else st.integers(0, max_side)
    rows, cols = draw(sizes), draw(sizes)
    if draw(st.booleans()):
        reference = _guided.generate_speckle(rows, cols, draw(st.integers(1, 4)), 0.6,
                                         draw(st.integers(0, 2**32 - 1)))
        deformed = _guided.deform_image(reference, draw(st.floats(-2, 2)), draw(st.floats(-2, 2)),
                                        0.0, 0.0, 0.0, 0.0)
    else:
        reference = draw(st.just(np.zeros((rows, cols))) | st.builds(
            np.array, st.lists(st.lists(PIXELS, min_size=cols, max_size=cols),
                               min_size=rows, max_size=rows)).map(lambda a: a.reshape(rows, cols)))
        deformed = reference + draw(st.floats(-5, 5))
    if draw(st.integers(0, 9)) == 0:
        deformed = deformed[: max(rows - 1, 0)]
    layout = draw(st.sampled_from(["float64", "float32", "uint8", "colour"]))
    if layout == "float32":
        reference, deformed = reference.astype(np.float32), deformed.astype(np.float32)
    elif layout == "uint8":
        reference, deformed = (np.nan_to_num(a).clip(0, 255).astype(np.uint8)
                               for a in (reference, deformed))
    elif layout == "colour":
        reference, deformed = (np.repeat(a[:, :, None], 3, axis=2) for a in (reference, deformed))
    return reference, deformed


@st.composite
def settings(draw):
    """Every setting of correlate: either all within their ranges (so runs measure) or each
    around and beyond them; iteration limits small."""
    def pick(within, beyond):
        return draw(within if sane else within | beyond)

    sane = draw(st.booleans())
    return {
        "subset": pick(st.sampled_from([5, 7, 9, 11, 15]), st.integers(-1, 31)),
        "step": pick(st.integers(2, 8), st.integers(-1, 12)),
        "roi": pick(st.none(), st.tuples(*[st.integers(-3, 45)] * 4)),
        "interpolation": pick(st.sampled_from(["quintic", "cubic", "keys"]), st.just("linear")),
        "prefilter": pick(st.floats(0, 3), ANY_FLOAT),
        "min_zncc": pick(st.floats(-1, 1), ANY_FLOAT),
        "strain_window": pick(st.integers(0, 30), st.integers(-1, 60)),
        "strain_measure": pick(st.sampled_from(["green-lagrange", "engineering"]),
                               st.just("small")),
        "strain_source": pick(st.sampled_from(["displacement", "subset"]), st.just("gradient")),
        "max_jump": pick(st.floats(0.1, 5), st.floats(0, 5) | ANY_FLOAT),
        "search_range": pick(st.integers(-1, 20), st.integers(-2, 50)),
        "seed_count": pick(st.integers(0, 4), st.integers(-1, 8)),
        "max_iterations": pick(st.integers(1, 30), st.integers(-1, 30)),
        "convergence_threshold": pick(st.floats(1e-6, 1e-1), ANY_FLOAT),
        "scale_mm_per_px": pick(st.none() | st.floats(0.001, 1), ANY_FLOAT),
    }


@given(pair=image_pairs(), chosen=settings())
def test_correlate_gives_a_well_formed_field_or_morvex_error(pair, chosen):
    note(f"settings = {chosen}, shapes = {pair[0].shape}, {pair[1].shape}")
    try:
        ds = morvex.correlate(*pair, threads=1, **chosen)
    except morvex.MorvexError:
        event("refused with MorvexError")
        return
    event("measured")
    ny, nx = ds.sizes["y"], ds.sizes["x"]
    assert ny > 0 and nx > 0
    valid = ds["valid"].values
    assert valid.dtype == bool and valid.shape == (ny, nx)
    np.testing.assert_array_equal(ds["status"].values == 0, valid)
    # Every code is one the dataset explains (the library's list, "left the view" included).
    assert np.isin(ds["status"].values, ds["status"].attrs["flag_values"]).all()
    for name in FLOAT_VARIABLES:
        values = ds[name].values
        assert ds[name].dims == ("y", "x") and values.dtype == np.float64, name
        assert np.all(np.isnan(values[~valid])), f"{name}: invalid points hold NaN"
    for name in FINITE_WHERE_VALID:
        assert np.all(np.isfinite(ds[name].values[valid])), name
    assert np.all(ds["zncc"].values[valid] >= chosen["min_zncc"])
    assert np.all(np.isfinite(ds["x"].values)) and np.all(np.isfinite(ds["y"].values))


# Found by property testing: the settings accepted 0 for both, which the library refuses with a
# plain ValueError once the images are read, not the documented MorvexError.
@pytest.mark.parametrize("name", ["max_jump", "convergence_threshold"])
def test_zero_jump_or_threshold_is_a_morvex_error(name):
    case = morvex.synthetic_pair(shape=(48, 48), u=0.3, v=-0.2)
    with pytest.raises(morvex.MorvexError, match=f"^{name} must be > 0 px, got 0$"):
        morvex.correlate(case.reference, case.deformed, subset=11, step=8, **{name: 0.0})
