"""The command line's reach: every correlate setting as a run flag, plot options and
animations, missing optional modules named with what to install."""

import inspect
import sys

import numpy as np
import pytest

import morvex
from morvex.cli import cli
from morvex.settings import Settings

from conftest import PACKAGE_SETTINGS

# Parameters of correlate / correlate_sequence that are not run options of the same name:
# the images are arguments, the store is -o, a client is an address, and progress and the
# per-frame callback are what -q turns off.
NOT_FLAGS = {"reference": "REFERENCE", "deformed": "FRAMES", "frames": "FRAMES",
             "store": "output", "client": "scheduler", "progress": "quiet",
             "on_frame": "quiet"}


def keyword_settings():
    names = set(Settings.names())
    for function in (morvex.correlate, morvex.correlate_sequence):
        names |= {p.name for p in inspect.signature(function).parameters.values()
                  if p.kind not in (p.VAR_KEYWORD, p.VAR_POSITIONAL)}
    return names


def test_search_range_and_every_other_correlate_setting_is_a_run_flag():
    options = {p.name for p in cli.commands["run"].params}
    missing = sorted(name for name in keyword_settings()
                     if NOT_FLAGS.get(name, name) not in options | {"REFERENCE", "FRAMES"})
    assert missing == []


@pytest.mark.parametrize("name", Settings.names())
def test_run_help_shows_each_settings_default(name):
    option = next(p for p in cli.commands["run"].params if p.name == name)
    default = Settings.defaults()[name]
    assert option.show_default
    if default is not None and name != "roi":
        assert option.default == default


def test_search_range_flag_overrides_toml_and_reaches_the_store(run_cli, frame_files, tmp_path):
    config = tmp_path / "run.toml"
    config.write_text("search_range = 12\nmax_iterations = 30\n")
    store = tmp_path / "a.zarr"
    code, _, err = run_cli("run", frame_files / "f0.tif", frame_files, "-o", store, "-q",
                           "--subset", 21, "--step", 8, "--config", config,
                           "--search-range", 8)
    assert code == 0, err
    ds = morvex.open_store(store)
    # The flag beats the file; the file beats the defaults --help shows.
    assert ds.attrs["search_range"] == 8 and ds.attrs["max_iterations"] == 30


# --- a missing optional module ---------------------------------------------------------------

@pytest.fixture(scope="module")
def store(tmp_path_factory, synthetic_frames):
    path = tmp_path_factory.mktemp("stored") / "seq.zarr"
    morvex.correlate_sequence(synthetic_frames.frames[:3], store=path, progress=False,
                              **PACKAGE_SETTINGS)
    return path


@pytest.fixture
def absent():
    """Make a module look uninstalled; afterwards every h5* module is as it was before.

    h5netcdf imported without h5py remembers that h5py is missing, so the modules imported
    meanwhile are dropped rather than left for later tests.
    """
    family = ("h5py", "h5netcdf")
    saved = {k: v for k, v in sys.modules.items() if k.split(".")[0] in family}

    def hide(module):
        # h5py's compiled parts cannot be imported twice in one process: it is only ever
        # dropped when it is the module hidden, and its own objects come back afterwards.
        for name in [k for k in saved if k.split(".")[0] in {module, "h5netcdf"}]:
            del sys.modules[name]
        sys.modules[module] = None  # an import of it now fails, as if it were absent

    yield hide
    for name in [k for k in sys.modules if k.split(".")[0] in family]:
        del sys.modules[name]
    sys.modules.update(saved)


@pytest.mark.parametrize("module", ["h5py", "h5netcdf"])
def test_netcdf_export_without_its_module_says_what_to_install(run_cli, store, tmp_path,
                                                                 absent, module):
    absent(module)
    code, _, err = run_cli("export", store, "--format", "netcdf", "-o", tmp_path / "out")
    assert code == 2
    assert err == (f"morvex: error: the Python package {module} is not installed; install it "
                   f"with: pip install {module}\n")
    assert not list((tmp_path / "out").glob("*.nc*"))


@pytest.mark.parametrize("error, advice", [
    (ModuleNotFoundError("No module named 'distributed'", name="distributed"),
     "pip install 'dask[distributed]'"),
    (ImportError("No module named 'cv2'"), "pip install opencv-python-headless"),
    (ImportError("No module named 'h5py', backend not available"), "pip install h5py"),
    (ModuleNotFoundError("No module named 'morvex._guided'", name="morvex._guided"),
     "reinstall it with `pip install .`"),
], ids=["named", "cv2 from text", "xarray backend text", "own extension"])
def test_an_import_error_from_a_backend_is_one_line(run_cli, store, tmp_path, monkeypatch,
                                                    error, advice):
    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr("morvex.store.open_store", fail)
    code, _, err = run_cli("plot", store, "-o", tmp_path / "p.png")
    assert code == 2 and advice in err
    assert err.count("\n") == 1 and "Traceback" not in err


# --- plot options ----------------------------------------------------------------------------

def test_plot_colour_limits_and_map_from_the_command_line(run_cli, store, tmp_path, monkeypatch):
    import morvex.plotting as plotting

    seen = []
    original = plotting.plot

    def spy(*args, **kwargs):
        ax = original(*args, **kwargs)
        seen.append((ax.images[-1].get_clim(), ax.images[-1].get_cmap().name,
                     ax.figure.axes[-1].get_ylabel()))
        return ax

    monkeypatch.setattr(plotting, "plot", spy)
    code, _, err = run_cli("plot", store, "--field", "u", "--vmin", -1, "--vmax", 2, "--cmap",
                           "viridis", "-o", tmp_path / "u.png")
    assert code == 0, err
    code, _, err = run_cli("plot", store, "--field", "u", "-o", tmp_path / "robust.png")
    assert code == 0, err
    (fixed, cmap, label), (_, _, robust_label) = seen
    assert fixed == (-1.0, 2.0) and cmap == "viridis" and "percentile" not in label
    assert "percentiles 2 and 98" in robust_label


@pytest.mark.parametrize("args, message", [
    (["--cmap", "nocolours"], "unknown colour map 'nocolours'"),
    (["--vmin", "3", "--vmax", "1"], "vmin must be below vmax, got 3.0 and 1.0"),
    (["--percentiles", "50", "20"], "percentiles must satisfy 0 <= low < high <= 100"),
    (["--frames", "0:2"], "--frames 0:2 selects 2 frames; an animation needs an OUTPUT"),
    (["--frames", "7"], "frame 7 is outside the 3 frames"),
    (["--frames", "x"], "--frames must be all, K,K,... or START:STOP[:STEP], got 'x'"),
    (["--on", "deformed"], "was given as an array, so its image is not in the store"),
], ids=["cmap", "limits", "percentiles", "many frames to png", "frame range", "frames text",
        "array frames on deformed"])
def test_bad_plot_options_are_one_line(run_cli, store, tmp_path, args, message):
    code, _, err = run_cli("plot", store, *args, "-o", tmp_path / "p.png")
    assert code == 2 and message in err, err
    assert err.count("\n") == 1


def test_animation_uses_one_colour_scale_for_every_frame(run_cli, store, tmp_path, monkeypatch):
    from PIL import Image

    import morvex.plotting as plotting

    limits = []
    original = plotting.plot

    def spy(*args, **kwargs):
        ax = original(*args, **kwargs)
        limits.append(ax.images[-1].get_clim())
        return ax

    monkeypatch.setattr(plotting, "plot", spy)
    target = tmp_path / "u.gif"
    code, _, err = run_cli("plot", store, "--field", "u", "--frames", "all", "-o", target)
    assert code == 0, err
    with Image.open(target) as gif:
        assert gif.n_frames == 3
    ds = morvex.open_store(store)
    # u grows along the sequence: one robust scale over all frames, not each frame's own.
    expected = np.percentile(ds["u"].values[np.isfinite(ds["u"].values)], [2, 98])
    assert len(set(limits)) == 1
    np.testing.assert_allclose(limits[0], expected)


def test_mp4_without_ffmpeg_suggests_a_gif(run_cli, store, tmp_path, monkeypatch):
    import matplotlib.animation

    monkeypatch.setattr(matplotlib.animation.writers, "is_available", lambda name: False)
    code, _, err = run_cli("plot", store, "-o", tmp_path / "field.mp4")
    assert code == 2
    assert err == ("morvex: error: writing field.mp4 needs the ffmpeg program, which is not "
                   "installed; write field.gif instead\n")


def test_plot_on_the_deformed_frame_finds_the_frame_files(run_cli, frame_files, tmp_path):
    store = tmp_path / "files.zarr"
    code, _, err = run_cli("run", frame_files / "f0.tif", frame_files, "-o", store, "-q",
                           "--subset", 21, "--step", 8)
    assert code == 0, err
    code, _, err = run_cli("plot", store, "--on", "deformed", "-o", tmp_path / "d.png")
    assert code == 2 and "the image of frame 3 is not reachable" in err
    assert "pass --images FOLDER" in err
    for output in ("d.png", "d.gif"):
        code, _, err = run_cli("plot", store, "--on", "deformed", "--images", frame_files,
                               "-o", tmp_path / output)
        assert code == 0 and (tmp_path / output).stat().st_size > 0, err
