"""One fit of one source, end to end: `run_fit(data_path, options, out_dir, pool=None)`.

It reads the flux points, builds the model, fits it by least squares (iminuit) or by MCMC
(emcee, started from the least-squares fit), and writes into `out_dir`:

- result.ecsv: one row per parameter, the fit statistic in the metadata (`results`);
- sed.png: the data, the best model and its components, the 68 % band and the residuals;
- for MCMC, chain.h5 (the whole chain, resumable) and corner.png.

`options` is a `FitOptions`, the options of `sorvexfit fit`. Bad input (an unreadable file,
an unknown parameter, a bad option) raises `DataError` or `ParameterError` before anything is
written. A fit that runs returns a `FitResult` whose status says whether it converged; only a
converged fit is a success. `pool` is any object with `map(fn, iterable)` (a process pool, a
Dask pool); it computes the walkers' log-posteriors and the model band, and never draws random
numbers, so that a seed gives the same result with any pool.
"""

from __future__ import annotations

import hashlib
import math
import time
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ..backend import KERNEL_STOPS
from ..distributions import ConvergenceError
from ..model import BlobModel, model_from_options
from ..parameters import ParameterError, to_float
from .data import FluxPoints, read_flux_points
from .likelihood import (
    EVALUATION_ERRORS,
    ChiSquare,
    LogPosterior,
    Prior,
    default_prior,
    parse_prior,
)
from .mcmc import MIN_ACCEPTANCE, TAU_FACTOR, Chain, run_chain, stored_steps
from .minuit import Interrupted, LeastSquares, least_squares
from .results import FitResult, ParameterResult, write_table
from .systematics import parse_systematics

__all__ = ["FitOptions", "check_options", "run_fit"]

METHODS = ("minuit", "mcmc")


@dataclass(frozen=True)
class FitOptions:
    """The options of `sorvexfit fit` (see `sorvexfit fit --help`). Picklable.

    values: (NAME, VALUE) pairs to set before the fit (starting values and frozen values);
    free: the parameters to fit (None: the model's default free set); priors: "NAME=KIND:A:B";
    fit_range: "LOW,HIGH" observed frequencies or energies with units, either end may be empty.
    """

    model: str = "ssc"
    free: tuple[str, ...] | None = None
    values: tuple[tuple[str, str], ...] = ()
    method: str = "minuit"
    walkers: int = 32
    steps: int = 1000
    burn: int | None = None
    seed: int = 1
    resume: bool = False
    ebl: str | None = None
    systematics: str = "default"
    priors: tuple[str, ...] = ()
    fit_range: str | None = None
    minos: bool = False
    band_samples: int = 100
    progress: bool = False
    electrons: str = "broken_power_law"
    steady_state: bool = False
    ec_frame: str = "blob"
    backend: str = "exact"
    n_gamma: int = 100
    n_nu: int = 120
    nu_min: float = 1e8
    nu_max: float = 1e28


def streams(seed: int) -> list[np.random.SeedSequence]:
    """The independent random streams of a fit: starting positions, emcee's moves, the band."""
    return np.random.SeedSequence(seed).spawn(3)


class GridSed:
    """The model's total νF_ν on its grid at a point of the fit form (None where it cannot be
    evaluated); picklable, for the band."""

    def __init__(self, model: BlobModel) -> None:
        self.model = model

    def __call__(self, x: np.ndarray) -> np.ndarray | None:
        try:
            self.model.params.set_vector(x)
            total = self.model.evaluate().seds["total"]
        except EVALUATION_ERRORS:
            return None
        return total if np.all(np.isfinite(total)) else None


@dataclass
class _Setup:
    data: FluxPoints
    used: np.ndarray
    model: BlobModel
    fractions: np.ndarray
    chi2: ChiSquare
    posterior: LogPosterior
    meta: dict[str, Any]


def run_fit(
    data_path: str | Path,
    options: FitOptions,
    out_dir: str | Path,
    *,
    pool: Any = None,
    stop: Callable[[], bool] | None = None,
) -> FitResult:
    """Fits one source and writes its result directory (module documentation). `stop`, if
    given, is polled during the fit; when it returns True the fit ends early with the status
    "interrupted" (an MCMC chain keeps its whole steps for --resume)."""
    started = time.perf_counter()
    setup = _prepare(Path(data_path), options)
    out = Path(out_dir)
    model, chi2 = setup.model, setup.chi2
    x0 = model.params.vector()
    chain_path = out / "chain.h5"
    # A chain that cannot be continued is refused before anything is touched; one without a
    # step starts again from the least-squares fit, as an unbroken run does.
    resuming = (
        options.method == "mcmc"
        and options.resume
        and stored_steps(
            chain_path, options.walkers, len(x0), options.steps, _fingerprint(options, setup)
        )
        > 0
    )
    out.mkdir(parents=True, exist_ok=True)
    (out / "result.ecsv").unlink(missing_ok=True)  # its presence marks a finished fit

    failure = _evaluation_failure(model)
    if failure is not None:
        return FitResult(
            "failed",
            f"the model cannot be evaluated at the starting values: {failure}",
            options.method,
            out_dir=str(out),
        )
    bounds = model.params.vector_bounds()

    ls: LeastSquares | None = None
    try:
        if not resuming:
            ls = least_squares(chi2, x0, bounds, minos=options.minos, stop=stop)
    except Interrupted:
        return FitResult(
            "interrupted",
            "stopped during the least-squares fit",
            options.method,
            out_dir=str(out),
            wall_time=time.perf_counter() - started,
        )
    evaluations = chi2.evaluations

    if options.method == "minuit":
        assert ls is not None
        best, median, lower, upper = ls.x, ls.x, ls.x + ls.lower, ls.x + ls.upper
        status = "converged" if ls.valid else "not converged"
        message = ls.message
        covariance = ls.covariance
        samples = _gaussian_draws(ls, options)
        setup.meta.update({"minos": ls.minos, "edm_goal_reached": ls.valid})
    else:
        centre = ls.x if ls is not None else x0
        start_cov = _start_covariance(ls, len(x0))
        if chain_path.exists() and not options.resume:
            chain_path.unlink()
        try:
            chain = run_chain(
                setup.posterior,
                centre,
                start_cov,
                walkers=options.walkers,
                steps=options.steps,
                seed=options.seed,
                path=chain_path,
                resume=options.resume,
                fingerprint=_fingerprint(options, setup),
                pool=pool,
                progress=options.progress,
                stop=stop,
            )
        except ValueError as error:  # emcee's own checks, e.g. walkers that are not independent
            if isinstance(error, ParameterError):
                raise
            return FitResult("failed", f"mcmc: {error}", options.method, out_dir=str(out))
        evaluations += chain.evaluations
        if chain.interrupted:
            return FitResult(
                "interrupted",
                f"stopped after {chain.steps} of {options.steps} steps; the chain is in"
                f" {chain_path}: continue it with --resume",
                options.method,
                out_dir=str(out),
                evaluations=evaluations,
                wall_time=time.perf_counter() - started,
            )
        flat, logp, burn = _posterior_samples(chain, options)
        best = flat[int(np.argmax(logp))]
        lower, median, upper = np.percentile(flat, [16.0, 50.0, 84.0], axis=0)
        status, message = _chain_status(chain, model.params.free)
        covariance = np.atleast_2d(np.cov(flat, rowvar=False))
        rng = np.random.default_rng(streams(options.seed)[2])
        take = rng.choice(len(flat), size=min(options.band_samples, len(flat)), replace=False)
        samples = flat[take]
        setup.meta.update(_chain_meta(chain, burn, model.params.free, ls))
        from .plots import plot_corner

        plot_corner(
            out / "corner.png",
            flat,
            [_label(model, name) for name in model.params.free],
            list(best),
        )

    # The best model, its statistic, components, band and residuals.
    model.params.set_vector(best)
    evaluation = model.evaluate()
    m_all = evaluation.at(setup.data.nu)
    full = ChiSquare(model, setup.data, setup.fractions)
    statistic = chi2.statistic(m_all[setup.used])
    band, band_evaluations = _band(model, samples, pool)
    dof = chi2.n_points - len(best)
    parameters = _parameter_results(model, best, median, lower, upper)
    setup.meta.update(
        {
            "p_value": _p_value(statistic, dof),
            "band_evaluations": band_evaluations,
            "radius_cm": evaluation.radius,
            "doppler": evaluation.doppler,
        }
    )
    result = FitResult(
        status,
        message,
        options.method,
        parameters,
        statistic,
        dof,
        evaluations,
        time.perf_counter() - started,
        covariance,
        str(out),
        setup.meta,
    )
    from .plots import plot_sed

    plot_sed(
        out / "sed.png",
        setup.data,
        setup.used,
        full.residuals(m_all),
        evaluation.nu,
        evaluation.seds,
        band,
        f"{setup.data.name}: {model.name}, {options.method} ({status}), "
        f"χ²/dof = {statistic:.1f}/{dof}",
    )
    write_table(result, out / "result.ecsv")
    return result


# ---------------------------------------------------------------------------------------------
# Setting up


def _prepare(path: Path, options: FitOptions) -> _Setup:
    """Reads and checks everything before the fit: DataError or ParameterError."""
    _check_options(options)
    data = read_flux_points(path)
    model = _model(options)
    if not any(name == "z" for name, _ in options.values):
        if data.redshift is None:
            raise ParameterError(
                f"z: {path.name} gives no redshift in its metadata; set it with --set z=VALUE"
            )
        model.params.set(z=data.redshift)
    free = model.params.free

    used = _in_range(data, options.fit_range)
    low, high = model.nu_grid[0], model.nu_grid[-1]
    if data.nu[used].min() < low or data.nu[used].max() > high:
        raise ParameterError(
            f"nu_min/nu_max: the data span {data.nu[used].min():.3g} to "
            f"{data.nu[used].max():.3g} Hz, beyond the model's grid {low:.3g} to {high:.3g} Hz"
        )
    systematics = parse_systematics(options.systematics, data)
    fractions = systematics.fractions(data)
    fitted = data.select(used)
    chi2 = ChiSquare(model, fitted, fractions[used])
    if chi2.n_points <= len(free):
        raise ParameterError(
            f"free: {chi2.n_points} flux points (upper limits aside) cannot constrain"
            f" {len(free)} free parameters"
        )
    priors = _priors(model, options.priors)
    posterior = LogPosterior(chi2, [priors[name] for name in free])
    meta: dict[str, Any] = {
        "data": str(path),
        "source": data.name,
        "redshift": model.params["z"].value,
        "n_points": chi2.n_points,
        "n_upper_limits": int(np.count_nonzero(fitted.is_ul)),
        "n_excluded": int(np.count_nonzero(~used)),
        "fit_range": options.fit_range or "",
        "systematics": systematics.describe(),
        "model": model.name,
        "electrons": model.electrons.kind,
        "steady_state": model.steady_state,
        "ebl": model.ebl.model if model.ebl is not None else None,
        "backend": model.backend,
        "free": free,
        "priors": {name: priors[name].describe() for name in free},
        "options": asdict(options),
    }
    return _Setup(data, used, model, fractions, chi2, posterior, meta)


def check_options(options: FitOptions) -> None:
    """What `run_fit` checks before it reads the data (the options, the model's values, the
    free parameters and the priors): ParameterError, as every source would raise it."""
    _check_options(options)
    _priors(_model(options), options.priors)


def _model(options: FitOptions) -> BlobModel:
    """The model of the options with its free parameters."""
    model = model_from_options(options)
    if options.free is not None:
        for name in options.free:
            model.params[name]  # an unknown name raises ParameterError
        model.params.freeze(*model.params)
        model.params.thaw(*options.free)
    free = model.params.free
    if not free:
        raise ParameterError("free: no free parameter to fit")
    if options.method == "mcmc" and options.walkers < 2 * len(free):
        raise ParameterError(
            f"walkers = {options.walkers}: the ensemble needs at least twice the"
            f" {len(free)} free parameters ({2 * len(free)})"
        )
    return model


def _check_options(options: FitOptions) -> None:
    if options.method not in METHODS:
        raise ParameterError(f"method: unknown method {options.method!r} (known: minuit, mcmc)")
    for name, value, least in (
        ("walkers", options.walkers, 2),
        ("steps", options.steps, 1),
        ("seed", options.seed, 0),
        ("band_samples", options.band_samples, 0),
    ):
        if isinstance(value, bool) or not isinstance(value, int) or value < least:
            raise ParameterError(f"{name} = {value!r}: must be a whole number ≥ {least}")
    if options.burn is not None and not 0 <= options.burn < options.steps:
        raise ParameterError(f"burn = {options.burn!r}: must lie in 0..steps-1")


def _in_range(data: FluxPoints, bounds: str | None) -> np.ndarray:
    """The points whose frequency lies in the range "LOW,HIGH" (either end may be empty)."""
    used = np.ones(len(data), dtype=bool)
    if not bounds:
        return used
    ends = bounds.split(",")
    if len(ends) != 2:
        raise ParameterError(f"fit_range: expected LOW,HIGH, got {bounds!r}")
    for text, keep in zip(ends, (np.greater_equal, np.less_equal), strict=True):
        if text.strip():
            limit = to_float("fit_range", text.strip(), "Hz")
            used &= keep(data.nu, limit)
    if not np.any(used & ~data.is_ul):
        raise ParameterError(f"fit_range: no flux point lies in {bounds!r}")
    return used


def _priors(model: BlobModel, texts: Sequence[str]) -> dict[str, Prior]:
    priors = {name: default_prior(p) for name, p in model.params.items()}
    for text in texts:
        name, prior = parse_prior(text, model.params)
        if model.params[name].frozen:
            raise ParameterError(f"prior {name}: the parameter is not free")
        priors[name] = prior
    return priors


def _evaluation_failure(model: BlobModel) -> str | None:
    try:
        model.evaluate()
    except ConvergenceError as error:
        return str(error)
    except KERNEL_STOPS as error:
        return f"kernel stopped: {error}"
    return None


def _fingerprint(options: FitOptions, setup: _Setup) -> dict[str, Any]:
    """What defines the posterior a chain samples: refused on resume if it changed."""
    keep = dict(asdict(options))
    for name in ("steps", "resume", "progress", "burn", "band_samples", "minos"):
        keep.pop(name)
    keep["data_sha256"] = hashlib.sha256(Path(setup.meta["data"]).read_bytes()).hexdigest()
    return {k: v if not isinstance(v, tuple) else list(v) for k, v in keep.items()}


# ---------------------------------------------------------------------------------------------
# Summaries


def _start_covariance(ls: LeastSquares | None, ndim: int) -> np.ndarray:
    """The covariance of the starting ball: the least-squares one, else 0.1 in each fit form."""
    if ls is not None and ls.covariance is not None and np.all(np.isfinite(ls.covariance)):
        return ls.covariance
    if ls is not None and np.all(np.isfinite(ls.errors)) and np.all(ls.errors > 0):
        return np.diag(ls.errors**2)
    return np.diag(np.full(ndim, 0.01))


def _gaussian_draws(ls: LeastSquares, options: FitOptions) -> np.ndarray:
    """Draws of the Gaussian approximation at the least-squares fit, for the band."""
    if ls.covariance is None or options.band_samples == 0 or not ls.valid:
        return np.empty((0, ls.x.size))
    rng = np.random.default_rng(streams(options.seed)[2])
    try:
        return rng.multivariate_normal(
            ls.x, ls.covariance, size=options.band_samples, method="cholesky"
        )
    except np.linalg.LinAlgError:
        return np.empty((0, ls.x.size))


def _band(
    model: BlobModel, samples: np.ndarray, pool: Any
) -> tuple[tuple[np.ndarray, np.ndarray] | None, int]:
    """The 16-84 % range of the total νF_ν over the samples, on the model's grid."""
    if len(samples) == 0:
        return None, 0
    mapper = pool.map if pool is not None else map
    totals = [t for t in mapper(GridSed(model), list(samples)) if t is not None]
    if len(totals) < 2:
        return None, len(samples)
    low, high = np.percentile(np.array(totals), [16.0, 84.0], axis=0)
    return (low, high), len(samples)


def _posterior_samples(chain: Chain, options: FitOptions) -> tuple[np.ndarray, np.ndarray, int]:
    """The samples after the burn-in (default: two autocorrelation times, at most half)."""
    tau = float(np.nanmax(chain.tau)) if np.any(np.isfinite(chain.tau)) else math.nan
    if options.burn is not None:
        burn = options.burn
    elif math.isfinite(tau):
        burn = min(chain.steps // 2, math.ceil(2.0 * tau))
    else:
        burn = chain.steps // 2
    flat = chain.chain[burn:].reshape(-1, chain.chain.shape[-1])
    logp = chain.log_prob[burn:].reshape(-1)
    return flat, logp, burn


def _chain_status(chain: Chain, names: list[str]) -> tuple[str, str]:
    acceptance = float(np.mean(chain.acceptance))
    tau = chain.tau
    finite = np.isfinite(tau)
    worst = int(np.nanargmax(tau)) if np.any(finite) else 0
    tau_max = float(tau[worst]) if np.any(finite) else math.nan
    # τ = 0: a chain too short to estimate it (walkers that have not moved yet)
    lengths = chain.steps / tau_max if math.isfinite(tau_max) and tau_max > 0.0 else 0.0
    facts = (
        f"{chain.steps} steps of {chain.chain.shape[1]} walkers, acceptance {acceptance:.2f},"
        f" longest autocorrelation time {tau_max:.3g} steps ({names[worst]})"
    )
    if acceptance < MIN_ACCEPTANCE:
        return "not converged", f"the walkers are stuck: {facts}"
    if not lengths >= TAU_FACTOR:
        return "not converged", (
            f"the chain is {lengths:.1f} autocorrelation times long, fewer than {TAU_FACTOR}:"
            f" {facts}; continue it with --resume and more --steps"
        )
    return "converged", f"the chain is {lengths:.0f} autocorrelation times long: {facts}"


def _chain_meta(
    chain: Chain, burn: int, names: list[str], ls: LeastSquares | None
) -> dict[str, Any]:
    meta: dict[str, Any] = {
        "walkers": int(chain.chain.shape[1]),
        "steps": chain.steps,
        "burn": burn,
        "acceptance": float(np.mean(chain.acceptance)),
        "tau": {name: float(t) for name, t in zip(names, chain.tau, strict=True)},
        "resumed_from": chain.resumed_from,
    }
    if ls is not None:
        meta["least_squares"] = {"chi2": ls.chi2, "valid": ls.valid, "message": ls.message}
    return meta


def _label(model: BlobModel, name: str) -> str:
    p = model.params[name]
    unit = f" [{p.unit}]" if p.unit else ""
    return f"log10 {name}{unit}" if p.log10 else f"{name}{unit}"


def _parameter_results(
    model: BlobModel, best: np.ndarray, median: np.ndarray, lower: np.ndarray, upper: np.ndarray
) -> dict[str, ParameterResult]:
    """Every parameter, free ones from the fit (fit form mapped to the parameter's unit)."""
    free = {name: i for i, name in enumerate(model.params.free)}
    results = {}
    for name, p in model.params.items():
        if name in free:
            i = free[name]
            fit_best = float(best[i])
            q16, q84 = float(lower[i]), float(upper[i])
            value = p.from_internal(fit_best)
            low, high = p.from_internal(q16), p.from_internal(q84)
            results[name] = ParameterResult(
                name,
                p.unit,
                True,
                p.log10,
                value,
                0.5 * (high - low),
                p.from_internal(float(median[i])),
                low,
                high,
                fit_best,
                0.5 * (q84 - q16),
            )
        else:
            v = p.value
            results[name] = ParameterResult(
                name, p.unit, False, p.log10, v, 0.0, v, v, v, p.internal, 0.0
            )
    return results


def _p_value(chi2: float, dof: int) -> float:
    if not (math.isfinite(chi2) and dof > 0):
        return math.nan
    from scipy.stats import chi2 as distribution

    return float(distribution.sf(chi2, dof))
