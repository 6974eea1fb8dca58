"""Flux points: reading them, checking them, and the per-point errors a fit uses.

`read_flux_points(path)` reads an ECSV, CSV or FITS table in one of the layouts of
`sorvexfit.fit.layouts`: the gammapy/agnpy flux points (any SED type; FITS and the SED types
other than e2dnde and dnde through gammapy, an optional extra), plain `nu` and `nuFnu`
columns, or JetSeT's table (lin-lin or log-log, observed fluxes or source-frame
luminosities). Units are taken from the file; a CSV file gives them in its header
(`nu [Hz]`) and its metadata in comment lines (`# redshift: 0.03`). A UTF-8 byte-order mark
and Windows line endings are read.

Every value that cannot be used raises `DataError` with one line that names the file, the
row (counting data rows from 1) and the column: a missing or non-numeric value, NaN, a
non-positive value, an error below zero, a value outside the physical ranges (frequency 1e6
to 1e30 Hz, νF_ν and its errors up to 1e-3 and from 1e-22 erg cm^-2 s^-1; `tables` gives the
reasons), a table in no known layout (naming its columns and the known layouts).

Errors that are zero or below 1e-4 of their flux are taken as not given: a relative error of
1e-4 is far below any calibration of a flux point (radio flux scales are known to about 1 %),
and public tables use zero or placeholders such as 1e-25 for "unknown". A point with one
usable side takes it for both; a point with none takes the floor: the larger of 10 % and the
median relative error of the points of its band (`systematics.BANDS`) that give one. One note
counts them.

The points come out in a canonical order: by frequency, ties broken by flux, then by the
lower and upper errors, the upper-limit flag and the instrument, so that nothing downstream
depends on the order of the rows. Notes (assumptions, the floors, the warnings raised while
reading, one line each) are kept in `FluxPoints.notes` and logged as warnings on the logger
"sorvexfit.fit.data".
"""

from __future__ import annotations

import logging
from pathlib import Path

import numpy as np

from .layouts import read_points
from .systematics import band_of
from .tables import FLUX_RANGE, FLUX_UNIT, NU_RANGE, DataError, FluxPoints

__all__ = [
    "ERROR_FLOOR",
    "FLUX_RANGE",
    "FLUX_UNIT",
    "NU_RANGE",
    "SMALLEST_ERROR",
    "DataError",
    "FluxPoints",
    "read_flux_points",
]

SMALLEST_ERROR = 1e-4  # relative: below it an error counts as not given
ERROR_FLOOR = 0.10  # relative: the least error of a point that gives none

_log = logging.getLogger(__name__)


def read_flux_points(path: str | Path) -> FluxPoints:
    """The flux points of an ECSV, CSV or FITS file (see the module documentation), or
    DataError."""
    path = Path(path)
    notes: list[str] = []
    points = read_points(path, notes)
    err_lo, err_hi = _usable_errors(
        points.nu, points.flux, points.err_lo, points.err_hi, points.is_ul, path.name, notes
    )
    order = np.lexsort((points.instrument, points.is_ul, err_hi, err_lo, points.flux, points.nu))
    for note in notes:
        _log.warning("%s", note)
    return FluxPoints(
        points.nu[order],
        points.flux[order],
        err_lo[order],
        err_hi[order],
        points.is_ul[order],
        points.instrument[order],
        points.redshift,
        points.name or path.stem,
        str(path),
        tuple(notes),
    )


def _usable_errors(
    nu: np.ndarray,
    flux: np.ndarray,
    err_lo: np.ndarray,
    err_hi: np.ndarray,
    is_ul: np.ndarray,
    where: str,
    notes: list[str],
) -> tuple[np.ndarray, np.ndarray]:
    """The errors with the floor applied where none is given (module documentation). Errors
    are handled relative to their flux, so that nothing overflows."""
    detected = ~is_ul
    with np.errstate(all="ignore"):
        rel_lo, rel_hi = err_lo / flux, err_hi / flux
    usable_lo, usable_hi = rel_lo >= SMALLEST_ERROR, rel_hi >= SMALLEST_ERROR
    low = np.where(usable_lo, rel_lo, np.where(usable_hi, rel_hi, np.nan))
    high = np.where(usable_hi, rel_hi, np.where(usable_lo, rel_lo, np.nan))
    one_sided = detected & (usable_lo != usable_hi)
    none = detected & ~usable_lo & ~usable_hi
    if none.any():
        bands = band_of(nu)
        larger = np.fmax(low, high)
        floor = np.full(nu.size, ERROR_FLOOR)
        described = []
        for band in sorted(set(bands[none].tolist())):
            in_band = bands == band
            given = in_band & detected & ~none
            median = float(np.median(larger[given])) if given.any() else 0.0
            floor[in_band] = max(ERROR_FLOOR, median)
            described.append(f"{band} {100 * floor[in_band][0]:.3g} %")
        low = np.where(none, floor, low)
        high = np.where(none, floor, high)
        notes.append(
            f"{where}: {_points(int(np.count_nonzero(none)))} no usable error (zero, or below"
            f" {SMALLEST_ERROR:g} of the flux): floored at the larger of {100 * ERROR_FLOOR:g} %"
            f" and the band's median relative error ({', '.join(described)})"
            + (
                f"; {_points(int(np.count_nonzero(one_sided)))} an error on one side only,"
                " used for both"
                if one_sided.any()
                else ""
            )
        )
    elif one_sided.any():
        notes.append(
            f"{where}: {_points(int(np.count_nonzero(one_sided)))} an error on one side only"
            f" (the other zero, or below {SMALLEST_ERROR:g} of the flux), used for both"
        )
    # The errors given are kept as they are, bit for bit; only the floors are computed.
    with np.errstate(all="ignore"):
        other_lo = np.where(usable_hi, err_hi, low * flux)
        other_hi = np.where(usable_lo, err_lo, high * flux)
        return (
            np.where(detected, np.where(usable_lo, err_lo, other_lo), np.nan),
            np.where(detected, np.where(usable_hi, err_hi, other_hi), np.nan),
        )


def _points(count: int) -> str:
    return f"{count} point gives" if count == 1 else f"{count} points give"
