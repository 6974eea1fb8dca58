"""MCMC with emcee: an ensemble of walkers, the chain kept in HDF5, resumable.

- The walkers start from draws of the Gaussian approximation of the posterior at the least-
  squares fit (its covariance in the fit form), each inside the priors and the model's bounds.
- The chain goes to `chain.h5` in emcee's HDF5 layout, one step at a time; a stop request
  (`stop()` true, e.g. after SIGTERM) ends the run between two steps, so the file always holds
  whole steps, and `resume=True` continues it to `steps` in all. The settings that define the
  posterior are stored beside the chain; a resume with other settings is refused.
- A full disk cannot break the chain: the file takes its whole space before the first step
  (`chain_bytes`: walkers × steps × (ndim + 1) × 8 bytes and the headers; `check_chain_space`
  tells before the run whether it fits), and a step that cannot be written leaves the file at
  its last whole step (WriteError; the section "The chain file" below).
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

from ..files import atomic_path, ensure_space, write_error
from ..parameters import ParameterError
from .likelihood import LogPosterior

__all__ = [
    "MIN_ACCEPTANCE",
    "TAU_FACTOR",
    "Chain",
    "ChainMismatch",
    "chain_bytes",
    "check_chain_space",
    "run_chain",
    "steps_in",
    "stored_steps",
]

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


def chain_bytes(walkers: int, ndim: int, steps: int) -> int:
    """The disk space of a chain file of `steps` steps: the positions and log-posteriors of
    every walker (8 bytes each), the two state slots, and HDF5's headers."""
    return 8 * steps * walkers * (ndim + 1) + 16 * (walkers + _MOVES) + CHAIN_OVERHEAD


def check_chain_space(folder: Path, walkers: int, ndim: int, steps: int) -> None:
    """WriteError before the run when the chain and the result files will not fit."""
    need = chain_bytes(walkers, ndim, steps) + RESULT_ROOM
    ensure_space(folder, need, f"a chain of {walkers} walkers × {steps} steps and the results")


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
    """Runs (or continues) the chain in `path` to `steps` steps of `walkers` walkers. A file
    system that refuses a step (full disk) raises WriteError; the file keeps its whole steps."""
    import emcee

    ndim = len(centre)
    stored = json.dumps(fingerprint, sort_keys=True)
    done = _check_resumable(path, walkers, ndim, steps, stored) if resume else 0
    if done < steps:  # a new file with room for every step; the old one is left as it was
        ensure_space(path.parent, chain_bytes(walkers, ndim, steps), "the chain")
        _make_chain_file(path, walkers, ndim, steps, stored, done)

    backend = _chain_backend(path)
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


# ---------------------------------------------------------------------------------------------
# The chain file
#
# emcee's HDF5 layout (group "mcmc": datasets chain and log_prob, attribute iteration; rows
# beyond `iteration` are room reserved for the steps to come), made safe against a full disk:
#
# - the file is made whole before the run, under a temporary name (the steps of a chain it
#   continues copied in, the room for every step written), and moved onto chain.h5: the disk
#   space is taken there, and a failure there leaves the old file as it was;
# - a step writes its rows, then the walkers' acceptance counts and the state of the move
#   generator into the slot of its parity (dataset sorvexfit_state: two rows), flushes, and
#   only then advances `iteration`, in place: the file never grows during the run, and a write
#   that fails leaves `iteration` at the last whole step, whose slot is untouched.


_MOVES = 627  # MT19937: 624 keys, position, has_gauss, cached_gaussian
_STATE = "sorvexfit_state"
CHAIN_OVERHEAD = 256 * 1024
RESULT_ROOM = 2 * 1024 * 1024  # result.ecsv, sed.png and corner.png, generously
_BLOCK_BYTES = 1 << 22


def _pack(accepted: np.ndarray, random_state: Any) -> np.ndarray:
    _, keys, pos, has_gauss, gauss = random_state
    return np.concatenate(
        [np.asarray(accepted, float), np.asarray(keys, float), [pos, has_gauss, gauss]]
    )


def _unpack(row: np.ndarray, walkers: int) -> tuple[np.ndarray, tuple[Any, ...]]:
    accepted = np.array(row[:walkers])
    moves = row[walkers:]
    keys = moves[:624].astype(np.uint32)
    state = ("MT19937", keys, int(moves[624]), int(moves[625]), float(moves[626]))
    return accepted, state


def _make_chain_file(
    path: Path, walkers: int, ndim: int, steps: int, stored: str, done: int
) -> None:
    """The chain file of this run (comment above): room for `steps` steps, the first `done`
    copied from the chain now in `path`."""
    import emcee
    import h5py

    rows_per_block = max(1, _BLOCK_BYTES // (8 * walkers * (ndim + 1)))
    with atomic_path(path) as temporary, h5py.File(temporary, "w") as f:
        g = f.create_group(GROUP)
        g.attrs["version"] = emcee.__version__
        g.attrs["nwalkers"] = walkers
        g.attrs["ndim"] = ndim
        g.attrs["has_blobs"] = False
        g.attrs["iteration"] = 0
        g.attrs["sorvexfit"] = stored
        chain = g.create_dataset("chain", (steps, walkers, ndim), dtype=np.float64)
        log_prob = g.create_dataset("log_prob", (steps, walkers), dtype=np.float64)
        slots = np.zeros((2, walkers + _MOVES))
        if done > 0:
            with h5py.File(path, "r") as old:
                source = old[GROUP]
                for start in range(0, done, rows_per_block):
                    stop = min(done, start + rows_per_block)
                    chain[start:stop] = source["chain"][start:stop]
                    log_prob[start:stop] = source["log_prob"][start:stop]
                slots[done % 2] = _committed(source, walkers, done)
        for start in range(done, steps, rows_per_block):  # the room, taken now
            stop = min(steps, start + rows_per_block)
            chain[start:stop] = 0.0
            log_prob[start:stop] = 0.0
        g.create_dataset(_STATE, data=slots)
        g.create_dataset("accepted", data=slots[done % 2, :walkers])
        g.attrs["iteration"] = done


def _committed(group: Any, walkers: int, done: int) -> np.ndarray:
    """The state slot after step `done` of a chain file (of emcee's own layout: its
    acceptance counts and random-state attributes)."""
    if _STATE in group:
        return np.asarray(group[_STATE][done % 2])
    attrs = group.attrs
    random_state = tuple(attrs[f"random_state_{i}"] for i in range(5))
    return _pack(group["accepted"][()], random_state)


def steps_in(path: Path) -> int:
    """The whole steps of the chain file `path` (0 if there is none)."""
    import h5py

    try:
        with h5py.File(path, "r") as f:
            return int(f[GROUP].attrs["iteration"])
    except (OSError, KeyError):
        return 0


_BACKEND: list[Any] = []  # the class, made on first use (emcee is slow to import)


def _chain_backend(path: Path) -> Any:
    """emcee's HDFBackend on `path`, writing each step as the comment above says."""
    if not _BACKEND:
        _BACKEND.append(_backend_class())
    return _BACKEND[0](str(path), name=GROUP)


def _backend_class() -> Any:
    import emcee

    class _SafeBackend(emcee.backends.HDFBackend):  # type: ignore[misc]
        def grow(self, ngrow: int, blobs: Any) -> None:
            if blobs is not None:
                raise ValueError("mcmc: the chain file does not store blobs")
            with self.open() as f:
                g = f[self.name]
                room = g["chain"].shape[0] - int(g.attrs["iteration"])
            if ngrow > room:
                raise RuntimeError(f"the chain file has room for {room} steps, not {ngrow}")

        def save_step(self, state: Any, accepted: np.ndarray) -> None:
            self._check(state, accepted)
            try:
                with self.open("a") as f:
                    g = f[self.name]
                    it = int(g.attrs["iteration"])
                    walkers = int(g.attrs["nwalkers"])
                    g["chain"][it] = state.coords
                    g["log_prob"][it] = state.log_prob
                    slots = g[_STATE]
                    row = _pack(slots[it % 2][:walkers] + accepted, state.random_state)
                    slots[(it + 1) % 2] = row
                    f.flush()
                    g.attrs["iteration"] = it + 1  # the step is whole from here on
                    f.flush()
                    g["accepted"][:] = row[:walkers]  # emcee's own copy, for its readers
            except OSError as error:
                raise write_error(error) from None

        def _slot(self) -> tuple[int, np.ndarray | None, int]:
            with self.open() as f:
                g = f[self.name]
                it = int(g.attrs["iteration"])
                walkers = int(g.attrs["nwalkers"])
                row = g[_STATE][it % 2] if _STATE in g else None
            return it, row, walkers

        @property
        def accepted(self) -> np.ndarray:
            _, row, walkers = self._slot()
            if row is None:
                return super().accepted  # type: ignore[no-any-return]
            return _unpack(row, walkers)[0]

        @property
        def random_state(self) -> Any:
            it, row, walkers = self._slot()
            if row is None:
                return super().random_state
            return _unpack(row, walkers)[1] if it > 0 else None

    return _SafeBackend


def stored_steps(
    path: Path, walkers: int, ndim: int, steps: int, fingerprint: dict[str, Any]
) -> int:
    """The steps of the chain in `path` that --resume would continue (0 without a file), or
    ChainMismatch if it cannot be continued by this fit."""
    stored = json.dumps(fingerprint, sort_keys=True)
    return _check_resumable(path, walkers, ndim, steps, stored)


def _check_resumable(path: Path, walkers: int, ndim: int, steps: int, stored: str) -> int:
    import h5py

    if not path.exists():
        return 0

    try:
        with h5py.File(path, "r") as f:
            attrs = f[GROUP].attrs
            previous = attrs.get("sorvexfit", "")
            done = int(attrs["iteration"])
            shape = (int(attrs["nwalkers"]), int(attrs["ndim"]))
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
