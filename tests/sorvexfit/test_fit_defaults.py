"""Fits from default settings: the global stage, the physical box, radio points, honest errors,
and real and simulated SEDs fitted with nothing but their data."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest
from cases import campaign, draw_truth

import sorvexfit
from sorvexfit import ParameterError
from sorvexfit.cli import main
from sorvexfit.fit import FitOptions, read_flux_points, run_fit
from sorvexfit.fit.defaults import fit_bounds, parse_bounds
from sorvexfit.fit.run import radio_points
from sorvexfit.fit.search import DECIDE, search

DATA = Path(__file__).resolve().parents[2] / "examples" / "data"


class Toy:
    """A χ² of two parameters in the shape `ChiSquare` offers the search."""

    names = ("a", "b")

    def __init__(self, function) -> None:  # type: ignore[no-untyped-def]
        self.function = function
        self.evaluations = 0

    def __call__(self, x: np.ndarray) -> float:
        self.evaluations += 1
        return float(self.function(np.asarray(x, dtype=float)))

    def fisher(self, x: np.ndarray, step: float = 1e-3) -> np.ndarray:
        # Half the numerical Hessian: the Gauss-Newton matrix of a sum of squares.
        x = np.asarray(x, dtype=float)
        h = np.eye(2) * step
        return np.array(
            [
                [
                    (self(x + h[i] + h[j]) - self(x + h[i] - h[j]))
                    - (self(x - h[i] + h[j]) - self(x - h[i] - h[j]))
                    for j in range(2)
                ]
                for i in range(2)
            ]
        ) / (8 * step * step)


BOUNDS = [(-5.0, 5.0), (-5.0, 5.0)]
SEED = np.random.SeedSequence(7)


def test_the_global_stage_finds_the_deeper_basin_a_start_misses() -> None:
    # A shallow minimum at (-2, 0) where migrad alone would stay, a deeper one at (3, 1).
    def chi2(x: np.ndarray) -> float:
        near = (x[0] + 2) ** 2 + x[1] ** 2
        far = (x[0] - 3) ** 2 + (x[1] - 1) ** 2
        return min(near + 10.0, far) * 10.0

    found = search(Toy(chi2), np.array([-2.0, 0.0]), np.array([5.0, 5.0]), BOUNDS,
                   starts=32, polish=4, seed=SEED)  # fmt: skip
    np.testing.assert_allclose(found.best.x, [3.0, 1.0], atol=1e-3)
    assert found.best.chi2 == pytest.approx(0.0, abs=1e-6)
    assert not found.rival  # the other basin is 100 above


@pytest.mark.parametrize(("depth", "undecided"), [(0.5, True), (DECIDE + 1.0, False)])
def test_two_basins_that_fit_as_well_are_both_reported(depth: float, undecided: bool) -> None:
    def chi2(x: np.ndarray) -> float:
        return min((x[0] + 2) ** 2 + x[1] ** 2 + depth, (x[0] - 2) ** 2 + x[1] ** 2) * 4.0 + 10.0

    found = search(Toy(chi2), np.array([0.0, 0.0]), np.array([4.0, 4.0]), BOUNDS,
                   starts=32, polish=4, seed=SEED)  # fmt: skip
    assert bool(found.rival) is undecided
    if undecided:
        assert found.rival[0].x[0] == pytest.approx(-2.0, abs=1e-2)


def test_a_direction_the_data_leave_free_gets_an_error_as_wide_as_its_box() -> None:
    # Only a + b is measured: hesse has nothing to invert along a - b.
    from sorvexfit.fit.minuit import least_squares

    toy = Toy(lambda x: ((x[0] + x[1] - 1.0) / 0.1) ** 2)
    ls = least_squares(toy, np.array([0.3, 0.2]), BOUNDS)  # type: ignore[arg-type]
    assert ls.valid
    assert ls.x.sum() == pytest.approx(1.0, abs=1e-3)
    assert ls.x[0] + ls.lower[0] <= -5.0 + 1e-9
    assert ls.x[0] + ls.upper[0] >= 5.0 - 1e-9


def test_radio_points_are_upper_limits_left_out_or_fitted() -> None:
    data = read_flux_points(DATA / "Mrk421_2011.ecsv")
    radio = (data.nu < 1e11) & ~data.is_ul
    limited, text = radio_points(data, "limits")
    assert np.all(limited.is_ul[radio])
    assert np.all(np.isnan(limited.err_lo[radio]))
    np.testing.assert_array_equal(limited.flux, data.flux)
    assert f"{radio.sum()} radio points" in text
    for choice in ("fit", "ignore"):
        same, text = radio_points(data, choice)
        np.testing.assert_array_equal(same.is_ul, data.is_ul)
        assert choice.replace("ignore", "left out").replace("fit", "fitted") in text


def test_the_fit_box_narrows_free_parameters_and_moves_a_start_inside() -> None:
    config = sorvexfit.configure("ec", fields=("line",), ec_frame="agn", doppler="delta_D")
    params = sorvexfit.parameters(config)
    params.set(B=500.0)
    boxed = fit_bounds(params, "agn", parse_bounds(["delta_D=5,50"], params))
    assert boxed["B"].bounds == (1e-3, 100.0)
    assert 0.5 * 100 < boxed["B"].value < 100.0
    assert boxed["delta_D"].bounds == (5.0, 50.0)
    assert boxed["u_ext"].bounds == (1e-7, 1.0)  # the AGN frame's box
    assert params["B"].value == 500.0  # a copy


@pytest.mark.parametrize(
    ("argv", "named"),
    [
        (["--bound", "B=1,0.5"], "bound B"),
        (["--bound", "B=0.5"], "bound: expected NAME=LOW,HIGH"),
        (["--bound", "B=1e-9,1"], "bound B"),
        (["--bound", "Bfield=1,2"], "unknown parameter 'Bfield'"),
        (["--starts", "0"], "starts = 0"),
        (["--polish", "0"], "polish = 0"),
        (["--ebl", "nope"], "ebl: unknown EBL model 'nope'"),
    ],
)
def test_bad_fit_options_get_one_line_and_status_2(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str], named: str
) -> None:
    command = ["fit", str(DATA / "Mrk421_2011.ecsv"), "--model", "ssc", *argv]
    assert main([*command, "--out", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.startswith("sorvexfit fit: error: ")
    assert named in err
    assert err.count("\n") == 1
    assert not (tmp_path / "out" / "result.ecsv").exists()


def test_a_bad_radio_choice_is_refused_by_the_options() -> None:
    with pytest.raises(ParameterError, match="radio: unknown choice 'all'"):
        FitOptions(radio="all")


def test_a_simulated_campaign_is_recovered_from_its_data_alone(tmp_path: Path) -> None:
    config, truth = draw_truth("ssc", 2005)
    small = config.with_options(n_gamma=50, n_nu=70)
    path = campaign(small, truth, tmp_path / "campaign.ecsv", 2005)
    options = FitOptions(model=small, values=(("t_var", f"{truth['t_var']:.6g}"),), band_samples=0)
    result = run_fit(path, options, tmp_path / "fit")
    assert result.converged, result.message
    assert result.chi2_dof < 2.0
    for name in ("B", "delta_D", "p1", "p2", "gamma_b"):
        p = result.parameters[name]
        true = math.log10(truth[name]) if p.log10 else truth[name]
        assert abs(p.fit_best - true) <= 3.0 * p.fit_error, (name, p.fit_best, true, p.fit_error)


@pytest.mark.parametrize(("accurate", "width", "kept"), [(True, 40.0, 50), (False, 1.0, 34),
                                                        (False, 40.0, 0)])  # fmt: skip
def test_the_least_squares_band_keeps_draws_inside_the_confidence_region(
    accurate: bool, width: float, kept: int
) -> None:
    """Gaussian draws of a covariance hesse could not make positive can spread far outside the
    χ² valley (a nearly free Γ of an FSRQ drew a band a decade below its fit): there only the
    draws inside the 68 % region are kept, and none when too few are."""
    from sorvexfit.fit.minuit import LeastSquares
    from sorvexfit.fit.run import _gaussian_draws

    x = np.array([0.5, 7.3])

    def chi2(point: np.ndarray) -> float:  # the valley: σ = 0.1 and 1
        return 40.0 + float(((point[0] - 0.5) / 0.1) ** 2 + (point[1] - 7.3) ** 2)

    covariance = np.diag([0.01, width**2])
    ls = LeastSquares(x, np.sqrt(np.diag(covariance)), -x, x, covariance, 40.0, 100, True,
                      accurate, "", False)  # fmt: skip
    draws, spent = _gaussian_draws(ls, FitOptions(model="ssc", band_samples=50), chi2, None)
    assert len(draws) == pytest.approx(kept, abs=8)  # 68 % of 50 where the covariance is right
    assert spent == (0 if accurate else 50)
    if not accurate:
        assert all(chi2(d) <= 40.0 + 2.30 for d in draws)
