"""A flare fitted in time: the light curves of a pulse of injection fitted, in several bands at
once, for the pulse's amplitude and width and the acceleration time t_acc.

    from sorvexfit.flare_fit import LightCurve, fit_flare

    result = fit_flare(config, values, options, [LightCurve("R", t, flux, error), ...],
                       start={"amplitude": 5.0, "width": 2.0, "t_acc": 3.0})

The model is `sorvexfit.flare.simulate` with `options.injection` a `Pulse` whose t0 stays as
given; the statistic is χ² of the data against the model's light curves interpolated
(linearly) at the observed times. iminuit's migrad and hesse work on log10 of the three
parameters, each within two decades of its start. The evolution's adaptive steps would make
the statistic jump by their own error as the parameters move; the fit therefore steps on a
fixed schedule (`max_step`, with `rtol` wide enough never to shorten a step), so that χ² is
smooth in the parameters.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

from .config import ModelConfig
from .flare import Flare, FlareOptions, simulate
from .injection import Pulse
from .parameters import ParameterError

__all__ = ["FIT_PARAMETERS", "FlareFit", "LightCurve", "fit_flare", "pulse_flare"]

FIT_PARAMETERS = ("amplitude", "width", "t_acc")


@dataclass(frozen=True)
class LightCurve:
    """Measured energy fluxes (erg cm^-2 s^-1) of one band at observed times (s)."""

    band: str
    t_obs: np.ndarray
    flux: np.ndarray
    error: np.ndarray


@dataclass
class FlareFit:
    """The best values and their (hesse) errors, χ² and its degrees of freedom, whether migrad
    converged, and how many flares were simulated."""

    values: dict[str, float]
    errors: dict[str, float]
    chi2: float
    dof: int
    valid: bool
    evaluations: int


def pulse_flare(
    config: ModelConfig,
    values: Mapping[str, float],
    options: FlareOptions,
    amplitude: float,
    width: float,
    t_acc: float,
) -> Flare:
    """The flare of a pulse (`options.injection`'s t0) of this amplitude and width, with this
    t_acc (units of R0/c)."""
    pulse = options.injection
    if not isinstance(pulse, Pulse):
        raise ParameterError("injection: a flare fit needs a pulse (pulse:t0=..,width=..,..)")
    point = dict(values)
    point["t_acc"] = t_acc
    return simulate(config, point, replace(options, injection=Pulse(pulse.t0, width, amplitude)))


def fit_flare(
    config: ModelConfig,
    values: Mapping[str, float],
    options: FlareOptions,
    data: Sequence[LightCurve],
    start: Mapping[str, float],
    max_step: float = 0.05,
) -> FlareFit:
    """Fits amplitude, width and t_acc of a pulse to light curves (module documentation)."""
    from iminuit import Minuit

    missing = [name for name in FIT_PARAMETERS if name not in start]
    if missing:
        raise ParameterError(f"start: no starting value for {', '.join(missing)}")
    for name in FIT_PARAMETERS:
        if not (math.isfinite(start[name]) and start[name] > 0.0):
            raise ParameterError(f"start: {name} = {start[name]!r} must be positive")
    names = {band.name for band in options.bands}
    for curve in data:
        if curve.band not in names:
            raise ParameterError(f"data: no band {curve.band!r} in the options' bands")
    fixed = replace(options, rtol=1e30, max_step=max_step, first_step=max_step)
    count = 0

    def chi2(log_amplitude: float, log_width: float, log_t_acc: float) -> float:
        nonlocal count
        count += 1
        flare = pulse_flare(
            config, values, fixed, 10.0**log_amplitude, 10.0**log_width, 10.0**log_t_acc
        )
        total = 0.0
        for curve in data:
            model = np.interp(curve.t_obs, flare.t_obs, flare.light_curves[curve.band])
            total += float(np.sum(((model - curve.flux) / curve.error) ** 2))
        return total

    chi2.errordef = Minuit.LEAST_SQUARES  # type: ignore[attr-defined]
    minuit: Any = Minuit(chi2, *(math.log10(start[name]) for name in FIT_PARAMETERS))
    # Within two decades of the start (and t_acc within the model's bounds, 1e-2..1e12 R/c).
    for k, name in enumerate(FIT_PARAMETERS):
        low, high = math.log10(start[name]) - 2.0, math.log10(start[name]) + 2.0
        if name == "t_acc":
            low, high = max(low, -2.0), min(high, 12.0)
        minuit.limits[k] = (low, high)
    minuit.migrad()
    minuit.hesse()
    best = {name: 10.0 ** float(minuit.values[k]) for k, name in enumerate(FIT_PARAMETERS)}
    errors = {
        name: best[name] * math.log(10.0) * float(minuit.errors[k])
        for k, name in enumerate(FIT_PARAMETERS)
    }
    points = sum(int(np.size(curve.flux)) for curve in data)
    return FlareFit(
        best,
        errors,
        float(minuit.fval),
        points - len(FIT_PARAMETERS),
        bool(minuit.valid),
        count,
    )
