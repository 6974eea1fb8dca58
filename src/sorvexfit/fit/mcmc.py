"""MCMC with emcee: an ensemble of walkers, the chain kept in HDF5, resumable.

- The walkers start from draws of the Gaussian approximation of the posterior at the least-
  squares fit (its covariance in the fit form), each inside the priors and the model's bounds.
- The chain goes to `chain.h5` through emcee's HDF5 backend, one step at a time; a stop request
  (`stop()` true, e.g. after SIGTERM) ends the run between two steps, so the file always holds
  whole steps, and `resume=True` continues it to `steps` in all. The settings that define the
  posterior are stored beside the chain; a resume with other settings is refused.
- Random numbers: one seed gives two independent streams (numpy SeedSequence), one for the
  starting positions and one for emcee's moves; emcee stores the state of the second with every
  step, so a resumed chain is the same, bit for bit, as one run without a break. The walkers'
  log-posteriors may be computed by any pool (`pool.map`); they do not draw random numbers.
- Convergence: the integrated autocorrelation time τ of each parameter (emcee's estimator);
  the chain counts as converged when it is at least 50 τ long (emcee's recommendation) and the
  walkers accept at least 5 % of their moves.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ..parameters import ParameterError
from .likelihood import LogPosterior

__all__ = ["MIN_ACCEPTANCE", "TAU_FACTOR", "Chain", "ChainMismatch", "run_chain"]

TAU_FACTOR = 50
MIN_ACCEPTANCE = 0.05
GROUP = "mcmc"


class ChainMismatch(ParameterError):
    """A chain file that cannot be resumed with these settings."""


@dataclass
class Chain:
    chain: np.ndarray  # (steps, walkers, free parameters), fit form
    log_prob: np.ndarray  # (steps, walkers)
    acceptance: np.ndarray  # per walker
    tau: np.ndarray  # per parameter, in steps
    evaluations: int  # log-posterior evaluations in this run
    resumed_from: int  # steps that were in the file before this run
    interrupted: bool

    @property
    def steps(self) -> int:
        return int(self.chain.shape[0])


def _streams(seed: int) -> tuple[np.random.Generator, Any]:
    """The starting-position generator and the state of emcee's move generator."""
    start, moves = np.random.SeedSequence(seed).spawn(2)
    state = np.random.RandomState(np.random.MT19937(moves)).get_state()
    return np.random.default_rng(start), state


def initial_positions(
    posterior: LogPosterior,
    centre: np.ndarray,
    covariance: np.ndarray,
    walkers: int,
    rng: np.random.Generator,
) -> np.ndarray:
    """`walkers` draws of N(centre, covariance), each admissible (inside the priors and the
    model's bounds); a draw that is not is drawn again, from a narrower ball after ten tries."""
    centre = np.asarray(centre, dtype=float)
    try:
        factor = np.linalg.cholesky(covariance)
    except np.linalg.LinAlgError:
        factor = np.diag(np.sqrt(np.clip(np.diag(covariance), 1e-12, None)))
    positions = np.empty((walkers, centre.size))
    for k in range(walkers):
        scale = 1.0
        for attempt in range(200):
            x = centre + scale * factor @ rng.standard_normal(centre.size)
            if posterior.admissible(x):
                break
            if attempt % 10 == 9:
                scale *= 0.5
        else:
            raise ParameterError(
                "mcmc: no admissible starting position around the least-squares fit"
            )
        positions[k] = x
    return positions


def run_chain(
    posterior: LogPosterior,
    centre: np.ndarray,
    covariance: np.ndarray,
    *,
    walkers: int,
    steps: int,
    seed: int,
    path: Path,
    resume: bool,
    fingerprint: dict[str, Any],
    pool: Any = None,
    progress: bool = False,
    stop: Callable[[], bool] | None = None,
) -> Chain:
    """Runs (or continues) the chain in `path` to `steps` steps of `walkers` walkers."""
    import emcee

    ndim = len(centre)
    backend = emcee.backends.HDFBackend(str(path), name=GROUP)
    stored = json.dumps(fingerprint, sort_keys=True)
    done = _check_resumable(backend, path, walkers, ndim, steps, stored) if resume else 0
    if done == 0:  # a new chain (a file without a step holds nothing to continue)
        backend.reset(walkers, ndim)
        import h5py

        with h5py.File(path, "a") as f:
            f[GROUP].attrs["sorvexfit"] = stored

    sampler = emcee.EnsembleSampler(walkers, ndim, posterior, pool=pool, backend=backend)
    evaluations = 0
    interrupted = False
    if done < steps:
        if done > 0:
            state = backend.get_last_sample()
        else:
            rng, moves_state = _streams(seed)
            positions = initial_positions(posterior, centre, covariance, walkers, rng)
            state = emcee.State(positions, random_state=moves_state)
            evaluations += walkers
        for _ in sampler.sample(state, iterations=steps - done, progress=progress, store=True):
            evaluations += walkers
            if stop is not None and stop():
                interrupted = backend.iteration < steps
                break
    chain = backend.get_chain()
    log_prob = backend.get_log_prob()
    acceptance = backend.accepted / max(backend.iteration, 1)
    return Chain(
        chain, log_prob, acceptance, autocorrelation(chain), evaluations, done, interrupted
    )


def stored_steps(
    path: Path, walkers: int, ndim: int, steps: int, fingerprint: dict[str, Any]
) -> int:
    """The steps of the chain in `path` that --resume would continue (0 without a file), or
    ChainMismatch if it cannot be continued by this fit."""
    import emcee

    backend = emcee.backends.HDFBackend(str(path), name=GROUP, read_only=True)
    stored = json.dumps(fingerprint, sort_keys=True)
    return _check_resumable(backend, path, walkers, ndim, steps, stored)


def _check_resumable(
    backend: Any, path: Path, walkers: int, ndim: int, steps: int, stored: str
) -> int:
    import h5py

    if not path.exists():
        return 0

    try:
        with h5py.File(path, "r") as f:
            previous = f[GROUP].attrs.get("sorvexfit", "")
        done = int(backend.iteration)
        shape = tuple(backend.shape)
    except (OSError, KeyError) as error:
        raise ChainMismatch(f"resume: {path} is not a chain of this program ({error})") from None
    if shape != (walkers, ndim):
        raise ChainMismatch(
            f"resume: {path} has {shape[0]} walkers and {shape[1]} parameters; this fit has"
            f" {walkers} and {ndim}"
        )
    if previous != stored:
        old, new = json.loads(previous or "{}"), json.loads(stored)
        keys = sorted(k for k in set(old) | set(new) if old.get(k) != new.get(k))
        raise ChainMismatch(
            f"resume: {path} was written with other settings ({', '.join(keys)}: "
            f"{old.get(keys[0])!r} then, {new.get(keys[0])!r} now)"
        )
    if done > steps:
        raise ChainMismatch(f"resume: {path} already holds {done} steps, more than --steps {steps}")
    return done


def autocorrelation(chain: np.ndarray) -> np.ndarray:
    """emcee's integrated autocorrelation time per parameter (NaN for a chain too short to
    estimate it)."""
    import emcee

    if chain.shape[0] < 2:
        return np.full(chain.shape[-1], math.nan)
    with np.errstate(all="ignore"):
        tau = emcee.autocorr.integrated_time(chain, tol=0, quiet=True)
    return np.asarray(tau, dtype=float)
