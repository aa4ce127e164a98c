"""Cracks on the page: drawn with the Crack tool on an opened plate, measured as
morvex.crack.measure_cracks measures them, kept with the store, and refused by name."""

from __future__ import annotations

import json
import pathlib

import numpy as np
import pytest
from playwright.sync_api import Page, expect

import morvex
from morvex.crack import measure_cracks

from .conftest import SHAPE
from .helpers import open_project, run_to, set_number

PLATE = (120, 160)  # rows, cols
PLATE_FRAMES = 3
LINE_Y = 60.5  # the crack runs across the plate between rows 60 and 61
OPENING_STEP = 1.0  # px the lips part by at each frame
GAP_GREY = 10.0  # the opened gap: darker than every speckle


def write_opened_plate(folder: pathlib.Path) -> None:
    """A speckled plate cut across at y = LINE_Y, its lips parted by OPENING_STEP * k px in
    frame k (each lip moved rigidly by half of it), the gap between them dark."""
    import tifffile

    from morvex import warping

    folder.mkdir(parents=True, exist_ok=True)
    reference = morvex.synthetic_pair(PLATE, u=0.0, v=0.0, du_dx=0.0, dv_dy=0.0,
                                      seed=3).reference
    rows = np.indices(PLATE, dtype=np.float64)[0]
    for k in range(PLATE_FRAMES):
        half = OPENING_STEP * k / 2

        def lips(y: np.ndarray, half: float = half) -> np.ndarray:
            return np.where(y > LINE_Y, half, -half)

        image = warping.warp_along(reference, lips, 0)
        image[np.abs(rows - LINE_Y) < half] = GAP_GREY
        tifffile.imwrite(folder / f"img_{k:03d}.tif",
                         np.clip(np.round(image), 0, 255).astype(np.uint8))


def _pick(page: Page, tool: str) -> None:
    page.get_by_test_id("tool").click()
    page.get_by_role("option", name=tool, exact=True).click()
    # The menu gone: a click while it fades lands on it, not on the image.
    expect(page.get_by_role("option", name=tool, exact=True)).to_be_hidden()


def _at(page: Page, x: float, y: float, shape: tuple[int, int] = PLATE
        ) -> tuple[float, float]:
    """Screen position of the image pixel (x, y) of an image of `shape` (rows, cols)."""
    box = page.get_by_test_id("image-view").locator("img").bounding_box()
    assert box is not None
    return box["x"] + box["width"] * (x + 0.5) / shape[1], \
        box["y"] + box["height"] * (y + 0.5) / shape[0]


def _saved(store: pathlib.Path) -> list[dict]:
    return json.loads((store / "morvex_app.json").read_text())["cracks"]


def _shown_profile(page: Page) -> np.ndarray:
    """(position, opening, sliding) rows of the card's profile table."""
    expect(page.get_by_test_id("crack-summary")).not_to_contain_text("measuring")
    table = page.get_by_test_id("crack-table").locator("table")
    expect(table).to_have_count(1)
    rows = table.evaluate(
        "t => [...t.rows].slice(1).map(r => [...r.cells].map(c => c.textContent))")
    return np.array([[float(cell) for cell in row] for row in rows], dtype=float)


def _check_profile_is_the_package_s(page: Page, store: pathlib.Path, frame: int) -> None:
    line = _saved(store)[0]["points"]
    expected = measure_cracks(morvex.open_store(store), [line])
    stations = np.isfinite(expected["s"].values[0])
    expected_opening = expected["opening"].values[0, frame][stations]
    shown = _shown_profile(page)
    np.testing.assert_allclose(shown[:, 0], expected["s"].values[0][stations], rtol=1e-5)
    np.testing.assert_allclose(shown[:, 1], expected_opening, rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(shown[:, 2], expected["sliding"].values[0, frame][stations],
                               rtol=1e-5, atol=1e-6)


def test_a_crack_drawn_on_an_opened_plate_reads_as_the_package_and_is_kept(
        browser, root: pathlib.Path) -> None:
    page = browser
    write_opened_plate(root / "plate")
    open_project(page, "plate/img_000.tif", "plate", "plate.zarr")
    run_to(page, "done")
    set_number(page, "frame-index", PLATE_FRAMES - 1)
    _pick(page, "Crack")
    page.mouse.click(*_at(page, 30, LINE_Y))
    page.mouse.click(*_at(page, 80, LINE_Y))
    page.mouse.dblclick(*_at(page, 125, LINE_Y))
    expect(page.get_by_test_id("crack-name-0")).to_have_value("crack 1")
    expect(page.get_by_test_id("error-message")).to_be_hidden()
    store = root / "plate.zarr"
    saved = _saved(store)
    assert len(saved) == 1 and len(saved[0]["points"]) == 3  # the double click is one vertex
    svg = page.get_by_test_id("image-view").locator("svg")
    expect(svg.get_by_text("crack 1", exact=True)).to_have_count(1)
    expect(page.get_by_test_id("crack-summary")).to_contain_text("crack 1, frame 2: tip")
    # Open to its last vertex: the tip is marked there, on the image, and said to run on.
    expect(svg.get_by_test_id("crack-tip")).to_have_count(1)
    expect(page.get_by_test_id("crack-summary")).to_contain_text("runs past its line")
    _check_profile_is_the_package_s(page, store, PLATE_FRAMES - 1)
    # The plate is open all along the line: its opening reads the lips' parting.
    assert np.nanmedian(_shown_profile(page)[:, 1]) == pytest.approx(
        OPENING_STEP * (PLATE_FRAMES - 1), abs=0.1)

    # The middle vertex dragged: kept there, and the profile measured again on the new line.
    page.mouse.move(*_at(page, 80, LINE_Y))
    page.mouse.down()
    page.mouse.move(*_at(page, 90, LINE_Y), steps=4)
    page.mouse.up()
    expect(page.get_by_test_id("crack-list")).to_contain_text("(90.")
    assert 89 < _saved(store)[0]["points"][1][0] < 91
    _check_profile_is_the_package_s(page, store, PLATE_FRAMES - 1)
    # At another frame the same crack reads that frame's column.
    set_number(page, "frame-index", 1)
    expect(page.get_by_test_id("crack-summary")).to_contain_text("frame 1:")
    _check_profile_is_the_package_s(page, store, 1)
    # The reference frame: nothing open yet, and the card says so rather than show a tip.
    set_number(page, "frame-index", 0)
    expect(page.get_by_test_id("crack-summary")).to_contain_text("no open crack")
    expect(svg.get_by_test_id("crack-tip")).to_have_count(0)
    # A material asks for K: this store has no scale, and the card says so instead.
    set_number(page, "crack-young", 70000)
    set_number(page, "crack-poisson", 0.3)
    expect(page.get_by_test_id("crack-summary")).to_contain_text("K needs lengths in mm")

    # A new tab opening the store alone shows the crack again, measured.
    other = page.context.new_page()
    other.goto(page.url)
    other.get_by_test_id("store-path").fill("plate.zarr")
    other.get_by_test_id("open-project").click()
    expect(other.get_by_test_id("run-status")).to_have_text("done")
    expect(other.get_by_test_id("crack-name-0")).to_have_value("crack 1")
    expect(other.get_by_test_id("crack-young")).to_have_value("70000")
    expect(other.get_by_test_id("image-view").locator("svg").get_by_text(
        "crack 1", exact=True)).to_have_count(1)
    set_number(other, "frame-index", PLATE_FRAMES - 1)
    expect(other.get_by_test_id("crack-summary")).to_contain_text("K needs lengths in mm")
    _check_profile_is_the_package_s(other, store, PLATE_FRAMES - 1)

    # Deleted: gone from the list, the picture and the store's project.
    other.get_by_test_id("crack-delete-0").click()
    expect(other.get_by_test_id("crack-row-0")).to_have_count(0)
    assert _saved(store) == []


@pytest.mark.parametrize("finish", ["button", "double click"])
def test_a_self_crossing_crack_shows_the_message_and_is_not_kept(
        browser, root: pathlib.Path, finish: str) -> None:
    page = browser
    open_project(page)
    expect(page.get_by_test_id("run-status")).to_be_visible()
    _pick(page, "Crack")
    corners = [(40, 40), (120, 120), (120, 40), (40, 120)]
    for x, y in corners[:-1]:
        page.mouse.click(*_at(page, x, y, SHAPE))
    if finish == "button":
        page.mouse.click(*_at(page, *corners[-1], SHAPE))
        page.get_by_test_id("crack-finish").click()
    else:
        page.mouse.dblclick(*_at(page, *corners[-1], SHAPE))
    expect(page.get_by_test_id("error-message")).to_contain_text(
        "crack 'crack 1' is self-intersecting: segment 0 crosses segment 2")
    expect(page.get_by_test_id("crack-row-0")).to_have_count(0)
    # One click is not a crack either; the message says what a crack needs.
    page.mouse.click(*_at(page, 50, 50, SHAPE))
    page.get_by_test_id("crack-finish").click()
    expect(page.get_by_test_id("error-message")).to_contain_text(
        "needs at least 2 vertices, got 1")
    expect(page.get_by_test_id("crack-row-0")).to_have_count(0)


def test_k_shown_with_a_scale_is_the_package_s_fit(browser, root: pathlib.Path) -> None:
    import re

    from morvex.crack import Material

    page = browser
    write_opened_plate(root / "plate")
    open_project(page, "plate/img_000.tif", "plate", "plate.zarr")
    set_number(page, "setting-scale-mm-per-px", 0.01)
    run_to(page, "done")
    set_number(page, "frame-index", PLATE_FRAMES - 1)
    _pick(page, "Crack")
    page.mouse.click(*_at(page, 30, LINE_Y))
    page.mouse.dblclick(*_at(page, 80, LINE_Y))
    expect(page.get_by_test_id("crack-name-0")).to_have_value("crack 1")
    set_number(page, "crack-young", 70000)
    set_number(page, "crack-poisson", 0.3)
    page.get_by_test_id("crack-plane").click()
    page.get_by_role("option", name="plane stress", exact=True).click()
    summary = page.get_by_test_id("crack-summary")
    expect(summary).to_contain_text("K_I")
    expect(summary).not_to_contain_text("measuring")
    store = root / "plate.zarr"
    dataset = morvex.open_store(store)
    expected = measure_cracks(dataset, [_saved(store)[0]["points"]],
                              material=Material(70000.0, 0.3, "stress"),
                              pixel_size_mm=None if "x_mm" in dataset else 0.01)
    shown = {name: float(value) for name, value in re.findall(
        r"(K_I|K_II|T) (-?[0-9.]+(?:e[-+]?\d+)?)", summary.inner_text())}
    for name in ("K_I", "K_II", "T"):
        assert shown[name] == pytest.approx(expected[name].values[0, -1], rel=1e-3,
                                            abs=1e-9), name
    # Lengths in mm, as the page shows them with a scale.
    expect(summary).to_contain_text(" mm, growth")


def test_find_crack_adds_the_line_the_field_shows(browser, root: pathlib.Path) -> None:
    page = browser
    write_opened_plate(root / "plate")
    open_project(page, "plate/img_000.tif", "plate", "plate.zarr")
    run_to(page, "done")
    # The reference frame: whole, so nothing is found, and the page says so.
    set_number(page, "frame-index", 0)
    page.get_by_test_id("crack-find").click()
    expect(page.get_by_test_id("error-message")).to_contain_text("no crack found in frame 0")
    expect(page.get_by_test_id("crack-row-0")).to_have_count(0)
    set_number(page, "frame-index", PLATE_FRAMES - 1)
    page.get_by_test_id("crack-find").click()
    expect(page.get_by_test_id("crack-name-0")).to_have_value("crack 1")
    expect(page.get_by_test_id("crack-row-1")).to_have_count(0)
    points = np.array(_saved(root / "plate.zarr")[0]["points"])
    # Across the whole field the card measures (the grid and half a step, 10.5 ... 143.5
    # px here), placed by the frame's images between the two rows the cut runs between (the
    # page keeps a tenth of a pixel).
    field = morvex.crack.field_bounds(morvex.open_store(root / "plate.zarr").drop_vars(
        "reference_image", errors="ignore"))
    assert sorted(points[[0, -1], 0]) == [field[0], field[1]]
    np.testing.assert_allclose(points[:, 1], LINE_Y, atol=0.4)
    expect(page.get_by_test_id("crack-summary")).to_contain_text("crack 1, frame 2: tip")
    assert np.nanmedian(_shown_profile(page)[:, 1]) == pytest.approx(
        OPENING_STEP * (PLATE_FRAMES - 1), abs=0.1)
