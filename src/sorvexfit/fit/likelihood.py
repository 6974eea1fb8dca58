"""The fit statistic, the priors and the log-posterior.

χ² of a model m_i against flux points F_i (νF_ν, observed):

- a detection adds ((m_i − F_i)/σ_i)², with σ_i = √(σ_stat² + (f_i F_i)²): σ_stat is the
  point's upper error where the model lies above it and its lower error where it lies below,
  and f_i its systematic fraction (`systematics`);
- an upper limit U_i adds ((m_i − U_i)/σ_U)² where the model exceeds it and nothing where it
  does not (a one-sided penalty), with σ_U = U_i max(f_i, 0.1): a soft wall of at least 10 %.

The log-likelihood is −χ²/2. Priors act on the parameters in their own units; the posterior
is sampled in the fit form of each parameter (log10 where the parameter says so), with the
Jacobian of that change of variable. The default prior is uniform in the fit form between the
parameter's bounds: log-uniform for log10 parameters, uniform for the others.

`ChiSquare`, `LogPosterior` and `ModelGrid` are plain picklable functions of a point x of the
fit space: each holds the model's frozen configuration, a snapshot of its parameters (the
frozen values, the free set, the bounds) and the data, and evaluates the pure
`sorvexfit.evaluation.evaluate` at x. Nothing is changed by a call, so a process pool (or a Dask
cluster) can ship them to its workers and call them in any order.
"""

from __future__ import annotations

import copy
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..backend import KERNEL_STOPS
from ..config import ModelConfig
from ..evaluation import evaluate
from ..parameters import Parameter, ParameterError, Parameters, to_float
from ..steady import ConvergenceError
from .data import FluxPoints

__all__ = [
    "EVALUATION_ERRORS",
    "UL_MIN_WIDTH",
    "ChiSquare",
    "LogPosterior",
    "ModelGrid",
    "Prior",
    "default_prior",
    "parse_prior",
]

UL_MIN_WIDTH = 0.1  # the least relative width σ_U/U of an upper limit's penalty
_LN10 = math.log(10.0)


# What makes a model unusable at a point of parameter space (a value out of bounds, no steady
# state, an overflow, a stop in the kernels): that point is excluded, the fit goes on.
EVALUATION_ERRORS: tuple[type[BaseException], ...] = (
    ParameterError,
    ConvergenceError,
    FloatingPointError,
    ZeroDivisionError,
    *KERNEL_STOPS,
)


class ModelGrid:
    """The model's total νF_ν on its grid at a point x of the fit space, or None where it
    cannot be evaluated (the band of a fit)."""

    def __init__(self, config: ModelConfig, params: Parameters) -> None:
        self.config = config
        self.params = params.copy()

    def __call__(self, x: np.ndarray) -> np.ndarray | None:
        try:
            total = evaluate(self.config, self.params.values_at(x)).seds["total"]
        except EVALUATION_ERRORS:
            return None
        return total if np.all(np.isfinite(total)) else None


class ChiSquare:
    """χ² of the model (`config` at the values of `params`, whose free parameters span the fit
    space) against `data` (module documentation), as a function of the free parameters in
    their fit form. A point where the model cannot be evaluated (a value out of bounds, no
    steady state, a kernel stop) gives +inf. Calls are counted in `evaluations`."""

    def __init__(
        self, config: ModelConfig, params: Parameters, data: FluxPoints, fractions: np.ndarray
    ) -> None:
        self.config = config
        self.params = params.copy()
        self.names = tuple(self.params.free)
        self.nu = np.asarray(data.nu, dtype=float)
        self.flux = np.asarray(data.flux, dtype=float)
        self.is_ul = np.asarray(data.is_ul, dtype=bool)
        detected = ~self.is_ul
        sys2 = (fractions * self.flux) ** 2
        self.sigma_lo = np.where(detected, np.sqrt(data.err_lo**2 + sys2), np.nan)
        self.sigma_hi = np.where(detected, np.sqrt(data.err_hi**2 + sys2), np.nan)
        self.sigma_ul = np.where(
            self.is_ul, self.flux * np.maximum(fractions, UL_MIN_WIDTH), np.nan
        )
        self.evaluations = 0

    def with_config(self, config: ModelConfig) -> ChiSquare:
        """The same statistic of another configuration of the model (coarser grids, say)."""
        other = copy.copy(self)
        other.config = config
        other.evaluations = 0
        return other

    @property
    def n_points(self) -> int:
        """The detections (upper limits do not count as degrees of freedom)."""
        return int(np.count_nonzero(~self.is_ul))

    def model_flux(self, x: Sequence[float] | np.ndarray) -> np.ndarray | None:
        """νF_ν of the model at the data's frequencies, or None where it cannot be evaluated."""
        self.evaluations += 1
        try:
            values = evaluate(self.config, self.params.values_at(x)).at(self.nu)
        except EVALUATION_ERRORS:
            return None
        if not np.all(np.isfinite(values)):
            return None
        return values

    def residuals(self, m: np.ndarray) -> np.ndarray:
        """(F − m)/σ of each detection with the side's error; for an upper limit, the one-sided
        (U − m)/σ_U where the model exceeds it, else 0."""
        detected = np.where(m > self.flux, self.sigma_hi, self.sigma_lo)
        with np.errstate(invalid="ignore"):
            r = np.where(self.is_ul, 0.0, (self.flux - m) / detected)
            above = self.is_ul & (m > self.flux)
            r[above] = (self.flux[above] - m[above]) / self.sigma_ul[above]
        return r

    def fisher(self, x: np.ndarray, step: float = 1e-3) -> np.ndarray | None:
        """JᵀJ of the weighted residuals at x (J by central differences of `step` in the fit
        form): the Gauss-Newton matrix, whose inverse is the parabolic covariance of a
        least-squares fit without the second derivatives of the model. It is never negative,
        and nearly singular where the data leave a direction free. Upper limits count where
        the model exceeds them. None where the model cannot be evaluated."""
        x = np.asarray(x, dtype=float)
        m0 = self.model_flux(x)
        if m0 is None:
            return None
        columns = []
        for i in range(x.size):
            shift = np.zeros(x.size)
            shift[i] = step
            up, down = self.model_flux(x + shift), self.model_flux(x - shift)
            if up is None or down is None:
                return None
            columns.append((up - down) / (2.0 * step))
        jacobian = np.array(columns).T  # points × parameters
        detected = ~self.is_ul
        sigma = np.where(m0 > self.flux, self.sigma_hi, self.sigma_lo)
        limited = self.is_ul & (m0 > self.flux)
        weights = np.where(detected, 1.0 / sigma, np.where(limited, 1.0 / self.sigma_ul, 0.0))
        weighted = jacobian * np.nan_to_num(weights)[:, None]
        fisher: np.ndarray = weighted.T @ weighted
        return fisher

    def statistic(self, m: np.ndarray) -> float:
        return float(np.sum(self.residuals(m) ** 2))

    def __call__(self, x: Sequence[float] | np.ndarray) -> float:
        m = self.model_flux(x)
        return math.inf if m is None else self.statistic(m)


@dataclass(frozen=True)
class Prior:
    """A prior on a parameter in its own unit: "uniform" on [a, b], "loguniform" on [a, b]
    (uniform in log10), or "gauss" with mean a and width b."""

    kind: str
    a: float
    b: float

    def logpdf(self, v: float) -> float:
        if self.kind == "gauss":
            z = (v - self.a) / self.b
            return -0.5 * z * z - math.log(self.b * math.sqrt(2.0 * math.pi))
        if not self.a <= v <= self.b:
            return -math.inf
        if self.kind == "uniform":
            width = self.b - self.a
            return -math.log(width) if math.isfinite(width) else 0.0
        return -math.log(v) - math.log(math.log(self.b / self.a))

    def describe(self) -> str:
        return f"{self.kind}:{self.a:g}:{self.b:g}"


def default_prior(p: Parameter) -> Prior:
    """Uniform in the fit form between the parameter's bounds."""
    return Prior("loguniform" if p.log10 else "uniform", p.min, p.max)


_PRIOR_KINDS = {"uniform": "uniform", "loguniform": "loguniform", "gauss": "gauss"}


def parse_prior(text: str, params: Any) -> tuple[str, Prior]:
    """NAME=KIND:A:B (kind uniform, loguniform or gauss; A and B in the parameter's unit, or
    with a unit of their own) as (name, Prior), or ParameterError."""
    name, sep, rest = text.partition("=")
    name = name.strip()
    parts = [s.strip() for s in rest.split(":")]
    if not sep or len(parts) != 3 or parts[0] not in _PRIOR_KINDS:
        raise ParameterError(
            f"prior: expected NAME=uniform:LOW:HIGH, NAME=loguniform:LOW:HIGH or"
            f" NAME=gauss:MEAN:SIGMA, got {text!r}"
        )
    p = params[name]
    kind = parts[0]
    a, b = (to_float(f"prior {name}", value, p.unit) for value in parts[1:])
    if not (math.isfinite(a) and math.isfinite(b)):
        raise ParameterError(f"prior {name}: {a:g} and {b:g} must be finite")
    if kind == "gauss" and not b > 0.0:
        raise ParameterError(f"prior {name}: the width must be positive (got {b:g})")
    if kind != "gauss" and not a < b:
        raise ParameterError(f"prior {name}: the lower end {a:g} must be below {b:g}")
    if kind == "loguniform" and not a > 0.0:
        raise ParameterError(f"prior {name}: a log-uniform prior needs a positive lower end")
    if kind != "gauss" and (b < p.min or a > p.max):
        raise ParameterError(
            f"prior {name}: [{a:g}, {b:g}] lies outside the bounds [{p.min:g}, {p.max:g}]"
        )
    return name, Prior(kind, a, b)


class LogPosterior:
    """log p(x) = Σ log prior + log Jacobian − χ²/2, on the free parameters in their fit form
    (−inf outside the priors or where the model cannot be evaluated). Picklable."""

    def __init__(self, chi2: ChiSquare, priors: Sequence[Prior]) -> None:
        params = chi2.params
        self.chi2 = chi2
        self.priors = tuple(priors)
        self.log10 = tuple(params[name].log10 for name in chi2.names)

    def log_prior(self, x: Sequence[float] | np.ndarray) -> float:
        total = 0.0
        for value, prior, log10 in zip(x, self.priors, self.log10, strict=True):
            if not math.isfinite(value):
                return -math.inf
            if log10:
                if abs(value) > 300.0:
                    return -math.inf
                v = 10.0**value
                total += prior.logpdf(v) + math.log(v * _LN10)
            else:
                total += prior.logpdf(value)
        return total

    def admissible(self, x: Sequence[float] | np.ndarray) -> bool:
        """Inside the priors and accepted by the model's parameters (no evaluation)."""
        if not math.isfinite(self.log_prior(x)):
            return False
        try:
            self.chi2.params.values_at(x)
        except ParameterError:
            return False
        return True

    def __call__(self, x: np.ndarray) -> float:
        lp = self.log_prior(x)
        if not math.isfinite(lp):
            return -math.inf
        return lp - 0.5 * self.chi2(x)
