"""One fit of one source, end to end: `run_fit(data_path, options, out_dir, pool=None)`.

The fit runs in stages that pass one `FitState` along:

1. `read`: the flux points, the model (its frozen configuration and starting values), the free
   parameters, the χ² and the posterior, all checked (`FitProblem`); bad input raises
   `DataError` or `ParameterError` before anything is written;
2. `least_squares`: iminuit's migrad and hesse from the starting values;
3. `mcmc` (with `method="mcmc"`): emcee, started from the least-squares fit, its chain in
   `chain.h5`;
4. `write`: the best model, its statistic and band, and the files in `out_dir`:
   result.ecsv (one row per parameter, the fit statistic in the metadata), sed.png (the data,
   the best model and its components, the 68 % band and the residuals), and for MCMC
   corner.png.

`out_dir` is checked before the data are read and locked for the run
(`sorvexfit.folders.ResultFolder`): the stages write into its work folder, and the new files
replace the previous result only once all are written. Warnings and log lines of the libraries
are caught (`sorvexfit.caught`) and summarised in the result's `meta["warnings"]`.

A stage that ends the fit early (the model cannot be evaluated at the start, a signal, a
chain emcee refuses) sets the state's status; only `Status.CONVERGED` is a success. `pool` is
any object with `map(fn, iterable)` (a process pool, a Dask pool); it computes the walkers'
log-posteriors and the model band, and never draws random numbers, so that a seed gives the
same result with any pool.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

import numpy as np

from ..backend import KERNEL_STOPS
from ..caught import catch_noise
from ..config import ModelConfig, parameters
from ..evaluation import evaluate
from ..files import WriteError, write_error
from ..folders import ResultFolder, check_out
from ..parameters import ParameterError, Parameters, to_float
from ..steady import ConvergenceError
from .data import DataError, FluxPoints, read_flux_points
from .defaults import FIT_FREE, RADIO_LIMIT, fit_bounds, parse_bounds
from .likelihood import ChiSquare, LogPosterior, ModelGrid, Prior, default_prior, parse_prior
from .mcmc import (
    MIN_ACCEPTANCE,
    TAU_FACTOR,
    Chain,
    check_chain_space,
    run_chain,
    steps_in,
    stored_steps,
)
from .minuit import Interrupted, LeastSquares
from .options import FitOptions, data_digest, identity
from .results import FitResult, ParameterResult, Status, write_table
from .search import search
from .systematics import band_of, parse_systematics

__all__ = ["FitProblem", "FitState", "check_options", "read", "run_fit"]


# The least grids of the global stage's scan (electron and frequency points).
COARSE_GRID = (32, 48)


def streams(seed: int) -> list[np.random.SeedSequence]:
    """The independent random streams of a fit: starting positions, emcee's moves, the band."""
    return np.random.SeedSequence(seed).spawn(3)


@dataclass
class FitProblem:
    """What a fit needs, read and checked: the data, the model's configuration and starting
    parameters (with their free set), the statistic on the fitted points and the posterior."""

    path: Path
    data: FluxPoints
    used: np.ndarray  # the points inside the fit range
    config: ModelConfig
    params: Parameters
    fractions: np.ndarray  # systematic fraction of every point
    chi2: ChiSquare
    posterior: LogPosterior
    identity: dict[str, Any]
    meta: dict[str, Any]


@dataclass
class FitState:
    """What the stages pass along: the verdict so far (`status`, `message`; `stopped` when a
    stage ended the fit before its result could be written) and the estimates in the fit form
    (best, median and 16-84 % quantiles, covariance, draws for the band)."""

    status: Status | None = None
    message: str = ""
    stopped: bool = False
    ls: LeastSquares | None = None
    chain: Chain | None = None
    best: np.ndarray | None = None
    median: np.ndarray | None = None
    lower: np.ndarray | None = None
    upper: np.ndarray | None = None
    covariance: np.ndarray | None = None
    samples: np.ndarray | None = None
    evaluations: int = 0
    meta: dict[str, Any] = field(default_factory=dict)

    def estimates(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """best, median, 16 % and 84 % quantiles in the fit form, as a stage set them."""
        if self.best is None or self.median is None or self.lower is None or self.upper is None:
            raise RuntimeError("the fit has no estimates to write")
        return self.best, self.median, self.lower, self.upper

    def end(self, status: Status, message: str) -> FitState:
        """Ends the fit here (nothing is written but the chain)."""
        self.status, self.message, self.stopped = status, message, True
        return self


def run_fit(
    data_path: str | Path,
    options: FitOptions,
    out_dir: str | Path,
    *,
    pool: Any = None,
    stop: Callable[[], bool] | None = None,
    wait: bool = False,
) -> FitResult:
    """Fits one source and writes its result directory (module documentation). `stop`, if
    given, is polled during the fit; when it returns True the fit ends early with the status
    "interrupted" (an MCMC chain keeps its whole steps for --resume). One run at a time writes
    into `out_dir`: FolderBusy if another holds it, unless `wait`. WriteError when the file
    system refuses a file; the previous result in `out_dir` stays whole until the new one is."""
    started = time.perf_counter()
    out = check_out(out_dir)
    with catch_noise() as noise:
        problem = read(data_path, options)
        with ResultFolder(out, wait=wait, stop=stop) as folder:
            try:
                result = _fit_into(problem, options, folder, pool, stop, started)
            except WriteError as error:
                raise write_error(error, _kept(folder)) from None
    if noise.counts:
        result.meta["warnings"] = noise.summary()
    return result


def _kept(folder: ResultFolder) -> str:
    """What a fit that could not write its files leaves, in words."""
    note = f" (the previous result in {folder.out} is as it was"
    chain = folder.work / "chain.h5"
    steps = steps_in(chain)
    if steps > 0:
        note += f"; the chain keeps its {steps} whole steps in {chain}: continue it with --resume"
    return note + ")"


def _fit_into(
    problem: FitProblem,
    options: FitOptions,
    folder: ResultFolder,
    pool: Any,
    stop: Callable[[], bool] | None,
    started: float,
) -> FitResult:
    """The stages, writing into the folder's work folder, and the new result moved in."""
    resuming = _resuming(problem, options, folder.chain_to_continue().parent)
    out = folder.start(keep_chain=options.method == "mcmc" and options.resume)
    if options.method == "mcmc":
        check_chain_space(folder.out, options.walkers, len(problem.params.free), options.steps)

    state = FitState()
    failure = _evaluation_failure(problem)
    if failure is not None:
        state.end(Status.FAILED, f"the model cannot be evaluated at the starting values: {failure}")
    if not state.stopped and not resuming:
        state = least_squares_stage(problem, options, state, pool, stop)
    if not state.stopped and options.method == "mcmc":
        state = mcmc_stage(problem, options, state, out, pool, stop)
    if state.stopped:
        assert state.status is not None
        return FitResult(
            state.status,
            state.message,
            options.method,
            out_dir=str(folder.out),
            evaluations=state.evaluations,
            wall_time=time.perf_counter() - started,
        )
    result = write_stage(problem, options, state, out, pool, started)
    folder.publish()
    result.out_dir = str(folder.out)
    return result


# ---------------------------------------------------------------------------------------------
# 1. Reading


def read(path: str | Path, options: FitOptions) -> FitProblem:
    """Reads and checks everything before the fit: DataError or ParameterError."""
    path = Path(path)
    data, radio = radio_points(read_flux_points(path), options.radio)
    config = options.config
    params = _starting_parameters(options)
    given = {name for name, _ in options.values}
    if "z" not in given:
        if data.redshift is None:
            raise ParameterError(
                f"z: {path.name} gives no redshift in its metadata; set it with --set z=VALUE"
            )
        params.set(z=data.redshift)
    start, start_notes = _analytic_start(data, config, params, given)
    notes = [*data.notes, *start_notes]
    params = fit_bounds(params, config.ec_frame, parse_bounds(options.bounds, params))
    free = params.free

    used = _in_range(data, options.fit_range)
    if options.radio == "ignore":
        used &= data.nu >= RADIO_LIMIT
    low, high = config.nu_range
    if data.nu[used].min() < low or data.nu[used].max() > high:
        raise ParameterError(
            f"nu_min/nu_max: the data span {data.nu[used].min():.3g} to "
            f"{data.nu[used].max():.3g} Hz, beyond the model's grid {low:.3g} to {high:.3g} Hz"
        )
    systematics = parse_systematics(options.systematics, data)
    fractions = systematics.fractions(data)
    fitted = data.select(used)
    chi2 = ChiSquare(config, params, fitted, fractions[used])
    priors = _priors(params, options.priors)
    if chi2.n_points <= len(free):
        raise ParameterError(
            f"free: {chi2.n_points} flux points (upper limits aside) cannot constrain"
            f" {len(free)} free parameters"
        )
    posterior = LogPosterior(chi2, [priors[name] for name in free])
    meta: dict[str, Any] = {
        "data": str(path),
        "source": data.name,
        "redshift": params["z"].value,
        "n_points": chi2.n_points,
        "n_upper_limits": int(np.count_nonzero(fitted.is_ul)),
        "n_excluded": int(np.count_nonzero(~used)),
        "radio": radio,
        "start": start,
        "notes": notes,
        "fit_range": options.fit_range or "",
        "systematics": systematics.describe(),
        "model": config.name,
        "electrons": config.distribution.kind,
        "steady_state": config.steady_state,
        "ebl": config.ebl,
        "backend": config.backend,
        "free": free,
        "bounds": {name: [params[name].min, params[name].max] for name in free},
        "priors": {name: priors[name].describe() for name in free},
        "options": options.describe(),
    }
    fit_identity = identity(options, data_digest(path))
    return FitProblem(
        path, data, used, config, params, fractions, chi2, posterior, fit_identity, meta
    )


def _analytic_start(
    data: FluxPoints, config: ModelConfig, params: Parameters, given: set[str]
) -> tuple[str, list[str]]:
    """Sets the parameters the options did not give to the analytic starting point of the
    observed SED (`sorvexfit.fit.start`); returns how the start was found, in one line, and
    the notes of reading the SED."""
    from .start import starting_point

    t_var = params["t_var"].value if "t_var" in params else 86400.0
    options = {
        "backend": config.backend,
        "n_gamma": config.n_gamma,
        "n_nu": config.n_nu,
        "nu_range": config.nu_range,
        "cosmology": config.cosmology,
        "ec_frame": config.ec_frame,
        "fields": config.fields,
    }
    normalised = config.distribution.kind == "broken_power_law" and not config.steady_state
    try:
        start = starting_point(
            data,
            config.kind,
            t_var=t_var,
            redshift=params["z"].value,
            ebl=config.ebl,
            model_options=options,
            normalise=normalised,
        )
    except (DataError, ParameterError) as error:
        return f"the model's defaults (no analytic start: {error})", []
    values = start.as_dict()
    if "p" in params and "p" not in values:
        values["p"] = values["p1"]  # one index: the one below the break, where most electrons are
    if not normalised:
        values.pop("n_e", None)
    chosen = {
        name: value
        for name, value in values.items()
        if name in params and name not in given and name not in ("z", "t_var")
    }
    chosen = {name: min(max(v, params[name].min), params[name].max) for name, v in chosen.items()}
    try:
        params.set(**chosen)
    except ParameterError as error:  # an order the start does not meet: keep the defaults
        return f"the model's defaults (the analytic start is refused: {error})", list(start.notes)
    obs = start.observables
    seen = {"both": "", "rise": ", its rise only", "fall": ", its fall only"}
    parts = [f"synchrotron peak {obs.synchrotron.nu_peak:.3g} Hz{seen[obs.synchrotron.coverage]}"]
    if obs.compton.detected:
        parts.append(f"Compton peak {obs.compton.nu_peak:.3g} Hz{seen[obs.compton.coverage]}")
    t_var_text = (
        ""
        if "t_var" not in params
        else (f", t_var = {t_var / 86400.0:.3g} d" + ("" if "t_var" in given else " (default)"))
    )
    text = f"analytic, from the SED's humps ({', '.join(parts)}{t_var_text})"
    if start.field:
        text += f"; external field: {start.field}"
    return text, list(start.notes)


def radio_points(data: FluxPoints, choice: str) -> tuple[FluxPoints, str]:
    """The data with the detections below RADIO_LIMIT made upper limits (choice "limits"),
    and a line that says what was done with them."""
    radio = (data.nu < RADIO_LIMIT) & ~data.is_ul
    count = int(np.count_nonzero(radio))
    if count == 0:
        return data, "no radio points below 1e11 Hz"
    if choice == "fit":
        return data, f"{count} radio points below 1e11 Hz fitted as detections"
    if choice == "ignore":
        return data, f"{count} radio points below 1e11 Hz left out"
    limited = replace(
        data,
        is_ul=data.is_ul | radio,
        err_lo=np.where(radio, np.nan, data.err_lo),
        err_hi=np.where(radio, np.nan, data.err_hi),
    )
    return limited, f"{count} radio points below 1e11 Hz taken as upper limits (extended jet)"


def check_options(options: FitOptions) -> None:
    """What `run_fit` checks before it reads the data (the options, the model's values, the
    free parameters and the priors): ParameterError, as every source would raise it."""
    options.check()
    params = _starting_parameters(options)
    parse_bounds(options.bounds, params)
    _priors(params, options.priors)


def _starting_parameters(options: FitOptions) -> Parameters:
    """The model's parameters at the options' values, with the free set of the options (by
    default the model's, with γ_min and γ_max too unless `values` gives them)."""
    params = parameters(options.config)
    params.set(**dict(options.values))
    if options.free is None:
        given = {name for name, _ in options.values}
        params.thaw(*(name for name in FIT_FREE if name in params and name not in given))
    else:
        for name in options.free:
            params[name]  # an unknown name raises ParameterError
        params.freeze(*params)
        params.thaw(*options.free)
    free = params.free
    if not free:
        raise ParameterError("free: no free parameter to fit")
    if options.method == "mcmc" and options.walkers < 2 * len(free):
        raise ParameterError(
            f"walkers = {options.walkers}: the ensemble needs at least twice the"
            f" {len(free)} free parameters ({2 * len(free)})"
        )
    return params


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


def _priors(params: Parameters, texts: Sequence[str]) -> dict[str, Prior]:
    priors = {name: default_prior(p) for name, p in params.items()}
    for text in texts:
        name, prior = parse_prior(text, params)
        if params[name].frozen:
            raise ParameterError(f"prior {name}: the parameter is not free")
        priors[name] = prior
    return priors


def _resuming(problem: FitProblem, options: FitOptions, out: Path) -> bool:
    """Whether an MCMC continues the chain in `out`: a chain that cannot be continued is
    refused (ChainMismatch) before anything is touched; one without a step starts again from
    the least-squares fit, as an unbroken run does."""
    if options.method != "mcmc" or not options.resume:
        return False
    ndim = len(problem.params.free)
    chain_path = out / "chain.h5"
    return (
        stored_steps(chain_path, options.walkers, ndim, options.steps, problem.identity["chain"])
        > 0
    )


def _evaluation_failure(problem: FitProblem) -> str | None:
    try:
        evaluate(problem.config, problem.params.as_dict())
    except ConvergenceError as error:
        return str(error)
    except KERNEL_STOPS as error:
        return f"kernel stopped: {error}"
    return None


# ---------------------------------------------------------------------------------------------
# 2. Least squares


def least_squares_stage(
    problem: FitProblem,
    options: FitOptions,
    state: FitState,
    pool: Any,
    stop: Callable[[], bool] | None,
) -> FitState:
    """The global stage (`sorvexfit.fit.search`): starts around the starting values, the
    best few polished by migrad and hesse (and minos on request); the best basin is the fit,
    and the others that fit as well are reported."""
    params = problem.params
    x0 = params.vector()
    try:
        found = search(
            problem.chi2,
            x0,
            search_widths(params),
            params.vector_bounds(),
            starts=options.starts,
            polish=options.polish,
            seed=streams(options.seed)[0],
            pool=pool,
            minos=options.minos,
            stop=stop,
            coarse=_coarse(problem),
        )
    except Interrupted:
        state.evaluations = problem.chi2.evaluations
        return state.end(Status.INTERRUPTED, "stopped during the least-squares fit")
    ls = found.best.ls
    state.ls = ls
    state.evaluations = found.evaluations + found.coarse_evaluations
    rivals = [_describe_point(params, basin.x, basin.chi2) for basin in found.rival]
    state.meta["search"] = {
        "starts": found.starts,
        "polished": found.polished,
        "evaluations": found.evaluations,
        "coarse_evaluations": found.coarse_evaluations,
        "basins": [_describe_point(params, b.x, b.chi2) for b in found.basins],
        "undecided": rivals,
    }
    if options.method == "minuit":
        state.best, state.median = ls.x, ls.x
        state.lower, state.upper = ls.x + ls.lower, ls.x + ls.upper
        state.covariance = ls.covariance
        state.samples, spent = _gaussian_draws(ls, options, problem.chi2, pool)
        state.evaluations += spent
        state.status = Status.CONVERGED if ls.valid else Status.NOT_CONVERGED
        state.message = ls.message
        if rivals:
            state.message += "; the data do not decide between this fit and " + "; ".join(
                f"{r['text']} (Δχ² = {r['chi2'] - ls.chi2:.2f})" for r in rivals
            )
        state.meta.update(
            {
                "minos": ls.minos,
                "edm_goal_reached": ls.valid,
                "errors": ls.error_method,
            }
        )
        if spent > 0:
            state.meta.setdefault("notes", []).append(
                f"68 % band: {len(state.samples)} of {spent} Gaussian draws lie inside the 68 %"
                " confidence region (hesse's matrix is not positive)"
                + ("" if len(state.samples) else ": too few for a band; --method mcmc draws it")
            )
        free_now = _nearly_free(params, ls)
        if free_now:
            state.meta.setdefault("notes", []).append(
                f"the data leave {', '.join(free_now)} nearly free: their intervals reach both"
                " ends of the fit box"
            )
    return state


def _coarse(problem: FitProblem) -> ChiSquare | None:
    """The statistic on about half the model's grid points, for the global stage's scan (None
    where the grids are small already)."""
    config = problem.config
    n_gamma, n_nu = max(COARSE_GRID[0], config.n_gamma // 2), max(COARSE_GRID[1], config.n_nu // 2)
    if n_gamma >= config.n_gamma and n_nu >= config.n_nu:
        return None
    return problem.chi2.with_config(config.with_options(n_gamma=n_gamma, n_nu=n_nu))


def _nearly_free(params: Parameters, ls: LeastSquares) -> list[str]:
    """The free parameters whose 68 % interval reaches both ends of their fit box."""
    names = []
    for i, name in enumerate(params.free):
        low, high = params[name].internal_bounds
        if ls.x[i] + ls.lower[i] <= low + 1e-9 and ls.x[i] + ls.upper[i] >= high - 1e-9:
            names.append(name)
    return names


def search_widths(params: Parameters) -> np.ndarray:
    """Half-widths of the global stage's box in the fit form: a decade for log10 parameters
    (two for densities and powers, whose scale the SED fixes only with the others), a fifth of
    the range for linear ones, at most the distance to the far bound."""
    widths = []
    for name in params.free:
        p = params[name]
        low, high = p.internal_bounds
        if p.log10:
            width = 2.0 if p.unit in ("cm-3", "erg cm-3", "erg s-1") else 1.0
        else:
            width = 0.2 * (high - low)
        widths.append(min(width, max(p.internal - low, high - p.internal)))
    return np.array(widths)


def _describe_point(params: Parameters, x: np.ndarray, chi2: float) -> dict[str, Any]:
    """A point of the fit space as values in the parameters' units, and in words."""
    values = {
        name: params[name].from_internal(float(v)) for name, v in zip(params.free, x, strict=True)
    }
    text = ", ".join(f"{name} = {value:.3g}" for name, value in values.items())
    return {"chi2": float(chi2), "values": values, "text": text}


# Fewer draws than this within the confidence region: no least-squares band.
BAND_LEAST = 5


def _gaussian_draws(
    ls: LeastSquares, options: FitOptions, chi2: ChiSquare, pool: Any
) -> tuple[np.ndarray, int]:
    """Draws of the Gaussian approximation at the least-squares fit, for the band, and the χ²
    evaluations spent on them. Where hesse's covariance is not accurate (a curved or flat
    valley, whose Gaussian draws spread outside it: their band can miss the fit) only the draws
    inside the 68.3 % confidence region of the free parameters are kept (Δχ² at most its
    quantile), and none when fewer than BAND_LEAST are."""
    empty = np.empty((0, ls.x.size))
    if ls.covariance is None or options.band_samples == 0 or not ls.valid:
        return empty, 0
    rng = np.random.default_rng(streams(options.seed)[2])
    try:
        draws = rng.multivariate_normal(
            ls.x, ls.covariance, size=options.band_samples, method="cholesky"
        )
    except np.linalg.LinAlgError:
        return empty, 0
    if ls.accurate:
        return draws, 0
    from scipy.stats import chi2 as chi2_distribution

    limit = ls.chi2 + float(chi2_distribution.ppf(0.683, ls.x.size))
    mapper = pool.map if pool is not None else map
    values = np.array(list(mapper(chi2, list(draws))), dtype=float)
    kept = draws[values <= limit]
    return (kept if len(kept) >= BAND_LEAST else empty), len(draws)


# ---------------------------------------------------------------------------------------------
# 3. MCMC


def mcmc_stage(
    problem: FitProblem,
    options: FitOptions,
    state: FitState,
    out: Path,
    pool: Any,
    stop: Callable[[], bool] | None,
) -> FitState:
    """emcee from the least-squares fit (or on from the chain in out/chain.h5)."""
    ls = state.ls
    centre = ls.x if ls is not None else problem.params.vector()
    chain_path = out / "chain.h5"
    if chain_path.exists() and not options.resume:
        chain_path.unlink()
    try:
        chain = run_chain(
            problem.posterior,
            centre,
            _start_covariance(ls, len(centre)),
            walkers=options.walkers,
            steps=options.steps,
            seed=options.seed,
            path=chain_path,
            resume=options.resume,
            fingerprint=problem.identity["chain"],
            pool=pool,
            progress=options.progress,
            stop=stop,
        )
    except ValueError as error:  # emcee's own checks, e.g. walkers that are not independent
        if isinstance(error, ParameterError):
            raise
        return state.end(Status.FAILED, f"mcmc: {error}")
    state.chain = chain
    state.evaluations += chain.evaluations
    if chain.interrupted:
        return state.end(
            Status.INTERRUPTED,
            f"stopped after {chain.steps} of {options.steps} steps; the chain is in"
            f" {chain_path}: continue it with --resume",
        )
    flat, logp, burn = _posterior_samples(chain, options)
    free = problem.params.free
    state.best = flat[int(np.argmax(logp))]
    state.lower, state.median, state.upper = np.percentile(flat, [16.0, 50.0, 84.0], axis=0)
    state.covariance = np.atleast_2d(np.cov(flat, rowvar=False))
    rng = np.random.default_rng(streams(options.seed)[2])
    take = rng.choice(len(flat), size=min(options.band_samples, len(flat)), replace=False)
    state.samples = flat[take]
    state.status, state.message = _chain_status(chain, free)
    state.meta.update(_chain_meta(chain, burn, free, ls))
    from .plots import plot_corner

    labels = [_label(problem.params, name) for name in free]
    plot_corner(out / "corner.png", flat, labels, list(state.best))
    return state


def _start_covariance(ls: LeastSquares | None, ndim: int) -> np.ndarray:
    """The covariance of the starting ball: the least-squares one, else 0.1 in each fit form."""
    if ls is not None and ls.covariance is not None and np.all(np.isfinite(ls.covariance)):
        return ls.covariance
    if ls is not None and np.all(np.isfinite(ls.errors)) and np.all(ls.errors > 0):
        return np.diag(ls.errors**2)
    return np.diag(np.full(ndim, 0.01))


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


def _chain_status(chain: Chain, names: list[str]) -> tuple[Status, str]:
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
        return Status.NOT_CONVERGED, f"the walkers are stuck: {facts}"
    if not lengths >= TAU_FACTOR:
        return Status.NOT_CONVERGED, (
            f"the chain is {lengths:.1f} autocorrelation times long, fewer than {TAU_FACTOR}:"
            f" {facts}; continue it with --resume and more --steps"
        )
    return Status.CONVERGED, f"the chain is {lengths:.0f} autocorrelation times long: {facts}"


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


def _label(params: Parameters, name: str) -> str:
    p = params[name]
    unit = f" [{p.unit}]" if p.unit else ""
    return f"log10 {name}{unit}" if p.log10 else f"{name}{unit}"


# ---------------------------------------------------------------------------------------------
# 4. Writing


def write_stage(
    problem: FitProblem,
    options: FitOptions,
    state: FitState,
    out: Path,
    pool: Any,
    started: float,
) -> FitResult:
    """The best model, its statistic, components, band and residuals, and the files."""
    best, median, lower, upper = state.estimates()
    status = state.status or Status.FAILED
    best_values = problem.params.values_at(best)
    evaluation = evaluate(problem.config, best_values)
    m_all = evaluation.at(problem.data.nu)
    full = ChiSquare(problem.config, problem.params, problem.data, problem.fractions)
    statistic = problem.chi2.statistic(m_all[problem.used])
    samples = state.samples if state.samples is not None else np.empty((0, best.size))
    band, band_evaluations = _band(problem, samples, pool)
    dof = problem.chi2.n_points - len(best)
    parameters_ = _parameter_results(problem.params, best, median, lower, upper)
    meta = dict(problem.meta)
    meta.update(state.meta)
    meta["notes"] = [*problem.meta.get("notes", []), *state.meta.get("notes", [])]
    meta.update(
        {
            "p_value": _p_value(statistic, dof),
            "chi2_by_band": _chi2_by_band(problem, full.residuals(m_all)),
            "band_evaluations": band_evaluations,
            "radius_cm": evaluation.radius,
            "doppler": evaluation.doppler,
        }
    )
    result = FitResult(
        status,
        state.message,
        options.method,
        parameters_,
        statistic,
        dof,
        state.evaluations,
        time.perf_counter() - started,
        state.covariance,
        str(out),
        meta,
    )
    from .plots import plot_sed

    plot_sed(
        out / "sed.png",
        problem.data,
        problem.used,
        full.residuals(m_all),
        evaluation.nu,
        evaluation.seds,
        band,
        f"{problem.data.name}: {problem.config.name}, {options.method} ({status}), "
        f"χ²/dof = {statistic:.1f}/{dof}",
    )
    write_table(result, out / "result.ecsv")
    return result


def _band(
    problem: FitProblem, samples: np.ndarray, pool: Any
) -> tuple[tuple[np.ndarray, np.ndarray] | None, int]:
    """The 16-84 % range of the total νF_ν over the samples, on the model's grid."""
    if len(samples) == 0:
        return None, 0
    mapper = pool.map if pool is not None else map
    grid = ModelGrid(problem.config, problem.params)
    totals = [t for t in mapper(grid, list(samples)) if t is not None]
    if len(totals) < 2:
        return None, len(samples)
    low, high = np.percentile(np.array(totals), [16.0, 84.0], axis=0)
    return (low, high), len(samples)


def _chi2_by_band(problem: FitProblem, residuals: np.ndarray) -> list[dict[str, Any]]:
    """The χ² of the fitted points by band, largest first."""
    used = problem.used
    bands = band_of(problem.data.nu)
    rows = []
    for name in dict.fromkeys(bands[used]):
        inside = used & (bands == name)
        rows.append(
            {
                "band": str(name),
                "chi2": float(np.sum(residuals[inside] ** 2)),
                "points": int(np.count_nonzero(inside & ~problem.data.is_ul)),
            }
        )
    return sorted(rows, key=lambda row: -row["chi2"])


def _parameter_results(
    params: Parameters,
    best: np.ndarray,
    median: np.ndarray,
    lower: np.ndarray,
    upper: np.ndarray,
) -> dict[str, ParameterResult]:
    """Every parameter, free ones from the fit (fit form mapped to the parameter's unit)."""
    free = {name: i for i, name in enumerate(params.free)}
    results = {}
    for name, p in params.items():
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
