"""Arrays into images and images back: shapes, strides, dtypes, errors and independence.

translate_image by (0, 0) returns its input pixel for pixel (cubic convolution is exact at
integer positions), so it shows exactly which image an argument became.
"""

import numpy as np
import pytest

# The specified module is a CPython 3.12 module: on other versions its tests skip.
dic = pytest.importorskip("_morvex_dic", reason="_morvex_dic is built for CPython 3.12 only")

BASE = np.arange(20, dtype=np.float64).reshape(4, 5) * 1.5 - 7.0

ARRAYS = {
    "c_contiguous": BASE,
    "transposed": BASE.T,
    "rows_reversed": BASE[::-1],
    "columns_reversed_strided": BASE[:, ::-2],
    "sliced": BASE[1:3, 1:4],
    "fortran_order": np.asfortranarray(BASE),
    "int32": np.arange(12, dtype=np.int32).reshape(3, 4),
    "uint8": np.full((2, 3), 255, dtype=np.uint8),
    "float32": BASE.astype(np.float32),
    "bool": BASE > 0,
    "nested_list_of_ints": [[1, 2, 3], [4, 5, 6]],
    "tuple_of_floats": ((0.5, 1.5), (2.5, 3.5)),
    "one_pixel": np.array([[42.0]]),
    "no_rows": np.empty((0, 5)),
    "no_columns": np.empty((3, 0)),
}


@pytest.mark.parametrize("array", ARRAYS.values(), ids=ARRAYS.keys())
def test_image_argument_becomes_the_values_it_shows(array):
    out = dic.translate_image(array, 0.0, 0.0)
    expected = np.asarray(array, dtype=np.float64)
    assert out.dtype == np.float64 and out.flags.c_contiguous
    assert out.shape == expected.shape
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("array", [
    np.arange(5.0), np.zeros((2, 3, 4)), np.float64(3.0), [1.0, 2.0], np.zeros((1, 1, 1)),
], ids=["1d", "3d", "0d", "flat_list", "3d_single"])
def test_image_argument_without_two_dimensions_is_refused(array, speckle, small_config):
    for call in (lambda: dic.translate_image(array, 0.0, 0.0),
                 lambda: dic.deform_image(array, 0, 0, 0, 0, 0, 0),
                 lambda: dic.assess_speckle_quality(array, 21),
                 lambda: dic.DICEngine().run(array, speckle, small_config),
                 lambda: dic.DICEngine().run(speckle, array, small_config)):
        with pytest.raises(RuntimeError, match="^Expected 2D array$"):
            call()


@pytest.mark.parametrize("array", [[["a", "b"]], [[1.0, 2.0], [3.0]], object()],
                         ids=["strings", "ragged", "object"])
def test_unconvertible_image_argument_fails_overload_resolution(array):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dic.translate_image(array, 0.0, 0.0)


def test_results_are_independent_of_inputs():
    source = BASE.copy()
    out = dic.translate_image(source, 0.0, 0.0)
    assert out is not source and not np.shares_memory(out, source)
    source[:] = 0.0
    np.testing.assert_array_equal(out, BASE)
    out[:] = 1.0
    assert np.count_nonzero(source) == 0


def test_generated_image_has_the_requested_shape():
    image = dic.generate_speckle(64, 128, 3, 0.5, 7)
    assert image.shape == (64, 128) and image.dtype == np.float64 and image.flags.c_contiguous
    assert dic.generate_speckle(0, 128, 3, 0.5, 7).shape == (0, 128)


def test_quality_dictionary_keys_and_types(speckle):
    quality = dic.assess_speckle_quality(speckle, 21)
    assert list(quality) == ["entropy", "mean_gradient", "sssig", "contrast", "coverage",
                             "recommended_subset"]
    assert all(type(quality[key]) is float for key in list(quality)[:5])
    assert type(quality["recommended_subset"]) is int
