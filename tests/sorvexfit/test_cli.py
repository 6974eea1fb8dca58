"""The sorvexfit command: its files, its parameter list and its one-line errors."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from astropy.table import Table

from sorvexfit.cli import main


def test_sed_writes_the_table_and_the_plot(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    out, png = tmp_path / "ec.ecsv", tmp_path / "ec.png"
    argv = ["sed", "--model", "ec", "--fields", "line", "--set", "B=0.05", "--set", "t_var=1d"]
    argv += ["--set", "z=0.03"]
    argv += ["--set", "delta_D=21", "--ebl", "finke2022", "--n-nu", "40"]
    assert main([*argv, "--out", str(out), "--plot", str(png)]) == 0
    assert "wrote" in capsys.readouterr().out
    table = Table.read(out, format="ascii.ecsv")
    assert table.colnames == ["nu", "nuFnu", "nuFnu_syn", "nuFnu_ssc", "nuFnu_ec"]
    assert str(table["nu"].unit) == "Hz"
    assert table["nuFnu"].unit.is_equivalent("erg cm-2 s-1")
    parts = table["nuFnu_syn"] + table["nuFnu_ssc"] + table["nuFnu_ec"]
    np.testing.assert_allclose(table["nuFnu"], parts, rtol=1e-12)
    assert table.meta["parameters"]["t_var"] == {"value": 86400.0, "unit": "s"}
    assert table.meta["ebl"] == "finke2022"
    assert png.stat().st_size > 10_000


def test_params_lists_every_parameter(capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["params", "--model", "ec", "--fields", "line"]) == 0
    text = capsys.readouterr().out
    lines = {line.split()[0]: line for line in text.splitlines() if line.strip()}
    for name in ("B", "R", "delta_D", "z", "n_e", "p1", "gamma_b", "u_ext", "nu_ext"):
        assert name in lines
    assert lines["B"].split()[1:5] == ["G", "0.1", "1e-06", "100000"]
    for alternative in ("t_var", "Gamma", "theta", "u_e", "L_e"):
        assert alternative in lines


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--set", "B=-1"], "B = -1 G: must be positive"),
        (["--set", "gamma_min=1e6", "--set", "gamma_max=1e3"], "gamma_min = 1e+06 must be below"),
        (["--set", "Bfield=1"], "unknown parameter 'Bfield' for ssc"),
        (["--ebl", "franceschini2099"], "ebl: unknown EBL model 'franceschini2099'"),
        (["--set", "z=-0.1"], "z = -0.1: must be positive"),
        (["--set", "R=1 kg"], "R: cannot convert 1.0 kg to cm"),
        (["--set", "L_inj=1e40"], "unknown parameter 'L_inj' without --steady-state"),
        (["--n-gamma", "2"], "n_gamma = 2: must be a whole number in 8..4000"),
        (["--set", "t_var=1d", "--set", "R=1e16"], "R, t_var: these give the radius two ways"),
        (["--set", "Gamma=10", "--set", "delta_D=10"], "Gamma, delta_D: these give the Doppler"),
        (["--set", "u_e=1e-3", "--set", "n_e=1"], "n_e, u_e: these give the normalisation"),
    ],
)
def test_bad_values_get_one_line_and_status_2(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str], message: str
) -> None:
    out = tmp_path / "x.ecsv"
    assert main(["sed", "--model", "ssc", *argv, "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"sorvexfit sed: error: {message}")
    assert err.count("\n") == 1
    assert not out.exists()


def test_bad_output_name_is_a_usage_error(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    assert main(["sed", "--model", "ssc", "--out", str(tmp_path / "sed.csv")]) == 2
    assert "must end in .ecsv" in capsys.readouterr().err


def test_console_script_is_installed(tmp_path: Path) -> None:
    command = str(Path(sys.executable).parent / "sorvexfit")  # installed beside the interpreter
    done = subprocess.run(
        [command, "sed", "--model", "ssc", "--set", "B=-1", "--out", str(tmp_path / "a.ecsv")],
        capture_output=True,
        text=True,
        check=False,
        timeout=120,
    )
    assert done.returncode == 2
    assert done.stderr == "sorvexfit sed: error: B = -1 G: must be positive\n"
