"""Speckle-pattern quality of an image, the subset size it supports and the noise it gives.

Every figure is the package's own, in the units it prints: central-difference gradients in grey
levels per px (a ramp of slope a reads a), their squares in (grey levels / px)^2, counted on the
specimen alone when a mask is given. The extension's assess_speckle_quality keeps its own
(unnormalised Sobel) scale; only its subset recommendation, the autocorrelation width, is
taken from it, so that rule has one source.

The predicted noise is the first-order one of a subset (Pan et al., "Study on subset size
selection in digital image correlation for speckle patterns", Optics Express 16(10), 2008):
sigma_u = sqrt(2) * sigma_n / sqrt(sum of gx^2 over the subset), and sigma_v with gy, for read
noise sigma_n in both images.
"""

from __future__ import annotations

import math
import textwrap
from typing import Any

import numpy as np

from ._errors import MorvexError
from .io import ImageLike, as_image, as_mask
from .noise import central_gradients, estimate_read_noise

# Grey levels per px: a pixel counts as textured when its gradient magnitude is above this.
TEXTURED_GRADIENT = 1.0
# When read noise explains at least this share of the gradient energy, the texture is noise.
NOISE_ONLY_SHARE = 0.5
# Grey levels: the rounding of integer grey levels (1 / sqrt(12)); the predicted noise never
# assumes less read noise than that, so a noise-free synthetic image still predicts a figure.
QUANTISATION_NOISE = 1.0 / math.sqrt(12.0)
NO_TEXTURE = "no usable texture"


def speckle_report(image: ImageLike, *, subset: int = 29,
                   mask: ImageLike | None = None) -> dict[str, Any]:
    """Quality metrics of a speckle image, the recommended subset and the noise it predicts.

    Args:
        image: grey or colour array, or an image path. NaN pixels do not count.
        subset: subset side, px, for ``sssig`` and the predicted noise at that size; >= 2.
        mask: specimen mask of the image's shape (non-zero = specimen), an array or an image
            path; only the specimen counts, so a black margin or a hole changes nothing.

    Returns:
        A dict: ``shape`` (rows, cols); ``specimen_share`` (share of the image's pixels that
        count: finite, on the mask); ``entropy`` (bits, 0 to 8, of the 8-bit grey-level
        histogram); ``contrast`` (Michelson); ``mean_gradient`` (mean central-difference
        gradient magnitude, grey levels/px, over pixels whose 3 x 3 neighbourhood counts);
        ``sssig`` (the sum of squared subset intensity gradients, gx^2 + gy^2, of a `subset`
        subset divided by its area, (grey levels/px)^2 per px, averaged over subsets wholly
        on the specimen with corners every subset // 2 px; NaN when none fits); ``coverage``
        (share of those pixels with a gradient above TEXTURED_GRADIENT grey levels/px);
        ``read_noise`` (grey levels, estimated on the specimen; NaN where no 5 x 5 px patch
        of it exists); ``subset_sigma_u_px`` and ``subset_sigma_v_px`` (median predicted
        noise of the `subset` subset); ``recommended_subset`` (px, odd: 21 to 61, about ten
        speckle sizes from the autocorrelation width, or None); ``sigma_u_px`` and
        ``sigma_v_px`` (median predicted noise of the recommended subset, NaN without one);
        ``usable`` (whether a subset is recommended) and ``verdict`` (one sentence: the
        recommendation and its predicted noise, or "no usable texture" and why).

        The predicted noise is sqrt(2) * read noise / sqrt(sum of gx^2) (gy^2 for v) over a
        subset, for white noise of the estimated read noise (at least QUANTISATION_NOISE) in
        both images; an affine subset and the run's interpolation read somewhat otherwise.
        The recommendation assumes a uniform field: a subset averages the displacement over
        its width, so where the field varies a smaller subset (more noise, less smoothing)
        can measure closer; the certificate (``morvex certify``) measures the spatial
        resolution a subset size gives.

    Raises:
        MorvexError: for a missing or unreadable file, an unusable array, subset or mask.

    Example:
        >>> report = morvex.speckle_report(morvex.synthetic_pair((128, 128)).reference)
        >>> report["recommended_subset"] in (21, 31, 41, 51, 61)
        True
    """
    grey = as_image(image, "image")
    if isinstance(subset, bool) or not isinstance(subset, int) or subset < 2:
        raise MorvexError(f"subset must be an integer >= 2 px, got {subset!r}")
    counted = np.isfinite(grey)
    if mask is not None:
        counted &= as_mask(mask, grey.shape)
    values = grey[counted]
    gy, gx, valid = central_gradients(grey, counted)
    magnitude = np.hypot(gx, gy)[valid]
    energy = float(np.mean(gx[valid] ** 2 + gy[valid] ** 2)) if magnitude.size else 0.0
    read_noise = _read_noise(grey, counted)
    report: dict[str, Any] = {
        "shape": grey.shape,
        "specimen_share": float(np.mean(counted)),
        "entropy": _entropy(values),
        "contrast": _contrast(values),
        "mean_gradient": float(np.mean(magnitude)) if magnitude.size else math.nan,
        "sssig": _subset_energy(gx * gx + gy * gy, valid, subset),
        "coverage": float(np.mean(magnitude > TEXTURED_GRADIENT)) if magnitude.size else 0.0,
        "read_noise": read_noise,
    }
    noise = max(read_noise, QUANTISATION_NOISE) if math.isfinite(read_noise) else math.nan
    report["subset_sigma_u_px"], report["subset_sigma_v_px"] = _predicted_sigma(
        gx, gy, valid, subset, noise)
    report.update(recommended_subset=None, sigma_u_px=math.nan, sigma_v_px=math.nan,
                  usable=False)
    flaw = _no_texture(values.size, magnitude.size, energy, read_noise, mask is not None)
    if flaw:
        report["verdict"] = f"{NO_TEXTURE}: {flaw}; no subset recommended"
        return report
    recommended = _recommended_subset(grey, counted)
    sigma_u, sigma_v = _predicted_sigma(gx, gy, valid, recommended, noise)
    if not (math.isfinite(sigma_u) and math.isfinite(sigma_v)):
        report["verdict"] = (f"{NO_TEXTURE}: no {recommended} x {recommended} px subset (about "
                             "ten speckle sizes, what a unique match needs) lies wholly on the "
                             "textured specimen; no subset recommended")
        return report
    report.update(recommended_subset=recommended, sigma_u_px=sigma_u, sigma_v_px=sigma_v,
                  usable=True)
    floor = " (the rounding of 8-bit levels)" if read_noise < QUANTISATION_NOISE else ""
    report["verdict"] = (
        f"subset {recommended} px: about ten speckle sizes (the pattern's autocorrelation "
        f"width) for a unique match; predicted noise sigma_u {sigma_u:.3g} px, sigma_v "
        f"{sigma_v:.3g} px with read noise {noise:.3g} grey levels{floor} in both images. "
        f"Assumes a uniform field: a subset averages the displacement over its {recommended} "
        "px, so where the field varies a smaller subset (more noise, less smoothing) can "
        "measure closer; `morvex certify --subset N` measures the spatial resolution of a size")
    return report


def report_lines(report: dict[str, Any], subset: int, width: int | None = 94) -> list[str]:
    """The report as the command line and the application print it: a figure a line (indented),
    then the recommendation and its verdict wrapped at `width` characters (None: one line, for
    a page that wraps its own text), or the "no usable texture" line."""
    figures = [
        f"entropy            {report['entropy']:.2f} bits (of 8)",
        f"mean gradient      {report['mean_gradient']:.3g} grey levels/px (central difference)",
        f"subset gradient    {report['sssig']:.4g} (grey levels/px)^2 per px "
        f"(SSSIG / area, subset {subset})",
        f"contrast           {report['contrast']:.2f} (Michelson)",
        f"textured share     {report['coverage']:.1%} (gradient > {TEXTURED_GRADIENT:g} "
        "grey level/px)",
        f"read noise         {report['read_noise']:.3g} grey levels (estimated)",
        f"predicted noise    sigma_u {report['subset_sigma_u_px']:.3g} px, sigma_v "
        f"{report['subset_sigma_v_px']:.3g} px at subset {subset}",
    ]
    if report["specimen_share"] < 1.0:
        figures.insert(0, f"specimen           {report['specimen_share']:.1%} of the pixels")
    lines = [f"  {figure}" for figure in figures]
    chosen = report["recommended_subset"]
    if chosen is None:
        return [*lines, str(report["verdict"])]
    lines.append(f"recommended subset: {chosen} px (morvex run ... --subset {chosen})")
    if width is None:
        return [*lines, f"  {report['verdict']}"]
    return lines + textwrap.wrap(str(report["verdict"]), width=width, initial_indent="  ",
                                 subsequent_indent="  ")


def _no_texture(pixels: int, gradients: int, energy: float, read_noise: float,
                masked: bool) -> str:
    """Why the specimen has no texture to correlate, or "" when it has."""
    where = "the mask's specimen" if masked else "the image"
    if pixels == 0:
        return f"{where} has no finite pixel"
    if gradients == 0:
        return f"{where} holds no 3 x 3 px patch of finite pixels to take a gradient on"
    if energy == 0.0:
        return f"{where} is flat (no grey-level gradient)"
    if math.isfinite(read_noise) and read_noise ** 2 >= NOISE_ONLY_SHARE * energy:
        share = read_noise ** 2 / energy
        return (f"read noise ({read_noise:.3g} grey levels) explains {share:.0%} of the "
                "gradient energy: the texture is noise")
    return ""


def _entropy(values: np.ndarray) -> float:
    """Bits of the 8-bit histogram (values rounded, saturated into 0 ... 255)."""
    if values.size == 0:
        return math.nan
    counts = np.bincount(np.clip(np.rint(values), 0, 255).astype(np.int64), minlength=256)
    p = counts[counts > 0] / values.size
    return float(-np.sum(p * np.log2(p)))


def _contrast(values: np.ndarray) -> float:
    """(max - min) / (max + min), 0 when max + min <= 0."""
    if values.size == 0:
        return math.nan
    low, high = float(values.min()), float(values.max())
    return (high - low) / (high + low) if high + low > 0 else 0.0


def _windows(values: np.ndarray, valid: np.ndarray, side: int) -> tuple[np.ndarray, np.ndarray]:
    """Sums of `values` over side x side windows wholly valid, corners every side // 2 px.

    Returns (sums, whole): both over the lattice of corners, whole marking windows all valid.
    """
    rows, cols = valid.shape
    if rows < side or cols < side:
        return np.zeros(0), np.zeros(0, dtype=bool)
    spacing = max(side // 2, 1)
    corners_r = np.arange(0, rows - side + 1, spacing)
    corners_c = np.arange(0, cols - side + 1, spacing)

    def box(array: np.ndarray) -> np.ndarray:
        table = np.pad(array, ((1, 0), (1, 0))).cumsum(0).cumsum(1)
        r, c = np.ix_(corners_r, corners_c)
        return np.asarray(table[r + side, c + side] - table[r, c + side]
                          - table[r + side, c] + table[r, c])

    whole = box(valid.astype(np.int64)) == side * side
    return box(values), whole


def _subset_energy(squared: np.ndarray, valid: np.ndarray, subset: int) -> float:
    sums, whole = _windows(squared, valid, subset)
    return float(np.mean(sums[whole])) / (subset * subset) if whole.any() else math.nan


def _predicted_sigma(gx: np.ndarray, gy: np.ndarray, valid: np.ndarray, subset: int,
                     noise: float) -> tuple[float, float]:
    """Median over whole subsets of sqrt(2) noise / sqrt(sum g^2), per direction, px."""
    if not math.isfinite(noise):
        return math.nan, math.nan
    sigmas = []
    for gradient in (gx, gy):
        sums, whole = _windows(gradient * gradient, valid, subset)
        if not whole.any():
            return math.nan, math.nan
        with np.errstate(divide="ignore"):
            sigma = math.sqrt(2.0) * noise / np.sqrt(sums[whole])
        sigmas.append(float(np.median(sigma)))
    return sigmas[0], sigmas[1]


def _read_noise(grey: np.ndarray, counted: np.ndarray) -> float:
    """The estimate on the counted pixels, or NaN when no 5 x 5 px patch of them exists."""
    try:
        return estimate_read_noise(np.where(counted, grey, 0.0), counted)
    except MorvexError:
        return math.nan


def _recommended_subset(grey: np.ndarray, counted: np.ndarray) -> int:
    from . import _guided

    # Uncounted pixels take the specimen's mean: zero after the mean is taken out, they add
    # nothing to the autocorrelation, whose half-width the recommendation reads.
    filled = np.where(counted, grey, float(np.mean(grey[counted])))
    return int(_guided.assess_speckle_quality(filled, 2)["recommended_subset"])
