"""Compton cooling rates in tabulated and line photon fields."""

import math
import re
from collections.abc import Callable

import numpy as np
import pytest
from conftest import run_python

import sorvex

C_T = 3.2479641514432145e-08  # (4/3) sigma_T / (m_e c)
K = 6.53745089363765e-21  # b = 4 K gamma nu
FOUR_K = 4 * K
C = 29979245800.0

pwl = sorvex.rad_cool_pwl
mono = sorvex.rad_cool_mono


def kn_fit(b: float) -> float:
    lb = math.log(b)
    return math.exp(
        ((-0.67980349 * lb + (-1.01819432)) + (-0.14948459 * lb**2)) + 0.00627589 * lb**3
    )


def kn_asymptote(b: float) -> float:
    return 4.5 * (math.log(b) - 1.8333333333333333) / b**2


def solve(b_of: Callable[[float, float], float], target: float) -> tuple[float, float]:
    """A Lorentz factor and a frequency whose b_of(gamma, nu) is exactly `target`."""
    for gamma in (2.0, 3.0, 5.0, 6.0, 7.0, 9.0):
        nu = target / b_of(gamma, 1.0)
        for _ in range(8):
            if b_of(gamma, nu) == target:
                return gamma, nu
            nu = math.nextafter(nu, math.inf if b_of(gamma, nu) < target else 0.0)
    pytest.fail(f"no Lorentz factor and frequency give b = {target}")


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: pwl([], [], [], True), []),
        (lambda: mono([], 1e10, 1.0, True), []),
        (lambda: pwl([10.0, 1e4], [1e15], [1.0], True), [0.0, 0.0]),
        (lambda: pwl([10.0, 1e4], [1e9, 2e9, 3e9], [0.0, 0.0, -1.0], True), [0.0, 0.0]),
        (lambda: mono([1.0], 1e10, 1.0, True), [0.0]),
    ],
)
def test_empty_grids_and_fields(call: Callable[[], list[float]], expected: list[float]):
    assert call() == expected


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (([2.0], [], [], False), "freqs has 0 values but at least 1 is needed"),
        (([2.0], [1e9, 2e9, 3e9], [1.0, 1.0], False), "uu has 2 values but at least 3 are"),
    ],
)
def test_short_grids_stop(args: tuple, message: str, panic_exception: type[BaseException]) -> None:
    with pytest.raises(panic_exception, match=f"^rad_cool_pwl: {message}"):
        pwl(*args)


@pytest.mark.parametrize("s", [-2.0, 0.0, 1.0, 2.5, 8.0, 11.0])
def test_thomson_rate_in_a_power_law_field(s: float) -> None:
    gg = [10.0, 300.0]
    nu = np.geomspace(1e9, 1e12, 7)
    u = 3.0 * (nu / 1e9) ** -s
    q = min(s, 8.0)  # steeper fields are treated as index 8
    integral = sum(
        u0 * n0 * (math.log(n1 / n0) if q == 1 else ((n1 / n0) ** (1 - q) - 1) / (1 - q))
        for u0, n0, n1 in zip(u, nu, nu[1:], strict=False)
    )
    for kn in (False, True):  # b < 0.001 everywhere: Thomson either way
        assert pwl(gg, list(nu), list(u), kn) == pytest.approx(
            [C_T * g * g * integral for g in gg], rel=1e-12
        )


def test_equal_neighbouring_frequencies() -> None:
    assert pwl([5.0], [1e9, 1e9, 2e9], [1.0, 2.0, 2.0], False) == pytest.approx(
        [C_T * 25 * 2.0 * 1e9], rel=1e-12
    )
    assert math.isnan(pwl([5.0], [1e9, 1e9], [1.0, 1.0], False)[0])


@pytest.mark.parametrize(
    ("b0", "reduction"),
    [
        (math.nextafter(0.001, 0.0), lambda b: 1.0),
        (0.001, lambda b: (1 + b) ** -1.5),
        (math.nextafter(1.0, 0.0), lambda b: (1 + b) ** -1.5),
        (1.0, kn_fit),
        (math.nextafter(100.0, 0.0), kn_fit),
        (100.0, kn_asymptote),
    ],
)
def test_segment_form_follows_its_lower_end(b0: float, reduction: Callable[[float], float]):
    # A flat field on [b0, 1.5 b0]: rate = C_T gamma / (4K) int f_KN(b) db.
    gamma, nu0 = solve(lambda g, nu: (FOUR_K * g) * nu, b0)
    b = np.linspace(b0, 1.5 * b0, 20001)
    f = np.array([reduction(x) for x in b])
    integral = float(np.sum((f[1:] + f[:-1]) / 2 * np.diff(b)))
    got = pwl([gamma], [nu0, 1.5 * nu0], [2.0, 2.0], True)[0]
    assert got == pytest.approx(C_T * gamma / FOUR_K * 2.0 * integral, rel=2e-7)


@pytest.mark.parametrize(
    ("b", "reduction"),
    [
        (0.001, 1.0),
        (math.nextafter(0.001, 1.0), (1 + 0.001) ** -1.5),
        (math.nextafter(1.0, 0.0), 2**-1.5),
        (1.0, kn_fit(1.0)),
        (100.0, kn_asymptote(100.0)),
        (1e4, 3.32e-7),  # exact Klein-Nishina reduction, b^-2 ln b regime
    ],
)
def test_line_field_boundaries(b: float, reduction: float) -> None:
    u0 = 5.0
    gamma, nu0 = solve(lambda g, nu: ((4 * g) * nu) * K, b)
    thomson = math.sqrt(gamma * gamma - 1) * (C_T * u0)
    assert mono([gamma], nu0, u0, False) == [thomson]
    assert mono([gamma], nu0, u0, True)[0] == pytest.approx(thomson * reduction, rel=0.01)
    assert mono([gamma], nu0, u0, True)[0] / thomson == pytest.approx(
        reduction, rel=1e-3 if b < 1e4 else 0.01
    )


def test_line_field_normalisation() -> None:
    # C_T is (4/3) sigma_T / (m_e c) with m_e = 9.1093837015e-28 g.
    assert pytest.approx(4 / 3 * 6.6524587321e-25 / (9.1093837015e-28 * C), rel=1e-9) == C_T
    gg = [1.0, 1.5, 10.0, 1e5]
    thomson = [math.sqrt(g * g - 1) * (C_T * 2.0) for g in gg]
    assert mono(gg, 1e9, 2.0, False) == thomson
    assert math.isnan(mono([0.5], 1e9, 1.0, False)[0])


def test_klein_nishina_rates_fall_below_thomson() -> None:
    # A flat field on 1e10 .. 1e12 Hz: b0 runs from 2.6e-5 (Thomson) to 2.6e4.
    gg = [1e5, *np.geomspace(1e7, 1e12, 21)]
    nu = list(np.geomspace(1e10, 1e12, 5))
    ratio = np.array(pwl(gg, nu, [1.0] * 5, True)) / np.array(pwl(gg, nu, [1.0] * 5, False))
    assert ratio[0] == 1.0
    assert np.all(np.diff(ratio) < 0)
    # Deep in the b^-2 ln b range the reduction is the band average of the asymptote.
    b = FOUR_K * gg[-1] * np.geomspace(1e10, 1e12, 200001)
    f = 4.5 * (np.log(b) - 1.8333333333333333) / b**2
    assert ratio[-1] == pytest.approx(
        np.sum((f[1:] + f[:-1]) / 2 * np.diff(b)) / (b[-1] - b[0]), rel=1e-6
    )


@pytest.mark.parametrize("b0", [0.5, 5.0])
def test_romberg_failure_stops_the_call(b0: float, panic_exception: type[BaseException]) -> None:
    # Equal frequencies and densities give a NaN index; the integrand is NaN everywhere.
    gamma, nu0 = solve(lambda g, nu: (FOUR_K * g) * nu, b0)
    message = 'called `Result::unwrap()` on an `Err` value: "qromb: too many steps"'
    with pytest.raises(panic_exception, match=f"^{re.escape(message)}$"):
        pwl([1.5, gamma, 3.0], [nu0, nu0], [1.0, 1.0], True)


def test_results_do_not_depend_on_the_thread_count() -> None:
    code = """
    import numpy as np, sorvex
    gg = list(np.geomspace(2.0, 1e9, 80))
    nu = list(np.geomspace(1e8, 1e16, 30))
    u = [1e-12 * (x / 1e8) ** -1.3 for x in nu]
    print(repr([sorvex.rad_cool_pwl(gg, nu, u, kn) for kn in (True, False)]))
    """
    outputs = {t: run_python(code, {"RAYON_NUM_THREADS": t}).stdout for t in ("1", "2", "7")}
    assert outputs["1"] == outputs["2"] == outputs["7"]
    assert outputs["1"].startswith("[[")
