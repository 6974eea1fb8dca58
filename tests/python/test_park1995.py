"""eq_59_park1995: closed-form Fokker-Planck solution with fixed parameters."""

import math
import time

import pytest

import sorvex


@pytest.mark.parametrize(
    ("t", "g", "expected"),
    [(1.0, 100.0, 7.55e-11), (0.1, 100.0, 1.56e-6), (1.0, 2.0, 1.43e-7)],
)
def test_stated_values(t: float, g: float, expected: float) -> None:
    assert sorvex.eq_59_park1995(t, [g]) == pytest.approx([expected], rel=5e-3)


def test_closed_form_with_exact_bessel_function() -> None:
    # 4 pi e^-t / t x0^-1.5 p^-0.5 I_3(Z) exp(-(1/p + 1/x0)/t), Z = 2/(t sqrt(p x0)); the
    # module's Gamma(4) from the truncated product sits 4.4e-5 below 6, so I_3 that much above.
    x0 = math.sqrt(100.0**2 - 1)
    for t, g in [(0.3, 5.0), (2.0, 1e3), (0.05, 1.5)]:
        p = math.sqrt(g * g - 1)
        z = 2 / (t * math.sqrt(p * x0))
        i3 = sum(
            (z / 2) ** (3 + 2 * k) / (math.factorial(k) * math.factorial(k + 3)) for k in range(60)
        )
        exact = (
            4
            * math.pi
            * math.exp(-t)
            / t
            * x0**-1.5
            * p**-0.5
            * i3
            * math.exp(-(1 / p + 1 / x0) / t)
        )
        assert sorvex.eq_59_park1995(t, [g])[0] == pytest.approx(exact * (1 + 4.4e-5), rel=2e-6)


@pytest.mark.parametrize(
    ("t", "g"),
    [
        (1.0, [1.0, 0.5, -1.0]),
        (0.0, [2.0, 100.0]),
        (1.0, [math.nan]),
        (-1.0, [math.inf]),
        (1e3, [1e6]),
    ],
)
def test_floor(t: float, g: list[float]) -> None:
    assert sorvex.eq_59_park1995(t, g) == [1e-100] * len(g)


def test_entries_are_independent_and_empty_grid() -> None:
    assert sorvex.eq_59_park1995(0.5, []) == []
    good = sorvex.eq_59_park1995(0.5, [3.0, 50.0])
    assert sorvex.eq_59_park1995(0.5, [3.0, math.nan, 50.0]) == [good[0], 1e-100, good[1]]


def test_ceiling() -> None:
    # A negative time turns the exponential factor into a growing one.
    values = sorvex.eq_59_park1995(-0.002, [1.5, 2.0])
    assert values[0] == 1e200
    assert values[1] == pytest.approx(7.19e159, rel=1e-3)


def test_ten_thousand_points_take_milliseconds() -> None:
    g = [1.0 + 10.0 ** (6 * k / 9999) for k in range(10_000)]
    sorvex.eq_59_park1995(1.0, g[:1])  # Gamma(4) once per process
    start = time.perf_counter()
    sorvex.eq_59_park1995(1.0, g)
    assert time.perf_counter() - start < 0.2
