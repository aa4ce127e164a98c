"""The strain measures people report, from the in-plane strain tensor (exx, eyy, exy).

exy is the tensor's shear (half the engineering shear). Angles are in degrees from the x
axis towards y, in the axes of the tensor's own coordinates (image rows downwards for the
pixel strains, the plane's axes for the plane strains).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from ._errors import MorvexError

if TYPE_CHECKING:
    import xarray as xr

MEASURES = ("green-lagrange", "engineering")


def principal(exx: Any, eyy: Any, exy: Any) -> dict[str, np.ndarray]:
    """e1 >= e2, the direction of e1 (degrees, in (-90, 90]), the largest tensor shear
    (e1 - e2) / 2 and the von Mises equivalent 2/sqrt(3) sqrt(e1^2 + e1 e2 + e2^2) (plane
    stress in an incompressible material: e3 = -(e1 + e2))."""
    exx, eyy, exy = (np.asarray(a, dtype=float) for a in (exx, eyy, exy))
    mean = 0.5 * (exx + eyy)
    radius = np.hypot(0.5 * (exx - eyy), exy)
    e1, e2 = mean + radius, mean - radius
    angle = np.degrees(0.5 * np.arctan2(2.0 * exy, exx - eyy))
    angle = np.where(angle <= -90.0, angle + 180.0, angle)
    von_mises = 2.0 / np.sqrt(3.0) * np.sqrt(e1 * e1 + e1 * e2 + e2 * e2)
    return {"e1": e1, "e2": e2, "e1_angle": angle, "max_shear": radius,
            "von_mises": von_mises}


def logarithmic(exx: Any, eyy: Any, exy: Any, measure: str) -> dict[str, np.ndarray]:
    """The logarithmic (true) strain tensor ln U, U the right stretch, from a Green-Lagrange
    tensor (C = I + 2E) or, for engineering strain, from stretches 1 + e along its principal
    axes. NaN where a stretch would not be positive."""
    if measure not in MEASURES:
        raise MorvexError(f"strain measure must be one of {', '.join(MEASURES)}, got "
                          f"{measure!r}")
    exx, eyy, exy = np.broadcast_arrays(*(np.asarray(a, dtype=float) for a in (exx, eyy, exy)))
    tensor = np.stack([np.stack([exx, exy], -1), np.stack([exy, eyy], -1)], -2)
    finite = np.all(np.isfinite(tensor), axis=(-1, -2))
    tensor = np.where(finite[..., None, None], tensor, 0.0)
    values, vectors = np.linalg.eigh(tensor)
    with np.errstate(invalid="ignore", divide="ignore"):
        green = measure == "green-lagrange"
        logs = 0.5 * np.log(1.0 + 2.0 * values) if green else np.log1p(values)
    out = vectors @ (logs[..., :, None] * np.swapaxes(vectors, -1, -2))
    bad = ~finite | ~np.all(np.isfinite(logs), axis=-1)
    out[bad] = np.nan
    return {"exx_log": out[..., 0, 0], "eyy_log": out[..., 1, 1], "exy_log": out[..., 0, 1]}


UNITS = {"e1": "1", "e2": "1", "e1_angle": "degree", "max_shear": "1", "von_mises": "1",
         "exx_log": "1", "eyy_log": "1", "exy_log": "1"}
MEANINGS = {"e1": "major principal strain", "e2": "minor principal strain",
            "e1_angle": "direction of e1 from the x axis towards y",
            "max_shear": "largest tensor shear strain (e1 - e2) / 2",
            "von_mises": "von Mises equivalent strain (e3 = -(e1 + e2))",
            "exx_log": "logarithmic (true) strain xx", "eyy_log": "logarithmic (true) strain yy",
            "exy_log": "logarithmic (true) strain xy"}


def add_strain_measures(dataset: xr.Dataset, measure: str | None = None) -> xr.Dataset:
    """`dataset` with e1, e2, e1_angle, max_shear, von_mises and exx_log, eyy_log, exy_log
    from exx, eyy, exy; and the same with the suffix _plane from the plane's strains when
    present. `measure` defaults to the run's strain measure."""
    import json

    if measure is None:
        try:
            settings = json.loads(str(dataset.attrs.get("morvex_settings", "{}")))
        except json.JSONDecodeError:
            settings = {}
        measure = str(settings.get("strain_measure", "green-lagrange")) \
            if isinstance(settings, dict) else "green-lagrange"
    out = dataset
    for suffix in ("", "_plane"):
        names = [f"exx{suffix}", f"eyy{suffix}", f"exy{suffix}"]
        if not all(name in dataset for name in names):
            continue
        dims = dataset[names[0]].dims
        exx, eyy, exy = (dataset[name].values for name in names)
        fields = principal(exx, eyy, exy) | logarithmic(exx, eyy, exy, measure)
        out = out.assign({
            f"{name}{suffix}": (dims, values, {"units": UNITS[name],
                                               "long_name": MEANINGS[name]
                                               + (" in plane coordinates" if suffix else "")})
            for name, values in fields.items()})
    return out
