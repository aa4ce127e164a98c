"""``morvex demo``: a synthetic sequence with a known field, measured and checked."""

from __future__ import annotations

import pathlib
import time

import click
import numpy as np

from ._errors import MorvexError

STEP = 8  # px


def run_demo(output: pathlib.Path, frames: int, size: int) -> None:
    from .plotting import plot, plot_vectors, valid_share
    from .sequence import correlate_sequence
    from .speckle import speckle_report
    from .synthetic import synthetic_sequence

    try:
        output.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise MorvexError(f"cannot create the folder {output}: {error.strerror}") from None
    sequence = synthetic_sequence(frames=frames, shape=(size, size), u_step=0.6, v_step=-0.3,
                                  exx_final=0.01, eyy_final=-0.003, seed=2024)
    report = speckle_report(sequence.frames[0])
    # The demo measures with the subset the pattern supports, as a user following
    # `morvex speckle` would, so what it recommends and what it uses never disagree.
    subset = int(report["recommended_subset"])
    click.echo(f"synthetic sequence: {frames} frames of {size} x {size} px; speckle entropy "
               f"{report['entropy']:.2f} bits, recommended subset {subset} px")
    click.echo(f"measuring with the recommended subset {subset} px, step {STEP} px into "
               f"{output / 'demo.zarr'}")
    began = time.perf_counter()
    dataset = correlate_sequence(sequence.frames, store=output / "demo.zarr", overwrite=True,
                                 subset=subset, step=STEP, progress=True)
    seconds = time.perf_counter() - began
    points = dataset.sizes["y"] * dataset.sizes["x"]
    click.echo(f"{frames} frames x {points} points in {seconds:.1f} s "
               f"({frames * points / seconds:,.0f} points/s)\n")
    click.echo("frame  valid    RMS err u   RMS err v   mean err exx  std exx     median sigma_u")
    click.echo("                 [px]        [px]        [strain]      [strain]    [px]")
    click.echo("(valid: share of the grid points, as in the plot titles; strain errors inside "
               "a border of 3 points)")
    x, y = np.meshgrid(dataset["x"].values, dataset["y"].values)
    # Strain near the border of the valid region rests on one-sided fits: compare inside.
    inner = (slice(3, -3), slice(3, -3))
    worst = 0.0
    for k in range(frames):
        frame = dataset.isel(frame=k)
        truth = sequence.truth(k, x, y)
        valid = frame["valid"].values
        du = frame["u"].values[valid] - truth["u"][valid]
        dv = frame["v"].values[valid] - truth["v"][valid]
        inner_valid = valid[inner]
        dexx = frame["exx"].values[inner][inner_valid] - truth["exx"][inner][inner_valid]
        rms_u, rms_v = np.sqrt(np.mean(du ** 2)), np.sqrt(np.mean(dv ** 2))
        worst = max(worst, rms_u, rms_v)
        click.echo(f"{k:5d}  {valid_share(frame):6.1%}   {rms_u:.4f}      {rms_v:.4f}      "
                   f"{np.nanmean(dexx):+.2e}     {np.nanstd(dexx):.2e}    "
                   f"{np.nanmedian(frame['sigma_u'].values):.4f}")
    for field in ("exx", "u"):
        target = output / f"{field}.png"
        ax = plot(dataset, field)
        ax.figure.savefig(target, dpi=120)
        click.echo(f"plot: {target}")
    ax = plot_vectors(dataset, every=3)
    ax.figure.savefig(output / "vectors.png", dpi=120)
    click.echo(f"plot: {output / 'vectors.png'}")
    click.echo(f"\nlargest RMS displacement error over the frames: {worst:.4f} px")
