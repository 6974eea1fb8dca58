"""Property-based fuzzing of every function: whatever Python passes, a call returns a result of
the right shape, raises the argument errors of the call frame, or raises PanicException. It never
crashes, hangs or returns something else.

SORVEX_FUZZ_EXAMPLES sets the number of examples per function (default 200).
"""

from __future__ import annotations

import faulthandler
import math
import os
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from conftest import panic_type
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import sorvex

EXAMPLES = int(os.environ.get("SORVEX_FUZZ_EXAMPLES", "200"))
CALL_TIME_LIMIT = 60.0  # seconds; a call that takes longer ends the test process
PANIC = panic_type()
try:
    sorvex.gofb(None)
except TypeError as refusal:
    REFUSAL = str(refusal)


class FuzzError(Exception):
    """Raised by the hostile objects below; must pass through unchanged."""


class RaisingFloat:
    def __float__(self) -> float:
        raise FuzzError("__float__")


class RaisingIter:
    def __len__(self) -> int:
        return 3

    def __getitem__(self, index: int) -> float:
        raise FuzzError("__getitem__")


class RaisingLen:
    def __len__(self) -> int:
        raise FuzzError("__len__")

    def __getitem__(self, index: int) -> float:
        if index < 2:
            return 1.5
        raise IndexError(index)


def generator() -> Iterator[float]:
    yield 1.0


special_floats = st.sampled_from(
    [0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 5e-324, 1e-310, 1e300, -1e300, 1e-100]
)
physical_floats = st.floats(min_value=1e-3, max_value=1e20)
floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True), special_floats, physical_floats)
numbers = st.one_of(floats, st.integers(min_value=-(10**3), max_value=10**3), st.booleans())
grids = st.lists(st.one_of(floats, physical_floats), max_size=6)
hostile = st.one_of(
    st.none(),
    st.text(max_size=3),
    st.binary(max_size=3),
    st.integers(min_value=10**300, max_value=10**400),
    st.just(RaisingFloat()),
    st.just(RaisingIter()),
    st.just(RaisingLen()),
    st.builds(generator),
    st.lists(st.lists(floats, max_size=2), max_size=2),
    st.lists(
        st.one_of(floats, st.none(), st.text(max_size=1), st.just(RaisingFloat())), max_size=3
    ),
    st.dictionaries(st.integers(), floats, max_size=2),
)


def arg(kind: str) -> st.SearchStrategy[Any]:
    """A valid value of one of the native kinds most of the time, anything at other times."""
    valid = {
        "double": numbers,
        "grid": st.one_of(grids, grids.map(tuple)),
        "bool": st.booleans(),
        "optional bool": st.one_of(st.none(), st.booleans()),
    }[kind]
    return st.one_of(valid, valid, valid, hostile)


# name -> (argument kinds, expected result shape given the call's arguments)
SIGNATURES: dict[str, tuple[list[str], Callable[[list[Any]], int | None]]] = {
    "eq_59_park1995": (["double", "grid"], lambda a: len(a[1])),
    "fp_findif_difu": (
        ["double", "grid", "grid", "grid", "grid", "grid", "double", "double", "optional bool"],
        lambda a: len(a[1]),
    ),
    "syn_emissivity_full": (["grid", "grid", "grid", "double", "bool"], lambda a: len(a[0])),
    "rad_trans_blob": (["double", "grid", "grid"], lambda a: len(a[1])),
    "rad_trans_slab": (["double", "grid", "grid"], lambda a: len(a[1])),
    "ic_iso_powlaw_full": (["grid", "grid", "grid", "grid"], lambda a: len(a[0])),
    "rad_cool_pwl": (["grid", "grid", "grid", "bool"], lambda a: len(a[0])),
    "rad_cool_mono": (["grid", "double", "double", "bool"], lambda a: len(a[0])),
    "ic_iso_monochrome_full": (["grid", "double", "double", "grid", "grid"], lambda a: len(a[0])),
}

ALLOWED_ERRORS = (TypeError, OverflowError, FuzzError, PANIC)


def call_bounded(function: Callable[..., Any], args: list[Any]) -> Any:
    faulthandler.dump_traceback_later(CALL_TIME_LIMIT, exit=True)
    try:
        return function(*args)
    finally:
        faulthandler.cancel_dump_traceback_later()


def check_shape(result: Any, length: int | None) -> None:
    if isinstance(result, tuple):
        assert len(result) == 2
        for part in result:
            check_shape(part, length)
        return
    assert type(result) is list
    assert all(type(value) is float for value in result)
    if length is not None:
        assert len(result) == length


fuzz_settings = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_every_outcome_is_allowed(name: str) -> None:
    kinds, shape = SIGNATURES[name]
    function = getattr(sorvex, name)

    @fuzz_settings
    @given(st.tuples(*[arg(kind) for kind in kinds]))
    def run(args: tuple[Any, ...]) -> None:
        try:
            result = call_bounded(function, list(args))
        except ALLOWED_ERRORS:
            return
        try:
            length = shape(list(args))
        except (TypeError, FuzzError):  # no usable len(): shape unknown
            length = None
        check_shape(result, length)

    run()


@fuzz_settings
@given(st.one_of(numbers, grids, hostile))
@pytest.mark.parametrize("name", ["gofb", "bofg"])
def test_kinematics_answer_in_the_shape_of_the_argument(name: str, value: Any) -> None:
    function = getattr(sorvex, name)
    try:
        result = call_bounded(function, [value])
    except TypeError as error:
        message = str(error)
        assert message == REFUSAL  # their one TypeError
        return
    if type(result) is float:
        return
    check_shape(result, None)
