"""Morvex: displacement and strain fields from speckle images, for a pair or a whole test.

    >>> import morvex
    >>> ds = morvex.correlate("before.tif", "after.tif", mask="mask.png")   # doctest: +SKIP
    >>> morvex.plot(ds, "exx").figure.savefig("exx.png")                    # doctest: +SKIP

Fields are xarray datasets with coordinates in image pixels; sequences can be written frame by
frame to a resumable Zarr store, or measured in the background by a :class:`morvex.Job`. The
command line ``morvex`` (or ``python -m morvex``) does the same from a shell: ``morvex run``,
``certify``, ``plot``, ``export``, ``probe``, ``speckle``, ``demo``.
"""

from __future__ import annotations

import importlib
from typing import Any

from ._errors import MorvexError, StoreDamageError, StoreIOError, StoreMismatchError

# Functions named like their modules are bound here: importing the module morvex.correlate
# would otherwise replace the function morvex.correlate with it. Both modules are light.
from .certify import certify
from .correlate import correlate

# Public names and the module that defines each, imported on first use so that
# `import morvex` (and `morvex --help`) does not pay for xarray, zarr, dask or matplotlib.
_LAZY = {
    "correlate_sequence": "sequence",
    "load_image": "io", "open_store": "store", "plot": "plotting", "plot_vectors": "plotting",
    "animate": "plotting", "calibrate": "camera", "read_camera": "camera",
    "speckle_report": "speckle", "synthetic_pair": "synthetic",
    "synthetic_sequence": "synthetic", "to_csv": "export", "to_netcdf": "export",
    "to_vtk": "export", "Job": "job", "JobState": "job", "JobProgress": "job",
    "FrameSummary": "job", "start": "job", "Status": "_status",
}


# Modules reached as attributes (morvex.probe.Extensometer) without an import of their own.
_SUBMODULES = ("probe", "testdata")


def __getattr__(name: str) -> Any:
    if name == "__version__":
        from ._dataset import version

        globals()[name] = version()
        return globals()[name]
    if name in _SUBMODULES:
        return importlib.import_module(f".{name}", __name__)
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'morvex' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY) | set(_SUBMODULES) | {"__version__"})


__all__ = [
    "FrameSummary", "Job", "JobProgress", "JobState", "MorvexError", "Status",
    "StoreDamageError", "StoreIOError", "StoreMismatchError", "animate", "calibrate", "certify",
    "correlate",
    "correlate_sequence", "load_image", "open_store", "plot", "plot_vectors", "read_camera",
    "speckle_report",
    "start", "synthetic_pair", "synthetic_sequence", "to_csv", "to_netcdf", "to_vtk",
    "__version__",
]
