"""The extension's type stubs (python/morvex/_guided.pyi) are what pybind11-stubgen makes of
the built module.

    .venv/bin/python scripts/check_stubs.py           # exit 1 when the stubs are stale
    .venv/bin/python scripts/check_stubs.py --write   # regenerate them after a binding change

The types come from the bindings themselves (argument names, pybind11 type hints), so the file
is never edited by hand: change the bindings, `make python`, then `make stubs`.
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

STUBS = pathlib.Path(__file__).resolve().parent.parent / "python" / "morvex" / "_guided.pyi"
# The version is stamped by the build; stubs must not change with every release.
_VERSION_LINE = "__version__: str"

# The extension has a class of its own called Sequence: stubgen would read the bare name in
# `self: Sequence` as typing.Sequence. Nothing in the module's signatures means typing's.
for _name in ("Sequence", "sequence"):
    FixTypingTypeNames._FixTypingTypeNames__typing_names.discard(Identifier(_name))

# A module attribute's type comes from the hint the bindings give it (attr_with_type_hint, kept
# in the module's __annotations__); stubgen by itself only sees the value's class (`dict`).
_attribute_from_value = BaseParser.handle_attribute


def _attribute_from_hint(self: BaseParser, path: QualifiedName, value: object) -> Attribute:
    attribute = _attribute_from_value(self, path, value)
    hints = getattr(sys.modules.get(str(path.parent)), "__annotations__", {})
    if attribute is not None and str(path[-1]) in hints:
        attribute.annotation = self.parse_annotation_str(hints[str(path[-1])])
    return attribute


BaseParser.handle_attribute = _attribute_from_hint  # type: ignore[method-assign]


def generated() -> str:
    with tempfile.TemporaryDirectory() as folder:
        stubgen(["--exit-code", "-o", folder, "morvex._guided"])
        text = (pathlib.Path(folder) / "morvex" / "_guided.pyi").read_text()
    return "\n".join(line if not line.startswith(_VERSION_LINE) else f"{_VERSION_LINE}"
                     for line in text.splitlines()) + "\n"


def main(argv: list[str]) -> int:
    text = generated()
    if "--write" in argv:
        STUBS.write_text(text)
        print(f"wrote {STUBS}")
        return 0
    current = STUBS.read_text() if STUBS.exists() else ""
    if current != text:
        sys.stdout.writelines(difflib.unified_diff(
            current.splitlines(keepends=True), text.splitlines(keepends=True),
            str(STUBS), "generated"))
        print(f"{STUBS} is stale: run `make stubs` after changing the binding")
        return 1
    print(f"{STUBS.name} matches the built extension")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
