"""The whole measurement in the browser against the store and the known field."""

from __future__ import annotations

import pathlib

import numpy as np
import pandas as pd
import pytest
from playwright.sync_api import expect

import morvex

from .conftest import EXX_FINAL, FRAMES, SHAPE
from .helpers import open_project, run_to, set_number, settled_number, shown_sigma


def test_mask_run_probe_extensometer_export(browser, root: pathlib.Path) -> None:
    page = browser
    open_project(page)
    expect(page.get_by_test_id("speckle-report")).to_contain_text("recommended subset")
    report = morvex.speckle_report(root / "frames" / "img_000.tif")
    expect(page.get_by_test_id("speckle-report")).to_contain_text(
        f"recommended subset: {report['recommended_subset']} px")
    page.get_by_test_id("mask-path").fill("mask.png")
    page.get_by_test_id("mask-load").click()
    expect(page.get_by_text("mask image mask.png")).to_be_visible()
    run_to(page, "done")
    expect(page.get_by_test_id("run-progress")).to_have_text(f"{FRAMES} / {FRAMES} frames")

    store = morvex.open_store(root / "results.zarr")
    # The loaded mask reached the run: points away from the specimen are outside the mask.
    assert (store["status"].values[-1][:, store["x"].values < 10] == 1).all()

    # The slider and the frame index follow each other.
    slider = page.get_by_test_id("frame-slider")
    slider.click()
    for _ in range(FRAMES):
        slider.press("ArrowRight")
    expect(page.get_by_test_id("frame-index")).to_have_value(str(FRAMES - 1))
    # The page sends the slider's value at most every 50 ms, the last one trailing: a frame
    # typed before that last value reaches the server would be moved back by it (no person
    # types within 50 ms of letting go of the slider).
    page.wait_for_timeout(500)
    set_number(page, "frame-index", 2)
    expect(slider).to_have_attribute("aria-valuenow", "2")

    # A click on the image sets the probe; its value is the store's nearest grid point.
    page.get_by_test_id("field-select").select_option("u")
    image = page.get_by_test_id("image-view").locator("img")
    box = image.bounding_box()
    assert box is not None
    image.click(position={"x": box["width"] * 0.5, "y": box["height"] * 0.5})
    expect(page.get_by_test_id("probe-x")).not_to_have_value("")
    x_clicked = float(page.get_by_test_id("probe-x").input_value())
    assert abs(x_clicked - SHAPE[1] / 2) < 3
    set_number(page, "probe-x", 120)
    set_number(page, "probe-y", 100)
    column = int(np.abs(store["x"].values - 120).argmin())
    row = int(np.abs(store["y"].values - 100).argmin())
    expected = float(store["u"].values[2, row, column])
    expect(page.get_by_test_id("probe-value")).not_to_have_text("—")
    # Shown rounded to its σ: within half its last digit, which is at most σ.
    sigma = shown_sigma(page, "probe-value") or 1e-4
    assert settled_number(page, "probe-value", expected, sigma) == pytest.approx(expected,
                                                                                  abs=sigma)

    # Extensometer along x: engineering strain du/dx of the known field, in %.
    for name, value in (("gauge-x0", 60), ("gauge-y0", 100), ("gauge-x1", 180),
                        ("gauge-y1", 100)):
        set_number(page, name, value)
    set_number(page, "frame-index", FRAMES - 1)
    expect(page.get_by_test_id("gauge-strain")).to_contain_text("%")
    assert settled_number(page, "gauge-strain", 100 * EXX_FINAL, 0.02) == pytest.approx(
        100 * EXX_FINAL, abs=0.02)

    with page.expect_download() as download:
        page.get_by_test_id("export-csv").click()
    table = pd.read_csv(download.value.path())
    assert len(table) == FRAMES * store.sizes["y"] * store.sizes["x"]
    last = table[(table["frame"] == FRAMES - 1)
                 & (table["x [px]"] == store["x"].values[column])
                 & (table["y [px]"] == store["y"].values[row])]
    assert float(last["u [px]"].iloc[0]) == pytest.approx(
        float(store["u"].values[-1, row, column]), rel=1e-8)

    # Probes and the mask are kept with the store: a new tab restores them from it alone.
    other = page.context.new_page()
    other.goto(page.url)
    other.get_by_test_id("store-path").fill("results.zarr")
    other.get_by_test_id("open-project").click()
    expect(other.get_by_test_id("reference-path")).to_have_value("frames/img_000.tif")
    expect(other.get_by_test_id("mask-path")).to_have_value("mask.png")
    expect(other.get_by_test_id("gauge-x1")).to_have_value("180.0")
    expect(other.get_by_test_id("run-status")).to_have_text("done")


@pytest.mark.parametrize("value, message", [
    (30, "subset must be an odd number of pixels >= 5, got 30"),
    (3, "subset must be an odd number of pixels >= 5, got 3"),
])
def test_refused_setting_shows_the_package_message(browser, value: int, message: str) -> None:
    open_project(browser)
    set_number(browser, "setting-subset", value)
    expect(browser.get_by_test_id("error-message")).to_have_text(message)
    browser.get_by_test_id("run-start").click()
    expect(browser.get_by_test_id("run-status")).to_have_text("idle")


def test_mask_drawn_with_the_mouse_cuts_the_grid(browser) -> None:
    page = browser
    open_project(page)
    # The preview is asked for once the project is open, as a user sees its frames first.
    expect(page.get_by_test_id("run-progress")).to_have_text("0 / 4 frames")
    page.get_by_test_id("show-grid").click()
    expect(page.get_by_test_id("show-grid")).to_have_attribute("aria-checked", "true")
    expect(page.get_by_text("grid points on the mask")).to_contain_text("of")
    total = page.get_by_text("grid points on the mask").inner_text()
    page.get_by_test_id("tool").click()
    page.get_by_role("option", name="Mask rectangle").click()
    image = page.get_by_test_id("image-view").locator("img")
    box = image.bounding_box()
    assert box is not None
    page.mouse.move(box["x"] + box["width"] * 0.25, box["y"] + box["height"] * 0.25)
    page.mouse.down()
    page.mouse.move(box["x"] + box["width"] * 0.75, box["y"] + box["height"] * 0.75, steps=4)
    page.mouse.up()
    expect(page.get_by_text("add rectangle (2 points)")).to_be_visible()
    kept = page.get_by_text("grid points on the mask").inner_text()
    assert int(kept.split()[0]) < int(total.split()[0])


def test_a_store_made_by_a_script_opens_from_its_path_alone(browser, root: pathlib.Path) -> None:
    mask = np.zeros(SHAPE, dtype=bool)
    mask[10:190, 10:230] = True
    job = morvex.Job(str(root / "frames"), store=root / "script.zarr", subset=31, step=9,
                     mask=mask)
    assert job.start().wait(120) == morvex.JobState.DONE
    page = browser
    open_project(page, "", "", "script.zarr")
    expect(page.get_by_test_id("reference-path")).to_have_value("frames/img_000.tif")
    expect(page.get_by_test_id("setting-subset")).to_have_value("31")
    expect(page.get_by_test_id("run-status")).to_have_text("done")
    expect(page.get_by_test_id("run-progress")).to_have_text(f"{FRAMES} / {FRAMES} frames")
    expect(page.get_by_text("recorded in the store")).to_contain_text("specimen")


def test_second_order_subsets_and_subset_strain_are_chosen_on_the_page(
        browser, root: pathlib.Path) -> None:
    page = browser
    open_project(page)
    for testid, option in (("setting-shape", "quadratic"), ("setting-strain-source", "subset")):
        page.get_by_test_id(testid).click()
        page.get_by_role("option", name=option, exact=True).click()
        expect(page.get_by_test_id(testid)).to_contain_text(option)
    run_to(page, "done")
    attrs = morvex.open_store(root / "results.zarr").attrs
    assert (attrs["shape"], attrs["strain_source"]) == ("quadratic", "subset")
    # A reload shows the store's choices again.
    page.reload()
    open_project(page, "", "", "results.zarr")
    expect(page.get_by_test_id("setting-shape")).to_contain_text("quadratic")
    expect(page.get_by_test_id("setting-strain-source")).to_contain_text("subset")


@pytest.mark.parametrize("typed, message", [
    ("typed.zarr", None),
    ("typed", "store 'typed' must end in .zarr (a results folder)"),
    ("../typed.zarr", "project folder"),
])
def test_start_writes_to_the_store_its_box_shows(browser, root: pathlib.Path, typed: str,
                                                 message: str | None) -> None:
    page = browser
    open_project(page)
    page.get_by_test_id("store-path").fill(typed)
    page.get_by_test_id("run-start").click()
    if message is None:
        expect(page.get_by_test_id("run-status")).to_have_text("done", timeout=120_000)
        expect(page.get_by_test_id("run-progress")).to_have_text(f"{FRAMES} / {FRAMES} frames")
        assert morvex.open_store(root / typed).sizes["frame"] == FRAMES
    else:
        expect(page.get_by_test_id("error-message")).to_contain_text(message)
        expect(page.get_by_test_id("run-status")).to_have_text("idle")
    expect(page.get_by_test_id("store-path")).to_have_value(typed)
    assert not (root / "results.zarr").exists()  # the store opened first is never written


def test_reference_typed_after_opening_asks_for_open(browser, root: pathlib.Path) -> None:
    page = browser
    open_project(page)
    page.get_by_test_id("reference-path").fill("frames/img_001.tif")
    page.get_by_test_id("run-start").click()
    expect(page.get_by_test_id("error-message")).to_contain_text("press Open")
    assert not (root / "results.zarr").exists()


def test_status_legend_holds_every_status_in_the_colour_it_is_drawn(
        browser, root: pathlib.Path) -> None:
    import base64
    import io

    from PIL import Image

    from morvex._status import LIBRARY_STATUSES

    mask = np.zeros(SHAPE, dtype=bool)
    mask[10:190, 10:150] = True  # points outside: two statuses on the picture at least
    job = morvex.Job(str(root / "frames"), store=root / "script.zarr", subset=31, step=9,
                     mask=mask)
    assert job.start().wait(120) == morvex.JobState.DONE
    page = browser
    open_project(page, "", "", "script.zarr")
    expect(page.get_by_test_id("run-status")).to_have_text("done")
    expect(page.get_by_test_id("frame-index")).to_have_value(str(FRAMES - 1))
    page.get_by_test_id("field-select").select_option("status")
    legend = page.get_by_test_id("status-legend")
    expect(legend).to_be_visible()
    colours = {}
    for code, _ in LIBRARY_STATUSES:
        entry = legend.get_by_test_id(f"status-{code}")
        expect(entry).to_contain_text(str(code))
        colours[code] = entry.locator(".mv-swatch").evaluate(
            "(e) => getComputedStyle(e).backgroundColor")
    assert len(set(colours.values())) == len(colours)  # every status its own colour
    assert "left the field of view" in legend.inner_text()
    # The picture (of the last frame, where an opened store lands) has each point in its
    # status's legend colour.
    href = page.get_by_test_id("image-view").locator("svg image").get_attribute("href")
    assert href is not None and href.startswith("data:image/png;base64,")
    picture = np.asarray(Image.open(io.BytesIO(base64.b64decode(href.split(",", 1)[1]))))
    status = morvex.open_store(root / "script.zarr")["status"].values[-1]
    shown = {int(code) for code in np.unique(status)}
    assert {0, 1} <= shown
    for code in shown:
        r, g, b = picture[status == code][0][:3]
        assert colours[code] == f"rgb({r}, {g}, {b})", code
