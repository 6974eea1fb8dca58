"""sorvexfit's SSC and EC models as gammapy spectral models (needs gammapy: `pip install
sorvex[gammapy]`).

    from sorvexfit import configure
    from sorvexfit.gammapy import SSCSpectralModel, ebl_absorption
    from gammapy.modeling.models import SkyModel

    ssc = SSCSpectralModel(configure("ssc", radius="t_var"), B="0.07 G", delta_D=17, z=0.03)
    model = SkyModel(spectral_model=ssc * ebl_absorption("dominguez", 0.03), name="mrk421")

The parameters are the model's (`sorvexfit params --model ssc`): the same names, units and
limits (as gammapy's min and max), frozen flags, and for the parameters a sorvexfit fit takes
in log10 (B, R, n_e, γ_b, ...) gammapy's own logarithmic scaling (`scale_transform="log"`):
the optimiser works on their logarithm, values and errors stay in the parameter's unit. A
number without a unit takes the parameter's unit; a value outside the model's limits, or out of
order (γ_min < γ_b < γ_max), raises `ParameterError` naming the parameter, an unknown name
gammapy's `NameError` and a wrong unit astropy's `UnitConversionError`.

`model(energy)` is dN/dE (cm^-2 s^-1 TeV^-1) = νF_ν/E² on energies of any shape; `integral`
and `energy_flux` integrate the log-log interpolant of the model's grid exactly (see
`sorvexfit.spectrum`), as gammapy's integration over true-energy bins does through them.
One evaluation of the native kernels serves every energy, bin and dataset at one parameter
vector (an LRU of recent vectors).

EBL: use gammapy's `EBLAbsorptionNormSpectralModel` (`ebl_absorption` builds one from the same
`ebltable` tables that sorvexfit uses, with no download) and keep sorvexfit's own absorption off,
`configure(..., ebl=None)`, the default of these classes; a configuration with `ebl` set is
absorbed by sorvexfit and must not be multiplied by a second EBL model.

`Models.write`/`Models.read` round-trip a model through YAML: the tag ("SorvexSSCSpectralModel",
"SorvexECSpectralModel") is registered with gammapy on import, and the model's entry carries
its configuration (electrons, geometry, components, kernels, grids) beside the parameters.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any, ClassVar

import numpy as np
from astropy import units as u
from gammapy.datasets import FluxPointsDataset
from gammapy.estimators import FluxPoints
from gammapy.modeling import Parameter as GammapyParameter
from gammapy.modeling import Parameters as GammapyParameters
from gammapy.modeling.models import (
    SPECTRAL_MODEL_REGISTRY,
    EBLAbsorptionNormSpectralModel,
    SkyModel,
    SpectralModel,
)

from .components import EBL
from .config import ModelConfig, configure, parameters
from .distributions import DISTRIBUTIONS
from .parameters import Parameter, ParameterError, Parameters
from .spectrum import PhotonSpectrum, broadcast_parameters, photon_spectrum

__all__ = [
    "ECSpectralModel",
    "SSCSpectralModel",
    "SorvexSpectralModel",
    "config_from_dict",
    "config_to_dict",
    "ebl_absorption",
    "flux_points_dataset",
]


ERG = u.Unit("erg")
TEV_ERG = float((1.0 * u.TeV).to_value(u.erg))
DNDE_UNIT = u.Unit("cm-2 s-1 TeV-1")
FLUX_UNIT = u.Unit("cm-2 s-1")
ENERGY_FLUX_UNIT = u.Unit("erg cm-2 s-1")


def _gammapy_parameter(p: Parameter) -> GammapyParameter:
    """A gammapy parameter with the name, value, unit, limits and frozen flag of `p`; a log10
    parameter is scaled logarithmically for the optimiser."""
    scaling = "log" if p.log10 else "lin"
    return GammapyParameter(
        p.name,
        p.value,
        unit=p.unit,
        min=p.min if math.isfinite(p.min) else np.nan,
        max=p.max if math.isfinite(p.max) else np.nan,
        frozen=p.frozen,
        interp=scaling,
        scale_transform=scaling,
    )


class SorvexSpectralModel(SpectralModel):
    """A sorvexfit model as a gammapy spectral model (module documentation); the concrete
    classes are `SSCSpectralModel` and `ECSpectralModel`.

    config: the model's `ModelConfig` (default: `configure(kind, ebl=None)`), of this kind;
    params: sorvexfit `Parameters` of that configuration whose values, limits and frozen flags
        the model starts from (such as a fit's starting point and its physical box);
    values: parameter values by name (numbers in the parameter's unit, Quantities, strings with
        units, or gammapy Parameters).
    """

    kind: ClassVar[str] = ""
    tag: ClassVar[list[str]] = []

    def __init__(
        self, config: ModelConfig | None = None, params: Parameters | None = None, **values: Any
    ) -> None:
        config = configure(self.kind, ebl=None) if config is None else config
        if not isinstance(config, ModelConfig):
            raise ParameterError(f"config: expected a ModelConfig, got {config!r:.60}")
        if config.kind != self.kind:
            other = ECSpectralModel if config.kind == "ec" else SSCSpectralModel
            raise ParameterError(
                f"config: a {config.kind!r} configuration; use {other.__name__} for it"
            )
        self.config = config
        self._limits = parameters(config)
        self._names = tuple(self._limits)
        self._units = {name: u.Unit(p.unit) for name, p in self._limits.items()}
        self.default_parameters = GammapyParameters(
            [_gammapy_parameter(p) for p in self._limits.values()]
        )
        given = {name: self._with_unit(name, value) for name, value in values.items()}
        super().__init__(**given)
        if params is not None:
            self._start_from(params)
        for par in self.parameters:
            self._to_model_unit(par)
        self._check({par.name: par.value for par in self.parameters})

    def _with_unit(self, name: str, value: Any) -> Any:
        """A plain number as a Quantity in the parameter's unit (others pass unchanged)."""
        if name in self._units and isinstance(value, int | float | np.integer | np.floating):
            return u.Quantity(float(value), self._units[name])
        return value

    def _to_model_unit(self, par: GammapyParameter) -> None:
        """Expresses a parameter given in another unit (t_var in days) in the model's own, the
        unit of its limits (gammapy changes the unit of a parameter set from a Quantity, and
        leaves its limits as they were)."""
        unit = self._units[par.name]
        if par.unit != unit:
            par.value, par.unit = float(par.quantity.to_value(unit)), unit

    def _start_from(self, params: Parameters) -> None:
        if list(params) != list(self._names):
            raise ParameterError(
                f"params: the parameters {list(params)} are not those of the model {self._names}"
            )
        for p in params.values():
            par = getattr(self, p.name)
            par.unit = self._units[p.name]
            par.min = p.min if math.isfinite(p.min) else np.nan
            par.max = p.max if math.isfinite(p.max) else np.nan
            par.value = p.value
            par.frozen = p.frozen

    def _check(self, values: Mapping[str, float]) -> None:
        """ParameterError naming the first value outside the model's limits or out of order."""
        for name, value in values.items():
            self._limits[name].check(value)
        self._limits.check_order(values)

    # -- evaluation ----------------------------------------------------------------------------

    def _values(self, args: Sequence[Any], kwargs: Mapping[str, Any]) -> dict[str, Any]:
        """Parameter values (floats or arrays of samples) in the model's units, by name."""
        given = dict(zip(self._names, args, strict=False))
        given.update(kwargs)
        values = {}
        for name in self._names:
            try:
                value = given[name]
            except KeyError:
                raise ParameterError(f"{name}: no value given to evaluate") from None
            if isinstance(value, u.Quantity):
                unit = self._units[name]
                value = value.value if value.unit == unit else value.to_value(unit)
            values[name] = value
        return values

    def _spectrum(self, vector: Sequence[float]) -> PhotonSpectrum:
        return photon_spectrum(self.config, self._names, vector, self._check_vector)

    def _check_vector(self, values: Mapping[str, float]) -> None:
        self._check(values)

    def evaluate(self, energy: Any, *args: Any, **kwargs: Any) -> u.Quantity:
        """dN/dE (cm^-2 s^-1 TeV^-1) at `energy` (a Quantity of any shape; numbers in TeV) for
        the parameter values in the model's order or by name."""
        values = self._values(args, kwargs)

        def dnde(vector: Sequence[float], energies: list[np.ndarray]) -> np.ndarray:
            return self._spectrum(vector).dnde(energies[0]) * TEV_ERG

        return broadcast_parameters(dnde, [_erg(energy)], values) * DNDE_UNIT

    def evaluate_integral(
        self, energy_min: Any, energy_max: Any, *args: Any, **kwargs: Any
    ) -> u.Quantity:
        """∫ dN/dE dE (cm^-2 s^-1) over [energy_min, energy_max], exact for the interpolant."""
        values = self._values(args, kwargs)

        def flux(vector: Sequence[float], energies: list[np.ndarray]) -> np.ndarray:
            return self._spectrum(vector).integral(energies[0], energies[1])

        edges = [_erg(energy_min), _erg(energy_max)]
        return broadcast_parameters(flux, edges, values) * FLUX_UNIT

    def evaluate_energy_flux(
        self, energy_min: Any, energy_max: Any, *args: Any, **kwargs: Any
    ) -> u.Quantity:
        """∫ E dN/dE dE (erg cm^-2 s^-1) over [energy_min, energy_max]."""
        values = self._values(args, kwargs)

        def flux(vector: Sequence[float], energies: list[np.ndarray]) -> np.ndarray:
            return self._spectrum(vector).energy_flux(energies[0], energies[1])

        edges = [_erg(energy_min), _erg(energy_max)]
        return broadcast_parameters(flux, edges, values) * ENERGY_FLUX_UNIT

    # -- serialisation -------------------------------------------------------------------------

    def to_dict(self, full_output: bool = False) -> dict[str, Any]:
        data: dict[str, Any] = super().to_dict(full_output)
        data["spectral"]["config"] = config_to_dict(self.config)
        return data

    @classmethod
    def from_dict(cls, data: Mapping[str, Any], **kwargs: Any) -> SorvexSpectralModel:
        entry = data.get("spectral", data)
        if entry.get("type") not in cls.tag:
            raise ValueError(f"Invalid model type {entry.get('type')} for class {cls.__name__}")
        config = config_from_dict(entry.get("config", {}), cls.kind)
        defaults = {p.name: _gammapy_parameter(p) for p in parameters(config).values()}
        given = {}
        for item in entry.get("parameters", []):
            name = item["name"]
            if name not in defaults:
                raise NameError(f"Unknown Parameter name '{name}'")
            merged = defaults[name].to_dict()
            merged.update(item)
            given[name] = merged
        pars = GammapyParameters.from_dict(list(given.values())) if given else []
        return cls(config, **{par.name: par for par in pars}, **kwargs)

    @classmethod
    def from_parameters(
        cls, parameters: Any, config: ModelConfig | None = None, **kwargs: Any
    ) -> SorvexSpectralModel:
        for par in parameters:
            kwargs[par.name] = par
        return cls(config, **kwargs)


class SSCSpectralModel(SorvexSpectralModel):
    """Synchrotron + SSC of a blob (`configure("ssc", ...)`) as a gammapy spectral model."""

    kind = "ssc"
    tag: ClassVar[list[str]] = ["SorvexSSCSpectralModel", "sorvex-ssc"]


class ECSpectralModel(SorvexSpectralModel):
    """Synchrotron + SSC + EC of a blob (`configure("ec", ...)`) as a gammapy spectral model."""

    kind = "ec"
    tag: ClassVar[list[str]] = ["SorvexECSpectralModel", "sorvex-ec"]


for _cls in (SSCSpectralModel, ECSpectralModel):
    if _cls not in SPECTRAL_MODEL_REGISTRY:
        SPECTRAL_MODEL_REGISTRY.append(_cls)


def _erg(energy: Any) -> np.ndarray:
    """Photon energies in erg (a Quantity of energy, or numbers in TeV)."""
    if isinstance(energy, u.Quantity):
        return np.asarray(energy.to_value(ERG, equivalencies=u.spectral()), dtype=float)
    return np.asarray(energy, dtype=float) * TEV_ERG


# ---------------------------------------------------------------------------------------------
# The configuration in YAML

_CONFIG_FIELDS = (
    "electrons",
    "normalisation",
    "components",
    "steady_state",
    "fields",
    "ec_frame",
    "scaled",
    "black_hole",
    "thermal",
    "radius",
    "doppler",
    "ebl",
    "gamma_gamma",
    "backend",
    "cosmology",
    "n_gamma",
    "nu_range",
    "n_nu",
    "segments_rtol",
    "steady_tolerance",
    "steady_max_iterations",
    "name",
)


def config_to_dict(config: ModelConfig) -> dict[str, Any]:
    """The configuration as plain values that `config_from_dict` reads back (ParameterError
    for what YAML cannot carry: an electron shape that is not one of `DISTRIBUTIONS`, a
    cosmology that is not one of astropy's named realisations)."""
    shape = config.distribution
    if DISTRIBUTIONS.get(shape.kind) is not type(shape):
        raise ParameterError(f"electrons: {shape!r} is not one of {', '.join(DISTRIBUTIONS)}")
    cosmology = None
    if config.cosmology is not None:
        from astropy.cosmology import realizations

        cosmology = getattr(config.cosmology, "name", None)
        if cosmology not in realizations.available:
            raise ParameterError(
                f"cosmology: {config.cosmology!r:.60} is not one of astropy's named"
                " realisations, which alone can be written"
            )
    rtol = config.segments_rtol
    return {
        "electrons": shape.kind,
        "normalisation": config.normalisation,
        "components": list(config.components),
        "steady_state": config.steady_state,
        "fields": list(config.fields),
        "ec_frame": config.ec_frame,
        "scaled": list(config.scaled or ()),
        "black_hole": config.black_hole,
        "thermal": config.thermal,
        "radius": config.radius,
        "doppler": config.doppler,
        "ebl": config.ebl,
        "gamma_gamma": config.absorb_gamma_gamma,
        "backend": config.backend,
        "cosmology": cosmology,
        "n_gamma": config.n_gamma,
        "nu_range": [float(x) for x in config.nu_range],
        "n_nu": config.n_nu,
        "segments_rtol": rtol if rtol is None or isinstance(rtol, str) else float(rtol),
        "steady_tolerance": float(config.steady_tolerance),
        "steady_max_iterations": config.steady_max_iterations,
        "name": config.name,
    }


def config_from_dict(data: Mapping[str, Any], kind: str) -> ModelConfig:
    """The `ModelConfig` that `config_to_dict` wrote (missing fields take the defaults of
    `configure(kind, ebl=None)`, but an "ec" model without `fields` has the line it had
    before the nucleus' fields existed), or ParameterError."""
    unknown = sorted(set(data) - set(_CONFIG_FIELDS))
    if unknown:
        raise ParameterError(f"config: unknown field {unknown[0]!r}")
    options = dict(data)
    if options.get("cosmology") is not None:
        from astropy.cosmology import realizations

        name = options["cosmology"]
        if name not in realizations.available:
            raise ParameterError(f"cosmology: unknown realisation {name!r}")
        options["cosmology"] = getattr(realizations, name)
    for name in ("components", "fields", "scaled"):
        if name in options:
            options[name] = tuple(options[name])
    if kind == "ec" and "fields" not in options:
        options["fields"] = ("line",)  # written before the nucleus' fields existed
    if "nu_range" in options:
        options["nu_range"] = tuple(options["nu_range"])
    options.setdefault("ebl", None)
    return configure(kind, **options)


# ---------------------------------------------------------------------------------------------
# EBL absorption and flux points, as gammapy models and datasets


def ebl_absorption(
    model: str = "dominguez",
    redshift: float = 0.1,
    alpha_norm: float = 1.0,
    energy: Any = None,
    max_redshift: float = 1.0,
) -> EBLAbsorptionNormSpectralModel:
    """gammapy's EBL absorption exp(-α τ(E, z)) with τ of the `ebltable` model `model`, the
    tables sorvexfit's own absorption reads (no download; `sorvexfit.EBL_MODELS` lists them),
    tabulated at `energy` (default 100 points from 1 GeV to 300 TeV) and at redshifts from 0 to
    `max_redshift` that include `redshift` itself. The table is written into YAML with it."""
    ebl = EBL(model)
    grid = (
        np.geomspace(1e-3, 300.0, 100) * u.TeV if energy is None else u.Quantity(energy).to(u.TeV)
    )
    if not 0.0 <= redshift <= max_redshift:
        raise ParameterError(f"redshift = {redshift}: must lie in [0, max_redshift]")
    redshifts = np.union1d(np.linspace(0.0, max_redshift, 101), [redshift])
    nu = grid.to_value(u.Hz, equivalencies=u.spectral())
    table = np.array([np.exp(-ebl.tau(nu, z)) for z in redshifts])
    return EBLAbsorptionNormSpectralModel(
        energy=grid,
        param=redshifts * u.dimensionless_unscaled,
        data=np.maximum(table, 1e-300),
        redshift=redshift,
        alpha_norm=alpha_norm,
    )


def flux_points_dataset(
    path: str | Path, options: Any = None, name: str | None = None
) -> FluxPointsDataset:
    """A gammapy `FluxPointsDataset` of the flux points that `sorvexfit fit` fits for `path`
    with `options` (a `sorvexfit.fit.FitOptions`; default: its defaults), holding a `SkyModel`
    of the same model at the same start:

    - the same points (fit range, radio points), with the systematic fractions added in
      quadrature to the errors; gammapy's χ² takes one symmetric error per point, the mean of
      the two sides, and leaves upper limits out (sorvexfit takes the error on the model's
      side, and upper limits one-sided);
    - the same parameters: starting values, free set, and the fit's physical box as min/max;
    - the fit's EBL absorption (by default Dominguez et al. 2011) as `ebl_absorption`, with
      sorvexfit's own off.
    """
    from .fit import FitOptions
    from .fit.run import read

    options = FitOptions() if options is None else options
    problem = read(path, options)
    chi2 = problem.chi2
    # gammapy's energy axis needs increasing, distinct energies: points of several instruments
    # at one frequency are moved apart by parts in 1e10.
    order = np.argsort(chi2.nu, kind="stable")
    nu = chi2.nu[order] * (1.0 + 1e-10 * _repeats(chi2.nu[order]))
    is_ul = chi2.is_ul[order]
    energy = (nu * u.Hz).to(u.TeV, equivalencies=u.spectral())
    flux = chi2.flux[order] * u.Unit("erg cm-2 s-1") / energy**2
    sigma = 0.5 * (chi2.sigma_lo + chi2.sigma_hi)[order]
    sigma = np.where(is_ul, np.nan, sigma) * u.Unit("erg cm-2 s-1") / energy**2
    from astropy.table import Table

    table = Table(
        {
            "e_ref": energy,
            "dnde": np.where(is_ul, np.nan, flux.value) * flux.unit,
            "dnde_err": sigma.to(flux.unit),
            "dnde_ul": np.where(is_ul, flux.value, np.nan) * flux.unit,
            "is_ul": is_ul,
        },
        meta={"SED_TYPE": "dnde"},
    )
    points = FluxPoints.from_table(table, sed_type="dnde", format="gadf-sed")
    config = problem.config
    ebl = config.ebl
    kind = SSCSpectralModel if config.kind == "ssc" else ECSpectralModel
    spectral: SpectralModel = kind(config.with_options(ebl=None), params=problem.params)
    if ebl is not None:
        spectral = spectral * ebl_absorption(ebl, problem.params["z"].value)
    source = problem.data.name or "source"
    sky = SkyModel(spectral_model=spectral, name=source)
    return FluxPointsDataset(models=[sky], data=points, name=name or f"{source}-flux-points")


def _repeats(sorted_values: np.ndarray) -> np.ndarray:
    """For each value of a sorted array, how many equal values come before it."""
    first = np.searchsorted(sorted_values, sorted_values, side="left")
    result: np.ndarray = np.arange(sorted_values.size) - first
    return result
