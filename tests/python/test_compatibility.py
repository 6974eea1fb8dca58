"""The compatibility surface of `sorvex`, pinned once: the order of `__all__`, the names,
docstrings and text signatures of the twelve functions, the TypeError texts of argument matching
and conversion (the interpreter's own forms, README "Conventions"), the one TypeError of `gofb`
and `bofg`, and the message of every PanicException stop.

Do not change an expected value here to make a test pass. Existing callers match on these
texts, names, signatures and this order (they parse messages, catch by type name, bind by
keyword): a difference is a fault of the module. Other tests check the type of an error and
the argument it names, not its text."""

import re
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest

import sorvex

# name: (text signature, docstring), in the order of __all__
FUNCTIONS: dict[str, tuple[str, str | None]] = {
    "get_c": (
        "()",
        "Example retrieving constant from constants file can be improved by using macros",
    ),
    "gofb": ("(arg)", "functions from tessarine"),
    "bofg": ("(arg)", None),
    "eq_59_park1995": ("(t, g)", "functions from distribs"),
    "fp_findif_difu": (
        "(dt_in, gamma_bins, nin, gdot_in, din, qin, tesc_in, tlc, check_params=None)",
        None,
    ),
    "syn_emissivity_full": ("(freqs, gamma_bins, n_distrib, b_field, with_abs)", None),
    "rad_trans_blob": ("(blob_radius, j_nu, a_nu)", None),
    "ic_iso_powlaw_full": ("(freqs, inu, g, n)", None),
    "rad_cool_pwl": ("(gg, freqs, uu, with_kn)", None),
    "rad_cool_mono": ("(gg, nu0, u0, with_kn)", None),
    "ic_iso_monochrome_full": ("(freqs, uext, nuext, n, g)", None),
    "rad_trans_slab": ("(blob_radius, j_nu, a_nu)", None),
}


def test_all_lists_the_twelve_functions_in_order() -> None:
    assert type(sorvex.__all__) is list
    assert sorvex.__all__ == list(FUNCTIONS)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_names_signatures_and_docstrings(name: str) -> None:
    function = getattr(sorvex, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert (function.__name__, function.__module__, function.__self__) == (name, "sorvex", sorvex)
    assert (function.__text_signature__, function.__doc__) == FUNCTIONS[name]


# ---------------------------------------------------------------------------------------------
# TypeError: argument matching


fp = sorvex.fp_findif_difu


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: sorvex.get_c(1), "sorvex.get_c() takes no arguments (1 given)"),
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


# ---------------------------------------------------------------------------------------------
# TypeError: argument conversion, relabelled with the argument's name


def generator() -> Any:
    yield 1.0


class BadFloatCause:
    def __float__(self) -> float:
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


def blob_j_nu(j_nu: Any) -> Callable[[], Any]:
    return lambda: sorvex.rad_trans_blob(1.0, j_nu, [1.0])


def cool_with_kn(value: Any) -> Callable[[], Any]:
    return lambda: sorvex.rad_cool_mono([2.0], 1.0, 1.0, value)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        # grids
        (blob_j_nu("abc"), "argument 'j_nu': Can't extract `str` to `Vec`"),
        (blob_j_nu(5), "argument 'j_nu': 'int' object cannot be converted to 'Sequence'"),
        (blob_j_nu(2.0), "argument 'j_nu': 'float' object cannot be converted to 'Sequence'"),
        (
            blob_j_nu(generator()),
            "argument 'j_nu': 'generator' object cannot be converted to 'Sequence'",
        ),
        (blob_j_nu({1: 2}), "argument 'j_nu': 'dict' object cannot be converted to 'Sequence'"),
        (blob_j_nu(None), "argument 'j_nu': 'NoneType' object cannot be converted to 'Sequence'"),
        (blob_j_nu([1.0, "x"]), "argument 'j_nu': must be real number, not str"),
        (blob_j_nu([None]), "argument 'j_nu': must be real number, not NoneType"),
        (blob_j_nu([BadFloatCause()]), "argument 'j_nu': outer"),  # the item's own message
        # complex numbers, NumPy's and the items of complex arrays included, as `complex`
        (blob_j_nu([2.0, 1j]), "argument 'j_nu': must be real number, not complex"),
        (
            blob_j_nu([2.0, np.complex128(1.0)]),
            "argument 'j_nu': must be real number, not numpy.complex128",
        ),
        (
            blob_j_nu([2.0, np.complex64(1.0 + 2.0j)]),
            "argument 'j_nu': must be real number, not numpy.complex64",
        ),
        (
            blob_j_nu(np.array([2.0, 1.0 + 2.0j])),
            "argument 'j_nu': must be real number, not numpy.complex128",
        ),
        (
            blob_j_nu(np.array([2.0, 1.0], dtype=np.complex64)),
            "argument 'j_nu': must be real number, not numpy.complex64",
        ),
        # numbers
        (
            lambda: sorvex.rad_trans_blob("r", "j", "a"),  # the first in signature order
            "argument 'blob_radius': must be real number, not str",
        ),
        # flags: True and False only
        (cool_with_kn(1), "argument 'with_kn': 'int' object cannot be converted to 'PyBool'"),
        (cool_with_kn(0), "argument 'with_kn': 'int' object cannot be converted to 'PyBool'"),
        (cool_with_kn(1.0), "argument 'with_kn': 'float' object cannot be converted to 'PyBool'"),
        (
            cool_with_kn(None),
            "argument 'with_kn': 'NoneType' object cannot be converted to 'PyBool'",
        ),
        (cool_with_kn("True"), "argument 'with_kn': 'str' object cannot be converted to 'PyBool'"),
        (
            cool_with_kn(np.bool_(True)),
            "argument 'with_kn': 'bool' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: fp(1.0, [1.0, 2.0], [1.0, 1.0], [0.0] * 2, [1.0] * 2, [0.0] * 2, 1.0, 1.0, 1),
            "argument 'check_params': 'int' object cannot be converted to 'PyBool'",
        ),
    ],
)
def test_conversion_messages(call: Callable[[], Any], message: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message
    if message.endswith("outer"):
        assert isinstance(info.value.__cause__, KeyError)  # the relabelled error keeps its cause


@pytest.mark.parametrize("function", [sorvex.gofb, sorvex.bofg])
def test_gofb_and_bofg_have_one_type_error(function: Callable[[Any], Any]) -> None:
    with pytest.raises(TypeError) as info:
        function("0.5")
    assert type(info.value) is TypeError
    assert str(info.value) == "Argument must be a float or a list of floats."


# ---------------------------------------------------------------------------------------------
# PanicException: the class and the message of every stop


def test_panic_exception_is_a_base_exception(panic_exception: type[BaseException]) -> None:
    assert (panic_exception.__module__, panic_exception.__qualname__) == (
        "sorvex",
        "PanicException",
    )
    assert panic_exception.__bases__ == (BaseException,)
    assert panic_exception.__doc__ == (
        "Raised when native code called from Python stops.\n\nLike SystemExit, this exception "
        "derives from BaseException, so that it typically propagates all the way through the "
        "stack and ends the interpreter; catch it explicitly to recover."
    )


G4 = [1.0, 2.0, 4.0, 8.0]
ONES, ZEROS = [1.0] * 4, [0.0] * 4
VALIDATION = "FP_FinDif_difu: at least one input parameter is not correctly defined"
NAN = float("nan")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        # grids too short for their use
        (
            lambda: sorvex.rad_trans_blob(1.0, [1.0, 2.0], [1.0]),
            "rad_trans_blob: a_nu has 1 value but at least 2 are needed",
        ),
        (
            lambda: sorvex.rad_trans_slab(1.0, [1.0], []),
            "rad_trans_slab: a_nu has 0 values but at least 1 is needed",
        ),
        (
            lambda: sorvex.syn_emissivity_full(
                [1e6], [1.0, 2.0, 3.0, 4.0, 5.0], [1.0] * 4, 1.0, True
            ),
            "syn_emissivity_full: n_distrib has 4 values but at least 5 are needed",
        ),
        (
            lambda: sorvex.syn_emissivity_full([1e6], [], [], 1.0, True),
            "syn_emissivity_full: gamma_bins has 0 values but at least 1 is needed",
        ),
        (
            lambda: sorvex.ic_iso_powlaw_full([1e9, 1e12], [1.0], [1.0, 2.0], [1.0] * 2),
            "ic_iso_powlaw_full: inu has 1 value but at least 2 are needed",
        ),
        (
            lambda: sorvex.ic_iso_powlaw_full([1e9, 1e12], [1.0] * 2, [1.0, 2.0], [1.0]),
            "ic_iso_powlaw_full: n has 1 value but at least 2 are needed",
        ),
        (
            lambda: sorvex.ic_iso_powlaw_full([1e9, 1e12], [1.0] * 2, [], []),
            "ic_iso_powlaw_full: g has 0 values but at least 1 is needed",
        ),
        (
            lambda: sorvex.ic_iso_monochrome_full([1e15], 1.0, 1e10, [], []),
            "ic_iso_monochrome_full: g has 0 values but at least 1 is needed",
        ),
        (
            lambda: sorvex.ic_iso_monochrome_full([1e15], 1.0, 1e10, [1.0], [1.0, 2.0]),
            "ic_iso_monochrome_full: n has 1 value but at least 2 are needed",
        ),
        (
            lambda: sorvex.rad_cool_pwl([2.0], [], [], False),
            "rad_cool_pwl: freqs has 0 values but at least 1 is needed",
        ),
        (
            lambda: sorvex.rad_cool_pwl([2.0], [1e9, 2e9, 3e9], [1.0, 1.0], False),
            "rad_cool_pwl: uu has 2 values but at least 3 are needed",
        ),
        (
            lambda: fp(1.0, [1.0], [1.0], [1.0], [1.0], [1.0], 1.0, 1.0),
            "fp_findif_difu: gamma_bins has 1 value but at least 2 are needed",
        ),
        (
            lambda: fp(1.0, G4, ONES, ONES[:3], ONES, ZEROS, 1.0, 1.0),
            "fp_findif_difu: gdot_in has 3 values but gamma_bins has 4",
        ),
        (
            lambda: fp(1.0, G4, ONES, ONES, [1.0] * 5, ZEROS, 1.0, 1.0),
            "fp_findif_difu: din has 5 values but gamma_bins has 4",
        ),
        (
            lambda: fp(1.0, G4, ONES[:3], ONES, ONES, ZEROS, 1.0, 1.0),
            "fp_findif_difu: nin has 3 values but qin has 4 (lengths must match unless one of "
            "them is 1)",
        ),
        (
            lambda: fp(1.0, G4, [1.0], ONES, ONES, [1.0] * 3, 1.0, 1.0),
            "fp_findif_difu: nin + qin dt has 3 values but gamma_bins has 4",
        ),
        # input the Fokker-Planck step checks (NaN; check_params None means on)
        (lambda: fp(1.0, G4, ONES, [1.0, NAN, 1.0, 1.0], ZEROS, ZEROS, 1.0, 1.0), VALIDATION),
        (lambda: fp(1.0, G4, ONES, ZEROS, ZEROS, ZEROS, 1.0, NAN, True), VALIDATION),
        # numerical failures: a repeated grid point, a zero pivot, Romberg without convergence
        (
            lambda: fp(
                1.0, [1.0, 2.0, 2.0, 4.0, 8.0], [1.0] * 5, [1.0] * 5, [1.0] * 5, [0.0] * 5, 1.0, 1.0
            ),
            'called `Result::unwrap()` on an `Err` value: "polint: calculation failure"',
        ),
        (  # dt = -tesc, no cooling or diffusion to speak of: the first pivot is 0
            lambda: fp(
                -1.0, [1.0, 2.0], [1.0] * 2, [1e-300] * 2, [1e-300] * 2, [0.0] * 2, 1.0, 1.0
            ),
            "tridag_ser: error at code stage 1",
        ),
        (
            lambda: sorvex.rad_cool_pwl([1e2, 2e2, 3e2, 4e2], [1e18, 1e18], [1.0, 1.0], True),
            'called `Result::unwrap()` on an `Err` value: "qromb: too many steps"',
        ),
        # a Klein-Nishina table larger than the machine (its size in bytes varies)
        (
            lambda: sorvex.rad_cool_pwl([1.0] * 10**6, [1.0] * 10**6, [1.0] * 10**6, True),
            re.compile(
                r"rad_cool_pwl: two tables of 1000000 x 1000000 doubles need 16000000000000 "
                r"bytes, more than the \d+ bytes of physical memory"
            ),
        ),
    ],
)
def test_stop_messages(
    call: Callable[[], Any], message: str | re.Pattern[str], panic_exception: type[BaseException]
) -> None:
    with pytest.raises(BaseException) as info:  # noqa: PT011 (PanicException is a BaseException)
        call()
    assert type(info.value) is panic_exception
    assert len(info.value.args) == 1
    if isinstance(message, str):
        assert str(info.value) == message
    else:
        assert message.fullmatch(str(info.value))
