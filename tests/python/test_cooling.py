"""Compton cooling rates in tabulated and line photon fields."""

import math
from collections.abc import Callable

import numpy as np
import pytest

import sorvex

SIGMA_T, M_E, C = 6.6524587321e-25, 9.1093837015e-28, 29979245800.0
C_T = 4 / 3 * SIGMA_T / (M_E * C)  # Thomson rate per gamma^2 and unit energy density
K = 6.53745089363765e-21  # s: the Klein-Nishina parameter is b = 4 K gamma nu
pwl, mono = sorvex.rad_cool_pwl, sorvex.rad_cool_mono


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
    ],
)
def test_shortest_grids(args: tuple, expected: list[float]) -> None:
    # Shorter grids stop (test_compatibility.py): freqs empty, uu shorter than freqs.
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


# The exact Klein-Nishina reduction of the losses in isotropic photons at b = 0.1 .. 1e4.
EXACT_KN = [(0.1, 0.862), (1.0, 0.362), (10.0, 0.0370), (100.0, 1.23e-3), (1e3, 2.27e-5)]


@pytest.mark.parametrize(("b", "exact"), [*EXACT_KN, (1e4, 3.32e-7)])
def test_klein_nishina_reduction_of_a_line_and_a_narrow_band(b: float, exact: float) -> None:
    gamma = 10.0
    nu0 = b / (4 * K * gamma)
    thomson = mono([gamma, 1.0], nu0, 5.0, False)
    assert thomson == [pytest.approx(C_T * (gamma**2 - 1) * 5.0, rel=1e-12), 0.0]
    assert mono([gamma], nu0, 5.0, True)[0] / thomson[0] == pytest.approx(exact, rel=0.025)
    band = [0.999 * nu0, 1.001 * nu0]
    u = [5.0 / (band[1] - band[0])] * 2
    reduced = pwl([gamma], band, u, True)[0] / pwl([gamma], band, u, False)[0]
    assert reduced == pytest.approx(exact, rel=0.025)


@pytest.mark.parametrize("b0", [0.001, 1.0, 100.0])
def test_the_reduction_changes_little_where_its_form_changes(b0: float) -> None:
    gamma, nu0 = solve(lambda g, nu: (4 * K * g) * nu, b0)
    for rate in (
        lambda nu: mono([gamma], nu, 5.0, True)[0],
        lambda nu: pwl([gamma], [nu, 1.2 * nu], [5.0, 5.0], True)[0],
    ):
        assert rate(nu0) / rate(math.nextafter(nu0, 0.0)) == pytest.approx(1.0, abs=0.03)


def test_line_field_thomson_rate_is_the_textbook_one() -> None:
    # dgamma/dt = (4/3) sigma_T c gamma^2 beta^2 u0 / (m_e c^2), and a narrow tabulated band
    # around the line cools at the same rate.
    nu0, u0 = 1e9, 3.0
    for gamma in (1.5, 10.0, 1e3, 1e5):
        textbook = 4 / 3 * SIGMA_T * C * (gamma**2 - 1) * u0 / (M_E * C**2)
        assert mono([gamma], nu0, u0, False)[0] == pytest.approx(textbook, rel=1e-6)
    band = [nu0 * 0.95, nu0 * 1.05]  # wide enough for the closed form of the segment
    u_nu = u0 / (band[1] - band[0])
    line, tabulated = mono([1e3], nu0, u0, True)[0], pwl([1e3], band, [u_nu, u_nu], True)[0]
    assert line == pytest.approx(tabulated, rel=1e-5)
    assert math.isnan(mono([0.5], nu0, u0, False)[0])


@pytest.mark.parametrize("b0", [0.5, 5.0])
def test_romberg_failure_stops_the_call(b0: float, panic_exception: type) -> None:
    # Equal frequencies and densities give a NaN index; either Romberg integrand (b below and
    # above 1) is NaN everywhere, and the call stops rather than return NaN.
    gamma, nu0 = solve(lambda g, nu: (4 * K * g) * nu, b0)
    with pytest.raises(panic_exception, match="qromb"):
        pwl([1.5, gamma, 3.0], [nu0, nu0], [1.0, 1.0], True)
