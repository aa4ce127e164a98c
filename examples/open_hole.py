"""Measure your own images: the open-hole tensile test of the DIC Challenge (sample 12).

    python examples/open_hole.py [SAMPLE_FOLDER] [-o OUT]

Twelve 400 x 1040 frames of a composite plate with a hole, pulled along its length. The
plate's edges and the hole are black; the mask is made here from the reference image (dark
pixels after smoothing; the hole as the circle of the same area around its centroid), the
sequence is measured into OUT/open_hole.zarr (rerun: it resumes) and the strain along the
load of the last frame is drawn over the reference into OUT/open_hole_eyy.png.
"""

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")  # files only, no window
import numpy as np  # noqa: E402

import morvex  # noqa: E402

DEFAULT_SAMPLE = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "dic-challenge" / "sample12"
DARK = 30.0  # grey level: the painted plate stays above it once smoothed, edges and hole below
SMOOTHING = 15  # px, box filter side: wider than a speckle, narrower than the hole


def box_filter(image: np.ndarray, size: int) -> np.ndarray:
    """Mean over a size x size window (edges padded by reflection)."""
    half = size // 2
    padded = np.pad(image, half, mode="reflect")
    summed = padded.cumsum(axis=0).cumsum(axis=1)
    summed = np.pad(summed, ((1, 0), (1, 0)))
    rows, cols = image.shape
    return (summed[size:size + rows, size:size + cols] - summed[:rows, size:size + cols]
            - summed[size:size + rows, :cols] + summed[:rows, :cols]) / size**2


def specimen_mask(reference: np.ndarray) -> tuple[np.ndarray, tuple[float, float, float]]:
    """True on the painted plate; the hole removed as a circle. Returns (mask, (x, y, r))."""
    bright = box_filter(reference, SMOOTHING) > DARK
    # The plate: columns bright over most of their length (the hole spans only a few rows).
    columns = np.flatnonzero(bright.mean(axis=0) > 0.8)
    plate = np.zeros_like(bright)
    plate[:, columns[0]:columns[-1] + 1] = True
    hole = plate & ~bright
    ys, xs = np.nonzero(hole)
    cx, cy, radius = xs.mean(), ys.mean(), np.sqrt(hole.sum() / np.pi)
    yy, xx = np.mgrid[:reference.shape[0], :reference.shape[1]]
    inside = (xx - cx) ** 2 + (yy - cy) ** 2 <= (radius + 2.0) ** 2
    return plate & ~inside, (cx, cy, radius)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sample", nargs="?", type=pathlib.Path, default=DEFAULT_SAMPLE)
    parser.add_argument("-o", "--output", type=pathlib.Path, default=pathlib.Path("out"))
    args = parser.parse_args()
    frames = sorted(args.sample.glob("oht_cfrp_*.tiff"))
    if not frames:
        raise SystemExit(f"no oht_cfrp_*.tiff frames in {args.sample}")
    args.output.mkdir(parents=True, exist_ok=True)

    reference = morvex.load_image(frames[0])
    mask, (cx, cy, radius) = specimen_mask(reference)
    print(f"hole: centre ({cx:.1f}, {cy:.1f}) px, radius {radius:.1f} px; "
          f"{mask.mean():.0%} of the image is specimen")
    print(morvex.speckle_report(reference))

    ds = morvex.correlate_sequence(frames, mask=mask, store=args.output / "open_hole.zarr",
                                   subset=29, step=5, strain_window=20,
                                   on_frame=lambda k, f, s: print(
                                       f"frame {k:2d}: {float(f.valid.mean()):.1%} valid, "
                                       f"median ZNCC {float(f.zncc.median()):.4f}, {s:.1f} s"))
    last = ds.isel(frame=-1)
    print(f"last frame: v from {float(last.v.min()):.2f} to {float(last.v.max()):.2f} px, "
          f"median eyy {float(last.eyy.median()):.4%}")
    ax = morvex.plot(ds, "eyy", vmin=0.0, vmax=float(np.nanpercentile(last.eyy, 99.5) * 100))
    ax.figure.savefig(args.output / "open_hole_eyy.png", dpi=80)
    morvex.to_csv(last, args.output / "open_hole_last.csv")
    print(f"wrote {args.output / 'open_hole_eyy.png'} and {args.output / 'open_hole_last.csv'}")


if __name__ == "__main__":
    main()
