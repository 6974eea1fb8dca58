"""Fitting one-zone models to flux points: `run_fit` fits one source end to end.

    from sorvexfit.fit import FitOptions, run_fit

    options = FitOptions(model="ssc", values=(("t_var", "1 d"),), free=("B", "delta_D", "n_e"))
    result = run_fit("points.ecsv", options, "out/")   # writes out/result.ecsv and out/sed.png
    print(result.status, result.best["B"], result.errors["B"], result.chi2, result.dof)

Modules: `data` (reading flux points), `systematics`, `likelihood` (χ² with upper limits,
priors, the log-posterior), `minuit` (least squares), `mcmc` (emcee with an HDF5 chain),
`results` (the result table), `plots`, `run` (`run_fit` and `FitOptions`).
"""

from .data import DataError, FluxPoints, read_flux_points
from .likelihood import ChiSquare, LogPosterior, Prior
from .results import (
    EXIT_BAD_INPUT,
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_NOT_CONVERGED,
    EXIT_OK,
    FitResult,
    ParameterResult,
)
from .run import FitOptions, run_fit
from .systematics import Systematics, parse_systematics

__all__ = [
    "EXIT_BAD_INPUT",
    "EXIT_FAILED",
    "EXIT_INTERRUPTED",
    "EXIT_NOT_CONVERGED",
    "EXIT_OK",
    "ChiSquare",
    "DataError",
    "FitOptions",
    "FitResult",
    "FluxPoints",
    "LogPosterior",
    "ParameterResult",
    "Prior",
    "Systematics",
    "parse_systematics",
    "read_flux_points",
    "run_fit",
]
