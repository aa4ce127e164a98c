"""Property-based tests: random small images, settings, result dictionaries and files through
the module never crash or hang; every call gives a well-formed answer or a documented error.
The number of examples comes from the Hypothesis profile in conftest.py."""

import math
import os
import tempfile

import numpy as np
import pytest
from hypothesis import event, given, note
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

# The specified module is a CPython 3.12 module: on other versions its tests skip.
dic = pytest.importorskip("_morvex_dic", reason="_morvex_dic is built for CPython 3.12 only")

KEYS = ["rows", "cols", "u", "v", "exx", "eyy", "exy", "confidence", "valid"]
FLOAT_KEYS = KEYS[2:8]
INT32 = st.integers(-2**31, 2**31 - 1)
ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
# Grey levels plus the values cameras and scripts also produce: NaN, infinities, huge.
PIXELS = st.floats(-1e3, 1e3) | st.sampled_from([math.nan, math.inf, -math.inf, 1e300, -1e300])
# The messages of the engine's refusals (ValueError from std::invalid_argument).
RUN_REFUSALS = ("DICConfig::step must be at least 1",
                "DICConfig::strain_window must not be negative",
                "DICConfig: the grid margin must not be negative", "Grid too large",
                "Grid coordinates")


@st.composite
def images(draw, max_side=40):
    """A 2-D array: a speckle (possibly shifted), random values or a constant, in any dtype
    and memory layout the module accepts."""
    sizes = st.integers(24, max_side) if draw(st.booleans()) else st.integers(0, max_side)
    rows, cols = draw(sizes), draw(sizes)
    kind = draw(st.sampled_from(["speckle", "speckle", "random", "flat"]))
    if kind == "speckle":
        image = dic.generate_speckle(rows, cols, draw(st.integers(1, 4)),
                                     draw(st.floats(0.1, 0.9)), draw(st.integers(0, 2**32 - 1)))
        image = dic.translate_image(image, draw(st.floats(-3, 3)), draw(st.floats(-3, 3)))
    elif kind == "random":
        image = draw(hnp.arrays(np.float64, (rows, cols), elements=PIXELS))
    else:
        image = np.full((rows, cols), draw(PIXELS))
    layout = draw(st.sampled_from(["c", "fortran", "transpose", "uint8", "float32", "bool"]))
    if layout == "fortran":
        image = np.asfortranarray(image)
    elif layout == "transpose":
        image = np.ascontiguousarray(image.T).T
    elif layout in ("uint8", "float32", "bool"):
        with np.errstate(invalid="ignore", over="ignore"):
            image = np.nan_to_num(image).clip(0, 255).astype(layout)
    return image


@st.composite
def configs(draw):
    """Every property of DICConfig: the sizes either all usual (so runs correlate) or each
    around and beyond its meaningful range, the rest anything; iteration limits stay below a
    few hundred so one run takes milliseconds."""
    def pick(within, beyond):
        return draw(within if sane else within | beyond)

    sane = draw(st.booleans())
    config = dic.DICConfig()
    config.subset_size = pick(st.integers(5, 15), st.integers(-3, 45))
    config.step = pick(st.integers(3, 10), st.integers(-2, 16))
    config.search_range = pick(st.integers(0, 6), st.integers(-40, 30) | INT32)
    config.search_center_u = pick(st.integers(-2, 2), st.integers(-12, 12) | INT32)
    config.search_center_v = pick(st.integers(-2, 2), st.integers(-12, 12))
    config.residual_search_range = pick(st.integers(-1, 4), st.integers(-2, 12) | INT32)
    config.max_iterations = pick(st.integers(1, 40), st.integers(-2, 60))
    config.convergence_threshold = pick(st.floats(1e-8, 1e-2), ANY_FLOAT)
    config.znssd_threshold = pick(st.floats(0, 2), ANY_FLOAT)
    config.use_fft_search = draw(st.booleans())
    config.use_bicubic = draw(st.booleans())
    config.use_tracking_simplex = draw(st.booleans())
    config.tracking_integer_initialization = draw(st.booleans())
    config.tracking_spatial_recovery = draw(st.booleans())
    config.robust_max_iterations = draw(st.integers(-5, 200))
    config.robust_tolerance = draw(ANY_FLOAT)
    config.robust_delta_disp = draw(ANY_FLOAT)
    config.robust_delta_theta = draw(ANY_FLOAT)
    config.disp_jump_tolerance = draw(ANY_FLOAT)
    config.theta_jump_tolerance = draw(ANY_FLOAT)
    config.tracking_min_zncc = draw(ANY_FLOAT)
    config.seed_u_arr = draw(st.lists(ANY_FLOAT, max_size=30))
    config.seed_v_arr = draw(st.lists(ANY_FLOAT, max_size=30))
    config.strain_window = draw(st.integers(-2, 12) | INT32)
    config.compute_strain = draw(st.booleans())
    # Regions reaching beyond the image are correlated point by point, by design; keep them
    # near the image so a run stays small.
    for name in ("roi_x0", "roi_y0", "roi_x1", "roi_y1"):
        setattr(config, name, pick(st.just(-1), st.integers(-5, 60)))
    return config


def describe(config):
    """The configuration's properties, for a failing example's report (the class has no repr)."""
    return {name: getattr(config, name) for name in dir(config) if not name.startswith("_")}


@st.composite
def image_pairs(draw):
    """A reference and either its shifted copy or an unrelated image."""
    reference = draw(images())
    if draw(st.integers(0, 3)) == 0:
        return reference, draw(images())
    shifted = dic.translate_image(reference, draw(st.floats(-2, 2)), draw(st.floats(-2, 2)))
    return reference, shifted


@given(pair=image_pairs(), config=configs())
def test_run_gives_a_well_formed_result_or_a_documented_refusal(pair, config):
    reference, deformed = pair
    note(f"config = {describe(config)}")
    try:
        result = dic.DICEngine().run(reference, deformed, config)
    except ValueError as error:
        assert str(error).startswith(RUN_REFUSALS), error
        event("refused")
        return
    event("accepted points" if np.any(result["valid"]) else "no accepted point")
    assert list(result) == KEYS
    rows, cols = result["rows"], result["cols"]
    assert rows >= 0 and cols >= 0 and (rows == 0) == (cols == 0)
    n = rows * cols
    for key in KEYS[2:]:
        assert result[key].shape == (n,), key
        assert result[key].dtype == (np.uint8 if key == "valid" else np.float64), key
    valid = result["valid"]
    assert np.all(valid <= 1)
    accepted = valid == 1
    # Invalid points may carry NaN (a NaN image gives a NaN score); accepted ones never.
    assert np.all(np.isfinite(result["u"][accepted]))
    assert np.all(np.isfinite(result["v"][accepted]))
    assert np.all(np.abs(result["confidence"][accepted]) <= 1.0)
    if not config.compute_strain:
        for key in ("exx", "eyy", "exy"):
            assert np.all(result[key] == 0.0), key


@given(image=images(), u=ANY_FLOAT, v=ANY_FLOAT,
       gradients=st.lists(ANY_FLOAT, min_size=4, max_size=4))
def test_warps_keep_the_shape_of_any_image(image, u, v, gradients):
    assert dic.translate_image(image, u, v).shape == image.shape
    warped = dic.deform_image(image, u, v, *gradients)
    assert warped.shape == image.shape and warped.dtype == np.float64


@given(shape=st.lists(st.integers(0, 5), max_size=4).filter(lambda s: len(s) != 2))
def test_arrays_without_two_dimensions_are_refused(shape):
    try:
        dic.translate_image(np.zeros(shape), 0.5, 0.5)
    except RuntimeError as error:
        assert str(error) == "Expected 2D array"
    else:
        raise AssertionError("no exception")


@given(image=images(), subset_size=st.integers(-3, 70) | INT32)
def test_speckle_quality_is_a_dictionary_or_a_refused_subset(image, subset_size):
    try:
        quality = dic.assess_speckle_quality(image, subset_size)
    except ValueError as error:
        assert subset_size < 2, error
        return
    except RuntimeError as error:  # OpenCV's gradient refuses an empty image, as documented
        assert image.size == 0, error
        return
    assert list(quality) == ["entropy", "mean_gradient", "sssig", "contrast", "coverage",
                             "recommended_subset"]
    assert type(quality["recommended_subset"]) is int


@st.composite
def result_dictionaries(draw):
    """Result dictionaries as users assemble them: any shape, arrays as lists or arrays of
    any length, values including NaN and infinities."""
    rows, cols = draw(st.integers(-3, 6)), draw(st.integers(-3, 6))
    fits = draw(st.booleans()) and rows >= 0 and cols >= 0
    result = {"rows": rows, "cols": cols}
    for key in FLOAT_KEYS:
        length = rows * cols if fits else draw(st.integers(0, 40))
        result[key] = draw(st.lists(ANY_FLOAT, min_size=length, max_size=length))
    result["valid"] = draw(st.lists(st.integers(0, 255), max_size=40)
                           | st.lists(st.booleans(), max_size=40))
    return result


@given(result=result_dictionaries(), step=INT32, writer=st.sampled_from(["csv", "vtk"]))
def test_export_writes_every_point_or_refuses_before_writing(result, step, writer):
    rows, cols = result["rows"], result["cols"]
    must_refuse = rows < 0 or cols < 0 or any(len(result[key]) < rows * cols for key in FLOAT_KEYS)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "result." + writer)
        try:
            getattr(dic, "export_" + writer)(result, path, step)
        except ValueError:
            assert must_refuse
            assert os.listdir(folder) == []
            return
        assert not must_refuse
        assert os.listdir(folder) == ["result." + writer]  # no temporary file left behind
        with open(path, encoding="ascii") as text:
            lines = text.read().splitlines()
    if writer == "csv":
        assert len(lines) == rows * cols + 1
        valid = [int(line.rsplit(",", 1)[1]) for line in lines[1:]]
        assert valid == [0 if k < len(result["valid"]) and not result["valid"][k] else 1
                         for k in range(rows * cols)]
    else:
        assert lines[4] == f"DIMENSIONS {cols} {rows} 1"


@st.composite
def image_files(draw):
    """Portable grey-map files, well formed or not, and arbitrary bytes."""
    if draw(st.booleans()):
        return draw(st.binary(max_size=200))
    width, height = draw(st.integers(-1, 12)), draw(st.integers(-1, 12))
    maxval = draw(st.sampled_from([1, 255, 256, 65535, 65536, 0]))
    header = f"P5\n{width} {height}\n{maxval}\n".encode()
    depth = 2 if maxval > 255 else 1
    full = max(width, 0) * max(height, 0) * depth
    payload = draw(st.binary(min_size=0, max_size=full + 4))
    return header + payload


@given(content=image_files())
def test_loading_any_file_gives_a_grey_image_or_runtime_error(content):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "image.pgm")
        with open(path, "wb") as file:
            file.write(content)
        try:
            image = dic.load_image(path)
        except RuntimeError as error:
            assert str(error).startswith(("Failed to load image: ", "Unsupported channel count",
                                          "OpenCV")), error
            return
    assert image.ndim == 2 and image.size > 0 and image.dtype == np.float64
