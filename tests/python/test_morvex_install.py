"""What a plain `pip install .` brings: every module the package imports is declared, with
bounds, and the development pins lie inside those bounds."""

import ast
import importlib.metadata
import pathlib
import sys
import tomllib

import pytest
from packaging.requirements import Requirement
from packaging.version import Version

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "python" / "morvex"
# Imported by name at run time rather than by an import statement: xarray's NetCDF engine.
BACKENDS = {"h5netcdf", "h5py"}
# The package's own compiled modules, installed with it.
OWN = {"morvex", "_morvex_dic"}
# Imported directly but guaranteed by a declared dependency that is built on it (checked
# below against that dependency's own requirements, so the guarantee cannot lapse unseen).
THROUGH = {"PIL": ("pillow", "matplotlib"), "fastapi": ("fastapi", "nicegui")}


def declared():
    with open(ROOT / "pyproject.toml", "rb") as handle:
        project = tomllib.load(handle)["project"]
    return {Requirement(text).name.lower(): Requirement(text) for text in project["dependencies"]}


def pins():
    found = {}
    for line in (ROOT / "constraints.txt").read_text().splitlines():
        line = line.split("#")[0].strip()
        if line:
            name, version = line.split("==")
            found[name.lower().replace("_", "-")] = version
    return found


def imported_top_modules():
    names = set()
    for path in PACKAGE.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                names |= {alias.name.split(".")[0] for alias in node.names}
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                names.add(node.module.split(".")[0])
    return {n for n in names if n not in sys.stdlib_module_names and n not in OWN} | BACKENDS


@pytest.fixture(scope="module")
def distributions():
    """Top-level module -> the distributions that provide it, in this environment."""
    return importlib.metadata.packages_distributions()


def test_h5py_and_every_other_imported_module_is_a_declared_dependency(distributions):
    names = declared()
    extras = {"distributed"} if "distributed" in names["dask"].extras else set()
    undeclared = sorted(module for module in imported_top_modules() - set(THROUGH)
                        if not {d.lower() for d in distributions.get(module, [module])}
                        & (set(names) | extras))
    assert undeclared == []


@pytest.mark.parametrize("module", sorted(THROUGH))
def test_a_module_imported_through_a_dependency_is_required_by_it(module):
    provider, dependency = THROUGH[module]
    assert dependency in declared()
    required = {Requirement(text).name.lower()
                for text in importlib.metadata.requires(dependency) or []
                if "extra ==" not in text}
    assert provider in required


@pytest.mark.parametrize("name", sorted(declared()))
def test_each_dependency_has_a_lower_bound_and_a_pin_inside_its_range(name):
    requirement = declared()[name]
    assert any(clause.operator in (">=", "==", "~=") for clause in requirement.specifier), \
        f"{requirement} has no tested lower bound"
    pinned = pins().get(name)
    assert pinned is not None, f"{name} is not pinned in constraints.txt"
    assert requirement.specifier.contains(pinned), f"pin {name}=={pinned} outside {requirement}"


def test_oldest_pins_are_exactly_the_lower_bounds():
    # The versions `user_install_check.sh --oldest` tests must be the bounds users are
    # promised, or a raised bound goes untested (and an untested one stays promised).
    oldest = {}
    for line in (ROOT / "constraints-oldest.txt").read_text().splitlines():
        line = line.split("#")[0].strip()
        if line:
            name, version = line.split("==")
            oldest[name.lower()] = version
    for name, requirement in declared().items():
        lower = [s.version for s in requirement.specifier if s.operator == ">="]
        assert lower and oldest.get(name) is not None, f"{name} has no oldest pin"
        assert Version(oldest[name]) == Version(lower[0]), \
            f"{name}: lower bound {lower[0]}, oldest tested {oldest[name]}"
