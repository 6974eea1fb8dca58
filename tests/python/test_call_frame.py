"""Argument matching, conversion, result conversion and PanicException."""

import array
import sys
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from conftest import BadFloat, Floaty, Indexy, run_python

import sorvex

fp = sorvex.fp_findif_difu


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: sorvex.gofb(1, 2), "gofb() takes 1 positional arguments but 2 were given"),
        (
            lambda: sorvex.rad_trans_blob(1, 2, 3, 4),
            "rad_trans_blob() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: fp(*range(10)),
            "fp_findif_difu() takes from 8 to 9 positional arguments but 10 were given",
        ),
        (lambda: sorvex.gofb(x=1), "gofb() got an unexpected keyword argument 'x'"),
        (lambda: sorvex.gofb(0.5, arg=0.5), "gofb() got multiple values for argument 'arg'"),
        # keyword problems come before missing arguments, in keyword order
        (
            lambda: sorvex.rad_trans_blob(foo=1),
            "rad_trans_blob() got an unexpected keyword argument 'foo'",
        ),
        (
            lambda: sorvex.rad_trans_blob(1.0, blob_radius=1.0, zz=1),
            "rad_trans_blob() got multiple values for argument 'blob_radius'",
        ),
        (lambda: sorvex.gofb(), "gofb() missing 1 required positional argument: 'arg'"),
        (
            lambda: sorvex.rad_trans_blob(1.0),
            "rad_trans_blob() missing 2 required positional arguments: 'j_nu' and 'a_nu'",
        ),
        (
            lambda: sorvex.syn_emissivity_full(),
            "syn_emissivity_full() missing 5 required positional arguments: 'freqs', "
            "'gamma_bins', 'n_distrib', 'b_field', and 'with_abs'",
        ),
        (
            lambda: sorvex.rad_trans_blob(j_nu=[1.0]),
            "rad_trans_blob() missing 2 required positional arguments: 'blob_radius' and 'a_nu'",
        ),
        (
            lambda: fp(1.0, [1.0], [1.0], [1.0], [1.0], [1.0], tlc=1.0),
            "fp_findif_difu() missing 1 required positional argument: 'tesc_in'",
        ),
    ],
)
def test_matching_messages(call: Callable[[], Any], message: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_keyword_arguments_fill_their_slots() -> None:
    assert sorvex.bofg(arg=2.0) == sorvex.bofg(2.0)
    by_keyword = sorvex.rad_trans_blob(a_nu=[0.5], j_nu=[2.0], blob_radius=3.0)
    assert by_keyword == sorvex.rad_trans_blob(3.0, [2.0], [0.5])


class BadFloatCause:
    def __float__(self) -> float:
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


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
    assert all(type(value) is float for value in result)


def generator() -> Any:
    yield 1.0


@pytest.mark.parametrize(
    ("j_nu", "message"),
    [
        ("abc", "argument 'j_nu': Can't extract `str` to `Vec`"),
        (5, "argument 'j_nu': 'int' object cannot be converted to 'Sequence'"),
        (2.0, "argument 'j_nu': 'float' object cannot be converted to 'Sequence'"),
        (generator(), "argument 'j_nu': 'generator' object cannot be converted to 'Sequence'"),
        ({1: 2}, "argument 'j_nu': 'dict' object cannot be converted to 'Sequence'"),
        (None, "argument 'j_nu': 'NoneType' object cannot be converted to 'Sequence'"),
        (
            [1.0, "x"],
            "argument 'j_nu': must be real number, not str",
        ),
        ([None], "argument 'j_nu': must be real number, not NoneType"),
    ],
)
def test_grid_conversion_failures_are_relabelled(j_nu: Any, message: str) -> None:
    with pytest.raises(TypeError) as info:
        sorvex.rad_trans_blob(1.0, j_nu, [1.0])
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("value", "type_name"),
    [
        (1j, "complex"),
        (np.complex128(1.0), "numpy.complex128"),
        (np.complex64(1.0 + 2.0j), "numpy.complex64"),
        (np.array([2.0, 1.0 + 2.0j]), "numpy.complex128"),  # items of complex arrays
        (np.array([2.0, 1.0], dtype=np.complex64), "numpy.complex64"),
    ],
)
def test_complex_numbers_are_refused_like_complex(value: Any, type_name: str) -> None:
    # NumPy's would otherwise convert to their real part, with a ComplexWarning
    grid = value if isinstance(value, np.ndarray) else [2.0, value]
    with pytest.raises(TypeError) as info:
        sorvex.rad_trans_blob(1.0, grid, [1.0])
    assert str(info.value) == f"argument 'j_nu': must be real number, not {type_name}"
    for function in (sorvex.gofb, sorvex.bofg):
        for arg in (grid, grid[1]):
            with pytest.raises(TypeError, match=r"^Argument must be a float or a list of floats"):
                function(arg)


def test_relabelled_error_keeps_the_original_cause() -> None:
    with pytest.raises(TypeError) as info:
        sorvex.rad_trans_blob(1.0, [BadFloatCause()], [1.0])
    assert str(info.value) == "argument 'j_nu': outer"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize(
    ("bad", "error"),
    [([10**400], OverflowError), ([BadFloat()], ValueError)],
)
def test_other_error_types_pass_unchanged(bad: list[Any], error: type[Exception]) -> None:
    with pytest.raises(error) as info:
        sorvex.rad_trans_blob(1.0, bad, [1.0])
    assert type(info.value) is error
    assert not str(info.value).startswith("argument")


def test_the_first_failing_argument_in_signature_order_is_reported() -> None:
    with pytest.raises(TypeError, match=r"^argument 'blob_radius': must be real number, not str$"):
        sorvex.rad_trans_blob("r", "j", "a")
    with pytest.raises(TypeError, match=r"^argument 'a_nu'"):
        sorvex.rad_trans_blob(1, [1], "a")


@pytest.mark.parametrize("value", [1, 0, 1.0, None, "True", np.bool_(True)])
def test_booleans_must_be_bool(value: Any) -> None:
    with pytest.raises(TypeError) as info:
        sorvex.rad_cool_mono([2.0], 1.0, 1.0, value)
    qualname = type(value).__qualname__
    assert (
        str(info.value)
        == f"argument 'with_kn': '{qualname}' object cannot be converted to 'PyBool'"
    )


def test_optional_boolean_rejects_non_bools() -> None:
    with pytest.raises(TypeError, match=r"^argument 'check_params': 'int' object cannot"):
        fp(1.0, [1.0, 2.0], [1.0, 1.0], [0.0, 0.0], [1.0, 1.0], [0.0, 0.0], 1.0, 1.0, 1)


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


def test_panic_exception_is_a_base_exception(panic_exception: type[BaseException]) -> None:
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__module__ == "sorvex"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    assert panic_exception.__doc__ is not None
    assert "BaseException" in panic_exception.__doc__
    caught: BaseException | None = None
    try:
        sorvex.rad_trans_slab(1.0, [1.0, 2.0], [])
    except Exception:
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as error:
        caught = error
    assert type(caught) is panic_exception
    message = "rad_trans_slab: a_nu has 0 values but at least 2 are needed"
    assert caught.args == (message,)
    assert str(caught) == message
    assert panic_type_is_reused(panic_exception)


def panic_type_is_reused(panic_exception: type[BaseException]) -> bool:
    try:
        sorvex.rad_trans_blob(1.0, [1.0], [])
    except BaseException as error:
        return type(error) is panic_exception
    return False


def test_stop_report_on_stderr_with_one_hint() -> None:
    result = run_python(
        """
        import sorvex
        for _ in range(2):
            try:
                sorvex.rad_trans_blob(1.0, [1.0, 2.0], [1.0])
            except BaseException as error:
                print(type(error).__name__, error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("PanicException rad_trans_blob: a_nu has 1 value") == 2
    lines = result.stderr.splitlines()
    reports = [line for line in lines if line.startswith("thread 'main' stopped at ")]
    assert len(reports) == 2
    assert reports[0].startswith("thread 'main' stopped at src/core/radiation/transfer.cpp:")
    assert lines.count("rad_trans_blob: a_nu has 1 value but at least 2 are needed") == 2
    assert sum(line.startswith("note:") for line in lines) == 1


def test_an_uncaught_stop_ends_the_interpreter_with_a_traceback() -> None:
    result = run_python("import sorvex; sorvex.rad_trans_slab(1.0, [1.0], [])")
    assert result.returncode == 1
    assert "sorvex.PanicException: rad_trans_slab: a_nu has 0 values" in result.stderr


def test_results_are_new_lists_and_arguments_keep_their_references() -> None:
    j = [float("1.5"), float("2.5")]  # objects of this test alone
    a = (float("0.5"), float("0.25"))
    before = (sys.getrefcount(j), sys.getrefcount(a), sys.getrefcount(j[0]))
    for _ in range(1000):
        out = sorvex.rad_trans_slab(1.0, j, a)
        assert out is not j
        with pytest.raises(TypeError):
            sorvex.rad_trans_slab(1.0, j, "x")
    del out
    assert (sys.getrefcount(j), sys.getrefcount(a), sys.getrefcount(j[0])) == before
