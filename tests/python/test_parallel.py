"""The parallel functions (of sorvex and of sorvexfit.kernels) give the same bits for any pool size,
and from many Python threads at once."""

import threading
from typing import Any

import pytest
from conftest import run_python

import sorvex

# Each call, by name, with arguments large enough to be divided among the workers.
SETUP = """
import sorvex
from sorvexfit import kernels
gammas = [1.5 * 1.2 ** k for k in range(60)]
density = [g ** -2.2 * 2.718281828 ** (-g / 3e3) for g in gammas]
freqs = [1e8 * 1.5 ** k for k in range(60)]
seed = [1e-3 * (nu / 1e8) ** -0.6 if nu < 1e13 else 0.0 for nu in freqs]
many_gammas = [1.0 + 1.0005 ** k for k in range(20_000)]
CALLS = {
    "syn_emissivity_full": lambda: sorvex.syn_emissivity_full(freqs, gammas, density, 0.3, True),
    "ic_iso_powlaw_full": lambda: sorvex.ic_iso_powlaw_full(freqs, seed, gammas, density),
    "ic_iso_monochrome_full": lambda: sorvex.ic_iso_monochrome_full(freqs, 1e-2, 1e15, density,
                                                                    gammas),
    "rad_cool_pwl": lambda: [sorvex.rad_cool_pwl(gammas, freqs, seed, kn) for kn in (True, False)],
    "rad_cool_mono": lambda: [sorvex.rad_cool_mono(many_gammas, nu, 2.5, kn)
                              for nu in (1e9, 1e15, 1e19) for kn in (True, False)],
    # sorvexfit.kernels release the interpreter lock while their pool computes
    "kernels.synchrotron": lambda: [a.tolist() for a in kernels.synchrotron(freqs, gammas,
                                                                            density, 0.3)],
    "kernels.inverse_compton": lambda: kernels.inverse_compton(
        [nu * 1e6 for nu in freqs], freqs[:30], seed[:30], gammas, density).tolist(),
    "kernels.inverse_compton_line": lambda: kernels.inverse_compton_line(
        [nu * 1e6 for nu in freqs], 1e-2, 1e15, gammas, density).tolist(),
    "kernels.gamma_gamma_opacity": lambda: kernels.gamma_gamma_opacity(
        [nu * 1e14 for nu in freqs], freqs[:30], seed[:30], 1e16).tolist(),
}
"""
namespace: dict[str, Any] = {}
exec(SETUP, namespace)
CALLS = namespace["CALLS"]


@pytest.fixture(scope="module")
def outputs_by_pool_size() -> dict[str, dict[str, str]]:
    """repr of every call's result, in a fresh process per pool size."""
    code = SETUP + "print(repr({name: call() for name, call in CALLS.items()}))"
    outputs = {}
    for size in ("1", "2", "7"):
        result = run_python(code, {"RAYON_NUM_THREADS": size})
        assert result.returncode == 0, result.stderr
        outputs[size] = eval(result.stdout)  # reprs of lists of floats
    return outputs


@pytest.mark.parametrize("name", list(CALLS))
def test_results_do_not_depend_on_the_pool_size(
    name: str, outputs_by_pool_size: dict[str, dict[str, Any]]
) -> None:
    serial = outputs_by_pool_size["1"][name]
    assert outputs_by_pool_size["2"][name] == serial
    assert outputs_by_pool_size["7"][name] == serial
    assert repr(serial) == repr(CALLS[name]())  # and in this process's pool


def test_eight_threads_match_serial_calls(panic_exception: type[BaseException]) -> None:
    calls = list(CALLS.values())
    expected = [call() for call in calls]
    results: dict[tuple[int, int], Any] = {}
    errors: list[BaseException] = []

    def worker(thread: int) -> None:
        try:
            for round_ in range(2):
                for index, call in enumerate(calls):
                    results[thread, round_ * len(calls) + index] = call()
                # A stop raised on the pool's workers, between other threads' calls: equal
                # frequencies and densities make a Klein-Nishina integrand NaN everywhere.
                with pytest.raises(panic_exception, match="qromb"):
                    sorvex.rad_cool_pwl([1e2, 2e2, 3e2, 4e2], [1e18, 1e18], [1.0, 1.0], True)
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    for (_, slot), result in results.items():
        assert result == expected[slot % len(calls)]
    assert len(results) == 8 * 2 * len(calls)
