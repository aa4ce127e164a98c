"""The store's complete frames as every tab sees them: one reader per store, shared by the tabs.

A tab asks several times a second whether a run has added frames. Reading the whole store for
each question costs O(frames) per question, O(frames²) per run and tab, and a tab that does it
on the event loop freezes every tab of the server. The reader here reads the ``complete``
marker (one small array), then only the frames that became complete since it last looked,
checking each of their chunks as every reader of the store does. It keeps what was read last,
up to a budget, not the run: a 30-frame run of 20 000 points held whole is 40 MB the server
would keep after the run, and a long test's thousand frames more than a gigabyte. The dataset
the tabs draw from reads anything else from the store on demand, through the same checks. A
damaged chunk empties the reader: its numbers are never shown. Tabs call
:meth:`StoreResults.refresh` from a worker thread; one of them reads, the others wait for it on
the reader's lock and take what it read.
"""

from __future__ import annotations

import json
import pathlib
import threading
import time
import weakref
from dataclasses import dataclass
from typing import Any

import numpy as np

# Questions closer together than this (s) share one look at the store: five tabs polling
# twice a second cost two looks a second, not ten.
_MIN_INTERVAL = 0.25
# A damaged store is looked at again this seldom (s): each look reads its frames up to the
# damaged one, and only a new run (or a repair) changes the answer.
_DAMAGED_INTERVAL = 5.0
# The per-frame variables a tab draws or probes; the rest of a store (gradients, second-order
# terms, iterations) would double what the server holds for every frame of a run, and the
# exports read the store whole themselves.
SHOWN = ("u", "v", "exx", "eyy", "exy", "zncc", "sigma_u", "sigma_v", "status", "valid")

# Bytes of decoded values kept per store, least recently used first out: the frames the
# tabs show (and the next one a tab steps to), and the newest frame. Reading a shown frame
# again for each field change cost a tab's redraw three times its time; keeping the whole
# run cost 40 MB for good.
_KEPT_BYTES = 12 * 2**20

_READERS: weakref.WeakValueDictionary[pathlib.Path, StoreResults] = (
    weakref.WeakValueDictionary())
_READERS_LOCK = threading.Lock()


@dataclass(frozen=True)
class Snapshot:
    """What the store holds at one look.

    ``version`` grows whenever the dataset changes (new frames, another run's store), so a
    tab redraws exactly when there is something new to draw; ``epoch`` grows only when frames
    read before may have changed (another run's store), so a frame drawn in the same epoch
    stays right as later frames arrive.
    """

    version: int
    done: int          # complete frames
    total: int         # frames the store is laid out for (0 before it exists)
    dataset: Any       # xarray.Dataset of the complete frames, or None when there are none
    epoch: int = 0


_EMPTY = Snapshot(0, 0, 0, None)


def results_of(store: pathlib.Path) -> StoreResults:
    """The reader of `store` shared by every tab of this server (made on first use; dropped
    when no tab holds it any more)."""
    key = store.resolve()
    with _READERS_LOCK:
        reader = _READERS.get(key)
        if reader is None:
            reader = StoreResults(key)
            _READERS[key] = reader
        return reader


class StoreResults:
    """The complete frames of one store, read frame by frame as they complete."""

    def __init__(self, path: pathlib.Path) -> None:
        self.path = path
        self._lock = threading.Lock()
        self._version = 0
        self._epoch = 0
        self._looked = -float("inf")
        self._snapshot = _EMPTY
        self._damage: Exception | None = None
        self._forget()

    def _forget(self) -> None:
        self._identity: str | None = None
        self._lazy: Any = None
        self._members: dict[str, Any] = {}  # the store's arrays of the variables shown
        self._have = np.zeros(0, dtype=bool)
        # The store's attributes the last dataset was made with: a run writes some of them
        # (the reference's read noise, skipped frames) after its frames are complete.
        self._attrs: dict[str, Any] = {}
        # Decoded values, newest use last: (variable, frame index) -> values.
        self._kept: dict[tuple[str, int], np.ndarray] = {}
        self._kept_bytes = 0
        self._kept_lock = threading.Lock()
        self._unshown: int | None = None  # the newest frame, kept before any tab showed it

    def snapshot(self) -> Snapshot:
        """The last look, without looking again."""
        return self._snapshot

    def refresh(self, *, force: bool = False) -> Snapshot:
        """Look at the store (at most every quarter second unless `force`) and read the frames
        that completed since the last look. Blocking: call it from a worker thread.

        Raises:
            StoreDamageError: when a chunk of a frame read is missing or fails its checksum
                (naming the variable and the frame); nothing read from the store is kept
                then, so no tab goes on showing numbers of a damaged store.
        """
        from .._errors import StoreDamageError

        with self._lock:
            wait = _MIN_INTERVAL if self._damage is None else _DAMAGED_INTERVAL
            if not force and time.monotonic() - self._looked < wait:
                if self._damage is not None:
                    raise self._damage
                return self._snapshot
            try:
                self._snapshot = self._look()
                self._damage = None
            except StoreDamageError as damage:
                self._forget()
                self._version += 1
                self._epoch += 1
                self._snapshot = Snapshot(self._version, 0, 0, None, self._epoch)
                self._damage = damage
                raise
            finally:
                self._looked = time.monotonic()
            return self._snapshot

    def _look(self) -> Snapshot:
        import zarr

        from ..store import MARKER, RUN_ATTRIBUTE

        group: Any = None
        if self.path.is_dir():
            try:
                group = zarr.open_group(self.path, mode="r")
            except Exception:  # not a Zarr group (yet): a run is laying it out
                group = None
        identity = None if group is None else group.attrs.get(RUN_ATTRIBUTE)
        if identity is None:
            if self._identity is not None or self._snapshot.dataset is not None:
                self._forget()
                self._version += 1
                self._epoch += 1
            return Snapshot(self._version, 0, 0, None, self._epoch)
        try:
            marker = np.asarray(zarr.open_array(self.path / MARKER, mode="r")[:]) == 1
        except Exception:  # the store is being replaced under us: look again next time
            return self._snapshot
        if str(identity) != self._identity or (self._have & ~marker[:self._have.size]).any() \
                or marker.size < self._have.size:
            # Another run's store, or frames no longer complete: start again from nothing.
            self._forget()
            self._identity = str(identity)
            self._version += 1
            self._epoch += 1
        new = np.flatnonzero(marker & ~np.pad(self._have, (0, marker.size - self._have.size)))
        attrs = dict(group.attrs)
        if new.size or (attrs != self._attrs and self._have.any()):
            if new.size:
                self._read(new, marker.size)
            self._version += 1
            return Snapshot(self._version, int(self._have.sum()), marker.size,
                            self._dataset(group), self._epoch)
        if self._snapshot.version == self._version:
            return Snapshot(self._version, int(self._have.sum()), marker.size,
                            self._snapshot.dataset, self._epoch)
        return Snapshot(self._version, int(self._have.sum()), marker.size,
                        self._dataset(group) if self._have.any() else None, self._epoch)

    def _read(self, frames: np.ndarray, total: int) -> None:
        import xarray as xr

        from ..store import Store, _quiet
        from .runs import trim_heap

        store = Store(self.path)
        if self._lazy is None or self._lazy.sizes["frame"] < total:
            # Opened lazily once (and again when a watched folder grew the store): its
            # variables give the names, dims and attributes; values come through _frame.
            with _quiet():
                self._lazy = xr.open_zarr(self.path, consolidated=False, chunks=None)
            self._lazy = self._lazy[[name for name in self._lazy.data_vars if name in SHOWN]]
            self._members = {name: array for name, array in store.arrays().items()
                             if name in self._lazy.data_vars}
        # The store's own checks, so a damaged chunk is named as every reader names it, and
        # a chunk missing from a complete frame never reads as its fill value: every new
        # frame is decoded once here, whether or not it is kept.
        store.check_frames(self._members, frames.tolist())
        if self._have.size < total:
            self._have = np.pad(self._have, (0, total - self._have.size))
        # Kept: only the newest frame, where a tab lands when a run ends or a store opens;
        # the others are kept once a tab shows them. Keeping every frame as it arrived
        # filled the budget with frames nobody looked at, held past the run's end.
        newest = int(frames.max())
        for index in frames.tolist():
            values = self._decode(store, index)
            if index == newest:
                self._keep_newest(index, values)
            del values
            self._have[index] = True
        # The chunks' compressed and decoded buffers were freed into this worker's own malloc
        # arena, which glibc keeps unless asked: a run's last frames are read after the trim
        # at its end, and the server would keep tens of MB past it.
        trim_heap()

    def _decode(self, store: Any, index: int, names: Any = None) -> dict[str, np.ndarray]:
        members = self._members if names is None else {n: self._members[n] for n in names}
        values: dict[str, np.ndarray] = store.read_frame(members, index)
        return values

    def _keep_newest(self, index: int, values: dict[str, np.ndarray]) -> None:
        # The newest frame replaces the one kept before it as newest, unless a tab has shown
        # that one since: kept by the budget alone, a run's last frames filled it (a dozen MB
        # the server held after the run for frames no tab showed).
        with self._kept_lock:
            unshown, self._unshown = self._unshown, index
            if unshown is not None and unshown != index:
                for name in self._members:
                    dropped = self._kept.pop((name, unshown), None)
                    if dropped is not None:
                        self._kept_bytes -= dropped.nbytes
        self._keep(index, values)

    def _keep(self, index: int, values: dict[str, np.ndarray]) -> None:
        with self._kept_lock:
            for name, array in values.items():
                old = self._kept.pop((name, index), None)
                if old is not None:
                    self._kept_bytes -= old.nbytes
                self._kept[(name, index)] = array
                self._kept_bytes += array.nbytes
            while self._kept_bytes > _KEPT_BYTES and len(self._kept) > len(values):
                self._kept_bytes -= self._kept.pop(next(iter(self._kept))).nbytes

    def _frame(self, epoch: int, index: int, name: str, *, keep: bool) -> np.ndarray:
        """Variable `name` of complete frame `index`, from the values kept or the store. With
        `keep`, a frame read from the store is decoded whole and kept (a tab showing it asks
        for its other fields next); otherwise only this variable is read, and not kept (a
        series through every frame, which the probes read once per look at the store and
        keep what they make of it)."""
        from .._errors import MorvexError
        from ..store import Store

        with self._kept_lock:
            values = self._kept.pop((name, index), None)
            if values is not None:
                self._kept[(name, index)] = values  # now the most recently used
            if keep and index == self._unshown:
                self._unshown = None  # a tab shows it: kept as any shown frame is
        if epoch != self._epoch:
            # Drawn from a dataset of a store since replaced (another run): its frames are
            # no longer there to read; the tab's next look shows the new store.
            raise MorvexError(f"{self.path.name} was replaced by another run; showing it anew")
        if values is not None:
            return values
        decoded = self._decode(Store(self.path), index, None if keep else [name])
        if keep:
            self._keep(index, decoded)
        return decoded[name]

    def prefetch(self, epoch: int, index: int) -> None:
        """Decode complete frame `index` into the values kept unless they hold it already, so
        that a tab stepping through the frames finds the next one decoded (decoding a frame
        costs a frame change a fifth of its time). Blocking: call it from a worker thread.
        A frame of another epoch, not complete, or damaged is left alone: the tab that shows
        it reads it, and names the damage, itself."""
        from .._errors import MorvexError
        from ..store import Store

        if epoch != self._epoch or not 0 <= index < self._have.size or not self._have[index]:
            return
        with self._kept_lock:
            if all((name, index) in self._kept for name in self._members):
                return
        try:
            self._keep(index, self._decode(Store(self.path), index))
        except MorvexError:
            return

    def _dataset(self, group: Any) -> Any:
        """The complete frames as ``open_store`` gives them, as views where they can be."""
        import xarray as xr

        from ..store import RUN_ATTRIBUTE, SKIPPED_ATTRIBUTE, SOURCES_ATTRIBUTE

        done = np.flatnonzero(self._have)
        if done.size == 0:
            return None
        pick: Any = slice(0, done.size) if done[-1] == done.size - 1 else done
        lazy = self._lazy
        frames = done[pick]
        variables = {name: xr.Variable(lazy[name].dims, _lazy_frames(
            self, name, frames, lazy[name]), lazy[name].attrs) for name in self._members}
        coords = {name: coord.variable for name, coord in lazy.coords.items()
                  if "frame" not in coord.dims}
        attrs = dict(group.attrs)
        self._attrs = dict(attrs)
        identity = json.loads(str(attrs.pop(RUN_ATTRIBUTE)))
        attrs.pop(SOURCES_ATTRIBUTE, None)
        skipped = attrs.pop(SKIPPED_ATTRIBUTE, None)
        names = identity["frame_names"]
        if skipped:
            attrs["skipped_frames"] = json.dumps(
                {names[int(k)]: reason for k, reason in json.loads(str(skipped)).items()})
        dataset = xr.Dataset(variables, coords=coords, attrs=attrs)
        return dataset.assign_coords(
            frame=("frame", done), frame_name=("frame", np.array(
                [names[k] for k in done.tolist()], dtype=object)))


def warm_up() -> None:
    """Read a one-value store in memory as the reader reads one on disk. Blocking: call it
    from a thread once the server starts.

    xarray, Zarr, their codecs and what they import on first use (dask's checks among them)
    are 20 MB and about a second of imports: taken at the start, they are not a stall of
    every tab when the first store is opened, nor counted as memory a run kept.
    """
    import warnings

    import xarray as xr
    import zarr
    from zarr.codecs import Crc32cCodec, ZstdCodec

    from ..store import MARKER

    memory = zarr.storage.MemoryStore()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        xr.Dataset({MARKER: (("frame", "y"), np.zeros((1, 2), np.float32))}).to_zarr(
            memory, zarr_format=3, consolidated=False,
            encoding={MARKER: {"compressors": (ZstdCodec(), Crc32cCodec())}})
        np.asarray(xr.open_zarr(memory, consolidated=False, chunks=None)[MARKER][0].values)


def _lazy_frames(reader: StoreResults, name: str, frames: np.ndarray, variable: Any) -> Any:
    """Variable `name` over complete `frames`, read when indexed (xarray's lazy indexing)."""
    from xarray.backends import BackendArray
    from xarray.core import indexing

    epoch = reader._epoch

    class Frames(BackendArray):
        shape = (frames.size,) + tuple(variable.shape[1:])
        dtype = variable.dtype

        def __getitem__(self, key: Any) -> Any:
            return indexing.explicit_indexing_adapter(
                key, self.shape, indexing.IndexingSupport.BASIC, self._basic)

        def _basic(self, key: tuple[Any, ...]) -> np.ndarray:
            picked = frames[key[0]]
            rest = key[1:]
            if np.ndim(picked) == 0:
                return np.asarray(reader._frame(epoch, int(picked), name, keep=True)[rest])
            one = picked.size == 1
            out = np.empty((picked.size,) + np.broadcast_to(0, self.shape[1:])[rest].shape,
                           self.dtype)
            for k, index in enumerate(picked.tolist()):
                out[k] = reader._frame(epoch, index, name, keep=one)[rest]
            return out

    return indexing.LazilyIndexedArray(Frames())


__all__ = ["Snapshot", "StoreResults", "results_of", "warm_up"]
