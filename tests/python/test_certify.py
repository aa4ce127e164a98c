"""The resolution certificate, subset="auto" and the shape setting, seen from the package."""

import json
import math

import numpy as np
import pytest

import morvex
from conftest import PACKAGE_SHAPE
from morvex import _guided, resolution
from morvex.settings import Settings
from morvex.warping import (
    bspline_coefficients,
    fourier_shift,
    sample,
    sample_along,
    warp_along,
)

# The certificate's figures come from a 160 x 160 px speckle image: big enough for a noise
# floor of a few hundred points and a star band of periods 10 ... 300 px.
CERT_SHAPE = (160, 160)
CERT_SETTINGS = {"subset": 21, "step": 5}
READ_NOISE = 4.0  # grey levels added to the reference (the speckle has 1 of its own)


@pytest.fixture(scope="module")
def noisy_speckle():
    clean = _guided.generate_speckle(*CERT_SHAPE, 3, 0.5, 21)
    rng = np.random.default_rng(3)
    return clean, clean + rng.normal(0, READ_NOISE, clean.shape), \
        clean + rng.normal(0, READ_NOISE, clean.shape)


# --- the exact warp ---------------------------------------------------------------------

def _slow_coefficients(line):
    # The interpolation condition as a dense system: sum_k c[mirror(k)] beta5(i - k) = s[i].
    n = len(line)
    beta = {0: 66 / 120, 1: 26 / 120, 2: 1 / 120}
    matrix = np.zeros((n, n))
    for i in range(n):
        for offset, weight in list(beta.items()) + [(-1, 26 / 120), (-2, 1 / 120)]:
            k = abs(i + offset)
            k = 2 * n - 2 - k if k >= n else k
            matrix[i, k] += weight
    return np.linalg.solve(matrix, line)


@pytest.mark.parametrize("n", [2, 3, 7, 40, 130])
def test_bspline_coefficients_match_the_interpolation_system(n):
    line = np.random.default_rng(n).normal(size=n) * 50
    fast = bspline_coefficients(line[:, None], axis=0)[:, 0]
    np.testing.assert_allclose(fast, _slow_coefficients(line), rtol=0, atol=1e-10)


@pytest.mark.parametrize("axis", [0, 1])
def test_warp_reproduces_pixels_and_whole_pixel_shifts(axis, speckle):
    image = np.asarray(speckle, dtype=float)
    same = warp_along(image, lambda p: np.zeros_like(p), axis)
    np.testing.assert_allclose(same, image, atol=1e-10)
    moved = warp_along(image, lambda p: np.ones_like(p), axis)
    inner = np.take(moved, np.arange(1, image.shape[axis]), axis=axis)
    np.testing.assert_allclose(inner, np.take(image, np.arange(image.shape[axis] - 1),
                                              axis=axis), atol=1e-9)
    coefficients = bspline_coefficients(image, axis)
    at_centres = sample_along(coefficients, np.indices(image.shape, float)[axis], axis)
    np.testing.assert_allclose(at_centres, image, atol=1e-10)


def test_the_2d_sample_agrees_with_the_1d_one_and_the_pixels(speckle):
    image = np.asarray(speckle, dtype=float)
    both = bspline_coefficients(bspline_coefficients(image, 0), 1)
    rows, cols = np.indices(image.shape, float)
    np.testing.assert_allclose(sample(both, cols, rows), image, atol=1e-9)
    # Moved along columns only, every sample sits on a row's centre: the row's 1-D spline.
    # Positions beyond the image mirror about the edge pixels, as the 1-D sampling does.
    shifted = cols + 0.37 * np.sin(rows / 5.0) - 1.5
    np.testing.assert_allclose(sample(both, shifted, rows),
                               sample_along(bspline_coefficients(image, 1), shifted, 1),
                               atol=1e-9)


@pytest.mark.parametrize("padding", ["periodic", "mirror"])
@pytest.mark.parametrize("axis", [0, 1])
def test_fourier_shift_moves_a_band_limited_sinusoid_exactly(padding, axis):
    n = 96
    if padding == "periodic":
        # Whole cycles over the image, up to the Nyquist term (real: cos(pi (k - s))).
        def signal(t):
            return (np.cos(2 * np.pi * 7 * t / n + 0.4) + 0.5 * np.sin(2 * np.pi * 31 * t / n - 1)
                    + 0.2 * np.cos(np.pi * t))
    else:
        # Even about the first and last pixels: its mirrored extension is band-limited too.
        def signal(t):
            return np.cos(np.pi * 5 * t / (n - 1)) + 0.3 * np.cos(np.pi * 41 * t / (n - 1))
    k = np.arange(n, dtype=float)
    image = np.tile(signal(k), (5, 1))
    if axis == 0:
        image = image.T
    moved = fourier_shift(image, 0.3, axis, padding)
    expected = np.tile(signal(k - 0.3), (5, 1))
    np.testing.assert_allclose(moved, expected if axis == 1 else expected.T, rtol=0, atol=1e-10)
    np.testing.assert_allclose(fourier_shift(image, 0.0, axis, padding), image, atol=1e-12)


@pytest.mark.parametrize("args, message", [
    ((np.zeros(5), 0.3, 0), "fourier_shift needs a 2-D image and axis 0 or 1, got a 1-D image "
                            "and axis 0"),
    ((np.zeros((5, 5)), 0.3, 2), "fourier_shift needs a 2-D image and axis 0 or 1, got a 2-D "
                                 "image and axis 2"),
    ((np.zeros((5, 5)), float("nan"), 0), "shift must be a finite number of px, got nan"),
    ((np.zeros((5, 5)), 0.3, 0, "zero"), "padding must be one of mirror, periodic, got 'zero'"),
])
def test_fourier_shift_refuses_bad_input_by_name(args, message):
    with pytest.raises(ValueError) as error:
        fourier_shift(*args)
    assert str(error.value) == message


# --- figures ----------------------------------------------------------------------------

def test_read_noise_estimate_finds_the_added_noise(noisy_speckle):
    _, reference, _ = noisy_speckle
    known = math.hypot(READ_NOISE, 1.0)  # added noise and the pattern's own unit noise
    assert resolution.estimate_read_noise(reference) == pytest.approx(known, rel=0.10)


def test_the_uncertainty_allows_for_the_reference_noise_the_package_estimates(noisy_speckle):
    from morvex import _guided

    _, reference, static = noisy_speckle
    # The estimate, written out slowly: the median magnitude of the 5 x 5 fourth-difference
    # mask over every window inside the image, scaled to a Gaussian sigma.
    line = np.array([1.0, -4.0, 6.0, -4.0, 1.0])
    mask = np.outer(line, line)
    windows = np.lib.stride_tricks.sliding_window_view(reference, (5, 5))
    slow = 1.4826 / np.sqrt((mask ** 2).sum()) * np.median(np.abs((windows * mask).sum((2, 3))))
    prepared = _guided.ReferenceImage(reference, subset_size=21, step=5)
    assert prepared.reference_noise == pytest.approx(slow, rel=1e-12)
    assert resolution.estimate_read_noise(reference) == pytest.approx(slow, rel=1e-12)
    given = _guided.ReferenceImage(reference, subset_size=21, step=5, reference_noise=0.0)
    assert given.reference_noise == 0.0
    with_noise = _guided.correlate(prepared, static)
    without = _guided.correlate(given, static)
    np.testing.assert_array_equal(with_noise["u"], without["u"])
    valid = np.asarray(with_noise["valid"], bool)
    assert (np.asarray(with_noise["sigma_u"])[valid] > np.asarray(without["sigma_u"])[valid]).all()
    with pytest.raises(ValueError, match="reference_noise must be -1 .estimate. or at least 0"):
        _guided.ReferenceImage(reference, subset_size=21, step=5, reference_noise=-3.0)


def test_certificate_noise_floor_matches_a_real_static_pair(noisy_speckle):
    _, reference, static = noisy_speckle
    truth = morvex.correlate(reference, static, **CERT_SETTINGS)
    valid = truth["valid"].values
    known = math.sqrt((np.std(truth["u"].values[valid]) ** 2
                       + np.std(truth["v"].values[valid]) ** 2) / 2)
    cert = morvex.certify(reference, **CERT_SETTINGS)
    noise = cert["noise_floor"]
    # 15 %: the certificate's stated tolerance (estimate of the read noise, one realisation).
    assert noise["displacement_px"] == pytest.approx(known, rel=0.15)
    # The run's sigma allows for the noise of both images (it read about 15 % low at this
    # level while it counted the deformed image's alone).
    assert noise["calibration"] == pytest.approx(1.0, abs=0.1)
    with_static = morvex.certify(reference, static=static, **CERT_SETTINGS)
    assert with_static["noise_floor"]["source"] == "static pair"
    assert with_static["noise_floor"]["displacement_px"] == pytest.approx(known, rel=0.05)
    assert with_static["noise_floor"]["calibration"] == pytest.approx(1.0, abs=0.1)
    assert [row[0] for row in cert["settings_table"]] == [
        "Software", "Image size", "Region of interest", "Mask", "Subset", "Step",
        "Shape function",
        "Interpolant", "Prefilter", "Matching criterion", "Convergence", "Strain window",
        "Strain measure", "Virtual strain gauge"]
    assert abs(cert["bias"]["bias_px"][0]) < 1e-6  # no shift: no bias
    assert cert["bias"]["max_abs_bias_px"] < 0.01
    assert cert["bias"]["shift_interpolant"].startswith("Fourier shift")
    # Every figure has its error; a 160 px image supports all but the strain's l10% (its
    # periods stop at 169 px, short of the 4 VSG the strain's response needs).
    assert set(cert["flags"]) == {"spatial_resolution.l10_strain_px", "mei.strain_px"}
    for value in (noise["se"]["displacement_px"], noise["se"]["strain_noise"],
                  cert["bias"]["max_abs_bias_se_px"], cert["mei"]["displacement_se_px2"],
                  cert["spatial_resolution"]["l10_displacement_se_px"]):
        assert 0 < value < math.inf
    assert cert["mei"]["displacement_px2"] == pytest.approx(
        noise["displacement_px"] * cert["spatial_resolution"]["l10_displacement_px"])


@pytest.mark.parametrize("radius, noise, warned", [(3, 2.0, False), (5, 6.0, True)])
def test_noise_floor_warns_when_read_noise_makes_the_texture(radius, noise, warned):
    clean = _guided.generate_speckle(*CERT_SHAPE, radius, 0.5, 5)
    reference = clean + np.random.default_rng(1).normal(0, noise, clean.shape)
    # Coarse dots under this much noise leave gaps the texture test refuses; the note is about
    # the subsets that are measured, so measure them all.
    floor = resolution.noise_floor(reference, None,
                                   Settings.build(**CERT_SETTINGS, max_predicted_sigma=0))
    assert bool(floor["note"]) == warned
    assert (floor["noisy_gradient_share"] > 0.05) == warned


def test_a_noise_floor_without_valid_points_names_the_texture_test():
    clean = _guided.generate_speckle(*CERT_SHAPE, 5, 0.5, 5)
    reference = clean + np.random.default_rng(1).normal(0, 6.0, clean.shape)
    with pytest.raises(morvex.MorvexError, match="refused as too little texture for "
                       r"max_predicted_sigma=0.01 px \(a larger subset, or 0"):
        resolution.noise_floor(reference, None,
                               Settings.build(**CERT_SETTINGS, max_predicted_sigma=0.01))


def test_l10_follows_the_subset_and_the_ideal_fit():
    reference = _guided.generate_speckle(200, 320, 3, 0.5, 8)
    found = {}
    for subset in (15, 25):
        settings = Settings.build(subset=subset, step=4)
        star = resolution.star_response(reference, settings, vsg=100.0)
        found[subset] = star["l10_displacement_px"]
        assert found[subset] == pytest.approx(star["l10_theory_px"], rel=0.15)
    assert found[15] < found[25]
    assert 3.0 < found[15] / 15 < 5.0  # affine: about 4 subsets


def test_star_bands_fill_the_strips_that_hold_one():
    # Four 225-row strips of a 900-row region, a 200-row band centred in each.
    bands = resolution.star_bands((0, 0, 599, 899), 400, 200, None)
    assert [(r.start, r.stop, c.start, c.stop) for r, c in bands] == [
        (12, 212, 100, 500), (237, 437, 100, 500), (462, 662, 100, 500), (687, 887, 100, 500)]
    # A region lower than one band still gets one, cut to its height.
    [(rows, cols)] = resolution.star_bands((0, 0, 599, 149), 400, 200, None)
    assert (rows.start, rows.stop) == (0, 150)
    # With a mask, a strip's band moves to where it holds the most specimen.
    mask = np.ones((900, 600), bool)
    mask[150:225] = False
    masked = resolution.star_bands((0, 0, 599, 899), 400, 200, mask)
    assert masked[0][0].start == 0 and masked[1:] == bands[1:]


def test_the_star_is_measured_on_every_band_that_fits():
    from morvex.certificate_files import markdown

    reference = _guided.generate_speckle(420, 256, 3, 0.5, 12)
    star = resolution.star_response(reference, Settings.build(subset=15, step=4), vsg=60.0)
    upper, lower = star["bands"]
    assert star["band"] == upper and upper[3] < lower[1]
    assert star["l10_displacement_px"] == pytest.approx(star["l10_theory_px"], rel=0.15)
    assert 0 < star["l10_displacement_se_px"] < 0.15 * star["l10_displacement_px"]
    cert = morvex.certify(reference, subset=15, step=4)
    figure = cert["spatial_resolution"]
    text = markdown(cert)
    l10, error = figure["l10_displacement_px"], figure["l10_displacement_se_px"]
    assert f"{l10:.1f} +- {error:.1f} px" in text
    assert "on 2 bands (x " in text
    assert "Shifted copies by: Fourier shift of the band-limited image" in text


def test_bias_sweep_against_fourier_copies_shows_the_interpolants_s_curve():
    # Copies by the solver's own spline gave quintic no bias at all; against an exact move
    # each interpolant shows its S-curve: odd about half a pixel, nothing at whole pixels,
    # and cubic convolution's several times the quintic spline's.
    reference = _guided.generate_speckle(*CERT_SHAPE, 2, 0.5, 4)
    sweeps = {name: resolution.bias_sweep(reference, Settings.build(
        subset=21, step=5, interpolation=name)) for name in ("quintic", "keys")}
    for sweep in sweeps.values():
        bias = np.array(sweep["bias_px"])
        assert abs(bias[0]) < 1e-9 and abs(bias[-1]) < 1e-4 and abs(bias[5]) < 0.1 * abs(bias[2])
        np.testing.assert_allclose(bias[1:5], -bias[9:5:-1], atol=0.1 * abs(bias).max())
        assert 0 < sweep["max_abs_bias_se_px"] < 0.2 * sweep["max_abs_bias_px"]
    assert sweeps["quintic"]["max_abs_bias_px"] > 1e-4
    assert sweeps["keys"]["max_abs_bias_px"] > 3 * sweeps["quintic"]["max_abs_bias_px"]


# The star on a reference only 200 rows tall, against the same pattern's star measured on
# 1024 rows (four full bands): one centre's l10% varies by about 11 % with its speckles, so
# the short reference's must come with an error that covers the difference.
def test_short_reference_gives_l10_with_an_error_that_covers_the_tall_star():
    from morvex.certify import virtual_strain_gauge

    settings = Settings.build(subset=29, step=3, shape="quadratic")
    tall = _guided.generate_speckle(1024, 1024, 3, 0.5, 2)
    vsg = virtual_strain_gauge(settings)
    short = resolution.star_response(tall[412:612], settings, vsg)
    whole = resolution.star_response(tall, settings, vsg)
    assert len(short["centre_rows_px"]) == 4 and len(whole["bands"]) == 4
    error = short["l10_displacement_se_px"]
    assert 0 < error < 0.15 * short["l10_displacement_px"]
    # Two standard errors of the difference: the tall star has its own, as large.
    allowed = 2 * math.hypot(error, whole["l10_displacement_se_px"])
    assert short["l10_displacement_px"] == pytest.approx(whole["l10_displacement_px"],
                                                          abs=allowed)
    assert "l10_displacement_px" not in short["flags"]


def test_figures_the_image_cannot_support_are_flagged(tmp_path):
    from morvex.certificate_files import headline, write_certificate

    # 48 rows: one star centre in a band far lower than l10% needs; 200 columns: the star's
    # periods stop before the strain's l10%; a 48 x 200 crop: few independent subsets.
    reference = _guided.generate_speckle(48, 200, 3, 0.5, 6)
    cert = morvex.certify(reference, subset=21, step=5)
    star = cert["spatial_resolution"]
    assert len(star["centre_rows_px"]) == 1 and star["se_method"].startswith("the two halves")
    assert set(cert["flags"]) >= {"spatial_resolution.l10_displacement_px",
                                  "spatial_resolution.l10_strain_px",
                                  "mei.displacement_px2", "noise_floor.displacement_px"}
    assert cert["flags"]["spatial_resolution.l10_displacement_px"].startswith(
        "the band is 48 rows tall, fewer than the")
    assert "not reached within the star's periods" in cert["flags"][
        "spatial_resolution.l10_strain_px"]
    assert "independent subsets (fewer than 25)" in cert["flags"]["noise_floor.displacement_px"]
    write_certificate(cert, tmp_path)
    text = (tmp_path / "certificate.md").read_text()
    assert "## Figures this image cannot support" in text and "**(flagged: the band is 48" in text
    saved = json.loads((tmp_path / "certificate.json").read_text())
    assert saved["flags"] == cert["flags"]
    line = headline(cert)
    assert "; FLAGGED " in line and "l10_displacement_px: the band is 48 rows tall" in line


def test_response_smoothing_keeps_a_curved_response_and_bridges_gaps():
    x = np.arange(12.0)
    curve = 1.0 - 0.01 * (x - 11.0) ** 2  # a running mean would pull this down by 0.02
    np.testing.assert_allclose(resolution._smooth(curve), curve, atol=1e-12)
    gapped = curve.copy()
    gapped[[3, 4]] = np.nan  # each window still holds three columns
    np.testing.assert_allclose(resolution._smooth(gapped), curve, atol=1e-12)
    sparse = np.full(8, np.nan)
    sparse[2] = 0.7
    smoothed = resolution._smooth(sparse)
    assert smoothed[0] == smoothed[4] == 0.7 and np.isnan(smoothed[5:]).all()


def test_crossing_interpolates_and_says_when_not_reached():
    periods = np.array([10.0, 20.0, 30.0, 40.0])
    assert resolution.crossing(periods, np.array([0.1, 0.5, 0.8, 1.0])) == pytest.approx(35.0)
    assert math.isnan(resolution.crossing(periods, np.array([0.1, 0.2, 0.3, 0.5])))


# --- subset="auto" ---------------------------------------------------------------------

def test_auto_subset_meets_its_target_on_a_held_out_pair():
    target = 0.02
    clean = morvex.synthetic_pair((160, 160), u=-0.3, v=0.6, seed=4)
    rng = np.random.default_rng(12)
    noisy = [image + rng.normal(0, 3.0, image.shape)
             for image in (clean.reference, clean.reference, clean.deformed)]
    ds = morvex.correlate(noisy[0], noisy[0], subset="auto", noise_target=target, step=6)
    chosen = int(ds.attrs["subset"])
    choice = json.loads(ds.attrs["subset_choice_json"])
    assert choice["subset"] == chosen and f"subset {chosen} px" in ds.attrs["subset_choice"]
    assert choice["tried"][str(chosen)]["share"] >= 0.95
    assert choice["tried"][str(chosen - 2)]["share"] < 0.95
    # The same specimen with new noise in both images and a motion: the choice still holds.
    check = morvex.correlate(noisy[1], noisy[2], subset=chosen, step=6)
    sigma = np.fmax(check["sigma_u"].values, check["sigma_v"].values)
    assert np.mean(np.where(check["valid"].values, sigma, np.inf) <= target) >= 0.95


# --- bad input --------------------------------------------------------------------------

@pytest.mark.parametrize("settings, message", [
    ({"subset": "auto", "noise_target": 0}, "noise_target must be > 0 px, got 0"),
    ({"subset": "auto", "noise_target": -0.5}, "noise_target must be > 0 px, got -0.5"),
    ({"subset": "auto", "noise_target": float("nan")},
     "noise_target must be a finite number, got nan"),
    ({"subset": "auto"}, 'subset="auto" needs noise_target (px): the predicted sigma the '
                         "chosen subset must meet"),
    ({"subset": "big"}, "subset must be an integer, got 'big'"),
    ({"shape": "cubic"}, "shape must be one of affine, quadratic, got 'cubic'"),
    ({"strain_source": "gradient"},
     "strain_source must be one of displacement, subset, got 'gradient'"),
])
@pytest.mark.parametrize("front_door", ["correlate", "certify"])
def test_bad_settings_are_refused_by_name(front_door, settings, message):
    case = morvex.synthetic_pair(PACKAGE_SHAPE)
    with pytest.raises(morvex.MorvexError) as error:
        if front_door == "correlate":
            morvex.correlate(case.reference, case.deformed, **settings)
        else:
            morvex.certify(case.reference, **settings)
    assert str(error.value) == message


def test_static_image_of_another_size_is_refused():
    case = morvex.synthetic_pair(PACKAGE_SHAPE)
    with pytest.raises(morvex.MorvexError) as error:
        morvex.certify(case.reference, static=case.deformed[:-1])
    assert str(error.value) == ("the static image has shape (95, 96), the reference (96, 96) "
                                "(rows, cols); both must be the same size")


def test_unreachable_noise_target_names_the_target():
    case = morvex.synthetic_pair(PACKAGE_SHAPE, noise=3.0)
    with pytest.raises(morvex.MorvexError, match=r"^noise_target 1e-06 px is out of reach"):
        morvex.correlate(case.reference, case.deformed, subset="auto", noise_target=1e-6)


# --- shape ------------------------------------------------------------------------------

def test_shape_is_recorded_and_quadratic_is_forwarded():
    case = morvex.synthetic_pair(PACKAGE_SHAPE, seed=2)
    affine = morvex.correlate(case.reference, case.deformed, subset=21, step=16)
    assert affine.attrs["shape"] == "affine"
    assert json.loads(affine.attrs["morvex_settings"])["shape"] == "affine"
    quadratic = morvex.correlate(case.reference, case.deformed, subset=21, step=16,
                                 shape="quadratic")
    assert quadratic.attrs["shape"] == "quadratic"
    truth = case.truth(quadratic["x"].values[None, :], quadratic["y"].values[:, None])
    # The pair is warped by cubic convolution: on this 96 px pair both shapes stay within
    # 0.02 px RMS (affine 0.016, quadratic 0.007); the exact fields are the solver's tests.
    assert float(np.sqrt(np.nanmean((quadratic["u"].values - truth["u"]) ** 2))) < 0.02
    cert = morvex.certify(case.reference, subset=21, step=8, shape="quadratic")
    assert cert["settings"]["shape"] == "quadratic"
    assert "quadratic (second order" in dict(cert["settings_table"])["Shape function"]


# --- a masked specimen ------------------------------------------------------------------

@pytest.fixture(scope="module")
def open_hole():
    """A noisy speckle plate (256 x 480 px) and the same plate with a central hole of 50 px
    radius showing a background of strong noise, with its mask."""
    rows, cols = 256, 480
    rng = np.random.default_rng(5)
    plate = _guided.generate_speckle(rows, cols, 3, 0.5, 9) + rng.normal(0, 2.0, (rows, cols))
    yy, xx = np.mgrid[:rows, :cols]
    hole = np.hypot(xx - cols / 2, yy - rows / 2) < 50
    return plate, np.where(hole, rng.normal(0, 20.0, (rows, cols)), plate), ~hole


def test_a_masked_certificate_measures_the_specimen_as_if_it_had_no_hole(open_hole):
    plate, holed, mask = open_hole
    whole = morvex.certify(plate, subset=21, step=5)
    masked = morvex.certify(holed, mask=mask, subset=21, step=5)
    # The bias crop moves off the central hole, and its Fourier-shifted lines stop at the
    # hole (whose noise would ring into the crop); the unmasked one sees the background there.
    # Against the Fourier shift the quintic spline's S-curve reads about 1.5e-3 px here.
    x0, y0, x1, y1 = masked["bias"]["crop"]
    assert mask[y0:y1 + 1, x0:x1 + 1].all()
    assert masked["bias"]["max_abs_bias_px"] < 1.5 * whole["bias"]["max_abs_bias_px"]
    unmasked = morvex.certify(holed, subset=21, step=5)["bias"]["max_abs_bias_px"]
    assert unmasked > 5 * masked["bias"]["max_abs_bias_px"]
    for key in ("read_noise_grey", "displacement_px", "predicted_sigma_px"):
        assert masked["noise_floor"][key] == pytest.approx(whole["noise_floor"][key], rel=0.05)
    for key in ("l10_displacement_px", "l10_strain_px"):
        assert masked["spatial_resolution"][key] == pytest.approx(
            whole["spatial_resolution"][key], rel=0.05)
    assert dict(masked["settings_table"])["Mask"] == ("specimen 93.6% of the region; figures "
                                                      "measured on it alone")
    # Points the mask leaves out do not count against the valid share.
    assert masked["noise_floor"]["valid_share"] > 0.99


def test_read_noise_on_the_specimen_alone(open_hole):
    from morvex.noise import estimate_read_noise

    plate, holed, mask = open_hole
    assert estimate_read_noise(holed, mask) == pytest.approx(estimate_read_noise(plate), rel=0.02)
    assert estimate_read_noise(holed) > 1.05 * estimate_read_noise(plate)
    with pytest.raises(morvex.MorvexError, match="5 x 5 px patch of specimen"):
        estimate_read_noise(holed, np.eye(*holed.shape, dtype=bool))


@pytest.mark.parametrize("mask, message", [
    (np.ones((10, 10), bool), r"^mask of shape \(10, 10\)"),
    (np.zeros((96, 96), bool), "the mask marks no pixel as specimen; non-zero pixels are "
                               "measured"),
])
def test_a_bad_certificate_mask_is_refused(mask, message):
    case = morvex.synthetic_pair(PACKAGE_SHAPE)
    with pytest.raises(morvex.MorvexError, match=message):
        morvex.certify(case.reference, mask=mask)


# --- strain source ----------------------------------------------------------------------

def test_subset_strain_follows_the_stretch_and_is_recorded():
    case = morvex.synthetic_pair((160, 160), du_dx=0.01, dv_dy=-0.005, du_dy=0.002, seed=5)
    fitted = morvex.correlate(case.reference, case.deformed, subset=21, step=6)
    own = morvex.correlate(case.reference, case.deformed, subset=21, step=6,
                           strain_source="subset", strain_window=0)
    assert (fitted.attrs["strain_source"], own.attrs["strain_source"]) == ("displacement",
                                                                          "subset")
    # Green-Lagrange of the known gradient from either source on a homogeneous field; one
    # subset's gradient scatters several times more than a fit over 11 x 11 points.
    truth = {"exx": 0.01 + 0.5 * 0.01 ** 2, "eyy": -0.005 + 0.5 * (0.005 ** 2 + 0.002 ** 2),
             "exy": 0.5 * 1.01 * 0.002}
    for name, true in truth.items():
        for ds, typical in ((fitted, 4e-4), (own, 1.5e-3)):
            error = np.abs(ds[name].values[ds["valid"].values] - true)
            assert np.nanmedian(error) < typical / 2, (name, ds.attrs["strain_source"])
            assert np.nanpercentile(error, 95) < typical, (name, ds.attrs["strain_source"])
    # Unsmoothed, every valid point has its strain; the fit of u, v loses the grid's corners.
    assert np.isfinite(own["exx"].values[own["valid"].values]).all()


def test_certificate_gauge_of_unsmoothed_subset_strain_is_one_subset():
    reference = _guided.generate_speckle(*CERT_SHAPE, 3, 0.5, 21)
    cert = morvex.certify(reference, subset=21, step=5, strain_source="subset",
                          strain_window=0)
    table = dict(cert["settings_table"])
    assert table["Virtual strain gauge"] == "21 px"
    assert table["Strain window"] == "the subsets' own warp gradients, as they are"
    smoothed = dict(morvex.certify(reference, subset=21, step=5, strain_source="subset",
                                   strain_window=10)["settings_table"])
    assert smoothed["Virtual strain gauge"] == "41 px"
    assert smoothed["Strain window"].startswith("the subsets' own warp gradients, each "
                                                "plane-fitted over 5 x 5 points")


# --- command line -----------------------------------------------------------------------

def test_cli_certify_writes_the_three_files(tmp_path, run_cli):
    import tifffile

    image = tmp_path / "reference.tif"
    tifffile.imwrite(image, _guided.generate_speckle(128, 128, 3, 0.5, 2).astype(np.float32))
    code, out, err = run_cli("certify", image, "-o", tmp_path / "cert", "--subset", "17",
                             "--step", "6")
    assert (code, err) == (0, "")
    for name in ("certificate.json", "certificate.md", "certificate_response.png"):
        assert (tmp_path / "cert" / name).stat().st_size > 0
    cert = json.loads((tmp_path / "cert" / "certificate.json").read_text())
    assert cert["settings"]["subset"] == 17 and "l10%" in out
    assert f"+- {cert['spatial_resolution']['l10_displacement_se_px']:.1f} px (displacement)" in out
    assert "| Virtual strain gauge | 89 px |" in (tmp_path / "cert" / "certificate.md").read_text()
    other = tmp_path / "small.tif"
    tifffile.imwrite(other, np.zeros((64, 64), np.float32))
    code, _, err = run_cli("certify", image, "--static", other, "-o", tmp_path / "c2")
    assert code == 2 and err == ("morvex: error: the static image has shape (64, 64), the "
                                 "reference (128, 128) (rows, cols); both must be the same "
                                 "size\n")


def test_a_run_in_millimetres_certifies_in_millimetres_too(tmp_path, frame_files, run_cli):
    # 8 mm over 100 px: every length of the certificate is 0.08 of its px figure, strains stay.
    store = tmp_path / "mm.zarr"
    code, out, err = run_cli("run", frame_files / "f0.tif", frame_files / "f1.tif", "-o", store,
                             "-q", "--subset", "21", "--step", "8", "--scale", "8",
                             "--between", "10,20,110,20", "--certify")
    assert code == 0, err
    attrs = morvex.open_store(store).attrs
    assert attrs["certificate_mm_per_px"] == pytest.approx(0.08, rel=1e-9)
    for px, mm in (("noise_floor_px", "noise_floor_mm"),
                   ("l10_displacement_px", "l10_displacement_mm"),
                   ("l10_strain_px", "l10_strain_mm"), ("max_abs_bias_px", "max_abs_bias_mm")):
        value_px, value_mm = attrs[f"certificate_{px}"], attrs[f"certificate_{mm}"]
        if value_px == "nan":  # a figure the small image cannot support stays unsupported
            assert value_mm == "nan"
        else:
            assert value_mm == pytest.approx(0.08 * value_px)
    assert "mm/px): noise floor" in out
    cert = json.loads(attrs["certificate_json"])
    from morvex.certificate_files import markdown

    assert f"| l10% of displacement | {cert['millimetres']['l10_displacement_mm']:.4g} |" \
        in markdown(cert)
    # Without a plane the certificate says nothing of millimetres.
    assert "millimetres" not in morvex.certify(frame_files / "f0.tif", subset=21, step=8)


def test_cli_run_certify_keeps_the_figures_in_the_store(tmp_path, frame_files, run_cli):
    store = tmp_path / "test.zarr"
    code, out, err = run_cli("run", frame_files / "f0.tif", frame_files / "f1.tif", "-o", store,
                             "-q", "--subset", "21", "--step", "8", "--shape", "affine",
                             "--certify")
    assert code == 0, err
    attrs = morvex.open_store(store).attrs
    assert attrs["shape"] == "affine"
    assert attrs["certificate_l10_displacement_px"] > 21
    assert json.loads(attrs["certificate_json"])["settings"]["subset"] == 21
    assert attrs["reference_read_noise"] >= 0.0  # the sigma fields' own, beside the certificate's


def test_cli_certify_and_run_certify_take_the_mask(tmp_path, frame_files, run_cli):
    import tifffile

    reference = frame_files / "f0.tif"
    rows, cols = tifffile.imread(reference).shape
    mask = np.ones((rows, cols), np.uint8)
    mask[:, : cols // 4] = 0
    tifffile.imwrite(tmp_path / "mask.tif", mask)
    code, _, err = run_cli("certify", reference, "-o", tmp_path / "cert", "--subset", "21",
                           "--step", "8", "--mask", tmp_path / "mask.tif")
    assert (code, err) == (0, "")
    markdown = (tmp_path / "cert" / "certificate.md").read_text()
    assert "| Mask | specimen 75.0% of the region; figures measured on it alone |" in markdown
    store = tmp_path / "masked.zarr"
    code, _, err = run_cli("run", reference, frame_files / "f1.tif", "-o", store, "-q",
                           "--subset", "21", "--step", "8", "--mask", tmp_path / "mask.tif",
                           "--certify")
    assert code == 0, err
    stored = json.loads(morvex.open_store(store).attrs["certificate_json"])
    assert dict(stored["settings_table"])["Mask"].startswith("specimen 75.0%")


def test_cli_run_auto_subset_records_its_choice(tmp_path, frame_files, run_cli):
    store = tmp_path / "auto.zarr"
    code, _, err = run_cli("run", frame_files / "f0.tif", frame_files / "f1.tif", "-o", store,
                           "-q", "--subset", "auto", "--noise-target", "0.05", "--step", "8")
    assert code == 0, err
    attrs = morvex.open_store(store).attrs
    choice = json.loads(attrs["subset_choice_json"])
    assert attrs["subset"] == choice["subset"] and attrs["noise_target"] == 0.05
    assert attrs["subset_choice"].startswith(f"subset {choice['subset']} px: the smallest odd")
    code, _, err = run_cli("run", frame_files / "f0.tif", frame_files / "f1.tif", "-o",
                           tmp_path / "bad.zarr", "--subset", "auto")
    assert code == 2 and err == ('morvex: error: subset="auto" needs noise_target (px): the '
                                 "predicted sigma the chosen subset must meet\n")
