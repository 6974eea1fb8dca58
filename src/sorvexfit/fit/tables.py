"""Flux-point tables as read from disk, and their columns as checked numbers.

A table is read whole by astropy (the fast C reader for CSV), then every check and conversion
runs on whole columns, so that reading stays linear in the number of rows. Every problem
raises `DataError` with one line that names the file and, where there is one, the row
(counting data rows from 1, in the order of the file) and the column. Warnings raised or
logged while a table is read (astropy's, gammapy's) are collected and summarised in one note.

Physical ranges. A value outside them is a unit mistake or a corrupt file, never a
measurement, and it would reach the fit as an overflow:

- frequency 1e6 to 1e30 Hz. The ionosphere reflects radio waves below about 10 MHz, so no
  ground-based telescope observes below 1 MHz; 1e30 Hz is 4 PeV, above the highest-energy
  photons ever detected (about 1.4 PeV, LHAASO; Cao et al. 2021, Nature 594, 33).
- νF_ν 1e-22 to 1e-3 erg cm^-2 s^-1 (errors and upper limits likewise at most 1e-3). The lower
  end is 0.1 μJy at 1 GHz, below the deepest radio surveys (a few μJy at 1-3 GHz, i.e. a few
  1e-20); the upper end lies five decades above the brightest blazar flares (3C 454.3 in
  2010, about 1e-8; Abdo et al. 2011, ApJ 733, L26).
"""

from __future__ import annotations

import csv
import logging
import math
import re
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

__all__ = [
    "FLUX_RANGE",
    "FLUX_UNIT",
    "NU_RANGE",
    "DataError",
    "FluxPoints",
    "Where",
    "caught",
    "check_errors",
    "check_values",
    "column_map",
    "flags",
    "numbers",
    "read_table",
    "strings",
    "unit_of",
]

FLUX_UNIT = "erg cm-2 s-1"
NU_RANGE = (1e6, 1e30)  # Hz
FLUX_RANGE = (1e-22, 1e-3)  # erg cm^-2 s^-1

_UTF8_BOM = b"\xef\xbb\xbf"
_UTF16_BOMS = (b"\xff\xfe", b"\xfe\xff")
_UNIT_IN_NAME = re.compile(r"^\s*(.*?)\s*[\[(]\s*(.*?)\s*[\])]\s*$")
# Metadata a CSV file may give in comment lines: "# redshift: 0.03", "# data_scale = log-log".
_META_LINE = re.compile(
    r"^\s*(redshift|z|restframe|data_scale|obj_name|source|sed_type)\s*[:=]\s*(.*?)\s*$",
    re.IGNORECASE,
)
_TRUE = ("true", "1", "yes", "t", "1.0")
_FALSE = ("false", "0", "no", "f", "0.0", "")


class DataError(ValueError):
    """Flux points that cannot be used; the message is one line naming the file, and the row
    and column where there is one."""


@dataclass(frozen=True)
class Where:
    """What a message names: the file, and the file's row (from 1) of each row of the table
    at hand (None: the table's rows are the file's)."""

    name: str
    rows: np.ndarray | None = None
    alias: dict[str, str] | None = None  # a converted column: the file's column it came from

    def at(self, index: int, column: str) -> str:
        row = index + 1 if self.rows is None else int(self.rows[index])
        source = (self.alias or {}).get(column)
        named = repr(column) if source is None else f"{source!r} (as {column})"
        return f"{self.name}: row {row}, column {named}"


@dataclass
class FluxPoints:
    """Flux points in the units the model works in (`read_flux_points` puts them in
    canonical order; a layout's reader gives them in the file's, without path or notes).

    nu: observed frequency (Hz); flux: νF_ν (erg cm^-2 s^-1), the limit itself for an upper
    limit; err_lo, err_hi: statistical errors below and above (NaN for upper limits);
    is_ul: upper limits; instrument: a name per point ("" when the file has none);
    notes: one-line remarks on the reading (assumptions made, errors floored, warnings).
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
    notes: tuple[str, ...] = ()

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
            self.notes,
        )

    @classmethod
    def read(
        cls,
        nu: np.ndarray,
        flux: np.ndarray,
        err_lo: np.ndarray,
        err_hi: np.ndarray,
        is_ul: np.ndarray,
        instrument: np.ndarray,
        redshift: float | None,
        name: str,
    ) -> FluxPoints:
        """The points a layout read: errors NaN for the upper limits, no path, no notes yet."""
        return cls(
            nu,
            flux,
            np.where(is_ul, np.nan, err_lo),
            np.where(is_ul, np.nan, err_hi),
            is_ul,
            instrument,
            redshift,
            name,
            "",
        )


def first_line(text: object) -> str:
    lines = str(text).strip().splitlines()
    return lines[0].strip() if lines else ""


# ---------------------------------------------------------------------------------------------
# Warnings


class _Collect(logging.Handler):
    def __init__(self, records: list[str]) -> None:
        super().__init__(logging.WARNING)
        self.records = records

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record.getMessage())


@contextmanager
def caught(where: str, notes: list[str], quiet: tuple[str, ...] = ()) -> Iterator[list[str]]:
    """Collects the warnings raised, and those logged by astropy and gammapy, while the block
    runs; a block that ends normally adds one note that counts them and quotes the first.
    Messages starting with one of `quiet` are left out (the caller notes them itself)."""
    import astropy  # noqa: F401  (astropy installs its own logger class on import)

    records: list[str] = []
    handler = _Collect(records)
    saved = []
    for name in ("astropy", "gammapy"):
        logger = logging.getLogger(name)
        saved.append((logger, logger.handlers[:], logger.propagate))
        logger.handlers = [handler]
        logger.propagate = False
    try:
        with warnings.catch_warnings(record=True) as raised, np.errstate(all="ignore"):
            warnings.simplefilter("always")
            yield records
            records.extend(str(w.message) for w in raised)
    finally:
        for logger, handlers, propagate in saved:
            logger.handlers = handlers
            logger.propagate = propagate
    kept = [first_line(m) for m in records]
    kept = [m for m in kept if not any(m.startswith(q) for q in quiet)]
    if kept:
        count = f"{len(kept)} warning" + ("s" if len(kept) > 1 else "")
        notes.append(f"{where}: {count} while reading it, the first: {kept[0]}")


# ---------------------------------------------------------------------------------------------
# Reading


def read_table(path: Path, kind: str) -> Any:
    """The table of an ECSV, CSV or FITS file ("ecsv", "csv", "fits"). A UTF-8 byte-order
    mark and Windows line endings are accepted; the units of a CSV file come from its header
    (`nu [Hz]`) and its metadata from comment lines (`# redshift: 0.03`)."""
    from astropy.table import Table

    where = path.name
    if kind == "fits":
        return _read_fits(path)
    with path.open("rb") as stream:
        start = stream.read(4)
    if start.startswith(_UTF16_BOMS):
        raise DataError(f"{where}: the file is UTF-16 text; save it as UTF-8 (or plain ASCII)")
    options: dict[str, Any] = {"encoding": "utf-8-sig"} if start.startswith(_UTF8_BOM) else {}
    if kind == "csv":
        options["comment"] = "#"
    label = kind.upper()
    try:
        table = _read_ecsv_fast(path) if kind == "ecsv" and not options else None
        if table is None:
            table = Table.read(path, format=f"ascii.{kind}", **options)
    except Exception as error:  # astropy raises many kinds for a malformed file
        problem = _diagnose(path, kind, options.get("encoding", "utf-8"))
        raise DataError(problem or f"{where}: cannot read as {label}: {_reason(error)}") from None
    if kind == "csv":
        _units_from_names(table, where)
    return table


_ECSV_NUMBERS = ("float16", "float32", "float64", "int8", "int16", "int32", "int64", "uint8")


def _read_ecsv_fast(path: Path) -> Any:
    """An ECSV file through astropy's C reader (its ECSV reader splits the lines in Python):
    the YAML header read as astropy reads it, the data as a delimited table, units and
    metadata then set from the header. None when the file needs the full reader: columns
    of several values or of objects, a text column that reads as numbers, names that differ
    from the header's, anything unexpected (the full reader then reads it, or explains)."""
    from astropy import units as u
    from astropy.table import MaskedColumn, Table
    from astropy.table.meta import get_header_from_yaml

    header = []
    with path.open(encoding="utf-8", errors="strict") as stream:
        for line in stream:
            if not line.startswith("#"):
                break
            text = line.rstrip("\r\n")[1:]
            header.append(text[1:] if text.startswith(" ") else text)
    try:
        if not header or not header[0].strip().startswith("%ECSV"):
            return None
        meta = get_header_from_yaml(header)
        declared = {str(c["name"]): c for c in meta["datatype"]}
        delimiter = str(meta.get("delimiter", " "))
        if delimiter not in (" ", ","):
            return None
        if any("subtype" in c or c.get("datatype") not in _ECSV_TYPES for c in declared.values()):
            return None
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the full reader, if needed, says it again
            table = Table.read(
                path, format="ascii.fast_basic", delimiter=delimiter, comment="#", guess=False
            )
    except Exception:
        return None
    if list(table.colnames) != list(declared):
        return None
    for name, column in declared.items():
        kind = table[name].dtype.kind
        datatype = column.get("datatype")
        if datatype == "string" and kind != "U" and len(table) > 0:
            return None
        if datatype == "bool" and kind == "U":
            given = table[name]
            words = np.asarray(given.filled("") if hasattr(given, "filled") else given)
            if not np.isin(words, ("True", "False", "0", "1", "")).all():
                return None
            flags = np.isin(words, ("True", "1"))
            table[name] = MaskedColumn(flags, mask=_mask(given), name=name)
        elif datatype == "bool" and len(table) > 0:
            return None
        if column.get("unit") is not None:
            table[name].unit = u.Unit(column["unit"], parse_strict="silent")
    table.meta.update(meta.get("meta", {}))
    return table


_ECSV_TYPES = (*_ECSV_NUMBERS, "uint16", "uint32", "uint64", "bool", "string")


def _reason(error: BaseException) -> str:
    return first_line(error) or type(error).__name__


def _read_fits(path: Path) -> Any:
    from astropy.io import fits
    from astropy.table import Table

    where = path.name
    try:
        with fits.open(path, memmap=False) as hdus:
            names = [hdu.name.upper() for hdu in hdus]
            tables = [i for i, hdu in enumerate(hdus) if isinstance(hdu, fits.BinTableHDU)]
            if "FLUXPOINTS" in names:
                index = names.index("FLUXPOINTS")
            elif tables:
                index = tables[0]
            else:
                raise DataError(f"{where}: the FITS file holds no table")
            return Table.read(hdus[index])
    except DataError:
        raise
    except Exception as error:
        raise DataError(f"{where}: cannot read as FITS: {_reason(error)}") from None


def _units_from_names(table: Any, where: str) -> None:
    """CSV headers carry units: `nu [Hz]` or `nuFnu (erg cm-2 s-1)`; comment lines carry the
    metadata."""
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
        if bare in table.colnames:
            raise DataError(f"{where}: column {bare!r} appears twice")
        table.rename_column(name, bare)
    for line in table.meta.pop("comments", []):
        match = _META_LINE.match(line)
        if match:
            table.meta[match.group(1).lower()] = match.group(2)


def _data_lines(path: Path, encoding: str) -> Iterator[str]:
    with path.open(encoding=encoding, errors="replace", newline=None) as stream:
        for line in stream:
            text = line.strip()
            if text and not text.startswith("#"):
                yield text


def _diagnose(path: Path, kind: str, encoding: str) -> str | None:
    """The first row that makes a table unreadable (a row too short or too long; in ECSV, a
    value that its declared type cannot hold), as one line; None if none is found."""
    where = path.name
    types: dict[str, str] = {}
    delimiter = ","
    if kind == "ecsv":
        from astropy.table.meta import get_header_from_yaml

        header = []
        with path.open(encoding=encoding, errors="replace") as stream:
            for line in stream:
                if not line.startswith("#"):
                    break
                header.append(line.rstrip("\r\n")[2:])
        try:
            meta = get_header_from_yaml(header)
            delimiter = str(meta.get("delimiter", " "))
            types = {str(c["name"]): str(c.get("datatype", "")) for c in meta["datatype"]}
        except Exception:  # a header that astropy could not read either
            return None
    lines = _data_lines(path, encoding)
    rows = csv.reader(lines, delimiter=delimiter, quotechar='"', skipinitialspace=True)
    names = next(rows, None)
    if names is None:
        return None
    for row, fields in enumerate(rows, start=1):
        if len(fields) < len(names):
            missing = names[len(fields)]
            return (
                f"{where}: row {row}, column {missing!r}: value is missing (the row has"
                f" {len(fields)} of the {len(names)} values)"
            )
        if len(fields) > len(names):
            return (
                f"{where}: row {row}: {len(fields)} values, but the header names"
                f" {len(names)} columns ({', '.join(names)})"
            )
        for name, value in zip(names, fields, strict=True):
            datatype = types.get(name, "")
            if value == "" or not datatype:
                continue
            if datatype.startswith(("float", "int", "uint")) and not _is_number(value):
                return f"{where}: row {row}, column {name!r}: {value!r} is not a number"
            if datatype == "bool" and value not in ("True", "False", "0", "1"):
                return f"{where}: row {row}, column {name!r}: {value!r} is not a boolean"
    return None


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


# ---------------------------------------------------------------------------------------------
# Columns


def column_map(table: Any) -> dict[str, str]:
    """Column names by their lower-case form (the first of two that differ only in case)."""
    columns: dict[str, str] = {}
    for name in table.colnames:
        columns.setdefault(name.lower(), name)
    return columns


def _mask(column: Any) -> np.ndarray:
    mask = getattr(column, "mask", None)
    if mask is None or mask is np.False_:
        return np.zeros(len(column), dtype=bool)
    return np.asarray(mask, dtype=bool).reshape(len(column), -1).any(axis=1)


def _plain(column: Any, where: Where, name: str) -> np.ndarray:
    data = np.asarray(getattr(column, "data", column))
    if data.ndim != 1:
        raise DataError(f"{where.name}: column {name!r} holds several values per row")
    if data.dtype.kind == "S":
        data = np.char.decode(data, "utf-8", errors="replace")
    return data


def numbers(table: Any, name: str, where: Where, required: np.ndarray) -> np.ndarray:
    """The column as floats (NaN where a value is missing). A value that is missing or not a
    number in a `required` row is an error; elsewhere it is NaN."""
    column = table[name]
    mask = _mask(column)
    missing = mask & required
    if missing.any():
        raise DataError(f"{where.at(int(np.argmax(missing)), name)}: value is missing")
    data = _plain(column, where, name)
    if data.dtype.kind in "fiu":
        values = data.astype(float)
    elif data.dtype.kind in "UO":
        try:
            values = data.astype(str).astype(float)
        except ValueError:
            values = _parse_each(data, mask, name, where, required)
    else:
        raise DataError(f"{where.name}: column {name!r}: values are not numbers ({data.dtype})")
    if mask.any():
        values[mask] = np.nan
    return values


def _parse_each(
    data: np.ndarray, mask: np.ndarray, name: str, where: Where, required: np.ndarray
) -> np.ndarray:
    values = np.full(data.size, np.nan)
    for i, text in enumerate(data.tolist()):
        if mask[i]:
            continue
        try:
            values[i] = float(text)
        except (TypeError, ValueError):
            if required[i]:
                raise DataError(f"{where.at(i, name)}: {text!r} is not a number") from None
    return values


def strings(table: Any, name: str | None, where: Where) -> np.ndarray:
    """A text column, stripped ("" where missing); all "" without a column."""
    if name is None:
        return np.full(len(table), "", dtype=str)
    column = table[name]
    data = _plain(column, where, name).astype(str)
    data = np.char.strip(data)
    mask = _mask(column)
    if mask.any():
        data[mask] = ""
    return data


def flags(table: Any, name: str | None, where: Where) -> np.ndarray:
    """A boolean column (true/false, 1/0, yes/no, t/f; missing is false); all false without a
    column."""
    n = len(table)
    if name is None:
        return np.zeros(n, dtype=bool)
    column = table[name]
    data = _plain(column, where, name)
    mask = _mask(column)
    if data.dtype.kind == "b":
        result = data.astype(bool)
    elif data.dtype.kind in "fiu":
        values = data.astype(float)
        bad = ~mask & (values != 0.0) & (values != 1.0)
        if bad.any():
            i = int(np.argmax(bad))
            raise DataError(f"{where.at(i, name)}: {data[i]!r} is not a boolean")
        result = values == 1.0
    else:
        text = np.char.lower(np.char.strip(data.astype(str)))
        result = np.isin(text, _TRUE)
        bad = ~mask & ~result & ~np.isin(text, _FALSE)
        if bad.any():
            i = int(np.argmax(bad))
            raise DataError(f"{where.at(i, name)}: {str(data[i])!r} is not a boolean")
    if mask.any():
        result = result & ~mask
    return np.asarray(result, dtype=bool)


def unit_of(table: Any, name: str, where: Where, target: Any, kind: str) -> Any:
    """The unit of a column, which must be convertible to `target` (a unit, or "spectral":
    an energy or a frequency); `kind` says what is expected, for the message."""
    from astropy import units as u

    unit = table[name].unit
    if unit is None or unit == u.dimensionless_unscaled:
        raise DataError(f"{where.name}: column {name!r} has no unit (expected {kind})")
    if isinstance(unit, u.UnrecognizedUnit):
        raise DataError(f"{where.name}: column {name!r}: unknown unit '{unit}' (expected {kind})")
    if target == "spectral":
        good = unit.is_equivalent(u.Hz) or unit.is_equivalent(u.erg)
    else:
        good = unit.is_equivalent(target)
    if not good:
        raise DataError(f"{where.name}: column {name!r}: unit '{unit}' is not {kind}")
    return unit


# ---------------------------------------------------------------------------------------------
# Checks


def check_values(
    values: np.ndarray,
    name: str,
    where: Where,
    rows: np.ndarray,
    limits: tuple[float, float],
    unit: str,
    *,
    raw: np.ndarray | None = None,
    raw_unit: str | None = None,
    logarithm: bool = False,
    noun: str = "value",
) -> None:
    """Each of the `rows` holds a value (converted to `unit`) within `limits`. `raw` and
    `raw_unit` are the values as the file gives them, for the message (`logarithm`: the file
    gives their logarithms, which may be negative)."""
    low, high = limits
    bad = rows & ~((values >= low) & (values <= high))
    if not bad.any():
        return
    i = int(np.argmax(bad))
    value = float(values[i])
    given = value if raw is None else float(raw[i])
    shown_unit = unit if raw_unit is None else raw_unit
    if math.isnan(given) or math.isnan(value):
        problem = f"{noun} is NaN"
    elif given <= 0.0 and not logarithm:
        problem = f"{noun} must be positive (got {given:g})"
    else:
        text = f"{given:g} {shown_unit}".rstrip()
        if value != given or logarithm:
            text += f" ({value:.4g} {unit})"
        problem = f"{noun} {text} lies outside the physical range {low:g}..{high:g} {unit}"
    raise DataError(f"{where.at(i, name)}: {problem}")


def check_errors(
    values: np.ndarray,
    name: str,
    where: Where,
    rows: np.ndarray,
    *,
    raw: np.ndarray | None = None,
    raw_unit: str = FLUX_UNIT,
) -> None:
    """Each of the `rows` holds an error (converted to erg cm^-2 s^-1) from 0 (no error
    given) to the top of the physical range. `raw`: the values as given, for the message."""
    high = FLUX_RANGE[1]
    given = values if raw is None else raw
    bad = rows & ~((values >= 0.0) & (values <= high) & (given >= 0.0))
    if not bad.any():
        return
    i = int(np.argmax(bad))
    value, shown = float(values[i]), float(given[i])
    if math.isnan(value) or math.isnan(shown):
        problem = "error is NaN"
    elif shown < 0.0 or value < 0.0:
        problem = f"error must be positive (got {shown:g})"
    else:
        text = f"{shown:g} {raw_unit}"
        if value != shown:
            text += f" ({value:.4g} {FLUX_UNIT})"
        problem = f"error {text} lies outside the physical range 0..{high:g} {FLUX_UNIT}"
    raise DataError(f"{where.at(i, name)}: {problem}")
