"""Injection and recovery: flux points simulated from known SSC and EC parameters with Gaussian
noise are fitted back, by least squares and by a short MCMC chain; the command's outputs and
exit codes along the way."""

from __future__ import annotations

from dataclasses import replace
from pathlib import Path

import h5py
import numpy as np
import pytest
from astropy.table import Table
from cases import SHORT_SEARCH, SMALL_ARGV, SMALL_MODEL_VALUES, simulate, small_config, small_model

from sorvexfit.cli import main
from sorvexfit.fit import ExitCode, FitOptions, run_fit
from sorvexfit.fit.mcmc import Chain
from sorvexfit.fit.run import _chain_status

# (model, free parameters and their starting values away from the truth)
CASES = {
    "ssc": (("B", "0.3"), ("delta_D", "12"), ("n_e", "3"), ("p", "2.0")),
    "ec": (("B", "0.04"), ("n_e", "30"), ("p", "2.6"), ("u_ext", "2e-3")),
}


def options(kind: str, **changes: object) -> FitOptions:
    start = CASES[kind]
    base = FitOptions(
        model=small_config(kind),
        values=(*SMALL_MODEL_VALUES, ("delta_D", "20"), ("nu_ext", "1e15"), *start)
        if kind == "ec"
        else (*SMALL_MODEL_VALUES, *start),
        free=tuple(name for name, _ in start),
        systematics="none",
        band_samples=0,
        **SHORT_SEARCH,  # type: ignore[arg-type]
    )
    return replace(base, **changes)  # type: ignore[arg-type]


def truth(kind: str) -> dict[str, float]:
    model = small_model(kind)
    return {name: model.params[name].internal for name, _ in CASES[kind]}


@pytest.mark.parametrize(("kind", "seed"), [("ssc", 1), ("ssc", 2), ("ec", 3), ("ec", 4)])
def test_least_squares_recovers_the_injected_parameters(
    tmp_path: Path, kind: str, seed: int
) -> None:
    data = simulate(small_model(kind), tmp_path / "points.ecsv", seed)
    result = run_fit(data, options(kind), tmp_path / "out")
    assert result.status == "converged", result.message
    for name, value in truth(kind).items():
        p = result.parameters[name]
        assert abs(p.fit_best - value) <= 3.0 * p.fit_error, (name, p, value)
        assert p.error < 0.5 * p.best  # a real constraint, not a flat direction
    assert result.chi2 / result.dof < 3.0
    assert result.evaluations > 10


def test_the_command_writes_the_table_and_the_plot(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    data = simulate(small_model("ssc"), tmp_path / "points.ecsv", 7)
    out = tmp_path / "out"
    argv = ["fit", str(data), "--model", "ssc", "--electrons", "power_law"]
    argv += SMALL_ARGV
    for name, value in (*SMALL_MODEL_VALUES, *CASES["ssc"]):
        argv += ["--set", f"{name}={value}"]
    argv += ["--free", "B,delta_D,n_e,p", "--band-samples", "6", "--minos", "--out", str(out)]
    assert main(argv) == 0
    printed = capsys.readouterr()
    assert "minuit: converged" in printed.out
    assert printed.err == ""
    table = Table.read(out / "result.ecsv", format="ascii.ecsv")
    assert table.colnames == [
        "name",
        "unit",
        "free",
        "fit_form",
        "best",
        "error",
        "median",
        "q16",
        "q84",
        "fit_best",
        "fit_error",
    ]
    rows = {row["name"]: row for row in table}
    assert list(rows)[:4] == ["B", "R", "delta_D", "z"]
    assert rows["B"]["free"]
    assert rows["B"]["fit_form"] == "log10"
    assert rows["B"]["unit"] == "G"
    assert not rows["R"]["free"]
    assert rows["R"]["error"] == 0.0
    assert rows["R"]["best"] == 1e16
    b = rows["B"]
    assert b["q16"] < b["best"] < b["q84"]
    assert b["best"] == pytest.approx(10 ** b["fit_best"], rel=1e-12)
    meta = table.meta
    assert meta["status"] == "converged"
    assert meta["converged"] is True
    assert meta["dof"] == 30 - 4
    assert meta["chi2_dof"] == pytest.approx(meta["chi2"] / meta["dof"])
    assert meta["covariance"]["parameters"] == ["B", "delta_D", "n_e", "p"]
    assert np.shape(meta["covariance"]["matrix"]) == (4, 4)
    assert meta["minos"] is True
    assert meta["band_evaluations"] == 6
    assert (out / "sed.png").stat().st_size > 20_000
    assert not (out / "chain.h5").exists()


def test_short_mcmc_chain_holds_the_truth_and_says_it_has_not_converged(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    data = simulate(small_model("ssc"), tmp_path / "points.ecsv", 11)
    out = tmp_path / "mcmc"
    fit = options("ssc", method="mcmc", walkers=10, steps=60, seed=3, band_samples=5)
    result = run_fit(data, fit, out)
    assert result.status == "not converged"
    assert result.exit_code == ExitCode.NOT_CONVERGED
    assert "autocorrelation times long, fewer than 50" in result.message
    with h5py.File(out / "chain.h5", "r") as f:
        chain = f["mcmc/chain"][()]
    assert chain.shape == (60, 10, 4)
    samples = chain[result.meta["burn"] :].reshape(-1, 4)
    for i, (name, value) in enumerate(truth("ssc").items()):
        low, high = np.percentile(samples[:, i], [0.5, 99.5])
        assert low <= value <= high, (name, low, value, high)
    assert 0.1 < result.meta["acceptance"] < 0.9
    assert (out / "corner.png").stat().st_size > 20_000
    assert (out / "result.ecsv").exists()


@pytest.mark.parametrize("tau", [0.0, np.nan])
def test_a_chain_without_an_autocorrelation_time_has_not_converged(tau: float) -> None:
    """A few steps of walkers that have not moved: τ is 0 (or not estimated)."""
    chain = Chain(
        np.ones((4, 8, 2)), np.zeros((4, 8)), np.full(8, 0.5), np.full(2, tau), 40, 0, False
    )
    status, message = _chain_status(chain, ["B", "p"])
    assert status == "not converged"
    assert "0.0 autocorrelation times long" in message


def test_a_fit_that_cannot_converge_says_so_with_status_3(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    data = simulate(small_model("ssc"), tmp_path / "points.ecsv", 5)
    argv = ["fit", str(data), "--model", "ec", "--fields", "line", "--electrons", "power_law"]
    argv += ["--systematics", "none"]
    argv += SMALL_ARGV
    for name, value in SMALL_MODEL_VALUES:
        argv += ["--set", f"{name}={value}"]
    # An external field too weak to matter: its frequency is a flat direction of the χ².
    argv += ["--set", "u_ext=1e-30", "--free", "B,nu_ext", "--band-samples", "0"]
    assert main([*argv, "--out", str(tmp_path / "out")]) == ExitCode.NOT_CONVERGED
    printed = capsys.readouterr()
    assert printed.err.startswith("sorvexfit fit: not converged: migrad did not converge: ")
    assert printed.err.count("\n") == 1
    assert "wrote" not in printed.out
    table = Table.read(tmp_path / "out" / "result.ecsv", format="ascii.ecsv")
    assert table.meta["status"] == "not converged"
    assert table.meta["converged"] is False
