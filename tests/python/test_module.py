"""Module registration: names, order, signatures, docstrings, initialisation."""

import inspect

import pytest
from conftest import run_python

import sorvex

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

SIGNATURES = {
    "get_c": "()",
    "gofb": "(arg)",
    "bofg": "(arg)",
    "eq_59_park1995": "(t, g)",
    "fp_findif_difu": (
        "(dt_in, gamma_bins, nin, gdot_in, din, qin, tesc_in, tlc, check_params=None)"
    ),
    "syn_emissivity_full": "(freqs, gamma_bins, n_distrib, b_field, with_abs)",
    "rad_trans_blob": "(blob_radius, j_nu, a_nu)",
    "ic_iso_powlaw_full": "(freqs, inu, g, n)",
    "rad_cool_pwl": "(gg, freqs, uu, with_kn)",
    "rad_cool_mono": "(gg, nu0, u0, with_kn)",
    "ic_iso_monochrome_full": "(freqs, uext, nuext, n, g)",
    "rad_trans_slab": "(blob_radius, j_nu, a_nu)",
}

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
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__doc__ == DOCS.get(name)


def test_check_params_defaults_to_none() -> None:
    parameters = inspect.signature(sorvex.fp_findif_difu).parameters
    assert len(parameters) == 9
    assert parameters["check_params"].default is None


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
