"""fp_findif_difu: one implicit Chang-Cooper step of the Fokker-Planck equation."""

import math
from typing import Any

import numpy as np
import pytest

import sorvex

GAMMA = list(np.logspace(0, 4, 20))


def problem(**changes: Any) -> dict[str, Any]:
    """Synchrotron-like cooling, weak diffusion, power-law injection and escape."""
    args: dict[str, Any] = {
        "dt_in": 7.0,
        "gamma_bins": GAMMA,
        "nin": [g**-2 for g in GAMMA],
        "gdot_in": [1e-6 * g * g for g in GAMMA],
        "din": [1e-8 * g * g for g in GAMMA],
        "qin": [g**-2.5 for g in GAMMA],
        "tesc_in": 50.0,
        "tlc": 3.0,
    }
    args.update(changes)
    return args


def step(**changes: Any) -> list[float]:
    return sorvex.fp_findif_difu(**problem(**changes))


def test_zero_step_returns_the_start_exactly() -> None:
    assert step(dt_in=0.0) == problem()["nin"]


@pytest.mark.parametrize("factor", [2.0**-3, 2.0**5])
def test_linear_in_start_and_injection_bit_for_bit(factor: float) -> None:
    args = problem()
    scaled = step(nin=[v * factor for v in args["nin"]], qin=[v * factor for v in args["qin"]])
    assert scaled == [v * factor for v in step()]


@pytest.mark.parametrize(("tesc_in", "same"), [(50.0, True), (1e-100, False), (-50.0, False)])
def test_light_crossing_time_is_only_a_unit(tesc_in: float, same: bool) -> None:
    assert (step(tesc_in=tesc_in, tlc=3.0 * 2.0**7) == step(tesc_in=tesc_in)) is same


def test_zero_escape_time_empties_the_grid() -> None:
    assert step(tesc_in=0.0) == [0.0] * len(GAMMA)


@pytest.mark.parametrize("n", [2, 3, 7])
def test_pure_diffusion_is_the_centred_operator(n: int) -> None:
    g = np.cumsum(np.linspace(1.0, 2.0, n)) + 1.0  # non-uniform widths
    d, dt, tesc, nin = 0.3, 2.0, 5.0, np.linspace(1.0, 3.0, n)
    up = np.append(np.diff(g), g[-1] - g[-2])  # forward widths, last one repeated
    down = np.insert(np.diff(g), 0, g[1] - g[0])
    cell = (up + down) / 2
    b_up = np.full(n, d / 2)  # B = D/2 inside; a quarter of D at both outer half-points
    b_up[-1] = d / 4
    b_down = np.roll(b_up, 1)
    b_down[0] = d / 4
    matrix = np.diag(1 + dt / tesc + dt * (b_up / up + b_down / down) / cell)
    for i in range(n - 1):
        matrix[i, i + 1] = -dt * b_up[i] / (cell[i] * up[i])
        matrix[i + 1, i] = -dt * b_down[i + 1] / (cell[i + 1] * down[i + 1])
    zeros = [0.0] * n
    got = sorvex.fp_findif_difu(dt, list(g), list(nin), zeros, [d] * n, zeros, tesc, 1.0)
    assert got == pytest.approx(np.linalg.solve(matrix, nin), rel=1e-13)


@pytest.mark.parametrize("edge", [0.1, -0.1])
def test_weights_are_continuous_where_their_series_ends(edge: float) -> None:
    # Two points one apart with D = 4: x = gdot at both outer half-points (0.1 and beyond is
    # the closed form, just below it the series); the inner half-point stays in the series.
    def two_points(gdot: float) -> list[float]:
        return sorvex.fp_findif_difu(
            1.0, [1.0, 2.0], [1.0, 2.0], [gdot] * 2, [4.0] * 2, [0.0] * 2, 10.0, 1.0
        )

    assert two_points(edge) == pytest.approx(two_points(math.nextafter(edge, 0.0)), rel=2e-14)


@pytest.mark.parametrize("extra", [1, 4])
def test_spreading_and_long_right_hand_sides(extra: int) -> None:
    args, n = problem(), len(GAMMA)
    reference = step(nin=[1.5] * n, qin=[0.25] * n)
    assert step(nin=[1.5], qin=[0.25] * n) == reference
    assert step(nin=[1.5] * n, qin=[0.25]) == reference
    assert step(nin=[1.5] * (n + extra), qin=[0.25]) == reference
    assert step(nin=args["nin"] + [9.0] * extra, qin=args["qin"] + [9.0] * extra) == step()


VALIDATION = "FP_FinDif_difu: at least one input parameter is not correctly defined"
POLINT = 'called `Result::unwrap()` on an `Err` value: "polint: calculation failure"'
N = len(GAMMA)


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"gdot_in": [1.0, math.nan] * (N // 2)}, VALIDATION),
        ({"tlc": math.nan, "check_params": True}, VALIDATION),
        ({"qin": [math.nan]}, VALIDATION),
        ({"gamma_bins": GAMMA[:2] + GAMMA[1:-1]}, POLINT),
        (
            {
                "gamma_bins": [1.0, 2.0, 2.0],
                **{k: [1.0] * 3 for k in ("nin", "gdot_in", "din", "qin")},
            },
            POLINT,
        ),
        ({"gamma_bins": [1.0]}, "fp_findif_difu: gamma_bins has 1 value but at least 2 are needed"),
        ({"gdot_in": [1.0] * 3}, f"fp_findif_difu: gdot_in has 3 values but gamma_bins has {N}"),
        (
            {"din": [1.0] * (N + 1)},
            f"fp_findif_difu: din has {N + 1} values but gamma_bins has {N}",
        ),
        ({"nin": [1.0] * 2, "qin": [1.0] * 3}, "fp_findif_difu: nin has 2 values but qin has 3"),
        ({"nin": [1.0] * 5}, "fp_findif_difu: nin has 5 values but qin has 20"),
        ({"qin": [1.0] * 5, "nin": [1.0]}, f"nin + qin dt has 5 values but gamma_bins has {N}"),
        ({"qin": [], "nin": [1.0]}, f"nin + qin dt has 0 values but gamma_bins has {N}"),
    ],
)
def test_stops(changes: dict[str, Any], message: str, panic_exception: type) -> None:
    with pytest.raises(BaseException) as info:  # noqa: PT011 (PanicException is a BaseException)
        step(**changes)
    assert type(info.value) is panic_exception
    assert message in str(info.value)


def test_nan_passes_without_validation() -> None:
    result = step(gdot_in=[1e-6] * (N - 1) + [math.nan], check_params=False)
    assert any(math.isnan(v) for v in result)


@pytest.mark.parametrize(("n", "decades"), [(100, 6), (400, 6), (1000, 6), (200, 1)])
def test_outflow_through_the_lowest_half_point(n: int, decades: int) -> None:
    # Pure cooling V = 1e-8 g^2 (upwind everywhere): what one step loses, the sum of cell widths
    # times the decrease, leaves through the bottom at the drift of the half-point below g_0.
    # On the two dense grids the full-degree extrapolation of that drift is ruined by rounding.
    g = np.logspace(0, decades, n)
    nin = np.where(g < 2.0, 1.0, 0.0)
    dt, zeros = 1e5, [0.0] * n
    out = np.array(
        sorvex.fp_findif_difu(
            dt, list(g), list(nin), list(1e-8 * g * g), [1e-20] * n, zeros, 1e99, 1.0
        )
    )
    below = g[0] * g[0] / g[1]
    drift = 1e-8 * (g[0] ** 2 + below**2) / 2
    loss = np.sum(np.gradient(g) * (nin - out)) / dt
    assert loss / out[0] == pytest.approx(drift, rel=2e-5)


def test_steady_state_is_the_cooled_power_law() -> None:
    # gdot = b g^2, escape time t: N ~ g^-p below the break 1/(b t), g^-(p+1) above.
    g = np.logspace(0, 7, 141)
    n: list[float] = [0.0] * len(g)
    for _ in range(5):
        n = sorvex.fp_findif_difu(
            1e8, list(g), n, list(1e-6 * g * g), list(1e-12 * g * g), list(g**-2.5), 1e2, 1.0
        )

    def slope(lo: float, hi: float) -> float:
        inside = (g >= lo) & (g <= hi)
        return float(np.polyfit(np.log(g[inside]), np.log(np.array(n)[inside]), 1)[0])

    assert slope(10, 100) == pytest.approx(-2.5, rel=0.02)
    assert slope(1e5, 1e6) == pytest.approx(-3.5, rel=0.02)
