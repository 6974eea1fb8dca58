"""naima and agnpy through their public APIs, each output converted to j_ν per steradian.

Common conversion. For an optically thin, isotropically emitting volume V,
ν L_ν = 4π V ν j_ν and ν F_ν = ν L_ν / (4π d_L²), so

    j_ν = ν L_ν / (4π V ν)        (naima: `sed(E, distance=0)` is ν L_ν in erg s^-1)
    j_ν = ν F_ν d_L² / (V ν)       (agnpy: `sed_flux` is ν F_ν in erg cm^-2 s^-1)

in erg s^-1 cm^-3 Hz^-1 sr^-1. naima takes electrons per unit energy (not per cm^3): we give it
N(E) = n(γ) · V / (m_e c²) with V = 1 cm^3. agnpy takes n(γ) in cm^-3 and a spherical blob of
radius R_b, volume V = 4/3 π R_b³, which it multiplies in itself.

Every call returns a NumPy array of j_ν in erg s^-1 cm^-3 Hz^-1 sr^-1 (α_ν in cm^-1).
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from importlib.metadata import version

import astropy.units as u
import numpy as np
from reference import C_LIGHT, H_PLANCK, ME_C2, BrokenPowerLaw, PowerLawSeed

warnings.filterwarnings("ignore", category=DeprecationWarning)  # agnpy calls np.trapz

import naima  # noqa: E402
from agnpy.compton import ExternalCompton  # noqa: E402
from agnpy.emission_regions import Blob  # noqa: E402
from agnpy.spectra import BrokenPowerLaw as AgnpyBrokenPowerLaw  # noqa: E402
from agnpy.synchrotron import Synchrotron as AgnpySynchrotron  # noqa: E402

ME_C2_EV = (ME_C2 * u.erg).to_value(u.eV)
PEER_VERSIONS = f"naima {version('naima')}, agnpy {version('agnpy')}"

# Peers' defaults, read from their constructors so the table states what was run.
NAIMA_SYN_DEFAULT_NEED = 100  # naima Synchrotron: electron points per decade
NAIMA_IC_DEFAULT_NEED = 100  # naima InverseCompton: electron points per decade
AGNPY_DEFAULT_GAMMA_SIZE = 200  # agnpy Blob: gamma_e_size


@dataclass(frozen=True)
class Peer:
    """One peer configuration: a label and a call returning the quantity compared."""

    label: str
    run: Callable[[], np.ndarray]


def _naima_electrons(electrons: BrokenPowerLaw) -> naima.models.BrokenPowerLaw:
    """N(E) per eV for a volume of 1 cm^3: n(γ_b)/(m_e c²) (E/E_b)^-p1 or ^-p2."""
    return naima.models.BrokenPowerLaw(
        amplitude=electrons.n_break / ME_C2_EV / u.eV,
        e_0=electrons.g_break * ME_C2_EV * u.eV,
        alpha_1=electrons.p1,
        alpha_2=electrons.p2,
        e_break=electrons.g_break * ME_C2_EV * u.eV,
    )


def _naima_range(electrons: BrokenPowerLaw, n_per_decade: int) -> dict[str, object]:
    """naima's electron grid: log-spaced over exactly [γ_min, γ_max] m_e c²."""
    return {
        "Eemin": electrons.g_min * ME_C2_EV * u.eV,
        "Eemax": electrons.g_max * ME_C2_EV * u.eV,
        "nEed": n_per_decade,
    }


def _naima_to_j(model: naima.models.Synchrotron, freqs: np.ndarray) -> Callable[[], np.ndarray]:
    energies = (freqs * u.Hz).to(u.eV, equivalencies=u.spectral())
    four_pi_nu = 4.0 * math.pi * freqs  # V = 1 cm^3
    model._memoize = False  # naima caches results by input: time the computation itself

    def run() -> np.ndarray:
        return model.sed(energies, distance=0).to_value(u.erg / u.s) / four_pi_nu

    return run


def naima_synchrotron(
    freqs: np.ndarray, electrons: BrokenPowerLaw, b_field: float, n_per_decade: int
) -> Peer:
    """naima.models.Synchrotron (Aharonian, Kelner & Prosekin 2010 kernel, log-log trapezoid)."""
    model = naima.models.Synchrotron(
        _naima_electrons(electrons), B=b_field * u.G, **_naima_range(electrons, n_per_decade)
    )
    return Peer(f"naima Synchrotron, nEed={n_per_decade}/decade", _naima_to_j(model, freqs))


def _agnpy_blob(electrons: BrokenPowerLaw, b_field: float, radius: float, gamma_size: int) -> Blob:
    """A blob at rest (δ_D = Γ = 1) at z = 1e-8: frequencies shift by 1e-8 only."""
    n_e = AgnpyBrokenPowerLaw(
        k=electrons.n_break * u.Unit("cm-3"),
        p1=electrons.p1,
        p2=electrons.p2,
        gamma_b=electrons.g_break,
        gamma_min=electrons.g_min,
        gamma_max=electrons.g_max,
    )
    return Blob(
        R_b=radius * u.cm,
        z=1e-8,
        delta_D=1.0,
        Gamma=1.0,
        B=b_field * u.G,
        n_e=n_e,
        gamma_e_size=gamma_size,
    )


def agnpy_synchrotron(
    freqs: np.ndarray,
    electrons: BrokenPowerLaw,
    b_field: float,
    radius: float,
    gamma_size: int,
    ssa: bool,
) -> Peer:
    """agnpy Synchrotron.sed_flux (same kernel as naima, linear trapezoid in γ by default).

    With ssa=True agnpy returns the SED attenuated by the blob's self-absorption; the emissivity
    is then not separable, so the comparison of j uses ssa=False and α comes from
    `absorption_coefficient` below.
    """
    blob = _agnpy_blob(electrons, b_field, radius, gamma_size)
    synchrotron = AgnpySynchrotron(blob, ssa=ssa)
    nu = freqs * u.Hz
    to_j = (blob.d_L.to_value(u.cm) ** 2 / blob.V_b.to_value(u.cm**3)) / freqs
    label = f"agnpy Synchrotron, gamma_e_size={gamma_size}" + (", ssa" if ssa else "")

    def run() -> np.ndarray:
        return synchrotron.sed_flux(nu).to_value(u.erg / u.cm**2 / u.s) * to_j

    return Peer(label, run)


def agnpy_absorption(
    freqs: np.ndarray, electrons: BrokenPowerLaw, b_field: float, radius: float, gamma_size: int
) -> np.ndarray:
    """α_ν (cm^-1) from agnpy's public optical depth τ = 2 R_b α_ν (its ultra-relativistic
    form −γ² d/dγ(n/γ²))."""
    blob = _agnpy_blob(electrons, b_field, radius, gamma_size)
    tau = AgnpySynchrotron.evaluate_tau_ssa(
        freqs * u.Hz,
        blob.z,
        blob.d_L,
        blob.delta_D,
        blob.B,
        blob.R_b,
        blob.n_e,
        *blob.n_e.parameters,
        gamma=blob.gamma_e,
    )
    return np.asarray(tau) / (2.0 * radius)


# ---------------------------------------------------------------------------------------------
# Inverse Compton


def naima_ic_line(
    freqs: np.ndarray, electrons: BrokenPowerLaw, nu0: float, u0: float, n_per_decade: int
) -> Peer:
    """naima InverseCompton on a monochromatic isotropic field (one energy h ν₀ with energy
    density u₀: exact Klein-Nishina kernel of Aharonian & Atoyan 1981)."""
    seed = ["line", (nu0 * u.Hz).to(u.eV, equivalencies=u.spectral()), u0 * u.erg / u.cm**3]
    return _naima_ic(freqs, electrons, seed, n_per_decade)


def naima_ic_table(
    freqs: np.ndarray,
    table_freqs: np.ndarray,
    electrons: BrokenPowerLaw,
    seed: PowerLawSeed,
    n_per_decade: int,
) -> Peer:
    """naima InverseCompton on a tabulated field: the points of `table_freqs` inside the seed
    range, as photon number density per unit energy dn/dE = 4π I_ν / (c h² ν); naima integrates
    over them with its log-log trapezoid."""
    inside = (table_freqs >= seed.nu_low * (1 - 1e-12)) & (
        table_freqs <= seed.nu_high * (1 + 1e-12)
    )
    table = table_freqs[inside]
    intensity = seed(table)  # erg s^-1 cm^-2 Hz^-1 sr^-1
    dn_de = 4.0 * math.pi * intensity / (C_LIGHT * H_PLANCK**2 * table)  # cm^-3 erg^-1
    field = [
        "table",
        (table * u.Hz).to(u.eV, equivalencies=u.spectral()),
        (dn_de / u.erg / u.cm**3).to(1 / u.eV / u.cm**3),
    ]
    return _naima_ic(freqs, electrons, field, n_per_decade)


def _naima_ic(freqs: np.ndarray, electrons: BrokenPowerLaw, field: list, n_per_decade: int) -> Peer:
    """naima InverseCompton of the electrons on one seed photon field, as j_ν per sr."""
    model = naima.models.InverseCompton(
        _naima_electrons(electrons),
        seed_photon_fields=[field],
        **_naima_range(electrons, n_per_decade),
    )
    return Peer(f"naima InverseCompton, nEed={n_per_decade}/decade", _naima_to_j(model, freqs))


def agnpy_ic_line(
    freqs: np.ndarray,
    electrons: BrokenPowerLaw,
    nu0: float,
    u0: float,
    gamma: np.ndarray,
    mu_size: int,
    phi_size: int,
    label: str,
) -> Peer:
    """agnpy ExternalCompton.evaluate_sed_flux_iso_mono (its monochromatic isotropic target,
    the CMB approximation, head-on kernel integrated over the photon directions μ, φ)."""
    blob = _agnpy_blob(electrons, 1.0, 1e16, len(gamma))
    nu = freqs * u.Hz
    d_l = 1e27 * u.cm
    epsilon_0 = (nu0 * u.Hz).to_value(u.erg, equivalencies=u.spectral()) / ME_C2
    mu = np.linspace(-1, 1, mu_size)
    phi = np.linspace(0, 2 * np.pi, phi_size)
    to_j = (d_l.to_value(u.cm) ** 2 / blob.V_b.to_value(u.cm**3)) / freqs

    def run() -> np.ndarray:
        sed = ExternalCompton.evaluate_sed_flux_iso_mono(
            nu,
            0.0,
            d_l,
            1.0,  # δ_D
            1.0,  # μ_s: observer on the axis, so the kernel does not depend on φ
            blob.R_b,
            epsilon_0,
            u0 * u.Unit("erg cm-3"),
            blob.n_e,
            *blob.n_e.parameters,
            gamma=gamma,
            mu=mu,
            phi=phi,
        )
        return sed.to_value(u.erg / u.cm**2 / u.s) * to_j

    return Peer(label, run)
