"""The ``morvex`` command line: run, certify, plot, export, probe, report, speckle, calibrate,
demo.

User errors print one line (``morvex: error: ...``) and exit with code 2, without a traceback;
Ctrl-C exits with code 130 after the current frame's workers stop.
"""

from __future__ import annotations

import json
import math
import pathlib
import re
import sys
import time
import tomllib
from typing import TYPE_CHECKING, Any

import click

if TYPE_CHECKING:
    from click.decorators import FC

from ._errors import MorvexError


class _SubsetType(click.ParamType[int | str]):
    """An odd subset side in px, or the word auto."""

    name = "SUBSET"

    def convert(self, value: Any, param: Any, ctx: Any) -> int | str:
        if isinstance(value, int) or value == "auto":
            return value  # type: ignore[no-any-return]
        try:
            return int(value)
        except ValueError:
            self.fail(f"{value!r} is neither a whole number of pixels nor 'auto'", param, ctx)


_SUBSET = _SubsetType()


class _CrackType(click.ParamType[tuple[tuple[float, float], ...]]):
    """A crack line: X,Y,X,Y[,X,Y...] vertices in reference px (checked by Settings)."""

    name = "X,Y,X,Y[,X,Y...]"

    def convert(self, value: Any, param: Any, ctx: Any) -> tuple[tuple[float, float], ...]:
        if isinstance(value, tuple):
            return value
        try:
            numbers = [float(part) for part in str(value).split(",")]
        except ValueError:
            numbers = []
        if len(numbers) < 4 or len(numbers) % 2:
            self.fail(f"{value!r} is not X,Y,X,Y[,X,Y...] (at least two vertices, px)", param,
                      ctx)
        return tuple((numbers[k], numbers[k + 1]) for k in range(0, len(numbers), 2))


class _SeedType(click.ParamType[tuple[float, ...]]):
    """An explicit seed: X,Y or X,Y,U,V in image px."""

    name = "X,Y[,U,V]"

    def convert(self, value: Any, param: Any, ctx: Any) -> tuple[float, ...]:
        if isinstance(value, tuple):
            return value
        try:
            numbers = tuple(float(part) for part in str(value).split(","))
        except ValueError:
            numbers = ()
        if len(numbers) not in (2, 4) or not all(math.isfinite(n) for n in numbers):
            self.fail(f"{value!r} is not X,Y or X,Y,U,V (finite numbers, px)", param, ctx)
        return numbers
def plot_fields(calibrated: bool) -> list[str]:
    """The fields a plot draws, in the results table's order: every measured one, the status
    and the iterations, and the millimetre displacements of a calibrated run."""
    from ._dataset import QUANTITIES

    roles = ("measured", "calibrated") if calibrated else ("measured",)
    return [q.name for q in QUANTITIES
            if q.role in roles or q.name in ("status", "iterations")]


_FIELDS_HELP = (", ".join(plot_fields(False)) + " (or u_mm, v_mm when calibrated)")


@click.group(context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(package_name="morvex", prog_name="morvex")
def cli() -> None:
    """Measure displacement and strain fields from speckle images (digital image correlation).

    \b
    Typical use:
      morvex speckle frames/img_000.tif                 # is the pattern good? which subset?
      morvex certify frames/img_000.tif -o cert/        # noise floor, bias, l10% of the settings
      morvex run frames/img_000.tif 'frames/*.tif' -o test.zarr --mask mask.png
      morvex plot test.zarr --field exx -o exx.png      # last frame over the reference
      morvex export test.zarr --format csv -o results/  # or vtk (ParaView), netcdf
      morvex app --root .                               # the same in a browser

    Run `morvex COMMAND --help` for each command's options.
    """


def setting_flags() -> list[tuple[str, dict[str, Any]]]:
    """(flag, click.option keywords) of every setting, in Settings' order, from its row of the
    table: type or choices, help with its unit and special values, and its default shown.

    No flag has a default of its own: only flags typed on the command line override a TOML
    file, and Settings.build gives every other setting its default.
    """
    import dataclasses

    from .settings import Settings

    flags = []
    for field in dataclasses.fields(Settings):
        meta = field.metadata
        kind, default = meta["kind"], field.default
        special = {key: text for key, text in meta["special"].items()}
        help_text = str(meta["help"])
        others = [f"{key}: {text}" for key, text in special.items() if key != default]
        if others:
            help_text += f" ({'; '.join(others)})"
        if meta["unit"]:
            help_text += f" Unit:{meta['unit']}."
        shown = ("none" if default is None or default == () else
                 f"{default}: {special[default]}" if default in special else str(default))
        option: dict[str, Any] = {"default": None, "show_default": shown, "help": help_text}
        flag = "--" + field.name.replace("_", "-")
        if field.name == "subset":
            option["type"] = _SUBSET
        elif kind == "int":
            option["type"] = int
        elif kind == "real":
            option["type"] = float
        elif kind == "choice":
            option["type"] = click.Choice(list(meta["choices"]))
        elif kind == "region":
            option.update(nargs=4, type=int, metavar="X0 Y0 X1 Y1", show_default="whole image")
        elif kind == "seeds":
            flag = "--seed"
            option.update(type=_SeedType(), multiple=True, default=())
        elif kind == "polylines":
            flag = "--crack"
            option.update(type=_CrackType(), multiple=True, default=(),
                          help=help_text + " Repeat --crack for each line.")
        elif kind == "path":
            option.update(type=str, metavar="FILE")
        elif kind in ("point", "segment"):
            option.update(type=str, metavar="X,Y" if kind == "point" else "X0,Y0,X1,Y1")
        elif kind == "flag":
            option.update(is_flag=True)
        flags.append((flag, option))
    return flags


def _setting_options(command: FC) -> FC:
    """Decorates a command with every setting's flag (see setting_flags)."""
    for flag, option in reversed(setting_flags()):
        name = ({"--seed": "seeds", "--crack": "crack_lines"}.get(flag)
                or flag[2:].replace("-", "_"))
        command = click.option(flag, name, **option)(command)
    return command


@cli.command()
@click.argument("reference", type=click.Path(path_type=pathlib.Path))
@click.argument("frames", nargs=-1, required=True)
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="Results store to write (a folder ending in .zarr); an existing store made "
                   "with the same settings is resumed.")
@click.option("--mask", type=click.Path(path_type=pathlib.Path),
              help="Mask image of the reference's size: non-zero pixels are specimen.")
@_setting_options
@click.option("--incremental", is_flag=True, default=None,
              help="Correlate each frame against the previous one (large deformation).")
@click.option("--threads", type=int, show_default="all cores; 1 per task on a cluster",
              help="Correlation threads.")
@click.option("--workers", type=int, show_default="none: in this process",
              help="Run on a local Dask cluster of this many worker processes.")
@click.option("--threads-per-worker", type=int, show_default="1",
              help="Task threads of each local worker.")
@click.option("--scheduler", metavar="ADDRESS", show_default="none",
              help="Run on an existing Dask cluster (e.g. tcp://host:8786).")
@click.option("--tile", type=int, show_default="none: whole frames",
              help="Measure every frame by tiles of this side in px (very large images); "
                   "workers read only their tile's window of TIFF files.")
@click.option("--tile-margin", type=int, show_default="32",
              help="px of displacement a tile allows for at its edges.")
@click.option("--chunk", type=int, show_default="2 on a cluster",
              help="Frames per task; each chunk starts from seeds.")
@click.option("--config", "config_file", type=click.Path(path_type=pathlib.Path),
              help="TOML file with any of these settings (e.g. subset = 31, roi = [0, 0, 99, "
                   "99]); flags given on the command line override it.")
@click.option("--overwrite", is_flag=True, help="Replace a store written with other settings.")
@click.option("--skip-bad-frames", is_flag=True, default=None,
              help="Record a frame whose file cannot be read as not measured (status 255) and "
                   "go on, instead of stopping at it.")
@click.option("--watch", is_flag=True,
              help="FRAMES is one folder (or quoted pattern) that a camera fills: measure each "
                   "new file once it is complete; Ctrl-C finishes what is there and stops.")
@click.option("--settle", type=float, default=1.0, show_default=True,
              help="With --watch: seconds a new file's size must stay unchanged.")
@click.option("--plot", "plot_field", metavar="FIELD",
              help=f"Also plot FIELD of the last frame to OUT_FIELD.png ({_FIELDS_HELP}).")
@click.option("--certify", "with_certificate", is_flag=True,
              help="Also measure the resolution certificate of these settings on REFERENCE "
                   "and keep its figures in the store's attributes (a few seconds).")
@click.option("-q", "--quiet", is_flag=True, help="No progress bar or per-frame summary.")
def run(reference: pathlib.Path, frames: tuple[str, ...], output: pathlib.Path,
        config_file: pathlib.Path | None, overwrite: bool, plot_field: str | None,
        with_certificate: bool, quiet: bool, watch: bool, settle: float,
        **flags: Any) -> None:
    """Measure FRAMES against REFERENCE and write every frame to the store OUTPUT.

    FRAMES are image files, folders, quoted glob patterns ('frames/*.tif') or multi-page
    TIFFs; folders and patterns are read in natural order (def_2 before def_10), and the
    first line shows the order. Each frame starts from the previous frame's field.
    After each frame one line reports the share of specimen points (those not outside the
    mask) that are valid, the median ZNCC, the median uncertainty and the time. Interrupted
    runs (Ctrl-C, a crash) resume where they stopped when run again with the same settings.
    """
    from .job import Job, JobState

    settings = _merge_config(config_file, flags)
    incremental = bool(settings.pop("incremental", False))
    threads = settings.pop("threads", None)
    skip_bad_frames = bool(settings.pop("skip_bad_frames", False))
    cluster = {name: settings.pop(name, None)
               for name in ("workers", "threads_per_worker", "chunk")}
    cluster["client"] = settings.pop("scheduler", None)
    mask = settings.pop("mask", None)
    if plot_field is not None:
        _check_field(plot_field, settings.get("scale_mm_per_px"))
    if not str(output).endswith(".zarr"):
        raise MorvexError(f"the output {output} must end in .zarr (a Zarr store folder)")
    if watch and len(frames) != 1:
        raise MorvexError(f"--watch takes one folder or pattern as FRAMES, got {len(frames)}")
    job = Job(frames[0] if watch else list(frames), store=output, reference=reference,
              incremental=incremental, mask=mask, overwrite=overwrite, watch=watch,
              settle=settle, skip_bad_frames=skip_bad_frames, threads=threads, **cluster,
              **settings)
    _follow(job.start(), quiet)
    if job.state is JobState.FAILED:
        raise job.error  # type: ignore[misc]
    if job.state is JobState.CANCELLED:
        raise KeyboardInterrupt
    if watch and job.resumed_frames is None:
        click.echo(f"no complete frame arrived in {frames[0]}; nothing written")
        return
    dataset = job.dataset()
    click.echo(f"{dataset.sizes['frame']} frames in {output}")
    if with_certificate:
        from .certificate_files import headline, summary
        from .certify import certify
        from .store import write_store_attrs

        if "subset_choice_json" in dataset.attrs:
            # The store holds the resolved subset: certify exactly what was measured.
            settings["subset"] = json.loads(dataset.attrs["subset_choice_json"])["subset"]
        certificate = certify(reference, mask=mask, threads=threads, **settings)
        write_store_attrs(output, summary(certificate))
        click.echo(f"certificate: {headline(certificate)} (store attributes)")
    if plot_field is not None:
        from .plotting import plot as plot_dataset

        target = output.with_name(f"{output.stem}_{plot_field}.png")
        _save(plot_dataset(dataset, plot_field), target)
        click.echo(f"plot: {target}")


@cli.command(name="certify")
@click.argument("reference", type=click.Path(path_type=pathlib.Path))
@click.option("--static", type=click.Path(path_type=pathlib.Path),
              help="A second image of the unloaded specimen: the noise floor is the scatter of "
                   "this static pair (else two copies of the reference with its own read noise).")
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="Folder for certificate.json, certificate.md and its plots (created).")
@click.option("--mask", type=click.Path(path_type=pathlib.Path),
              help="The run's mask (non-zero = specimen): every figure is measured on the "
                   "specimen alone.")
@_setting_options
@click.option("--config", "config_file", type=click.Path(path_type=pathlib.Path),
              help="TOML file with any of these settings; flags override it.")
@click.option("--threads", type=int, help="Worker threads (default: all cores).")
def certify_command(reference: pathlib.Path, static: pathlib.Path | None,
                    output: pathlib.Path, config_file: pathlib.Path | None,
                    **flags: Any) -> None:
    """Measure the resolution certificate of the settings on REFERENCE into OUTPUT.

    \b
    Writes OUTPUT/certificate.json, OUTPUT/certificate.md and two plots:
      - the settings table a publication reports (subset, step, shape, VSG, ...);
      - the displacement and strain noise floors beside the predicted sigma;
      - the bias over a 0..1 px sub-pixel shift;
      - the spatial resolution l10% and MEI = noise x l10% from a star-like field.
    """
    from .certificate_files import headline, write_certificate
    from .certify import certify

    settings = _merge_config(config_file, flags)
    for name in ("incremental", "workers", "threads_per_worker", "scheduler", "chunk", "tile",
                 "tile_margin"):
        if settings.pop(name, None) is not None:
            raise MorvexError(f"config file {config_file}: {name} has no meaning for certify")
    threads = settings.pop("threads", None)
    mask = settings.pop("mask", None)
    certificate = certify(reference, static=static, mask=mask, threads=threads, **settings)
    written = write_certificate(certificate, output)
    click.echo(f"{headline(certificate)}; {certificate['seconds']:.1f} s")
    click.echo("wrote " + ", ".join(str(path) for path in written))


@cli.command()
@click.argument("store", type=click.Path(path_type=pathlib.Path))
@click.option("--field", default="exx", show_default=True, help=f"Field to draw: {_FIELDS_HELP}.")
@click.option("--frame", default=-1, show_default=True, type=int,
              help="Frame index; negative counts from the end.")
@click.option("--frames", "frame_list", metavar="all|K,K,...|START:STOP",
              help="Frames of an animation (default all when OUTPUT is .gif or .mp4).")
@click.option("--vectors", is_flag=True, help="Draw displacement arrows instead of a field.")
@click.option("--vmin", type=float, show_default="2 % percentile",
              help="Lower colour limit, in the units shown (strains in %).")
@click.option("--vmax", type=float, show_default="98 % percentile", help="Upper colour limit.")
@click.option("--percentiles", nargs=2, type=float, metavar="LOW HIGH",
              show_default="2 98",
              help="Percentiles of the shown values that set the limits not given; an "
                   "animation takes them over all its frames, one scale for every frame.")
@click.option("--cmap", default="jet", show_default=True, help="Matplotlib colour map.")
@click.option("--on", "on", type=click.Choice(["reference", "deformed"]), default="reference",
              show_default=True,
              help="Image under the field; deformed draws each point where it moved (x + u, "
                   "y + v) over that frame's own image.")
@click.option("--images", type=click.Path(path_type=pathlib.Path),
              show_default="the store's folder",
              help="Folder holding the frame files, for --on deformed.")
@click.option("--fps", default=4.0, show_default=True, type=float,
              help="Frames per second of an animation.")
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="File to write: an image (PNG, PDF, SVG) or an animation (GIF; MP4 needs "
                   "ffmpeg).")
def plot(store: pathlib.Path, field: str, frame: int, frame_list: str | None, vectors: bool,
         vmin: float | None, vmax: float | None, percentiles: tuple[float, float] | None,
         cmap: str, on: str, images: pathlib.Path | None, fps: float,
         output: pathlib.Path) -> None:
    """Draw a field of one frame of STORE over the reference image, or animate frames.

    Colour limits default to the 2nd and 98th percentiles of the shown values (the colour
    bar says so), so a few outliers cannot flatten the scale; --vmin/--vmax fix them.
    """
    from .plotting import ROBUST_PERCENTILES, animate, plot_vectors
    from .plotting import plot as plot_field
    from .store import open_store

    dataset = open_store(store)
    limits: dict[str, Any] = dict(vmin=vmin, vmax=vmax,
                                  percentiles=percentiles or ROBUST_PERCENTILES, cmap=cmap, on=on)
    backgrounds = _frame_images(store, dataset, images) if on == "deformed" else None
    if output.suffix.lower() in (".gif", ".mp4"):
        if vectors:
            raise MorvexError("--vectors draws one frame; write an image (.png), not "
                              f"{output.name}")
        count = dataset.sizes.get("frame", 0)
        animate(dataset, output, field, _parse_frames(frame_list or "all", count), fps=fps,
                backgrounds=backgrounds, **limits)
        click.echo(f"animation: {output}")
        return
    if frame_list is not None:
        chosen = _parse_frames(frame_list, dataset.sizes.get("frame", 0))
        if len(chosen) != 1:
            raise MorvexError(f"--frames {frame_list} selects {len(chosen)} frames; an "
                              "animation needs an OUTPUT ending in .gif or .mp4")
        frame = chosen[0]
    if vectors:
        ax = plot_vectors(dataset, frame)
    else:
        background = backgrounds(frame) if backgrounds is not None else None
        ax = plot_field(dataset, field, frame, background, **limits)
    _save(ax, output)
    click.echo(f"plot: {output}")


def _parse_frames(text: str, count: int) -> list[int]:
    """Frame indices from "all", "3", "0,2,5" or "START:STOP[:STEP]" (negative from the end)."""
    if count == 0:
        raise MorvexError("the store holds no complete frame")
    if text.strip() == "all":
        return list(range(count))
    try:
        if ":" in text:
            parts = [int(p) if p.strip() else None for p in text.split(":")]
            if len(parts) > 3:
                raise ValueError
            chosen = list(range(count))[slice(*parts)]
        else:
            chosen = [int(p) for p in text.split(",")]
    except ValueError:
        raise MorvexError(f"--frames must be all, K,K,... or START:STOP[:STEP], got {text!r}"
                          ) from None
    for k in chosen:
        if not -count <= k < count:
            raise MorvexError(f"frame {k} is outside the {count} frames (0 ... {count - 1}, or "
                              "negative from the end)")
    if not chosen:
        raise MorvexError(f"--frames {text} selects no frame of the {count}")
    return [k % count for k in chosen]


def _frame_images(store: pathlib.Path, dataset: Any, folder: pathlib.Path | None) -> Any:
    """A function: frame index -> that frame's grey image, found by its recorded name."""
    from .io import as_image, load_image

    root = folder if folder is not None else store.parent
    names = [str(n) for n in dataset["frame_name"].values]

    def image(index: int) -> Any:
        if not -len(names) <= index < len(names):
            raise MorvexError(f"frame {index} is outside the {len(names)} frames")
        index %= len(names)
        name = names[index]
        if re.fullmatch(r"array \d+", name):
            raise MorvexError(f"frame {index} was given as an array, so its image is not in "
                              "the store; --on deformed needs the frame files")
        paged = re.fullmatch(r"(.+)\[(\d+)\]", name)
        path = root / (paged.group(1) if paged else name)
        if not path.is_file():
            raise MorvexError(f"the image of frame {index} is not reachable: {path} not found; "
                              "pass --images FOLDER (the folder of the frame files)")
        return load_image(path)[int(paged.group(2))] if paged else as_image(path, "frame")

    return image


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


@cli.command("probe")
@click.argument("store", type=click.Path(path_type=pathlib.Path))
@click.option("--point", "points", multiple=True, metavar="[NAME=]X,Y",
              help="A point probe (u, v and strains there); repeatable.")
@click.option("--extensometer", "extensometers", multiple=True, metavar="[NAME=]X0,Y0,X1,Y1",
              help="A virtual extensometer between two points (elongation, strain); "
                   "repeatable, e.g. --extensometer top=10,20,10,200.")
@click.option("--gauge", "gauges", multiple=True, metavar="[NAME=]X0,Y0,X1,Y1",
              help="A rectangular strain gauge (mean exx, eyy, exy); repeatable.")
@click.option("--gauge-polygon", "polygons", multiple=True, metavar="[NAME=]X,Y,X,Y,...",
              help="A polygonal strain gauge, at least 3 corners; repeatable.")
@click.option("--section", "sections", multiple=True, metavar="[NAME=]X,Y,X,Y,...",
              help="A section (polyline; mean strains along it); repeatable.")
@click.option("--section-step", type=float, show_default="the grid's step",
              help="Distance between a section's samples, px.")
@click.option("--test-data", type=click.Path(path_type=pathlib.Path),
              help="CSV of the test's channels (load, stroke, ...): with a time column, or "
                   "one row per frame.")
@click.option("--time-column", help="The test data's time column (default: found by name: "
                                    "time, t, time_s, 't [s]', ...).")
@click.option("--frame-rate", type=float, metavar="HZ", help="Frames per second of the camera.")
@click.option("--start-time", type=float, default=0.0, show_default=True, metavar="S",
              help="Time of the first frame on the test data's clock, s.")
@click.option("--frame-times", "frame_times", type=click.Choice(["tiff", "files"]),
              help="Frame times from the images' TIFF/EXIF time stamps or the files' "
                   "modification times.")
@click.option("--area", type=float, metavar="MM2",
              help="Cross-section area in mm²: adds stress [MPa] from the load channel.")
@click.option("--load-channel", help="The test data's load channel (N, or kN in its name).")
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="CSV to write (# lines define the probes, then one row per frame).")
@click.option("--plot", "plot_path", type=click.Path(path_type=pathlib.Path),
              help="Also draw the table (PNG, PDF, SVG; 6.5 x 4.5 in, 300 dpi).")
@click.option("--x", "x_column", help="Column on the plot's x axis (default time, else frame): a "
                                      "channel, a probe column, stress [MPa].")
@click.option("--y", "y_columns", multiple=True,
              help="Column to plot; repeatable (default: the probes' strains, or the stress "
                   "against a strain).")
def probe_command(store: pathlib.Path, points: tuple[str, ...], extensometers: tuple[str, ...],
                  gauges: tuple[str, ...], polygons: tuple[str, ...], sections: tuple[str, ...],
                  section_step: float | None, test_data: pathlib.Path | None,
                  time_column: str | None, frame_rate: float | None, start_time: float,
                  frame_times: str | None, area: float | None, load_channel: str | None,
                  output: pathlib.Path, plot_path: pathlib.Path | None, x_column: str | None,
                  y_columns: tuple[str, ...]) -> None:
    """Read probes of STORE frame by frame, with the test data synchronised to the frames.

    Coordinates are reference-image px (x right, y down). Lengths and displacements come in
    mm when the run was calibrated, else px; strains in %.
    """
    import warnings

    from .probe_export import FrameTimes, plot_table, probe_from_text, probe_table, write_csv
    from .store import open_store

    if frame_rate is not None and frame_times is not None:
        raise MorvexError("give --frame-rate or --frame-times, not both")
    if (x_column or y_columns) and plot_path is None:
        raise MorvexError("--x and --y choose what --plot draws; add --plot FILE")
    probes = [probe_from_text(kind, text, section_step)
              for kind, texts in (("point", points), ("extensometer", extensometers),
                                  ("gauge", gauges), ("gauge-polygon", polygons),
                                  ("section", sections))
              for text in texts]
    timing = FrameTimes("rate" if frame_rate is not None else frame_times, frame_rate,
                        start_time)
    dataset = open_store(store)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table, comments = probe_table(dataset, probes, store=store, test_data=test_data,
                                      time_column=time_column, frame_times=timing,
                                      area_mm2=area, load_channel=load_channel)
    for warning in caught:
        click.echo(f"morvex: warning: {warning.message}", err=True)
    write_csv(table, comments, output)
    click.echo(f"probes: {output} ({len(table)} frames, {len(probes)} probes)")
    if plot_path is not None:
        plot_table(table, plot_path, x_column, list(y_columns) or None)
        click.echo(f"plot: {plot_path}")


@cli.command(name="report")
@click.argument("store", type=click.Path(path_type=pathlib.Path))
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="HTML file to write: one self-contained file (figures inline).")
@click.option("--pdf", type=click.Path(path_type=pathlib.Path),
              help="Also write the same report as a PDF.")
@click.option("--frames", "frame_list", default="last", show_default=True, metavar="last|K,K,...",
              help="Frames whose fields are drawn: store frame indices (negative from the last).")
@click.option("--fields", default="u,v,exx,eyy,exy", show_default=True, metavar="F,F,...",
              help=f"Fields drawn at each frame: {_FIELDS_HELP}.")
@click.option("--series", type=click.Path(path_type=pathlib.Path),
              help="CSV of one row per frame (leading # lines skipped), as morvex probe writes: "
                   "every numeric column plotted against the frame.")
@click.option("--series-x", metavar="COLUMN",
              help="A column of --series to plot the others against too (e.g. 'time [s]').")
@click.option("--crack-line", "crack_lines", multiple=True, metavar="X,Y,X,Y,...",
              help="A crack to measure and report, as for morvex crack --line (repeatable).")
@click.option("--young", type=float, help="With --crack-line: Young's modulus, MPa (K_I, K_II, T).")
@click.option("--poisson", type=float, help="With --crack-line: Poisson's ratio.")
@click.option("--plane-stress/--plane-strain", "plane_stress", default=False,
              show_default="plane strain", help="With --young: thin sheet or thick body.")
@click.option("--pixel-size", type=float,
              help="mm per px, for the crack fit when the store is not calibrated.")
def report_command(store: pathlib.Path, output: pathlib.Path, pdf: pathlib.Path | None,
                   frame_list: str, fields: str, series: pathlib.Path | None,
                   series_x: str | None, crack_lines: tuple[str, ...], young: float | None,
                   poisson: float | None, plane_stress: bool, pixel_size: float | None) -> None:
    """Write a test report of STORE: command, settings, certificate, run summary, fields.

    The HTML holds everything inline (open it anywhere, mail it as one file); --pdf writes
    the same content as a PDF, one table or figure per page.
    """
    from .report import read_series, write_report

    frames = None
    if frame_list.strip() != "last":
        try:
            frames = [int(part) for part in frame_list.split(",")]
        except ValueError:
            raise MorvexError(f"--frames must be 'last' or frame indices K,K,..., got "
                              f"{frame_list!r}") from None
    names = [name.strip() for name in fields.split(",") if name.strip()]
    if series_x is not None and series is None:
        raise MorvexError("--series-x needs --series")
    table = read_series(series) if series is not None else None
    cracks = None
    if crack_lines:
        cracks = _measure_cracks(store, crack_lines, young, poisson, plane_stress, pixel_size)
    elif young is not None or poisson is not None:
        raise MorvexError("--young and --poisson need --crack-line")
    written = write_report(store, output, frames=frames, fields=names, series=table,
                           series_x=series_x, pdf=pdf, cracks=cracks)
    click.echo("wrote " + ", ".join(str(path) for path in written))


@cli.command()
@click.argument("image", type=click.Path(path_type=pathlib.Path))
@click.option("--subset", default=29, show_default=True, type=int,
              help="Subset side in px for the subset gradient and its predicted noise.")
@click.option("--mask", type=click.Path(path_type=pathlib.Path),
              help="Mask image of IMAGE's size (non-zero = specimen): only the specimen counts.")
def speckle(image: pathlib.Path, subset: int, mask: pathlib.Path | None) -> None:
    """Report the speckle quality of IMAGE, the recommended subset and its predicted noise.

    Gradients are central differences in grey levels/px. The recommendation assumes a uniform
    field; a pattern with no usable texture gets no subset (the exit code stays 0).
    """
    from .speckle import report_lines, speckle_report

    report = speckle_report(image, subset=subset, mask=mask)
    rows, cols = report["shape"]
    click.echo(f"{image}: {cols} x {rows} px")
    for line in report_lines(report, subset):
        click.echo(line)


def _numbers(text: str, count: int, flag: str) -> tuple[float, ...]:
    """"X0,Y0,X1,Y1" -> finite numbers, exactly `count` of them."""
    try:
        values = tuple(float(part) for part in text.split(","))
    except ValueError:
        values = ()
    if len(values) != count or not all(math.isfinite(v) for v in values):
        names = {2: "X,Y", 4: "X0,Y0,X1,Y1"}[count]
        raise MorvexError(f"{flag} must be {names} (finite numbers, px), got {text!r}")
    return values


@cli.command()
@click.argument("images", nargs=-1, required=True, type=click.Path(path_type=pathlib.Path))
@click.option("-o", "--output", required=True, type=click.Path(path_type=pathlib.Path),
              help="Camera file to write (.json); its coverage plot goes beside it (.png).")
@click.option("--chessboard", metavar="COLSxROWS", help="Chessboard target: inner corners.")
@click.option("--circles", metavar="COLSxROWS", help="Symmetric circle grid target.")
@click.option("--asymmetric-circles", metavar="COLSxROWS", help="Asymmetric circle grid target.")
@click.option("--charuco", metavar="COLSxROWS",
              help="ChArUco board: squares (not corners); partial views count.")
@click.option("--square", type=float, required=True,
              help="Side of a chessboard or ChArUco square, or the circles' pitch, mm.")
@click.option("--marker", type=float, help="Side of a ChArUco board's markers, mm.")
@click.option("--dictionary", default="DICT_5X5_100", show_default=True,
              help="A ChArUco board's ArUco dictionary, by OpenCV's name.")
@click.option("--fix-k3", is_flag=True, help="Hold k3 at 0 (little distortion or few views).")
@click.option("--check", "check_points", metavar="X0,Y0,X1,Y1",
              help="Two points of the first image on its target's plane, px, for --distance.")
@click.option("--distance", type=float, help="Known distance between the --check points, mm.")
def calibrate(images: tuple[pathlib.Path, ...], output: pathlib.Path, chessboard: str | None,
              circles: str | None, asymmetric_circles: str | None, charuco: str | None,
              square: float, marker: float | None, dictionary: str, fix_k3: bool,
              check_points: str | None, distance: float | None) -> None:
    """Calibrate the camera from IMAGES of a planar target and write its camera file.

    Prints the reprojection RMS overall and per image, the images left out and why, and
    warnings when the views are too few or do not cover the sensor.
    """
    from .camera import calibrate as run_calibration
    from .camera import check_distance, coverage_plot, parse_pattern, write_camera

    given = [(name, text) for name, text in (("chessboard", chessboard), ("circles", circles),
             ("asymmetric_circles", asymmetric_circles), ("charuco", charuco))
             if text is not None]
    if len(given) != 1:
        raise MorvexError("give one target: --chessboard, --circles, --asymmetric-circles or "
                          "--charuco COLSxROWS")
    if marker is not None and charuco is None:
        raise MorvexError("--marker is a ChArUco board's; give it with --charuco")
    if (check_points is None) != (distance is None):
        raise MorvexError("--check and --distance go together")
    target, text = given[0]
    result = run_calibration(list(images), target=target, pattern=parse_pattern(text),
                             spacing=square, fix_k3=fix_k3, marker=marker,
                             dictionary=dictionary)
    report = dict(result.report)
    if check_points is not None and distance is not None:
        report["check"] = check_distance(result, _numbers(check_points, 4, "--check"),
                                         distance)
    write_camera(output, result.camera, report)
    coverage_plot(result, output.with_suffix(".png"))
    matrix = result.camera.camera_matrix
    click.echo(f"{output}: fx {matrix[0, 0]:.2f}, fy {matrix[1, 1]:.2f}, cx {matrix[0, 2]:.2f}, "
               f"cy {matrix[1, 2]:.2f} px; dist "
               + ", ".join(f"{c:.5g}" for c in result.camera.dist_coeffs))
    click.echo(f"reprojection RMS {report['rms_px']:.4f} px over {len(result.points)} images")
    for name, rms in report["image_rms_px"].items():
        click.echo(f"  {name}: {rms:.4f} px")
    for item in report["left_out"]:
        click.echo(f"left out {item['image']}: {item['reason']}")
    for warning in report["warnings"]:
        click.echo(f"warning: {warning}")
    if "check" in report:
        check = report["check"]
        click.echo(f"check: {check['measured_mm']:.4f} mm for {check['known_mm']:g} mm, error "
                   f"{check['error_mm']:+.4f} mm ({check['error_relative']:+.3%})")


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
@click.argument("store", type=click.Path(path_type=pathlib.Path))
@click.option("--line", "lines", multiple=True, metavar="X,Y,X,Y,...",
              help="A crack as a polyline in reference px, mouth first, tip last (repeat the "
                   "option for more cracks).")
@click.option("--find", "find", is_flag=True,
              help="Find the cracks from the field and print them as X,Y,... lines (for "
                   "--line or morvex run --crack); measured when no --line is given.")
@click.option("--frame", "find_frame", default=-1, show_default="the last",
              type=int, help="With --find: the frame to find the cracks on.")
@click.option("--images", "find_images", nargs=2, metavar="REFERENCE DEFORMED",
              type=click.Path(exists=True, dir_okay=False, path_type=pathlib.Path),
              help="With --find: the reference and that frame's image, which place each line "
                   "to a fraction of a pixel (without them: within about half a grid step).")
@click.option("--distance", type=float, show_default="half the subset plus two grid steps",
              help="How far from the line each lip is read, px.")
@click.option("--spacing", type=float, show_default="the grid step",
              help="Distance between stations along the crack, px.")
@click.option("--noise-factor", default=3.0, show_default=True, type=float,
              help="The tip is where the opening falls below this times its noise.")
@click.option("--young", type=float, help="Young's modulus, MPa (asks for K_I, K_II and T).")
@click.option("--poisson", type=float, help="Poisson's ratio.")
@click.option("--plane-stress/--plane-strain", "plane_stress", default=False,
              show_default="plane strain", help="Thin sheet (plane stress) or thick body.")
@click.option("--r-min", type=float, show_default="--distance",
              help="Inner radius of the fitting annulus around the tip, px.")
@click.option("--r-max", type=float, show_default="the tip's distance to the grid's edge",
              help="Outer radius of the fitting annulus, px.")
@click.option("--orders", default=5, show_default=True, type=click.IntRange(2, 12),
              help="Highest order of the Williams series.")
@click.option("--tip-from", type=click.Choice(["opening", "line"]), default="opening",
              show_default=True,
              help="Centre the fit on the tip the opening finds, or on the line's last vertex.")
@click.option("--refine-tip/--fixed-tip", "refine_tip", default=True, show_default=True,
              help="Move the fit's tip (within --r-min of the tip found) to where the series "
                   "fits best, or keep it where it was found.")
@click.option("--pixel-size", type=float,
              help="mm per px, for the fit when the store is not calibrated.")
@click.option("-o", "--output", type=click.Path(path_type=pathlib.Path),
              help="CSV to write: one row per crack and frame (needed unless --find).")
@click.option("--profiles", type=click.Path(path_type=pathlib.Path),
              help="CSV of the opening and sliding at every station, crack and frame.")
@click.option("--plot", "plot_path", type=click.Path(path_type=pathlib.Path),
              help="Figure to write (PNG, PDF, SVG): opening profiles and the tip over frames.")
@click.option("--frames", "frame_list", metavar="K,K,...|START:STOP",
              show_default="four frames spread over the run",
              help="Frames whose opening profile the plot draws.")
def crack(store: pathlib.Path, lines: tuple[str, ...], find: bool, find_frame: int,
          find_images: tuple[pathlib.Path, pathlib.Path] | None, distance: float | None,
          spacing: float | None, noise_factor: float, young: float | None,
          poisson: float | None, plane_stress: bool, r_min: float | None, r_max: float | None,
          orders: int, tip_from: str, refine_tip: bool, pixel_size: float | None,
          output: pathlib.Path | None, profiles: pathlib.Path | None,
          plot_path: pathlib.Path | None, frame_list: str | None) -> None:
    """Measure cracks drawn on STORE (or found with --find): opening and sliding along each,
    its tip, length and growth over frames, and with --young and --poisson the stress
    intensity factors."""
    from .crack import plot_cracks, write_csv, write_profiles

    if not lines and not find:
        raise MorvexError("give the cracks with --line, or --find them")
    if output is None and not find:
        raise MorvexError("give the CSV to write with -o")
    if find_images and not find:
        raise MorvexError("--images places the lines --find finds: give --find too")
    if find:
        from .crack_find import find_cracks, format_line
        from .io import load_image
        from .store import open_store

        images = (None if not find_images
                  else (load_image(find_images[0]), load_image(find_images[1])))
        found = find_cracks(open_store(store), find_frame, images=images)
        if not found:
            click.echo("no crack found")
        for k, line in enumerate(found):
            click.echo(f"crack {k + 1}: {format_line(line)}")
        if not lines:
            lines = tuple(format_line(line) for line in found)
        if not lines:
            return
    if output is None:
        return

    result = _measure_cracks(store, lines, young, poisson, plane_stress, pixel_size,
                             distance=distance, spacing=spacing, noise_factor=noise_factor,
                             r_min=r_min, r_max=r_max, orders=orders, tip_from=tip_from,
                             refine=refine_tip)
    names = ([str(n) for n in result["frame_name"].values] if "frame_name" in result.coords
             else None)
    write_csv(result, output, source=str(store), frame_names=names)
    click.echo(f"cracks: {output}")
    if profiles is not None:
        write_profiles(result, profiles)
        click.echo(f"profiles: {profiles}")
    if plot_path is not None:
        count = result.sizes["frame"]
        chosen = (_parse_frames(frame_list, count) if frame_list is not None
                  else sorted({round(k * (count - 1) / 3) for k in range(4)}))
        plot_cracks(result, plot_path, chosen)
        click.echo(f"plot: {plot_path}")


def _measure_cracks(store: pathlib.Path, lines: tuple[str, ...], young: float | None,
                    poisson: float | None, plane_stress: bool, pixel_size: float | None,
                    **options: Any) -> Any:
    """The cracks `lines` (X,Y,X,Y,... text) measured on the store, K with a material."""
    from .crack import Material, measure_cracks, parse_line
    from .store import open_store

    if (young is None) != (poisson is None):
        raise MorvexError("--young and --poisson go together")
    vertices = [parse_line(text, f"--line {k + 1}") for k, text in enumerate(lines)]
    dataset = open_store(store)
    material = (Material(young, poisson, "stress" if plane_stress else "strain")
                if young is not None and poisson is not None else None)
    result = measure_cracks(dataset, vertices, material=material, pixel_size_mm=pixel_size,
                            **options)
    if "frame_name" in dataset and "frame_name" not in result.coords:
        result = result.assign_coords(frame_name=("frame", dataset["frame_name"].values))
    return result


def _follow(job: Any, quiet: bool) -> None:
    """Show a job's progress and one line per frame until it ends.

    Ctrl-C cancels the run; while watching a folder, the first Ctrl-C finishes what is there
    (the run ends done) and a second one cancels.
    """
    from ._progress import Bar

    bar = None
    shown = 0
    started = time.time()

    def refresh() -> bool:
        nonlocal bar, shown
        ended = job.wait(0.1).value not in ("queued", "running")
        if bar is None and job.resumed_frames is not None:
            # Frames resumed from the store count on the bar, but not in its rate.
            bar = Bar(not quiet, "frame", "frames", initial=job.resumed_frames,
                      started=started)
            if not quiet:
                bar.write(frame_order_line(job.frame_names))
            if job.resumed_after is not None and not quiet:
                bar.write(f"resuming after frame {job.resumed_after}")
        summaries = job.summaries()
        for summary in summaries[shown:]:
            if not quiet and bar is not None:
                bar.write(f"frame {summary.frame:4d}: {summary.valid_share:7.1%} of specimen "
                          f"points valid, median ZNCC {summary.median_zncc:.4f}, median "
                          f"sigma {summary.median_sigma:.4f} px, {summary.seconds:6.2f} s")
        shown = len(summaries)
        progress = job.progress
        if progress.frames_total and bar is not None:
            bar(progress.frames_done, progress.frames_total)
        return ended

    try:
        while True:
            # Ctrl-C may land anywhere in an update, not only in the wait.
            try:
                if refresh():
                    return
            except KeyboardInterrupt:
                if not job.watching or job.stopping:
                    raise
                job.stop()
    except KeyboardInterrupt:
        job.cancel()
        job.wait()
        raise
    finally:
        if bar is not None:
            bar.close()


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
        except UnicodeDecodeError as error:
            raise MorvexError(f"config file {config_file} is not UTF-8 text (TOML is): byte "
                              f"{error.object[error.start]:#04x} at offset {error.start}"
                              ) from None
        except OSError as error:
            raise MorvexError(f"cannot read the config file {config_file}: "
                              f"{error.strerror}") from None
        known = set(Settings.names()) | {"incremental", "threads", "mask", "workers",
                                         "threads_per_worker", "scheduler", "chunk", "tile",
                                         "tile_margin", "skip_bad_frames"}
        for key, value in table.items():
            name = key.replace("-", "_")
            if name not in known:
                raise MorvexError(f"config file {config_file}: unknown setting {key!r}; known: "
                                  + ", ".join(sorted(known)))
            merged[name] = value
    context = click.get_current_context(silent=True)
    for name, value in flags.items():
        # A default shown in --help must not override the TOML file's value.
        typed = context is None or context.get_parameter_source(name) not in (
            click.core.ParameterSource.DEFAULT, None)
        if typed and value is not None and value != ():
            merged[name] = value
    return merged


def frame_order_line(names: list[str], shown: int = 3) -> str:
    """The run's first line: how many frames, and the first and last names in their order.

    Folders and patterns are read in natural order (def_2 before def_10); seeing the ends of
    the list tells at once whether the frames run in the order they were taken.
    """
    if len(names) <= 2 * shown:
        listed = ", ".join(names)
    else:
        listed = ", ".join(names[:shown]) + ", ..., " + ", ".join(names[-shown:])
    return f"{len(names)} frame{'s' if len(names) != 1 else ''} in this order: {listed}"


def _check_field(field: str, scale: object) -> None:
    known = plot_fields(bool(scale))
    if field not in known:
        raise MorvexError(f"unknown field {field!r} for --plot; choose one of "
                          + ", ".join(sorted(known)))


def _save(ax: Any, path: pathlib.Path) -> None:
    import matplotlib.pyplot as plt

    if not path.parent.is_dir():
        raise MorvexError(f"cannot write {path}: the folder {path.parent} does not exist")
    try:
        # Tight: a title wrapped over two lines stays whole, whatever the layout left.
        ax.figure.savefig(path, dpi=150, bbox_inches="tight")
    except (OSError, ValueError) as error:
        raise MorvexError(f"cannot write {path}: {error}") from None
    finally:
        plt.close(ax.figure)


# Python module -> the pip package that provides it, where the two names differ.
_PIP_PACKAGES = {"distributed": "dask[distributed]", "dask": "dask[distributed]",
                 "cv2": "opencv-python-headless", "PIL": "pillow", "yaml": "pyyaml",
                 "netCDF4": "netCDF4", "skimage": "scikit-image"}


def missing_module_message(error: ImportError) -> str:
    """One line naming the module an ImportError lacks and the pip command that adds it."""
    name = error.name
    if not name:
        found = re.search(r"No module named '([\w.]+)'", str(error))
        name = found.group(1) if found else None
    if not name:
        return f"a Python module is missing: {error}"
    top = name.split(".")[0]
    if top in ("morvex", "_morvex_dic"):
        return (f"the morvex installation is incomplete ({top} lacks {name}); reinstall it "
                "with `pip install .` from the source folder")
    package = _PIP_PACKAGES.get(top, top)
    quoted = f"'{package}'" if "[" in package else package  # shells expand brackets
    return f"the Python package {package} is not installed; install it with: pip install {quoted}"


def main(argv: list[str] | None = None) -> None:
    """Entry point of the ``morvex`` script: one-line errors, exit code 2 for user errors."""
    import os

    # Files only; no window from a command line run. Set for matplotlib, which is imported
    # only by the commands that draw (so --help stays instant).
    os.environ.setdefault("MPLBACKEND", "Agg")
    try:
        cli.main(args=argv, prog_name="morvex", standalone_mode=False)
    except MorvexError as error:
        click.echo(f"morvex: error: {error}", err=True)
        sys.exit(2)
    except ImportError as error:
        # An optional backend (NetCDF's h5py, a cluster's distributed, ...) that this
        # environment lacks: name what to install instead of showing the import's traceback.
        click.echo(f"morvex: error: {missing_module_message(error)}", err=True)
        sys.exit(2)
    except click.exceptions.NoArgsIsHelpError as error:
        # `morvex` or `morvex run` alone asks for the manual, not for an error.
        click.echo(error.ctx.get_help() if error.ctx else error.format_message())
        sys.exit(0)
    except click.ClickException as error:
        ctx: click.Context | None = getattr(error, "ctx", None)
        command = f" {ctx.command_path.split(' ', 1)[-1]}" if (
            ctx is not None and " " in ctx.command_path) else ""
        click.echo(f"morvex: error: {error.format_message()} (see morvex{command} --help)",
                   err=True)
        sys.exit(2)
    except (KeyboardInterrupt, click.exceptions.Abort):
        click.echo("morvex: interrupted; complete frames are kept in the store", err=True)
        sys.exit(130)
    sys.exit(0)
