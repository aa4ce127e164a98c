"""Speckle-pattern quality of an image and the subset size it supports."""

from __future__ import annotations

from typing import Any

import _morvex_dic

from ._errors import MorvexError
from .io import ImageLike, as_image


def speckle_report(image: ImageLike, *, subset: int = 29) -> dict[str, Any]:
    """Quality metrics of a speckle image and the recommended subset size.

    Args:
        image: grey or colour array, or an image path.
        subset: subset side, px, for the subset-based metric (sssig); >= 2.

    Returns:
        A dict: ``entropy`` (bits, 0 to 8, of the grey-level histogram), ``mean_gradient``
        (grey levels per px), ``sssig`` (mean subset gradient energy per pixel, for
        `subset`), ``contrast`` (Michelson), ``coverage`` (share of pixels with a gradient
        magnitude above 5), ``recommended_subset`` (px, odd, from the autocorrelation
        width), and ``shape`` (rows, cols).

    Raises:
        MorvexError: for a missing or unreadable file or an unusable array or subset.

    Example:
        >>> report = morvex.speckle_report(morvex.synthetic_pair((128, 128)).reference)
        >>> report["recommended_subset"] in (21, 31, 41, 51, 61)
        True
    """
    grey = as_image(image, "image")
    if isinstance(subset, bool) or not isinstance(subset, int) or subset < 2:
        raise MorvexError(f"subset must be an integer >= 2 px, got {subset!r}")
    report: dict[str, Any] = dict(_morvex_dic.assess_speckle_quality(grey, subset))
    report["shape"] = grey.shape
    return report
