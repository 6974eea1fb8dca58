"""syn_emissivity_full: edge cases, diagnostics, thread independence and power-law physics."""

import math
import time
from decimal import Decimal

import pytest
from conftest import run_python

import sorvex

NU_B_PER_GAUSS = 2799248.987233304  # gyro-frequency e / (2 pi m_e c) per gauss, Hz
C_J = 6.6645698196351e-30  # sqrt(3) e^2 / (2 c)
C_ALPHA = 0.0036580794255805012  # sqrt(3) e^2 / (4 m_e c)

GAMMAS = [10.0, 30.0, 100.0, 300.0, 1000.0]
DENSITIES = [1.0, 0.1, 0.01, 1e-3, 1e-4]
FREQS = [1e6, 1e8, 1e10, 1e12]


def syn(
    gamma_bins: list[float], n_distrib: list[float], with_abs: bool = True
) -> tuple[list[float], list[float]]:
    return sorvex.syn_emissivity_full(FREQS, gamma_bins, n_distrib, 1.0, with_abs)


@pytest.mark.parametrize(
    ("freqs", "gamma_bins", "n_distrib", "expected"),
    [
        ([], [], [], ([], [])),
        ([], [1.0, 2.0], [1.0], ([], [])),
        ([1e9, 1e12], [10.0], [1.0], ([0.0, 0.0], [0.0, 0.0])),
    ],
    ids=["empty", "empty-freqs-short-densities", "one-gamma"],
)
def test_results_without_segments(
    freqs: list[float], gamma_bins: list[float], n_distrib: list[float], expected: object
) -> None:
    assert sorvex.syn_emissivity_full(freqs, gamma_bins, n_distrib, 1.0, True) == expected


def test_without_absorption_the_emissivity_is_the_same_and_alpha_zero() -> None:
    j_abs, alpha = syn(GAMMAS, DENSITIES, True)
    j, zeros = syn(GAMMAS, DENSITIES, False)
    assert j == j_abs
    assert zeros == [0.0] * len(FREQS)
    assert all(a > 0.0 for a in alpha)


@pytest.mark.parametrize(
    ("gamma_bins", "n_distrib", "message"),
    [
        (GAMMAS, DENSITIES[:-1], "n_distrib has 4 values but at least 5 are needed"),
        ([], [], "gamma_bins has 0 values but at least 1 is needed"),
    ],
)
def test_grids_too_short_stop(
    panic_exception: type[BaseException],
    gamma_bins: list[float],
    n_distrib: list[float],
    message: str,
) -> None:
    with pytest.raises(panic_exception) as info:
        syn(gamma_bins, n_distrib)
    assert str(info.value) == f"syn_emissivity_full: {message}"


@pytest.mark.parametrize("low", [1e-100, 0.0, -1.0])
def test_segments_at_or_below_the_density_floor_contribute_nothing(low: float) -> None:
    # Segments 1 and 2 touch the low density: the sum is that of segments 0 and 3 alone.
    gammas = [10.0, 20.0, 40.0, 80.0, 160.0]
    densities = [1.0, 0.3, low, 0.01, 0.002]
    j, alpha = syn(gammas, densities)
    j0, alpha0 = syn(gammas[:2], densities[:2])
    j3, alpha3 = syn(gammas[3:], densities[3:])
    assert j == [a + b for a, b in zip(j0, j3, strict=True)]
    assert alpha == [a + b for a, b in zip(alpha0, alpha3, strict=True)]
    # Just above the floor the two segments count.
    densities[2] = math.nextafter(1e-100, 1.0)
    assert syn(gammas, densities)[0] != j


@pytest.mark.parametrize(
    ("steep", "beyond_8"), [(1e-30, 2.0**-9), (1e30, 2.0**9)], ids=["falling", "rising"]
)
def test_index_is_clamped_to_8(steep: float, beyond_8: float) -> None:
    # Over a factor 2 in gamma, both density ratios are steeper than gamma^-+8: index +-8.
    assert syn([10.0, 20.0], [1.0, steep]) == syn([10.0, 20.0], [1.0, beyond_8])


def test_rising_distribution_has_negative_absorption_floored_to_zero() -> None:
    # n ~ gamma^3: -gamma p d/dgamma[n / (gamma p)] < 0, stimulated emission wins.
    gammas = [10.0, 20.0, 40.0, 80.0]
    j, alpha = syn(gammas, [g**3 for g in gammas])
    assert all(v > 0.0 for v in j[1:])
    assert alpha == [0.0] * len(FREQS)


def test_lowest_gamma_one_gives_finite_absorption() -> None:
    j, alpha = syn([1.0, 2.0, 4.0], [1.0, 0.25, 0.0625])
    assert all(math.isfinite(v) and v > 0.0 for v in j[:2] + alpha[:2])


def test_results_below_1e_200_are_zero() -> None:
    # At 1e15 Hz the exponential cut-off leaves j ~ 2e-130 and alpha ~ 5e-136; densities
    # scaled by 1e-90 push both below the floor, while 1e6 Hz stays above it.
    freqs = [1e6, 1e15]
    j, alpha = sorvex.syn_emissivity_full(freqs, GAMMAS, DENSITIES, 1.0, True)
    scaled = [d * 1e-90 for d in DENSITIES]
    j_low, alpha_low = sorvex.syn_emissivity_full(freqs, GAMMAS, scaled, 1.0, True)
    assert j[1] > 1e-140
    assert alpha[1] > 1e-140
    assert j_low[1] == alpha_low[1] == 0.0
    assert j_low[0] == pytest.approx(j[0] * 1e-90, rel=1e-12)


THREADS_CODE = """
import sorvex
gammas = [2.0 * 1.3 ** k for k in range(40)]
densities = [g ** -2.2 * 2.718281828 ** (-g / 3e3) for g in gammas]
freqs = [1e7 * 1.7 ** k for k in range(50)]
print(repr(sorvex.syn_emissivity_full(freqs, gammas, densities, 0.3, True)))
"""


def test_results_do_not_depend_on_the_thread_count() -> None:
    outputs = {n: run_python(THREADS_CODE, {"RAYON_NUM_THREADS": n}) for n in ("1", "2", "5")}
    assert all(out.returncode == 0 for out in outputs.values())
    assert outputs["1"].stdout == outputs["2"].stdout == outputs["5"].stdout
    assert outputs["1"].stdout.startswith("([")


def plain(value: float) -> str:
    """Shortest round-trip decimal without exponent, as the diagnostics write it."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(value)), "f")
    return text.removesuffix(".0") if text.endswith(".0") else text


def test_non_converging_segment_reports_and_returns_promptly() -> None:
    # A non-positive Lorentz factor makes the first segment NaN; the second is regular.
    code = """
    import sorvex, sys
    j, a = sorvex.syn_emissivity_full([-1e9], [-1.0, 10.0, 20.0], [1.0, 0.5, 0.1], 1.0, True)
    print("result", j, a)
    """
    start = time.monotonic()
    result = run_python(code, timeout=60)
    assert time.monotonic() - start < 20
    assert result.returncode == 0, result.stderr
    lines = [
        f"chi    = {plain(-1e9 / NU_B_PER_GAUSS)}",
        "q      = NaN",
        "ga     = NaN",
        f"gb     = {plain(math.exp(math.log(10.0)))}",
        "qromb  = NaN",
        "dqromb = NaN",
    ]
    block = "".join(line + "\n" for line in lines)
    assert result.stdout == f"KVT_qromb error\n{block}result [nan] [nan]\n"
    assert result.stderr == (
        f"KVT_qromb: too many stepsAKVT_qromb error\n{block}AKVT_qromb: too many steps\n"
    )


def textbook_power_law(nu: float, p: float, b_field: float) -> tuple[float, float]:
    """Pitch-angle-averaged j_nu and alpha_nu of n = gamma^-p (Rybicki & Lightman 6.36, 6.53)."""

    def moment(mu: float) -> float:  # integral of x^mu F(x) over x
        return 2 ** (mu + 1) / (mu + 2) * math.gamma(mu / 2 + 7 / 3) * math.gamma(mu / 2 + 2 / 3)

    def mean_sin(power: float) -> float:  # <sin^power> over isotropic pitch angles
        return math.sqrt(math.pi) / 2 * math.gamma(power / 2 + 1) / math.gamma(power / 2 + 1.5)

    nu_b = NU_B_PER_GAUSS * b_field
    ratio = 2 * nu / (3 * nu_b)
    j = C_J * nu_b * 0.5 * ratio ** (-(p - 1) / 2) * moment((p - 3) / 2) * mean_sin((p + 1) / 2)
    alpha = (C_ALPHA * nu_b / nu**2) * (p + 2) * 0.5 * ratio ** (-p / 2)
    return j, alpha * moment((p - 2) / 2) * mean_sin((p + 2) / 2)


@pytest.mark.parametrize("p", [2.0, 2.5, 3.5])
def test_power_law_matches_the_textbook_emissivity_and_absorption(p: float) -> None:
    gammas = [10 ** (k / 5) for k in range(51)]  # 1 to 1e10, exact for a power law
    freqs = [NU_B_PER_GAUSS * 10**e for e in (6, 7, 8, 9, 10)]
    j, alpha = sorvex.syn_emissivity_full(freqs, gammas, [g**-p for g in gammas], 1.0, True)
    for nu, j_nu, alpha_nu in zip(freqs, j, alpha, strict=True):
        j_ref, alpha_ref = textbook_power_law(nu, p, 1.0)
        # The kernel fit is 6e-4 below the exact pitch-angle average here.
        assert j_nu / j_ref == pytest.approx(0.9995, abs=3e-4)
        assert alpha_nu / alpha_ref == pytest.approx(0.9995, abs=3e-4)
    slopes = [math.log(j[k + 1] / j[k]) / math.log(10) for k in range(len(j) - 1)]
    assert slopes == pytest.approx([-(p - 1) / 2] * len(slopes), abs=1e-5)


def test_self_absorbed_blob_rises_as_nu_to_the_5_2() -> None:
    p = 2.5
    gammas = [10 ** (k / 5) for k in range(41)]
    freqs = [1e9, 3e9, 1e12, 3e12]  # optical depth about 5e5, 1e4, 1e-4, 3e-6
    j, alpha = sorvex.syn_emissivity_full(freqs, gammas, [1e6 * g**-p for g in gammas], 1.0, True)
    intensity = sorvex.rad_trans_blob(1e16, j, alpha)
    thick = math.log(intensity[1] / intensity[0]) / math.log(3)
    thin = math.log(intensity[3] / intensity[2]) / math.log(3)
    assert thick == pytest.approx(2.5, abs=2e-3)
    assert thin == pytest.approx(-(p - 1) / 2, abs=2e-3)
