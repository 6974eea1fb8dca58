"""sorvexfit.kernels against independent SciPy references (cgs units throughout).

The references integrate the textbook formulas with scipy.integrate.quad and
scipy.special.kv; they share no code with the kernels. Tabulated inputs are power laws between
their grid points, so each reference integrates the same piecewise power law, segment by
segment. Accuracy is the largest relative error over the frequencies where ν·ref exceeds 1e-6
of its peak.

Synchrotron (Crusius & Schlickeiser 1986), x = ν / (3/2 γ² ν_B), z = x/2:
    R(x) = x²/2 [K_{4/3}(z) K_{1/3}(z) − 3/5 z (K_{4/3}(z)² − K_{1/3}(z)²)]
    j_ν = √3 e² ν_B / (2c) ∫ n R dγ,   α_ν = √3 e² ν_B / (4 m_e c ν²) ∫ R [−γ² d/dγ (n/γ²)] dγ
Inverse Compton (Jones 1968; Blumenthal & Gould 1970, eq. 2.48), energies in m_e c²:
    j_ν = 3σ_T ν/4 ∫ dν₀ I(ν₀)/ν₀² ∫ dγ n/γ² F(q, Γ),  Γ = 4εγ,  q = ε₁ / (Γ (γ − ε₁)),
    F = 2q ln q + (1 + 2q)(1 − q) + (Γq)² (1 − q) / (2 (1 + Γq)),  1/(4γ²) ≤ q ≤ 1.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence

import numpy as np
import pytest
from scipy import constants
from scipy.integrate import quad
from scipy.optimize import brentq
from scipy.special import kv

from sorvexfit import kernels

C_LIGHT = constants.c * 1e2  # cm s^-1
E_CHARGE = constants.e * constants.c * 10.0  # esu
M_E = constants.m_e * 1e3  # g
ME_C2 = M_E * C_LIGHT**2  # erg
H_PLANCK = constants.h * 1e7  # erg s
K_BOLTZMANN = constants.k * 1e7  # erg K^-1
SIGMA_T = constants.physical_constants["Thomson cross section"][0] * 1e4  # cm^2
NU_B_PER_GAUSS = E_CHARGE / (2.0 * math.pi * M_E * C_LIGHT)  # Hz G^-1
TO_EPS = H_PLANCK / ME_C2  # photon energy in m_e c^2 per Hz

Segment = tuple[float, float, float, float]  # (x_a, x_b, y(x_a), s) with y = y_a (x/x_a)^-s


def segments(x: Sequence[float], y: Sequence[float]) -> list[Segment]:
    """The power-law segments of a table; a zero at either end closes a segment."""
    out = []
    for k in range(len(x) - 1):
        if y[k] > 0 and y[k + 1] > 0:
            s = -math.log(y[k + 1] / y[k]) / math.log(x[k + 1] / x[k])
            out.append((x[k], x[k + 1], y[k], s))
    return out


def max_error(nu: np.ndarray, values: np.ndarray, reference: np.ndarray) -> float:
    weight = nu * reference
    mask = weight > 1e-6 * weight.max()
    return float(np.max(np.abs(np.asarray(values)[mask] / reference[mask] - 1.0)))


def broken_power_law(points: int) -> tuple[np.ndarray, np.ndarray]:
    """n ∝ γ^-2 below γ_b = 1e4 and γ^-3.5 above, on 10 .. 1e6 with the break on the grid."""
    gamma = np.unique(np.concatenate([np.geomspace(10.0, 1e6, points - 1), [1e4]]))
    n = np.where(gamma <= 1e4, (gamma / 1e4) ** -2.0, (gamma / 1e4) ** -3.5)
    return gamma, n


# ---------------------------------------------------------------------------------------------
# Synchrotron


def cs_kernel(x: float) -> float:
    if x > 1400.0:  # below the smallest double
        return 0.0
    z = 0.5 * x
    k43, k13 = kv(4.0 / 3.0, z), kv(1.0 / 3.0, z)
    return 0.5 * x * x * (k43 * k13 - 0.6 * z * (k43 - k13) * (k43 + k13))


def synchrotron_reference(
    nu: np.ndarray, gamma: np.ndarray, n: np.ndarray, b_field: float
) -> tuple[np.ndarray, np.ndarray]:
    nu_b = NU_B_PER_GAUSS * b_field
    c_j = math.sqrt(3.0) * E_CHARGE**2 / (2.0 * C_LIGHT)
    c_a = math.sqrt(3.0) * E_CHARGE**2 / (4.0 * M_E * C_LIGHT)
    j, alpha = np.zeros(len(nu)), np.zeros(len(nu))
    for i, v in enumerate(nu):
        big_x = 2.0 * v / (3.0 * nu_b)  # x = big_x / γ²
        for g_a, g_b, n_a, s in segments(gamma, n):
            a, b = math.log(g_a), math.log(g_b)
            # the integrands peak near x ~ 0.3 and fall as e^-x beyond
            cuts = [0.5 * math.log(big_x / x) for x in (0.03, 0.3, 3.0, 30.0)]
            points = [u for u in cuts if a < u < b] or None

            def n_r(u: float, g_a=g_a, n_a=n_a, s=s, big_x=big_x) -> float:  # n R / γ dγ/du
                return n_a * (math.exp(u) / g_a) ** -s * cs_kernel(big_x * math.exp(-2.0 * u))

            j_seg = quad(lambda u: n_r(u) * math.exp(u), a, b, points=points, epsrel=1e-10)[0]
            a_seg = quad(n_r, a, b, points=points, epsrel=1e-10)[0]  # ∫ R n/γ dγ
            j[i] += c_j * nu_b * j_seg
            alpha[i] += c_a * nu_b / v**2 * (s + 2.0) * a_seg  # −γ² d/dγ(n/γ²) = (s+2) n/γ
    return j, alpha


def log_parabola(points: int) -> tuple[np.ndarray, np.ndarray]:
    """n ∝ (γ/1e3)^-(2 + 0.4 log10(γ/1e3)) on 10 .. 1e6."""
    gamma = np.geomspace(10.0, 1e6, points)
    lg = np.log10(gamma / 1e3)
    return gamma, (gamma / 1e3) ** -(2.0 + 0.4 * lg)


@pytest.mark.parametrize(
    ("electrons", "frequencies"),
    [
        pytest.param(lambda: broken_power_law(100), 100, id="broken-power-law"),
        pytest.param(lambda: log_parabola(40), 30, id="log-parabola"),
    ],
)
def test_synchrotron_matches_quadrature(
    electrons: Callable[[], tuple[np.ndarray, np.ndarray]], frequencies: int
) -> None:
    gamma, n = electrons()
    nu = np.geomspace(1e8, 1e20, frequencies)
    j, alpha = kernels.synchrotron(nu, gamma, n, 0.1)
    j_ref, alpha_ref = synchrotron_reference(nu, gamma, n, 0.1)
    assert max_error(nu, j, j_ref) < 1e-4
    assert max_error(nu, alpha, alpha_ref) < 1e-3


def test_synchrotron_without_absorption() -> None:
    gamma, n = broken_power_law(20)
    nu = np.geomspace(1e9, 1e15, 5)
    j, alpha = kernels.synchrotron(nu, gamma, n, 0.1, absorption=False)
    assert isinstance(j, np.ndarray)
    assert j.dtype == np.float64
    assert j.shape == (5,)
    np.testing.assert_array_equal(alpha, np.zeros(5))
    np.testing.assert_allclose(j, kernels.synchrotron(nu, gamma, n, 0.1)[0], rtol=1e-6)


# ---------------------------------------------------------------------------------------------
# Inverse Compton


def kn_kernel(q: float, big_gamma: float) -> float:
    gq = big_gamma * q
    return (
        2.0 * q * math.log(q)
        + (1.0 + 2.0 * q) * (1.0 - q)
        + gq * gq * (1.0 - q) / (2.0 * (1.0 + gq))
    )


def gamma_integral(eps: float, eps1: float, electrons: list[Segment]) -> float:
    """∫ dγ n/γ² F over the electrons that scatter ε into ε₁, in v = ln(γ − ε₁)."""

    def q_of(g: float) -> float:
        return eps1 / (4.0 * eps * g * (g - eps1))

    total = 0.0
    for g_a, g_b, n_a, s in electrons:
        lo, hi = max(g_a, eps1 * (1 + 1e-12)), g_b
        if lo >= hi or q_of(hi) > 1.0:
            continue
        if q_of(lo) > 1.0:  # q falls with γ: start where q = 1
            lo = brentq(lambda g: q_of(g) - 1.0, lo, hi, xtol=1e-300, rtol=1e-15)
        # q ≥ 1/(4γ²): 4γ² q falls with γ
        if 4.0 * lo * lo * q_of(lo) < 1.0:
            continue
        if 4.0 * hi * hi * q_of(hi) < 1.0:
            hi = brentq(lambda g: 4.0 * g * g * q_of(g) - 1.0, lo, hi, xtol=1e-300, rtol=1e-15)

        def integrand(v: float, g_a=g_a, n_a=n_a, s=s) -> float:
            d = math.exp(v)
            g = eps1 + d
            q = min(q_of(g), 1.0)
            return n_a * (g / g_a) ** -s / (g * g) * kn_kernel(q, 4.0 * eps * g) * d

        a, b = math.log(lo - eps1), math.log(hi - eps1)
        total += quad(integrand, a, b, epsabs=0.0, epsrel=1e-10, limit=200)[0]
    return total


def ic_line_reference(
    nu: np.ndarray, u: float, nu0: float, gamma: np.ndarray, n: np.ndarray
) -> np.ndarray:
    electrons = segments(gamma, n)
    seed = C_LIGHT * u / (4.0 * math.pi * nu0**2)  # ∫ I/ν₀² dν₀ for I = c u δ(ν₀' − ν₀)/4π
    return np.array(
        [
            0.75 * SIGMA_T * v * seed * gamma_integral(nu0 * TO_EPS, v * TO_EPS, electrons)
            for v in nu
        ]
    )


def ic_reference(
    nu: np.ndarray,
    seed_intensity: Callable[[float], float],
    seed_range: tuple[float, float],
    gamma: np.ndarray,
    n: np.ndarray,
    seed_kinks: Sequence[float] = (),
) -> np.ndarray:
    """The double integral, the outer one in t = ln ν₀ over a seed given as a function."""
    electrons = segments(gamma, n)
    a, b = (math.log(x) for x in seed_range)
    out = []
    for v in nu:
        eps1 = v * TO_EPS

        def integrand(t: float, eps1=eps1) -> float:
            nu0 = math.exp(t)
            return seed_intensity(nu0) / nu0 * gamma_integral(nu0 * TO_EPS, eps1, electrons)

        # the inner integral has kinks where a kinematic limit crosses a grid end
        kinks = [math.log(k) for k in seed_kinks]
        for g in (gamma[0], gamma[-1]):
            if g > eps1:
                kinks.append(math.log(eps1 / (4.0 * g * (g - eps1)) / TO_EPS))
                kinks.append(math.log(g * eps1 / (g - eps1) / TO_EPS))
        kinks.append(math.log(v))
        points = sorted(k for k in kinks if a < k < b) or None
        value = quad(integrand, a, b, points=points, epsabs=0.0, epsrel=1e-8, limit=200)[0]
        out.append(0.75 * SIGMA_T * v * value)
    return np.array(out)


@pytest.mark.parametrize("b_max", [1e-4, 1e-2, 1.0, 1e2, 1e3])
def test_ic_line_from_thomson_to_deep_klein_nishina(b_max: float) -> None:
    """A line whose largest 4γε₀ (at γ = 1e6) is b_max."""
    gamma, n = broken_power_law(100)
    nu0 = b_max / (4.0 * 1e6 * TO_EPS)
    top = 1e6 * b_max / (1.0 + b_max) / TO_EPS  # highest scattered frequency
    nu = np.geomspace(1.5 * nu0, top, 25)
    j = kernels.inverse_compton_line(nu, 1e-2, nu0, gamma, n)
    assert max_error(nu, j, ic_line_reference(nu, 1e-2, nu0, gamma, n)) < 1e-3


def test_ic_power_law_seed() -> None:
    """I ∝ ν^-0.7 on 1e12 .. 1e16 Hz: 4γε₀ from 1e-7 to 3e2."""
    gamma, n = broken_power_law(3)  # 10, 1e4, 1e6: the broken power law exactly
    seed_nu = np.array([1e12, 1e16])
    seed_i = 1e-3 * (seed_nu / 1e12) ** -0.7
    nu = np.geomspace(1e14, 8e25, 10)
    j = kernels.inverse_compton(nu, seed_nu, seed_i, gamma, n)
    reference = ic_reference(nu, lambda v: 1e-3 * (v / 1e12) ** -0.7, (1e12, 1e16), gamma, n)
    assert max_error(nu, j, reference) < 1e-3


def test_ic_blackbody_seed() -> None:
    """A 3e4 K blackbody on 400 points: 4γε₀ reaches 1e2 at its peak."""
    temperature = 3e4

    def planck(v: float) -> float:
        x = H_PLANCK * v / (K_BOLTZMANN * temperature)
        return 2.0 * H_PLANCK * v**3 / C_LIGHT**2 / math.expm1(x)

    nu_peak = 2.82 * K_BOLTZMANN * temperature / H_PLANCK
    seed_range = (1e-2 * nu_peak, 15.0 * nu_peak)
    seed_nu = np.geomspace(*seed_range, 400)
    gamma, n = broken_power_law(3)
    nu = np.geomspace(2.0 * nu_peak, 5e25, 8)
    j = kernels.inverse_compton(nu, seed_nu, np.array([planck(v) for v in seed_nu]), gamma, n)
    reference = ic_reference(nu, planck, seed_range, gamma, n, seed_kinks=[nu_peak])
    assert max_error(nu, j, reference) < 1e-3


# ---------------------------------------------------------------------------------------------
# Pair production


def pair_cross_section(s0: float) -> float:
    """Isotropic average in units of σ_T: 2/s0² ∫_1^s0 s σ(s) ds."""
    if s0 <= 1.0:
        return 0.0

    def s_sigma(s: float) -> float:
        b = math.sqrt(1.0 - 1.0 / s)
        return (
            s
            * 3.0
            / 16.0
            * (1 - b * b)
            * ((3 - b**4) * math.log((1 + b) / (1 - b)) - 2 * b * (2 - b * b))
        )

    return 2.0 / s0**2 * quad(s_sigma, 1.0, s0, epsrel=1e-10, limit=200)[0]


def test_gamma_gamma_opacity_of_a_power_law_field() -> None:
    seed_nu = np.array([1e13, 1e17])
    seed_i = 1e-2 * (seed_nu / 1e13) ** -1.2
    nu = np.geomspace(1e22, 1e28, 8)
    radius = 1e16
    tau = kernels.gamma_gamma_opacity(nu, seed_nu, seed_i, radius)
    reference = []
    for v in nu:

        def integrand(t: float, v=v) -> float:
            nu0 = math.exp(t)
            intensity = 1e-2 * (nu0 / 1e13) ** -1.2
            # photon density per ln ν₀: 4π I / (c h)
            return (
                4.0
                * math.pi
                * intensity
                / (C_LIGHT * H_PLANCK)
                * pair_cross_section(nu0 * TO_EPS * v * TO_EPS)
            )

        a = max(math.log(1e13), math.log(1.0 / (v * TO_EPS * TO_EPS)))
        value = quad(integrand, a, math.log(1e17), epsrel=1e-9)[0] if a < math.log(1e17) else 0.0
        reference.append(radius * SIGMA_T * value)
    assert max_error(nu, tau, np.array(reference)) < 1e-4
