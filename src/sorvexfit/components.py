"""Radiation components of a homogeneous spherical blob, in its own frame, and the observer.

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
  A field given in the AGN frame (u_ext, ν_ext) is Γ-boosted: u' = Γ² (1 + β²/3) u_ext and
  ν' = Γ ν_ext, and its scattered emission is then taken as isotropic in the blob frame (the
  head-on anisotropy of the scattering is neglected). With Γ = δ this gives νF_ν ∝ δ^(4+2α)
  for a spectral index α, against δ^(3+α) for synchrotron, SSC and a blob-frame field.
- Observer: ν = δ ν'/(1+z) and νF_ν(ν) = δ⁴ ν' L'_ν'(ν') / (4π d_L²) = δ⁴ π R² ν' Ī'_ν' / d_L²
  (a moving sphere: the flux density transforms as δ³ (1+z) L'/(4π d_L²)).
- EBL: νF_ν × exp(-τ(E, z)) with τ from the `ebltable` library.
- Gamma-gamma absorption inside the blob (backend "exact", on by default there): the kernel's
  optical depth τ(ν') = R α_γγ of the isotropic synchrotron field J' (pair production averaged
  over directions, Gould & Schreder 1967) gives α_γγ = τ/R, added to α'_ν in the transfer of
  the SSC and EC emission through the sphere, whose optical depth is its diameter,
  2R(α' + α_γγ). For small τ the escaping SSC and EC fall by 3τ/4. The pairs are not followed,
  and the external field and the SSC photons absorb nothing.
"""

from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np

import sorvex

from .backend import Backend
from .constants import C_LIGHT, ME_C2, SIGMA_T
from .parameters import ParameterError

__all__ = [
    "EBL",
    "EBL_MODELS",
    "compton_cooling",
    "doppler_factor",
    "external_field_in_blob",
    "line_cooling",
    "observed",
    "synchrotron",
    "synchrotron_cooling",
]

# Seed photons whose ν I_ν is below this fraction of its peak are left out of the
# inverse-Compton integral: the SSC changes by less than 1e-5 (relative, where νF_ν is above
# 1e-6 of its peak), and a synchrotron spectrum that falls exponentially stops costing time.
SEED_FLOOR = 1e-8


def doppler_factor(gamma_bulk: float, theta_deg: float) -> float:
    """δ = 1 / (Γ (1 - β cos θ)), β from `sorvex.bofg`."""
    beta = sorvex.bofg(gamma_bulk)
    return 1.0 / (gamma_bulk * (1.0 - beta * math.cos(math.radians(theta_deg))))


def external_field_in_blob(u_agn: float, nu_agn: float, gamma_bulk: float) -> tuple[float, float]:
    """A field isotropic in the AGN frame, seen from the blob: (Γ²(1+β²/3) u, Γ ν)."""
    beta = sorvex.bofg(gamma_bulk)
    return gamma_bulk**2 * (1.0 + beta * beta / 3.0) * u_agn, gamma_bulk * nu_agn


def synchrotron(
    backend: Backend,
    nu: np.ndarray,
    gamma: np.ndarray,
    n: np.ndarray,
    b_field: float,
    radius: float,
) -> tuple[np.ndarray, np.ndarray]:
    """(α'_ν, Ī'_ν): the absorption coefficient and the disc-averaged intensity of the blob."""
    j, alpha = backend.synchrotron(nu, gamma, n, b_field, True)
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


def observed(
    nu_blob: np.ndarray, disc_intensity: np.ndarray, delta: float, radius: float, d_l: float
) -> np.ndarray:
    """νF_ν (erg cm^-2 s^-1) at ν = δν'/(1+z): δ⁴ π R² ν' Ī'_ν' / d_L²."""
    scale = delta**4 * math.pi * radius * radius / (d_l * d_l)
    result: np.ndarray = scale * nu_blob * disc_intensity
    return result


# ---------------------------------------------------------------------------------------------
# Extragalactic background light


def _ebl_models() -> tuple[str, ...]:
    from ebltable.tau_from_model import models

    return tuple(models)


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
