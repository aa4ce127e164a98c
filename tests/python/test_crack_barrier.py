"""Crack lines as barriers at the package's boundary: from Python, Settings (stored and read
back) and --crack; both lips of an opened crack measured up to the line; bad lines refused by
name."""

import json

import numpy as np
import pytest

import morvex
from morvex import _guided
from morvex.settings import Settings

ROWS, COLS, CUT = 100, 160, 81  # the far piece starts at column CUT
NEAR, FAR = (0.6, -0.3), (3.1, -0.3)  # each piece's motion; the far one opens the crack 2.5 px
LINE = [(CUT - 0.5, -0.5), (CUT - 0.5, ROWS - 0.5)]
COMMON = {"subset": 21, "step": 5, "strain_window": 15}


@pytest.fixture(scope="module")
def opened_plate():
    """A speckled plate cut at column CUT - 0.5, each piece moved rigidly, the gap dark."""
    reference = _guided.generate_speckle(ROWS, COLS, 3, 0.6, 17)
    near = _guided.deform_image(reference, *NEAR, 0.0, 0.0, 0.0, 0.0)
    far = _guided.deform_image(reference, *FAR, 0.0, 0.0, 0.0, 0.0)
    columns = np.arange(COLS)[None, :]
    deformed = np.where(columns < CUT - 0.5 + NEAR[0], near,
                        np.where(columns >= CUT - 0.5 + FAR[0], far, 10.0))
    return reference, deformed


def test_both_lips_are_measured_up_to_the_line(opened_plate):
    ds = morvex.correlate(*opened_plate, crack_lines=[LINE], **COMMON)
    x, _ = np.meshgrid(ds.x.values, ds.y.values)
    gap = np.abs(x - (CUT - 0.5))
    status, valid = ds.status.values, ds.valid.values
    assert np.all(status[gap < 1] == 10)
    # The subsets the line cuts, clear of the image's edges the motion reaches.
    inner = (ds.y.values[:, None] > 15) & (ds.y.values[:, None] < ROWS - 15) & (x < COLS - 20)
    cut = inner & (gap >= 1) & (gap < 10)
    assert cut.sum() >= 30 and np.all(valid[cut])
    near = cut & (x < CUT)
    np.testing.assert_allclose(ds.u.values[near], NEAR[0], atol=0.02)
    np.testing.assert_allclose(ds.u.values[cut & ~near], FAR[0], atol=0.02)
    np.testing.assert_allclose(ds.v.values[cut], -0.3, atol=0.02)
    np.testing.assert_allclose(ds.exx.values[cut], 0.0, atol=2e-3)  # no window spans the gap
    assert json.loads(ds.attrs["crack_lines"]) == [[list(v) for v in LINE]]


def test_without_the_line_the_cut_points_are_lost(opened_plate):
    """The same plate without the line: the points whose subset the gap cuts are refused (or
    wrong), which is what the line is for."""
    ds = morvex.correlate(*opened_plate, **COMMON)
    x, _ = np.meshgrid(ds.x.values, ds.y.values)
    near = (np.abs(x - (CUT - 0.5)) >= 1) & (np.abs(x - (CUT - 0.5)) < 10)
    truth = np.where(x < CUT, NEAR[0], FAR[0])
    right = ds.valid.values & (np.abs(ds.u.values - truth) < 0.02)
    assert right[near].sum() < 0.5 * near.sum()


def test_settings_keep_the_lines_and_old_settings_open():
    settings = Settings.build(crack_lines=[LINE, [(1, 2), (30, 4.5), (60, 40)]])
    assert settings.crack_lines == (tuple(LINE), ((1.0, 2.0), (30.0, 4.5), (60.0, 40.0)))
    again = Settings.build(**json.loads(settings.to_json()))
    assert again == settings
    old = json.loads(Settings().to_json())
    del old["crack_lines"]  # settings stored before crack lines existed
    assert Settings.build(**old).crack_lines == ()
    reference, solver = settings.to_kwargs()
    assert reference["crack_lines"][1] == [[1.0, 2.0], [30.0, 4.5], [60.0, 40.0]]
    assert Settings().to_kwargs()[0]["crack_lines"] is None
    assert _guided.SETTINGS[[r["name"] for r in _guided.SETTINGS].index("crack_lines")][
        "kind"] == "polylines"


BAD_LINES = [
    ([[(10, 10)]], "crack 0 needs at least 2 vertices, got 1"),
    ([LINE, [(10, 10), (float("nan"), 5)]], "crack 1 has a vertex that is not a finite number"),
    ([[(10, 10), (10, 10), (50, 10)]], "crack 0 repeats vertex 0 (10, 10)"),
    ([[(10, 10), (50, 50), (50, 10), (10, 50)]],
     "crack 0 is self-intersecting: segment 0 crosses segment 2"),
    ([LINE, [(10, 10), (COLS, 10)]], "crack 1 is outside the field: vertex 1 (160, 10) px is not "
                                     "within x -0.5 ... 159.5, y -0.5 ... 99.5"),
    ([[(True, 1), (5, 5)]], "crack 0 must be (x, y) pairs of numbers"),
    ("line", "crack_lines must be a list of polylines of (x, y) vertices, got 'line'"),
]


@pytest.mark.parametrize(("lines", "message"), BAD_LINES)
def test_bad_lines_are_refused_by_name(opened_plate, lines, message):
    with pytest.raises(morvex.MorvexError) as error:
        morvex.correlate(*opened_plate, crack_lines=lines, **COMMON)
    assert message in str(error.value)


def test_cli_crack_flags(run_cli, opened_plate, tmp_path):
    import tifffile

    for name, image in zip(("ref.tif", "def.tif"), opened_plate, strict=True):
        tifffile.imwrite(tmp_path / name, image.astype(np.float32))
    args = ["run", tmp_path / "ref.tif", tmp_path / "def.tif", "--subset", "21", "--step", "10",
            "-q"]
    line = ",".join(f"{v:g}" for vertex in LINE for v in vertex)
    code, out, err = run_cli(*args, "-o", tmp_path / "a.zarr", "--crack", line, "--crack",
                             "5,5,20,30,40,30")
    assert code == 0, err
    stored = json.loads(morvex.open_store(tmp_path / "a.zarr").attrs["crack_lines"])
    assert stored == [[list(v) for v in LINE], [[5, 5], [20, 30], [40, 30]]]
    for flag, message in [("10,10,500,3", "crack 0 is outside the field: vertex 1 (500, 3)"),
                          ("1,2,3", "'1,2,3' is not X,Y,X,Y[,X,Y...]"),
                          ("10,10,50,50,50,10,10,50", "crack 0 is self-intersecting")]:
        code, out, err = run_cli(*args, "-o", tmp_path / "b.zarr", "--crack", flag)
        assert code == 2
        assert len(err.strip().splitlines()) == 1 and message in err, err


@pytest.mark.parametrize(("lines", "expected"), [
    # A line across the window: cut at its edges, shifted into its coordinates.
    ([[(0.0, 25.0), (100.0, 25.0)]], (((-0.5, 5.0), (39.5, 5.0)),)),
    # A polyline: each segment inside the window apart; the one outside is left out.
    ([[(15.0, 30.0), (25.0, 30.0), (25.0, 45.0), (200.0, 45.0)]],
     (((-0.5, 10.0), (5.0, 10.0)), ((5.0, 10.0), (5.0, 25.0)), ((5.0, 25.0), (39.5, 25.0)))),
    ([[(0.0, 0.0), (5.0, 5.0)]], ()),
])
def test_tiles_see_the_lines_in_their_window(lines, expected):
    from morvex.run.tiles import _local_cracks

    # Window rows 20:50, columns 20:60 of the image: 30 x 40 px.
    got = _local_cracks(lines, (20, 50, 20, 60), (30, 40))
    assert len(got) == len(expected)
    np.testing.assert_allclose(np.array(got, float).ravel(), np.array(expected, float).ravel(),
                               atol=1e-9)


def test_incremental_runs_carry_the_lines_with_the_plate():
    """A plate drifting 2.5 px a frame while its crack opens: each frame is measured against
    the one before, whose crack has moved by up to 10 px from where the line was drawn on the
    reference. The cut subsets stay valid and on their own lip's motion in every frame (to
    0.08 px: the frame before, now the reference, holds the dark gap, whose grey step its
    interpolant carries a few pixels into the lips; the lips part by 0.6 px a frame)."""
    rows, cols, cut = 100, 200, 91
    reference = _guided.generate_speckle(rows, cols, 3, 0.6, 23)
    columns = np.arange(cols)[None, :]
    frames, truths = [reference], []
    for k in range(1, 5):
        near, far = (2.5 * k, -0.5 * k), (2.5 * k + 0.6 * k, -0.5 * k)
        frames.append(np.where(
            columns < cut - 0.5 + near[0], _guided.deform_image(reference, *near, 0, 0, 0, 0),
            np.where(columns >= cut - 0.5 + far[0],
                     _guided.deform_image(reference, *far, 0, 0, 0, 0), 10.0)))
        truths.append((near, far))
    line = [(cut - 0.5, -0.5), (cut - 0.5, rows - 0.5)]
    ds = morvex.correlate_sequence(frames, incremental=True, crack_lines=[line],
                                   progress=False, **COMMON)
    x, y = np.meshgrid(ds.x.values, ds.y.values)
    gap = np.abs(x - (cut - 0.5))
    # Cut by the line, clear of the image's edges the drift reaches.
    cut_points = (gap >= 1) & (gap < 10) & (y > 15) & (y < rows - 15)
    assert cut_points.sum() >= 30
    for k, (near, far) in enumerate(truths, start=1):
        frame = ds.isel(frame=k)
        assert frame.valid.values[cut_points].all(), k
        truth_u = np.where(x < cut, near[0], far[0])
        np.testing.assert_allclose(frame.u.values[cut_points], truth_u[cut_points], atol=0.08)
        np.testing.assert_allclose(frame.v.values[cut_points], near[1], atol=0.08)
