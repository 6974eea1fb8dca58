"""The pure evaluation of a one-zone blob model: `evaluate(config, values)`.

    from sorvexfit.config import configure
    from sorvexfit.evaluation import evaluate, sed

    config = configure("ssc")                      # frozen structure (sorvexfit.config)
    values = {"B": 0.05, "R": 5e16, "delta_D": 21, "z": 0.03, "n_e": 1.0, "p1": 2.0,
              "p2": 3.5, "gamma_b": 1e4, "gamma_min": 10.0, "gamma_max": 1e6}
    parts = evaluate(config, values).seds          # {"syn", "ssc", "total"} on the grid
    nu_fnu = sed(config, values, nu)               # the total at observed frequencies nu

Nothing is mutated: the same configuration and values give the same arrays, bit for bit, in
any process and any order of calls (the caches below hold only what the inputs determine).

Geometry and frames (see `sorvexfit.components` for the radiation):

- R is given directly, or from a variability time: R = c t_var δ / (1 + z) (radius="t_var").
- δ is given directly (doppler="delta_D"), or from Γ and the viewing angle θ (doppler=
  "Gamma_theta": δ = 1/(Γ(1 - β cos θ)), β = `sorvex.bofg(Γ)`). An AGN-frame external field
  needs Γ; with doppler="delta_D" it is taken as Γ = max(δ, 1) (the viewer at θ = arccos β).
- The external fields of the nucleus (`config.fields`) see the blob moving with Γ at
  cos θ_s = μ_s from the jet axis: Γ and θ given (doppler="Gamma_theta", the default of an
  FSRQ model), or with doppler="delta_D" Γ = max(δ, 1) and μ_s = β (the viewer at the angle
  where δ = Γ). The disk luminosity L_disk sets the radii that are not given: R_BLR = 1e17 cm
  (L_disk/1e45 erg s^-1)^½ and R_DT = 2.5e18 cm (L_disk/1e45 erg s^-1)^½ (Ghisellini &
  Tavecchio 2009, MNRAS 397, 985); the CMB is a blackbody of 2.725 (1 + z) K.
- A line given in the AGN frame (ec_frame="agn") is scattered with the exact angles; for the
  steady state's cooling it is seen in the blob with u' = Γ²(1 + β²/3) u and ν' = Γ ν.
- The jet's components are absorbed on the disk, BLR and torus photons (exp(−τ), with the
  exact kernels); the disk's and the torus' own light join the SED ("disk", "dt").
- ν_obs = δ ν' / (1 + z); d_L from the configuration's astropy cosmology (default Planck18).

Evaluation works on one frequency grid: `nu_range` (observer frame, Hz) with `n_nu` points,
mapped into the blob frame for the kernels; `sed` and `Evaluation.at` interpolate log-log from
that grid (zero outside it). Electrons live on `n_gamma` log-spaced Lorentz factors from γ_min
to γ_max with the breaks on the grid (for the steady state from 1.1 to twice γ_max).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from functools import lru_cache
from typing import Any

import numpy as np

import sorvex

from . import components as comp
from . import distributions as dist
from . import steady as st
from .config import SCALED_RADII, ModelConfig
from .constants import C_LIGHT, L_EDD_PER_M_SUN, M_SUN
from .parameters import ParameterError

R_BLR_45 = SCALED_RADII["R_BLR"][1]
R_DT_45 = SCALED_RADII["R_DT"][1]

__all__ = [
    "Evaluation",
    "black_hole_mass",
    "blob_radius",
    "doppler",
    "evaluate",
    "external_fields",
    "frequencies",
    "frequency_grid",
    "loglog",
    "luminosity_distance",
    "sed",
]


@dataclass
class Evaluation:
    """One evaluation on the model's grid: observed νF_ν per component (erg cm^-2 s^-1)."""

    nu: np.ndarray  # observed frequencies, Hz
    nu_blob: np.ndarray  # the same in the blob frame
    seds: dict[str, np.ndarray]  # "syn", "ssc", "ec" (those computed) and "total"
    gamma: np.ndarray  # electron grid
    density: np.ndarray  # n(γ), cm^-3
    doppler: float
    radius: float
    luminosity_distance: float
    steady: st.SteadyStateResult | None = None
    segments: int = 0  # power-law segments the synchrotron kernel saw
    extra: dict[str, Any] = field(default_factory=dict)

    def at(self, nu: Any, key: str = "total") -> np.ndarray:
        """seds[key] at the observed frequencies `nu` (Hz or a Quantity), interpolated log-log
        from the grid (zero outside it)."""
        return loglog(frequencies(nu), self.nu, self.seds[key])


def evaluate(config: ModelConfig, values: Mapping[str, float]) -> Evaluation:
    """Every component of the model `config` at the parameter `values` (name -> float in the
    parameter's unit, as `Parameters.as_dict` gives them), on the model's grid."""
    z = values["z"]
    delta = doppler(config, values)
    radius = blob_radius(config, values, delta)
    d_l = luminosity_distance(z, config)
    external = external_field(config, values)
    fields = external_fields(config, values)
    nu_obs = frequency_grid(config.nu_range, config.n_nu)
    nu = nu_obs * ((1.0 + z) / delta)

    electrons = config.distribution
    anchors = electrons.anchors(values)
    gamma = dist.electron_grid(anchors, config.n_gamma, config.steady_state)
    # The electrons, or for the steady state the injection, normalised.
    mode = "L_inj" if config.steady_state else config.normalisation
    n = dist.normalise(gamma, electrons.shape(gamma, values), mode, values[mode], radius)
    steady = None
    if config.steady_state:
        steady = st.cool(
            config.backend,
            config.components,
            gamma,
            n,
            values["B"],
            radius,
            values["t_esc"],
            values["t_acc"],
            nu,
            external,
            config.synchrotron_rtol,
            config.steady_tolerance,
            config.steady_max_iterations,
        )
        n = steady.density

    exact_anchors = anchors if electrons.piecewise_power_law and not config.steady_state else None
    emission = comp.blob_emission(
        config.backend,
        config.components,
        nu,
        gamma,
        n,
        comp.synchrotron_electrons(gamma, n, exact_anchors, config.synchrotron_rtol),
        values["B"],
        radius,
        delta,
        d_l,
        fields,
        config.absorb_gamma_gamma,
    )
    seds = emission.seds
    extra = emission.extra
    if fields is not None and set(fields.names) - {"line", "cmb"}:
        if config.absorb_gamma_gamma:
            shining = np.zeros(nu_obs.shape, dtype=bool)
            for key, part in seds.items():
                if key in comp.JET_COMPONENTS:
                    shining |= part > 0.0
            tau = comp.field_opacity(nu_obs, fields, shining)
            extra["tau_fields"] = tau
            transmitted = np.exp(-np.sum(list(tau.values()), axis=0))
            seds = {k: v * transmitted if k in comp.JET_COMPONENTS else v for k, v in seds.items()}
        seds.update(comp.thermal_emission(nu_obs, fields, d_l))
    if config.ebl is not None:
        attenuation = comp.ebl_attenuation(config.ebl, nu_obs, z)
        seds = {key: part * attenuation for key, part in seds.items()}
    seds["total"] = np.sum(list(seds.values()), axis=0)
    return Evaluation(
        nu_obs, nu, seds, gamma, n, delta, radius, d_l, steady, emission.segments, extra
    )


def sed(config: ModelConfig, values: Mapping[str, float], nu: Any = None) -> np.ndarray:
    """The total νF_ν (erg cm^-2 s^-1) at observed frequencies `nu` (Hz or a Quantity), or on
    the model's grid when `nu` is None."""
    evaluation = evaluate(config, values)
    return evaluation.seds["total"] if nu is None else evaluation.at(nu)


# ---------------------------------------------------------------------------------------------
# Geometry


def doppler(config: ModelConfig, values: Mapping[str, float]) -> float:
    """δ: given, or 1/(Γ(1 − β cos θ)) with β from `sorvex.bofg`."""
    if config.doppler == "delta_D":
        return values["delta_D"]
    gamma_bulk = values["Gamma"]
    beta = sorvex.bofg(gamma_bulk)
    return 1.0 / (gamma_bulk * (1.0 - beta * math.cos(math.radians(values["theta"]))))


def bulk_lorentz(config: ModelConfig, values: Mapping[str, float]) -> float:
    """Γ: given, or max(δ, 1) when only δ is."""
    if config.doppler == "Gamma_theta":
        return values["Gamma"]
    return max(values["delta_D"], 1.0)


def blob_radius(config: ModelConfig, values: Mapping[str, float], delta: float) -> float:
    """R: given, or c t_var δ/(1 + z)."""
    if config.radius == "R":
        return values["R"]
    return C_LIGHT * values["t_var"] * delta / (1.0 + values["z"])


def viewing_cosine(config: ModelConfig, values: Mapping[str, float]) -> float:
    """μ_s = cos θ_s: given by θ, or β when only δ is (the angle where δ = Γ)."""
    if config.doppler == "Gamma_theta":
        return math.cos(math.radians(values["theta"]))
    return float(sorvex.bofg(bulk_lorentz(config, values)))


def scaled_radius(l_disk: float, r_45: float) -> float:
    """A radius r_45 (L_disk / 1e45 erg s^-1)^½ (cm; GT09)."""
    return r_45 * math.sqrt(l_disk / 1e45)


def external_fields(config: ModelConfig, values: Mapping[str, float]) -> comp.ExternalFields | None:
    """The external fields of the model at `values`, as the components take them."""
    if "ec" not in config.components:
        return None
    fields: dict[str, Any] = {
        "names": config.fields,
        "gamma_bulk": bulk_lorentz(config, values),
        "mu_s": viewing_cosine(config, values),
        "z": values["z"],
        "line_frame": config.ec_frame,
        "thermal": config.thermal,
    }
    if "line" in config.fields:
        fields["line"] = (values["u_ext"], values["nu_ext"])
    if "L_disk" in values:
        l_disk = values["L_disk"]
        fields.update(l_disk=l_disk, r=values["r"])
        if "disk" in config.fields:
            fields.update(
                m_bh=black_hole_mass(values) * M_SUN,
                eta=values["eta"],
                r_in=values["R_in"],
                r_out=values["R_out"],
            )
        if "blr" in config.fields:
            scaled = config.scaled or ()
            r_blr = scaled_radius(l_disk, R_BLR_45) if "R_BLR" in scaled else values["R_BLR"]
            fields.update(xi_blr=values["xi_BLR"], nu_line=values["nu_line"], r_blr=r_blr)
        if "dt" in config.fields:
            scaled = config.scaled or ()
            r_dt = scaled_radius(l_disk, R_DT_45) if "R_DT" in scaled else values["R_DT"]
            fields.update(xi_dt=values["xi_DT"], t_dt=values["T_DT"], r_dt=r_dt)
    return comp.ExternalFields(**fields)


def black_hole_mass(values: Mapping[str, float]) -> float:
    """M_BH (M_sun): given, or L_disk/(l_Edd L_Edd,sun) from the Eddington ratio."""
    if "M_BH" in values:
        return values["M_BH"]
    return values["L_disk"] / (values["l_Edd"] * L_EDD_PER_M_SUN)


def external_field(config: ModelConfig, values: Mapping[str, float]) -> tuple[float, float] | None:
    """(u', ν') of the external line in the blob frame (for the steady state's cooling), or
    None without one."""
    if "line" not in config.fields:
        return None
    if config.ec_frame == "blob":
        return values["u_ext"], values["nu_ext"]
    gamma_bulk = bulk_lorentz(config, values)
    beta = sorvex.bofg(gamma_bulk)
    return gamma_bulk**2 * (1.0 + beta * beta / 3.0) * values["u_ext"], gamma_bulk * values[
        "nu_ext"
    ]


_DISTANCES: dict[tuple[str, float], float] = {}


def luminosity_distance(z: float, config: ModelConfig) -> float:
    """d_L (cm) at redshift z from the configuration's cosmology (Planck18 by default)."""
    key = (config.cosmology_key, z)
    d_l = _DISTANCES.get(key)
    if d_l is None:
        from astropy import units as u

        cosmology = config.cosmology
        if cosmology is None:
            from astropy.cosmology import Planck18

            cosmology = Planck18
        d_l = float(cosmology.luminosity_distance(z).to_value(u.cm))
        if len(_DISTANCES) > 4096:
            _DISTANCES.clear()
        _DISTANCES[key] = d_l
    return d_l


@lru_cache(maxsize=16)
def frequency_grid(nu_range: tuple[float, float], n_nu: int) -> np.ndarray:
    """The observed frequencies of a model (Hz), read-only."""
    grid = np.geomspace(nu_range[0], nu_range[1], n_nu)
    grid.flags.writeable = False
    return grid


# ---------------------------------------------------------------------------------------------
# Frequencies at the edge


def frequencies(nu: Any) -> np.ndarray:
    """Observed frequencies in Hz as a float64 array (a Quantity is converted once): positive
    and finite, or ParameterError naming `nu`."""
    if hasattr(nu, "unit") and hasattr(nu, "to_value"):
        from astropy import units as u

        try:
            nu = nu.to_value(u.Hz, equivalencies=u.spectral())
        except u.UnitsError:
            raise ParameterError(f"nu: cannot convert {nu.unit} to Hz") from None
    try:
        x = np.asarray(nu, dtype=float)
    except (TypeError, ValueError):
        raise ParameterError(f"nu: expected frequencies in Hz, got {nu!r:.60}") from None
    if x.size and not np.all(np.isfinite(x) & (x > 0.0)):
        bad = x.flat[int(np.argmin(np.isfinite(x) & (x > 0.0)))]
        raise ParameterError(f"nu: frequencies must be positive and finite (got {bad})")
    return x


def loglog(x: np.ndarray, grid: np.ndarray, values: np.ndarray) -> np.ndarray:
    """values(grid) interpolated linearly in log-log at x; zero outside the grid or where the
    neighbouring values vanish."""
    floor = 1e-300
    logs = np.log(np.maximum(values, floor))
    with np.errstate(divide="ignore", invalid="ignore"):
        out = np.exp(np.interp(np.log(x), np.log(grid), logs, left=-np.inf, right=-np.inf))
    return np.where(out <= floor * 1e10, 0.0, out)
