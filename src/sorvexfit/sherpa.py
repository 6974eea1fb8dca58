"""sorvexfit's SSC and EC models as sherpa models (needs sherpa: `pip install sorvex[sherpa]`).

    from sorvexfit import configure
    from sorvexfit.sherpa import SSCModel

    ssc = SSCModel("ssc", configure("ssc", radius="t_var"))
    ssc.log10_B = -1.2          # B = 0.063 G
    print(ssc([1.0, 2.0], [2.0, 5.0]))   # photons cm^-2 s^-1 in 1-2 keV and 2-5 keV

Units follow sherpa's convention for PHA and energy data: `x` (and `xhi`) are photon energies
in **keV**. `calc(p, x)` returns dN/dE in photons cm^-2 s^-1 keV^-1 at `x`; with bin edges,
`calc(p, xlo, xhi)` returns the photons cm^-2 s^-1 in each bin, the exact integral of the
log-log interpolant of the model's grid (`sorvexfit.spectrum`), which is what sherpa folds
through an ARF and an RMF. (Wavelength analysis is not supported.)

The parameters are the model's (`sorvexfit params --model ssc`) with their limits as sherpa's
soft and hard limits and their frozen flags. Sherpa has no logarithmic parameter scaling, so a
parameter that a sorvexfit fit takes in log10 appears here in that form, as `log10_NAME`
(log10_B, log10_n_e, log10_gamma_b, ...), with log10 of its limits and the unit noted as
"log10(G)"; the others keep their names and units. A value beyond a hard limit raises sherpa's
`ParameterErr` naming the parameter; values out of order (γ_min < γ_b < γ_max) raise
`ParameterError` naming them when the model is evaluated.

EBL: sorvexfit's own absorption (`configure(..., ebl="dominguez")`) applies when set; sherpa has
no EBL model of its own, so use it for gamma-ray data. One native evaluation serves every bin
at one parameter vector (an LRU of recent vectors).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, ClassVar

import numpy as np
from sherpa.models.model import ArithmeticModel
from sherpa.models.parameter import Parameter as SherpaParameter
from sherpa.models.parameter import hugeval

from .config import ModelConfig, configure, parameters
from .parameters import Parameter
from .spectrum import PhotonSpectrum, photon_spectrum

__all__ = ["ECModel", "SSCModel", "SorvexModel"]


KEV_ERG = 1.602176634e-9  # erg per keV


def _limit(value: float, default: float) -> float:
    return value if math.isfinite(value) else default


def _sherpa_parameter(model: str, p: Parameter) -> SherpaParameter:
    """A sherpa parameter for `p`: log10_NAME for a log10 parameter."""
    if p.log10:
        low, high = math.log10(p.min), _limit(math.log10(p.max), hugeval)
        unit = f"log10({p.unit})" if p.unit else "log10"
        name, value = f"log10_{p.name}", math.log10(p.value)
    else:
        low, high = _limit(p.min, -hugeval), _limit(p.max, hugeval)
        name, value, unit = p.name, p.value, p.unit
    return SherpaParameter(
        model, name, value, low, high, hard_min=low, hard_max=high, units=unit, frozen=p.frozen
    )


class SorvexModel(ArithmeticModel):
    """A sorvexfit model as a sherpa model (module documentation); the concrete classes are
    `SSCModel` and `ECModel`. `config` is its `ModelConfig` (default `configure(kind)`), of
    this kind."""

    kind: ClassVar[str] = ""

    def __init__(self, name: str = "", config: ModelConfig | None = None) -> None:
        from .parameters import ParameterError

        config = configure(self.kind) if config is None else config
        if not isinstance(config, ModelConfig) or config.kind != self.kind:
            raise ParameterError(
                f"config: expected a {self.kind!r} ModelConfig, got {config!r:.60}"
            )
        self.config = config
        self._limits = parameters(config)
        self._names = tuple(self._limits)
        self._log10 = np.array([p.log10 for p in self._limits.values()])
        pars = [_sherpa_parameter(name or self.kind, p) for p in self._limits.values()]
        for par in pars:  # sherpa finds a model's parameters among its attributes
            setattr(self, par.name, par)
        super().__init__(name or self.kind, pars)

    def _spectrum(self, p: Sequence[float]) -> PhotonSpectrum:
        x = np.asarray(p, dtype=float)
        vector = np.where(self._log10, 10.0**x, x)
        return photon_spectrum(self.config, self._names, vector.tolist(), self._check)

    def _check(self, values: dict[str, float]) -> None:
        self._limits.check_order(values)

    def calc(self, p: Sequence[float], x: Any, xhi: Any = None, *args: Any, **kwargs: Any) -> Any:
        """dN/dE (photons cm^-2 s^-1 keV^-1) at energies `x` (keV), or with `xhi` the photons
        cm^-2 s^-1 in each bin [x, xhi]."""
        spectrum = self._spectrum(p)
        low = np.asarray(x, dtype=float) * KEV_ERG
        if xhi is None:
            return spectrum.dnde(low) * KEV_ERG
        high = np.asarray(xhi, dtype=float) * KEV_ERG
        return spectrum.integral(np.minimum(low, high), np.maximum(low, high))


class SSCModel(SorvexModel):
    """Synchrotron + SSC of a blob (`configure("ssc", ...)`) as a sherpa model."""

    kind = "ssc"


class ECModel(SorvexModel):
    """Synchrotron + SSC + EC of a blob (`configure("ec", ...)`) as a sherpa model."""

    kind = "ec"
