"""Scale-out benchmark: a sequence in-process and on 1 and 2 Dask workers; a tiled 8192^2 image.

    .venv/bin/python bench/sequence_bench.py                 # both parts, full size
    .venv/bin/python bench/sequence_bench.py --part sequence --frames 40 --step 7
    .venv/bin/python bench/sequence_bench.py --part tiles --size 8192 --tile 2048
    .venv/bin/python bench/sequence_bench.py --part pipeline [--challenge ../shared/dic-challenge]

Sequence: a 1024 x 1024 speckle image stretched frame by frame with the library's warping
(morvex.synthetic_sequence), written as TIFF files that workers read themselves. Frames per
second in-process (1 and 2 threads), on one worker and on two workers (one thread each), each
run into its own store; the cluster is started before the clock (its start-up is printed on its
own). Every run is checked against the known field and the cluster runs against the in-process
run with the same chunks (they must be identical).

Tiles: a size x size reference and its deformed copy are written tile by tile into tiled TIFF
files (the benchmark never holds either image), then correlated with tile=... on two workers.
Prints the time, each worker's peak resident memory, the error against the known field and the
agreement with an untiled run on a cropped window.

Pipeline: does a frame of a sequence cost what its points cost? A 20-frame 1024 x 1024 sequence
with growing strain (step 7) is first correlated pair by pair through the extension (prepared
reference, each frame started from the one before, the correlation timed alone: the pair rate),
then as a sequence written to a store, in process and on 2 Dask workers: frames/s x points per
frame against the pair rate. With --challenge, the same for sample 12 of the DIC Challenge
(open-hole plate, 12 frames) with the open-hole example's mask.

Pipeline runs and pair rates alternate --repeat times (default 3); each figure is a median.

Targets on a 2-core machine: a sequence at >= 0.8 x the pair rate; 2 workers >= 1.8 x 1 worker;
each cluster run within 15 % of the in-process run at the same total threads; tiled 8192^2
within 2 GiB peak per worker.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import resource
import shutil
import sys
import tempfile
import time

import numpy as np
import tifffile
import xarray as xr
import zarr

import _morvex_dic
import morvex
from morvex.run.plan import DEFAULT_CHUNK
from morvex.synthetic import AffineField

GIB = 1024 ** 3


def peak_rss_bytes() -> int:
    """Peak resident memory of this process since it started its program, bytes.

    VmHWM, not getrusage: ru_maxrss survives fork and exec, so a worker spawned by a large
    parent would report the parent's peak.
    """
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def local_client(workers: int):
    from distributed import Client, LocalCluster

    began = time.perf_counter()
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=":0", silence_logs=40)
    client = Client(cluster)
    return cluster, client, time.perf_counter() - began


# --- sequence ------------------------------------------------------------------------------

def sequence_part(args: argparse.Namespace, folder: pathlib.Path) -> bool:
    seq = morvex.synthetic_sequence(frames=args.frames, shape=(args.size, args.size),
                                    u_step=0.3, v_step=-0.15, exx_final=0.005,
                                    eyy_final=-0.002, seed=7)
    paths = []
    for k, frame in enumerate(seq.frames):
        paths.append(folder / f"frame_{k:04d}.tif")
        tifffile.imwrite(paths[-1], frame.astype(np.float32))
    del seq
    settings = {"subset": args.subset, "step": args.step}
    print(f"sequence: {args.frames} frames of {args.size} x {args.size} px, subset "
          f"{args.subset}, step {args.step}, chunk {args.chunk}")

    def run(name: str, **kwargs) -> tuple[float, xr.Dataset]:
        store = folder / f"{name.replace(' ', '_')}.zarr"
        began = time.perf_counter()
        ds = morvex.correlate_sequence(paths, store=store, progress=False, **settings, **kwargs)
        seconds = time.perf_counter() - began
        print(f"  {name:28s} {args.frames / seconds:7.3f} frames/s  ({seconds:7.1f} s)")
        return seconds, ds

    times: dict[str, float] = {}
    times["in-process, 1 thread"], chained = run("in-process, 1 thread", threads=1)
    times["in-process, 2 threads"], _ = run("in-process, 2 threads", threads=2)
    _, reference = run("in-process chunks, 2 thr", threads=2, chunk=args.chunk)
    results = {}
    for workers in (1, 2):
        cluster, client, startup = local_client(workers)
        try:
            name = f"{workers} worker{'s' if workers > 1 else ''} x 1 thread"
            times[name], results[workers] = run(name, client=client, chunk=args.chunk)
        finally:
            client.close()
            cluster.close()
        print(f"    (cluster start-up {startup:.1f} s, not counted)")
    ok = True
    for workers, ds in results.items():
        same = ds.identical(reference)
        ok &= same
        print(f"  {workers} worker(s) store identical to the in-process chunked run: {same}")
    fields = [AffineField(k * 0.3, k * -0.15, 0.005 * k / (args.frames - 1), 0.0, 0.0,
                          -0.002 * k / (args.frames - 1),
                          ((args.size - 1) / 2, (args.size - 1) / 2)) for k in range(args.frames)]
    errors = []
    for k, field in enumerate(fields):
        x, y = np.meshgrid(results[2]["x"].values, results[2]["y"].values)
        exact = field.at(x, y)
        valid = results[2]["valid"].values[k]
        errors.append(np.abs(results[2]["u"].values[k] - exact["u"])[valid].max())
    both = chained["valid"].values & results[2]["valid"].values
    chunk_vs_chain = np.abs(chained["u"].values - results[2]["u"].values)[both].max()
    print(f"  max |u error| against the known field: {max(errors):.4f} px; "
          f"chunked vs chained: {chunk_vs_chain:.2e} px")
    one, two = times["1 worker x 1 thread"], times["2 workers x 1 thread"]
    ratio = one / two
    slow1 = one / times["in-process, 1 thread"] - 1
    slow2 = two / times["in-process, 2 threads"] - 1
    print(f"  2 workers / 1 worker: {ratio:.2f} x (target >= 1.8)")
    print(f"  cluster vs in-process at equal threads: 1: {slow1:+.1%}, 2: {slow2:+.1%} "
          "(target <= +15 %)")
    return ok


# --- pipeline ------------------------------------------------------------------------------

def pair_rate(paths: list[pathlib.Path], settings: dict, mask: np.ndarray | None,
              threads: int) -> tuple[float, int]:
    """Points/s of the correlations alone, frame after frame from the one before."""
    from morvex import _guided
    from morvex.settings import Settings

    checked = Settings.build(**settings)
    reference_kwargs, solver = checked.to_kwargs()
    if mask is not None:
        reference_kwargs["mask"] = mask.astype(np.uint8)
    frames = [morvex.load_image(p) for p in paths]
    prepared = _guided.ReferenceImage(frames[0], **reference_kwargs)
    points = prepared.grid_rows * prepared.grid_cols
    previous, spent = None, 0.0
    for image in frames:
        began = time.perf_counter()
        result = _guided.correlate(prepared, image, previous=previous, threads=threads,
                                   **solver)
        spent += time.perf_counter() - began
        previous = result
    return points * len(frames) / spent, points


def pipeline_case(name: str, paths: list[pathlib.Path], settings: dict,
                  mask: np.ndarray | None, folder: pathlib.Path, repeat: int) -> bool:
    """Pair rate and the sequence runs, `repeat` times in turn; medians of each.

    In turn, not one after the other: on a shared machine the cores' speed drifts over a
    minute, and a ratio of two figures taken minutes apart measures the drift.
    """
    # The cluster run takes the default chunk, as a user's run would.
    runs = [("in process, 2 threads", {"threads": 2}), ("2 Dask workers x 1 thread", {})]
    cluster, client, _ = local_client(2)
    rates: list[float] = []
    seconds: dict[str, list[float]] = {label: [] for label, _ in runs}
    ok, points, valid = True, 0, 0.0
    try:
        for k in range(repeat):
            rate, points = pair_rate(paths, settings, mask, threads=2)
            rates.append(rate)
            for label, kwargs in runs:
                if label.startswith("2 Dask"):
                    kwargs = {**kwargs, "client": client}
                store = folder / f"{name}-{label.split()[0]}-{k}.zarr"
                began = time.perf_counter()
                ds = morvex.correlate_sequence(paths, store=store, mask=mask, progress=False,
                                               **settings, **kwargs)
                seconds[label].append(time.perf_counter() - began)
                valid = ds["valid"].values[-1].sum() / max(1, (ds["status"].values[-1] != 1).sum())
                ok &= ds.sizes["frame"] == len(paths)
                shutil.rmtree(store, ignore_errors=True)
    finally:
        client.close()
        cluster.close()
    rate = float(np.median(rates))
    print(f"{name}: {len(paths)} frames, {points} points per frame; pair rate "
          f"{rate:,.0f} points/s at 2 threads (median of {repeat}: "
          f"{', '.join(f'{r:,.0f}' for r in rates)})")
    for label, _ in runs:
        spent = float(np.median(seconds[label]))
        frames_per_s = len(paths) / spent
        share = frames_per_s * points / rate
        print(f"  {label:28s} {frames_per_s:6.3f} frames/s x {points} = "
              f"{frames_per_s * points:,.0f} points/s = {share:.2f} x the pair rate "
              f"({spent:.1f} s, median of {', '.join(f'{t:.1f}' for t in seconds[label])}; "
              f"last frame {valid:.1%} of specimen points valid)")
    return ok


def pipeline_part(args: argparse.Namespace, folder: pathlib.Path) -> bool:
    frames = 20
    seq = morvex.synthetic_sequence(frames=frames, shape=(1024, 1024), u_step=0.3,
                                    v_step=-0.15, exx_final=0.01, eyy_final=-0.004, seed=7)
    paths = []
    for k, frame in enumerate(seq.frames):
        paths.append(folder / f"grow_{k:04d}.tif")
        tifffile.imwrite(paths[-1], frame.astype(np.float32))
    del seq
    ok = pipeline_case("growing strain 1024^2", paths, {"subset": 29, "step": 7}, None, folder,
                       args.repeat)
    if args.challenge is not None:
        sample = pathlib.Path(args.challenge) / "sample12"
        paths = sorted(sample.glob("oht_cfrp_*.tiff"))
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
        from open_hole import specimen_mask

        mask, _ = specimen_mask(morvex.load_image(paths[0]))
        ok &= pipeline_case("sample 12 open hole", paths,
                            {"subset": 29, "step": 5, "strain_window": 20}, mask, folder,
                            args.repeat)
    return ok


# --- tiles ---------------------------------------------------------------------------------

def write_tiled_images(folder: pathlib.Path, size: int, block: int,
                       field: AffineField) -> tuple[pathlib.Path, pathlib.Path]:
    """Reference and deformed TIFFs written block by block (never a whole image in memory)."""
    reference_path, deformed_path = folder / "reference.tif", folder / "deformed.tif"
    blocks = [(r, c) for r in range(0, size, block) for c in range(0, size, block)]

    def reference_blocks():
        for k, _ in enumerate(blocks):
            yield _morvex_dic.generate_speckle(block, block, 3, 0.5, 100 + k).astype(np.float32)

    tifffile.imwrite(reference_path, reference_blocks(), shape=(size, size), dtype=np.float32,
                     tile=(block, block))
    margin = 32  # px: more than the largest displacement of the field
    reference = zarr.open_array(tifffile.imread(reference_path, aszarr=True), mode="r")

    def deformed_blocks():
        for r, c in blocks:
            y0, x0 = max(0, r - margin), max(0, c - margin)
            y1, x1 = min(size, r + block + margin), min(size, c + block + margin)
            window = np.asarray(reference[y0:y1, x0:x1], dtype=np.float64)
            # The library warps about the window's origin; move the field there.
            xc, yc = field.centre
            u0 = field.u + field.du_dx * (x0 - xc) + field.du_dy * (y0 - yc)
            v0 = field.v + field.dv_dx * (x0 - xc) + field.dv_dy * (y0 - yc)
            warped = _morvex_dic.deform_image(window, u0, v0, field.du_dx, field.du_dy,
                                              field.dv_dx, field.dv_dy)
            yield warped[r - y0:r - y0 + block, c - x0:c - x0 + block].astype(np.float32)

    tifffile.imwrite(deformed_path, deformed_blocks(), shape=(size, size), dtype=np.float32,
                     tile=(block, block))
    return reference_path, deformed_path


def tiles_part(args: argparse.Namespace, folder: pathlib.Path) -> bool:
    size = args.tiled_size
    field = AffineField(0.4, -0.25, 0.0008, 0.0, 0.0, -0.0004, ((size - 1) / 2, (size - 1) / 2))
    began = time.perf_counter()
    reference_path, deformed_path = write_tiled_images(folder, size, 512, field)
    print(f"tiles: {size} x {size} px written tile by tile in {time.perf_counter() - began:.1f} s"
          f" (bench process peak {peak_rss_bytes() / GIB:.2f} GiB so far)")
    settings = {"subset": args.subset, "step": args.tile_step,
                "convergence_threshold": args.convergence}
    cluster, client, _ = local_client(2)
    try:
        baseline = client.run(peak_rss_bytes)
        began = time.perf_counter()
        ds = morvex.correlate(reference_path, deformed_path, tile=args.tile, client=client,
                              **settings)
        seconds = time.perf_counter() - began
        peaks = client.run(peak_rss_bytes)
    finally:
        client.close()
        cluster.close()
    points = ds.sizes["y"] * ds.sizes["x"]
    print(f"  tile {args.tile}, 2 workers x 1 thread: {points} points in {seconds:.1f} s "
          f"({points / seconds:,.0f} points/s), {ds['valid'].values.mean():.1%} valid")
    worst = max(peaks.values())
    for address in sorted(peaks):
        print(f"  worker peak resident memory {peaks[address] / GIB:.2f} GiB "
              f"(at start {baseline[address] / GIB:.2f} GiB)")
    print(f"  worst worker {worst / GIB:.2f} GiB (target <= 2 GiB); client peak "
          f"{peak_rss_bytes() / GIB:.2f} GiB")
    x, y = np.meshgrid(ds["x"].values, ds["y"].values)
    exact = field.at(x, y)
    valid = ds["valid"].values
    error = np.hypot(ds["u"].values - exact["u"], ds["v"].values - exact["v"])[valid]
    # The largest errors sit on the seams between the speckle blocks the image was painted in
    # (dots cut straight are warped with more bias), not on the tiles' seams.
    print(f"  displacement error against the known field: median {np.median(error):.4f}, "
          f"99th percentile {np.percentile(error, 99):.4f}, max {error.max():.4f} px")
    # An untiled run on a centred crop whose grid lies on the tiled run's grid.
    step = args.tile_step
    crop = args.crop
    start = ((size - crop) // 2 // step) * step
    with tifffile.imread(reference_path, aszarr=True) as r, \
            tifffile.imread(deformed_path, aszarr=True) as d:
        window = (slice(start, start + crop), slice(start, start + crop))
        cropped = morvex.correlate(np.asarray(zarr.open_array(r, mode="r")[window], float),
                                   np.asarray(zarr.open_array(d, mode="r")[window], float),
                                   threads=2, **settings)
    inner = 40 + 35  # px from the crop's edge: its own displacement and strain margins
    cy, cx = cropped["y"].values + start, cropped["x"].values + start
    keep_y = (cy >= start + inner) & (cy <= start + crop - 1 - inner)
    keep_x = (cx >= start + inner) & (cx <= start + crop - 1 - inner)
    tiled = ds.sel(y=cy[keep_y], x=cx[keep_x])
    part = cropped.isel(y=np.flatnonzero(keep_y), x=np.flatnonzero(keep_x))
    both = tiled["valid"].values & part["valid"].values
    du = np.abs(tiled["u"].values - part["u"].values)[both]
    dv = np.abs(tiled["v"].values - part["v"].values)[both]
    within = np.mean((du <= 1e-4) & (dv <= 1e-4))
    print(f"  against an untiled run on a {crop} px crop ({both.sum()} common points): max "
          f"|du| {du.max():.2e}, |dv| {dv.max():.2e} px; {within:.3%} within 1e-4 px "
          f"(convergence threshold {args.convergence} px)")
    return worst <= 2 * GIB


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--part", choices=["sequence", "tiles", "pipeline", "both"],
                        default="both")
    parser.add_argument("--challenge", type=pathlib.Path, default=None,
                        help="the DIC Challenge folder (pipeline part: sample 12 as well)")
    parser.add_argument("--frames", type=int, default=40)
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--subset", type=int, default=29)
    parser.add_argument("--step", type=int, default=7, help="sequence grid step, px")
    parser.add_argument("--chunk", type=int, default=DEFAULT_CHUNK, help="frames per task")
    parser.add_argument("--repeat", type=int, default=3,
                        help="pipeline part: pair rate and sequence runs in turn, medians")
    parser.add_argument("--tiled-size", type=int, default=8192)
    parser.add_argument("--tile", type=int, default=2048)
    parser.add_argument("--tile-step", type=int, default=7, help="tiled grid step, px")
    parser.add_argument("--crop", type=int, default=1536)
    parser.add_argument("--convergence", type=float, default=1e-3,
                        help="solver convergence threshold, px")
    parser.add_argument("--workdir", type=pathlib.Path, default=None,
                        help="folder for the images and stores (default: a temporary one)")
    args = parser.parse_args()
    folder = pathlib.Path(tempfile.mkdtemp(prefix="morvex-bench-", dir=args.workdir))
    print(f"cores {os.cpu_count()}, load {os.getloadavg()[0]:.1f}, files in {folder}")
    ok = True
    try:
        if args.part in ("sequence", "both"):
            ok &= sequence_part(args, folder)
        if args.part in ("tiles", "both"):
            ok &= tiles_part(args, folder)
        if args.part == "pipeline":
            ok &= pipeline_part(args, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("checks passed" if ok else "CHECKS FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
