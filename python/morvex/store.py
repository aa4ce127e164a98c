"""The resumable results store: one Zarr (format 3) group per run, written frame by frame.

Layout: every field variable has dims (frame, y, x) and one chunk per frame, so a frame is
written on its own (by region) and writing it again gives the same bytes. ``complete``
(dims frame, one chunk per frame) is set to 1 only after the frame's data are written: a
frame counts as measured exactly when its marker is set, so a run that dies mid-write loses
at most that frame, and the next run measures it again. ``reference_image`` (row, col) keeps
the reference for plots. The group attribute ``morvex_run`` (JSON) holds the settings, the
frame names and digests of the reference and mask; a run with other values is refused.
"""

from __future__ import annotations

import hashlib
import json
import os
import pathlib
import shutil
import warnings
from typing import Any

import numpy as np
import xarray as xr
import zarr

from ._dataset import result_from_dataset
from ._errors import MorvexError, StoreMismatchError

RUN_ATTRIBUTE = "morvex_run"
MARKER = "complete"
_NOT_MEASURED_STATUS = 255
_FILL = {"valid": False, "status": _NOT_MEASURED_STATUS, "iterations": -1}


def digest(array: np.ndarray | None) -> str:
    """SHA-256 of an array's shape and values (identifies a reference image or a mask)."""
    if array is None:
        return "none"
    data = np.ascontiguousarray(array)
    hasher = hashlib.sha256(repr((data.shape, data.dtype.str)).encode())
    hasher.update(data.tobytes())
    return hasher.hexdigest()


def run_identity(settings_json: str, frame_names: list[str], reference: np.ndarray,
                 mask: np.ndarray | None, incremental: bool) -> dict[str, Any]:
    """What a store must agree with to be resumed."""
    identity = json.loads(settings_json)
    identity.update(frames=len(frame_names), frame_names=frame_names,
                    reference_sha256=digest(reference), mask_sha256=digest(mask),
                    incremental=bool(incremental))
    return identity


class Store:
    """A results store on disk. Open with :meth:`open_for_run` (checks) or :meth:`open`."""

    def __init__(self, path: str | os.PathLike) -> None:
        self.path = pathlib.Path(path)

    # --- opening -------------------------------------------------------------------------

    @classmethod
    def open_for_run(cls, path: str | os.PathLike, identity: dict[str, Any],
                     reference: np.ndarray, *, overwrite: bool = False) -> "Store":
        """A store ready for this run: new, or existing and written with the same identity.

        Raises:
            StoreMismatchError: when it exists with other settings, frames, reference or mask.
            MorvexError: when the path exists and is not a Morvex store.
        """
        store = cls(path)
        if store.path.exists():
            if overwrite:
                store.remove()
            else:
                stored = store.identity()
                if stored is None:
                    raise MorvexError(f"{store.path} exists and is not a Morvex results store; "
                                      "use --overwrite (overwrite=True) to replace it")
                differences = {name: (stored.get(name), value)
                               for name, value in identity.items() if stored.get(name) != value}
                if differences:
                    if "frame_names" in differences:
                        old, new = differences["frame_names"]
                        differences["frame_names"] = (_short(old), _short(new))
                    raise StoreMismatchError(str(store.path), differences)
        store._identity = identity
        store._reference = reference
        return store

    def identity(self) -> dict[str, Any] | None:
        """The stored run identity, or None when the path is not a finished Morvex store."""
        try:
            group = zarr.open_group(self.path, mode="r")
        except Exception:  # not a zarr group at all
            return None
        text = group.attrs.get(RUN_ATTRIBUTE)
        return None if text is None else json.loads(text)

    def exists(self) -> bool:
        return self.identity() is not None

    def remove(self) -> None:
        if self.path.is_dir():
            shutil.rmtree(self.path)
        elif self.path.exists():
            self.path.unlink()

    # --- frames --------------------------------------------------------------------------

    def complete(self) -> np.ndarray:
        """Boolean per frame: measured and fully written."""
        if not self.exists():
            return np.zeros(0, dtype=bool)
        return zarr.open_array(self.path / MARKER, mode="r")[:] == 1

    def create(self, first: xr.Dataset) -> None:
        """Lay out an empty store shaped like `first` (one frame, dims y, x) for every frame.

        Needs the store to come from :meth:`open_for_run` (identity and reference image).

        Writes only metadata, coordinates and the reference image: chunks never written read
        as NaN (float variables), False, 255 (status: not measured) or -1.
        """
        n_frames = int(self._identity["frames"])
        template = first.drop_vars("reference_image", errors="ignore")
        template = xr.Dataset(
            {name: (("frame",) + var.dims,
                    np.full((1,) + var.shape, _FILL.get(name, np.nan), dtype=var.dtype),
                    var.attrs)
             for name, var in template.data_vars.items()},
            coords={**{name: c for name, c in template.coords.items()},
                    "frame": ("frame", np.zeros(1, dtype=np.int64))},
            attrs=first.attrs)
        template[MARKER] = ("frame", np.zeros(1, dtype=np.uint8),
                            {"long_name": "1 once the frame is measured and fully written"})
        template["reference_image"] = (("row", "col"), self._reference.astype(np.float32),
                                       {"long_name": "reference image (grey)", "units": "1"})
        ny, nx = first.sizes["y"], first.sizes["x"]
        encoding: dict[str, dict[str, Any]] = {
            name: {"chunks": (1, ny, nx)} for name in template.data_vars
            if template[name].dims[:1] == ("frame",) and name != MARKER}
        encoding[MARKER] = {"chunks": (1,)}
        encoding["frame"] = {"chunks": (max(n_frames, 1),)}
        for name in template.data_vars:
            if template[name].dtype.kind == "f":
                encoding.setdefault(name, {})["_FillValue"] = np.nan
        self.remove()
        with _quiet():
            template.to_zarr(self.path, mode="w", zarr_format=3, consolidated=False,
                             encoding=encoding)
        group = zarr.open_group(self.path, mode="r+")
        for name, array in group.arrays():
            if array.metadata.dimension_names and array.metadata.dimension_names[0] == "frame":
                array.resize((n_frames,) + array.shape[1:])
        group["frame"][:] = np.arange(n_frames)
        # Written last: a store without it is an unfinished creation, not a run to resume.
        group.attrs[RUN_ATTRIBUTE] = json.dumps(self._identity)

    def write_frame(self, index: int, frame: xr.Dataset) -> None:
        """Write one measured frame (dims y, x) at `index`, then set its marker. Idempotent."""
        if not self.exists():
            self.create(frame)
        data = frame.drop_vars([n for n in ("reference_image",) if n in frame])
        # Only the frame's own chunks: coordinates were written at creation, and leaving them
        # out keeps writers of different frames from touching a shared chunk.
        data = data.drop_vars(list(data.coords)).expand_dims("frame")
        data.attrs = {}
        for name in data.variables:
            data[name].attrs = {}
        with _quiet():
            data.to_zarr(self.path, region={"frame": slice(index, index + 1)},
                         consolidated=False, mode="r+")
        marker = zarr.open_array(self.path / MARKER, mode="r+")
        marker[index] = 1

    def previous(self, index: int) -> dict[str, Any] | None:
        """The start for frame `index`: frame index - 1 as the library takes it, or None."""
        if index <= 0 or not self.complete()[index - 1]:
            return None
        with _quiet():
            dataset = xr.open_zarr(self.path, consolidated=False, chunks=None)
        return result_from_dataset(dataset.isel(frame=index - 1).load())

    def read(self, *, complete_only: bool = True) -> xr.Dataset:
        """The stored run as a dataset (dims frame, y, x), loaded into memory.

        Raises:
            MorvexError: when the path is not a Morvex store.
        """
        if not self.exists():
            raise MorvexError(f"{self.path} is not a Morvex results store (made by morvex run)")
        with _quiet():
            dataset = xr.open_zarr(self.path, consolidated=False, chunks=None).load()
        done = dataset[MARKER].values == 1
        if complete_only:
            dataset = dataset.isel(frame=np.flatnonzero(done))
        dataset = dataset.drop_vars(MARKER)
        dataset.attrs.pop(RUN_ATTRIBUTE, None)
        names = self.identity()["frame_names"]  # type: ignore[index]
        return dataset.assign_coords(
            frame_name=("frame", np.array([names[k] for k in dataset["frame"].values],
                                          dtype=object)))


def write_store_attrs(path: str | os.PathLike, attrs: dict[str, Any]) -> None:
    """Add attributes (JSON-able values) to the store at `path`, e.g. a certificate's figures.

    Raises:
        MorvexError: when the path is not a Morvex store.
    """
    if not Store(path).exists():
        raise MorvexError(f"{path} is not a Morvex results store (made by morvex run)")
    group = zarr.open_group(pathlib.Path(path), mode="r+")
    group.attrs.update(attrs)


def open_store(path: str | os.PathLike) -> xr.Dataset:
    """Read a results store written by ``morvex run`` / ``correlate_sequence(store=...)``.

    Returns:
        The complete frames as an xarray.Dataset with dims (frame, y, x); a frame interrupted
        mid-write is left out.

    Raises:
        MorvexError: when the path is missing or not a Morvex store.

    Example:
        >>> ds = morvex.open_store("out.zarr")   # doctest: +SKIP
    """
    if not pathlib.Path(path).exists():
        raise MorvexError(f"store not found: {path}")
    return Store(path).read()


def _short(names: Any) -> str:
    if not isinstance(names, list):
        return repr(names)
    return f"{len(names)} frames" + (f" ({names[0]} ... {names[-1]})" if names else "")


class _quiet(warnings.catch_warnings):
    """Zarr-format-3 notes from xarray and zarr (consolidation, string dtypes) are expected."""

    def __enter__(self):  # type: ignore[override]
        result = super().__enter__()
        warnings.filterwarnings("ignore", module="zarr")
        warnings.filterwarnings("ignore", module="xarray")
        return result


__all__ = ["Store", "open_store", "run_identity", "digest"]
