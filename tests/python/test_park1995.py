"""eq_59_park1995: closed-form Fokker-Planck solution with fixed parameters."""

import math

import pytest

import sorvex


@pytest.mark.parametrize(
    ("t", "g", "expected"),
    [
        (1.0, [100.0, math.nan, 2.0], [7.55e-11, 1e-100, 1.43e-7]),  # NaN spoils its entry only
        (0.1, [100.0], [1.56e-6]),
        (1.0, [1.0, 0.5, -1.0], [1e-100] * 3),  # p = 0 or NaN
        (0.0, [2.0, 100.0], [1e-100] * 2),
        (1e3, [1e6], [1e-100]),  # Bessel factor below its cutoff: exactly 0
        (-0.002, [1.5, 2.0], [1e200, 7.19e159]),  # a negative time makes the exponential grow
        (1.0, [], []),
    ],
)
def test_values_and_clamp(t: float, g: list[float], expected: list[float]) -> None:
    assert sorvex.eq_59_park1995(t, g) == pytest.approx(expected, rel=5e-3, abs=0)
