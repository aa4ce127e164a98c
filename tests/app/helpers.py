"""Steps the end-to-end tests share: open a project, run, read numbers off the page."""

from __future__ import annotations

import re

from playwright.sync_api import Page, expect


def open_project(page: Page, reference: str = "frames/img_000.tif", frames: str = "frames",
                 store: str = "results.zarr") -> None:
    page.get_by_test_id("reference-path").fill(reference)
    page.get_by_test_id("frames-path").fill(frames)
    page.get_by_test_id("store-path").fill(store)
    page.get_by_test_id("open-project").click()


def run_to(page: Page, state: str = "done", timeout: float = 120_000) -> None:
    page.get_by_test_id("run-start").click()
    expect(page.get_by_test_id("run-status")).to_have_text(state, timeout=timeout)


def number(page: Page, testid: str) -> float:
    text = page.get_by_test_id(testid).inner_text()
    match = re.match(r"\s*(-?[0-9.]+(?:e[-+]?\d+)?|nan)", text)
    assert match, f"{testid} shows {text!r}"
    return float(match.group(1))


def shown_sigma(page: Page, testid: str) -> float | None:
    """The σ a value is shown with ("0.213 ± 0.004"), None when it has none."""
    match = re.search(r"± ([0-9.]+)", page.get_by_test_id(testid).inner_text())
    return float(match.group(1)) if match else None


def settled_number(page: Page, testid: str, expected: float, tolerance: float,
                   seconds: float = 20.0) -> float:
    """The number `testid` shows once it is within `tolerance` of `expected` (the page
    updates after the input that changed it); the last one shown if it never gets there."""
    import time

    deadline = time.monotonic() + seconds
    while True:
        try:
            value = number(page, testid)
        except AssertionError:
            value = float("nan")
        if abs(value - expected) <= tolerance or time.monotonic() > deadline:
            return value
        page.wait_for_timeout(100)


def set_number(page: Page, testid: str, value: float) -> None:
    box = page.get_by_test_id(testid)
    box.fill(str(value))
    box.press("Enter")
