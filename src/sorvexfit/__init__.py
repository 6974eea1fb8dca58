"""sorvexfit: one-zone synchrotron self-Compton and external-Compton models of a blob, built
on the `sorvex` kernels, for fitting spectral energy distributions.

    import numpy as np
    import sorvexfit

    model = sorvexfit.make_model("ssc")        # broken power-law electrons, syn + SSC
    model.set(B=0.05, R=5e16, delta_D=21, z=0.03)
    nu = np.geomspace(1e9, 1e27, 200)          # Hz, observer frame
    nu_fnu = model.sed(nu)                     # erg cm^-2 s^-1

Data flows one way: `cli` → `fit` / `scale` → `evaluation` (the pure `evaluate(config,
values)` of a frozen `config.ModelConfig` at parameter values) → `distributions` and `steady`
(the electrons) → `components` (the radiation, the only caller of the kernel `backend`).
`model.BlobModel` holds a configuration and its `Parameters` for interactive use.
`sorvexfit params --model ssc` lists the parameters.
"""

from .backend import BackendUnavailable, get_backend
from .components import EBL, EBL_MODELS, fewest_segments
from .config import COMPONENTS, ModelConfig, configure, parameters
from .distributions import (
    DISTRIBUTIONS,
    BrokenPowerLaw,
    Distribution,
    ExpCutoffPowerLaw,
    LogParabola,
    PowerLaw,
)
from .evaluation import Evaluation, evaluate, sed
from .model import BlobModel, make_model
from .parameters import Parameter, ParameterError, Parameters
from .steady import ConvergenceError

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
    "ModelConfig",
    "Parameter",
    "ParameterError",
    "Parameters",
    "PowerLaw",
    "configure",
    "evaluate",
    "fewest_segments",
    "get_backend",
    "make_model",
    "parameters",
    "sed",
]
