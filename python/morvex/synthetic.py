"""Speckle images with an exactly known displacement field, for self-checks and tests."""

from __future__ import annotations

import dataclasses

import numpy as np

from . import _guided


@dataclasses.dataclass(frozen=True)
class AffineField:
    """u = u0 + du_dx (x - xc) + du_dy (y - yc); v likewise; (xc, yc) the image centre, px."""

    u: float
    v: float
    du_dx: float
    du_dy: float
    dv_dx: float
    dv_dy: float
    centre: tuple[float, float]  # (xc, yc), px

    def at(self, x: np.ndarray, y: np.ndarray) -> dict[str, np.ndarray]:
        """True u, v (px) and Green-Lagrange exx, eyy, exy at reference positions (x, y) px."""
        x, y = np.broadcast_arrays(np.asarray(x, float), np.asarray(y, float))
        dx, dy = x - self.centre[0], y - self.centre[1]
        a, b, c, d = self.du_dx, self.du_dy, self.dv_dx, self.dv_dy
        ones = np.ones_like(x)
        return {"u": self.u + a * dx + b * dy, "v": self.v + c * dx + d * dy,
                "exx": ones * (a + 0.5 * (a * a + c * c)),
                "eyy": ones * (d + 0.5 * (b * b + d * d)),
                "exy": ones * (0.5 * (b + c + a * b + c * d))}


@dataclasses.dataclass(frozen=True)
class SyntheticPair:
    """A speckle image, its deformed copy and the field that relates them."""

    reference: np.ndarray
    deformed: np.ndarray
    field: AffineField

    def truth(self, x: np.ndarray, y: np.ndarray) -> dict[str, np.ndarray]:
        return self.field.at(x, y)


@dataclasses.dataclass(frozen=True)
class SyntheticSequence:
    """Frames of a speckle image under a growing field; frame 0 is the reference itself."""

    frames: list[np.ndarray]
    fields: list[AffineField]

    def truth(self, frame: int, x: np.ndarray, y: np.ndarray) -> dict[str, np.ndarray]:
        return self.fields[frame].at(x, y)


def synthetic_pair(shape: tuple[int, int] = (256, 256), *, u: float = 0.4, v: float = -0.25,
                   du_dx: float = 0.002, du_dy: float = 0.0, dv_dx: float = 0.0,
                   dv_dy: float = -0.001, dot_radius: int = 3, density: float = 0.5,
                   noise: float = 0.0, seed: int = 1) -> SyntheticPair:
    """A speckle pair with a known affine field about the image centre.

    Args:
        shape: (rows, cols) in px; each at least 16.
        u, v: displacement of the image centre, px.
        du_dx, du_dy, dv_dx, dv_dy: displacement gradients (strain about 1e-3 is typical).
        dot_radius: speckle dot radius, px; density: share of the image the dots cover.
        noise: standard deviation of added Gaussian read noise, grey levels (0..255 scale).
        seed: the same seed gives the same images on every platform (noise from NumPy).

    Returns:
        SyntheticPair with ``reference``, ``deformed`` (float64, 0..255) and ``truth(x, y)``
        giving u, v (px) and the Green-Lagrange strains at reference positions.

    Raises:
        ValueError: for a shape below 16 px or a negative noise.

    Example:
        >>> case = morvex.synthetic_pair((128, 128), u=0.3)
        >>> float(case.truth(63.5, 63.5)["u"])   # the image centre
        0.3
    """
    rows, cols = _check_shape(shape)
    if noise < 0:
        raise ValueError(f"noise must be >= 0 grey levels, got {noise}")
    reference = _guided.generate_speckle(rows, cols, dot_radius, density, seed)
    field = AffineField(u, v, du_dx, du_dy, dv_dx, dv_dy, ((cols - 1) / 2, (rows - 1) / 2))
    deformed = _deform(reference, field)
    if noise > 0:
        rng = np.random.default_rng(seed)
        reference = reference + rng.normal(0.0, noise, reference.shape)
        deformed = deformed + rng.normal(0.0, noise, deformed.shape)
    return SyntheticPair(reference, deformed, field)


def synthetic_sequence(frames: int = 5, shape: tuple[int, int] = (256, 256), *,
                       u_step: float = 0.6, v_step: float = -0.3, exx_final: float = 0.01,
                       eyy_final: float = -0.003, dot_radius: int = 3, density: float = 0.5,
                       seed: int = 1) -> SyntheticSequence:
    """Frames under a field growing linearly from zero (frame 0) to its final value.

    Frame k moves the image centre by (k u_step, k v_step) px and stretches by
    du_dx = exx_final k / (frames - 1), dv_dy = eyy_final k / (frames - 1) (small strain;
    ``truth`` gives the exact Green-Lagrange values).

    Returns:
        SyntheticSequence with ``frames`` (list of float64 images) and
        ``truth(frame, x, y)``.

    Raises:
        ValueError: for fewer than 2 frames or a shape below 16 px.

    Example:
        >>> seq = morvex.synthetic_sequence(frames=3, shape=(96, 96))
        >>> len(seq.frames)
        3
    """
    rows, cols = _check_shape(shape)
    if frames < 2:
        raise ValueError(f"frames must be >= 2, got {frames}")
    reference = _guided.generate_speckle(rows, cols, dot_radius, density, seed)
    centre = ((cols - 1) / 2, (rows - 1) / 2)
    fields = [AffineField(k * u_step, k * v_step, exx_final * k / (frames - 1), 0.0, 0.0,
                          eyy_final * k / (frames - 1), centre) for k in range(frames)]
    images = [reference] + [_deform(reference, f) for f in fields[1:]]
    return SyntheticSequence(images, fields)


def _deform(image: np.ndarray, field: AffineField) -> np.ndarray:
    # The library deforms about the origin; move the field's centre there.
    xc, yc = field.centre
    u0 = field.u - field.du_dx * xc - field.du_dy * yc
    v0 = field.v - field.dv_dx * xc - field.dv_dy * yc
    return np.asarray(_guided.deform_image(image, u0, v0, field.du_dx, field.du_dy,
                                           field.dv_dx, field.dv_dy))


def _check_shape(shape: tuple[int, int]) -> tuple[int, int]:
    rows, cols = (int(n) for n in shape)
    if rows < 16 or cols < 16:
        raise ValueError(f"shape must be at least (16, 16) px, got {tuple(shape)}")
    return rows, cols
