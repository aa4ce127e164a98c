"""Cracks measured by correlation against cracks made exactly.

Everything is made in code with the library's own quintic B-spline warping (inverse map by
fixed-point iteration, the reference sampled where each deformed pixel came from; a pixel with
no source, inside an opened gap, is painted dark):

  (a) a straight crack across a speckled plate, its lips moved apart by a known opening;
  (b) the mode I Williams field of a known K_I and T around a tip in the middle, read noise on
      both images.

Reports, against these targets: valid points whose subset crosses the crack (0), the points
whose subset lies on one side that are valid and their error (0.02 px), the opening along the
crack (0.02 px), the tip (within 2 subsets), K_I (5 %), and that a pair without a crack gives
bit-identical fields whether a crack is drawn on it or not (the crack measurements only read).
Each case again with the crack given to the correlation as a line (a barrier): the subsets
cut by it, measured on their centre's side, against the truth there. Last, the crack found
from the run without a line: its distance to the true line, the tip, the opening along it and
a run with it as the barrier.

    .venv/bin/python bench/crack_bench.py [--size 300] [--subset 25] [--step 5]
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable

import numpy as np
import xarray as xr

import morvex
from morvex import _guided, warping
from morvex._status import Status
from morvex.crack import Material, crack_line, measure_cracks, williams_displacement
from morvex.crack_find import find_cracks

GAP_GREY = 10.0            # the opened gap, grey levels: darker than every speckle
NOISE = 1.0                # read noise of (b), grey levels
OPENING = 1.5              # px, case (a)
YOUNG, POISSON, PLANE = 70000.0, 0.33, "stress"
K_ONE, T_STRESS = 15.0, 20.0  # MPa sqrt(m), MPa
PIXEL_MM = 0.01
_ITERATIONS = 60

Displacement2D = Callable[[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]]


def warp(reference: np.ndarray, displacement: Displacement2D
         ) -> tuple[np.ndarray, np.ndarray]:
    """The reference deformed by `displacement` (x, y px -> u, v px), and where no reference
    pixel lands (the inverse map does not converge: an opened gap)."""
    y, x = np.indices(reference.shape, dtype=np.float64)
    px, py = x.copy(), y.copy()
    for _ in range(_ITERATIONS):
        u, v = displacement(px, py)
        px, py = x - u, y - v
    u, v = displacement(px, py)
    gap = np.hypot(px + u - x, py + v - y) > 1e-3
    coefficients = warping.bspline_coefficients(
        warping.bspline_coefficients(reference, 0), 1)
    out = warping.sample(coefficients, px, py)
    out[gap] = GAP_GREY
    return out, gap


def crossing(dataset: xr.Dataset, line_y: float, subset: int, x_end: float = math.inf
             ) -> np.ndarray:
    """Points whose subset has pixels on both sides of the horizontal line y = line_y
    (which stops at x_end)."""
    x, y = np.meshgrid(dataset["x"].values, dataset["y"].values)
    half = (subset - 1) / 2
    return (y - half < line_y) & (y + half > line_y) & (x - half < x_end)


def failures(result: xr.Dataset, where: np.ndarray, truth_u: np.ndarray, truth_v: np.ndarray,
             subset: int, shape: tuple[int, int]) -> str:
    """The points of `where` that are not valid, by status, and how many of them the true
    motion carries partly past the image's edge (no correlation can read those pixels)."""
    lost = where & ~result["valid"].values
    if not lost.any():
        return "none not valid"
    x, y = np.meshgrid(result["x"].values, result["y"].values)
    rows, cols = shape
    half = (subset - 1) / 2
    # px between the subset, moved by the true field, and the image's edge (negative: past it)
    margin = np.minimum.reduce([x + truth_u - half + 0.5, cols - 0.5 - (x + truth_u + half),
                                y + truth_v - half + 0.5, rows - 0.5 - (y + truth_v + half)])
    codes, counts = np.unique(result["status"].values[lost], return_counts=True)
    named = ", ".join(f"{count} {Status(int(code)).name.lower()}"
                      for code, count in zip(codes, counts, strict=True))
    return (f"not valid: {named}; of them carried by the true motion past the image's edge "
            f"{int((lost & (margin < 0.0)).sum())}, to within 0.1 px of it "
            f"{int((lost & (margin >= 0.0) & (margin < 0.1)).sum())}")


def barrier_report(result: xr.Dataset, crosses: np.ndarray, truth_u: np.ndarray,
                   truth_v: np.ndarray, line_y: float) -> None:
    """The same pair with the crack given as a line: every subset uses its centre's side."""
    valid = result["valid"].values
    y = np.meshgrid(result["x"].values, result["y"].values)[1]
    away = np.abs(y - line_y) >= 1.0
    error = np.hypot(result["u"].values - truth_u, result["v"].values - truth_v)
    # A cut subset holds fewer pixels, and its sigma says so: the error in sigmas tells
    # whether it was measured as well as its pixels allow.
    sigmas = error / np.hypot(result["sigma_u"].values, result["sigma_v"].values)
    for label, where in (("across the crack", crosses & away), ("on one side", ~crosses)):
        ok = where & valid
        print(f"    line given, subsets {label} (centre >= 1 px from it): {int(where.sum())}, "
              f"valid {int(ok.sum())} ({ok.sum() / max(where.sum(), 1):.1%}); error max "
              f"{error[ok].max():.4f}, RMS {math.sqrt(np.mean(error[ok] ** 2)):.4f} px "
              f"(target 0.02), at most {sigmas[ok].max():.1f} sigma, within 3 sigma "
              f"{np.mean(sigmas[ok] <= 3.0):.1%}")
    marked = result["status"].values == 10
    print(f"    line given, marked 'crosses a discontinuity': {int(marked.sum())} (centres on the "
          f"line: {int((~away & marked).sum())} of {int((~away).sum())}; the rest hold its tip)")


def opened_plate(size: int, slope: float = 0.0
                 ) -> tuple[np.ndarray, np.ndarray, np.ndarray, float]:
    """Case (a)'s pair: the crack y = line_y + slope (x - size / 2), its lips parted along y
    by OPENING; with the gap's pixels and line_y."""
    line_y = size / 2 + 0.5
    reference = _guided.generate_speckle(size, size, 3, 0.5, 7).astype(np.float64)

    def lips(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        above = y > line_y + slope * (x - size / 2)
        return np.zeros_like(x), np.where(above, OPENING / 2, -OPENING / 2)

    deformed, gap = warp(reference, lips)
    return reference, deformed, gap, line_y


def case_a(size: int, subset: int, step: int) -> None:
    reference, deformed, gap, line_y = opened_plate(size)
    result = morvex.correlate(reference, deformed, subset=subset, step=step)
    valid = result["valid"].values
    crosses = crossing(result, line_y, subset)
    x, y = np.meshgrid(result["x"].values, result["y"].values)
    truth_v = np.where(y > line_y, OPENING / 2, -OPENING / 2)
    whole = ~crosses
    error = np.hypot(result["u"].values, result["v"].values - truth_v)[whole & valid]
    print(f"(a) straight crack opened {OPENING} px, {size} px image, subset {subset}, "
          f"step {step}; gap {int(gap.sum())} dark pixels")
    print(f"    subsets across the crack: {int(crosses.sum())}, of them valid "
          f"{int((crosses & valid).sum())} (target 0)")
    print(f"    subsets on one side: {int(whole.sum())}, valid {int((whole & valid).sum())} "
          f"({(whole & valid).sum() / whole.sum():.1%}); error max {error.max():.4f}, RMS "
          f"{math.sqrt(np.mean(error ** 2)):.4f} px, within 0.02 px "
          f"{np.mean(error < 0.02):.1%} (target 0.02); "
          + failures(result, whole, np.zeros_like(truth_v), truth_v, subset, reference.shape))
    line = [(0.0, line_y), (size - 1.0, line_y)]
    given = morvex.correlate(reference, deformed, subset=subset, step=step, crack_lines=[line])
    barrier_report(given, crosses, np.zeros_like(truth_v), truth_v, line_y)
    measured = measure_cracks(result, [line])
    opening = measured["opening"].values[0, 0]
    finite = np.isfinite(opening)
    miss = np.abs(opening[finite] - OPENING)
    print(f"    opening read {measured.attrs['distance_px']:g} px either side at "
          f"{int(finite.sum())} stations: mean {opening[finite].mean():.4f} px, error max "
          f"{miss.max():.4f}, RMS {math.sqrt(np.mean(miss ** 2)):.4f} px (target 0.02)")


def williams_plate(size: int) -> tuple[np.ndarray, np.ndarray, np.ndarray,
                                        tuple[float, float], Displacement2D]:
    """Case (b)'s pair with read noise, the gap's pixels, the tip (x, y px) and the field."""
    tip = (size / 2 + 0.5, size / 2 + 0.5)
    tip_mm = (tip[0] * PIXEL_MM, tip[1] * PIXEL_MM)
    rng = np.random.default_rng(11)

    def williams(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        u, v = williams_displacement(x * PIXEL_MM, y * PIXEL_MM, tip_mm, 0.0, k_one=K_ONE,
                                     t_stress=T_STRESS, young=YOUNG, poisson=POISSON,
                                     plane=PLANE)
        return u / PIXEL_MM, v / PIXEL_MM

    clean = _guided.generate_speckle(size, size, 3, 0.5, 8).astype(np.float64)
    deformed, gap = warp(clean, williams)
    reference = clean + rng.normal(0.0, NOISE, clean.shape)
    deformed = deformed + rng.normal(0.0, NOISE, clean.shape)
    return reference, deformed, gap, tip, williams


def case_b(size: int, subset: int, step: int) -> None:
    reference, deformed, gap, tip, williams = williams_plate(size)
    result = morvex.correlate(reference, deformed, subset=subset, step=step)
    valid = result["valid"].values
    crosses = crossing(result, tip[1], subset, x_end=tip[0])
    x, y = np.meshgrid(result["x"].values, result["y"].values)
    truth_u, truth_v = williams(x, y)
    whole = ~crosses
    miss = np.hypot(result["u"].values - truth_u, result["v"].values - truth_v)
    error = miss[whole & valid]
    opening_at_mouth = float(np.ptp(williams(np.array([0.0, 0.0]),
                                             np.array([tip[1] - 1e-9, tip[1] + 1e-9]))[1]))
    print(f"(b) Williams field K_I {K_ONE} MPa m^0.5, T {T_STRESS} MPa, E {YOUNG:g} MPa, nu "
          f"{POISSON}, plane {PLANE}, {PIXEL_MM} mm/px, tip at ({tip[0]}, {tip[1]}) px, "
          f"read noise {NOISE}; opening at the left edge {opening_at_mouth:.3f} px; gap "
          f"{int(gap.sum())} dark pixels")
    straddling = miss[crosses & valid]
    print(f"    subsets across the crack: {int(crosses.sum())}, of them valid "
          f"{straddling.size} (target 0)"
          + (f", their error max {straddling.max():.4f} px" if straddling.size else ""))
    print(f"    subsets on one side: {int(whole.sum())}, valid {int((whole & valid).sum())} "
          f"({(whole & valid).sum() / whole.sum():.1%}); error max {error.max():.4f}, RMS "
          f"{math.sqrt(np.mean(error ** 2)):.4f} px, within 0.02 px "
          f"{np.mean(error < 0.02):.1%}; "
          + failures(result, whole, truth_u, truth_v, subset, reference.shape))
    given = morvex.correlate(reference, deformed, subset=subset, step=step,
                             crack_lines=[[(0.0, tip[1]), tip]])
    barrier_report(given, crosses, truth_u, truth_v, tip[1])
    line = [(0.0, tip[1]), (size - 1.0, tip[1])]
    material = Material(YOUNG, POISSON, PLANE)
    for label, options in (
            ("tip from the opening, kept there", {"tip_from": "opening", "refine": False}),
            ("tip from the opening, refined by the fit (default)", {"tip_from": "opening"}),
            ("tip given (line ends at it)",
             {"tip_from": "line", "line": [line[0], tip], "refine": False}),
    ):
        lines = [options.pop("line")] if "line" in options else [line]
        measured = measure_cracks(result, lines, material=material, pixel_size_mm=PIXEL_MM,
                                  r_min=2.0 * subset, r_max=size / 2 - subset, **options)
        found = (measured["tip_x"].item(), measured["tip_y"].item())
        fitted = (measured["fit_tip_x"].item(), measured["fit_tip_y"].item())
        print(f"    {label}: opening tip ({found[0]:.1f}, {found[1]:.1f}) px, error "
              f"{math.hypot(found[0] - tip[0], found[1] - tip[1]) / subset:.2f} subsets "
              f"(target <= 2); fit at ({fitted[0]:.1f}, {fitted[1]:.1f}) px, "
              f"{math.hypot(fitted[0] - tip[0], fitted[1] - tip[1]) / subset:.2f} subsets; "
              f"K_I {measured['K_I'].item():.3f} ({measured['K_I'].item() / K_ONE - 1:+.2%}, "
              f"target 5 %), K_II {measured['K_II'].item():+.3f}, T {measured['T'].item():.2f}"
              f" MPa, {measured['fit_points'].item()} points in r {2 * subset} ... "
              f"{size / 2 - subset:g} px, residual "
              f"{measured['residual'].item() / PIXEL_MM:.4f} px")


def case_none(size: int, subset: int, step: int) -> None:
    pair = morvex.synthetic_pair((size, size), u=0.4, v=-0.3, noise=NOISE)
    before = morvex.correlate(pair.reference, pair.deformed, subset=subset, step=step)
    kept = before.copy(deep=True)
    measured = measure_cracks(before, [[(0.0, size / 2 + 0.5), (size - 1.0, size / 2 + 0.5)]])
    after = morvex.correlate(pair.reference, pair.deformed, subset=subset, step=step)
    same_run = all(np.array_equal(before[n].values, after[n].values, equal_nan=True)
                   for n in ("u", "v", "valid", "status"))
    untouched = before.identical(kept)
    barrier = morvex.correlate(pair.reference, pair.deformed, subset=subset, step=step,
                               crack_lines=[[(0.0, size / 2 + 0.5), (size - 1.0, size / 2 + 0.5)]])
    both = before["valid"].values & barrier["valid"].values
    moved = np.hypot(barrier["u"].values - before["u"].values,
                     barrier["v"].values - before["v"].values)[both]
    opening = measured["opening"].values[0, 0]
    print(f"(none) a pair without a crack, a crack drawn across it: fields bit-identical to a "
          f"run without it: {same_run and untouched}; opening there mean "
          f"{np.nanmean(opening):+.4f}, max |{np.nanmax(np.abs(opening)):.4f}| px; tip found: "
          f"{bool(measured['tip_found'].item())}")
    print(f"    the same line given as a barrier: {int(both.sum())} points valid in both runs "
          f"({int(before['valid'].values.sum())} without it), differing by RMS "
          f"{math.sqrt(np.mean(moved ** 2)):.4f}, max {moved.max():.4f} px")


def _line_error(found: list[tuple[float, float]], line_y: float, slope: float, size: int
                ) -> tuple[float, float]:
    """Largest and RMS distance (px) of the found polyline, sampled every px, from the true
    line y = line_y + slope (x - size / 2)."""
    crack = crack_line(found)
    points = crack.at(np.arange(0.0, crack.length, 1.0))[0]
    gaps = np.abs(points[:, 1] - line_y - slope * (points[:, 0] - size / 2)) / math.hypot(
        1.0, slope)
    return float(gaps.max()), math.sqrt(float(np.mean(gaps ** 2)))


def case_found(size: int, subset: int, step: int) -> None:
    """The crack found from a run without a line, by the grid alone and placed by the images:
    how far from the truth, how well the opening and a run with it as a barrier read."""
    print("(found line) the crack found from a run without a line "
          "(morvex.crack_find.find_cracks, by the grid alone and with images=)")
    for label, slope in (("(a) straight crack, along the grid", 0.0),
                         ("(a) straight crack, oblique (slope 0.07)", 0.07)):
        reference, deformed, _, line_y = opened_plate(size, slope)
        result = morvex.correlate(reference, deformed, subset=subset, step=step)
        x, y = np.meshgrid(result["x"].values, result["y"].values)
        true_y = line_y + slope * (x - size / 2)
        truth_v = np.where(y > true_y, OPENING / 2, -OPENING / 2)
        crosses = np.abs(y - true_y) < (subset - 1) / 2 * math.hypot(1.0, slope)
        true_line = [(0.0, line_y - slope * size / 2),
                     (size - 1.0, line_y + slope * (size / 2 - 1))]
        misses = []
        for how, images in (("grid", None), ("images", (reference, deformed))):
            found = find_cracks(result, images=images)
            if len(found) != 1:
                print(f"    {label}, by the {how}: {len(found)} lines found (expected 1)")
                continue
            worst, rms = _line_error(found[0], line_y, slope, size)
            misses.append(worst)
            print(f"    {label}, by the {how}: {len(found[0])} vertices, from "
                  f"({found[0][0][0]:.1f}, {found[0][0][1]:.1f}) to ({found[0][-1][0]:.1f}, "
                  f"{found[0][-1][1]:.1f}) px; distance to the truth max {worst:.2f}, RMS "
                  f"{rms:.2f} px (target 1)")
            opening = measure_cracks(result, found)["opening"].values[0, 0]
            finite = np.isfinite(opening)
            miss = np.abs(opening[finite] - OPENING)
            print(f"      opening along it at {int(finite.sum())} stations: error max "
                  f"{miss.max():.4f}, RMS {math.sqrt(np.mean(miss ** 2)):.4f} px (target 0.02)")
            _found_barrier(reference, deformed, found, subset, step, crosses, truth_v,
                           np.abs(y - true_y) >= 1.0 + worst, 1.0 + worst)
        if misses:
            _found_barrier(reference, deformed, [true_line], subset, step, crosses, truth_v,
                           np.abs(y - true_y) >= 1.0 + max(misses), 1.0 + max(misses),
                           "true line")
    reference, deformed, _, tip, _ = williams_plate(size)
    result = morvex.correlate(reference, deformed, subset=subset, step=step)
    for how, images in (("grid", None), ("images", (reference, deformed))):
        found = find_cracks(result, images=images)
        if len(found) != 1:
            print(f"    (b) Williams field, by the {how}: {len(found)} lines found (expected 1)")
            continue
        end = found[0][-1]
        worst, rms = _line_error([found[0][0], end], tip[1], 0.0, size)
        print(f"    (b) Williams field, by the {how}: tip found at ({end[0]:.1f}, {end[1]:.1f}) "
              f"px, error {math.hypot(end[0] - tip[0], end[1] - tip[1]) / subset:.2f} subsets "
              f"(target <= 2); line to the truth max {worst:.2f}, RMS {rms:.2f} px")


def _found_barrier(reference: np.ndarray, deformed: np.ndarray,
                   lines: list[list[tuple[float, float]]], subset: int, step: int,
                   crosses: np.ndarray, truth_v: np.ndarray, away: np.ndarray, clear: float,
                   name: str = "found line") -> None:
    """A run with `lines` as barriers, read on the subsets the true line cuts whose centres
    are `clear` px from it (so that each lies on its own side of both lines)."""
    given = morvex.correlate(reference, deformed, subset=subset, step=step, crack_lines=lines)
    cut = crosses & away
    ok = cut & given["valid"].values
    error = np.hypot(given["u"].values, given["v"].values - truth_v)[ok]
    within = np.mean(error < 0.02) if error.size else math.nan
    print(f"      {name} as a barrier: subsets it cuts (centre >= {clear:.1f} px from the "
          f"truth) {int(cut.sum())}, valid {int(ok.sum())}; error max "
          f"{error.max() if error.size else math.nan:.4f}, RMS "
          f"{math.sqrt(np.mean(error ** 2)) if error.size else math.nan:.4f} px, within 0.02 px "
          f"{within:.1%}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=300)
    parser.add_argument("--subset", type=int, default=25)
    parser.add_argument("--step", type=int, default=5)
    args = parser.parse_args()
    case_a(args.size, args.subset, args.step)
    case_b(args.size, args.subset, args.step)
    case_none(args.size, args.subset, args.step)
    case_found(args.size, args.subset, args.step)


if __name__ == "__main__":
    main()
