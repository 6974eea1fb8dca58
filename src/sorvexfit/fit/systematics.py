"""Fractional systematic errors, per band or per instrument, added in quadrature.

A point of flux F with statistical error σ_stat and systematic fraction f has the error
√(σ_stat² + (f F)²). The fraction of a point is that of its instrument where one is given,
otherwise that of its band (observed frequency):

    band     range                     default
    radio    ν < 300 GHz (λ > 1 mm)      5 %
    optical  300 GHz to 0.1 keV          5 %   (infrared, optical and ultraviolet)
    xray     0.1 keV to 1 MeV           10 %
    gamma    1 MeV to 100 GeV           10 %
    vhe      above 100 GeV              30 %

These are the values SED fitters customarily assume: a few percent for the cross-calibration
of radio to ultraviolet photometry, about 10 % for X-ray and Fermi-LAT fluxes, and about 30 %
for Cherenkov telescopes, whose energy scale is uncertain by 15-20 %.

The option is a comma-separated list read from left to right: `default` (the table
above), `none` (all zero), a number (every band), `BAND=F` or `INSTRUMENT=F` (an instrument
named in the data's `instrument` column, matched without regard to case). It starts from
`default`: "MAGIC=0.2" keeps the default bands and gives MAGIC 20 %.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from ..parameters import ParameterError
from .tables import FluxPoints

__all__ = ["BANDS", "DEFAULT_FRACTIONS", "Systematics", "band_of", "parse_systematics"]

_KEV_HZ = 2.417989242084918e17  # 1 keV / h
# (name, lower edge in Hz): each band runs to the next one's edge.
BANDS: tuple[tuple[str, float], ...] = (
    ("radio", 0.0),
    ("optical", 3e11),
    ("xray", 0.1 * _KEV_HZ),
    ("gamma", 1e3 * _KEV_HZ),
    ("vhe", 1e8 * _KEV_HZ),
)
DEFAULT_FRACTIONS = {"radio": 0.05, "optical": 0.05, "xray": 0.10, "gamma": 0.10, "vhe": 0.30}


def band_of(nu: np.ndarray) -> np.ndarray:
    """The band name of each observed frequency (Hz)."""
    edges = np.array([edge for _, edge in BANDS[1:]])
    names = np.array([name for name, _ in BANDS], dtype=object)
    result: np.ndarray = names[np.searchsorted(edges, nu, side="right")]
    return result


@dataclass(frozen=True)
class Systematics:
    """Fractions per band and per instrument (lower-case names)."""

    bands: dict[str, float] = field(default_factory=lambda: dict(DEFAULT_FRACTIONS))
    instruments: dict[str, float] = field(default_factory=dict)

    def fractions(self, data: FluxPoints) -> np.ndarray:
        """The systematic fraction of each point."""
        by_band = np.array([self.bands[b] for b in band_of(data.nu)], dtype=float)
        by_instrument = [self.instruments.get(str(name).lower()) for name in data.instrument]
        return np.array(
            [b if i is None else i for b, i in zip(by_band, by_instrument, strict=True)],
            dtype=float,
        )

    def describe(self) -> str:
        parts = [f"{name}={value:g}" for name, value in self.bands.items()]
        parts += [f"{name}={value:g}" for name, value in self.instruments.items()]
        return ",".join(parts)


def parse_systematics(text: str, data: FluxPoints) -> Systematics:
    """The systematics that the option `text` describes (module documentation), or
    ParameterError."""
    bands = dict(DEFAULT_FRACTIONS)
    instruments: dict[str, float] = {}
    known = {str(name).lower() for name in data.instrument if str(name)}
    for item in (part.strip() for part in text.split(",")):
        if not item:
            continue
        if item == "default":
            bands = dict(DEFAULT_FRACTIONS)
            continue
        if item == "none":
            bands = dict.fromkeys(bands, 0.0)
            instruments = {}
            continue
        key, sep, text = item.rpartition("=")
        fraction = _fraction(text, item)
        if not sep:
            bands = dict.fromkeys(bands, fraction)
        elif key.strip().lower() in bands:
            bands[key.strip().lower()] = fraction
        elif key.strip().lower() in known:
            instruments[key.strip().lower()] = fraction
        else:
            names = ", ".join(sorted({str(n) for n in data.instrument if str(n)})) or "none"
            raise ParameterError(
                f"systematics: {key.strip()!r} is neither a band ({', '.join(bands)}) nor an"
                f" instrument of the data ({names})"
            )
    return Systematics(bands, instruments)


def _fraction(text: str, item: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ParameterError(f"systematics: {item!r}: {text.strip()!r} is not a number") from None
    if not (math.isfinite(value) and 0.0 <= value <= 10.0):
        raise ParameterError(f"systematics: {item!r}: a fraction must lie in [0, 10]")
    return value
