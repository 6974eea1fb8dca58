"""A pool for emcee and `run_fit` that evaluates on a Dask cluster.

`DaskPool(client).map(fn, items)` returns `[fn(x) for x in items]`, in order, computed by the
cluster's workers:

- The function (for emcee, the log-posterior: the model and the data, a few kB) becomes a task
  of its own, submitted once and reused by every later call with the same object, so that each
  call ships only the parameter vectors.
- The items go in as many chunks as the cluster has worker threads (at most), one task each:
  a worker then computes its share of the walkers without waiting for the scheduler between
  two of them, which costs a round trip per task.
- A task lost with its worker, the function's included, is computed again elsewhere (Dask
  reschedules it). The functions mapped here are pure, so the result does not depend on where
  or how often they ran, and a seed gives the same chain as with the serial pool.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Iterable
from typing import Any

__all__ = ["DaskPool"]

THREADS_TTL = 5.0  # seconds between two looks at the cluster's size (it may adapt)


def _identity(fn: Callable[[Any], Any]) -> Callable[[Any], Any]:
    return fn


def _call_chunk(xs: list[Any], fn: Callable[[Any], Any]) -> list[Any]:
    return [fn(x) for x in xs]


class DaskPool:
    """`map(fn, items)` on a Dask client. `chunk`: items per task (default: the items spread
    evenly over the worker threads)."""

    def __init__(self, client: Any, chunk: int | None = None) -> None:
        if chunk is not None and chunk < 1:
            raise ValueError(f"chunk = {chunk}: must be ≥ 1")
        self.client = client
        self.chunk = chunk
        self._fn: Any = None
        self._remote: Any = None
        self._threads = (0, -math.inf)  # (count, when)

    def _scattered(self, fn: Callable[[Any], Any]) -> Any:
        """The cluster's copy of `fn`, sent on first use (kept while `fn` is the last one)."""
        if fn is not self._fn:
            self._remote = self.client.submit(_identity, fn, pure=False)
            self._fn = fn
        return self._remote

    def threads(self) -> int:
        """The worker threads of the cluster (looked up again after a few seconds)."""
        count, when = self._threads
        now = time.monotonic()
        if now - when > THREADS_TTL:
            count = sum(self.client.nthreads().values())
            self._threads = (count, now)
        return max(count, 1)

    def map(self, fn: Callable[[Any], Any], items: Iterable[Any]) -> list[Any]:
        values = list(items)
        if not values:
            return []
        remote = self._scattered(fn)
        size = self.chunk or math.ceil(len(values) / self.threads())
        chunks = [values[i : i + size] for i in range(0, len(values), size)]
        futures = self.client.map(_call_chunk, chunks, fn=remote, pure=False)
        return [y for part in self.client.gather(futures) for y in part]

    def close(self) -> None:
        """Releases the cluster's copy of the function."""
        self._fn = self._remote = None
