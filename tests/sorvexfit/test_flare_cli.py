"""`sorvexfit flare`: the injection profiles and their text forms, the files and plots, and the
one-line errors."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import h5py
import numpy as np
import pytest
from astropy.table import Table

from sorvexfit.cli import main
from sorvexfit.injection import Constant, Injection, Pulse, Step, TimeScale, parse_injection
from sorvexfit.injection import Table as Profile
from sorvexfit.parameters import ParameterError

SMALL = ["--n-gamma", "40", "--n-nu", "40", "--samples", "40", "--ebl", "none"]
MODEL = ["--model", "ssc", "--set", "B=0.1", "--set", "R=1e16", "--set", "delta_D=20"]
MODEL += ["--set", "z=0.03", "--set", "L_inj=1e41", "--set", "p2=3"]


@pytest.mark.parametrize(
    "profile",
    [
        Constant(),
        Step(2.0, 7.0),
        Step(-1.0, 0.5),
        Pulse(3.0, 0.4, 12.0),
        Profile((0.0, 1.0, 2.5, 4.0), (1.0, 3.0, 0.5, 2.0)),
        Profile((-2.0, 3.0), (2.0, 4.0)),
    ],
)
def test_the_mean_over_a_step_is_the_integral_of_the_profile(profile: Injection) -> None:
    """What a step injects is exactly what the profile does over it, wherever the step lies
    against the profile's jumps and knots."""
    for t0, t1 in ((-3.0, -1.0), (0.0, 0.7), (1.9, 2.6), (2.9, 3.2), (0.5, 9.0)):
        edges = np.linspace(t0, t1, 400_001)
        middle = 0.5 * (edges[1:] + edges[:-1])
        expected = float(np.mean(profile.factor(middle)))  # midpoints: also across a jump
        assert profile.mean(t0, t1) == pytest.approx(expected, rel=2e-5)


@pytest.mark.parametrize("profile", [Constant(), Step(2.0, 7.0), Pulse(3.0, 0.4, 12.0)])
def test_the_text_form_reads_back(profile: Injection) -> None:
    assert parse_injection(profile.text()) == profile


def test_times_with_units_are_observed_times() -> None:
    """t' = t δ/(1+z) in units of R0/c: 2 h observed with δ = 20, z = 0.03, R0/c = 1e5 s."""
    scale = TimeScale(1e5, 20.0, 0.03)
    pulse = parse_injection("pulse:t0=2h,width=1800s,amplitude=3", scale.units)
    assert isinstance(pulse, Pulse)
    assert pulse.t0 == pytest.approx(7200.0 * 20.0 / 1.03 / 1e5)
    assert pulse.width == pytest.approx(1800.0 * 20.0 / 1.03 / 1e5)
    assert scale.observed(pulse.t0) == pytest.approx(7200.0)


def test_a_table_file_with_observed_hours(tmp_path: Path) -> None:
    path = tmp_path / "profile.txt"
    path.write_text("# unit: h\n# time factor\n0, 1\n1.5 4\n\n3, 1  # back\n")
    scale = TimeScale(3600.0, 1.0, 0.0)  # one hour observed is one R0/c
    profile = parse_injection(f"table:{path}", scale.units)
    assert isinstance(profile, Profile)
    assert profile.times == pytest.approx((0.0, 1.5, 3.0))
    assert profile.factors == (1.0, 4.0, 1.0)
    assert profile.base == 1.0


@pytest.mark.parametrize(
    ("text", "lines", "message"),
    [
        ("pulse:t0=1,width=0,amplitude=3", None, "width = 0: must be positive"),
        ("pulse:t0=1,amplitude=3", None, "pulse needs width"),
        ("pulse:t0=1,width=1,amplitude=-2", None, "amplitude = -2: must be >= -1"),
        ("step:t0=1,factor=2,width=3", None, "unknown field 'width' of step"),
        ("step:t0=1,factor=x", None, "injection factor: 'x' is not a number"),
        ("step:t0=1kg,factor=2", None, "injection t0: cannot convert 1.0 kg to s"),
        ("spike:t0=1", None, "unknown form 'spike:t0=1'"),
        ("step:t0", None, "expected step:t0=...,factor=..."),
        ("table:", None, "expected table:FILE"),
        ("table:{path}", "0 1\n2 3\n1 2\n", "times must increase strictly (row 3: 1 after 2)"),
        ("table:{path}", "0 1\n", "a table needs at least 2 rows"),
        ("table:{path}", "0 1\n1 -2\n", "table factor -2 < 0 (row 2)"),
        ("table:{path}", "0 1 2\n", "line 1: expected time and factor"),
        ("table:{path}", "0 one\n", "line 1: not numbers"),
        ("table:{missing}", None, "cannot read"),
    ],
)
def test_bad_injections_name_what_is_wrong(
    tmp_path: Path, text: str, lines: str | None, message: str
) -> None:
    path = tmp_path / "profile.txt"
    if lines is not None:
        path.write_text(lines)
    form = text.format(path=path, missing=tmp_path / "nothing.txt")
    with pytest.raises(ParameterError, match="injection") as error:
        parse_injection(form, TimeScale(1e5, 10.0, 0.1).units)
    assert message in str(error.value)


# ---------------------------------------------------------------------------------------------
# The command


def test_flare_writes_light_curves_snapshots_and_plots(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    out = tmp_path / "flare"
    argv = ["flare", *MODEL, *SMALL, "--injection", "pulse:t0=2,width=0.5,amplitude=10"]
    argv += ["--duration", "6", "--snapshots", "3", "--band", "soft=0.5 keV,2 keV"]
    argv += ["--hardness", "soft,X", "--out", str(out)]
    assert main(argv) == 0
    printed = capsys.readouterr()
    assert "steps" in printed.out
    assert "wrote" in printed.out
    assert printed.err == ""
    table = Table.read(out / "lightcurves.ecsv", format="ascii.ecsv")
    assert table.colnames == ["t_obs", "t_blob", "radio", "R", "X", "HE", "VHE", "soft"]
    assert str(table["t_obs"].unit) == "s"
    assert table["X"].unit.is_equivalent("erg cm-2 s-1")
    assert len(table) == 40
    # t_obs = t' (1+z)/δ with t' in R0/c.
    np.testing.assert_allclose(table["t_obs"], table["t_blob"] * 1e16 / 29979245800.0 * 1.03 / 20)
    assert table.meta["injection"] == "pulse:t0=2,width=0.5,amplitude=10"
    assert table.meta["parameters"]["L_inj"] == 1e41
    assert table.meta["largest_budget_residual"]["energy"] < 1e-9
    assert table["X"].max() > 3.0 * table["X"][0]
    seds = Table.read(out / "seds.ecsv", format="ascii.ecsv")
    assert seds.colnames == ["nu", "quiescent", "t0", "t1", "t2"]
    assert seds.meta["snapshots"]["t2"]["t_blob"] == pytest.approx(6.0)
    for name in ("lightcurves.png", "seds.png", "hardness.png"):
        assert (out / name).stat().st_size > 10_000


def test_many_snapshots_go_to_hdf5(tmp_path: Path) -> None:
    out = tmp_path / "many"
    argv = ["flare", *MODEL, *SMALL, "--injection", "step:t0=1,factor=3", "--duration", "2"]
    argv += ["--snapshots", "20", "--hardness", "none", "--no-light-crossing", "--out", str(out)]
    assert main(argv) == 0
    with h5py.File(out / "seds.h5") as store:
        assert store["nuFnu"].shape == (20, 40)
        assert set(store["components"]) == {"syn", "ssc"}
        np.testing.assert_allclose(
            store["nuFnu"][...], store["components/syn"][...] + store["components/ssc"][...]
        )
        assert store["t_obs"].attrs["unit"] == "s"
    assert not (out / "hardness.png").exists()
    assert not (out / "seds.ecsv").exists()


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--duration", "-3"], "duration = -3.0: must be positive"),
        (["--duration=-2h"], "duration = -"),
        (["--injection", "pulse:t0=1,width=-1,amplitude=2"], "injection: width = -1"),
        (["--injection", "bump"], "injection: unknown form 'bump'"),
        (["--injection", "table:{table}"], "injection: table times must increase strictly"),
        (["--band", "bad=1 kg,2 kg"], "band bad: cannot convert 1.0 kg to Hz"),
        (
            ["--band", "far=1e30 Hz,1e31 Hz"],
            "band far: 1e+30 Hz to 1e+31 Hz lies outside the model's",
        ),
        (["--hardness", "X,gamma"], "hardness: no band 'gamma'"),
        (["--samples", "1"], "samples = 1: must be a whole number >= 2"),
        (["--expansion", "1.5"], "expansion = 1.5: must be in [0, 1)"),
        (["--snapshot-times", "1,99"], "snapshots: 99 lies outside the flare"),
        (["--set", "B=-1"], "B = -1 G: must be positive"),
    ],
)
def test_bad_input_is_one_line_and_status_2(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str], message: str
) -> None:
    table = tmp_path / "profile.txt"
    table.write_text("0 1\n3 2\n2 1\n")
    argv = [a.format(table=table) for a in argv]
    out = tmp_path / "out"
    code = main(["flare", *MODEL, *SMALL, "--duration", "2", "--out", str(out), *argv])
    err = capsys.readouterr().err
    assert code == 2
    assert err.startswith("sorvexfit flare: error: ")
    assert message in err
    assert err.count("\n") == 1
    assert not out.exists()


def test_an_evolution_that_cannot_proceed_is_status_1(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    import sorvexfit.flare as flare

    def fail(*args: Any, **kwargs: Any) -> Any:
        raise flare.FlareError("flare: 200000 steps reached at t = 1 of 5 R/c")

    monkeypatch.setattr(flare, "integrate", fail)
    argv = ["flare", *MODEL, *SMALL, "--duration", "5", "--out", str(tmp_path / "o")]
    assert main(argv) == 1
    assert capsys.readouterr().err == (
        "sorvexfit flare: error: flare: 200000 steps reached at t = 1 of 5 R/c\n"
    )
