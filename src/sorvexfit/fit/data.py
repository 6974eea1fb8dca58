"""Flux points: reading them, checking them, and the per-point errors a fit uses.

Two conventions are read, with their units taken from the file:

- the ECSV flux-point table that gammapy and agnpy share: `e_ref` (an energy or frequency;
  or `e_min` and `e_max`, whose geometric mean is taken), `e2dnde` with `e2dnde_errn` and
  `e2dnde_errp` (or a symmetric `e2dnde_err`), an optional boolean `is_ul` with the limits in
  `e2dnde_ul`, an optional `instrument`, and `redshift` in the metadata;
- plain columns `nu` (or `frequency`, `energy`) and `nuFnu` with `nuFnu_err` (or `_errn` and
  `_errp`), in ECSV or in CSV. A CSV file gives each unit in its header, `nu [Hz]` or
  `nuFnu (erg cm-2 s-1)`, and may state the redshift in a comment line `# redshift: 0.03`.

Column names are matched without regard to case. Every value that cannot be used raises
`DataError` with one line that names the file, the row (counting data rows from 1) and the
column.
"""

from __future__ import annotations

import math
import re
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

__all__ = ["DataError", "FluxPoints", "read_flux_points"]

FLUX_UNIT = "erg cm-2 s-1"
_X_NAMES = ("e_ref", "nu", "frequency", "freq", "energy")
_Y_NAMES = ("e2dnde", "nufnu", "nu_fnu", "flux")
_UNIT_IN_NAME = re.compile(r"^\s*(.*?)\s*[\[(]\s*(.*?)\s*[\])]\s*$")
_META_LINE = re.compile(r"^\s*(redshift|z)\s*[:=]\s*(\S+)\s*$", re.IGNORECASE)


class DataError(ValueError):
    """Flux points that cannot be used; the message is one line naming the file, and the row
    and column where there is one."""


@dataclass
class FluxPoints:
    """Flux points in the units the model works in.

    nu: observed frequency (Hz); flux: νF_ν (erg cm^-2 s^-1), the limit itself for an upper
    limit; err_lo, err_hi: statistical errors below and above (NaN for upper limits);
    is_ul: upper limits; instrument: a name per point ("" when the file has none).
    """

    nu: np.ndarray
    flux: np.ndarray
    err_lo: np.ndarray
    err_hi: np.ndarray
    is_ul: np.ndarray
    instrument: np.ndarray
    redshift: float | None
    name: str
    path: str

    def __len__(self) -> int:
        return int(self.nu.size)

    def select(self, mask: np.ndarray) -> FluxPoints:
        return FluxPoints(
            self.nu[mask],
            self.flux[mask],
            self.err_lo[mask],
            self.err_hi[mask],
            self.is_ul[mask],
            self.instrument[mask],
            self.redshift,
            self.name,
            self.path,
        )


def read_flux_points(path: str | Path) -> FluxPoints:
    """The flux points of an ECSV or CSV file (see the module documentation), or DataError."""
    path = Path(path)
    where = path.name
    if not path.is_file():
        raise DataError(f"{path}: no such file")
    suffix = path.suffix.lower()
    if suffix == ".ecsv":
        table = _read(path, "ascii.ecsv", "ECSV")
    elif suffix == ".csv":
        table = _read(path, "ascii.csv", "CSV", comment="#")
        _units_from_names(table, where)
    else:
        raise DataError(f"{path}: unknown format {suffix or '(none)'!r}; use .ecsv or .csv")
    if len(table) == 0:
        raise DataError(f"{where}: no flux points")
    columns = {name.lower(): name for name in table.colnames}

    x_col = _first(columns, _X_NAMES)
    if x_col is not None:
        nu = _frequencies(table, x_col, where)
    elif "e_min" in columns and "e_max" in columns:
        low = _frequencies(table, columns["e_min"], where)
        high = _frequencies(table, columns["e_max"], where)
        nu = np.sqrt(low * high)
    else:
        raise DataError(
            f"{where}: missing column 'e_ref' (or nu, frequency, energy, or e_min and e_max)"
        )

    y_col = _first(columns, _Y_NAMES)
    if y_col is None:
        raise DataError(f"{where}: missing column 'e2dnde' (or nuFnu)")
    is_ul = _upper_limit_flags(table, columns, where)
    y = _fluxes(table, y_col, where, required=~is_ul)
    err_lo, err_hi = _errors(table, columns, y_col, where, required=~is_ul)

    # An upper limit is its e2dnde_ul where the file gives one, else its e2dnde.
    ul_col = columns.get(f"{y_col.lower()}_ul")
    limits = np.full(len(table), np.nan)
    if ul_col is not None:
        limits = _fluxes(table, ul_col, where, np.zeros(len(table), bool))
        y = np.where(is_ul & np.isfinite(limits), limits, y)
    for i in np.nonzero(is_ul)[0]:
        column = ul_col if ul_col is not None and np.isfinite(limits[i]) else y_col
        _check_positive(y[i : i + 1], column, where, np.ones(1, bool), "upper limit", i)
    err_lo[is_ul] = np.nan
    err_hi[is_ul] = np.nan

    instrument = np.full(len(table), "", dtype=object)
    if "instrument" in columns:
        instrument = np.array([str(v).strip() for v in _filled(table[columns["instrument"]], "")])
    return FluxPoints(
        nu,
        y,
        err_lo,
        err_hi,
        is_ul,
        instrument,
        _redshift(table, where),
        str(table.meta.get("source", "")) or path.stem,
        str(path),
    )


# ---------------------------------------------------------------------------------------------


def _read(path: Path, fmt: str, label: str, **options: Any) -> Any:
    from astropy.table import Table

    try:
        return Table.read(path, format=fmt, **options)
    except Exception as error:  # astropy raises many kinds for a malformed file
        text = str(error).strip().splitlines()
        reason = text[0] if text else type(error).__name__
        raise DataError(f"{path.name}: cannot read as {label}: {reason}") from None


def _units_from_names(table: Any, where: str) -> None:
    """CSV headers carry units: `nu [Hz]` or `nuFnu (erg cm-2 s-1)`."""
    from astropy import units as u

    for name in list(table.colnames):
        match = _UNIT_IN_NAME.match(name)
        if match is None:
            continue
        bare, unit = match.groups()
        try:
            table[name].unit = u.Unit(unit)
        except ValueError:
            raise DataError(f"{where}: column {name!r}: unknown unit {unit!r}") from None
        table.rename_column(name, bare)
    for line in table.meta.get("comments", []):
        match = _META_LINE.match(line)
        if match:
            table.meta["redshift"] = match.group(2)


def _first(columns: dict[str, str], names: Sequence[str]) -> str | None:
    return next((columns[n] for n in names if n in columns), None)


def _filled(column: Any, fill: Any) -> np.ndarray:
    if hasattr(column, "mask") and np.any(column.mask):
        return np.asarray(column.filled(fill))
    return np.asarray(column)


def _numbers(table: Any, name: str, where: str, check: np.ndarray) -> np.ndarray:
    """The column as floats; a missing (masked) or non-numeric value where `check` is set is
    an error."""
    column = table[name]
    mask = np.asarray(getattr(column, "mask", np.zeros(len(column), bool)), dtype=bool)
    bad = np.nonzero(mask & check)[0]
    if bad.size:
        raise DataError(f"{where}: row {bad[0] + 1}, column {name!r}: value is missing")
    try:
        values = np.asarray(_filled(column, np.nan), dtype=float)
    except (TypeError, ValueError):
        raise DataError(f"{where}: column {name!r}: values are not numbers") from None
    return values


def _unit(table: Any, name: str, where: str, target: str, kind: str) -> Any:
    from astropy import units as u

    unit = table[name].unit
    if unit is None or unit == u.dimensionless_unscaled:
        raise DataError(f"{where}: column {name!r} has no unit (expected {kind})")
    if target == "spectral":
        if not (unit.is_equivalent(u.Hz) or unit.is_equivalent(u.erg)):
            raise DataError(f"{where}: column {name!r}: unit '{unit}' is not {kind}")
    elif not unit.is_equivalent(u.Unit(target)):
        raise DataError(f"{where}: column {name!r}: unit '{unit}' is not {kind}")
    return unit


def _frequencies(table: Any, name: str, where: str) -> np.ndarray:
    from astropy import units as u

    unit = _unit(table, name, where, "spectral", "an energy or a frequency")
    values = _numbers(table, name, where, np.ones(len(table), bool))
    _check_positive(values, name, where, np.ones(len(table), bool), "value")
    hz: np.ndarray = (values * unit).to_value(u.Hz, equivalencies=u.spectral())
    return hz


def _fluxes(
    table: Any, name: str, where: str, required: np.ndarray, noun: str = "value"
) -> np.ndarray:
    """An energy-flux column in erg cm^-2 s^-1; the `required` rows must be positive."""
    from astropy import units as u

    unit = _unit(table, name, where, FLUX_UNIT, f"an energy flux ({FLUX_UNIT})")
    values = _numbers(table, name, where, required)
    _check_positive(values, name, where, required, noun)
    flux: np.ndarray = (values * unit).to_value(u.Unit(FLUX_UNIT))
    return flux


def _check_positive(
    values: np.ndarray, name: str, where: str, rows: np.ndarray, noun: str, first: int = 0
) -> None:
    """Each of the `rows` is a positive finite number; `first` is the row of values[0]."""
    for i in np.nonzero(rows)[0]:
        v = values[i]
        if math.isnan(v):
            problem = f"{noun} is NaN"
        elif not math.isfinite(v):
            problem = f"{noun} is {v}"
        elif v <= 0.0:
            problem = f"{noun} must be positive (got {v:g})"
        else:
            continue
        raise DataError(f"{where}: row {first + i + 1}, column {name!r}: {problem}")


def _errors(
    table: Any, columns: dict[str, str], y_col: str, where: str, required: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    stem = y_col.lower()
    low, high = columns.get(f"{stem}_errn"), columns.get(f"{stem}_errp")
    symmetric = columns.get(f"{stem}_err")
    if low is None and high is None and symmetric is not None:
        low = high = symmetric
    if low is None or high is None:
        missing = f"{y_col}_errn" if low is None else f"{y_col}_errp"
        raise DataError(f"{where}: missing column {missing!r} (or a symmetric {y_col}_err)")
    return (
        _fluxes(table, low, where, required, "error"),
        _fluxes(table, high, where, required, "error"),
    )


def _upper_limit_flags(table: Any, columns: dict[str, str], where: str) -> np.ndarray:
    name = columns.get("is_ul")
    if name is None:
        return np.zeros(len(table), dtype=bool)
    flags = []
    for i, value in enumerate(_filled(table[name], False)):
        text = str(value).strip().lower()
        if text in ("true", "1", "yes", "t", "1.0"):
            flags.append(True)
        elif text in ("false", "0", "no", "f", "0.0", ""):
            flags.append(False)
        else:
            raise DataError(f"{where}: row {i + 1}, column {name!r}: {value!r} is not a boolean")
    return np.array(flags, dtype=bool)


def _redshift(table: Any, where: str) -> float | None:
    meta = {str(k).lower(): v for k, v in table.meta.items()}
    value = meta.get("redshift", meta.get("z"))
    if value is None:
        return None
    try:
        z = float(value)
    except (TypeError, ValueError):
        raise DataError(f"{where}: metadata 'redshift': {value!r} is not a number") from None
    if not (math.isfinite(z) and z > 0.0):
        raise DataError(f"{where}: metadata 'redshift': must be positive (got {value})")
    return z
