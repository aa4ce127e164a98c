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
