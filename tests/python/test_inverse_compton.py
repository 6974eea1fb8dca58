"""Inverse-Compton emissivity for tabulated and line seed fields."""

import math
from collections.abc import Callable

import numpy as np
import pytest

import sorvex

SIGMA_T, C, PLANCK = 6.6524587321000005e-25, 29979245800.0, 6.62607015e-27
GAMMA_KN_NUMERATOR = 2.0467764442059716e-7  # m_e c^2 / 4
pwl, mono = sorvex.ic_iso_powlaw_full, sorvex.ic_iso_monochrome_full


def electrons(p: float, points: int) -> tuple[list[float], list[float]]:
    g = np.geomspace(1.0, 1e8, points)
    return list(g), list(g**-p)


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: pwl([], [], [], []), []),
        (lambda: pwl([1e15], [1.0], [], []), [0.0]),
        (lambda: pwl([1e9, 1e12], [1.0, 1.0], [10.0], [1.0]), [0.0, 0.0]),
        (lambda: pwl([1e9, 1e12], [0.0, 1.0], [], []), [0.0, 0.0]),  # no open seed interval
        (lambda: mono([], 1.0, 1e10, [], []), []),
        (lambda: mono([1e15, 1e16], math.inf, 0.0, [1.0], [10.0]), [0.0, 0.0]),
    ],
)
def test_shortest_grids(call: Callable[[], list[float]], expected: list[float]) -> None:
    # Shorter grids stop (test_compatibility.py).
    assert call() == expected


@pytest.mark.parametrize(("alpha", "p"), [(0.0, 0.0), (0.7, 2.3), (-1.5, 3.0)])
def test_single_pair_and_interval_selection(alpha: float, p: float) -> None:
    freqs, inu = [1.0, 12.0, 13.0], [2.0, 2.0 * 12**-alpha, 0.0]  # w = 3 at nu = 12
    g0 = math.sqrt(3.0)  # rounds low: g0^2 < w, a sliver of the y-range lies above g0^2
    n = [5.0, 5.0 * (10 / g0) ** -p]
    got = pwl(freqs, inu, [g0, 10.0], n)

    def power(a: float, b: float, s: float) -> float:
        return (b ** (s + 1) - a ** (s + 1)) / (s + 1)

    # sigma I_0 w^-alpha n_0 g0^p int int x^e y^alpha (1 - x y) over [1/100, 1/3] x [1/4, 3].
    e, x1, x2, y1, y2 = (p - 1) / 2, 0.01, 1 / 3, 0.25, 3.0
    area = power(x1, x2, e) * power(y1, y2, alpha) - power(x1, x2, e + 1) * power(y1, y2, alpha + 1)
    assert got == pytest.approx(
        [0.0, SIGMA_T * 2.0 * 3**-alpha * 5.0 * g0**p * area, 0.0], rel=1e-12
    )
    # An electron interval starting just below sqrt(w) is dropped, even though it reaches above.
    assert pwl(freqs, inu, [math.nextafter(g0, 0.0), 10.0], n)[1] == 0.0


def test_klein_nishina_cut_offs() -> None:
    def seed(gamma_kn: float, g: list[float]) -> float:  # sqrt(w) = 8.9 at 20 nu_kn
        nu_kn = GAMMA_KN_NUMERATOR / (PLANCK * gamma_kn)
        return pwl([nu_kn / 16, nu_kn, 20 * nu_kn], [1.0, 1.0, 0.0], g, [1.0] * len(g))[2]

    assert seed(2.0, [2.0, 9.0, 10.0]) == 0.0  # gamma_KN <= g_0
    assert seed(9.5, [2.0, 9.0, 10.0]) == seed(9.5, [2.0, 9.0, 9.5]) > 0.0

    gamma_kn = GAMMA_KN_NUMERATOR / (PLANCK * 1e10)
    freqs = [1e9, 1e15, 1e19]  # below nu_ext, then sqrt(w) = 158 and 15811

    def line(g: list[float]) -> list[float]:
        return mono(freqs, 1.0, 1e10, [1.0, 1.0], g)

    assert line([10.0, gamma_kn]) == line([10.0, 3 * gamma_kn])  # integrated up to gamma_KN
    assert line([gamma_kn, 3 * gamma_kn]) == [0.0] * 3  # g_j = G
    assert line([1.0, 1e6])[1] == pytest.approx(line([math.sqrt(1e15 / 4e10), 1e6])[1], rel=1e-12)
    assert line([1.0, 100.0])[1] == line([1.0, 1e6])[0] == 0.0


@pytest.mark.parametrize("p", [2.0, 2.5, 3.0])
def test_line_field_matches_the_thomson_power_law(p: float) -> None:
    g, n = electrons(p, 321)
    nu = np.geomspace(1e14, 1e18, 9)
    scale = SIGMA_T * C * 2.0 / 1e10 * (nu / 4e10) ** ((1 - p) / 2)
    j = np.array(mono(list(nu), 2.0, 1e10, n, g))
    # Head-on kernel (1 - w/gamma^2): w int_0^{1/w} x^((p-1)/2) (1 - w x) dx.
    assert j == pytest.approx(scale * 4 / ((p + 1) * (p + 3)), rel=1e-9)
    # Isotropic Thomson kernel (Rybicki & Lightman 7.26): 3/2 int_0^1 f(x) x^((p-1)/2) dx.
    textbook = 6 * (p * p + 4 * p + 11) / ((p + 3) ** 2 * (p + 5) * (p + 1))
    assert j == pytest.approx(scale * textbook, rel=0.03)


@pytest.mark.parametrize("p", [1.5, 2.5])
def test_narrow_seed_band_acts_as_a_line(p: float) -> None:
    # A flat band [nu_a, nu_a (1 + 1e-3)] of intensity 1 carries u = 4 pi dnu / c.
    outputs = list(np.geomspace(1e14, 1e18, 5))
    g, n = electrons(p, 1601)
    j_pwl = pwl([1e10, 1.001e10, *outputs], [1.0, 1.0] + [0.0] * 5, g, n)
    j_line = mono(outputs, 4 * math.pi * 1e7 / C, 1e10, n, g)
    assert np.array(j_pwl[2:]) * 4 * math.pi == pytest.approx(j_line, rel=3e-3)
