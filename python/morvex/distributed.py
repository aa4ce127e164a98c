"""Sequences on a Dask cluster: how a run is split into tasks and what travels where.

The plan (chunks, chains, tiles) is :mod:`morvex.run.plan`; the tasks workers run are
:mod:`morvex.run.tasks`; submitting them, progress, cancel and retry are
:mod:`morvex.run.execute`. This module keeps the names earlier code and benchmarks use.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

from .run.execute import CONNECT_SECONDS, total_threads
from .run.execute import cluster as _cluster
from .run.plan import DEFAULT_CHUNK, check_chunk, check_cluster, check_workers, plan_chunks
from .run.tasks import measure_chain, measure_chunk


@contextlib.contextmanager
def cluster(workers: int | None = None, client: Any = None,
            threads_per_worker: int | None = None) -> Iterator[Any]:
    """A Dask client for one run, or None to stay in process (see morvex.run.execute)."""
    with _cluster(check_cluster(workers, client, threads_per_worker)) as started:
        yield started


def __getattr__(name: str) -> Any:
    # The reference cache's build counter lives with the cache, on the worker side.
    if name == "builds":
        from .run import tasks

        return tasks.builds
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["CONNECT_SECONDS", "DEFAULT_CHUNK", "check_chunk", "check_workers", "cluster",
           "measure_chain", "measure_chunk", "plan_chunks", "total_threads"]
