"""Store cost of checksums: a measured frame's write, and the read back, with and without them.

    .venv/bin/python bench/store_bench.py [--size 1024] [--step 7] [--frames 30] [--repeat 3]

A size x size speckle pair shifted by (0.4, -0.3) px is correlated once (1024 and step 7:
143 x 143 points); that frame is then written --frames times into a store laid out as morvex
run lays it out (every chunk ending in a CRC32C) and into the same store rewritten without the
checksum codec (the layout of stores made before checksums). Prints the median time of one
frame's write (Store.write_frame, as the run's writer thread calls it), its CPU time (every
thread: the cores the next frame's correlation needs; steadier on a busy machine) and the time
of reading the whole store back (open_store, which checks every chunk of the complete frames;
three reads), medians of --repeat alternating runs, and the checksums' share of each. Both
stores must read back exactly what was written.
"""

from __future__ import annotations

import argparse
import pathlib
import resource
import statistics
import tempfile
import time

import numpy as np
import zarr

import _morvex_dic  # noqa: F401  (loads the core library before the package's extension)
import morvex
from morvex.settings import DEFAULTS
from morvex.store import Store, run_identity


def without_checksums(path: pathlib.Path) -> None:
    """Rewrite every array of the store with Zarr's default codecs (no CRC32C)."""
    for name, array in list(zarr.open_group(path, mode="r").arrays()):
        values = array[...]
        zarr.create_array(path / name, shape=array.shape, chunks=array.chunks,
                          dtype=array.dtype, fill_value=array.metadata.fill_value,
                          dimension_names=array.metadata.dimension_names,
                          attributes=dict(array.attrs), overwrite=True)[...] = values


def cpu_seconds() -> float:
    """CPU time of this process, every thread (Zarr encodes and writes on its own)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def one_run(folder: pathlib.Path, frame: object, reference: np.ndarray, frames: int,
            checksums: bool) -> tuple[float, float, float]:
    """(median seconds per frame write, CPU seconds per frame write, seconds of open_store)
    into a new store."""
    path = folder / ("with.zarr" if checksums else "without.zarr")
    names = [f"frame {k}" for k in range(frames)]
    identity = run_identity(DEFAULTS.to_json(), names, reference, None, False)
    store = Store.open_for_run(path, identity, reference)
    store.create(frame)  # type: ignore[arg-type]
    if not checksums:
        without_checksums(path)
    store = Store(path)
    seconds = []
    cpu = cpu_seconds()
    for k in range(frames):
        began = time.perf_counter()
        store.write_frame(k, frame)  # type: ignore[arg-type]
        seconds.append(time.perf_counter() - began)
    cpu = (cpu_seconds() - cpu) / frames
    reads = []
    for _ in range(3):
        began = time.perf_counter()
        stored = morvex.open_store(path)
        reads.append(time.perf_counter() - began)
    for name in ("u", "v", "valid", "status"):
        expected = np.broadcast_to(frame[name].values, stored[name].shape)  # type: ignore[index]
        np.testing.assert_array_equal(stored[name].values, expected)
    layout = (path / "u" / "zarr.json").read_text()
    assert ("crc32c" in layout) == checksums
    return statistics.median(seconds), cpu, statistics.median(reads)


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
          f"{args.frames} frames a store, {args.repeat} runs each")
    timings: dict[bool, list[tuple[float, float, float]]] = {True: [], False: []}
    for _ in range(args.repeat):
        for checksums in (False, True):  # alternating: the machine's load hits both alike
            with tempfile.TemporaryDirectory() as folder:
                timings[checksums].append(one_run(pathlib.Path(folder), frame,
                                                  case.reference, args.frames, checksums))
    medians = {checksums: [statistics.median(run[k] for run in runs) for k in range(3)]
               for checksums, runs in timings.items()}
    for checksums, (write, cpu, read) in medians.items():
        label = "with checksums   " if checksums else "without checksums"
        print(f"{label}: write {write * 1e3:7.2f} ms/frame ({cpu * 1e3:6.2f} ms CPU), "
              f"open_store {read * 1e3:7.1f} ms")
    costs = [medians[True][k] / medians[False][k] - 1 for k in range(3)]
    print(f"checksums cost: write {costs[0]:+.1%} (CPU {costs[1]:+.1%}), read {costs[2]:+.1%}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
