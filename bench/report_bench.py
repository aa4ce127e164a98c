"""How long `morvex report` takes on a large store, and how big its files are.

    .venv/bin/python bench/report_bench.py [--size 1024] [--frames 30] [--repeats 3]
        [--store DIR/run.zarr]

Writes a synthetic sequence of SIZE x SIZE frames and measures it into a store (the default
settings: subset 29, step 7, about 20 000 points per frame at 1024 px), as bench/app_bench.py
does; --store keeps that store (made once, reused when it exists). A series like the one
`morvex probe` writes goes beside it: 20 extensometer strains, a load and a time column, one
row per frame. Then the report is written REPEATS times in three forms:

- html: the default report (the last frame's u, v, exx, eyy, exy and status map);
- html+series: the same with the series plotted against the frame and against time;
- html+series+pdf: the same with its PDF.

Printed: median and worst wall time of each form (target: <= 10 s) and the size of its files.
Each report is checked: one figure per field and frame, a summary row per frame, and the PDF's
page count, so a faster report cannot drop content unnoticed.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import statistics
import tempfile
import time

import numpy as np

TARGET_SECONDS = 10.0
PROBES = 20


def make_store(store: pathlib.Path, size: int, frames: int) -> None:
    import tifffile

    import morvex

    folder = store.parent / "frames"
    folder.mkdir(parents=True, exist_ok=True)
    sequence = morvex.synthetic_sequence(frames=frames, shape=(size, size), seed=3)
    for k, image in enumerate(sequence.frames):
        tifffile.imwrite(folder / f"img_{k:03d}.tif",
                         np.clip(np.round(image), 0, 255).astype(np.uint8))
    began = time.perf_counter()
    dataset = morvex.correlate_sequence(str(folder), store=store, progress=False)
    points = dataset.sizes["y"] * dataset.sizes["x"]
    print(f"store: {frames} frames of {size} x {size} px, {points} points per frame "
          f"(measured in {time.perf_counter() - began:.1f} s)")


def make_series(frames: int) -> object:
    import pandas as pd

    rng = np.random.default_rng(7)
    load = np.linspace(0.0, 1000.0, frames)
    table = {"frame": np.arange(frames), "time [s]": np.arange(frames) * 0.5, "load [N]": load}
    for k in range(1, PROBES + 1):
        table[f"E{k} strain [%]"] = load * 1e-3 * (1.0 + 0.01 * k) + rng.normal(0, 1e-3, frames)
    return pd.DataFrame(table)


def check(html: pathlib.Path, pdf: pathlib.Path | None, frames: int, series: bool) -> None:
    text = html.read_text(encoding="utf-8")
    figures = len(re.findall(r"<img ", text))
    expected = 6 + (2 if series else 0)
    assert figures == expected, f"{figures} figures, expected {expected}"
    rows = len(re.findall(r"<tr><td class=n>\d+</td><td>img_", text))
    assert rows == frames, f"{rows} summary rows, expected {frames}"
    if pdf is not None:
        pages = len(re.findall(rb"/Type\s*/Page\b(?!s)", pdf.read_bytes()))
        wanted = 1 + -(-frames // 36) + expected
        assert pages == wanted, f"{pages} PDF pages, expected {wanted}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--store", type=pathlib.Path,
                        help="keep the measured store here (reused when it exists)")
    args = parser.parse_args()
    os.environ.setdefault("MPLBACKEND", "Agg")
    from morvex.report import write_report

    with tempfile.TemporaryDirectory() as temporary:
        out = pathlib.Path(temporary)
        store = args.store if args.store is not None else out / "run" / "run.zarr"
        if not store.exists():
            store.parent.mkdir(parents=True, exist_ok=True)
            make_store(store, args.size, args.frames)
        series = make_series(args.frames)
        print(f"report of {store} ({args.frames} frames), {args.repeats} repeats; "
              f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}")
        for name, with_series, with_pdf in (("html", False, False),
                                            ("html+series", True, False),
                                            ("html+series+pdf", True, True)):
            times = []
            html, pdf = out / f"{name}.html", out / f"{name}.pdf" if with_pdf else None
            for _ in range(args.repeats):
                began = time.perf_counter()
                write_report(store, html, series=series if with_series else None,
                             series_x="time [s]" if with_series else None, pdf=pdf)
                times.append(time.perf_counter() - began)
            check(html, pdf, args.frames, with_series)
            sizes = f"html {html.stat().st_size / 1e6:.2f} MB" + (
                f", pdf {pdf.stat().st_size / 1e6:.2f} MB" if pdf is not None else "")
            verdict = "ok" if statistics.median(times) <= TARGET_SECONDS else "OVER TARGET"
            print(f"{name:16s} median {statistics.median(times):6.2f} s, worst "
                  f"{max(times):6.2f} s (target {TARGET_SECONDS:g} s: {verdict}); {sizes}")


if __name__ == "__main__":
    main()
