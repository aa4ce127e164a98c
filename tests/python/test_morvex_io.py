"""Image files as users have them: damaged ones are named as damaged, decoders stay quiet."""

import numpy as np
import pytest
import tifffile

import _morvex_dic as dic
import morvex


def speckle_bytes(tmp_path, suffix):
    image = np.clip(dic.generate_speckle(64, 64, 3, 0.6, 7), 0, 255).astype(np.uint8)
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
