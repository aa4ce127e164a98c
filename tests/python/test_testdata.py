"""Test data brought onto the frames' times: column detection, frame times from time stamps
and rates, linear interpolation checked against a hand-written one, and refusals by name."""

import datetime
import math
import os
import re

import numpy as np
import pytest
import tifffile

from morvex import MorvexError
from morvex.testdata import (
    frame_times_from_files,
    frame_times_from_rate,
    frame_times_from_stamps,
    read_test_data,
    stress,
    synchronise,
)

RATE = 50.0   # Hz, a testing machine's logging rate


def write_csv(path, header, rows):
    path.write_text(",".join(header) + "\n"
                    + "".join(",".join(v if isinstance(v, str) else repr(float(v)) for v in row)
                              + "\n" for row in rows))
    return path


def machine_log(tmp_path, seconds=10.0):
    """A 50 Hz log: time [s], a load ramp and a wavy extension, sampled every 0.02 s."""
    t = np.arange(int(seconds * RATE) + 1) / RATE
    rows = zip(t, 3.0 * t + 7.0, np.sin(t), strict=True)
    return write_csv(tmp_path / "load.csv", ["t [s]", "Load (kN)", "Ext. 1 [mm]"], rows)


def by_hand(t, times, values):
    """Linear interpolation between the two samples around t, found by walking the table."""
    for k in range(len(times) - 1):
        if times[k] <= t <= times[k + 1]:
            w = (t - times[k]) / (times[k + 1] - times[k])
            return values[k] * (1 - w) + values[k + 1] * w
    return math.nan


def test_a_50_hz_log_is_interpolated_to_the_frame_times(tmp_path):
    data = read_test_data(machine_log(tmp_path))
    assert data.time_column == "t [s]" and list(data.channels) == ["Load (kN)", "Ext. 1 [mm]"]
    frame_times = np.array([0.0, 0.013, 1.5, 3.3371, 9.99, 10.0, 10.5])
    with pytest.warns(UserWarning, match=re.escape("1 of 7 frames lie outside the test data's "
                                                   "time span (0 ... 10 s)")):
        synced = synchronise(data, frame_times)
    assert list(synced) == ["Load (kN)", "Ext. 1 [mm]"]
    np.testing.assert_allclose(synced["Load (kN)"][:-1], 3.0 * frame_times[:-1] + 7.0,
                               rtol=1e-13)
    expected = [by_hand(t, data.time, data.channels["Ext. 1 [mm]"]) for t in frame_times]
    np.testing.assert_allclose(synced["Ext. 1 [mm]"], expected, rtol=1e-13)
    assert np.isnan(synced["Load (kN)"][-1])            # never extrapolated


def test_a_table_without_time_gives_one_row_per_frame(tmp_path):
    path = write_csv(tmp_path / "f.csv", ["force [N]", "note", "stroke"],
                     [(10.0, "start", 0.1), (20.0, "x", 0.2), (30.0, "end", 0.3)])
    data = read_test_data(path)
    assert data.time is None and list(data.channels) == ["force [N]", "stroke"]
    assert synchronise(data, frames=[0, 2])["force [N]"].tolist() == [10.0, 30.0]
    assert synchronise(data)["stroke"].tolist() == [0.1, 0.2, 0.3]


@pytest.mark.parametrize(("name", "seconds_per_unit"), [
    ("time", 1), ("t", 1), ("Time", 1), ("time_s", 1), ("t [s]", 1), ("Time (s)", 1),
    ("time_ms", 1e-3), ("t [ms]", 1e-3), ("TIME (min)", 60)])
def test_the_time_column_is_found_by_name(tmp_path, name, seconds_per_unit):
    path = write_csv(tmp_path / "d.csv", ["temperature", name, "load"],
                     [(20.0, 0.0, 1.0), (21.0, 2.0, 3.0)])
    data = read_test_data(path)
    assert data.time_column == name
    assert data.time.tolist() == [0.0, 2.0 * seconds_per_unit]
    assert list(data.channels) == ["temperature", "load"]


@pytest.mark.parametrize("name", ["temperature", "timestamp", "t_max", "time [frames]"])
def test_words_like_time_are_channels(tmp_path, name):
    data = read_test_data(write_csv(tmp_path / "d.csv", [name, "load"], [(1.0, 2.0)]))
    assert data.time is None and list(data.channels) == [name, "load"]


def test_a_named_time_column_and_semicolon_files(tmp_path):
    path = tmp_path / "d.csv"
    path.write_text("# exported by the machine\nclock;F [N]\n5;1\n6;3\n")
    data = read_test_data(path, time_column="clock")
    assert synchronise(data, [5.5])["F [N]"].tolist() == [2.0]
    path.write_text("Zeit (ms);Kraft [kN]\r\n0,0;1,5\r\n500,0;2,5\r\n")     # decimal commas
    data = read_test_data(path, time_column="Zeit (ms)")
    assert synchronise(data, [0.25])["Kraft [kN]"].tolist() == [2.0]


def stamped_tiffs(tmp_path, stamps):
    paths = []
    for k, (text, subsec) in enumerate(stamps):
        path = tmp_path / f"f{k}.tif"
        extratags = [(36867, "s", 0, text, True)] + (
            [(37521, "s", 0, subsec, True)] if subsec else [])
        tifffile.imwrite(path, np.zeros((4, 4), np.uint8),
                         datetime=datetime.datetime.strptime(text, "%Y:%m:%d %H:%M:%S"),
                         extratags=extratags)
        paths.append((str(path), None))
    return paths


def test_frame_times_from_tiff_time_stamps(tmp_path):
    files = stamped_tiffs(tmp_path, [("2026:03:01 23:59:59", "5"), ("2026:03:02 00:00:00", "75"),
                                     ("2026:03:02 00:00:02", "")])
    np.testing.assert_allclose(frame_times_from_stamps(files, start_s=4.0),
                               [4.0, 5.25, 6.5], atol=1e-9)


def test_frame_times_from_the_date_time_tag_of_each_page(tmp_path):
    path = tmp_path / "stack.tif"
    with tifffile.TiffWriter(path) as tif:
        for second in (10, 12, 15):
            tif.write(np.zeros((4, 4), np.uint8),
                      datetime=datetime.datetime(2026, 5, 1, 8, 0, second))
    times = frame_times_from_stamps([(str(path), page) for page in range(3)])
    assert times.tolist() == [0.0, 2.0, 5.0]


def test_frame_times_from_a_rate_and_from_file_times(tmp_path):
    assert frame_times_from_rate(4, 2.5, start_s=1.0).tolist() == [1.0, 1.4, 1.8, 2.2]
    paths = []
    for k, when in enumerate((1000.0, 1000.5, 1003.0)):
        path = tmp_path / f"f{k}.png"
        path.write_bytes(b"")
        os.utime(path, (when, when))
        paths.append(path)
    assert frame_times_from_files(paths).tolist() == [0.0, 0.5, 3.0]


def test_stress_from_a_load_in_kn_and_an_area():
    assert stress(np.array([0.0, 2.0]), 4.0, "Load (kN)").tolist() == [0.0, 500.0]
    assert stress(np.array([8.0]), 4.0, "force").tolist() == [2.0]


@pytest.mark.parametrize(("call", "message"), [
    (lambda p: read_test_data(p / "missing.csv"), "test-data file not found"),
    (lambda p: read_test_data(write_csv(p / "d.csv", ["t", "F"], [(0.0, 1), (2.0, 1),
                                                                  (1.0, 1)])),
     "does not increase: 2 in data row 2, then 1"),
    (lambda p: read_test_data(write_csv(p / "d.csv", ["t", "F"], [(0.0, 1), ("x", 1)])),
     "holds 'x' in data row 2, not a number"),
    (lambda p: read_test_data(write_csv(p / "d.csv", ["t", "F"], [(0.0, 1)]), "clock"),
     "no column 'clock'"),
    (lambda p: read_test_data(write_csv(p / "d.csv", ["F", "F"], [(0.0, 1)])),
     "two columns named 'F'"),
    (lambda p: read_test_data(write_csv(p / "d.csv", ["time", "t_s", "F"], [(0, 0, 1)])),
     "the columns 'time', 't_s' could each be the time"),
    (lambda p: synchronise(read_test_data(write_csv(p / "d.csv", ["t", "F"], [(0.0, 1)])),
                           [0.0], channels=["G"]), "no channel 'G'"),
    (lambda p: synchronise(read_test_data(write_csv(p / "d.csv", ["t", "F"], [(0.0, 1)]))),
     "has a time column ('t'): give the frames' times"),
    (lambda p: synchronise(read_test_data(write_csv(p / "d.csv", ["F"], [(1.0,)])), frames=[1]),
     "has 1 rows (one per frame, no time column) but frame 1 is asked for"),
    (lambda p: frame_times_from_rate(3, 0.0), "frame rate must be a finite number > 0 Hz, got 0"),
    (lambda p: frame_times_from_rate(3, -5), "got -5"),
    (lambda p: frame_times_from_rate(3, 10, math.inf), "start time must be a finite number"),
    (lambda p: frame_times_from_stamps([(str(p / "none.tif"), None)]), "frame file not found"),
    (lambda p: stress(np.ones(2), 0.0), "area must be a finite number > 0 mm², got 0"),
    (lambda p: stress(np.ones(2), 1.0, "load [lbf]"), "is in 'lbf'; stress needs a load in N"),
])
def test_bad_test_data_is_refused_by_name(tmp_path, call, message):
    with pytest.raises(MorvexError, match=re.escape(message)):
        call(tmp_path)


def test_a_tiff_without_a_stamp_is_named(tmp_path):
    path = tmp_path / "plain.tif"
    tifffile.imwrite(path, np.zeros((4, 4), np.uint8))
    with pytest.raises(MorvexError, match=re.escape(f"{path} holds no time stamp")):
        frame_times_from_stamps([(str(path), None)])
