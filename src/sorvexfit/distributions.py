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
For the cooled steady state (`sorvexfit.steady`) the shape is that of the injection, scaled
by "L_inj" to the power it injects, m_e c² V ∫ γ Q dγ (erg s^-1).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from functools import lru_cache
from typing import ClassVar

import numpy as np

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
    "electron_grid",
    "log_grid",
    "normalise",
    "pwl_moment",
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


def electron_grid(anchors: list[float], n_points: int, steady: bool) -> np.ndarray:
    """The Lorentz factors of the electrons: `log_grid` through the anchors (γ_min, breaks,
    γ_max); for the cooled steady state from 1.1 (where the electrons cool to) to twice γ_max
    (room for the diffusion above the injection). Read-only."""
    if steady:
        low = [1.1] if anchors[0] > 1.1 * 1.01 else []
        anchors = [*low, *anchors, 2.0 * anchors[-1]]
    return _grid(tuple(anchors), n_points)


@lru_cache(maxsize=64)
def _grid(anchors: tuple[float, ...], n_points: int) -> np.ndarray:
    """`log_grid`, kept for the last anchors asked (a fit evaluates the same grid while the
    anchors stay)."""
    grid = log_grid(list(anchors), n_points)
    grid.flags.writeable = False
    return grid


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
    (`mode` "n_e", "u_e" or "L_e") equals `value`, or, with "L_inj", to the injection rate Q
    (cm^-3 s^-1 per unit γ) that carries the power `value` into the sphere (cgs; `radius` for
    "L_e" and "L_inj")."""
    if mode == "n_e":
        total = pwl_moment(gamma, shape, 0)
    elif mode == "u_e":
        total = ME_C2 * pwl_moment(gamma, shape, 1)
    elif mode == "L_e":
        total = ME_C2 * pwl_moment(gamma, shape, 1) * (4.0 / 3.0) * math.pi * radius**2 * C_LIGHT
    else:  # L_inj: erg s^-1 per unit rate
        total = ME_C2 * (4.0 / 3.0 * math.pi * radius**3) * pwl_moment(gamma, shape, 1)
    return shape * (value / total) if total > 0.0 else shape * 0.0
