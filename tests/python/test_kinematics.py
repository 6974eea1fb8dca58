"""gofb and bofg: a number gives a float, a sequence a list."""

import math
from typing import Any

import numpy as np
import pytest
from conftest import BadFloat, Floaty

import sorvex


@pytest.mark.parametrize(
    ("function", "arg", "expected"),
    [
        (sorvex.gofb, 0.6, 1.25),
        (sorvex.gofb, -0.6, 1.25),
        (sorvex.gofb, 0, 1.0),
        (sorvex.gofb, True, math.inf),
        (sorvex.gofb, 1.0, math.inf),
        (sorvex.gofb, Floaty(), math.nan),
        (sorvex.gofb, 1.5, math.nan),
        (sorvex.bofg, 2.0, math.sqrt(3) / 2),
        (sorvex.bofg, 1.0, 0.0),
        (sorvex.bofg, 0.5, 0.0),
        (sorvex.bofg, -3.0, 0.0),
        (sorvex.bofg, math.inf, 1.0),
        (sorvex.bofg, math.nan, math.nan),
        (sorvex.bofg, np.float64(2.0), math.sqrt(3) / 2),
    ],
)
def test_scalars(function: Any, arg: Any, expected: float) -> None:
    result = function(arg)
    assert type(result) is float
    if math.isnan(expected):
        assert math.isnan(result)
    else:
        assert result == expected


@pytest.mark.parametrize("sequence", [[0.0, 0.6], (0.0, 0.6), np.array([0.0, 0.6])])
def test_sequences_give_lists(sequence: Any) -> None:
    assert sorvex.gofb(sequence) == [1.0, 1.25]


def test_elementwise_equals_scalar_bit_for_bit() -> None:
    values = [0.1 * k for k in range(-12, 13)] + [1e-300, 0.999999999, -1.0]
    assert sorvex.gofb(values) == pytest.approx([sorvex.gofb(v) for v in values], nan_ok=True)
    gammas = [1.0 + 10.0**k for k in range(-8, 9)]
    assert sorvex.bofg(gammas) == [sorvex.bofg(g) for g in gammas]
    assert sorvex.gofb([]) == []
    assert sorvex.bofg(range(0)) == []


COMPLEX = [1j, np.complex128(1.0), np.complex64(1.0 + 2.0j)]


@pytest.mark.parametrize(
    "arg",
    [
        "0.5",
        None,
        {},
        [0.5, "x"],
        [0.5, BadFloat()],  # its ValueError becomes the refusal too
        [[0.5]],
        10**400,
        {0.5},
        *COMPLEX,
        *[[2.0, value] for value in COMPLEX],
        np.array([2.0, 1.0 + 2.0j]),
        np.array([2.0, 1.0], dtype=np.complex64),
    ],
)
@pytest.mark.parametrize("function", [sorvex.gofb, sorvex.bofg])
def test_refusals_are_one_type_error(function: Any, arg: Any) -> None:
    # Whatever is neither a number nor a sequence of numbers (complex ones included) gets the
    # same TypeError, without a cause (interrupts pass: test_interrupts.py); its text is pinned
    # in test_compatibility.py.
    with pytest.raises(TypeError) as reference:
        sorvex.gofb(None)
    with pytest.raises(TypeError) as info:
        function(arg)
    assert type(info.value) is TypeError
    assert str(info.value) == str(reference.value)
    assert info.value.__cause__ is None
