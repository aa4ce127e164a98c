"""The command line's reach: every correlate setting as a run flag, plot options and
animations, missing optional modules named with what to install."""

import inspect
import sys

import numpy as np
import pytest

import morvex
from conftest import PACKAGE_SETTINGS
from morvex.cli import cli
from morvex.settings import Settings

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
    # The flag itself defaults to nothing, so only a typed flag overrides a TOML file.
    assert option.default in (None, ())
    if default is not None and name not in ("roi", "seeds", "crack_lines"):
        assert str(option.show_default).split(":")[0] == str(default)


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


# --- settings that crashed or lied, runs that did no work -----------------------------------

def _one_line_refusal(run_cli, frame_files, *args):
    code, out, err = run_cli("run", frame_files / "f0.tif", frame_files / "f1.tif", "-o",
                             frame_files.parent / "refused.zarr", "-q", *args)
    assert code == 2, err
    assert err.count("\n") == 1 and err.startswith("morvex: error: "), err
    assert not (frame_files.parent / "refused.zarr").exists()  # refused before any work
    return err


# Each once crashed the process (threads), returned a confident wrong field (prefilter) or
# dumped pybind's TypeError with the image array (integers beyond a C int).
@pytest.mark.parametrize("args, message", [
    (["--threads", "1000000"], "threads must be a positive integer up to 1024"),
    (["--prefilter", "1000"], "prefilter must be at most 2.5 px for subset 21"),
    (["--prefilter", "2.51"], "got 2.51; lower it or use a subset of at least 23 px"),
    (["--step", "1e20"], "'1e20' is not a valid integer"),
    (["--max-iterations", "3000000000"],
     "max_iterations must be an integer from 1 to 2147483647, got 3000000000"),
    (["--strain-window", "99999999999999999999"],
     "strain_window must be an integer from 0 to 2147483647 px, got 9.999e+19"),
    (["--min-zncc", "nan"], "min_zncc must be a finite number, got nan"),
    (["--max-jump", "inf"], "max_jump must be a finite number, got inf"),
], ids=["threads_million", "prefilter_1000", "prefilter_just_beyond",
        "step_1e20", "max_iterations_3e9", "strain_window_huge", "min_zncc_nan",
        "max_jump_inf"])
def test_a_setting_beyond_its_limit_is_one_line_and_exit_2(run_cli, frame_files, args,
                                                           message):
    err = _one_line_refusal(run_cli, frame_files, "--subset", "21", "--step", "8", *args)
    assert message in err


@pytest.mark.parametrize("toml, message", [
    ("step = 1e20\n", "step must be an integer from 1 to 2147483647 px, got 1e+20"),
    ("strain_window = " + "9" * 300 + "\n", "got 9.999e+299"),
    ("prefilter = nan\n", "prefilter must be a finite number, got nan"),
    ("roi = [0, 0, 99999999999, 50]\n", "must stay within 2147483647 px"),
])
def test_toml_values_beyond_their_limits_are_refused_by_name(run_cli, frame_files, tmp_path,
                                                            toml, message):
    config = tmp_path / "run.toml"
    config.write_text(toml)
    assert message in _one_line_refusal(run_cli, frame_files, "--config", config)


def test_a_toml_file_that_is_not_utf8_is_one_line(run_cli, frame_files, tmp_path):
    config = tmp_path / "run.toml"
    config.write_bytes(b"# r\xe9glages\nsubset = 21\n")
    err = _one_line_refusal(run_cli, frame_files, "--config", config)
    assert f"config file {config} is not UTF-8 text (TOML is): byte 0xe9 at offset 3" in err


def test_a_frame_whose_name_is_not_utf8_is_measured_and_named(run_cli, frame_files, tmp_path):
    import os

    folder = tmp_path / "latin1"
    folder.mkdir()
    for k, name in enumerate([b"f0.tif", b"f1_\xe9.tif"]):
        os.link(frame_files / f"f{k}.tif", os.path.join(os.fsencode(folder), name))
    store = tmp_path / "latin1.zarr"
    code, out, err = run_cli("run", folder / "f0.tif", folder, "-o", store, "--subset", 21,
                             "--step", 8)
    assert code == 0, err
    names = [str(n) for n in morvex.open_store(store)["frame_name"].values]
    assert names == ["f0.tif", "f1_\\xe9.tif"]


def _speckle_tif(path, image):
    import tifffile

    tifffile.imwrite(path, image.astype(np.float32))
    return path


# Each ran to "done, 0.0 % valid" with exit code 0.
@pytest.mark.parametrize("case, message", [
    ("constant image", "the reference has no texture under the region's subsets: every pixel "
                       "has grey level 100"),
    ("mask patch smaller than a subset", "the mask leaves no grid point on the specimen: a "
                                         "point needs its centre and at least 50% of its 21 px "
                                         "subset on non-zero mask pixels (100 specimen pixels"),
    ("roi smaller than a subset", "the region 21 x 21 px is smaller than one 29 px subset"),
])
def test_a_run_that_could_measure_nothing_is_refused(run_cli, frame_files, tmp_path, case,
                                                     message):
    reference, deformed = frame_files / "f0.tif", frame_files / "f1.tif"
    args = ["--subset", "21", "--step", "8"]
    if case == "constant image":
        reference = deformed = _speckle_tif(tmp_path / "flat.tif", np.full((96, 96), 100.0))
    elif case == "mask patch smaller than a subset":
        mask = np.zeros((96, 96), np.uint8)
        mask[40:50, 40:50] = 255
        args += ["--mask", _speckle_tif(tmp_path / "mask.tif", mask)]
    else:
        args = ["--subset", "29", "--roi", "0", "0", "20", "20"]
    code, _, err = run_cli("run", reference, deformed, "-o", tmp_path / "none.zarr", "-q",
                           *args)
    assert code == 2, err
    assert err.count("\n") == 1 and message in err, err
    assert not (tmp_path / "none.zarr").exists()
