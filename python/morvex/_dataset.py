"""Guided results as labelled xarray datasets, and back (a stored frame starts the next one)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from ._status import STATUS_CODES, STATUS_MEANINGS, Status
from .settings import Settings

if TYPE_CHECKING:
    import xarray as xr

STATUS_CANCELLED = int(Status.CANCELLED)
STRAINS = ("exx", "eyy", "exy")
# Variables of a frame, in the order the CSV columns and VTK arrays follow.
FLOAT_VARIABLES = ("u", "v", "exx", "eyy", "exy", "zncc", "sigma_u", "sigma_v",
                   "du_dx", "du_dy", "dv_dx", "dv_dy")
FIELD_VARIABLES = FLOAT_VARIABLES + ("valid", "status", "iterations")
UNITS = {"u": "px", "v": "px", "exx": "1", "eyy": "1", "exy": "1", "zncc": "1",
         "sigma_u": "px", "sigma_v": "px", "du_dx": "1", "du_dy": "1", "dv_dx": "1",
         "dv_dy": "1", "u_mm": "mm", "v_mm": "mm"}
DESCRIPTIONS = {
    "u": "displacement along x (columns, to the right)",
    "v": "displacement along y (rows, downwards)",
    "exx": "strain tensor xx", "eyy": "strain tensor yy", "exy": "strain tensor xy (tensor, not engineering shear)",
    "zncc": "zero-normalised cross-correlation of the final match",
    "sigma_u": "one-sigma uncertainty of u", "sigma_v": "one-sigma uncertainty of v",
    "du_dx": "displacement gradient of the subset warp", "du_dy": "displacement gradient of the subset warp",
    "dv_dx": "displacement gradient of the subset warp", "dv_dy": "displacement gradient of the subset warp",
    "valid": "True where status is 0 (converged)",
    "iterations": "Gauss-Newton iterations of the accepted start",
}


def version() -> str:
    from importlib import metadata  # tens of ms: only when a version is asked for

    try:
        return metadata.version("morvex")
    except metadata.PackageNotFoundError:
        return "unknown"


def dataset_from_result(result: dict[str, Any], settings: Settings,
                        reference: np.ndarray | None = None,
                        extra_attrs: dict[str, Any] | None = None) -> "xr.Dataset":
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
                            "flag_meanings": STATUS_MEANINGS,
                            "long_name": "why the point holds its value; only 0 is valid"})
    data_vars["iterations"] = (("y", "x"), np.asarray(result["iterations"], dtype=np.int32),
                               _attrs("iterations"))
    coords = {"y": ("y", np.asarray(result["y"])[:, 0].astype(np.float64),
                    {"units": "px", "long_name": "subset centre row in the reference image"}),
              "x": ("x", np.asarray(result["x"])[0, :].astype(np.float64),
                    {"units": "px", "long_name": "subset centre column in the reference image"})}
    if reference is not None:
        data_vars["reference_image"] = (("row", "col"), reference.astype(np.float32),
                                        {"long_name": "reference image (grey)", "units": "1"})
    dataset = xr.Dataset(data_vars, coords=coords, attrs=run_attrs(settings, extra_attrs))
    return add_calibration(dataset, settings.scale_mm_per_px)


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


def add_calibration(dataset: "xr.Dataset", scale_mm_per_px: float | None) -> "xr.Dataset":
    if scale_mm_per_px is None:
        return dataset
    scale = float(scale_mm_per_px)
    return dataset.assign_coords(
        x_mm=("x", dataset["x"].values * scale, {"units": "mm"}),
        y_mm=("y", dataset["y"].values * scale, {"units": "mm"}),
    ).assign(u_mm=dataset["u"] * scale, v_mm=dataset["v"] * scale).pipe(
        lambda d: d.assign(u_mm=d["u_mm"].assign_attrs(units="mm", long_name="u in mm"),
                           v_mm=d["v_mm"].assign_attrs(units="mm", long_name="v in mm")))


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


def result_from_dataset(frame: "xr.Dataset") -> dict[str, Any]:
    """The dictionary morvex._guided takes as ``previous`` from one stored frame (y, x)."""
    rows, cols = frame.sizes["y"], frame.sizes["x"]
    result: dict[str, Any] = {"rows": rows, "cols": cols}
    xs, ys = np.meshgrid(frame["x"].values, frame["y"].values)
    result["x"], result["y"] = xs, ys
    for name in FIELD_VARIABLES:
        result[name] = np.ascontiguousarray(frame[name].values)
    return result


def _attrs(name: str) -> dict[str, str]:
    attrs = {}
    if name in UNITS:
        attrs["units"] = UNITS[name]
    if name in DESCRIPTIONS:
        attrs["long_name"] = DESCRIPTIONS[name]
    return attrs
