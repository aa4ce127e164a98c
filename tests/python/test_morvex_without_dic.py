"""The package where the specified _morvex_dic module is not built (it is a CPython 3.12 module,
and a wheel for any other Python lacks it): morvex imports, reads, makes and measures a pair
through its own extension alone."""

import ast
import os
import pathlib
import subprocess
import sys

PACKAGE = pathlib.Path(__file__).resolve().parents[2] / "python" / "morvex"

# A fresh interpreter in which importing _morvex_dic fails as it does where it is not built.
BLOCKED_RUN = """
import importlib.abc, sys

class NotBuilt(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "_morvex_dic":
            raise ModuleNotFoundError("No module named '_morvex_dic'", name=name)
        return None

sys.meta_path.insert(0, NotBuilt())
try:
    import _morvex_dic
except ModuleNotFoundError:
    pass
else:
    sys.exit("the import hook let _morvex_dic through")

import numpy as np
from PIL import Image

import morvex

pair = morvex.synthetic_pair((96, 96), u=0.4, v=-0.25, seed=4)
Image.fromarray(np.clip(pair.reference, 0, 255).astype(np.uint8)).save(sys.argv[1])
reference = morvex.load_image(sys.argv[1])
assert reference.shape == (96, 96), reference.shape
assert morvex.speckle_report(reference)["recommended_subset"] in (21, 31, 41, 51, 61)
ds = morvex.correlate(reference, pair.deformed, subset=21, step=8)
inner = ds.isel(y=slice(1, -1), x=slice(1, -1))
x, y = np.meshgrid(inner["x"].values, inner["y"].values)
truth = pair.truth(x, y)
assert inner["valid"].values.all()
print(float(np.abs(inner["u"].values - truth["u"]).max()),
      float(np.abs(inner["v"].values - truth["v"]).max()))
assert "_morvex_dic" not in sys.modules
"""
# px: the 8-bit rounding of the saved reference adds about 0.01 px to the clean pair's error.
MEASURE_TOLERANCE = 0.05


def test_the_package_measures_a_synthetic_pair_with_the_specified_module_blocked(tmp_path):
    done = subprocess.run([sys.executable, "-c", BLOCKED_RUN, str(tmp_path / "reference.png")],
                          capture_output=True, text=True, timeout=600, env=dict(os.environ),
                          cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    u_error, v_error = map(float, done.stdout.split())
    assert u_error < MEASURE_TOLERANCE and v_error < MEASURE_TOLERANCE


def test_no_module_of_the_package_imports_the_specified_module():
    importers = []
    for path in sorted(PACKAGE.rglob("*.py")):
        for node in ast.walk(ast.parse(path.read_text())):
            names = ([alias.name for alias in node.names] if isinstance(node, ast.Import) else
                     [node.module] if isinstance(node, ast.ImportFrom) and node.level == 0 else [])
            if any(name and name.split(".")[0] == "_morvex_dic" for name in names):
                importers.append(f"{path.relative_to(PACKAGE)}:{node.lineno}")
    assert importers == []
