"""Inverse-Compton emissivity for tabulated and line seed fields."""

import math
from collections.abc import Callable

import numpy as np
import pytest
from conftest import run_python

import sorvex

SIGMA_T = 6.6524587321000005e-25
C = 29979245800.0
PLANCK = 6.62607015e-27
GAMMA_KN_NUMERATOR = 2.0467764442059716e-7  # m_e c^2 / 4

pwl = sorvex.ic_iso_powlaw_full
mono = sorvex.ic_iso_monochrome_full


def electrons(p: float, points: int = 321, top: float = 1e8) -> tuple[list[float], list[float]]:
    g = np.geomspace(1.0, top, points)
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
        (lambda: mono([1e9, 1e15], 0.0, 1e10, [1.0, 1.0], [1.0, 1e6]), [0.0, 0.0]),
    ],
)
def test_empty_and_single_entry_grids(call: Callable[[], list[float]], expected: list[float]):
    assert call() == expected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: pwl([1e9, 1e12], [1.0], [1.0, 2.0], [1.0, 1.0]), "inu has 1 value but at least 2"),
        (lambda: pwl([1e9, 1e12], [1.0] * 2, [1.0, 2.0], [1.0]), "n has 1 value but at least 2"),
        (lambda: pwl([1e9, 1e12], [1.0, 1.0], [], []), "g has 0 values but at least 1 is"),
        (lambda: mono([1e15], 1.0, 1e10, [], []), "g has 0 values but at least 1 is"),
        (lambda: mono([1e15], 1.0, 1e10, [1.0], [1.0, 2.0]), "n has 1 value but at least 2"),
    ],
)
def test_short_grids_stop(
    call: Callable[[], object], message: str, panic_exception: type[BaseException]
) -> None:
    with pytest.raises(panic_exception, match=message):
        call()


def test_seed_and_electron_interval_selection() -> None:
    freqs = [1.0, 12.0, 13.0]
    # sqrt(3) rounds low: g_0^2 < w = 3, so the kinematic bound cuts a sliver of the y-range.
    g0 = math.sqrt(3.0)
    assert g0 * g0 < 3.0
    got = pwl(freqs, [1.0, 1.0, 0.0], [g0, 10.0], [1.0, 1.0])
    # Flat seed and electrons: sigma int int x^-1/2 (1 - x y) over [1/100, 1/3] x [1/4, 3].
    x1, x2, y1, y2 = 0.01, 1 / 3, 0.25, 3.0
    exact = SIGMA_T * (
        2 * (x2**0.5 - x1**0.5) * (y2 - y1) - (x2**1.5 - x1**1.5) / 1.5 * (y2**2 - y1**2)
    )
    assert got[0] == 0.0  # the lowest frequency is never reached by up-scattering
    assert got[1] == pytest.approx(exact, rel=1e-13)
    # An electron interval starting just below sqrt(w) is dropped, even though it reaches above.
    assert pwl(freqs, [1.0, 1.0, 0.0], [math.nextafter(g0, 0.0), 10.0], [1.0, 1.0])[1] == 0.0
    # Seed intervals whose upper end puts gamma_KN at or below g_0 contribute nothing.
    nu_kn = GAMMA_KN_NUMERATOR / (PLANCK * 2.0)
    assert pwl([nu_kn / 16, nu_kn, 20 * nu_kn], [1.0] * 3, [2.0, 10.0], [1.0, 1.0])[2] == 0.0


def test_line_field_cut_offs() -> None:
    nu_ext = 1e10
    gamma_kn = GAMMA_KN_NUMERATOR / (PLANCK * nu_ext)
    freqs = [1e9, 1e15, 1e19]  # below nu_ext, then sqrt(w) = 158 and 15811
    flat = [1.0, 1.0]

    def j(g: list[float]) -> list[float]:
        return mono(freqs, 1.0, nu_ext, flat, g)

    assert j([1.0, 1e4])[0] == 0.0
    assert j([10.0, gamma_kn]) == j([10.0, 3 * gamma_kn])  # integrated up to gamma_KN
    assert j([2 * gamma_kn, 3 * gamma_kn]) == [0.0] * 3  # wholly above gamma_KN
    assert j([gamma_kn, 3 * gamma_kn]) == [0.0] * 3  # g_j = G: R = 1
    # An interval that contains sqrt(w) is integrated from sqrt(w) upwards.
    assert j([1.0, 1e6])[1] == pytest.approx(j([math.sqrt(1e15 / 4e10), 1e6])[1], rel=1e-12)
    assert j([1.0, 100.0])[1] == 0.0
    assert mono(freqs, 3.5, nu_ext, flat, [1.0, 1e6]) == pytest.approx(
        [3.5 * v for v in j([1.0, 1e6])], rel=1e-15
    )


@pytest.mark.parametrize("p", [2.0, 2.5, 3.0])
def test_line_field_matches_the_thomson_power_law(p: float) -> None:
    nu_ext, u_ext = 1e10, 2.0
    g, n = electrons(p)
    nu = np.geomspace(1e14, 1e18, 9)
    j = np.array(mono(list(nu), u_ext, nu_ext, n, g))
    w = nu / (4 * nu_ext)
    scale = SIGMA_T * C * u_ext / nu_ext * w ** ((1 - p) / 2)
    # Head-on kernel (1 - w/gamma^2): w int_0^{1/w} x^((p-1)/2) (1 - w x) dx.
    assert j == pytest.approx(scale * 4 / ((p + 1) * (p + 3)), rel=1e-9)
    # Isotropic Thomson kernel (Rybicki & Lightman 7.26): 3/2 int_0^1 f(x) x^((p-1)/2) dx.
    textbook = 1.5 * 4 * (p * p + 4 * p + 11) / ((p + 3) ** 2 * (p + 5) * (p + 1))
    assert j == pytest.approx(scale * textbook, rel=0.03)


@pytest.mark.parametrize("p", [1.5, 2.5])
def test_narrow_seed_band_acts_as_a_line(p: float) -> None:
    # A flat band [nu_a, nu_a (1 + 1e-3)] of intensity I carries u = 4 pi I dnu / c.
    nu_a, nu_b = 1e10, 1.001e10
    outputs = list(np.geomspace(1e14, 1e18, 5))
    g, n = electrons(p, points=1601)
    j_pwl = pwl([nu_a, nu_b, *outputs], [1.0, 1.0] + [0.0] * 5, g, n)
    j_line = mono(outputs, 4 * math.pi * (nu_b - nu_a) / C, nu_a, n, g)
    assert j_pwl[0] == 0.0
    assert np.array(j_pwl[2:]) * 4 * math.pi == pytest.approx(j_line, rel=3e-3)


def test_results_do_not_depend_on_the_thread_count() -> None:
    code = """
    import numpy as np, sorvex
    f = list(np.geomspace(1e8, 1e20, 60))
    g = list(np.geomspace(1.0, 1e7, 50))
    n = [x ** -2.3 for x in g]
    inu = [1e-3 * (x / 1e8) ** -0.7 if x < 1e13 else 0.0 for x in f]
    j_pwl = sorvex.ic_iso_powlaw_full(f, inu, g, n)
    print(repr((j_pwl, sorvex.ic_iso_monochrome_full(f, 1.0, 1e12, n, g))))
    """
    outputs = {t: run_python(code, {"RAYON_NUM_THREADS": t}).stdout for t in ("1", "2", "7")}
    assert outputs["1"] == outputs["2"] == outputs["7"]
    assert outputs["1"].startswith("([0.0, ")
