"""A project: reference, frames, store, settings, mask, probes.

A project lives in the store: the application's own state (paths, settings, drawn shapes,
probes and gauges) is written as ``morvex_app.json`` inside the store folder, a file no run
touches, so opening the store again restores it. Results are never held here beyond the dataset
read from the store.
Its runs are kept per store for the whole server (app/runs.py).
"""

from __future__ import annotations

import json
import pathlib
from typing import Any

import numpy as np

from .._errors import MorvexError
from .crack_list import CrackList
from .mask import Shape, check_image_size, rasterise, read_mask
from .paths import Root
from .probe_list import ProbeList
from .results import Snapshot, StoreResults, results_of
from .runs import run_of, start_run, started_with
from .view import check_view

STATE_FILE = "morvex_app.json"
DEFAULT_STORE = "results.zarr"
# Settings the page offers, with the widget kind; defaults come from the package.
SETTINGS = ("subset", "step", "min_zncc", "strain_window", "strain_measure", "interpolation",
            "prefilter", "scale_mm_per_px", "shape", "strain_source", "feature_seeds", "seeds")

# The specimen plane's settings (results in mm on the specimen): camera and plane are files in
# the project folder, the others as typed (points as "X,Y" text). Kept apart from SETTINGS:
# a store records them with absolute paths, which the page never takes back.
PLANE_SETTINGS = ("camera", "plane", "scale", "between", "origin", "axis", "y_up",
                  "remove_rigid_motion", "strain_measures")
_PLANE_FILES = ("camera", "plane")


def plane_defaults() -> dict[str, Any]:
    from ..settings import Settings

    built = Settings.build()
    return {name: getattr(built, name) for name in PLANE_SETTINGS}


def defaults() -> dict[str, Any]:
    from ..settings import Settings

    built = Settings.build()
    return {name: getattr(built, name) for name in SETTINGS}


def _setting_row(name: str) -> Any:
    import dataclasses

    from ..settings import Settings

    return {f.name: f for f in dataclasses.fields(Settings)}[name].metadata


def setting_choices(name: str) -> tuple[str, ...]:
    """The values setting `name` takes, from the library's table."""
    return tuple(str(choice) for choice in _setting_row(name)["choices"])


def setting_help(name: str) -> str:
    """The one help line of setting `name`, with its unit, from the library's table."""
    row = _setting_row(name)
    return f"{row['help']}{' Unit:' + row['unit'] + '.' if row['unit'] else ''}"


def check_settings(values: dict[str, Any]) -> dict[str, str]:
    """The package's message for each setting it refuses (empty when all are accepted)."""
    from ..settings import Settings

    errors: dict[str, str] = {}
    for name, value in values.items():
        try:
            Settings.build(**{name: value})
        except MorvexError as error:
            errors[name] = str(error)
    return errors


class Project:
    """What one page works on. Every path it takes is relative to the root."""

    def __init__(self, root: Root) -> None:
        self.root = root
        self.reference_text = ""
        self.frames_text = ""
        self.store_text = DEFAULT_STORE
        self.mask_text = ""
        self.load_text = ""
        # Where the frame times come from, the time column, the area: see ProbeCard.
        self.test_data: dict[str, Any] = {}
        self.settings: dict[str, Any] = defaults()
        self.incremental = False
        self.shapes: list[Shape] = []
        self.mask_image: np.ndarray | None = None
        self.probes = ProbeList()
        self.cracks = CrackList()
        # E (MPa), Poisson's ratio and plane for the cracks' K (see CrackCard).
        self.crack_material: dict[str, Any] = {}
        self.plane: dict[str, Any] = plane_defaults()
        self.view: dict[str, float] | None = None  # the picture's zoom and centre (app/view.py)
        self.reference: np.ndarray | None = None
        self.frame_names: list[str] = []
        self.frames: Any = None
        self._results: StoreResults | None = None
        self._recorded_mask: np.ndarray | None = None

    # --- opening -------------------------------------------------------------------------

    @property
    def store(self) -> pathlib.Path:
        return self.root.resolve(self.store_text or DEFAULT_STORE, "store", must_exist=False)

    def open(self, reference: str, frames: str, store: str) -> None:
        """Open reference and frames, or (with only a store) a store made before.

        Raises:
            MorvexError: for a path outside the root, a missing or unreadable file, frames
                of another size than the reference, or a store that is not a Morvex store.
        """
        try:
            self._open(reference, frames, store)
        except Exception:
            # Nothing of the project open before stays on screen as if it were this one's.
            self.close()
            raise

    def close(self) -> None:
        """Forget the project open: no image, frames, shapes, mask, probes or view."""
        self.reference, self.frames, self.frame_names = None, None, []
        self.shapes, self.mask_image, self.mask_text = [], None, ""
        self.probes, self.view, self.load_text = ProbeList(), None, ""
        self.cracks, self.crack_material = CrackList(), {}
        self.test_data = {}
        self.plane = plane_defaults()
        self._results = self._recorded_mask = None

    def _open(self, reference: str, frames: str, store: str) -> None:
        from ..io import as_image, frames_from

        self.store_text = _store_text(store)
        store_path = self.store
        self.root.confine_tree(store_path, "store entry")
        saved = self._read_state(store_path)
        if saved and not reference.strip() and not frames.strip():
            reference, frames = saved.get("reference", ""), saved.get("frames", "")
        if not reference.strip():
            raise MorvexError("reference: give the reference image (relative to the project "
                              "folder), or a store made before")
        reference_path = self.root.resolve(reference, "reference")
        frames_source = self.root.frames(frames or reference)
        check_image_size(reference_path, "reference", reference.strip())
        image = as_image(reference_path, "reference")
        frame_list = frames_from(frames_source)
        _check_frame_size(frame_list, 0)
        first = frame_list[0]
        if first.shape != image.shape:
            raise MorvexError(f"frame {frame_list.names[0]} has shape {first.shape}, the "
                              f"reference {image.shape} (rows, cols); all must be the same size")
        self.reference_text, self.frames_text = reference.strip(), (frames or reference).strip()
        self.reference, self.frames, self.frame_names = image, frame_list, list(frame_list.names)
        self._results = None
        self.view = None  # fitted, unless the store kept one
        # Cracks drawn before stay if they fit this reference (as the probes stay).
        self.cracks = CrackList.from_saved(self.cracks.to_json(), image.shape[:2])
        if saved:
            self._restore(saved)

    def _read_state(self, store: pathlib.Path) -> dict[str, Any] | None:
        from ..store import Store

        text = None
        if Store(store).exists():
            state = store / STATE_FILE
            if not state.is_file():
                # A run of this server may have created the store before recording its
                # sources there: what it was started with stands in until then.
                recorded = self._state_from_run(store)
                return recorded if recorded is not None else started_with(store)
            try:
                text = state.read_text()
            except OSError:
                text = ""
        if text is None:
            # A run of this server that has not laid its store out yet.
            return started_with(store)
        try:
            data = json.loads(text)
        except (TypeError, ValueError):
            raise MorvexError(f"the project saved in {self.root.relative(store)} cannot be read; "
                              "open the reference and frames again") from None
        return data if isinstance(data, dict) else None

    def _state_from_run(self, store: pathlib.Path) -> dict[str, Any] | None:
        """A project from what a run (``morvex run``, a script) recorded in the store."""
        from ..store import Store

        handle = Store(store)
        sources, identity = handle.sources() or {}, handle.identity() or {}
        base = store.resolve().parent

        def inside(item: Any) -> str:
            path = pathlib.Path(item) if pathlib.Path(str(item)).is_absolute() else base / item
            try:
                return self.root.relative(pathlib.Path(path).resolve())
            except ValueError:
                raise MorvexError(f"the store {self.root.relative(store)} was made from "
                                  f"{item}, outside the project folder; open it with --root "
                                  "on a folder holding its frames") from None

        frames = sources.get("frames")
        if not isinstance(frames, list) or not frames or not all(
                isinstance(f, str) for f in frames):
            return None
        reference = sources.get("reference", 0)
        if isinstance(reference, int):
            files = _files_of([pathlib.Path(f) if pathlib.Path(f).is_absolute() else base / f
                               for f in frames])
            if not -len(files) <= reference < len(files):
                return None
            reference = str(files[reference])
        if not isinstance(reference, str):
            return None
        self._recorded_mask = handle.mask()
        return {"reference": inside(reference), "frames": ",".join(inside(f) for f in frames),
                "settings": {k: identity[k] for k in SETTINGS if k in identity},
                "incremental": bool(identity.get("incremental", False))}

    def _restore(self, saved: dict[str, Any]) -> None:
        settings = defaults()
        settings.update({k: v for k, v in saved.get("settings", {}).items() if k in SETTINGS})
        if not check_settings(settings):
            self.settings = settings
        self.incremental = bool(saved.get("incremental", False))
        self.shapes = [Shape.from_json(s) for s in saved.get("shapes", [])]
        self.mask_text = str(saved.get("mask", ""))
        self.mask_image = self._recorded_mask
        self._recorded_mask = None
        if self.mask_text:
            self.load_mask(self.mask_text)
        self.load_text = str(saved.get("load", ""))
        kept = saved.get("test_data", {})
        self.test_data = dict(kept) if isinstance(kept, dict) else {}
        self.probes = ProbeList.from_saved(saved.get("probes", {}))
        if "cracks" in saved:
            self.cracks = CrackList.from_saved(saved["cracks"], self.cracks.shape)
        material = saved.get("crack_material", {})
        self.crack_material = dict(material) if isinstance(material, dict) else {}
        plane = plane_defaults()
        plane.update({k: v for k, v in dict(saved.get("plane", {})).items()
                      if k in PLANE_SETTINGS})
        self.plane = plane  # as typed: a run checks it whole (see plane_settings)
        self.view = check_view(saved.get("view"))

    def save(self) -> None:
        """Write the project's state into the store folder (once the run has laid it out).

        A file of its own, replaced whole: the run writes the store's metadata while it goes,
        and nothing here may race with that.
        """
        from ..store import Store

        store = self.store
        if not Store(store).exists():
            return
        temporary = store / (STATE_FILE + ".tmp")
        temporary.write_text(json.dumps(self.state(), indent=1))
        temporary.replace(store / STATE_FILE)

    def state(self) -> dict[str, Any]:
        return {"reference": self.reference_text, "frames": self.frames_text,
                "settings": dict(self.settings), "incremental": self.incremental,
                "shapes": [s.to_json() for s in self.shapes], "mask": self.mask_text,
                "load": self.load_text, "probes": self.probes.to_json(),
                "cracks": self.cracks.to_json(), "crack_material": dict(self.crack_material),
                "test_data": dict(self.test_data), "plane": dict(self.plane), "view": self.view}

    def crack_settings(self) -> dict[str, Any]:
        """The drawn cracks as a run's barriers ({"crack_lines": [[[x, y], ...], ...]}), when
        the library takes them and a crack is drawn; else nothing."""
        from ..settings import LIBRARY_SETTINGS

        if "crack_lines" in LIBRARY_SETTINGS and len(self.cracks):
            return {"crack_lines": self.cracks.lines()}
        return {}

    def plane_settings(self) -> dict[str, Any]:
        """The specimen plane's settings as a run takes them: files resolved inside the
        project folder, blanks left out; checked together.

        Raises:
            MorvexError: for a file outside the folder or missing, or settings that do not
                go together (a plane image without a camera, a scale without its ends...).
        """
        from ..settings import Settings

        given = {}
        for name, value in self.plane.items():
            if value is None or value == "" or value is False:
                continue
            if name in _PLANE_FILES:
                value = str(self.root.resolve(value, f"{name} file"))
            given[name] = value
        Settings.build(**given)  # each value and how they go together
        return given

    # --- mask and grid -------------------------------------------------------------------

    def load_mask(self, text: str) -> None:
        self._need_reference()
        path = self.root.resolve(text, "mask")
        self.mask_image = read_mask(path, self.reference.shape,  # type: ignore[union-attr]
                                    text.strip())
        self.mask_text = text.strip()

    def mask(self) -> np.ndarray | None:
        self._need_reference()
        return rasterise(self.shapes, self.reference.shape,  # type: ignore[union-attr]
                         self.mask_image)

    def grid(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(x, y, kept) of the subset centres the run will measure; kept: centre on the mask."""
        from ..settings import Settings, grid_axes

        self._need_reference()
        settings = Settings.build(**self.settings)
        settings.check_image(self.reference.shape)  # type: ignore[union-attr]
        ys, xs = grid_axes(settings, self.reference.shape)  # type: ignore[union-attr]
        gx, gy = np.meshgrid(xs, ys)
        mask = self.mask()
        kept = np.ones(gx.shape, bool) if mask is None else mask[gy, gx]
        return gx, gy, kept

    # --- running -------------------------------------------------------------------------

    def start(self, watch: bool = False) -> Any:
        """Start a Job on the store (resuming what it holds); `watch`: follow the frames
        folder as the camera writes into it, until stopped.

        Raises:
            MorvexError: for a bad setting, a store written with other settings, or a run
                going on on the same store.
        """
        self._need_reference()
        return start_run(self, watch)

    def use_store(self, text: str) -> None:
        """Write the next run into the store `text` names (relative to the root), keeping the
        opened reference, frames, settings, mask and probes.

        Raises:
            MorvexError: for a name without .zarr or a path outside the root.
        """
        text = _store_text(text)
        self.root.resolve(text, "store", must_exist=False)
        self.store_text = text
        self._results = None

    def job(self) -> Any:
        return run_of(self.store)

    def results(self) -> StoreResults:
        """The reader of the project's store, shared with every tab on the same store."""
        results = self._results
        if results is None or results.path != self.store.resolve():
            results = self._results = results_of(self.store)
        return results

    def stored_progress(self) -> tuple[int, int]:
        """(complete frames in the store, frames of the project) at the last look."""
        return self.results().snapshot().done, len(self.frame_names)

    def dataset(self) -> Any:
        """The store's complete frames at the last look (see :meth:`refresh`); never reads."""
        return self.results().snapshot().dataset

    def refresh(self, *, force: bool = False) -> Snapshot:
        """Look at the store for newly complete frames (blocking: call from a worker thread)."""
        return self.results().refresh(force=force)

    def frame_image(self, index: int) -> np.ndarray:
        self._need_reference()
        if not 0 <= index < len(self.frame_names):
            raise MorvexError(f"frame {index} is outside the {len(self.frame_names)} frames")
        _check_frame_size(self.frames, index)
        return self.frames[index]  # type: ignore[no-any-return]

    def _need_reference(self) -> None:
        if self.reference is None:
            raise MorvexError("open a project first: reference and frames, or a store")


def _check_frame_size(frames: Any, index: int) -> None:
    """Refuse frame `index` by its file's header when it declares a huge image."""
    source = frames.sources[index]
    if source.path is not None and source.kind in ("file", "tiff"):
        check_image_size(pathlib.Path(source.path), "frame", frames.names[index])


def _store_text(text: str) -> str:
    text = (text or "").strip()
    if text and not text.endswith(".zarr"):
        raise MorvexError(f"store {text!r} must end in .zarr (a results folder)")
    return text or DEFAULT_STORE


def _files_of(items: list[pathlib.Path]) -> list[pathlib.Path]:
    """The image files a frame list names, in the package's order (natural order of names)."""
    import glob

    from ..io import IMAGE_SUFFIXES, natural_key

    files: list[pathlib.Path] = []
    for item in items:
        if item.is_dir():
            files += sorted((p for p in item.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES),
                            key=natural_key)
        elif item.exists():
            files.append(item)
        else:
            files += [pathlib.Path(p) for p in sorted(glob.glob(str(item)), key=natural_key)]
    return files
