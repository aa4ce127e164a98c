"""Crack measurements on fields known exactly: the opening between the lips, the tip, the
stress intensity factors of the Williams series, and the refusals users meet."""

import csv
import math

import numpy as np
import pytest
import xarray as xr

from morvex import MorvexError
from morvex.crack import Material, crack_line, measure_cracks, williams_displacement

STEP = 5.0  # px between grid points
SIZE = 200.0  # px: the grid spans 0 ... SIZE on both axes
SIGMA = 0.01  # px: the sigma every exact point carries


def field(u, v, *, valid=None, sigma=SIGMA, frames=1, scale_mm=None):
    """A dataset (frame, y, x) on a 5 px grid from u(x, y, k), v(x, y, k) in px."""
    coords = np.arange(0.0, SIZE + 1, STEP)
    x, y = np.meshgrid(coords, coords)
    us = np.stack([u(x, y, k) for k in range(frames)])
    vs = np.stack([v(x, y, k) for k in range(frames)])
    ok = np.ones(us.shape, bool) if valid is None else np.broadcast_to(valid(x, y), us.shape)
    dims = ("frame", "y", "x")
    data = {"u": (dims, np.where(ok, us, np.nan)), "v": (dims, np.where(ok, vs, np.nan)),
            "valid": (dims, ok.copy())}
    if sigma is not None:
        data["sigma_u"] = (dims, np.where(ok, sigma, np.nan))
        data["sigma_v"] = (dims, np.where(ok, sigma, np.nan))
    dataset = xr.Dataset(data, coords={"frame": np.arange(frames), "x": coords, "y": coords})
    if scale_mm is not None:
        dataset = dataset.assign_coords(x_mm=("x", coords * scale_mm),
                                        y_mm=("y", coords * scale_mm))
        dataset = dataset.assign(u_mm=dataset["u"] * scale_mm, v_mm=dataset["v"] * scale_mm)
    return dataset


def lips(a, b, opening, sliding, *, rigid=(0.3, -0.2)):
    """u, v of two rigid lips of the straight line through a, b: the side its normal points to
    moves by +(sliding, opening) / 2 in the line's frame, the other by minus that."""
    t = (np.array(b, float) - a) / math.hypot(b[0] - a[0], b[1] - a[1])
    n = np.array([-t[1], t[0]])
    half = (sliding * t + opening * n) / 2

    def side(x, y):
        return np.sign((x - a[0]) * n[0] + (y - a[1]) * n[1])

    return (lambda x, y, k: rigid[0] + side(x, y) * half[0],
            lambda x, y, k: rigid[1] + side(x, y) * half[1])


@pytest.mark.parametrize("a, b, opening, sliding", [
    ((0.0, 102.5), (200.0, 102.5), 0.8, 0.0),        # horizontal, between grid rows
    ((0.0, 102.5), (200.0, 102.5), 0.5, -0.3),       # mixed opening and sliding
    ((200.0, 97.5), (0.0, 97.5), 0.4, 0.2),          # drawn right to left: normal points up
    ((12.0, 20.0), (181.0, 171.0), 1.2, 0.25),       # oblique
])
def test_rigid_lips_give_their_jump_exactly(a, b, opening, sliding):
    u, v = lips(a, b, opening, sliding)
    result = measure_cracks(field(u, v), [[a, b]], distance=12.0, noise=0.01)
    stations = np.isfinite(result["opening"].values[0, 0])
    # Most stations read both lips; the last few have a lip past the grid's edge.
    assert np.count_nonzero(stations) >= 0.8 * result.sizes["station"]
    np.testing.assert_allclose(result["opening"].values[0, 0][stations], opening, atol=1e-12)
    np.testing.assert_allclose(result["sliding"].values[0, 0][stations], sliding, atol=1e-12)


@pytest.mark.parametrize("distance, start, sigma_of_a_lip", [
    (10.0, 0.0, SIGMA),          # each lip read on a grid point: its own sigma
    (12.5, 2.5, SIGMA / 2.0),    # read mid-cell: the mean of four corners, sigma / 2
])
def test_sigma_of_the_opening_from_the_points_sigma(distance, start, sigma_of_a_lip):
    u, v = lips((0.0, 100.0), (200.0, 100.0), 1.0, 0.0)
    line = [(start, 100.0), (start + 190.0, 100.0)]
    result = measure_cracks(field(u, v), [line], distance=distance, spacing=STEP)
    np.testing.assert_allclose(result["sigma_opening"].values[0, 0],
                               sigma_of_a_lip * math.sqrt(2.0), rtol=1e-9)
    no_sigma = measure_cracks(field(u, v, sigma=None), [line], distance=distance, noise=0.01)
    assert np.all(np.isnan(no_sigma["sigma_opening"].values))


def test_a_lip_cut_by_the_line_is_read_from_its_own_side_only():
    # 1 px from the line the lip's grid cell straddles it: the plane of its own side's points
    # still gives the jump exactly, with a larger sigma than a whole cell would.
    u, v = lips((0.0, 102.5), (200.0, 102.5), 0.9, -0.2)
    result = measure_cracks(field(u, v), [[(0.0, 102.5), (200.0, 102.5)]], distance=1.0,
                            noise=0.01)
    inner = slice(2, -2)
    np.testing.assert_allclose(result["opening"].values[0, 0, inner], 0.9, atol=1e-12)
    np.testing.assert_allclose(result["sliding"].values[0, 0, inner], -0.2, atol=1e-12)
    assert np.all(result["sigma_opening"].values[0, 0, inner] > SIGMA * math.sqrt(2) / 2)


def test_invalid_points_on_one_side_are_ignored_and_the_other_side_never_leaks_in():
    a, b = (0.0, 102.5), (200.0, 102.5)
    u, v = lips(a, b, 0.6, 0.1)
    # The upper lip is invalid (and holds nonsense) over x < 60, and entirely past x > 150.
    garbage = field(lambda x, y, k: np.where((y > 102.5) & (x < 60), 1e6, u(x, y, k)), v,
                    valid=lambda x, y: ~(((y > 102.5) & (x < 60)) | ((y > 102.5) & (x > 150))))
    result = measure_cracks(garbage, [[a, b]], distance=12.0, noise=0.01)
    s = result["s"].values[0]
    opening = result["opening"].values[0, 0]
    # Far from the gap the lip still has its own points: exact; inside it none: NaN, even
    # though the lower side's points are right there.
    readable = (s >= 70) & (s <= 140)
    np.testing.assert_allclose(opening[readable], 0.6, atol=1e-12)
    assert np.all(np.isnan(opening[(s < 50) | (s > 160)]))


def sqrt_crack(tips):
    """Lips of the line y = 102.5 parted by 0.1 sqrt(tip - x) px behind a tip at x = tips[k]."""
    def gap(x, k):
        return 0.1 * np.sqrt(np.clip(tips[k] - x, 0.0, None))

    def v(x, y, k):
        return np.sign(y - 102.5) * gap(x, k) / 2

    return lambda x, y, k: np.zeros_like(x), v


def test_tip_is_found_within_a_grid_step_and_its_growth_follows():
    tips = (83.0, 121.0, 152.0)
    u, v = sqrt_crack(tips)
    result = measure_cracks(field(u, v, frames=3), [[(0.0, 102.5), (195.0, 102.5)]],
                            distance=7.5)
    assert result["tip_found"].values.all()
    np.testing.assert_allclose(result["tip_x"].values[0], tips, atol=STEP)
    np.testing.assert_allclose(result["tip_y"].values[0], 102.5)
    np.testing.assert_allclose(result["length"].values[0], tips, atol=STEP)
    np.testing.assert_allclose(result["growth"].values[0], np.subtract(tips, tips[0]),
                               atol=STEP)
    # The threshold comes from the points' sigma. Each lip's plane takes the 3 x 3 points
    # 2.5, 7.5 and 12.5 px off the line and is carried to it: variance s^2 (1/9 + 7.5^2 / 150).
    assert result["noise"].values[0, 0] == pytest.approx(
        SIGMA * math.sqrt(2 * (1 / 9 + 7.5 ** 2 / 150)), rel=1e-9)
    np.testing.assert_allclose(result["sigma_opening_at_line"].values[0, 0, 2:-2],
                               result["noise"].values[0, 0], rtol=1e-9)


def test_tip_without_sigmas_takes_the_noise_from_the_profile():
    u, v = sqrt_crack((121.0,))
    rng = np.random.default_rng(3)
    noisy = rng.normal(0.0, 0.003, (41, 41))
    result = measure_cracks(field(u, lambda x, y, k: v(x, y, k) + noisy, sigma=None),
                            [[(0.0, 102.5), (195.0, 102.5)]], distance=7.5)
    assert 0.0005 < result["noise"].values[0, 0] < 0.01
    assert result["tip_x"].values[0, 0] == pytest.approx(121.0, abs=2 * STEP)


@pytest.mark.parametrize("case, opening, sigma, length, found", [
    ("open all along the line", lambda x: 0.5 + 0 * x, SIGMA, 150.0, False),
    ("closed everywhere", lambda x: 0 * x, SIGMA, math.nan, False),
    # A noise-sized opening away from the mouth is no crack.
    ("open only in the middle", lambda x: np.where(abs(x - 90) < 12, 0.5, 0.0), SIGMA,
     math.nan, False),
    # A frame measured against itself: rounding-level values and sigmas.
    ("rounding only", lambda x: 3e-15 * np.cos(x), 1e-16, math.nan, False),
])
def test_tip_of_a_crack_that_never_closes_or_never_opens(case, opening, sigma, length, found):
    def v(x, y, k):
        return np.sign(y - 102.5) * opening(x) / 2

    result = measure_cracks(field(lambda x, y, k: 0 * x, v, sigma=sigma),
                            [[(0.0, 102.5), (150.0, 102.5)]], distance=12.0)
    assert bool(result["tip_found"].values[0, 0]) == found
    np.testing.assert_equal(result["length"].values[0, 0], length)


def test_a_scattered_station_at_the_grid_edge_opens_no_crack():
    # No crack: the mouth's station, read from the grid's edge, carries a 0.03 px excursion
    # beside a profile whose noise is a tenth of it, but that station's own sigma is as large.
    coords = np.arange(0.0, SIZE + 1, STEP)
    x, _ = np.meshgrid(coords, coords)
    sigma = np.where(x < 15, 0.03, 0.001)

    def v(x, y, k):
        return -0.002 * y + np.where((x < 15) & (y > 102.5), 0.03, 0.0)

    result = measure_cracks(field(lambda x, y, k: 0 * x, v, sigma=sigma),
                            [[(0.0, 102.5), (150.0, 102.5)]], distance=12.0)
    assert not bool(result["tip_found"].values[0, 0])
    assert math.isnan(result["length"].values[0, 0])


TIP = (100.0, 100.0)  # px
MPA = 70000.0


@pytest.mark.parametrize("k_one, k_two, t_stress, plane, angle", [
    (12.0, 0.0, 25.0, "strain", 0.0),                # mode I with T, crack along +x
    (12.0, 0.0, -40.0, "stress", 0.0),
    (8.0, 5.0, 10.0, "strain", 0.0),                 # mixed mode
    (8.0, -3.0, 0.0, "stress", math.radians(30)),    # mixed, an oblique crack
])
@pytest.mark.parametrize("calibrated", [False, True])
def test_williams_field_gives_back_its_stress_intensity(k_one, k_two, t_stress, plane, angle,
                                                        calibrated):
    scale = 0.02  # mm per px
    tip_mm = (TIP[0] * scale, TIP[1] * scale)

    def displacement(x, y, k):
        return williams_displacement(x * scale, y * scale, tip_mm, angle, k_one=k_one,
                                     k_two=k_two, t_stress=t_stress, young=MPA, poisson=0.3,
                                     plane=plane)

    def u(x, y, k):
        return displacement(x, y, k)[0] / scale

    def v(x, y, k):
        return displacement(x, y, k)[1] / scale

    mouth = (TIP[0] - 90 * math.cos(angle), TIP[1] - 90 * math.sin(angle))
    dataset = field(u, v, scale_mm=scale if calibrated else None)
    result = measure_cracks(dataset, [[mouth, TIP]], material=Material(MPA, 0.3, plane),
                            r_min=10.0, r_max=80.0, tip_from="line",
                            pixel_size_mm=None if calibrated else scale, noise=0.01)
    assert result["K_I"].item() == pytest.approx(k_one, rel=0.005)
    assert result["K_II"].item() == pytest.approx(k_two, rel=0.005, abs=1e-6)
    assert result["T"].item() == pytest.approx(t_stress, rel=0.005, abs=1e-4)
    assert result["residual"].item() < 1e-9
    assert result["fit_points"].item() > 100
    assert result.attrs["r_min_px"] == 10.0 and result.attrs["r_max_px"] == 80.0


def test_refined_tip_moves_to_the_true_one():
    scale = 0.02
    tip = (101.5, 102.5)  # between grid rows: no point sits on a lip itself

    def displacement(x, y, k):
        return williams_displacement(x * scale, y * scale, (tip[0] * scale, tip[1] * scale),
                                     0.0, k_one=10.0, t_stress=15.0, young=MPA, poisson=0.3)

    dataset = field(lambda x, y, k: displacement(x, y, k)[0] / scale,
                    lambda x, y, k: displacement(x, y, k)[1] / scale)
    # The line ends 3.3 px short of the true tip and 0.9 px below it.
    result = measure_cracks(dataset, [[(10.0, 103.4), (98.2, 103.4)]],
                            material=Material(MPA, 0.3), r_min=10.0, r_max=80.0,
                            tip_from="line", refine=True, pixel_size_mm=scale, noise=0.01)
    assert result["fit_tip_x"].item() == pytest.approx(tip[0], abs=0.1)
    assert result["fit_tip_y"].item() == pytest.approx(tip[1], abs=0.1)
    assert result["K_I"].item() == pytest.approx(10.0, rel=0.005)


def test_points_whose_subset_holds_both_lips_stay_out_of_the_fit():
    # Points within half a subset of the faces carry nonsense yet pass as valid, as a subset
    # fitted across both lips does; the run's subset keeps them out of the fit.
    scale = 0.02

    def displacement(x, y, k):
        u, v = williams_displacement(x * scale, y * scale, (TIP[0] * scale, TIP[1] * scale),
                                     0.0, k_one=10.0, t_stress=15.0, young=MPA, poisson=0.3)
        straddles = (np.abs(y - TIP[1]) < 11) & (x < TIP[0])
        return np.where(straddles, 0.0, u / scale), np.where(straddles, 0.0, v / scale)

    dataset = field(lambda x, y, k: displacement(x, y, k)[0],
                    lambda x, y, k: displacement(x, y, k)[1])
    dataset.attrs["morvex_settings"] = '{"subset": 21}'
    options = dict(material=Material(MPA, 0.3), r_min=10.0, r_max=80.0, tip_from="line",
                   pixel_size_mm=scale, noise=0.01)
    line = [[(10.0, TIP[1]), TIP]]
    kept_out = measure_cracks(dataset, line, **options)
    assert kept_out.attrs["clearance_px"] == 11.0
    assert kept_out["K_I"].item() == pytest.approx(10.0, rel=0.005)
    taken = measure_cracks(dataset, line, clearance=0.0, **options)
    assert abs(taken["K_I"].item() - 10.0) > 0.5


def test_two_cracks_are_measured_apart():
    upper_u, upper_v = lips((0.0, 52.5), (200.0, 52.5), 0.7, 0.0)
    lower_u, lower_v = lips((0.0, 152.5), (200.0, 152.5), 0.3, 0.0, rigid=(0.0, 0.0))

    def v(x, y, k):
        return np.where(y < 102.5, upper_v(x, y, k) - 0.35, lower_v(x, y, k) + 0.15)

    dataset = field(lambda x, y, k: 0 * x, v)
    result = measure_cracks(dataset, [[(0.0, 52.5), (200.0, 52.5)],
                                      [(0.0, 152.5), (120.0, 152.5)]], distance=12.0,
                            noise=0.01)
    assert list(result["crack"].values) == [1, 2]
    first, second = result["opening"].values[:, 0]
    np.testing.assert_allclose(first[np.isfinite(first)], 0.7, atol=1e-12)
    np.testing.assert_allclose(second[np.isfinite(second)], 0.3, atol=1e-12)
    # The shorter crack's stations stop at its end.
    assert np.isnan(result["s"].values[1, -1]) and result["s"].values[1, 24] == 120.0


@pytest.mark.parametrize("line, material, message", [
    ([(10.0, 10.0)], None, "crack 1 needs at least 2 vertices, got 1"),
    ([(10.0, 10.0), (250.0, 10.0)], None, "crack 1 is outside the field: vertex 1"),
    ([(10, 10), (100, 100), (100, 10), (10, 100)], None,
     "crack 1 is self-intersecting: segment 0 crosses segment 2"),
    ([(10, 10), (100, 10), (50, 10)], None,
     "crack 1 is self-intersecting: segment 0 crosses segment 1"),
    ([(10, 10), (10, 10), (50, 10)], None, "crack 1 repeats vertex 0"),
    ([(10, 10), (50, 10)], (0.0, 0.3, "strain"), "Young's modulus must be a positive"),
    ([(10, 10), (50, 10)], (float("nan"), 0.3, "strain"), "Young's modulus must be a positive"),
    ([(10, 10), (50, 10)], (MPA, 0.5, "strain"), "Poisson's ratio must lie in (-1, 0.5)"),
    ([(10, 10), (50, 10)], (MPA, -1.0, "stress"), "Poisson's ratio must lie in (-1, 0.5)"),
    ([(10, 10), (50, 10)], (MPA, 0.3, "shell"), "plane must be one of stress, strain"),
    ([(10, 10), (50, 10)], (MPA, 0.3, "strain"), "the dataset is in pixels: give the pixel"),
])
def test_refusals_name_what_is_wrong(line, material, message):
    dataset = field(lambda x, y, k: 0 * x, lambda x, y, k: 0 * x)
    with pytest.raises(MorvexError) as error:
        measure_cracks(dataset, [line], material=None if material is None
                       else Material(*material))
    assert message in str(error.value)


def test_second_crack_is_named_when_it_crosses_itself():
    with pytest.raises(MorvexError, match="crack 2 is self-intersecting"):
        measure_cracks(field(lambda x, y, k: 0 * x, lambda x, y, k: 0 * x),
                       [[(10, 10), (50, 10)], [(10, 10), (100, 100), (100, 10), (10, 100)]])
    with pytest.raises(MorvexError, match="crack line is self-intersecting"):
        crack_line([(0, 0), (1, 1), (1, 0), (0, 1)])


# --- the command line ---------------------------------------------------------------------


@pytest.fixture(scope="module")
def crack_store(tmp_path_factory):
    """A measured store of the shared four-frame sequence (no crack in it): 9 x 9 points."""
    import morvex
    from conftest import PACKAGE_SETTINGS, PACKAGE_SHAPE

    folder = tmp_path_factory.mktemp("crack")
    sequence = morvex.synthetic_sequence(frames=4, shape=PACKAGE_SHAPE, u_step=0.4,
                                         v_step=-0.2, exx_final=0.006, eyy_final=-0.002, seed=5)
    store = folder / "seq.zarr"
    morvex.correlate_sequence(sequence.frames, store=store, progress=False,
                              **PACKAGE_SETTINGS)
    return store, sequence


def test_cli_writes_the_table_profiles_and_plot(run_cli, crack_store, tmp_path):
    store, sequence = crack_store
    out, profiles, figure = tmp_path / "c.csv", tmp_path / "p.csv", tmp_path / "c.png"
    code, stdout, stderr = run_cli("crack", store, "--line", "10,47.5,86,47.5", "--distance",
                                   "16", "--young", "70000", "--poisson", "0.3",
                                   "--plane-stress", "--pixel-size", "0.01", "--r-min", "8",
                                   "--r-max", "40", "--tip-from", "line", "-o", out,
                                   "--profiles", profiles, "--plot", figure)
    assert code == 0, stderr
    text = out.read_text().splitlines()
    comments = [line for line in text if line.startswith("#")]
    assert comments[1] == "# crack 1: 10,47.5,86,47.5 (x,y px, first vertex the mouth)"
    assert any("annulus r 8 ... 40 px" in line and "plane stress" in line for line in comments)
    rows = list(csv.DictReader(line for line in text if not line.startswith("#")))
    assert [r["frame"] for r in rows] == ["0", "1", "2", "3"]
    assert {"tip_x", "length", "K_I", "K_II", "T", "residual"} <= set(rows[0])
    # A line the data do not show: the jump read 16 px either side is the uniform field's
    # own, 2 x 16 x dv/dy, for every frame.
    table = list(csv.DictReader(line for line in profiles.read_text().splitlines()
                                if not line.startswith("#")))
    for k in range(4):
        opening = [float(r["opening"]) for r in table if r["frame"] == str(k) and r["opening"]]
        expected = 2 * 16 * sequence.fields[k].dv_dy
        assert np.median(opening) == pytest.approx(expected, abs=0.02)
    assert figure.stat().st_size > 10_000


@pytest.mark.parametrize("arguments, message", [
    (["--line", "10,40,80"], "--line 1 must hold x, y pairs, got 3 numbers"),
    (["--line", "10,40,80,40", "--line", "10,40,x,3"], "--line 2 must be X,Y,X,Y,..."),
    (["--line", "10,40,500,40"], "crack 1 is outside the field"),
    (["--line", "10,40,80,40", "--young", "70000"], "--young and --poisson go together"),
    (["--line", "10,40,80,40", "--young", "-5", "--poisson", "0.3", "--pixel-size", "0.01"],
     "Young's modulus must be a positive number of MPa, got -5.0"),
])
def test_cli_bad_input_is_one_line_and_exit_2(run_cli, crack_store, tmp_path, arguments,
                                              message):
    code, stdout, stderr = run_cli("crack", crack_store[0], *arguments, "-o",
                                   tmp_path / "c.csv")
    assert code == 2
    assert stderr.count("\n") == 1 and message in stderr
