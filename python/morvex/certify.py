"""morvex.certify: the metrological performance of a set of settings on the user's own pattern.

One call measures what a publication must report with its fields (the iDICs Good Practices
Guide): the settings table, the displacement and strain noise floors beside the run's
predicted sigma, the bias over a sub-pixel shift sweep, and the spatial resolution l10% with
the metrological efficiency indicator MEI = noise x l10% (DIC Challenge 2.0). The figures come
from :mod:`morvex.resolution`; :mod:`morvex.certificate_files` writes them out.
"""

from __future__ import annotations

import math
import time
from typing import Any

import numpy as np

from . import resolution
from ._dataset import version
from ._errors import MorvexError
from .correlate import check_threads
from .io import ImageLike, as_image, as_mask
from .run.plan import check_mask
from .settings import AUTO_SUBSET, Settings, gauge_size, strain_reach

_INTERPOLANTS = {"quintic": "B-spline, degree 5, exact recursive prefilter",
                 "cubic": "B-spline, degree 3, exact recursive prefilter",
                 "keys": "cubic convolution, fourth order (6 x 6 taps)"}


def certify(reference: ImageLike, *, static: ImageLike | None = None,
            mask: ImageLike | None = None, threads: int | None = None,
            **settings: Any) -> dict[str, Any]:
    """The resolution certificate of `settings` on `reference`, as a JSON-able dictionary.

    Args:
        reference: the reference image (array or path) the measurement will use.
        static: a second image of the unloaded specimen (same size): the noise floor is then
            the scatter of this static pair. Without it, the reference is measured against a
            copy with its own estimated read noise.
        mask: the run's mask (array or image path of the reference's size, non-zero =
            specimen): every figure is then measured on the specimen alone, each crop placed
            where it holds the most specimen, and the read noise estimated there.
        threads: worker threads; None = all cores.
        **settings: the settings of :func:`morvex.correlate` (subset, step, roi, shape,
            interpolation, ..., and subset="auto" with noise_target).

    Returns:
        A dictionary with ``settings_table`` (rows of the Good Practices Guide table),
        ``noise_floor``, ``bias``, ``spatial_resolution``, ``mei``, ``subset_choice`` (or
        None), ``image_shape``, ``flags``, ``seconds``. Every figure has its standard error
        beside it (``..._se_...`` keys, or a section's ``se``), and each section's ``flags``
        maps a figure the image cannot support to the reason (``flags`` gathers them as
        "section.figure"). Units: px for displacement and lengths, 1 for strain, grey levels
        for read noise. See the README's "Resolution certificate".

    Raises:
        MorvexError: before any work, for an unreadable image, a static image of another
            size, a mask of another size or without specimen, a setting outside its range, or a
            region that leaves no grid point.

    Example:
        >>> case = morvex.synthetic_pair((256, 256), noise=2.0)
        >>> cert = morvex.certify(case.reference, subset=21)          # doctest: +SKIP
        >>> cert["spatial_resolution"]["l10_displacement_px"]          # doctest: +SKIP
        83.1
    """
    began = time.perf_counter()
    checked = Settings.build(**settings)
    threads = check_threads(threads) or None
    reference_image = as_image(reference, "reference")
    static_image = None
    if static is not None:
        static_image = as_image(static, "static")
        if static_image.shape != reference_image.shape:
            raise MorvexError(f"the static image has shape {static_image.shape}, the reference "
                              f"{reference_image.shape} (rows, cols); both must be the same size")
    specimen = None
    if mask is not None:
        specimen = as_mask(mask, reference_image.shape)
        check_mask(specimen)
    choice = None
    if checked.subset == AUTO_SUBSET:
        from .autosubset import choose_subset

        checked, choice = choose_subset(reference_image, checked, specimen, threads=threads)
    checked.check_image(reference_image.shape)
    vsg = virtual_strain_gauge(checked)
    noise = resolution.noise_floor(reference_image, static_image, checked, threads, specimen)
    bias = resolution.bias_sweep(reference_image, checked, threads, specimen)
    star = resolution.star_response(reference_image, checked, vsg, threads, specimen)
    mei = metrological_efficiency(noise, star)
    certificate = {
        "software": {"name": "Morvex", "version": version()},
        "image_shape": list(reference_image.shape),
        "settings": {name: value for name, value in checked.to_attrs().items()},
        "settings_table": settings_table(checked, reference_image.shape, vsg, specimen),
        "subset_choice": choice,
        "noise_floor": noise,
        "bias": bias,
        "spatial_resolution": star,
        "mei": mei,
        "flags": {f"{section}.{figure}": reason
                  for section, part in (("noise_floor", noise), ("bias", bias),
                                        ("spatial_resolution", star), ("mei", mei))
                  for figure, reason in part["flags"].items()},
        "seconds": time.perf_counter() - began,
    }
    if checked.on_plane:
        certificate["millimetres"] = in_millimetres(certificate, checked, reference_image.shape)
    return certificate


def in_millimetres(certificate: dict[str, Any], settings: Settings,
                   shape: tuple[int, ...]) -> dict[str, Any]:
    """The certificate's lengths on the specimen plane: each px figure times the plane map's
    scale at the image centre (the square root of its Jacobian's determinant, so a tilted
    plane's two directions count alike); strains have no unit and stay as they are."""
    from .metric import plane_map_for

    plane_map = plane_map_for(settings)
    assert plane_map is not None
    centre = np.array([[(shape[1] - 1) / 2.0, (shape[0] - 1) / 2.0]])
    scale = float(math.sqrt(abs(np.linalg.det(plane_map.jacobian(centre)[0]))))
    noise, bias = certificate["noise_floor"], certificate["bias"]
    star, mei = certificate["spatial_resolution"], certificate["mei"]
    return {"mm_per_px": scale,
            "noise_floor_mm": noise["displacement_px"] * scale,
            "predicted_sigma_mm": noise["predicted_sigma_px"] * scale,
            "max_abs_bias_mm": bias["max_abs_bias_px"] * scale,
            "l10_displacement_mm": star["l10_displacement_px"] * scale,
            "l10_strain_mm": star["l10_strain_px"] * scale,
            "mei_displacement_mm2": mei["displacement_px2"] * scale**2,
            "mei_strain_mm": mei["strain_px"] * scale}


def metrological_efficiency(noise: dict[str, Any], star: dict[str, Any]) -> dict[str, Any]:
    """MEI = noise floor x l10% for displacement and strain, each with its standard error
    (the two factors' relative errors added in quadrature: they come from different
    measurements) and flagged when either factor is."""
    out: dict[str, Any] = {"flags": {}}
    for name, se_name, floor, l10 in (
            ("displacement_px2", "displacement_se_px2", "displacement_px", "l10_displacement"),
            ("strain_px", "strain_se_px", "strain_noise", "l10_strain")):
        a, b = noise[floor], star[f"{l10}_px"]
        sa, sb = noise["se"][floor], star[f"{l10}_se_px"]
        out[name] = a * b
        out[se_name] = abs(a * b) * math.hypot(sa / a, sb / b) if a and b else float("nan")
        reasons = [r for r in (noise["flags"].get(floor), star["flags"].get(f"{l10}_px")) if r]
        if reasons:
            out["flags"][name] = "; ".join(reasons)
    return out


def virtual_strain_gauge(settings: Settings) -> float:
    """VSG size, px: the span of image that one strain value depends on.

    The strain fit spans 2 n + 1 grid points (n = strain_window / step, rounded as the
    library rounds it), each reading a subset: (2 n) step + subset.
    """
    return float(gauge_size(settings))


def settings_table(settings: Settings, shape: tuple[int, int], vsg: float,
                   mask: np.ndarray | None = None) -> list[list[str]]:
    """(parameter, value) rows of the Good Practices Guide's table of DIC settings."""
    rows, cols = shape
    x0, y0, x1, y1 = settings.region(shape)
    mask_text = "none: the whole region is specimen"
    if mask is not None:
        share = float(np.mean(np.asarray(mask)[y0:y1 + 1, x0:x1 + 1] != 0))
        mask_text = f"specimen {share:.1%} of the region; figures measured on it alone"
    points = strain_reach(settings)
    side = f"{2 * points + 1} x {2 * points + 1} points (half-width {settings.strain_window} px)"
    window_text = (f"local plane fit of u, v over {side}" if settings.strain_source != "subset"
                   else "the subsets' own warp gradients, as they are" if points == 0 else
                   f"the subsets' own warp gradients, each plane-fitted over {side}")
    shape_text = {"affine": "affine (first order, 6 parameters)",
                  "quadratic": "quadratic (second order, 12 parameters)"}[settings.shape]
    return [
        ["Software", f"Morvex {version()} (guided correlation, inverse-compositional "
                     "Gauss-Newton)"],
        ["Image size", f"{cols} x {rows} px"],
        ["Region of interest", f"x {x0}..{x1}, y {y0}..{y1} px ({x1 - x0 + 1} x "
                               f"{y1 - y0 + 1} px)"],
        ["Mask", mask_text],
        ["Subset", f"{settings.subset} x {settings.subset} px"],
        ["Step", f"{settings.step} px"],
        ["Shape function", shape_text],
        ["Interpolant", f"{settings.interpolation}: {_INTERPOLANTS[settings.interpolation]}"],
        ["Prefilter", "none" if settings.prefilter == 0 else
         f"Gaussian, sigma {settings.prefilter:g} px, both images"],
        ["Matching criterion", f"ZNSSD (zero-normalised sum of squared differences); valid "
                               f"when ZNCC >= {settings.min_zncc:g}"],
        ["Convergence", f"no subset corner moves more than {settings.convergence_threshold:g}"
                        f" px, at most {settings.max_iterations} iterations"],
        ["Strain window", window_text],
        ["Strain measure", {"green-lagrange": "Green-Lagrange (finite strain)",
                            "engineering": "engineering (small strain)"}
         [settings.strain_measure]],
        ["Virtual strain gauge", f"{vsg:g} px"],
    ]
