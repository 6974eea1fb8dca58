"""The examples end to end on small grids: the Mrk 421 fit (the main job) converges near the
published one-zone solution and writes its files; the forward model has the shape of a one-zone
blazar model."""

import importlib.util
import math
import sys
from pathlib import Path
from types import ModuleType

import pytest
from astropy.table import Table

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def load(name: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    assert spec is not None
    assert spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def demo() -> ModuleType:
    return load("blazar_sed")


def test_mrk421_fit_converges_near_the_published_solution(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    fit = load("mrk421_fit")
    assert fit.main(["--quick", "--out", str(tmp_path)]) == 0
    printed = capsys.readouterr().out
    assert "minuit: converged" in printed
    rows = {line.split()[0]: line.split() for line in printed.splitlines() if line.strip()}
    for name in ("t_var", "delta_D", "B", "R"):
        assert name in rows
    assert "Fitted over published: delta_D" in printed
    table = Table.read(tmp_path / "result.ecsv", format="ascii.ecsv")
    best = {row["name"]: row["best"] for row in table}
    # The one-zone solution of the paper, not one of the far minima (B ~ 0.5 G, δ ~ 9).
    assert 0.02 < best["B"] < 0.2
    assert 10.0 < best["delta_D"] < 40.0
    assert 2e16 < table.meta["radius_cm"] < 1e17
    assert table.meta["n_points"] == 105 - 19  # the radio points are upper limits
    # Nothing but t_var was given: the start came from the data, the search from the defaults.
    assert table.meta["start"].startswith("analytic")
    assert table.meta["search"]["starts"] == 64
    assert {row["band"] for row in table.meta["chi2_by_band"]} >= {"xray", "gamma", "vhe"}
    assert (tmp_path / "sed.png").stat().st_size > 30_000


def peak(nu: list[float], values: list[float]) -> float:
    return max(zip(values, nu, strict=True))[1]


def test_small_run_has_both_humps_and_a_self_absorbed_rise(
    demo: ModuleType, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    params = demo.parse_args(
        ["--n-gamma", "48", "--n-freq", "60", "--max-steps", "60", "--output", str(tmp_path)]
    )
    sed = demo.run(params)
    assert "converged after" in capsys.readouterr().out
    assert (tmp_path / "sed.csv").read_text().count("\n") == 61
    assert (tmp_path / "sed.png").stat().st_size > 10_000

    nu_syn, nu_ssc = peak(sed.nu_obs, sed.synchrotron), peak(sed.nu_obs, sed.ssc)
    assert 1e12 < nu_syn < 1e20
    assert nu_ssc > 1e3 * nu_syn  # the Compton hump lies far above the synchrotron one
    assert max(sed.ssc) > 1e-3 * max(sed.synchrotron)
    # Below the turnover the blob is self-absorbed: nu F_nu rises as nu^3 (Rayleigh-Jeans, below
    # the frequency of the lowest electrons) to nu^3.5 (power-law electrons).
    low = [k for k, nu in enumerate(sed.nu_obs) if nu < 1e9]
    slope = math.log(sed.synchrotron[low[-1]] / sed.synchrotron[low[0]]) / math.log(
        sed.nu_obs[low[-1]] / sed.nu_obs[low[0]]
    )
    assert 2.9 < slope < 3.6
    # Above the turnover the optically thin synchrotron is much flatter.
    assert max(sed.synchrotron) > 1e3 * sed.synchrotron[low[-1]]


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--b-field", "-1"], "argument --b-field: '-1' must be positive"),
        (["--n-gamma", "abc"], "argument --n-gamma: 'abc' is not a whole number"),
        (["--radius", "nan"], "argument --radius: 'nan' is not finite"),
        (["--gamma-min", "1e6", "--gamma-max", "1e3"], "--gamma-min must be below --gamma-max"),
        (["--theta", "95"], "--theta must be below 90 degrees"),
    ],
)
def test_bad_options_get_a_clear_message(
    demo: ModuleType, argv: list[str], message: str, capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(SystemExit) as info:
        demo.parse_args(argv)
    assert info.value.code == 2
    assert message in capsys.readouterr().err
