"""Module registration: names, order, signatures, docstrings, initialisation, and the stub."""

import inspect
from pathlib import Path

import pytest
from conftest import run_python, stub_signatures

import sorvex

STUB = Path(__file__).resolve().parents[2] / "src" / "sorvex.pyi"

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
    assert function.__text_signature__ == str(inspect.signature(function))
    assert function.__doc__ == DOCS.get(name)


def test_check_params_defaults_to_none() -> None:
    assert sorvex.fp_findif_difu.__text_signature__ == (
        "(dt_in, gamma_bins, nin, gdot_in, din, qin, tesc_in, tlc, check_params=None)"
    )


def test_the_stub_matches_the_function_table() -> None:
    stub = stub_signatures(STUB)
    assert list(stub) == sorvex.__all__
    for name, parameters in stub.items():
        actual = inspect.signature(getattr(sorvex, name)).parameters.values()
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
