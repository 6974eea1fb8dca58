"""Flux points in: the two conventions read alike, and every bad file gets its one line and
exit status 2 before anything is computed or written."""

from __future__ import annotations

import re
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from astropy.table import Table
from cases import write_points

from sorvexfit.cli import main
from sorvexfit.fit import read_flux_points

NU = np.geomspace(1e12, 1e26, 8)
FLUX = 1e-11 * (NU / 1e18) ** -0.1


def base_file(path: Path, **options: Any) -> Path:
    return write_points(path, NU, FLUX, 0.1 * FLUX, **options)


def edited(tmp_path: Path, edit: Callable[[Table], None], name: str = "points.ecsv") -> Path:
    path = base_file(tmp_path / "base.ecsv")
    table = Table.read(path, format="ascii.ecsv")
    edit(table)
    out = tmp_path / name
    table.write(out, format="ascii.ecsv", overwrite=True)
    return out


def set_value(column: str, row: int, value: float) -> Callable[[Table], None]:
    def edit(table: Table) -> None:
        table[column][row - 1] = value

    return edit


def set_unit(column: str, unit: str | None) -> Callable[[Table], None]:
    def edit(table: Table) -> None:
        table[column].unit = unit

    return edit


FAULTS = [
    (lambda t: t.remove_column("e2dnde_errn"), "points.ecsv: missing column 'e2dnde_errn'"),
    (lambda t: t.remove_column("e_ref"), "points.ecsv: missing column 'e_ref'"),
    (lambda t: t.rename_column("e2dnde", "flux_density"), "missing column 'e2dnde'"),
    (set_value("e2dnde_errp", 3, -1e-12), "row 3, column 'e2dnde_errp': error must be positive"),
    (
        set_value("e2dnde_errn", 5, 1e300),
        "row 5, column 'e2dnde_errn': error 1e+300 erg / (s cm2) lies outside the physical range",
    ),
    (set_value("e2dnde_errn", 2, np.nan), "row 2, column 'e2dnde_errn': error is NaN"),
    (set_value("e2dnde", 2, np.nan), "row 2, column 'e2dnde': value is NaN"),
    (set_value("e2dnde", 7, -1e-12), "row 7, column 'e2dnde': value must be positive"),
    (set_value("e_ref", 4, np.nan), "row 4, column 'e_ref': value is NaN"),
    (set_value("e_ref", 1, 0.0), "row 1, column 'e_ref': value must be positive (got 0)"),
    (set_unit("e_ref", "kg"), "column 'e_ref': unit 'kg' is not an energy or a frequency"),
    (set_unit("e_ref", "cm"), "column 'e_ref': unit 'cm' is not an energy or a frequency"),
    (set_unit("e_ref", None), "column 'e_ref' has no unit"),
    (set_unit("e2dnde", "Jy"), "column 'e2dnde': unit 'Jy' is not an energy flux"),
    (set_unit("e2dnde_errp", "erg"), "column 'e2dnde_errp': unit 'erg' is not an energy flux"),
    (lambda t: t.meta.clear(), "z: points.ecsv gives no redshift in its metadata"),
    (lambda t: t.meta.update(redshift=-0.1), "metadata 'redshift': must be positive"),
]


@pytest.mark.parametrize(("edit", "message"), FAULTS)
def test_bad_file_gets_one_line_and_status_2(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], edit: Any, message: str
) -> None:
    path = edited(tmp_path, edit)
    out = tmp_path / "out"
    assert main(["fit", str(path), "--model", "ssc", "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.startswith("sorvexfit fit: error: ")
    assert message in err
    assert err.count("\n") == 1
    assert not out.exists()


def test_missing_value_names_row_and_column(tmp_path: Path) -> None:
    path = base_file(tmp_path / "base.ecsv")
    text = path.read_text().splitlines()
    header = sum(1 for line in text if line.startswith("#")) + 1
    fields = text[header + 5].split()
    fields[1] = '""'  # row 6, e2dnde: an empty value
    text[header + 5] = " ".join(fields)
    (tmp_path / "points.ecsv").write_text("\n".join(text) + "\n")
    with pytest.raises(ValueError, match=r"row 6, column 'e2dnde': value is missing"):
        read_flux_points(tmp_path / "points.ecsv")


@pytest.mark.parametrize(
    ("name", "content", "message"),
    [
        ("none.ecsv", None, "none.ecsv: no such file"),
        ("points.txt", "1 2 3\n", "unknown format '.txt'"),
        ("points.ecsv", "# %ECSV 1.0\n# ---\nnot yaml: [\n", "points.ecsv: cannot read as ECSV"),
        (
            "points.csv",
            "nu,nuFnu [erg cm-2 s-1],nuFnu_err [erg cm-2 s-1]\n1e14,1e-11,1e-12\n",
            "column 'nu' has no unit",
        ),
        (
            "points.csv",
            "nu [Hz],nuFnu [parsec-ish],nuFnu_err [erg]\n1e14,1e-11,1e-12\n",
            "column 'nuFnu [parsec-ish]': unknown unit 'parsec-ish'",
        ),
        ("points.csv", "nu [Hz],nuFnu [erg cm-2 s-1]\n", "points.csv: no flux points"),
    ],
)
def test_unreadable_files(tmp_path: Path, name: str, content: str | None, message: str) -> None:
    path = tmp_path / name
    if content is not None:
        path.write_text(content)
    with pytest.raises(ValueError, match=re.escape(message)):
        read_flux_points(path)


def test_csv_with_units_in_its_header_reads_like_the_ecsv_convention(tmp_path: Path) -> None:
    ecsv = read_flux_points(base_file(tmp_path / "a.ecsv"))
    lines = ["# redshift: 0.05", "nu [Hz],nuFnu (erg cm-2 s-1),nuFnu_err [erg cm-2 s-1]"]
    lines += [
        f"{float(nu)!r},{float(f)!r},{float(0.1 * f)!r}" for nu, f in zip(NU, FLUX, strict=True)
    ]
    (tmp_path / "b.csv").write_text("\n".join(lines) + "\n")
    csv = read_flux_points(tmp_path / "b.csv")
    np.testing.assert_allclose(csv.nu, ecsv.nu, rtol=1e-12)
    np.testing.assert_array_equal(csv.flux, ecsv.flux)
    np.testing.assert_array_equal(csv.err_hi, ecsv.err_lo)
    assert csv.redshift == ecsv.redshift == 0.05


def test_upper_limits_take_their_limit_column_and_need_no_errors(tmp_path: Path) -> None:
    flags = np.zeros(NU.size, dtype=bool)
    flags[-2:] = True

    def edit(table: Table) -> None:
        table["e2dnde"][-2:] = np.nan  # gammapy leaves the flux of a limit empty
        table["e2dnde_errn"][-2:] = np.nan
        table["e2dnde_ul"][-1] = 3e-12

    path = base_file(tmp_path / "base.ecsv", upper_limits=flags)
    table = Table.read(path, format="ascii.ecsv")
    edit(table)
    table.write(tmp_path / "ul.ecsv", format="ascii.ecsv")
    points = read_flux_points(tmp_path / "ul.ecsv")
    assert points.is_ul.tolist() == flags.tolist()
    assert points.flux[-1] == 3e-12
    assert points.flux[-2] == pytest.approx(FLUX[-2], rel=1e-12)
    assert np.all(np.isnan(points.err_lo[-2:]))
    np.testing.assert_allclose(points.nu, NU, rtol=1e-12)


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (
            ["--method", "mcmc", "--walkers", "4", "--free", "B,n_e,p1"],
            "walkers = 4: the ensemble needs at least twice the 3 free parameters (6)",
        ),
        (["--free", "B,Bfield"], "unknown parameter 'Bfield' for ssc"),
        (["--steps", "0"], "steps = 0: must be a whole number ≥ 1"),
        (["--burn", "5", "--steps", "5"], "burn = 5: must lie in 0..steps-1"),
        (["--fit-range", "1 kg,"], "fit_range: cannot convert 1.0 kg to Hz"),
        (["--fit-range", "1e30 Hz,"], "fit_range: no flux point lies in '1e30 Hz,'"),
        (["--fit-range", "1e12"], "fit_range: expected LOW,HIGH, got '1e12'"),
        (["--prior", "B=gauss:0.1:0"], "prior B: the width must be positive"),
        (["--prior", "z=uniform:0:1"], "prior z: the parameter is not free"),
        (["--systematics", "xray=-1"], "systematics: 'xray=-1': a fraction must lie in [0, 10]"),
        (["--nu-max", "1e20"], "nu_min/nu_max: the data span 1e+12 to 1e+26 Hz, beyond"),
        (["--set", "z=-1"], "z = -1: must be positive"),
    ],
)
def test_bad_fit_options_get_one_line_and_status_2(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str], message: str
) -> None:
    path = base_file(tmp_path / "points.ecsv")
    out = tmp_path / "out"
    assert main(["fit", str(path), "--model", "ssc", *argv, "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"sorvexfit fit: error: {message}")
    assert err.count("\n") == 1
    assert not out.exists()
