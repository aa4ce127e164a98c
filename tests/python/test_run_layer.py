"""The run layer's single sources: defaults, statuses and the grid from the extension; the
import graph; stores of the earlier layout."""

import dataclasses
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
from morvex.run.plan import check_threads
from morvex.settings import INT_MAX, MAX_THREADS, Settings, max_prefilter

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
# Settings field -> the extension's keyword for it.
LIBRARY_NAMES = {"subset": "subset_size", "step": "step", "interpolation": "interpolation",
                 "prefilter": "prefilter_sigma", "min_zncc": "min_zncc", "max_jump": "max_jump",
                 "search_range": "search_range", "seed_count": "seed_count",
                 "max_iterations": "max_iterations",
                 "convergence_threshold": "convergence_threshold",
                 "strain_window": "strain_window", "strain_measure": "strain_measure",
                 "strain_source": "strain_source", "max_predicted_sigma": "max_predicted_sigma"}


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


# --- limits: one source, the extension's -----------------------------------------------------

def test_the_settings_limits_are_the_extensions():
    image = morvex.synthetic_pair((96, 96), seed=2).reference
    widest = max_prefilter(21)
    assert widest == 2.5  # the 4-sigma radius is half the subset
    _guided.ReferenceImage(image, subset_size=21, step=8, prefilter_sigma=widest)
    with pytest.raises(ValueError, match="prefilter_sigma must be at most 2.5 px for "
                                         "subset_size 21 .* got 2.50001$"):
        _guided.ReferenceImage(image, subset_size=21, step=8, prefilter_sigma=widest + 1e-5)
    reference = _guided.ReferenceImage(image, subset_size=21, step=8)
    with pytest.raises(ValueError, match=f"threads must be at most {MAX_THREADS}, got "
                                         f"{MAX_THREADS + 1}"):
        _guided.correlate(reference, image, threads=MAX_THREADS + 1)
    # An integer setting's upper bound is the largest the binding carries.
    _guided.grid_axes(96, 96, subset_size=21, step=INT_MAX)
    with pytest.raises(TypeError):
        _guided.grid_axes(96, 96, subset_size=21, step=INT_MAX + 1)
    for field in dataclasses.fields(Settings):
        if field.metadata.get("kind") == "int":
            assert field.metadata["high"] == INT_MAX, field.name


@pytest.mark.parametrize("changes, message", [
    ({"threads": 10**6}, "threads must be a positive integer up to 1024 (more than any "
                         "machine's cores; each thread reserves its own stack) or None (all "
                         "cores), got 1000000"),
    ({"strain_window": 10**300},
     "strain_window must be an integer from 0 to 2147483647 px, got 1.000e+300"),
    ({"seed_count": -10**20}, "seed_count must be an integer from 0 to 2147483647, got "
                              "-1.000e+20"),
    ({"step": 7.5}, "step must be an integer from 1 to 2147483647 px, got 7.5"),
    ({"prefilter": float("nan")}, "prefilter must be a finite number, got nan"),
    ({"min_zncc": 10**400}, "min_zncc must be a finite number, got 1.000e+400"),
    ({"prefilter": 1000.0}, "prefilter must be at most 2.5 px for subset 21 (its 4-sigma "
                            "radius within half a subset; a wider blur leaves smooth ramps "
                            "that many shifts match, a confident wrong field), got 1000; lower "
                            "it or use a subset of at least 8001 px"),
], ids=["threads", "strain_window", "seed_count", "step_fraction", "prefilter_nan",
        "min_zncc_huge", "prefilter"])
def test_a_value_beyond_its_limit_is_refused_by_name_before_any_work(changes, message):
    with pytest.raises(morvex.MorvexError) as refused:
        morvex.correlate(*_pair(), **{"subset": 21, "step": 8, **changes})
    assert str(refused.value) == message


def test_threads_and_prefilter_at_their_limits_are_accepted():
    assert check_threads(MAX_THREADS) == MAX_THREADS
    case = morvex.synthetic_pair((96, 96), u=0.3, v=-0.2, seed=2)
    ds = morvex.correlate(case.reference, case.deformed, subset=21, step=8, prefilter=2.5)
    assert ds["valid"].values.mean() > 0.9
    assert abs(float(ds["u"].median()) - 0.3) < 0.02  # px: a blurred pattern's bias


def test_an_automatic_subset_with_a_prefilter_starts_from_a_subset_that_holds_it():
    case = morvex.synthetic_pair((96, 96), u=0.3, v=-0.2, noise=2.0, seed=2)
    ds = morvex.correlate(case.reference, case.deformed, subset="auto", noise_target=0.5,
                          prefilter=1.6, step=8)
    tried = json.loads(ds.attrs["subset_choice_json"])["tried"]
    assert min(int(k) for k in tried) == 15  # 4 x 1.6 = 6.4 px: a radius of 7
    assert int(ds.attrs["subset"]) >= 15


# --- runs that could measure nothing -----------------------------------------------------------

def _mask_patch(columns):
    mask = np.zeros((96, 96), bool)
    mask[32:53, 42:42 + columns] = True  # the 21 rows of the subset about grid point (42, 42)
    return mask


def test_the_mask_check_is_the_librarys_rule():
    """With a 21 px subset a point needs 221 of its 441 pixels on the specimen: a patch of 11
    columns gives 231 and measures, one of 10 columns gives 210 and is refused."""
    case = morvex.synthetic_pair((96, 96), u=0.3, v=-0.2, seed=2)
    ds = morvex.correlate(case.reference, case.deformed, mask=_mask_patch(11), subset=21, step=8)
    on = ds["status"].values != morvex.Status.OUTSIDE_MASK
    # The rule written out slowly: the centre on the mask, at least half the subset.
    mask = _mask_patch(11)
    expected = [[bool(mask[y, x]) and mask[y - 10:y + 11, x - 10:x + 11].sum() >= 441 / 2
                 for x in ds["x"].values.astype(int)] for y in ds["y"].values.astype(int)]
    np.testing.assert_array_equal(on, expected)
    assert on.sum() >= 1
    with pytest.raises(morvex.MorvexError, match="the mask leaves no grid point on the "
                                                 "specimen.*210 specimen pixels in all"):
        morvex.correlate(case.reference, case.deformed, mask=_mask_patch(10), subset=21, step=8)


@pytest.mark.parametrize("front_door", ["correlate", "sequence", "auto"])
def test_a_reference_without_texture_is_refused_before_any_work(front_door, tmp_path):
    flat = np.full((96, 96), 100.0)
    flat[0, 0] = np.nan  # a non-finite pixel is no texture either
    texture = "the reference has no texture under the region's subsets: every pixel has grey " \
              "level 100"
    with pytest.raises(morvex.MorvexError, match=texture):
        if front_door == "correlate":
            morvex.correlate(flat, flat, subset=21, step=8)
        elif front_door == "sequence":
            morvex.correlate_sequence([flat, flat], store=tmp_path / "s.zarr", subset=21,
                                      step=8, progress=False)
        else:
            morvex.correlate(flat, flat, subset="auto", noise_target=0.1)
    assert not (tmp_path / "s.zarr").exists()
    # Texture outside the region's subsets does not count.
    textured = flat.copy()
    textured[:, 80:] = np.random.default_rng(1).random((96, 16))
    with pytest.raises(morvex.MorvexError, match=texture):
        morvex.correlate(textured, textured, subset=21, step=8, roi=(0, 0, 60, 95))


def test_the_package_import_graph_has_no_cycle():
    done = subprocess.run([sys.executable, str(REPOSITORY / "scripts" / "check_imports.py")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout
    assert "0 problem(s)" in done.stdout


# Rooms of a stand-in package, empty but for the files a case writes.
_ROOMS = ("__init__.py", "job.py", "app/__init__.py", "app/views.py", "run/__init__.py",
          "run/plan.py", "run/execute.py", "run/watch.py", "run/frames.py", "run/tiles.py",
          "run/tasks.py")


@pytest.mark.parametrize("files, problem", [
    ({"job.py": "from .run.execute import run_sequence\nfrom .run.plan import plan_sequence\n"
                "from .run import watch\n"}, None),
    ({"job.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n"
                "    from .run.frames import Frame\n"}, None),
    ({"run/watch.py": "from .execute import held_store\nfrom .frames import run_frames\n"},
     None),
    ({"job.py": "def run():\n    from .run.tasks import measure_chunk\n"},
     "morvex.job imports morvex.run.tasks: front doors enter the run layer through run.plan"),
    ({"app/views.py": "from ..run import frames\n"},
     "morvex.app.views imports morvex.run.frames: front doors"),
    ({"run/tiles.py": "from .execute import cluster\n"},
     "morvex.run.tiles imports morvex.run.execute: the worker side"),
    ({"run/frames.py": "def later():\n    from . import watch\n"},
     "morvex.run.frames imports morvex.run.watch: the worker side"),
    ({"run/frames.py": "import distributed\n"},
     "morvex.run.frames imports distributed: only morvex.run.execute"),
    ({"run/watch.py": "from ..app.views import Page\n"},
     "morvex.run.watch imports the front door morvex.app.views"),
    ({"run/plan.py": "from .frames import Frame\n", "run/frames.py": "from .plan import Tile\n"},
     "import cycle: morvex.run.frames -> morvex.run.plan"),
], ids=["entries", "type-only", "watch-uses-execute", "door-to-tasks", "app-to-frames",
        "worker-to-execute", "worker-to-watch", "worker-to-backend", "run-to-door", "cycle"])
def test_the_import_check_holds_each_rule(tmp_path, files, problem):
    package = tmp_path / "morvex"
    for room in _ROOMS:
        (package / room).parent.mkdir(parents=True, exist_ok=True)
        (package / room).write_text(files.get(room, ""))
    done = subprocess.run([sys.executable, str(REPOSITORY / "scripts" / "check_imports.py"),
                           "--package", str(package)], capture_output=True, text=True,
                          timeout=60)
    if problem is None:
        assert (done.returncode, "0 problem(s)" in done.stdout) == (0, True), done.stdout
    else:
        assert (done.returncode, "1 problem(s)" in done.stdout) == (1, True), done.stdout
        assert problem in done.stdout


def strip_checksums(path):
    """Rewrite every array of the store at `path` with Zarr's default codecs (no CRC32C)."""
    for name, array in list(zarr.open_group(path, mode="r").arrays()):
        values = array[...]
        zarr.create_array(path / name, shape=array.shape, chunks=array.chunks,
                          dtype=array.dtype, fill_value=array.metadata.fill_value,
                          dimension_names=array.metadata.dimension_names,
                          attributes=dict(array.attrs), overwrite=True)[...] = values
        assert "crc32c" not in (path / name / "zarr.json").read_text()


def _as_written_before(path):
    """Strip what stores gained with the job (sources, mask, lock), the settings added since
    (which held their defaults then) and the chunks' checksums (chunks of fill values only
    were not written then): the earlier layout."""
    strip_checksums(path)
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
