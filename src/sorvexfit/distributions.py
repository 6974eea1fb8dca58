"""Electron distributions n(γ) per unit Lorentz factor and cm^3, in the blob frame.

Four shapes between γ_min and γ_max (zero outside):

- `PowerLaw`:            (γ/γ_min)^-p
- `BrokenPowerLaw`:      (γ/γ_b)^-p1 below γ_b, (γ/γ_b)^-p2 above
- `ExpCutoffPowerLaw`:   (γ/γ_min)^-p exp(-γ/γ_c)
- `LogParabola`:         (γ/γ_0)^-(p + q log10(γ/γ_0))

and three normalisations, applied by the model on its grid (`normalise`):

- "n_e": the number density ∫ n dγ (cm^-3);
- "u_e": the energy density m_e c² ∫ γ n dγ (erg cm^-3);
- "L_e": the contained power, the energy in electrons per light-crossing time,
  (4/3) π R² c u_e (erg s^-1): the power they carry out of the blob if they escape on R/c.

The integrals are those of the piecewise power law through the grid points, which is also
what the kernels integrate, so the normalisation is exact for the spectrum that radiates.

`steady_state` evolves an injection with `sorvex.fp_findif_difu` to the self-consistently
cooled distribution (synchrotron, SSC and external-Compton cooling, escape, weak diffusion).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import ClassVar

import numpy as np

import sorvex

from .constants import C_LIGHT, ME_C2
from .parameters import Parameter

__all__ = [
    "DISTRIBUTIONS",
    "NORMALISATIONS",
    "BrokenPowerLaw",
    "Distribution",
    "ExpCutoffPowerLaw",
    "LogParabola",
    "PowerLaw",
    "SteadyStateResult",
    "fewest_segments",
    "log_grid",
    "normalise",
    "pwl_moment",
    "steady_state",
]

GAMMA_LIMITS = (1.0, 1e10)


def _gamma(name: str, value: float, description: str) -> Parameter:
    return Parameter(
        name, value, "", *GAMMA_LIMITS, frozen=True, log10=True, description=description
    )


def _index(name: str, value: float, description: str) -> Parameter:
    return Parameter(name, value, "", -1.0, 8.0, description=description)


class Distribution:
    """A spectral shape between γ_min and γ_max; subclasses give its parameters and form."""

    kind: ClassVar[str] = ""
    # True when the shape is a power law between its anchors (γ_min, breaks, γ_max), so that
    # those points alone represent it exactly.
    piecewise_power_law: ClassVar[bool] = False

    def parameters(self) -> list[Parameter]:
        return [
            _gamma("gamma_min", 10.0, "lowest electron Lorentz factor"),
            _gamma("gamma_max", 1e6, "highest electron Lorentz factor"),
        ]

    def order(self) -> list[tuple[str, str]]:
        """Pairs (a, b) of parameters with a < b."""
        return [("gamma_min", "gamma_max")]

    def anchors(self, v: Mapping[str, float]) -> list[float]:
        """Lorentz factors the grid must contain: γ_min, any break, γ_max."""
        return [v["gamma_min"], v["gamma_max"]]

    def log_shape(self, gamma: np.ndarray, v: Mapping[str, float]) -> np.ndarray:
        raise NotImplementedError

    def shape(self, gamma: np.ndarray, v: Mapping[str, float]) -> np.ndarray:
        """The unnormalised shape on `gamma`, zero outside [γ_min, γ_max] (relative 1e-12)."""
        inside = (gamma >= v["gamma_min"] * (1 - 1e-12)) & (gamma <= v["gamma_max"] * (1 + 1e-12))
        with np.errstate(over="ignore", under="ignore"):
            return np.where(inside, np.exp(self.log_shape(gamma, v)), 0.0)

    def __eq__(self, other: object) -> bool:
        return type(self) is type(other)

    def __hash__(self) -> int:
        return hash(self.kind)

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"


class PowerLaw(Distribution):
    kind = "power_law"
    piecewise_power_law = True

    def parameters(self) -> list[Parameter]:
        return [_index("p", 2.5, "index, n ∝ γ^-p"), *super().parameters()]

    def log_shape(self, gamma: np.ndarray, v: Mapping[str, float]) -> np.ndarray:
        return -v["p"] * np.log(gamma / v["gamma_min"])


class BrokenPowerLaw(Distribution):
    kind = "broken_power_law"
    piecewise_power_law = True

    def parameters(self) -> list[Parameter]:
        return [
            _index("p1", 2.0, "index below the break"),
            _index("p2", 3.5, "index above the break"),
            Parameter("gamma_b", 1e4, "", *GAMMA_LIMITS, log10=True, description="break"),
            *super().parameters(),
        ]

    def order(self) -> list[tuple[str, str]]:
        return [("gamma_min", "gamma_b"), ("gamma_b", "gamma_max"), ("gamma_min", "gamma_max")]

    def anchors(self, v: Mapping[str, float]) -> list[float]:
        return [v["gamma_min"], v["gamma_b"], v["gamma_max"]]

    def log_shape(self, gamma: np.ndarray, v: Mapping[str, float]) -> np.ndarray:
        x = np.log(gamma / v["gamma_b"])
        return np.where(x <= 0.0, -v["p1"] * x, -v["p2"] * x)


class ExpCutoffPowerLaw(Distribution):
    kind = "exp_cutoff_power_law"

    def parameters(self) -> list[Parameter]:
        return [
            _index("p", 2.0, "index, n ∝ γ^-p exp(-γ/γ_c)"),
            Parameter("gamma_c", 1e5, "", *GAMMA_LIMITS, log10=True, description="cut-off"),
            _gamma("gamma_min", 10.0, "lowest electron Lorentz factor"),
            _gamma("gamma_max", 1e7, "highest electron Lorentz factor"),
        ]

    def log_shape(self, gamma: np.ndarray, v: Mapping[str, float]) -> np.ndarray:
        return -v["p"] * np.log(gamma / v["gamma_min"]) - (gamma - v["gamma_min"]) / v["gamma_c"]


class LogParabola(Distribution):
    kind = "log_parabola"

    def parameters(self) -> list[Parameter]:
        return [
            _index("p", 2.0, "index at γ_0"),
            Parameter("q", 0.2, "", -2.0, 5.0, description="curvature (log10)"),
            Parameter(
                "gamma_0", 1e3, "", *GAMMA_LIMITS, frozen=True, log10=True, description="pivot"
            ),
            *super().parameters(),
        ]

    def log_shape(self, gamma: np.ndarray, v: Mapping[str, float]) -> np.ndarray:
        x = np.log10(gamma / v["gamma_0"])
        return -math.log(10.0) * x * (v["p"] + v["q"] * x)


DISTRIBUTIONS: dict[str, type[Distribution]] = {
    cls.kind: cls for cls in (PowerLaw, BrokenPowerLaw, ExpCutoffPowerLaw, LogParabola)
}

# name: (unit, default, min, max, description)
NORMALISATIONS: dict[str, tuple[str, float, float, float, str]] = {
    "n_e": ("cm-3", 1.0, 1e-20, 1e20, "electron number density"),
    "u_e": ("erg cm-3", 1e-3, 1e-30, 1e20, "electron energy density"),
    "L_e": ("erg s-1", 1e42, 1e20, 1e60, "contained power, (4/3) pi R^2 c u_e"),
}


def normalisation_parameter(mode: str) -> Parameter:
    unit, value, low, high, text = NORMALISATIONS[mode]
    return Parameter(mode, value, unit, low, high, log10=True, description=text)


# ---------------------------------------------------------------------------------------------
# Grids and piecewise power laws


def log_grid(anchors: list[float], n_points: int) -> np.ndarray:
    """`n_points` Lorentz factors from anchors[0] to anchors[-1] that contain every anchor: a
    uniform log grid between the end anchors, with the interior anchors (breaks) inserted.
    The points move continuously with the anchors, so a fit's statistic has no jumps where a
    break moves; an interior anchor within a relative 1e-9 of a grid point takes its place."""
    ends = np.asarray(anchors, dtype=float)
    interior = ends[1:-1]
    grid = np.geomspace(ends[0], ends[-1], max(n_points - interior.size, 2))
    grid[0], grid[-1] = ends[0], ends[-1]
    extra = []
    for anchor in interior:
        k = int(np.argmin(np.abs(np.log(grid / anchor))))
        if 0 < k < grid.size - 1 and abs(math.log(grid[k] / anchor)) < 1e-9:
            grid[k] = anchor
        else:
            extra.append(anchor)
    return np.sort(np.concatenate([grid, extra]))


def pwl_moment(gamma: np.ndarray, n: np.ndarray, k: int) -> float:
    """∫ γ^k n dγ of the piecewise power law through (gamma, n); intervals with an end at or
    below zero contribute nothing (as in the kernels)."""
    g0, g1, n0, n1 = gamma[:-1], gamma[1:], n[:-1], n[1:]
    used = (n0 > 0.0) & (n1 > 0.0)
    if not np.any(used):
        return 0.0
    g0, g1, n0, n1 = g0[used], g1[used], n0[used], n1[used]
    log_r = np.log(g1 / g0)
    a = (k + 1.0) + np.log(n1 / n0) / log_r  # exponent of γ^(k+1) over the interval
    x = a * log_r
    small = np.abs(x) < 1e-8
    factor = np.where(small, 1.0 + 0.5 * x, np.expm1(x) / np.where(small, 1.0, x))
    return float(np.sum(n0 * g0 ** (k + 1.0) * log_r * factor))


def normalise(
    gamma: np.ndarray, shape: np.ndarray, mode: str, value: float, radius: float
) -> np.ndarray:
    """The shape scaled so that its number density, energy density or contained power
    (`mode` "n_e", "u_e" or "L_e") equals `value` (cgs; `radius` for "L_e")."""
    if mode == "n_e":
        total = pwl_moment(gamma, shape, 0)
    elif mode == "u_e":
        total = ME_C2 * pwl_moment(gamma, shape, 1)
    else:
        total = ME_C2 * pwl_moment(gamma, shape, 1) * (4.0 / 3.0) * math.pi * radius**2 * C_LIGHT
    return shape * (value / total) if total > 0.0 else shape * 0.0


def fewest_segments(gamma: np.ndarray, n: np.ndarray, rtol: float) -> np.ndarray:
    """Indices of the fewest grid points whose piecewise power law reproduces n at every
    dropped point within the relative tolerance `rtol` (greedy: from each kept point, the
    longest segment that passes; log-log straight lines). Only the support of n (values above
    1e-100, the kernels' floor) is kept; a support with holes keeps every point."""
    support = np.nonzero(n > 1e-100)[0]
    if support.size < 3:
        return support
    first, last = int(support[0]), int(support[-1])
    if support.size != last - first + 1:
        return np.arange(first, last + 1)
    lg = np.log(gamma[first : last + 1])
    ln = np.log(n[first : last + 1])
    top = lg.size - 1
    limit = math.log1p(rtol)
    keep = [0]
    i = 0
    while i < top:
        i = _segment_end(lg, ln, i, limit)
        keep.append(i)
    return np.array(keep) + first


def _segment_end(lg: np.ndarray, ln: np.ndarray, i: int, limit: float) -> int:
    """The end of the longest log-log straight segment from point i that passes every point
    inside it within `limit`: the point before the first candidate end that fails. Candidate
    ends are tried in blocks that double in size, so that a segment costs about its length
    squared."""
    top = lg.size - 1
    if i + 2 > top:
        return top
    # The shortest candidate alone first: on a curved grid it is often the only one.
    slope = (ln[i + 2] - ln[i]) / (lg[i + 2] - lg[i])
    if abs(ln[i] + slope * (lg[i + 1] - lg[i]) - ln[i + 1]) > limit:
        return i + 1
    low, size = i + 3, 8
    while low <= top:
        ends = np.arange(low, min(top, low + size - 1) + 1)
        inner = np.arange(i + 1, ends[-1])
        slope = (ln[ends] - ln[i]) / (lg[ends] - lg[i])
        line = ln[i] + slope[:, None] * (lg[inner] - lg[i])[None, :]
        dev = np.abs(line - ln[inner][None, :])
        dev[inner[None, :] >= ends[:, None]] = 0.0  # only the points inside each segment count
        bad = np.nonzero(dev.max(axis=1) > limit)[0]
        if bad.size:
            return int(ends[bad[0]]) - 1
        low, size = int(ends[-1]) + 1, 2 * size
    return top


# ---------------------------------------------------------------------------------------------
# Steady state


@dataclass(frozen=True)
class SteadyStateResult:
    density: np.ndarray  # n(γ) on the grid, cm^-3
    iterations: int
    change: float  # the last relative change
    converged: bool


class ConvergenceError(RuntimeError):
    """The steady state did not meet its criterion within the allowed iterations."""


def steady_state(
    gamma: np.ndarray,
    injection: np.ndarray,
    t_esc: float,
    t_acc: float,
    light_crossing: float,
    fixed_cooling: np.ndarray,
    self_cooling: Callable[[np.ndarray], np.ndarray] | None,
    tolerance: float = 1e-3,
    max_iterations: int = 60,
) -> SteadyStateResult:
    """The steady state of ∂n/∂t = ∂/∂γ[γ̇ n + ½ ∂(D n)/∂γ] + Q - n/t_esc on `gamma`.

    injection Q (cm^-3 s^-1 per unit γ); t_esc, t_acc and light_crossing in s; D = γ²/t_acc;
    γ̇ = fixed_cooling + self_cooling(n) (the part that depends on n itself: SSC).

    Each iteration is one implicit `sorvex.fp_findif_difu` step of 1e6 × max(t_esc, R/c): a
    backward-Euler step that long lands on the steady state of the linear problem with the
    cooling of the previous iterate. The iteration stops when the largest relative change of
    n between two iterations, over the bins that hold energy (γ² n above 1e-8 of its peak), is
    below `tolerance`; up to `max_iterations`. From the fourth iteration on, the n-dependent
    cooling is relaxed (geometric mean of the last two) so that strong SSC cooling does not
    make the iteration oscillate.
    """
    dt = 1e6 * max(t_esc, light_crossing)
    diffusion = gamma * gamma / t_acc
    density = np.zeros_like(gamma)
    gdot = fixed_cooling
    last_self: np.ndarray | None = None
    change = math.inf
    iterations = 0
    for iterations in range(1, max_iterations + 1):
        new = np.array(
            sorvex.fp_findif_difu(
                dt, gamma, density, gdot, diffusion, injection, t_esc, light_crossing
            )
        )
        np.maximum(new, 0.0, out=new)
        energy = gamma * gamma * new
        mask = energy > 1e-8 * energy.max() if energy.size else energy > 0
        with np.errstate(divide="ignore", invalid="ignore"):
            change = (
                float(np.max(np.abs(new[mask] - density[mask]) / new[mask]))
                if np.any(mask)
                else 0.0
            )
        density = new
        if change < tolerance and (self_cooling is None or iterations > 1):
            return SteadyStateResult(density, iterations, change, True)
        if self_cooling is not None:
            current = self_cooling(density)
            if last_self is not None and iterations >= 3:
                current = np.sqrt(current * last_self)
            last_self = current
            gdot = fixed_cooling + current
    return SteadyStateResult(density, iterations, change, False)
