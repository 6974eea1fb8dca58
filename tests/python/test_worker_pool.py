"""The worker pool seen from Python: its size and fork safety."""

import multiprocessing
import os

import pytest
from conftest import run_python

import sorvex

COUNT_WORKERS = """
import os, sorvex
before = len(os.listdir("/proc/self/task"))
sorvex.rad_cool_mono([1.0 + k for k in range(100_000)], 1e15, 1.0, True)
print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize(
    ("env", "workers"),
    [
        ({"RAYON_NUM_THREADS": "1"}, 0),
        ({"RAYON_NUM_THREADS": "3"}, 2),
        ({"RAYON_NUM_THREADS": "+4"}, 3),
        ({"RAYON_NUM_THREADS": "64"}, 63),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 2),
        ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "2"}, 1),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, len(os.sched_getaffinity(0)) - 1),
        ({"RAYON_RS_NUM_CPUS": "0"}, len(os.sched_getaffinity(0)) - 1),
        ({}, len(os.sched_getaffinity(0)) - 1),
    ],
)
def test_pool_size_follows_the_environment(env: dict[str, str], workers: int) -> None:
    # The calling thread computes too, so a pool of size N starts N - 1 threads.
    result = run_python(COUNT_WORKERS, env)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) == workers


def test_the_pool_is_created_on_first_need_only() -> None:
    result = run_python(
        """
        import os, sorvex
        before = len(os.listdir("/proc/self/task"))
        sorvex.gofb([0.5] * 1000)
        sorvex.rad_trans_blob(1.0, [1.0] * 100, [1.0] * 100)
        print(len(os.listdir("/proc/self/task")) - before)
        """,
        {"RAYON_NUM_THREADS": "4"},
    )
    assert result.stdout.strip() == "0", result.stderr


def pool_call() -> list[float]:
    return sorvex.rad_cool_mono([1.0 + k for k in range(20_000)], 1e14, 1.0, True)


def test_forked_child_uses_a_fresh_pool() -> None:
    expected = pool_call()  # the pool exists in the parent before the fork
    pid = os.fork()
    if pid == 0:
        try:
            status = 0 if pool_call() == expected and pool_call() == expected else 1
        finally:
            os._exit(status if "status" in locals() else 2)
    _, wait_status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(wait_status) == 0
    assert pool_call() == expected


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_children(method: str) -> None:
    expected = pool_call()
    context = multiprocessing.get_context(method)
    with context.Pool(2) as pool:
        results = pool.starmap(
            sorvex.rad_cool_mono, [([1.0 + k for k in range(20_000)], 1e14, 1.0, True)] * 4
        )
    assert all(result == expected for result in results)
