"""Generate python/morvex/_guided.pyi from the installed extension, or check it is current.

    python scripts/stubs.py           # rewrite the checked-in stubs
    python scripts/stubs.py --check   # exit 1 if they differ from what the extension gives

The types come from the bindings themselves (argument names, pybind11 type hints), so the file
is never edited by hand: change the bindings, reinstall (make python), regenerate.
"""

from __future__ import annotations

import difflib
import pathlib
import sys
import tempfile

from pybind11_stubgen import main as stubgen
from pybind11_stubgen.parser.mixins.fix import FixTypingTypeNames
from pybind11_stubgen.parser.mixins.parse import BaseParser
from pybind11_stubgen.structs import Attribute, Identifier, QualifiedName

MODULE = "morvex._guided"
STUBS = pathlib.Path(__file__).resolve().parent.parent / "python" / "morvex" / "_guided.pyi"

# The extension has a class of its own called Sequence: stubgen would read the bare name in
# `self: Sequence` as typing.Sequence. Nothing in the module's signatures means typing's.
for name in ("Sequence", "sequence"):
    getattr(FixTypingTypeNames, "_FixTypingTypeNames__typing_names").discard(Identifier(name))

# A module attribute's type comes from the hint the bindings give it (attr_with_type_hint, kept
# in the module's __annotations__); stubgen by itself only sees the value's class (`dict`).
_attribute_from_value = BaseParser.handle_attribute


def _attribute_from_hint(self: BaseParser, path: QualifiedName, value: object) -> Attribute:
    attribute = _attribute_from_value(self, path, value)
    hints = getattr(sys.modules.get(str(path.parent)), "__annotations__", {})
    if attribute is not None and str(path[-1]) in hints:
        attribute.annotation = self.parse_annotation_str(hints[str(path[-1])])
    return attribute


BaseParser.handle_attribute = _attribute_from_hint


def generate() -> str:
    with tempfile.TemporaryDirectory() as folder:
        stubgen(["--exit-code", "-o", folder, MODULE])
        return (pathlib.Path(folder) / "morvex" / "_guided.pyi").read_text()


def main(argv: list[str]) -> int:
    fresh = generate()
    if "--check" not in argv:
        STUBS.write_text(fresh)
        return 0
    current = STUBS.read_text() if STUBS.exists() else ""
    if current == fresh:
        return 0
    sys.stdout.writelines(difflib.unified_diff(
        current.splitlines(keepends=True), fresh.splitlines(keepends=True),
        str(STUBS), "generated"))
    print(f"{STUBS.name} is out of date: run `python scripts/stubs.py` after `make python`")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
