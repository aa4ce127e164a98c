"""
Guided correlation for the morvex package (interpreter lock released)
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['Control', 'DEFAULTS', 'FIELDS', 'LIMITS', 'ReferenceImage', 'SETTINGS', 'STATUSES', 'STATUS_TABLE', 'Sequence', 'assess_speckle_quality', 'calibrate_camera', 'charuco_object_points', 'check_settings', 'correlate', 'deform_image', 'draw_charuco_board', 'estimate_read_noise', 'find_charuco_corners', 'find_target_points', 'generate_speckle', 'grid_axes', 'load_image', 'project_points', 'solve_plane_pose', 'target_object_points', 'undistort_points']
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
    def __init__(self, reference: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], *, subset_size: typing.SupportsInt | typing.SupportsIndex = 29, step: typing.SupportsInt | typing.SupportsIndex = 7, roi: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex] | None = None, mask: numpy.typing.NDArray[typing.Any] | None = None, interpolation: str = 'quintic', prefilter_sigma: typing.SupportsFloat | typing.SupportsIndex = 0.0, shape: str = 'affine', reference_noise: typing.SupportsFloat | typing.SupportsIndex = -1.0, max_predicted_sigma: typing.SupportsFloat | typing.SupportsIndex = 0.05, crack_lines: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]]] | None = None) -> None:
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
    def __init__(self, reference: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], *, control: Control, incremental: bool = False, subset_size: typing.SupportsInt | typing.SupportsIndex = 29, step: typing.SupportsInt | typing.SupportsIndex = 7, roi: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex] | None = None, mask: numpy.typing.NDArray[typing.Any] | None = None, interpolation: str = 'quintic', prefilter_sigma: typing.SupportsFloat | typing.SupportsIndex = 0.0, min_zncc: typing.SupportsFloat | typing.SupportsIndex = 0.8, max_jump: typing.SupportsFloat | typing.SupportsIndex = 2.0, search_range: typing.SupportsInt | typing.SupportsIndex = -1, seed_count: typing.SupportsInt | typing.SupportsIndex = 0, max_iterations: typing.SupportsInt | typing.SupportsIndex = 50, convergence_threshold: typing.SupportsFloat | typing.SupportsIndex = 0.001, compute_strain: bool = True, strain_window: typing.SupportsInt | typing.SupportsIndex = 35, strain_measure: str = 'green-lagrange', strain_source: str = 'displacement', feature_seeds: str = 'auto', threads: typing.SupportsInt | typing.SupportsIndex = 0, shape: str = 'affine', reference_noise: typing.SupportsFloat | typing.SupportsIndex = -1.0, seeds: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]] | None = None, max_predicted_sigma: typing.SupportsFloat | typing.SupportsIndex = 0.05, crack_lines: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]]] | None = None) -> None:
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
def calibrate_camera(object_points: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]], image_points: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]], image_size: typing.Annotated[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], "FixedSize(2)"], flags: typing.SupportsInt | typing.SupportsIndex = 0) -> dict[str, typing.Any]:
    """
    cv::calibrateCamera over views of a planar target: camera_matrix, dist_coeffs (k1, k2, p1, p2, k3, ...), rms and view_rms (px), intrinsic_sigma (one sigma of fx, fy, cx, cy, then the coefficients), and each view's rotations (Rodrigues) and translations (mm). image_size is (width, height); flags are OpenCV's CALIB_* flags.
    """
def charuco_object_points(columns: typing.SupportsInt | typing.SupportsIndex, rows: typing.SupportsInt | typing.SupportsIndex, square: typing.SupportsFloat | typing.SupportsIndex, marker: typing.SupportsFloat | typing.SupportsIndex, dictionary: str = 'DICT_5X5_100') -> numpy.typing.NDArray[numpy.float64]:
    """
    Every corner (n, 3) of a ChArUco board on its own plane (z = 0), mm, in id order.
    """
def check_settings(**kwargs: typing.Any) -> None:
    """
    Check keyword settings of ReferenceImage, correlate() and Sequence as the library does, without an image: ValueError naming the first value out of range or an unknown keyword, TypeError for a value of the wrong type. Keywords not given take their defaults.
    """
def correlate(reference: ReferenceImage, deformed: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], *, control: Control | None = None, previous: dict[str, numpy.typing.NDArray[typing.Any] | int] | None = None, min_zncc: typing.SupportsFloat | typing.SupportsIndex = 0.8, max_jump: typing.SupportsFloat | typing.SupportsIndex = 2.0, search_range: typing.SupportsInt | typing.SupportsIndex = -1, seed_count: typing.SupportsInt | typing.SupportsIndex = 0, max_iterations: typing.SupportsInt | typing.SupportsIndex = 50, convergence_threshold: typing.SupportsFloat | typing.SupportsIndex = 0.001, compute_strain: bool = True, strain_window: typing.SupportsInt | typing.SupportsIndex = 35, strain_measure: str = 'green-lagrange', strain_source: str = 'displacement', feature_seeds: str = 'auto', threads: typing.SupportsInt | typing.SupportsIndex = 0, seeds: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]] | None = None) -> dict[str, numpy.typing.NDArray[typing.Any] | int]:
    """
    Measure the displacement field of `deformed` against a prepared reference image. Besides the grid fields: 'full_searches', the whole-image (search_range) searches run, seeds only; 'seconds_by_status', seconds of work on the points by final status (index: STATUSES' codes). `seeds`: explicit seeds, (x, y) or (x, y, u, v) in image px, the latter started from the displacement (u, v).
    """
def deform_image(image: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], u: typing.SupportsFloat | typing.SupportsIndex, v: typing.SupportsFloat | typing.SupportsIndex, du_dx: typing.SupportsFloat | typing.SupportsIndex, du_dy: typing.SupportsFloat | typing.SupportsIndex, dv_dx: typing.SupportsFloat | typing.SupportsIndex, dv_dy: typing.SupportsFloat | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.float64]:
    """
    The image under the affine field u + du_dx x + du_dy y, v + dv_dx x + dv_dy y (px, about the origin).
    """
def draw_charuco_board(columns: typing.SupportsInt | typing.SupportsIndex, rows: typing.SupportsInt | typing.SupportsIndex, square: typing.SupportsFloat | typing.SupportsIndex, marker: typing.SupportsFloat | typing.SupportsIndex, dictionary: str = 'DICT_5X5_100', pixels_per_mm: typing.SupportsFloat | typing.SupportsIndex = 10.0, margin: typing.SupportsInt | typing.SupportsIndex = 0) -> numpy.typing.NDArray[numpy.float64]:
    """
    A ChArUco board as printed, grey levels 0 and 255 (float64), pixels_per_mm px per mm inside a white margin of margin px: board mm (x, y) at pixel margin + pixels_per_mm * (x, y), pixel edges at whole numbers.
    """
def estimate_read_noise(image: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], *, mask: numpy.typing.NDArray[typing.Any] | None = None) -> float:
    """
    Read noise of an image, grey levels: the estimate a ReferenceImage makes of its own (0 when no 5 x 5 window lies on the mask's specimen).
    """
def find_charuco_corners(image: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], columns: typing.SupportsInt | typing.SupportsIndex, rows: typing.SupportsInt | typing.SupportsIndex, square: typing.SupportsFloat | typing.SupportsIndex, marker: typing.SupportsFloat | typing.SupportsIndex, dictionary: str = 'DICT_5X5_100') -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int32]]:
    """
    A ChArUco board's corners found in a grey image: (points (n, 2) px, ids (n,)), each id a row of charuco_object_points; n is 0 when no marker is found. columns and rows count squares; square and marker are their sides (mm); dictionary is OpenCV's name.
    """
def find_target_points(image: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], target: str, columns: typing.SupportsInt | typing.SupportsIndex, rows: typing.SupportsInt | typing.SupportsIndex) -> typing.Any:
    """
    The target's points (n, 2) px found in a grey image, in target_object_points' order; None when the whole pattern is not found. target: chessboard (inner corners), circles or asymmetric_circles.
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
def project_points(points: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], rotation: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], translation: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], camera_matrix: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], dist_coeffs: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    """
    cv::projectPoints: points (n, 3) moved by rotation and translation into the camera's frame, through the lens, to pixels (n, 2).
    """
def solve_plane_pose(object_points: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], image_points: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], camera_matrix: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], dist_coeffs: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]) -> dict[str, typing.Any]:
    """
    cv::solvePnP of a planar target's view: rotation (3 x 3) and translation (mm) taking target coordinates to the camera's, and the view's reprojection rms (px).
    """
def target_object_points(target: str, columns: typing.SupportsInt | typing.SupportsIndex, rows: typing.SupportsInt | typing.SupportsIndex, spacing: typing.SupportsFloat | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.float64]:
    """
    The target's points (n, 3) on its own plane (z = 0), mm, spacing apart.
    """
def undistort_points(points: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], camera_matrix: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], dist_coeffs: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], to_pixels: bool = False) -> numpy.typing.NDArray[numpy.float64]:
    """
    cv::undistortPoints iterated to its fixed point: (n, 2) px in, normalised (x/z, y/z) out, or pixels through the same camera matrix with to_pixels.
    """
DEFAULTS: dict[str, bool | int | float | str] = {'subset_size': 29, 'step': 7, 'interpolation': 'quintic', 'prefilter_sigma': 0.0, 'reference_noise': -1.0, 'max_predicted_sigma': 0.05, 'shape': 'affine', 'min_zncc': 0.8, 'max_jump': 2.0, 'search_range': -1, 'seed_count': 0, 'max_iterations': 50, 'convergence_threshold': 0.001, 'compute_strain': True, 'strain_window': 35, 'strain_measure': 'green-lagrange', 'strain_source': 'displacement', 'feature_seeds': 'auto', 'threads': 0}
FIELDS: tuple[dict[str, bool | int | str], ...] = ({'name': 'x', 'dtype': 'float64', 'unit': 'px', 'role': 'position', 'mirrored': False, 'description': 'subset centre column in the reference image', 'order': 0}, {'name': 'y', 'dtype': 'float64', 'unit': 'px', 'role': 'position', 'mirrored': True, 'description': 'subset centre row in the reference image (downwards)', 'order': 1}, {'name': 'u', 'dtype': 'float64', 'unit': 'px', 'role': 'measured', 'mirrored': False, 'description': 'displacement along x (columns, to the right)', 'order': 2}, {'name': 'v', 'dtype': 'float64', 'unit': 'px', 'role': 'measured', 'mirrored': True, 'description': 'displacement along y (rows, downwards)', 'order': 3}, {'name': 'exx', 'dtype': 'float64', 'unit': 'fraction', 'role': 'measured', 'mirrored': False, 'description': 'strain tensor xx (a fraction: 0.01 is 1 %)', 'order': 4}, {'name': 'eyy', 'dtype': 'float64', 'unit': 'fraction', 'role': 'measured', 'mirrored': False, 'description': 'strain tensor yy (a fraction: 0.01 is 1 %)', 'order': 5}, {'name': 'exy', 'dtype': 'float64', 'unit': 'fraction', 'role': 'measured', 'mirrored': True, 'description': 'strain tensor xy, not engineering shear (a fraction: 0.01 is 1 %)', 'order': 6}, {'name': 'zncc', 'dtype': 'float64', 'unit': '1', 'role': 'measured', 'mirrored': False, 'description': 'zero-normalised cross-correlation of the final match', 'order': 7}, {'name': 'sigma_u', 'dtype': 'float64', 'unit': 'px', 'role': 'measured', 'mirrored': False, 'description': 'one-sigma uncertainty of u', 'order': 8}, {'name': 'sigma_v', 'dtype': 'float64', 'unit': 'px', 'role': 'measured', 'mirrored': False, 'description': 'one-sigma uncertainty of v', 'order': 9}, {'name': 'du_dx', 'dtype': 'float64', 'unit': 'fraction', 'role': 'measured', 'mirrored': False, 'description': 'displacement gradient of the subset warp', 'order': 10}, {'name': 'du_dy', 'dtype': 'float64', 'unit': 'fraction', 'role': 'measured', 'mirrored': True, 'description': 'displacement gradient of the subset warp', 'order': 11}, {'name': 'dv_dx', 'dtype': 'float64', 'unit': 'fraction', 'role': 'measured', 'mirrored': True, 'description': 'displacement gradient of the subset warp', 'order': 12}, {'name': 'dv_dy', 'dtype': 'float64', 'unit': 'fraction', 'role': 'measured', 'mirrored': False, 'description': 'displacement gradient of the subset warp', 'order': 13}, {'name': 'valid', 'dtype': 'bool', 'unit': '', 'role': 'flag', 'mirrored': False, 'description': 'True where status is 0 (converged)', 'order': 14}, {'name': 'status', 'dtype': 'uint8', 'unit': '', 'role': 'flag', 'mirrored': False, 'description': 'why the point holds its value; only 0 is valid', 'order': 15}, {'name': 'iterations', 'dtype': 'int32', 'unit': '', 'role': 'flag', 'mirrored': False, 'description': 'Gauss-Newton iterations of the accepted start', 'order': 16}, {'name': 'du_dxx', 'dtype': 'float64', 'unit': '1/px', 'role': 'second_order', 'mirrored': False, 'description': 'second derivative of u along x of the quadratic subset warp', 'order': 17}, {'name': 'du_dxy', 'dtype': 'float64', 'unit': '1/px', 'role': 'second_order', 'mirrored': True, 'description': 'cross second derivative of u of the quadratic subset warp', 'order': 18}, {'name': 'du_dyy', 'dtype': 'float64', 'unit': '1/px', 'role': 'second_order', 'mirrored': False, 'description': 'second derivative of u along y of the quadratic subset warp', 'order': 19}, {'name': 'dv_dxx', 'dtype': 'float64', 'unit': '1/px', 'role': 'second_order', 'mirrored': True, 'description': 'second derivative of v along x of the quadratic subset warp', 'order': 20}, {'name': 'dv_dxy', 'dtype': 'float64', 'unit': '1/px', 'role': 'second_order', 'mirrored': False, 'description': 'cross second derivative of v of the quadratic subset warp', 'order': 21}, {'name': 'dv_dyy', 'dtype': 'float64', 'unit': '1/px', 'role': 'second_order', 'mirrored': True, 'description': 'second derivative of v along y of the quadratic subset warp', 'order': 22})
LIMITS: dict[str, int | float] = {'threads': 1024, 'prefilter_radius_sigmas': 4.0, 'min_specimen_share': 0.5, 'int': 2147483647}
SETTINGS: tuple[dict[str, typing.Any], ...] = ({'name': 'subset_size', 'record': 'reference', 'kind': 'int', 'default': 29, 'unit': 'px', 'help': 'Side of the square subset (odd).', 'low': 5, 'high': 2147483647, 'low_open': False, 'odd': True, 'choices': tuple(), 'special': {}}, {'name': 'step', 'record': 'reference', 'kind': 'int', 'default': 7, 'unit': 'px', 'help': 'Grid spacing.', 'low': 1, 'high': 2147483647, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'roi', 'record': 'reference', 'kind': 'region', 'default': None, 'unit': 'px', 'help': 'Region of interest (x0, y0, x1, y1), inclusive bounds; none = the whole image.', 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'mask', 'record': 'reference', 'kind': 'mask', 'default': None, 'unit': '', 'help': "Mask of the reference's size: non-zero pixels are specimen.", 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'interpolation', 'record': 'reference', 'kind': 'choice', 'default': 'quintic', 'unit': '', 'help': 'Sub-pixel interpolation (quintic or cubic B-spline, Keys).', 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': ('quintic', 'cubic', 'keys'), 'special': {}}, {'name': 'prefilter_sigma', 'record': 'reference', 'kind': 'real', 'default': 0.0, 'unit': 'px', 'help': 'Gaussian low-pass sigma (0: off; at most (subset - 1) / 8, so that its 4-sigma radius fits in half the subset).', 'low': 0.0, 'high': None, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'shape', 'record': 'reference', 'kind': 'choice', 'default': 'affine', 'unit': '', 'help': 'Subset shape function (quadratic: finer resolution, about twice the noise).', 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': ('affine', 'quadratic'), 'special': {}}, {'name': 'reference_noise', 'record': 'reference', 'kind': 'real', 'default': -1.0, 'unit': 'grey levels', 'help': 'Read noise of the reference the uncertainty allows for.', 'low': 0.0, 'high': None, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {-1.0: 'estimated from the reference'}}, {'name': 'max_predicted_sigma', 'record': 'reference', 'kind': 'real', 'default': 0.05, 'unit': 'px', 'help': 'Points whose subset cannot measure the motion (a predicted sigma above this, or an edge of a dark field or a hole) are refused before any solve.', 'low': 0.0, 'high': None, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {0.0: 'off'}}, {'name': 'crack_lines', 'record': 'reference', 'kind': 'polylines', 'default': None, 'unit': 'px', 'help': 'Crack lines, each a polyline of (x, y) vertices inside the image, that subsets, seeding, growth and strain windows do not cross; points within 1 px of a line cross a discontinuity.', 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'min_zncc', 'record': 'solve', 'kind': 'real', 'default': 0.8, 'unit': '', 'help': 'Smallest ZNCC of a valid point.', 'low': -1.0, 'high': 1.0, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'max_jump', 'record': 'solve', 'kind': 'real', 'default': 2.0, 'unit': 'px', 'help': 'A point differing this much from its neighbour is rejected.', 'low': 0.0, 'high': None, 'low_open': True, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'search_range', 'record': 'solve', 'kind': 'int', 'default': -1, 'unit': 'px', 'help': "Half-width of the seeds' integer search; a bound that covers the motion is much faster.", 'low': -1, 'high': 2147483647, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {-1: 'the whole image'}}, {'name': 'seed_count', 'record': 'solve', 'kind': 'int', 'default': 0, 'unit': '', 'help': 'Growth blocks, each grown from its own seed.', 'low': 0, 'high': 2147483647, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {0: 'automatic'}}, {'name': 'max_iterations', 'record': 'solve', 'kind': 'int', 'default': 50, 'unit': '', 'help': 'Gauss-Newton iteration limit per point.', 'low': 1, 'high': 2147483647, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'convergence_threshold', 'record': 'solve', 'kind': 'real', 'default': 0.001, 'unit': 'px', 'help': 'The solver stops when no subset corner moves more.', 'low': 0.0, 'high': None, 'low_open': True, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'compute_strain', 'record': 'solve', 'kind': 'bool', 'default': True, 'unit': '', 'help': 'Derive the strain fields exx, eyy, exy.', 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'strain_window', 'record': 'solve', 'kind': 'int', 'default': 35, 'unit': 'px', 'help': 'Half-width of the strain fit.', 'low': 0, 'high': 2147483647, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'strain_measure', 'record': 'solve', 'kind': 'choice', 'default': 'green-lagrange', 'unit': '', 'help': 'Strain tensor.', 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': ('green-lagrange', 'engineering'), 'special': {}}, {'name': 'strain_source', 'record': 'solve', 'kind': 'choice', 'default': 'displacement', 'unit': '', 'help': "Strain from a plane fit of u, v (displacement) or from the subsets' own gradients (subset; a window under half a step leaves them unsmoothed).", 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': ('displacement', 'subset'), 'special': {}}, {'name': 'feature_seeds', 'record': 'solve', 'kind': 'choice', 'default': 'auto', 'unit': '', 'help': 'Seeds from matched image features, for a specimen turned or scaled in the image plane (auto: when the translation search finds no seed).', 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': ('auto', 'on', 'off'), 'special': {}}, {'name': 'seeds', 'record': 'solve', 'kind': 'seeds', 'default': None, 'unit': 'px', 'help': 'Explicit seeds (x, y) or (x, y, u, v), inside the image and on the mask; (u, v) is the displacement a seed starts from.', 'low': None, 'high': None, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {}}, {'name': 'threads', 'record': 'solve', 'kind': 'int', 'default': 0, 'unit': '', 'help': 'Correlation threads.', 'low': 0, 'high': 1024, 'low_open': False, 'odd': False, 'choices': tuple(), 'special': {0: 'all cores'}})
STATUSES: tuple[tuple[int, str], ...] = ((0, 'converged'), (1, 'outside_mask'), (2, 'not_converged'), (3, 'low_correlation'), (4, 'displacement_jump'), (5, 'flat_subset'), (6, 'cancelled'), (7, 'not_reached'), (8, 'bad_pixels'), (9, 'left_view'), (10, 'crosses_discontinuity'))
STATUS_TABLE: tuple[dict[str, int | str], ...] = ({'code': 0, 'name': 'converged', 'label': 'converged', 'colour': '#1f77b4', 'description': 'valid: solved, ZNCC at least min_zncc, no jump from its guide'}, {'code': 1, 'name': 'outside_mask', 'label': 'outside mask', 'colour': '#ff7f0e', 'description': "its centre, or more than half of its subset, is off the mask's specimen"}, {'code': 2, 'name': 'not_converged', 'label': 'not converged', 'colour': '#2ca02c', 'description': 'the solver hit max_iterations or left the image'}, {'code': 3, 'name': 'low_correlation', 'label': 'low correlation', 'colour': '#d62728', 'description': "ZNCC below min_zncc, or a misfit far above its valid neighbours' (a crack, a smudge)"}, {'code': 4, 'name': 'displacement_jump', 'label': 'displacement jump', 'colour': '#9467bd', 'description': 'differs from its guide by more than max_jump px'}, {'code': 5, 'name': 'flat_subset', 'label': 'flat subset', 'colour': '#8c564b', 'description': 'its subset cannot measure the motion: no texture, a predicted sigma above max_predicted_sigma, or an untextured patch within reach'}, {'code': 6, 'name': 'cancelled', 'label': 'cancelled', 'colour': '#e377c2', 'description': 'the run was stopped before the point was finished'}, {'code': 7, 'name': 'not_reached', 'label': 'not reached', 'colour': '#7f7f7f', 'description': 'no seed could start the specimen region it lies in'}, {'code': 8, 'name': 'bad_pixels', 'label': 'bad pixels', 'colour': '#bcbd22', 'description': 'NaN or infinite grey values under (or within 4 px of) its subset'}, {'code': 9, 'name': 'left_view', 'label': 'left the field of view', 'colour': '#17becf', 'description': 'its subset moved out of the deformed image or onto its non-finite pixels'}, {'code': 10, 'name': 'crosses_discontinuity', 'label': 'crosses a discontinuity', 'colour': '#393b79', 'description': 'its subset straddles a displacement jump (a crack): its two sides fit far better apart than under one warp'})
__version__: str
