"""All fields sampled at every probe at once read as the probes read each field alone."""

from __future__ import annotations

import numpy as np
import pytest
import xarray as xr

from morvex.app.probe_list import ProbeList
from morvex.app.probe_samples import sample_fields, section_quantity
from morvex.app.probes import point_series
from morvex.probe import Section, section_map

XS = np.arange(10.0, 91.0, 8.0)
YS = np.arange(6.0, 79.0, 8.0)
FRAMES = 3


def random_dataset() -> xr.Dataset:
    rng = np.random.default_rng(7)
    shape = (FRAMES, YS.size, XS.size)
    data = {name: (("frame", "y", "x"), rng.normal(0, 1, shape).astype(np.float32))
            for name in ("u", "v", "exx", "eyy", "exy", "zncc", "sigma_u", "sigma_v")}
    data["status"] = (("frame", "y", "x"), rng.integers(0, 5, shape).astype(np.uint8))
    data["u"][1][2, 3] = np.nan
    return xr.Dataset(data, coords={"frame": np.arange(FRAMES), "x": XS, "y": YS})


def test_every_field_at_every_probe_equals_the_probe_read_alone() -> None:
    ds = random_dataset()
    probes = ProbeList()
    probes.add("point", [(33.3, 20.1)])
    probes.add("point", [(90.0, 78.0)])
    probes.add("section", [(12, 10), (80, 30), (40, 70)])
    probes.add("section", [(20, 60), (85, 60)])
    probes.add("extensometer", [(20, 20), (60, 20)])
    sampled = sample_fields(ds, probes.entries)
    assert set(sampled["points"]) == {"u", "v", "magnitude", "exx", "eyy", "exy", "zncc",
                                      "sigma_u", "sigma_v", "status"}
    for name, series in sampled["points"].items():
        for entry in probes.entries[:2]:
            np.testing.assert_array_equal(series[entry.name],
                                          point_series(ds, name, *entry.points[0]))
    assert "status" not in sampled["sections"] and "magnitude" not in sampled["sections"]
    for name, maps in sampled["sections"].items():
        for entry in probes.entries[2:4]:
            section = entry.to_probe()
            assert isinstance(section, Section)
            xr.testing.assert_identical(maps[entry.name], section_map(ds, section, name))
    assert section_quantity("magnitude", sampled) == "eyy"
    assert section_quantity("zncc", sampled) == "zncc"


def test_a_section_off_the_grid_leaves_the_others_their_maps() -> None:
    ds = random_dataset()
    probes = ProbeList()
    probes.add("section", [(0, 0), (50, 50)])        # starts outside the grid
    probes.add("section", [(20, 60), (85, 60)])
    sampled = sample_fields(ds, probes.entries)
    assert "outside the measured grid" in sampled["sections"]["eyy"]["S1"]
    assert sampled["sections"]["eyy"]["S2"].sizes["frame"] == FRAMES


@pytest.mark.parametrize("missing", [["sigma_u", "sigma_v", "zncc"], ["v"]])
def test_fields_a_store_lacks_are_left_out(missing: list[str]) -> None:
    probes = ProbeList()
    probes.add("point", [(30.0, 30.0)])
    sampled = sample_fields(random_dataset().drop_vars(missing), probes.entries)
    assert not set(missing) & set(sampled["points"])
    assert ("magnitude" in sampled["points"]) is ("v" not in missing)
