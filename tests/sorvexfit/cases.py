"""Models shared by the sorvexfit tests."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np

import sorvexfit


def thin_ssc_model(**options: Any) -> sorvexfit.BlobModel:
    """Power-law electrons, synchrotron optically thin over the whole grid."""
    model = sorvexfit.BlobModel(
        "power_law", components=("syn", "ssc", "ec"), nu_range=(1e10, 1e28), n_nu=61, **options
    )
    model.set(p=2.5, gamma_min=10, gamma_max=1e6, n_e=1e-3, B=0.01, delta_D=10, z=0.1)
    return model


def steps_done(path: Path) -> int:
    """The steps an MCMC chain file holds (0 when it has none yet, or cannot be read)."""
    import h5py

    try:
        with h5py.File(path, "r", locking=False) as f:
            return int(f["mcmc"].attrs["iteration"])
    except (OSError, KeyError):
        return 0


def relevant(values: np.ndarray, level: float = 1e-6) -> np.ndarray:
    """Where νF_ν exceeds `level` of its peak."""
    return values > level * values.max()


# ---------------------------------------------------------------------------------------------
# Flux points for the fit tests


def small_model(kind: str = "ssc", **options: Any) -> sorvexfit.BlobModel:
    """Power-law electrons on small grids (about 10 ms an evaluation): both humps from 1e9 to
    1e27 Hz."""
    options.setdefault("n_gamma", 24)
    options.setdefault("n_nu", 40)
    options.setdefault("nu_range", (1e9, 1e27))
    if kind == "ec":
        options.setdefault("fields", ("line",))
    model = sorvexfit.make_model(kind, electrons="power_law", **options)
    model.set(z=0.05, B=0.1, R=1e16, delta_D=20, n_e=10, p=2.3, gamma_min=100, gamma_max=3e5)
    if kind == "ec":
        model.set(u_ext=1e-2, nu_ext=1e15)
    return model


# The configuration of `small_config` on the command line (the simulated points have no EBL),
# and a short global stage: these fits start from given values.
SMALL_ARGV = ["--n-gamma=24", "--n-nu=40", "--nu-min=1e9", "--nu-max=1e27", "--ebl=none"]
SMALL_ARGV += ["--starts=8", "--polish=2"]
SHORT_SEARCH = {"starts": 8, "polish": 2}
SMALL_MODEL_VALUES = (("gamma_min", "100"), ("gamma_max", "3e5"), ("R", "1e16"))


def small_config(kind: str = "ssc", **options: Any) -> sorvexfit.ModelConfig:
    """The configuration of `small_model` (power-law electrons, small grids)."""
    options.setdefault("electrons", "power_law")
    if kind == "ec":
        options.setdefault("fields", ("line",))
    return sorvexfit.configure(kind, n_gamma=24, n_nu=40, nu_range=(1e9, 1e27), **options)


def write_points(
    path: Path,
    nu: np.ndarray,
    flux: np.ndarray,
    error: np.ndarray,
    *,
    redshift: float | None = 0.05,
    upper_limits: np.ndarray | None = None,
    energy: bool = True,
) -> Path:
    """An ECSV table in the gammapy/agnpy flux-point convention (e_ref in eV, or nu in Hz)."""
    from astropy import units as u
    from astropy.table import Table

    flux_unit = u.Unit("erg cm-2 s-1")
    table = Table()
    if energy:
        table["e_ref"] = (nu * u.Hz).to(u.eV, equivalencies=u.spectral())
    else:
        table["nu"] = nu * u.Hz
    table["e2dnde"] = flux * flux_unit
    table["e2dnde_errn"] = error * flux_unit
    table["e2dnde_errp"] = error * flux_unit
    if upper_limits is not None:
        table["is_ul"] = upper_limits
        table["e2dnde_ul"] = np.where(upper_limits, flux, np.nan) * flux_unit
    if redshift is not None:
        table.meta["redshift"] = redshift
    table.write(path, format="ascii.ecsv", overwrite=True)
    return path


def simulate(
    model: sorvexfit.BlobModel, path: Path, seed: int, rel_error: float = 0.08, points: int = 30
) -> Path:
    """Flux points of `model` where it exceeds 1e-3 of its peak, with Gaussian noise of
    `rel_error` (the error bars are those of the true flux)."""
    grid = model.sed()
    inside = model.nu_grid[grid > 1e-3 * grid.max()]
    nu = np.geomspace(inside[1], inside[-2], points)
    truth = model.sed(nu)
    rng = np.random.default_rng(seed)
    error = rel_error * truth
    flux = truth + error * rng.standard_normal(points)
    return write_points(path, nu, flux, error, redshift=model.params["z"].value)


# ---------------------------------------------------------------------------------------------
# Simulated campaigns: flux points where real instruments observe


# band: (instrument, lowest and highest observed frequency (Hz), points, relative statistical
# error, νF_ν below which the band does not detect (erg cm^-2 s^-1))
BANDS = {
    "radio": ("VLA", 1.4e9, 4.3e10, 4, 0.05, 0.0),
    "optical": ("UVOT", 2.4e14, 1.5e15, 8, 0.03, 1e-14),
    "xray": ("XRT", 1.2e17, 2.4e18, 12, 0.05, 1e-13),
    "gamma": ("LAT", 2.4e22, 7.3e25, 8, 0.15, 3e-13),
    "vhe": ("IACT", 3.6e25, 1.2e27, 8, 0.2, 1e-12),
}
# A coherent offset per band, as the cross-calibration of real campaigns gives it.
CALIBRATION = {"radio": 0.05, "optical": 0.05, "xray": 0.1, "gamma": 0.1, "vhe": 0.2}


def campaign(
    config: sorvexfit.ModelConfig,
    values: dict[str, float],
    path: Path,
    seed: int,
    gaps: tuple[str, ...] = (),
) -> Path:
    """The flux points a multi-wavelength campaign would give of the model `config` at
    `values`: each band of BANDS but the `gaps`, Gaussian noise of the band's error, a
    coherent calibration offset per band, points below the band's sensitivity left out (an
    upper limit at the sensitivity for the LAT). Radio adds the extended jet: a flat spectrum
    twice the blob's flux at 1e11 Hz."""
    from astropy import units as u
    from astropy.table import Table

    rng = np.random.default_rng(seed)
    evaluation = sorvexfit.evaluate(config, values)
    rows: list[tuple[float, float, float, bool, str]] = []
    for band, (instrument, low, high, count, error, floor) in BANDS.items():
        if band in gaps:
            continue
        nu = np.geomspace(low, high, count)
        truth = evaluation.at(nu)
        if band == "radio":
            truth = truth + 2.0 * evaluation.at(1e11) * (nu / 1e11) ** 0.3
        offset = 1.0 + CALIBRATION[band] * rng.standard_normal()
        for k in range(count):
            flux = truth[k] * offset * (1.0 + error * rng.standard_normal())
            if truth[k] > floor and flux > 0.0:
                rows.append((nu[k], flux, error * truth[k] * offset, False, instrument))
            elif band == "gamma":
                rows.append((nu[k], floor, math.nan, True, instrument))
    nu_, flux_, err_, ul_, inst_ = (np.array(column) for column in zip(*rows, strict=True))
    table = Table()
    table["e_ref"] = (nu_ * u.Hz).to(u.eV, equivalencies=u.spectral())
    flux_unit = u.Unit("erg cm-2 s-1")
    table["e2dnde"] = flux_ * flux_unit
    table["e2dnde_errn"] = np.where(ul_, np.nan, err_) * flux_unit
    table["e2dnde_errp"] = np.where(ul_, np.nan, err_) * flux_unit
    table["is_ul"] = ul_
    table["e2dnde_ul"] = np.where(ul_, flux_, np.nan) * flux_unit
    table["instrument"] = inst_
    table.meta["redshift"] = values["z"]
    table.write(path, format="ascii.ecsv", overwrite=True)
    return path


def draw_truth(kind: str, seed: int) -> tuple[sorvexfit.ModelConfig, dict[str, float]]:
    """A random one-zone blob (the default fit configuration of `kind`) across the parameter
    space of gamma-ray blazars (the Fermi-LAT detects them: a Compton hump of at least 3e-12
    erg cm^-2 s^-1): SSC from low- to high-peaked (γ_b 10^3.5 to 10^5.5, B 0.01 to 1 G, δ 10 to
    40, a synchrotron peak of 10^-11.5 to 10^-9.5 erg cm^-2 s^-1); FSRQs (`_fsrq_truth`)."""
    rng = np.random.default_rng(seed)
    config = sorvexfit.configure(kind, radius="t_var", ebl="dominguez")
    values = sorvexfit.parameters(config).as_dict()
    if kind != "ssc":
        return config, _fsrq_truth(config, values, rng, inside_blr=seed % 3 != 0)

    def log_uniform(low: float, high: float) -> float:
        return float(10.0 ** rng.uniform(low, high))

    gamma_b = log_uniform(3.5, 5.5)
    values.update(
        z=rng.uniform(0.03, 0.3),
        t_var=86400.0 * log_uniform(-0.5, 0.5),
        delta_D=rng.uniform(10.0, 40.0),
        B=log_uniform(-2.0, 0.0),
        gamma_b=gamma_b,
        gamma_min=min(log_uniform(1.0, 3.0), gamma_b / 10.0),
        gamma_max=gamma_b * log_uniform(1.0, 2.0),
    )
    p1 = rng.uniform(1.8, 2.5)
    values.update(p1=p1, p2=p1 + rng.uniform(1.0, 2.0), n_e=1.0)
    seds = sorvexfit.evaluate(config, values).seds
    target = log_uniform(-11.5, -9.5)
    scale = target / float(np.max(seds["syn"]))  # the synchrotron is linear in n_e
    # SSC grows as n_e²: the density that lifts the Compton peak to 3e-12.
    lift = (3e-12 / float(np.max(seds["ssc"]))) ** 0.5
    values["n_e"] = max(scale, lift)
    return config, values


def _fsrq_truth(
    config: sorvexfit.ModelConfig,
    values: dict[str, float],
    rng: np.random.Generator,
    inside_blr: bool,
) -> dict[str, float]:
    """An FSRQ of the default `ec` model: γ_b 10^2.3 to 10^3.5, Γ 10 to 25 seen at θ = arccos β
    (δ = Γ), L_disk 10^45 to 10^46.5 erg/s, the blob where the fit's start puts it (inside
    the BLR at r = R_BLR/2, B 0.3 to 3 G; or between the BLR and the torus at √(R_BLR R_DT), in a
    field ~100 times weaker, B 0.1 to 1 G), z 0.3 to 1.5, an external-Compton peak of 10^-11
    to 10^-9.5 erg cm^-2 s^-1 that dominates the SSC (at least twice it; drawn again until it
    does, up to 50 times)."""
    from sorvexfit.evaluation import R_BLR_45, R_DT_45

    def log_uniform(low: float, high: float) -> float:
        return float(10.0 ** rng.uniform(low, high))

    for _ in range(50):
        gamma_b = log_uniform(2.3, 3.5)
        l_disk = log_uniform(45.0, 46.5)
        r_blr, r_dt = (r_45 * math.sqrt(l_disk / 1e45) for r_45 in (R_BLR_45, R_DT_45))
        p1 = rng.uniform(1.8, 2.5)
        gamma_bulk = rng.uniform(10.0, 25.0)
        values.update(
            z=rng.uniform(0.3, 1.5),
            t_var=86400.0 * log_uniform(-0.3, 0.7),
            Gamma=gamma_bulk,
            theta=math.degrees(math.acos(math.sqrt(1.0 - gamma_bulk**-2))),
            gamma_b=gamma_b,
            gamma_min=log_uniform(0.3, 1.3),
            gamma_max=gamma_b * log_uniform(1.0, 1.7),
            L_disk=l_disk,
            r=0.5 * r_blr if inside_blr else math.sqrt(r_blr * r_dt),
            B=log_uniform(-0.5, 0.5) if inside_blr else log_uniform(-1.0, 0.0),
            p1=p1,
            p2=p1 + rng.uniform(1.0, 2.0),
            n_e=1.0,
        )
        seds = sorvexfit.evaluate(config, values).seds
        ec = sum(part for key, part in seds.items() if key.startswith("ec"))
        # EC is linear in n_e, SSC grows as n_e².
        target = log_uniform(-11.0, -9.5)
        values["n_e"] = target / float(np.max(ec))
        if float(np.max(seds["ssc"])) * values["n_e"] ** 2 <= 0.5 * target:
            break
    return values
