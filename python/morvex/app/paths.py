"""Every path the page reads or writes, confined to the root folder the application was started on.

The page only ever speaks in paths relative to the root. A path is refused when it is
absolute, climbs with ``..``, or resolves (through a symbolic link) to somewhere outside the
root; the message says which, so the user can correct it. :meth:`Root.confine` is the one
place a path is resolved: every file a folder or pattern lists, the store, the export folder
and what they hold go through it, and what it returns (links resolved) is what is read or
written, so a link checked once cannot be read through later under its own name.
"""

from __future__ import annotations

import glob
import os
import pathlib

from .._errors import MorvexError
from ..io import IMAGE_SUFFIXES, files_of

_GLOB_CHARACTERS = set("*?[")


class Root:
    """The folder the application may read and write in."""

    def __init__(self, folder: str | os.PathLike[str]) -> None:
        path = pathlib.Path(folder).expanduser()
        if not path.is_dir():
            raise MorvexError(f"--root {folder} is not a folder")
        self.path = path.resolve()

    def confine(self, path: str | os.PathLike[str], what: str = "path", *,
                must_exist: bool = False) -> pathlib.Path:
        """The real path of `path` (absolute, or relative to the root), every link resolved.

        Raises:
            MorvexError: when the real path is outside the root, or (with `must_exist`) does
                not exist; the message names `what` and the path as the page shows it.
        """
        given = self.path / path
        real = pathlib.Path(os.path.realpath(given))
        if not real.is_relative_to(self.path):
            raise MorvexError(f"{what} {self._shown(given)!r} leads outside the project folder "
                              "(through a link); only files inside it can be used")
        if must_exist and not real.exists():
            raise MorvexError(f"{what} {self._shown(given)!r} does not exist in the project "
                              "folder")
        return real

    def confine_tree(self, folder: pathlib.Path, what: str) -> None:
        """Refuse a folder holding, at any depth, a link that leads outside the root.

        Raises:
            MorvexError: naming `what` and the first such link.
        """
        if not folder.is_dir():
            return
        for parent, folders, files in os.walk(folder):
            for name in folders + files:
                entry = pathlib.Path(parent) / name
                if entry.is_symlink():
                    self.confine(entry, what)

    def resolve(self, text: object, what: str = "path", *, must_exist: bool = True
                ) -> pathlib.Path:
        """The real path of `text` (relative to the root), checked to stay inside it.

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
        return self.confine(pure, what, must_exist=must_exist)

    def files(self, item: str, what: str = "frame", *, allow_empty: bool = False
              ) -> list[pathlib.Path]:
        """The real paths of the image files `item` (a folder, pattern or file, relative to
        the root) lists, the same listing the package reads frames from, each confined.

        Raises:
            MorvexError: for a pattern or folder leading outside, a listed file that does, or
                (unless `allow_empty`) a folder without images or a pattern without matches.
        """
        if _GLOB_CHARACTERS & set(item) and not (self.path / item).exists():
            # The pattern's fixed part first, so a pattern cannot reach past the root; then
            # every match below.
            self.resolve(item.replace("*", "x").replace("?", "x").replace("[", "x"),
                         "frames pattern", must_exist=False)
            if not glob.glob(str(self.path / item)) and not allow_empty:
                raise MorvexError(f"frames pattern {item!r} matches no file in the project "
                                  "folder")
            listed = files_of(str(self.path / item), allow_empty=True)
        else:
            listed = files_of(self.resolve(item, "frames"), allow_empty=allow_empty)
        return [self.confine(file, what, must_exist=True) for file in listed]

    def frames(self, text: object) -> list[str]:
        """A frame source for the package: the files of folders, glob patterns or files
        separated by commas, every one confined (so a link in a frames folder is caught)."""
        if not isinstance(text, str) or not text.strip():
            raise MorvexError("frames: give a folder, a pattern such as frames/*.tif, or files "
                              "separated by commas")
        items = [part.strip() for part in text.split(",") if part.strip()]
        return [str(file) for item in items for file in self.files(item)]

    def export_folder(self, store: pathlib.Path) -> pathlib.Path:
        """``NAME_export`` beside the store, made if missing: confined, and holding no link
        out of the root (an export writes through whatever name it finds there).

        Raises:
            MorvexError: when the folder or anything in it leads outside the root.
        """
        folder = self.confine(store.with_name(store.name.removesuffix(".zarr") + "_export"),
                              "export folder")
        folder.mkdir(exist_ok=True)
        self.confine_tree(folder, "export folder entry")
        return folder

    def relative(self, path: pathlib.Path) -> str:
        """`path` as the page shows it: relative to the root, with forward slashes."""
        try:
            return path.relative_to(self.path).as_posix() or "."
        except ValueError:
            return path.resolve().relative_to(self.path).as_posix() or "."

    def _shown(self, path: pathlib.Path) -> str:
        # Lexically, links unresolved: the name the user gave or the listing found.
        normal = pathlib.Path(os.path.normpath(path))
        return normal.relative_to(self.path).as_posix() if normal.is_relative_to(
            self.path) else str(normal)

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
                self.confine(child, "entry")
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
