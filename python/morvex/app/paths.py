"""Every path the page sends, confined to the root folder the application was started on.

The page only ever speaks in paths relative to the root. A path is refused when it is
absolute, climbs with ``..``, or resolves (through a symbolic link) to somewhere outside the
root; the message says which, so the user can correct it.
"""

from __future__ import annotations

import glob
import os
import pathlib

from .._errors import MorvexError
from ..io import IMAGE_SUFFIXES

_GLOB_CHARACTERS = set("*?[")


class Root:
    """The folder the application may read and write in."""

    def __init__(self, folder: str | os.PathLike[str]) -> None:
        path = pathlib.Path(folder).expanduser()
        if not path.is_dir():
            raise MorvexError(f"--root {folder} is not a folder")
        self.path = path.resolve()

    def resolve(self, text: object, what: str = "path", *, must_exist: bool = True
                ) -> pathlib.Path:
        """The absolute path of `text` (relative to the root), checked to stay inside it.

        Raises:
            MorvexError: for an empty, absolute, climbing or escaping path, or (with
                `must_exist`) a path that does not exist; the message names `what`.
        """
        if not isinstance(text, str) or not text.strip():
            raise MorvexError(f"{what}: give a path relative to the project folder")
        text = text.strip()
        if "\x00" in text:
            raise MorvexError(f"{what} {text!r}: a path cannot hold a NUL character")
        pure = pathlib.PurePosixPath(text)
        if pure.is_absolute() or pathlib.PureWindowsPath(text).is_absolute() or text[:1] == "~":
            raise MorvexError(f"{what} {text!r} is absolute; give a path relative to the "
                              "project folder")
        if ".." in pure.parts:
            raise MorvexError(f"{what} {text!r} climbs out with '..'; paths stay inside the "
                              "project folder")
        candidate = self.path / pure
        real = candidate.resolve()
        if real != self.path and self.path not in real.parents:
            raise MorvexError(f"{what} {text!r} leads outside the project folder (through a "
                              "link); only files inside it can be used")
        if must_exist and not candidate.exists():
            raise MorvexError(f"{what} {text!r} does not exist in the project folder")
        return candidate

    def frames(self, text: object) -> str | list[str]:
        """A frame source for the package: a folder, a glob pattern or files, all inside."""
        if not isinstance(text, str) or not text.strip():
            raise MorvexError("frames: give a folder, a pattern such as frames/*.tif, or files "
                              "separated by commas")
        items = [part.strip() for part in text.split(",") if part.strip()]
        sources: list[str] = []
        for item in items:
            if _GLOB_CHARACTERS & set(item) and not (self.path / item).exists():
                # Check the pattern's fixed part, then every match, so a pattern cannot
                # reach past the root either.
                self.resolve(item.replace("*", "x").replace("?", "x").replace("[", "x"),
                             "frames pattern", must_exist=False)
                matches = sorted(glob.glob(str(self.path / item)))
                if not matches:
                    raise MorvexError(f"frames pattern {item!r} matches no file in the "
                                      "project folder")
                for match in matches:
                    self.resolve(self.relative(pathlib.Path(match)), "frame")
                sources.extend(matches)
            else:
                sources.append(str(self.resolve(item, "frames")))
        return sources[0] if len(sources) == 1 else sources

    def relative(self, path: pathlib.Path) -> str:
        """`path` as the page shows it: relative to the root, with forward slashes."""
        try:
            return path.relative_to(self.path).as_posix() or "."
        except ValueError:
            return path.resolve().relative_to(self.path).as_posix() or "."

    def listing(self, text: str = ".") -> tuple[str, list[tuple[str, str]]]:
        """(folder, entries) for the file browser; entries are (relative path, kind)."""
        folder = self.resolve(text or ".", "folder")
        if not folder.is_dir():
            raise MorvexError(f"folder {text!r} is not a folder")
        entries: list[tuple[str, str]] = []
        for child in sorted(folder.iterdir(), key=lambda p: (not p.is_dir(), p.name.lower())):
            if child.name.startswith("."):
                continue
            try:
                self.resolve(self.relative(child), "entry")
            except MorvexError:
                continue  # a link out of the root is not shown
            if child.is_dir():
                kind = "store" if child.suffix == ".zarr" else "folder"
            elif child.suffix.lower() in IMAGE_SUFFIXES:
                kind = "image"
            elif child.suffix.lower() == ".csv":
                kind = "csv"
            else:
                continue
            entries.append((self.relative(child), kind))
        return self.relative(folder), entries
