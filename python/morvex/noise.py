"""The read noise of a single image, and how much of its texture that noise makes.

Reference: J. Immerkaer, "Fast noise variance estimation", Computer Vision and Image
Understanding 64(2), 1996.
"""

from __future__ import annotations

import numpy as np

from . import _guided
from ._errors import MorvexError

# Above this share of the reference's gradient energy coming from its read noise, a noise
# floor made from copies of the reference reads low (noise in the reference itself misleads
# the solver beyond what copies can show): the certificate says so.
NOISY_GRADIENT_SHARE = 0.05


def estimate_read_noise(image: np.ndarray, mask: np.ndarray | None = None) -> float:
    """Standard deviation of the white noise in `image`, grey levels.

    A high-pass residual robustly scaled: the mask of Immerkaer (1996), the product of two
    second differences, convolved with itself (fourth differences along rows and columns),
    cancels any grey-level surface up to cubic in each direction and passes mostly the corner
    of the spectrum, where a speckle pattern has little energy; the median of its magnitude (not
    the mean) keeps the remaining speckle edges from inflating the estimate. It reads high on
    patterns of dots under about 2 px (by about 15 % at 2 grey levels of noise), so noise
    floors made from it are then conservative. White noise only: correlated noise reads low.
    With `mask` (non-zero = specimen, the image's shape), only responses whose 5 x 5 window
    lies on the specimen count: a background or a hole has noise of its own.
    """
    image = np.asarray(image, dtype=np.float64)
    if image.ndim != 2 or min(image.shape) < 5:
        raise MorvexError(f"read noise needs a grey image of at least 5 x 5 px, got shape "
                          f"{image.shape}")
    specimen = None if mask is None else (np.asarray(mask) != 0).astype(np.uint8)
    if specimen is not None and specimen.shape != image.shape:
        raise MorvexError(f"the mask has shape {specimen.shape}, the image {image.shape}")
    if specimen is not None and not _inside(specimen != 0, 5).any():
        raise MorvexError("read noise needs a 5 x 5 px patch of specimen; the mask leaves none")
    # The extension's estimate: the very one a ReferenceImage makes of its own noise.
    return float(_guided.estimate_read_noise(image, mask=specimen))


def _inside(specimen: np.ndarray, side: int) -> np.ndarray:
    """For each side x side window (top-left corner), whether every pixel is specimen."""
    counts = np.pad(specimen.astype(np.int64), ((1, 0), (1, 0))).cumsum(0).cumsum(1)
    total = (counts[side:, side:] - counts[:-side, side:] - counts[side:, :-side]
             + counts[:-side, :-side])
    return np.asarray(total == side * side)


def central_gradients(image: np.ndarray, mask: np.ndarray | None = None
                      ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Central-difference gradients of the image's interior, grey levels per px.

    Returns (gy, gx, valid), each of shape (rows - 2, cols - 2): element [r, c] belongs to
    pixel (r + 1, c + 1), gx = (I[r, c + 1] - I[r, c - 1]) / 2 and gy likewise along rows, so a
    ramp of slope a reads exactly a. ``valid`` holds where the pixel's 3 x 3 neighbourhood is
    finite and, with `mask` (non-zero = specimen), specimen: a background or a hole does not
    count. Invalid elements hold 0. An image under 3 x 3 px gives empty arrays.
    """
    image = np.asarray(image, dtype=np.float64)
    rows, cols = image.shape
    if rows < 3 or cols < 3:
        empty = np.zeros((max(rows - 2, 0), max(cols - 2, 0)))
        return empty, empty.copy(), empty.astype(bool)
    usable = np.isfinite(image)
    if mask is not None:
        usable &= np.asarray(mask) != 0
    valid = _inside(usable, 3)
    clean = np.where(usable, image, 0.0)
    gy = np.where(valid, 0.5 * (clean[2:, 1:-1] - clean[:-2, 1:-1]), 0.0)
    gx = np.where(valid, 0.5 * (clean[1:-1, 2:] - clean[1:-1, :-2]), 0.0)
    return gy, gx, valid


def noisy_gradient_share(image: np.ndarray, read_noise: float,
                         mask: np.ndarray | None = None) -> float:
    """Share of the mean squared central-difference gradient that white noise of `read_noise`
    grey levels explains (each component of such noise has variance read_noise^2 / 2); with
    `mask`, over the specimen's pixels whose 3 x 3 neighbourhood is specimen."""
    gy, gx, valid = central_gradients(image, mask)
    squared = (gx * gx + gy * gy)[valid]
    energy = float(np.mean(squared)) if squared.size else 0.0
    return float(read_noise ** 2 / energy) if energy > 0 else 1.0
