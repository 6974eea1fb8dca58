"""Type stubs for the sorvex extension module."""

from collections.abc import Sequence

__all__: list[str]

def get_c() -> float: ...
