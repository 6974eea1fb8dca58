"""Shared helpers for the Python tests."""

from __future__ import annotations

import ast
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


def run_python(
    code: str, env: dict[str, str] | None = None, timeout: float = 120
) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter with sorvex importable; returns the finished process."""
    full_env = dict(os.environ)
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        full_env.pop(name, None)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        check=False,
    )


def stub_signatures(path: Path) -> dict[str, list[tuple[str, object]]]:
    """Each function of a stub (the last of its overloads): its parameters and their defaults."""
    signatures: dict[str, list[tuple[str, object]]] = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults))
            defaults += [ast.literal_eval(d) for d in args.defaults]
            signatures[node.name] = [(a.arg, d) for a, d in zip(args.args, defaults, strict=True)]
    return signatures


class Floaty:
    """Converts to a float through __float__ (2.5)."""

    def __float__(self) -> float:
        return 2.5


class Indexy:
    """Converts to a float through __index__ (3)."""

    def __index__(self) -> int:
        return 3


class BadFloat:
    """Fails its conversion with ValueError."""

    def __float__(self) -> float:
        raise ValueError("no float here")


def panic_type() -> type[BaseException]:
    """The PanicException class, obtained from a call that stops."""
    import sorvex

    try:
        sorvex.rad_trans_blob(1.0, [1.0, 2.0], [1.0])
    except BaseException as error:
        return type(error)
    pytest.fail("rad_trans_blob did not stop")


@pytest.fixture(scope="session")
def panic_exception() -> type[BaseException]:
    return panic_type()


def pytest_configure(config: pytest.Config) -> None:
    """Under `make sanitize` the instrumented builds must be the ones imported."""
    expected = os.environ.get("SORVEX_EXPECT_MODULE")
    if expected:
        import sorvex
        import sorvexfit.kernels

        assert os.path.dirname(sorvex.__file__) == expected, sorvex.__file__
        kernels = sorvexfit.kernels.__file__
        assert kernels is not None
        assert os.path.dirname(kernels) == os.path.join(expected, "sorvexfit"), kernels
