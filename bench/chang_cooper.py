"""One implicit Chang-Cooper step of the electron Fokker-Planck equation in NumPy/SciPy.

    ∂N/∂t = ∂/∂γ [γ̇ N + ½ ∂(D N)/∂γ] + Q − N/t_esc

in flux form F = V N + B ∂N/∂γ with V = γ̇ + ½ ∂D/∂γ and B = D/2 on the half-points, Chang &
Cooper's exponential weighting, backward Euler, and a tridiagonal solve by
`scipy.linalg.solve_banded`. Rates are in s^-1, times in s; time is counted in units of the
light-crossing time `tlc` as in `sorvex.fp_findif_difu`, and the grid coefficients are the same
(half-point values as means of the neighbours, zero flux from outside the grid), so the two
steps agree to rounding except in the first row, whose lower drift V at γ_0 − ½ has no
neighbour: here it is extrapolated by the parabola through the next three half-points (sorvex
uses the polynomial through all of them).
"""

from __future__ import annotations

import numpy as np
from scipy.linalg import solve_banded
from scipy.special import exprel


def _quadratic_extrapolation(x: np.ndarray, y: np.ndarray, at: float) -> float:
    """Value at `at` of the parabola through three points (Lagrange form)."""
    (x0, x1, x2), (y0, y1, y2) = x, y
    return float(
        y0 * (at - x1) * (at - x2) / ((x0 - x1) * (x0 - x2))
        + y1 * (at - x0) * (at - x2) / ((x1 - x0) * (x1 - x2))
        + y2 * (at - x0) * (at - x1) / ((x2 - x0) * (x2 - x1))
    )


def step(
    dt: float,
    gamma: np.ndarray,
    n: np.ndarray,
    gdot: np.ndarray,
    diff: np.ndarray,
    inj: np.ndarray,
    t_esc: float,
    tlc: float,
) -> np.ndarray:
    """N after one step of dt seconds (n, inj per unit γ; gdot, diff in s^-1; t_esc in s)."""
    dt_hat = dt / tlc
    g_hat, d_hat, q_hat = gdot * tlc, diff * tlc, inj * tlc
    tesc_hat = t_esc / tlc

    # Widths: forward, backward and cell; the missing neighbour repeats the nearest width.
    dgp = np.empty_like(gamma)
    dgp[:-1] = np.diff(gamma)
    dgp[-1] = dgp[-2]
    dgm = np.empty_like(gamma)
    dgm[1:] = dgp[:-1]
    dgm[0] = dgm[1]
    dg = 0.5 * (dgp + dgm)

    # Diffusion B = D/2 and drift V = γ̇ + ½ dD/dγ at the half-points.
    bp = np.empty_like(gamma)
    bp[:-1] = 0.25 * (d_hat[1:] + d_hat[:-1])
    bp[-1] = 0.25 * d_hat[-1]
    bm = np.empty_like(gamma)
    bm[1:] = bp[:-1]
    bm[0] = 0.25 * d_hat[0]
    vp = np.empty_like(gamma)
    vp[:-1] = 0.5 * (np.diff(d_hat) / dgp[:-1] + (g_hat[1:] + g_hat[:-1]))
    vp[-1] = vp[-2]
    vm = np.empty_like(gamma)
    vm[1:] = vp[:-1]
    vm[0] = _quadratic_extrapolation(gamma[1:4], vm[1:4], gamma[0])

    # Chang-Cooper weights times e^(±x/2): W e^{+x/2} = x/(1 − e^{−x}), W e^{−x/2} = x/(e^x − 1).
    xp, xm = dgp * vp / bp, dgm * vm / bm
    up_p, down_p = 1.0 / exprel(-xp), 1.0 / exprel(xp)
    up_m, down_m = 1.0 / exprel(-xm), 1.0 / exprel(xm)

    sub = -dt_hat * bm * down_m / (dg * dgm)  # coefficient of N_{i−1}
    sup = -dt_hat * bp * up_p / (dg * dgp)  # coefficient of N_{i+1}
    diag = 1.0 + dt_hat / dg * (bp * down_p / dgp + bm * up_m / dgm) + dt_hat / tesc_hat
    rhs = n + q_hat * dt_hat

    banded = np.zeros((3, gamma.size))
    banded[0, 1:] = sup[:-1]
    banded[1] = diag
    banded[2, :-1] = sub[1:]
    return solve_banded((1, 1), banded, rhs, overwrite_ab=True, check_finite=False)
