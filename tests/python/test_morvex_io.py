"""Image files as users have them: damaged ones are named as damaged, decoders stay quiet."""

import numpy as np
import pytest
import tifffile
import zarr

import morvex
from morvex import _guided


def speckle_bytes(tmp_path, suffix):
    image = np.clip(_guided.generate_speckle(64, 64, 3, 0.6, 7), 0, 255).astype(np.uint8)
    path = tmp_path / f"whole{suffix}"
    if suffix == ".tif":
        tifffile.imwrite(path, image)
    elif suffix == ".stack.tif":
        tifffile.imwrite(path, np.stack([image] * 5), photometric="minisblack")
    else:
        from PIL import Image  # matplotlib's own image library, always installed with it

        Image.fromarray(image).save(path)
    return path.read_bytes()


@pytest.mark.parametrize("suffix", [".tif", ".stack.tif", ".png", ".jpg", ".bmp"])
def test_truncated_frame_file_is_named_as_damaged_without_decoder_noise(tmp_path, capfd,
                                                                          suffix):
    whole = speckle_bytes(tmp_path, suffix)
    damaged = tmp_path / f"frame_007{suffix}"
    damaged.write_bytes(whole[: len(whole) // 2])
    with pytest.raises(morvex.MorvexError) as caught:
        morvex.load_image(damaged)
    message = str(caught.value)
    assert message.startswith(f"image file {damaged} is damaged (truncated")
    assert message.endswith("; replace or remove it")
    captured = capfd.readouterr()
    assert captured.err == "" and captured.out == ""
    # The whole file still reads, so the check never refuses a good image.
    good = tmp_path / f"good{suffix}"
    good.write_bytes(whole)
    assert morvex.load_image(good).shape[-2:] == (64, 64)


def test_truncated_jpeg_is_not_read_as_grey_rows(tmp_path):
    # libjpeg fills the missing rows with grey and only warns; a frame like that would be
    # measured as a real deformation.
    whole = speckle_bytes(tmp_path, ".jpg")
    damaged = tmp_path / "cut.jpg"
    damaged.write_bytes(whole[: len(whole) * 3 // 4])
    with pytest.raises(morvex.MorvexError, match="no end-of-image marker"):
        morvex.load_image(damaged)


def test_corrupt_but_complete_file_reports_the_decoder_in_the_message(tmp_path, capfd):
    data = bytearray(speckle_bytes(tmp_path, ".png"))
    for k in range(100, 160):  # inside the compressed pixel data; the length stays whole
        data[k] ^= 0x5A
    corrupt = tmp_path / "corrupt.png"
    corrupt.write_bytes(bytes(data))
    with pytest.raises(morvex.MorvexError) as caught:
        morvex.load_image(corrupt)
    assert str(caught.value).startswith(f"cannot read image {corrupt}: not a TIFF, PNG, BMP or "
                                        "JPEG file this reader can decode (decoder: ")
    assert capfd.readouterr().err == ""


# Fault: folders and patterns were sorted as text, def_1, def_10, ..., def_15, def_2, so a
# camera that does not pad its counter had its frames measured out of order.
@pytest.mark.parametrize("names", [
    ["def_1.tif", "def_2.tif", "def_9.tif", "def_10.tif", "def_15.tif"],
    ["K50.png", "K100.png", "K400.png"],
    ["img_9.TIF", "IMG_10.tif", "img_11.png", "Img_100.bmp"],
    ["a1b2.tif", "a1b10.tif", "a2b1.tif", "b.tif"],
], ids=["unpadded", "load steps", "mixed case and extensions", "several numbers"])
def test_folders_and_patterns_list_frames_in_natural_order(tmp_path, names):
    from morvex.io import files_of

    for name in reversed(names):
        (tmp_path / name).write_bytes(b"")
    (tmp_path / "notes.txt").write_text("not an image")
    assert [p.name for p in files_of(tmp_path)] == names
    assert [p.name for p in files_of(tmp_path / "*.*")] == names + ["notes.txt"]
    assert [p.name for p in files_of(tmp_path / "*[0-9].*")] == names[:len(names)
                                                                      - (names[-1] == "b.tif")]


@pytest.fixture
def unpadded_frames(tmp_path, synthetic_frames):
    folder = tmp_path / "frames"
    folder.mkdir()
    for name, frame in zip(["def_1", "def_2", "def_10"], synthetic_frames.frames[:3],
                           strict=True):
        tifffile.imwrite(folder / f"{name}.tif", frame.astype(np.float32))
    return folder


def test_store_records_the_natural_order_and_a_text_ordered_store_still_resumes(
        tmp_path, unpadded_frames):
    from conftest import PACKAGE_SETTINGS

    ds = morvex.correlate_sequence(unpadded_frames, store=tmp_path / "new.zarr",
                                   progress=False, **PACKAGE_SETTINGS)
    assert list(ds["frame_name"].values) == ["def_1.tif", "def_2.tif", "def_10.tif"]
    assert list(morvex.open_store(tmp_path / "new.zarr")["frame_name"].values) == [
        "def_1.tif", "def_2.tif", "def_10.tif"]
    # A store written in text order (as folders were read before), interrupted before its
    # last frame: given the folder again, it resumes in its own order.
    text_order = [unpadded_frames / f"{name}.tif" for name in ("def_1", "def_10", "def_2")]
    old = morvex.correlate_sequence(text_order, store=tmp_path / "old.zarr", progress=False,
                                    **PACKAGE_SETTINGS)
    zarr.open_array(tmp_path / "old.zarr" / "complete", mode="r+")[2] = 0
    again = morvex.correlate_sequence(unpadded_frames, store=tmp_path / "old.zarr",
                                      progress=False, **PACKAGE_SETTINGS)
    assert list(again["frame_name"].values) == ["def_1.tif", "def_10.tif", "def_2.tif"]
    np.testing.assert_array_equal(again["u"].values, old["u"].values)


@pytest.mark.parametrize("count, line", [
    (1, "1 frame in this order: f1.tif"),
    (6, "6 frames in this order: f1.tif, f2.tif, f3.tif, f4.tif, f5.tif, f6.tif"),
    (12, "12 frames in this order: f1.tif, f2.tif, f3.tif, ..., f10.tif, f11.tif, f12.tif"),
])
def test_run_first_line_shows_the_ends_of_the_frame_order(count, line):
    from morvex.cli import frame_order_line

    assert frame_order_line([f"f{k}.tif" for k in range(1, count + 1)]) == line
