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
- External Compton on a monochromatic, isotropic field (u'_ext, ν'_ext) in the blob frame.
  A field given in the AGN frame is Γ-boosted into it (`sorvexfit.evaluation`), and its
  scattered emission is then taken as isotropic in the blob frame (the head-on anisotropy of
  the scattering is neglected). With Γ = δ this gives νF_ν ∝ δ^(4+2α) for a spectral index α,
  against δ^(3+α) for synchrotron, SSC and a blob-frame field.
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
from collections.abc import Sequence
from dataclasses import dataclass, field
from functools import cache
from typing import Any

import numpy as np

import sorvex

from .backend import BACKENDS
from .constants import C_LIGHT, ME_C2, SIGMA_T
from .parameters import ParameterError

__all__ = [
    "EBL",
    "EBL_MODELS",
    "SEED_FLOOR",
    "BlobEmission",
    "blob_emission",
    "blob_intensity",
    "compton_cooling",
    "ebl_attenuation",
    "fewest_segments",
    "line_cooling",
    "observed",
    "seed_intensity",
    "synchrotron",
    "synchrotron_cooling",
    "synchrotron_electrons",
]

# Seed photons whose ν I_ν is below this fraction of its peak are left out of the
# inverse-Compton integral: the SSC changes by less than 1e-5 (relative, where νF_ν is above
# 1e-6 of its peak), and a synchrotron spectrum that falls exponentially stops costing time.
SEED_FLOOR = 1e-8


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
) -> tuple[np.ndarray, np.ndarray]:
    """(α'_ν, Ī'_ν): the absorption coefficient and the disc-averaged intensity of the blob.
    Without `absorption` (half the kernel work) α' is zero and Ī' the optically thin 4 j' R/3:
    the field that cools the electrons, where the self-absorbed part holds a negligible share
    of the energy."""
    j, alpha = BACKENDS[backend].synchrotron(nu, gamma, n, b_field, absorption)
    if not absorption:
        return alpha, (4.0 / 3.0) * radius * j
    return alpha, blob_intensity(radius, j, alpha)


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
    external: tuple[float, float] | None,
    gamma_gamma: bool,
) -> BlobEmission:
    """Synchrotron (self-absorbed), SSC and EC on a line `external` = (u', ν') of the blob at
    blob-frame frequencies `nu`, as the observer sees them (module documentation)."""
    kernels = BACKENDS[backend]
    g_syn, n_syn = syn_electrons
    alpha, disc = synchrotron(backend, nu, g_syn, n_syn, b_field, radius)
    seds: dict[str, np.ndarray] = {}
    extra: dict[str, Any] = {}
    if "syn" in components:
        seds["syn"] = observed(nu, disc, delta, radius, d_l)
    if "ssc" in components or "ec" in components:
        seed = seed_intensity(nu, disc)
        absorption = alpha
        if gamma_gamma:
            # The kernel's optical depth is R α_γγ; the transfer takes the coefficient.
            tau = kernels.gamma_gamma_opacity(nu, nu, seed, radius)
            extra["tau_gamma_gamma"] = tau
            absorption = alpha + tau / radius
        if "ssc" in components:
            j_ssc = kernels.inverse_compton(nu, nu, seed, gamma, n)
            seds["ssc"] = observed(
                nu, blob_intensity(radius, j_ssc, absorption), delta, radius, d_l
            )
        if "ec" in components and external is not None:
            u_ext, nu_ext = external
            j_ec = kernels.inverse_compton_line(nu, u_ext, nu_ext, gamma, n)
            seds["ec"] = observed(nu, blob_intensity(radius, j_ec, absorption), delta, radius, d_l)
    return BlobEmission(seds, int(g_syn.size - 1), extra)


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
