"""Best-of-N timing on a shared, noisy machine.

Every callable of a comparison is timed in the same rounds, interleaved, so that both sides
see the same load; each sample repeats a call enough times to last `min_sample` seconds, and the
result is the fastest sample per call (noise only ever adds time). The garbage collector is off
while a sample runs, as in `timeit`.
"""

from __future__ import annotations

import gc
import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

# glibc malloc kept warm: large NumPy temporaries come from the heap instead of fresh mmap pages
# (whose page faults otherwise cost the peers 3 to 8 times their compute time), and freed memory
# is not handed back to the system between calls. Read once at process start, hence the re-exec.
ALLOCATOR_TUNABLES = (
    "glibc.malloc.mmap_threshold=33554432"  # 32 MiB, the largest glibc accepts
    ":glibc.malloc.trim_threshold=1073741824"
    ":glibc.malloc.top_pad=67108864"
)


def ensure_warm_allocator() -> None:
    """Re-executes the interpreter once with the allocator settings, if they are not in force."""
    if os.environ.get("GLIBC_TUNABLES") == ALLOCATOR_TUNABLES:
        return
    env = dict(os.environ, GLIBC_TUNABLES=ALLOCATOR_TUNABLES)
    os.execve(sys.executable, [sys.executable, *sys.argv], env)


@dataclass(frozen=True)
class Settings:
    rounds: int  # samples per callable (best of this many)
    min_sample: float  # seconds per sample


def _sample(fn: Callable[[], object], number: int) -> float:
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        return (time.perf_counter() - start) / number
    finally:
        if gc_was_enabled:
            gc.enable()


def best_times(fns: Sequence[Callable[[], object]], settings: Settings) -> list[float]:
    """Seconds per call of each callable: the best of `settings.rounds` interleaved samples."""
    numbers = []
    for fn in fns:
        fn()  # warm-up: imports, caches, allocator
        once = _sample(fn, 1)
        numbers.append(max(1, int(settings.min_sample / max(once, 1e-9))))
    best = [float("inf")] * len(fns)
    for _ in range(settings.rounds):
        for k, fn in enumerate(fns):
            best[k] = min(best[k], _sample(fn, numbers[k]))
    return best


def best_time(fn: Callable[[], object], settings: Settings) -> float:
    return best_times([fn], settings)[0]


def cores_used(fn: Callable[[], object], min_time: float) -> float:
    """Process CPU time over wall time while `fn` runs repeatedly: the cores it really got."""
    cpu, wall = time.process_time(), time.perf_counter()
    while time.perf_counter() - wall < min_time:
        fn()
    return (time.process_time() - cpu) / (time.perf_counter() - wall)
