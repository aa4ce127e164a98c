"""The application's own rules without a browser: path confinement, mask shapes, probes."""

from __future__ import annotations

import os
import pathlib

import numpy as np
import pytest
import xarray as xr

from morvex import MorvexError
from morvex.app.mask import Shape, rasterise
from morvex.app.paths import Root
from morvex.app import probes


@pytest.fixture
def tree(tmp_path: pathlib.Path) -> Root:
    inside = tmp_path / "root"
    (inside / "frames").mkdir(parents=True)
    for k in range(3):
        (inside / "frames" / f"f{k}.tif").write_bytes(b"x")
    (tmp_path / "outside.tif").write_bytes(b"x")
    (tmp_path / "away").mkdir()
    os.symlink(tmp_path / "outside.tif", inside / "link_out.tif")
    os.symlink(tmp_path / "away", inside / "dir_out")
    os.symlink(inside / "frames" / "f0.tif", inside / "link_in.tif")
    return Root(inside)


@pytest.mark.parametrize("text, message", [
    ("../outside.tif", "climbs out with '..'"),
    ("frames/../../outside.tif", "climbs out with '..'"),
    ("/etc/hostname", "is absolute"),
    ("~/x.tif", "is absolute"),
    ("link_out.tif", "leads outside"),
    ("dir_out/anything.tif", "leads outside"),
    ("", "give a path relative"),
    ("a\x00b", "NUL"),
    ("frames/none.tif", "does not exist"),
])
def test_paths_leaving_the_root_are_refused(tree: Root, text: str, message: str) -> None:
    with pytest.raises(MorvexError, match=message):
        tree.resolve(text)


def test_paths_inside_the_root_resolve(tree: Root) -> None:
    assert tree.resolve("frames/f1.tif") == tree.path / "frames" / "f1.tif"
    assert tree.resolve("link_in.tif").resolve() == tree.path / "frames" / "f0.tif"
    assert tree.frames("frames/*.tif") == [str(tree.path / "frames" / f"f{k}.tif")
                                            for k in range(3)]
    with pytest.raises(MorvexError, match="climbs out"):
        tree.frames("../*.tif")
    folder, entries = tree.listing(".")
    assert folder == "."
    names = [path for path, _ in entries]
    assert "frames" in names and "link_in.tif" in names
    assert "link_out.tif" not in names and "dir_out" not in names


def _slow_inside(shape: Shape, rows: int, cols: int) -> np.ndarray:
    from matplotlib.path import Path

    ys, xs = np.mgrid[0:rows, 0:cols]
    points = np.column_stack([xs.ravel(), ys.ravel()]).astype(float)
    if shape.kind == "polygon":
        return Path(shape.points).contains_points(points).reshape(rows, cols)
    out = np.zeros((rows, cols), bool)
    for y in range(rows):
        for x in range(cols):
            if shape.kind == "rectangle":
                (xa, ya), (xb, yb) = shape.points
                out[y, x] = min(xa, xb) <= x <= max(xa, xb) and min(ya, yb) <= y <= max(ya, yb)
            else:
                (xc, yc), (xr, yr) = shape.points
                out[y, x] = (x - xc) ** 2 + (y - yc) ** 2 <= (xr - xc) ** 2 + (yr - yc) ** 2
    return out


@pytest.mark.parametrize("shape", [
    Shape("rectangle", ((3.5, 2.0), (20.2, 11.0))),
    Shape("rectangle", ((20.0, 11.0), (3.0, 2.0))),
    Shape("circle", ((12.3, 8.7), (17.0, 9.0))),
    Shape("polygon", ((2.3, 1.7), (25.6, 4.1), (11.2, 15.3))),
    Shape("polygon", ((1.5, 1.5), (20.5, 1.5), (20.5, 14.5), (10.5, 6.5), (1.5, 14.5))),
])
def test_shapes_cover_the_pixels_a_slow_test_finds(shape: Shape) -> None:
    np.testing.assert_array_equal(shape.covers((18, 28)), _slow_inside(shape, 18, 28))


def test_cuts_apply_in_drawing_order_over_a_loaded_mask() -> None:
    add = Shape("rectangle", ((0, 0), (9, 9)))
    cut = Shape("circle", ((5, 5), (7, 5)), cut=True)
    mask = rasterise([add, cut], (12, 12))
    assert mask.sum() == 100 - cut.covers((12, 12))[:10, :10].sum()
    assert rasterise([cut], (12, 12)).sum() == 144 - cut.covers((12, 12)).sum()
    base = np.zeros((12, 12), bool)
    assert rasterise([], (12, 12), base) is not base
    assert rasterise([], (12, 12)) is None


@pytest.mark.parametrize("data, message", [
    ({"kind": "triangle", "points": [[0, 0], [1, 1]]}, "kind must be one of"),
    ({"kind": "polygon", "points": [[0, 0], [1, 1]]}, "at least 3 points"),
    ({"kind": "circle", "points": [[0, 0], ["a", 1]]}, "pairs of numbers"),
    ({"kind": "rectangle", "points": [[0, 0], [float("nan"), 1]]}, "finite"),
    ("rectangle", "must be an object"),
])
def test_malformed_shapes_are_refused(data: object, message: str) -> None:
    with pytest.raises(MorvexError, match=message):
        Shape.from_json(data)


def _affine(du_dx: float, dv_dy: float, frames: int = 3) -> xr.Dataset:
    xs, ys = np.arange(10.0, 200.0, 7.0), np.arange(5.0, 120.0, 7.0)
    gx, gy = np.meshgrid(xs, ys)
    scale = np.arange(frames)[:, None, None]
    u = scale * (0.3 + du_dx * (gx - 100.0))
    v = scale * (-0.2 + dv_dy * (gy - 60.0))
    data = {"u": u, "v": v, "exx": scale * du_dx + 0 * gx, "eyy": scale * dv_dy + 0 * gx,
            "exy": 0 * u}
    return xr.Dataset({k: (("frame", "y", "x"), val) for k, val in data.items()},
                      coords={"frame": np.arange(frames), "y": ys, "x": xs})


@pytest.mark.parametrize("start, end, expected", [
    ((30.0, 40.0), (170.0, 40.0), lambda k: 0.004 * k),             # along x
    ((50.0, 20.0), (50.0, 100.0), lambda k: -0.002 * k),            # along y
])
def test_extensometer_reads_the_affine_stretch(start, end, expected) -> None:
    strain = probes.extensometer(_affine(0.004, -0.002), start, end)
    np.testing.assert_allclose(strain, [expected(k) for k in range(3)], atol=1e-12)


def test_point_line_gauge_and_refusals() -> None:
    ds = _affine(0.004, -0.002)
    ds["exx"][1, 2, 3] = np.nan
    assert probes.nearest(ds, 33.0, 20.0) == (2, 3)
    series = probes.point_series(ds, "u", 33.0, 20.0)
    np.testing.assert_allclose(series, [0.0, 0.3 + 0.004 * (31.0 - 100.0),
                                        2 * (0.3 + 0.004 * (31.0 - 100.0))])
    distance, values = probes.line_profile(ds, "u", 2, (10.0, 5.0), (178.0, 5.0))
    assert distance[0] == 0 and distance[-1] == pytest.approx(168.0)
    np.testing.assert_allclose(values, 2 * (0.3 + 0.004 * (np.arange(10.0, 179.0, 7.0) - 100)))
    means = probes.gauge(ds, (0.0, 0.0), (50.0, 50.0))
    np.testing.assert_allclose(means["exx"], [0.0, 0.004, 0.008])  # the NaN point left out
    with pytest.raises(MorvexError, match="holds no grid point"):
        probes.gauge(ds, (0.0, 0.0), (2.0, 2.0))
    with pytest.raises(MorvexError, match="apart"):
        probes.extensometer(ds, (10.0, 10.0), (10.5, 10.0))
    with pytest.raises(MorvexError, match="finite number"):
        probes.nearest(ds, float("inf"), 0.0)
    with pytest.raises(MorvexError, match="unknown field"):
        probes.field(ds, "temperature")


@pytest.mark.parametrize("text, message", [
    ("frame,load\n", "no numeric column"),
    ("a,b\nx,y\n", "no numeric column"),
])
def test_bad_load_files_are_refused(tmp_path: pathlib.Path, text: str, message: str) -> None:
    path = tmp_path / "load.csv"
    path.write_text(text)
    with pytest.raises(MorvexError, match=message):
        probes.load_table(str(path))
