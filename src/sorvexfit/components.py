"""Radiation of a homogeneous spherical blob, in its own frame, and what the observer sees.

Every call into the kernel backends (synchrotron, inverse Compton on the blob's own field and
on a line, gamma-gamma opacity, radiative transfer, the cooling rates) is made here; the
evaluation and the steady state call these functions.

Conventions (cgs; primes, dropped in the code, mark the blob frame):

- Electrons: n'(γ) per unit Lorentz factor and cm^3, isotropic, filling a sphere of radius R.
- Emissivities j'_ν (erg s^-1 cm^-3 Hz^-1 sr^-1) and absorption α'_ν (cm^-1) come from the
  kernel backend. sorvex's `rad_trans_blob` returns a quarter of the intensity averaged over
  the projected disc of the sphere, Ī' (thin: Ī' = 4 j' R / 3; thick: Ī' = j'/α'); the code
  multiplies by 4. The comoving luminosity of the sphere is then L'_ν = 4π² R² Ī'_ν, which is
  4π V j'_ν when thin (V = 4πR³/3).
- The synchrotron photons that the electrons scatter (SSC) and that cool them: an isotropic
  field of intensity J'_ν = (9/16) Ī'_ν, the volume average over a uniform, optically thin
  sphere (3 j' R / 4; energy density u' = 9 L'/(16 π R² c)). In the self-absorbed part the
  true interior intensity is closer to Ī' (to j'/α'); the SSC from there is negligible.
- External Compton on a monochromatic, isotropic field (u'_ext, ν'_ext) in the blob frame
  (the "line" field, ec_frame="blob"): the isotropic kernel, νF_ν ∝ δ^(3+α) for a spectral
  index α like synchrotron and SSC.
- External Compton on the fields of the nucleus (`ExternalFields`), each from its exact kernel
  of `sorvexfit.kernels` (the emissivity toward the observer, with the angles of the head-on
  Klein-Nishina kernel; README "The exact kernels"): the Shakura-Sunyaev disk ("ec_disk"),
  the broad-line shell ("ec_blr"), the dust ring ("ec_dt"), the CMB at the source, a
  blackbody of 2.725 (1+z) K isotropic in the AGN frame ("ec_cmb"), and a line isotropic in
  the AGN frame ("ec", ec_frame="agn"). Transferred through the sphere and boosted by δ⁴ as
  the SSC; an AGN-frame isotropic field gives νF_ν ∝ δ^(4+2α) at Γ = δ (Dermer 1995).
- The disk's and the torus' own light ("disk", "dt"), observed through the same distance and
  redshift: the disk a multi-temperature blackbody, each face Lambertian, seen at θ_s (νF_ν =
  ν_e cos θ_s ∫ B_ν_e(T(R)) 2πR dR / d_L², ν_e = (1+z)ν, σT⁴ = 3GMṀ/(8πR³)(1 − √(R_in/R)),
  Ṁ = L_disk/(ηc²); Shakura & Sunyaev 1973, A&A 24, 337), the torus a blackbody of T_DT
  radiating ξ_DT L_disk isotropically.
- Gamma-gamma absorption on the nucleus' photons along the path from r to the observer
  (`field_opacity`; Finke 2016, ApJ 830, 94): the jet's νF_ν × exp(−τ(ν_obs(1+z))), beside
  the absorption in the blob below. τ does not depend on the electrons and is cached on its
  inputs.
- Observer: ν = δ ν'/(1+z) and νF_ν(ν) = δ⁴ ν' L'_ν'(ν') / (4π d_L²) = δ⁴ π R² ν' Ī'_ν' / d_L²
  (a moving sphere: the flux density transforms as δ³ (1+z) L'/(4π d_L²)).
- EBL: νF_ν × exp(-τ(E, z)) with τ from the `ebltable` library.
- Gamma-gamma absorption inside the blob (backend "exact", on by default there): the kernel's
  optical depth τ(ν') = R α_γγ of the isotropic synchrotron field J' (pair production averaged
  over directions, Gould & Schreder 1967) gives α_γγ = τ/R, added to α'_ν in the transfer of
  the SSC and EC emission through the sphere, whose optical depth is its diameter,
  2R(α' + α_γγ). For small τ the escaping SSC and EC fall by 3τ/4. The pairs are not followed,
  and the external field and the SSC photons absorb nothing.

Grid economy: the synchrotron kernel sees a piecewise power law (power law, broken power law)
as its anchors alone, which represent it exactly; with the `sorvex` kernels, smooth shapes and
the cooled distribution are handed over as the fewest power-law segments that reproduce the
grid within `segments_rtol` (`fewest_segments`).
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from functools import cache
from typing import Any

import numpy as np

import sorvex

from . import kernels
from .backend import BACKENDS
from .constants import (
    C_LIGHT,
    G_NEWTON,
    H_PLANCK,
    K_BOLTZMANN,
    ME_C2,
    SIGMA_SB,
    SIGMA_T,
    T_CMB,
)
from .parameters import ParameterError

__all__ = [
    "EBL",
    "EBL_MODELS",
    "JET_COMPONENTS",
    "SEED_FLOOR",
    "BlobEmission",
    "ExternalFields",
    "blob_emission",
    "blob_intensity",
    "compton_cooling",
    "disk_thermal",
    "ebl_attenuation",
    "external_compton",
    "fewest_segments",
    "field_opacity",
    "line_cooling",
    "observed",
    "seed_intensity",
    "synchrotron",
    "synchrotron_cooling",
    "synchrotron_electrons",
    "synchrotron_reach",
    "thermal_emission",
    "torus_thermal",
]

# Seed photons whose ν I_ν is below this fraction of its peak are left out of the
# inverse-Compton integral: the SSC changes by less than 1e-5 (relative, where νF_ν is above
# 1e-6 of its peak), and a synchrotron spectrum that falls exponentially stops costing time.
SEED_FLOOR = 1e-8
# The synchrotron of electrons up to γ_top reaches SYNCHROTRON_REACH times their critical
# frequency ν_c = (3/2) γ² ν_L = CRITICAL γ² B (Hz, B in G): the kernel there is below e^-40 of
# its peak, far under the seed floor (`synchrotron_reach`).
SYNCHROTRON_REACH = 40.0
CRITICAL = 4.1987e6


# ---------------------------------------------------------------------------------------------
# The electrons as the synchrotron kernel sees them


def synchrotron_electrons(
    gamma: np.ndarray,
    n: np.ndarray,
    anchors: Sequence[float] | None,
    rtol: float | None,
) -> tuple[np.ndarray, np.ndarray]:
    """The electrons handed to the synchrotron kernel: the `anchors` of a piecewise power law
    (exact), else the fewest segments within `rtol` of the grid (None: every point)."""
    if anchors is not None:
        index = np.searchsorted(gamma, np.asarray(anchors) * (1 - 1e-12))
        return gamma[index], n[index]
    if rtol is None:
        return gamma, n
    # Above the peak of the synchrotron power per ln γ (∝ γ³ n), electrons whose γ³ n
    # is below 1e-12 of that peak shape only the far exponential tail of the spectrum.
    power = gamma**3 * n
    top = int(np.argmax(power))
    tail = np.nonzero(power[top:] < 1e-12 * power[top])[0]
    end = top + int(tail[0]) + 1 if tail.size else gamma.size
    keep = fewest_segments(gamma[:end], n[:end], rtol)
    return gamma[keep], n[keep]


def fewest_segments(gamma: np.ndarray, n: np.ndarray, rtol: float) -> np.ndarray:
    """Indices of the fewest grid points whose piecewise power law reproduces n at every
    dropped point within the relative tolerance `rtol` (greedy: from each kept point, the
    longest segment that passes; log-log straight lines). Only the support of n (values above
    1e-100, the kernels' floor) is kept; a support with holes keeps every point."""
    support = np.nonzero(n > 1e-100)[0]
    if support.size < 3:
        return support
    first, last = int(support[0]), int(support[-1])
    if support.size != last - first + 1:
        return np.arange(first, last + 1)
    lg = np.log(gamma[first : last + 1])
    ln = np.log(n[first : last + 1])
    top = lg.size - 1
    limit = math.log1p(rtol)
    keep = [0]
    i = 0
    while i < top:
        i = _segment_end(lg, ln, i, limit)
        keep.append(i)
    return np.array(keep) + first


def _segment_end(lg: np.ndarray, ln: np.ndarray, i: int, limit: float) -> int:
    """The end of the longest log-log straight segment from point i that passes every point
    inside it within `limit`: the point before the first candidate end that fails. Candidate
    ends are tried in blocks that double in size, so that a segment costs about its length
    squared."""
    top = lg.size - 1
    if i + 2 > top:
        return top
    # The shortest candidate alone first: on a curved grid it is often the only one.
    slope = (ln[i + 2] - ln[i]) / (lg[i + 2] - lg[i])
    if abs(ln[i] + slope * (lg[i + 1] - lg[i]) - ln[i + 1]) > limit:
        return i + 1
    low, size = i + 3, 8
    while low <= top:
        ends = np.arange(low, min(top, low + size - 1) + 1)
        inner = np.arange(i + 1, ends[-1])
        slope = (ln[ends] - ln[i]) / (lg[ends] - lg[i])
        line = ln[i] + slope[:, None] * (lg[inner] - lg[i])[None, :]
        dev = np.abs(line - ln[inner][None, :])
        dev[inner[None, :] >= ends[:, None]] = 0.0  # only the points inside each segment count
        bad = np.nonzero(dev.max(axis=1) > limit)[0]
        if bad.size:
            return int(ends[bad[0]]) - 1
        low, size = int(ends[-1]) + 1, 2 * size
    return top


# ---------------------------------------------------------------------------------------------
# Emission and transfer in the blob


def synchrotron(
    backend: str,
    nu: np.ndarray,
    gamma: np.ndarray,
    n: np.ndarray,
    b_field: float,
    radius: float,
    absorption: bool = True,
    top: float | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """(α'_ν, Ī'_ν): the absorption coefficient and the disc-averaged intensity of the blob.
    Without `absorption` (half the kernel work) α' is zero and Ī' the optically thin 4 j' R/3:
    the field that cools the electrons, where the self-absorbed part holds a negligible share
    of the energy. With `top` (`synchrotron_reach`) the kernel runs only at frequencies up to
    it; both are zero above."""
    if top is None:
        j, alpha = BACKENDS[backend].synchrotron(nu, gamma, n, b_field, absorption)
    else:
        j, alpha = np.zeros(nu.shape), np.zeros(nu.shape)
        inside = nu <= top
        if inside.any():
            j[inside], alpha[inside] = BACKENDS[backend].synchrotron(
                nu[inside], gamma, n, b_field, absorption
            )
    if not absorption:
        return alpha, (4.0 / 3.0) * radius * j
    return alpha, blob_intensity(radius, j, alpha)


def synchrotron_reach(gamma: np.ndarray, n: np.ndarray, b_field: float) -> float:
    """The highest frequency (Hz, blob frame) the synchrotron of n reaches above the seed floor:
    SYNCHROTRON_REACH critical frequencies of the highest electrons present (0 without any)."""
    present = np.nonzero(n > 1e-100)[0]
    if present.size == 0:
        return 0.0
    return SYNCHROTRON_REACH * CRITICAL * b_field * float(gamma[present[-1]]) ** 2


def blob_intensity(radius: float, j: np.ndarray, alpha: np.ndarray) -> np.ndarray:
    """Ī'_ν of a uniform sphere (4 × `sorvex.rad_trans_blob`)."""
    return 4.0 * np.array(sorvex.rad_trans_blob(radius, j, alpha))


def seed_intensity(nu: np.ndarray, disc_intensity: np.ndarray) -> np.ndarray:
    """The isotropic synchrotron field inside the blob, J' = (9/16) Ī', with the negligible
    tails (ν J' below SEED_FLOOR of its peak) set to zero."""
    seed = 0.5625 * disc_intensity
    nu_j = nu * seed
    peak = float(nu_j.max()) if nu_j.size else 0.0
    if peak > 0.0:
        seed = np.where(nu_j > SEED_FLOOR * peak, seed, 0.0)
    return seed


def observed(
    nu_blob: np.ndarray, disc_intensity: np.ndarray, delta: float, radius: float, d_l: float
) -> np.ndarray:
    """νF_ν (erg cm^-2 s^-1) at ν = δν'/(1+z): δ⁴ π R² ν' Ī'_ν' / d_L²."""
    scale = delta**4 * math.pi * radius * radius / (d_l * d_l)
    result: np.ndarray = scale * nu_blob * disc_intensity
    return result


@dataclass
class BlobEmission:
    """The observed νF_ν of each component of the blob (erg cm^-2 s^-1, on the model's grid)
    and what else the evaluation computed (`tau_gamma_gamma`: τ at each blob frequency)."""

    seds: dict[str, np.ndarray]
    segments: int  # power-law segments the synchrotron kernel saw
    extra: dict[str, Any] = field(default_factory=dict)


def blob_emission(
    backend: str,
    components: Sequence[str],
    nu: np.ndarray,
    gamma: np.ndarray,
    n: np.ndarray,
    syn_electrons: tuple[np.ndarray, np.ndarray],
    b_field: float,
    radius: float,
    delta: float,
    d_l: float,
    fields: ExternalFields | None,
    gamma_gamma: bool,
    nu_out: np.ndarray | None = None,
    reach: bool = False,
) -> BlobEmission:
    """Synchrotron (self-absorbed), SSC and EC on the external `fields` of the blob at
    blob-frame frequencies `nu`, as the observer sees them (module documentation).

    `nu_out`: the emission at these blob frequencies instead, with the synchrotron seeds on
    `nu` (backend "exact" only: the `sorvex` inverse Compton takes its seeds on its output
    grid). `reach`: the synchrotron kernel only up to `synchrotron_reach` (zeros above)."""
    if nu_out is not None and backend != "exact":
        raise ValueError("blob_emission: nu_out needs backend='exact'")
    kernels = BACKENDS[backend]
    g_syn, n_syn = syn_electrons
    top = synchrotron_reach(gamma, n, b_field) if reach else None
    if nu_out is None:
        out = nu
        alpha, disc = synchrotron(backend, nu, g_syn, n_syn, b_field, radius, top=top)
        seed_disc = disc
    else:
        out = nu_out
        both = np.concatenate([nu, nu_out])
        alpha_both, disc_both = synchrotron(backend, both, g_syn, n_syn, b_field, radius, top=top)
        alpha, disc, seed_disc = alpha_both[nu.size :], disc_both[nu.size :], disc_both[: nu.size]
    seds: dict[str, np.ndarray] = {}
    extra: dict[str, Any] = {}
    if "syn" in components:
        seds["syn"] = observed(out, disc, delta, radius, d_l)
    if "ssc" in components or "ec" in components:
        seed = seed_intensity(nu, seed_disc)
        absorption = alpha
        if gamma_gamma:
            # The kernel's optical depth is R α_γγ; the transfer takes the coefficient.
            tau = kernels.gamma_gamma_opacity(out, nu, seed, radius)
            extra["tau_gamma_gamma"] = tau
            absorption = alpha + tau / radius
        if "ssc" in components:
            j_ssc = kernels.inverse_compton(out, nu, seed, gamma, n)
            seds["ssc"] = observed(
                out, blob_intensity(radius, j_ssc, absorption), delta, radius, d_l
            )
        if "ec" in components and fields is not None:
            for key, j_ec in external_compton(backend, out, gamma, n, fields).items():
                disc_ec = blob_intensity(radius, j_ec, absorption)
                seds[key] = observed(out, disc_ec, delta, radius, d_l)
    return BlobEmission(seds, int(g_syn.size - 1), extra)


# ---------------------------------------------------------------------------------------------
# The external fields


# The components of the jet (absorbed on the nucleus' photons), against its thermal ones.
JET_COMPONENTS = ("syn", "ssc", "ec", "ec_disk", "ec_blr", "ec_dt", "ec_cmb")


@dataclass(frozen=True)
class ExternalFields:
    """The external photon fields of one evaluation, as plain numbers (cgs).

    names: of `sorvexfit.config.FIELDS`; gamma_bulk, mu_s: the blob's Γ and the cosine of the
    viewing angle; z: redshift. line: (u, ν) of the "line" field, in the blob frame when
    line_frame is "blob", else in the AGN frame. l_disk (erg s^-1), r (the blob's height,
    cm); the disk: m_bh (g), eta, r_in and r_out (R_g); the BLR shell: xi_blr, nu_line (Hz),
    r_blr (cm); the torus ring: xi_dt, t_dt (K), r_dt (cm). thermal: the disk and the torus
    also shine in the SED.
    """

    names: tuple[str, ...]
    gamma_bulk: float
    mu_s: float
    z: float
    line: tuple[float, float] | None = None
    line_frame: str = "blob"
    l_disk: float = 0.0
    r: float = 0.0
    m_bh: float = 0.0
    eta: float = 1.0 / 12.0
    r_in: float = 6.0
    r_out: float = 200.0
    xi_blr: float = 0.0
    nu_line: float = 2.47e15
    r_blr: float = 0.0
    xi_dt: float = 0.0
    t_dt: float = 1000.0
    r_dt: float = 0.0
    thermal: bool = True

    def disk(self) -> tuple[float, float, float, float, float]:
        return (self.l_disk, self.m_bh, self.eta, self.r_in, self.r_out)

    def blr(self) -> tuple[float, float, float, float]:
        return (self.l_disk, self.xi_blr, self.nu_line, self.r_blr)

    def dt(self) -> tuple[float, float, float, float]:
        return (self.l_disk, self.xi_dt, self.t_dt, self.r_dt)


def external_compton(
    backend: str, nu: np.ndarray, gamma: np.ndarray, n: np.ndarray, fields: ExternalFields
) -> dict[str, np.ndarray]:
    """Blob-frame EC emissivity toward the observer (erg s^-1 cm^-3 Hz^-1 sr^-1) on each
    field, keyed by component: "ec" (the line), "ec_disk", "ec_blr", "ec_dt", "ec_cmb"."""
    out: dict[str, np.ndarray] = {}
    g, mu = fields.gamma_bulk, fields.mu_s
    for name in fields.names:
        if name == "line":
            assert fields.line is not None
            u, nu0 = fields.line
            if fields.line_frame == "agn" and backend == "sorvex":
                # sorvex has no angle-dependent kernel: the line boosted into the blob and
                # scattered isotropically there, u' = Γ²(1 + β²/3) u, ν' = Γν.
                beta = sorvex.bofg(g)
                u, nu0 = g * g * (1.0 + beta * beta / 3.0) * u, g * nu0
            if fields.line_frame == "blob" or backend == "sorvex":
                out["ec"] = BACKENDS[backend].inverse_compton_line(nu, u, nu0, gamma, n)
            else:
                out["ec"] = kernels.external_compton_isotropic_line(nu, u, nu0, g, mu, gamma, n)
        elif name == "disk":
            out["ec_disk"] = kernels.external_compton_disk(
                nu, *fields.disk(), fields.r, g, mu, gamma, n
            )
        elif name == "blr":
            out["ec_blr"] = kernels.external_compton_blr(
                nu, *fields.blr(), fields.r, g, mu, gamma, n
            )
        elif name == "dt":
            out["ec_dt"] = kernels.external_compton_torus(
                nu, *fields.dt(), fields.r, g, mu, gamma, n
            )
        elif name == "cmb":
            seed_nu, seed_i = cmb_intensity(fields.z)
            out["ec_cmb"] = kernels.external_compton_isotropic(nu, seed_nu, seed_i, g, mu, gamma, n)
    return out


def planck(nu: np.ndarray, temperature: np.ndarray | float) -> np.ndarray:
    """B_ν(T) (erg s^-1 cm^-2 Hz^-1 sr^-1); zero where hν/kT overflows."""
    x = H_PLANCK * nu / (K_BOLTZMANN * np.asarray(temperature))
    with np.errstate(over="ignore", divide="ignore"):
        result: np.ndarray = (2.0 * H_PLANCK / C_LIGHT**2) * nu**3 / np.expm1(np.minimum(x, 700.0))
    return np.where(x < 700.0, result, 0.0)


@cache
def cmb_intensity(z: float) -> tuple[np.ndarray, np.ndarray]:
    """The CMB at redshift z as a table (ν Hz, B_ν of 2.725 (1+z) K), 128 points from 1e-3
    to 40 kT/h: a power law between neighbours is within 1e-3 of the blackbody near its
    peak."""
    temperature = T_CMB * (1.0 + z)
    nu = np.geomspace(1e-3, 40.0, 128) * K_BOLTZMANN * temperature / H_PLANCK
    intensity = planck(nu, temperature)
    nu.flags.writeable = intensity.flags.writeable = False
    return nu, intensity


# Gauss-Legendre nodes of the disk's radial integral: 24 panels of 8 points in ln R.
_GL_X, _GL_W = np.polynomial.legendre.leggauss(8)


def disk_thermal(
    nu_obs: np.ndarray,
    l_disk: float,
    m_bh: float,
    eta: float,
    r_in: float,
    r_out: float,
    mu_s: float,
    z: float,
    d_l: float,
) -> np.ndarray:
    """νF_ν (erg cm^-2 s^-1) of a Shakura-Sunyaev disk (m_bh in g, r_in and r_out in R_g)
    seen at cos θ = mu_s (module documentation)."""
    r_g = G_NEWTON * m_bh / C_LIGHT**2
    mdot = l_disk / (eta * C_LIGHT**2)
    edges = np.linspace(math.log(r_in), math.log(r_out), 25)
    half = 0.5 * np.diff(edges)
    u = ((edges[:-1] + half)[:, None] + half[:, None] * _GL_X[None, :]).ravel()
    weight = (half[:, None] * _GL_W[None, :]).ravel()
    x = np.exp(u)  # R / R_g
    radius = x * r_g
    t4 = 3.0 * G_NEWTON * m_bh * mdot / (8.0 * math.pi * SIGMA_SB * radius**3)
    temperature = (t4 * (1.0 - np.sqrt(r_in / x))) ** 0.25
    nu_e = np.asarray(nu_obs, dtype=float) * (1.0 + z)
    area = 2.0 * math.pi * radius * radius * weight  # dA = 2πR² d ln R
    bnu = planck(nu_e[:, None], temperature[None, :])
    result: np.ndarray = nu_e * mu_s * (bnu @ area) / (d_l * d_l)
    return result


def torus_thermal(
    nu_obs: np.ndarray, l_disk: float, xi_dt: float, t_dt: float, z: float, d_l: float
) -> np.ndarray:
    """νF_ν (erg cm^-2 s^-1) of the torus: a blackbody of t_dt radiating xi_dt L_disk
    isotropically, νL_ν = ξL (15/π⁴) x⁴/(eˣ − 1), x = hν_e/kT."""
    nu_e = np.asarray(nu_obs, dtype=float) * (1.0 + z)
    shape = math.pi * planck(nu_e, t_dt) * nu_e / (SIGMA_SB * t_dt**4)
    result: np.ndarray = xi_dt * l_disk * shape / (4.0 * math.pi * d_l * d_l)
    return result


def thermal_emission(
    nu_obs: np.ndarray, fields: ExternalFields, d_l: float
) -> dict[str, np.ndarray]:
    """The disk's and the torus' own νF_ν at observed frequencies, those the fields have
    (cached on the inputs: they do not depend on the electrons)."""
    if not fields.thermal:
        return {}
    names = tuple(f for f in fields.names if f in ("disk", "dt"))
    key = (
        names, fields.disk() if "disk" in names else (), fields.dt() if "dt" in names else (),
        fields.mu_s, fields.z, d_l, nu_obs.tobytes(),
    )  # fmt: skip

    def compute() -> dict[str, np.ndarray]:
        out = {}
        if "disk" in names:
            out["disk"] = disk_thermal(nu_obs, *fields.disk(), fields.mu_s, fields.z, d_l)
        if "dt" in names:
            out["dt"] = torus_thermal(
                nu_obs, fields.l_disk, fields.xi_dt, fields.t_dt, fields.z, d_l
            )
        return out

    return {name: part.copy() for name, part in _THERMAL.get(key, compute).items()}


class _Memo:
    """Results that depend on their key alone (the nucleus' light and opacities: not on the
    electrons), up to `size` of them; emptied when full."""

    def __init__(self, size: int = 256) -> None:
        self.size = size
        self.store: dict[tuple[Any, ...], dict[str, np.ndarray]] = {}

    def clear(self) -> None:
        self.store.clear()

    def get(
        self, key: tuple[Any, ...], compute: Callable[[], dict[str, np.ndarray]]
    ) -> dict[str, np.ndarray]:
        value = self.store.get(key)
        if value is None:
            value = compute()
            if len(self.store) >= self.size:
                self.clear()
            self.store[key] = value
        return value


_THERMAL = _Memo()
_OPACITIES = _Memo()
_PAIR_FREQUENCY = ME_C2 / H_PLANCK  # Hz


def disk_temperature(m_bh: float, l_disk: float, eta: float, r_in: float) -> float:
    """The disk's highest temperature (K), at R = (49/36) R_in (m_bh in g, r_in in R_g)."""
    radius = (49.0 / 36.0) * r_in * G_NEWTON * m_bh / C_LIGHT**2
    mdot = l_disk / (eta * C_LIGHT**2)
    t4 = 3.0 * G_NEWTON * m_bh * mdot / (8.0 * math.pi * SIGMA_SB * radius**3) / 7.0
    return float(t4**0.25)


def _pair_threshold(name: str, fields: ExternalFields) -> float:
    """A frequency (Hz, AGN frame) below which the γ rays leaving the blob toward the
    observer make no pairs on a field: half of 2(m_e c²/h)²/(ν_max (1 − cos ψ_max)), ν_max the
    field's highest photon frequency, ψ_max a bound on the collision angle along the path.
    From any point of the path, at angle ≤ θ_s from the axis and at distance ≥ r, the photons
    of a disk or ring of radius a in the plane z = 0 come at most max(atan(a/r), θ_s) from
    the axis, those of a shell of radius a < r at most asin(a/r) from the radial direction,
    itself within θ_s of the axis; so ψ_max = 2θ_s + atan(a/r) or asin(a/r) (π inside the
    shell), the γ ray being θ_s from the axis."""
    theta = math.acos(min(max(fields.mu_s, -1.0), 1.0))
    if name == "blr":
        spread = math.asin(fields.r_blr / fields.r) if fields.r > fields.r_blr else math.pi
    else:
        edge = fields.r_dt if name == "dt" else fields.r_out * G_NEWTON * fields.m_bh / C_LIGHT**2
        spread = math.atan(edge / fields.r)
    angle = min(2.0 * theta + spread, math.pi)
    return _PAIR_FREQUENCY**2 / (_highest_frequency(name, fields) * (1.0 - math.cos(angle)))


def _highest_frequency(name: str, fields: ExternalFields) -> float:
    """The highest photon frequency (Hz, AGN frame) of a field that pair production sees."""
    if name == "blr":
        return fields.nu_line
    temperature = (
        fields.t_dt
        if name == "dt"
        else disk_temperature(fields.m_bh, fields.l_disk, fields.eta, fields.r_in)
    )
    return 60.0 * K_BOLTZMANN * temperature / H_PLANCK


def field_opacity(
    nu_obs: np.ndarray, fields: ExternalFields, where: np.ndarray | None = None
) -> dict[str, np.ndarray]:
    """τ_γγ of the disk, BLR and torus photons along the path from r, at the observed
    frequencies (the kernels at ν_obs(1+z)), keyed by field; at the frequencies `where` is
    true only (where the jet shines: elsewhere there is nothing to absorb, and τ is left 0);
    cached on the inputs."""
    names = tuple(f for f in fields.names if f in ("disk", "blr", "dt"))
    wanted = np.ones(nu_obs.shape, dtype=bool) if where is None else np.asarray(where, dtype=bool)
    key = (
        names, fields.disk() if "disk" in names else (), fields.blr() if "blr" in names else (),
        fields.dt() if "dt" in names else (), fields.r, fields.mu_s, fields.z, nu_obs.tobytes(),
        np.packbits(wanted).tobytes(),
    )  # fmt: skip
    return dict(_OPACITIES.get(key, lambda: _opacities(nu_obs, fields, names, wanted)))


def _opacities(
    nu_obs: np.ndarray, fields: ExternalFields, names: tuple[str, ...], wanted: np.ndarray
) -> dict[str, np.ndarray]:
    """`field_opacity`, computed."""
    nu = np.asarray(nu_obs, dtype=float) * (1.0 + fields.z)
    tau: dict[str, np.ndarray] = {}
    mu = fields.mu_s
    # Pairs need ε_γ ε (1 − cos ψ) ≥ 2: below the threshold of the field's most energetic
    # photons and widest collision angle (`_pair_threshold`) τ is zero and the kernels are
    # not called.
    kernel_args: dict[str, tuple[Callable[..., np.ndarray], tuple[float, ...]]] = {
        "disk": (kernels.gamma_gamma_disk, (*fields.disk(), fields.r, mu)),
        "blr": (kernels.gamma_gamma_blr, (*fields.blr(), fields.r, mu)),
        "dt": (kernels.gamma_gamma_torus, (*fields.dt(), fields.r, mu)),
    }
    for name in names:
        function, args = kernel_args[name]
        above = wanted & (nu >= _pair_threshold(name, fields))
        values = np.zeros_like(nu)
        if np.any(above):
            values[above] = function(nu[above], *args)
        values.flags.writeable = False
        tau[name] = values
    return tau


# ---------------------------------------------------------------------------------------------
# Cooling rates


def synchrotron_cooling(gamma: np.ndarray, b_field: float) -> np.ndarray:
    """dγ/dt (s^-1) by synchrotron: (4/3) σ_T c (γ² - 1) u_B / (m_e c²), u_B = B²/8π."""
    u_b = b_field * b_field / (8.0 * math.pi)
    rate: np.ndarray = (4.0 / 3.0) * SIGMA_T * C_LIGHT * u_b / ME_C2 * (gamma * gamma - 1.0)
    return rate


def compton_cooling(gamma: np.ndarray, nu: np.ndarray, intensity: np.ndarray) -> np.ndarray:
    """dγ/dt (s^-1) in an isotropic field of intensity J'_ν (Klein-Nishina, `rad_cool_pwl`)."""
    u_nu = (4.0 * math.pi / C_LIGHT) * intensity
    if not np.any(u_nu > 0.0):
        return np.zeros_like(gamma)
    return np.array(sorvex.rad_cool_pwl(gamma, nu, u_nu, True))


def line_cooling(gamma: np.ndarray, nu0: float, u0: float) -> np.ndarray:
    """dγ/dt (s^-1) in an isotropic line (Klein-Nishina, `rad_cool_mono`)."""
    if u0 <= 0.0:
        return np.zeros_like(gamma)
    return np.array(sorvex.rad_cool_mono(gamma, nu0, u0, True))


# ---------------------------------------------------------------------------------------------
# Extragalactic background light


EBL_MODELS: tuple[str, ...] = (
    "dominguez",
    "dominguez-upper",
    "dominguez-lower",
    "finke",
    "finke2022",
    "franceschini",
    "franceschini2017",
    "saldana-lopez",
    "saldana-lopez-upper",
    "saldana-lopez-lower",
    "kneiske",
    "inoue",
    "inoue-low-pop3",
    "inoue-up-pop3",
    "gilmore",
    "gilmore-fixed",
)

# h in eV s: photon energy E = h ν, for the library's TeV axis.
_H_EV = 4.135667696923859e-15


class EBL:
    """Absorption on the extragalactic background light, exp(-τ(E, z)), from `ebltable`.

    `model` is one of `EBL_MODELS` (for example "dominguez": Dominguez et al. 2011,
    "finke2022", "saldana-lopez": Saldana-Lopez et al. 2021). τ is the library's own
    interpolation of its tables; below the lowest tabulated energy τ = 0 (no pair production
    on the EBL there), above the highest it is held at the last tabulated value. The table is
    read on first use and is not pickled (a worker process reads it again).
    """

    def __init__(self, model: str) -> None:
        if model not in EBL_MODELS:
            raise ParameterError(
                f"ebl: unknown EBL model {model!r} (known: {', '.join(EBL_MODELS)})"
            )
        self.model = model
        self._table: Any = None
        self._last: tuple[float, bytes, np.ndarray] | None = None

    def __getstate__(self) -> dict[str, Any]:
        return {"model": self.model}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(state["model"])  # type: ignore[misc]

    def __repr__(self) -> str:
        return f"EBL({self.model!r})"

    def table(self) -> Any:
        """The library's optical-depth object (ebltable.tau_from_model.OptDepth)."""
        if self._table is None:
            from ebltable.tau_from_model import OptDepth

            self._table = OptDepth.readmodel(model=self.model)
        return self._table

    def tau(self, nu_obs: np.ndarray, z: float) -> np.ndarray:
        """Optical depth at observed frequencies nu_obs (Hz) for a source at redshift z."""
        nu_obs = np.asarray(nu_obs, dtype=float)
        key = nu_obs.tobytes()
        if self._last is not None and self._last[0] == z and self._last[1] == key:
            return self._last[2]
        table = self.table()
        e_tev = nu_obs * _H_EV * 1e-12
        e_gev = e_tev * 1e3
        inside = e_gev >= 10.0 ** float(table.x[0])  # the table's energies are log10(GeV)
        tau = np.zeros_like(nu_obs)
        if np.any(inside) and z > 0.0:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                values = np.atleast_1d(table.opt_depth(z, e_tev[inside]))
            tau[inside] = np.maximum(values, 0.0)
        self._last = (z, key, tau)
        return tau


@cache
def _ebl(model: str) -> EBL:
    """One EBL object per model and process: its table is read once."""
    return EBL(model)


def ebl_attenuation(model: str, nu_obs: np.ndarray, z: float) -> np.ndarray:
    """exp(-τ) of the EBL model `model` at observed frequencies (Hz) for redshift z."""
    result: np.ndarray = np.exp(-_ebl(model).tau(nu_obs, z))
    return result
