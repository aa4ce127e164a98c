"""Screenshots of `morvex app` for the README (docs/app_*.png), from a synthetic test.

    .venv/bin/python scripts/app_screenshots.py [docs]
"""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys
import tempfile

import numpy as np


def main() -> None:
    import tifffile
    from playwright.sync_api import expect, sync_playwright

    import morvex

    expect.set_options(timeout=120_000)
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "docs")
    with tempfile.TemporaryDirectory() as temporary:
        root = pathlib.Path(temporary)
        (root / "frames").mkdir()
        sequence = morvex.synthetic_sequence(frames=6, shape=(360, 480), exx_final=0.02,
                                             eyy_final=-0.006)
        for k, image in enumerate(sequence.frames):
            tifffile.imwrite(root / "frames" / f"img_{k:03d}.tif",
                             np.clip(np.round(image), 0, 255).astype(np.uint8))
        (root / "load.csv").write_text("frame,load_N\n" + "".join(
            f"{k},{250.0 * k - 8.0 * k * k}\n" for k in range(6)))
        env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
        server = subprocess.Popen([sys.executable, "-m", "morvex", "app", "--root", str(root),
                                   "--port", "0", "--no-browser"], stdout=subprocess.PIPE,
                                  text=True, env=env)
        try:
            url = server.stdout.readline().split()[-1]  # type: ignore[union-attr]
            with sync_playwright() as playwright:
                browser = playwright.chromium.launch(executable_path="/usr/bin/chromium",
                                                     args=["--no-sandbox"])
                page = browser.new_page(viewport={"width": 1500, "height": 1050})
                page.set_default_timeout(60_000)
                page.goto(url)
                page.get_by_test_id("reference-path").fill("frames/img_000.tif")
                page.get_by_test_id("frames-path").fill("frames")
                page.get_by_test_id("open-project").click()
                expect(page.get_by_test_id("speckle-report")).to_contain_text("recommended")
                page.get_by_test_id("show-grid").click()
                image = page.get_by_test_id("image-view").locator("img")
                expect(page.get_by_test_id("image-box")).to_have_attribute("data-scale",
                                                                           re.compile(r"\d"))

                def drag(tool: str, a: tuple[float, float], b: tuple[float, float]) -> None:
                    page.get_by_test_id("tool").click()
                    page.get_by_role("option", name=tool, exact=True).click()
                    page.wait_for_timeout(500)  # the menu closes before the drag begins
                    box = image.bounding_box()  # where the picture is now, fitted
                    page.mouse.move(box["x"] + box["width"] * a[0], box["y"] + box["height"] * a[1])
                    page.mouse.down()
                    page.mouse.move(box["x"] + box["width"] * b[0],
                                    box["y"] + box["height"] * b[1], steps=5)
                    page.mouse.up()

                drag("Mask rectangle", (0.08, 0.12), (0.92, 0.88))
                page.get_by_text("cut hole").click()
                drag("Mask circle", (0.5, 0.5), (0.58, 0.5))
                page.wait_for_timeout(800)
                page.evaluate("window.scrollTo(0, 0)")
                page.screenshot(path=out / "app_project.png")
                page.get_by_test_id("show-grid").click()
                page.get_by_test_id("run-start").click()
                expect(page.get_by_test_id("run-status")).to_have_text("done")
                page.get_by_test_id("frame-index").fill("5")
                page.get_by_test_id("frame-index").press("Enter")
                page.get_by_test_id("frame-index").blur()
                page.wait_for_timeout(800)
                page.evaluate("window.scrollTo(0, 0)")
                page.screenshot(path=out / "app_run.png")
                page.get_by_test_id("field-select").select_option("u")
                page.get_by_test_id("tool").click()
                page.get_by_role("option", name="Section", exact=True).click()
                page.wait_for_timeout(500)
                box = image.bounding_box()
                for fx, fy in ((0.15, 0.3), (0.5, 0.25), (0.85, 0.3)):
                    page.mouse.click(box["x"] + box["width"] * fx, box["y"] + box["height"] * fy)
                page.get_by_test_id("section-finish").click()
                drag("Extensometer", (0.2, 0.7), (0.8, 0.7))
                drag("Extensometer", (0.7, 0.2), (0.7, 0.6))
                drag("Strain gauge", (0.3, 0.2), (0.45, 0.4))
                page.get_by_test_id("tool").click()
                page.get_by_role("option", name="Point", exact=True).click()
                page.wait_for_timeout(500)
                box = image.bounding_box()
                image.click(position={"x": box["width"] * 0.3, "y": box["height"] * 0.6})
                page.get_by_test_id("load-path").fill("load.csv")
                page.get_by_test_id("load-load").click()
                page.wait_for_timeout(1500)
                page.evaluate("window.scrollTo(0, 0)")
                page.screenshot(path=out / "app_probe.png", full_page=True)
                page.get_by_test_id("tool").click()
                page.get_by_role("option", name="Crack", exact=True).click()
                page.wait_for_timeout(500)
                box = image.bounding_box()
                for fx, fy in ((0.1, 0.52), (0.4, 0.5)):
                    page.mouse.click(box["x"] + box["width"] * fx, box["y"] + box["height"] * fy)
                page.mouse.dblclick(box["x"] + box["width"] * 0.65,
                                    box["y"] + box["height"] * 0.47)
                expect(page.get_by_test_id("crack-summary")).to_contain_text("tip")
                page.wait_for_timeout(1000)
                page.get_by_test_id("image-box").screenshot(path=out / "app_crack_tool.png")
                page.get_by_test_id("crack-summary").locator("xpath=..").screenshot(
                    path=out / "app_crack_card.png")
                browser.close()
        finally:
            server.terminate()
            server.wait(10)
    print("wrote", *(out / f"app_{n}.png" for n in ("project", "run", "probe", "crack_tool",
                                                "crack_card")))


if __name__ == "__main__":
    main()
