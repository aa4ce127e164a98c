"""morvex.report: a test report of a results store, as one self-contained HTML file and a PDF.

The report gathers what a test report needs from the store alone: the command that measures
the run again, the settings table, the resolution certificate when the run kept one, the run
summary per frame, fields at chosen frames with colour bars in their units, the status map and,
when given, the probe and test-data series. The HTML holds its style and every figure inline
(PNG as data: URIs), so it can be mailed or archived as one file; the PDF holds the same
content, one table or figure per page.
"""

from __future__ import annotations

import base64
import dataclasses
import datetime
import html
import io
import json
import math
import os
import pathlib
import shlex
import tempfile
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._errors import MorvexError

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr

DEFAULT_FIELDS = ("u", "v", "exx", "eyy", "exy")
# Rows of the run summary on one PDF page: more would shrink the text below reading size.
SUMMARY_ROWS_PER_PAGE = 36
# Figures in the HTML: enough for a 1024 px image to show its speckle-scale features without
# making a 30-frame report tens of megabytes.
_PNG_DPI = 90
_RUN_KEYS = ("frames", "frame_names", "reference_sha256", "mask_sha256", "incremental")
_STYLE = """body{font-family:system-ui,sans-serif;margin:2em auto;max-width:70em;color:#222}
table{border-collapse:collapse;margin:.5em 0 1.5em}td,th{border:1px solid #bbb;padding:.2em .5em;
text-align:left;font-size:.9em}th{background:#eee}td.n{text-align:right}
code,pre{background:#f4f4f4;padding:.2em .4em;white-space:pre-wrap;word-break:break-all}
figure{margin:1em 0}img{max-width:100%}figcaption{font-size:.9em;color:#555}
.note{color:#555;font-size:.9em}"""


@dataclasses.dataclass
class _Table:
    title: str
    header: list[str]
    rows: list[list[str]]
    note: str = ""


def write_report(store_path: str | os.PathLike[str], out: str | os.PathLike[str], *,
                 frames: Sequence[int] | None = None,
                 fields: Sequence[str] = DEFAULT_FIELDS,
                 series: pd.DataFrame | None = None, series_x: str | None = None,
                 pdf: str | os.PathLike[str] | None = None,
                 cracks: xr.Dataset | None = None) -> list[pathlib.Path]:
    """Write the test report of the store at `store_path` to `out` (HTML), and to `pdf`.

    Args:
        store_path: a results store written by ``morvex run`` or the application.
        out: the HTML file to write (``.html``); replaced only once it is complete.
        frames: the frames whose fields are drawn, by the store's frame index (negative from
            the last complete frame); default the last complete frame.
        fields: the fields drawn at every chosen frame (u, v in px or mm, strains in %).
        series: one row per frame (a ``frame`` column, or rows in frame order from 0) and any
            numeric columns (``E1 strain [%]``, ``load [N]``, ``time [s]``): each plotted
            against the frame, grouped by the unit in brackets.
        series_x: a column of `series` to plot the others against as well (``time [s]``).
        cracks: what :func:`morvex.crack.measure_cracks` measured on this store: a table of
            each crack's tip, length and stress intensity per frame, and its opening profiles.
        pdf: a PDF (``.pdf``) with the same content: one page for the title, the command and
            the settings; with a certificate, one for its figures and one per plot; one per
            SUMMARY_ROWS_PER_PAGE frames of the summary; one per field and frame, one status
            map per frame; one per series plot.

    Returns:
        The files written, the HTML first.

    Raises:
        MorvexError: for a path that is not a store, a store without a complete frame, a frame
            not complete in it, an unknown field, a series that does not fit the store, or a
            file that cannot be written. A damaged store raises its own StoreDamageError
            before anything is written.
    """
    from .store import Store

    store = pathlib.Path(store_path)
    html_path = _target(out, (".html", ".htm"), "report")
    pdf_path = None if pdf is None else _target(pdf, (".pdf",), "pdf")
    handle = Store(store)
    if not store.exists() or handle.identity() is None:
        raise MorvexError(f"{store} is not a Morvex results store (made by morvex run)")
    dataset = handle.read()  # a damaged store stops the report here, with its own error
    if dataset.sizes["frame"] == 0:
        raise MorvexError(f"store {store} holds no complete frame yet: nothing to report")
    positions = _positions(dataset, frames)
    field_names = _fields(dataset, fields)
    if series is not None:
        series = _check_series(series, series_x, int(handle.identity()["frames"]))  # type: ignore[index]
    sections = _Builder(pdf_path)
    try:
        _contents(sections, handle, dataset, positions, field_names, series, series_x)
        if cracks is not None:
            crack_section(sections, cracks)
        sections.finish_pdf()
    except BaseException:
        sections.abandon_pdf()
        raise
    _write_atomic(html_path, sections.html(f"Morvex test report: {store.name}"))
    return [html_path] + ([pdf_path] if pdf_path is not None else [])


def _contents(out: _Builder, handle: Any, dataset: xr.Dataset, positions: list[int],
              fields: list[str], series: pd.DataFrame | None, series_x: str | None) -> None:
    from ._dataset import version

    identity = handle.identity()
    command, note = reproducing_command(handle.path, identity, handle.sources(),
                                        handle.mask() is not None)
    made = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    out.heading(f"Morvex test report: {handle.path.name}")
    out.facts([("Date", made), ("Morvex", version()),
               ("Store written by Morvex", str(dataset.attrs.get("morvex_version", "unknown"))),
               ("Store", str(handle.path)),
               ("Frames", f"{dataset.sizes['frame']} complete of {identity['frames']}")],
              [("Command", command, note)])
    out.table(settings_table(identity, handle.sources()), page_break=True)
    certificate = certificate_tables(dataset.attrs)
    if certificate:
        out.tables(certificate)
        for figure, caption in certificate_figures(dataset.attrs):
            out.figure(figure, caption)
    summary = run_summary(dataset)
    for start in range(0, len(summary.rows), SUMMARY_ROWS_PER_PAGE):
        out.table(_Table(summary.title, summary.header,
                         summary.rows[start:start + SUMMARY_ROWS_PER_PAGE],
                         summary.note if start == 0 else ""), page_break=True,
                  html_join=start > 0)
    from .plotting import plot

    for position in positions:
        frame = int(dataset["frame"].values[position])
        name = str(dataset["frame_name"].values[position])
        for field in fields:
            ax = plot(dataset, field, position)
            out.figure(ax.figure, f"{field}, frame {frame} ({name})")
        out.figure(status_map(dataset, position), f"status, frame {frame} ({name})")
    if series is not None:
        for figure, caption in series_figures(series, series_x):
            out.figure(figure, caption)


def crack_section(out: _Builder, cracks: xr.Dataset) -> None:
    """Each crack's tip, length, growth and (when fitted) K_I, K_II, T per frame, and the
    figure of its opening profiles and length over frames."""
    from .crack import crack_figure

    fitted = "K_I" in cracks
    header = ["crack", "frame", "tip x (px)", "tip y (px)", "length (px)", "growth (px)"]
    if fitted:
        header += ["K_I (MPa m^0.5)", "K_II (MPa m^0.5)", "T (MPa)", "residual (mm)", "points"]
    rows = []
    for c, crack in enumerate(cracks["crack"].values):
        for f, frame in enumerate(cracks["frame"].values):
            row = [str(int(crack)), str(int(frame))] + [
                _formatted(cracks[name].values[c, f], "{:.4g}")
                for name in ("tip_x", "tip_y", "length", "growth")]
            if fitted:
                row += [_formatted(cracks[name].values[c, f], "{:.4g}")
                        for name in ("K_I", "K_II", "T", "residual")]
                row += [str(int(cracks["fit_points"].values[c, f]))]
            rows.append(row)
    note = ("Lips read {:g} px either side of each line; a tip where the opening falls below "
            "the noise threshold; no tip is no open crack.").format(
                float(cracks.attrs.get("distance_px", math.nan)))
    out.table(_Table("Cracks", header, rows, note), page_break=True)
    count = cracks.sizes["frame"]
    chosen = sorted({round(k * (count - 1) / 3) for k in range(4)})
    out.figure(crack_figure(cracks, chosen), "cracks: opening along each crack, length over "
               "frames")


# --- what the store says ---------------------------------------------------------------------

def stored_settings(identity: dict[str, Any], sources: dict[str, Any] | None) -> dict[str, Any]:
    """The settings the run was measured with, by name (as the store records them)."""
    if sources is not None and "settings" in sources:
        return dict(json.loads(sources["settings"]))
    return {k: v for k, v in identity.items() if k not in _RUN_KEYS}


def settings_table(identity: dict[str, Any], sources: dict[str, Any] | None) -> _Table:
    """Every setting with its value, unit and whether it is the default."""
    from .settings import Settings

    stored = stored_settings(identity, sources)
    rows = []
    for field in dataclasses.fields(Settings):
        recorded = field.name in stored
        value = stored.get(field.name, field.default)
        default = _plain(field.default)
        mark = "default" if _plain(value) == default else ""
        if not recorded:
            mark += " (not recorded: a setting newer than the store)"
        rows.append([field.name, _shown(value), str(field.metadata.get("unit", "")).strip(),
                     mark.strip()])
    return _Table("Settings", ["setting", "value", "unit", "default"], rows)


def reproducing_command(store: pathlib.Path, identity: dict[str, Any],
                        sources: dict[str, Any] | None, masked: bool) -> tuple[str, str]:
    """(``morvex run ...`` that measures this run again, a note on how it was obtained).

    The store keeps its sources and settings, not the command typed: the command is rebuilt
    from them (paths relative to the folder holding the store, only settings off their
    default), and the note says so and names what the store cannot give back.
    """
    from .settings import Settings

    notes = ["rebuilt from the settings and sources the store keeps (it keeps no command); "
             f"run it in the folder holding {store.name}"]
    recorded = (sources or {}).get("frames")
    frames = [str(item) for item in recorded] if isinstance(recorded, list) else []
    if not frames:
        frames = ["FRAMES"]
        notes.append("the store does not record its frames: FRAMES stands for them")
    reference = (sources or {}).get("reference")
    if isinstance(reference, int):
        names = identity.get("frame_names", [])
        if len(frames) == 1 and 0 <= reference < len(names) and frames[0] != "FRAMES":
            folder = pathlib.PurePath(frames[0])
            reference = str(folder.parent / names[reference]) if any(
                c in frames[0] for c in "*?[") else str(folder / names[reference])
        elif len(frames) > 1 and 0 <= reference < len(frames):
            reference = frames[reference]
        else:
            reference = "REFERENCE"
    if not isinstance(reference, str):
        reference = "REFERENCE"
        notes.append("the store does not record its reference: REFERENCE stands for it")
    words = ["morvex", "run", reference, *frames, "-o", store.name]
    if masked:
        words += ["--mask", "MASK"]
        notes.append("the run's mask is kept in the store (as the array `mask`): save it as an "
                     "image and give it as MASK")
    stored = stored_settings(identity, sources)
    for field in dataclasses.fields(Settings):
        value = stored.get(field.name, field.default)
        if _plain(value) == _plain(field.default) or value is None:
            continue
        flag = "--" + field.name.replace("_", "-")
        kind = field.metadata.get("kind")
        if kind == "flag":
            words.append(flag)
        elif kind == "region":
            words += [flag, *(str(v) for v in value)]
        elif kind == "seeds":
            for seed in value:
                words += ["--seed", ",".join(_number(v) for v in seed)]
        elif kind == "polylines":
            for line in value:
                words += ["--crack", ",".join(_number(v) for vertex in line for v in vertex)]
        elif isinstance(value, (list, tuple)):
            words += [flag, ",".join(_number(v) for v in value)]
        else:
            words += [flag, _number(value)]
    if identity.get("incremental"):
        words.append("--incremental")
    for name in ("chunk", "tile", "tile_margin"):
        if (sources or {}).get(name) is not None:
            words += ["--" + name.replace("_", "-"), str(sources[name])]  # type: ignore[index]
    return " ".join(shlex.quote(word) for word in words), "; ".join(notes) + "."


def certificate_tables(attrs: dict[str, Any]) -> list[_Table]:
    """The resolution certificate's figures the store keeps (none without a certificate)."""
    if "certificate_noise_floor_px" not in attrs:
        return []

    def figure(key: str, fmt: str = "{:.4g}") -> str:
        value, error = attrs.get(key), attrs.get(key.replace("_px", "_se_px", 1))
        text = _formatted(value, fmt)
        shown = _formatted(error, "{:.2g}")
        if text != "not measured" and shown not in ("not measured", "-"):
            text += f" ± {shown}"  # two significant digits are all a standard error has
        return text

    rows = [["noise floor of displacement", figure("certificate_noise_floor_px"), "px"],
            ["predicted sigma", figure("certificate_predicted_sigma_px"), "px"],
            ["strain noise", _formatted(attrs.get("certificate_strain_noise"), "{:.3g}"),
             "1 (fraction)"],
            ["largest |bias| over a sub-pixel shift", figure("certificate_max_abs_bias_px"),
             "px"],
            ["spatial resolution l10% of displacement",
             figure("certificate_l10_displacement_px", "{:.1f}"), "px"],
            ["spatial resolution l10% of strain",
             figure("certificate_l10_strain_px", "{:.1f}"), "px"],
            ["MEI of displacement (noise × l10%)",
             _formatted(attrs.get("certificate_mei_displacement_px2"), "{:.3g}"), "px²"],
            ["MEI of strain", _formatted(attrs.get("certificate_mei_strain_px"), "{:.3g}"),
             "px"]]
    flags = str(attrs.get("certificate_flags", ""))
    tables = [_Table("Resolution certificate", ["figure", "value", "unit"], rows,
                     f"Figures this image cannot support: {flags}." if flags else "")]
    certificate = _certificate(attrs)
    if certificate is not None and certificate.get("settings_table"):
        tables.append(_Table("Settings as the certificate reports them", ["parameter", "value"],
                             [[str(a), str(b)] for a, b in certificate["settings_table"]]))
    return tables


def certificate_figures(attrs: dict[str, Any]) -> list[tuple[Any, str]]:
    """The certificate's response and bias plots as (figure, caption), when the store keeps
    the whole certificate."""
    certificate = _certificate(attrs)
    if certificate is None:
        return []
    import matplotlib.image as mpimg
    import matplotlib.pyplot as plt

    from .certificate_files import BIAS_PLOT, RESPONSE_PLOT, plot_bias, plot_response

    figures = []
    with tempfile.TemporaryDirectory() as folder:
        for draw, name, caption in (
                (plot_response, RESPONSE_PLOT, "certificate: spatial resolution"),
                (plot_bias, BIAS_PLOT, "certificate: bias over a sub-pixel shift")):
            try:
                path = draw(certificate, pathlib.Path(folder) / name)
            except (KeyError, TypeError, ValueError):
                continue  # a certificate of an older layout: its figures stand in the table
            image = mpimg.imread(path)
            figure = plt.figure(figsize=(image.shape[1] / 120, image.shape[0] / 120))
            figure.figimage(image)
            figures.append((figure, caption))
    return figures


def _certificate(attrs: dict[str, Any]) -> dict[str, Any] | None:
    try:
        certificate = json.loads(attrs["certificate_json"])
    except (KeyError, TypeError, ValueError):
        return None
    return certificate if isinstance(certificate, dict) else None


def run_summary(dataset: xr.Dataset) -> _Table:
    """Per complete frame: its name, points by status, the valid share of the specimen points
    and the median sigma, as the run reported them."""
    from . import _guided
    from ._status import Status
    from .run.frames import summarise

    statuses = [(int(row["code"]), str(row["label"])) for row in _guided.STATUS_TABLE]
    statuses.append((int(Status.NOT_MEASURED), "not measured"))
    status = np.asarray(dataset["status"].values)
    shown = [(code, label) for code, label in statuses
             if code in (int(Status.CONVERGED), int(Status.OUTSIDE_MASK))
             or np.any(status == code)]
    rows = []
    for k in range(dataset.sizes["frame"]):
        frame = dataset.isel(frame=k)
        result = {name: frame[name].values for name in ("valid", "status", "zncc", "sigma_u",
                                                        "sigma_v")}
        summary = summarise(int(frame["frame"]), str(frame["frame_name"].values), result, 0.0)
        counts = [str(int(np.count_nonzero(result["status"] == code))) for code, _ in shown]
        rows.append([str(summary.frame), summary.name, *counts, f"{summary.valid_share:.1%}",
                     _formatted(summary.median_sigma, "{:.4f}")])
    return _Table("Run summary", ["frame", "name", *(label for _, label in shown),
                                  "converged share", "median sigma [px]"], rows,
                  "Points by status; the converged share counts the specimen points (those "
                  "not outside the mask); the median sigma is over the converged points of "
                  "max(sigma_u, sigma_v).")


# --- figures ---------------------------------------------------------------------------------

def status_map(dataset: xr.Dataset, position: int) -> Any:
    """The status of every point at the frame in `position`, in the library's colours, over
    the reference image, with a legend of the statuses present and their counts."""
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    from . import _guided
    from ._status import Status

    frame = dataset.isel(frame=position)
    status = np.asarray(frame["status"].values).astype(int)
    colours = np.zeros((256, 4))
    colours[:, 3] = 1.0
    labels = {int(Status.NOT_MEASURED): "not measured"}
    for row in _guided.STATUS_TABLE:
        code, colour = int(row["code"]), str(row["colour"])
        colours[code, :3] = [int(colour[i:i + 2], 16) / 255 for i in (1, 3, 5)]
        labels[code] = str(row["label"])
    x, y = frame["x"].values, frame["y"].values
    step = float(x[1] - x[0]) if x.size > 1 else float(y[1] - y[0]) if y.size > 1 else 1.0
    extent = (x[0] - step / 2, x[-1] + step / 2, y[-1] + step / 2, y[0] - step / 2)
    height, width = (dataset.sizes["row"], dataset.sizes["col"]) if "row" in dataset.sizes else (
        extent[2] - extent[3], extent[1] - extent[0])
    figure, ax = plt.subplots(figsize=(8.0, max(3.0, min(9.0, 6.0 * height / width))),
                              layout="constrained")
    if "reference_image" in dataset:
        ax.imshow(dataset["reference_image"].values, cmap="gray", interpolation="nearest")
    ax.imshow(colours[status], extent=extent, alpha=0.75, interpolation="nearest")
    present = [int(code) for code in np.unique(status)]
    ax.legend(handles=[Patch(color=colours[code], label=f"{labels.get(code, code)}: "
                             f"{int(np.count_nonzero(status == code))}") for code in present],
              loc="upper left", bbox_to_anchor=(1.01, 1.0), title="status: points")
    ax.set_xlabel("x [px]")
    ax.set_ylabel("y [px]")
    ax.set_title(f"status, frame {int(frame['frame'])} ({frame['frame_name'].values})")
    return figure


def series_figures(series: pd.DataFrame, series_x: str | None) -> list[tuple[Any, str]]:
    """The series against the frame, and against `series_x` when given: one axes per unit
    (the text in brackets of a column's name), every column in its legend."""
    import matplotlib.pyplot as plt

    frames = (series["frame"].to_numpy() if "frame" in series.columns
              else np.arange(len(series)))
    columns = [str(c) for c in series.columns if c != "frame"
               and _is_numeric(series[c])]
    out = []
    for against, label in ((None, "frame"), (series_x, series_x)):
        if label is None:
            continue
        shown = [c for c in columns if c != against]
        groups: dict[str, list[str]] = {}
        for column in shown:
            groups.setdefault(_unit_of(column), []).append(column)
        figure, axes = plt.subplots(len(groups), 1, squeeze=False, layout="constrained",
                                    figsize=(8.0, 1.0 + 2.6 * len(groups)), sharex=True)
        xs = frames if against is None else series[against].to_numpy()
        for ax, (unit, names) in zip(axes[:, 0], groups.items(), strict=True):
            for name in names:
                ax.plot(xs, series[name].to_numpy(), marker=".", label=name)
            ax.set_ylabel(names[0] if len(names) == 1 else f"[{unit}]" if unit else "value")
            ax.grid(True, alpha=0.3)
            ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
        axes[-1, 0].set_xlabel(label)
        axes[0, 0].set_title(f"series against {label}")
        out.append((figure, f"series against {label}"))
    return out


# --- checks ------------------------------------------------------------------------------------

def _target(path: str | os.PathLike[str], suffixes: tuple[str, ...], what: str) -> pathlib.Path:
    target = pathlib.Path(path)
    if target.suffix.lower() not in suffixes:
        raise MorvexError(f"the {what} is written as {' or '.join(suffixes)}, got {target.name}")
    if not target.parent.is_dir():
        raise MorvexError(f"cannot write {target}: the folder {target.parent} does not exist")
    return target


def _positions(dataset: xr.Dataset, frames: Sequence[int] | None) -> list[int]:
    """Positions in `dataset` of the chosen store frame indices (negative from the last)."""
    indices = [int(k) for k in dataset["frame"].values]
    if frames is None:
        return [len(indices) - 1]
    if isinstance(frames, (str, bytes)) or not isinstance(frames, Sequence) or not frames:
        raise MorvexError(f"frames must be a list of frame indices, got {frames!r}")
    positions = []
    for frame in frames:
        if isinstance(frame, bool) or not isinstance(frame, (int, np.integer)):
            raise MorvexError(f"frames must be whole numbers, got {frame!r}")
        if -len(indices) <= frame < 0:
            positions.append(len(indices) + int(frame))
        elif frame in indices:
            positions.append(indices.index(int(frame)))
        else:
            raise MorvexError(f"frame {frame} is not a complete frame of the store (complete: "
                              f"{_ranges(indices)}; negative counts from the last)")
    return positions


def _fields(dataset: xr.Dataset, fields: Sequence[str]) -> list[str]:
    if isinstance(fields, str) or not fields:
        raise MorvexError(f"fields must be a list of field names, got {fields!r}")
    known = [str(n) for n in dataset.data_vars if dataset[n].dims[-2:] == ("y", "x")]
    for field in fields:
        if field not in known:
            raise MorvexError(f"unknown field {field!r}; the store holds {', '.join(known)}")
    return list(fields)


def _check_series(series: Any, series_x: str | None, frames: int) -> pd.DataFrame:
    import pandas as pd

    if not isinstance(series, pd.DataFrame):
        raise MorvexError(f"series must be a pandas DataFrame, got {type(series).__name__}")
    numeric = [str(c) for c in series.columns if c != "frame"
               and _is_numeric(series[c])]
    if len(series) == 0 or not numeric:
        raise MorvexError("series holds no numeric column with a row per frame")
    if series_x is not None and series_x not in numeric:
        raise MorvexError(f"series_x {series_x!r} is not a numeric column of the series "
                          f"(columns: {', '.join(numeric)})")
    if series_x is not None and len(numeric) < 2:
        raise MorvexError(f"series holds no column to plot against {series_x!r}")
    index = (series["frame"].to_numpy() if "frame" in series.columns
             else np.arange(len(series)))
    if not _is_numeric(index) or np.any(index < 0) or np.any(
            index >= frames) or np.any(index != np.round(index)):
        raise MorvexError(f"series rows must be frames 0 ... {frames - 1} of the store "
                          f"({len(series)} rows" + (", frame column out of range)"
                                                    if "frame" in series.columns else ")"))
    return series


def read_series(path: str | os.PathLike[str]) -> pd.DataFrame:
    """A series CSV: leading ``#`` comment lines, then a header and one row per frame.

    Raises:
        MorvexError: when the file cannot be read or holds no table.
    """
    import pandas as pd

    source = pathlib.Path(path)
    try:
        lines = source.read_text(encoding="utf-8").splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise MorvexError(f"cannot read the series {source}: "
                          f"{getattr(error, 'strerror', None) or error}") from None
    skipped = 0
    while skipped < len(lines) and lines[skipped].lstrip().startswith("#"):
        skipped += 1
    try:
        return pd.read_csv(io.StringIO("\n".join(lines[skipped:])))
    except (ValueError, pd.errors.ParserError) as error:
        raise MorvexError(f"the series {source} is not a CSV table: "
                          f"{str(error).splitlines()[0]}") from None


# --- output -------------------------------------------------------------------------------------

class _Builder:
    """The report's blocks as HTML, and the same blocks as PDF pages while they are made."""

    def __init__(self, pdf_path: pathlib.Path | None) -> None:
        self.parts: list[str] = []
        self.pdf_path = pdf_path
        self._pdf: Any = None
        self._pdf_temporary: pathlib.Path | None = None
        self._page: list[tuple[str, Any]] = []  # text lines and tables waiting for a page
        if pdf_path is not None:
            from matplotlib.backends.backend_pdf import PdfPages

            self._pdf_temporary = pdf_path.with_name(f".{pdf_path.name}.tmp.pdf")
            self._pdf = PdfPages(self._pdf_temporary)

    def heading(self, text: str) -> None:
        self.parts.append(f"<h1>{_e(text)}</h1>")
        self._page.append(("title", text))

    def facts(self, facts: list[tuple[str, str]], commands: list[tuple[str, str, str]]) -> None:
        self.parts.append("<table>" + "".join(f"<tr><th>{_e(k)}</th><td>{_e(v)}</td></tr>"
                                             for k, v in facts) + "</table>")
        self._page += [("line", f"{k}: {v}") for k, v in facts]
        for name, command, note in commands:
            self.parts.append(f"<h2>{_e(name)}</h2><pre><code>{_e(command)}</code></pre>"
                              f"<p class=note>{_e(note)}</p>")
            self._page += [("line", ""), ("line", f"{name}: {command}"), ("note", note)]

    def tables(self, tables: list[_Table]) -> None:
        for number, table in enumerate(tables):
            self.table(table, page_break=number == len(tables) - 1)

    def table(self, table: _Table, *, page_break: bool = False, html_join: bool = False) -> None:
        body = "".join("<tr>" + "".join(
            f"<td class=n>{_e(cell)}</td>" if _numeric(cell) else f"<td>{_e(cell)}</td>"
            for cell in row) + "</tr>" for row in table.rows)
        if html_join and self.parts and self.parts[-1].endswith("</table>"):
            self.parts[-1] = self.parts[-1].removesuffix("</table>") + body + "</table>"
        else:
            self.parts.append(f"<h2>{_e(table.title)}</h2><table><tr>"
                              + "".join(f"<th>{_e(h)}</th>" for h in table.header)
                              + f"</tr>{body}</table>"
                              + (f"<p class=note>{_e(table.note)}</p>" if table.note else ""))
        self._page.append(("table", table))
        if page_break:
            self._flush()

    def figure(self, figure: Any, caption: str) -> None:
        import matplotlib.pyplot as plt

        try:
            buffer = io.BytesIO()
            figure.savefig(buffer, format="png", dpi=_PNG_DPI, bbox_inches="tight")
            data = base64.b64encode(buffer.getvalue()).decode("ascii")
            self.parts.append(f"<figure><img alt=\"{_e(caption)}\" "
                              f"src=\"data:image/png;base64,{data}\">"
                              f"<figcaption>{_e(caption)}</figcaption></figure>")
            if self._pdf is not None:
                self._flush()
                self._pdf.savefig(figure, bbox_inches="tight")
        finally:
            plt.close(figure)

    def _flush(self) -> None:
        # Text and tables gathered so far on one PDF page, top to bottom.
        if self._pdf is None or not self._page:
            self._page = []
            return
        import matplotlib.pyplot as plt
        from matplotlib.transforms import Bbox

        figure = plt.figure(figsize=(8.27, 11.69))  # A4 portrait, inches
        top = 0.96
        for kind, item in self._page:
            if kind == "table":
                figure.text(0.06, top, item.title, fontsize=11, weight="bold", va="top")
                height = min(top - 0.08, 0.018 * (len(item.rows) + 1))
                ax = figure.add_axes((0.06, top - 0.03 - height, 0.88, height))
                ax.axis("off")
                drawn = ax.table(cellText=item.rows or [[""] * len(item.header)],
                                 colLabels=item.header, cellLoc="left",
                                 bbox=Bbox.from_bounds(0, 0, 1, 1))
                drawn.auto_set_font_size(False)
                drawn.set_fontsize(6.5)
                # Columns as wide as their longest text: a status label must not spill over.
                drawn.auto_set_column_width(list(range(len(item.header))))
                top -= height + 0.05
                if item.note:
                    figure.text(0.06, top, "\n".join(_wrapped(item.note, 120)), fontsize=6.5,
                                va="top")
                    top -= 0.03
            else:
                size = {"title": 14, "line": 8, "note": 7}[kind]
                wrapped = _wrapped(str(item), 100 if kind != "note" else 120) or [""]
                figure.text(0.06, top, "\n".join(wrapped), fontsize=size, va="top",
                            family="monospace" if kind == "line" else "sans-serif")
                top -= 0.015 * len(wrapped) + (0.02 if kind == "title" else 0.0)
        self._pdf.savefig(figure)
        plt.close(figure)
        self._page = []

    def finish_pdf(self) -> None:
        if self._pdf is None or self.pdf_path is None or self._pdf_temporary is None:
            return
        self._flush()
        self._pdf.close()
        self._pdf = None
        try:
            os.replace(self._pdf_temporary, self.pdf_path)
        except OSError as error:
            raise MorvexError(f"cannot write {self.pdf_path}: {error.strerror}") from None

    def abandon_pdf(self) -> None:
        if self._pdf is not None:
            self._pdf.close()
            self._pdf = None
        if self._pdf_temporary is not None and self._pdf_temporary.exists():
            self._pdf_temporary.unlink()

    def html(self, title: str) -> str:
        return (f"<!DOCTYPE html><html lang=en><head><meta charset=utf-8><title>{_e(title)}"
                f"</title><style>{_STYLE}</style></head><body>\n" + "\n".join(self.parts)
                + "\n</body></html>\n")


def _write_atomic(path: pathlib.Path, text: str) -> None:
    temporary = path.with_name(f".{path.name}.tmp")
    try:
        temporary.write_text(text, encoding="utf-8")
        os.replace(temporary, path)
    except OSError as error:
        raise MorvexError(f"cannot write {path}: {error.strerror}") from None
    finally:
        if temporary.exists():
            temporary.unlink()


def _e(text: object) -> str:
    return html.escape(str(text), quote=True)


def _wrapped(text: str, width: int) -> list[str]:
    import textwrap

    return textwrap.wrap(text, width, break_long_words=True, break_on_hyphens=False)


def _numeric(cell: str) -> bool:
    try:
        float(cell.rstrip("%"))
    except ValueError:
        return False
    return True


def _plain(value: Any) -> Any:
    # Tuples and lists compare alike (a stored JSON list against a tuple default).
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _shown(value: Any) -> str:
    if value is None:
        return "none"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (list, tuple)):
        return "[]" if not value else ", ".join(_shown(v) for v in value)
    return _number(value) if isinstance(value, (int, float)) else str(value)


def _number(value: Any) -> str:
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return str(int(value)) if not isinstance(value, bool) else str(value)
    return str(value)


def _formatted(value: Any, fmt: str) -> str:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return "-" if value is None else str(value)
    return fmt.format(number) if math.isfinite(number) else "not measured"


def _is_numeric(values: Any) -> bool:
    import pandas as pd

    types = pd.api.types
    return bool(types.is_numeric_dtype(values) and not types.is_bool_dtype(values))


def _unit_of(column: str) -> str:
    if column.endswith("]") and "[" in column:
        return column[column.rindex("[") + 1:-1].strip()
    return ""


def _ranges(indices: list[int]) -> str:
    if not indices:
        return "none"
    return f"{indices[0]} ... {indices[-1]}" if indices == list(
        range(indices[0], indices[-1] + 1)) else ", ".join(str(k) for k in indices)


__all__ = ["write_report", "read_series", "reproducing_command", "settings_table",
           "run_summary", "DEFAULT_FIELDS"]
