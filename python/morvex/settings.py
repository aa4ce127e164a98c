"""Settings of a measurement: defaults, validation, and the form kept in results and stores."""

from __future__ import annotations

import dataclasses
import json
import math
import numbers
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from . import _guided
from ._errors import MorvexError

if TYPE_CHECKING:
    import numpy as np

# The library's table of its keywords, read once: every default, bound, choice, unit and
# help line of a setting the library acts on follows from its row.
LIBRARY_SETTINGS: dict[str, dict[str, Any]] = {
    str(row["name"]): dict(row) for row in _guided.SETTINGS}
# The most threads a correlation may ask for: far above any machine's cores (more only queue),
# while each one reserves its own stack; a million crashed the process.
MAX_THREADS = int(_guided.LIMITS["threads"])
# Every integer setting is a C int in the library; a larger one cannot even be passed.
INT_MAX = int(_guided.LIMITS["int"])
# The prefilter's Gaussian is cut at this many sigma, and that radius must fit in half a subset.
PREFILTER_RADIUS_SIGMAS = float(_guided.LIMITS["prefilter_radius_sigmas"])
# A grid point is measured with its centre and at least this share of its subset on the mask.
MIN_SPECIMEN_SHARE = float(_guided.LIMITS["min_specimen_share"])


def _choices(keyword: str) -> tuple[str, ...]:
    return tuple(str(name) for name in LIBRARY_SETTINGS[keyword]["choices"])


INTERPOLATIONS = _choices("interpolation")
STRAIN_MEASURES = _choices("strain_measure")
SHAPES = _choices("shape")
STRAIN_SOURCES = _choices("strain_source")
FEATURE_SEEDS = _choices("feature_seeds")
AUTO_SUBSET = "auto"


def _unit(unit: str) -> str:
    """A unit as a message appends it: " px", or nothing."""
    return f" {unit}" if unit else ""


# A field's row: its kind and bounds, read by the one check of each kind (Settings.check), and
# the help line the command line and the application show.
def _library_field(keyword: str, help_text: str | None = None) -> Any:
    """The setting the library takes as `keyword`: default, kind, bounds or choices, unit and
    help from the library's row; `help_text` replaces the row's help where the package's
    setting means more (subset may be "auto")."""
    row = LIBRARY_SETTINGS[keyword]
    metadata: dict[str, Any] = {
        "keyword": keyword, "record": row["record"], "kind": row["kind"],
        "unit": _unit(str(row["unit"])), "help": help_text or row["help"],
        "special": dict(row["special"]), "low": row["low"], "high": row["high"],
        "above": bool(row["low_open"]), "choices": tuple(row["choices"])}
    default = row["default"]
    if row["kind"] in ("region", "seeds", "polylines"):
        default = None if row["kind"] == "region" else ()
    return dataclasses.field(default=default, metadata=metadata)


def _package_field(default: Any, help_text: str, *, low: float = 0.0, unit: str = "",
                   kind: str = "real") -> Any:
    """A setting of the package's own, which the library never sees: a real > `low`, or of
    `kind` "path" (a file name), "point" (X,Y px), "segment" (X0,Y0,X1,Y1 px) or "flag"."""
    return dataclasses.field(default=default, metadata={
        "kind": kind, "low": low, "high": None, "above": True, "unit": _unit(unit),
        "help": help_text, "special": {}, "choices": ()})


# How many numbers a point-like setting holds.
_POINT_SIZES = {"point": 2, "segment": 4}


def max_prefilter(subset: int) -> float:
    """The widest prefilter sigma a subset of `subset` px holds, px: its Gaussian's radius
    (PREFILTER_RADIUS_SIGMAS sigma) within half the subset. A wider blur leaves every subset
    a smooth ramp that many shifts match equally well (at 1000 px, ZNCC 1.0000 on 94 % of the
    points with the field's sign flipped); the library refuses it with the same bound."""
    return (subset // 2) / PREFILTER_RADIUS_SIGMAS


def least_subset(prefilter: float) -> int:
    """The smallest odd subset, px, that holds a prefilter of sigma `prefilter` px."""
    half = math.ceil(prefilter * PREFILTER_RADIUS_SIGMAS)
    return max(5, 2 * half + 1)


@dataclasses.dataclass(frozen=True)
class Settings:
    """Everything that shapes a measured field (the thread count does not, so it is not here).

    Attributes:
        subset: side of the square subset, px; odd, >= 5; or "auto" with `noise_target`
            (resolved by morvex.resolution.choose_subset before any correlation).
        step: grid spacing, px; >= 1. Every integer setting is at most INT_MAX (a C int).
        roi: region of interest ``(x0, y0, x1, y1)``, inclusive pixel bounds, or None.
        interpolation: "quintic" (B-spline, lowest bias), "cubic" (B-spline) or "keys".
        prefilter: Gaussian low-pass sigma applied to both images, px; 0 = off; at most
            max_prefilter(subset) (its 4-sigma radius within half the subset).
        max_predicted_sigma: px; a point whose subset cannot measure the motion is refused
            before any solve (status 5, flat): its predicted sigma along its weakest direction
            is above this, or its subset reaches an untextured patch (a dark margin, a hole);
            0 = off (only subsets without any texture are refused).
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
        feature_seeds: seeds from matched image features (a specimen turned or scaled in the
            image plane): "auto" (only when the translation search finds no seed), "on", "off".
        seeds: explicit seeds, ``(x, y)`` or ``(x, y, u, v)`` in image px, each inside the
            image and on the mask's specimen; (u, v) is the displacement it starts from.
        crack_lines: crack lines as barriers, each a polyline of at least 2 ``(x, y)``
            vertices in reference px inside the image, not crossing itself: a subset uses
            only the pixels on its centre's side, each side is seeded on its own, growth and
            strain windows never cross a line; points within 1 px of a line get status 10.
    """

    subset: int | str = _library_field(
        "subset_size", "Subset side in px, odd, or 'auto' with --noise-target.")
    step: int = _library_field("step")
    roi: tuple[int, int, int, int] | None = _library_field("roi")
    interpolation: str = _library_field("interpolation")
    prefilter: float = _library_field("prefilter_sigma")
    max_predicted_sigma: float = _library_field("max_predicted_sigma")
    min_zncc: float = _library_field("min_zncc")
    max_jump: float = _library_field("max_jump")
    search_range: int = _library_field("search_range")
    seed_count: int = _library_field("seed_count")
    max_iterations: int = _library_field("max_iterations")
    convergence_threshold: float = _library_field("convergence_threshold")
    strain_window: int = _library_field("strain_window")
    strain_measure: str = _library_field("strain_measure")
    strain_source: str = _library_field("strain_source")
    scale_mm_per_px: float | None = _package_field(
        None, "Calibration: adds x_mm, y_mm, u_mm, v_mm.", low=0.0)
    shape: str = _library_field("shape")
    noise_target: float | None = _package_field(
        None, "With --subset auto: the predicted sigma in px the subset must meet on 95 % of "
        "the points.", low=0.0, unit="px")
    feature_seeds: str = _library_field("feature_seeds")
    seeds: tuple[tuple[float, ...], ...] = _library_field("seeds")
    camera: str | None = _package_field(
        None, "Camera file (morvex calibrate): undistort, and with --plane or --scale give "
        "x_mm, y_mm, u_mm, v_mm on the specimen plane.", kind="path")
    plane: str | None = _package_field(
        None, "Image of the camera file's target lying on the specimen plane: the plane's "
        "pose (needs --camera).", kind="path")
    scale: float | None = _package_field(
        None, "Known length between the --between points: a scale instead of --plane.",
        unit="mm")
    between: tuple[float, float, float, float] | None = _package_field(
        None, "Ends of the --scale length in the reference image, X0,Y0,X1,Y1 px.",
        kind="segment")
    origin: tuple[float, float] | None = _package_field(
        None, "Origin of the plane's axes, a reference image point X,Y px (with --axis).",
        kind="point")
    axis: tuple[float, float] | None = _package_field(
        None, "A point X,Y px on the plane's +x axis from --origin.", kind="point")
    y_up: bool = _package_field(
        False, "The plane's y points up the image (default: down, as image rows).",
        kind="flag")
    remove_rigid_motion: bool = _package_field(
        False, "Take each frame's least-squares rigid motion out of the displacements "
        "(u_rel, v_rel beside u, v; rigid_tx, rigid_ty, rigid_angle per frame).", kind="flag")
    strain_measures: bool = _package_field(
        False, "Add principal strains, their direction, max shear, von Mises equivalent and "
        "logarithmic strain.", kind="flag")
    crack_lines: tuple[tuple[tuple[float, float], ...], ...] = _library_field("crack_lines")

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
        if "seeds" in given:
            given["seeds"] = _seeds(given["seeds"])
        if "crack_lines" in given:
            given["crack_lines"] = crack_lines(given["crack_lines"])
        for field in dataclasses.fields(cls):
            if field.name not in given:
                continue
            kind = field.metadata.get("kind")
            if kind in _POINT_SIZES:
                given[field.name] = _point(field.name, given[field.name], _POINT_SIZES[kind])
            elif kind == "path":
                given[field.name] = _path(field.name, given[field.name])
            elif kind == "flag":
                given[field.name] = _flag(field.name, given[field.name])
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
        """Raise MorvexError naming the first value outside its range.

        Each field is checked by the one check of its kind, from the bounds its row declares
        (integers within [low, high], finite reals within theirs, choices), in the package's
        words; then the library's own check has the last word, before any image is read.
        """
        if self.subset == AUTO_SUBSET and self.noise_target is None:
            raise MorvexError('subset="auto" needs noise_target (px): the predicted sigma '
                              "the chosen subset must meet")
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            kind = field.metadata.get("kind")
            if value is None or (field.name == "subset" and value == AUTO_SUBSET):
                continue
            if field.metadata.get("keyword") == "subset_size" and isinstance(value, int) and (
                    value < 5 or value % 2 == 0) and value <= INT_MAX:
                raise MorvexError(f"subset must be an odd number of pixels >= 5, got {value}")
            if kind == "int":
                _check_integer(field.name, value, field.metadata)
            elif kind == "real":
                _check_real(field.name, value, field.metadata)
            elif kind == "choice" and value not in field.metadata["choices"]:
                raise MorvexError(f"{field.name} must be one of "
                                  f"{', '.join(field.metadata['choices'])}, got {value!r}")
        if isinstance(self.subset, int):
            self.check_prefilter(self.subset)
        self.check_plane()
        reference, solver = self.to_kwargs()
        if self.subset == AUTO_SUBSET:
            del reference["subset_size"]
        try:
            _guided.check_settings(**reference, **solver)
        except (ValueError, TypeError) as error:
            raise MorvexError(str(error)) from None

    def check_plane(self) -> None:
        """Raise MorvexError for settings of the specimen plane that do not go together."""
        if self.plane is not None and self.camera is None:
            raise MorvexError("plane needs camera: the target's pose is found through the "
                              "calibrated lens")
        if self.plane is not None and self.scale is not None:
            raise MorvexError("give plane or scale, not both")
        if (self.scale is None) != (self.between is None):
            raise MorvexError("scale (mm) and between (X0,Y0,X1,Y1 px) go together")
        if (self.origin is None) != (self.axis is None):
            raise MorvexError("origin and axis go together")
        if self.origin is not None and self.plane is None and self.scale is None:
            raise MorvexError("origin and axis need a plane: give plane or scale")
        if self.scale_mm_per_px is not None and (self.camera is not None
                                                 or self.scale is not None):
            raise MorvexError("scale_mm_per_px is a plain scale: leave it out with camera or "
                              "scale")

    @property
    def on_plane(self) -> bool:
        """True when the results get millimetres on the specimen plane."""
        return self.plane is not None or self.scale is not None

    def check_prefilter(self, subset: int) -> None:
        """Raise MorvexError unless the prefilter's Gaussian fits in half of `subset` px."""
        if self.prefilter > max_prefilter(subset):
            raise MorvexError(
                f"prefilter must be at most {max_prefilter(subset):g} px for subset {subset} "
                f"(its {PREFILTER_RADIUS_SIGMAS:g}-sigma radius within half a subset; a wider "
                f"blur leaves smooth ramps that many shifts match, a confident wrong field), "
                f"got {_shown(self.prefilter)}; lower it or use a subset of at least "
                f"{least_subset(self.prefilter)} px")

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
        self.check_prefilter(self.subset)  # a resolved "auto" was not checked against it
        self.check_cracks(shape)
        x0, y0, x1, y1 = self.roi if self.roi is not None else (0, 0, cols - 1, rows - 1)
        if self.roi is not None and (x1 >= cols or y1 >= rows):
            raise MorvexError(f"roi {self.roi} reaches outside the {cols} x {rows} px image "
                              f"(x1 <= {cols - 1}, y1 <= {rows - 1})")
        if self.camera is not None:
            from .camera import read_camera

            read_camera(self.camera).check_image(shape, "the reference image")
        if self.on_plane:
            from .metric import plane_map_for

            plane_map_for(self)  # the plane's image and target are checked before any work
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

    def check_seeds(self, shape: tuple[int, int], mask: np.ndarray | None) -> None:
        """Raise MorvexError naming the first seed outside an image of `shape` or on the
        background (zero) of `mask`; positions round to the nearest pixel, as the library's."""
        rows, cols = shape
        for seed in self.seeds:
            x, y = round(seed[0]), round(seed[1])
            where = f"seed (x, y) = ({_shown(seed[0])}, {_shown(seed[1])})"
            if not (0 <= x < cols and 0 <= y < rows):
                raise MorvexError(f"{where} lies outside the {cols} x {rows} px image")
            if mask is not None and not mask[y, x]:
                raise MorvexError(f"{where} lies on the mask's background")

    def check_cracks(self, shape: tuple[int, int]) -> None:
        """Raise MorvexError naming the first crack line with a vertex off an image of
        `shape` (pixel centres at integers, so -0.5 ... cols - 0.5 along x)."""
        from .crack import crack_line

        rows, cols = shape
        for k, line in enumerate(self.crack_lines):
            crack_line(line, (-0.5, cols - 0.5, -0.5, rows - 0.5), name=str(k))

    def to_kwargs(self) -> tuple[dict[str, Any], dict[str, Any]]:
        """Keyword arguments for morvex._guided: (reference image, solver), every setting the
        library takes under its keyword, split by the record the library's table gives it."""
        records: dict[str, dict[str, Any]] = {"reference": {}, "solve": {}}
        for field in dataclasses.fields(self):
            keyword = field.metadata.get("keyword")
            if keyword is None:
                continue
            value = getattr(self, field.name)
            if keyword == "seeds":
                value = [list(seed) for seed in value] if value else None
            elif keyword == "crack_lines":
                value = [[list(v) for v in line] for line in value] if value else None
            records[field.metadata["record"]][keyword] = value
        return records["reference"], records["solve"]

    def to_attrs(self) -> dict[str, Any]:
        """Flat attributes any netCDF or Zarr writer accepts (None as "none", lists)."""
        out: dict[str, Any] = {}
        for name, value in dataclasses.asdict(self).items():
            if value is None:
                value = "none"
            elif isinstance(value, bool):  # netCDF attributes hold no booleans
                value = "true" if value else "false"
            elif name == "seeds":  # nested: netCDF attributes hold flat values only
                value = json.dumps([list(seed) for seed in value])
            elif name == "crack_lines":
                value = json.dumps([[list(v) for v in line] for line in value])
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
    except (TypeError, ValueError, OverflowError):
        raise MorvexError(f"roi must be four integers (x0, y0, x1, y1), got {value!r}") from None
    if max(x1, y1) > INT_MAX:
        raise MorvexError(f"roi (x0, y0, x1, y1) = ({x0}, {y0}, {_shown(x1)}, {_shown(y1)}) "
                          f"must stay within {INT_MAX} px")
    if x0 < 0 or y0 < 0 or x1 <= x0 or y1 <= y0:
        raise MorvexError(f"roi (x0, y0, x1, y1) = {value!r} needs 0 <= x0 < x1 and 0 <= y0 < y1")
    return (x0, y0, x1, y1)


def _point(name: str, value: Any, count: int) -> tuple[float, ...]:
    """Finite numbers, `count` of them, from a sequence or "X,Y" text."""
    items = value.split(",") if isinstance(value, str) else value
    try:
        numbers_ = tuple(float(v) for v in items)
        if any(isinstance(v, bool) for v in items):
            raise TypeError
    except (TypeError, ValueError, OverflowError):
        numbers_ = ()
    if len(numbers_) != count or not all(math.isfinite(v) for v in numbers_):
        shape = "X,Y" if count == 2 else "X0,Y0,X1,Y1"
        raise MorvexError(f"{name} must be {shape}: {count} finite numbers (px), got {value!r}")
    return numbers_


def _path(name: str, value: Any) -> str:
    import os

    if not isinstance(value, (str, os.PathLike)) or not str(value):
        raise MorvexError(f"{name} must be a file name, got {value!r}")
    return str(value)


def _flag(name: str, value: Any) -> bool:
    import numpy

    if not isinstance(value, (bool, numpy.bool_)):
        raise MorvexError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def _seeds(value: Any) -> tuple[tuple[float, ...], ...]:
    """Seeds as (x, y) or (x, y, u, v) tuples of finite floats."""
    out = []
    try:
        items = list(value)
    except TypeError:
        raise MorvexError(f"seeds must be a list of (x, y) or (x, y, u, v), got {value!r}"
                          ) from None
    for seed in items:
        try:
            numbers_ = [float(v) for v in seed]
            if any(isinstance(v, bool) for v in seed):
                raise TypeError
        except (TypeError, ValueError, OverflowError):
            raise MorvexError(f"a seed must be (x, y) or (x, y, u, v) numbers, got {seed!r}"
                              ) from None
        if len(numbers_) not in (2, 4) or not all(math.isfinite(v) for v in numbers_):
            raise MorvexError(f"a seed must be (x, y) or (x, y, u, v) finite numbers, got "
                              f"{seed!r}")
        out.append(tuple(numbers_))
    return tuple(out)


def _shown(value: object) -> str:
    """A value as a message names it: numbers short (0.5, 1e+20, nan), a long integer by its
    leading digits and size, anything else by its repr."""
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        text = str(int(value))
        digits = text.lstrip("-")
        if len(digits) > 15:
            return f"{text[:len(text) - len(digits)]}{digits[0]}.{digits[1:4]}e+{len(digits) - 1}"
        return text
    if isinstance(value, float):
        return f"{value:g}"
    return repr(value)


def _check_integer(name: str, value: object, bounds: Mapping[str, Any]) -> None:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise MorvexError(f"{name} must be an integer, got {value!r}")
    low, high = bounds["low"], bounds["high"]
    if not isinstance(value, numbers.Integral) or not low <= value <= high:
        # 7.0 as typed, 1e+20 short.
        shown = repr(value) if isinstance(value, float) and abs(value) < 1e15 else _shown(value)
        raise MorvexError(f"{name} must be an integer from {low} to {high}{bounds['unit']}, "
                          f"got {shown}")


def _check_real(name: str, value: object, bounds: Mapping[str, Any]) -> None:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise MorvexError(f"{name} must be a finite number, got {value!r}")
    try:
        finite = math.isfinite(value)
    except OverflowError:  # an integer beyond any float
        finite = False
    if not finite:
        raise MorvexError(f"{name} must be a finite number, got {_shown(value)}")
    low, high, unit = bounds["low"], bounds["high"], bounds["unit"]
    if bounds["above"] and value <= low:
        raise MorvexError(f"{name} must be > {low:g}{unit}, got {_shown(value)}")
    if value < low or (high is not None and value > high):
        within = f"in [{low:g}, {high:g}]" if high is not None else f">= {low:g}"
        raise MorvexError(f"{name} must be {within}{unit}, got {_shown(value)}")


def crack_lines(value: Any) -> tuple[tuple[tuple[float, float], ...], ...]:
    """Crack lines as tuples of (x, y) vertices, each line checked as morvex.crack.crack_line
    checks one (named by its index): at least 2 finite, distinct consecutive vertices, not
    crossing itself. Whether they lie on the image is checked against it (check_cracks)."""
    from .crack import crack_line

    if isinstance(value, (str, bytes)):
        raise MorvexError(f"crack_lines must be a list of polylines of (x, y) vertices, got "
                          f"{value!r}")
    try:
        items = list(value)
    except TypeError:
        raise MorvexError(f"crack_lines must be a list of polylines of (x, y) vertices, got "
                          f"{value!r}") from None
    out = []
    for k, line in enumerate(items):
        if isinstance(line, (str, bytes)) or any(
                isinstance(v, (bool, str, bytes)) for vertex in _iterable(line)
                for v in _iterable(vertex)):
            raise MorvexError(f"crack {k} must be (x, y) pairs of numbers, got {line!r}")
        points = crack_line(line, name=str(k)).vertices
        out.append(tuple((float(x), float(y)) for x, y in points))
    return tuple(out)


def _iterable(value: Any) -> list[Any]:
    try:
        return list(value)
    except TypeError:
        return []
