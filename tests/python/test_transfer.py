"""rad_trans_blob and rad_trans_slab: closed forms of the escape factors and length rules."""

import math
from collections.abc import Callable

import pytest

import sorvex

E = math.exp


@pytest.mark.parametrize(
    ("alpha", "blob", "slab"),
    [
        (0.0, 1 / 3, 1.0),
        (-2.0, 1 / 3, 1.0),  # optical depth below the thin limit
        (math.nan, 1 / 3, 1.0),  # a NaN depth counts as thin
        (1.0, (1 + 3 * E(-2)) / 8, 1 - E(-1)),
        (1e-3, 1 / 3 - 1 / 4000, (1 - E(-1e-3)) / 1e-3),  # blob: two-term series
        # blob depth 0.01: the closed form (its 5-term expansion), not the two-term series
        (0.005, 1 / 3 - 0.01 / 8 + 1e-4 / 30 - 1e-6 / 144 + 1e-8 / 840, (1 - E(-0.005)) / 0.005),
        (50.0, (1 - 2e-4 * (1 - 101 * E(-100))) / 200, (1 - E(-50)) / 50),
        (1e3, (0.5 - 1 / 4e6) / 2e3, 1 / 1e3),  # blob: large-depth form
        (math.inf, 0.0, 0.0),
    ],
)
def test_escape_factors(alpha: float, blob: float, slab: float) -> None:
    # R = 1, j = 1: the blob's optical depth is 2 alpha, the slab's alpha.
    assert sorvex.rad_trans_blob(1.0, [1.0], [alpha])[0] == pytest.approx(blob, rel=1e-9)
    assert sorvex.rad_trans_slab(1.0, [1.0], [alpha])[0] == pytest.approx(slab, rel=1e-14)


def test_thin_limits_are_exact() -> None:
    assert sorvex.rad_trans_blob(1.0, [1.0, 2.0], [0.0, 5e-11]) == [1 / 3, 2 / 3]
    assert sorvex.rad_trans_slab(1.0, [1.0, 2.0], [0.0, 1e-10]) == [1.0, 2.0]


@pytest.mark.parametrize("transfer", [sorvex.rad_trans_blob, sorvex.rad_trans_slab])
def test_lengths_follow_j_nu(
    transfer: Callable[[float, list[float], list[float]], list[float]],
    panic_exception: type[BaseException],
) -> None:
    assert transfer(1.0, [], []) == []
    assert transfer(1.0, [], [1.0]) == []
    assert len(transfer(2.0, [1.0, 2.0], [0.5, 0.1, 7.0])) == 2
    with pytest.raises(panic_exception):
        transfer(1.0, [1.0, 2.0], [1.0])
    result = transfer(1.0, [1.0, math.nan, 3.0], [0.1, 0.1, 0.1])
    assert math.isnan(result[1])
    assert math.isfinite(result[0])
    assert math.isfinite(result[2])
