"""Seeds from the page: typed, or clicked on the picture with the Seed tool, and reaching the
run as the package's seeds."""

from __future__ import annotations

import json
import pathlib

import pytest
from playwright.sync_api import expect

from morvex._errors import MorvexError
from morvex.app.cards.pattern import parse_seeds, seeds_text

from .conftest import SHAPE
from .helpers import open_project, run_to
from .test_app_view import _choose, _picture


@pytest.mark.parametrize("text, seeds", [
    ("", []), ("10,20", [[10.0, 20.0]]), (" 10,20 ; 30.5,40,1,-2 ;", [[10.0, 20.0],
                                                                       [30.5, 40.0, 1.0, -2.0]])])
def test_typed_seeds_read_as_the_package_takes_them(text, seeds):
    assert parse_seeds(text) == seeds
    assert parse_seeds(seeds_text(seeds)) == seeds


@pytest.mark.parametrize("text, message", [("10", "seed"), ("a,b", "'a,b'"),
                                           ("1,2,3", "seed"), ("1,nan", "finite")])
def test_bad_seeds_are_refused_by_name(text, message):
    with pytest.raises(MorvexError, match=message):
        parse_seeds(text)


@pytest.mark.app
def test_a_seed_clicked_on_the_picture_reaches_the_run(browser, root: pathlib.Path) -> None:
    page = browser
    open_project(page)
    _choose(page, "Seed (where to start)")
    picture = _picture(page)
    page.mouse.click(picture["x"] + 0.5 * picture["width"], picture["y"] + 0.5 * picture["height"])
    box = page.get_by_test_id("setting-seeds")
    expect(box).not_to_have_value("")
    x, y = (float(v) for v in box.input_value().split(","))
    rows, cols = SHAPE
    assert abs(x - cols / 2) <= 2 and abs(y - rows / 2) <= 2
    run_to(page, "done")
    saved = json.loads((root / "results.zarr" / "morvex_app.json").read_text())
    assert saved["settings"]["seeds"] == [[x, y]]
