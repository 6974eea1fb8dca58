"""High-precision references for the benchmark, computed with SciPy (cgs units throughout).

Synchrotron: the exact pitch-angle-averaged kernel of an isotropic electron in a tangled field,
in the closed form of Crusius & Schlickeiser (1986),

    R(x) = x²/2 · [K_{4/3}(x/2) K_{1/3}(x/2) − 3/5 · x/2 · (K_{4/3}²(x/2) − K_{1/3}²(x/2))],

x = ν/ν_c, ν_c = 3/2 γ² ν_B, ν_B = eB/(2π m_e c), integrated with `scipy.integrate.quad` over each
power-law segment of the electron distribution:

    j_ν = √3 e² ν_B/(2c) ∫ n(γ) R(x) dγ                      (erg s^-1 cm^-3 Hz^-1 sr^-1)
    α_ν = √3 e² ν_B/(4 m_e c ν²) ∫ R(x) [−γp d/dγ (n/(γp))] dγ,  p = √(γ² − 1)   (cm^-1)

Inverse Compton, Thomson regime, isotropic electrons and isotropic seed photons (Blumenthal &
Gould 1970): an electron γ scatters seed photons ν₀ into ν with the kernel
f(X) = 2X ln X + X + 1 − 2X², X = ν/(4γ²ν₀) ≤ 1, so that for a seed intensity I(ν₀)

    j_ν = 3σ_T ν/4 ∫ dν₀ I(ν₀)/ν₀² ∫ dγ n(γ) γ^-2 f(X)        (erg s^-1 cm^-3 Hz^-1 sr^-1)

and for a line of energy density u₀ at ν₀ (I = c u₀ δ(ν − ν₀)/(4π)) the same with the ν₀
integral done. The γ integral over a power-law segment n = K γ^-s becomes, with X as variable,
K/2 · w^(−(s+1)/2) ∫ X^((s−1)/2) f(X) dX, w = ν/(4ν₀); that moment is integrated with quad.

Inverse Compton, full Klein-Nishina (Jones 1968; Blumenthal & Gould 1970, eq. 2.48), energies in
m_e c² (ε seed, ε₁ scattered): the γ integral has the kernel
F = 2q ln q + (1 + 2q)(1 − q) + (Γq)²(1 − q)/(2(1 + Γq)), Γ = 4εγ, q = ε₁/(Γ(γ − ε₁)),
1/(4γ²) ≤ q ≤ 1, in place of γ^-2 f(X); integrated in ln(γ − ε₁) by quad.
"""

from __future__ import annotations

import hashlib
import json
import math
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np
from scipy import constants
from scipy.integrate import quad
from scipy.special import kv

# CODATA constants in Gaussian cgs units.
C_LIGHT = constants.c * 1e2  # cm s^-1
E_CHARGE = constants.e * constants.c * 10.0  # esu (statcoulomb)
M_E = constants.m_e * 1e3  # g
ME_C2 = M_E * C_LIGHT**2  # erg
H_PLANCK = constants.h * 1e7  # erg s
SIGMA_T = constants.physical_constants["Thomson cross section"][0] * 1e4  # cm^2
NU_B_PER_GAUSS = E_CHARGE / (2.0 * math.pi * M_E * C_LIGHT)  # Hz G^-1

QUAD_EPSREL = 1e-10
CACHE_VERSION = 1  # bump when a reference formula changes


@dataclass(frozen=True)
class BrokenPowerLaw:
    """Electrons per cm^3 per unit γ: n ∝ γ^-p1 on [g_min, g_break], ∝ γ^-p2 on [g_break, g_max],
    continuous at the break, normalised to `density` electrons per cm^3 in total."""

    g_min: float = 10.0
    g_break: float = 1e4
    g_max: float = 1e6
    p1: float = 2.0
    p2: float = 3.5
    density: float = 1.0  # cm^-3

    @property
    def n_break(self) -> float:
        """n(γ_break) in cm^-3, fixed by the total density."""

        def integral(a: float, b: float, p: float) -> float:  # ∫_a^b (γ/γ_b)^-p dγ
            gb = self.g_break
            return gb * ((b / gb) ** (1 - p) - (a / gb) ** (1 - p)) / (1 - p)

        shape = integral(self.g_min, self.g_break, self.p1)
        shape += integral(self.g_break, self.g_max, self.p2)
        return self.density / shape

    def __call__(self, gamma: np.ndarray) -> np.ndarray:
        """n(γ) in cm^-3, zero outside [g_min, g_max]."""
        g = np.asarray(gamma, dtype=float)
        index = np.where(g <= self.g_break, self.p1, self.p2)
        inside = (g >= self.g_min) & (g <= self.g_max)
        return np.where(inside, self.n_break * (g / self.g_break) ** -index, 0.0)

    def segments(self) -> list[tuple[float, float, float, float]]:
        """(γ_a, γ_b, n(γ_a), index) of each power-law segment."""
        nb = self.n_break
        low_start = nb * (self.g_min / self.g_break) ** -self.p1
        return [
            (self.g_min, self.g_break, low_start, self.p1),
            (self.g_break, self.g_max, nb, self.p2),
        ]


def _cached(kind: str, key: dict[str, object], cache_dir: Path, compute: Callable[[], np.ndarray]):
    """Loads an array keyed by (kind, parameters) from cache_dir, or computes and stores it."""
    text = json.dumps({"kind": kind, "version": CACHE_VERSION, **key}, sort_keys=True)
    digest = hashlib.sha256(text.encode()).hexdigest()[:20]
    path = cache_dir / f"{kind}-{digest}.npy"
    if path.exists():
        return np.load(path), True
    values = compute()
    cache_dir.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, values)
    tmp.replace(path)
    return values, False


# ---------------------------------------------------------------------------------------------
# Synchrotron


def cs_kernel(x: float) -> float:
    """Pitch-angle-averaged synchrotron kernel R(x) of Crusius & Schlickeiser (1986)."""
    if x > 1400.0:  # R < 1e-600: below the smallest double
        return 0.0
    z = 0.5 * x
    k43, k13 = kv(4.0 / 3.0, z), kv(1.0 / 3.0, z)
    return 0.5 * x * x * (k43 * k13 - 0.6 * z * (k43 - k13) * (k43 + k13))


def _syn_segment(nu: float, b_field: float, seg: tuple[float, float, float, float], absorb: bool):
    """One segment's ∫ n R(x) dγ (emission) or ∫ R(x) [−γp d/dγ(n/(γp))] dγ (absorption),
    both integrated in u = ln γ."""
    g_a, g_b, n_a, s = seg
    nu_b = NU_B_PER_GAUSS * b_field
    two_over_three_chi = 2.0 * nu / (3.0 * nu_b)  # x = two_over_three_chi / γ²

    def integrand(u: float) -> float:
        g = math.exp(u)
        n = n_a * (g / g_a) ** -s
        kernel = cs_kernel(two_over_three_chi / (g * g))
        if not absorb:
            return n * g * kernel
        return kernel * n * (s + 1.0 + g * g / (g * g - 1.0))

    a, b = math.log(g_a), math.log(g_b)
    # The integrand peaks near x ~ 0.3 and falls as e^-x above: tell quad where.
    points = [
        u
        for u in (0.5 * math.log(two_over_three_chi / x) for x in (0.03, 0.3, 3.0, 30.0))
        if a < u < b
    ]
    value, _ = quad(
        integrand, a, b, points=points or None, epsabs=0.0, epsrel=QUAD_EPSREL, limit=400
    )
    return value


def synchrotron(
    freqs: Sequence[float],
    electrons: BrokenPowerLaw,
    b_field: float,
    cache_dir: Path,
) -> tuple[np.ndarray, np.ndarray, bool]:
    """Exact j_ν (erg s^-1 cm^-3 Hz^-1 sr^-1) and α_ν (cm^-1); also whether it came from cache."""
    nu_b = NU_B_PER_GAUSS * b_field
    c_j = math.sqrt(3.0) * E_CHARGE**2 / (2.0 * C_LIGHT)
    c_a = math.sqrt(3.0) * E_CHARGE**2 / (4.0 * M_E * C_LIGHT)

    def compute() -> np.ndarray:
        out = np.empty((2, len(freqs)))
        for i, nu in enumerate(freqs):
            segs = electrons.segments()
            out[0, i] = c_j * nu_b * sum(_syn_segment(nu, b_field, g, False) for g in segs)
            out[1, i] = c_a * nu_b / nu**2 * sum(_syn_segment(nu, b_field, g, True) for g in segs)
        return out

    key = {"freqs": [repr(float(f)) for f in freqs], "b": b_field, **asdict(electrons)}
    values, hit = _cached("synchrotron", key, cache_dir, compute)
    return values[0], values[1], hit


def synchrotron_absorption_gamma2(
    freqs: Sequence[float], electrons: BrokenPowerLaw, b_field: float, cache_dir: Path
) -> np.ndarray:
    """Exact α_ν (cm^-1) in the form −γ² d/dγ(n/γ²) = (s + 2) n/γ on a segment of index s (the
    ultra-relativistic form of sorvexfit.kernels and agnpy), which differs from the −γp form of
    `synchrotron` by about 1e-3 at the lowest frequencies."""
    nu_b = NU_B_PER_GAUSS * b_field
    c_a = math.sqrt(3.0) * E_CHARGE**2 / (4.0 * M_E * C_LIGHT)

    def at(nu: float) -> float:
        big_x = 2.0 * nu / (3.0 * nu_b)
        total = 0.0
        for g_a, g_b, n_a, s in electrons.segments():
            a, b = math.log(g_a), math.log(g_b)
            cuts = [0.5 * math.log(big_x / x) for x in (0.03, 0.3, 3.0, 30.0)]

            def n_r(u: float, g_a=g_a, n_a=n_a, s=s) -> float:  # R n/γ dγ/du
                return n_a * (math.exp(u) / g_a) ** -s * cs_kernel(big_x * math.exp(-2 * u))

            points = [u for u in cuts if a < u < b] or None
            value = quad(n_r, a, b, points=points, epsabs=0.0, epsrel=QUAD_EPSREL, limit=400)[0]
            total += (s + 2.0) * value
        return c_a * nu_b / nu**2 * total

    key = {"freqs": [repr(float(f)) for f in freqs], "b": b_field, **asdict(electrons)}
    values, _ = _cached(
        "synchrotron-alpha-gamma2", key, cache_dir, lambda: np.array([at(nu) for nu in freqs])
    )
    return values


# ---------------------------------------------------------------------------------------------
# Inverse Compton, Thomson regime


def thomson_kernel(x: float) -> float:
    """f(X) = 2X ln X + X + 1 − 2X², 0 < X ≤ 1: Thomson scattering, isotropic photons."""
    return 2.0 * x * math.log(x) + x + 1.0 - 2.0 * x * x if x > 0.0 else 1.0


def _kernel_moment(m: float, x_lo: float, x_hi: float) -> float:
    """∫_{x_lo}^{x_hi} X^m f(X) dX by quad (0 ≤ x_lo < x_hi ≤ 1)."""
    value, _ = quad(
        lambda x: x**m * thomson_kernel(x), x_lo, x_hi, epsabs=0.0, epsrel=1e-12, limit=200
    )
    return value


def _check_moment() -> None:
    """The full moment against its closed form (engineering notes), for both indices."""
    for p in (2.0, 3.5):
        exact = 4 * (p * p + 4 * p + 11) / ((p + 3) ** 2 * (p + 5) * (p + 1))
        got = _kernel_moment((p - 1) / 2, 0.0, 1.0)
        assert abs(got / exact - 1) < 1e-10, (p, got, exact)


def _gamma_integral(nu: float, nu0: float, electrons: BrokenPowerLaw) -> float:
    """∫ dγ n(γ) γ^-2 f(ν/(4γ²ν₀)) over the electrons that reach ν (X ≤ 1), in cm^-3."""
    w = nu / (4.0 * nu0)
    total = 0.0
    for g_a, g_b, n_a, s in electrons.segments():
        x_lo, x_hi = w / g_b**2, min(1.0, w / g_a**2)
        if x_lo >= x_hi:
            continue
        k = n_a * g_a**s  # n = k γ^-s on this segment
        total += 0.5 * k * w ** (-(s + 1) / 2) * _kernel_moment((s - 1) / 2, x_lo, x_hi)
    return total


def ic_monochromatic(
    freqs: Sequence[float], nu0: float, u0: float, electrons: BrokenPowerLaw, cache_dir: Path
) -> tuple[np.ndarray, bool]:
    """Exact Thomson j_ν per steradian for a line at ν₀ (Hz) of energy density u₀ (erg cm^-3)."""
    _check_moment()

    def compute() -> np.ndarray:
        pref = 3.0 * SIGMA_T * C_LIGHT * u0 / (16.0 * math.pi * nu0**2)
        return np.array([pref * nu * _gamma_integral(nu, nu0, electrons) for nu in freqs])

    key = {"freqs": [repr(float(f)) for f in freqs], "nu0": nu0, "u0": u0, **asdict(electrons)}
    return _cached("ic-line", key, cache_dir, compute)


@dataclass(frozen=True)
class PowerLawSeed:
    """Seed intensity I(ν₀) = i_low (ν₀/nu_low)^-index on [nu_low, nu_high] (erg s^-1 cm^-2 Hz^-1
    sr^-1), zero outside."""

    nu_low: float
    nu_high: float
    i_low: float
    index: float

    def __call__(self, nu: np.ndarray) -> np.ndarray:
        v = np.asarray(nu, dtype=float)
        inside = (v >= self.nu_low * (1 - 1e-12)) & (v <= self.nu_high * (1 + 1e-12))
        return np.where(inside, self.i_low * (v / self.nu_low) ** -self.index, 0.0)


def ic_tabulated(
    freqs: Sequence[float], seed: PowerLawSeed, electrons: BrokenPowerLaw, cache_dir: Path
) -> tuple[np.ndarray, bool]:
    """Exact Thomson j_ν per steradian for the power-law seed intensity `seed`."""
    _check_moment()

    def at(nu: float) -> float:
        def integrand(t: float) -> float:  # t = ln ν₀; dν₀/ν₀² = e^-t dt
            nu0 = math.exp(t)
            i0 = seed.i_low * (nu0 / seed.nu_low) ** -seed.index
            return i0 / nu0 * _gamma_integral(nu, nu0, electrons)

        a, b = math.log(seed.nu_low), math.log(min(seed.nu_high, nu))
        if a >= b:
            return 0.0
        # Kinks where the lowest reachable γ crosses a break of the electron spectrum.
        kinks = [math.log(nu / (4 * g * g)) for g in (electrons.g_min, electrons.g_break)]
        points = [k for k in kinks if a < k < b]
        value, _ = quad(integrand, a, b, points=points or None, epsabs=0.0, epsrel=1e-11, limit=200)
        return 0.75 * SIGMA_T * nu * value

    key = {"freqs": [repr(float(f)) for f in freqs], **asdict(seed), **asdict(electrons)}
    return _cached("ic-table", key, cache_dir, lambda: np.array([at(nu) for nu in freqs]))


# ---------------------------------------------------------------------------------------------
# Inverse Compton, full Klein-Nishina

Segment = tuple[float, float, float, float]  # (γ_a, γ_b, n(γ_a), index): n = n(γ_a)(γ/γ_a)^-s
TO_EPS = H_PLANCK / ME_C2  # photon energy in m_e c² per Hz


def table_segments(gamma: Sequence[float], n: Sequence[float]) -> list[Segment]:
    """The power-law segments of a tabulated electron distribution (positive at both ends)."""
    return [
        (
            gamma[k],
            gamma[k + 1],
            n[k],
            -math.log(n[k + 1] / n[k]) / math.log(gamma[k + 1] / gamma[k]),
        )
        for k in range(len(gamma) - 1)
        if n[k] > 0 and n[k + 1] > 0
    ]


def klein_nishina_kernel(q: float, gq: float) -> float:
    return 2 * q * math.log(q) + (1 + 2 * q) * (1 - q) + gq * gq * (1 - q) / (2 * (1 + gq))


def klein_nishina_gamma_integral(eps: float, eps1: float, segments: list[Segment]) -> float:
    """∫ dγ n/γ² F(q, Γ) over the Lorentz factors that scatter ε into ε₁, in ln(γ − ε₁)."""
    total = 0.0
    for g_a, g_b, n_a, s in segments:
        lo = max(g_a, 0.5 * eps1 * (1 + math.sqrt(1 + 1 / (eps * eps1))))
        hi = min(g_b, eps * eps1 / (eps - eps1)) if eps > eps1 else g_b
        if lo >= hi:
            continue

        def f(v: float, g_a=g_a, n_a=n_a, s=s) -> float:
            d = math.exp(v)
            g = eps1 + d
            q = min(eps1 / (4 * eps * g * d), 1.0)
            return n_a * (g / g_a) ** -s / (g * g) * klein_nishina_kernel(q, eps1 / d) * d

        total += quad(f, math.log(lo - eps1), math.log(hi - eps1), epsabs=0.0, epsrel=1e-9)[0]
    return total


def ic_klein_nishina_line(
    freqs: Sequence[float], nu0: float, u0: float, segments: list[Segment]
) -> np.ndarray:
    """Exact j_ν per steradian for an isotropic line at ν₀ (Hz) of energy density u₀ (erg cm^-3)."""
    pref = 0.75 * SIGMA_T * C_LIGHT * u0 / (4 * math.pi * nu0**2)
    return np.array(
        [
            pref * nu * klein_nishina_gamma_integral(nu0 * TO_EPS, nu * TO_EPS, segments)
            for nu in freqs
        ]
    )


def ic_klein_nishina_table(
    freqs: Sequence[float],
    seed_nu: Sequence[float],
    seed_i: Sequence[float],
    segments: list[Segment],
    cache_dir: Path,
) -> tuple[np.ndarray, bool]:
    """Exact j_ν per steradian for the isotropic seed intensity tabulated on seed_nu (a power law
    between its points): the double integral by quad."""

    def at(nu: float) -> float:
        eps1 = nu * TO_EPS
        total = 0.0
        for k in range(len(seed_nu) - 1):
            if not (seed_i[k] > 0 and seed_i[k + 1] > 0):
                continue
            a, b = math.log(seed_nu[k]), math.log(seed_nu[k + 1])
            slope = -math.log(seed_i[k + 1] / seed_i[k]) / (b - a)

            def f(t: float, k=k, a=a, slope=slope) -> float:  # dν₀ I/ν₀² = I/ν₀ dt
                intensity = seed_i[k] * math.exp(-slope * (t - a))
                eps = math.exp(t) * TO_EPS
                return intensity * math.exp(-t) * klein_nishina_gamma_integral(eps, eps1, segments)

            total += quad(f, a, b, epsabs=0.0, epsrel=1e-8, limit=100)[0]
        return 0.75 * SIGMA_T * nu * total

    key = {
        "freqs": [repr(float(f)) for f in freqs],
        "seed_nu": [repr(float(v)) for v in seed_nu],
        "seed": [repr(float(v)) for v in seed_i],
        "electrons": [[repr(float(x)) for x in seg] for seg in segments],
    }
    return _cached("ic-klein-nishina", key, cache_dir, lambda: np.array([at(nu) for nu in freqs]))


# ---------------------------------------------------------------------------------------------
# Accuracy metric


def max_rel_error(
    freqs: np.ndarray, values: np.ndarray, reference: np.ndarray, threshold: float = 1e-6
) -> float:
    """Largest |v/ref − 1| over the frequencies where ν·ref exceeds `threshold` of its peak."""
    nu_ref = np.asarray(freqs) * reference
    mask = nu_ref > threshold * nu_ref.max()
    return float(np.max(np.abs(np.asarray(values)[mask] / reference[mask] - 1.0)))
