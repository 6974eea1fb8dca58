"""fp_findif_difu: one implicit Chang-Cooper step of the Fokker-Planck equation."""

import math
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest

import sorvex

GAMMA = list(np.logspace(0, 4, 20))
N = len(GAMMA)
NIN = [g**-2 for g in GAMMA]
QIN = [g**-2.5 for g in GAMMA]


def step(**changes: Any) -> list[float]:
    """Synchrotron-like cooling, weak diffusion, power-law injection and escape."""
    g = np.array(GAMMA)
    args = dict(dt_in=7.0, gamma_bins=GAMMA, nin=NIN, gdot_in=1e-6 * g * g, din=1e-8 * g * g)
    return sorvex.fp_findif_difu(**(args | dict(qin=QIN, tesc_in=50.0, tlc=3.0) | changes))


@pytest.mark.parametrize(
    ("changes", "expected"),
    [
        ({"dt_in": 0.0}, lambda _: NIN),
        ({"tesc_in": 0.0}, lambda _: [0.0] * N),
        ({"nin": [v * 8 for v in NIN], "qin": [v * 8 for v in QIN]}, lambda r: [v * 8 for v in r]),
        ({"tlc": 3.0 * 2**7}, lambda r: r),  # tlc is only the unit of time
        ({"nin": [*NIN, 9.0], "qin": [*QIN, 9.0]}, lambda r: r),  # r beyond n is not read
        ({"nin": [1.5], "qin": [0.25] * N}, lambda _: step(nin=[1.5] * N, qin=[0.25] * N)),
        ({"nin": [1.5] * (N + 2), "qin": [0.25]}, lambda _: step(nin=[1.5] * N, qin=[0.25] * N)),
    ],
)
def test_exact_identities(changes: dict[str, Any], expected: Callable[[list[float]], Any]) -> None:
    assert step(**changes) == expected(step())


@pytest.mark.parametrize("n", [2, 3, 7])
def test_pure_diffusion_is_the_centred_operator(n: int) -> None:
    g = np.cumsum(np.linspace(1.0, 2.0, n)) + 1.0  # non-uniform widths
    d, dt, tesc, nin = 0.3, 2.0, 5.0, np.linspace(1.0, 3.0, n)
    up = np.append(np.diff(g), g[-1] - g[-2])  # forward widths, the last one repeated
    down = np.insert(np.diff(g), 0, g[1] - g[0])
    cell = (up + down) / 2
    b_up = np.append(np.full(n - 1, d / 2), d / 4)  # B = D/2; a quarter of D outside the grid
    b_down = np.insert(b_up[:-1], 0, d / 4)
    matrix = np.diag(1 + dt / tesc + dt * (b_up / up + b_down / down) / cell)
    for i in range(n - 1):
        matrix[i, i + 1] = -dt * b_up[i] / (cell[i] * up[i])
        matrix[i + 1, i] = -dt * b_down[i + 1] / (cell[i + 1] * down[i + 1])
    zeros = [0.0] * n
    got = sorvex.fp_findif_difu(dt, list(g), list(nin), zeros, [d] * n, zeros, tesc, 1.0)
    assert got == pytest.approx(np.linalg.solve(matrix, nin), rel=1e-13)


@pytest.mark.parametrize("edge", [0.1, -0.1])
def test_weights_are_continuous_where_their_series_ends(edge: float) -> None:
    # Points 1 apart, D = 4: x = gdot at both outer half-points (series below |x| = 0.1).
    def two_points(gdot: float) -> list[float]:
        return sorvex.fp_findif_difu(
            1.0, [1.0, 2.0], [1.0, 2.0], [gdot] * 2, [4.0] * 2, [0.0] * 2, 10.0, 1.0
        )

    assert two_points(edge) == pytest.approx(two_points(math.nextafter(edge, 0.0)), rel=2e-14)


def test_nan_passes_without_validation() -> None:
    # With the check on (None, True) NaN input stops the call: test_compatibility.py.
    assert math.isnan(step(gdot_in=[1e-6] * (N - 1) + [math.nan], check_params=False)[0])


@pytest.mark.parametrize(("n", "decades"), [(100, 6), (400, 6), (1000, 6), (200, 1)])
def test_outflow_through_the_lowest_half_point(n: int, decades: int) -> None:
    # Pure cooling V = 1e-8 g^2, upwind everywhere: what one step loses (cell widths times the
    # decrease) leaves through the bottom at the drift below g_0. On the last two grids the
    # full-degree extrapolation of that drift is ruined by rounding.
    g = np.logspace(0, decades, n)
    nin, dt, zeros = np.where(g < 2.0, 1.0, 0.0), 1e5, np.zeros(n)
    out = np.array(sorvex.fp_findif_difu(dt, g, nin, 1e-8 * g * g, zeros + 1e-20, zeros, 1e99, 1.0))
    drift = 1e-8 * (g[0] ** 2 + (g[0] ** 2 / g[1]) ** 2) / 2
    assert np.sum(np.gradient(g) * (nin - out)) / (dt * out[0]) == pytest.approx(
        drift, rel=2e-5, abs=0
    )


def test_steady_state_is_the_cooled_power_law() -> None:
    # gdot = b g^2, escape time t: N ~ g^-2.5 below the break 1/(b t) = 1e4, g^-3.5 above.
    g = np.logspace(0, 7, 141)
    n = np.zeros(len(g))
    for _ in range(5):
        n = np.array(
            sorvex.fp_findif_difu(1e8, g, n, 1e-6 * g * g, 1e-12 * g * g, g**-2.5, 1e2, 1.0)
        )
    for lo, hi, expected in [(10, 100, -2.5), (1e5, 1e6, -3.5)]:
        inside = (g >= lo) & (g <= hi)
        slope = np.polyfit(np.log(g[inside]), np.log(n[inside]), 1)[0]
        assert slope == pytest.approx(expected, rel=0.02)
