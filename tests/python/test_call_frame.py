"""Argument matching, conversion, result conversion and PanicException. The texts of the errors
are pinned once, in test_compatibility.py; here bad input is checked for the type of its error
and the argument it names."""

import array
import inspect
from typing import Any

import numpy as np
import pytest
from conftest import BadFloat, Floaty, Indexy, run_python

import sorvex

# Valid arguments of each function that takes any: the boundary test changes one at a time.
VALID: dict[str, tuple[Any, ...]] = {
    "eq_59_park1995": (1.0, [2.0]),
    "fp_findif_difu": (1.0, [1.0, 2.0], [1.0] * 2, [0.0] * 2, [1.0] * 2, [0.0] * 2, 1.0, 1.0, True),
    "syn_emissivity_full": ([1e9], [10.0, 20.0], [1.0, 0.5], 1.0, True),
    "rad_trans_blob": (1.0, [1.0], [0.5]),
    "ic_iso_powlaw_full": ([1e9, 1e12], [1.0, 1.0], [10.0, 20.0], [1.0, 0.5]),
    "rad_cool_pwl": ([10.0], [1e9, 2e9], [1.0, 1.0], True),
    "rad_cool_mono": ([10.0], 1e9, 1.0, True),
    "ic_iso_monochrome_full": ([1e15], 1.0, 1e10, [1.0, 0.5], [10.0, 20.0]),
    "rad_trans_slab": (1.0, [1.0], [0.5]),
}


def generator() -> Any:
    yield 1.0


# What each kind of argument refuses: a str is never a grid, a generator is not a sequence, a
# flag is True or False.
BAD = {
    list: ["x", None, 5, generator(), [1.0, "x"], [2.0, 1j]],
    float: ["x", None, [1.0], 1j],
    bool: ["x", None, 1, np.bool_(True)],
}


def bad_arguments() -> list[Any]:
    """(function, positional arguments, keyword arguments, the argument the error names)."""
    cases = []
    for name, valid in VALID.items():
        names = list(inspect.signature(getattr(sorvex, name)).parameters)
        for k, value in enumerate(valid):
            for bad in BAD[type(value)]:
                if bad is None and names[k] == "check_params":
                    continue  # None means the default, True
                cases.append((name, (*valid[:k], bad, *valid[k + 1 :]), {}, names[k]))
            # by keyword, after the positional ones
            keywords = dict(zip(names[k:], ("x", *valid[k + 1 :]), strict=False))
            cases.append((name, valid[:k], keywords, names[k]))
        cases.append((name, ("x",) * len(valid), {}, names[0]))  # the first in signature order
    return [pytest.param(*case, id=f"{case[0]}-{case[3]}-{n}") for n, case in enumerate(cases)]


@pytest.mark.parametrize(("name", "args", "kwargs", "argument"), bad_arguments())
def test_bad_arguments_raise_type_error_naming_them(
    name: str, args: tuple[Any, ...], kwargs: dict[str, Any], argument: str
) -> None:
    function = getattr(sorvex, name)
    function(*VALID[name])  # the unchanged call succeeds
    with pytest.raises(TypeError, match=f"^argument '{argument}': ") as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError


def test_keyword_arguments_fill_their_slots() -> None:
    assert sorvex.bofg(arg=2.0) == sorvex.bofg(2.0)
    by_keyword = sorvex.rad_trans_blob(a_nu=[0.5], j_nu=[2.0], blob_radius=3.0)
    assert by_keyword == sorvex.rad_trans_blob(3.0, [2.0], [0.5])


@pytest.mark.parametrize(
    ("grid", "expected"),
    [
        ([1.0, 2.0], [1.0, 2.0]),
        ((1.0, 2.0), [1.0, 2.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (b"\x01\x02", [1.0, 2.0]),
        (array.array("d", [0.5, 1.5]), [0.5, 1.5]),
        (np.array([0.25, 4.0]), [0.25, 4.0]),
        (np.array([1, 2], dtype=np.int32), [1.0, 2.0]),
        ([True, 3, Floaty(), Indexy(), np.float32(0.5)], [1.0, 3.0, 2.5, 3.0, 0.5]),
        ([], []),
    ],
)
def test_grids_accept_any_non_str_sequence_of_numbers(grid: Any, expected: list[float]) -> None:
    # rad_trans_slab with R = 1 and a_nu = 0 returns j_nu itself.
    result = sorvex.rad_trans_slab(1.0, grid, [0.0] * len(expected))
    assert result == expected
    assert type(result) is list
    assert result is not grid
    assert all(type(value) is float for value in result)


@pytest.mark.parametrize(
    ("bad", "error"),
    [([10**400], OverflowError), ([BadFloat()], ValueError)],
)
def test_other_error_types_pass_unchanged(bad: list[Any], error: type[Exception]) -> None:
    with pytest.raises(error) as info:
        sorvex.rad_trans_blob(1.0, bad, [1.0])
    assert type(info.value) is error
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("value", [True, 7, 2.5, Floaty(), Indexy(), np.float64(3.0)])
def test_doubles_accept_numbers(value: Any) -> None:
    assert sorvex.rad_trans_slab(value, [1.0], [0.0]) == [float(value)]


class LyingLength:
    """A sequence whose __len__ is absurd or raises: the length is only a hint."""

    def __init__(self, length: Any) -> None:
        self.length = length

    def __len__(self) -> int:
        if isinstance(self.length, Exception):
            raise self.length
        return int(self.length)

    def __getitem__(self, index: int) -> float:
        if index >= 3:
            raise IndexError(index)
        return float(index)


@pytest.mark.parametrize("length", [10**18, 2**62, 0, RuntimeError("len failed")])
def test_sequence_length_is_only_a_hint(length: Any) -> None:
    assert sorvex.rad_trans_slab(1.0, LyingLength(length), [0.0] * 3) == [0.0, 1.0, 2.0]


def test_iteration_errors_end_the_conversion() -> None:
    class Exploding(LyingLength):
        def __getitem__(self, index: int) -> float:
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="boom"):
        sorvex.rad_trans_slab(1.0, Exploding(2), [0.0])


def test_stop_report_on_stderr_with_one_hint() -> None:
    result = run_python(
        """
        import sorvex
        for _ in range(2):
            try:
                sorvex.rad_trans_blob(1.0, [1.0, 2.0], [1.0])
            except BaseException as error:
                print(type(error).__name__)
                print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.splitlines()[:2]
    assert result.stdout.splitlines() == [kind, message] * 2
    assert kind == "PanicException"
    lines = result.stderr.splitlines()
    reports = [line for line in lines if line.startswith("thread 'main' stopped at ")]
    assert len(reports) == 2
    assert reports[0].startswith("thread 'main' stopped at src/core/radiation/transfer.cpp:")
    assert lines.count(message) == 2  # the report's message line
    assert sum(line.startswith("note:") for line in lines) == 1


def test_an_uncaught_stop_ends_the_interpreter_with_a_traceback() -> None:
    result = run_python("import sorvex; sorvex.rad_trans_slab(1.0, [1.0], [])")
    assert result.returncode == 1
    with pytest.raises(BaseException) as info:  # noqa: PT011 (PanicException is a BaseException)
        sorvex.rad_trans_slab(1.0, [1.0], [])
    assert result.stderr.splitlines()[-1] == f"sorvex.PanicException: {info.value}"
