"""Plots: colour limits a user can trust, titles that agree with the tables, fields drawn on
the deformed image where the points went, and the demo's own consistency."""

import re

import numpy as np
import pytest
import xarray as xr

import morvex
from conftest import PACKAGE_SETTINGS
from morvex.plotting import colour_limits


def test_one_outlier_does_not_flatten_the_default_colour_scale():
    values = np.concatenate([np.linspace(0.0, 1.0, 101), [1e6, np.nan]])
    limits = colour_limits(values)
    # 102 finite values: the 98th percentile lies between the two largest inliers.
    np.testing.assert_allclose((limits.vmin, limits.vmax), (0.0202, 0.9898))
    assert limits.note == "\n(limits: percentiles 2 and 98)"


@pytest.mark.parametrize("vmin, vmax, percentiles, expected, note", [
    (-1.0, 3.0, (2, 98), (-1.0, 3.0), ""),
    (None, 3.0, (10, 90), (0.1, 3.0), "\n(vmin: percentile 10)"),
    (0.5, None, (10, 90), (0.5, 0.9), "\n(vmax: percentile 90)"),
    (None, None, None, (None, None), ""),
], ids=["both given", "vmin robust", "vmax robust", "full range"])
def test_colour_limits_given_and_robust(vmin, vmax, percentiles, expected, note):
    limits = colour_limits(np.linspace(0.0, 1.0, 101), vmin, vmax, percentiles)
    assert limits.note == note
    for got, want in zip((limits.vmin, limits.vmax), expected, strict=True):
        assert got == pytest.approx(want) if want is not None else got is None


@pytest.mark.parametrize("values, expected", [
    (np.full(5, 2.0), (1.5, 2.5)),                      # a constant field still has a scale
    (np.full(5, np.nan), (None, None)),                 # nothing finite: matplotlib decides
], ids=["constant", "all NaN"])
def test_colour_limits_of_degenerate_fields(values, expected):
    limits = colour_limits(values)
    assert (limits.vmin, limits.vmax) == expected


@pytest.mark.parametrize("kwargs, message", [
    ({"vmin": float("nan")}, "vmin must be a finite number, got nan"),
    ({"vmin": 2.0, "vmax": 2.0}, "vmin must be below vmax, got 2.0 and 2.0"),
    ({"percentiles": (5,)}, "percentiles must be two numbers (low, high), got (5,)"),
    ({"percentiles": (-1, 50)}, "percentiles must satisfy 0 <= low < high <= 100"),
    ({"vmin": 5.0}, "colour limits 5 .. 0.98 are empty; give both vmin and vmax"),
])
def test_bad_colour_limits_name_the_value(kwargs, message):
    with pytest.raises(morvex.MorvexError, match=re.escape(message)):
        colour_limits(np.linspace(0.0, 1.0, 101), **kwargs)


def one_frame(name):
    ds = xr.Dataset({"valid": (("y", "x"), np.array([[True, False], [True, True]])),
                     "status": (("y", "x"), np.array([[0, 1], [0, 0]], np.uint8))},
                    coords={"y": [10, 20], "x": [10, 20], "frame": 5})
    return ds.assign_coords(frame_name=name)


@pytest.mark.parametrize("name, title", [
    ("array 5", "exx, frame 5, 100.0% of specimen points valid"),
    ("f5.tif", "exx, frame 5 (f5.tif), 100.0% of specimen points valid"),
    ("stack.tif[5]", "exx, frame 5 (stack.tif[5]), 100.0% of specimen points valid"),
], ids=["array", "file", "page"])
def test_title_names_a_frame_once_and_counts_specimen_points(name, title):
    from morvex.plotting import _title

    # The point outside the mask is not a failure of the measurement.
    assert _title(one_frame(name), "exx") == title


def test_field_on_the_deformed_image_sits_at_the_displaced_points():
    case = morvex.synthetic_pair((96, 96), u=2.5, v=-1.25, du_dx=0.0, dv_dy=0.0, seed=3)
    ds = morvex.correlate(case.reference, case.deformed, **PACKAGE_SETTINGS)
    ax = morvex.plot(ds, "u", background=case.deformed, on="deformed")
    from matplotlib.collections import QuadMesh

    mesh = next(c for c in ax.collections if isinstance(c, QuadMesh))
    corners = np.ma.getdata(mesh.get_coordinates())  # (rows, cols, 2): x, y of each point
    x, y = np.meshgrid(ds["x"].values, ds["y"].values)
    valid = ds["valid"].values
    np.testing.assert_allclose(corners[..., 0][valid], (x + ds["u"].values)[valid])
    np.testing.assert_allclose(corners[..., 1][valid], (y + ds["v"].values)[valid])
    # The known shift: drawn points sit 2.5 px right of and 1.25 px above their centres (a
    # median: points at the border of this small image are measured less well).
    assert np.median(corners[..., 0][valid] - x[valid]) == pytest.approx(2.5, abs=0.02)
    assert np.median(corners[..., 1][valid] - y[valid]) == pytest.approx(-1.25, abs=0.02)
    assert "on the deformed image" in ax.get_title()


def test_on_deformed_needs_the_deformed_image():
    case = morvex.synthetic_pair((96, 96), seed=3)
    ds = morvex.correlate(case.reference, case.deformed, **PACKAGE_SETTINGS)
    with pytest.raises(morvex.MorvexError, match="on='deformed' needs the frame's deformed"):
        morvex.plot(ds, "u", on="deformed")


def test_demo_measures_with_the_subset_it_recommends_and_its_table_matches_the_titles(
        run_cli, tmp_path):
    from morvex.plotting import _title

    code, out, err = run_cli("demo", "-o", tmp_path, "--frames", 3, "--size", 128)
    assert code == 0, err
    recommended = re.search(r"recommended subset (\d+) px", out).group(1)
    assert f"measuring with the recommended subset {recommended} px" in out
    ds = morvex.open_store(tmp_path / "demo.zarr")
    assert ds.attrs["subset"] == int(recommended)
    rows = re.findall(r"^\s+(\d+)\s+([\d.]+%)", out, flags=re.M)
    assert [int(k) for k, _ in rows] == [0, 1, 2]
    for k, share in rows:
        assert _title(ds.isel(frame=int(k)), "exx").endswith(f", {share} of specimen points "
                                                             "valid")


def dense_field(rows, cols, image_shape):
    """A field of rows x cols points over an image of `image_shape`; the longest displacement,
    hypot(3, 1.5) = 3.35 px, sits in the first column, which every thinning keeps."""
    y = np.linspace(10.0, image_shape[0] - 10.0, rows)
    x = np.linspace(10.0, image_shape[1] - 10.0, cols)
    u = np.tile(np.linspace(3.0, 0.0, cols), (rows, 1))
    return xr.Dataset({"u": (("y", "x"), u), "v": (("y", "x"), -0.5 * u),
                       "valid": (("y", "x"), np.ones((rows, cols), bool)),
                       "status": (("y", "x"), np.zeros((rows, cols), np.uint8)),
                       "reference_image": (("row", "col"), np.zeros(image_shape))},
                      coords={"y": y, "x": x})


# Fault: an arrow at every grid point drew a solid carpet (step 5 on a large image).
@pytest.mark.parametrize("rows, cols, every, shown", [
    (200, 300, None, (25, 38)),    # ceil(300 / 40) = 8: every 8th point along each axis
    (30, 20, None, (30, 20)),      # sparse already: every point
    (200, 300, 50, (4, 6)),        # the caller's choice stands
])
def test_vector_plot_thins_a_dense_grid_and_keys_the_arrow_length(rows, cols, every, shown):
    import matplotlib.pyplot as plt
    from matplotlib.quiver import Quiver, QuiverKey

    ax = morvex.plot_vectors(dense_field(rows, cols, (1000, 1500)), every=every)
    (arrows,) = [c for c in ax.collections if isinstance(c, Quiver)]
    assert (len(np.unique(arrows.Y)), len(np.unique(arrows.X))) == shown
    (key,) = [a for a in ax.get_children() if isinstance(a, QuiverKey)]
    # The key is a round 2 px at the arrows' own scale.
    scale = np.hypot(arrows.U, arrows.V).max() / np.hypot(3.0, 1.5)
    assert key.text.get_text() == "2 px"
    assert pytest.approx(2.0 * scale) == key.U
    plt.close(ax.figure)


# Fault: on a tall image the figure is narrow and the one-line title was cut off.
@pytest.mark.parametrize("draw", [
    lambda ds: morvex.plot(ds, "u"),
    lambda ds: morvex.plot_vectors(ds),
], ids=["field", "vectors"])
def test_titles_of_tall_images_stay_inside_the_figure(draw):
    import matplotlib.pyplot as plt

    ds = dense_field(60, 6, (3000, 300)).assign_coords(frame=12, frame_name="a_long_name.tif")
    ax = draw(ds)
    figure = ax.figure
    figure.canvas.draw()
    title = ax.title.get_window_extent()
    assert title.x0 >= 0 and title.x1 <= figure.bbox.width and title.y1 <= figure.bbox.height
    plt.close(figure)
