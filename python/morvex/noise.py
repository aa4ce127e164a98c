"""The read noise of a single image, and how much of its texture that noise makes.

Reference: J. Immerkaer, "Fast noise variance estimation", Computer Vision and Image
Understanding 64(2), 1996.
"""

from __future__ import annotations

import numpy as np

from ._errors import MorvexError

# Immerkaer's 3 x 3 mask convolved with itself (5 x 5); its taps and their L2 norm.
_MASK_LINE = np.array([1.0, -4.0, 6.0, -4.0, 1.0])
_MASK = np.outer(_MASK_LINE, _MASK_LINE)
_MAD_TO_SIGMA = 1.4826 / float(np.sqrt((_MASK ** 2).sum()))
# Above this share of the reference's gradient energy coming from its read noise, a noise
# floor made from copies of the reference reads low (noise in the reference itself misleads
# the solver beyond what copies can show): the certificate says so.
NOISY_GRADIENT_SHARE = 0.05


def estimate_read_noise(image: np.ndarray) -> float:
    """Standard deviation of the white noise in `image`, grey levels.

    A high-pass residual robustly scaled: the mask of Immerkaer (1996), the product of two
    second differences, convolved with itself (fourth differences along rows and columns),
    cancels any grey-level surface up to cubic in each direction and passes mostly the corner
    of the spectrum, where a speckle pattern has little energy; the median of its magnitude (not
    the mean) keeps the remaining speckle edges from inflating the estimate. It reads high on
    patterns of dots under about 2 px (by about 15 % at 2 grey levels of noise), so noise
    floors made from it are then conservative. White noise only: correlated noise reads low.
    """
    image = np.asarray(image, dtype=np.float64)
    if image.ndim != 2 or min(image.shape) < 5:
        raise MorvexError(f"read noise needs a grey image of at least 5 x 5 px, got shape "
                          f"{image.shape}")
    rows, cols = image.shape[0] - 4, image.shape[1] - 4
    response = np.zeros((rows, cols))
    for r in range(5):
        for c in range(5):
            response += _MASK[r, c] * image[r:r + rows, c:c + cols]
    return float(_MAD_TO_SIGMA * np.median(np.abs(response[np.isfinite(response)])))


def noisy_gradient_share(image: np.ndarray, read_noise: float) -> float:
    """Share of the mean squared central-difference gradient that white noise of `read_noise`
    grey levels explains (each component of such noise has variance read_noise^2 / 2)."""
    gy = 0.5 * (image[2:, 1:-1] - image[:-2, 1:-1])
    gx = 0.5 * (image[1:-1, 2:] - image[1:-1, :-2])
    energy = float(np.mean(gx * gx + gy * gy))
    return float(read_noise ** 2 / energy) if energy > 0 else 1.0
