"""The self-consistently cooled steady state of the blob's electrons, and its cooling terms.

An injection Q(γ) (cm^-3 s^-1 per unit γ) is evolved with `sorvex.fp_findif_difu` to the steady
state of

    ∂n/∂t = ∂/∂γ[γ̇ n + ½ ∂(D n)/∂γ] + Q − n/t_esc,    D = γ²/t_acc,

under synchrotron cooling, external-Compton cooling on a line (if the model has one) and, if
the model has SSC, Compton cooling on the blob's own synchrotron field, which depends on n
itself (`cool`). The rates come from `sorvexfit.components`.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

import sorvex

from . import components as comp
from .constants import C_LIGHT

__all__ = ["ConvergenceError", "SteadyStateResult", "cool"]


@dataclass(frozen=True)
class SteadyStateResult:
    density: np.ndarray  # n(γ) on the grid, cm^-3
    iterations: int
    change: float  # the last relative change
    converged: bool  # always True: a steady state that does not converge raises


class ConvergenceError(RuntimeError):
    """The steady state did not meet its criterion within the allowed iterations."""


def cool(
    backend: str,
    components: Sequence[str],
    gamma: np.ndarray,
    injection: np.ndarray,
    b_field: float,
    radius: float,
    t_esc: float,
    t_acc: float,
    nu: np.ndarray,
    external: tuple[float, float] | None,
    rtol: float | None,
    tolerance: float = 1e-3,
    max_iterations: int = 60,
) -> SteadyStateResult:
    """The steady state on `gamma` of `injection` in a blob of field `b_field` and radius
    `radius` (t_esc and t_acc in units of R/c; `nu`: the blob-frame frequencies of the SSC
    field; `external`: (u', ν') of an external line in the blob frame, or None; `rtol`: the
    synchrotron kernel's segment tolerance). ConvergenceError if it does not converge.

    Each iteration is one implicit `sorvex.fp_findif_difu` step of 1e6 × max(t_esc, R/c): a
    backward-Euler step that long lands on the steady state of the linear problem with the
    cooling of the previous iterate. The iteration stops when the largest relative change of
    n between two iterations, over the bins that hold energy (γ² n above 1e-8 of its peak), is
    below `tolerance`; up to `max_iterations`. From the fourth iteration on, the SSC cooling
    (which depends on n) is relaxed (geometric mean of the last two) so that strong SSC
    cooling does not make the iteration oscillate. Its field is the optically thin
    synchrotron of the current n: the self-absorbed part holds a negligible share of the
    energy.
    """
    light_crossing = radius / C_LIGHT
    fixed_cooling = comp.synchrotron_cooling(gamma, b_field)
    if external is not None:
        u_ext, nu_ext = external
        fixed_cooling = fixed_cooling + comp.line_cooling(gamma, nu_ext, u_ext)
    ssc = "ssc" in components
    t_esc_s = t_esc * light_crossing
    dt = 1e6 * max(t_esc_s, light_crossing)
    diffusion = gamma * gamma / (t_acc * light_crossing)
    density = np.zeros_like(gamma)
    gdot = fixed_cooling
    last_self: np.ndarray | None = None
    change = math.inf
    iterations = 0
    for iterations in range(1, max_iterations + 1):
        new = np.array(
            sorvex.fp_findif_difu(
                dt, gamma, density, gdot, diffusion, injection, t_esc_s, light_crossing
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
        if change < tolerance and (not ssc or iterations > 1):
            return SteadyStateResult(density, iterations, change, True)
        if ssc:
            g_syn, n_syn = comp.synchrotron_electrons(gamma, density, None, rtol)
            _, thin = comp.synchrotron(backend, nu, g_syn, n_syn, b_field, radius, False)
            current = comp.compton_cooling(gamma, nu, comp.seed_intensity(nu, thin))
            if last_self is not None and iterations >= 3:
                current = np.sqrt(current * last_self)
            last_self = current
            gdot = fixed_cooling + current
    raise ConvergenceError(
        f"steady state: not converged after {iterations} iterations "
        f"(last relative change {change:.2e} > {tolerance:g})"
    )
