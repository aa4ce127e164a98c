"""Warping an image along one axis, for the certificate's synthetic copies, and sampling it
anywhere, for placing a crack from the images.

The certificate moves the user's own reference by known sub-pixel fields: a uniform shift
along x (bias sweep) and a sinusoid of v along y whose period grows along x (spatial
resolution). Both move pixels along one axis only, so the warp is one-dimensional: the image is
prefiltered along that axis into quintic B-spline coefficients (exact recursive prefilter,
mirror boundaries about the first and last pixel centres, as the library's own sampling) and
sampled there. Along the other axis every sample sits on a pixel centre, where the 2-D spline
reproduces the pixel, so nothing is lost by not filtering it.

Written with NumPy rather than bound from C++: the library's public warps (``translate_image``,
``deform_image``) use cubic convolution and affine fields only, its B-spline code is internal to
the sampling layer, and a 1-D recursion vectorised over the other axis costs milliseconds.

The bias sweep must not use that spline: copies shifted by the solver's own interpolant can
only show the solver agreeing with itself. :func:`fourier_shift` moves the band-limited image
instead (the phase ramp of the discrete Fourier transform, the exact shift of a signal with no
content beyond the Nyquist frequency), an interpolant independent of every one the solver has.

References: M. Unser, "Splines: a perfect fit for signal and image processing", IEEE Signal
Processing Magazine 16(6), 1999; H. W. Schreier, J. R. Braasch, M. A. Sutton, "Systematic
errors in digital image correlation caused by intensity interpolation", Optical Engineering
39(11), 2000 (Fourier-shifted images as the reference of interpolation bias).
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np

# Poles of the quintic B-spline prefilter (Unser 1999, table I).
_QUINTIC_POLES = (-0.43057534709997379, -0.043096288203264654)
# Terms of the causal initial sum: |pole|^k below 1e-18 no longer changes a double.
_HORIZON_DIGITS = 18.0
# Fixed-point steps of the inverse map p = P + d(P): the contraction |d'(P)| <= 0.32 for the
# certificate's fields (0.5 px amplitude, periods >= 10 px) shrinks the error 1e6 per 12.
_INVERSE_ITERATIONS = 40

Displacement = Callable[[np.ndarray], np.ndarray]
FOURIER_PADDINGS = ("mirror", "periodic")


def bspline_coefficients(image: np.ndarray, axis: int) -> np.ndarray:
    """Quintic B-spline coefficients of `image` along `axis` (0 = rows, 1 = columns).

    Mirror boundaries (whole-sample symmetric, c[-k] = c[k]); the spline through the
    coefficients reproduces every sample to rounding. Returns a new float64 array.
    """
    data = np.moveaxis(np.array(image, dtype=np.float64), axis, 0).copy()
    n = data.shape[0]
    if n < 2:
        return np.moveaxis(data, 0, axis)
    for z in _QUINTIC_POLES:
        data *= (1.0 - z) * (1.0 - 1.0 / z)
        # Causal start: the exact sum over the mirrored signal, cut where z^k underflows.
        horizon = min(n, int(np.ceil(_HORIZON_DIGITS / -np.log10(abs(z)))) + 1)
        if horizon < n:
            powers = z ** np.arange(horizon)
            first = np.tensordot(powers, data[:horizon], axes=1)
        else:
            ks = np.arange(1, n - 1)
            weights = np.concatenate(([1.0], z ** ks + z ** (2 * n - 2 - ks), [z ** (n - 1)]))
            first = np.tensordot(weights, data, axes=1) / (1.0 - z ** (2 * n - 2))
        data[0] = first
        for k in range(1, n):
            data[k] += z * data[k - 1]
        data[n - 1] = (z / (z * z - 1.0)) * (data[n - 1] + z * data[n - 2])
        for k in range(n - 2, -1, -1):
            data[k] = z * (data[k + 1] - data[k])
    return np.moveaxis(data, 0, axis)


def sample_along(coefficients: np.ndarray, positions: np.ndarray, axis: int) -> np.ndarray:
    """The quintic spline of `coefficients` at sub-pixel `positions` along `axis`.

    `positions` has the image's shape: entry (r, c) is the position along `axis` at which
    output pixel (r, c) samples its own column (axis 0) or row (axis 1). Taps beyond the image
    are mirrored, so any finite position gives a finite value.
    """
    coeffs = np.moveaxis(coefficients, axis, 0)
    where = np.moveaxis(np.asarray(positions, dtype=np.float64), axis, 0)
    n = coeffs.shape[0]
    base = np.floor(where)
    t = where - base
    base = base.astype(np.int64)
    other = np.broadcast_to(np.arange(coeffs.shape[1]), coeffs.shape)
    out = np.zeros(coeffs.shape)
    for tap, weight in enumerate(_quintic_weights(t)):
        index = _mirror(base + (tap - 2), n)
        out += weight * coeffs[index, other]
    return np.moveaxis(out, 0, axis)


def sample(coefficients: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The quintic spline of 2-D `coefficients` (prefiltered along both axes) at sub-pixel
    positions (`x` along columns, `y` along rows, any matching shapes). Taps beyond the image
    are mirrored, so any finite position gives a finite value."""
    rows, cols = coefficients.shape
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    base_x, base_y = np.floor(x), np.floor(y)
    weights_x, weights_y = _quintic_weights(x - base_x), _quintic_weights(y - base_y)
    first_x, first_y = base_x.astype(np.int64) - 2, base_y.astype(np.int64) - 2
    out = np.zeros(np.broadcast(x, y).shape)
    for i, weight_y in enumerate(weights_y):
        r = _mirror(first_y + i, rows)
        for j, weight_x in enumerate(weights_x):
            out += weight_y * weight_x * coefficients[r, _mirror(first_x + j, cols)]
    return out


def warp_along(image: np.ndarray, displacement: Displacement, axis: int) -> np.ndarray:
    """The image deformed by a displacement `d` along `axis` only (0 = v along rows, 1 = u).

    The deformed image shows at position p what the reference has at P, where p = P + d(P);
    `displacement` maps an array of reference positions P along `axis` (image-shaped) to d.
    P is found by fixed-point iteration, exact when |d'| < 1 (the certificate's fields keep
    it below 0.32). Returns a new float64 image of the same shape.
    """
    image = np.asarray(image, dtype=np.float64)
    grid = np.indices(image.shape, dtype=np.float64)[axis]
    source = grid.copy()
    for _ in range(_INVERSE_ITERATIONS):
        source = grid - displacement(source)
    return sample_along(bspline_coefficients(image, axis), source, axis)


def fourier_shift(image: np.ndarray, shift: float, axis: int, padding: str = "mirror"
                  ) -> np.ndarray:
    """The image moved by `shift` px along `axis` (0 = rows, 1 = columns) by the Fourier shift
    theorem: output pixel k shows the band-limited image at k - shift.

    With ``padding="periodic"`` the image is taken as one period of a band-limited signal, and
    the result is exact to rounding for such a signal (a sinusoid with a whole number of
    cycles along `axis`); the Nyquist term is kept real (cos(pi shift)), as for any real signal.
    With ``padding="mirror"`` (the default) each line is first extended by its mirror image
    about its first and last pixels, so the transform sees no jump where the period wraps: the
    error then comes from the kink at the two ends only, and dies away within a few pixels of
    the edges (cut them away, or shift a larger crop). Returns a new float64 array.

    Raises:
        ValueError: for a shift that is not finite, an axis other than 0 or 1 of a 2-D image,
            or an unknown padding.
    """
    image = np.asarray(image, dtype=np.float64)
    if image.ndim != 2 or axis not in (0, 1):
        raise ValueError(f"fourier_shift needs a 2-D image and axis 0 or 1, got a "
                         f"{image.ndim}-D image and axis {axis!r}")
    if not math.isfinite(shift):
        raise ValueError(f"shift must be a finite number of px, got {shift!r}")
    if padding not in FOURIER_PADDINGS:
        raise ValueError(f"padding must be one of {', '.join(FOURIER_PADDINGS)}, got "
                         f"{padding!r}")
    lines = np.moveaxis(image, axis, 0)
    n = lines.shape[0]
    if padding == "mirror" and n > 2:
        # Whole-sample symmetric extension, period 2 n - 2: continuous where it wraps.
        lines = np.concatenate((lines, lines[-2:0:-1]), axis=0)
    length = lines.shape[0]
    spectrum = np.fft.rfft(lines, axis=0)
    frequencies = np.fft.rfftfreq(length)[:, None]
    # irfft keeps the real part of the Nyquist bin: cos(pi shift), the band-limited choice.
    moved = np.fft.irfft(spectrum * np.exp(-2j * np.pi * frequencies * shift), n=length,
                         axis=0)
    return np.moveaxis(moved[:n], 0, axis).copy()


def _mirror(index: np.ndarray, n: int) -> np.ndarray:
    if n == 1:
        return np.zeros_like(index)
    period = 2 * n - 2
    k = np.mod(index, period)
    return np.asarray(np.where(k < n, k, period - k))


def _quintic_weights(t: np.ndarray) -> list[np.ndarray]:
    # beta5 at distances t + 2, t + 1, t, 1 - t, 2 - t, 3 - t (taps base - 2 ... base + 3).
    return [_beta5(t + 2.0), _beta5(t + 1.0), _beta5(t), _beta5(1.0 - t), _beta5(2.0 - t),
            _beta5(3.0 - t)]


def _beta5(d: np.ndarray) -> np.ndarray:
    d = np.abs(d)
    outer = np.clip(3.0 - d, 0.0, None) ** 5
    middle = np.clip(2.0 - d, 0.0, None) ** 5
    inner = np.clip(1.0 - d, 0.0, None) ** 5
    return (outer - 6.0 * middle + 15.0 * inner) / 120.0
