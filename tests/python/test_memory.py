"""Long runs of successful and failing calls keep memory flat and argument references intact."""

import os
import sys

import pytest
from conftest import run_python

import sorvex

# Every kind of outcome: results, matching errors, conversion errors (relabelled or not),
# refusals of gofb/bofg, and stops raised as PanicException.
MIXED_CALLS = """
import gc, os, sys, tracemalloc

import sorvex

class BadFloat:
    def __float__(self):
        raise ValueError("bad")

j = [1.0, 2.0, 3.0]
calls = [
    lambda: sorvex.rad_trans_blob(1.0, j, j),
    lambda: sorvex.rad_trans_slab(2.0, tuple(j), j),
    lambda: sorvex.gofb([0.1, 0.2]),
    lambda: sorvex.bofg(3.0),
    lambda: sorvex.rad_cool_mono(j, 1e15, 1.0, True),
    lambda: sorvex.rad_trans_blob(1.0, j),
    lambda: sorvex.rad_trans_blob(1.0, j, j, foo=1),
    lambda: sorvex.rad_trans_blob(1.0, "abc", j),
    lambda: sorvex.rad_trans_blob(1.0, [1.0, "x"], j),
    lambda: sorvex.rad_trans_blob(1.0, [BadFloat()], j),
    lambda: sorvex.rad_trans_blob(1.0, [10**400], j),
    lambda: sorvex.rad_cool_mono(j, 1.0, 1.0, 1),
    lambda: sorvex.gofb("x"),
    lambda: sorvex.rad_trans_slab(1.0, j, [1.0]),
]

def run(n):
    for i in range(n):
        try:
            calls[i % len(calls)]()
        except BaseException:
            pass

def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

run(20_000)  # warm up: the pool, PanicException, allocator arenas
gc.collect()
tracemalloc.start()
before_rss = rss_kib()
before_traced = tracemalloc.get_traced_memory()[0]
run(100_000)
gc.collect()
print(rss_kib() - before_rss, tracemalloc.get_traced_memory()[0] - before_traced)
"""


@pytest.mark.slow
def test_rss_and_tracemalloc_stay_flat() -> None:
    result = run_python(MIXED_CALLS, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    rss_growth_kib, traced_growth = map(int, result.stdout.split())
    # AddressSanitizer holds freed memory in quarantine: RSS means nothing under it.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        assert rss_growth_kib < 2048, f"RSS grew by {rss_growth_kib} KiB"
    assert traced_growth < 64 * 1024, f"tracemalloc shows {traced_growth} bytes more"


def test_argument_reference_counts_are_unchanged(panic_exception: type[BaseException]) -> None:
    grid = [float(k) + 0.5 for k in range(5)]  # objects of this test alone
    item = grid[2]
    pair = (float("0.5"), float("0.25"))
    number = float("7.25")
    objects = (grid, item, pair, pair[0], number)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(200):
        sorvex.rad_cool_mono(grid, number, number, True)
        sorvex.rad_trans_slab(number, grid[:2], pair)
        sorvex.gofb(grid)
        sorvex.gofb(number)
        with pytest.raises(TypeError):
            sorvex.rad_cool_mono(grid, number, number, 0)
        with pytest.raises(TypeError):
            sorvex.rad_trans_slab(number, pair, "x")
        with pytest.raises(panic_exception):
            sorvex.rad_trans_blob(number, grid, [number])
    assert [sys.getrefcount(o) for o in objects] == before
