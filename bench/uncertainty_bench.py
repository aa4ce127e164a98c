"""How well the reported sigma predicts the scatter of u when both images are noisy.

    .venv/bin/python bench/uncertainty_bench.py [--realisations 6]

A 256 x 256 speckle (the library's, grey-level standard deviation about 58) and its copy
shifted by 0.3 px through its own quintic B-spline, each given fresh read noise of 2, 5, 10
and 20 grey levels, many times over; for each case the scatter of u over every valid point
and realisation against the RMS of the reported sigma_u (1 is calibrated, above 1 means sigma
reads low). Beside it the same with reference_noise=0, the uncertainty as it was before it
allowed for the reference's own noise. Cases: affine and quadratic subsets of 29 px, affine
of 15 px, and a Gaussian prefilter of 1 px. Not a timed benchmark.
"""

from __future__ import annotations

import argparse
import functools

import numpy as np

import _morvex_dic
from morvex import _guided
from morvex.warping import warp_along

SHIFT = 0.3  # px along x
CASES = (("affine 29", {"subset_size": 29}),
         ("quadratic 29", {"subset_size": 29, "shape": "quadratic"}),
         ("affine 15", {"subset_size": 15}),
         ("affine 29, prefilter 1", {"subset_size": 29, "prefilter_sigma": 1.0}))
NOISES = (2.0, 5.0, 10.0, 20.0)


def calibration(reference: np.ndarray, deformed: np.ndarray, noise: float, settings: dict,
                realisations: int, rng: np.random.Generator) -> tuple[float, float, float]:
    """(scatter / RMS sigma with the reference's noise allowed for, the same without it,
    the estimated read noise)."""
    errors, estimated, noise_free = [], [], []
    read_noise = 0.0
    for _ in range(realisations):
        ref = reference + rng.normal(0, noise, reference.shape)
        deformed_noisy = deformed + rng.normal(0, noise, reference.shape)
        results = []
        for given in (-1.0, 0.0):
            prepared = _guided.ReferenceImage(ref, step=12, reference_noise=given, **settings)
            if given < 0:
                read_noise = prepared.reference_noise
            results.append(_guided.correlate(prepared, deformed_noisy, compute_strain=False))
        valid = np.asarray(results[0]["valid"], bool)
        errors.append(np.asarray(results[0]["u"])[valid] - SHIFT)
        estimated.append(np.asarray(results[0]["sigma_u"])[valid])
        noise_free.append(np.asarray(results[1]["sigma_u"])[valid])
    scatter = float(np.concatenate(errors).std())

    def rms(values: list[np.ndarray]) -> float:
        return float(np.sqrt(np.mean(np.concatenate(values) ** 2)))

    return scatter / rms(estimated), scatter / rms(noise_free), read_noise


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--realisations", type=int, default=6)
    args = parser.parse_args()
    reference = _morvex_dic.generate_speckle(256, 256, 3, 0.5, 4)
    deformed = warp_along(reference, functools.partial(np.full_like, fill_value=SHIFT), axis=1)
    print(f"scatter of u / RMS of sigma_u over {args.realisations} realisations (1 = "
          f"calibrated; speckle grey-level std {reference.std():.1f})")
    print(f"  {'case':24s} {'noise':>6s} {'estimated':>10s} | {'sigma':>6s} {'noise-free':>10s}")
    rng = np.random.default_rng(0)
    worst_now, worst_before = 1.0, 1.0
    for name, settings in CASES:
        for noise in NOISES:
            now, before, read_noise = calibration(reference, deformed, noise, settings,
                                                  args.realisations, rng)
            worst_now = max(worst_now, now, 1 / now)
            worst_before = max(worst_before, before, 1 / before)
            print(f"  {name:24s} {noise:6.1f} {read_noise:10.2f} | {now:6.3f} {before:10.3f}")
    print(f"furthest from 1 (either way): {worst_now:.2f} x, reference taken noise-free "
          f"{worst_before:.2f} x")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
