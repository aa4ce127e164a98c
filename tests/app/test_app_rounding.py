"""What the page prints and how it scales colours: rounding to the uncertainty, the limits of
a uniform field, and the views it keeps (no browser)."""

from __future__ import annotations

import numpy as np
import pytest

from morvex._errors import MorvexError
from morvex.app.render import field_limits
from morvex.app.rounding import to_uncertainty, with_uncertainty
from morvex.app.view import check_view, view_from_browser


@pytest.mark.parametrize("value, sigma, text", [
    (0.123456789, 0.003, "0.123"),        # one digit of sigma
    (0.123456789, 0.0012, "0.1235"),      # two when sigma starts with 1
    (2.0049999, 0.01, "2.005"),           # 0.01 starts with 1: two digits
    (1234.5678, 30.0, "1230"),            # sigma above 1: rounded to tens
    (-0.0004, 0.003, "0.000"),            # never "-0.000"
    (-5.551e-15, 0.002, "0.000"),         # rounding noise reads as zero
    (0.123456789, None, "0.1235"),        # no sigma: four significant digits
    (123456.789, float("nan"), "1.235e+05"),
    (0.5, 0.0, "0.5"),                    # a zero sigma is no uncertainty
    (float("nan"), 0.01, "nan"),
    (float("inf"), None, "inf"),
])
def test_values_round_to_their_uncertainty(value: float, sigma: float | None,
                                           text: str) -> None:
    assert to_uncertainty(value, sigma) == text


@pytest.mark.parametrize("value, sigma, text", [
    (0.21344, 0.0012, "0.2134 ± 0.0012"),   # sigma starting with 1 keeps two digits
    (0.21344, 0.0037, "0.213 ± 0.004"),     # sigma itself to its first digit
    (1234.5678, 30.0, "1230 ± 30"),
    (-0.0004, 0.003, "0.000 ± 0.003"),
    (0.123456789, None, "0.1235"),          # no sigma, no "±"
    (0.5, 0.0, "0.5"),
    (float("nan"), 0.01, "nan"),            # nothing to bound
])
def test_values_show_their_uncertainty(value: float, sigma: float | None, text: str) -> None:
    assert with_uncertainty(value, sigma) == text


@pytest.mark.parametrize("value, sigma", [("1.0", None), (1.0, "0.1"), (True, None)])
def test_rounding_refuses_what_is_not_a_number(value: object, sigma: object) -> None:
    with pytest.raises(MorvexError, match="must be a real number"):
        to_uncertainty(value, sigma)  # type: ignore[arg-type]


@pytest.mark.parametrize("values, uncertainty, expected", [
    # Rounding noise about zero (the reference frame's strain): symmetric about 0, uniform.
    (np.array([-5.551e-15, 1e-16, 3e-15, np.nan]), 0.0, (-1e-4, 1e-4, True)),
    # A spread below the values' uncertainty is no field either.
    (np.array([0.5001, 0.5002, 0.5003]), 0.01, (0.5002 - 0.01, 0.5002 + 0.01, True)),
    # A real field keeps its 2nd and 98th percentiles.
    (np.linspace(0.0, 1.0, 101), 0.0, (0.02, 0.98, False)),
    (np.array([np.nan, np.nan]), 0.0, (0.0, 1.0, False)),
])
def test_colour_limits_never_stretch_noise_over_the_scale(
        values: np.ndarray, uncertainty: float, expected: tuple[float, float, bool]) -> None:
    low, high, uniform = field_limits(values, uncertainty, default_half=1e-4)
    assert (low, high) == pytest.approx(expected[:2], abs=1e-12)
    assert uniform is expected[2]


@pytest.mark.parametrize("value, kept", [
    ({"scale": 2.5, "x": 10, "y": 20.5}, {"scale": 2.5, "x": 10.0, "y": 20.5}),
    ({"scale": 0.0, "x": 1, "y": 1}, None),
    ({"scale": 1e9, "x": 1, "y": 1}, None),
    ({"scale": 1, "x": float("nan"), "y": 1}, None),
    ({"scale": 1, "x": 1}, None),
    ({"scale": "big", "x": 1, "y": 1}, None),
    (None, None),
    ([1, 2, 3], None),
])
def test_views_kept_only_when_they_are_views(value: object, kept: dict | None) -> None:
    assert check_view(value) == kept
    if kept is None:
        with pytest.raises(MorvexError, match="is not a zoom between"):
            view_from_browser(value)
