"""The app's crack list: names, colours, the lines crack_line refuses, drags, saved files, and
the settings a run is given."""

from __future__ import annotations

import pytest

from morvex._errors import MorvexError
from morvex.app.crack_list import PALETTE, CrackList, clean_draft
from morvex.app.crack_overlay import crack_svg

SHAPE = (100, 120)  # rows, cols of the reference the cracks are drawn on


def test_names_count_up_and_skip_taken_ones_colours_differ() -> None:
    cracks = CrackList(SHAPE)
    cracks.add([(0, 50), (60, 50)])
    cracks.add([(0, 20), (60, 25), (90, 30)])
    cracks.rename(0, "notch")
    cracks.add([(10, 80), (40, 80)])
    cracks.delete(1)
    cracks.add([(10, 90), (40, 90)])
    assert [e.name for e in cracks.entries] == ["notch", "crack 1", "crack 2"]
    assert len({e.colour for e in cracks.entries}) == 3
    assert all(e.colour in PALETTE for e in cracks.entries)
    assert cracks.lines() == [[[0.0, 50.0], [60.0, 50.0]], [[10.0, 80.0], [40.0, 80.0]],
                              [[10.0, 90.0], [40.0, 90.0]]]


@pytest.mark.parametrize("points, message", [
    ([(3, 3)], "needs at least 2 vertices, got 1"),
    ([], "needs at least 2 vertices, got 0"),
    ([(1, 2), (3, 4, 5)], "must be"),
    ([(10, 10), (50, 50), (50, 10), (10, 50)], "self-intersecting: segment 0 crosses "
                                               "segment 2"),
    ([(10, 10), (50, 10), (30, 10)], "self-intersecting"),   # folds back on itself
    ([(10, 10), (10, 10), (30, 10)], "repeats vertex 0"),
    ([(10, 10), (120, 10)], r"outside the field: vertex 1 \(120, 10\)"),  # past col 119
    ([(10, float("nan")), (30, 10)], "not a finite number"),
    ([(1, 2, 3)], "must be"),
    ("abc", "must be"),
])
def test_a_line_crack_line_refuses_is_not_kept(points: object, message: str) -> None:
    cracks = CrackList(SHAPE)
    with pytest.raises(MorvexError, match=message):
        cracks.add(points)
    assert len(cracks) == 0


@pytest.mark.parametrize("name, message", [("crack 2", "already named"), ("  ", "blank")])
def test_a_refused_name_leaves_the_crack_as_it_was(name: str, message: str) -> None:
    cracks = CrackList(SHAPE)
    cracks.add([(0, 50), (60, 50)])
    cracks.add([(0, 20), (60, 20)])
    with pytest.raises(MorvexError, match=message):
        cracks.rename(0, name)
    assert cracks.entries[0].name == "crack 1"


def test_a_vertex_moved_where_the_line_would_cross_itself_stays_put() -> None:
    cracks = CrackList(SHAPE)
    cracks.add([(10, 10), (50, 10), (50, 50), (10, 50)])
    cracks.move(0, 3, 20, 40)
    assert cracks.entries[0].points[3] == (20.0, 40.0)
    with pytest.raises(MorvexError, match="self-intersecting"):
        cracks.move(0, 3, 30, 0)
    assert cracks.entries[0].points[3] == (20.0, 40.0)
    with pytest.raises(MorvexError, match="has no vertex 4"):
        cracks.move(0, 4, 1, 1)
    with pytest.raises(MorvexError, match="no crack number 1"):
        cracks.move(1, 0, 1, 1)


def test_nearest_vertex_within_reach_only() -> None:
    cracks = CrackList(SHAPE)
    cracks.add([(10, 10), (50, 10)])
    cracks.add([(52, 12), (90, 12)])
    assert cracks.nearest_vertex(51.5, 11.5, 4.0) == (1, 0)
    assert cracks.nearest_vertex(50.2, 10.0, 4.0) == (0, 1)
    assert cracks.nearest_vertex(70, 70, 4.0) is None


def test_saved_list_round_trips_and_drops_what_no_longer_fits() -> None:
    cracks = CrackList(SHAPE)
    cracks.add([(0, 50), (60, 50)], colour="#123456")
    cracks.add([(5, 5), (110, 90)], name="long")
    saved = cracks.to_json() + [{"name": "bad", "points": [[1, 1]]}, "junk"]
    again = CrackList.from_saved(saved, SHAPE)
    assert again.to_json() == cracks.to_json()
    # A smaller reference: the crack reaching x = 110 is left out, the other kept.
    smaller = CrackList.from_saved(saved, (60, 80))
    assert [e.name for e in smaller.entries] == ["crack 1"]
    assert len(CrackList.from_saved({"point": [1, 2]})) == 0


@pytest.mark.parametrize("draft, expected", [
    ([], []),
    ([(1.0, 1.0)], [(1.0, 1.0)]),
    # A double click on the last vertex presses there twice.
    ([(1.0, 1.0), (20.0, 1.0), (20.5, 1.5)], [(1.0, 1.0), (20.0, 1.0)]),
    ([(1.0, 1.0), (3.0, 1.0), (3.0, 3.0)], [(1.0, 1.0), (3.0, 1.0), (3.0, 3.0)]),
])
def test_clean_draft_merges_the_presses_of_a_double_click(draft: list, expected: list) -> None:
    assert clean_draft(draft, 2.0) == expected


def test_overlay_names_each_crack_and_marks_only_a_finite_tip() -> None:
    cracks = CrackList(SHAPE)
    cracks.add([(0, 50), (60, 50)])
    cracks.add([(0, 20), (60, 20)], name="a<b")
    svg = crack_svg(cracks, 400.0, {"crack 1": (40.0, 50.0), "a<b": (float("nan"), 20.0)})
    assert svg.count("<polyline") == 2 and svg.count("<rect") == 4
    assert ">crack 1</text>" in svg and ">a&lt;b</text>" in svg
    assert svg.count('data-testid="crack-tip"') == 1 and "M34.00,44.00" in svg


@pytest.mark.parametrize("library_takes_them", [True, False])
def test_run_settings_carry_the_cracks_only_when_the_library_takes_them(
        tmp_path, monkeypatch: pytest.MonkeyPatch, library_takes_them: bool) -> None:
    from morvex import settings
    from morvex.app.paths import Root
    from morvex.app.project import Project

    table = dict(settings.LIBRARY_SETTINGS)
    if library_takes_them:
        table["crack_lines"] = {}
    else:
        table.pop("crack_lines", None)
    monkeypatch.setattr(settings, "LIBRARY_SETTINGS", table)
    project = Project(Root(tmp_path))
    assert project.crack_settings() == {}  # nothing drawn: nothing to pass
    project.cracks.add([(0, 50), (60, 50)])
    expected = {"crack_lines": [[[0.0, 50.0], [60.0, 50.0]]]} if library_takes_them else {}
    assert project.crack_settings() == expected


def test_the_card_measures_each_crack_as_the_package_does_or_says_why_not() -> None:
    import math

    import numpy as np
    import xarray as xr

    from morvex.app.cards.cracks import CrackCard, _measure
    from morvex.crack import Material, measure_cracks, williams_displacement
    from test_crack import MPA, TIP, field

    scale = 0.02  # mm per px, as the page's settings give it

    def displacement(x, y, k):
        return williams_displacement(x * scale, y * scale, (TIP[0] * scale, TIP[1] * scale),
                                     0.0, k_one=12.0 * (k + 1), t_stress=20.0, young=MPA,
                                     poisson=0.3)

    dataset = field(lambda x, y, k: displacement(x, y, k)[0] / scale,
                    lambda x, y, k: displacement(x, y, k)[1] / scale, frames=2)
    line = [(10.0, 100.0), TIP]
    material = Material(MPA, 0.3, "strain")
    shown = _measure(dataset, line, material, scale)
    expected = measure_cracks(dataset, [line], material=material, pixel_size_mm=scale)
    assert isinstance(shown, xr.Dataset)
    xr.testing.assert_identical(shown, expected)
    assert np.all(np.isfinite(shown["K_I"].values)) and shown["K_I"].values[0, 1] > \
        shown["K_I"].values[0, 0]
    # Without a material no fit, and no scale is needed.
    assert "K_I" not in _measure(dataset, line, None, None)
    # Without a scale the opening and tip stay, and the card says why there is no K.
    unscaled = _measure(dataset, line, material, None)
    xr.testing.assert_identical(unscaled.drop_attrs(), measure_cracks(dataset, [line])
                                .drop_attrs())
    assert "K needs lengths in mm" in unscaled.attrs["k_note"]
    # A crack beyond the measured grid is refused by name, on the card, not as a traceback.
    assert "outside the field" in _measure(dataset, [(10.0, 100.0), (260.0, 100.0)], None,
                                           None)
    # Positions in mm without mm displacements (the page's look at a calibrated store): the
    # page's scale stands in, as the package would be asked with --pixel-size.
    positions_only = dataset.assign_coords(x_mm=dataset["x"] * scale, y_mm=dataset["y"] * scale)
    xr.testing.assert_identical(_measure(positions_only, line, material, scale),
                                measure_cracks(positions_only, [line], material=material,
                                               pixel_size_mm=scale))
    assert CrackCard._material({"young": None, "poisson": 0.3}) is None
    with pytest.raises(MorvexError, match="oisson"):
        CrackCard._material({"young": MPA, "poisson": 0.7, "plane": "strain"})
    assert math.isfinite(shown.attrs["distance_px"])
