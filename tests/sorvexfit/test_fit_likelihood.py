"""The fit statistic as documented: asymmetric errors, systematics in quadrature, one-sided
upper limits, priors with their Jacobian."""

from __future__ import annotations

import math
import pickle
import re
from pathlib import Path

import numpy as np
import pytest
from cases import small_model, write_points

from sorvexfit import BlobModel, ModelConfig, ParameterError, Parameters
from sorvexfit.fit import ChiSquare, LogPosterior, parse_systematics, read_flux_points
from sorvexfit.fit.likelihood import UL_MIN_WIDTH, Prior, default_prior, parse_prior

NU = np.array([1e14, 1e16, 1e18, 1e22, 1e26, 3e26])
FLUX = np.array([1e-11, 2e-11, 1e-11, 3e-12, 5e-12, 2e-12])


def model_of(model: BlobModel) -> tuple[ModelConfig, Parameters]:
    return model.config, model.params


@pytest.fixture
def points(tmp_path: Path):  # type: ignore[no-untyped-def]
    flags = np.array([False, False, False, False, True, True])
    path = write_points(tmp_path / "p.ecsv", NU, FLUX, 0.1 * FLUX, upper_limits=flags)
    data = read_flux_points(path)
    data.err_hi[:4] = 0.2 * FLUX[:4]  # asymmetric: twice as large above
    data.instrument[:] = ["A", "A", "B", "C", "D", "D"]
    return data


def test_detections_use_the_error_on_the_models_side_with_systematics(points) -> None:  # type: ignore[no-untyped-def]
    fractions = np.array([0.05, 0.05, 0.0, 0.3, 0.1, 0.1])
    chi2 = ChiSquare(*model_of(small_model()), points, fractions)
    m = FLUX * np.array([1.1, 0.9, 1.2, 0.7, 0.1, 0.1])  # both limits respected
    sigma_hi = np.hypot(0.2 * FLUX, fractions * FLUX)
    sigma_lo = np.hypot(0.1 * FLUX, fractions * FLUX)
    expected = [(0.1 / sigma_hi[0] * FLUX[0]) ** 2, (0.1 * FLUX[1] / sigma_lo[1]) ** 2]
    expected += [(0.2 * FLUX[2] / sigma_hi[2]) ** 2, (0.3 * FLUX[3] / sigma_lo[3]) ** 2]
    assert chi2.statistic(m) == pytest.approx(sum(expected), rel=1e-12)
    assert chi2.n_points == 4


@pytest.mark.parametrize("fraction", [0.0, 0.05, 0.3])
def test_a_model_crossing_an_upper_limit_is_penalised_one_sidedly(points, fraction: float) -> None:  # type: ignore[no-untyped-def]
    fractions = np.full(NU.size, fraction)
    chi2 = ChiSquare(*model_of(small_model()), points, fractions)
    detections = FLUX.copy()
    detections[4:] = 0.0
    base = chi2.statistic(detections)
    assert base == 0.0
    width = max(fraction, UL_MIN_WIDTH)
    for factor, penalty in (
        (0.5, 0.0),
        (0.999, 0.0),
        (1.5, (0.5 / width) ** 2),
        (3.0, (2 / width) ** 2),
    ):
        m = detections.copy()
        m[5] = factor * FLUX[5]
        assert chi2.statistic(m) == pytest.approx(penalty, rel=1e-12, abs=1e-300)
        residual = chi2.residuals(m)[5]
        assert residual == (0.0 if factor < 1 else pytest.approx(-math.sqrt(penalty)))


def test_the_real_model_above_a_limit_costs_more_than_below_it(tmp_path: Path) -> None:
    model = small_model()
    nu = np.array([1e13, 1e15, 1e17, 1e23, 1e24])
    truth = model.sed(nu)
    flags = np.array([False, False, False, False, True])
    for scale, crossed in ((2.0, False), (0.5, True)):
        flux = truth.copy()
        flux[4] *= scale
        path = write_points(tmp_path / f"{scale}.ecsv", nu, flux, 0.1 * flux, upper_limits=flags)
        chi2 = ChiSquare(*model_of(model), read_flux_points(path), np.zeros(5))
        value = chi2(model.params.vector())
        assert (value > 50.0) if crossed else (value == pytest.approx(0.0, abs=1e-20))


def test_systematics_by_band_and_instrument(points) -> None:  # type: ignore[no-untyped-def]
    default = parse_systematics("default", points).fractions(points)
    assert default.tolist() == [0.05, 0.05, 0.10, 0.10, 0.30, 0.30]  # optical, ..., vhe
    custom = parse_systematics("none,xray=0.2,d=0.5,gamma=0.15", points).fractions(points)
    assert custom.tolist() == [0.0, 0.0, 0.2, 0.15, 0.5, 0.5]
    assert parse_systematics("0.07,vhe=0.2", points).fractions(points).tolist() == [
        0.07,
        0.07,
        0.07,
        0.07,
        0.2,
        0.2,
    ]


@pytest.mark.parametrize(
    ("option", "message"),
    [
        ("MAGIC=0.2", "systematics: 'MAGIC' is neither a band (radio, optical, xray, gamma, vhe)"),
        ("xray=lots", "systematics: 'xray=lots': 'lots' is not a number"),
        ("xray=-0.1", "systematics: 'xray=-0.1': a fraction must lie in [0, 10]"),
        ("nan", "systematics: 'nan': a fraction must lie in [0, 10]"),
    ],
)
def test_bad_systematics(points, option: str, message: str) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(ParameterError, match="^" + re.escape(message)):
        parse_systematics(option, points)


def test_priors_act_in_the_parameters_unit_with_the_jacobian(points) -> None:  # type: ignore[no-untyped-def]
    model = small_model()
    model.params.freeze(*model.params)
    model.params.thaw("B", "p")  # B is fitted in log10, p linearly
    chi2 = ChiSquare(*model_of(model), points, np.zeros(NU.size))
    b, p = model.params["B"], model.params["p"]
    flat = LogPosterior(chi2, [default_prior(b), default_prior(p)])
    x = np.array([-1.0, 2.3])
    assert flat.log_prior(x + np.array([0.7, 0.0])) == pytest.approx(flat.log_prior(x), abs=1e-12)
    linear = LogPosterior(chi2, [Prior("uniform", 1e-3, 10.0), Prior("gauss", 2.0, 0.5)])
    step = linear.log_prior(x + np.array([1.0, 0.0])) - linear.log_prior(x)
    assert step == pytest.approx(math.log(10.0), rel=1e-12)  # dB = ln10 B dlog10B
    gauss = linear.log_prior(x + np.array([0.0, 0.5])) - linear.log_prior(x)
    assert gauss == pytest.approx(-0.5 * (1.6**2 - 0.6**2), rel=1e-12)
    assert linear.log_prior([2.0, 2.3]) == -math.inf  # B = 100 G, outside its prior
    assert not linear.admissible([2.0, 2.3])
    assert linear([9.0, 2.3]) == -math.inf  # outside B's bounds: not even evaluated
    again = pickle.loads(pickle.dumps(linear))
    assert again(x) == linear(x)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("B=uniform:1", "prior: expected NAME=uniform:LOW:HIGH"),
        ("B=cauchy:0:1", "prior: expected NAME=uniform:LOW:HIGH"),
        ("Bfield=uniform:0:1", "unknown parameter 'Bfield'"),
        ("B=gauss:0.1:0", "prior B: the width must be positive"),
        ("B=uniform:1:0.1", "prior B: the lower end 1 must be below 0.1"),
        ("B=loguniform:0:1", "prior B: a log-uniform prior needs a positive lower end"),
        ("B=uniform:1e6:1e7", "prior B: [1e+06, 1e+07] lies outside the bounds"),
        ("B=uniform:x:1", "prior B: 'x' is not a number"),
        ("R=uniform:1 kg:2 kg", "prior R: cannot convert 1.0 kg to cm"),
    ],
)
def test_bad_priors(text: str, message: str) -> None:
    with pytest.raises(ParameterError, match="^" + re.escape(message)):
        parse_prior(text, small_model().params)


def test_prior_with_units_converts_once() -> None:
    name, prior = parse_prior("R=loguniform:1e15 cm:1 pc", small_model().params)
    assert name == "R"
    assert prior.a == 1e15
    assert prior.b == pytest.approx(3.0857e18, rel=1e-4)
