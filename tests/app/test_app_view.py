"""The picture follows the hand: fit, wheel zoom, pan, shapes shown as they are drawn, and
the view and frame the page lands on after a run and on reopening."""

from __future__ import annotations

import json
import pathlib
import re

import pytest
from playwright.sync_api import Page, expect

from .conftest import FRAMES, SHAPE, write_sequence
from .helpers import open_project, run_to, set_number


def _scale(page: Page) -> float:
    box = page.get_by_test_id("image-box")
    expect(box).to_have_attribute("data-scale", re.compile(r"\d"))
    return float(box.get_attribute("data-scale") or "nan")


def _picture(page: Page) -> dict[str, float]:
    box = page.get_by_test_id("image-view").bounding_box()
    assert box is not None
    return box


def _choose(page: Page, tool: str) -> None:
    page.get_by_test_id("tool").click()
    page.get_by_role("option", name=tool).click()
    page.wait_for_timeout(300)  # the menu closes before the hand draws


def _wait_for_scale(page: Page, differs_from: float | None = None,
                    equals: float | None = None) -> float:
    for _ in range(100):
        scale = _scale(page)
        if differs_from is not None and abs(scale - differs_from) > 1e-9:
            return scale
        if equals is not None and abs(scale - equals) < 1e-6 * equals:
            return scale
        page.wait_for_timeout(100)
    return _scale(page)


# A drag pans with Shift held over a drawing tool, or with the pan tool alone; it draws nothing.
@pytest.mark.parametrize("tool, key", [("Mask rectangle", "Shift"),
                                       ("Pan (or Shift + drag)", None)])
def test_opens_fitted_wheel_zooms_about_the_pointer_drag_pans_fit_restores(
        browser, tool: str, key: str | None) -> None:
    page = browser
    open_project(page)
    fitted = _scale(page)
    view = page.get_by_test_id("image-box").bounding_box()
    picture = _picture(page)
    assert view is not None
    # The whole image in view, touching the box on one side.
    assert picture["width"] <= view["width"] + 1 and picture["height"] <= view["height"] + 1
    assert min(view["width"] - picture["width"], view["height"] - picture["height"]) < 2
    assert picture["width"] == pytest.approx(fitted * SHAPE[1], abs=1)

    pointer = (picture["x"] + 0.6 * picture["width"], picture["y"] + 0.4 * picture["height"])
    under = ((pointer[0] - picture["x"]) / fitted, (pointer[1] - picture["y"]) / fitted)
    page.mouse.move(*pointer)
    for _ in range(3):
        page.mouse.wheel(0, -200)
    zoomed = _wait_for_scale(page, differs_from=fitted)
    page.wait_for_timeout(300)
    zoomed = _scale(page)
    assert zoomed > 1.5 * fitted
    picture = _picture(page)
    assert picture["width"] == pytest.approx(zoomed * SHAPE[1], abs=1)
    # The image point under the pointer stayed under it (to a screen pixel).
    assert (pointer[0] - picture["x"]) / zoomed == pytest.approx(under[0], abs=1 / zoomed + 0.1)
    assert (pointer[1] - picture["y"]) / zoomed == pytest.approx(under[1], abs=1 / zoomed + 0.1)

    _choose(page, tool)
    scrolled = page.get_by_test_id("image-box").evaluate("(e) => [e.scrollLeft, e.scrollTop]")
    if key:
        page.keyboard.down(key)
    page.mouse.move(*pointer)
    page.mouse.down()
    page.mouse.move(pointer[0] - 40, pointer[1] - 30, steps=4)
    page.mouse.up()
    if key:
        page.keyboard.up(key)
    moved = page.get_by_test_id("image-box").evaluate("(e) => [e.scrollLeft, e.scrollTop]")
    assert (moved[0] - scrolled[0], moved[1] - scrolled[1]) == (40, 30)
    expect(page.get_by_text("add rectangle")).to_have_count(0)

    page.get_by_test_id("view-fit").click()
    assert _wait_for_scale(page, equals=fitted) == pytest.approx(fitted)


def test_shapes_show_while_drawn_and_at_once_after_and_polygon_corners_move(browser) -> None:
    page = browser
    open_project(page)

    def at(fx: float, fy: float) -> tuple[float, float]:
        picture = _picture(page)  # where it is now: a click elsewhere may scroll the page
        return picture["x"] + fx * picture["width"], picture["y"] + fy * picture["height"]

    content = page.get_by_test_id("image-view").locator("svg").first
    preview = page.get_by_test_id("preview")
    for tool, mark in (("Mask rectangle", "rect"), ("Mask circle", "circle")):
        _choose(page, tool)
        page.mouse.move(*at(0.3, 0.3))
        page.mouse.down()
        page.mouse.move(*at(0.5, 0.6), steps=4)
        expect(preview).to_have_count(1)
        assert preview.evaluate("(e) => e.tagName") == mark
        page.mouse.up()
        # On the picture as the hand lets go: no other action needed.
        expect(content.locator(f"{mark}[stroke='#00e676']")).to_have_count(1)
    expect(preview).to_have_count(0)

    _choose(page, "Mask polygon")
    for corner in ((0.2, 0.2), (0.8, 0.2), (0.5, 0.8)):
        page.mouse.click(*at(*corner))
    page.mouse.move(*at(0.6, 0.6))
    expect(preview).to_have_count(1)  # the polygon so far, and on to the pointer
    page.get_by_test_id("mask-close").click()
    polygon = content.locator("polygon[data-shape]")
    expect(polygon).to_have_count(1)
    # The third corner dragged from (0.5, 0.8) to (0.5, 0.9) of the picture.
    page.mouse.move(*at(0.5, 0.8))
    page.mouse.down()
    page.mouse.move(*at(0.5, 0.9), steps=4)
    page.mouse.up()
    _choose(page, "Point")  # a redraw from the server: the move was kept there
    expect(page.get_by_text("add polygon (3 points)")).to_be_visible()
    points = polygon.get_attribute("points") or ""
    last = [float(v) for v in points.split()[2].split(",")]
    assert last == pytest.approx([0.5 * SHAPE[1], 0.9 * SHAPE[0]], abs=1.5)


def test_after_a_run_and_on_reopening_the_last_frame_and_the_zoom_are_shown(
        browser, root: pathlib.Path) -> None:
    page = browser
    open_project(page)
    run_to(page, "done")
    expect(page.get_by_test_id("frame-index")).to_have_value(str(FRAMES - 1))
    fitted = _scale(page)
    picture = _picture(page)
    page.mouse.move(picture["x"] + picture["width"] / 2, picture["y"] + picture["height"] / 2)
    page.mouse.wheel(0, -300)
    zoomed = _wait_for_scale(page, differs_from=fitted)
    state = root / "results.zarr" / "morvex_app.json"
    for _ in range(100):
        kept = json.loads(state.read_text()).get("view") if state.exists() else None
        if kept and kept["scale"] == pytest.approx(zoomed):
            break
        page.wait_for_timeout(100)
    assert kept is not None and kept["scale"] == pytest.approx(zoomed)

    other = page.context.new_page()
    other.goto(page.url)
    open_project(other, "", "", "results.zarr")
    expect(other.get_by_test_id("run-status")).to_have_text("done")
    expect(other.get_by_test_id("frame-index")).to_have_value(str(FRAMES - 1))
    assert _wait_for_scale(other, equals=zoomed) == pytest.approx(zoomed)
    # On frame 0 the strain is zero to rounding: a uniform field, with no noise on the bar.
    other.get_by_test_id("frame-index").fill("0")
    other.get_by_test_id("frame-index").press("Enter")
    expect(other.get_by_test_id("limits-note")).to_have_text("uniform")
    numbers = other.get_by_test_id("colour-bar-numbers").inner_text()
    assert "e-" not in numbers and "0" in numbers.split()


def test_a_failed_open_clears_the_project_open_before(browser) -> None:
    page = browser
    open_project(page)
    page.get_by_test_id("mask-path").fill("mask.png")
    page.get_by_test_id("mask-load").click()
    expect(page.get_by_text("mask image mask.png")).to_be_visible()
    image = page.get_by_test_id("image-view").locator("img")
    expect(image).to_have_attribute("src", re.compile(r"/morvex/image/"))
    open_project(page, "frames/missing.tif", "frames")
    expect(page.get_by_test_id("error-message")).to_be_visible()
    expect(page.get_by_text("mask image mask.png")).to_have_count(0)
    expect(page.get_by_test_id("mask-path")).to_have_value("")
    expect(image).not_to_have_attribute("src", re.compile(r"/morvex/image/"))
    # Nothing of the old project can be run either.
    page.get_by_test_id("run-start").click()
    expect(page.get_by_test_id("error-message")).to_contain_text("open a project first")


def test_a_tab_reloaded_during_a_run_opens_on_it(browser, root: pathlib.Path) -> None:
    write_sequence(root / "long", 12, (320, 320))
    page = browser
    open_project(page, "long/img_000.tif", "long", "long.zarr")
    set_number(page, "setting-step", 2)  # a run that outlasts the reload
    page.get_by_test_id("run-start").click()
    expect(page.get_by_test_id("run-status")).to_have_text("running")
    page.reload()
    # Nothing typed, nothing clicked: the page is back on the run.
    expect(page.get_by_test_id("store-path")).to_have_value("long.zarr")
    expect(page.get_by_test_id("reference-path")).to_have_value("long/img_000.tif")
    expect(page.get_by_test_id("run-status")).to_have_text("running")
    expect(page.get_by_test_id("run-progress")).to_contain_text("/ 12 frames")
    page.get_by_test_id("run-cancel").click()
    expect(page.get_by_test_id("run-status")).to_have_text("cancelled")
