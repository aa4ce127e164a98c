"""subset="auto": the smallest subset whose predicted sigma meets a noise target.

The judgement is made on the reference alone, so every frame of a sequence and a resumed
store see the same choice: the reference against a copy with white noise of sqrt(2) times
its estimated read noise (the residual a static pair leaves), measured by the guided
extension with the user's settings on a coarser grid of the same region (the run layer
calls this module to plan a run, so it cannot call the run layer back). A point meets
the target when its predicted max(sigma_u, sigma_v) is at most the target; points the run
cannot measure do not. The predicted sigma falls about as 1 / subset, so the smallest
passing odd subset is found by bisection over 5 ... the largest subset the region allows.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any

import numpy as np

from . import _guided
from ._errors import MorvexError
from ._progress import run_cancellable
from .noise import estimate_read_noise
from .settings import Settings, least_subset

REQUIRED_SHARE = 0.95
SMALLEST_SUBSET = 5
LARGEST_SUBSET = 151    # px: beyond it a subset no longer describes a local field
TRIAL_POINTS = 1500     # about this many grid points judge each candidate
_COPY_SEED = 7


def choose_subset(reference: np.ndarray, settings: Settings, mask: np.ndarray | None = None,
                  threads: int | None = None) -> tuple[Settings, dict[str, Any]]:
    """Resolve ``subset="auto"``: (settings with the chosen subset, the choice's record).

    The record holds the chosen subset, the target, the share of points meeting it, the 95th
    percentile of the predicted sigma, the read noise used, every candidate tried, and a
    sentence (``reason``) for the dataset attributes and the certificate.

    Raises:
        MorvexError: naming the target when even the largest subset misses it.
    """
    if settings.noise_target is None:
        raise MorvexError('subset="auto" needs noise_target (px): the predicted sigma the '
                          "chosen subset must meet")
    target = float(settings.noise_target)
    x0, y0, x1, y1 = settings.region(reference.shape)
    region = reference[y0:y1 + 1, x0:x1 + 1]
    region_mask = None if mask is None else mask[y0:y1 + 1, x0:x1 + 1]
    read_noise = estimate_read_noise(region)
    rng = np.random.default_rng(_COPY_SEED)
    copy = region + rng.normal(0.0, math.sqrt(2.0) * read_noise, region.shape)
    largest = min(LARGEST_SUBSET, min(region.shape))
    largest -= 1 - largest % 2
    if largest < SMALLEST_SUBSET:
        raise MorvexError(f"the region {region.shape[1]} x {region.shape[0]} px is too small to "
                          f"choose a subset (at least {SMALLEST_SUBSET} px)")
    area = region.shape[0] * region.shape[1]
    trial_step = max(settings.step, int(math.ceil(math.sqrt(area / TRIAL_POINTS))))
    tried: dict[int, dict[str, float]] = {}

    def judge(subset: int) -> bool:
        if subset not in tried:
            trial = dataclasses.replace(settings, subset=subset, step=trial_step, roi=None)
            result = _predicted(region, copy, trial, region_mask, threads)
            sigma = np.fmax(np.asarray(result["sigma_u"]), np.asarray(result["sigma_v"]))
            sigma = np.where(np.asarray(result["valid"], dtype=bool), sigma, np.inf)
            # Points off the specimen (status 1) are not the region's points.
            sigma = sigma[np.asarray(result["status"]) != 1]
            share = float(np.mean(sigma <= target)) if sigma.size else 0.0
            # The value 95 % of the points stay at or below (unmeasured points are infinite).
            ranked = np.sort(sigma)
            sigma_95 = float(ranked[math.ceil(REQUIRED_SHARE * ranked.size) - 1]) \
                if ranked.size else float("inf")
            tried[subset] = {"share": share, "sigma_95_px": sigma_95}
        return tried[subset]["share"] >= REQUIRED_SHARE

    # A prefilter wider than half a subset is refused, so smaller subsets are not candidates.
    smallest = least_subset(settings.prefilter)
    if smallest > largest:
        raise MorvexError(f"prefilter {settings.prefilter:g} px needs a subset of at least "
                          f"{smallest} px, more than the {region.shape[1]} x "
                          f"{region.shape[0]} px region holds")
    if not judge(largest):
        raise MorvexError(
            f"noise_target {target:g} px is out of reach on this pattern: the largest subset "
            f"tried ({largest} px) gives predicted sigma <= {tried[largest]['sigma_95_px']:.4g} "
            "px on 95 % of the points; raise noise_target or improve the pattern")
    low, high = (smallest - 1) // 2, (largest - 1) // 2  # subset = 2 k + 1
    if judge(smallest):
        high = low
    while high - low > 1:
        middle = (low + high) // 2
        if judge(2 * middle + 1):
            high = middle
        else:
            low = middle
    chosen = 2 * high + 1
    record = tried[chosen]
    smaller = tried.get(chosen - 2)
    reason = (f"subset {chosen} px: the smallest odd subset whose predicted sigma meets "
              f"noise_target {target:g} px on >= {REQUIRED_SHARE:.0%} of the points "
              f"({record['share']:.1%}; 95th percentile {record['sigma_95_px']:.4g} px)")
    if smaller is not None:
        reason += (f"; {chosen - 2} px meets it on {smaller['share']:.1%} only")
    reason += (f"; judged on the reference against a copy with its estimated read noise "
               f"({read_noise:.3g} grey levels) on a {trial_step} px grid")
    choice = {"subset": chosen, "noise_target_px": target, "required_share": REQUIRED_SHARE,
              "share": record["share"], "sigma_95_px": record["sigma_95_px"],
              "read_noise_grey": read_noise, "trial_step_px": trial_step,
              "tried": {str(k): v for k, v in sorted(tried.items())}, "reason": reason}
    return dataclasses.replace(settings, subset=chosen), choice


def _predicted(reference: np.ndarray, deformed: np.ndarray, settings: Settings,
               mask: np.ndarray | None, threads: int | None) -> dict[str, Any]:
    reference_kwargs, solver = settings.to_kwargs()
    solver["compute_strain"] = False  # only the predicted sigma is read
    if mask is not None:
        reference_kwargs["mask"] = mask.astype(np.uint8)
    # Built here rather than by the run layer, which calls this module to plan a run.
    try:
        prepared = run_cancellable(
            lambda control: _guided.ReferenceImage(reference, **reference_kwargs))
    except ValueError as error:
        raise MorvexError(str(error)) from None
    return dict(run_cancellable(lambda control: _guided.correlate(
        prepared, deformed, control=control, threads=threads or 0, **solver)))
