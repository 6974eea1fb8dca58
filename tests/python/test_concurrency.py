"""Many Python threads using the parallel functions at once get the bits of serial calls."""

import threading
from collections.abc import Callable
from typing import Any

import pytest

import sorvex

GAMMAS = [1.5 * 1.2**k for k in range(60)]
DENSITY = [g**-2.2 for g in GAMMAS]
FREQS = [1e8 * 1.5**k for k in range(60)]
SEED = [1e-3 * (nu / 1e8) ** -0.6 for nu in FREQS]

CALLS: list[Callable[[], Any]] = [
    lambda: sorvex.syn_emissivity_full(FREQS, GAMMAS, DENSITY, 0.3, True),
    lambda: sorvex.ic_iso_powlaw_full(FREQS, SEED, GAMMAS, DENSITY),
    lambda: sorvex.ic_iso_monochrome_full(FREQS, 1e-2, 1e15, DENSITY, GAMMAS),
    lambda: sorvex.rad_cool_pwl(GAMMAS, FREQS, SEED, True),
    lambda: sorvex.rad_cool_mono(GAMMAS, 1e15, 1e-2, True),
]


def test_eight_threads_match_serial_calls(panic_exception: type[BaseException]) -> None:
    expected = [call() for call in CALLS]
    results: dict[tuple[int, int], Any] = {}
    errors: list[BaseException] = []

    def worker(thread: int) -> None:
        try:
            for round_ in range(3):
                for index, call in enumerate(CALLS):
                    results[thread, round_ * len(CALLS) + index] = call()
                # A stop raised on the pool's workers, between other threads' calls: equal
                # frequencies and densities make a Klein-Nishina integrand NaN everywhere.
                with pytest.raises(panic_exception, match="qromb: too many steps"):
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
        assert result == expected[slot % len(CALLS)]
    assert len(results) == 8 * 3 * len(CALLS)
