"""Guided results as labelled xarray datasets, and back (a stored frame starts the next one).

QUANTITIES is the one table of what every output holds, in its order, with units.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from . import _guided
from ._status import STATUS_CODES, STATUS_MEANINGS, Status
from .settings import Settings

if TYPE_CHECKING:
    import xarray as xr

STATUS_CANCELLED = int(Status.CANCELLED)
STRAINS = ("exx", "eyy", "exy")


class Quantity(NamedTuple):
    """One column of every output: its name, unit, meaning, role and behaviour when y flips.

    `unit` is what files say: "px", "mm", "fraction" (a dimensionless ratio shown in % on
    screen: 0.01 is 1 %), "1" (another dimensionless number), or "" for an index, a name, a
    flag or a count. `role` is "position", "measured" (a float variable of the library's
    result), "calibrated" (with scale_mm_per_px) or "flag". `mirrored` is True for what
    changes sign when y points up instead of down (y, v, the shear, the cross gradients).
    """

    name: str
    unit: str
    description: str
    role: str
    mirrored: bool = False


# The library's fields (morvex._guided.FIELDS) give the order and units of everything it
# measures; the package adds the frame's index and name before them, and the millimetre
# positions and displacements after the pixel ones. The second-order terms of a quadratic
# subset stay in the library's result (see FIELDS' "second_order" role): they shape the
# subset's fit and are not stored. CSV columns, NetCDF and Zarr variables, VTK arrays and the
# dataset's data_vars follow this order; a variable missing from it comes after, in name order.
_BEFORE = (Quantity("frame", "", "frame index in the measured order", "position"),
           Quantity("frame_name", "", "frame name: file name, file.tif[page] or array k",
                    "position"))
_AFTER = {"y": (Quantity("x_mm", "mm", "x in mm", "position"),
                Quantity("y_mm", "mm", "y in mm", "position", True)),
          "v": (Quantity("u_mm", "mm", "u in mm", "calibrated"),
                Quantity("v_mm", "mm", "v in mm", "calibrated", True))}
STORED_ROLES = ("position", "measured", "flag")
# What the specimen plane, the rigid-motion removal and the strain measures add (settings
# camera, plane, scale; remove_rigid_motion; strain_measures), after the library's fields.
_DERIVED = (
    Quantity("sigma_u_mm", "mm", "one-sigma uncertainty of u_mm", "calibrated"),
    Quantity("sigma_v_mm", "mm", "one-sigma uncertainty of v_mm", "calibrated"),
    Quantity("exx_plane", "fraction", "strain tensor xx in plane coordinates", "calibrated"),
    Quantity("eyy_plane", "fraction", "strain tensor yy in plane coordinates", "calibrated"),
    Quantity("exy_plane", "fraction", "strain tensor xy in plane coordinates", "calibrated",
             True),
    Quantity("u_rel", "px", "u with the frame's rigid motion removed", "derived"),
    Quantity("v_rel", "px", "v with the frame's rigid motion removed", "derived", True),
    Quantity("u_mm_rel", "mm", "u_mm with the frame's rigid motion removed", "derived"),
    Quantity("v_mm_rel", "mm", "v_mm with the frame's rigid motion removed", "derived", True),
    Quantity("e1", "fraction", "major principal strain", "derived"),
    Quantity("e2", "fraction", "minor principal strain", "derived"),
    Quantity("e1_angle", "degree", "direction of e1 from x towards y", "derived", True),
    Quantity("max_shear", "fraction", "largest tensor shear strain (e1 - e2) / 2", "derived"),
    Quantity("von_mises", "fraction", "von Mises equivalent strain", "derived"),
    Quantity("exx_log", "fraction", "logarithmic (true) strain xx", "derived"),
    Quantity("eyy_log", "fraction", "logarithmic (true) strain yy", "derived"),
    Quantity("exy_log", "fraction", "logarithmic (true) strain xy", "derived", True),
)


def _quantities() -> tuple[Quantity, ...]:
    out = list(_BEFORE)
    for field in _guided.FIELDS:
        if field["role"] not in STORED_ROLES:
            continue
        name = str(field["name"])
        out.append(Quantity(name, str(field["unit"]), str(field["description"]),
                            str(field["role"]), bool(field["mirrored"])))
        out.extend(_AFTER.get(name, ()))
    out.extend(_DERIVED)
    return tuple(out)


QUANTITIES: tuple[Quantity, ...] = _quantities()
QUANTITY = {q.name: q for q in QUANTITIES}
POSITIONS = tuple(q.name for q in QUANTITIES if q.role == "position")
# Variables of a frame as the library returns them.
FLOAT_VARIABLES = tuple(q.name for q in QUANTITIES if q.role == "measured")
FIELD_VARIABLES = FLOAT_VARIABLES + tuple(q.name for q in QUANTITIES if q.role == "flag")


def attribute_units(unit: str) -> str:
    """The `units` attribute of NetCDF and Zarr for a table unit (CF: a ratio is "1")."""
    return "1" if unit == "fraction" else unit


def ordered(dataset: xr.Dataset) -> xr.Dataset:
    """`dataset` with its data variables in the table's order and every unit attribute set.

    Variables missing from the table follow in name order, then those not on the grid
    (reference_image, mask). Attributes already present are kept.
    """
    names = [str(n) for n in dataset.data_vars]
    rank = {q.name: k for k, q in enumerate(QUANTITIES)}
    on_grid = [n for n in names if dataset[n].dims[-2:] == ("y", "x")]
    order = (sorted(on_grid, key=lambda n: (rank.get(n, len(rank)), n))
             + sorted(n for n in names if n not in on_grid))
    # A shallow copy: new variables (own attribute dicts) over the same arrays.
    result = (dataset[order] if order != names else dataset).copy(deep=False)
    for name, variable in result.variables.items():
        quantity = QUANTITY.get(str(name))
        if quantity is None:
            continue
        if quantity.unit:
            variable.attrs.setdefault("units", attribute_units(quantity.unit))
        variable.attrs.setdefault("long_name", quantity.description)
    return result


def version() -> str:
    from importlib import metadata  # tens of ms: only when a version is asked for

    try:
        return metadata.version("morvex")
    except metadata.PackageNotFoundError:
        return "unknown"


def dataset_from_result(result: dict[str, Any], settings: Settings,
                        reference: np.ndarray | None = None,
                        extra_attrs: dict[str, Any] | None = None) -> xr.Dataset:
    """One measured frame as a dataset with dims (y, x) in image pixels.

    Invalid points hold NaN in every float variable, whatever the solver left there.
    """
    import xarray as xr

    valid = np.asarray(result["valid"], dtype=bool)
    data_vars: dict[str, Any] = {}
    for name in FLOAT_VARIABLES:
        values = np.array(result[name], dtype=np.float64)
        values[~valid] = np.nan
        data_vars[name] = (("y", "x"), values, _attrs(name))
    data_vars["valid"] = (("y", "x"), valid, _attrs("valid"))
    data_vars["status"] = (("y", "x"), np.asarray(result["status"], dtype=np.uint8),
                           {"flag_values": np.asarray(STATUS_CODES, dtype=np.uint8),
                            "flag_meanings": STATUS_MEANINGS, **_attrs("status")})
    data_vars["iterations"] = (("y", "x"), np.asarray(result["iterations"], dtype=np.int32),
                               _attrs("iterations"))
    coords = {"y": ("y", np.asarray(result["y"])[:, 0].astype(np.float64), _attrs("y")),
              "x": ("x", np.asarray(result["x"])[0, :].astype(np.float64), _attrs("x"))}
    if reference is not None:
        data_vars["reference_image"] = (("row", "col"), reference.astype(np.float32),
                                        {"long_name": "reference image (grey)", "units": "1"})
    dataset = xr.Dataset(data_vars, coords=coords, attrs=run_attrs(settings, extra_attrs))
    dataset = add_calibration(dataset, settings.scale_mm_per_px)
    if settings.on_plane or settings.remove_rigid_motion or settings.strain_measures:
        from .metric import apply_settings

        dataset = apply_settings(dataset, settings)
    return ordered(dataset)


def run_attrs(settings: Settings, extra: dict[str, Any] | None = None) -> dict[str, Any]:
    attrs = {"title": "Morvex guided digital image correlation",
             "morvex_version": version(),
             "morvex_settings": settings.to_json(),
             "coordinates_note": "x, y: subset centres in reference-image pixels, y downwards; "
                                 "pixel centres at integer positions",
             "status_meanings": STATUS_MEANINGS}
    attrs.update(settings.to_attrs())
    if extra:
        attrs.update(extra)
    return attrs


def add_calibration(dataset: xr.Dataset, scale_mm_per_px: float | None) -> xr.Dataset:
    if scale_mm_per_px is None:
        return dataset
    scale = float(scale_mm_per_px)
    return dataset.assign_coords(
        x_mm=("x", dataset["x"].values * scale, _attrs("x_mm")),
        y_mm=("y", dataset["y"].values * scale, _attrs("y_mm")),
    ).assign(u_mm=dataset["u"] * scale, v_mm=dataset["v"] * scale).pipe(
        lambda d: d.assign(u_mm=d["u_mm"].assign_attrs(_attrs("u_mm")),
                           v_mm=d["v_mm"].assign_attrs(_attrs("v_mm"))))


def start_from_result(result: dict[str, Any]) -> dict[str, Any]:
    """The start of the next frame from a result, as a stored frame would give it.

    The same arrays as ``result_from_dataset(dataset_from_result(result))`` (invalid points
    NaN), without building a dataset: a resumed run follows exactly the path of an
    uninterrupted one, and the chain does not wait for the dataset.
    """
    valid = np.asarray(result["valid"], dtype=bool)
    start: dict[str, Any] = {"rows": result["rows"], "cols": result["cols"],
                             "x": np.asarray(result["x"], dtype=np.float64),
                             "y": np.asarray(result["y"], dtype=np.float64)}
    for name in FLOAT_VARIABLES:
        values = np.array(result[name], dtype=np.float64)
        values[~valid] = np.nan
        start[name] = values
    start["valid"] = valid.copy()
    start["status"] = np.ascontiguousarray(result["status"], dtype=np.uint8)
    start["iterations"] = np.ascontiguousarray(result["iterations"], dtype=np.int32)
    return start


def result_from_dataset(frame: xr.Dataset) -> dict[str, Any]:
    """The dictionary morvex._guided takes as ``previous`` from one stored frame (y, x)."""
    rows, cols = frame.sizes["y"], frame.sizes["x"]
    result: dict[str, Any] = {"rows": rows, "cols": cols}
    xs, ys = np.meshgrid(frame["x"].values, frame["y"].values)
    result["x"], result["y"] = xs, ys
    for name in FIELD_VARIABLES:
        result[name] = np.ascontiguousarray(frame[name].values)
    return result


def _attrs(name: str) -> dict[str, str]:
    quantity = QUANTITY[name]
    attrs = {"units": attribute_units(quantity.unit)} if quantity.unit else {}
    attrs["long_name"] = quantity.description
    return attrs
