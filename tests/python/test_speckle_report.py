"""The speckle report: its units, the specimen it counts, and its verdict."""

import math

import numpy as np
import pytest
import tifffile

import morvex
from morvex import _guided


def noisy_speckle(shape=(96, 96), seed=3, noise=1.5):
    rng = np.random.default_rng(seed)
    return _guided.generate_speckle(*shape, 3, 0.5, seed) * 0.6 + 60 + rng.normal(0, noise, shape)


@pytest.mark.parametrize("axis", [0, 1], ids=["down-rows", "along-cols"])
def test_ramp_gradient_reads_its_slope_in_grey_levels_per_px(axis):
    # A ramp of 0.5 grey/px: central differences are exact, and the border is never used.
    ramp = 100.0 + 0.5 * np.indices((40, 50), dtype=float)[axis]
    report = morvex.speckle_report(ramp, subset=9)
    assert report["mean_gradient"] == 0.5
    assert report["sssig"] == pytest.approx(0.25, rel=1e-12)
    assert report["coverage"] == 0.0  # 0.5 grey/px is below the textured threshold


@pytest.mark.parametrize("subset", [7, 10])
def test_sssig_and_predicted_noise_match_a_slow_sum(subset):
    image = np.random.default_rng(8).uniform(0, 255, (31, 38))
    report = morvex.speckle_report(image, subset=subset)
    rows, cols = image.shape
    energy, sigma_u, sigma_v = [], [], []
    noise = max(report["read_noise"], 1 / math.sqrt(12))
    # Gradient pixels are the interior (1 ... rows - 2); subsets start every subset // 2 px.
    for r0 in range(1, rows - 1 - subset + 1, subset // 2):
        for c0 in range(1, cols - 1 - subset + 1, subset // 2):
            sx = sy = 0.0
            for r in range(r0, r0 + subset):
                for c in range(c0, c0 + subset):
                    sx += ((image[r, c + 1] - image[r, c - 1]) / 2) ** 2
                    sy += ((image[r + 1, c] - image[r - 1, c]) / 2) ** 2
            energy.append((sx + sy) / subset ** 2)
            sigma_u.append(math.sqrt(2) * noise / math.sqrt(sx))
            sigma_v.append(math.sqrt(2) * noise / math.sqrt(sy))
    assert report["sssig"] == pytest.approx(np.mean(energy), rel=1e-12)
    assert report["subset_sigma_u_px"] == pytest.approx(np.median(sigma_u), rel=1e-12)
    assert report["subset_sigma_v_px"] == pytest.approx(np.median(sigma_v), rel=1e-12)


def test_a_mask_excluding_a_black_margin_gives_the_specimens_report():
    specimen = noisy_speckle()
    framed = np.zeros((140, 150))
    framed[20:116, 30:126] = specimen
    mask = framed != 0
    masked = morvex.speckle_report(framed, mask=mask)
    alone = morvex.speckle_report(specimen)
    for key in ("entropy", "contrast", "mean_gradient", "coverage", "read_noise"):
        assert masked[key] == pytest.approx(alone[key], rel=1e-9), key
    assert masked["specimen_share"] == pytest.approx(96 * 96 / (140 * 150))
    unmasked = morvex.speckle_report(framed)
    assert unmasked["contrast"] == 1.0 and masked["contrast"] < 0.9
    assert unmasked["mean_gradient"] < 0.8 * masked["mean_gradient"]


@pytest.mark.parametrize("image, mask, reason", [
    (np.full((64, 64), 128.0), None, "flat"),
    (np.full((64, 64), np.nan), None, "no finite pixel"),
    (np.array([[5.0]]), None, "3 x 3"),
    (noisy_speckle(), np.zeros((96, 96), bool), "no finite pixel"),
    (np.random.default_rng(2).normal(100, 5, (64, 64)), None, "the texture is noise"),
], ids=["constant", "all-nan", "one-pixel", "empty-mask", "white-noise"])
def test_no_usable_texture_recommends_no_subset(image, mask, reason):
    report = morvex.speckle_report(image, mask=mask)
    assert report["verdict"].startswith("no usable texture: ") and reason in report["verdict"]
    assert report["recommended_subset"] is None and not report["usable"]
    assert math.isnan(report["sigma_u_px"])


def test_verdict_predicts_finite_noise_and_states_its_assumption():
    report = morvex.speckle_report(noisy_speckle(shape=(128, 128)))
    assert report["usable"] and report["recommended_subset"] in (21, 31, 41, 51, 61)
    assert 0 < report["sigma_u_px"] < math.inf and 0 < report["sigma_v_px"] < math.inf
    assert "uniform field" in report["verdict"] and "smaller subset" in report["verdict"]
    # A noise-free image still predicts the noise of rounding to grey levels.
    clean = morvex.speckle_report(_guided.generate_speckle(128, 128, 3, 0.5, 4))
    assert 0 < clean["sigma_u_px"] < report["sigma_u_px"]


def test_cli_prints_units_verdict_and_no_subset_without_texture(run_cli, tmp_path):
    tifffile.imwrite(tmp_path / "plate.tif", noisy_speckle().astype(np.float32))
    tifffile.imwrite(tmp_path / "flat.tif", np.full((32, 32), 90, np.uint8))
    tifffile.imwrite(tmp_path / "mask.tif", np.ones((96, 96), np.uint8))
    code, out, err = run_cli("speckle", tmp_path / "plate.tif", "--mask", tmp_path / "mask.tif")
    assert code == 0, err
    assert "grey levels/px (central difference)" in out and "recommended subset: " in out
    assert "uniform field" in out
    code, out, err = run_cli("speckle", tmp_path / "flat.tif")
    assert code == 0, err
    assert "no usable texture: the image is flat" in out and "recommended subset" not in out
    code, out, err = run_cli("speckle", tmp_path / "plate.tif", "--mask", tmp_path / "flat.tif")
    assert code == 2 and "does not match the reference image" in err


def test_a_mask_of_another_shape_is_refused():
    with pytest.raises(morvex.MorvexError, match=r"mask of shape \(4, 4\) does not match"):
        morvex.speckle_report(np.zeros((8, 8)), mask=np.ones((4, 4)))
