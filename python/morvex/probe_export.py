"""The probes table a spreadsheet reads, and its plot: probes, frame times and test data.

The CSV starts with ``#`` lines that say what every column is (each probe's kind and
vertices in px and, for a calibrated run, mm; the units; where the frame times come from;
the test-data file and its channels), then one header row and one row per frame. pandas
reads it back with ``pd.read_csv(path, comment="#")``.
"""

from __future__ import annotations

import dataclasses
import math
import os
import pathlib
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from ._errors import MorvexError
from .probe import Extensometer, Gauge, Point, Probe, Section, describe, named, probe

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr

# How many numbers each probe flag takes: exactly, or at least (pairs).
_EXACT = {"point": 2, "extensometer": 4, "gauge": 4}
_AT_LEAST = {"gauge-polygon": 6, "section": 4}
FIGURE_SIZE = (6.5, 4.5)   # in: a journal's full text width
FIGURE_DPI = 300


def probe_from_text(kind: str, text: str, step: float | None = None) -> Probe:
    """A probe from a command line value ``[NAME=]X,Y,...`` in px.

    `kind` is point, extensometer, gauge (a rectangle X0,Y0,X1,Y1), gauge-polygon or
    section (X,Y pairs).

    Raises:
        MorvexError: naming the flag and the value, for a wrong count or a non-number.
    """
    if kind not in _EXACT and kind not in _AT_LEAST:
        raise MorvexError(f"unknown probe kind {kind!r}")
    name, _, numbers = text.rpartition("=")
    try:
        values = [float(part) for part in numbers.split(",")]
    except ValueError:
        values = []
    counted = (len(values) == _EXACT[kind] if kind in _EXACT
               else len(values) >= _AT_LEAST[kind] and len(values) % 2 == 0)
    if not counted or not all(math.isfinite(v) for v in values):
        shape = {"point": "X,Y", "extensometer": "X0,Y0,X1,Y1", "gauge": "X0,Y0,X1,Y1"}.get(
            kind, f"X,Y,X,Y,... (at least {_AT_LEAST.get(kind, 0) // 2} points)")
        raise MorvexError(f"--{kind} must be [NAME=]{shape} (finite numbers, px), got {text!r}")
    name = name.strip()
    pairs = tuple((values[k], values[k + 1]) for k in range(0, len(values), 2))
    if kind == "point":
        return Point(values[0], values[1], name)
    if kind == "extensometer":
        return Extensometer(values[0], values[1], values[2], values[3], name)
    if kind == "gauge":
        return Gauge.rectangle(values[0], values[1], values[2], values[3], name)
    if kind == "gauge-polygon":
        return Gauge(pairs, name)
    return Section(pairs, name, step)


@dataclasses.dataclass(frozen=True)
class FrameTimes:
    """Where the frame times come from: ``rate``, ``tiff``, ``files`` or None (none known)."""

    source: str | None = None
    rate_hz: float | None = None
    start_s: float = 0.0

    def __post_init__(self) -> None:
        from .testdata import frame_times_from_rate

        if self.source not in (None, "rate", "tiff", "files"):
            raise MorvexError(f"frame times come from rate, tiff or files, not {self.source!r}")
        if (self.source == "rate") != (self.rate_hz is not None):
            raise MorvexError("a frame rate goes with frame times from the rate, and only there")
        # The same checks as the times themselves: a rate > 0, a finite start.
        frame_times_from_rate(1, self.rate_hz if self.rate_hz is not None else 1.0, self.start_s)

    def times(self, ds: xr.Dataset, store: str | os.PathLike[str] | None) -> np.ndarray | None:
        from . import testdata

        frames = np.asarray(ds["frame"].values, dtype=float)
        if self.source is None:
            return None
        if self.source == "rate":
            return np.asarray(self.start_s + frames / float(self.rate_hz or 1.0), dtype=float)
        if store is None:
            raise MorvexError(f"frame times from {self.source} need the store's path")
        names = [str(n) for n in ds["frame_name"].values]
        files = testdata.frame_files(store, names)
        if self.source == "tiff":
            return testdata.frame_times_from_stamps(files, self.start_s)
        return testdata.frame_times_from_files([path for path, _ in files], self.start_s)

    def describe(self) -> str:
        if self.source is None:
            return "none known (one test-data row per frame)"
        if self.source == "rate":
            return f"a frame rate of {self.rate_hz:g} Hz, the first frame at {self.start_s:g} s"
        where = "the TIFF time stamps" if self.source == "tiff" else "the files' modification times"
        return f"{where}, from the first frame at {self.start_s:g} s"


def probe_table(ds: xr.Dataset, probes: Sequence[Probe], *,
                store: str | os.PathLike[str] | None = None,
                test_data: str | os.PathLike[str] | None = None,
                time_column: str | None = None, frame_times: FrameTimes | None = None,
                area_mm2: float | None = None,
                load_channel: str | None = None) -> tuple[pd.DataFrame, list[str]]:
    """(one row per frame: frame, frame_name, time [s], the channels, stress [MPa], every
    probe's values; the comment lines that define them).

    Raises:
        MorvexError: for bad probes, test data or frame times (see morvex.probe and
            morvex.testdata), an area without a load channel, or a channel whose name is
            already a column.
    """
    import pandas as pd

    from . import testdata
    from ._dataset import version

    timing = frame_times or FrameTimes()
    chosen = named(probes)
    if not chosen:
        raise MorvexError("give at least one probe (a point, extensometer, gauge or section)")
    times = timing.times(ds, store)
    values = probe(ds, chosen, times)
    metric = "x_mm" in ds.coords and "u_mm" in ds
    comments = [f"morvex {version()} probes" + (f" of {store}" if store is not None else ""),
                "units: lengths and displacements in " + ("mm" if metric else "px")
                + ", strains in % (engineering); probe coordinates in reference-image px"
                + (" and mm" if metric else "") + ", y downwards",
                *(f"probe {line}" for line in describe(ds, chosen)),
                f"frame times: {timing.describe()}"]
    channels: dict[str, np.ndarray] = {}
    if test_data is not None:
        data = testdata.read_test_data(test_data, time_column)
        if data.time is None:
            channels = testdata.synchronise(data, frames=np.asarray(ds["frame"].values))
            how = "one row per frame"
        else:
            if times is None:
                raise MorvexError(f"{data.source} has a time column ({data.time_column!r}): "
                                  "give the frames' times (--frame-rate, or --frame-times "
                                  "tiff|files)")
            channels = testdata.synchronise(data, times)
            how = f"time column {data.time_column!r}, interpolated linearly to the frame times"
        comments.append(f"test data: {data.source} ({how}); channels "
                        + ", ".join(map(repr, data.channels)))
    if area_mm2 is not None or load_channel is not None:
        if test_data is None:
            raise MorvexError("stress needs the test data (--test-data) with a load channel")
        if load_channel is None:
            if len(channels) != 1:
                raise MorvexError("the test data have several channels; name the load with "
                                  "--load-channel")
            load_channel = next(iter(channels))
        if load_channel not in channels:
            raise MorvexError(f"no channel {load_channel!r} in {test_data}; its channels are "
                              + ", ".join(map(repr, channels)))
        if area_mm2 is None:
            raise MorvexError("stress needs the cross-section's area (--area, mm²)")
        channels["stress [MPa]"] = testdata.stress(channels[load_channel], area_mm2,
                                                   load_channel)
        comments.append(f"stress [MPa]: {load_channel!r} / {area_mm2:g} mm²")
    for name in channels:
        if name in values.columns:
            raise MorvexError(f"the test-data channel {name!r} has the name of a probe "
                              "column; rename it in the file")
    head = 3 if times is not None else 2
    table = pd.concat([values.iloc[:, :head], pd.DataFrame(channels, index=values.index),
                       values.iloc[:, head:]], axis=1)
    return table, comments


def write_csv(table: pd.DataFrame, comments: Sequence[str],
              path: str | os.PathLike[str]) -> pathlib.Path:
    """The table under its ``#`` comment lines.

    Raises:
        MorvexError: when the file cannot be written.
    """
    out = pathlib.Path(path)
    try:
        with open(out, "w", encoding="utf-8", newline="") as stream:
            for line in comments:
                stream.write("# " + line.replace("\n", " ") + "\n")
            table.to_csv(stream, index=False, lineterminator="\n")
    except OSError as error:
        raise MorvexError(f"cannot write {out}: {error.strerror}") from None
    return out


_UNIT = re.compile(r".*\[(?P<unit>[^\]]*)\]\s*$|.*\((?P<paren>[^)]*)\)\s*$")


def unit_of(column: str) -> str:
    """The unit a column's name ends with: ``E1 strain [%]`` -> %, ``Load (kN)`` -> kN."""
    found = _UNIT.fullmatch(column)
    if found is None:
        return ""
    return found.group("unit") if found.group("unit") is not None else found.group("paren")


def default_series(table: pd.DataFrame, x: str) -> list[str]:
    """What a plot against `x` shows by default: against a strain, the stress (or every
    channel); otherwise every strain of the probes."""
    strains = [c for c in table.columns if unit_of(str(c)) == "%" and c != x]
    if unit_of(x) == "%":
        if "stress [MPa]" in table.columns:
            return ["stress [MPa]"]
        probe_columns = set(strains) | {x}
        skip = {"frame", "frame_name", "time [s]"}
        others = [str(c) for c in table.columns if c not in skip and c not in probe_columns
                  and not re.search(r" (points|samples)$", str(c))
                  and unit_of(str(c)) not in ("px", "mm", "%")]
        return others or strains
    return [str(c) for c in strains]


def plot_table(table: pd.DataFrame, path: str | os.PathLike[str], x: str | None = None,
               series: Sequence[str] | None = None) -> pathlib.Path:
    """Series of the table against `x` (default: time, else frame), at publication size.

    Raises:
        MorvexError: for a column the table does not hold, or a file that cannot be written.
    """
    import matplotlib.pyplot as plt

    x = x or ("time [s]" if "time [s]" in table.columns else "frame")
    columns = [str(c) for c in table.columns]
    for name in [x, *(series or [])]:
        if name not in columns or name == "frame_name":
            raise MorvexError(f"no column {name!r} to plot; the table holds "
                              + ", ".join(map(repr, (c for c in columns if c != "frame_name"))))
    chosen = list(series) if series else default_series(table, x)
    if not chosen:
        raise MorvexError(f"nothing to plot against {x!r}; name the series with --y")
    out = pathlib.Path(path)
    if not out.parent.is_dir():
        raise MorvexError(f"cannot write {out}: the folder {out.parent} does not exist")
    figure, ax = plt.subplots(figsize=FIGURE_SIZE)
    try:
        for name in chosen:
            ax.plot(table[x].to_numpy(dtype=float), table[name].to_numpy(dtype=float),
                    marker="o", markersize=3, label=name)
        ax.set_xlabel(x)
        ax.set_ylabel(_axis_label(chosen))
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize="small")
        figure.tight_layout()
        figure.savefig(out, dpi=FIGURE_DPI)
    except (OSError, ValueError) as error:
        raise MorvexError(f"cannot write {out}: {error}") from None
    finally:
        plt.close(figure)
    return out


def _axis_label(series: Sequence[str]) -> str:
    if len(series) == 1:
        return series[0]
    units = list(dict.fromkeys(unit_of(s) for s in series))
    if units == ["%"]:
        return "strain [%]"
    return "value [" + ", ".join(u or "1" for u in units) + "]"
