"""Probes on fields known exactly: a displacement linear in x and y (a uniform strain) is
reproduced by bilinear interpolation anywhere inside the grid, so every probe's answer is
exact up to rounding."""

import math
import re

import numpy as np
import pytest
import xarray as xr

from morvex import MorvexError
from morvex.probe import (
    Extensometer,
    Gauge,
    Point,
    Section,
    coordinates,
    describe,
    named,
    probe,
    section_map,
    section_maps,
    section_profile,
)

# Displacement gradient per frame k: u = k (A x + B y) + 1.5 k, v = k (C x + D y) - 0.5 k.
A, B, C, D = 0.004, 0.001, -0.0005, -0.002
XS = np.arange(10.0, 91.0, 8.0)   # 11 columns, 10 ... 90 px
YS = np.arange(6.0, 79.0, 8.0)    # 10 rows, 6 ... 78 px
FRAMES = 3
SCALE = 0.025                     # mm per px of the metric variant
# A specimen plane seen at an angle: mm = PLANE @ px, so x_mm and y_mm are maps over (y, x).
PLANE = np.array([[0.025, 0.004], [-0.003, 0.031]])
ROUNDING = 1e-12


def affine_dataset(scale=None):
    x, y = np.meshgrid(XS, YS)
    k = np.arange(FRAMES, dtype=float)[:, None, None]
    u = k * (A * x + B * y + 1.5)
    v = k * (C * x + D * y - 0.5)
    ones = np.ones((FRAMES, YS.size, XS.size))
    data = {"u": (("frame", "y", "x"), u), "v": (("frame", "y", "x"), v),
            "exx": (("frame", "y", "x"), k * A * ones),
            "eyy": (("frame", "y", "x"), k * D * ones),
            "exy": (("frame", "y", "x"), k * (B + C) / 2 * ones)}
    coords = {"frame": np.arange(FRAMES), "x": XS, "y": YS,
              "frame_name": ("frame", [f"f{j}.tif" for j in range(FRAMES)])}
    if scale == "plane":
        (a, b), (c, d) = PLANE
        data["u_mm"] = (("frame", "y", "x"), a * u + b * v)
        data["v_mm"] = (("frame", "y", "x"), c * u + d * v)
        coords["x_mm"] = (("y", "x"), a * x + b * y)
        coords["y_mm"] = (("y", "x"), c * x + d * y)
    elif scale is not None:
        data["u_mm"] = (("frame", "y", "x"), u * scale)
        data["v_mm"] = (("frame", "y", "x"), v * scale)
        coords["x_mm"] = ("x", XS * scale)
        coords["y_mm"] = ("y", YS * scale)
    return xr.Dataset(data, coords=coords)


def to_mm(scale, x, y):
    if scale == "plane":
        return tuple(PLANE @ np.array([x, y]))
    return (x * (scale or 1.0), y * (scale or 1.0))


def moved(x, y, k):
    return (x + k * (A * x + B * y + 1.5), y + k * (C * x + D * y - 0.5))


@pytest.mark.parametrize("scale", [None, SCALE, "plane"])
@pytest.mark.parametrize("ends", [(13.0, 9.5, 87.25, 70.0), (50.0, 10.0, 50.0, 78.0),
                                  (90.0, 6.0, 10.0, 6.0)])
def test_extensometer_strain_is_exact_on_a_uniform_strain(scale, ends):
    x0, y0, x1, y1 = ends
    table = probe(affine_dataset(scale), [Extensometer(*ends)])
    unit = "px" if scale is None else "mm"
    length = math.dist(to_mm(scale, x0, y0), to_mm(scale, x1, y1))
    for k in range(FRAMES):
        now = math.dist(to_mm(scale, *moved(x0, y0, k)), to_mm(scale, *moved(x1, y1, k)))
        assert table["E1 strain [%]"][k] == pytest.approx(100 * (now / length - 1),
                                                           abs=ROUNDING)
        assert table[f"E1 elongation [{unit}]"][k] == pytest.approx(now - length, abs=ROUNDING)


def test_point_and_gauge_columns_carry_names_and_units():
    table = probe(affine_dataset(SCALE), [Point(30, 40, "tip"), Gauge.rectangle(20, 20, 60, 50),
                                          Extensometer(20, 20, 20, 70, "top")], times=[0, .5, 1])
    assert list(table.columns) == [
        "frame", "frame_name", "time [s]", "tip u [mm]", "tip v [mm]", "tip exx [%]",
        "tip eyy [%]", "tip exy [%]", "G1 exx [%]", "G1 eyy [%]", "G1 exy [%]", "G1 points",
        "top elongation [mm]", "top strain [%]"]
    x1, y1 = moved(30, 40, 2)
    assert table["tip u [mm]"][2] == pytest.approx((x1 - 30) * SCALE, abs=ROUNDING)
    assert table["tip v [mm]"][2] == pytest.approx((y1 - 40) * SCALE, abs=ROUNDING)
    assert table["G1 eyy [%]"].tolist() == pytest.approx([0, 100 * D, 200 * D], abs=ROUNDING)
    assert table["frame_name"].tolist() == ["f0.tif", "f1.tif", "f2.tif"]


def slow_inside(corners, x, y):
    """Ray casting one point at a time, or on an edge."""
    inside = False
    n = len(corners)
    for k in range(n):
        (xa, ya), (xb, yb) = corners[k], corners[(k + 1) % n]
        if (min(xa, xb) <= x <= max(xa, xb) and min(ya, yb) <= y <= max(ya, yb)
                and abs((xb - xa) * (y - ya) - (yb - ya) * (x - xa)) < 1e-9):
            return True
        if (ya > y) != (yb > y) and x < xa + (y - ya) * (xb - xa) / (yb - ya):
            inside = not inside
    return inside


@pytest.mark.parametrize("corners", [
    ((18, 14), (50, 14), (50, 46), (18, 46)),           # edges through grid points
    ((12, 8), (88, 30), (40, 76)),                      # a triangle
    ((11, 7), (89, 7), (89, 77), (50, 40), (11, 77)),   # concave
])
def test_gauge_averages_the_grid_points_inside_it(corners):
    ds = affine_dataset()
    ds["exx"][1] = ds["exx"][1] + np.arange(XS.size)[None, :] * 1e-4   # varies with x
    table = probe(ds, [Gauge(corners)])
    picked = [(r, c) for r, y in enumerate(YS) for c, x in enumerate(XS)
              if slow_inside(corners, x, y)]
    assert table["G1 points"].tolist() == [len(picked)] * FRAMES
    expected = np.mean([ds["exx"].values[1, r, c] for r, c in picked])
    assert table["G1 exx [%]"][1] == pytest.approx(100 * expected, abs=ROUNDING)


def test_section_samples_sit_at_the_step_along_the_polyline():
    section = Section(((10, 10), (40, 10), (40, 50)), step=8)
    distance, xs, ys = section.samples(8)
    assert distance.tolist() == [0, 8, 16, 24, 32, 40, 48, 56, 64, 70]
    assert xs.tolist() == [10, 18, 26, 34, 40, 40, 40, 40, 40, 40]
    assert ys.tolist() == [10, 10, 10, 10, 12, 20, 28, 36, 44, 50]
    position, values = section_profile(affine_dataset(), section, 2, "u")
    assert position.tolist() == distance.tolist()
    np.testing.assert_allclose(values, 2 * (A * xs + B * ys + 1.5), atol=ROUNDING)


def test_section_map_in_mm_spans_frames_and_the_length():
    section = Section(((10, 6), (90, 66)))                 # 100 px long; the grid's step, 8
    data = section_map(affine_dataset(SCALE), section, "eyy")
    assert data.dims == ("position", "frame")
    assert data["position"].values[-1] == pytest.approx(100 * SCALE)
    assert data.sizes["position"] == 14                    # 0, 8, ..., 96 and 100
    np.testing.assert_allclose(data.values, np.tile([0, D, 2 * D], (14, 1)), atol=ROUNDING)


def test_invalid_points_give_nan_never_a_number_through_them():
    ds = affine_dataset()
    for name in ("u", "v", "exx", "eyy", "exy"):
        ds[name][1, 2, 3] = np.nan                         # grid point x = 34, y = 22, frame 1
    table = probe(ds, [Extensometer(36, 20, 80, 70), Extensometer(12, 40, 80, 70),
                       Point(33, 23), Gauge.rectangle(26, 14, 42, 30),
                       Section(((10, 22), (90, 22)))])
    assert np.isnan(table["E1 strain [%]"][1]) and np.isnan(table["E1 elongation [px]"][1])
    assert np.isfinite(table["E1 strain [%]"][[0, 2]]).all()
    assert np.isfinite(table["E2 strain [%]"]).all()       # its ends are away from the hole
    assert np.isnan(table["P1 u [px]"][1])
    assert table["G1 points"].tolist() == [9, 8, 9]
    assert table["G1 eyy [%]"][1] == pytest.approx(100 * D, abs=ROUNDING)
    assert table["S1 samples"].tolist() == [11, 10, 11]   # only the sample on the hole


@pytest.mark.parametrize(("make", "message"), [
    (lambda: Extensometer(10, 10, 10.5, 10.5), "ends are 0.707 px apart"),
    (lambda: Extensometer(10, math.nan, 20, 20), "finite numbers of px, got nan"),
    (lambda: Point(10, "7"), "finite numbers of px, got '7'"),
    (lambda: Gauge(((0, 0), (10, 10))), "at least 3 (x, y) vertices"),
    (lambda: Gauge(((20, 20), (60, 60), (60, 20), (20, 60))), "cross themselves (edges 1 and 3)"),
    (lambda: Gauge(((20, 20), (40, 40), (60, 60))), "enclose no area"),
    (lambda: Section(((20, 20),)), "at least 2 (x, y) vertices"),
    (lambda: Section(((20, 20), (30, 30)), step=0), "step must be > 0 px, got 0"),
    (lambda: Point(20, 20, "a,b"), "probe name 'a,b'"),
    (lambda: named([Point(20, 20, "x"), Extensometer(20, 20, 40, 40, "x")]),
     "two probes are named 'x'"),
    (lambda: probe(affine_dataset(), [Extensometer(5, 20, 40, 40)]),
     "extensometer E1 has (5, 20) px outside the measured grid (x 10 ... 90"),
    (lambda: probe(affine_dataset(), [Gauge.rectangle(11, 7, 13, 9)]), "G1 holds no grid point"),
    (lambda: section_profile(affine_dataset(), Section(((20, 20), (40, 40))), 3),
     "frame 3 is outside the dataset's 3 frames"),
    (lambda: section_map(affine_dataset(), Section(((20, 20), (40, 40))), "zncc"),
     "no field 'zncc'"),
    (lambda: probe(affine_dataset(), [Point(20, 20)], times=[0, 1]), "2 values for 3 frames"),
])
def test_bad_probes_are_refused_by_name(make, message):
    with pytest.raises(MorvexError, match=re.escape(message)):
        make()


def test_default_names_count_each_kind_and_describe_gives_both_units():
    probes = named([Extensometer(20, 20, 40, 40), Gauge.rectangle(20, 20, 40, 40),
                    Extensometer(30, 30, 60, 60, "top"), Extensometer(20, 30, 40, 40)])
    assert [p.name for p in probes] == ["E1", "G1", "top", "E3"]
    lines = describe(affine_dataset(SCALE), [Section(((20, 20), (40, 60)), "mid")])
    assert lines == ["mid: section, px (20, 20) (40, 60), mm (0.5, 0.5) (1, 1.5), step 8 px"]
    on_plane = coordinates(affine_dataset("plane"), Extensometer(20, 40, 60, 30))
    np.testing.assert_allclose(on_plane["mm"], [PLANE @ [20, 40], PLANE @ [60, 30]],
                               atol=ROUNDING)
    assert coordinates(affine_dataset(), Point(20, 40))["mm"] is None


# --- the command line -------------------------------------------------------------------------

FRAME_SECONDS = 2.0   # between the stamped frames


@pytest.fixture(scope="module")
def stamped_store(tmp_path_factory, synthetic_frames):
    """A calibrated store of four frame files whose TIFF stamps are 2 s apart, and a 50 Hz
    load log covering the first three of them."""
    import datetime

    import tifffile

    import morvex
    from conftest import PACKAGE_SETTINGS

    root = tmp_path_factory.mktemp("stamped")
    (root / "frames").mkdir()
    for k, frame in enumerate(synthetic_frames.frames):
        when = datetime.datetime(2026, 6, 1, 12, 0, 0) + datetime.timedelta(seconds=2 * k)
        tifffile.imwrite(root / "frames" / f"f{k}.tif", frame.astype(np.float32), datetime=when)
    store = root / "s.zarr"
    morvex.correlate_sequence(str(root / "frames"), store=store, progress=False,
                              scale_mm_per_px=SCALE, **PACKAGE_SETTINGS)
    t = np.arange(0, 251) / 50.0                            # 0 ... 5 s
    (root / "load.csv").write_text("time_s,load [N],Crosshead (mm)\n" + "".join(
        f"{a!r},{100 * a!r},{a / 10!r}\n" for a in t.tolist()))
    return root, store


def test_cli_writes_a_csv_a_spreadsheet_reads_with_the_synchronised_load(run_cli, stamped_store):
    import pandas as pd
    from matplotlib.image import imread

    import morvex

    root, store = stamped_store
    code, out, err = run_cli("probe", store, "--extensometer", "top=30,20,30,70",
                             "--gauge", "30,30,60,60", "--section", "25,45,70,45",
                             "--point", "45,45", "--test-data", root / "load.csv",
                             "--frame-times", "tiff", "--start-time", "0.5",
                             "--area", "4", "--load-channel", "load [N]",
                             "-o", root / "probes.csv", "--plot", root / "probes.png",
                             "--x", "top strain [%]")
    assert code == 0, err
    assert err == ("morvex: warning: 1 of 4 frames lie outside the test data's time span "
                   "(0 ... 5 s); their channels are NaN\n")
    comments = [line for line in (root / "probes.csv").read_text().splitlines()
                if line.startswith("#")]
    assert ("# probe top: extensometer, px (30, 20) (30, 70), mm (0.75, 0.5) (0.75, 1.75)"
            in comments)
    assert "# frame times: the TIFF time stamps, from the first frame at 0.5 s" in comments
    table = pd.read_csv(root / "probes.csv", comment="#")
    assert list(table.columns[:7]) == ["frame", "frame_name", "time [s]", "load [N]",
                                       "Crosshead (mm)", "stress [MPa]", "P1 u [mm]"]
    assert table["time [s]"].tolist() == [0.5, 2.5, 4.5, 6.5]
    np.testing.assert_allclose(table["load [N]"][:3], [50.0, 250.0, 450.0], rtol=1e-12)
    np.testing.assert_allclose(table["stress [MPa]"][:3], [12.5, 62.5, 112.5], rtol=1e-12)
    assert table["load [N]"].isna().tolist() == [False, False, False, True]
    package = morvex.probe.probe(morvex.open_store(store), [Extensometer(30, 20, 30, 70, "top")])
    np.testing.assert_allclose(table["top strain [%]"], package["top strain [%]"], rtol=1e-12)
    assert {"G1 points", "S1 samples", "P1 u [mm]"} <= set(table.columns)
    assert imread(root / "probes.png").shape[:2] == (1350, 1950)   # 6.5 x 4.5 in at 300 dpi


@pytest.mark.parametrize(("flags", "message"), [
    (["--extensometer", "1,2,3"], "--extensometer must be [NAME=]X0,Y0,X1,Y1 (finite numbers, "
                                  "px), got '1,2,3'"),
    (["--point", "45,45", "--frame-rate", "0"], "frame rate must be a finite number > 0 Hz"),
    (["--point", "45,45", "--frame-rate", "5", "--frame-times", "tiff"],
     "give --frame-rate or --frame-times, not both"),
    (["--point", "45,45", "--test-data", "{root}/load.csv"], "has a time column ('time_s'): "
                                                              "give the frames' times"),
    (["--point", "45,45", "--test-data", "{root}/load.csv", "--frame-rate", "1", "--area", "2",
      "--load-channel", "force"], "no channel 'force'"),
    (["--point", "400,45"], "point P1 has (400, 45) px outside the measured grid"),
    ([], "give at least one probe"),
    (["--point", "45,45", "--x", "frame"], "--x and --y choose what --plot draws"),
])
def test_cli_refuses_bad_input_in_one_line(run_cli, stamped_store, flags, message):
    root, store = stamped_store
    flags = [f.replace("{root}", str(root)) for f in flags]
    code, out, err = run_cli("probe", store, *flags, "-o", root / "bad.csv")
    assert code == 2
    assert err.count("\n") == 1 and err.startswith("morvex: error: ") and message in err


@pytest.mark.parametrize(("x", "expected"), [
    ("time [s]", ["E1 strain [%]", "G1 eyy [%]"]),
    ("E1 strain [%]", ["stress [MPa]"]),
    ("load [N]", ["E1 strain [%]", "G1 eyy [%]"]),
])
def test_a_plot_shows_strains_against_time_and_stress_against_a_strain(x, expected):
    import pandas as pd

    from morvex.probe_export import default_series

    table = pd.DataFrame({"frame": [0], "frame_name": ["a"], "time [s]": [0.0],
                          "load [N]": [1.0], "stress [MPa]": [2.0], "E1 elongation [mm]": [0.1],
                          "E1 strain [%]": [0.2], "G1 eyy [%]": [0.3], "G1 points": [4]})
    assert default_series(table, x) == expected
    without_stress = table.drop(columns="stress [MPa]")
    if x == "E1 strain [%]":
        assert default_series(without_stress, x) == ["load [N]"]


@pytest.mark.parametrize("scale", [None, SCALE, "plane"])
def test_sections_sampled_together_read_as_each_alone(scale):
    ds = affine_dataset(scale)
    rng = np.random.default_rng(4)
    ds["eyy"] = ds["eyy"] + rng.normal(0, 1e-3, ds["eyy"].shape)   # not bilinear
    ds["eyy"][1, 3, 4] = np.nan                                      # an invalid point
    sections = [Section(((12, 10), (80, 30), (40, 70)), "S1"), Section(((20, 60), (85, 60))),
                Section(((50, 8), (50, 76)), "S3", step=3.0)]
    together = section_maps(ds, sections, "eyy")
    assert len(together) == 3 and section_maps(ds, [], "eyy") == []
    for section, data in zip(sections, together, strict=True):
        alone = section_map(ds, section, "eyy")
        xr.testing.assert_identical(data, alone)
    with pytest.raises(MorvexError, match="outside the measured grid"):
        section_maps(ds, [sections[0], Section(((0, 0), (50, 50)))], "eyy")
