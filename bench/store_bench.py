"""Store cost of checksums: a measured frame's write, and the read back, with and without them.

    .venv/bin/python bench/store_bench.py [--size 1024] [--step 7] [--frames 30] [--repeat 3]

A size x size speckle pair shifted by (0.4, -0.3) px is correlated once (1024 and step 7:
143 x 143 points); that frame is then written --frames times into a store laid out as morvex
run lays it out (every chunk ending in a CRC32C) and into the same store rewritten without the
checksum codec (the layout of stores made before checksums), the two in turn frame by frame
so that the machine's load hits both alike. Prints the median time of one frame's write
(Store.write_frame, as the run's writer thread calls it), its CPU time (every thread: the cores
the next frame's correlation needs) and the time of reading the whole store back (open_store,
which checks every chunk of the complete frames; three reads each), medians over --repeat
runs, the checksums' share of each, and the CRC32C of one frame's chunks timed alone. Both
stores must read back exactly what was written.
"""

from __future__ import annotations

import argparse
import pathlib
import resource
import statistics
import sys
import tempfile
import time
from typing import Any

import numpy as np

import morvex
from morvex.settings import DEFAULTS
from morvex.store import Store, run_identity

# The earlier layout is made as the store tests make it.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
from test_run_layer import strip_checksums  # noqa: E402


def cpu_seconds() -> float:
    """CPU time of this process, every thread (Zarr encodes and writes on its own)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def checksum_seconds(path: pathlib.Path, repeat: int = 50) -> float:
    """Seconds to checksum frame 0's stored chunks (what the codec adds to a frame's write,
    measured alone: a figure the machine's load hardly moves)."""
    import google_crc32c

    chunks = [file.read_bytes()[:-4] for file in sorted(path.glob("*/c/0/**/*"))
              if file.is_file()]
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        for chunk in chunks:
            google_crc32c.value(chunk)
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def new_store(path: pathlib.Path, frame: object, reference: np.ndarray, frames: int,
              checksums: bool) -> Store:
    names = [f"frame {k}" for k in range(frames)]
    identity = run_identity(DEFAULTS.to_json(), names, reference, None, False)
    Store.open_for_run(path, identity, reference).create(frame)  # type: ignore[arg-type]
    if not checksums:
        strip_checksums(path)
    assert ("crc32c" in (path / "u" / "zarr.json").read_text()) == checksums
    return Store(path)


def one_run(folder: pathlib.Path, frame: Any, reference: np.ndarray,
            frames: int) -> dict[bool, tuple[float, float, float]]:
    """Both layouts, frame by frame in turn (the machine's load then hits both alike):
    layout -> (median seconds per frame write, median CPU seconds of it, median seconds of
    open_store)."""
    stores = {checksums: new_store(folder / f"{checksums}.zarr", frame, reference, frames,
                                   checksums) for checksums in (True, False)}
    writes: dict[bool, list[tuple[float, float]]] = {True: [], False: []}
    reads: dict[bool, list[float]] = {True: [], False: []}
    for k in range(frames):
        for checksums in ((True, False) if k % 2 else (False, True)):
            cpu, began = cpu_seconds(), time.perf_counter()
            stores[checksums].write_frame(k, frame)
            writes[checksums].append((time.perf_counter() - began, cpu_seconds() - cpu))
    for turn in range(6):
        checksums = turn % 2 == 0
        began = time.perf_counter()
        stored = morvex.open_store(stores[checksums].path)
        reads[checksums].append(time.perf_counter() - began)
        for name in ("u", "v", "valid", "status"):
            expected = np.broadcast_to(frame[name].values, stored[name].shape)
            np.testing.assert_array_equal(stored[name].values, expected)
    return {checksums: (statistics.median(w for w, _ in writes[checksums]),
                        statistics.median(c for _, c in writes[checksums]),
                        statistics.median(reads[checksums])) for checksums in stores}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--step", type=int, default=7)
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    case = morvex.synthetic_pair((args.size, args.size), u=0.4, v=-0.3, seed=3)
    frame = morvex.correlate(case.reference, case.deformed, step=args.step)
    frame = frame.drop_vars("reference_image", errors="ignore")
    points = frame.sizes["y"] * frame.sizes["x"]
    print(f"one frame: {frame.sizes['y']} x {frame.sizes['x']} = {points} points, "
          f"{args.frames} frames a store, {args.repeat} runs")
    runs, crc = [], []
    for _ in range(args.repeat):
        with tempfile.TemporaryDirectory() as folder:
            runs.append(one_run(pathlib.Path(folder), frame, case.reference, args.frames))
            crc.append(checksum_seconds(pathlib.Path(folder) / "True.zarr"))
    medians = {checksums: [statistics.median(run[checksums][k] for run in runs)
                           for k in range(3)] for checksums in (False, True)}
    for checksums, (write, cpu, read) in medians.items():
        label = "with checksums   " if checksums else "without checksums"
        print(f"{label}: write {write * 1e3:7.2f} ms/frame ({cpu * 1e3:6.2f} ms CPU), "
              f"open_store {read * 1e3:7.1f} ms")
    costs = [medians[True][k] / medians[False][k] - 1 for k in range(3)]
    print(f"checksums cost: write {costs[0]:+.1%} (CPU {costs[1]:+.1%}), read {costs[2]:+.1%}")
    print(f"CRC32C of one frame's chunks alone: {statistics.median(crc) * 1e3:.3f} ms "
          f"({statistics.median(crc) / medians[True][1]:.1%} of a frame's write CPU)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
