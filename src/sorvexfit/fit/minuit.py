"""Least squares with iminuit: migrad, then hesse, and minos on request.

The parameters are those of the model's fit form (log10 where a parameter says so), within
their bounds. A point where the model cannot be evaluated gets a χ² of INVALID_CHI2, a wall
that migrad steps back from.

The fit is valid when migrad's minimum is (its estimated distance to the minimum below the
goal, within the call limit). Its errors are those of hesse where hesse's covariance is
accurate. Where the χ² valley is curved or flat (B, δ and n_e of a one-zone fit are strongly
correlated, and a band missing from the data leaves directions free), hesse's matrix of
second derivatives is not positive at its steps, and the covariance it forces positive (by
adding to its diagonal) hides exactly those directions. The errors then come from the
Gauss-Newton matrix JᵀJ of the weighted residuals (`ChiSquare.fisher`), which is never
negative and shows a free direction as a large error; an interval reaching past a bound stops
there. An MCMC gives the posterior.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from .likelihood import ChiSquare

__all__ = ["INVALID_CHI2", "Interrupted", "LeastSquares", "least_squares"]

INVALID_CHI2 = 1e30


class Interrupted(Exception):
    """The fit was asked to stop (a signal) before it finished."""


@dataclass
class LeastSquares:
    """The outcome of migrad/hesse (and minos): all arrays in the fit form."""

    x: np.ndarray
    errors: np.ndarray  # hesse (parabolic) errors
    lower: np.ndarray  # minos lower errors (negative), or −errors without minos
    upper: np.ndarray
    covariance: np.ndarray | None
    chi2: float
    evaluations: int
    valid: bool  # migrad's minimum is valid
    accurate: bool  # and hesse's covariance is accurate
    message: str
    minos: bool
    error_method: str = "hesse"  # "hesse", "Gauss-Newton" or "minos"


def least_squares(
    chi2: ChiSquare,
    x0: np.ndarray,
    bounds: Sequence[tuple[float, float]],
    *,
    minos: bool = False,
    stop: Callable[[], bool] | None = None,
    tolerance: float = 0.1,
    hesse: bool = True,
    steps: np.ndarray | None = None,
    retries: int = 2,
    strategy: int = 1,
) -> LeastSquares:
    """migrad from x0 within the bounds, to iminuit's `tolerance` (its EDM goal is 2e-3 ×
    tolerance), then hesse (with `hesse`) and minos (with `minos`). `steps`: migrad's first
    steps (default a tenth of a decade, or of the range). A migrad that stops short of its goal
    (its call limit, or an estimated distance to the minimum above the goal: a nearly free
    direction lengthens the descent) goes on from where it stopped, `retries` times at most.
    `strategy`: migrad's (0 spends fewer evaluations on the gradient and the matrix)."""
    from iminuit import Minuit

    names = list(chi2.names)

    def fcn(x: np.ndarray) -> float:
        if stop is not None and stop():
            raise Interrupted("least squares interrupted")
        value = chi2(x)
        return value if math.isfinite(value) else INVALID_CHI2

    minuit = Minuit(fcn, np.asarray(x0, dtype=float), name=names)
    minuit.errordef = Minuit.LEAST_SQUARES
    minuit.limits = [tuple(b) for b in bounds]
    if steps is not None and np.all(np.isfinite(steps)) and np.all(np.asarray(steps) > 0):
        minuit.errors = [float(s) for s in steps]
    else:
        minuit.errors = [_step(x, b) for x, b in zip(x0, bounds, strict=True)]
    minuit.print_level = 0
    minuit.tol = tolerance
    minuit.strategy = strategy
    minuit.migrad()
    for _ in range(retries):
        fmin = minuit.fmin
        if minuit.valid or not (fmin.has_reached_call_limit or fmin.is_above_max_edm):
            break
        minuit.migrad()
    if minuit.valid and hesse:
        minuit.hesse()
        if not minuit.accurate:
            # Hesse steps by migrad's error estimates, poor along strongly correlated directions
            # (B, δ and n_e of an SSC fit); once more, it steps by its own first errors. On 18
            # simulated SSC fits this turned 1-3 forced-positive covariances into accurate ones.
            minuit.hesse()
    valid = bool(minuit.valid)
    accurate = bool(valid and minuit.accurate)
    x = np.array(minuit.values)
    errors = np.array(minuit.errors)
    lower, upper = -errors, errors.copy()
    ran_minos = False
    if minos and valid:
        minuit.minos()
        ran_minos = True
        lower = np.array([minuit.merrors[n].lower for n in names])
        upper = np.array([minuit.merrors[n].upper for n in names])
    covariance = np.array(minuit.covariance) if minuit.covariance is not None else None
    method = "minos" if ran_minos else "hesse"
    evaluations = int(minuit.nfcn)  # every call: migrad's, hesse's and minos'.
    if valid and hesse and not accurate and not ran_minos:
        evaluations += 2 * len(names) + 1
        fisher = chi2.fisher(x)
        low = np.array([b[0] for b in bounds])
        high = np.array([b[1] for b in bounds])
        if fisher is not None and np.all(np.isfinite(fisher)):
            # A free direction has no curvature: the box, as a weak prior as wide as itself,
            # bounds its variance (and changes nothing where the data constrain).
            width = np.where(np.isfinite(high - low), high - low, 1e6)
            covariance = np.linalg.inv(fisher + np.diag(1.0 / width**2))
            errors = np.sqrt(np.maximum(np.diag(covariance), 0.0))
            lower = np.maximum(x - errors, low) - x
            upper = np.minimum(x + errors, high) - x
            method = "Gauss-Newton"
    return LeastSquares(
        x,
        errors,
        lower,
        upper,
        covariance,
        float(minuit.fval),
        evaluations,
        valid,
        accurate,
        _message(minuit),
        ran_minos,
        method,
    )


def _step(x: float, bounds: tuple[float, float]) -> float:
    """An initial step: a tenth of a decade for log10 forms and most indices, at most a tenth
    of the bounded range."""
    low, high = bounds
    step = 0.1 * max(abs(x), 1.0) if abs(x) > 10.0 else 0.1
    if math.isfinite(high - low):
        step = min(step, 0.1 * (high - low))
    return step


def _message(minuit: object) -> str:
    fmin = getattr(minuit, "fmin", None)
    if fmin is None:
        return "migrad did not run"
    if fmin.is_valid and getattr(minuit, "accurate", False):
        return f"migrad converged (EDM {fmin.edm:.2g}, {fmin.nfcn} evaluations)"
    if fmin.is_valid:
        return (
            f"migrad converged (EDM {fmin.edm:.2g}, {fmin.nfcn} evaluations); hesse's matrix"
            " is not positive (strongly correlated or nearly free parameters): the errors are"
            " those of the Gauss-Newton matrix; --method mcmc gives the posterior"
        )
    reasons = [
        text
        for flag, text in (
            (fmin.has_reached_call_limit, "it reached its call limit"),
            (
                fmin.is_above_max_edm,
                f"the estimated distance to the minimum {fmin.edm:.2g} is above its goal",
            ),
            (not fmin.has_covariance, "it has no covariance matrix"),
            (fmin.has_made_posdef_covar, "the covariance matrix had to be forced positive"),
            (fmin.hesse_failed, "hesse failed"),
            (fmin.has_parameters_at_limit, "a parameter is at its limit"),
        )
        if flag
    ]
    if fmin.is_valid and not reasons:
        reasons = ["the covariance matrix is not accurate"]
    return "migrad did not converge: " + ("; ".join(reasons) or "the minimum is not valid")
