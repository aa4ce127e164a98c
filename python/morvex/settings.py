"""Settings of a measurement: defaults, validation, and the form kept in results and stores."""

from __future__ import annotations

import dataclasses
import json
import math
import numbers
from typing import TYPE_CHECKING, Any

from . import _guided
from ._errors import MorvexError

if TYPE_CHECKING:
    import numpy as np

# The library's defaults, read once: every default of the package follows from these.
_LIBRARY = _guided.DEFAULTS


def _library[T: (int, float, str)](name: str, kind: type[T]) -> T:
    """GuidedConfig's default for keyword `name`, checked to be of the type Settings gives it."""
    value = _LIBRARY[name]
    if isinstance(value, bool) or not isinstance(value, kind):
        raise TypeError(f"morvex._guided.DEFAULTS[{name!r}] is {value!r}, not {kind.__name__}")
    return value
INTERPOLATIONS = ("quintic", "cubic", "keys")
STRAIN_MEASURES = ("green-lagrange", "engineering")
SHAPES = ("affine", "quadratic")
STRAIN_SOURCES = ("displacement", "subset")
AUTO_SUBSET = "auto"


@dataclasses.dataclass(frozen=True)
class Settings:
    """Everything that shapes a measured field (the thread count does not, so it is not here).

    Attributes:
        subset: side of the square subset, px; odd, >= 5; or "auto" with `noise_target`
            (resolved by morvex.resolution.choose_subset before any correlation).
        step: grid spacing, px; >= 1.
        roi: region of interest ``(x0, y0, x1, y1)``, inclusive pixel bounds, or None.
        interpolation: "quintic" (B-spline, lowest bias), "cubic" (B-spline) or "keys".
        prefilter: Gaussian low-pass sigma applied to both images, px; 0 = off.
        min_zncc: a point is valid only if its ZNCC is at least this, in [-1, 1].
        max_jump: px; a point differing this much from its neighbour is rejected.
        search_range: half-width of the integer search at seeds, px; -1 = whole image.
        seed_count: number of growth blocks; 0 = automatic.
        max_iterations: Gauss-Newton iteration limit per point.
        convergence_threshold: px; the solver stops below this update.
        strain_window: half-width of the strain fit, px.
        strain_measure: "green-lagrange" or "engineering".
        strain_source: "displacement" (plane fit of u, v over the strain window) or "subset"
            (the subsets' own warp gradients, fitted over the strain window; a window under
            half a step leaves them as they are, for a gauge of one subset).
        scale_mm_per_px: calibration; adds x_mm, y_mm, u_mm, v_mm when set.
        shape: subset shape function, "affine" (first order) or "quadratic" (second order:
            finer spatial resolution, about twice the noise).
        noise_target: px; with subset="auto", the predicted sigma the chosen subset must
            meet on at least 95 % of the points; kept with the resolved subset as its reason.
    """

    subset: int | str = _library("subset_size", int)
    step: int = _library("step", int)
    roi: tuple[int, int, int, int] | None = None
    interpolation: str = _library("interpolation", str)
    prefilter: float = _library("prefilter_sigma", float)
    min_zncc: float = _library("min_zncc", float)
    max_jump: float = _library("max_jump", float)
    search_range: int = _library("search_range", int)
    seed_count: int = _library("seed_count", int)
    max_iterations: int = _library("max_iterations", int)
    convergence_threshold: float = _library("convergence_threshold", float)
    strain_window: int = _library("strain_window", int)
    strain_measure: str = _library("strain_measure", str)
    strain_source: str = _library("strain_source", str)
    scale_mm_per_px: float | None = None
    shape: str = "affine"
    noise_target: float | None = None

    @classmethod
    def names(cls) -> tuple[str, ...]:
        return tuple(f.name for f in dataclasses.fields(cls))

    @classmethod
    def defaults(cls) -> dict[str, Any]:
        """Every setting's default value, by name (what the command line shows in --help)."""
        return {f.name: f.default for f in dataclasses.fields(cls)}

    @classmethod
    def build(cls, **values: Any) -> Settings:
        """Settings from keyword values (None = default), checked.

        Raises:
            MorvexError: for an unknown name or a value outside its range.
        """
        unknown = sorted(set(values) - set(cls.names()))
        if unknown:
            raise MorvexError(f"unknown setting {unknown[0]!r}; known settings: "
                              + ", ".join(cls.names()))
        given = {k: v for k, v in values.items() if v is not None}
        if "roi" in given:
            given["roi"] = _roi(given["roi"])
        for name, value in given.items():
            # NumPy scalars and TOML's ints become plain Python numbers, so attributes and
            # comparisons with a stored run see the same types.
            if isinstance(value, numbers.Integral) and not isinstance(value, bool):
                given[name] = int(value)
            elif isinstance(value, numbers.Real) and not isinstance(value, bool):
                given[name] = float(value)
        settings = cls(**given)
        settings.check()
        return settings

    def check(self) -> None:
        """Raise MorvexError naming the first value outside its range."""
        if self.noise_target is not None:
            _finite("noise_target", self.noise_target)
            if self.noise_target <= 0:
                raise MorvexError(f"noise_target must be > 0 px, got {self.noise_target!r}")
        if self.subset == AUTO_SUBSET:
            if self.noise_target is None:
                raise MorvexError('subset="auto" needs noise_target (px): the predicted sigma '
                                  "the chosen subset must meet")
        else:
            _integer("subset", self.subset)
        if isinstance(self.subset, int) and (self.subset < 5 or self.subset % 2 == 0):
            raise MorvexError(f"subset must be an odd number of pixels >= 5, got {self.subset}")
        _integer("step", self.step)
        if self.step < 1:
            raise MorvexError(f"step must be >= 1 px, got {self.step}")
        if self.interpolation not in INTERPOLATIONS:
            raise MorvexError(f"interpolation must be one of {', '.join(INTERPOLATIONS)}, "
                              f"got {self.interpolation!r}")
        if self.shape not in SHAPES:
            raise MorvexError(f"shape must be one of {', '.join(SHAPES)}, got {self.shape!r}")
        if self.strain_measure not in STRAIN_MEASURES:
            raise MorvexError(f"strain_measure must be one of {', '.join(STRAIN_MEASURES)}, "
                              f"got {self.strain_measure!r}")
        if self.strain_source not in STRAIN_SOURCES:
            raise MorvexError(f"strain_source must be one of {', '.join(STRAIN_SOURCES)}, "
                              f"got {self.strain_source!r}")
        _finite("prefilter", self.prefilter, low=0.0)
        _finite("min_zncc", self.min_zncc, low=-1.0, high=1.0)
        _finite("max_jump", self.max_jump, low=0.0)
        _finite("convergence_threshold", self.convergence_threshold, low=0.0)
        # The library refuses 0 for both (with a plain ValueError, after the images are read).
        for name in ("max_jump", "convergence_threshold"):
            if getattr(self, name) == 0:
                raise MorvexError(f"{name} must be > 0, got 0")
        for name in ("search_range", "seed_count", "max_iterations", "strain_window"):
            _integer(name, getattr(self, name))
        if self.search_range < -1:
            raise MorvexError(f"search_range must be >= 0 px or -1, got {self.search_range}")
        if self.seed_count < 0 or self.max_iterations < 1 or self.strain_window < 0:
            raise MorvexError("seed_count and strain_window must be >= 0 and max_iterations "
                              f">= 1, got {self.seed_count}, {self.strain_window}, "
                              f"{self.max_iterations}")
        if self.scale_mm_per_px is not None:
            _finite("scale_mm_per_px", self.scale_mm_per_px, low=0.0)
            if self.scale_mm_per_px == 0:
                raise MorvexError("scale_mm_per_px must be > 0")

    @property
    def subset_px(self) -> int:
        """The subset side in px, once ``"auto"`` has been resolved to a number."""
        if isinstance(self.subset, str):
            raise MorvexError(f"subset {self.subset!r} is not resolved to a size in px yet")
        return self.subset

    def region(self, shape: tuple[int, int]) -> tuple[int, int, int, int]:
        """The region (x0, y0, x1, y1), inclusive px, measured on an image of `shape`."""
        rows, cols = shape
        return self.roi if self.roi is not None else (0, 0, cols - 1, rows - 1)

    def check_image(self, shape: tuple[int, int]) -> None:
        """Raise MorvexError unless the grid has at least one point on an image of `shape`."""
        rows, cols = shape
        if not isinstance(self.subset, int):
            raise MorvexError('subset="auto" must be resolved against the reference image first')
        x0, y0, x1, y1 = self.roi if self.roi is not None else (0, 0, cols - 1, rows - 1)
        if self.roi is not None and (x1 >= cols or y1 >= rows):
            raise MorvexError(f"roi {self.roi} reaches outside the {cols} x {rows} px image "
                              f"(x1 <= {cols - 1}, y1 <= {rows - 1})")
        width, height = x1 - x0 + 1, y1 - y0 + 1
        if self.subset > min(rows, cols):
            raise MorvexError(f"subset of {self.subset} px is larger than the {cols} x {rows} "
                              "px image; choose a smaller subset")
        try:
            grid_axes(self, shape)
        except MorvexError:
            raise MorvexError(f"the region {width} x {height} px leaves no grid point for a "
                              f"{self.subset} px subset; enlarge the region or reduce the subset"
                              ) from None

    def to_kwargs(self) -> tuple[dict[str, Any], dict[str, Any]]:
        """Keyword arguments for morvex._guided: (reference image, solver)."""
        reference: dict[str, Any] = dict(subset_size=self.subset, step=self.step, roi=self.roi,
                                         interpolation=self.interpolation,
                                         prefilter_sigma=self.prefilter)
        # Only a second-order run names its shape, so an extension built before second-order
        # subsets still runs every affine measurement.
        if self.shape != "affine":
            reference["shape"] = self.shape
        solver = dict(min_zncc=self.min_zncc, max_jump=self.max_jump,
                      search_range=self.search_range, seed_count=self.seed_count,
                      max_iterations=self.max_iterations,
                      convergence_threshold=self.convergence_threshold,
                      strain_window=self.strain_window, strain_measure=self.strain_measure)
        # Named only when not the default, as the shape above.
        if self.strain_source != "displacement":
            solver["strain_source"] = self.strain_source
        return reference, solver

    def to_attrs(self) -> dict[str, Any]:
        """Flat attributes any netCDF or Zarr writer accepts (None as "none", lists)."""
        out: dict[str, Any] = {}
        for name, value in dataclasses.asdict(self).items():
            if value is None:
                value = "none"
            elif isinstance(value, tuple):
                value = list(value)
            out[name] = value
        return out

    def to_json(self) -> str:
        return json.dumps(dataclasses.asdict(self), sort_keys=True)


DEFAULTS = Settings()


def grid_axes(settings: Settings, shape: tuple[int, int]) -> tuple[np.ndarray, np.ndarray]:
    """Grid rows and columns (subset centres, px) the library lays out on an image of `shape`.

    Raises:
        MorvexError: when the region leaves no grid point (the library's message).
    """
    try:
        return _guided.grid_axes(int(shape[0]), int(shape[1]), subset_size=settings.subset_px,
                                 step=settings.step, roi=settings.roi)
    except ValueError as error:
        raise MorvexError(str(error)) from None


def strain_reach(settings: Settings) -> int:
    """Grid steps on each side the strain fit uses (the window rounded as the library does:
    at least one for a fit of u, v; none leaves the subsets' gradients as they are)."""
    least = 0 if settings.strain_source == "subset" else 1
    return max(least, int(math.floor(settings.strain_window / settings.step + 0.5)))


def gauge_size(settings: Settings) -> int:
    """The virtual strain gauge, px: the span of the fitted points plus one subset."""
    return 2 * strain_reach(settings) * settings.step + settings.subset_px


def _roi(value: Any) -> tuple[int, int, int, int]:
    try:
        x0, y0, x1, y1 = (int(v) for v in value)
        if [x0, y0, x1, y1] != [float(v) for v in value]:
            raise ValueError
    except (TypeError, ValueError):
        raise MorvexError(f"roi must be four integers (x0, y0, x1, y1), got {value!r}") from None
    if x0 < 0 or y0 < 0 or x1 <= x0 or y1 <= y0:
        raise MorvexError(f"roi (x0, y0, x1, y1) = {value!r} needs 0 <= x0 < x1 and 0 <= y0 < y1")
    return (x0, y0, x1, y1)


def _integer(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise MorvexError(f"{name} must be an integer, got {value!r}")


def _finite(name: str, value: object, *, low: float | None = None,
            high: float | None = None) -> None:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise MorvexError(f"{name} must be a finite number, got {value!r}")
    number = float(value)
    if (low is not None and number < low) or (high is not None and number > high):
        bounds = f"[{low}, {high}]" if high is not None else f">= {low}"
        raise MorvexError(f"{name} must be {bounds}, got {value!r}")
