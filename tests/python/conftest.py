"""Inputs shared by the module's boundary tests: a speckle image and a hand-made result;
the Hypothesis profile of the property tests."""

import os

import pytest
from hypothesis import HealthCheck, settings

import _morvex_dic as dic

# A modest number of examples keeps the suite quick in CI; HYPOTHESIS_PROFILE=thorough searches
# longer. No deadline: one run's time follows the machine's load, not the input's correctness.
settings.register_profile("morvex", max_examples=40, deadline=None, database=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("thorough", settings.get_profile("morvex"), max_examples=2000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "morvex"))


@pytest.fixture(scope="session")
def speckle():
    """A 120 x 120 speckle image, read-only so no test can change it for the others."""
    image = dic.generate_speckle(120, 120, 3, 0.6, 11)
    image.flags.writeable = False
    return image


@pytest.fixture
def small_config():
    """A configuration whose grid fits a 120 x 120 image: 9 x 9 points, 10 px apart."""
    config = dic.DICConfig()
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
