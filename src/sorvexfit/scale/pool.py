"""A pool for emcee and `run_fit` that evaluates on a Dask cluster.

`DaskPool(client).map(fn, items)` returns `[fn(x) for x in items]`, in order, computed by the
cluster's workers. The items go in as many chunks as the cluster has worker threads (or of
`chunk` items each), so that a worker computes its share of the walkers in one call.

Two ways to reach the workers, chosen by the cluster's shape:

- Workers of one thread each (`local`, and the workers the README starts): one Dask actor per
  worker keeps the function (for emcee the log-posterior: the model and the data, a few kB),
  sent once, and each call ships only the parameter vectors, straight from this process to
  the worker. A task goes through the scheduler, a round trip more, which emcee pays twice a
  step (it moves half the walkers at a time; the README's benchmark gives the cost).
- Otherwise, tasks: the function becomes a task of its own, submitted once, and each chunk a
  task that depends on it.

A worker lost during a call (killed, out of memory) loses nothing: its chunk is computed again
as a task, which Dask schedules on a worker that lives, and its actor is dropped (the next
look at the cluster gives a new worker its own). The functions mapped here are pure, so the
result does not depend on where or how often they ran, and a seed gives the same chain as with
the serial pool.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

__all__ = ["DaskPool"]

CLUSTER_TTL = 5.0  # seconds between two looks at the cluster's workers (it may adapt)


def _identity(fn: Callable[[Any], Any]) -> Callable[[Any], Any]:
    return fn


def _call_chunk(xs: list[Any], fn: Callable[[Any], Any]) -> list[Any]:
    return [fn(x) for x in xs]


class _Evaluator:
    """A Dask actor on one worker: the mapped function, loaded once, and chunks of items."""

    def __init__(self) -> None:
        self.fn: Callable[[Any], Any] | None = None

    def load(self, fn: Callable[[Any], Any]) -> None:
        self.fn = fn

    def run(self, xs: list[Any]) -> list[Any] | None:
        # None: no function here (Dask may have rebuilt this actor after a lost worker)
        return None if self.fn is None else [self.fn(x) for x in xs]


@dataclass
class _Slot:
    """The actor of one single-threaded worker and the function it holds."""

    address: str
    actor: Any
    fn: Any = None


# What reaching an actor raises when its worker is gone: the connection's OSError (Dask's comm
# errors derive from it), or RuntimeError when Dask already knows the actor is lost. A call
# that reached it raises only OSError for a lost worker; anything else is the function's own.
_LOST = (OSError, RuntimeError)


class DaskPool:
    """`map(fn, items)` on a Dask client. `chunk`: items per call (default: the items spread
    evenly over the worker threads)."""

    def __init__(self, client: Any, chunk: int | None = None) -> None:
        if chunk is not None and chunk < 1:
            raise ValueError(f"chunk = {chunk}: must be ≥ 1")
        self.client = client
        self.chunk = chunk
        self._fn: Any = None
        self._remote: Any = None
        self._threads = 1
        self._slots: dict[str, _Slot] = {}  # by worker address; empty: tasks
        self._looked = -math.inf

    def threads(self) -> int:
        """The worker threads of the cluster (looked up again after a few seconds)."""
        self._look()
        return self._threads

    @property
    def actors(self) -> int:
        """The workers this pool reaches through an actor (0: every call is a task)."""
        return len(self._slots)

    def map(self, fn: Callable[[Any], Any], items: Iterable[Any]) -> list[Any]:
        values = list(items)
        if not values:
            return []
        self._look()
        size = self.chunk or math.ceil(len(values) / self._threads)
        chunks = [values[i : i + size] for i in range(0, len(values), size)]
        slots = list(self._slots.values())
        if not slots:
            return [y for part in self._tasks(fn, chunks) for y in part]
        calls = [self._call(slots[k % len(slots)], fn, chunk) for k, chunk in enumerate(chunks)]
        out: list[Any] = []
        for (slot, call), chunk in zip(calls, chunks, strict=True):
            part = self._result(slot, call)
            out.extend(self._tasks(fn, [chunk])[0] if part is None else part)
        return out

    def close(self) -> None:
        """Releases the cluster's copies of the function and the actors (an adaptive cluster
        cannot retire a worker that holds an actor)."""
        self._fn = self._remote = None
        self._slots.clear()
        self._looked = -math.inf

    def __enter__(self) -> DaskPool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- the cluster ------------------------------------------------------------------------

    def _look(self) -> None:
        """Counts the worker threads; with single-threaded workers, one actor each."""
        now = time.monotonic()
        if now - self._looked <= CLUSTER_TTL:
            return
        self._looked = now
        nthreads = self.client.nthreads()
        self._threads = max(sum(nthreads.values()), 1)
        if not nthreads or any(n != 1 for n in nthreads.values()):
            self._slots.clear()
            return
        for address in set(self._slots) - set(nthreads):
            del self._slots[address]
        for address in set(nthreads) - set(self._slots):
            # A loose restriction: Dask may rebuild an actor whose worker died elsewhere (and
            # then its call returns None), where a strict one would leave the call waiting.
            future = self.client.submit(
                _Evaluator, actor=True, workers=[address], allow_other_workers=True, pure=False
            )
            try:
                self._slots[address] = _Slot(address, future.result())
            except _LOST:
                continue  # gone already: its share goes to the others

    # -- actors -----------------------------------------------------------------------------

    def _call(self, slot: _Slot, fn: Callable[[Any], Any], chunk: list[Any]) -> tuple[_Slot, Any]:
        """Starts `fn` on `chunk` in `slot`'s actor (loading `fn` there first); None: lost."""
        try:
            if slot.fn is not fn:
                slot.actor.load(fn).result()
                slot.fn = fn
            return slot, slot.actor.run(chunk)
        except _LOST:
            return slot, None

    def _result(self, slot: _Slot, call: Any) -> list[Any] | None:
        """The chunk's values, or None if the worker was lost (its actor is then dropped)."""
        part = None
        if call is not None:
            try:
                part = call.result()
            except OSError:
                part = None
        if part is None:
            self._slots.pop(slot.address, None)
        return part

    # -- tasks ------------------------------------------------------------------------------

    def _tasks(self, fn: Callable[[Any], Any], chunks: list[list[Any]]) -> list[list[Any]]:
        """The chunks as tasks through the scheduler, which retries them on a lost worker."""
        if fn is not self._fn:
            self._remote = self.client.submit(_identity, fn, pure=False)
            self._fn = fn
        futures = self.client.map(_call_chunk, chunks, fn=self._remote, pure=False)
        return list(self.client.gather(futures))
