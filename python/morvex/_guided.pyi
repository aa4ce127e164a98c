"""
Guided correlation for the morvex package (interpreter lock released)
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['Control', 'DEFAULTS', 'LIMITS', 'ReferenceImage', 'STATUSES', 'Sequence', 'assess_speckle_quality', 'correlate', 'deform_image', 'estimate_read_noise', 'generate_speckle', 'grid_axes', 'load_image']
class Control:
    """
    Cancel flag and progress counters shared with a running correlation.
    """
    def __init__(self) -> None:
        ...
    def cancel(self) -> None:
        """
        Ask the running correlation to stop; unfinished points get status 6 (cancelled).
        """
    @property
    def cancelled(self) -> bool:
        ...
    @property
    def done(self) -> int:
        """
        Grid points finished so far.
        """
    @property
    def total(self) -> int:
        """
        Grid points in the run (0 until the run reports).
        """
class ReferenceImage:
    """
    A reference image prepared once for many deformed frames.
    """
    def __init__(self, reference: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], *, subset_size: typing.SupportsInt | typing.SupportsIndex = 29, step: typing.SupportsInt | typing.SupportsIndex = 7, roi: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex] | None = None, mask: numpy.typing.NDArray[typing.Any] | None = None, interpolation: str = 'quintic', prefilter_sigma: typing.SupportsFloat | typing.SupportsIndex = 0.0, shape: str = 'affine', reference_noise: typing.SupportsFloat | typing.SupportsIndex = -1.0, max_predicted_sigma: typing.SupportsFloat | typing.SupportsIndex = 0.05) -> None:
        ...
    @property
    def cols(self) -> int:
        ...
    @property
    def grid_cols(self) -> int:
        ...
    @property
    def grid_rows(self) -> int:
        ...
    @property
    def memory_bytes(self) -> int:
        ...
    @property
    def reference_noise(self) -> float:
        """
        Read noise of the reference the uncertainty allows for, grey levels (estimated from the image unless reference_noise was given).
        """
    @property
    def rows(self) -> int:
        ...
class Sequence:
    """
    Frames against one reference, fixed or incremental.
    """
    def __init__(self, reference: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], *, control: Control, incremental: bool = False, subset_size: typing.SupportsInt | typing.SupportsIndex = 29, step: typing.SupportsInt | typing.SupportsIndex = 7, roi: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex] | None = None, mask: numpy.typing.NDArray[typing.Any] | None = None, interpolation: str = 'quintic', prefilter_sigma: typing.SupportsFloat | typing.SupportsIndex = 0.0, min_zncc: typing.SupportsFloat | typing.SupportsIndex = 0.8, max_jump: typing.SupportsFloat | typing.SupportsIndex = 2.0, search_range: typing.SupportsInt | typing.SupportsIndex = -1, seed_count: typing.SupportsInt | typing.SupportsIndex = 0, max_iterations: typing.SupportsInt | typing.SupportsIndex = 50, convergence_threshold: typing.SupportsFloat | typing.SupportsIndex = 0.001, compute_strain: bool = True, strain_window: typing.SupportsInt | typing.SupportsIndex = 35, strain_measure: str = 'green-lagrange', strain_source: str = 'displacement', feature_seeds: str = 'auto', threads: typing.SupportsInt | typing.SupportsIndex = 0, shape: str = 'affine', reference_noise: typing.SupportsFloat | typing.SupportsIndex = -1.0, seeds: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]] | None = None, max_predicted_sigma: typing.SupportsFloat | typing.SupportsIndex = 0.05) -> None:
        ...
    def add_frame(self, frame: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> dict[str, numpy.typing.NDArray[typing.Any] | int]:
        """
        Correlate the next frame; the field is relative to the first image.
        """
    @property
    def frame_count(self) -> int:
        ...
def assess_speckle_quality(image: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], subset_size: typing.SupportsInt | typing.SupportsIndex) -> dict[str, int | float]:
    """
    entropy, mean_gradient, sssig, contrast, coverage (float) and recommended_subset (int, px) of a speckle image, SSSIG over subsets of subset_size px.
    """
def correlate(reference: ReferenceImage, deformed: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], *, control: Control | None = None, previous: dict[str, numpy.typing.NDArray[typing.Any] | int] | None = None, min_zncc: typing.SupportsFloat | typing.SupportsIndex = 0.8, max_jump: typing.SupportsFloat | typing.SupportsIndex = 2.0, search_range: typing.SupportsInt | typing.SupportsIndex = -1, seed_count: typing.SupportsInt | typing.SupportsIndex = 0, max_iterations: typing.SupportsInt | typing.SupportsIndex = 50, convergence_threshold: typing.SupportsFloat | typing.SupportsIndex = 0.001, compute_strain: bool = True, strain_window: typing.SupportsInt | typing.SupportsIndex = 35, strain_measure: str = 'green-lagrange', strain_source: str = 'displacement', feature_seeds: str = 'auto', threads: typing.SupportsInt | typing.SupportsIndex = 0, seeds: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]] | None = None) -> dict[str, numpy.typing.NDArray[typing.Any] | int]:
    """
    Measure the displacement field of `deformed` against a prepared reference image. Besides the grid fields: 'full_searches', the whole-image (search_range) searches run, seeds only; 'seconds_by_status', seconds of work on the points by final status (index: STATUSES' codes). `seeds`: explicit seeds, (x, y) or (x, y, u, v) in image px, the latter started from the displacement (u, v).
    """
def deform_image(image: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], u: typing.SupportsFloat | typing.SupportsIndex, v: typing.SupportsFloat | typing.SupportsIndex, du_dx: typing.SupportsFloat | typing.SupportsIndex, du_dy: typing.SupportsFloat | typing.SupportsIndex, dv_dx: typing.SupportsFloat | typing.SupportsIndex, dv_dy: typing.SupportsFloat | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.float64]:
    """
    The image under the affine field u + du_dx x + du_dy y, v + dv_dx x + dv_dy y (px, about the origin).
    """
def estimate_read_noise(image: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], *, mask: numpy.typing.NDArray[typing.Any] | None = None) -> float:
    """
    Read noise of an image, grey levels: the estimate a ReferenceImage makes of its own (0 when no 5 x 5 window lies on the mask's specimen).
    """
def generate_speckle(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, dot_radius: typing.SupportsInt | typing.SupportsIndex, density: typing.SupportsFloat | typing.SupportsIndex, seed: typing.SupportsInt | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.float64]:
    """
    Synthetic speckle image (rows, cols), grey levels 0..255; the same seed gives the same image on every platform.
    """
def grid_axes(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, *, subset_size: typing.SupportsInt | typing.SupportsIndex = 29, step: typing.SupportsInt | typing.SupportsIndex = 7, roi: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex] | None = None) -> tuple[numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.int32]]:
    """
    (grid rows' centre rows, grid columns' centre columns) a ReferenceImage of rows x cols px lays out; the same rule, without an image.
    """
def load_image(path: str | bytes) -> numpy.typing.NDArray[numpy.float64]:
    """
    Grey float64 image (rows, cols) read from a file: 16-bit scaled by 255/65535, colour as 0.299 R + 0.587 G + 0.114 B. RuntimeError when the file cannot be decoded.
    """
DEFAULTS: dict[str, bool | int | float | str] = {'subset_size': 29, 'step': 7, 'interpolation': 'quintic', 'prefilter_sigma': 0.0, 'reference_noise': -1.0, 'max_predicted_sigma': 0.05, 'min_zncc': 0.8, 'max_jump': 2.0, 'search_range': -1, 'seed_count': 0, 'max_iterations': 50, 'convergence_threshold': 0.001, 'compute_strain': True, 'strain_window': 35, 'strain_measure': 'green-lagrange', 'strain_source': 'displacement', 'feature_seeds': 'auto', 'threads': 0}
LIMITS: dict[str, int | float] = {'threads': 1024, 'prefilter_radius_sigmas': 4.0, 'min_specimen_share': 0.5, 'int': 2147483647}
STATUSES: tuple[tuple[int, str], ...] = ((0, 'converged'), (1, 'outside_mask'), (2, 'not_converged'), (3, 'low_correlation'), (4, 'displacement_jump'), (5, 'flat_subset'), (6, 'cancelled'), (7, 'not_reached'), (8, 'bad_pixels'), (9, 'left_view'))
__version__: str
