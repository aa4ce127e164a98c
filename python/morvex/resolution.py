"""What a pattern and a set of settings can resolve: read noise, noise floors, bias, l10%.

Every figure is measured by the package's own front door (:func:`morvex.correlate`) on copies
of the user's reference: the same code path a measurement takes, on the same texture. The
copies are made by :mod:`morvex.warping` (exact quintic B-spline, along one axis).

Sampling keeps a 1 Mpx reference to a few seconds: the noise floor uses a central crop of at
most ``NOISE_CROP`` px, the bias sweep one of ``BIAS_CROP`` px, the star bands of the
region's width (at most ``STAR_WIDTH`` px) just tall enough for a quarter of its longest
period on either side of its centre row, in up to ``STAR_BANDS`` strips of the region.

Reference: P. L. Reu et al., "DIC Challenge 2.0: developing images and guidelines for
evaluating accuracy and resolution of 2D analyses", Experimental Mechanics 62, 2022 (star
field, l10%, metrological efficiency indicator).
"""

from __future__ import annotations

import functools
import math
from collections.abc import Iterable
from typing import Any

import numpy as np

from ._errors import MorvexError
from .correlate import correlate
from .noise import NOISY_GRADIENT_SHARE, estimate_read_noise, noisy_gradient_share
from .settings import Settings
from .warping import warp_along

NOISE_CROP = 384        # px, side of the central crop of the noise floor
BIAS_CROP = 160         # px, side of the central crop of the bias sweep
BIAS_SHIFTS = tuple(k / 10 for k in range(11))  # px along x
STAR_AMPLITUDE = 0.5    # px, amplitude of v in the star field
STAR_SHORTEST = 10.0    # px, period at the band's left edge
STAR_LONGEST = 300.0    # px, at least this at its right edge (4 VSG when longer)
STAR_WIDTH = 1024       # px, widest band measured
STAR_CHIRP = 1.0        # px of period per px along x, at most
STAR_BANDS = 4          # star bands measured at most, one per strip of the region
RESPONSE_LEVEL = 0.9    # l10%: the period below which the response stays under 90 %
_NOISE_SEED = 20240611


def correlate_kwargs(settings: Settings) -> dict[str, Any]:
    """Keyword arguments of morvex.correlate for `settings` (a resolved subset, no region)."""
    names = ("subset", "step", "interpolation", "prefilter", "min_zncc", "strain_window",
             "strain_measure", "max_jump", "search_range", "seed_count", "max_iterations",
             "convergence_threshold", "shape", "strain_source")
    return {name: getattr(settings, name) for name in names}


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
        raise MorvexError("no valid point in the noise-floor measurement: the settings do not "
                          "match this pattern (check subset and min_zncc)")

    def scatter(name: str) -> float:
        values = ds[name].values[valid]
        values = values[np.isfinite(values)]
        return float(np.std(values)) if values.size > 1 else float("nan")

    def rms(name: str) -> float:
        values = ds[name].values[valid]
        return float(np.sqrt(np.nanmean(values ** 2)))

    su, sv = scatter("u"), scatter("v")
    predicted_u, predicted_v = rms("sigma_u"), rms("sigma_v")
    displacement = math.sqrt((su * su + sv * sv) / 2.0)
    predicted = math.sqrt((predicted_u ** 2 + predicted_v ** 2) / 2.0)
    strains = {name: scatter(name) for name in ("exx", "eyy", "exy")}
    return {
        "source": source,
        "crop": _crop_record(rows, cols),
        "points": int(valid.sum()),
        # Of the points on the specimen: those the mask leaves out are not the crop's points.
        "valid_share": float(valid.sum() / max(1, int((ds["status"].values != 1).sum()))),
        "read_noise_grey": read_noise,
        "noisy_gradient_share": share,
        "note": note,
        "u_px": su, "v_px": sv, "displacement_px": displacement,
        "predicted_sigma_u_px": predicted_u, "predicted_sigma_v_px": predicted_v,
        "predicted_sigma_px": predicted,
        "predicted_sigma_median_px": float(np.nanmedian(
            np.maximum(ds["sigma_u"].values, ds["sigma_v"].values)[valid])),
        "calibration": displacement / predicted if predicted > 0 else float("nan"),
        "strain": strains,
        "strain_noise": math.sqrt(sum(v * v for v in strains.values()) / 3.0),
    }


def bias_sweep(reference: np.ndarray, settings: Settings, threads: int | None = None,
               mask: np.ndarray | None = None) -> dict[str, Any]:
    """Mean error of u over sub-pixel shifts 0, 0.1, ..., 1.0 px of the reference along x.

    The shifted copies come from the quintic B-spline of the reference itself, so the sweep
    shows the solver's and interpolant's systematic error (the classic S-curve of a lower
    order interpolant), not the optics'. With `mask`, on the crop holding the most specimen.
    """
    region = settings.region(reference.shape)
    rows, cols = specimen_crop(region, BIAS_CROP, BIAS_CROP, mask)
    crop = reference[rows, cols]
    kwargs = correlate_kwargs(settings)
    kwargs["mask"] = None if mask is None else mask[rows, cols]
    bias, scatter = [], []
    for shift in BIAS_SHIFTS:
        deformed = warp_along(crop, functools.partial(np.full_like, fill_value=shift), axis=1)
        ds = correlate(crop, deformed, threads=threads, **kwargs)
        u = ds["u"].values[ds["valid"].values & _inner(ds, crop.shape, settings.subset_px)]
        bias.append(float(np.mean(u) - shift) if u.size else float("nan"))
        scatter.append(float(np.std(u)) if u.size else float("nan"))
    finite = [abs(b) for b in bias if math.isfinite(b)]
    return {"crop": _crop_record(rows, cols), "shifts_px": list(BIAS_SHIFTS), "bias_px": bias,
            "scatter_px": scatter, "max_abs_bias_px": max(finite) if finite else float("nan")}


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


def star_response(reference: np.ndarray, settings: Settings, vsg: float,
                  threads: int | None = None, mask: np.ndarray | None = None) -> dict[str, Any]:
    """Spatial resolution from the reference deformed by a star-like field.

    v(x, y) = A cos(2 pi (y - yc) / p(x)), A = 0.5 px, with the period p growing linearly from
    10 px at the band's left edge to max(300 px, 4 VSG) at its right (the strain's
    response needs periods of a few VSG to reach 90 %; shorter on a narrow region, see
    star_periods), as in the DIC Challenge 2.0 star. In each grid column the measured v and
    eyy are projected on the true shapes over the rows within a quarter period of the centre
    row (where the stripes are still nearly straight); the ratio is the response at that
    column's period. l10% is the period below which the response (smoothed over 5 columns)
    stays under 90 %. With `mask`, a band is placed where it holds the most specimen, and a
    column with fewer than half of those rows valid has no response.

    A band's centre rows hold about one independent subset per column, and the solver weighs
    each pixel by its gradient, so one band's l10% depends on its few speckles (for quadratic
    subsets of 29 px it varies by about 11 % from pattern to pattern). The star is therefore
    measured on up to STAR_BANDS bands of the region, and the response is their mean; the
    bands' own l10% give the figure's standard error.
    """
    region = settings.region(reference.shape)
    x0, _, x1, _ = region
    wanted = max(STAR_LONGEST, 4.0 * vsg)
    shortest, longest = star_periods(min(STAR_WIDTH, x1 - x0 + 1), wanted)
    half_band = int(math.ceil(longest / 4.0)) + settings.subset_px // 2 + settings.step
    bands = star_bands(region, STAR_WIDTH, 2 * half_band + 1, mask)
    measured = [_band_response(reference, settings, band, shortest, longest, threads, mask)
                for band in bands]
    periods = measured[0]["periods"]
    displacement_smooth = _smooth(_mean_of(m["displacement"] for m in measured))
    strain_smooth = _smooth(_mean_of(m["strain"] for m in measured))
    l10_u = crossing(periods, displacement_smooth)
    l10_e = crossing(periods, strain_smooth)
    theory = theory_response(periods, settings.subset_px, settings.shape)
    return {
        "band": _crop_record(*bands[0]),
        "bands": [_crop_record(*band) for band in bands],
        "amplitude_px": STAR_AMPLITUDE,
        "period_range_px": [shortest, longest],
        "periods_px": periods.tolist(),
        "displacement_response": _listed(displacement_smooth),
        "strain_response": _listed(strain_smooth),
        "theory_response": theory.tolist(),
        "l10_displacement_px": l10_u,
        "l10_strain_px": l10_e,
        "l10_displacement_se_px": _standard_error(
            [crossing(periods, _smooth(m["displacement"])) for m in measured]),
        "l10_strain_se_px": _standard_error(
            [crossing(periods, _smooth(m["strain"])) for m in measured]),
        "l10_theory_px": crossing(periods, theory),
        "note": "" if longest >= wanted else (
            f"the region is {x1 - x0 + 1} px wide: periods up to {longest:.0f} px only (of "
            f"{wanted:.0f} px); an l10% beyond them is not reached"),
    }


def _band_response(reference: np.ndarray, settings: Settings, band: tuple[slice, slice],
                   shortest: float, longest: float, threads: int | None,
                   mask: np.ndarray | None) -> dict[str, np.ndarray]:
    """One band's periods and unsmoothed responses of v and eyy, per grid column."""
    rows, cols = band
    image = reference[rows, cols]
    height, width = image.shape
    yc = (height - 1) / 2.0

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
    displacement, strain = [], []
    for c, p in enumerate(periods):
        near = np.abs(y - yc) <= max(p / 4.0, settings.step)
        phase = 2 * np.pi * (y - yc) / p
        true_v = STAR_AMPLITUDE * np.cos(phase)
        true_e = -STAR_AMPLITUDE * 2 * np.pi / p * np.sin(phase)
        use = near & valid[:, c]
        if use.sum() < 0.5 * near.sum():
            # A hole or an edge of the specimen takes the column's middle: no response there.
            displacement.append(float("nan"))
            strain.append(float("nan"))
            continue
        displacement.append(_projection(v[:, c], true_v, use))
        strain.append(_projection(eyy[:, c], true_e, use))
    return {"periods": periods, "displacement": np.array(displacement),
            "strain": np.array(strain)}


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
