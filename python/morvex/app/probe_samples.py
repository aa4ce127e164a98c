"""Every field the page can show, read once at every probe through every frame.

A point probe plots the shown field at its nearest grid point and a section maps it along
its length; both are a few hundred values a frame. Sampled for all fields and all probes at
once when the store or the probes change, a change of the shown field picks from them
instead of reading the field through every frame from the store again.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .._errors import MorvexError
from ..probe import Section, section_map, section_maps
from .probe_list import ProbeEntry
from .state import FIELD_LABELS

if TYPE_CHECKING:
    import xarray as xr

# Fields a section can map: what the store holds as numbers (status is a code).
_MAPPED = tuple(name for name in FIELD_LABELS if name not in ("magnitude", "status"))


def section_quantity(field: str, sampled: dict[str, Any]) -> str:
    """What a section maps while `field` is shown: that field when it can, else eyy."""
    return field if field in sampled["sections"] else "eyy"


def sample_fields(ds: xr.Dataset, entries: list[ProbeEntry]) -> dict[str, Any]:
    """``points``: {field: {point name: values per frame at its nearest grid point}};
    ``sections``: {field: {section name: its section_map, or why it has none}}.
    Fields the dataset lacks are left out; the magnitude of (u, v) is derived."""
    xs, ys = np.asarray(ds["x"].values), np.asarray(ds["y"].values)
    points = [e for e in entries if e.kind == "point"]
    rows = np.array([int(np.abs(ys - e.points[0][1]).argmin()) for e in points], dtype=int)
    cols = np.array([int(np.abs(xs - e.points[0][0]).argmin()) for e in points], dtype=int)
    raw: dict[str, np.ndarray] = {}
    for name in FIELD_LABELS:
        if name != "magnitude" and name in ds:
            raw[name] = np.asarray(ds[name].values)[:, rows, cols]
    if "u" in raw and "v" in raw:
        # In the stored precision, as the page's magnitude of the whole field is.
        raw["magnitude"] = np.hypot(raw["u"], raw["v"])
    at_points = {name: {e.name: np.asarray(taken[:, k], dtype=float)
                        for k, e in enumerate(points)} for name, taken in raw.items()}
    sections = [e for e in entries if e.kind == "section"]
    items = [e.to_probe() for e in sections]
    at_sections: dict[str, dict[str, Any]] = {}
    for name in _MAPPED:
        if name not in ds:
            continue
        try:
            maps: list[Any] = section_maps(ds, [i for i in items if isinstance(i, Section)],
                                           name)
        except MorvexError:
            # One section off the grid: each on its own, so the others keep their maps.
            maps = []
            for item in items:
                assert isinstance(item, Section)
                try:
                    maps.append(section_map(ds, item, name))
                except MorvexError as error:
                    maps.append(str(error))
        at_sections[name] = {e.name: m for e, m in zip(sections, maps, strict=True)}
    return {"points": at_points, "sections": at_sections}
