"""Kernel backends: the radiation kernels a model evaluates, behind one small interface.

- "exact" (the default): the exact kernels, the native module `sorvexfit.kernels` (exact
  synchrotron kernel, full Klein-Nishina inverse Compton, gamma-gamma opacity), within 1e-6 of
  quadrature.
- "sorvex": the functions of the `sorvex` module. Synchrotron uses the piecewise fitted kernel
  (about 0.06 % from the textbook power law); inverse Compton uses the Thomson cross-section
  with a sharp Klein-Nishina cut-off (a few percent in the power-law parts, 10-30 % near
  turnovers and at the cut-off). No gamma-gamma opacity.

The default is the faster and the more accurate of the two on the benchmark's SSC + EC SED
(`make bench`, section 5a; figures in the README).

All kernels take and return float64 NumPy arrays, cgs units, blob frame; emissivities are per
steradian. Only `sorvexfit.components` calls them; radiative transfer and the cooling rates
come from `sorvex` directly.
"""

from __future__ import annotations

import math
from typing import Any, Protocol

import numpy as np

import sorvex

from . import kernels
from .parameters import ParameterError

__all__ = [
    "BACKENDS",
    "DEFAULT_BACKEND",
    "KERNEL_STOPS",
    "Backend",
    "BackendUnavailable",
    "get_backend",
]

FOUR_PI = 4.0 * math.pi
DEFAULT_BACKEND = "exact"


class BackendUnavailable(RuntimeError):
    """The requested kernel backend (or one of its kernels) is not in this installation."""


# A stop inside a native kernel: each native module raises its own PanicException, which
# derives from BaseException (it must not be caught as an ordinary error by accident).
KERNEL_STOPS: tuple[type[BaseException], ...] = (
    sorvex.PanicException,  # type: ignore[attr-defined]
    kernels.PanicException,  # type: ignore[attr-defined]
)


class Backend(Protocol):
    name: str

    def synchrotron(
        self,
        nu: np.ndarray,
        gamma: np.ndarray,
        n: np.ndarray,
        b_field: float,
        absorption: bool = True,
    ) -> tuple[np.ndarray, np.ndarray]: ...

    def inverse_compton(
        self,
        nu: np.ndarray,
        seed_nu: np.ndarray,
        seed_intensity: np.ndarray,
        gamma: np.ndarray,
        n: np.ndarray,
    ) -> np.ndarray: ...

    def inverse_compton_line(
        self, nu: np.ndarray, u: float, nu0: float, gamma: np.ndarray, n: np.ndarray
    ) -> np.ndarray: ...

    def gamma_gamma_opacity(
        self, nu: np.ndarray, seed_nu: np.ndarray, seed_intensity: np.ndarray, radius: float
    ) -> np.ndarray: ...


class _Named:
    """A backend pickles as its name: the unpickled one is the registered instance."""

    name: str

    def __reduce__(self) -> tuple[Any, ...]:
        return (get_backend, (self.name,))


class SorvexBackend(_Named):
    """The `sorvex` functions (inputs passed as contiguous arrays, results as arrays)."""

    name = "sorvex"

    def synchrotron(
        self,
        nu: np.ndarray,
        gamma: np.ndarray,
        n: np.ndarray,
        b_field: float,
        absorption: bool = True,
    ) -> tuple[np.ndarray, np.ndarray]:
        j, a = sorvex.syn_emissivity_full(nu, gamma, n, b_field, absorption)
        return np.array(j), np.array(a)

    def inverse_compton(
        self,
        nu: np.ndarray,
        seed_nu: np.ndarray,
        seed_intensity: np.ndarray,
        gamma: np.ndarray,
        n: np.ndarray,
    ) -> np.ndarray:
        # sorvex samples the seed on the output grid itself.
        if seed_nu is not nu and not np.array_equal(seed_nu, nu):
            raise ValueError("the sorvex backend needs the seed on the output frequencies")
        return np.array(sorvex.ic_iso_powlaw_full(nu, seed_intensity, gamma, n))

    def inverse_compton_line(
        self, nu: np.ndarray, u: float, nu0: float, gamma: np.ndarray, n: np.ndarray
    ) -> np.ndarray:
        # sorvex returns the emissivity summed over all directions: per sr is 1/(4 pi) of it.
        return np.array(sorvex.ic_iso_monochrome_full(nu, u, nu0, n, gamma)) / FOUR_PI

    def gamma_gamma_opacity(
        self, nu: np.ndarray, seed_nu: np.ndarray, seed_intensity: np.ndarray, radius: float
    ) -> np.ndarray:
        raise BackendUnavailable(
            "gamma_gamma: the sorvex backend has no gamma-gamma opacity; use backend='exact'"
        )


class ExactBackend(_Named):
    """The exact kernels of `sorvexfit.kernels`."""

    name = "exact"

    def synchrotron(
        self,
        nu: np.ndarray,
        gamma: np.ndarray,
        n: np.ndarray,
        b_field: float,
        absorption: bool = True,
    ) -> tuple[np.ndarray, np.ndarray]:
        j, a = kernels.synchrotron(nu, gamma, n, b_field, absorption=absorption)
        return j, a

    def inverse_compton(
        self,
        nu: np.ndarray,
        seed_nu: np.ndarray,
        seed_intensity: np.ndarray,
        gamma: np.ndarray,
        n: np.ndarray,
    ) -> np.ndarray:
        j: np.ndarray = kernels.inverse_compton(nu, seed_nu, seed_intensity, gamma, n)
        return j

    def inverse_compton_line(
        self, nu: np.ndarray, u: float, nu0: float, gamma: np.ndarray, n: np.ndarray
    ) -> np.ndarray:
        j: np.ndarray = kernels.inverse_compton_line(nu, u, nu0, gamma, n)
        return j

    def gamma_gamma_opacity(
        self, nu: np.ndarray, seed_nu: np.ndarray, seed_intensity: np.ndarray, radius: float
    ) -> np.ndarray:
        tau: np.ndarray = kernels.gamma_gamma_opacity(nu, seed_nu, seed_intensity, radius)
        return tau


BACKENDS: dict[str, Backend] = {"sorvex": SorvexBackend(), "exact": ExactBackend()}


def get_backend(name: str) -> Backend:
    """The backend called `name` ("sorvex" or "exact")."""
    try:
        return BACKENDS[name]
    except KeyError:
        raise ParameterError(
            f"backend: unknown kernel backend {name!r} (known: {', '.join(BACKENDS)})"
        ) from None
