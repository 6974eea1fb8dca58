"""sorvexfit: one-zone synchrotron self-Compton and external-Compton models of a blob, built
on the `sorvex` kernels, for fitting spectral energy distributions.

    import numpy as np
    import sorvexfit

    model = sorvexfit.make_model("ssc")        # broken power-law electrons, syn + SSC
    model.set(B=0.05, R=5e16, delta_D=21, z=0.03)
    nu = np.geomspace(1e9, 1e27, 200)          # Hz, observer frame
    nu_fnu = model.sed(nu)                     # erg cm^-2 s^-1

See `sorvexfit.model` for the conventions, `sorvexfit.parameters` for how a fit drives the
parameters, and `sorvexfit params --model ssc` for the list of parameters.
"""

from .backend import BackendUnavailable, get_backend
from .components import EBL, EBL_MODELS
from .distributions import (
    DISTRIBUTIONS,
    BrokenPowerLaw,
    ConvergenceError,
    Distribution,
    ExpCutoffPowerLaw,
    LogParabola,
    PowerLaw,
    fewest_segments,
)
from .model import COMPONENTS, BlobModel, Evaluation, make_model
from .parameters import Parameter, ParameterError, Parameters

__all__ = [
    "COMPONENTS",
    "DISTRIBUTIONS",
    "EBL",
    "EBL_MODELS",
    "BackendUnavailable",
    "BlobModel",
    "BrokenPowerLaw",
    "ConvergenceError",
    "Distribution",
    "Evaluation",
    "ExpCutoffPowerLaw",
    "LogParabola",
    "Parameter",
    "ParameterError",
    "Parameters",
    "PowerLaw",
    "fewest_segments",
    "get_backend",
    "make_model",
]
