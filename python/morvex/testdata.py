"""Test data (a testing machine's load, stroke, ...) brought onto the frames' times.

A test-data file is a CSV table: one header row naming the channels, then numbers. Every
channel keeps its header text as its name in every output. A column named ``time`` or ``t``,
alone or with a unit (``time_s``, ``t [s]``, ``Time (ms)``), is the time axis; without one
the table has one row per frame (row k is frame k).

Frame times are seconds on the test data's clock and come from whichever the user has: a
frame rate and the time of the first frame, the images' own time stamps (TIFF DateTime, or
EXIF DateTimeOriginal with its sub-seconds), or the files' modification times. Stamps and
file times count from the first frame, shifted by the time of the first frame on the data's
clock (0 by default).

Channels are interpolated linearly to the frame times; a frame outside the data's time span
gets NaN, never an extrapolated value, and a warning says how many.
"""

from __future__ import annotations

import csv
import dataclasses
import datetime
import io
import math
import os
import pathlib
import re
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._errors import MorvexError

# Seconds per unit of a time column's suffix.
TIME_UNITS = {"": 1.0, "s": 1.0, "sec": 1.0, "second": 1.0, "seconds": 1.0, "ms": 1e-3,
              "us": 1e-6, "µs": 1e-6, "min": 60.0, "h": 3600.0}
# Newtons per unit of a load channel's suffix; no suffix is taken as N.
LOAD_UNITS = {"": 1.0, "n": 1.0, "kn": 1e3, "mn": 1e6}
_SUFFIX = re.compile(r"(?P<stem>.*?)(?:\s*[\[(]\s*(?P<unit>[^\])]*?)\s*[\])]|_(?P<bare>\w+))?",
                     re.IGNORECASE)


def _split(name: str) -> tuple[str, str | None]:
    """(name without its unit, the unit or None): ``t [s]`` -> ("t", "s"), ``time_ms``."""
    found = _SUFFIX.fullmatch(name.strip())
    assert found is not None  # every text matches: the unit is optional
    unit = found.group("unit") if found.group("unit") is not None else found.group("bare")
    return found.group("stem").strip(), unit


def time_unit(name: str) -> float | None:
    """Seconds per unit when `name` names a time column (time, t, time_s, t [ms], Time (s)),
    else None."""
    stem, unit = _split(name)
    if stem.lower() not in ("time", "t"):
        return None
    if unit is None:
        return 1.0
    return TIME_UNITS.get(unit if unit == "µs" else unit.lower())


def channel_unit(name: str) -> str:
    """The unit in a channel's name: ``load [kN]`` -> kN, ``Force (N)`` -> N, ``F_N`` -> N."""
    return _split(name)[1] or ""


def find_time_column(columns: Sequence[str]) -> str | None:
    """The one column whose name says time, or None.

    Raises:
        MorvexError: when two columns could be the time.
    """
    found = [str(c) for c in columns if time_unit(str(c)) is not None]
    if len(found) > 1:
        raise MorvexError(f"the columns {', '.join(map(repr, found))} could each be the time; "
                          "name the time column")
    return found[0] if found else None


@dataclasses.dataclass(frozen=True)
class ChannelTable:
    """A test-data table: ``channels`` (name -> values, in the file's order) and ``time``
    (seconds, strictly increasing) when the file has a time column."""

    source: str
    channels: dict[str, np.ndarray]
    time: np.ndarray | None = None
    time_column: str | None = None

    @property
    def rows(self) -> int:
        return next(iter(self.channels.values())).size if self.channels else 0


def read_test_data(path: str | os.PathLike[str], time_column: str | None = None,
                   ) -> ChannelTable:
    """Read a test-data CSV (comma, semicolon or tab separated, a semicolon file may write
    decimals with a comma; ``#`` lines skipped).

    Args:
        path: the file.
        time_column: the time column's exact name; None finds it by name (or takes none).

    Raises:
        MorvexError: for a missing or unreadable file, no channel, two columns of one name,
            an unknown time column, a time that is missing, not a number or not increasing.
    """
    import pandas as pd

    source = os.fspath(path)
    try:
        text = pathlib.Path(source).read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise MorvexError(f"test-data file not found: {source}") from None
    except (OSError, UnicodeDecodeError) as error:
        raise MorvexError(f"cannot read the test-data file {source}: {error}") from None
    lines = [line for line in text.splitlines() if line.strip() and not line.startswith("#")]
    if not lines:
        raise MorvexError(f"the test-data file {source} is empty")
    delimiter = _delimiter(lines[0])
    header = next(csv.reader([lines[0]], delimiter=delimiter))
    names = [name.strip() for name in header]
    doubles = sorted({n for n in names if names.count(n) > 1})
    if doubles:
        raise MorvexError(f"the test-data file {source} has two columns named {doubles[0]!r}")
    try:
        # A semicolon file with commas in its numbers writes decimals with a comma (1,5).
        decimal = "," if delimiter == ";" and any("," in line for line in lines[1:]) else "."
        table = pd.read_csv(io.StringIO("\n".join(lines)), sep=delimiter, header=0,
                            names=names, skipinitialspace=True, decimal=decimal)
    except (ValueError, pd.errors.ParserError) as error:
        raise MorvexError(f"cannot read the test-data file {source}: {error}") from None
    if time_column is not None and time_column not in names:
        raise MorvexError(f"no column {time_column!r} in {source}; its columns are "
                          + ", ".join(map(repr, names)))
    chosen = time_column if time_column is not None else find_time_column(names)
    channels = {}
    for name in names:
        if name == chosen:
            continue
        values = pd.to_numeric(table[name], errors="coerce").to_numpy(dtype=float)
        if np.isnan(values).all():
            continue  # a column of text (a note, a step name): not a channel
        channels[name] = values
    if not channels:
        raise MorvexError(f"the test-data file {source} holds no numeric channel")
    if chosen is None:
        return ChannelTable(source, channels)
    # A column the caller named counts in its suffix's time unit (Zeit [ms]), else seconds.
    unit = _split(chosen)[1] or ""
    scale = TIME_UNITS.get(unit if unit == "µs" else unit.lower(), 1.0)
    raw = pd.to_numeric(table[chosen], errors="coerce").to_numpy(dtype=float)
    bad = np.flatnonzero(~np.isfinite(raw))
    if bad.size:
        raise MorvexError(f"the time column {chosen!r} of {source} holds "
                          f"{table[chosen].iloc[bad[0]]!r} in data row {bad[0] + 1}, not a "
                          "number")
    seconds = raw * scale
    steps = np.flatnonzero(np.diff(seconds) <= 0)
    if steps.size:
        k = int(steps[0])
        raise MorvexError(f"the time column {chosen!r} of {source} does not increase: "
                          f"{raw[k]:g} in data row {k + 1}, then {raw[k + 1]:g}")
    return ChannelTable(source, channels, seconds, chosen)


def _delimiter(header: str) -> str:
    counts = {d: header.count(d) for d in (",", ";", "\t")}
    best = max(counts, key=lambda d: counts[d])
    return best if counts[best] else ","


# --- frame times ------------------------------------------------------------------------------

def frame_times_from_rate(count: int, rate_hz: float, start_s: float = 0.0) -> np.ndarray:
    """Times of `count` frames taken at `rate_hz`, the first at `start_s` seconds.

    Raises:
        MorvexError: for a rate that is not a finite number > 0, or a start that is not finite.
    """
    if isinstance(rate_hz, bool) or not isinstance(rate_hz, (int, float)) or not (
            math.isfinite(rate_hz) and rate_hz > 0):
        raise MorvexError(f"the frame rate must be a finite number > 0 Hz, got {rate_hz!r}")
    _check_start(start_s)
    if isinstance(count, bool) or not isinstance(count, int) or count < 0:
        raise MorvexError(f"the number of frames must be a whole number >= 0, got {count!r}")
    return np.asarray(start_s + np.arange(count) / float(rate_hz), dtype=float)


def frame_times_from_stamps(files: Sequence[tuple[str, int | None]],
                            start_s: float = 0.0) -> np.ndarray:
    """Times of the frames from their TIFF time stamps, relative to the first frame.

    `files` holds (path, page) per frame (page None for a single image). EXIF
    DateTimeOriginal with SubSecTimeOriginal is used when present (to the sub-second), else
    DateTime (tag 306, to the second) with SubSecTime.

    Raises:
        MorvexError: for a file that is not a TIFF, cannot be read, or holds no time stamp.
    """
    _check_start(start_s)
    stamps = [_stamp(path, page) for path, page in files]
    return _relative(stamps, start_s)


def frame_times_from_files(paths: Sequence[str | os.PathLike[str]],
                           start_s: float = 0.0) -> np.ndarray:
    """Times of the frames from their files' modification times, relative to the first.

    Raises:
        MorvexError: for a missing file.
    """
    _check_start(start_s)
    stamps = []
    for path in paths:
        try:
            stamps.append(os.stat(path).st_mtime)
        except OSError as error:
            raise MorvexError(f"cannot read the time of frame file {path}: {error.strerror}"
                              ) from None
    return _relative(stamps, start_s)


def _relative(stamps: Sequence[float], start_s: float) -> np.ndarray:
    if not stamps:
        return np.zeros(0)
    values = np.asarray(stamps, dtype=float)
    return np.asarray(values - values[0] + start_s, dtype=float)


def _check_start(start_s: float) -> None:
    if isinstance(start_s, bool) or not isinstance(start_s, (int, float)) or not math.isfinite(
            start_s):
        raise MorvexError(f"the start time must be a finite number of seconds, got {start_s!r}")


_EXIF_ORIGINAL = 36867
_EXIF_SUBSEC_ORIGINAL = 37521
_DATETIME = 306
_SUBSEC = 37520
_EXIF_IFD = 34665


def _stamp(path: str, page: int | None) -> float:
    """Seconds since the epoch (as if UTC: only differences count) of one TIFF page."""
    import tifffile

    where = f"{path}" + (f"[{page}]" if page is not None else "")
    try:
        with tifffile.TiffFile(path) as tif:
            tags = tif.pages[page or 0].tags  # type: ignore[union-attr]
            found: dict[int, Any] = {tag.code: tag.value for tag in tags}
    except FileNotFoundError:
        raise MorvexError(f"frame file not found: {path}") from None
    except Exception as error:  # tifffile raises many types for a file that is not a TIFF
        raise MorvexError(f"cannot read the time stamp of {where}: {error}") from None
    exif = found.get(_EXIF_IFD)
    if isinstance(exif, dict):
        by_name = {"DateTimeOriginal": _EXIF_ORIGINAL, "SubsecTimeOriginal": _EXIF_SUBSEC_ORIGINAL,
                   "SubsecTime": _SUBSEC}
        for name, code in by_name.items():
            if name in exif:
                found.setdefault(code, exif[name])
    for stamp_tag, subsec_tag in ((_EXIF_ORIGINAL, _EXIF_SUBSEC_ORIGINAL), (_DATETIME, _SUBSEC)):
        text = found.get(stamp_tag)
        if text:
            return _parse_stamp(str(text), str(found.get(subsec_tag) or ""), where)
    raise MorvexError(f"{where} holds no time stamp (TIFF DateTime or EXIF DateTimeOriginal); "
                      "give a frame rate instead")


def _parse_stamp(text: str, subsec: str, where: str) -> float:
    try:
        moment = datetime.datetime.strptime(text.strip().rstrip("\x00"), "%Y:%m:%d %H:%M:%S")
    except ValueError:
        raise MorvexError(f"{where} has the time stamp {text!r}, not YYYY:MM:DD HH:MM:SS"
                          ) from None
    digits = subsec.strip().rstrip("\x00")
    fraction = float(f"0.{digits}") if digits.isdigit() else 0.0
    return moment.replace(tzinfo=datetime.UTC).timestamp() + fraction


# --- synchronising ----------------------------------------------------------------------------

def synchronise(data: ChannelTable, frame_times: Sequence[float] | np.ndarray | None = None,
                frames: Sequence[int] | np.ndarray | None = None,
                channels: Sequence[str] | None = None) -> dict[str, np.ndarray]:
    """Each channel at each frame: name -> values, one per frame.

    With a time column, the channels are interpolated linearly to `frame_times` (seconds on
    the data's clock); a frame before the first or after the last sample gets NaN and one
    warning names how many. Without one, row k is frame k: `frames` gives the frames'
    indices (0 ... n-1 when None).

    Raises:
        MorvexError: for an unknown channel, frame times missing where the data have a time
            column, non-finite frame times, or a frame beyond a table of one row per frame.
    """
    names = list(data.channels) if channels is None else list(channels)
    for name in names:
        if name not in data.channels:
            raise MorvexError(f"no channel {name!r} in {data.source}; its channels are "
                              + ", ".join(map(repr, data.channels)))
    if data.time is None:
        if frames is not None:
            index = np.asarray(frames, dtype=int)
        else:
            index = np.arange(data.rows if frame_times is None else len(frame_times))
        if index.size and int(index.max()) >= data.rows:
            raise MorvexError(f"{data.source} has {data.rows} rows (one per frame, no time "
                              f"column) but frame {int(index.max())} is asked for")
        return {name: data.channels[name][index] for name in names}
    if frame_times is None:
        raise MorvexError(f"{data.source} has a time column ({data.time_column!r}): give the "
                          "frames' times (a frame rate, or the images' or files' times)")
    times = np.asarray(frame_times, dtype=float)
    if times.ndim != 1 or not np.isfinite(times).all():
        raise MorvexError(f"the frame times must be finite seconds, got {frame_times!r}")
    outside = (times < data.time[0]) | (times > data.time[-1])
    if outside.any():
        warnings.warn(f"{int(outside.sum())} of {times.size} frames lie outside the test data's "
                      f"time span ({data.time[0]:g} ... {data.time[-1]:g} s); their channels are "
                      "NaN", stacklevel=2)
    out = {}
    for name in names:
        values = np.interp(times, data.time, data.channels[name])
        values[outside] = np.nan
        out[name] = np.asarray(values, dtype=float)
    return out


def stress(load: np.ndarray, area_mm2: float, load_channel: str = "") -> np.ndarray:
    """Engineering stress in MPa from a load and the cross-section's area in mm².

    The load's unit is read from its channel's name (``load [kN]``); none means N.

    Raises:
        MorvexError: for an area that is not > 0, or a load unit that is not N, kN or MN.
    """
    if isinstance(area_mm2, bool) or not isinstance(area_mm2, (int, float)) or not (
            math.isfinite(area_mm2) and area_mm2 > 0):
        raise MorvexError(f"the area must be a finite number > 0 mm², got {area_mm2!r}")
    unit = channel_unit(load_channel)
    if unit.lower() not in LOAD_UNITS:
        raise MorvexError(f"the load channel {load_channel!r} is in {unit!r}; stress needs a "
                          "load in N, kN or MN")
    return np.asarray(np.asarray(load, dtype=float) * LOAD_UNITS[unit.lower()] / area_mm2,
                      dtype=float)


def frame_files(store: str | os.PathLike[str],
                names: Sequence[str]) -> list[tuple[str, int | None]]:
    """(path, page) of each frame named, from where the store says its frames came from.

    Raises:
        MorvexError: when the store does not record its frame files (arrays, an older
            store) or a named frame is not among them.
    """
    from .io import frames_from
    from .store import Store

    path = pathlib.Path(store)
    sources = Store(path).sources() or {}
    recorded = sources.get("frames")
    if not isinstance(recorded, list) or not recorded:
        raise MorvexError(f"{path} does not record its frame files (arrays, or an older "
                          "store); give a frame rate instead")
    base = path.resolve().parent
    items = [os.fspath(base / item) if isinstance(item, str) and not os.path.isabs(item)
             else item for item in recorded]
    frames = frames_from(items[0] if len(items) == 1 else items)
    lookup = dict(zip(frames.names, frames.sources, strict=True))
    out: list[tuple[str, int | None]] = []
    for name in names:
        source = lookup.get(name)
        if source is None or source.path is None:
            raise MorvexError(f"frame {name} of {path} is not a file that can be found now; "
                              "give a frame rate instead")
        out.append((source.path, source.page))
    return out
