"""The app's probe list: names, colours, checks, and stores saved with one probe of each kind."""

from __future__ import annotations

import pytest

from morvex._errors import MorvexError
from morvex.app.probe_list import PALETTE, ProbeList
from morvex.app.probe_overlay import probe_svg
from morvex.probe import Extensometer, Gauge, Point, Section


def test_names_count_per_kind_and_skip_taken_ones() -> None:
    probes = ProbeList()
    probes.add("extensometer", [(0, 0), (10, 0)])
    probes.add("extensometer", [(0, 5), (10, 5)])
    probes.add("section", [(0, 0), (5, 5), (10, 5)])
    probes.rename(0, "E2x")
    probes.delete(1)
    probes.add("extensometer", [(0, 9), (10, 9)])
    assert [e.name for e in probes.entries] == ["E2x", "S1", "E1"]
    assert len({e.colour for e in probes.entries}) == 3
    assert all(e.colour in PALETTE for e in probes.entries)
    assert probes.probes() == [Extensometer(0, 0, 10, 0, "E2x"),
                               Section(((0, 0), (5, 5), (10, 5)), "S1"),
                               Extensometer(0, 9, 10, 9, "E1")]
    assert probes.last("extensometer") == 2 and probes.last("gauge") is None


@pytest.mark.parametrize("kind, points, message", [
    ("extensometer", [(0, 0), (0.5, 0)], "at least 1 px apart"),
    ("gauge", [(0, 0), (10, 10), (10, 0), (0, 10)], "cross themselves"),
    ("section", [(3, 3)], "at least 2"),
    ("point", [(float("nan"), 1)], "finite"),
    ("circle", [(0, 0)], "unknown probe kind"),
])
def test_a_bad_probe_is_refused_and_not_kept(kind: str, points: list, message: str) -> None:
    probes = ProbeList()
    with pytest.raises(MorvexError, match=message):
        probes.add(kind, points)
    assert not probes


@pytest.mark.parametrize("name, message", [("E2", "already named"), ("a,b", "must be"),
                                           ("  ", "blank")])
def test_a_refused_name_leaves_the_probe_as_it_was(name: str, message: str) -> None:
    probes = ProbeList()
    probes.add("extensometer", [(0, 0), (10, 0)])
    probes.add("extensometer", [(0, 5), (10, 5)])
    with pytest.raises(MorvexError, match=message):
        probes.rename(0, name)
    assert probes.entries[0].name == "E1"


def test_a_rectangle_gauge_dragged_by_a_corner_stays_a_rectangle() -> None:
    probes = ProbeList()
    probes.add("gauge", [(10, 10), (50, 10), (50, 40), (10, 40)])
    probes.move(0, 2, 70, 60)
    assert probes.entries[0].points == [(10, 10), (70, 10), (70, 60), (10, 60)]
    probes.add("extensometer", [(0, 0), (10, 0)])
    with pytest.raises(MorvexError, match="1 px apart"):
        probes.move(1, 1, 0.2, 0)
    assert probes.entries[1].points == [(0, 0), (10, 0)]


def test_old_one_of_each_store_opens_as_a_list_and_round_trips() -> None:
    old = {"point": [120.0, 100.0], "line": [[60, 80], [180, 80]],
           "extensometer": [[60, 100], [180, 100]], "gauge": [[160, 140], [80, 60]]}
    probes = ProbeList.from_saved(old)
    assert probes.probes() == [Point(120, 100, "P1"), Extensometer(60, 100, 180, 100, "E1"),
                               Gauge(((160, 140), (80, 140), (80, 60), (160, 60)), "G1"),
                               Section(((60, 80), (180, 80)), "S1")]
    again = ProbeList.from_saved(probes.to_json())
    assert again.to_json() == probes.to_json()


def test_unreadable_saved_entries_are_left_out_not_fatal() -> None:
    saved = [{"kind": "point", "name": "P1", "points": [[1, 2]]}, "junk",
             {"kind": "extensometer", "points": [[0, 0], [0, 0]]},
             {"kind": "section", "name": "P1", "points": [[0, 0], [9, 9]]}]
    assert [e.name for e in ProbeList.from_saved(saved).entries] == ["P1"]
    assert not ProbeList.from_saved(None)
    assert not ProbeList.from_saved({"extensometer": "x"})


def test_overlay_draws_each_probe_in_its_colour_with_its_name_escaped() -> None:
    probes = ProbeList()
    probes.add("gauge", [(0, 0), (9, 0), (9, 9)], name="<g>")
    probes.add("section", [(0, 0), (5, 5), (9, 5)])
    svg = probe_svg(probes, 400.0)
    assert "&lt;g&gt;</text>" in svg and "<g>" not in svg
    assert svg.count(probes.entries[0].colour) == 6  # fill, outline, 3 corners, name
    assert 'points="0.00,0.00 5.00,5.00 9.00,5.00"' in svg
