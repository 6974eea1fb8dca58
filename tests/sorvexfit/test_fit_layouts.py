"""The tables astronomers exchange: every layout reads to the same points, bad rows and
unphysical values get one line naming file, row and column, errors that are not given are
floored, and the order of the rows never matters."""

from __future__ import annotations

import dataclasses
import logging
import math
import re
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from astropy import units as u
from astropy.cosmology import Planck18
from astropy.table import Table
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from sorvexfit.fit import DataError, FluxPoints, read_flux_points
from sorvexfit.fit.data import ERROR_FLOOR, FLUX_RANGE, NU_RANGE
from sorvexfit.fit.plots import thinned

FLUX_UNIT = u.Unit("erg cm-2 s-1")
NU = np.array([1.4e9, 2.3e10, 4.6e14, 2.4e17, 2.4e18, 2.4e23, 3e25, 2.4e26])
FLUX = np.array([2e-14, 8e-14, 2.6e-11, 4e-11, 1.5e-11, 2.2e-11, 6e-11, 1.5e-11])
REL = np.array([0.05, 0.03, 0.02, 0.04, 0.08, 0.1, 0.2, 0.3])
UL = np.array([False] * 7 + [True])
NAMES = np.array(["VLA", "OVRO", "UVOT", "XRT", "XRT", "LAT", "MAGIC", "MAGIC"])
Z = 0.0308


def jetset_table(scale: str = "lin-lin", frame: str = "obs") -> Table:
    table = Table()
    nu, flux, dy = NU.copy(), FLUX.copy(), REL * FLUX
    if frame == "src":
        nu = nu * (1 + Z)
        four_pi_d2 = 4 * np.pi * Planck18.luminosity_distance(Z).to_value(u.cm) ** 2
        flux, dy = flux * four_pi_d2, dy * four_pi_d2
    if scale == "log-log":
        table["x"], table["y"], table["dy"] = np.log10(nu), np.log10(flux), np.log10(1 + REL)
    else:
        lum = u.Unit("erg s-1") if frame == "src" else FLUX_UNIT
        table["x"], table["y"], table["dy"] = nu * u.Hz, flux * lum, dy * lum
    table["dx"] = np.zeros(NU.size)
    table["UL"], table["data_set"] = UL, NAMES
    table.meta.update(z=Z, restframe=frame, data_scale=scale, obj_name="Mrk 421")
    return table


def gadf_table(sed_type: str = "e2dnde") -> Table:
    table = Table()
    table["e_ref"] = (NU * u.Hz).to(u.TeV, equivalencies=u.spectral())
    factor = 1.0 if sed_type == "e2dnde" else 1 / table["e_ref"].quantity.to_value(u.erg) ** 2
    unit = FLUX_UNIT if sed_type == "e2dnde" else u.Unit("erg-1 cm-2 s-1")
    table[sed_type] = FLUX * factor * unit
    table[f"{sed_type}_errn"] = table[f"{sed_type}_errp"] = REL * FLUX * factor * unit
    table[f"{sed_type}_ul"] = np.where(UL, FLUX * factor, np.nan) * unit
    table["is_ul"], table["instrument"] = UL, NAMES
    table.meta.update(redshift=Z, source="Mrk 421", SED_TYPE=sed_type)
    return table


def plain_csv(path: Path, rows: list[list[str]] | None = None, head: str = "") -> Path:
    if rows is None:
        rows = [
            [repr(float(n)), repr(float(f)), repr(float(r * f)), str(ul), name]
            for n, f, r, ul, name in zip(NU, FLUX, REL, UL, NAMES, strict=True)
        ]
    text = f"# redshift: {Z}\n# source: Mrk 421\n{head}nu [Hz],nuFnu [erg cm-2 s-1]"
    text += ",nuFnu_err [erg cm-2 s-1],is_ul,instrument\n"
    text += "".join(",".join(row) + "\n" for row in rows)
    path.write_text(text)
    return path


def written(table: Table, path: Path) -> Path:
    table.write(path, overwrite=True)
    return path


LAYOUTS: dict[str, Callable[[Path], Path]] = {
    "gammapy e2dnde": lambda d: written(gadf_table(), d / "p.ecsv"),
    "gammapy dnde": lambda d: written(gadf_table("dnde"), d / "p.ecsv"),
    "plain csv": lambda d: plain_csv(d / "p.csv"),
    "jetset lin-lin": lambda d: written(jetset_table(), d / "p.ecsv"),
    "jetset log-log": lambda d: written(jetset_table("log-log"), d / "p.ecsv"),
    "jetset src": lambda d: written(jetset_table("lin-lin", "src"), d / "p.ecsv"),
    "jetset src log-log": lambda d: written(jetset_table("log-log", "src"), d / "p.ecsv"),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_every_layout_reads_to_the_same_points(tmp_path: Path, layout: str) -> None:
    points = read_flux_points(LAYOUTS[layout](tmp_path))
    np.testing.assert_allclose(points.nu, NU, rtol=1e-12)
    np.testing.assert_allclose(points.flux, FLUX, rtol=1e-12)
    assert points.is_ul.tolist() == UL.tolist()
    assert points.instrument.tolist() == NAMES.tolist()
    assert points.redshift == Z
    assert points.name == "Mrk 421"
    low = np.where(UL, np.nan, REL * FLUX)
    # A log error dy is the interval 10^(y ± dy): here dy = log10(1 + REL) above.
    high = low if "log" not in layout else np.where(UL, np.nan, REL * FLUX)
    low = low if "log" not in layout else np.where(UL, np.nan, FLUX * REL / (1 + REL))
    np.testing.assert_allclose(points.err_hi, high, rtol=1e-12)
    np.testing.assert_allclose(points.err_lo, low, rtol=1e-12)
    assert len(points.notes) == ("src" in layout)
    if "src" in layout:
        assert "Planck18" in points.notes[0]
        assert "z = 0.0308" in points.notes[0]


GAMMAPY_TYPES = ["dnde", "e2dnde", "flux", "eflux", "likelihood"]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # gammapy's own, while it writes
@pytest.mark.parametrize("suffix", ["fits", "ecsv"])
@pytest.mark.parametrize("sed_type", GAMMAPY_TYPES)
def test_gammapy_round_trip_through_its_writer(tmp_path: Path, sed_type: str, suffix: str) -> None:
    estimators = pytest.importorskip("gammapy.estimators")
    edges = np.geomspace(0.1, 10, 6) * u.TeV
    table = Table({"e_min": edges[:-1], "e_max": edges[1:]})
    e_ref = np.sqrt(edges[:-1] * edges[1:])
    table["dnde"] = 1e-11 * (e_ref / u.TeV) ** -2.5 * u.Unit("TeV-1 cm-2 s-1")
    table["dnde_err"] = 0.1 * table["dnde"]
    table["dnde_ul"], table["is_ul"] = 3 * table["dnde"], [False] * 4 + [True]
    points = estimators.FluxPoints.from_table(table, sed_type="dnde", format="gadf-sed")
    path = tmp_path / f"points.{suffix}"
    points.write(path, sed_type=sed_type, **({"format": "gadf-sed"} if suffix == "ecsv" else {}))
    read = read_flux_points(path)
    e2dnde = (table["dnde"].quantity * e_ref**2).to_value(FLUX_UNIT)
    np.testing.assert_allclose(read.nu, e_ref.to_value(u.Hz, equivalencies=u.spectral()))
    np.testing.assert_allclose(read.flux, np.where(table["is_ul"], 3, 1) * e2dnde, rtol=1e-9)
    np.testing.assert_allclose(read.err_lo[:4], 0.1 * e2dnde[:4], rtol=1e-9)
    assert read.is_ul.tolist() == [False] * 4 + [True]
    assert any("E^-2" in note for note in read.notes) == (sed_type in ("flux", "eflux"))


def test_gammapy_integral_fluxes_in_any_order(tmp_path: Path) -> None:
    """Integral fluxes become e2dnde = F e_min e_max/(e_max − e_min) under gammapy's E^-2;
    unsorted and repeated bins are fine, and messages name the file's rows."""
    pytest.importorskip("gammapy")
    e_min, e_max = np.array([1.0, 0.1, 1.0, 0.3]), np.array([3.0, 0.3, 3.0, 1.0])
    flux = np.array([1e-12, 5e-12, 2e-12, 3e-12])
    table = Table({"e_min": e_min * u.TeV, "e_max": e_max * u.TeV})
    table["flux"], table["flux_err"] = flux * u.Unit("cm-2 s-1"), 0.1 * flux * u.Unit("cm-2 s-1")
    table.meta["SED_TYPE"] = "flux"
    points = read_flux_points(written(table, tmp_path / "points.ecsv"))
    expected = (flux * e_min * e_max / (e_max - e_min) * u.Unit("TeV cm-2 s-1")).to_value(FLUX_UNIT)
    order = np.lexsort((expected, np.sqrt(e_min * e_max)))
    np.testing.assert_allclose(points.flux, expected[order], rtol=1e-12)
    table["flux"][2] = -1e-12
    with pytest.raises(DataError, match=r"points.ecsv: row 3, column 'flux' \(as e2dnde\)"):
        read_flux_points(written(table, tmp_path / "points.ecsv"))


def test_without_gammapy_its_files_are_refused_in_one_line(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setitem(sys.modules, "gammapy.estimators", None)
    (tmp_path / "points.fits").write_bytes(b"")
    table = gadf_table()
    table.meta["SED_TYPE"] = "eflux"
    table.rename_column("e2dnde", "eflux")
    for path in (tmp_path / "points.fits", written(table, tmp_path / "points.ecsv")):
        with pytest.raises(DataError, match=r"read by gammapy, which is not installed \(pip"):
            read_flux_points(path)


@pytest.mark.parametrize("suffix", ["csv", "ecsv"])
@pytest.mark.parametrize("bom", [b"", b"\xef\xbb\xbf"])
@pytest.mark.parametrize("newline", [b"\n", b"\r\n"])
def test_spreadsheet_exports_read(tmp_path: Path, suffix: str, bom: bytes, newline: bytes) -> None:
    plain = LAYOUTS["plain csv" if suffix == "csv" else "gammapy e2dnde"](tmp_path)
    exported = tmp_path / f"exported.{suffix}"
    exported.write_bytes(bom + plain.read_bytes().replace(b"\n", newline))
    expected, points = read_flux_points(plain), read_flux_points(exported)
    for field in ("nu", "flux", "err_lo", "err_hi", "is_ul", "instrument", "redshift"):
        np.testing.assert_array_equal(getattr(points, field), getattr(expected, field))


def test_utf16_exports_get_one_line(tmp_path: Path) -> None:
    path = tmp_path / "p.csv"
    path.write_bytes(LAYOUTS["plain csv"](tmp_path).read_text().encode("utf-16"))
    with pytest.raises(DataError, match=r"^p\.csv: the file is UTF-16 text; save it as UTF-8"):
        read_flux_points(path)


ECSV_HEAD = """# %ECSV 1.0
# ---
# datatype:
# - {name: nu, unit: Hz, datatype: float64}
# - {name: nuFnu, unit: erg / (cm2 s), datatype: float64}
# - {name: nuFnu_err, unit: erg / (cm2 s), datatype: float64}
# - {name: is_ul, datatype: bool}
nu nuFnu nuFnu_err is_ul
1e14 1e-11 1e-12 False
"""
CSV_ROWS = [["1e14", "1e-11", "1e-12", "False", "A"], ["2e14", "1e-11", "1e-12", "False", "B"]]

BAD_ROWS = [
    ("csv", [*CSV_ROWS, ["3e14", "abc", "1", "False", "C"]], "row 3, column 'nuFnu': 'abc' is"),
    ("csv", [*CSV_ROWS, ["3e14", "1e-11"]], "row 3, column 'nuFnu_err': value is missing"),
    ("csv", [*CSV_ROWS, ["3e14", "1e-11", "1", "False", "C", "7"]], "row 3: 6 values, but"),
    ("csv", [*CSV_ROWS, ["3e14", "1e-11", "1e-12", "maybe", "C"]], "row 3, column 'is_ul': 'm"),
    ("csv", [["1e14", "1e-11", "1e-12", "False", "A"], ["", "1", "1", "False", "B"]], "row 2, "),
    ("ecsv", "2e14 abc 1e-12 False\n", "row 2, column 'nuFnu': 'abc' is not a number"),
    ("ecsv", "2e14 1e-11 False\n", "row 2, column 'is_ul': value is missing (the row has 3 of"),
    ("ecsv", "2e14 1e-11 1e-12 False 5\n", "row 2: 5 values, but the header names 4 columns"),
    ("ecsv", "2e14 1e-11 1e-12 maybe\n", "row 2, column 'is_ul': 'maybe' is not a boolean"),
    ("ecsv", '2e14 "" 1e-12 False\n', "row 2, column 'nuFnu': value is missing"),
]


@pytest.mark.parametrize(("kind", "rows", "message"), BAD_ROWS)
def test_a_bad_row_is_named_by_row_and_column(
    tmp_path: Path, kind: str, rows: Any, message: str
) -> None:
    if kind == "csv":
        path = plain_csv(tmp_path / "bad.csv", rows)
    else:
        path = tmp_path / "bad.ecsv"
        path.write_text(ECSV_HEAD + rows)
    with pytest.raises(DataError) as caught:
        read_flux_points(path)
    assert str(caught.value).startswith(f"bad.{kind}: ")
    assert message in str(caught.value)
    assert "\n" not in str(caught.value)


def edit(table: Table, column: str, row: int, value: Any) -> Table:
    table[column][row - 1] = value
    return table


def unit(table: Table, column: str, new: str | None) -> Table:
    table[column].unit = new
    return table


def meta(table: Table, **changes: Any) -> Table:
    table.meta.update(changes)
    for key in [k for k, v in changes.items() if v is None]:
        del table.meta[key]
    return table


REFUSED = [
    (edit(gadf_table(), "e2dnde", 2, 1e308), "row 2, column 'e2dnde': value 1e+308 erg / (s cm2)"),
    (edit(gadf_table(), "e2dnde", 3, 1e200), "row 3, column 'e2dnde': value 1e+200"),
    (edit(gadf_table(), "e2dnde", 1, 1e-30), "row 1, column 'e2dnde': value 1e-30"),
    (edit(gadf_table(), "e2dnde_ul", 8, 1e10), "row 8, column 'e2dnde_ul': upper limit 1e+10"),
    (edit(gadf_table(), "e2dnde_errp", 4, 1e300), "row 4, column 'e2dnde_errp': error 1e+300"),
    (edit(gadf_table(), "e2dnde_errp", 4, np.inf), "row 4, column 'e2dnde_errp': error inf"),
    (edit(gadf_table(), "e_ref", 5, 1e30), "row 5, column 'e_ref': value 1e+30 TeV (2.418e+56 Hz)"),
    (edit(gadf_table(), "e_ref", 5, 1e-30), "row 5, column 'e_ref': value 1e-30 TeV"),
    (edit(gadf_table("dnde"), "dnde", 6, 1e300), "row 6, column 'dnde': value 1e+300 1 / (erg"),
    (edit(jetset_table("log-log"), "y", 7, 400.0), "row 7, column 'y': value 400 log10(erg"),
    (edit(jetset_table("log-log"), "x", 2, 400.0), "row 2, column 'x': value 400 log10(Hz)"),
    (edit(jetset_table("log-log"), "dy", 2, 400.0), "row 2, column 'dy': error 400 dex"),
    (edit(jetset_table("log-log"), "dy", 2, -0.1), "row 2, column 'dy': error must be positive"),
    (edit(jetset_table(), "x", 3, -1.0), "row 3, column 'x': value must be positive (got -1)"),
    (unit(jetset_table("lin-lin", "src"), "y", "erg cm-2 s-1"), "'y': unit 'erg / (s cm2)' is no"),
    (meta(jetset_table("lin-lin", "src"), z=0), "restframe 'src' gives luminosities"),
    (meta(jetset_table(), data_scale=None), "metadata 'data_scale' is missing"),
    (meta(jetset_table(), restframe="rest"), "metadata 'restframe': expected obs or src"),
    (meta(gadf_table(), SED_TYPE="counts"), "metadata 'SED_TYPE': unknown SED type 'counts'"),
    (Table({"a": [1.0], "b": [2.0]}), "unknown layout: columns a, b; known: gammapy/agnpy"),
]


@pytest.mark.parametrize(("table", "message"), REFUSED)
def test_unphysical_values_and_bad_tables_are_refused(
    tmp_path: Path, table: Table, message: str
) -> None:
    with pytest.raises(DataError) as caught:
        read_flux_points(written(table, tmp_path / "points.ecsv"))
    text = str(caught.value)
    assert text.startswith("points.ecsv: ")
    assert message in text
    assert "\n" not in text
    if "value 1e" in message or "error 1e" in message:
        assert "outside the physical range" in text


@pytest.mark.parametrize(
    ("errors", "floored", "expected"),
    [
        ({2: 0.0}, 1, 0.10),
        ({2: 3.2e-26, 5: 0.0}, 2, 0.10),
        ({1: 1e-18, 2: 0.0}, 2, 0.10),  # below 1e-4 of the flux
        ({7: 0.0}, 1, 0.30),  # the other point of its band (vhe) has 30 %
    ],
)
def test_errors_not_given_are_floored_in_one_note(
    tmp_path: Path,
    caplog: pytest.LogCaptureFixture,
    errors: dict[int, float],
    floored: int,
    expected: float,
) -> None:
    table = gadf_table()
    table["e2dnde_ul"][7], table["is_ul"][7] = np.nan, False
    for row, value in errors.items():
        table["e2dnde_errn"][row - 1] = table["e2dnde_errp"][row - 1] = value
    with caplog.at_level(logging.WARNING, logger="sorvexfit.fit.data"):
        points = read_flux_points(written(table, tmp_path / "points.ecsv"))
    assert len(points.notes) == 1
    assert caplog.messages == list(points.notes)
    assert f"{floored} point{'s give' if floored > 1 else ' gives'} no usable error" in caplog.text
    for row in errors:
        assert points.err_lo[row - 1] == pytest.approx(max(expected, ERROR_FLOOR) * FLUX[row - 1])
        assert points.err_hi[row - 1] == points.err_lo[row - 1]


def test_an_error_given_on_one_side_serves_both(tmp_path: Path) -> None:
    table = edit(gadf_table(), "e2dnde_errn", 3, 0.0)
    points = read_flux_points(written(table, tmp_path / "points.ecsv"))
    assert points.err_lo[2] == points.err_hi[2] == pytest.approx(REL[2] * FLUX[2])
    assert points.notes == (
        "points.ecsv: 1 point gives an error on one side only (the other"
        " zero, or below 0.0001 of the flux), used for both",
    )


def test_warnings_while_reading_become_one_note(tmp_path: Path) -> None:
    path = tmp_path / "p.csv"  # a value that overflows, in a column that is not used
    path.write_text(
        "nu [Hz],nuFnu [erg cm-2 s-1],nuFnu_err [erg cm-2 s-1],extra\n"
        "1e14,1e-11,1e-12,1\n2e14,1e-11,1e-12,1e400\n"
    )
    points = read_flux_points(path)
    assert len(points.notes) == 1
    assert re.match(
        r"p\.csv: 1 warning while reading it, the first: OverflowError", points.notes[0]
    )


def same(a: FluxPoints, b: FluxPoints) -> None:
    """Equal but for the file's name and path."""
    for field in dataclasses.fields(FluxPoints):
        if field.name == "notes":
            assert [n.split(": ", 1)[1] for n in a.notes] == [n.split(": ", 1)[1] for n in b.notes]
        elif field.name not in ("path", "name"):
            np.testing.assert_array_equal(getattr(a, field.name), getattr(b, field.name))


def shuffles(n: int) -> np.ndarray:
    return np.random.default_rng(7).permuted(np.tile(np.arange(n), (4, 1)), axis=1)


@pytest.mark.parametrize("layout", ["plain csv", "jetset log-log", "gammapy e2dnde"])
def test_the_order_of_the_rows_never_matters(tmp_path: Path, layout: str) -> None:
    if layout == "plain csv":
        rows = [
            [repr(float(n)), repr(float(f)), repr(float(e)), str(ul), s]
            for n, f, e, ul, s in zip(NU, FLUX, REL * FLUX, UL, NAMES, strict=True)
        ]
        rows += [rows[4], [*rows[4][:2], "0.0", "False", "XRT"]]  # ties, one floored
        read = [
            read_flux_points(plain_csv(tmp_path / f"{i}.csv", [rows[k] for k in order]))
            for i, order in enumerate(shuffles(len(rows)))
        ]
    else:
        table = Table.read(LAYOUTS[layout](tmp_path))
        table.add_row(table[4])  # a repeated frequency
        read = [
            read_flux_points(written(table[order], tmp_path / f"{i}.ecsv"))
            for i, order in enumerate(shuffles(len(table)))
        ]
    assert np.all(np.diff(read[0].nu) >= 0)
    for other in read[1:]:
        same(read[0], other)


# ---------------------------------------------------------------------------------------------
# Fuzzing: any table in any layout reads to valid points or raises DataError naming the file
# and a column, never anything else.

BAD_VALUES = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1e-25, 1e308, -1e-12, 5e-324, 1e5, 4e30]),
)
BAD_CELLS = st.one_of(BAD_VALUES.map(repr), st.sampled_from(["", "abc", "1e999", " 7 ", "0x1"]))
ROWS = st.lists(
    st.tuples(st.floats(1e7, 1e29), st.floats(1e-21, 1e-4), st.floats(0.0, 2.0)),
    min_size=1,
    max_size=6,
)
# (row, column, cell): a few cells replaced by anything
CORRUPTIONS = st.lists(st.tuples(st.integers(0, 5), st.integers(0, 2), BAD_CELLS), max_size=2)


def fuzz_table(layout: str, cells: list[list[str]], flags: list[bool]) -> tuple[str, str]:
    rows = [[*row, str(flag)] for row, flag in zip(cells, flags, strict=True)]
    if layout == "csv":
        head = "# redshift: 0.1\nnu [Hz],nuFnu [erg cm-2 s-1],nuFnu_err [erg cm-2 s-1],is_ul"
        return "p.csv", head + "\n" + "".join(",".join(r) + "\n" for r in rows)
    scale = "log-log" if layout == "jetset log" else "lin-lin"
    names = (
        ("x", "y", "dy", "UL")
        if layout.startswith("jetset")
        else ("e_ref", "e2dnde", "e2dnde_err", "is_ul")
    )
    units = ("Hz", "erg / (cm2 s)", "erg / (cm2 s)") if scale == "lin-lin" else ("", "", "")
    head = "# %ECSV 1.0\n# ---\n# datatype:\n"
    for name, unit_text in zip(names, (*units, ""), strict=True):
        kind = "bool" if name in ("UL", "is_ul") else "float64"
        head += f"# - {{name: {name}, " + (f"unit: {unit_text}, " if unit_text else "")
        head += f"datatype: {kind}}}\n"
    head += f"# meta: {{z: 0.1, redshift: 0.1, restframe: obs, data_scale: {scale}}}\n"
    lines = [" ".join(c if c.strip() == c and c else f'"{c}"' for c in r) for r in rows]
    return "p.ecsv", head + " ".join(names) + "\n" + "".join(line + "\n" for line in lines)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    layout=st.sampled_from(["csv", "gadf", "jetset lin", "jetset log"]),
    rows=ROWS,
    corruptions=CORRUPTIONS,
    flags=st.lists(st.booleans(), min_size=6, max_size=6),
)
def test_fuzzed_tables_read_or_raise_data_error(
    tmp_path_factory: pytest.TempPathFactory,
    layout: str,
    rows: list[tuple[float, float, float]],
    corruptions: list[tuple[int, int, str]],
    flags: list[bool],
) -> None:
    if layout == "jetset log":  # log10 ν, log10 νF_ν and an error in dex
        cells = [[repr(math.log10(n)), repr(math.log10(f)), repr(r / 10)] for n, f, r in rows]
    else:  # the error relative to the flux
        cells = [[repr(n), repr(f), repr(r * f)] for n, f, r in rows]
    for row, column, cell in corruptions:
        cells[row % len(cells)][column] = cell
    name, text = fuzz_table(layout, cells, flags[: len(cells)])
    path = tmp_path_factory.mktemp("fuzz") / name
    path.write_text(text)
    try:
        points = read_flux_points(path)
    except DataError as error:
        event(f"{layout}: refused")
        message = str(error)
        assert message.startswith(f"{name}: ")
        assert "\n" not in message
        assert re.search(r"column '|columns |metadata '", message), message
        return
    event(f"{layout}: read")
    assert np.all((points.nu >= NU_RANGE[0]) & (points.nu <= NU_RANGE[1]))
    assert np.all((points.flux >= FLUX_RANGE[0]) & (points.flux <= FLUX_RANGE[1]))
    assert np.all(np.diff(points.nu) >= 0)
    detected = ~points.is_ul
    for errors in (points.err_lo, points.err_hi):
        assert np.all(errors[detected] >= 1e-4 * points.flux[detected])
        assert np.all(np.isfinite(errors[detected]))
        assert np.all(np.isnan(errors[~detected]))


# ---------------------------------------------------------------------------------------------
# Scale


@pytest.mark.parametrize(("size", "limit"), [(10, 100), (5000, 1000), (12345, 7)])
def test_plots_thin_deterministically(size: int, limit: int) -> None:
    rows = np.zeros(2 * size, dtype=bool)
    rows[::2] = True
    kept = thinned(rows, limit)
    assert np.count_nonzero(kept) == min(size, limit)
    assert not np.any(kept & ~rows)
    assert kept[0]
    assert kept[2 * size - 2]
    np.testing.assert_array_equal(kept, thinned(rows, limit))


def write_big_csv(path: Path, n: int) -> Path:
    """n rows of a plain CSV in random order, written by NumPy."""
    rng = np.random.default_rng(3)
    nu = 10 ** rng.uniform(9, 26, n)
    flux = 1e-11 * (nu / 1e18) ** -0.1
    with path.open("w") as out:
        out.write("# redshift: 0.03\nnu [Hz],nuFnu [erg cm-2 s-1],nuFnu_err [erg cm-2 s-1]\n")
        np.savetxt(out, np.column_stack([nu, flux, 0.1 * flux]), fmt="%.17g", delimiter=",")
    return path


@pytest.mark.slow
def test_a_million_rows_read(tmp_path: Path) -> None:
    points = read_flux_points(write_big_csv(tmp_path / "big.csv", 1_000_000))
    assert len(points) == 1_000_000
    assert np.all(np.diff(points.nu) >= 0)
    np.testing.assert_allclose(points.err_lo, 0.1 * points.flux, rtol=1e-15)
    assert math.isclose(points.flux[0], 1e-11 * (points.nu[0] / 1e18) ** -0.1, rel_tol=1e-15)
