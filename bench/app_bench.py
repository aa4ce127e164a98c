"""How quick `morvex app` feels: first page, redraws of a large field, and during a run.

    .venv/bin/python bench/app_bench.py [--size 1024] [--frames 4] [--repeats 15]

Writes a synthetic sequence of SIZE x SIZE frames into a temporary root, measures it once
into a store (subset 29, step 7: about 20 000 points per frame at 1024 px), starts
`morvex app` on that root and drives Debian's Chromium through Playwright:

- first page: from navigation to the first controls being usable (target 2 s);
- redraw: from choosing another field, or another frame, to the new overlay being in the
  page (target 200 ms), median and worst over REPEATS changes;
- during a run: the same redraw while a second store is measured on every core, and the
  round trip of a plain input change (the page must stay responsive).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

CHROMIUM = "/usr/bin/chromium"
FIELDS = ["u", "v", "exx", "eyy", "zncc", "sigma_u"]

# A redraw timed in the page: `change` sets the control (select or box) and fires its event;
# the overlay may be re-rendered as a new element, so it is looked up again every frame; after
# 20 s the wait gives up (NaN), so a lost redraw shows as such instead of hanging the benchmark.
_REDRAW = """async (value) => {
  const svg = document.querySelector('[data-testid=image-view] svg');
  const before = svg.innerHTML;
  const t0 = performance.now();
  const control = document.querySelector('[data-testid=%(testid)s]');
  control.value = String(value);
  control.dispatchEvent(new Event('%(event)s', {bubbles: true}));
  return await new Promise((done) => {
    const look = () => {
      const now = document.querySelector('[data-testid=image-view] svg').innerHTML;
      if (now !== before) done(performance.now() - t0);
      else if (performance.now() - t0 > 20000) done(NaN);
      else requestAnimationFrame(look);
    };
    look();
  });
}"""
REDRAW_FIELD = _REDRAW % {"testid": "field-select", "event": "change"}
REDRAW_FRAME = _REDRAW % {"testid": "frame-index", "event": "input"}


def write_root(folder: pathlib.Path, size: int, frames: int) -> None:
    import morvex
    import tifffile

    for name in ("frames", "second"):
        (folder / name).mkdir(parents=True)
        sequence = morvex.synthetic_sequence(frames=frames, shape=(size, size), seed=3)
        for k, image in enumerate(sequence.frames):
            tifffile.imwrite(folder / name / f"img_{k:03d}.tif",
                             np.clip(np.round(image), 0, 255).astype(np.uint8))
    began = time.perf_counter()
    dataset = morvex.correlate_sequence(str(folder / "frames"), store=folder / "big.zarr",
                                        progress=False)
    points = dataset.sizes["y"] * dataset.sizes["x"]
    print(f"store: {frames} frames of {size} x {size} px, {points} points per frame "
          f"(measured in {time.perf_counter() - began:.1f} s)")


def summary(name: str, values: list[float], target: float | None = None) -> None:
    lost = sum(1 for v in values if v != v)
    values = sorted(v for v in values if v == v) or [float("nan")]
    if lost:
        print(f"{name}: {lost} changes never redrew within 20 s")
    verdict = "" if target is None else (" (target %.0f ms: %s)" % (
        target, "met" if statistics.median(values) <= target else "MISSED"))
    print(f"{name:42s} median {statistics.median(values):7.1f} ms, worst {values[-1]:7.1f} ms"
          f" over {len(values)}{verdict}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--frames", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    from playwright.sync_api import expect, sync_playwright

    expect.set_options(timeout=60_000)

    with tempfile.TemporaryDirectory() as temporary:
        root = pathlib.Path(temporary)
        write_root(root, args.size, args.frames)
        env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
        server = subprocess.Popen([sys.executable, "-m", "morvex", "app", "--root", str(root),
                                   "--port", "0", "--no-browser"], stdout=subprocess.PIPE,
                                  text=True, env=env)
        try:
            assert server.stdout is not None
            url = server.stdout.readline().split()[-1]
            time.sleep(1.0)
            with sync_playwright() as playwright:
                browser = playwright.chromium.launch(executable_path=CHROMIUM,
                                                     args=["--no-sandbox"])
                page = browser.new_page(viewport={"width": 1600, "height": 1100})
                page.set_default_timeout(60_000)
                firsts = []
                for _ in range(5):
                    began = time.perf_counter()
                    page.goto(url)
                    page.get_by_test_id("open-project").wait_for()
                    firsts.append(1000 * (time.perf_counter() - began))
                summary("first page", firsts, 2000)
                page.get_by_test_id("reference-path").fill("frames/img_000.tif")
                page.get_by_test_id("frames-path").fill("frames")
                page.get_by_test_id("store-path").fill("big.zarr")
                page.get_by_test_id("open-project").click()
                expect(page.get_by_test_id("run-status")).to_have_text("done")
                page.wait_for_timeout(1000)
                frames = [page.evaluate(REDRAW_FRAME, k % args.frames)
                          for k in range(1, args.repeats + 1)]
                summary("frame change, idle", frames, 200)
                # On the last frame: at frame 0 every displacement field is uniform, and a
                # change of field would draw the same picture again.
                page.evaluate(REDRAW_FRAME, args.frames - 1)
                fields = [page.evaluate(REDRAW_FIELD, FIELDS[k % len(FIELDS)])
                          for k in range(1, args.repeats + 1)]
                summary("field change, idle", fields, 200)

                page.get_by_test_id("reference-path").fill("second/img_000.tif")
                page.get_by_test_id("frames-path").fill("second")
                page.get_by_test_id("store-path").fill("second.zarr")
                page.get_by_test_id("open-project").click()
                page.get_by_test_id("run-start").click()
                expect(page.get_by_test_id("run-status")).to_have_text("running")
                # Look at the first store's last frame while the second one is measured.
                page.get_by_test_id("reference-path").fill("frames/img_000.tif")
                page.get_by_test_id("frames-path").fill("frames")
                page.get_by_test_id("store-path").fill("big.zarr")
                page.get_by_test_id("open-project").click()
                expect(page.get_by_test_id("run-status")).to_have_text("done")
                page.evaluate(REDRAW_FRAME, args.frames - 1)
                busy = [page.evaluate(REDRAW_FIELD, FIELDS[k % len(FIELDS)])
                        for k in range(1, args.repeats + 1)]
                summary("field change, during a run on every core", busy, 200)
                trips = []
                for k in range(args.repeats):
                    began = time.perf_counter()
                    page.get_by_test_id("probe-x").fill(str(100 + k))
                    page.get_by_test_id("probe-x").press("Enter")
                    page.get_by_test_id("probe-value").inner_text()
                    trips.append(1000 * (time.perf_counter() - began))
                summary("input round trip, during the run", trips)
                from morvex.store import Store

                measured = int(Store(root / "second.zarr").complete().sum())
                print(f"the run had measured {measured} of {args.frames} frames by then")
                browser.close()
        finally:
            server.terminate()
            server.wait(10)


if __name__ == "__main__":
    main()
