"""Flares in time: the blob's electrons evolved with the implicit Chang-Cooper step, and what an
observer sees of them.

    from sorvexfit import configure, parameters
    from sorvexfit.flare import FlareOptions, simulate
    from sorvexfit.injection import Pulse

    config = configure("ssc", steady_state=True, n_gamma=60, n_nu=60)
    values = parameters(config).as_dict() | {"B": 0.1, "R": 1e16, "delta_D": 20, "z": 0.03}
    flare = simulate(config, values, FlareOptions(Pulse(t0=5, width=1, amplitude=10), duration=30))
    flare.light_curves["X"]        # erg cm^-2 s^-1 at flare.t_obs (s)

**The equation** is the one of `sorvexfit.steady`, in time:

    ∂n/∂t = ∂/∂γ[γ̇ n + ½ ∂(D n)/∂γ] + f(t) Q(γ) − n/t_esc,    D = γ²/t_acc,

on the steady state's grid (`n_gamma` points from 1.1 to twice γ_max), with γ̇ the synchrotron
cooling, the external-Compton cooling on the line (EC models) and, with SSC, the Compton cooling
on the blob's own optically thin synchrotron field, which changes with n
(`sorvexfit.components`). The injection Q(γ) has the model's electron shape and power L_inj;
f(t) is a `sorvexfit.injection.Injection` (constant, step, Gaussian pulse, table), averaged
exactly over each step, so that a step injects exactly what the profile does. Times are in
units of the initial light-crossing time R0/c, in the blob frame.

- **Acceleration**: "diffusion" (the default) is the steady state's operator: D = γ²/t_acc
  and nothing else, so that a flare starts from, and returns to, the steady state of
  `steady_state=True`. In this form diffusion spreads the electrons in energy without a
  systematic gain. "hard_sphere" adds the systematic gain of isotropic momentum diffusion with
  D_pp = D/2 (hard-sphere turbulence), ⟨dγ/dt⟩ = γ⁻² d(γ² D_pp)/dγ = 2γ/t_acc, as the drift
  γ̇ → γ̇ − 2γ/t_acc.
- **Expansion** (`expansion` = v/c > 0 from `expansion_start`): R(t) = R0 + v (t − t_start),
  B ∝ 1/R, adiabatic cooling γ̇ = (Ṙ/R)(γ² − 1)/γ, dilution ∝ R⁻³ added to the escape rate
  (exact over each implicit step), t_esc ∝ R, and the injected power L_inj spread over the
  growing volume.
- **Steps** are implicit Chang-Cooper steps (`sorvex.fp_findif_difu`, backward Euler in time)
  with the rates taken at the start of each step (R and B at its middle, and the expansion's
  dilution exact over it). The step is chosen by step doubling: one step of dt against two of
  dt/2 (the second half with the rates at its own start); the
  error is the largest |n₁ − n₂|/(n₂ + floor) over the grid, the floor being 1e-6 of the peak
  of γ²n at each γ (so the bins that hold energy are measured relatively, the far tails
  absolutely). A step is accepted when the error is at most `rtol` and the two half steps are
  kept; the next dt is 0.9 (rtol/error)^½ dt (the local error of a first-order step grows as
  dt²), within 0.2..3 times. A pulse limits steps to half its width near its peak; steps end on
  a step's time and a table's knots. `Evolution.errors` holds each step's estimate.
- **SSC cooling** costs a synchrotron and a Klein-Nishina cooling evaluation. It is computed
  again when the shape of the synchrotron power of the electrons, (γ² − 1) n normalised to its
  integral, has changed by more than `ssc_refresh` (relative) in any bin holding more than
  1e-6 of the largest, or B by more than that fraction. In between, the rate per unit energy
  of the field (∝ B² R ∫(γ² − 1) n dγ) is taken along the line through the last two computed
  ones, at the point where the current shape projects on the line through their shapes (up to
  once more the distance between them), and scaled by the field's energy: exact for a field
  of unchanged shape (and for any shape in the Thomson regime), and first-order in the shape's
  change along its last direction.
- **Budgets**: per step, the change of the number and energy of the electrons (per cm³, sums
  over the step's cells) against what was injected, escaped, diluted, moved in energy by the
  step's fluxes and carried out of the grid's ends (`Budget`), and each process's energy loss
  ∫γ̇ n dγ.

**What the observer sees** (`simulate`, `Flare`): the emission at `samples` times evenly
spread over the duration (evaluated where it is not smooth, interpolated where it is:
`sample_emission`), with the electrons interpolated between steps (log-linear in time), on the
nodes of the bands only (`sorvexfit.lightcurves.band_nodes`), with the seed
photons on the model's own grid; then the light-crossing time mixes the slices of the blob
(`sorvexfit.lightcurves.light_crossing`) and t_obs = t'(1+z)/δ. SED snapshots at chosen
times are full evaluations on the model's grid, mixed over the same retarded times
(`Flare.sed`).
"""

from __future__ import annotations

import itertools
import math
import sys
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np

import sorvex

from . import components as comp
from . import distributions as dist
from . import steady as st
from .config import ModelConfig
from .constants import C_LIGHT, ME_C2
from .evaluation import (
    blob_radius,
    doppler,
    external_field,
    external_fields,
    frequency_grid,
    loglog,
    luminosity_distance,
)
from .injection import Constant, Injection, TimeScale
from .lightcurves import DEFAULT_BANDS, Band, BandNodes, band_fluxes, band_nodes, crossing_kernel
from .lightcurves import light_crossing as mix_slices
from .parameters import ParameterError

__all__ = [
    "ACCELERATIONS",
    "STARTS",
    "Budget",
    "Evolution",
    "Flare",
    "FlareError",
    "FlareOptions",
    "Rates",
    "evolve",
    "integrate",
    "simulate",
    "time_scale",
]

ACCELERATIONS = ("diffusion", "hard_sphere")
STARTS = ("steady", "empty")
# The error floor: γ²n below this fraction of its peak is measured absolutely.
ERROR_FLOOR = 1e-6
# Escape "never": fp_findif_difu takes escape times of 1e100 and more as in units of the step's
# time unit, so this is 1e300 light-crossing times.
NO_ESCAPE = 1e300


# The SSC cooling is computed again when the synchrotron power of a bin that holds more than
# this fraction of the largest has changed by more than `ssc_refresh` (relative to the total).
SSC_FLOOR = 1e-6


class FlareError(st.ConvergenceError):
    """The evolution could not meet its tolerance (steps too small, or too many)."""


@dataclass(frozen=True)
class FlareOptions:
    """How a flare is evolved and observed (times in units of R0/c, blob frame).

    injection: the factor f(t) on the injection; duration: the time evolved; start: "steady"
    (the steady state of the injection's base level) or "empty" (no electrons); acceleration:
    "diffusion" or "hard_sphere" (module documentation); expansion: v/c of the blob's radius
    from expansion_start; rtol: the error allowed per step (step doubling); max_step, first_step:
    bounds of the step; max_steps: the most steps; ssc_refresh: when the SSC cooling is computed
    again; samples: emission samples over the duration (evaluated where the emission is not
    smooth to sample_rtol, interpolated elsewhere: `sample_emission`); bands: the light
    curves' bands; per_decade: their integration nodes; light_crossing: mix the blob's
    slices; snapshots: times of the SED snapshots; gamma_range: the electron grid's ends
    (default: the steady state's, 1.1 to twice γ_max; acceleration beyond the injection
    needs a higher top).
    """

    injection: Injection = field(default_factory=Constant)
    duration: float = 30.0
    start: str = "steady"
    acceleration: str = "diffusion"
    expansion: float = 0.0
    expansion_start: float = 0.0
    rtol: float = 1e-3
    max_step: float | None = None
    first_step: float | None = None
    max_steps: int = 200_000
    ssc_refresh: float = 0.1
    samples: int = 200
    sample_rtol: float = 1e-3
    bands: tuple[Band, ...] = DEFAULT_BANDS
    per_decade: float = 3.0
    light_crossing: bool = True
    snapshots: tuple[float, ...] = ()
    gamma_range: tuple[float, float] | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.injection, Injection):
            raise ParameterError(f"injection: {self.injection!r} is not an Injection")
        _positive("duration", self.duration)
        if self.start not in STARTS:
            raise ParameterError(f"start: {self.start!r} (known: {', '.join(STARTS)})")
        if self.acceleration not in ACCELERATIONS:
            raise ParameterError(
                f"acceleration: {self.acceleration!r} (known: {', '.join(ACCELERATIONS)})"
            )
        if not (math.isfinite(self.expansion) and 0.0 <= self.expansion < 1.0):
            raise ParameterError(f"expansion = {self.expansion:g}: must be in [0, 1) (v/c)")
        if not (math.isfinite(self.expansion_start) and self.expansion_start >= 0.0):
            raise ParameterError(f"expansion_start = {self.expansion_start:g}: must be >= 0")
        _positive("rtol", self.rtol)
        for name in ("max_step", "first_step"):
            value = getattr(self, name)
            if value is not None:
                _positive(name, value)
        for name, least in (("max_steps", 1), ("samples", 2)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < least:
                raise ParameterError(f"{name} = {value!r}: must be a whole number >= {least}")
        if not (math.isfinite(self.sample_rtol) and self.sample_rtol >= 0.0):
            raise ParameterError(f"sample_rtol = {self.sample_rtol:g}: must be >= 0")
        if not (math.isfinite(self.ssc_refresh) and self.ssc_refresh >= 0.0):
            raise ParameterError(f"ssc_refresh = {self.ssc_refresh:g}: must be >= 0")
        _positive("per_decade", self.per_decade)
        if self.gamma_range is not None:
            low, high = self.gamma_range
            if not (math.isfinite(low) and math.isfinite(high) and 1.0 <= low < high):
                raise ParameterError(f"gamma_range = {self.gamma_range!r}: must be 1 <= low < high")
        for t in self.snapshots:
            if not (math.isfinite(t) and 0.0 <= t <= self.duration):
                raise ParameterError(
                    f"snapshots: {t:g} lies outside the flare (0 to {self.duration:g} R/c)"
                )


def _positive(name: str, value: float) -> None:
    if isinstance(value, bool) or not isinstance(value, int | float) or not value > 0.0:
        raise ParameterError(f"{name} = {value!r}: must be positive")
    if not math.isfinite(value):
        raise ParameterError(f"{name} = {value!r}: must be finite")


# ---------------------------------------------------------------------------------------------
# The integrator, for any problem of the step's form


@dataclass(frozen=True)
class Rates:
    """The coefficients of a step at one state: γ̇ (s^-1, positive for a loss) as the sum of
    `parts`, D (s^-1), the escape time (s; math.inf: none) and a dilution rate (s^-1, which
    removes electrons as escape does but is not escape)."""

    cooling: np.ndarray
    diffusion: np.ndarray
    escape: float
    dilution: float = 0.0
    parts: Mapping[str, np.ndarray] = field(default_factory=dict)

    @property
    def loss_time(self) -> float:
        """The step's escape time: escape and dilution together (s)."""
        rate = (0.0 if math.isinf(self.escape) else 1.0 / self.escape) + self.dilution
        return NO_ESCAPE if rate <= 0.0 else 1.0 / rate


class Problem(Protocol):
    """What `integrate` evolves: n on `gamma`, time in units of `time_unit` seconds."""

    gamma: np.ndarray
    time_unit: float

    def rates(self, t: float, dt: float, n: np.ndarray) -> Rates:
        """The coefficients of a step from t to t + dt, from the state n at t."""
        ...

    def injection(self, t0: float, t1: float) -> np.ndarray:
        """Q (per unit γ and second) averaged over [t0, t1]."""
        ...

    def max_step(self, t: float) -> float: ...

    def breaks(self) -> Sequence[float]: ...


@dataclass
class Budget:
    """Per accepted step: the change of the electrons' number (cm^-3) and energy (erg cm^-3)
    in the step's own measure (sums over its cells), each flow over the step (positive: into
    the electrons) and the content after it. `residual_*` is the change minus the sum of the
    flows; `relative_*` divides it by the content. `processes`: each process's m_e c² ∫γ̇ n dγ
    over the step (negative: a loss), the energy it takes from the electrons in the continuum;
    their sum against the `transport` flow of `energy` measures the grid's error (the step's
    upwinded flux moves energy at the mean drift of two neighbours)."""

    number: dict[str, np.ndarray]
    energy: dict[str, np.ndarray]
    processes: dict[str, np.ndarray] = field(default_factory=dict)

    @property
    def residual_number(self) -> np.ndarray:
        return _residual(self.number)

    @property
    def residual_energy(self) -> np.ndarray:
        return _residual(self.energy)

    @property
    def relative_number(self) -> np.ndarray:
        return _relative(self.number)

    @property
    def relative_energy(self) -> np.ndarray:
        return _relative(self.energy)


def _residual(terms: dict[str, np.ndarray]) -> np.ndarray:
    flows = sum(v for k, v in terms.items() if k not in ("change", "content"))
    result: np.ndarray = terms["change"] - flows
    return result


def _relative(terms: dict[str, np.ndarray]) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        result: np.ndarray = np.abs(_residual(terms)) / np.abs(terms["content"])
    return np.where(terms["content"] > 0.0, result, 0.0)


@dataclass
class History:
    """The accepted states of an integration."""

    times: list[float]
    states: list[np.ndarray]
    errors: list[float]
    rejected: int
    budget: Budget | None


def fp_step(problem: Problem, n: np.ndarray, rates: Rates, q: np.ndarray, dt: float) -> np.ndarray:
    """One implicit Chang-Cooper step of dt (time units) from n."""
    unit = problem.time_unit
    new = np.array(
        sorvex.fp_findif_difu(
            dt * unit,
            problem.gamma,
            n,
            rates.cooling,
            rates.diffusion,
            q,
            rates.loss_time,
            unit,
        )
    )
    np.maximum(new, 0.0, out=new)
    return new


def step_error(gamma: np.ndarray, one: np.ndarray, two: np.ndarray) -> float:
    """max |one − two| / (two + floor), the floor ERROR_FLOOR of the peak of γ²n over γ²."""
    weight = gamma * gamma
    power = weight * two
    peak = float(power.max()) if power.size else 0.0
    if peak <= 0.0:
        return 0.0 if not np.any(one > 0.0) else math.inf
    scale = power + ERROR_FLOOR * peak
    return float(np.max(np.abs(weight * (one - two)) / scale))


def cells(gamma: np.ndarray) -> np.ndarray:
    """The widths of the step's cells: half the sum of the neighbouring intervals, with the
    interval beside each end repeated (as `fp_findif_difu` does)."""
    width = np.diff(gamma)
    lower = np.concatenate([width[:1], width])
    upper = np.concatenate([width, width[-1:]])
    result: np.ndarray = 0.5 * (lower + upper)
    return result


def _weights(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Chang & Cooper's W e^{+x/2} and W e^{-x/2}, W = (x/2)/sinh(x/2): the weights of the
    upper and the lower neighbour in the flux, x/(1 - e^-x) and x/(e^x - 1)."""
    small = np.abs(x) < 1e-8
    safe = np.where(small, 1.0, x)
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        up = np.where(small, 1.0 + 0.5 * x, safe / -np.expm1(-safe))
        down = np.where(small, 1.0 - 0.5 * x, safe / np.expm1(safe))
    return up, down


def _lagrange(x: np.ndarray, at: float) -> np.ndarray:
    """The weights of the polynomial through the points x at `at` (Lagrange form)."""
    weights = np.ones(x.size)
    for i in range(x.size):
        for j in range(x.size):
            if j != i:
                weights[i] *= (at - x[j]) / (x[i] - x[j])
    return weights


def scheme_fluxes(
    gamma: np.ndarray, cooling: np.ndarray, diffusion: np.ndarray, n: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The step's number fluxes (per cm^3 and s; positive downwards in γ) for n after the step,
    with the rates of the step (the last axis runs over γ; leading axes over steps): at the
    half-points between grid points, out of the lowest point, and at the top (negative:
    upwards out of the grid). F = (B/Δγ)(W e^{x/2} n_up − W e^{−x/2} n_down), B = D/2 and
    V = γ̇ + ½ dD/dγ at the half-points, x = Δγ V/B (Chang & Cooper 1970). Below the grid the
    drift is extrapolated by the cubic through the lowest four half-points (the step uses the
    polynomial through all of them, or this cubic where they disagree)."""
    width = np.diff(gamma)
    b = 0.25 * (diffusion[..., 1:] + diffusion[..., :-1])
    v = 0.5 * (np.diff(diffusion, axis=-1) / width + (cooling[..., 1:] + cooling[..., :-1]))
    with np.errstate(divide="ignore", invalid="ignore"):
        up, down = _weights(width * v / b)
    inner: np.ndarray = (b / width) * (up * n[..., 1:] - down * n[..., :-1])
    m = min(4, v.shape[-1])
    v_below = v[..., :m] @ _lagrange(gamma[1 : m + 1], float(gamma[0]))
    b_below = 0.25 * diffusion[..., 0]
    b_top = 0.25 * diffusion[..., -1]
    with np.errstate(divide="ignore", invalid="ignore"):
        edge_up, _ = _weights(width[0] * v_below / b_below)
        _, edge_down = _weights(width[-1] * v[..., -1] / b_top)
    bottom: np.ndarray = b_below / width[0] * edge_up * n[..., 0]
    top: np.ndarray = -b_top / width[-1] * edge_down * n[..., -1]
    return inner, bottom, top


class _Ledger:
    """The budgets of the accepted steps: their half steps are collected and turned into flows
    in batches (vectorised over the half steps), in the step's own measure (cell sums), with
    the fluxes at the end of each half step (module documentation, `Budget`)."""

    BATCH = 512

    def __init__(self, problem: Problem) -> None:
        self.problem = problem
        self.cell = cells(problem.gamma)
        self.pending: list[tuple[np.ndarray, np.ndarray, Rates, np.ndarray, float]] = []
        self.number: dict[str, list[np.ndarray]] = {}
        self.energy: dict[str, list[np.ndarray]] = {}
        self.processes: dict[str, list[np.ndarray]] = {}

    def add(self, old: np.ndarray, new: np.ndarray, rates: Rates, q: np.ndarray, dt: float) -> None:
        """One half step; the two halves of an accepted step come one after the other."""
        self.pending.append((old, new, rates, q, dt * self.problem.time_unit))
        if len(self.pending) >= self.BATCH:
            self.flush()

    def flush(self) -> None:
        if not self.pending:
            return
        gamma, cell = self.problem.gamma, self.cell
        weighted = cell * gamma
        old = np.array([p[0] for p in self.pending])
        new = np.array([p[1] for p in self.pending])
        rates = [p[2] for p in self.pending]
        q = np.array([p[3] for p in self.pending])
        seconds = np.array([p[4] for p in self.pending])
        cooling = np.array([r.cooling for r in rates])
        diffusion = np.array([r.diffusion for r in rates])
        escape = np.array([0.0 if math.isinf(r.escape) else 1.0 / r.escape for r in rates])
        dilution = np.array([r.dilution for r in rates])
        self.pending = []
        inner, bottom, top = scheme_fluxes(gamma, cooling, diffusion, new)
        count_new = new @ cell
        energy_new = new @ weighted
        number = {
            "change": count_new - old @ cell,
            "injected": seconds * (q @ cell),
            "escaped": -seconds * escape * count_new,
            "diluted": -seconds * dilution * count_new,
            "grid ends": seconds * (top - bottom),
        }
        energy = {
            "change": ME_C2 * (energy_new - old @ weighted),
            "injected": ME_C2 * seconds * (q @ weighted),
            "escaped": -ME_C2 * seconds * escape * energy_new,
            "diluted": -ME_C2 * seconds * dilution * energy_new,
            "transport": -ME_C2 * seconds * (inner @ np.diff(gamma)),
            "grid ends": ME_C2 * seconds * (gamma[-1] * top - gamma[0] * bottom),
        }
        loss = new * cell
        names = sorted({name for r in rates for name in r.parts})
        zero = np.zeros_like(gamma)
        processes = {
            name: -ME_C2
            * seconds
            * np.einsum("ij,ij->i", np.array([r.parts.get(name, zero) for r in rates]), loss)
            for name in names
        }
        for store, values in (
            (self.number, number),
            (self.energy, energy),
            (self.processes, processes),
        ):
            for key, value in values.items():
                # The two halves of each step together.
                store.setdefault(key, []).append(value.reshape(-1, 2).sum(axis=1))

    def budget(self, states: np.ndarray) -> Budget:
        """The budgets of the steps, with the content after each (`states[1:]`)."""
        self.flush()
        steps = states.shape[0] - 1

        def joined(store: dict[str, list[np.ndarray]]) -> dict[str, np.ndarray]:
            out = {key: np.concatenate(parts) for key, parts in store.items()}
            # A process that started late (expansion) counts zero before.
            return {key: np.concatenate([np.zeros(steps - v.size), v]) for key, v in out.items()}

        number, energy = joined(self.number), joined(self.energy)
        after = states[1:]
        number["content"] = after @ self.cell
        energy["content"] = ME_C2 * (after @ (self.cell * self.problem.gamma))
        return Budget(number, energy, joined(self.processes))


def integrate(
    problem: Problem,
    n0: np.ndarray,
    t_end: float,
    rtol: float = 1e-3,
    max_step: float | None = None,
    first_step: float | None = None,
    max_steps: int = 200_000,
    progress: Callable[[float], None] | None = None,
    budget: bool = True,
) -> History:
    """n from n0 at t = 0 to t_end by adaptive implicit steps (module documentation).
    `progress(dt)` is called after each accepted step."""
    gamma = problem.gamma
    n = np.array(n0, dtype=float)
    t = 0.0
    longest = math.inf if max_step is None else max_step
    proposal = first_step if first_step is not None else min(1e-3 * t_end, longest)
    smallest = 1e-12 * t_end
    breaks = sorted(b for b in problem.breaks() if 0.0 < b < t_end)
    history = History([0.0], [n.copy()], [], 0, None)
    ledger = _Ledger(problem) if budget else None
    while t < t_end * (1.0 - 1e-12):
        limit = min(longest, problem.max_step(t), t_end - t)
        upcoming = [b for b in breaks if b > t * (1.0 + 1e-12) + 1e-300]
        if upcoming:
            limit = min(limit, upcoming[0] - t)
        dt = min(proposal, limit)
        full = fp_step(problem, n, problem.rates(t, dt, n), problem.injection(t, t + dt), dt)
        rates = problem.rates(t, 0.5 * dt, n)
        q_first = problem.injection(t, t + 0.5 * dt)
        half = fp_step(problem, n, rates, q_first, 0.5 * dt)
        rates_half = problem.rates(t + 0.5 * dt, 0.5 * dt, half)
        q_second = problem.injection(t + 0.5 * dt, t + dt)
        two = fp_step(problem, half, rates_half, q_second, 0.5 * dt)
        error = step_error(gamma, full, two)
        if not math.isfinite(error):
            error = math.inf
        grow = 3.0 if error == 0.0 else min(3.0, max(0.2, 0.9 * math.sqrt(rtol / error)))
        if error <= rtol:
            if ledger is not None:
                ledger.add(n, half, rates, q_first, 0.5 * dt)
                ledger.add(half, two, rates_half, q_second, 0.5 * dt)
            t = t + dt if t_end - (t + dt) > 1e-12 * t_end else t_end
            n = two
            history.times.append(t)
            history.states.append(n)
            history.errors.append(error)
            if progress is not None:
                progress(dt)
            if len(history.errors) >= max_steps and t < t_end:
                raise FlareError(
                    f"flare: {max_steps} steps reached at t = {t:.4g} of {t_end:.4g} R/c"
                    " (raise max_steps or rtol)"
                )
            # A step cut short by a break or the end does not lengthen the next one.
            proposal = min(proposal, dt * grow) if dt < proposal else dt * grow
        else:
            history.rejected += 1
            proposal = dt * grow
            if proposal < smallest:
                raise FlareError(
                    f"flare: the step fell below {smallest:.3g} R/c at t = {t:.4g} (error"
                    f" {error:.2e} > rtol {rtol:g})"
                )
    if ledger is not None:
        history.budget = ledger.budget(np.array(history.states))
    return history


# ---------------------------------------------------------------------------------------------
# The blob


class BlobProblem:
    """The blob of a steady-state model configuration, in time (module documentation)."""

    def __init__(self, config: ModelConfig, values: Mapping[str, float], options: FlareOptions):
        if not config.steady_state:
            raise ParameterError(
                "model: a flare evolves the injection of a steady-state model"
                " (configure(..., steady_state=True))"
            )
        self.config = config
        self.options = options
        self.delta = doppler(config, values)
        self.r0 = blob_radius(config, values, self.delta)
        self.time_unit = self.r0 / C_LIGHT
        self.z = values["z"]
        self.external = external_field(config, values)
        self.nu = frequency_grid(config.nu_range, config.n_nu) * ((1.0 + self.z) / self.delta)
        anchors = config.distribution.anchors(values)
        if options.gamma_range is None:
            self.gamma = dist.electron_grid(anchors, config.n_gamma, True)
        else:
            low, high = options.gamma_range
            if not low < anchors[0] * (1.0 - 1e-9) or not high > anchors[-1] * (1.0 + 1e-9):
                raise ParameterError(
                    f"gamma_range = {options.gamma_range!r}: must reach beyond gamma_min and"
                    f" gamma_max ({anchors[0]:g}, {anchors[-1]:g})"
                )
            self.gamma = dist.log_grid([low, *anchors, high], config.n_gamma)
        shape = config.distribution.shape(self.gamma, values)
        self.q0 = dist.normalise(self.gamma, shape, "L_inj", values["L_inj"], self.r0)
        self.b0 = values["B"]
        self.t_esc = values["t_esc"]
        self.t_acc = values["t_acc"]
        self.diffusion = self.gamma * self.gamma / (self.t_acc * self.time_unit)
        self.acceleration = (
            -2.0 * self.gamma / (self.t_acc * self.time_unit)
            if options.acceleration == "hard_sphere"
            else None
        )
        self.line = (
            comp.line_cooling(self.gamma, self.external[1], self.external[0])
            if self.external is not None
            else None
        )
        self.ssc = "ssc" in config.components
        self._ssc_cache: tuple[np.ndarray, np.ndarray, float, float] | None = None
        self._ssc_previous: tuple[np.ndarray, np.ndarray] | None = None
        # (γ² − 1) × the cell widths: ∫(γ² − 1) n dγ, to which the thin field's energy is
        # proportional.
        self.power_weights = (self.gamma * self.gamma - 1.0) * cells(self.gamma)
        self.refreshes = 0
        self.beta = options.expansion
        self.t_start = options.expansion_start
        self.profile = options.injection

    # Geometry in time (t in units of R0/c).
    def radius(self, t: float) -> float:
        return self.r0 * (1.0 + self.beta * max(0.0, t - self.t_start))

    def b_field(self, t: float) -> float:
        return self.b0 * self.r0 / self.radius(t)

    def expansion_rate(self, t: float) -> float:
        """Ṙ/R (s^-1)."""
        if self.beta == 0.0 or t < self.t_start:
            return 0.0
        return self.beta * C_LIGHT / self.radius(t)

    def max_step(self, t: float) -> float:
        return self.profile.max_step(t)

    def breaks(self) -> Sequence[float]:
        extra = (self.t_start,) if self.beta > 0.0 and self.t_start > 0.0 else ()
        return (*self.profile.breaks(), *extra)

    def injection(self, t0: float, t1: float) -> np.ndarray:
        mid = 0.5 * (t0 + t1)
        dilution = (self.r0 / self.radius(mid)) ** 3
        result: np.ndarray = self.q0 * (self.profile.mean(t0, t1) * dilution)
        return result

    def ssc_cooling(self, n: np.ndarray, b_field: float, radius: float, fresh: bool) -> np.ndarray:
        """γ̇ on the blob's thin synchrotron field (module documentation: `ssc_refresh`)."""
        gamma = self.gamma
        power = self.power_weights * n
        weight = float(power.sum())
        energy = b_field * b_field * radius * weight
        cache = self._ssc_cache
        if cache is not None and not fresh and energy > 0.0:
            shape, rate, b_ref, energy_ref = cache
            held = shape > SSC_FLOOR * shape.max()
            moved = float(np.max(np.abs(power[held] / (weight * shape[held]) - 1.0)))
            if (
                moved <= self.options.ssc_refresh
                and abs(b_field / b_ref - 1.0) <= self.options.ssc_refresh
            ):
                previous = self._ssc_previous
                if previous is not None:
                    # Along the line through the last two computed shapes, where the current
                    # one projects (from the one before, 0, past the last, 1, up to 2).
                    shape_before, rate_before = previous  # the rate per unit field energy
                    direction = shape - shape_before
                    size = float(direction @ direction)
                    if size > 0.0:
                        along = float((power / weight - shape_before) @ direction) / size
                        along = min(max(along, 0.0), 2.0)
                        line = rate_before + along * (rate / energy_ref - rate_before)
                        extrapolated: np.ndarray = np.maximum(line, 0.0) * energy
                        return extrapolated
                scaled: np.ndarray = rate * (energy / energy_ref)
                return scaled
        if weight <= 0.0:
            return np.zeros_like(gamma)
        g_syn, n_syn = comp.synchrotron_electrons(gamma, n, None, self.config.synchrotron_rtol)
        top = comp.synchrotron_reach(gamma, n, b_field)
        _, thin = comp.synchrotron(
            self.config.backend, self.nu, g_syn, n_syn, b_field, radius, False, top
        )
        rate = comp.compton_cooling(gamma, self.nu, comp.seed_intensity(self.nu, thin))
        if self._ssc_cache is not None and not fresh:
            old_shape, old_rate, _, old_energy = self._ssc_cache
            self._ssc_previous = (old_shape, old_rate / old_energy)
        self._ssc_cache = (power / weight, rate, b_field, energy)
        self.refreshes += 1
        return rate

    def rates(self, t: float, dt: float, n: np.ndarray, fresh: bool = False) -> Rates:
        """The coefficients of a step from t to t + dt (units of R0/c) from the state n: R
        and B at the middle of the step, the expansion's mean rate over it, ln(R₁/R₀)/Δt, and
        its dilution exact for an implicit step, ((R₁/R₀)³ − 1)/Δt."""
        middle = t + 0.5 * dt
        b_field = self.b_field(middle)
        radius = self.radius(middle)
        parts = {"synchrotron": comp.synchrotron_cooling(self.gamma, b_field)}
        if self.line is not None:
            parts["external Compton"] = self.line
        if self.ssc:
            parts["SSC"] = self.ssc_cooling(n, b_field, radius, fresh)
        expansion = dilution = 0.0
        if self.beta > 0.0:
            seconds = dt * self.time_unit
            growth = self.radius(t + dt) / self.radius(t)
            if seconds > 0.0 and growth > 1.0:
                expansion = math.log(growth) / seconds
                dilution = (growth**3 - 1.0) / seconds
            else:
                expansion = self.expansion_rate(t)
                dilution = 3.0 * expansion
        if expansion > 0.0:
            parts["adiabatic"] = expansion * (self.gamma * self.gamma - 1.0) / self.gamma
        if self.acceleration is not None:
            parts["acceleration"] = self.acceleration
        cooling = sum(parts.values(), np.zeros_like(self.gamma))
        escape = self.t_esc * radius / C_LIGHT
        return Rates(cooling, self.diffusion, escape, dilution, parts)

    def steady_state(self, factor: float) -> np.ndarray:
        """The steady state of the injection `factor` × Q at t = 0: that of
        `sorvexfit.steady.cool` for the steady state's own operator; with hard-sphere
        acceleration the same iteration with its drift."""
        config = self.config
        q = self.q0 * factor
        if self.acceleration is None:
            return st.cool(
                config.backend,
                config.components,
                self.gamma,
                q,
                self.b0,
                self.r0,
                self.t_esc,
                self.t_acc,
                self.nu,
                self.external,
                config.synchrotron_rtol,
                config.steady_tolerance,
                config.steady_max_iterations,
            ).density
        dt = 1e6 * max(self.t_esc, 1.0)
        n = np.zeros_like(self.gamma)
        last: np.ndarray | None = None
        change = math.inf
        for iteration in range(1, config.steady_max_iterations + 1):
            rates = self.rates(0.0, 0.0, n, fresh=True)
            if self.ssc and last is not None and iteration >= 4:
                relaxed = np.sqrt(rates.parts["SSC"] * last)
                rates = Rates(
                    rates.cooling - rates.parts["SSC"] + relaxed,
                    rates.diffusion,
                    rates.escape,
                    rates.dilution,
                    {**rates.parts, "SSC": relaxed},
                )
            last = rates.parts.get("SSC")
            new = fp_step(self, n, rates, q, dt)
            energy = self.gamma * self.gamma * new
            mask = energy > 1e-8 * energy.max() if energy.size else energy > 0
            change = float(np.max(np.abs(new[mask] - n[mask]) / new[mask])) if np.any(mask) else 0.0
            n = new
            if change < config.steady_tolerance and (not self.ssc or iteration > 1):
                return n
        raise st.ConvergenceError(
            f"steady state: not converged after {config.steady_max_iterations} iterations"
            f" (last relative change {change:.2e} > {config.steady_tolerance:g})"
        )


# ---------------------------------------------------------------------------------------------
# The evolution


@dataclass
class Evolution:
    """The electrons in time: `density[k]` (cm^-3 per unit γ, on `gamma`) at blob time
    `times[k]` (units of R0/c), with R and B then; the error estimate of each accepted step,
    the rejected steps, the SSC refreshes and the per-step budgets."""

    gamma: np.ndarray
    times: np.ndarray
    density: np.ndarray
    radius: np.ndarray
    b_field: np.ndarray
    errors: np.ndarray
    rejected: int
    ssc_refreshes: int
    budget: Budget
    scale: TimeScale

    @property
    def steps(self) -> int:
        return int(self.errors.size)

    def at(self, t: float) -> np.ndarray:
        """n at blob time t (R0/c), log-linear in time between steps (linear where a bin is
        zero at either end); the first state before 0, the last after the end."""
        times = self.times
        first: np.ndarray = self.density[0]
        last: np.ndarray = self.density[-1]
        if t <= times[0]:
            return first
        if t >= times[-1]:
            return last
        k = int(np.searchsorted(times, t, side="right")) - 1
        w = (t - times[k]) / (times[k + 1] - times[k])
        a, b = self.density[k], self.density[k + 1]
        both = (a > 0.0) & (b > 0.0)
        with np.errstate(divide="ignore", invalid="ignore"):
            logs = np.exp(
                (1.0 - w) * np.log(np.where(both, a, 1.0)) + w * np.log(np.where(both, b, 1.0))
            )
        result: np.ndarray = np.where(both, logs, (1.0 - w) * a + w * b)
        return result

    def geometry(self, t: float) -> tuple[float, float]:
        """(R, B) at blob time t (R0/c)."""
        return (
            float(np.interp(t, self.times, self.radius)),
            float(np.interp(t, self.times, self.b_field)),
        )


def time_scale(config: ModelConfig, values: Mapping[str, float]) -> TimeScale:
    """R0/c, δ and z of a model: what turns blob times into observed ones."""
    delta = doppler(config, values)
    return TimeScale(blob_radius(config, values, delta) / C_LIGHT, delta, values["z"])


def _progress_bar(enabled: bool | None, total: float) -> Any:
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(
        total=total,
        unit="R/c",
        desc="flare",
        file=sys.stderr,
        leave=False,
        bar_format="{l_bar}{bar}| {n:.3g}/{total:.3g} R/c [{elapsed}<{remaining}]",
    )


def evolve(
    config: ModelConfig,
    values: Mapping[str, float],
    options: FlareOptions,
    progress: bool | None = False,
    problem: BlobProblem | None = None,
    initial: np.ndarray | None = None,
) -> Evolution:
    """The blob's electrons from t = 0 to `options.duration` (module documentation);
    `progress`: a tqdm bar on standard error (None: when it is a terminal); `initial`: n at
    t = 0 on the problem's grid (`BlobProblem(...).gamma`) in place of `options.start`."""
    problem = problem if problem is not None else BlobProblem(config, values, options)
    if initial is not None:
        n0 = np.asarray(initial, dtype=float)
        if n0.shape != problem.gamma.shape or not np.all(np.isfinite(n0) & (n0 >= 0.0)):
            raise ParameterError(
                f"initial: expected {problem.gamma.size} finite densities >= 0 on the grid"
            )
    elif options.start == "steady":
        n0 = problem.steady_state(options.injection.base)
    else:
        n0 = np.zeros_like(problem.gamma)
    bar = _progress_bar(progress, options.duration)
    try:
        history = integrate(
            problem,
            n0,
            options.duration,
            options.rtol,
            options.max_step,
            options.first_step,
            options.max_steps,
            None if bar is None else bar.update,
        )
    finally:
        if bar is not None:
            bar.close()
    times = np.array(history.times)
    states = np.array(history.states)
    return Evolution(
        problem.gamma,
        times,
        states,
        np.array([problem.radius(t) for t in times]),
        np.array([problem.b_field(t) for t in times]),
        np.array(history.errors),
        history.rejected,
        problem.refreshes,
        history.budget if history.budget is not None else Budget({}, {}),
        TimeScale(problem.time_unit, problem.delta, problem.z),
    )


# ---------------------------------------------------------------------------------------------
# What the observer sees


class Observer:
    """The blob's emission as the observer sees it, for given electrons, R and B: on the nodes
    of the bands (`bands`) and on the model's grid (`sed`); EBL absorption included."""

    def __init__(self, config: ModelConfig, values: Mapping[str, float], nodes: BandNodes):
        self.config = config
        self.nodes = nodes
        self.delta = doppler(config, values)
        self.z = values["z"]
        self.d_l = luminosity_distance(self.z, config)
        self.fields = external_fields(config, values)
        self.nu_obs = frequency_grid(config.nu_range, config.n_nu)
        to_blob = (1.0 + self.z) / self.delta
        self.nu = self.nu_obs * to_blob
        self.node_nu = nodes.unique * to_blob
        self.grid_attenuation: np.ndarray | None = None
        self.node_attenuation: np.ndarray | None = None
        if config.ebl is not None:
            self.grid_attenuation = comp.ebl_attenuation(config.ebl, self.nu_obs, self.z)
            self.node_attenuation = comp.ebl_attenuation(config.ebl, nodes.unique, self.z)

    def emission(
        self,
        gamma: np.ndarray,
        n: np.ndarray,
        radius: float,
        b_field: float,
        nu_out: np.ndarray | None = None,
    ) -> comp.BlobEmission:
        """The blob's emission on the model's grid, or at the blob frequencies `nu_out` with
        the seeds on the grid; the synchrotron kernel only where the electrons reach."""
        config = self.config
        return comp.blob_emission(
            config.backend,
            config.components,
            self.nu,
            gamma,
            n,
            comp.synchrotron_electrons(gamma, n, None, config.synchrotron_rtol),
            b_field,
            radius,
            self.delta,
            self.d_l,
            self.fields,
            config.absorb_gamma_gamma,
            nu_out=nu_out,
            reach=True,
        )

    def sed(
        self, gamma: np.ndarray, n: np.ndarray, radius: float, b_field: float
    ) -> dict[str, np.ndarray]:
        """νF_ν of each component and the total on the model's observed grid."""
        seds = self.emission(gamma, n, radius, b_field).seds
        if self.grid_attenuation is not None:
            seds = {key: part * self.grid_attenuation for key, part in seds.items()}
        seds["total"] = np.sum(list(seds.values()), axis=0)
        return seds

    def bands(self, gamma: np.ndarray, n: np.ndarray, radius: float, b_field: float) -> np.ndarray:
        """The total νF_ν at the distinct band nodes: the kernels at the nodes alone, with the
        seed photons on the model's grid (the `sorvex` backend, whose inverse Compton needs
        the seed on its output grid: the model's grid, interpolated log-log)."""
        if self.config.backend != "exact":
            total = self.sed(gamma, n, radius, b_field)["total"]
            return loglog(self.nodes.unique, self.nu_obs, total)
        seds = self.emission(gamma, n, radius, b_field, self.node_nu).seds
        total = np.sum(list(seds.values()), axis=0) if seds else np.zeros_like(self.node_nu)
        if self.node_attenuation is not None:
            total *= self.node_attenuation
        return total


# Samples are first evaluated every SAMPLE_STRIDE; the ones between are evaluated where the
# emission is not smooth, and interpolated where it is (`sample_emission`).
SAMPLE_STRIDE = 4


def sample_emission(
    times: np.ndarray, emission: Callable[[int], np.ndarray], rtol: float
) -> np.ndarray:
    """The emission at every time (first axis), evaluating `emission(k)` only where needed: on
    every SAMPLE_STRIDE-th time, then by bisection of each stretch, whose middle is evaluated
    and compared with the log-linear interpolation of its ends. A stretch whose middle lies
    within `rtol` of it (every node, relative; zero with `rtol` 0: evaluate everything) is
    filled by log-linear interpolation through its ends and middle; else both halves are
    bisected."""
    count = times.size
    values: list[np.ndarray | None] = [None] * count

    def at(k: int) -> np.ndarray:
        value = values[k]
        if value is None:
            value = values[k] = np.asarray(emission(k), dtype=float)
        return value

    def between(a: int, b: int, k: int) -> np.ndarray:
        w = (times[k] - times[a]) / (times[b] - times[a])
        low, high = at(a), at(b)
        both = (low > 0.0) & (high > 0.0)
        with np.errstate(divide="ignore", invalid="ignore"):
            logs = np.exp(
                (1.0 - w) * np.log(np.where(both, low, 1.0)) + w * np.log(np.where(both, high, 1.0))
            )
        result: np.ndarray = np.where(both, logs, (1.0 - w) * low + w * high)
        return result

    def refine(a: int, b: int) -> None:
        if b - a < 2:
            return
        m = (a + b) // 2
        middle = at(m)
        guess = between(a, b, m)
        scale = np.maximum(np.abs(middle), 1e-300)
        if rtol > 0.0 and float(np.max(np.abs(middle - guess) / scale)) <= rtol:
            for k in range(a + 1, b):
                if values[k] is None:
                    values[k] = between(a, m, k) if k < m else between(m, b, k)
            return
        refine(a, m)
        refine(m, b)

    ends = [*range(0, count - 1, SAMPLE_STRIDE), count - 1]
    for a, b in itertools.pairwise(ends):
        at(a)
        at(b)
        refine(a, b)
    return np.array([at(k) for k in range(count)])


# Quadrature nodes of the light-crossing mix of a snapshot SED.
SNAPSHOT_NODES = 12


@dataclass
class Flare:
    """A simulated flare: the electrons (`evolution`), the band light curves at the sample
    times (`times` in R0/c of blob time, `t_obs` in observed seconds; `emitted`: without the
    light-crossing mix, `light_curves`: as observed), the SED snapshots on the model's grid
    `nu` at `snapshot_times`, and the SED before the flare (`quiescent`)."""

    config: ModelConfig
    values: dict[str, float]
    options: FlareOptions
    evolution: Evolution
    observer: Observer
    times: np.ndarray
    node_seds: np.ndarray  # observed νF_ν at the band nodes, (samples, nodes)
    emitted: dict[str, np.ndarray]
    light_curves: dict[str, np.ndarray]
    snapshot_times: np.ndarray
    snapshots: list[dict[str, np.ndarray]]
    quiescent: dict[str, np.ndarray]

    @property
    def scale(self) -> TimeScale:
        return self.evolution.scale

    @property
    def t_obs(self) -> np.ndarray:
        """Observed time of each sample (s)."""
        return self.scale.observed(self.times)

    @property
    def nu(self) -> np.ndarray:
        """The model's observed frequencies (Hz), the grid of the snapshots."""
        return self.observer.nu_obs

    def sed(self, t: float) -> dict[str, np.ndarray]:
        """The observed SED (each component and the total) at blob time t (R0/c): the blob's
        slices mixed over their retarded times when the light-crossing time is on."""
        evolution = self.evolution
        gamma = evolution.gamma

        def emitted(at: float) -> dict[str, np.ndarray]:
            if at <= 0.0:
                return self.quiescent
            return self.observer.sed(gamma, evolution.at(at), *evolution.geometry(at))

        if not self.options.light_crossing:
            return emitted(t)
        crossing = evolution.geometry(t)[0] / (self.scale.light_crossing * C_LIGHT)
        s, w = crossing_kernel(SNAPSHOT_NODES)
        total: dict[str, np.ndarray] = {}
        for node, weight in zip(s, w, strict=True):
            for key, part in emitted(t - node * crossing).items():
                total[key] = total.get(key, 0.0) + weight * part
        return total

    def hardness(self, soft: str, hard: str) -> tuple[np.ndarray, np.ndarray]:
        """(intensity, hardness): the soft band's flux and F_hard/F_soft at each sample."""
        for name in (soft, hard):
            if name not in self.light_curves:
                raise ParameterError(
                    f"hardness: no band {name!r} (bands: {', '.join(self.light_curves)})"
                )
        intensity = self.light_curves[soft]
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = self.light_curves[hard] / intensity
        return intensity, ratio


def simulate(
    config: ModelConfig,
    values: Mapping[str, float],
    options: FlareOptions,
    progress: bool | None = False,
    sample_progress: Callable[[int], None] | None = None,
    initial: np.ndarray | None = None,
) -> Flare:
    """Evolves the blob (`evolve`) and observes it: band light curves at `options.samples`
    times, mixed over the light-crossing time, and SED snapshots (module documentation)."""
    problem = BlobProblem(config, values, options)
    nodes = band_nodes(options.bands, config.nu_range, options.per_decade)  # checked first
    evolution = evolve(config, values, options, progress, problem, initial)
    observer = Observer(config, values, nodes)
    gamma = evolution.gamma
    times = np.linspace(0.0, options.duration, options.samples)

    def emission(k: int) -> np.ndarray:
        t = float(times[k])
        if sample_progress is not None:
            sample_progress(k)
        return observer.bands(gamma, evolution.at(t), *evolution.geometry(t))

    node_seds = sample_emission(times, emission, options.sample_rtol)
    emitted = band_fluxes(nodes, node_seds)
    if options.light_crossing:
        crossing = np.array([evolution.geometry(t)[0] for t in times]) / problem.r0
        node_seds = mix_slices(times, node_seds, crossing)
    light_curves = band_fluxes(nodes, node_seds)
    quiescent = observer.sed(gamma, evolution.density[0], problem.r0, problem.b0)
    flare = Flare(
        config,
        dict(values),
        options,
        evolution,
        observer,
        times,
        node_seds,
        emitted,
        light_curves,
        np.array(options.snapshots, dtype=float),
        [],
        quiescent,
    )
    flare.snapshots = [flare.sed(t) for t in flare.snapshot_times]
    return flare
