"""The morvex command line end to end: store, resume, plots, exports, Ctrl-C, user errors."""

import os
import select
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
import xarray as xr
import zarr

import morvex
from conftest import PACKAGE_SETTINGS

SETTINGS_FLAGS = ["--subset", "21", "--step", "8"]


def run_args(frames, store, *extra):
    return ["run", frames / "f0.tif", frames, "-o", store, *SETTINGS_FLAGS, *extra]


def test_run_writes_a_store_then_plots_and_exports_read_back(run_cli, frame_files, tmp_path):
    store = tmp_path / "test.zarr"
    code, out, err = run_cli(*run_args(frame_files, store, "--plot", "exx"))
    assert code == 0, err
    assert out.count("valid, median ZNCC") == 4 and "4 frames in" in out
    assert (tmp_path / "test_exx.png").stat().st_size > 0

    ds = morvex.open_store(store)
    assert ds["u"].dims == ("frame", "y", "x") and ds.sizes["frame"] == 4
    assert list(ds["frame_name"].values) == ["f0.tif", "f1.tif", "f2.tif", "f3.tif"]
    assert ds.attrs["subset"] == 21 and ds["reference_image"].shape == (96, 96)

    code, out, err = run_cli("plot", store, "--field", "u", "--frame", "2", "-o",
                             tmp_path / "u.png")
    assert code == 0 and (tmp_path / "u.png").stat().st_size > 0, err
    for kind in ("csv", "vtk", "netcdf"):
        code, out, err = run_cli("export", store, "--format", kind, "-o", tmp_path / "out")
        assert code == 0, err

    table = pd.read_csv(tmp_path / "out" / "test.csv")
    assert list(table.columns[:4]) == ["frame", "frame_name", "x [px]", "y [px]"]
    assert len(table) == 4 * ds.sizes["y"] * ds.sizes["x"]
    last = table[table["frame"] == 3]
    np.testing.assert_allclose(last["u [px]"].to_numpy(), ds["u"].values[3].ravel(), rtol=1e-8)

    import meshio

    vtk_files = sorted((tmp_path / "out" / "test").glob("frame_*.vtk"))
    assert [f.name for f in vtk_files] == [f"frame_{k:04d}.vtk" for k in range(4)]
    mesh = meshio.read(vtk_files[3])
    np.testing.assert_array_equal(mesh.point_data["valid"].ravel(),  # rows bottom up: y up
                                  ds["valid"].values[3][::-1].ravel())

    back = xr.open_dataset(tmp_path / "out" / "test.nc", engine="h5netcdf").load()
    np.testing.assert_array_equal(back["u"].values, ds["u"].values)


@pytest.mark.parametrize("incremental", [False, True], ids=["fixed", "incremental"])
def test_an_interrupted_run_resumes_with_identical_results(run_cli, frame_files, tmp_path,
                                                           incremental):
    flags = ["--incremental"] if incremental else []
    whole = tmp_path / "whole.zarr"
    assert run_cli(*run_args(frame_files, whole, "-q", *flags))[0] == 0

    # Interrupt after frame 1 is written, as Ctrl-C would between two frames.
    def stop_after_frame_1(index, frame, seconds):
        if index == 1:
            raise KeyboardInterrupt

    resumed = tmp_path / "resumed.zarr"
    with pytest.raises(KeyboardInterrupt):
        morvex.correlate_sequence(str(frame_files), reference=frame_files / "f0.tif",
                                  store=resumed, progress=False, on_frame=stop_after_frame_1,
                                  incremental=incremental, **PACKAGE_SETTINGS)
    assert morvex.open_store(resumed).sizes["frame"] == 2

    # A frame whose write was cut short (marker unset) is measured again, not trusted.
    zarr.open_array(resumed / "complete", mode="r+")[1] = 0
    measured = []
    morvex.correlate_sequence(str(frame_files), reference=frame_files / "f0.tif", store=resumed,
                              progress=False, on_frame=lambda k, *_: measured.append(k),
                              incremental=incremental, **PACKAGE_SETTINGS)
    assert measured == [1, 2, 3]  # nothing measured (or, incremental, written) twice
    xr.testing.assert_identical(morvex.open_store(resumed), morvex.open_store(whole))

    code, out, err = run_cli(*run_args(frame_files, resumed, *flags))
    assert code == 0 and "valid, median ZNCC" not in out  # all complete: nothing to do


def test_a_store_with_other_settings_is_refused_then_overwritten(run_cli, frame_files,
                                                                   tmp_path):
    store = tmp_path / "s.zarr"
    assert run_cli(*run_args(frame_files, store, "-q"))[0] == 0
    code, out, err = run_cli("run", frame_files / "f0.tif", frame_files, "-o", store,
                             "--subset", "25", "--step", "8", "-q")
    assert code == 2
    assert err.strip() == (f"morvex: error: store {store} was written with other settings "
                           "(subset: 21 in the store, 25 now); use --overwrite (overwrite=True) "
                           "to replace it, or another store")
    code, out, err = run_cli("run", frame_files / "f0.tif", frame_files, "-o", store,
                             "--subset", "25", "--step", "8", "-q", "--overwrite")
    assert code == 0, err
    assert morvex.open_store(store).attrs["subset"] == 25


def test_settings_come_from_toml_and_flags_override_them(run_cli, frame_files, tmp_path):
    config = tmp_path / "run.toml"
    config.write_text("subset = 25\nstep = 12\nmin_zncc = 0.7\n")
    store = tmp_path / "c.zarr"
    code, out, err = run_cli("run", frame_files / "f0.tif", frame_files / "f1.tif", "-o", store,
                             "--config", config, "--step", "10", "-q")
    assert code == 0, err
    attrs = morvex.open_store(store).attrs
    assert (attrs["subset"], attrs["step"], attrs["min_zncc"]) == (25, 10, 0.7)


def test_masked_run_from_a_mask_file(run_cli, frame_files, tmp_path):
    import tifffile

    mask = np.full((96, 96), 255, np.uint8)
    mask[30:66, 30:66] = 0
    tifffile.imwrite(tmp_path / "mask.tif", mask)
    store = tmp_path / "m.zarr"
    code, out, err = run_cli(*run_args(frame_files, store, "--mask", tmp_path / "mask.tif", "-q"))
    assert code == 0, err
    ds = morvex.open_store(store)
    assert int(ds["status"].sel(x=48, y=48, method="nearest")[-1]) == 1
    assert ds["valid"].values[-1].mean() > 0.3


CLI_ERRORS = [
    ("missing reference", ["run", "nope.tif", "{frames}", "-o", "{tmp}/a.zarr"],
     "morvex: error: image file not found: nope.tif"),
    ("empty glob", ["run", "{frames}/f0.tif", "{tmp}/*.png", "-o", "{tmp}/a.zarr"],
     "morvex: error: no frames: the pattern"),
    ("sizes differ", ["run", "{tmp}/small.tif", "{frames}", "-o", "{tmp}/a.zarr"],
     "has shape (96, 96), the reference (40, 40) (rows, cols)"),
    ("mask size", ["run", "{frames}/f0.tif", "{frames}", "-o", "{tmp}/a.zarr", "--mask",
                   "{tmp}/small.tif"], "mask of shape (40, 40) does not match"),
    ("subset too large", ["run", "{frames}/f0.tif", "{frames}", "-o", "{tmp}/a.zarr",
                          "--subset", "99"], "subset of 99 px is larger than the 96 x 96 px"),
    ("no grid point", ["run", "{frames}/f0.tif", "{frames}", "-o", "{tmp}/a.zarr", "--roi", "0",
                       "0", "12", "12"], "leaves no grid point for a 29 px subset"),
    ("not a store", ["plot", "{frames}", "-o", "{tmp}/p.png"], "is not a Morvex results store"),
    ("unknown field", ["plot", "{tmp}/missing.zarr", "-o", "{tmp}/p.png"],
     "store not found"),
    ("unknown toml key", ["run", "{frames}/f0.tif", "{frames}", "-o", "{tmp}/a.zarr",
                          "--config", "{tmp}/bad.toml"], "unknown setting 'subsets'"),
    ("bad choice", ["export", "{tmp}/a.zarr", "--format", "xls", "-o", "{tmp}"],
     "morvex: error: Invalid value for '--format'"),
    ("missing option", ["run", "{frames}/f0.tif", "{frames}"],
     "morvex: error: Missing option '-o' / '--output'. (see morvex run --help)"),
    ("output suffix", ["run", "{frames}/f0.tif", "{frames}", "-o", "{tmp}/a.out"],
     "must end in .zarr"),
    ("speckle missing", ["speckle", "{tmp}/none.png"], "image file not found"),
]


@pytest.mark.parametrize("args, message", [c[1:] for c in CLI_ERRORS],
                         ids=[c[0] for c in CLI_ERRORS])
def test_user_errors_are_one_line_with_exit_code_2(run_cli, frame_files, tmp_path, args,
                                                   message):
    import tifffile

    tifffile.imwrite(tmp_path / "small.tif", np.zeros((40, 40), np.uint8))
    (tmp_path / "bad.toml").write_text("subsets = 3\n")
    code, out, err = run_cli(*[a.format(frames=frame_files, tmp=tmp_path) for a in args])
    assert code == 2
    assert message in err
    assert err.count("\n") == 1 and "Traceback" not in err


@pytest.mark.parametrize("args", [[], ["--help"], ["run", "--help"], ["demo", "--help"]])
def test_help_is_printed_with_exit_code_0(run_cli, args):
    code, out, err = run_cli(*args)
    assert code == 0 and out.startswith("Usage: morvex") and err == ""


def test_console_script_and_module_run_without_traceback(tmp_path):
    script = os.path.join(os.path.dirname(sys.executable), "morvex")
    for command in ([script, "speckle", tmp_path / "none.png"],
                    [sys.executable, "-m", "morvex", "speckle", tmp_path / "none.png"]):
        done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 2
        assert done.stderr.startswith("morvex: error: image file not found")
    done = subprocess.run([script, "run", "--help"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and "--mask" in done.stdout and "--config" in done.stdout


CTRL_C_SCRIPT = textwrap.dedent("""
    import signal, sys, morvex
    # A shell that starts jobs in the background leaves SIGINT ignored; a terminal would not.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    case = morvex.synthetic_pair((700, 700))
    started = []
    def progress(done, total):
        if done and not started:
            started.append(done)
            print("running", flush=True)
    try:
        # A dense grid runs for many seconds; a narrow strain window keeps the strain pass
        # (which runs after the points, cancelled or not) short.
        morvex.correlate(case.reference, case.deformed, subset=21, step=2, strain_window=10,
                         progress=progress)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.exit(3)
    print("finished", flush=True)
""")


def read_line(fd, seconds):
    """One line from a pipe, or None when nothing arrives for `seconds`."""
    data = b""
    while not data.endswith(b"\n"):
        if not select.select([fd], [], [], seconds)[0]:
            return None
        chunk = os.read(fd, 1)
        if not chunk:
            break
        data += chunk
    return data.decode().strip()
