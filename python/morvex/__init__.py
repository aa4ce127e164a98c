"""Morvex: displacement and strain fields from speckle images, for a pair or a whole test.

    >>> import morvex
    >>> ds = morvex.correlate("before.tif", "after.tif", mask="mask.png")   # doctest: +SKIP
    >>> morvex.plot(ds, "exx").figure.savefig("exx.png")                    # doctest: +SKIP

Fields are xarray datasets with coordinates in image pixels; sequences can be written frame by
frame to a resumable Zarr store. The command line ``morvex`` (or ``python -m morvex``) does the
same from a shell: ``morvex run``, ``certify``, ``plot``, ``export``, ``speckle``, ``demo``.
"""

from ._dataset import version as _version
from ._errors import MorvexError, StoreMismatchError
from .certify import certify
from .correlate import correlate
from .export import to_csv, to_netcdf, to_vtk
from .io import load_image
from .plotting import plot, plot_vectors
from .sequence import correlate_sequence
from .speckle import speckle_report
from .store import open_store
from .synthetic import synthetic_pair, synthetic_sequence

__version__ = _version()

__all__ = [
    "MorvexError", "StoreMismatchError", "certify", "correlate", "correlate_sequence", "load_image",
    "open_store", "plot", "plot_vectors", "speckle_report", "synthetic_pair",
    "synthetic_sequence", "to_csv", "to_netcdf", "to_vtk", "__version__",
]
