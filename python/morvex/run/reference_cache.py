"""Worker side: the prepared reference, built once per process and kept for the next task.

A chunked run sends each worker many tasks against one reference; preparing it (gradients,
the interpolation's coefficients) costs as much as a frame, so the prepared image is kept,
keyed by reference, mask and settings. A worker that dies takes its cache with it, and the
worker that runs its tasks again builds the same numbers from the same key.
"""

from __future__ import annotations

import threading
from collections import OrderedDict

import numpy as np

from .. import _guided
from .._errors import MorvexError
from .._progress import run_cancellable
from ..settings import Settings

_CACHE_ENTRIES = 2  # reference images kept per process (a fixed run needs one)
_cache: OrderedDict[str, _guided.ReferenceImage] = OrderedDict()
_cache_lock = threading.Lock()
builds = 0  # reference images built by this process (read by the tests through client.run)


def prepare_reference(reference: np.ndarray, settings: Settings,
                      mask: np.ndarray | None,
                      stop: threading.Event | None = None) -> _guided.ReferenceImage:
    """The reference image prepared once for every deformed frame (checked settings).

    Raises:
        MorvexError: when the library refuses the reference (its message, one line).
    """
    kwargs = settings.to_kwargs()[0]
    if mask is not None:
        if not mask.any():
            raise MorvexError("the mask marks no pixel as specimen; non-zero pixels are measured")
        kwargs["mask"] = mask.astype(np.uint8)
    try:
        return run_cancellable(lambda control: _guided.ReferenceImage(reference, **kwargs),
                               stop=stop)
    except ValueError as error:
        raise MorvexError(str(error)) from None


def cached_reference(token: str, reference: np.ndarray, settings: Settings,
                     mask: np.ndarray | None) -> _guided.ReferenceImage:
    """The prepared reference for `token`, built at most once per process while cached."""
    global builds
    with _cache_lock:
        if token in _cache:
            _cache.move_to_end(token)
            return _cache[token]
        # Built under the lock: two tasks of one run on one worker must not build it twice.
        prepared = prepare_reference(reference, settings, mask)
        builds += 1
        _cache[token] = prepared
        while len(_cache) > _CACHE_ENTRIES:
            _cache.popitem(last=False)
        return prepared


def forget_reference(token: str) -> None:
    with _cache_lock:
        _cache.pop(token, None)


def reference_token(reference: np.ndarray, mask: np.ndarray | None, settings: Settings) -> str:
    from ..store import digest

    return "|".join((digest(reference), digest(mask), repr(settings.to_kwargs()[0])))
