"""The extension's type stubs (python/morvex/_guided.pyi) are what pybind11-stubgen makes of
the built module.

    .venv/bin/python scripts/check_stubs.py           # exit 1 when the stubs are stale
    .venv/bin/python scripts/check_stubs.py --write   # regenerate them after a binding change
"""

from __future__ import annotations

import pathlib
import subprocess
import sys
import tempfile

STUBS = pathlib.Path(__file__).resolve().parent.parent / "python" / "morvex" / "_guided.pyi"
# The version is stamped by the build; stubs must not change with every release.
_VERSION_LINE = "__version__: str"


def generated() -> str:
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([sys.executable, "-m", "pybind11_stubgen", "morvex._guided", "-o", folder],
                       check=True, capture_output=True)
        text = (pathlib.Path(folder) / "morvex" / "_guided.pyi").read_text()
    return "\n".join(line if not line.startswith(_VERSION_LINE) else f"{_VERSION_LINE}"
                     for line in text.splitlines()) + "\n"


def main(argv: list[str]) -> int:
    text = generated()
    if "--write" in argv:
        STUBS.write_text(text)
        print(f"wrote {STUBS}")
        return 0
    if not STUBS.exists() or STUBS.read_text() != text:
        print(f"{STUBS} is stale: run scripts/check_stubs.py --write after changing the binding")
        return 1
    print(f"{STUBS.name} matches the built extension")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
