"""The layouts flux-point tables come in, recognised by their columns, and their conversion to
observed frequency (Hz) and νF_ν (erg cm^-2 s^-1).

- **gammapy/agnpy** (`e_ref`, or `e_min` and `e_max`, whose geometric mean is taken, as
  gammapy does). SED type `e2dnde` (`e2dnde`, `e2dnde_errn`/`e2dnde_errp` or `e2dnde_err`,
  `e2dnde_ul`, `is_ul`) and `dnde` (the same columns with `dnde`, times E_ref²) are read
  here. The other SED types (`flux`, `eflux`, `likelihood`), and every FITS file, are read
  by gammapy's own reader (`FluxPoints.from_table`, what `FluxPoints.read` calls once it has
  the table) and converted by it to e2dnde, at each bin's geometric centre where the file
  gives bins; gammapy is an optional extra (`pip install 'sorvex[gammapy]'`). gammapy takes
  each energy once, in increasing order, and the end of a bin as the start of the next: the
  rows are handed to it sorted, in runs that are so (a bin apart is converted alone). A
  `flux` or `eflux` point becomes e2dnde under a spectral shape within its bin: gammapy's
  default reference model, E^-2, and a note says so.
- **plain** columns `nu` (or `frequency`, `freq`, `energy`) and `nuFnu` (or `nu_fnu`, `flux`
  in erg cm^-2 s^-1) with `nuFnu_err` (or `_errn` and `_errp`), `nuFnu_ul`, `is_ul`.
- **JetSeT** (`jetset.data_loader.Data`, as documented in JetSeT's user guide, "Data format
  and SED data"): columns `x` (frequency), `y` (νF_ν), `dy` (its error), `UL` (upper
  limit), `data_set` (taken as the instrument); `dx`, `T_start` and `T_stop` are not used.
  Metadata `z`, `restframe` (`obs`, or `src` for luminosities νL_ν) and `data_scale`
  (`lin-lin`, or `log-log`: x = log10 ν, y = log10 νF_ν, dx and dy in dex), both required as
  in JetSeT. Columns without a unit take the units JetSeT's `Data` declares (Hz, erg cm^-2
  s^-1; erg s^-1 for luminosities); in log-log a unit names that of the quantity whose
  logarithm is given. A log error dy becomes the interval 10^(y±dy): errors F(1 − 10^-dy)
  below and F(10^dy − 1) above (JetSeT linearises this to ln(10) F dy, the same to first
  order). Luminosities become observed fluxes as in JetSeT's `ObsData`, ν_obs = ν/(1+z) and
  νF_ν = νL_ν/(4π d_L²), with d_L from astropy's Planck18 at the table's z (a note says
  so). JetSeT's `z: 0` (its empty-table default) counts as no redshift.

Column names are matched without regard to case. Every value is checked against the physical
ranges of `tables` before it is used.
"""

from __future__ import annotations

import itertools
import math
from pathlib import Path
from typing import Any

import numpy as np

from .tables import (
    FLUX_RANGE,
    FLUX_UNIT,
    NU_RANGE,
    DataError,
    FluxPoints,
    Where,
    caught,
    check_errors,
    check_values,
    column_map,
    first_line,
    flags,
    numbers,
    read_table,
    strings,
    unit_of,
)

__all__ = ["KNOWN_LAYOUTS", "read_points"]

KNOWN_LAYOUTS = (
    "gammapy/agnpy (e_ref, or e_min and e_max, with e2dnde, dnde, flux, eflux or norm),"
    " plain (nu with nuFnu), JetSeT (x, y, dy, UL, data_set)"
)
SED_TYPES = ("dnde", "e2dnde", "flux", "eflux", "likelihood")
_NATIVE = ("e2dnde", "dnde")
_X_NAMES = ("e_ref", "nu", "frequency", "freq", "energy")
_Y_NAMES = ("e2dnde", "nufnu", "nu_fnu", "flux")
_FITS_SUFFIXES = (".fits", ".fit", ".fts", ".fits.gz", ".fit.gz", ".fts.gz")
_NO_REFERENCE = "No reference model set"
_DNDE_UNIT = "cm-2 s-1 erg-1"


def read_points(path: Path, notes: list[str]) -> FluxPoints:
    """The points of an ECSV, CSV or FITS file in any known layout, or DataError; `notes`
    receives the one-line notes of the reading (warnings, assumptions)."""
    where = Where(path.name)
    lower = path.name.lower()
    if not path.is_file():
        raise DataError(f"{path}: no such file")
    if lower.endswith(_FITS_SUFFIXES):
        kind = "fits"
    elif path.suffix.lower() in (".ecsv", ".csv"):
        kind = path.suffix.lower()[1:]
    else:
        suffix = path.suffix or "(none)"
        raise DataError(f"{path}: unknown format {suffix!r}; use .ecsv, .csv or .fits")
    with caught(where.name, notes, quiet=(_NO_REFERENCE,)):
        if kind == "fits":
            _gammapy(where, "FITS flux points")
        table = read_table(path, kind)
        if len(table) == 0:
            raise DataError(f"{where.name}: no flux points")
        return _convert(table, kind, where, notes)


def _convert(table: Any, kind: str, where: Where, notes: list[str]) -> FluxPoints:
    columns = column_map(table)
    meta = {str(k).lower(): v for k, v in table.meta.items()}
    if "x" in columns or "y" in columns:
        return _jetset(table, columns, meta, where, notes)
    sed_type = _sed_type(table, columns, meta, where)
    name = str(meta.get("source", meta.get("obj_name", "")) or "")
    redshift = _redshift(meta, where.name)
    if kind == "fits" or (sed_type is not None and sed_type not in _NATIVE):
        table, where = _through_gammapy(table, columns, sed_type, kind, where, notes)
        columns, sed_type = column_map(table), "e2dnde"
    points = _gadf(table, columns, sed_type, where)
    points.redshift, points.name = redshift, name
    return points


def _first(columns: dict[str, str], names: tuple[str, ...]) -> str | None:
    return next((columns[n] for n in names if n in columns), None)


def _sed_type(
    table: Any, columns: dict[str, str], meta: dict[str, Any], where: Where
) -> str | None:
    """gammapy's SED type: the metadata's SED_TYPE, else guessed from the columns; None for
    a plain table."""
    from astropy import units as u

    declared = meta.get("sed_type")
    if declared is not None:
        sed_type = str(declared).strip().lower()
        if sed_type not in SED_TYPES:
            raise DataError(
                f"{where.name}: metadata 'SED_TYPE': unknown SED type {declared!r}"
                f" (known: {', '.join(SED_TYPES)})"
            )
        return sed_type
    for name, sed_type in (("e2dnde", "e2dnde"), ("dnde", "dnde"), ("norm", "likelihood")):
        if name in columns:
            return sed_type
    if "eflux" in columns:
        return "eflux"
    unit = table[columns["flux"]].unit if "flux" in columns else None
    if unit is not None and unit.is_equivalent(u.Unit("cm-2 s-1")):
        return "flux"
    return None


# ---------------------------------------------------------------------------------------------
# gammapy and agnpy, plain columns


def _spectral(table: Any, name: str, where: Where) -> np.ndarray:
    """An energy or frequency column in Hz, every row within the physical range."""
    from astropy import units as u

    unit = unit_of(table, name, where, "spectral", "an energy or a frequency")
    everywhere = np.ones(len(table), dtype=bool)
    raw = numbers(table, name, where, everywhere)
    hz: np.ndarray = (raw * unit).to_value(u.Hz, equivalencies=u.spectral())
    check_values(hz, name, where, everywhere, NU_RANGE, "Hz", raw=raw, raw_unit=str(unit))
    return hz


def _in_flux_units(
    table: Any, name: str, where: Where, required: np.ndarray, scale: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray, str]:
    """A νF_ν column (or, with `scale` = E², a dN/dE column) in erg cm^-2 s^-1, with the
    values as given and their unit."""
    from astropy import units as u

    if scale is None:
        unit = unit_of(table, name, where, u.Unit(FLUX_UNIT), f"an energy flux ({FLUX_UNIT})")
        target = u.Unit(FLUX_UNIT)
    else:
        unit = unit_of(table, name, where, u.Unit(_DNDE_UNIT), "a differential flux dN/dE")
        target = u.Unit(_DNDE_UNIT)
    raw = numbers(table, name, where, required)
    values: np.ndarray = (raw * unit).to_value(target)
    if scale is not None:
        values = values * scale
    return values, raw, str(unit)


def _gadf(table: Any, columns: dict[str, str], sed_type: str | None, where: Where) -> FluxPoints:
    """The gammapy/agnpy convention (e2dnde, or dnde times E²) and plain columns."""
    from astropy import units as u

    n = len(table)
    x_col = _first(columns, _X_NAMES)
    if x_col is not None:
        nu = _spectral(table, x_col, where)
    elif "e_min" in columns and "e_max" in columns:
        nu = np.sqrt(_spectral(table, columns["e_min"], where))
        nu = nu * np.sqrt(_spectral(table, columns["e_max"], where))
    elif sed_type is None and _first(columns, _Y_NAMES) is None:
        found = ", ".join(table.colnames[:12]) + (", ..." if len(table.colnames) > 12 else "")
        raise DataError(f"{where.name}: unknown layout: columns {found}; known: {KNOWN_LAYOUTS}")
    else:
        raise DataError(
            f"{where.name}: missing column 'e_ref' (or nu, frequency, energy, or e_min and e_max)"
        )

    scale = None
    if sed_type == "dnde":
        y_col = columns.get("dnde")
        erg = (nu * u.Hz).to_value(u.erg, equivalencies=u.spectral())
        scale = erg * erg
        if y_col is None:
            raise DataError(f"{where.name}: missing column 'dnde' (SED type dnde)")
    else:
        y_col = _first(columns, _Y_NAMES)
        if y_col is None:
            raise DataError(f"{where.name}: missing column 'e2dnde' (or nuFnu)")

    is_ul = flags(table, columns.get("is_ul"), where)
    detected = ~is_ul
    flux, raw, unit = _in_flux_units(table, y_col, where, detected, scale)
    # An upper limit is its <y>_ul where the file gives one, else its <y>.
    ul_col = columns.get(f"{y_col.lower()}_ul")
    from_limit = np.zeros(n, dtype=bool)
    if ul_col is not None and is_ul.any():
        limits, raw_limits, unit_limits = _in_flux_units(
            table, ul_col, where, np.zeros(n, bool), scale
        )
        from_limit = is_ul & np.isfinite(raw_limits)
        check_values(
            limits,
            ul_col,
            where,
            from_limit,
            FLUX_RANGE,
            FLUX_UNIT,
            raw=raw_limits,
            raw_unit=unit_limits,
            noun="upper limit",
        )
        flux = np.where(from_limit, limits, flux)
    check_values(flux, y_col, where, detected, FLUX_RANGE, FLUX_UNIT, raw=raw, raw_unit=unit)
    check_values(
        flux,
        y_col,
        where,
        is_ul & ~from_limit,
        FLUX_RANGE,
        FLUX_UNIT,
        raw=raw,
        raw_unit=unit,
        noun="upper limit",
    )

    err_lo, err_hi = _errors(table, columns, y_col, where, detected, scale)
    instrument = strings(table, columns.get("instrument"), where)
    return FluxPoints.read(nu, flux, err_lo, err_hi, is_ul, instrument, None, "")


def _errors(
    table: Any,
    columns: dict[str, str],
    y_col: str,
    where: Where,
    required: np.ndarray,
    scale: np.ndarray | None,
) -> tuple[np.ndarray, np.ndarray]:
    stem = y_col.lower()
    low, high = columns.get(f"{stem}_errn"), columns.get(f"{stem}_errp")
    symmetric = columns.get(f"{stem}_err")
    if low is None and high is None and symmetric is not None:
        low = high = symmetric
    if low is None or high is None:
        missing = f"{y_col}_errn" if low is None else f"{y_col}_errp"
        raise DataError(f"{where.name}: missing column {missing!r} (or a symmetric {y_col}_err)")
    result = []
    for name in (low, high):
        values, raw, unit = _in_flux_units(table, name, where, required, scale)
        check_errors(values, name, where, required, raw=raw, raw_unit=unit)
        result.append(values)
    return result[0], result[1]


def _through_gammapy(
    table: Any,
    columns: dict[str, str],
    sed_type: str | None,
    kind: str,
    where: Where,
    notes: list[str],
) -> tuple[Any, Where]:
    """The table converted to e2dnde by gammapy, with the file's row of each of its rows."""
    from astropy.table import vstack

    what = "FITS flux points" if kind == "fits" else f"flux points of SED type {sed_type!r}"
    GammapyPoints = _gammapy(where, what)

    energies = {
        name: _spectral(table, columns[name], where)
        for name in ("e_min", "e_max", "e_ref")
        if name in columns
    }
    if "e_min" in energies and "e_max" in energies:
        low, high = energies["e_min"], energies["e_max"]
        bad = ~(high > low)
        if bad.any():
            i = int(np.argmax(bad))
            raise DataError(f"{where.at(i, columns['e_max'])}: the bin ends below its start")
    elif "e_ref" in energies:
        low = high = energies["e_ref"]
    else:
        raise DataError(f"{where.name}: missing column 'e_ref' (or e_min and e_max)")
    # gammapy takes each energy once, in increasing order, and the bins as contiguous (the
    # end of one is the start of the next): the rows go to it sorted, in runs that are.
    bins = low is not high
    order = np.lexsort((high, low))
    low, high = low[order], high[order]
    breaks = low[1:] <= low[:-1]
    if bins:
        breaks |= ~np.isclose(low[1:], high[:-1], rtol=1e-9, atol=0.0)
    starts = np.concatenate(([0], np.flatnonzero(breaks) + 1, [len(order)]))
    parts = []
    try:
        for begin, end in itertools.pairwise(starts):
            rows = order[begin:end]
            points = GammapyPoints.from_table(table[rows], sed_type=sed_type, format="gadf-sed")
            parts.append(points.to_table(sed_type="e2dnde", format="gadf-sed"))
        converted = vstack(parts, metadata_conflicts="silent") if len(parts) > 1 else parts[0]
    except DataError:
        raise
    except Exception as error:
        problem = first_line(error)
        raise DataError(f"{where.name}: gammapy cannot read these {what}: {problem}") from None
    if sed_type in ("flux", "eflux"):
        notes.append(
            f"{where.name}: gammapy converted SED type {sed_type!r} to e2dnde at each bin's"
            " centre assuming an E^-2 spectrum within the bin (its default reference model)"
        )
    main = {"likelihood": "norm"}.get(str(sed_type), str(sed_type))
    alias = {
        f"e2dnde{end}": columns[f"{main}{end}"]
        for end in ("", "_err", "_errn", "_errp", "_ul")
        if f"{main}{end}" in columns
    }
    return converted, Where(where.name, order + 1, alias)


def _gammapy(where: Where, what: str) -> Any:
    """gammapy's FluxPoints, or DataError if gammapy is not installed."""
    try:
        from gammapy.estimators import FluxPoints
    except ImportError:
        raise DataError(
            f"{where.name}: {what} are read by gammapy, which is not installed"
            " (pip install 'sorvex[gammapy]')"
        ) from None
    return FluxPoints


def _redshift(meta: dict[str, Any], where: str, zero_is_none: bool = False) -> float | None:
    key = "redshift" if "redshift" in meta else "z"
    value = meta.get(key)
    if value is None or (isinstance(value, str) and not value.strip()):
        return None
    try:
        z = float(value)
    except (TypeError, ValueError):
        raise DataError(f"{where}: metadata {key!r}: {value!r} is not a number") from None
    if zero_is_none and z == 0.0:
        return None
    if not (math.isfinite(z) and z > 0.0):
        raise DataError(f"{where}: metadata {key!r}: must be positive (got {value})")
    return z


def _jetset(
    table: Any, columns: dict[str, str], meta: dict[str, Any], where: Where, notes: list[str]
) -> FluxPoints:
    """JetSeT's table (module documentation)."""
    from astropy import units as u

    settings = {}
    for key, allowed in (("data_scale", ("lin-lin", "log-log")), ("restframe", ("obs", "src"))):
        value = meta.get(key)
        if value is None:
            raise DataError(
                f"{where.name}: metadata {key!r} is missing (a JetSeT table states"
                f" {' or '.join(allowed)})"
            )
        settings[key] = str(value).strip().lower()
        if settings[key] not in allowed:
            raise DataError(
                f"{where.name}: metadata {key!r}: expected {' or '.join(allowed)}, got {value!r}"
            )
    for name in ("x", "y"):
        if name not in columns:
            raise DataError(f"{where.name}: missing column {name!r} (JetSeT layout: x, y, dy)")
    x_col, y_col, dy_col = columns["x"], columns["y"], columns.get("dy")
    logarithmic = settings["data_scale"] == "log-log"
    source_frame = settings["restframe"] == "src"
    n = len(table)
    everywhere = np.ones(n, dtype=bool)
    is_ul = flags(table, columns.get("ul"), where)
    if "ul" not in columns and columns.get("dy") is not None:
        # Without a UL column, JetSeT's tables (and the SED builders they come from) mark an
        # upper limit by a negative error; JetSeT flags them with ObsData.set_UL.
        negative = numbers(table, columns["dy"], where, np.zeros(len(table), bool)) < 0.0
        if np.any(negative):
            is_ul = is_ul | negative
            notes.append(
                f"{where.name}: {int(np.count_nonzero(negative))} points with a negative"
                " error taken as upper limits (no UL column: JetSeT's convention)"
            )
    detected = ~is_ul

    redshift = _redshift(meta, where.name, zero_is_none=True)
    shift, dilution = 1.0, 1.0
    if source_frame:
        if redshift is None:
            raise DataError(
                f"{where.name}: restframe 'src' gives luminosities, and turning them into"
                " fluxes needs the redshift: metadata 'z' is missing or 0"
            )
        from astropy.cosmology import Planck18

        distance = Planck18.luminosity_distance(redshift)
        shift = 1.0 / (1.0 + redshift)
        dilution = 1.0 / (4.0 * math.pi * distance.to_value(u.cm) ** 2)
        notes.append(
            f"{where.name}: restframe 'src': luminosities νL_ν taken as νF_ν = νL_ν/(4π d_L²)"
            f" at ν/(1+z), with astropy's Planck18 at the table's z = {redshift:g}"
            f" (d_L = {distance.to_value(u.Mpc):.4g} Mpc)"
        )

    def unit(name: str, default: Any, target: Any, kind: str) -> Any:
        given = table[name].unit
        if logarithmic and isinstance(given, u.LogUnit):
            if not isinstance(given, u.DexUnit):
                raise DataError(f"{where.name}: column {name!r}: unit '{given}' is not dex")
            given = given.physical_unit
        if given is None or given == u.dimensionless_unscaled:
            return default
        if isinstance(given, u.UnrecognizedUnit):
            raise DataError(f"{where.name}: column {name!r}: unknown unit '{given}'")
        if not given.is_equivalent(target, equivalencies=u.spectral()):
            raise DataError(f"{where.name}: column {name!r}: unit '{given}' is not {kind}")
        return given

    def linear(raw: np.ndarray) -> np.ndarray:
        return np.power(10.0, raw) if logarithmic else raw

    # Frequencies.
    x_unit = unit(x_col, u.Hz, u.Hz, "an energy or a frequency")
    x_raw = numbers(table, x_col, where, everywhere)
    nu = (linear(x_raw) * x_unit).to_value(u.Hz, equivalencies=u.spectral()) * shift
    shown = f"log10({x_unit})" if logarithmic else str(x_unit)
    check_values(
        nu,
        x_col,
        where,
        everywhere,
        NU_RANGE,
        "Hz",
        raw=x_raw,
        raw_unit=shown,
        logarithm=logarithmic,
    )

    # νF_ν, or νL_ν in the source frame; an upper limit is its y.
    if source_frame:
        y_unit = unit(y_col, u.erg / u.s, u.erg / u.s, "a luminosity (restframe 'src')")
        to_flux = y_unit.to(u.erg / u.s) * dilution
    else:
        y_unit = unit(y_col, u.Unit(FLUX_UNIT), u.Unit(FLUX_UNIT), f"an energy flux ({FLUX_UNIT})")
        to_flux = y_unit.to(FLUX_UNIT)
    y_raw = numbers(table, y_col, where, everywhere)
    flux = linear(y_raw) * to_flux
    shown = f"log10({y_unit})" if logarithmic else str(y_unit)
    for rows, noun in ((detected, "value"), (is_ul, "upper limit")):
        check_values(
            flux,
            y_col,
            where,
            rows,
            FLUX_RANGE,
            FLUX_UNIT,
            raw=y_raw,
            raw_unit=shown,
            logarithm=logarithmic,
            noun=noun,
        )

    # Errors: none given (a missing dy, as JetSeT fills it, is zero) takes the floor later.
    if dy_col is None:
        err_lo = err_hi = np.zeros(n)
    else:
        dy = numbers(table, dy_col, where, detected)
        if logarithmic:
            err_lo = flux * -np.expm1(-math.log(10.0) * dy)
            err_hi = flux * np.expm1(math.log(10.0) * dy)
            for values in (err_lo, err_hi):
                check_errors(values, dy_col, where, detected, raw=dy, raw_unit="dex")
        else:
            dy_unit = unit(dy_col, y_unit, y_unit, f"in the unit of {y_col!r}")
            err_lo = err_hi = dy * (dy_unit.to(y_unit) * to_flux)
            check_errors(err_lo, dy_col, where, detected, raw=dy, raw_unit=str(dy_unit))
    instrument = strings(table, columns.get("data_set"), where)
    name = str(meta.get("obj_name", meta.get("source", "")) or "")
    return FluxPoints.read(nu, flux, err_lo, err_hi, is_ul, instrument, redshift, name)
