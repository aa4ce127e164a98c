"""Morvex quick start: measure a known deformation, check the answer, write the results.

    python examples/quickstart.py
    python examples/quickstart.py --reference before.png --deformed after.png

Without arguments it paints a 512 x 512 speckle image, deforms a copy by a known affine
field, assesses the speckle, correlates the pair with the default configuration and prints
how far the measured u, v and exx are from the truth. With two image paths it does the same
on your images, without the accuracy table (the truth is unknown there). Either way it writes
out/result.csv, out/result.vtk and out/fields.png under the current folder.
"""

import argparse
import pathlib
import sys
import time

import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import _morvex_dic as dic  # noqa: E402

IMAGE_SIZE = 512
SPECKLE_DOT_RADIUS = 3  # px
SPECKLE_DENSITY = 0.5
SPECKLE_SEED = 2024
# The known deformation, in deform_image's argument order. The deformed image shows at
# (x + u + du_dx*x + du_dy*y, y + v + dv_dx*x + dv_dy*y) what the reference has at (x, y),
# about the image origin (the centre of the top-left pixel).
TRUE_FIELD = {"u": 3.2, "v": -1.7, "du_dx": 0.004, "du_dy": 0.0005, "dv_dx": 0.0005,
              "dv_dy": -0.0015}
OUT_DIR = pathlib.Path("out")


class Stages:
    """Announces each stage as it starts and reports how long it took."""

    def __init__(self, count):
        self.count = count
        self.number = 0

    def run(self, title, function, *args):
        self.number += 1
        print(f"[{self.number}/{self.count}] {title} ...", flush=True)
        start = time.perf_counter()
        value = function(*args)
        self.seconds = time.perf_counter() - start
        print(f"      done in {self.seconds:.2f} s", flush=True)
        return value


def grid_positions(config, shape):
    """Pixel positions (x, y) of the grid points, as two (rows, cols) arrays.

    The result dictionary carries no positions, so they are laid out here the way the engine
    lays its grid: over the region of interest (the whole reference image when the region is
    unset) minus a margin of subset_size // 2 + search_range pixels (subset_size in tracking
    mode without integer initialisation), every `step` pixels, row by row.
    """
    rows, cols = shape
    x0, y0, x1, y1 = config.roi_x0, config.roi_y0, config.roi_x1, config.roi_y1
    if x0 < 0 or y0 < 0 or x1 <= x0 or y1 <= y0:
        x0, y0, x1, y1 = 0, 0, cols - 1, rows - 1
    if config.use_tracking_simplex and not config.tracking_integer_initialization:
        margin = config.subset_size
    else:
        margin = config.subset_size // 2 + config.search_range
    xs = np.arange(x0 + margin, x1 - margin + 1, config.step)
    ys = np.arange(y0 + margin, y1 - margin + 1, config.step)
    return np.meshgrid(xs, ys)


def print_quality(quality, subset_size):
    print("      entropy          {:8.3f} bits".format(quality["entropy"]))
    print("      mean gradient    {:8.1f} grey levels / px".format(quality["mean_gradient"]))
    print("      SSSIG            {:8.0f} per px".format(quality["sssig"]))
    print("      contrast         {:8.3f}".format(quality["contrast"]))
    print("      coverage         {:8.1%}".format(quality["coverage"]))
    print(f"      recommended subset  {quality['recommended_subset']} px"
          f" (this run uses the default, {subset_size} px)")


def print_accuracy(result, x, y, seconds):
    """Bias and RMS error against the known field, over the valid points with finite strain."""
    f = TRUE_FIELD
    true_u = f["u"] + f["du_dx"] * x + f["du_dy"] * y
    true_v = f["v"] + f["dv_dx"] * x + f["dv_dy"] * y
    # Green-Lagrange, as the engine reports it.
    true_exx = f["du_dx"] + 0.5 * (f["du_dx"] ** 2 + f["dv_dx"] ** 2)
    valid = result["valid"].reshape(x.shape) == 1
    points = result["rows"] * result["cols"]

    print()
    print(f"  points             {points}")
    print(f"  valid share        {valid.mean():.1%}")
    print(f"  points per second  {points / seconds:.0f}")
    print(f"  {'':18} {'bias':>12} {'RMS error':>12}")
    rows = [("u   [px]", result["u"], true_u, 1.0),
            ("v   [px]", result["v"], true_v, 1.0),
            ("exx [1e-6]", result["exx"], true_exx, 1e6)]
    for name, measured, truth, scale in rows:
        error = (measured.reshape(x.shape) - truth) * scale
        error = error[valid & np.isfinite(error)]
        if error.size == 0:
            print(f"  {name:18} {'-':>12} {'-':>12}")
            continue
        bias, rms = error.mean(), np.sqrt(np.mean(error ** 2))
        print(f"  {name:18} {bias:+12.4f} {rms:12.4f}")
    print(f"  (true exx = {true_exx * 1e6:.1f} x 1e-6)")


def plot_fields(result, x, y, path):
    """Maps of u, v and exx over the grid; invalid points are left blank."""
    valid = result["valid"].reshape(x.shape) == 1
    step = x[0, 1] - x[0, 0] if x.shape[1] > 1 else 1
    half = step / 2
    extent = [x.min() - half, x.max() + half, y.max() + half, y.min() - half]
    figure, axes = plt.subplots(1, 3, figsize=(15, 4.6), constrained_layout=True)
    for axis, key, label in zip(axes, ["u", "v", "exx"], ["u [px]", "v [px]", "exx"]):
        field = np.where(valid, result[key].reshape(x.shape), np.nan)
        image = axis.imshow(field, extent=extent, cmap="viridis", interpolation="nearest")
        axis.set_title(label)
        axis.set_xlabel("x [px]")
        axis.set_ylabel("y [px]")
        figure.colorbar(image, ax=axis, shrink=0.85)
    figure.savefig(path, dpi=110)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reference", help="reference image file (with --deformed)")
    parser.add_argument("--deformed", help="deformed image file (with --reference)")
    args = parser.parse_args()
    if (args.reference is None) != (args.deformed is None):
        parser.error("--reference and --deformed go together")
    synthetic = args.reference is None

    stages = Stages(7)
    if synthetic:
        reference = stages.run(f"Painting a {IMAGE_SIZE} x {IMAGE_SIZE} speckle image",
                               dic.generate_speckle, IMAGE_SIZE, IMAGE_SIZE,
                               SPECKLE_DOT_RADIUS, SPECKLE_DENSITY, SPECKLE_SEED)
        field_text = ", ".join(f"{key} = {value:g}" for key, value in TRUE_FIELD.items())
        deformed = stages.run(f"Deforming a copy by a known affine field ({field_text})",
                              dic.deform_image, reference, *TRUE_FIELD.values())
    else:
        try:
            reference = stages.run(f"Loading the reference image {args.reference}",
                                   dic.load_image, args.reference)
            deformed = stages.run(f"Loading the deformed image {args.deformed}",
                                  dic.load_image, args.deformed)
        except RuntimeError as error:  # unreadable file or unsupported channel count
            sys.exit(str(error))

    config = dic.DICConfig()
    quality = stages.run("Assessing the speckle pattern", dic.assess_speckle_quality,
                         reference, config.subset_size)
    print_quality(quality, config.subset_size)

    x, y = grid_positions(config, reference.shape)
    if x.size == 0:
        sys.exit(f"The image ({reference.shape[1]} x {reference.shape[0]} px) is too small for "
                 f"the default grid margin of {config.subset_size // 2 + config.search_range} px")
    engine = dic.DICEngine()
    result = stages.run(f"Correlating {x.size} grid points, {config.step} px apart, with the "
                        f"default configuration (no progress is shown until the run ends)",
                        engine.run, reference, deformed, config)
    if (result["rows"], result["cols"]) != x.shape:
        sys.exit(f"Unexpected grid {result['rows']} x {result['cols']}, expected "
                 f"{x.shape[0]} x {x.shape[1]}")
    if synthetic:
        print_accuracy(result, x, y, stages.seconds)
    else:
        print(f"      {result['valid'].mean():.1%} of {x.size} points valid, "
              f"{x.size / stages.seconds:.0f} points per second")
    print()

    OUT_DIR.mkdir(exist_ok=True)
    csv_path, vtk_path, png_path = (OUT_DIR / name
                                    for name in ["result.csv", "result.vtk", "fields.png"])
    # The exporters place grid point (r, c) at (c * step, r * step): grid-relative pixels.
    stages.run(f"Writing {csv_path}", dic.export_csv, result, str(csv_path), config.step)
    stages.run(f"Writing {vtk_path}", dic.export_vtk, result, str(vtk_path), config.step)
    stages.run(f"Drawing u, v and exx into {png_path}", plot_fields, result, x, y, png_path)
    print()
    print("Results are in", OUT_DIR.resolve())
    for path in (csv_path, vtk_path, png_path):
        print("   ", path.resolve())


if __name__ == "__main__":
    main()
