"""Typed usage of the module, checked by mypy against the stub (make lint)."""

import sorvex


def lorentz_factors(speeds: list[float]) -> list[float]:
    return sorvex.gofb(speeds)


def speed(gamma: float) -> float:
    return sorvex.bofg(gamma)


c: float = sorvex.get_c()
