"""The morvex package's Python surface: datasets, coordinates, masks, progress, bad input."""

import pickle

import numpy as np
import pytest
import xarray as xr

import morvex
from conftest import PACKAGE_SETTINGS, PACKAGE_SHAPE

# px: the solver's error on these clean 96 x 96 pairs stays below 0.01 px away from the image
# border (where the warped copy shows uncovered black pixels); a grid misplaced by one step
# would be off by step * gradient = 8 * 0.02 = 0.16 px.
COORDINATE_TOLERANCE = 0.03


@pytest.fixture(scope="module")
def stretched_pair():
    return morvex.synthetic_pair(PACKAGE_SHAPE, u=0.3, v=-0.2, du_dx=0.02, dv_dy=-0.02, seed=3)


@pytest.fixture(scope="module")
def measured(stretched_pair):
    return morvex.correlate(stretched_pair.reference, stretched_pair.deformed,
                            **PACKAGE_SETTINGS)


def test_dataset_layout_units_and_settings(measured):
    assert measured["u"].dims == ("y", "x")
    for name in ("u", "v", "exx", "eyy", "exy", "zncc", "sigma_u", "sigma_v", "valid", "status"):
        assert name in measured
    assert measured["valid"].dtype == bool and measured["status"].dtype == np.uint8
    assert measured["u"].attrs["units"] == "px" and measured["x"].attrs["units"] == "px"
    assert measured.attrs["subset"] == 21 and measured.attrs["step"] == 8
    assert measured.attrs["morvex_version"] == morvex.__version__
    assert measured["status"].attrs["flag_meanings"].split()[0] == "converged"
    assert np.diff(measured["x"].values).tolist() == [8.0] * (measured.sizes["x"] - 1)


def test_coordinates_are_the_true_subset_centres(measured, stretched_pair):
    assert measured["valid"].values.mean() > 0.8
    inner = measured.isel(y=slice(1, -1), x=slice(1, -1))
    x, y = np.meshgrid(inner["x"].values, inner["y"].values)
    truth = stretched_pair.truth(x, y)
    assert inner["valid"].values.all()
    assert np.abs(inner["u"].values - truth["u"]).max() < COORDINATE_TOLERANCE
    assert np.abs(inner["v"].values - truth["v"]).max() < COORDINATE_TOLERANCE
    half = PACKAGE_SETTINGS["subset"] // 2
    assert measured["x"].values.min() >= half and measured["x"].values.max() <= 95 - half


def test_invalid_points_hold_nan_in_every_float_variable(stretched_pair):
    mask = np.ones(PACKAGE_SHAPE, dtype=bool)
    yy, xx = np.mgrid[:96, :96]
    mask[(yy - 48) ** 2 + (xx - 48) ** 2 < 15 ** 2] = False  # a hole in the middle
    ds = morvex.correlate(stretched_pair.reference, stretched_pair.deformed, mask=mask,
                          **PACKAGE_SETTINGS)
    centre = ds.sel(x=48, y=48, method="nearest")
    assert not bool(centre["valid"]) and int(centre["status"]) == 1  # outside the mask
    invalid = ~ds["valid"].values
    for name in ("u", "v", "exx", "zncc", "sigma_u", "sigma_v"):
        assert np.isnan(ds[name].values[invalid]).all(), name
    assert ds["valid"].values[1, 1]  # away from the hole, points are still measured


def test_points_whose_subsets_the_motion_carries_past_the_frames_edge_are_measured():
    """A plate moved 1.4 px up carries the top row's subsets that far out of the frame: they
    are matched on their pixels inside, valid and right, with a sigma above the rows' below
    (fewer pixels); they used to come back "not converged"."""
    case = morvex.synthetic_pair((120, 120), u=0.4, v=-1.4, du_dx=0.0, dv_dy=0.0, noise=1.0,
                                 seed=4)
    ds = morvex.correlate(case.reference, case.deformed, subset=21, step=6)
    top = ds.isel(y=0, x=slice(1, -1))  # the corners also meet the side edges' content
    assert top["valid"].values.all(), top["status"].values
    assert np.abs(top["u"].values - 0.4).max() < 0.02
    assert np.abs(top["v"].values + 1.4).max() < 0.02
    inner = ds.isel(y=slice(2, -2), x=slice(2, -2))
    assert np.median(top["sigma_v"].values) > np.median(inner["sigma_v"].values)


def test_the_read_noise_sigma_allows_for_is_recorded_where_one_estimate_serves_the_run():
    from morvex import _guided

    case = morvex.synthetic_pair(PACKAGE_SHAPE, noise=3.0, seed=5)
    mask = np.ones(PACKAGE_SHAPE, bool)
    mask[:, :30] = False
    own = {}
    for name, given in (("whole", None), ("masked", mask)):
        ds = morvex.correlate(case.reference, case.deformed, mask=given, **PACKAGE_SETTINGS)
        own[name] = _guided.ReferenceImage(
            case.reference, subset_size=21, step=8,
            mask=None if given is None else given.astype(np.uint8)).reference_noise
        assert ds.attrs["reference_read_noise"] == own[name]
        assert own[name] == pytest.approx(3.0, rel=0.15)
    assert own["whole"] != own["masked"]
    frames = [case.reference, case.deformed, case.deformed]
    fixed = morvex.correlate_sequence(frames, **PACKAGE_SETTINGS)
    assert fixed.attrs["reference_read_noise"] == own["whole"]
    # Each tile and each increment estimates its own reference's noise: no one figure.
    assert "reference_read_noise" not in morvex.correlate_sequence(
        frames, incremental=True, **PACKAGE_SETTINGS).attrs
    large = morvex.synthetic_pair((200, 200), noise=3.0, seed=5)
    assert "reference_read_noise" not in morvex.correlate(
        large.reference, large.deformed, tile=189, **PACKAGE_SETTINGS).attrs


def test_calibration_adds_millimetre_coordinates(stretched_pair):
    ds = morvex.correlate(stretched_pair.reference, stretched_pair.deformed,
                          scale_mm_per_px=0.05, **PACKAGE_SETTINGS)
    np.testing.assert_allclose(ds["x_mm"].values, ds["x"].values * 0.05)
    np.testing.assert_allclose(ds["u_mm"].values, ds["u"].values * 0.05)
    assert ds["u_mm"].attrs["units"] == "mm"


def test_progress_callable_counts_every_point(stretched_pair):
    calls = []
    ds = morvex.correlate(stretched_pair.reference, stretched_pair.deformed,
                          progress=lambda done, total: calls.append((done, total)),
                          **PACKAGE_SETTINGS)
    points = ds.sizes["y"] * ds.sizes["x"]
    assert calls[-1] == (points, points)
    assert all(total == points for _, total in calls)
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)


def test_sequence_progress_counts_frames_and_returns_every_frame(synthetic_frames):
    calls = []
    ds = morvex.correlate_sequence(synthetic_frames.frames, progress=lambda *a: calls.append(a),
                                   **PACKAGE_SETTINGS)
    assert ds["u"].dims == ("frame", "y", "x") and ds.sizes["frame"] == 4
    assert calls == [(0, 4), (1, 4), (2, 4), (3, 4), (4, 4)]
    assert list(ds["frame_name"].values) == ["array 0", "array 1", "array 2", "array 3"]


def test_rgb_and_16_bit_arrays_are_converted_to_grey(stretched_pair):
    grey = np.clip(stretched_pair.reference, 0, 255)
    rgb = np.repeat(grey[..., None], 3, axis=2)
    from morvex.io import to_grey

    np.testing.assert_allclose(to_grey(rgb), grey)
    np.testing.assert_allclose(to_grey(np.round(grey * 257).astype(np.uint16)),
                               np.round(grey * 257) / 257)


def test_multipage_tiff_glob_and_folder_give_the_same_frames(tmp_path, synthetic_frames):
    import tifffile

    frames = [frame.astype(np.float32) for frame in synthetic_frames.frames]
    tifffile.imwrite(tmp_path / "stack.tif", np.stack(frames), photometric="minisblack")
    (tmp_path / "single").mkdir()
    for k, frame in enumerate(frames):
        tifffile.imwrite(tmp_path / "single" / f"f{k}.tif", frame)
    assert morvex.load_image(tmp_path / "stack.tif").shape == (4, 96, 96)
    # Workers of a distributed run receive frame lists by pickling them.
    from morvex.io import frames_from

    restored = pickle.loads(pickle.dumps(frames_from(tmp_path / "stack.tif")))
    np.testing.assert_array_equal(restored[2], frames[2])
    from_stack = morvex.correlate_sequence(tmp_path / "stack.tif", progress=False,
                                           **PACKAGE_SETTINGS)
    from_glob = morvex.correlate_sequence(str(tmp_path / "single" / "*.tif"), progress=False,
                                          **PACKAGE_SETTINGS)
    from_folder = morvex.correlate_sequence(tmp_path / "single", progress=False,
                                            **PACKAGE_SETTINGS)
    assert list(from_stack["frame_name"].values) == [f"stack.tif[{k}]" for k in range(4)]
    xr.testing.assert_identical(from_glob, from_folder)
    xr.testing.assert_equal(from_stack.drop_vars("frame_name"),
                            from_glob.drop_vars("frame_name"))


def test_16_bit_files_are_scaled_to_the_8_bit_range_at_full_precision(tmp_path):
    import tifffile

    values = np.tile(np.array([0, 1, 257, 1000, 65535], np.uint16), (5, 1))
    tifffile.imwrite(tmp_path / "deep.tif", values)
    np.testing.assert_array_equal(morvex.load_image(tmp_path / "deep.tif"), values / 257.0)


BAD_INPUT = [
    ("missing file", dict(reference="nope.tif"), "image file not found: nope.tif"),
    ("sizes differ", dict(deformed=np.zeros((64, 96))),
     "the deformed image has shape (64, 96), the reference (96, 96)"),
    ("mask size", dict(mask=np.ones((10, 10), bool)),
     "mask of shape (10, 10) does not match the reference image of shape (96, 96)"),
    ("subset too large", dict(subset=101), "subset of 101 px is larger than the 96 x 96 px image"),
    ("even subset", dict(subset=20), "subset must be an odd number of pixels >= 5, got 20"),
    ("roi leaves no point", dict(roi=(0, 0, 8, 8)), "the region 9 x 9 px leaves no grid point"),
    ("roi outside", dict(roi=(0, 0, 200, 50)), "roi (0, 0, 200, 50) reaches outside"),
    ("bad roi", dict(roi=(5, 5, 1, 1)), "needs 0 <= x0 < x1 and 0 <= y0 < y1"),
    ("3-D image", dict(deformed=np.zeros((2, 96, 96))), "deformed must be a 2-D grey"),
    ("empty mask", dict(mask=np.zeros((96, 96), bool)), "the mask marks no pixel as specimen"),
    ("interpolation", dict(interpolation="linear"), "interpolation must be one of"),
    ("threads", dict(threads=0), "threads must be a positive integer"),
]


@pytest.mark.parametrize("changes, message", [c[1:] for c in BAD_INPUT],
                         ids=[c[0] for c in BAD_INPUT])
def test_bad_input_is_named_before_any_work(stretched_pair, changes, message):
    arguments = dict(reference=stretched_pair.reference, deformed=stretched_pair.deformed,
                     **PACKAGE_SETTINGS)
    arguments.update(changes)
    with pytest.raises(morvex.MorvexError) as error:
        morvex.correlate(arguments.pop("reference"), arguments.pop("deformed"), **arguments)
    assert message in str(error.value)
    assert "\n" not in str(error.value)


@pytest.mark.parametrize("frames, message", [
    ([], "no frames: the frame list is empty"),
    ("{tmp}/*.tif", "no frames: the pattern"),
    ("{tmp}", "no frames: the folder"),
])
def test_empty_frame_lists_are_refused(tmp_path, frames, message):
    if isinstance(frames, str):
        frames = frames.format(tmp=tmp_path)
    with pytest.raises(morvex.MorvexError, match=message):
        morvex.correlate_sequence(frames, progress=False)


def test_exports_read_back(tmp_path, measured, synthetic_frames):
    import meshio
    import pandas as pd

    table = pd.read_csv(morvex.to_csv(measured, tmp_path / "pair.csv"))
    assert list(table.columns[:4]) == ["x [px]", "y [px]", "u [px]", "v [px]"]
    assert len(table) == measured.sizes["x"] * measured.sizes["y"]
    row = table.iloc[measured.sizes["x"] + 2]  # grid row 1, column 2
    assert (row["x [px]"], row["y [px]"]) == (measured["x"].values[2], measured["y"].values[1])
    np.testing.assert_allclose(row["u [px]"], measured["u"].values[1, 2], rtol=1e-8)

    # VTK has y up: its first row of points is the image's last row, at y = -(image row).
    (vtk_file,) = morvex.to_vtk(measured, tmp_path / "pair.vtk")
    mesh = meshio.read(vtk_file)
    np.testing.assert_allclose(mesh.points[:, 0].min(), measured["x"].values[0])
    np.testing.assert_allclose(mesh.points[:, 1].max(), -measured["y"].values[0])
    np.testing.assert_array_equal(mesh.point_data["status"].ravel(),
                                  measured["status"].values[::-1].ravel())
    np.testing.assert_allclose(mesh.point_data["displacement"][:, 0],
                               measured["u"].values[::-1].ravel())

    morvex.to_netcdf(measured, tmp_path / "pair.nc")
    back = xr.open_dataset(tmp_path / "pair.nc", engine="h5netcdf")
    xr.testing.assert_identical(back.load(), measured)
    back.close()
