"""The binding of sorvexfit.kernels: NumPy results, arguments viewed in place or converted, one
table of bad input (ValueError for what the kernels refuse, TypeError for what is not an argument
at all, both naming the argument; the TypeErrors read as sorvex's), and a module exporting its
initialiser alone. The
stub is checked against the table in test_module.py, the physics in
tests/sorvexfit/test_kernels_reference.py; pool sizes, threads, Ctrl-C and pickling are tested
with sorvex in test_parallel.py, test_interrupts.py and test_process_pools.py."""

from __future__ import annotations

import array
import math
import shutil
import subprocess
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest

import sorvex
from sorvexfit import kernels

NU = np.geomspace(1e8, 1e20, 7)
GAMMA = np.geomspace(10.0, 1e6, 12)
N = GAMMA**-2.5
IC_NU = np.geomspace(1e14, 1e24, 7)
SEED_NU = np.geomspace(1e9, 1e14, 6)
SEED_I = 1e-3 * (SEED_NU / 1e9) ** -0.6
EC_NU = np.geomspace(1e17, 1e24, 7)
BLR = {"l_disk": 1e46, "xi_line": 0.1, "nu_line": 2.47e15, "r_line": 1e17, "r": 3e16}
TORUS = {"l_disk": 1e46, "xi_dt": 0.6, "t_dt": 1e3, "r_dt": 2e18, "r": 1e17}

# Valid arguments of each kernel, by name: each test changes one of them.
VALID: dict[str, dict[str, Any]] = {
    "synchrotron": {"nu": NU, "gamma": GAMMA, "n": N, "b_field": 0.1},
    "inverse_compton": {
        "nu": IC_NU,
        "seed_nu": SEED_NU,
        "seed_intensity": SEED_I,
        "gamma": GAMMA,
        "n": N,
    },
    "inverse_compton_line": {"nu": IC_NU, "u": 1e-2, "nu0": 1e14, "gamma": GAMMA, "n": N},
    "gamma_gamma_opacity": {
        "nu": np.geomspace(1e27, 1e30, 5),
        "seed_nu": SEED_NU,
        "seed_intensity": SEED_I,
        "radius": 1e16,
    },
    "external_compton_disk": {
        "nu": EC_NU,
        "l_disk": 1e46,
        "m_bh": 2e42,
        "eta": 0.1,
        "r_in": 6.0,
        "r_out": 200.0,
        "r": 1e17,
        "gamma_bulk": 10.0,
        "mu_s": 0.99,
        "gamma": GAMMA,
        "n": N,
    },
    "external_compton_blr": {
        "nu": EC_NU,
        **BLR,
        "gamma_bulk": 10.0,
        "mu_s": 0.99,
        "gamma": GAMMA,
        "n": N,
    },
    "external_compton_torus": {
        "nu": EC_NU,
        **TORUS,
        "gamma_bulk": 10.0,
        "mu_s": 0.99,
        "gamma": GAMMA,
        "n": N,
    },
    "external_compton_isotropic": {
        "nu": IC_NU,
        "seed_nu": SEED_NU,
        "seed_intensity": SEED_I,
        "gamma_bulk": 10.0,
        "mu_s": 0.99,
        "gamma": GAMMA,
        "n": N,
    },
    "external_compton_isotropic_line": {
        "nu": IC_NU,
        "u": 1e-2,
        "nu0": 1e14,
        "gamma_bulk": 10.0,
        "mu_s": 0.99,
        "gamma": GAMMA,
        "n": N,
    },
    "gamma_gamma_disk": {
        "nu": np.geomspace(1e27, 1e30, 5),
        "l_disk": 1e46,
        "m_bh": 2e42,
        "eta": 0.1,
        "r_in": 6.0,
        "r_out": 200.0,
        "r": 1e17,
        "mu_s": 0.99,
    },
    "gamma_gamma_blr": {"nu": np.geomspace(1e27, 1e30, 5), **BLR, "mu_s": 0.99},
    "gamma_gamma_torus": {"nu": np.geomspace(1e27, 1e30, 5), **TORUS, "mu_s": 0.99},
}


def call(name: str, **changes: Any) -> Any:
    return getattr(kernels, name)(**{**VALID[name], **changes})


def test_every_kernel_is_tested() -> None:
    assert kernels.__all__ == list(VALID)


@pytest.mark.parametrize("name", list(VALID))
def test_results_are_fresh_float64_arrays(name: str) -> None:
    result = call(name)
    arrays = result if name == "synchrotron" else (result,)
    if name == "synchrotron":
        assert type(result) is tuple
        assert len(result) == 2
    for values in arrays:
        assert type(values) is np.ndarray
        assert values.dtype == np.float64
        assert values.shape == VALID[name]["nu"].shape
        assert values.flags.c_contiguous
        assert values.flags.writeable
        assert values.flags.owndata
        assert np.all(np.isfinite(values))
    assert np.all(arrays[0] > 0.0)
    empty = call(name, nu=[])
    assert all(v.shape == (0,) for v in (empty if name == "synchrotron" else (empty,)))


# ---------------------------------------------------------------------------------------------
# Arguments viewed in place or converted


class BufferOnly:
    """Exposes its values through the buffer protocol alone (no len, no items) and counts the
    views taken and released."""

    def __init__(self, values: np.ndarray) -> None:
        self.values = np.ascontiguousarray(values, dtype=np.float64)
        self.taken = 0
        self.released = 0

    def __buffer__(self, flags: int) -> memoryview:
        self.taken += 1
        return memoryview(self.values)

    def __release_buffer__(self, view: memoryview) -> None:
        self.released += 1
        view.release()


@pytest.mark.parametrize("name", list(VALID))
def test_float64_buffers_are_read_in_place_and_released(name: str) -> None:
    expected = call(name)
    grids = {k: BufferOnly(v) for k, v in VALID[name].items() if isinstance(v, np.ndarray)}
    # Without a sequence protocol the values can only have come from the buffer itself.
    np.testing.assert_array_equal(call(name, **grids), expected, strict=True)
    for grid in grids.values():
        assert (grid.taken, grid.released) == (1, 1)
    held = array.array("d", VALID[name]["nu"].tolist())
    call(name, nu=held)
    held.append(1.0)  # BufferError if a view were still held


LAYOUTS: dict[str, Callable[[np.ndarray], Any]] = {
    "list": lambda v: v.tolist(),
    "tuple": lambda v: tuple(v.tolist()),
    "array.array": lambda v: array.array("d", v.tolist()),
    "strided view": lambda v: np.repeat(v, 2)[::2],
    "reversed view": lambda v: v[::-1].copy()[::-1],
    "big-endian": lambda v: v.astype(">f8"),
    "read-only": lambda v: np.lib.stride_tricks.as_strided(v, writeable=False),
    "longdouble": lambda v: v.astype(np.longdouble),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("name", list(VALID))
def test_other_layouts_and_sequences_give_the_same_bits(name: str, layout: str) -> None:
    converted = {k: LAYOUTS[layout](v) for k, v in VALID[name].items() if isinstance(v, np.ndarray)}
    np.testing.assert_array_equal(call(name, **converted), call(name), strict=True)


def test_integer_inputs_convert() -> None:
    gamma = np.array([10, 100, 1000, 10_000])
    n = [10**6, 10**3, 1, 0]
    as_float = kernels.synchrotron([1e9, 1e12], gamma.astype(float), [1e6, 1e3, 1.0, 0.0], 1)
    np.testing.assert_array_equal(kernels.synchrotron([10**9, 10**12], gamma, n, 1), as_float)


# ---------------------------------------------------------------------------------------------
# Bad input: ValueError for what the kernels refuse, TypeError for what is not an argument at all;
# either names the argument and writes no report on standard error


TIE = math.nextafter(10.0, math.inf)  # above 10.0, with the same logarithm
MISSING = object()  # an argument left out


def generator() -> Any:
    yield 1.0


def bad_input() -> list[Any]:
    """(kernel, changed arguments, error, the argument named) for every class of bad input."""
    cases: list[tuple[str, dict[str, Any], type[Exception], str]] = []
    for name, args in VALID.items():
        for nu in ([1e9, math.nan], [math.inf], [0.0], [-1e9]):
            cases.append((name, {"nu": nu}, ValueError, "nu"))
        if "gamma" in args:
            for changes, argument in [
                ({"gamma": [10.0], "n": [1.0]}, "gamma"),  # fewer than 2 points
                ({"gamma": [], "n": []}, "gamma"),
                ({"n": N[:-1]}, "n"),  # unequal lengths
                ({"gamma": [10.0, 10.0], "n": [1.0, 1.0]}, "gamma"),  # not increasing
                ({"gamma": [10.0, TIE], "n": [1.0, 2.0]}, "gamma"),  # one logarithm
                ({"gamma": [0.5, 10.0], "n": [1.0, 1.0]}, "gamma"),  # below 1
                ({"gamma": [10.0, math.inf], "n": [1.0, 1.0]}, "gamma"),
                ({"gamma": [10.0, math.nan], "n": [1.0, 1.0]}, "gamma"),
                ({"n": [*N[:-1], -1.0]}, "n"),
                ({"n": [*N[:-1], math.nan]}, "n"),
            ]:
                cases.append((name, changes, ValueError, argument))
        if "seed_nu" in args:
            for changes, argument in [
                ({"seed_nu": [1e9], "seed_intensity": [1.0]}, "seed_nu"),
                ({"seed_intensity": SEED_I[1:]}, "seed_intensity"),
                ({"seed_nu": SEED_NU[::-1]}, "seed_nu"),
                ({"seed_nu": [1e9, 1e9 * TIE / 10], "seed_intensity": [1.0, 2.0]}, "seed_nu"),
                ({"seed_nu": [0.0, 1e9], "seed_intensity": [1.0, 1.0]}, "seed_nu"),
                ({"seed_nu": [1e9, math.inf], "seed_intensity": [1.0, 1.0]}, "seed_nu"),
                ({"seed_intensity": -SEED_I}, "seed_intensity"),
                ({"seed_intensity": SEED_I * math.inf}, "seed_intensity"),
                ({"seed_intensity": [math.nan, *SEED_I[1:]]}, "seed_intensity"),
            ]:
                cases.append((name, changes, ValueError, argument))
    for name, argument in (
        ("synchrotron", "b_field"),
        ("inverse_compton_line", "nu0"),
        ("gamma_gamma_opacity", "radius"),
    ):
        for value in (0.0, -1.0, math.nan, math.inf, -math.inf):
            cases.append((name, {argument: value}, ValueError, argument))
    for value in (-1.0, math.nan, -math.inf):
        cases.append(("inverse_compton_line", {"u": value}, ValueError, "u"))
    # the fields of an active nucleus
    for name, changes in [
        ("external_compton_disk", {"r_out": 6.0}),  # not beyond r_in
        ("external_compton_disk", {"m_bh": 0.0}),
        ("external_compton_disk", {"l_disk": -1.0}),
        ("external_compton_disk", {"gamma_bulk": 0.5}),
        ("external_compton_disk", {"gamma_bulk": math.nan}),
        ("external_compton_disk", {"mu_s": 1.5}),
        ("external_compton_blr", {"r": BLR["r_line"]}),  # on the shell
        ("external_compton_blr", {"nu_line": -1.0}),
        ("external_compton_torus", {"t_dt": 0.0}),
        ("gamma_gamma_disk", {"mu_s": -0.1}),  # the optical depth needs mu_s >= 0
        ("gamma_gamma_blr", {"r": -1.0}),
        ("gamma_gamma_torus", {"xi_dt": math.inf}),
    ]:
        cases.append((name, changes, ValueError, next(iter(changes))))
    # arguments whose products overflow double precision: the result is not a number
    cases += [
        (
            "synchrotron",
            {"nu": [1e-300], "n": [1e300, 1e300], "gamma": [10.0, 20.0], "b_field": 1e300},
            ValueError,
            "nu",
        ),
        (
            "inverse_compton_line",
            {"nu": [1e35], "nu0": 1e30, "gamma": [1.0, 1e300], "n": [1.0, 1e-300]},
            ValueError,
            "nu",
        ),
    ]
    # what is not an argument at all
    for changes in [
        {"nu": 1e9},
        {"nu": None},
        {"gamma": "10 100"},
        {"n": generator()},
        {"n": [1.0, "2"] * 6},
        {"nu": NU.astype(complex)},
        {"b_field": "0.1"},
        {"b_field": [0.1]},
        {"absorption": 1},
        {"field": 0.1},  # no such parameter
        {"n": MISSING, "b_field": MISSING},
    ]:
        cases.append(("synchrotron", changes, TypeError, next(iter(changes))))
    return [
        pytest.param(*case, id=f"{case[0]}-{'-'.join(case[1])}-{k}") for k, case in enumerate(cases)
    ]


@pytest.mark.parametrize(("name", "changes", "error", "argument"), bad_input())
def test_bad_input_raises_naming_the_argument(
    name: str,
    changes: dict[str, Any],
    error: type[Exception],
    argument: str,
    capfd: pytest.CaptureFixture[str],
) -> None:
    args = {k: v for k, v in {**VALID[name], **changes}.items() if v is not MISSING}
    with pytest.raises(error) as info:
        getattr(kernels, name)(**args)
    assert type(info.value) is error
    message = str(info.value)
    if error is ValueError:
        assert message.startswith(f"{argument}: "), message
    else:
        assert f"'{argument}'" in message, message
    assert capfd.readouterr().err == ""


def sorvex_counterpart(kind: str, bad: Any) -> tuple[Any, str]:
    """A sorvex call given `bad` for an argument of the same kind, and that argument's name."""
    if kind == "grid":
        return lambda: sorvex.rad_trans_blob(1.0, bad, [1.0]), "j_nu"
    if kind == "number":
        return lambda: sorvex.rad_trans_blob(bad, [1.0], [1.0]), "blob_radius"
    return lambda: sorvex.rad_cool_mono([2.0], 1.0, 1.0, bad), "with_kn"


@pytest.mark.parametrize(
    ("argument", "kind", "bad"),
    [
        ("nu", "grid", 1e9),
        ("nu", "grid", None),
        ("gamma", "grid", "10 100"),
        ("n", "grid", [1.0, "2"] * 6),
        ("nu", "grid", NU.astype(complex)),
        ("b_field", "number", "0.1"),
        ("b_field", "number", [0.1]),
        ("absorption", "flag", 1),
    ],
)
def test_type_errors_read_as_in_sorvex(argument: str, kind: str, bad: Any) -> None:
    with pytest.raises(TypeError) as info:
        call("synchrotron", **{argument: bad})
    counterpart, name = sorvex_counterpart(kind, bad)
    with pytest.raises(TypeError) as expected:
        counterpart()
    assert str(info.value) == str(expected.value).replace(f"'{name}'", f"'{argument}'")


# ---------------------------------------------------------------------------------------------
# The shared library


@pytest.mark.parametrize(("module", "name"), [(sorvex, "sorvex"), (kernels, "kernels")])
def test_each_native_module_exports_its_initialiser_alone(module: Any, name: str) -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", module.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == [f"PyInit_{name}"]
