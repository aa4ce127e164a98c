"""The run layer's single sources: defaults, statuses and the grid from the extension; the
import graph; stores of the earlier layout."""

import inspect
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr
import zarr

import morvex
from conftest import PACKAGE_SETTINGS
from morvex import _guided
from morvex.settings import Settings

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
# Settings field -> the extension's keyword for it.
LIBRARY_NAMES = {"subset": "subset_size", "step": "step", "interpolation": "interpolation",
                 "prefilter": "prefilter_sigma", "min_zncc": "min_zncc", "max_jump": "max_jump",
                 "search_range": "search_range", "seed_count": "seed_count",
                 "max_iterations": "max_iterations",
                 "convergence_threshold": "convergence_threshold",
                 "strain_window": "strain_window", "strain_measure": "strain_measure",
                 "strain_source": "strain_source"}


def test_python_defaults_are_the_guided_config_defaults():
    defaults = Settings()
    for name, library in LIBRARY_NAMES.items():
        assert getattr(defaults, name) == _guided.DEFAULTS[library], name
    # The extension's own keyword defaults, as a caller of _guided sees them.
    signature = inspect.signature(morvex.correlate)
    for name in LIBRARY_NAMES:
        assert signature.parameters[name].default == getattr(defaults, name), name
    ds = morvex.correlate(*_pair(), subset=21, step=8)
    assert ds.attrs["min_zncc"] == _guided.DEFAULTS["min_zncc"]


def _pair():
    case = morvex.synthetic_pair((96, 96), u=0.3, v=-0.2, seed=2)
    return case.reference, case.deformed


def test_statuses_are_the_library_list():
    codes = [code for code, _ in _guided.STATUSES]
    assert codes == list(range(len(codes)))  # dense, in code order
    for code, name in _guided.STATUSES:
        assert morvex.Status[name.upper()] == code
    assert morvex.Status.NOT_MEASURED == 255
    mask = np.ones((96, 96), dtype=bool)
    mask[:, :40] = False
    ds = morvex.correlate(*_pair(), mask=mask, **PACKAGE_SETTINGS)
    assert ds["status"].attrs["flag_meanings"].split() == [n for _, n in _guided.STATUSES]
    assert (ds["status"].values[:, ds["x"].values < 20] == morvex.Status.OUTSIDE_MASK).all()


def test_extension_reports_its_searches_and_work_by_status():
    reference, deformed = _pair()
    ref = _guided.ReferenceImage(reference, subset_size=21, step=8)
    result = _guided.correlate(ref, deformed, compute_strain=False)
    # Every point is in view: one whole-image search for the frame's first seed, no more.
    assert result["full_searches"] == 1
    seconds = np.asarray(result["seconds_by_status"])
    assert seconds.shape == (len(_guided.STATUSES),)
    held = np.bincount(np.asarray(result["status"]).ravel(), minlength=len(_guided.STATUSES))
    assert (seconds[held == 0] == 0).all() and seconds[0] > 0


@pytest.mark.parametrize("shape, subset, step, roi", [
    ((96, 96), 21, 8, None),
    ((97, 64), 21, 7, None),
    ((96, 96), 21, 8, (10, 12, 60, 70)),
    ((96, 96), 21, 8, (0, 0, 95, 95)),
    ((96, 96), 21, 200, None),            # one point per axis
    ((40, 300), 5, 1, (3, 1, 299, 39)),   # region past the subset's reach at every edge
    ((64, 64), 63, 1, None),              # a subset as large as the image allows
], ids=["square", "odd sides", "roi", "roi whole image", "step past the image", "thin roi",
        "largest subset"])
def test_grid_is_the_reference_images_grid(shape, subset, step, roi):
    ys, xs = _guided.grid_axes(*shape, subset_size=subset, step=step, roi=roi)
    image = np.random.default_rng(1).random(shape)
    reference = _guided.ReferenceImage(image, subset_size=subset, step=step, roi=roi)
    assert (reference.grid_rows, reference.grid_cols) == (len(ys), len(xs))
    # The rule written out slowly: centres `step` apart, the whole subset inside the image.
    half = subset // 2
    x0, y0, x1, y1 = roi if roi is not None else (0, 0, shape[1] - 1, shape[0] - 1)
    np.testing.assert_array_equal(ys, [y for y in range(max(y0, half), y1 + 1, step)
                                       if y <= shape[0] - 1 - half])
    np.testing.assert_array_equal(xs, [x for x in range(max(x0, half), x1 + 1, step)
                                       if x <= shape[1] - 1 - half])


def test_a_region_without_grid_points_is_refused_with_the_library_message():
    with pytest.raises(ValueError, match="leaves no grid point for subset_size 21"):
        _guided.grid_axes(96, 96, subset_size=21, step=8, roi=(0, 0, 5, 5))


def test_the_package_import_graph_has_no_cycle():
    done = subprocess.run([sys.executable, str(REPOSITORY / "scripts" / "check_imports.py")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout
    assert "0 problem(s)" in done.stdout


def _as_written_before(path):
    """Strip what stores gained with the job (sources, mask, lock) and the settings added
    since (which held their defaults then): the earlier layout."""
    group = zarr.open_group(path, mode="r+")
    for name in ("morvex_sources", "morvex_skipped"):
        group.attrs.pop(name, None)
    identity = json.loads(group.attrs["morvex_run"])
    for name in ("shape", "noise_target", "strain_source"):
        identity.pop(name)
    group.attrs["morvex_run"] = json.dumps(identity)
    import shutil

    shutil.rmtree(path / "morvex_lock", ignore_errors=True)
    assert "mask" not in group and "morvex_sources" not in group.attrs


@pytest.mark.parametrize("incremental", [False, True], ids=["fixed", "incremental"])
def test_a_store_of_the_earlier_layout_is_read_and_resumed(tmp_path, frame_files, incremental):
    whole = morvex.correlate_sequence(frame_files, store=tmp_path / "whole.zarr",
                                      progress=False, incremental=incremental,
                                      **PACKAGE_SETTINGS)
    old = tmp_path / "old.zarr"

    def stop_after_frame_1(index, frame, seconds):
        if index == 1:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        morvex.correlate_sequence(frame_files, store=old, progress=False,
                                  incremental=incremental, on_frame=stop_after_frame_1,
                                  **PACKAGE_SETTINGS)
    _as_written_before(old)
    assert morvex.open_store(old).sizes["frame"] == 2
    resumed = morvex.correlate_sequence(frame_files, store=old, progress=False,
                                        incremental=incremental, **PACKAGE_SETTINGS)
    xr.testing.assert_identical(resumed, whole)
    identity = json.loads(zarr.open_group(old, mode="r").attrs["morvex_run"])
    assert identity["frames"] == 4


def test_a_store_handle_keeps_writing_after_another_handle_grew_the_store(tmp_path,
                                                                         synthetic_frames):
    from morvex.store import Store

    path = tmp_path / "run.zarr"
    ds = morvex.correlate_sequence(synthetic_frames.frames, store=path, progress=False,
                                   **PACKAGE_SETTINGS)
    frame = ds.isel(frame=2).drop_vars(["frame", "frame_name"])
    writer = Store(path)
    writer.write_frame(1, ds.isel(frame=1).drop_vars(["frame", "frame_name"]))
    names = list(writer.identity()["frame_names"])
    Store(path).grow(names + ["appended"])  # as a watched folder's run does
    writer.write_frame(len(names), frame)  # beyond the shape the writer first opened
    stored = Store(path).read(complete_only=False)
    assert stored.sizes["frame"] == len(names) + 1
    for name in ("u", "v", "status", "valid"):
        np.testing.assert_array_equal(stored[name].values[-1], frame[name].values)
        np.testing.assert_array_equal(stored[name].values[1], ds[name].values[1])
