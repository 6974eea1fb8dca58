"""syn_emissivity_full: edge cases, diagnostics and power-law physics."""

import math
from decimal import Decimal

import pytest
from conftest import run_python

import sorvex

NU_B = 2799248.987233304  # gyro-frequency per gauss, Hz
GAMMAS = [10.0, 20.0, 40.0, 80.0, 160.0]
FREQS = [1e6, 1e8, 1e10, 1e12]


def syn(
    gammas: list[float], densities: list[float], with_abs: bool = True
) -> tuple[list[float], list[float]]:
    return sorvex.syn_emissivity_full(FREQS, gammas, densities, 1.0, with_abs)


def test_edge_shapes() -> None:
    assert sorvex.syn_emissivity_full([], [1.0, 2.0], [], 1.0, True) == ([], [])
    assert syn([10.0], [1.0]) == ([0.0] * 4, [0.0] * 4)
    j, alpha = syn(GAMMAS, [1.0, 0.3, 0.1, 0.01, 0.002])
    assert min(alpha) > 0.0
    assert syn(GAMMAS, [1.0, 0.3, 0.1, 0.01, 0.002], False) == (j, [0.0] * 4)


@pytest.mark.parametrize("low", [1e-100, 0.0, -1.0])
def test_segments_at_or_below_the_density_floor_contribute_nothing(low: float) -> None:
    densities = [1.0, 0.3, low, 0.01, 0.002]  # segments 1 and 2 touch `low`
    (j, alpha), (j0, alpha0), (j3, alpha3) = (
        syn(GAMMAS, densities),
        syn(GAMMAS[:2], densities[:2]),
        syn(GAMMAS[3:], densities[3:]),
    )
    assert j == [a + b for a, b in zip(j0, j3, strict=True)]
    assert alpha == [a + b for a, b in zip(alpha0, alpha3, strict=True)]
    densities[2] = math.nextafter(1e-100, 1.0)
    assert syn(GAMMAS, densities) != (j, alpha)


def test_absorption_of_a_rising_distribution_is_floored_and_gamma_one_is_finite() -> None:
    j, alpha = syn(GAMMAS, [g**3 for g in GAMMAS])
    assert min(j[1:]) > 0.0
    assert alpha == [0.0] * 4  # stimulated emission wins: alpha < 0
    _, alpha = syn([1.0, 2.0, 4.0], [1.0, 0.25, 0.0625])
    assert all(math.isfinite(a) and a > 0.0 for a in alpha[:2])


def plain(value: float) -> str:
    text = format(Decimal(repr(value)), "f")
    return text.removesuffix(".0") if text.endswith(".0") else text


def test_non_converging_segment_reports_and_returns() -> None:
    # A negative Lorentz factor makes the first segment NaN; the second one is regular. The
    # call returns (the subprocess's timeout catches a hang) with its last estimate, NaN.
    code = """
    import sorvex
    print(*sorvex.syn_emissivity_full([-1e9], [-1.0, 10.0, 20.0], [1.0, 0.5, 0.1], 1.0, True))
    """
    result = run_python(code, timeout=60)
    gb = plain(math.exp(math.log(10.0)))
    block = f"chi    = {plain(-1e9 / NU_B)}\nq      = NaN\nga     = NaN\ngb     = {gb}\n"
    block += "qromb  = NaN\ndqromb = NaN\n"
    assert result.stdout == f"KVT_qromb error\n{block}[nan] [nan]\n"
    absorption = f"AKVT_qromb error\n{block}AKVT_qromb: too many steps\n"
    assert result.stderr == "KVT_qromb: too many steps" + absorption


@pytest.mark.parametrize("p", [2.0, 2.5, 3.5])
def test_power_law_matches_the_textbook_emissivity_and_absorption(p: float) -> None:
    # Pitch-angle-averaged j and alpha of n = gamma^-p (Rybicki & Lightman 6.36 and 6.53),
    # with the moments of F(x) and of sin(pitch angle).
    def moment(mu: float) -> float:
        return 2 ** (mu + 1) / (mu + 2) * math.gamma(mu / 2 + 7 / 3) * math.gamma(mu / 2 + 2 / 3)

    def mean_sin(s: float) -> float:
        return math.sqrt(math.pi) / 2 * math.gamma(s / 2 + 1) / math.gamma(s / 2 + 1.5)

    gammas = [10 ** (k / 5) for k in range(51)]  # 1 to 1e10
    freqs = [NU_B * 10**e for e in (6, 7, 8, 9, 10)]
    j, alpha = sorvex.syn_emissivity_full(freqs, gammas, [g**-p for g in gammas], 1.0, True)
    for nu, j_nu, alpha_nu in zip(freqs, j, alpha, strict=True):
        r = 2 * nu / (3 * NU_B)
        j_ref = 6.6645698196351e-30 * NU_B / 2 * r ** ((1 - p) / 2)
        alpha_ref = 0.0036580794255805012 * NU_B / nu**2 * (p + 2) / 2 * r ** (-p / 2)
        # The kernel fit lies 4e-4 to 6e-4 below the exact average.
        assert j_nu / j_ref / moment((p - 3) / 2) / mean_sin((p + 1) / 2) == pytest.approx(
            0.9995, abs=2e-4
        )
        assert alpha_nu / alpha_ref / moment((p - 2) / 2) / mean_sin((p + 2) / 2) == (
            pytest.approx(0.9995, abs=2e-4)
        )
    assert math.log(j[-1] / j[0]) / math.log(1e4) == pytest.approx((1 - p) / 2, abs=1e-6)


def test_self_absorbed_blob_rises_as_nu_to_the_5_2() -> None:
    gammas = [10 ** (k / 5) for k in range(41)]
    freqs = [1e9, 3e9, 1e12, 3e12]  # blob optical depth about 5e5, 1e4, 1e-4, 3e-6
    j, alpha = sorvex.syn_emissivity_full(freqs, gammas, [1e6 * g**-2.5 for g in gammas], 1.0, True)
    intensity = sorvex.rad_trans_blob(1e16, j, alpha)
    assert math.log(intensity[1] / intensity[0]) / math.log(3) == pytest.approx(2.5, abs=2e-3)
    assert math.log(intensity[3] / intensity[2]) / math.log(3) == pytest.approx(-0.75, abs=2e-3)
