"""The ``morvex`` command line: run, plot, export, speckle, demo.

User errors print one line (``morvex: error: ...``) and exit with code 2, without a traceback;
Ctrl-C exits with code 130 after the current frame's workers stop.
"""

from __future__ import annotations

import pathlib
import sys
import tomllib
from typing import Any

import click
import numpy as np

from ._errors import MorvexError

_FIELDS_HELP = "u, v, exx, eyy, exy, zncc, sigma_u, sigma_v (or u_mm, v_mm when calibrated)"


@click.group(context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(package_name="morvex", prog_name="morvex")
def cli() -> None:
    """Measure displacement and strain fields from speckle images (digital image correlation).

    \b
    Typical use:
      morvex speckle frames/img_000.tif                 # is the pattern good? which subset?
      morvex run frames/img_000.tif 'frames/*.tif' -o test.zarr --mask mask.png
      morvex plot test.zarr --field exx -o exx.png      # last frame over the reference
      morvex export test.zarr --format csv -o results/  # or vtk (ParaView), netcdf
      morvex app --root .                               # the same in a browser

    Run `morvex COMMAND --help` for each command's options.
    """


@cli.command()
@click.argument("reference", type=click.Path(path_type=pathlib.Path))
@click.argument("frames", nargs=-1, required=True)
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="Results store to write (a folder ending in .zarr); an existing store made "
                   "with the same settings is resumed.")
@click.option("--mask", type=click.Path(path_type=pathlib.Path),
              help="Mask image of the reference's size: non-zero pixels are specimen.")
@click.option("--roi", nargs=4, type=int, metavar="X0 Y0 X1 Y1",
              help="Region of interest, inclusive pixel bounds.")
@click.option("--subset", type=int, help="Subset side in px, odd (default 29).")
@click.option("--step", type=int, help="Grid spacing in px (default 7).")
@click.option("--interpolation", type=click.Choice(["quintic", "cubic", "keys"]),
              help="Sub-pixel interpolation (default quintic B-spline).")
@click.option("--prefilter", type=float, help="Gaussian low-pass sigma in px (default 0: off).")
@click.option("--min-zncc", type=float, help="Smallest ZNCC of a valid point (default 0.8).")
@click.option("--strain-window", type=int, help="Half-width of the strain fit in px (default 35).")
@click.option("--strain-measure", type=click.Choice(["green-lagrange", "engineering"]),
              help="Strain tensor (default green-lagrange).")
@click.option("--scale-mm-per-px", type=float, help="Calibration: adds x_mm, y_mm, u_mm, v_mm.")
@click.option("--incremental", is_flag=True, default=None,
              help="Correlate each frame against the previous one (large deformation).")
@click.option("--threads", type=int, help="Worker threads (default: all cores).")
@click.option("--workers", type=int,
              help="Run on a local Dask cluster of this many worker processes.")
@click.option("--threads-per-worker", type=int,
              help="Task threads of each local worker (default 1).")
@click.option("--scheduler", metavar="ADDRESS",
              help="Run on an existing Dask cluster (e.g. tcp://host:8786).")
@click.option("--tile", type=int,
              help="Measure every frame by tiles of this side in px (very large images); "
                   "workers read only their tile's window of TIFF files.")
@click.option("--tile-margin", type=int,
              help="px of displacement a tile allows for at its edges (default 32).")
@click.option("--chunk", type=int,
              help="Frames per task on a cluster (default 4); each chunk starts from seeds.")
@click.option("--config", "config_file", type=click.Path(path_type=pathlib.Path),
              help="TOML file with any of these settings (e.g. subset = 31, roi = [0, 0, 99, "
                   "99]); flags given on the command line override it.")
@click.option("--overwrite", is_flag=True, help="Replace a store written with other settings.")
@click.option("--plot", "plot_field", metavar="FIELD",
              help=f"Also plot FIELD of the last frame to OUT_FIELD.png ({_FIELDS_HELP}).")
@click.option("-q", "--quiet", is_flag=True, help="No progress bar or per-frame summary.")
def run(reference: pathlib.Path, frames: tuple[str, ...], output: pathlib.Path,
        config_file: pathlib.Path | None, overwrite: bool, plot_field: str | None,
        quiet: bool, **flags: Any) -> None:
    """Measure FRAMES against REFERENCE and write every frame to the store OUTPUT.

    FRAMES are image files, folders (their images sorted by name), quoted glob patterns
    ('frames/*.tif') or multi-page TIFFs. Each frame starts from the previous frame's field.
    After each frame one line reports the share of valid points, the median ZNCC, the median
    uncertainty and the time. Interrupted runs (Ctrl-C, a crash) resume where they stopped
    when run again with the same settings.
    """
    from . import plot as plot_dataset
    from .sequence import correlate_sequence

    settings = _merge_config(config_file, flags)
    incremental = bool(settings.pop("incremental", False))
    threads = settings.pop("threads", None)
    cluster = {name: settings.pop(name, None)
               for name in ("workers", "threads_per_worker", "chunk", "tile", "tile_margin")}
    cluster["client"] = settings.pop("scheduler", None)
    mask = settings.pop("mask", None)
    if plot_field is not None:
        _check_field(plot_field, settings.get("scale_mm_per_px"))
    if not str(output).endswith(".zarr"):
        raise MorvexError(f"the output {output} must end in .zarr (a Zarr store folder)")

    def summary(index: int, frame: Any, seconds: float) -> None:
        valid = frame["valid"].values
        share = valid.mean() if valid.size else 0.0
        zncc = np.nanmedian(frame["zncc"].values) if valid.any() else float("nan")
        sigma = np.nanmedian(np.hypot(frame["sigma_u"].values, frame["sigma_v"].values)
                             ) if valid.any() else float("nan")
        click.echo(f"frame {index:4d}: {share:7.1%} valid, median ZNCC {zncc:.4f}, "
                   f"median sigma {sigma:.4f} px, {seconds:6.2f} s", err=False)

    dataset = correlate_sequence(list(frames), reference=reference, incremental=incremental,
                                 mask=mask, store=output, overwrite=overwrite,
                                 progress=not quiet, threads=threads,
                                 on_frame=None if quiet else summary, **cluster, **settings)
    click.echo(f"{dataset.sizes['frame']} frames in {output}")
    if plot_field is not None:
        target = output.with_name(f"{output.stem}_{plot_field}.png")
        _save(plot_dataset(dataset, plot_field), target)
        click.echo(f"plot: {target}")


@cli.command()
@click.argument("store", type=click.Path(path_type=pathlib.Path))
@click.option("--field", default="exx", show_default=True, help=f"Field to draw: {_FIELDS_HELP}.")
@click.option("--frame", default=-1, show_default=True, type=int,
              help="Frame index; negative counts from the end.")
@click.option("--vectors", is_flag=True, help="Draw displacement arrows instead of a field.")
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="Image file to write (PNG, PDF, SVG).")
def plot(store: pathlib.Path, field: str, frame: int, vectors: bool,
         output: pathlib.Path) -> None:
    """Draw a field of one frame of STORE over the reference image."""
    from .plotting import plot as plot_field, plot_vectors
    from .store import open_store

    dataset = open_store(store)
    ax = plot_vectors(dataset, frame) if vectors else plot_field(dataset, field, frame)
    _save(ax, output)
    click.echo(f"plot: {output}")


@cli.command()
@click.argument("store", type=click.Path(path_type=pathlib.Path))
@click.option("--format", "kind", required=True, type=click.Choice(["csv", "vtk", "netcdf"]),
              help="csv: one row per point and frame; vtk: one structured-points file per "
                   "frame; netcdf: the whole dataset.")
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="Folder to write into (created).")
def export(store: pathlib.Path, kind: str, output: pathlib.Path) -> None:
    """Export the complete frames of STORE as CSV, VTK or NetCDF files."""
    from .export import to_csv, to_netcdf, to_vtk
    from .store import open_store

    dataset = open_store(store)
    try:
        output.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise MorvexError(f"cannot create the folder {output}: {error.strerror}") from None
    stem = store.name.removesuffix(".zarr") or "result"
    if kind == "csv":
        written = [to_csv(dataset, output / f"{stem}.csv")]
    elif kind == "netcdf":
        written = [to_netcdf(dataset, output / f"{stem}.nc")]
    else:
        written = to_vtk(dataset, output / stem)
    click.echo(f"{len(written)} file(s): {written[0]}" + (" ..." if len(written) > 1 else ""))


@cli.command()
@click.argument("image", type=click.Path(path_type=pathlib.Path))
@click.option("--subset", default=29, show_default=True, type=int,
              help="Subset side in px for the subset gradient metric.")
def speckle(image: pathlib.Path, subset: int) -> None:
    """Report the speckle quality of IMAGE and the recommended subset size."""
    from .speckle import speckle_report

    report = speckle_report(image, subset=subset)
    rows, cols = report["shape"]
    click.echo(f"{image}: {cols} x {rows} px")
    click.echo(f"  entropy            {report['entropy']:.2f} bits (of 8)")
    click.echo(f"  mean gradient      {report['mean_gradient']:.1f} grey levels/px")
    click.echo(f"  subset gradient    {report['sssig']:.1f} (SSSIG per px, subset {subset})")
    click.echo(f"  contrast           {report['contrast']:.2f} (Michelson)")
    click.echo(f"  textured share     {report['coverage']:.1%}")
    click.echo(f"recommended subset: {report['recommended_subset']} px "
               f"(morvex run ... --subset {report['recommended_subset']})")


@cli.command()
@click.option("-o", "--output", default=pathlib.Path("out/demo"), show_default=True,
              type=click.Path(path_type=pathlib.Path), help="Folder for the store and plots.")
@click.option("--frames", default=6, show_default=True, type=click.IntRange(2, 100),
              help="Frames of the synthetic sequence.")
@click.option("--size", default=384, show_default=True, type=click.IntRange(96, 4096),
              help="Image side in px.")
def demo(output: pathlib.Path, frames: int, size: int) -> None:
    """Measure a synthetic sequence with a known field and print the accuracy.

    Paints a speckle image, stretches it step by step (up to 1 % along x and -0.3 % along y,
    while it moves by a few pixels), measures the sequence into OUTPUT/demo.zarr, prints the
    error of every frame against the exact field and writes plots of exx, u and the vectors.
    """
    from .demo import run_demo

    run_demo(output, frames, size)


@cli.command()
@click.option("--root", default=".", show_default=True,
              type=click.Path(path_type=pathlib.Path, file_okay=False),
              help="Project folder: the page reads and writes only inside it.")
@click.option("--host", default="127.0.0.1", show_default=True,
              help="Address to listen on; anything but this computer prints a warning.")
@click.option("--port", default=8765, show_default=True, type=click.IntRange(0, 65535),
              help="Port to listen on; 0 picks a free one.")
@click.option("--no-browser", is_flag=True, help="Do not open a browser tab.")
def app(root: pathlib.Path, host: str, port: int, no_browser: bool) -> None:
    """Measure in the browser: open frames, draw the mask, run, look, probe, export.

    Prints one line `morvex app: http://HOST:PORT/?token=TOKEN`; every request needs the
    token. Runs go on when the page is closed and are shown again when it is reopened.
    """
    from .app import serve

    serve(str(root), host=host, port=port, open_browser=not no_browser)


def _merge_config(config_file: pathlib.Path | None, flags: dict[str, Any]) -> dict[str, Any]:
    from .settings import Settings

    merged: dict[str, Any] = {}
    if config_file is not None:
        if not config_file.is_file():
            raise MorvexError(f"config file not found: {config_file}")
        try:
            with open(config_file, "rb") as handle:
                table = tomllib.load(handle)
        except tomllib.TOMLDecodeError as error:
            raise MorvexError(f"config file {config_file} is not valid TOML: {error}") from None
        known = set(Settings.names()) | {"incremental", "threads", "mask", "workers",
                                         "threads_per_worker", "scheduler", "chunk", "tile",
                                         "tile_margin"}
        for key, value in table.items():
            name = key.replace("-", "_")
            if name not in known:
                raise MorvexError(f"config file {config_file}: unknown setting {key!r}; known: "
                                  + ", ".join(sorted(known)))
            merged[name] = value
    for name, value in flags.items():
        if value is not None and value != ():
            merged[name] = value
    return merged


def _check_field(field: str, scale: Any) -> None:
    known = {"u", "v", "exx", "eyy", "exy", "zncc", "sigma_u", "sigma_v", "du_dx", "du_dy",
             "dv_dx", "dv_dy", "status", "iterations"} | ({"u_mm", "v_mm"} if scale else set())
    if field not in known:
        raise MorvexError(f"unknown field {field!r} for --plot; choose one of "
                          + ", ".join(sorted(known)))


def _save(ax: Any, path: pathlib.Path) -> None:
    import matplotlib.pyplot as plt

    if not path.parent.is_dir():
        raise MorvexError(f"cannot write {path}: the folder {path.parent} does not exist")
    try:
        ax.figure.savefig(path, dpi=150)
    except (OSError, ValueError) as error:
        raise MorvexError(f"cannot write {path}: {error}") from None
    finally:
        plt.close(ax.figure)


def main(argv: list[str] | None = None) -> None:
    """Entry point of the ``morvex`` script: one-line errors, exit code 2 for user errors."""
    import matplotlib

    matplotlib.use("Agg")  # files only; no window from a command line run
    try:
        cli.main(args=argv, prog_name="morvex", standalone_mode=False)
    except MorvexError as error:
        click.echo(f"morvex: error: {error}", err=True)
        sys.exit(2)
    except click.exceptions.NoArgsIsHelpError as error:
        # `morvex` or `morvex run` alone asks for the manual, not for an error.
        click.echo(error.ctx.get_help() if error.ctx else error.format_message())
        sys.exit(0)
    except click.ClickException as error:
        command = f" {error.ctx.command_path.split(' ', 1)[-1]}" if getattr(
            error, "ctx", None) and " " in error.ctx.command_path else ""
        click.echo(f"morvex: error: {error.format_message()} (see morvex{command} --help)",
                   err=True)
        sys.exit(2)
    except (KeyboardInterrupt, click.exceptions.Abort):
        click.echo("morvex: interrupted; complete frames are kept in the store", err=True)
        sys.exit(130)
    sys.exit(0)
