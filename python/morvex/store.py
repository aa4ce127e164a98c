"""The resumable results store: one Zarr (format 3) group per run, written frame by frame.

Layout: every field variable has dims (frame, y, x) and one chunk per frame, so a frame is
written on its own (by region) and writing it again gives the same bytes. ``complete``
(dims frame, one chunk per frame) is set to 1 only after the frame's data are written: a
frame counts as measured exactly when its marker is set, so a run that dies mid-write loses
at most that frame, and the next run measures it again. ``reference_image`` (row, col) keeps
the reference for plots. The group attribute ``morvex_run`` (JSON) holds the settings, the
frame names in the order measured (``frame_names``: a folder's or pattern's files in natural
order, def_2 before def_10; a store written when they were sorted as text keeps that order on
resume) and digests of the reference and mask; a run with other values is refused, except
that frames after the last complete one may change (appended, or a bad file removed).
``morvex_sources`` (JSON) records where the run came from (the reference as a frame index or a
path, the frames as given, relative to the store's parent, or the watched folder) and ``mask``
(row, col; uint8) the mask itself, so a run can be reopened from its store alone;
``morvex_skipped`` names the frames recorded as not measured and why. Stores written before
these three existed open and resume as they are.

Every chunk of a store made now ends in a CRC32C (Zarr's ``crc32c`` codec after the
compressor) and is written even when it holds only fill values, so a changed byte fails its
check and a chunk missing from a complete frame is damage, never NaN: reading such a store
raises :class:`~morvex.StoreDamageError` naming the variable and the frame. Stores written
before checksums read as they always did. Failures of the operating system (a full disk, a
permission) raise :class:`~morvex.StoreIOError` naming the path and the reason.

A run holds an exclusive ``flock`` on ``morvex_lock/lock`` inside the store while it writes; the
kernel releases it when the process dies, so a crash never leaves a store locked. While a store
is created, ``morvex_lock/creating`` says so: a folder that holds it and no ``morvex_run`` is
the remains of a creation cut short, taken over by the next run as if empty.
"""

from __future__ import annotations

import contextlib
import fcntl
import functools
import hashlib
import itertools
import json
import os
import pathlib
import re
import shutil
import warnings
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Concatenate, ParamSpec, TypeVar

import numpy as np

from ._errors import MorvexError, StoreDamageError, StoreIOError, StoreMismatchError
from ._status import Status
from .settings import DEFAULTS

if TYPE_CHECKING:
    import xarray as xr

RUN_ATTRIBUTE = "morvex_run"
SOURCES_ATTRIBUTE = "morvex_sources"
SKIPPED_ATTRIBUTE = "morvex_skipped"
MARKER = "complete"
# The lock lives in a group of its own: Zarr warns about any other file at the top level.
LOCK_NAME = "morvex_lock"
_LOCK_FILE = "lock"
# Beside the lock while a store is created (see the module's notes).
_CREATING = "creating"
# Identity entries that may grow on resume (checked by the prefix rule instead).
_GROWING = ("frames", "frame_names")
_FILL = {"valid": False, "status": int(Status.NOT_MEASURED), "iterations": -1}

_P = ParamSpec("_P")
_R = TypeVar("_R")


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
    identity: dict[str, Any] = json.loads(settings_json)
    identity.update(frames=len(frame_names), frame_names=frame_names,
                    reference_sha256=digest(reference), mask_sha256=digest(mask),
                    incremental=bool(incremental))
    return identity


@contextlib.contextmanager
def _os_errors(path: pathlib.Path, doing: str) -> Iterator[None]:
    """Turn the operating system's refusal (a full disk, a permission) into one line."""
    try:
        yield
    except OSError as error:
        if isinstance(error, ValueError):  # Zarr's own errors (a node not found) are not the OS's
            raise
        raise StoreIOError(str(path), doing, error.strerror or str(error),
                           _within(error.filename, path), error.errno) from error


def _guarded(doing: str) -> Callable[[Callable[Concatenate[Store, _P], _R]],
                                     Callable[Concatenate[Store, _P], _R]]:
    """A Store method whose OS errors name the store (see _os_errors)."""
    def wrap(method: Callable[Concatenate[Store, _P], _R]) -> Callable[Concatenate[Store, _P], _R]:
        def guarded(self: Store, /, *args: _P.args, **kwargs: _P.kwargs) -> _R:
            with _os_errors(self.path, doing):
                return method(self, *args, **kwargs)

        functools.update_wrapper(guarded, method)
        return guarded

    return wrap


class Store:
    """A results store on disk: :meth:`open_for_run` for a run (checks), `Store(path)` else."""

    # Set by open_for_run (the run's identity, and what a new store writes on first use).
    _identity: dict[str, Any]
    _reference: np.ndarray
    _mask: np.ndarray | None
    _sources: dict[str, Any] | None
    # The per-frame Zarr arrays while frames are written (see write_frame).
    _arrays: dict[str, Any] | None = None

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = pathlib.Path(path)

    # --- opening -------------------------------------------------------------------------

    @classmethod
    def open_for_run(cls, path: str | os.PathLike[str], identity: dict[str, Any],
                     reference: np.ndarray, *, overwrite: bool = False,
                     mask: np.ndarray | None = None,
                     sources: dict[str, Any] | None = None) -> Store:
        """A store ready for this run: new, or existing and written with the same identity.

        Frames after the last complete one may differ from the stored list (appended frames,
        a bad file removed); the store then follows the new list.

        Raises:
            StoreMismatchError: when it exists with other settings, frames, reference or mask.
            StoreDamageError: when it exists and a complete frame's chunk or a variable's
                metadata is missing or unreadable.
            StoreIOError: when the operating system refuses a read or a write.
            MorvexError: when the path exists and is not a Morvex store.
        """
        store = cls(path)
        with _os_errors(store.path, "write"):
            if store.path.exists() and overwrite:
                store.remove()
            elif store.path.exists() and not store.is_vacant():
                differences = store.differences(identity)
                if differences:
                    raise StoreMismatchError(str(store.path), differences)
                # Before any work: a resumed run must not build on a damaged store.
                store._check_layout()
                if store.identity()["frame_names"] != identity["frame_names"]:  # type: ignore[index]
                    store._follow(identity)
                if sources is not None and store.sources() is None:
                    # A store of the earlier layout learns where it came from on its first
                    # resume.
                    import zarr

                    zarr.open_group(store.path, mode="r+").attrs[SOURCES_ATTRIBUTE] = json.dumps(
                        sources)
        store._identity = identity
        store._reference = reference
        store._mask = mask
        store._sources = sources
        return store

    def differences(self, identity: dict[str, Any]) -> dict[str, tuple[Any, Any]]:
        """What differs between this existing store and a run's identity (stored, requested).

        Frames after the last complete one may differ: they were never measured.

        Raises:
            MorvexError: when the path is not a Morvex store.
        """
        stored = self.identity()
        if stored is None:
            raise MorvexError(f"{self.path} exists and is not a Morvex results store; "
                              "use --overwrite (overwrite=True) to replace it")
        # A setting added after the store was written held its default there.
        stored = {**json.loads(DEFAULTS.to_json()), **stored}
        differences = {name: (stored.get(name), value) for name, value in identity.items()
                       if name not in _GROWING and stored.get(name) != value}
        kept = self.last_complete() + 1
        old_names, new_names = stored.get("frame_names", []), identity["frame_names"]
        if old_names[:kept] != new_names[:kept] or len(new_names) < kept:
            differences["frame_names"] = (_short(old_names), _short(new_names))
        return differences

    def is_vacant(self) -> bool:
        """True for a folder a run may take over: nothing but the lock (a run that has not
        written yet), or the remains of a creation cut short (its note and no identity)."""
        try:
            if not self.path.is_dir():
                return False
            if all(p.name == LOCK_NAME for p in self.path.iterdir()):
                return True
            if not (self.path / LOCK_NAME / _CREATING).is_file():
                return False
            return self.identity() is None
        except (OSError, MorvexError):
            # A note beside an unreadable group is still a creation cut short; without the note
            # the folder is someone's, and the caller's own read names what is wrong with it.
            return (self.path / LOCK_NAME / _CREATING).is_file()

    def last_complete(self) -> int:
        """Index of the last complete frame, -1 when none is."""
        done = np.flatnonzero(self.complete())
        return int(done[-1]) if done.size else -1

    @_guarded("write")
    def _follow(self, identity: dict[str, Any]) -> None:
        # Frames after the last complete one changed: resize every per-frame array and record
        # the new list; frames beyond the old end read as not measured.
        import zarr

        self.resize(int(identity["frames"]))
        marker = self._open(MARKER, "r+")
        marker[self.last_complete() + 1:] = 0
        zarr.open_group(self.path, mode="r+").attrs[RUN_ATTRIBUTE] = json.dumps(identity)

    @_guarded("write")
    def resize(self, n_frames: int) -> None:
        """Give every per-frame array `n_frames` frames (new ones read as not measured)."""
        self._arrays = None
        arrays = self._members("r+")
        for array in arrays.values():
            if (array.metadata.dimension_names and array.metadata.dimension_names[0] == "frame"
                    and array.shape[0] != n_frames):
                array.resize((n_frames,) + array.shape[1:])
        if "frame" in arrays:
            arrays["frame"][:] = np.arange(n_frames)

    @_guarded("write")
    def grow(self, names: list[str]) -> None:
        """Follow a frame list that grew (a watched folder): new frames, same identity else."""
        import zarr

        identity = self.identity()
        if identity is None:
            raise MorvexError(f"{self.path} is not a Morvex results store (made by morvex run)")
        identity.update(frames=len(names), frame_names=list(names))
        self.resize(len(names))
        zarr.open_group(self.path, mode="r+").attrs[RUN_ATTRIBUTE] = json.dumps(identity)
        self._identity = identity

    def expect_frames(self, names: list[str]) -> None:
        """The frame list a store not created yet is laid out for (a watched folder's list may
        grow before its first frame is written). Needs the store to come from open_for_run."""
        self._identity.update(frames=len(names), frame_names=list(names))

    # --- the lock --------------------------------------------------------------------------

    def lock(self) -> StoreLock:
        """Hold the store for this run (exclusive, released when the process dies).

        Raises:
            MorvexError: when another run (in this process or another) holds it.
            StoreIOError: when the lock cannot be made (a full disk, a permission).
        """
        return StoreLock(self.path)

    # --- what the group records ----------------------------------------------------------

    @_guarded("read")
    def sources(self) -> dict[str, Any] | None:
        """Where the run came from (reference, frames, ...), or None for an older store."""
        recorded = self._recorded(SOURCES_ATTRIBUTE)
        return recorded if isinstance(recorded, dict) else None

    @_guarded("read")
    def mask(self) -> np.ndarray | None:
        """The mask the run measured with (True = specimen), or None.

        Raises:
            StoreDamageError: when the recorded mask is unreadable.
        """
        if not (self.path / "mask").is_dir():
            return None  # an unmasked run, or an older store
        arrays = {"mask": self._open("mask")}
        self._check_chunks(arrays, [])
        with self._decoding(arrays, []):
            values = np.asarray(arrays["mask"][:])
        return np.asarray(values != 0)

    @_guarded("read")
    def skipped(self) -> dict[str, str]:
        """Frames recorded as not measured: index (as text) -> reason."""
        recorded = self._recorded(SKIPPED_ATTRIBUTE)
        return dict(recorded) if isinstance(recorded, dict) else {}

    @_guarded("read")
    def identity(self) -> dict[str, Any] | None:
        """The stored run identity, or None when the path is not a finished Morvex store.

        Raises:
            StoreDamageError: when the group's metadata or the identity cannot be read.
        """
        recorded = self._recorded(RUN_ATTRIBUTE)
        return recorded if isinstance(recorded, dict) else None

    def exists(self) -> bool:
        return self.identity() is not None

    def _attributes(self) -> dict[str, Any] | None:
        # The group's attributes, read from its zarr.json (no Zarr needed to learn that a
        # folder is not a store); None when the path holds no group.
        root = self.path / "zarr.json"
        if not root.is_file():
            return None
        try:
            metadata = json.loads(root.read_bytes())
        except ValueError as error:  # a JSON or UTF-8 error
            raise self._damage(f"its metadata (zarr.json) cannot be read ({_reason(error)})"
                               ) from None
        if not isinstance(metadata, dict) or metadata.get("node_type") != "group":
            return None
        attributes = metadata.get("attributes") or {}
        return attributes if isinstance(attributes, dict) else None

    def _recorded(self, name: str) -> Any:
        # One JSON-text attribute of the group, parsed; None when absent.
        text = (self._attributes() or {}).get(name)
        if text is None:
            return None
        try:
            return json.loads(str(text))
        except ValueError as error:
            raise self._damage(f"its record {name} cannot be read ({_reason(error)})") from None

    @_guarded("write")
    def remove(self) -> None:
        """Delete the store; the lock file (which a run may hold) stays."""
        self._arrays = None
        if self.path.is_dir():
            # A removal cut short leaves what a creation cut short leaves: the note, no
            # identity (it goes first), and a folder the next run takes over.
            _note_creation(self.path)
            (self.path / "zarr.json").unlink(missing_ok=True)
            for item in self.path.iterdir():
                if item.name == LOCK_NAME:
                    continue
                if item.is_dir():
                    shutil.rmtree(item)
                else:
                    item.unlink()
        elif self.path.exists():
            self.path.unlink()

    # --- frames --------------------------------------------------------------------------

    @_guarded("read")
    def complete(self) -> np.ndarray:
        """Boolean per frame: measured and fully written.

        Raises:
            StoreDamageError: when the marker's metadata or a chunk of it is unreadable.
        """
        if not self.exists():
            return np.zeros(0, dtype=bool)
        return self._complete_of(self._open(MARKER))

    def _complete_of(self, marker: Any) -> np.ndarray:
        # A marker chunk never written reads 0: that frame is simply not complete.
        with self._decoding({MARKER: marker}, range(marker.shape[0])):
            values = np.asarray(marker[:])
        return np.asarray(values == 1)

    @_guarded("write")
    def create(self, first: xr.Dataset) -> None:
        """Lay out an empty store shaped like `first` (one frame, dims y, x) for every frame.

        Needs the store to come from :meth:`open_for_run` (identity and reference image).

        Writes only metadata, coordinates and the reference image: chunks never written read
        as NaN (float variables), False, 255 (status: not measured) or -1. Every array's
        chunks carry a CRC32C. Whatever the folder held besides the lock is removed first.
        """
        import xarray as xr
        from zarr.codecs import Crc32cCodec, ZstdCodec

        n_frames = int(self._identity["frames"])
        template = first.drop_vars("reference_image", errors="ignore")
        template = xr.Dataset(
            {name: (("frame",) + var.dims,
                    np.full((1,) + var.shape, _FILL.get(str(name), np.nan), dtype=var.dtype),
                    var.attrs)
             for name, var in template.data_vars.items()},
            coords={**{name: c for name, c in template.coords.items()},
                    "frame": ("frame", np.zeros(1, dtype=np.int64))},
            attrs=first.attrs)
        template[MARKER] = ("frame", np.zeros(1, dtype=np.uint8),
                            {"long_name": "1 once the frame is measured and fully written"})
        template["reference_image"] = (("row", "col"), self._reference.astype(np.float32),
                                       {"long_name": "reference image (grey)", "units": "1"})
        if getattr(self, "_mask", None) is not None:
            template["mask"] = (("row", "col"), np.asarray(self._mask).astype(np.uint8),
                                {"long_name": "specimen mask of the reference (1 = measured)"})
        encoding: dict[str, dict[str, Any]] = {
            # One chunk per frame: a frame's grid, or its one value (a frame's rigid motion).
            str(name): {"chunks": (1,) + template[name].shape[1:]} for name in template.data_vars
            if template[name].dims[:1] == ("frame",) and name != MARKER}
        encoding[MARKER] = {"chunks": (1,)}
        encoding["frame"] = {"chunks": (max(n_frames, 1),)}
        for name in template.variables:
            # Zarr's default compressor, then the CRC32C of what it wrote.
            encoding.setdefault(str(name), {})["compressors"] = (ZstdCodec(), Crc32cCodec())
            if template[name].dtype.kind == "f":
                encoding[str(name)]["_FillValue"] = np.nan
        _note_creation(self.path)
        self.remove()
        # Mode "a" on an empty folder: "w" would clear it, lock file included. Chunks of fill
        # values too: a chunk missing from a complete frame must mean damage.
        with _quiet():
            template.to_zarr(self.path, mode="a", zarr_format=3, consolidated=False,
                             encoding=encoding, write_empty_chunks=True)
        self.resize(n_frames)
        import zarr

        group = zarr.open_group(self.path, mode="r+")
        if getattr(self, "_sources", None) is not None:
            group.attrs[SOURCES_ATTRIBUTE] = json.dumps(self._sources)
        # Written last: a store without it is an unfinished creation, not a run to resume.
        group.attrs[RUN_ATTRIBUTE] = json.dumps(self._identity)
        (self.path / LOCK_NAME / _CREATING).unlink(missing_ok=True)

    @_guarded("write")
    def write_frame(self, index: int, frame: xr.Dataset, *,
                    skipped: str | None = None) -> None:
        """Write one measured frame (dims y, x) at `index`, then set its marker. Idempotent.

        `skipped` records the frame as not measured, with its reason.

        Raises:
            StoreIOError: when the operating system refuses the write (the frame stays
                incomplete and is measured again on resume).
        """
        import zarr

        arrays = self._frame_arrays(frame, index)
        if skipped is not None:
            group = zarr.open_group(self.path, mode="r+")
            reasons = json.loads(str(group.attrs.get(SKIPPED_ATTRIBUTE, "{}")))
            reasons[str(index)] = skipped
            group.attrs[SKIPPED_ATTRIBUTE] = json.dumps(reasons)
        # The frame's own chunks only: coordinates were written at creation, and no two frames
        # share a chunk, so writers of different frames never meet. Straight to Zarr, every
        # array in one go: through xarray a frame cost three times as much, and array by array
        # a third more, on the cores the next frame's correlation needs. The marker goes last.
        _write_together(index, {name: np.asarray(frame[name].values)
                                for name in arrays if name != MARKER}, arrays)
        arrays[MARKER][index] = 1

    def _frame_arrays(self, frame: xr.Dataset, index: int) -> dict[str, Any]:
        # The per-frame arrays, opened once per store; again when the store has grown since
        # (another handle resized it), and the store made first if it does not exist yet.
        if self._arrays is not None and index < self._arrays[MARKER].shape[0]:
            return self._arrays
        if not self.exists():
            self.create(frame)
        names = [str(n) for n in frame.data_vars if n != "reference_image"] + [MARKER]
        self._arrays = {name: self._open(name, "r+") for name in names}
        return self._arrays

    def __getstate__(self) -> dict[str, Any]:
        # Open arrays stay with the process that opened them.
        state = dict(self.__dict__)
        state.pop("_arrays", None)
        return state

    @_guarded("read")
    def previous(self, index: int) -> dict[str, Any] | None:
        """The start for frame `index`: frame index - 1 as the library takes it, or None.

        None too after a frame recorded as not measured (the next one starts from seeds).

        Raises:
            StoreDamageError: when a chunk of frame index - 1 is missing or unreadable.
        """
        import xarray as xr

        from ._dataset import result_from_dataset

        if index <= 0 or not self.complete()[index - 1] or str(index - 1) in self.skipped():
            return None
        arrays = self._members()
        self._check_chunks(arrays, [index - 1])
        with self._decoding(arrays, [index - 1]), _quiet():
            dataset = xr.open_zarr(self.path, consolidated=False, chunks=None)
            dataset = dataset.isel(frame=index - 1).load()
        return result_from_dataset(dataset)

    @_guarded("read")
    def read(self, *, complete_only: bool = True) -> xr.Dataset:
        """The stored run as a dataset (dims frame, y, x), loaded into memory.

        Raises:
            MorvexError: when the path is not a Morvex store.
            StoreDamageError: when a variable's metadata, or a chunk of a frame read (or of a
                coordinate or the reference image), is missing or fails its checksum.
            StoreIOError: when the operating system refuses a read.
        """
        import xarray as xr

        identity = self.identity()
        if identity is None:
            raise MorvexError(f"{self.path} is not a Morvex results store (made by morvex run)")
        arrays = self._members()
        done = self._complete_of(self._marker_of(arrays))
        frames = np.flatnonzero(done) if complete_only else np.arange(done.size)
        self._check_chunks(arrays, np.flatnonzero(done))
        with self._decoding(arrays, frames), _quiet():
            dataset: xr.Dataset = xr.open_zarr(self.path, consolidated=False, chunks=None)
            # The frame index is the position, whatever a resize cut short left in `frame`.
            dataset = dataset.assign_coords(frame=("frame", np.arange(done.size)))
            if complete_only and frames.size < done.size:
                dataset = dataset.isel(frame=frames)
            dataset = dataset.load()
        dataset = dataset.drop_vars(MARKER)
        dataset.attrs.pop(RUN_ATTRIBUTE, None)
        names = identity["frame_names"]
        dataset.attrs.pop(SOURCES_ATTRIBUTE, None)
        skipped = dataset.attrs.pop(SKIPPED_ATTRIBUTE, None)
        if skipped:
            # Frame name -> why it holds no measurement (status 255 everywhere).
            dataset.attrs["skipped_frames"] = json.dumps(
                {names[int(k)]: reason for k, reason in json.loads(skipped).items()})
        from ._dataset import ordered

        # Zarr lists a group's arrays in no fixed order: the table's order, every time.
        return ordered(dataset.assign_coords(
            frame_name=("frame", np.array([names[k] for k in dataset["frame"].values],
                                          dtype=object))))

    # --- frame by frame, checked --------------------------------------------------------

    @_guarded("read")
    def arrays(self) -> dict[str, Any]:
        """Every array of the store by name, opened for reading (values are read on demand,
        e.g. by :meth:`read_frame`).

        Raises:
            StoreDamageError: naming the variable whose metadata is missing or unreadable.
        """
        return self._members()

    @_guarded("read")
    def check_frames(self, arrays: dict[str, Any], frames: Iterable[int]) -> None:
        """Check, without reading values, that every chunk of `arrays` (from :meth:`arrays`)
        for `frames` is there, as every reader of the store checks it.

        Raises:
            StoreDamageError: naming the variable and the frame of a chunk missing from a
                frame marked complete.
        """
        self._check_chunks(arrays, frames)

    @_guarded("read")
    def read_frame(self, arrays: dict[str, Any], index: int) -> dict[str, np.ndarray]:
        """Each of `arrays` (from :meth:`arrays`, those with a frame dimension) at frame
        `index`, decoded.

        Raises:
            StoreDamageError: naming the variable and the frame of a chunk that fails its
                checksum or cannot be decoded.
        """
        with self._decoding(arrays, [index]):
            return {name: np.asarray(array[index]) for name, array in arrays.items()}

    # --- checks ----------------------------------------------------------------------------

    def _check_layout(self) -> None:
        # Without reading data: every variable's metadata, and every chunk of the complete
        # frames there (their checksums are checked when the frames are read).
        arrays = self._members()
        self._check_chunks(arrays, np.flatnonzero(self._complete_of(self._marker_of(arrays))))

    def _marker_of(self, arrays: dict[str, Any]) -> Any:
        if MARKER not in arrays:
            raise self._damage(f"its {MARKER} marker ({MARKER}/) is missing", MARKER)
        return arrays[MARKER]

    def _members(self, mode: str = "r") -> dict[str, Any]:
        # Every array of the store, opened one by one so that unreadable metadata is named.
        # A folder without metadata or chunks is nobody's array (Zarr skips it too).
        arrays = {}
        for folder in sorted(self.path.iterdir(), key=lambda p: p.name):
            if (folder.name != LOCK_NAME and folder.is_dir()
                    and ((folder / "zarr.json").exists() or (folder / "c").exists())):
                arrays[folder.name] = self._open(folder.name, mode)
        return arrays

    def _open(self, name: str, mode: str = "r") -> Any:
        # One array; opened for writing, it writes every chunk, even one of fill values only.
        import zarr

        try:
            if mode == "r":
                return zarr.open_array(self.path / name, mode="r", zarr_format=3)
            return zarr.open_array(self.path / name, mode=mode, zarr_format=3,
                                   config={"write_empty_chunks": True})
        except OSError as error:
            if not isinstance(error, ValueError):
                raise  # the operating system's: the method's guard names it
            problem = "is missing"
        except Exception as error:  # a JSON error, or metadata Zarr refuses
            problem = f"cannot be read ({_reason(error)})"
        raise self._damage(f"the metadata of {name} ({name}/zarr.json) {problem}", name)

    def _check_chunks(self, arrays: dict[str, Any], frames: Iterable[int]) -> None:
        # Stores with checksums write every chunk: one missing from a complete frame (or from
        # a variable without a frame dimension) is damage. Older stores left chunks of fill
        # values out, so there an absent chunk reads as the fill value, as it always did.
        frames = [int(k) for k in frames]
        for name, array in arrays.items():
            if name == "frame" or not _checksummed(array):
                continue  # the frame index is rebuilt on reading (see read)
            chosen: Iterable[int | None] = frames if _per_frame(array) else [None]
            for frame in chosen:
                for key in _chunk_keys(array, frame):
                    if not (self.path / name / key).is_file():
                        where = self._chunk(name, frame)
                        raise self._damage(where + " is missing" + (
                            "" if frame is None else ", though the frame is marked complete"),
                            name, frame)

    @contextlib.contextmanager
    def _decoding(self, arrays: dict[str, Any], frames: Iterable[int]) -> Iterator[None]:
        # A chunk that cannot be decoded (its checksum, or a compressed stream cut short in
        # a store without one) is found again chunk by chunk, to name variable and frame.
        try:
            yield
        except MorvexError:
            raise
        except Exception as error:
            if isinstance(error, OSError) and not isinstance(error, ValueError):
                raise
            located = self._locate(arrays, [int(k) for k in frames])
            if located is None:
                raise
            raise located from None

    def _locate(self, arrays: dict[str, Any], frames: list[int]) -> StoreDamageError | None:
        for name, array in arrays.items():
            chosen: list[int | None] = list(frames) if _per_frame(array) else [None]
            for frame in chosen:
                try:
                    array[frame if frame is not None else ...]
                except Exception as error:
                    if isinstance(error, OSError) and not isinstance(error, ValueError):
                        raise
                    problem = ("fails its checksum" if "checksum" in str(error)
                               else f"cannot be decoded ({_reason(error)})")
                    return self._damage(f"{self._chunk(name, frame)} {problem}", name, frame)
        return None

    def _chunk(self, name: str, frame: int | None) -> str:
        if frame is None:
            return f"a chunk of {name}"
        try:
            names = (self.identity() or {}).get("frame_names", [])
        except MorvexError:
            names = []
        label = f" ({names[frame]})" if 0 <= frame < len(names) else ""
        return f"the chunk of {name} for frame {frame}{label}"

    def _damage(self, problem: str, variable: str | None = None,
                frame: int | None = None) -> StoreDamageError:
        return StoreDamageError(str(self.path), problem, variable, frame)


class StoreLock:
    """An exclusive ``flock`` on a store's lock file; a context manager, or release()."""

    def __init__(self, path: pathlib.Path) -> None:
        with _os_errors(path, "write"):
            folder = _lock_group(path)
            # Held open for the store's lifetime: the lock lasts as long as the handle.
            self._handle = open(folder / _LOCK_FILE, "a+")  # noqa: SIM115
        try:
            fcntl.flock(self._handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            self._handle.close()
            raise MorvexError(f"{path} is being written by another run (a second morvex run or "
                              "job on the same store); wait for it or choose another store"
                              ) from None

    def release(self) -> None:
        if not self._handle.closed:
            fcntl.flock(self._handle.fileno(), fcntl.LOCK_UN)
            self._handle.close()

    def __enter__(self) -> StoreLock:
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()


def _lock_group(path: pathlib.Path) -> pathlib.Path:
    """The store's lock group (a folder Zarr knows as a group), made if missing."""
    folder = path / LOCK_NAME
    folder.mkdir(parents=True, exist_ok=True)
    group = folder / "zarr.json"
    if not group.exists():
        group.write_text('{"zarr_format": 3, "node_type": "group", "attributes": {}}')
    return folder


def _note_creation(path: pathlib.Path) -> None:
    (_lock_group(path) / _CREATING).write_text(
        "a store is being created here; without morvex_run beside it, it never was\n")


def _checksummed(array: Any) -> bool:
    from zarr.codecs import Crc32cCodec

    return any(isinstance(codec, Crc32cCodec) for codec in getattr(array.metadata, "codecs", ()))


def _per_frame(array: Any) -> bool:
    names = getattr(array.metadata, "dimension_names", None)
    if not names:
        return False
    return bool(names[0] == "frame" and array.chunks[0] == 1)


def _chunk_keys(array: Any, frame: int | None) -> Iterator[str]:
    # The store keys of the chunks holding `frame` (every chunk, with None).
    counts = [range(-(-size // chunk)) for size, chunk in zip(array.shape, array.chunks,
                                                              strict=True)]
    if frame is not None:
        counts[0] = range(frame, frame + 1)
    for coords in itertools.product(*counts):
        yield array.metadata.encode_chunk_key(coords)


def _reason(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return lines[0][:160] if lines else type(error).__name__


def _within(filename: object, path: pathlib.Path) -> str | None:
    # The file an OS error names, relative to the store when inside it, and by its own name
    # when it is Zarr's temporary copy of it (NAME.<32 hex>.partial, .json dropped).
    if not filename:
        return None
    name = pathlib.Path(os.fsdecode(filename))  # type: ignore[arg-type]
    temporary = re.fullmatch(r"(.+)\.[0-9a-f]{32}\.partial", name.name)
    if temporary:
        own = temporary.group(1)
        name = name.with_name(own + ".json" if own == "zarr" else own)
    try:
        inside = name.resolve().relative_to(path.resolve())
    except (OSError, ValueError):
        return str(name)
    return None if str(inside) == "." else str(inside)


def _write_together(index: int, values: dict[str, np.ndarray], arrays: dict[str, Any]) -> None:
    """``arrays[name][index] = values[name]`` for every name, as one batch of Zarr writes."""
    import asyncio
    import importlib.util

    # A Zarr without its event-loop helper or its arrays' async side: one array after another.
    if importlib.util.find_spec("zarr.core.sync") is None or not all(
            hasattr(arrays[name], "async_array") for name in values):
        for name, value in values.items():
            arrays[name][index] = value
        return
    from zarr.core.sync import sync

    async def write_all() -> None:
        await asyncio.gather(*(arrays[name].async_array.setitem(index, value)
                               for name, value in values.items()))

    sync(write_all())


def write_store_attrs(path: str | os.PathLike[str], attrs: dict[str, Any]) -> None:
    """Add attributes (JSON-able values) to the store at `path`, e.g. a certificate's figures.

    Raises:
        MorvexError: when the path is not a Morvex store.
        StoreIOError: when the operating system refuses the write.
    """
    store = Store(path)
    with _os_errors(store.path, "write"):
        if not store.exists():
            raise MorvexError(f"{path} is not a Morvex results store (made by morvex run)")
        import zarr

        zarr.open_group(store.path, mode="r+").attrs.update(attrs)


def open_store(path: str | os.PathLike[str]) -> xr.Dataset:
    """Read a results store written by ``morvex run`` / ``correlate_sequence(store=...)``.

    Returns:
        The complete frames as an xarray.Dataset with dims (frame, y, x); a frame interrupted
        mid-write is left out.

    Raises:
        MorvexError: when the path is missing or not a Morvex store.
        StoreDamageError: when a complete frame's chunk is missing or fails its checksum, or
            metadata cannot be read (the message names the variable and the frame).
        StoreIOError: when the operating system refuses a read.

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

    def __enter__(self) -> None:  # the filters, not a record of warnings
        super().__enter__()
        warnings.filterwarnings("ignore", module="zarr")
        warnings.filterwarnings("ignore", module="xarray")


__all__ = ["Store", "StoreLock", "open_store", "run_identity", "digest"]
