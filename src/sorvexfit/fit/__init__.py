"""Fitting one-zone models to flux points: `run_fit` fits one source end to end.

    from sorvexfit.fit import FitOptions, run_fit

    options = FitOptions(model="ssc", values=(("t_var", "1 d"),), free=("B", "delta_D", "n_e"))
    result = run_fit("points.ecsv", options, "out/")   # writes out/result.ecsv and out/sed.png
    print(result.status, result.best["B"], result.errors["B"], result.chi2, result.dof)

Modules: `options` (`FitOptions`, what identifies a fit), `data` (reading flux points),
`systematics`, `likelihood` (χ² with upper limits, priors, the log-posterior), `minuit` (least
squares), `mcmc` (emcee with an HDF5 chain), `results` (`FitResult`, `Status`, `ExitCode`, the
result table), `plots`, `run` (`run_fit` and its stages).
"""

from .data import DataError, FluxPoints, read_flux_points
from .likelihood import ChiSquare, LogPosterior, Prior
from .options import FitOptions
from .results import ExitCode, FitResult, ParameterResult, Status
from .run import run_fit
from .systematics import Systematics, parse_systematics

__all__ = [
    "ChiSquare",
    "DataError",
    "ExitCode",
    "FitOptions",
    "FitResult",
    "FluxPoints",
    "LogPosterior",
    "ParameterResult",
    "Prior",
    "Status",
    "Systematics",
    "parse_systematics",
    "read_flux_points",
    "run_fit",
]
