"""load_image from Python: path types, 8- and 16-bit files, and the failure message."""

import pathlib
import re

import numpy as np
import pytest

# The specified module is a CPython 3.12 module: on other versions its tests skip.
dic = pytest.importorskip("_morvex_dic", reason="_morvex_dic is built for CPython 3.12 only")


def write_pgm(path, pixels, maxval):
    """Binary PGM (P5); 16-bit samples are big-endian, as the format requires."""
    pixels = np.asarray(pixels)
    sample = ">u2" if maxval > 255 else "u1"
    header = f"P5\n{pixels.shape[1]} {pixels.shape[0]}\n{maxval}\n".encode()
    path.write_bytes(header + pixels.astype(sample).tobytes())
    return path


def test_16_bit_file_comes_back_on_the_0_to_255_scale(tmp_path):
    pixels = [[0, 65535, 257], [32768, 1000, 65280]]
    image = dic.load_image(str(write_pgm(tmp_path / "deep.pgm", pixels, 65535)))
    assert image.shape == (2, 3) and image.dtype == np.float64
    np.testing.assert_allclose(image, np.array(pixels) * 255.0 / 65535.0, rtol=1e-12)


def test_8_bit_file_keeps_its_values(tmp_path):
    pixels = np.arange(12, dtype=np.uint8).reshape(3, 4) * 20
    image = dic.load_image(str(write_pgm(tmp_path / "grey.pgm", pixels, 255)))
    np.testing.assert_array_equal(image, pixels)


def test_path_object_is_refused_while_the_same_text_works(tmp_path):
    path = write_pgm(tmp_path / "grey.pgm", [[1, 2], [3, 4]], 255)
    with pytest.raises(TypeError):
        dic.load_image(pathlib.Path(path))
    np.testing.assert_array_equal(dic.load_image(str(path)), [[1, 2], [3, 4]])
    np.testing.assert_array_equal(dic.load_image(bytes(path)), [[1, 2], [3, 4]])


def test_unreadable_file_names_the_path(tmp_path):
    path = str(tmp_path / "absent.png")
    with pytest.raises(RuntimeError, match="^Failed to load image: " + re.escape(path) + "$"):
        dic.load_image(path)

