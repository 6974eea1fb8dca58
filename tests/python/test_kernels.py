"""The binding of sorvexfit.kernels: NumPy results, arguments viewed in place or converted,
ValueError naming the argument for input the kernels refuse (the one table of refusals),
TypeError for what is not an argument at all, and a module exporting its initialiser alone. The
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
# Input the kernels refuse: ValueError naming the argument, and no report on standard error


TIE = math.nextafter(10.0, math.inf)  # above 10.0, with the same logarithm


def refusals() -> list[Any]:
    """(kernel, changed arguments, start of the message) for every class of bad input."""
    cases: list[tuple[str, dict[str, Any], str]] = []
    for name, args in VALID.items():
        cases += [
            (name, {"nu": [1e9, math.nan]}, r"nu: values must be positive and finite \(nu\[1\]"),
            (name, {"nu": [math.inf]}, r"nu: values must be positive and finite \(nu\[0\] = inf"),
            (name, {"nu": [0.0]}, r"nu: values must be positive and finite \(nu\[0\] = 0\)"),
            (name, {"nu": [-1e9]}, r"nu: values must be positive and finite \(nu\[0\] = -1e\+09"),
        ]
        if "gamma" in args:
            cases += [
                (name, {"gamma": [10.0], "n": [1.0]}, r"gamma: needs at least 2 points, got 1$"),
                (name, {"gamma": [], "n": []}, r"gamma: needs at least 2 points, got 0$"),
                (name, {"n": N[:-1]}, r"n: has 11 values but gamma has 12$"),
                (name, {"gamma": [10.0, 10.0], "n": [1.0, 1.0]}, r"gamma: must be strictly inc"),
                (name, {"gamma": [10.0, TIE], "n": [1.0, 2.0]}, r"gamma: neighbours must differ "),
                (name, {"gamma": [0.5, 10.0], "n": [1.0, 1.0]}, r"gamma: values must be finite "),
                (name, {"gamma": [10.0, math.inf], "n": [1, 1]}, r"gamma: values must be finite "),
                (name, {"gamma": [10.0, math.nan], "n": [1, 1]}, r"gamma: values must be finite "),
                (name, {"n": [*N[:-1], -1.0]}, r"n: values must be non-negative and finite "),
                (name, {"n": [*N[:-1], math.nan]}, r"n: values must be non-negative and finite "),
            ]
        if "seed_nu" in args:
            cases += [
                (name, {"seed_nu": [1e9], "seed_intensity": [1]}, r"seed_nu: needs at least 2 "),
                (
                    name,
                    {"seed_intensity": SEED_I[1:]},
                    r"seed_intensity: has 5 values but seed_nu ",
                ),
                (name, {"seed_nu": SEED_NU[::-1]}, r"seed_nu: must be strictly increasing"),
                (name, {"seed_nu": [1e9, 1e9 * TIE / 10], "seed_intensity": [1, 2]}, r"seed_nu: n"),
                (name, {"seed_nu": [0.0, 1e9], "seed_intensity": [1, 1]}, r"seed_nu: values must"),
                (name, {"seed_nu": [1e9, math.inf], "seed_intensity": [1, 1]}, r"seed_nu: values"),
                (name, {"seed_intensity": -SEED_I}, r"seed_intensity: values must be non-negative"),
                (name, {"seed_intensity": SEED_I * math.inf}, r"seed_intensity: values must be "),
                (
                    name,
                    {"seed_intensity": [math.nan, *SEED_I[1:]]},
                    r"seed_intensity: values must be non-negative and finite "
                    r"\(seed_intensity\[0\] = nan\)",
                ),
            ]
    for name, argument in (
        ("synchrotron", "b_field"),
        ("inverse_compton_line", "nu0"),
        ("gamma_gamma_opacity", "radius"),
    ):
        for value in (0.0, -1.0, math.nan, math.inf, -math.inf):
            cases.append((name, {argument: value}, rf"{argument}: must be positive and finite, "))
    for value in (-1.0, math.nan, -math.inf):
        cases.append(("inverse_compton_line", {"u": value}, r"u: must be non-negative and finite"))
    # A result that is not a number: arguments whose products overflow double precision.
    cases += [
        (
            "synchrotron",
            {"nu": [1e-300], "n": [1e300, 1e300], "gamma": [10.0, 20.0], "b_field": 1e300},
            r"nu: the result at nu\[0\] = 1e-300 is not a number",
        ),
        (
            "inverse_compton_line",
            {"nu": [1e35], "nu0": 1e30, "gamma": [1.0, 1e300], "n": [1.0, 1e-300]},
            r"nu: the result at nu\[0\] = 1e\+35 is not a number: the arguments overflow double "
            r"precision$",
        ),
    ]
    return [
        pytest.param(name, changes, message, id=f"{name}-{'-'.join(changes)}-{k}")
        for k, (name, changes, message) in enumerate(cases)
    ]


@pytest.mark.parametrize(("name", "changes", "message"), refusals())
def test_refused_input_raises_value_error_naming_the_argument(
    name: str, changes: dict[str, Any], message: str, capfd: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(ValueError, match="^" + message):
        call(name, **changes)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"nu": 1e9}, "argument 'nu': 'float' object cannot be converted to 'Sequence'"),
        ({"nu": None}, "argument 'nu': 'NoneType' object cannot be converted to 'Sequence'"),
        ({"gamma": "10 100"}, "argument 'gamma': Can't extract `str` to `Vec`"),
        (
            {"n": (g for g in N)},
            "argument 'n': 'generator' object cannot be converted to 'Sequence'",
        ),
        ({"n": [1.0, "2"] * 6}, "argument 'n': must be real number, not str"),
        ({"nu": NU.astype(complex)}, "argument 'nu': must be real number, not numpy.complex128"),
        ({"b_field": "0.1"}, "argument 'b_field': must be real number, not str"),
        ({"b_field": [0.1]}, "argument 'b_field': must be real number, not list"),
        ({"absorption": 1}, "argument 'absorption': 'int' object cannot be converted to 'PyBool'"),
        ({"field": 0.1}, "synchrotron() got an unexpected keyword argument 'field'"),
    ],
)
def test_what_is_not_an_argument_raises_type_error(changes: dict[str, Any], message: str) -> None:
    with pytest.raises(TypeError) as info:
        call("synchrotron", **changes)
    assert str(info.value) == message


def test_missing_arguments() -> None:
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'n' and 'b_f"):
        kernels.synchrotron(NU, GAMMA)


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
