"""Non-thermal emission of relativistic electrons in a blob or a slab (cgs units).

Grids are sequences of numbers (lists, tuples, ranges, 1-D NumPy arrays, ...) and are taken as
power laws between neighbouring points. Results are new lists of floats. Argument errors raise
TypeError; a computation that cannot proceed raises PanicException, which derives from
BaseException (not Exception).
"""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, overload

class _SequenceOfNumbers(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...

type _Number = SupportsFloat | SupportsIndex
type Grid = Sequence[_Number] | _SequenceOfNumbers

__all__: list[str]

def get_c() -> float:
    """Speed of light in cm s^-1 (29979245800.0)."""

@overload
def gofb(arg: _Number) -> float: ...
@overload
def gofb(arg: Grid) -> list[float]:
    """Lorentz factor 1/sqrt(1 - beta^2) of a speed beta (in units of c), or of each."""

@overload
def bofg(arg: _Number) -> float: ...
@overload
def bofg(arg: Grid) -> list[float]:
    """Speed (in units of c) of a Lorentz factor, or of each; 0 for gamma <= 1."""

def eq_59_park1995(t: _Number, g: Grid) -> list[float]:
    """Closed-form Fokker-Planck solution at time t on the Lorentz factors g."""

def fp_findif_difu(
    dt_in: _Number,
    gamma_bins: Grid,
    nin: Grid,
    gdot_in: Grid,
    din: Grid,
    qin: Grid,
    tesc_in: _Number,
    tlc: _Number,
    check_params: bool | None = None,
) -> list[float]:
    """Electron distribution after one implicit Chang-Cooper step of dt_in seconds.

    gdot_in: cooling rate (s^-1), din: diffusion coefficient (s^-1), qin: injection per second,
    tesc_in: escape time (s), tlc: light-crossing time (s), the time unit of the step.
    """

def syn_emissivity_full(
    freqs: Grid, gamma_bins: Grid, n_distrib: Grid, b_field: _Number, with_abs: bool
) -> tuple[list[float], list[float]]:
    """Synchrotron emissivity (erg s^-1 cm^-3 Hz^-1 sr^-1) and absorption coefficient (cm^-1).

    freqs in Hz; n_distrib (cm^-3 per unit Lorentz factor) on gamma_bins; b_field in gauss.
    """

def rad_trans_blob(blob_radius: _Number, j_nu: Grid, a_nu: Grid) -> list[float]:
    """Specific intensity (erg s^-1 cm^-2 Hz^-1 sr^-1) of a sphere of radius blob_radius (cm)."""

def ic_iso_powlaw_full(freqs: Grid, inu: Grid, g: Grid, n: Grid) -> list[float]:
    """Inverse-Compton emissivity for the seed intensity inu tabulated on freqs (Hz)."""

def rad_cool_pwl(gg: Grid, freqs: Grid, uu: Grid, with_kn: bool) -> list[float]:
    """Compton cooling rate dgamma/dt (s^-1) in the field u(nu) (erg cm^-3 Hz^-1) on freqs."""

def rad_cool_mono(gg: Grid, nu0: _Number, u0: _Number, with_kn: bool) -> list[float]:
    """Compton cooling rate dgamma/dt (s^-1) in a line of frequency nu0 and density u0."""

def ic_iso_monochrome_full(
    freqs: Grid, uext: _Number, nuext: _Number, n: Grid, g: Grid
) -> list[float]:
    """Inverse-Compton emissivity (erg s^-1 cm^-3 Hz^-1) for a line seed field."""

def rad_trans_slab(blob_radius: _Number, j_nu: Grid, a_nu: Grid) -> list[float]:
    """Specific intensity (erg s^-1 cm^-2 Hz^-1 sr^-1) of a slab of thickness blob_radius."""
