"""Typed usage of the module, checked by mypy against the stub (make lint)."""

import array

import sorvex


def lorentz_factors(speeds: list[float]) -> list[float]:
    return sorvex.gofb(speeds)


def speed(gamma: float) -> float:
    return sorvex.bofg(gamma)


def synchrotron_intensity(
    freqs: tuple[float, ...], gammas: range, density: array.array[float]
) -> list[float]:
    j_nu, a_nu = sorvex.syn_emissivity_full(freqs, gammas, density, 0.1, True)
    return sorvex.rad_trans_blob(1e16, j_nu, a_nu)


def one_step(gammas: list[float], n: list[float], gdot: list[float]) -> list[float]:
    diffusion = [0.0] * len(gammas)
    step = sorvex.fp_findif_difu(1.0, gammas, n, gdot, diffusion, [0.0], 1e5, 1e5)
    return sorvex.fp_findif_difu(1.0, gammas, step, gdot, diffusion, [0.0], 1e5, 1e5, False)


c: float = sorvex.get_c()
rates: list[float] = sorvex.rad_cool_mono([10.0, 100.0], 1e15, 1e-2, with_kn=True)
