"""Accurate radiation kernels (cgs units, emissivities per steradian, NumPy float64 results).

Grids and tables are 1-D sequences of numbers, taken as power laws between neighbouring points;
C-contiguous float64 arrays are read in place. The interpreter lock is released while a kernel
computes. Invalid arguments raise ValueError naming the argument.
"""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

class _SequenceOfNumbers(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...

type _Number = SupportsFloat | SupportsIndex
type Grid = Sequence[_Number] | _SequenceOfNumbers
type Array = npt.NDArray[np.float64]

__all__: list[str]

def synchrotron(
    nu: Grid, gamma: Grid, n: Grid, b_field: _Number, absorption: bool = True
) -> tuple[Array, Array]:
    """(j_nu, alpha_nu): synchrotron emissivity (erg s^-1 cm^-3 Hz^-1 sr^-1) and absorption
    coefficient (cm^-1) of electrons n (cm^-3 per unit gamma) in a field of b_field gauss, with
    the exact pitch-angle-averaged kernel."""

def inverse_compton(nu: Grid, seed_nu: Grid, seed_intensity: Grid, gamma: Grid, n: Grid) -> Array:
    """Inverse-Compton emissivity (erg s^-1 cm^-3 Hz^-1 sr^-1) on a tabulated isotropic seed
    intensity (erg s^-1 cm^-2 Hz^-1 sr^-1), full Klein-Nishina."""

def inverse_compton_line(nu: Grid, u: _Number, nu0: _Number, gamma: Grid, n: Grid) -> Array:
    """Inverse-Compton emissivity per steradian on an isotropic line of energy density u
    (erg cm^-3) at nu0 (Hz), full Klein-Nishina."""

def gamma_gamma_opacity(nu: Grid, seed_nu: Grid, seed_intensity: Grid, radius: _Number) -> Array:
    """Pair-production optical depth tau = radius * alpha_gg of gamma rays at nu (Hz) in an
    isotropic seed field."""

def external_compton_disk(
    nu: Grid,
    l_disk: _Number,
    m_bh: _Number,
    eta: _Number,
    r_in: _Number,
    r_out: _Number,
    r: _Number,
    gamma_bulk: _Number,
    mu_s: _Number,
    gamma: Grid,
    n: Grid,
) -> Array:
    """Blob-frame external-Compton emissivity toward the observer (erg s^-1 cm^-3 Hz^-1 sr^-1)
    on a Shakura-Sunyaev disk (l_disk erg s^-1, m_bh g, r_in and r_out in R_g) seen from height
    r (cm), head-on Klein-Nishina kernel."""

def external_compton_blr(
    nu: Grid,
    l_disk: _Number,
    xi_line: _Number,
    nu_line: _Number,
    r_line: _Number,
    r: _Number,
    gamma_bulk: _Number,
    mu_s: _Number,
    gamma: Grid,
    n: Grid,
) -> Array:
    """Blob-frame external-Compton emissivity on a line (nu_line Hz) from a thin spherical shell
    of radius r_line (cm) re-emitting xi_line * l_disk."""

def external_compton_torus(
    nu: Grid,
    l_disk: _Number,
    xi_dt: _Number,
    t_dt: _Number,
    r_dt: _Number,
    r: _Number,
    gamma_bulk: _Number,
    mu_s: _Number,
    gamma: Grid,
    n: Grid,
) -> Array:
    """Blob-frame external-Compton emissivity on a dust ring of radius r_dt (cm) radiating a
    blackbody of t_dt (K), xi_dt * l_disk in all."""

def external_compton_isotropic(
    nu: Grid,
    seed_nu: Grid,
    seed_intensity: Grid,
    gamma_bulk: _Number,
    mu_s: _Number,
    gamma: Grid,
    n: Grid,
) -> Array:
    """Blob-frame external-Compton emissivity on a tabulated field isotropic in the nucleus'
    frame (intensity erg s^-1 cm^-2 Hz^-1 sr^-1)."""

def external_compton_isotropic_line(
    nu: Grid, u: _Number, nu0: _Number, gamma_bulk: _Number, mu_s: _Number, gamma: Grid, n: Grid
) -> Array:
    """Blob-frame external-Compton emissivity on a line isotropic in the nucleus' frame (energy
    density u erg cm^-3 at nu0 Hz)."""

def gamma_gamma_disk(
    nu: Grid,
    l_disk: _Number,
    m_bh: _Number,
    eta: _Number,
    r_in: _Number,
    r_out: _Number,
    r: _Number,
    mu_s: _Number,
) -> Array:
    """Pair-production optical depth of the disk's photons from height r (cm) to infinity
    along mu_s, at frequencies nu (Hz) of the nucleus' frame."""

def gamma_gamma_blr(
    nu: Grid,
    l_disk: _Number,
    xi_line: _Number,
    nu_line: _Number,
    r_line: _Number,
    r: _Number,
    mu_s: _Number,
) -> Array:
    """Pair-production optical depth of a broad-line shell's photons along the path from r."""

def gamma_gamma_torus(
    nu: Grid,
    l_disk: _Number,
    xi_dt: _Number,
    t_dt: _Number,
    r_dt: _Number,
    r: _Number,
    mu_s: _Number,
) -> Array:
    """Pair-production optical depth of a dust ring's photons along the path from r."""
