"""The one-zone blob model as users hold it: a frozen configuration and its parameters.

    model = make_model("ec")                      # or BlobModel("broken_power_law", ...)
    model.set(B=0.05, R=5e16, delta_D=21, z=0.03)
    nu_fnu = model.sed(nu)                        # erg cm^-2 s^-1 at observed frequencies (Hz)
    parts = model.components(nu)                  # {"syn": ..., "ssc": ..., "ec": ..., "total"}

`BlobModel` keeps the `ModelConfig` (`model.config`, immutable) and the `Parameters`
(`model.params`, values, units, bounds, frozen flags); every evaluation calls the pure
`sorvexfit.evaluation.evaluate(config, values)`. Fits never change a model: they evaluate the
configuration at parameter vectors. See `sorvexfit.evaluation` for the geometry and frames and
`sorvexfit.components` for the radiation.

Models are plain data: picklable, no global state, cheap to build.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .config import COMPONENTS, MODEL_KINDS, ModelConfig, configure, parameters
from .distributions import Distribution
from .evaluation import (
    Evaluation,
    blob_radius,
    doppler,
    evaluate,
    frequencies,
    frequency_grid,
    loglog,
)
from .parameters import Parameters

__all__ = ["COMPONENTS", "MODEL_KINDS", "BlobModel", "Evaluation", "make_model"]


class BlobModel:
    """A one-zone homogeneous blob: a `ModelConfig` and its `Parameters`.

    `BlobModel(electrons, **options)` takes the fields of `ModelConfig` (electrons,
    normalisation, components, steady_state, ec_frame, radius, doppler, ebl, gamma_gamma,
    backend, cosmology, n_gamma, nu_range, n_nu, segments_rtol, steady_tolerance,
    steady_max_iterations, name); `BlobModel.of(config)` takes a configuration built already.
    """

    def __init__(self, electrons: str | Distribution = "broken_power_law", **options: Any) -> None:
        self.config = ModelConfig(electrons, **options)
        self.params: Parameters = parameters(self.config)

    @classmethod
    def of(cls, config: ModelConfig, params: Parameters | None = None) -> BlobModel:
        """The model of a configuration, with its default parameters or a copy of `params`."""
        model = cls.__new__(cls)
        model.config = config
        model.params = parameters(config) if params is None else params.copy()
        return model

    @property
    def name(self) -> str:
        return self.config.name

    @property
    def nu_grid(self) -> np.ndarray:
        """The observed frequencies of the model's grid (Hz)."""
        return frequency_grid(self.config.nu_range, self.config.n_nu)

    def __repr__(self) -> str:
        return f"<BlobModel {self.name}: {self.params!r}>"

    def set(self, **values: Any) -> BlobModel:
        """Sets parameter values (numbers, Quantities or strings); returns the model."""
        self.params.set(**values)
        return self

    def doppler(self) -> float:
        """δ at the current values."""
        return doppler(self.config, self.params.as_dict())

    def radius(self) -> float:
        """R (cm) at the current values."""
        values = self.params.as_dict()
        return blob_radius(self.config, values, doppler(self.config, values))

    def evaluate(self) -> Evaluation:
        """Every component on the model's grid (observer frame) at the current values."""
        return evaluate(self.config, self.params.as_dict())

    def components(self, nu: Any = None) -> dict[str, np.ndarray]:
        """νF_ν (erg cm^-2 s^-1) of each component and "total", at the observed frequencies
        `nu` (Hz, or any Quantity convertible to a frequency), or on the grid if None."""
        evaluation = self.evaluate()
        if nu is None:
            return evaluation.seds
        x = frequencies(nu)
        return {key: loglog(x, evaluation.nu, part) for key, part in evaluation.seds.items()}

    def sed(self, nu: Any = None) -> np.ndarray:
        """The total νF_ν (erg cm^-2 s^-1) at the observed frequencies `nu` (or on the grid)."""
        if nu is not None:
            x = frequencies(nu)  # refused before the evaluation
            return evaluate(self.config, self.params.as_dict()).at(x)
        return self.evaluate().seds["total"]

    def __call__(self, nu: Any = None) -> np.ndarray:
        return self.sed(nu)


def make_model(kind: str, **options: Any) -> BlobModel:
    """A model of kind "ssc" (synchrotron + SSC) or "ec" (synchrotron + SSC + EC); `options`
    as for `BlobModel` (the fields of `ModelConfig`)."""
    return BlobModel.of(configure(kind, **options))
