"""Exact lists and tuples, and contiguous float64 buffers, are read by fast paths. They must give
the same values (bit for bit) and the same errors as the general path, which iterates."""

import array
import math
import struct
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from conftest import BadFloat, Floaty, Indexy

import sorvex


class ListSubclass(list[Any]):
    """Not an exact list: converted by the general path."""


class TupleSubclass(tuple[Any, ...]):
    """Not an exact tuple: converted by the general path."""


def convert(grid: Any) -> list[float]:
    # rad_trans_slab with R = 1 and no absorption returns j_nu itself.
    return sorvex.rad_trans_slab(1.0, grid, np.zeros(len(grid)))


def bits(values: list[float]) -> list[bytes]:
    return [struct.pack("<d", v) for v in values]


def outcome(call: Callable[[], Any]) -> tuple[str, str] | list[bytes]:
    try:
        return bits(call())
    except BaseException as error:
        return type(error).__name__, str(error)


ITEMS = [1.5, -0.0, math.nan, math.inf, -math.inf, 5e-324, 3, True, Floaty(), Indexy()]


@pytest.mark.parametrize("exact", [list, tuple])
@pytest.mark.parametrize(
    "items",
    [
        ITEMS,
        [],
        [1.0, "x", 2.0],
        [1.0, None],
        [2.0, BadFloat()],
        [1.0, 10**400],
        [np.float32(0.1), np.int64(7), np.float64(-2.5)],
    ],
)
def test_lists_and_tuples_match_the_general_path(exact: type, items: list[Any]) -> None:
    general = ListSubclass if exact is list else TupleSubclass
    fast = outcome(lambda: convert(exact(items)))
    assert fast == outcome(lambda: convert(general(items)))


def test_a_list_changed_while_converting_matches_the_general_path() -> None:
    class Shrinking:
        def __init__(self, owner: list[Any]) -> None:
            self.owner = owner

        def __float__(self) -> float:
            del self.owner[2:]
            return 0.5

    def grid(kind: type) -> Any:
        items: Any = kind([1.0, None, 3.0, 4.0])
        items[1] = Shrinking(items)
        return items

    assert outcome(lambda: convert(grid(list))) == outcome(lambda: convert(grid(ListSubclass)))
    assert sorvex.rad_trans_slab(1.0, grid(list), [0.0] * 4) == [1.0, 0.5]


VALUES = np.array([1.5, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1e308, -7.25])


@pytest.mark.parametrize(
    "buffer",
    [
        VALUES,
        VALUES.astype("<f8"),
        np.ascontiguousarray(np.repeat(VALUES, 2)[::2]),
        array.array("d", VALUES.tolist()),
        memoryview(array.array("d", VALUES.tolist())),
        np.array([], dtype=np.float64),
    ],
)
def test_float64_buffers_match_the_general_path(buffer: Any) -> None:
    assert outcome(lambda: convert(buffer)) == outcome(lambda: convert(ListSubclass(buffer)))


@pytest.mark.parametrize(
    "general",
    [
        np.repeat(VALUES, 2)[::2],  # strided
        VALUES.astype(">f8"),  # foreign byte order
        np.array([0.1, -2.5, math.inf], dtype=np.float32),
        array.array("f", [0.5, 2.0]),
        np.arange(4),
    ],
)
def test_other_buffers_take_the_general_path_with_the_same_values(general: Any) -> None:
    assert outcome(lambda: convert(general)) == bits([float(v) for v in general])


def test_buffer_errors_are_those_of_iteration() -> None:
    two_d = np.ones((2, 2))  # its items are rows, which are not numbers
    error = outcome(lambda: convert(two_d))
    assert error == outcome(lambda: convert(ListSubclass(two_d)))
    assert error[0] == "TypeError"
