"""Each probe value's σ from the store's σu, σv, on fields where it is known by hand, and the
probe rows' text: every value rounded to its σ (no browser)."""

from __future__ import annotations

import math

import numpy as np
import pytest
import xarray as xr

from morvex.app.cards.probes import _values_text
from morvex.app.probe_sigma import field_sigma, probe_sigmas, table_scale
from morvex.probe import Extensometer, Gauge, Point, Section, probe

XS = np.arange(10.0, 91.0, 8.0)   # 11 columns, grid step 8 px
YS = np.arange(6.0, 79.0, 8.0)    # 10 rows
FRAMES = 2
ROUNDING = 1e-12


def sigma_dataset(scale: float | None = None) -> xr.Dataset:
    """σu linear in x (bilinear reproduces it), σv constant, doubling from frame 0 to 1."""
    x, _ = np.meshgrid(XS, YS)
    k = np.array([1.0, 2.0])[:, None, None]
    su = k * (0.01 + 0.0005 * x)
    sv = k * 0.02 * np.ones_like(su)
    zeros = np.zeros_like(su)
    data = {name: (("frame", "y", "x"), zeros) for name in ("u", "v", "exx", "eyy", "exy")}
    data |= {"sigma_u": (("frame", "y", "x"), su), "sigma_v": (("frame", "y", "x"), sv)}
    coords: dict[str, object] = {"frame": np.arange(FRAMES), "x": XS, "y": YS}
    if scale is not None:
        data |= {"u_mm": (("frame", "y", "x"), zeros), "v_mm": (("frame", "y", "x"), zeros)}
        coords |= {"x_mm": ("x", XS * scale), "y_mm": ("y", YS * scale)}
    return xr.Dataset(data, coords=coords)


def su_at(x: float, frame: int) -> float:
    return (frame + 1) * (0.01 + 0.0005 * x)


def sv_at(frame: int) -> float:
    return (frame + 1) * 0.02


@pytest.mark.parametrize("scale, unit", [(None, "px"), (0.025, "mm")])
def test_a_point_carries_the_sigma_where_it_sits(scale: float | None, unit: str) -> None:
    ds = sigma_dataset(scale)
    sigmas = probe_sigmas(ds, Point(37.0, 21.0))
    per_px = scale or 1.0
    for frame in range(FRAMES):
        assert sigmas[f"u [{unit}]"][frame] == pytest.approx(su_at(37.0, frame) * per_px,
                                                             abs=ROUNDING)
        assert sigmas[f"v [{unit}]"][frame] == pytest.approx(sv_at(frame) * per_px,
                                                             abs=ROUNDING)
        # A central difference over two grid steps (16 px).
        assert sigmas["exx [%]"][frame] == pytest.approx(
            100 * math.sqrt(2) * su_at(37.0, frame) / 16, abs=ROUNDING)
    # The page's field σ in stored units: px for u, a fraction for a strain.
    assert table_scale(ds) == (unit, pytest.approx(per_px))
    assert field_sigma(sigmas, "u", *table_scale(ds))[1] == pytest.approx(su_at(37.0, 1))
    assert field_sigma(sigmas, "magnitude", *table_scale(ds))[0] == pytest.approx(
        math.hypot(su_at(37.0, 0), sv_at(0)))
    assert field_sigma(sigmas, "eyy", *table_scale(ds))[0] == pytest.approx(
        math.sqrt(2) * sv_at(0) / 16)
    assert field_sigma(sigmas, "zncc", *table_scale(ds)) is None


@pytest.mark.parametrize("ends", [((20.0, 30.0), (80.0, 30.0)),    # along x: σu only
                                  ((50.0, 10.0), (50.0, 70.0)),    # along y: σv only
                                  ((14.0, 12.0), (74.0, 72.0))])   # diagonal: both
def test_an_extensometer_sums_its_ends_sigma_along_the_segment(ends) -> None:
    (x0, y0), (x1, y1) = ends
    length = math.dist(*ends)
    cos, sin = (x1 - x0) / length, (y1 - y0) / length
    sigmas = probe_sigmas(sigma_dataset(), Extensometer(x0, y0, x1, y1))
    for frame in range(FRAMES):
        expected = math.sqrt(sum((cos * su_at(x, frame)) ** 2 + (sin * sv_at(frame)) ** 2
                                 for x in (x0, x1)))
        assert sigmas["elongation [px]"][frame] == pytest.approx(expected, abs=ROUNDING)
        assert sigmas["strain [%]"][frame] == pytest.approx(100 * expected / length,
                                                            abs=ROUNDING)


def test_a_gauge_and_a_section_take_their_extent_as_the_base() -> None:
    ds = sigma_dataset()
    # Grid points inside: x 18 ... 50 (5 columns, median σu at x = 34), y 14 ... 46.
    gauge = probe_sigmas(ds, Gauge.rectangle(17, 13, 51, 47))
    assert gauge["exx [%]"][0] == pytest.approx(100 * math.sqrt(2) * su_at(34, 0) / 32)
    assert gauge["eyy [%]"][1] == pytest.approx(100 * math.sqrt(2) * sv_at(1) / 32)
    assert set(gauge) == {"exx [%]", "eyy [%]", "exy [%]"}
    # A horizontal section: no extent in y, so two grid steps there.
    section = probe_sigmas(ds, Section(((10.0, 30.0), (90.0, 30.0))))
    assert section["exx [%]"][0] == pytest.approx(100 * math.sqrt(2) * su_at(50, 0) / 80)
    assert section["eyy [%]"][0] == pytest.approx(100 * math.sqrt(2) * sv_at(0) / 16)


def test_a_store_without_sigma_gives_none() -> None:
    ds = sigma_dataset().drop_vars(["sigma_u", "sigma_v"])
    assert probe_sigmas(ds, Point(30.0, 30.0)) == {}
    assert field_sigma({}, "u", "px", 1.0) is None


def test_a_probe_row_shows_each_value_to_its_sigma() -> None:
    ds = sigma_dataset()
    ds["u"] = ds["u"] + 0.123456789
    ds["exx"] = ds["exx"] + 0.00213456
    items = [Point(37.0, 21.0, "P1"), Gauge.rectangle(17, 13, 51, 47, "G1")]
    table = probe(ds, items)
    sigmas = probe_sigmas(ds, items[0])
    text = _values_text(table[[c for c in table.columns if c.startswith("P1 ")]], 1, "P1",
                        sigmas)
    # σu at x = 37 in frame 1 is 0.057 px; σv 0.04 px; σexx 0.504 %.
    assert text.startswith("u [px] 0.12 ± 0.06  v [px] 0.00 ± 0.04  exx [%] 0.2 ± 0.5")
    gauge = _values_text(table[[c for c in table.columns if c.startswith("G1 ")]], 0, "G1",
                         probe_sigmas(ds, items[1]))
    assert gauge.endswith("points 25")
    assert "exx [%] 0.21 ± 0.12" in gauge
    # No σ known (a frame measured against itself): four significant digits.
    assert _values_text(table[["P1 u [px]"]], 0, "P1", {}) == "u [px] 0.1235"
    assert _values_text("outside the grid", 0, "P1", {}) == "outside the grid"
