"""The photon spectrum of a model, for the adapters to gammapy and sherpa.

`photon_spectrum(config, values)` evaluates the model once (`sorvexfit.evaluation.evaluate`)
and keeps its total νF_ν on the model's grid; a small LRU keyed on the configuration and the
tuple of parameter values returns the same object for the same vector, so that a forward-folded
fit calls the native kernels once per distinct parameter vector, whatever the number of energy
bins, integrals and datasets that read it.

Between two grid frequencies νF_ν is a power law (the log-log interpolation of
`Evaluation.at`), so the photon spectrum dN/dE = νF_ν/E² is one too, and its integrals over any
energy bin are exact sums of power-law pieces: `integral` and `energy_flux` integrate the same
interpolant that `dnde` evaluates. Outside the grid, and on a piece with a vanishing end, the
spectrum is zero. Energies are in erg here; the adapters convert.
"""

from __future__ import annotations

from collections import OrderedDict
from collections.abc import Callable, Mapping, Sequence
from threading import Lock

import numpy as np

from .config import ModelConfig
from .constants import H_PLANCK
from .evaluation import evaluate, loglog

__all__ = ["PhotonSpectrum", "broadcast_parameters", "cache_clear", "photon_spectrum"]

# Below this νF_ν (erg cm^-2 s^-1) a grid value counts as zero (as in `loglog`).
_FLOOR = 1e-290
_CACHE_SIZE = 16
# Bins × pieces per block of the integral (bounds the temporary arrays).
_BLOCK = 1 << 18


class PhotonSpectrum:
    """The total νF_ν of one evaluation on its grid, as a photon spectrum in energy (erg)."""

    def __init__(self, nu: np.ndarray, nu_fnu: np.ndarray) -> None:
        self.nu = np.asarray(nu, dtype=float)
        self.nu_fnu = np.asarray(nu_fnu, dtype=float)
        self.energy = H_PLANCK * self.nu
        log_e = np.log(self.energy)
        log_s = np.log(np.maximum(self.nu_fnu, _FLOOR))
        self._log_e = log_e
        # Each piece k: νF_ν = S_k (E/E_k)^slope_k on [E_k, E_k+1]; dead pieces contribute 0.
        with np.errstate(divide="ignore", invalid="ignore"):
            self._slope = np.diff(log_s) / np.diff(log_e)
        self._alive = (self.nu_fnu[:-1] > _FLOOR) & (self.nu_fnu[1:] > _FLOOR)

    def nufnu(self, energy: np.ndarray) -> np.ndarray:
        """νF_ν (erg cm^-2 s^-1) at photon energies (erg), interpolated log-log."""
        return loglog(np.asarray(energy, dtype=float) / H_PLANCK, self.nu, self.nu_fnu)

    def dnde(self, energy: np.ndarray) -> np.ndarray:
        """dN/dE (photons cm^-2 s^-1 erg^-1) at photon energies (erg)."""
        e = np.asarray(energy, dtype=float)
        result: np.ndarray = self.nufnu(e) / (e * e)
        return result

    def integral(self, low: np.ndarray, high: np.ndarray) -> np.ndarray:
        """∫ dN/dE dE (photons cm^-2 s^-1) over [low, high] (erg, broadcast together)."""
        return self._integrate(low, high, 2.0)

    def energy_flux(self, low: np.ndarray, high: np.ndarray) -> np.ndarray:
        """∫ E dN/dE dE (erg cm^-2 s^-1) over [low, high] (erg, broadcast together)."""
        return self._integrate(low, high, 1.0)

    def _integrate(self, low: np.ndarray, high: np.ndarray, power: float) -> np.ndarray:
        """∫ νF_ν E^-power dE over each bin, piece by piece of the interpolant.

        On piece k, νF_ν E^-power = S_k E_k^-power x^(t-1) with x = E/E_k and
        t = slope_k - power + 1, whose integral from x_a to x_b is
        S_k E_k^(1-power) x_a^t expm1(t ln(x_b/x_a))/t (ln(x_b/x_a) when t = 0)."""
        lo, hi = np.broadcast_arrays(np.asarray(low, dtype=float), np.asarray(high, dtype=float))
        shape = lo.shape
        lo, hi = np.log(lo.ravel()), np.log(hi.ravel())
        out = np.zeros(lo.size)
        k = np.flatnonzero(self._alive)
        if k.size == 0 or lo.size == 0:
            return out.reshape(shape)
        left, right = self._log_e[k], self._log_e[k + 1]
        t = self._slope[k] - power + 1.0
        scale = np.log(self.nu_fnu[k]) + (1.0 - power) * left
        step = max(1, _BLOCK // k.size)
        for start in range(0, lo.size, step):
            part = slice(start, start + step)
            a = np.clip(lo[part, None], left, right)
            b = np.clip(hi[part, None], left, right)
            width = np.maximum(b - a, 0.0)
            safe_t = np.where(t == 0.0, 1.0, t)
            with np.errstate(over="ignore", invalid="ignore"):
                shape_factor = np.where(t == 0.0, width, np.expm1(t * width) / safe_t)
                pieces = np.exp(scale + t * (a - left)) * shape_factor
            out[part] = np.sum(np.where(width > 0.0, pieces, 0.0), axis=1)
        return out.reshape(shape)


_cache: OrderedDict[tuple[ModelConfig, tuple[float, ...]], PhotonSpectrum] = OrderedDict()
_lock = Lock()


def photon_spectrum(
    config: ModelConfig,
    names: Sequence[str],
    values: Sequence[float],
    check: Callable[[dict[str, float]], None] | None = None,
) -> PhotonSpectrum:
    """The photon spectrum of `config` at the parameter values (`names` in the order of
    `values`, every parameter of the configuration), from the LRU when the vector was seen;
    otherwise `check(values)` (which raises for bad values) runs before the evaluation."""
    key = (config, tuple(float(v) for v in values))
    with _lock:
        found = _cache.get(key)
        if found is not None:
            _cache.move_to_end(key)
            return found
    by_name = dict(zip(names, key[1], strict=True))
    if check is not None:
        check(by_name)
    evaluation = evaluate(config, by_name)
    spectrum = PhotonSpectrum(evaluation.nu, evaluation.seds["total"])
    with _lock:
        _cache[key] = spectrum
        while len(_cache) > _CACHE_SIZE:
            _cache.popitem(last=False)
    return spectrum


def cache_clear() -> None:
    """Forgets every cached spectrum."""
    with _lock:
        _cache.clear()


def broadcast_parameters(
    compute: Callable[[Sequence[float], list[np.ndarray]], np.ndarray],
    arrays: Sequence[np.ndarray],
    values: Mapping[str, np.ndarray],
) -> np.ndarray:
    """`compute(vector, arrays)` over parameter values that may be arrays (samples of the
    parameters, as gammapy's error propagation passes them): the energy `arrays` and the values
    are broadcast together, and `compute` runs once per distinct parameter vector on the
    energies that go with it."""
    columns = list(values.values())
    if all(np.ndim(c) == 0 for c in columns):
        return compute([float(c) for c in columns], [np.asarray(a, dtype=float) for a in arrays])
    parts = np.broadcast_arrays(*[np.asarray(a, dtype=float) for a in arrays], *columns)
    energies = [p.ravel() for p in parts[: len(arrays)]]
    table = np.stack([p.ravel().astype(float) for p in parts[len(arrays) :]], axis=1)
    unique, inverse = np.unique(table, axis=0, return_inverse=True)
    out = np.empty(table.shape[0])
    for row, vector in enumerate(unique):
        where = inverse.ravel() == row
        out[where] = compute(list(vector), [e[where] for e in energies])
    return out.reshape(parts[0].shape)
