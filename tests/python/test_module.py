"""Module registration: the stubs of both native modules against their function tables, and
initialisation. The names, order, signatures and docstrings of sorvex are pinned in
test_compatibility.py."""

import inspect
from pathlib import Path
from types import ModuleType

import pytest
from conftest import run_python, stub_signatures

import sorvex
from sorvexfit import kernels

SRC = Path(__file__).resolve().parents[2] / "src"


@pytest.mark.parametrize(
    ("module", "stub"),
    [
        pytest.param(sorvex, "sorvex.pyi", id="sorvex"),
        pytest.param(kernels, "sorvexfit/kernels.pyi", id="kernels"),
    ],
)
def test_the_stub_matches_the_function_table(module: ModuleType, stub: str) -> None:
    # The functions in table order, their parameters and defaults (None, True: the text
    # signature that inspect reads), as the stub declares them.
    declared = stub_signatures(SRC / stub)
    assert module.__spec__ is not None
    assert module.__name__ == module.__spec__.name  # "sorvexfit.kernels" in its table
    assert list(declared) == module.__all__
    for name, parameters in declared.items():
        function = getattr(module, name)
        assert function.__module__ == module.__name__
        assert function.__text_signature__ == str(inspect.signature(function))
        actual = inspect.signature(function).parameters.values()
        assert [(p.name, p.default) for p in actual] == parameters, name


def test_get_c() -> None:
    assert sorvex.get_c() == 29979245800.0
    assert type(sorvex.get_c()) is float


def test_second_initialisation_in_one_process_fails() -> None:
    result = run_python(
        """
        import importlib, sys
        import sorvex
        first = sorvex
        del sys.modules["sorvex"]
        try:
            importlib.import_module("sorvex")
        except ImportError as error:
            print("ImportError:", error)
        assert first.get_c() == 29979245800.0
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError:" in result.stdout
    assert "only be initialised once per interpreter process" in result.stdout
