"""Numbers as the page shows them: no more digits than the measurement carries."""

from __future__ import annotations

import math
from numbers import Real

from .._errors import MorvexError

SIGNIFICANT_WITHOUT_SIGMA = 4  # digits when no uncertainty is known


def decimals_of(sigma: float) -> int:
    """Decimal places that `sigma` (> 0, finite) resolves: its first significant digit, or
    its first two when that digit is 1 (0.012 keeps 0.012, not 0.01: a 20 % cut of it)."""
    exponent = math.floor(math.log10(sigma))
    leading = int(sigma / 10.0 ** exponent + 1e-9)
    return -exponent + (1 if leading == 1 else 0)


def to_uncertainty(value: float, sigma: float | None = None) -> str:
    """`value` as text, rounded to its uncertainty `sigma` (same unit) when it is known
    (finite, > 0), else to four significant digits. NaN and infinities read as Python does.

    Raises:
        MorvexError: for a value or sigma that is not a real number.
    """
    for name, item in (("value", value), ("sigma", sigma)):
        if item is not None and (isinstance(item, bool) or not isinstance(item, Real)):
            raise MorvexError(f"{name} must be a real number, got {item!r}")
    value = float(value)
    if not math.isfinite(value):
        return str(value)
    if sigma is None or not math.isfinite(sigma) or sigma <= 0:
        return f"{value:.{SIGNIFICANT_WITHOUT_SIGMA}g}"
    decimals = decimals_of(float(sigma))
    rounded = round(value, decimals)
    if rounded == 0:
        rounded = 0.0  # never "-0.00"
    return f"{rounded:.{max(decimals, 0)}f}"


def with_uncertainty(value: float, sigma: float | None = None) -> str:
    """`value` rounded to `sigma` followed by "± sigma" at the same decimals when sigma is
    known (finite, > 0) and the value finite; else as :func:`to_uncertainty` gives it."""
    text = to_uncertainty(value, sigma)
    if sigma is None or not math.isfinite(float(value)) or not math.isfinite(sigma) or sigma <= 0:
        return text
    return f"{text} ± {to_uncertainty(sigma, sigma)}"
