"""The export card's report: written beside the store's other exports and offered as a file."""

from __future__ import annotations

import pathlib
import re

from playwright.sync_api import expect

import morvex

from .conftest import FRAMES
from .helpers import open_project, set_number


def test_the_report_button_writes_and_offers_the_stores_report(browser, root: pathlib.Path
                                                               ) -> None:
    page = browser
    morvex.correlate_sequence(str(root / "frames"), store=root / "results.zarr", progress=False,
                              subset=21, step=10)
    open_project(page)
    expect(page.get_by_test_id("run-status")).to_have_text("done")
    set_number(page, "probe-x", 120)
    set_number(page, "probe-y", 100)
    expect(page.get_by_test_id("probe-value")).not_to_have_text("—")
    with page.expect_download(timeout=120_000) as download:
        page.get_by_test_id("export-report").click()
    text = pathlib.Path(download.value.path()).read_text(encoding="utf-8")
    written = root / "results_export" / "report.html"
    assert written.read_text(encoding="utf-8") == text
    expect(page.get_by_text("wrote results_export/report.html")).to_be_visible()
    # The last frame's default fields, its status map and the probe's curves, all inline.
    last = f"frame {FRAMES - 1} (img_{FRAMES - 1:03d}.tif)"
    assert re.findall(r'<img alt="([^"]+)"', text) == [
        *(f"{field}, {last}" for field in ("u", "v", "exx", "eyy", "exy", "status")),
        "series against frame"]
    assert "morvex run frames/img_000.tif frames -o results.zarr --subset 21 --step 10" in text
