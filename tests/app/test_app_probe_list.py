"""Probes as a list on the page: drawn, named, kept with the store, read as morvex.probe reads."""

from __future__ import annotations

import json
import pathlib
import re
import time
from collections.abc import Callable

import numpy as np
from playwright.sync_api import Page, expect

import morvex
from morvex.probe import probe

from .conftest import FRAMES, SHAPE
from .helpers import open_project, run_to, set_number


def _pick(page: Page, tool: str) -> None:
    page.get_by_test_id("tool").click()
    page.get_by_role("option", name=tool, exact=True).click()


def _at(page: Page, fx: float, fy: float) -> tuple[float, float]:
    """Screen position of the image point at fractions (fx, fy) of its width and height."""
    box = page.get_by_test_id("image-view").locator("img").bounding_box()
    assert box is not None
    return box["x"] + box["width"] * fx, box["y"] + box["height"] * fy


def _drag(page: Page, start: tuple[float, float], end: tuple[float, float]) -> None:
    page.mouse.move(*_at(page, *start))
    page.mouse.down()
    page.mouse.move(*_at(page, *end), steps=4)
    page.mouse.up()


def _shown(page: Page, index: int) -> dict[str, tuple[str, str | None]]:
    """The values a probe's row shows: {column without the name: (value, σ or None) as text}."""
    text = page.get_by_test_id(f"probe-values-{index}").inner_text()
    return {m.group(1): (m.group(2), m.group(3)) for m in re.finditer(
        r"([a-z]+(?: \[[^\]]*\])?) (-?[0-9.]+(?:e[-+]?\d+)?|nan)(?: ± ([0-9.]+))?", text)}


def _decimals(text: str) -> int:
    return len(text.partition(".")[2])


def _saved(store: pathlib.Path) -> list[dict]:
    return json.loads((store / "morvex_app.json").read_text())["probes"]


def _package(store: pathlib.Path, saved: list[dict]) -> list[object]:
    made = []
    for item in saved:
        pts = item["points"]
        if item["kind"] == "extensometer":
            made.append(morvex.probe.Extensometer(*pts[0], *pts[1], item["name"]))
        elif item["kind"] == "section":
            made.append(morvex.probe.Section(tuple(map(tuple, pts)), item["name"]))
        elif item["kind"] == "gauge":
            made.append(morvex.probe.Gauge(tuple(map(tuple, pts)), item["name"]))
        else:
            made.append(morvex.probe.Point(*pts[0], item["name"]))
    return made


def _check_rows_match_package(page: Page, root: pathlib.Path, names: list[str],
                              frame: int = FRAMES - 1, store_name: str = "results.zarr") -> None:
    store = root / store_name
    saved = _saved(store)
    assert [item["name"] for item in saved] == names
    table = probe(morvex.open_store(store), _package(store, saved))
    for index, name in enumerate(names):
        expect(page.get_by_test_id(f"probe-values-{index}")).not_to_have_text("")
        shown = _shown(page, index)
        columns = [c for c in table.columns if c.startswith(f"{name} ")]
        assert shown and set(shown) == {c[len(name) + 1:] for c in columns}
        for column in columns:
            expected = float(table[column].iloc[frame])
            value, sigma = shown[column[len(name) + 1:]]
            if column.endswith((" points", " samples")):
                assert int(value) == expected, column
                continue
            # Every value carries its σ from the store and no more digits than it: off the
            # package's number by at most half its last digit.
            assert sigma is not None and float(sigma) > 0, (column, value)
            assert _decimals(value) == _decimals(sigma), (column, value, sigma)
            assert abs(float(value) - expected) <= 0.5 * 10.0 ** -_decimals(value) + 1e-12, (
                column, value, expected)


def test_two_extensometers_and_a_section_kept_and_read_as_the_package_reads(
        browser, root: pathlib.Path) -> None:
    page = browser
    open_project(page)
    run_to(page, "done")
    set_number(page, "frame-index", FRAMES - 1)
    _pick(page, "Extensometer")
    _drag(page, (0.3, 0.4), (0.7, 0.4))
    _drag(page, (0.3, 0.6), (0.6, 0.7))
    _pick(page, "Section")
    for fx, fy in ((0.25, 0.3), (0.5, 0.5), (0.75, 0.5)):
        page.mouse.click(*_at(page, fx, fy))
    page.get_by_test_id("section-finish").click()
    expect(page.get_by_test_id("probe-row-2")).to_be_visible()
    expect(page.get_by_test_id("probe-delete-3")).to_have_count(0)
    for index, name in enumerate(("E1", "E2", "S1")):
        expect(page.get_by_test_id(f"probe-name-{index}")).to_have_value(name)
    # Each probe drawn in its own colour, named on the image.
    svg = page.get_by_test_id("image-view").locator("svg")
    for name in ("E1", "E2", "S1"):
        expect(svg.get_by_text(name, exact=True)).to_have_count(1)
    saved = _saved(root / "results.zarr")
    assert len({item["colour"] for item in saved}) == 3
    assert len(saved[2]["points"]) == 3
    # The section's map: one image of position x frame.
    expect(page.get_by_test_id("section-map-S1").locator("img")).to_have_count(1)
    _check_rows_match_package(page, root, ["E1", "E2", "S1"])
    # Another field (the magnitude, which the page derives from u and v) redraws the
    # section's map from that field; the rows' values stay the package's.
    before = page.get_by_test_id("section-map-S1").inner_text()
    page.get_by_test_id("field-select").select_option("magnitude")
    expect(page.get_by_test_id("section-map-S1")).not_to_have_text(before)
    expect(page.get_by_test_id("error-message")).to_be_hidden()
    _check_rows_match_package(page, root, ["E1", "E2", "S1"])

    # Renamed, then a new tab opens the store alone and shows the list, values filled.
    name_box = page.get_by_test_id("probe-name-1")
    name_box.fill("top")
    name_box.press("Enter")
    expect(page.get_by_test_id("probe-name-1")).to_have_value("top")
    other = page.context.new_page()
    other.goto(page.url)
    other.get_by_test_id("store-path").fill("results.zarr")
    other.get_by_test_id("open-project").click()
    expect(other.get_by_test_id("run-status")).to_have_text("done")
    set_number(other, "frame-index", FRAMES - 1)
    for index, name in enumerate(("E1", "top", "S1")):
        expect(other.get_by_test_id(f"probe-name-{index}")).to_have_value(name)
    expect(other.get_by_test_id("gauge-x1")).not_to_have_value("")
    _check_rows_match_package(other, root, ["E1", "top", "S1"])

    # Deleting one leaves the others and their names.
    other.get_by_test_id("probe-delete-0").click()
    expect(other.get_by_test_id("probe-name-0")).to_have_value("top")
    expect(other.get_by_test_id("probe-row-2")).to_have_count(0)
    assert [item["name"] for item in _saved(root / "results.zarr")] == ["top", "S1"]


def _settled(check: Callable[[], None], seconds: float = 20.0) -> None:
    """`check` once it passes: the page shows a change's values a moment after the change
    (the bound only ends a wait that would hang)."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            check()
            return
        except AssertionError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


# One probe of each kind on the test sequence (200 x 240 px), as the project file keeps them.
ONE_OF_EACH = [
    {"kind": "point", "name": "P1", "colour": "#e6194b", "points": []},
    {"kind": "extensometer", "name": "E1", "colour": "#3cb44b",
     "points": [[60.0, 100.0], [180.0, 110.0]]},
    {"kind": "gauge", "name": "G1", "colour": "#4363d8",
     "points": [[80.0, 60.0], [160.0, 60.0], [150.0, 140.0], [80.0, 140.0]]},
    {"kind": "section", "name": "S1", "colour": "#f58231",
     "points": [[60.0, 80.0], [120.0, 125.0], [180.0, 80.0]]}]


def test_every_probes_values_follow_frame_and_field_changes_as_the_package_reads(
        browser, root: pathlib.Path) -> None:
    store = root / "probed.zarr"
    job = morvex.Job(str(root / "frames"), store=store, subset=31, step=9)
    assert job.start().wait(120) == morvex.JobState.DONE
    measured = morvex.open_store(store)
    # The Point on a grid point: the box shows the field there as the picture does.
    probes = [{**ONE_OF_EACH[0], "points": [[float(measured.x[12]), float(measured.y[9])]]},
              *ONE_OF_EACH[1:]]
    (store / "morvex_app.json").write_text(json.dumps({
        "reference": "frames/img_000.tif", "frames": "frames", "probes": probes}))
    point = probe(measured, _package(store, probes[:1]))
    page = browser
    open_project(page, "", "", "probed.zarr")
    expect(page.get_by_test_id("run-status")).to_have_text("done")
    names = [item["name"] for item in probes]
    # Frames and fields in the order a hand changes them: each change alone, the rows and
    # the Point's box on the frame and field shown, never those of the change before.
    for frame, field in ((1, "exx"), (1, "u"), (2, "u"), (2, "v"), (3, "exx"), (1, "v")):
        page.get_by_test_id("field-select").select_option(field)
        set_number(page, "frame-index", frame)
        _settled(lambda frame=frame: _check_rows_match_package(page, root, names, frame,
                                                               "probed.zarr"))
        column = f"P1 {field} [{'%' if field == 'exx' else 'px'}]"
        expected = float(point[column].iloc[frame])

        def box_shows(expected: float = expected) -> None:
            shown = page.get_by_test_id("probe-value").inner_text().split(" ± ")[0]
            assert abs(float(shown) - expected) <= 0.5 * 10.0 ** -_decimals(shown) + 1e-12, (
                shown, expected)

        _settled(box_shows)
    expect(page.get_by_test_id("error-message")).to_be_hidden()


def test_a_store_saved_with_one_of_each_probe_opens_as_a_list(browser,
                                                              root: pathlib.Path) -> None:
    mask = np.zeros(SHAPE, dtype=bool)
    mask[10:190, 10:230] = True
    store = root / "old.zarr"
    job = morvex.Job(str(root / "frames"), store=store, subset=31, step=9, mask=mask)
    assert job.start().wait(120) == morvex.JobState.DONE
    (store / "morvex_app.json").write_text(json.dumps({
        "reference": "frames/img_000.tif", "frames": "frames",
        "probes": {"point": [120.0, 100.0], "line": [[60.0, 80.0], [180.0, 80.0]],
                   "extensometer": [[60.0, 100.0], [180.0, 100.0]],
                   "gauge": [[80.0, 60.0], [160.0, 140.0]]}}))
    page = browser
    open_project(page, "", "", "old.zarr")
    expect(page.get_by_test_id("run-status")).to_have_text("done")
    for index, (name, where) in enumerate((
            ("P1", "px (120.0, 100.0)"), ("E1", "px (60.0, 100.0) (180.0, 100.0)"),
            ("G1", "px (80.0, 60.0) (160.0, 60.0) (160.0, 140.0) (80.0, 140.0)"),
            ("S1", "px (60.0, 80.0) (180.0, 80.0)"))):
        expect(page.get_by_test_id(f"probe-name-{index}")).to_have_value(name)
        expect(page.get_by_test_id(f"probe-where-{index}")).to_have_text(where)
    expect(page.get_by_test_id("probe-x")).to_have_value("120.0")
    expect(page.get_by_test_id("gauge-x1")).to_have_value("180.0")


def test_test_data_at_50_hz_synchronised_by_a_frame_rate_in_the_probes_csv(
        browser, root: pathlib.Path) -> None:
    import pandas as pd

    # A machine log at 50 Hz, curved so a wrong interpolation shows; frames at 7 Hz from 0.05 s.
    t = np.arange(51) / 50.0
    load = 2.0 + np.sin(7.0 * t)
    travel = t ** 2
    (root / "machine.csv").write_text("time_s,load [kN],travel [mm]\n" + "".join(
        f"{a!r},{b!r},{c!r}\n" for a, b, c in zip(t.tolist(), load.tolist(), travel.tolist(),
                                                 strict=True)))
    page = browser
    open_project(page)
    run_to(page, "done")
    for name, value in (("gauge-x0", 60), ("gauge-y0", 100), ("gauge-x1", 180),
                        ("gauge-y1", 100)):
        set_number(page, name, value)
    expect(page.get_by_test_id("probe-name-0")).to_have_value("E1")
    page.get_by_test_id("load-path").fill("machine.csv")
    page.get_by_test_id("frame-times").click()
    page.get_by_role("option", name="frame rate and start").click()
    set_number(page, "frame-rate", 7)
    set_number(page, "frame-start", 0.05)
    set_number(page, "area", 20)
    page.get_by_test_id("load-load").click()
    expect(page.get_by_test_id("test-data-status")).to_contain_text(
        "channels load [kN], travel [mm]; frame times 0.05")

    with page.expect_download() as download:
        page.get_by_test_id("export-probes").click()
    path = download.value.path()
    comments = [line for line in pathlib.Path(path).read_text().splitlines()
                if line.startswith("#")]
    assert any("E1: extensometer, px (60, 100) (180, 100)" in line for line in comments)
    assert any("a frame rate of 7 Hz, the first frame at 0.05 s" in line for line in comments)
    table = pd.read_csv(path, comment="#")
    times = 0.05 + np.arange(FRAMES) / 7.0
    np.testing.assert_allclose(table["time [s]"], times, rtol=1e-12)
    np.testing.assert_allclose(table["load [kN]"], np.interp(times, t, load), rtol=1e-12)
    np.testing.assert_allclose(table["travel [mm]"], np.interp(times, t, travel), rtol=1e-12)
    np.testing.assert_allclose(table["stress [MPa]"], np.interp(times, t, load) * 1000 / 20,
                               rtol=1e-12)
    assert "E1 strain [%]" in table.columns

    # The settings come back with the store.
    other = page.context.new_page()
    other.goto(page.url)
    other.get_by_test_id("store-path").fill("results.zarr")
    other.get_by_test_id("open-project").click()
    expect(other.get_by_test_id("load-path")).to_have_value("machine.csv")
    expect(other.get_by_test_id("frame-rate")).to_have_value("7")
    expect(other.get_by_test_id("test-data-status")).to_contain_text("frame times 0.05")


def _screen(page: Page, x: float, y: float) -> tuple[float, float]:
    """Screen position of image pixel (x, y) (pixel centres at whole numbers)."""
    return _at(page, (x + 0.5) / SHAPE[1], (y + 0.5) / SHAPE[0])


def test_ends_and_corners_dragged_on_the_image_move_the_probe(browser,
                                                              root: pathlib.Path) -> None:
    page = browser
    open_project(page)
    run_to(page, "done")
    set_number(page, "frame-index", FRAMES - 1)
    for name, value in (("gauge-x0", 60), ("gauge-y0", 100), ("gauge-x1", 180),
                        ("gauge-y1", 100)):
        set_number(page, name, value)
    _pick(page, "Strain gauge")
    _drag(page, (80 / SHAPE[1], 60 / SHAPE[0]), (160 / SHAPE[1], 140 / SHAPE[0]))
    expect(page.get_by_test_id("probe-name-1")).to_have_value("G1")
    # The extensometer's second end, then the gauge's third corner, each dragged elsewhere.
    for start, end in (((180, 100), (200, 120)), ((160, 140), (190, 170))):
        page.mouse.move(*_screen(page, *start))
        page.mouse.down()
        page.mouse.move(*_screen(page, *end), steps=5)
        page.mouse.up()
    expect(page.get_by_test_id("gauge-x1")).not_to_have_value("180.0")
    expect(page.get_by_test_id("probe-where-1")).not_to_contain_text("(160.0, 140.0)")
    expect(page.get_by_test_id("probe-row-2")).to_have_count(0)  # moved, none added
    saved = _saved(root / "results.zarr")
    (x0, y0), (x1, y1) = saved[0]["points"]
    assert (x0, y0) == (60, 100) and abs(x1 - 200) <= 1 and abs(y1 - 120) <= 1
    corners = saved[1]["points"]
    assert len(corners) == 4
    (gx0, gy0), (gx1, gy1) = corners[0], corners[2]
    assert abs(gx0 - 80) <= 1 and abs(gy0 - 60) <= 1
    assert abs(gx1 - 190) <= 1 and abs(gy1 - 170) <= 1
    assert corners[1] == [gx1, gy0] and corners[3] == [gx0, gy1]  # still a rectangle
    _check_rows_match_package(page, root, ["E1", "G1"])


def test_a_polygon_gauge_drawn_kept_and_read_as_the_package_reads(
        browser, root: pathlib.Path) -> None:
    page = browser
    open_project(page)
    run_to(page, "done")
    set_number(page, "frame-index", FRAMES - 1)
    _pick(page, "Strain gauge (polygon)")
    corners = [(60, 50), (200, 70), (150, 180)]
    for x, y in corners[:-1]:
        page.mouse.click(*_screen(page, x, y))
    page.mouse.dblclick(*_screen(page, *corners[-1]))      # the last corner ends it
    expect(page.get_by_test_id("probe-name-0")).to_have_value("G1")
    saved = _saved(root / "results.zarr")
    assert saved[0]["kind"] == "gauge" and len(saved[0]["points"]) == 3
    for (x, y), kept in zip(corners, saved[0]["points"], strict=True):
        assert abs(kept[0] - x) <= 1 and abs(kept[1] - y) <= 1
    # A corner dragged moves that corner alone: a polygon is not kept a rectangle.
    page.mouse.move(*_screen(page, *corners[1]))
    page.mouse.down()
    page.mouse.move(*_screen(page, 210, 90), steps=5)
    page.mouse.up()
    expect(page.get_by_test_id("probe-where-0")).not_to_contain_text("200.")
    moved = _saved(root / "results.zarr")[0]["points"]
    assert abs(moved[1][0] - 210) <= 1 and abs(moved[1][1] - 90) <= 1
    assert moved[0] == saved[0]["points"][0] and moved[2] == saved[0]["points"][2]
    _check_rows_match_package(page, root, ["G1"])
    # Two corners are no polygon: Finish refuses them with a message.
    for x, y in corners[:2]:
        page.mouse.click(*_screen(page, x + 5, y + 90))
    page.get_by_test_id("section-finish").click()
    expect(page.get_by_test_id("error-message")).to_contain_text("at least three corners")
    assert len(_saved(root / "results.zarr")) == 1
