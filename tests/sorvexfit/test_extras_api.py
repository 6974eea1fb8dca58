"""Every gammapy and sherpa name that the adapters import exists in the installed release: a
release that drops one fails here with one line that names it (read from the adapters' own
import statements, without importing them)."""

from __future__ import annotations

import ast
import importlib
import importlib.util
from pathlib import Path

import pytest


def imported_names(source: Path, package: str) -> list[str]:
    """ "module.name" for each `from package... import name` in the file, at any depth."""
    names = []
    for node in ast.walk(ast.parse(source.read_text())):
        if (
            isinstance(node, ast.ImportFrom)
            and node.module
            and node.level == 0
            and node.module.split(".")[0] == package
        ):
            names += [f"{node.module}.{alias.name}" for alias in node.names]
    return names


def missing(dotted: str) -> bool:
    module, _, name = dotted.rpartition(".")
    try:
        return not hasattr(importlib.import_module(module), name)
    except ImportError:
        return True


@pytest.mark.parametrize("package", ["gammapy", "sherpa"])
def test_every_name_the_adapter_imports_exists(package: str) -> None:
    pytest.importorskip(package)
    spec = importlib.util.find_spec("sorvexfit")
    assert spec is not None
    assert spec.submodule_search_locations
    source = Path(next(iter(spec.submodule_search_locations))) / f"{package}.py"
    names = imported_names(source, package)
    assert names, f"no {package} import found in {source}"
    gone = [name for name in names if missing(name)]
    version = importlib.import_module(package).__version__
    assert not gone, f"{package} {version} no longer provides {', '.join(gone)}"
