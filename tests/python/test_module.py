"""Module registration: names, order, signatures, docstrings, initialisation, and the stubs of
both native modules."""

import inspect
from pathlib import Path
from types import ModuleType

import pytest
from conftest import run_python, stub_signatures

import sorvex
from sorvexfit import kernels

SRC = Path(__file__).resolve().parents[2] / "src"

NAMES = [
    "get_c",
    "gofb",
    "bofg",
    "eq_59_park1995",
    "fp_findif_difu",
    "syn_emissivity_full",
    "rad_trans_blob",
    "ic_iso_powlaw_full",
    "rad_cool_pwl",
    "rad_cool_mono",
    "ic_iso_monochrome_full",
    "rad_trans_slab",
]

DOCS = {
    "get_c": "Example retrieving constant from constants file can be improved by using macros",
    "gofb": "functions from tessarine",
    "eq_59_park1995": "functions from distribs",
}


def test_all_lists_the_twelve_functions_in_table_order() -> None:
    assert sorvex.__all__ == NAMES
    assert type(sorvex.__all__) is list


@pytest.mark.parametrize("name", NAMES)
def test_function_facts(name: str) -> None:
    function = getattr(sorvex, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__module__ == "sorvex"
    assert function.__self__ is sorvex
    assert function.__doc__ == DOCS.get(name)


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
    with pytest.raises(TypeError, match="takes no arguments"):
        sorvex.get_c(1)  # type: ignore[call-arg]


def test_module_attributes_are_only_the_functions() -> None:
    public = {name for name in vars(sorvex) if not name.startswith("__")}
    assert public == set(NAMES)


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
