"""Compton cooling rates in tabulated and line photon fields."""

import math
import re
from collections.abc import Callable

import numpy as np
import pytest
from conftest import run_python

import sorvex

C_T, K = 3.2479641514432145e-08, 6.53745089363765e-21  # b = 4 K gamma nu
pwl, mono = sorvex.rad_cool_pwl, sorvex.rad_cool_mono


def kn_fit(b: float) -> float:
    lb = math.log(b)
    return math.exp(-0.67980349 * lb - 1.01819432 - 0.14948459 * lb**2 + 0.00627589 * lb**3)


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
    ("args", "expected"),
    [
        (([], [], [], True), []),
        (([10.0, 1e4], [1e15], [1.0], True), [0.0, 0.0]),
        (([10.0, 1e4], [1e9, 2e9, 3e9], [0.0, 0.0, -1.0], True), [0.0, 0.0]),
        (([2.0], [], [], False), "freqs has 0 values but at least 1 is needed"),
        (([2.0], [1e9, 2e9, 3e9], [1.0, 1.0], False), "uu has 2 values but at least 3 are"),
    ],
)
def test_grid_lengths(args: tuple, expected: object, panic_exception: type) -> None:
    if isinstance(expected, str):
        with pytest.raises(panic_exception, match=f"^rad_cool_pwl: {expected}"):
            pwl(*args)
    else:
        assert pwl(*args) == expected


@pytest.mark.parametrize("s", [-2.0, 0.0, 1.0, 2.5, 8.0, 11.0])
def test_thomson_rate_in_a_power_law_field(s: float) -> None:
    nu = np.geomspace(1e9, 1e12, 7)
    u = 3.0 * (nu / 1e9) ** -s
    q = min(s, 8.0)  # steeper fields are treated as index 8
    ratio = nu[1] / nu[0]
    seg = math.log(ratio) if q == 1 else (ratio ** (1 - q) - 1) / (1 - q)
    expected = [C_T * g * g * float(np.sum(u[:-1] * nu[:-1])) * seg for g in (10.0, 300.0)]
    for kn in (False, True):  # b < 0.001 everywhere: Thomson either way
        assert pwl([10.0, 300.0], list(nu), list(u), kn) == pytest.approx(expected, rel=1e-12)
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
    # A flat field on [b0, 1.5 b0]: rate = C_T gamma u / (4K) int f_KN(b) db.
    gamma, nu0 = solve(lambda g, nu: (4 * K * g) * nu, b0)
    b = np.linspace(b0, 1.5 * b0, 20001)
    f = np.array([reduction(x) for x in b])
    expected = C_T * gamma * 2.0 / (4 * K) * float(np.sum((f[1:] + f[:-1]) / 2 * np.diff(b)))
    assert pwl([gamma], [nu0, 1.5 * nu0], [2.0, 2.0], True) == pytest.approx([expected], rel=2e-7)


@pytest.mark.parametrize(
    ("b", "reduction"),
    [
        (0.001, 1.0),
        (math.nextafter(0.001, 1.0), 1.001**-1.5),
        (math.nextafter(1.0, 0.0), 2**-1.5),
        (1.0, kn_fit(1.0)),
        (100.0, kn_asymptote(100.0)),
        (1e4, 3.32e-7),  # the exact reduction, in the b^-2 ln b regime
    ],
)
def test_line_field_rates(b: float, reduction: float) -> None:
    gamma, nu0 = solve(lambda g, nu: ((4 * g) * nu) * K, b)
    thomson = (gamma * gamma - 1) * (C_T * 5.0)
    assert mono([gamma, 1.0], nu0, 5.0, False) == [thomson, 0.0]
    assert mono([gamma], nu0, 5.0, True)[0] / thomson == pytest.approx(reduction, rel=1e-3)
    # C_T is (4/3) sigma_T / (m_e c) with m_e = 9.1093837015e-28 g.
    assert pytest.approx(4 / 3 * 6.6524587321e-25 / (9.1093837015e-28 * 29979245800.0)) == C_T


def test_line_field_thomson_rate_is_the_textbook_one() -> None:
    # dgamma/dt = (4/3) sigma_T c gamma^2 beta^2 u0 / (m_e c^2), and a narrow tabulated band
    # around the line cools at the same rate.
    sigma_t, m_e, c = 6.6524587321e-25, 9.1093837015e-28, 29979245800.0
    nu0, u0 = 1e9, 3.0
    for gamma in (1.5, 10.0, 1e3, 1e5):
        textbook = 4 / 3 * sigma_t * c * (gamma**2 - 1) * u0 / (m_e * c**2)
        assert mono([gamma], nu0, u0, False)[0] == pytest.approx(textbook, rel=1e-6)
    band = [nu0 * 0.95, nu0 * 1.05]  # wide enough for the closed form of the segment
    u_nu = u0 / (band[1] - band[0])
    line, tabulated = mono([1e3], nu0, u0, True)[0], pwl([1e3], band, [u_nu, u_nu], True)[0]
    assert line == pytest.approx(tabulated, rel=1e-5)
    assert math.isnan(mono([0.5], nu0, u0, False)[0])


@pytest.mark.parametrize("b0", [0.5, 5.0])
def test_romberg_failure_stops_the_call(b0: float, panic_exception: type) -> None:
    # Equal frequencies and densities give a NaN index; the integrand is NaN everywhere.
    gamma, nu0 = solve(lambda g, nu: (4 * K * g) * nu, b0)
    message = 'called `Result::unwrap()` on an `Err` value: "qromb: too many steps"'
    with pytest.raises(panic_exception, match=f"^{re.escape(message)}$"):
        pwl([1.5, gamma, 3.0], [nu0, nu0], [1.0, 1.0], True)


def test_results_do_not_depend_on_the_thread_count() -> None:
    code = """
    import numpy as np, sorvex
    f, g = list(np.geomspace(1e8, 1e20, 60)), list(np.geomspace(1.0, 1e9, 50))
    n, inu = [x ** -2.3 for x in g], [(x / 1e8) ** -0.7 if x < 1e13 else 0.0 for x in f]
    ic = [sorvex.ic_iso_powlaw_full(f, inu, g, n), sorvex.ic_iso_monochrome_full(f, 1, 1e12, n, g)]
    print(repr([sorvex.rad_cool_pwl(g, f, inu, kn) for kn in (True, False)] + ic))
    """
    outputs = {t: run_python(code, {"RAYON_NUM_THREADS": t}).stdout for t in ("1", "2", "7")}
    assert outputs["1"] == outputs["2"] == outputs["7"]
    assert outputs["1"].startswith("[[")
