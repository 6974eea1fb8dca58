"""What an observer sees of a flare: bands, band fluxes, the light-crossing time of the blob,
and hardness-intensity (hysteresis) diagrams.

- **Bands** (`Band`): observed frequency ranges (Hz; `parse_band` takes frequencies, energies or
  wavelengths with units). The light curve of a band is its energy flux ∫ F_ν dν
  (erg cm^-2 s^-1) = ∫ νF_ν d ln ν, integrated by Gauss-Legendre in ln ν on `band_nodes` (at
  least 3, `per_decade` a decade; `band_fluxes`).
- **Light-crossing time** (Chiaberge & Ghisellini 1999, MNRAS 306, 551): the blob is
  homogeneous, but the observer sees its slices perpendicular to the line of sight at different
  retarded times. A slice at depth s R (s from 0 at the front to 2 at the back) is seen with a
  delay s R/c (blob frame) and holds the fraction k(s) ds = (3/4) s (2 - s) ds of the volume,
  so the observed luminosity is L_obs(t) = ∫_0^2 k(s) L(t - s R/c) ds (`light_crossing`). The
  kernel integrates to 1: the fluence is unchanged, only spread over 2R/c.
- **Observer's clock**: t_obs = t' (1 + z)/δ (`sorvexfit.injection.TimeScale`).
- **Hysteresis** (Kirk, Rieger & Mastichiadis 1998, A&A 333, 452): the hardness F_hard/F_soft
  of two bands against the intensity F_soft. When cooling dominates, the harder band rises and
  falls first and the loop turns clockwise (hardness up, intensity to the right); when the
  electrons are accelerated up to the observed energies on the time scale of the flare, the
  harder band lags and the loop turns counter-clockwise (`loop_direction`).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from .parameters import ParameterError, to_float

__all__ = [
    "DEFAULT_BANDS",
    "Band",
    "BandNodes",
    "band_fluxes",
    "band_nodes",
    "crossing_kernel",
    "light_crossing",
    "loop_direction",
    "parse_band",
]


@dataclass(frozen=True)
class Band:
    """An observed band from `low` to `high` (Hz; `high` None: the top of the model's grid)."""

    name: str
    low: float
    high: float | None = None
    label: str = ""

    def __post_init__(self) -> None:
        if not self.name or any(c.isspace() or c in ",=" for c in self.name):
            raise ParameterError(f"band: {self.name!r} is not a name (no spaces, ',' or '=')")
        if not (math.isfinite(self.low) and self.low > 0.0):
            raise ParameterError(f"band {self.name}: lower end {self.low:g} Hz must be positive")
        if self.high is not None and not (math.isfinite(self.high) and self.high > self.low):
            raise ParameterError(
                f"band {self.name}: upper end {self.high:g} Hz must lie above {self.low:g} Hz"
            )

    def describe(self) -> str:
        top = "the top of the grid" if self.high is None else f"{self.high:.4g} Hz"
        return self.label or f"{self.low:.4g} Hz to {top}"


# Radio (the 15 and 37 GHz monitoring bands), Cousins R (0.64 μm, FWHM about 0.16 μm),
# the 2-10 keV X-rays, the Fermi-LAT range and the Cherenkov telescopes'.
DEFAULT_BANDS: tuple[Band, ...] = (
    Band("radio", 1e10, 5e10, "radio, 10-50 GHz"),
    Band("R", 2.99792458e14 / 0.72, 2.99792458e14 / 0.56, "optical R band, 0.56-0.72 um"),
    Band("X", 4.8359e17, 2.41797e18, "X-rays, 2-10 keV"),
    Band("HE", 2.41797e22, 2.41797e25, "gamma rays, 0.1-100 GeV"),
    Band("VHE", 2.41797e25, None, "very-high-energy gamma rays, > 100 GeV"),
)


def parse_band(text: str) -> Band:
    """A band from `NAME=LOW,HIGH`: frequencies, energies or wavelengths with units (a plain
    number is in Hz), HIGH may be empty (the top of the model's grid): `soft=0.5 keV,2 keV`."""
    name, sep, body = text.partition("=")
    ends = body.split(",")
    if not sep or len(ends) != 2 or not ends[0].strip():
        raise ParameterError(f"band: expected NAME=LOW,HIGH, got {text!r}")
    name = name.strip()
    low = to_float(f"band {name}", ends[0].strip(), "Hz")
    high = to_float(f"band {name}", ends[1].strip(), "Hz") if ends[1].strip() else None
    if high is not None and high < low:  # wavelengths: the ends come the other way round
        low, high = high, low
    return Band(name, low, high, f"{name}: {ends[0].strip()} to {ends[1].strip() or 'the top'}")


@dataclass(frozen=True)
class BandNodes:
    """The integration nodes of a set of bands: each band's observed frequencies (Hz) one after
    the other in `nu` with their weights (∫ νF_ν d ln ν ≈ Σ weight νF_ν), the slice of `nu`
    of each band, and the distinct nodes in increasing order (`unique`, nu = unique[inverse])
    where the emission is evaluated."""

    bands: tuple[Band, ...]
    nu: np.ndarray
    weights: np.ndarray
    slices: tuple[tuple[int, int], ...]
    unique: np.ndarray
    inverse: np.ndarray


def band_nodes(
    bands: Sequence[Band], nu_range: tuple[float, float], per_decade: float = 3.0
) -> BandNodes:
    """Gauss-Legendre nodes in ln ν over each band (at least 3, `per_decade` a decade), clipped
    to the model's observed grid `nu_range`: νF_ν is smooth in ln ν, and the rule integrates it
    to high order. ParameterError for a band outside the grid or two bands with one name."""
    names = [b.name for b in bands]
    if not bands:
        raise ParameterError("band: no band to integrate")
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        raise ParameterError(f"band: two bands called {twice[0]!r}")
    nodes: list[np.ndarray] = []
    weights: list[np.ndarray] = []
    for band in bands:
        low = max(band.low, nu_range[0])
        high = min(band.high if band.high is not None else nu_range[1], nu_range[1])
        if not high > low * (1.0 + 1e-9):
            top = "the top" if band.high is None else f"{band.high:g} Hz"
            raise ParameterError(
                f"band {band.name}: {band.low:g} Hz to {top} lies outside the model's"
                f" frequencies {nu_range[0]:g}..{nu_range[1]:g} Hz"
            )
        count = max(3, math.ceil(per_decade * math.log10(high / low)))
        x, w = np.polynomial.legendre.leggauss(count)
        half = 0.5 * math.log(high / low)
        nodes.append(np.exp(math.log(low) + half * (x + 1.0)))
        weights.append(half * w)
    nu = np.concatenate(nodes)
    unique, inverse = np.unique(nu, return_inverse=True)
    slices = []
    start = 0
    for piece in nodes:
        slices.append((start, start + piece.size))
        start += piece.size
    return BandNodes(tuple(bands), nu, np.concatenate(weights), tuple(slices), unique, inverse)


def band_fluxes(nodes: BandNodes, nu_fnu: np.ndarray) -> dict[str, np.ndarray]:
    """The energy flux of each band (erg cm^-2 s^-1) from νF_ν at the distinct nodes
    `nodes.unique` (last axis)."""
    values = np.asarray(nu_fnu)[..., nodes.inverse] * nodes.weights
    return {
        band.name: np.sum(values[..., a:b], axis=-1)
        for band, (a, b) in zip(nodes.bands, nodes.slices, strict=True)
    }


# ---------------------------------------------------------------------------------------------
# The light-crossing time


def crossing_kernel(count: int) -> tuple[np.ndarray, np.ndarray]:
    """Nodes s in (0, 2) and weights of ∫_0^2 k(s) g(s) ds, k(s) = (3/4) s (2 - s): Gauss-
    Legendre with the kernel folded into the weights, which then sum to 1 (to rounding) for any
    count >= 2."""
    x, w = np.polynomial.legendre.leggauss(max(count, 2))
    s = x + 1.0
    weights = w * 0.75 * s * (2.0 - s)
    return s, weights / weights.sum()


def light_crossing(
    times: np.ndarray, values: np.ndarray, crossing: np.ndarray | float, count: int | None = None
) -> np.ndarray:
    """L_obs(t) = ∫_0^2 k(s) L(t - s T(t)) ds at `times` (increasing), with L the monotone
    cubic (PCHIP) through its samples `values` (first axis: time) and held at its first value
    before the first time (the blob before the flare). `crossing` T = R/c in the units of
    `times` (a number, or one per time for an expanding blob). `count` quadrature nodes; by
    default 4 per sample interval across 2T (8 to 512)."""
    from scipy.interpolate import PchipInterpolator

    t = np.asarray(times, dtype=float)
    v = np.asarray(values, dtype=float)
    span = np.broadcast_to(np.asarray(crossing, dtype=float), t.shape)
    if t.size < 2:
        return v.copy()
    if count is None:
        step = float(np.min(np.diff(t)))
        count = int(min(512, max(8, math.ceil(8.0 * float(np.max(span)) / max(step, 1e-300)))))
    s, w = crossing_kernel(count)
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):  # tiny slopes: flat
        curve = PchipInterpolator(t, v, axis=0, extrapolate=False)
    at = np.maximum(t[None, :] - s[:, None] * span[None, :], t[0])  # (nodes, times)
    shifted = curve(at.ravel()).reshape(at.shape + v.shape[1:])
    result: np.ndarray = np.tensordot(w, shifted, axes=(0, 0))
    return result


# ---------------------------------------------------------------------------------------------
# Hysteresis


def loop_direction(intensity: np.ndarray, hardness: np.ndarray) -> tuple[str, float]:
    """The sense in which the path (log intensity, log hardness) turns, from its signed area
    (the shoelace formula on the closed path): ("clockwise", area < 0) or ("counter-clockwise",
    area > 0); ("none", 0) for a path without area."""
    x = np.log(np.asarray(intensity, dtype=float))
    y = np.log(np.asarray(hardness, dtype=float))
    keep = np.isfinite(x) & np.isfinite(y)
    x, y = x[keep], y[keep]
    if x.size < 3:
        return "none", 0.0
    area = 0.5 * float(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))
    if area == 0.0:
        return "none", 0.0
    return ("counter-clockwise" if area > 0.0 else "clockwise"), area
