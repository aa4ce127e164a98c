"""Result files: CSV (one row per point), legacy VTK structured points, NetCDF.

Every file follows the order and units of one table, ``_dataset.QUANTITIES``.

Every writer puts a temporary file beside the target and renames it over the target only when
everything was written, so a failed export never leaves a truncated file.
"""

from __future__ import annotations

import functools
import importlib
import os
import pathlib
import tempfile
from collections.abc import Callable
from typing import Any

import numpy as np
import xarray as xr

from ._dataset import POSITIONS, QUANTITY, ordered
from ._errors import MorvexError

PathLike = str | os.PathLike[str]


def _point_variables(ds: xr.Dataset) -> list[str]:
    return [str(n) for n in ds.data_vars if ds[n].dims[-2:] == ("y", "x")]


def csv_header(name: str) -> str:
    """A CSV column's header cell: ``name [unit]``, or the bare name for a unitless column."""
    quantity = QUANTITY.get(name)
    return f"{name} [{quantity.unit}]" if quantity is not None and quantity.unit else name


def to_csv(ds: xr.Dataset, path: PathLike) -> pathlib.Path:
    """Write one row per grid point: positions, then every variable, in one fixed order.

    Columns, always in this order (those the dataset holds): ``frame``, ``frame_name``
    (sequences), ``x``, ``y`` (px, subset centres in the reference image), ``x_mm``, ``y_mm``
    (when calibrated), u, v, u_mm, v_mm, exx, eyy, exy, zncc, sigma_u, sigma_v, du_dx, du_dy,
    dv_dx, dv_dy, valid, status, iterations; variables of other origin follow in name order.
    Each header cell carries its unit in brackets, ``u [px]``, ``exx [fraction]`` (strains
    and gradients are fractions: 0.01 is 1 %), ``zncc [1]``; an index, a name, a flag or a
    count has none (``frame``, ``valid``). Invalid points have empty float cells (NaN).

    Returns:
        The path written.

    Raises:
        MorvexError: when the folder does not exist or the file cannot be written.

    Example:
        >>> morvex.to_csv(ds, "result.csv")          # doctest: +SKIP
        >>> table = pandas.read_csv("result.csv")    # doctest: +SKIP
        >>> table["exx [fraction]"] * 100            # strain in %  # doctest: +SKIP
    """
    ds = ordered(ds)
    names = _point_variables(ds)
    table = ds[names].to_dataframe().reset_index()
    leading = [c for c in POSITIONS if c in table]
    table = table[leading + names].rename(columns=csv_header)
    return _atomic(path, lambda tmp: table.to_csv(tmp, index=False, float_format="%.9g"))


def to_vtk(ds: xr.Dataset, path: PathLike) -> list[pathlib.Path]:
    """Write legacy binary VTK structured points in image pixels, with y pointing up.

    VTK viewers draw y upwards, image rows grow downwards: the file's y is minus the image
    row, so the specimen stands as in the image. Points sit at the subset centres
    (x, -y, 0) with spacing (step, step, 1) in px, the first row of points being the lowest
    image row. Quantities that change sign with y change sign too: the ``displacement``
    vectors are (u, -v, 0) px, and v, v_mm, exy, du_dy, dv_dx are negated; the file's
    header line says so. Point data after the vectors: every float variable (double) in the
    order of :func:`to_csv`, ``valid`` and ``status`` (unsigned char), ``iterations`` (int).
    For a sequence `path` is a folder (created) with one file per frame,
    ``frame_0000.vtk`` ...; for a pair it is the file.

    Returns:
        The files written.

    Raises:
        MorvexError: when the grid is not evenly spaced or a file cannot be written.

    Example:
        >>> morvex.to_vtk(sequence_ds, "vtk")          # doctest: +SKIP
        [PosixPath('vtk/frame_0000.vtk'), PosixPath('vtk/frame_0001.vtk'), ...]
    """
    path = pathlib.Path(path)
    ds = ordered(ds)
    if "frame" not in ds.dims:
        return [_atomic(path, lambda tmp: _write_vtk(ds, tmp))]
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise MorvexError(f"cannot create the folder {path}: {error.strerror}") from None
    written = []
    for k in range(ds.sizes["frame"]):
        frame = ds.isel(frame=k)
        target = path / f"frame_{int(frame['frame']):04d}.vtk"
        written.append(_atomic(target, functools.partial(_write_vtk, frame)))
    return written


def to_netcdf(ds: xr.Dataset, path: PathLike) -> pathlib.Path:
    """Write the dataset as netCDF-4 (through xarray and h5netcdf); attributes kept.

    Variables follow the order of :func:`to_csv`, each with its ``units`` attribute (px,
    mm, or "1" for strains and gradients, which are fractions, and ZNCC) and ``long_name``.

    Returns:
        The path written.

    Raises:
        MorvexError: when the file cannot be written.
        ModuleNotFoundError: when h5netcdf or h5py is not installed (names it).

    Example:
        >>> morvex.to_netcdf(ds, "result.nc")          # doctest: +SKIP
        >>> xarray.open_dataset("result.nc")           # doctest: +SKIP
    """
    _require_netcdf_backend()
    data = ordered(ds)
    if "frame_name" in data.coords:
        data["frame_name"] = data["frame_name"].astype(str)
    return _atomic(path, lambda tmp: data.to_netcdf(tmp, engine="h5netcdf"))


def _require_netcdf_backend() -> None:
    """Raise ModuleNotFoundError naming h5netcdf or h5py before any file is touched.

    h5netcdf writes through h5py, which its recent releases no longer install themselves.
    """
    # h5py first: older h5netcdf releases fail to import without it, which would name h5netcdf.
    for module in ("h5py", "h5netcdf"):
        try:
            importlib.import_module(module)
        except ImportError:
            raise ModuleNotFoundError(f"NetCDF export needs the Python package {module} "
                                      f"(pip install {module})", name=module) from None


# The header line (at most 256 characters in legacy VTK) tells a reader about the flip.
_VTK_TITLE = ("Morvex DIC field; lengths in px; y up: y = -(image row), so v, v_mm, exy, "
              "du_dy and dv_dx are negated")


def _write_vtk(ds: xr.Dataset, path: pathlib.Path) -> None:
    x, y = ds["x"].values, ds["y"].values
    spacing = []
    for axis in (x, y):
        steps = np.diff(axis)
        if steps.size and not np.allclose(steps, steps[0]):
            raise MorvexError("the grid is not evenly spaced; VTK structured points need it")
        spacing.append(float(steps[0]) if steps.size else 1.0)
    nx, ny = x.size, y.size
    n = nx * ny

    def upwards(name: str) -> np.ndarray:
        # Rows from the bottom of the image up, signs as seen with y up.
        values = np.asarray(ds[name].values)[::-1, :].ravel()
        quantity = QUANTITY.get(name)
        return -values if quantity is not None and quantity.mirrored else values

    with open(path, "wb") as out:
        out.write(b"# vtk DataFile Version 3.0\n")
        out.write(_VTK_TITLE.encode() + b"\nBINARY\nDATASET STRUCTURED_POINTS\n")
        out.write(f"DIMENSIONS {nx} {ny} 1\n".encode())
        out.write(f"ORIGIN {x[0]:.17g} {-y[-1]:.17g} 0\n".encode())
        out.write(f"SPACING {spacing[0]:.17g} {spacing[1]:.17g} 1\n".encode())
        out.write(f"POINT_DATA {n}\n".encode())
        vectors = np.column_stack([upwards("u"), upwards("v"), np.zeros(n)]).astype(">f8")
        out.write(b"VECTORS displacement double\n")
        out.write(vectors.tobytes())
        out.write(b"\n")
        for name in _point_variables(ds):
            values = upwards(name)
            if name in ("valid", "status"):
                kind, data = "unsigned_char", values.astype(">u1")
            elif name == "iterations":
                kind, data = "int", values.astype(">i4")
            else:
                kind, data = "double", values.astype(">f8")
            out.write(f"SCALARS {name} {kind} 1\nLOOKUP_TABLE default\n".encode())
            out.write(data.tobytes())
            out.write(b"\n")


def _atomic(path: PathLike, write: Callable[[Any], None]) -> pathlib.Path:
    path = pathlib.Path(path)
    if not path.parent.is_dir():
        raise MorvexError(f"cannot write {path}: the folder {path.parent} does not exist")
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    os.close(handle)
    try:
        write(temporary)
        # mkstemp makes the file private; give it the permissions a plain open() would.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except OSError as error:
        raise MorvexError(f"cannot write {path}: {error.strerror or error}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    return path
