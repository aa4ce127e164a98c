"""What a pattern and a set of settings can resolve: read noise, noise floors, bias, l10%.

Every figure is measured by the package's own front door (:func:`morvex.correlate`) on copies
of the user's reference: the same code path a measurement takes, on the same texture. The
copies are made by :mod:`morvex.warping`: the bias sweep's by a Fourier shift (independent of
the solver's interpolants), the star's by the exact quintic B-spline along one axis.

Every figure carries its standard error, and a ``flags`` entry (figure name -> reason) when the
image cannot support it: the star's l10% from the spread over its bands (or over star centres
placed apart in a band too short for several bands; from the two halves of one band's rows,
flagged, when only one fits), the noise floor's and the bias's from the spread over the four
quarters of their crop.

Sampling keeps a 1 Mpx reference to a few seconds: the noise floor uses a central crop of at
most ``NOISE_CROP`` px, the bias sweep one of ``BIAS_CROP`` px, the star bands of the
region's width (at most ``STAR_WIDTH`` px) just tall enough for a quarter of its longest
period on either side of its centre row, in up to ``STAR_BANDS`` strips of the region.

Reference: P. L. Reu et al., "DIC Challenge 2.0: developing images and guidelines for
evaluating accuracy and resolution of 2D analyses", Experimental Mechanics 62, 2022 (star
field, l10%, metrological efficiency indicator).
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterable
from typing import Any

import numpy as np

from ._errors import MorvexError
from ._status import Status
from .correlate import correlate
from .noise import NOISY_GRADIENT_SHARE, estimate_read_noise, noisy_gradient_share
from .settings import Settings
from .warping import fourier_shift, warp_along

NOISE_CROP = 384        # px, side of the central crop of the noise floor
BIAS_CROP = 160         # px, side of the central crop of the bias sweep
BIAS_SHIFTS = tuple(k / 10 for k in range(11))  # px along x
STAR_AMPLITUDE = 0.5    # px, amplitude of v in the star field
STAR_SHORTEST = 10.0    # px, period at the band's left edge
STAR_LONGEST = 300.0    # px, at least this at its right edge (4 VSG when longer)
STAR_WIDTH = 1024       # px, widest band measured
STAR_CHIRP = 1.0        # px of period per px along x, at most
STAR_BANDS = 4          # star bands measured at most, one per strip of the region
STAR_SAMPLES = 4        # star centres measured in all when fewer bands fit (several a band)
RESPONSE_LEVEL = 0.9    # l10%: the period below which the response stays under 90 %
# Fewer independent subsets than this in a crop and its scatter is uncertain by more than
# 1 / sqrt(2 (n - 1)) = 14 %: the figure is flagged.
MIN_INDEPENDENT = 25
# A mean error needs fewer: its standard error says how well it is known; below this many
# independent subsets the crop's quarters hold one each, and their spread means nothing.
MIN_BIAS_INDEPENDENT = 4
# The star's grid rows within a quarter period of its centre, at l10%, fewer than this and the
# column's response rests on too few subsets: the figure is flagged.
MIN_STAR_ROWS = 3
SHIFT_INTERPOLANT = ("Fourier shift of the band-limited image (numpy.fft phase ramp; each "
                     "line of the region mirrored at its ends, the crop cut from its middle)")
_NOISE_SEED = 20240611


def correlate_kwargs(settings: Settings) -> dict[str, Any]:
    """Keyword arguments of morvex.correlate for `settings` (a resolved subset): every setting
    the library takes but the region, the seeds and the crack lines, whose image positions
    mean nothing on the synthetic crops these measurements correlate."""
    return {field.name: getattr(settings, field.name) for field in dataclasses.fields(settings)
            if "keyword" in field.metadata
            and field.name not in ("roi", "seeds", "crack_lines")}


def central_crop(region: tuple[int, int, int, int], width: int, height: int
                 ) -> tuple[slice, slice]:
    """(rows, cols) slices of at most width x height px at the centre of `region`."""
    x0, y0, x1, y1 = region
    w, h = min(width, x1 - x0 + 1), min(height, y1 - y0 + 1)
    left = x0 + (x1 - x0 + 1 - w) // 2
    top = y0 + (y1 - y0 + 1 - h) // 2
    return slice(top, top + h), slice(left, left + w)


def specimen_crop(region: tuple[int, int, int, int], width: int, height: int,
                  mask: np.ndarray | None) -> tuple[slice, slice]:
    """Like central_crop, but with a mask the crop of the region holding the most specimen
    (an open-hole plate has its hole at the centre), the one nearest the centre among those
    within half a percent of the best. Positions are tried on a lattice of an eighth of the
    crop's smaller side."""
    rows, cols = central_crop(region, width, height)
    if mask is None:
        return rows, cols
    x0, y0, x1, y1 = region
    h, w = rows.stop - rows.start, cols.stop - cols.start
    counts = np.pad((np.asarray(mask) != 0).astype(np.int64), ((1, 0), (1, 0))).cumsum(0).cumsum(1)
    pitch = max(1, min(h, w) // 8)
    tops = np.unique(np.r_[np.arange(y0, y1 - h + 2, pitch), rows.start, y1 - h + 1])
    lefts = np.unique(np.r_[np.arange(x0, x1 - w + 2, pitch), cols.start, x1 - w + 1])
    top, left = np.meshgrid(tops, lefts, indexing="ij")
    cover = (counts[top + h, left + w] - counts[top, left + w] - counts[top + h, left]
             + counts[top, left]) / float(h * w)
    distance = np.hypot(top - rows.start, left - cols.start)
    near_best = cover >= cover.max() - 0.005
    k = np.unravel_index(np.argmin(np.where(near_best, distance, np.inf)), cover.shape)
    return slice(int(top[k]), int(top[k]) + h), slice(int(left[k]), int(left[k]) + w)


def noise_floor(reference: np.ndarray, static: np.ndarray | None, settings: Settings,
                threads: int | None = None, mask: np.ndarray | None = None) -> dict[str, Any]:
    """Scatter of a measurement of no motion, with the run's predicted sigma beside it.

    With `static` (a second image of the unloaded specimen) the pair itself; otherwise two
    copies of the reference, each with its own white noise of the reference's estimated read
    noise: independent noise in both images, as in a real static pair (noise added to one
    image only reads low, since noise in the reference misleads the solver too). The copies
    also carry the reference's own noise as common texture, which reads low once read noise
    makes more than NOISY_GRADIENT_SHARE of the gradient energy: ``noisy_gradient_share``
    and a ``note`` say so. The mean displacement (a rigid motion) is removed from the scatter.
    With `mask` (non-zero = specimen), the crop holding the most specimen is measured on its
    specimen alone, and the read noise is estimated there.
    """
    region = settings.region(reference.shape)
    rows, cols = specimen_crop(region, NOISE_CROP, NOISE_CROP, mask)
    reference_crop = reference[rows, cols]
    crop_mask = None if mask is None else mask[rows, cols]
    read_noise = estimate_read_noise(reference_crop, crop_mask)
    share = noisy_gradient_share(reference_crop, read_noise, crop_mask)
    note = ""
    if static is not None:
        first, second = reference_crop, static[rows, cols]
        source = "static pair"
    else:
        rng = np.random.default_rng(_NOISE_SEED)
        first, second = (reference_crop + rng.normal(0.0, read_noise, reference_crop.shape)
                         for _ in range(2))
        source = "two copies of the reference, each with its estimated read noise"
        if share > NOISY_GRADIENT_SHARE:
            note = (f"read noise makes {share:.0%} of the pattern's gradient energy: this noise "
                    "floor may read low by up to a third; measure a static pair")
    ds = correlate(first, second, threads=threads, mask=crop_mask, **correlate_kwargs(settings))
    valid = ds["valid"].values
    if not valid.any():
        flat = int((ds["status"].values == Status.FLAT_SUBSET).sum())
        why = (f"; {flat} subsets were refused as too little texture for "
               f"max_predicted_sigma={settings.max_predicted_sigma:g} px (a larger subset, or "
               "0 to measure them anyway)" if flat else "")
        raise MorvexError("no valid point in the noise-floor measurement: the settings do not "
                          f"match this pattern (check subset and min_zncc){why}")

    def figures(use: np.ndarray) -> dict[str, float]:
        def scatter(name: str) -> float:
            values = ds[name].values[use]
            values = values[np.isfinite(values)]
            return float(np.std(values)) if values.size > 1 else float("nan")

        def rms(name: str) -> float:
            values = ds[name].values[use]
            return float(np.sqrt(np.nanmean(values ** 2))) if values.size else float("nan")

        out = {"u_px": scatter("u"), "v_px": scatter("v"),
               "predicted_sigma_u_px": rms("sigma_u"), "predicted_sigma_v_px": rms("sigma_v")}
        out["displacement_px"] = math.sqrt((out["u_px"] ** 2 + out["v_px"] ** 2) / 2.0)
        out["predicted_sigma_px"] = math.sqrt((out["predicted_sigma_u_px"] ** 2
                                               + out["predicted_sigma_v_px"] ** 2) / 2.0)
        for name in ("exx", "eyy", "exy"):
            out[name] = scatter(name)
        out["strain_noise"] = math.sqrt((out["exx"] ** 2 + out["eyy"] ** 2
                                         + out["exy"] ** 2) / 3.0)
        out["calibration"] = (out["displacement_px"] / out["predicted_sigma_px"]
                              if out["predicted_sigma_px"] > 0 else float("nan"))
        return out

    whole = figures(valid)
    errors = _quarter_errors([figures(valid & quarter) for quarter in _quarters(valid.shape)])
    displacement, predicted = whole["displacement_px"], whole["predicted_sigma_px"]
    strains = {name: whole[name] for name in ("exx", "eyy", "exy")}
    independent = _independent_subsets(int(valid.sum()), settings)
    flags = {}
    if independent < MIN_INDEPENDENT:
        flags["displacement_px"] = flags["strain_noise"] = (
            f"from about {independent:.0f} independent subsets (fewer than {MIN_INDEPENDENT}):"
            " too few points for a scatter")
    return {
        "source": source,
        "crop": _crop_record(rows, cols),
        "points": int(valid.sum()),
        # Of the points on the specimen: those the mask leaves out are not the crop's points.
        "valid_share": float(valid.sum() / max(1, int((ds["status"].values != 1).sum()))),
        "read_noise_grey": read_noise,
        "noisy_gradient_share": share,
        "note": note,
        "independent_subsets": independent,
        "u_px": whole["u_px"], "v_px": whole["v_px"], "displacement_px": displacement,
        "predicted_sigma_u_px": whole["predicted_sigma_u_px"],
        "predicted_sigma_v_px": whole["predicted_sigma_v_px"],
        "predicted_sigma_px": predicted,
        "predicted_sigma_median_px": float(np.nanmedian(
            np.maximum(ds["sigma_u"].values, ds["sigma_v"].values)[valid])),
        "calibration": displacement / predicted if predicted > 0 else float("nan"),
        "strain": strains,
        "strain_noise": whole["strain_noise"],
        "se": {"u_px": errors["u_px"], "v_px": errors["v_px"],
               "displacement_px": errors["displacement_px"],
               "predicted_sigma_px": errors["predicted_sigma_px"],
               "calibration": errors["calibration"],
               "strain": {name: errors[name] for name in ("exx", "eyy", "exy")},
               "strain_noise": errors["strain_noise"]},
        "se_method": "spread over the four quarters of the crop",
        "flags": flags,
    }


def bias_sweep(reference: np.ndarray, settings: Settings, threads: int | None = None,
               mask: np.ndarray | None = None) -> dict[str, Any]:
    """Mean error of u over sub-pixel shifts 0, 0.1, ..., 1.0 px of the reference along x.

    The shifted copies come from a Fourier shift of the reference (SHIFT_INTERPOLANT): the
    exact move of a band-limited image, and no interpolant of the solver's, so the sweep shows
    the solver's and its interpolant's systematic error (the classic S-curve of a lower order
    interpolant) against an independent truth. A copy made by the solver's own spline could
    only show the solver agreeing with itself. The region's whole width is shifted and the
    crop cut from it, so the wrap of the transform stays far from the crop. Each figure's
    standard error is the spread of the mean over the crop's four quarters. With `mask`, on
    the crop holding the most specimen.
    """
    region = settings.region(reference.shape)
    rows, cols = specimen_crop(region, BIAS_CROP, BIAS_CROP, mask)
    x0, x1 = _specimen_span(region, rows, cols, mask)
    lines = np.asarray(reference[rows, x0:x1 + 1], dtype=np.float64)
    crop = lines[:, cols.start - x0:cols.stop - x0]
    kwargs = correlate_kwargs(settings)
    kwargs["mask"] = None if mask is None else mask[rows, cols]
    bias, bias_se, scatter = [], [], []
    for shift in BIAS_SHIFTS:
        deformed = fourier_shift(lines, shift, axis=1)[:, cols.start - x0:cols.stop - x0]
        ds = correlate(crop, deformed, threads=threads, **kwargs)
        use = ds["valid"].values & _inner(ds, crop.shape, settings.subset_px)
        u = ds["u"].values
        bias.append(float(np.mean(u[use]) - shift) if use.any() else float("nan"))
        scatter.append(float(np.std(u[use])) if use.any() else float("nan"))
        bias_se.append(_quarter_errors([
            {"bias": float(np.mean(u[use & q])) if (use & q).any() else float("nan")}
            for q in _quarters(use.shape)])["bias"])
    finite = [k for k, b in enumerate(bias) if math.isfinite(b)]
    worst = max(finite, key=lambda k: abs(bias[k])) if finite else None
    independent = _independent_subsets(int(use.sum()), settings)
    flags = {}
    if independent < MIN_BIAS_INDEPENDENT:
        flags["max_abs_bias_px"] = (
            f"from about {independent:.0f} independent subsets (fewer than "
            f"{MIN_BIAS_INDEPENDENT}): too few points for a mean error")
    return {"crop": _crop_record(rows, cols), "shift_interpolant": SHIFT_INTERPOLANT,
            "shifts_px": list(BIAS_SHIFTS), "bias_px": bias, "bias_se_px": bias_se,
            "scatter_px": scatter,
            "max_abs_bias_px": abs(bias[worst]) if worst is not None else float("nan"),
            "max_abs_bias_se_px": bias_se[worst] if worst is not None else float("nan"),
            "independent_subsets": independent,
            "se_method": "spread of the mean over the four quarters of the crop",
            "flags": flags}


def _specimen_span(region: tuple[int, int, int, int], rows: slice, cols: slice,
                   mask: np.ndarray | None) -> tuple[int, int]:
    """First and last column of the region around `cols` whose pixels in `rows` are all
    specimen: a hole's background is no band-limited image, and its ringing would reach the
    crop through the transform."""
    x0, x1 = region[0], region[2]
    if mask is None:
        return x0, x1
    whole = (np.asarray(mask)[rows, x0:x1 + 1] != 0).all(axis=0)
    left, right = cols.start - x0, cols.stop - 1 - x0
    while left > 0 and whole[left - 1]:
        left -= 1
    while right < whole.size - 1 and whole[right + 1]:
        right += 1
    return x0 + left, x0 + right


def star_periods(width: int, wanted: float) -> tuple[float, float]:
    """(shortest, longest) period of a star band `width` px wide, px.

    The period may grow by at most STAR_CHIRP px per px along x; faster, a subset no longer
    sees one sinusoid (l10% of a 25 px subset is still within 15 % of the ideal at 1.2). A
    narrow region therefore gets shorter periods than `wanted`, and l10% beyond them reads
    "not reached" rather than a wrong number.
    """
    return STAR_SHORTEST, max(min(wanted, STAR_SHORTEST + STAR_CHIRP * (width - 1)),
                              STAR_SHORTEST * 2.0)


def star_bands(region: tuple[int, int, int, int], width: int, height: int,
               mask: np.ndarray | None, most: int = STAR_BANDS) -> list[tuple[slice, slice]]:
    """(rows, cols) of up to `most` star bands of width x height px, one in each of as many
    equal strips of the region as hold one (at least one band, cut to the region): each at
    its strip's centre, or with a mask where the strip holds the most specimen."""
    x0, y0, x1, y1 = region
    count = max(1, min(most, (y1 - y0 + 1) // height))
    edges = [y0 + (y1 - y0 + 1) * k // count for k in range(count + 1)]
    return [specimen_crop((x0, edges[k], x1, edges[k + 1] - 1), width, height, mask)
            for k in range(count)]


def star_centres(height: int, subset: int, wanted: int) -> list[float]:
    """Rows of up to `wanted` star centres in a band `height` rows tall: its middle row alone
    for one; else evenly spread, a subset in from either edge and at least 1.5 subsets
    apart, so that near l10% (periods of about 1.3 subsets: rows within a third of a subset
    of the centre, each reading half a subset either side) two centres read different
    speckles. A band too short for two holds its middle row alone."""
    middle = (height - 1) / 2.0
    usable = height - 1 - 2 * subset
    spacing = 1.5 * subset
    if wanted <= 1 or usable < spacing:
        return [middle]
    count = min(wanted, 1 + int(usable // spacing))
    return [subset + usable * k / (count - 1) for k in range(count)]


def star_response(reference: np.ndarray, settings: Settings, vsg: float,
                  threads: int | None = None, mask: np.ndarray | None = None) -> dict[str, Any]:
    """Spatial resolution from the reference deformed by a star-like field.

    v(x, y) = A cos(2 pi (y - yc) / p(x)), A = 0.5 px, with the period p growing linearly from
    10 px at the band's left edge to max(300 px, 4 VSG) at its right (the strain's
    response needs periods of a few VSG to reach 90 %; shorter on a narrow region, see
    star_periods), as in the DIC Challenge 2.0 star. In each grid column the measured v and
    eyy are projected on the true shapes over the rows within a quarter period of the centre
    row yc (where the stripes are still nearly straight); the ratio is the response at that
    column's period. l10% is the period below which the response (smoothed over 5 columns)
    stays under 90 %. With `mask`, a band is placed where it holds the most specimen, and a
    column with fewer than half of those rows valid has no response.

    A star centre's rows hold about one independent subset per column, and the solver weighs
    each pixel by its gradient, so one centre's l10% depends on its few speckles (for
    quadratic subsets of 29 px it varies by about 11 % from pattern to pattern). The star is
    therefore measured STAR_SAMPLES times: on up to STAR_BANDS bands of the region, and when
    fewer fit, at several centres of each band (star_centres, one correlation each); the
    response is their mean, and the spread of their own l10% gives its standard error. A
    single centre's error comes from the two halves of its rows (above and below yc), which
    share the speckles near yc and may understate it: flagged. A band lower than the rows the
    quarter period of l10% needs, or too few grid rows there, flags the figure too.
    """
    region = settings.region(reference.shape)
    x0, _, x1, _ = region
    wanted = max(STAR_LONGEST, 4.0 * vsg)
    shortest, longest = star_periods(min(STAR_WIDTH, x1 - x0 + 1), wanted)
    half_band = int(math.ceil(longest / 4.0)) + settings.subset_px // 2 + settings.step
    bands = star_bands(region, STAR_WIDTH, 2 * half_band + 1, mask)
    per_band = -(-STAR_SAMPLES // len(bands))
    samples = [(band, yc) for band in bands
               for yc in star_centres(band[0].stop - band[0].start, settings.subset_px,
                                      per_band)]
    measured = [_band_response(reference, settings, band, yc, shortest, longest, threads, mask)
                for band, yc in samples]
    periods = measured[0]["periods"]
    theory = theory_response(periods, settings.subset_px, settings.shape)
    out: dict[str, Any] = {
        "band": _crop_record(*bands[0]),
        "bands": [_crop_record(*band) for band in bands],
        "centre_rows_px": [band[0].start + yc for band, yc in samples],
        "amplitude_px": STAR_AMPLITUDE,
        "period_range_px": [shortest, longest],
        "periods_px": periods.tolist(),
        "theory_response": theory.tolist(),
        "l10_theory_px": crossing(periods, theory),
    }
    flags: dict[str, str] = {}
    for figure, key in (("displacement", "displacement"), ("strain", "strain")):
        smooth = _smooth(_mean_of(m[key] for m in measured))
        value = crossing(periods, smooth)
        if len(measured) > 1:
            own = [crossing(periods, _smooth(m[key])) for m in measured]
            method = f"spread over {len(measured)} star centres"
        else:
            own = [crossing(periods, _smooth(measured[0][f"{key}_{half}"]))
                   for half in ("above", "below")]
            method = "the two halves of one band's rows"
        error = _standard_error(own) if len(measured) > 1 else (
            abs(own[0] - own[1]) / 2.0 if all(map(math.isfinite, own)) else float("nan"))
        out[f"{figure}_response"] = _listed(smooth)
        out[f"l10_{figure}_px"] = value
        out[f"l10_{figure}_se_px"] = error
        out["se_method"] = method
        reason = _star_flag(value, error, len(measured), samples, settings, longest)
        if reason:
            flags[f"l10_{figure}_px"] = reason
    out["flags"] = flags
    out["note"] = "" if longest >= wanted else (
        f"the region is {x1 - x0 + 1} px wide: periods up to {longest:.0f} px only (of "
        f"{wanted:.0f} px); an l10% beyond them is not reached")
    return out


def _star_flag(value: float, error: float, count: int,
               samples: list[tuple[tuple[slice, slice], float]], settings: Settings,
               longest: float) -> str:
    """Why the star's l10% `value` cannot be trusted, or "" when it can."""
    if not math.isfinite(value):
        return (f"not reached within the star's periods (up to {longest:.0f} px): the region is "
                "too narrow for these settings")
    # A quarter period of l10% either side of a centre, and half a subset beyond it.
    needed = 2 * int(math.ceil(value / 4.0 + settings.subset_px // 2)) + 1
    rows = max(band[0].stop - band[0].start for band, _ in samples)
    if rows < needed:
        return (f"the band is {rows} rows tall, fewer than the {needed} rows a quarter period "
                "of l10% either side of the star's centre needs: too short a reference")
    if 2 * int(value / 4.0 // settings.step) + 1 < MIN_STAR_ROWS:
        return (f"fewer than {MIN_STAR_ROWS} grid rows within a quarter period of l10% (step "
                f"{settings.step} px): too few subsets")
    if not math.isfinite(error):
        return "no standard error: the halves of the one band do not both reach 90 %"
    if count < 2:
        return ("one star centre only (a band too short for two): its error, from the two "
                "halves of its rows, may understate the pattern's")
    return ""


def _band_response(reference: np.ndarray, settings: Settings, band: tuple[slice, slice],
                   yc: float, shortest: float, longest: float, threads: int | None,
                   mask: np.ndarray | None) -> dict[str, np.ndarray]:
    """One star centre's periods and unsmoothed responses of v and eyy, per grid column: over
    all its rows, and over those above and below its centre row `yc` (band rows)."""
    rows, cols = band
    image = reference[rows, cols]
    width = image.shape[1]

    def period(x: np.ndarray) -> np.ndarray:
        return np.asarray(shortest + (longest - shortest) * np.asarray(x, float)
                          / max(width - 1, 1))

    columns = np.arange(width, dtype=np.float64)[None, :]
    deformed = warp_along(
        image, lambda y: STAR_AMPLITUDE * np.cos(2 * np.pi * (y - yc) / period(columns)), axis=0)
    ds = correlate(image, deformed, threads=threads,
                   mask=None if mask is None else mask[rows, cols], **correlate_kwargs(settings))
    x, y = ds["x"].values, ds["y"].values
    valid = ds["valid"].values
    v, eyy = ds["v"].values, ds["eyy"].values
    periods = period(x)
    out: dict[str, list[float]] = {}
    for side, part in (("", np.ones(y.shape, bool)), ("_above", y <= yc), ("_below", y >= yc)):
        displacement, strain = [], []
        for c, p in enumerate(periods):
            near = part & (np.abs(y - yc) <= max(p / 4.0, settings.step))
            phase = 2 * np.pi * (y - yc) / p
            true_v = STAR_AMPLITUDE * np.cos(phase)
            true_e = -STAR_AMPLITUDE * 2 * np.pi / p * np.sin(phase)
            use = near & valid[:, c]
            if not near.any() or use.sum() < 0.5 * near.sum():
                # A hole or an edge of the specimen takes the column's middle: no response.
                displacement.append(float("nan"))
                strain.append(float("nan"))
                continue
            displacement.append(_projection(v[:, c], true_v, use))
            strain.append(_projection(eyy[:, c], true_e, use))
        out["displacement" + side], out["strain" + side] = displacement, strain
    return {"periods": periods, **{k: np.array(values) for k, values in out.items()}}


def _mean_of(responses: Iterable[np.ndarray]) -> np.ndarray:
    """Column-wise mean of the bands' responses over the bands that have one there."""
    stacked = np.array(list(responses))
    counted = np.isfinite(stacked).sum(axis=0)
    total = np.where(np.isfinite(stacked), stacked, 0.0).sum(axis=0)
    return np.where(counted > 0, total / np.maximum(counted, 1), np.nan)


def _standard_error(values: list[float]) -> float:
    """Standard error of the mean of the finite `values`; NaN with fewer than two."""
    finite = np.array([v for v in values if np.isfinite(v)])
    if finite.size < 2:
        return float("nan")
    return float(finite.std(ddof=1) / math.sqrt(finite.size))


def theory_response(periods: np.ndarray, subset: int, shape: str) -> np.ndarray:
    """Response at the subset centre of a least-squares fit of the subset's shape function to
    a cosine of each period (uniform weights): the mean over the subset for affine, the
    constant of a parabola for quadratic. The ideal the solver's response should follow."""
    k = np.arange(subset, dtype=np.float64) - subset // 2
    periods = np.asarray(periods, dtype=np.float64)
    values = np.cos(2 * np.pi * k[None, :] / periods[:, None])
    if shape == "affine":
        return np.asarray(values.mean(axis=1))
    s0, s2, s4 = subset, float((k ** 2).sum()), float((k ** 4).sum())
    f0, f2 = values.sum(axis=1), (values * k ** 2).sum(axis=1)
    return np.asarray((s4 * f0 - s2 * f2) / (s0 * s4 - s2 * s2))


def crossing(periods: np.ndarray, response: np.ndarray,
             level: float = RESPONSE_LEVEL) -> float:
    """The period, px, below which `response` stays under `level`: scanning from the longest
    period down, where it first falls below (linear between two columns). NaN when it never
    reaches `level` (the band is too narrow for these settings) or never leaves it."""
    order = np.argsort(periods)[::-1]
    p, r = np.asarray(periods)[order], np.asarray(response)[order]
    seen_above = False
    for k in range(len(p)):
        if not np.isfinite(r[k]):
            continue
        if r[k] >= level:
            seen_above, last = True, k
            continue
        if not seen_above:
            return float("nan")
        t = (r[last] - level) / (r[last] - r[k])
        return float(p[last] + t * (p[k] - p[last]))
    return float("nan")


def _projection(measured: np.ndarray, truth: np.ndarray, use: np.ndarray) -> float:
    use = use & np.isfinite(measured)
    norm = float(np.sum(truth[use] ** 2))
    return float(np.sum(measured[use] * truth[use]) / norm) if norm > 0 else float("nan")


def _smooth(values: np.ndarray, width: int = 5) -> np.ndarray:
    """Each column's value of a parabola fitted over the `width` columns around it (the
    finite ones; their mean when fewer than three). A plain running mean would bend the
    response where it curves, and the columns are evenly spaced in period: under a steep,
    saturating response it read l10% some 5 % long."""
    out = np.full_like(values, np.nan)
    half = width // 2
    for k in range(len(values)):
        lo = max(0, k - half)
        window = values[lo:k + half + 1]
        at = np.arange(lo, lo + window.size, dtype=np.float64) - k
        finite = np.isfinite(window)
        if finite.sum() >= 3:
            out[k] = np.polynomial.polynomial.polyfit(at[finite], window[finite], 2)[0]
        elif finite.any():
            out[k] = window[finite].mean()
    return out


def _quarters(shape: tuple[int, ...]) -> list[np.ndarray]:
    """Boolean masks of the four quarters of a grid (rows and columns in halves)."""
    ny, nx = shape
    r = np.arange(ny)[:, None] < ny // 2
    c = np.arange(nx)[None, :] < nx // 2
    return [np.broadcast_to(a & b, shape) for a in (r, ~r) for b in (c, ~c)]


def _quarter_errors(figures: list[dict[str, float]]) -> dict[str, float]:
    """Standard error of each figure of the whole from its values on the quarters: a quarter
    holds a quarter of the points, so the whole's error is the quarters' spread over 2."""
    return {name: _standard_error([f[name] for f in figures]) for name in figures[0]}


def _independent_subsets(points: int, settings: Settings) -> float:
    # Neighbouring subsets overlap by (subset - step) px: about (step / subset)^2 of the grid
    # points read pixels of their own.
    return float(points) * min(1.0, (settings.step / settings.subset_px) ** 2)


def _inner(ds: Any, shape: tuple[int, int], subset: int) -> np.ndarray:
    # Points whose subset stays a few pixels off the crop's edge, where the mirrored spline
    # taps of the shifted copy are not the pattern's own.
    x, y = np.meshgrid(ds["x"].values, ds["y"].values)
    margin = subset // 2 + 3
    return np.asarray((x >= margin) & (x <= shape[1] - 1 - margin)
                      & (y >= margin) & (y <= shape[0] - 1 - margin))


def _crop_record(rows: slice, cols: slice) -> list[int]:
    return [cols.start, rows.start, cols.stop - 1, rows.stop - 1]


def _listed(values: np.ndarray) -> list[float | None]:
    return [float(v) if np.isfinite(v) else None for v in values]
