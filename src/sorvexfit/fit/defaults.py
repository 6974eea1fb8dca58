"""What a fit assumes when it is told nothing: the physical box, the geometry, EBL and radio.

- **The physical box.** A fit searches each free parameter within `PHYSICAL_BOUNDS` (in the
  parameter's unit), intersected with the model's own limits: B 1e-3 to 100 G, δ and Γ 1 to
  100, θ 0 to 30°, R 1e13 to 1e19 cm, t_var 1 min to 3 yr, electron indices 1 to 6, γ_min 1
  to 1e5, γ_b 10 to 1e8, γ_max 1e3 to 1e9 (ordered), external energy densities up to what a
  broad-line region or a torus gives (blob frame 1e-6 to 100 erg cm^-3, AGN frame 1e-7 to 1
  erg cm^-3: a BLR that reprocesses 10 % of the disk's light holds u ≈ 0.03 erg cm^-3 inside
  its radius, Ghisellini & Tavecchio 2009, MNRAS 397, 985, boosted by up to (17/12) Γ² in the
  blob); for the nucleus of an FSRQ, L_disk 1e42 to 1e48 erg/s, the blob's height r 1e15 to
  1e20 cm, the reprocessed fractions ξ 1e-3 to 0.5 (BLR) and 0.9 (torus), T_DT 100 to 2000 K
  (dust sublimates above ~1500 K). `--bound NAME=LOW,HIGH` replaces one.
- **The free parameters.** The model's (`sorvexfit params`: those not marked frozen), and the
  lowest and highest Lorentz factors of the electrons, γ_min and γ_max, unless `--set` gives
  them (then they are fixed there): the extent of the humps fixes them only with the others.
- **The geometry.** R = c t_var δ/(1+z) from a variability time, t_var = 1 day unless set
  (`--set t_var=...`); t_var itself is not fitted unless named in `--free`.
- **The EBL.** With the redshift known, gamma rays are absorbed on the EBL of Dominguez et al.
  2011 (`DEFAULT_EBL`); `--ebl none` turns it off, `--ebl MODEL` chooses another.
- **Radio.** Points below `RADIO_LIMIT` (1e11 Hz) come mostly from the extended jet and are
  self-absorbed in a compact blob: they constrain the fit as upper limits (the blob may not
  outshine them); `--radio fit` fits them as detections, `--radio ignore` leaves them out.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

from ..parameters import ParameterError, Parameters, to_float

__all__ = [
    "DEFAULT_EBL",
    "DEFAULT_T_VAR",
    "FIT_FREE",
    "PHYSICAL_BOUNDS",
    "RADIO_CHOICES",
    "RADIO_LIMIT",
    "fit_bounds",
    "parse_bounds",
]

DEFAULT_EBL = "dominguez"
FIT_FREE = ("gamma_min", "gamma_max")  # free in a fit beside the model's free parameters
DEFAULT_T_VAR = "1 d"
RADIO_LIMIT = 1e11  # Hz
RADIO_CHOICES = ("limits", "fit", "ignore")

# name -> (low, high) in the parameter's unit; u_ext by the frame it is given in.
PHYSICAL_BOUNDS: dict[str, tuple[float, float]] = {
    "B": (1e-3, 100.0),
    "delta_D": (1.0, 100.0),
    "Gamma": (1.0, 100.0),
    "theta": (0.0, 30.0),
    "R": (1e13, 1e19),
    "t_var": (60.0, 1e8),
    "p": (1.0, 6.0),
    "p1": (1.0, 6.0),
    "p2": (1.0, 6.0),
    "q": (-1.0, 2.0),
    "gamma_min": (1.0, 1e5),
    "gamma_b": (10.0, 1e8),
    "gamma_c": (10.0, 1e8),
    "gamma_0": (1.0, 1e8),
    "gamma_max": (1e3, 1e9),
    "u_ext": (1e-6, 100.0),
    "u_ext@agn": (1e-7, 1.0),
    "n_e": (1e-10, 1e10),
    "u_e": (1e-12, 1e6),
    "L_e": (1e36, 1e52),
    "L_inj": (1e36, 1e52),
    # The nucleus of an FSRQ (Ghisellini & Tavecchio 2009; Shaw et al. 2012, ApJ 748, 49 for
    # the disk luminosities of Fermi FSRQs, 1e44 to 1e47 erg/s).
    "L_disk": (1e42, 1e48),
    "r": (1e15, 1e20),
    "M_BH": (1e6, 3e10),
    "l_Edd": (1e-3, 1.0),
    "eta": (0.01, 0.4),
    "R_in": (1.0, 50.0),
    "R_out": (10.0, 1e5),
    "xi_BLR": (1e-3, 0.5),
    "nu_line": (1e14, 1e16),
    "R_BLR": (1e15, 1e19),
    "xi_DT": (1e-3, 0.9),
    "T_DT": (100.0, 2000.0),
    "R_DT": (1e16, 1e20),
}


def parse_bounds(texts: Sequence[str], params: Parameters) -> dict[str, tuple[float, float]]:
    """NAME=LOW,HIGH (in the parameter's unit, or with units) as {name: (low, high)}, or
    ParameterError."""
    bounds: dict[str, tuple[float, float]] = {}
    for text in texts:
        name, sep, rest = text.partition("=")
        ends = rest.split(",")
        if not sep or len(ends) != 2:
            raise ParameterError(f"bound: expected NAME=LOW,HIGH, got {text!r}")
        p = params[name.strip()]
        low, high = (to_float(f"bound {p.name}", e.strip(), p.unit) for e in ends)
        if not low < high:
            raise ParameterError(f"bound {p.name}: the lower end {low:g} must be below {high:g}")
        if low < p.min or high > p.max:
            raise ParameterError(
                f"bound {p.name}: [{low:g}, {high:g}] reaches outside the model's limits"
                f" [{p.min:g}, {p.max:g}]"
            )
        bounds[p.name] = (low, high)
    return bounds


def fit_bounds(
    params: Parameters, ec_frame: str, given: dict[str, tuple[float, float]]
) -> Parameters:
    """A copy of `params` whose free parameters' limits are the physical box (or `given`),
    within the model's limits; a starting value outside is moved to the nearest edge."""
    fitted = params.copy()
    for name in fitted.free:
        p = fitted[name]
        key = "u_ext@agn" if name == "u_ext" and ec_frame == "agn" else name
        low, high = given.get(name, PHYSICAL_BOUNDS.get(key, (p.min, p.max)))
        low, high = max(low, p.min), min(high, p.max)
        if p.log10 and not low > 0.0:
            low = p.min
        p.min, p.max = low, high
        if not low <= p.value <= high:
            edge = low if p.value < low else high
            inside = math.nextafter(edge, high if edge == low else low)
            p.value = inside
    return fitted
