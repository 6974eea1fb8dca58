"""Interrupts are never swallowed: Ctrl-C ends a long parallel call (of sorvex, of the test module
_table_probe and of sorvexfit.kernels) within a second, and a KeyboardInterrupt, SystemExit or
MemoryError raised while an argument converts ends the call unchanged."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from typing import Any

import pytest
from conftest import run_python

import sorvex

# Long calls, minutes on two cores without an interrupt. The Klein-Nishina cooling of Lorentz
# factors near 6.6e11 integrates two decades of the cut-off by Romberg at each factor: 13 ms each.
KN_ARGS = "[4.558e9, 9.744e14], [1.99e-63, 2.05e-60], True"
SEED = """
freqs = [1e8 * 10 ** (12 * k / 99_999) for k in range(100_000)]
seed = [1e-3 * (nu / 1e8) ** -0.6 if nu < 1e13 else 0.0 for nu in freqs]
gammas = [1.5 * 1.2**k for k in range(60)]
density = [g**-2.2 for g in gammas]
"""
LONG_CALLS = {
    # parallel: the calling thread and the workers share 10^4 Lorentz factors
    "rad_cool_pwl": f"sorvex.rad_cool_pwl([6.609e11 * (1 + 1e-9 * i) for i in range(10_000)], "
    f"{KN_ARGS})",
    # 300 factors are fewer than two grains: they stay on the calling thread (4 s)
    "rad_cool_pwl on the calling thread": f"sorvex.rad_cool_pwl([6.609e11] * 300, {KN_ARGS})",
    "ic_iso_powlaw_full": "sorvex.ic_iso_powlaw_full(freqs, seed, gammas, density)",
}
# Calls whose bits the interrupted process must still give: the pool, then the same computations.
CHECKS = (
    "[sorvex.rad_cool_mono([1.0 + k for k in range(20_000)], 1e14, 1.0, True), "
    f"sorvex.rad_cool_pwl([6.609e11, 1e11, 1e12], {KN_ARGS}), "
    "sorvex.ic_iso_powlaw_full(freqs[::1000], seed[::1000], gammas, density)]"
)

CHILD = """
import sys, time, sorvex
{setup}
try:
    print("calling", flush=True)
    {call}
    print("returned", time.monotonic(), flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", time.monotonic(), flush=True)
print(repr({check}), flush=True)
"""


def interrupt(code: str, env: dict[str, str]) -> tuple[str, float, str]:
    """Runs `code` in a child, sends it SIGINT 0.5 s after it prints its first line and returns
    (outcome, seconds from the signal to the end of the call, the check's repr)."""
    process = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, **env},
    )
    try:
        assert process.stdout is not None
        assert process.stdout.readline() == "calling\n"
        time.sleep(0.5)
        signalled = time.monotonic()  # the same clock as the child's: system-wide
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=90)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 0, err
    lines = out.splitlines()
    outcome, ended = lines[0].split()
    return outcome, float(ended) - signalled, lines[1]


@pytest.fixture(scope="module")
def checks() -> str:
    namespace: dict[str, Any] = {"sorvex": sorvex}
    exec(SEED, namespace)
    return repr(eval(CHECKS, namespace))


@pytest.mark.parametrize(
    ("name", "threads"),
    [
        ("rad_cool_pwl", "2"),
        ("rad_cool_pwl", "1"),
        ("rad_cool_pwl on the calling thread", "2"),
        ("ic_iso_powlaw_full", "2"),
    ],
)
def test_ctrl_c_ends_a_long_call_within_a_second(name: str, threads: str, checks: str) -> None:
    code = CHILD.format(setup=SEED, call=LONG_CALLS[name], check=CHECKS)
    outcome, seconds, check = interrupt(code, {"RAYON_NUM_THREADS": threads})
    assert outcome == "KeyboardInterrupt"
    assert seconds < 1.0
    assert check == checks  # the pool still works and gives the same bits


class Raising:
    """Raises `error` from __float__."""

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __float__(self) -> float:
        raise self.error


class RaisingLength:
    """A sequence of no items whose __len__ raises `error`."""

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __len__(self) -> int:
        raise self.error

    def __getitem__(self, index: int) -> float:
        raise IndexError(index)


PROPAGATED = [KeyboardInterrupt(), SystemExit(3), MemoryError()]


@pytest.mark.parametrize("error", [*PROPAGATED, RecursionError("deep")])
@pytest.mark.parametrize("function", [sorvex.gofb, sorvex.bofg])
def test_gofb_and_bofg_let_interrupts_through(function: Any, error: BaseException) -> None:
    for arg in (Raising(error), [0.5, Raising(error)]):
        with pytest.raises(type(error)) as info:
            function(arg)
        assert info.value is error


@pytest.mark.parametrize("error", PROPAGATED)
def test_the_size_hint_lets_interrupts_through(error: BaseException) -> None:
    for call in (
        lambda: sorvex.rad_trans_slab(1.0, RaisingLength(error), [0.0]),
        lambda: sorvex.bofg(RaisingLength(error)),
    ):
        with pytest.raises(type(error)) as info:
            call()
        assert info.value is error


def test_a_call_holding_the_lock_runs_while_the_pool_serves_a_released_call() -> None:
    # The main thread's call releases the interpreter lock and takes it back every few
    # milliseconds to check for signals. Meanwhile another thread's call holds the lock: it must
    # not wait for the busy pool (which would wait for the lock), it computes on its own.
    result = run_python(
        f"""
        import threading
        {probe_import()}
        same = []
        def other():
            for _ in range(20):
                same.append(probe.spin_locked(20, 1.0).tolist() == list(range(20)))
        thread = threading.Thread(target=other)
        thread.start()
        print(probe.spin(400, 2.0).tolist() == list(range(400)))
        thread.join()
        print(len(same), all(same))
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "20", "True"]


def test_ctrl_c_ends_a_call_that_released_the_interpreter_lock() -> None:
    # 100 s of spinning on two cores; the check below is the same call, short.
    code = CHILD.format(
        setup=probe_import(), call="probe.spin(100_000, 2.0)", check="probe.spin(40, 1.0).tolist()"
    )
    outcome, seconds, check = interrupt(code, {"RAYON_NUM_THREADS": "2"})
    assert outcome == "KeyboardInterrupt"
    assert seconds < 1.0
    assert check == repr([float(i) for i in range(40)])


# Minutes of full Klein-Nishina scattering (some 10 ms per frequency on each core) in
# sorvexfit.kernels, which releases the interpreter lock and takes it back to check for signals.
KERNELS_SETUP = """
import numpy as np
from sorvexfit import kernels
seed_nu = np.geomspace(1e8, 1e20, 1000)
seed = 1e-3 * (seed_nu / 1e8) ** -0.6
gammas = np.geomspace(1.5, 1e7, 1000)
density = gammas**-2.2
nu = np.geomspace(1e10, 1e25, 10_000)
"""
KERNELS_CALL = "kernels.inverse_compton(nu{}, seed_nu, seed, gammas, density)"


@pytest.mark.parametrize("threads", ["1", "2"])
def test_ctrl_c_ends_a_long_kernel_call(threads: str) -> None:
    check = KERNELS_CALL.format("[::2500]") + ".tolist()"
    code = CHILD.format(setup=KERNELS_SETUP, call=KERNELS_CALL.format(""), check=check)
    outcome, seconds, printed = interrupt(code, {"RAYON_NUM_THREADS": threads})
    assert outcome == "KeyboardInterrupt"
    assert seconds < 1.0
    namespace: dict[str, Any] = {}
    exec(KERNELS_SETUP, namespace)
    assert printed == repr(eval(check, namespace))


def probe_import() -> str:
    """Code that imports the test module _table_probe as `probe` (see test_table.py)."""
    from test_table import load_probe

    path = load_probe().__file__
    return (
        "import importlib.util; "
        f"spec = importlib.util.spec_from_file_location('_table_probe', {path!r}); "
        "probe = importlib.util.module_from_spec(spec); spec.loader.exec_module(probe)"
    )
