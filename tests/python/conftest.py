"""Inputs shared by the module's boundary tests: a speckle image and a hand-made result;
the Hypothesis profile of the property tests."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

from morvex import _guided

# A modest number of examples keeps the suite quick in CI; HYPOTHESIS_PROFILE=thorough searches
# longer. No deadline: one run's time follows the machine's load, not the input's correctness.
settings.register_profile("morvex", max_examples=40, deadline=None, database=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("thorough", settings.get_profile("morvex"), max_examples=2000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "morvex"))


@pytest.fixture(scope="session")
def speckle():
    """A 120 x 120 speckle image, read-only so no test can change it for the others."""
    image = _guided.generate_speckle(120, 120, 3, 0.6, 11)
    image.flags.writeable = False
    return image


@pytest.fixture
def small_config():
    """A configuration whose grid fits a 120 x 120 image: 9 x 9 points, 10 px apart."""
    config = pytest.importorskip("_morvex_dic").DICConfig()
    config.subset_size = 21
    config.search_range = 5
    config.step = 10
    return config


@pytest.fixture
def hand_result():
    """A 2 x 3 result dictionary built from plain lists, as a user would write one."""
    n = 6
    return {
        "rows": 2,
        "cols": 3,
        "u": [0.5 * k for k in range(n)],
        "v": [-0.25 * k for k in range(n)],
        "exx": [0.001 * k for k in range(n)],
        "eyy": [0.002 * k for k in range(n)],
        "exy": [-0.003 * k for k in range(n)],
        "confidence": [0.9 + 0.01 * k for k in range(n)],
        "valid": [1, 0, 1, 1, 0, 1],
    }


# --- the morvex package ------------------------------------------------------------------

# Small enough for a few seconds per run on two shared cores, large enough for a 9 x 9 grid.
PACKAGE_SHAPE = (96, 96)
PACKAGE_SETTINGS = {"subset": 21, "step": 8}


@pytest.fixture(scope="session")
def synthetic_frames():
    """Four frames of a growing field (frame 0 is the reference), as a morvex sequence."""
    import morvex

    return morvex.synthetic_sequence(frames=4, shape=PACKAGE_SHAPE, u_step=0.4, v_step=-0.2,
                                     exx_final=0.006, eyy_final=-0.002, seed=5)


@pytest.fixture
def frame_files(tmp_path, synthetic_frames):
    """The frames as float32 TIFF files frames/f0.tif ... f3.tif; returns the folder."""
    import tifffile

    folder = tmp_path / "frames"
    folder.mkdir()
    for k, frame in enumerate(synthetic_frames.frames):
        tifffile.imwrite(folder / f"f{k}.tif", frame.astype(np.float32))
    return folder


@pytest.fixture
def run_cli(capsys):
    """Run the morvex command line in this process: (exit code, stdout, stderr)."""
    from morvex.cli import main

    def run(*args):
        with pytest.raises(SystemExit) as stop:
            main([str(a) for a in args])
        captured = capsys.readouterr()
        return stop.value.code, captured.out, captured.err

    return run
