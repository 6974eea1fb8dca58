"""sorvexfit's models inside sherpa: units, bin integrals, errors, and an X-ray spectrum folded
through an ARF and a Gaussian RMF built in code, whose parameters a fit recovers."""

from __future__ import annotations

import math

import numpy as np
import pytest

sherpa = pytest.importorskip("sherpa")

from scipy.stats import norm  # noqa: E402
from sherpa.astro.data import DataPHA, DataRMF  # noqa: E402
from sherpa.astro.instrument import Response1D, create_arf  # noqa: E402
from sherpa.fit import Fit  # noqa: E402
from sherpa.optmethods import LevMar  # noqa: E402
from sherpa.stats import Cash  # noqa: E402
from sherpa.utils.err import ParameterErr  # noqa: E402

from sorvexfit import ParameterError, configure, sed  # noqa: E402
from sorvexfit.sherpa import ECModel, SSCModel  # noqa: E402

KEV_HZ = 2.417989242084918e17
KEV_ERG = 1.602176634e-9
TRUTH = {
    "log10_B": math.log10(0.07),
    "delta_D": 17.0,
    "z": 0.03,
    "log10_n_e": math.log10(0.49),
    "p1": 2.38,
    "p2": 4.63,
    "log10_gamma_b": math.log10(2.4e5),
    "log10_gamma_min": math.log10(800.0),
    "log10_gamma_max": 7.0,
}


@pytest.fixture
def ssc() -> SSCModel:
    model = SSCModel("ssc", configure("ssc", radius="t_var", n_gamma=40, n_nu=60))
    for name, value in TRUTH.items():
        setattr(model, name, value)
    return model


def test_parameters_in_fit_form(ssc: SSCModel) -> None:
    names = [p.name for p in ssc.pars]
    assert names[:3] == ["log10_B", "log10_t_var", "delta_D"]
    assert ssc.log10_B.units == "log10(G)"
    assert (ssc.log10_B.hard_min, ssc.log10_B.hard_max) == (-6.0, 5.0)
    assert ssc.log10_gamma_min.frozen
    assert not ssc.p1.frozen


def test_points_and_bins_in_kev(ssc: SSCModel) -> None:
    energy = np.geomspace(0.3, 10.0, 6)
    values = {
        p.name.removeprefix("log10_"): 10**p.val if p.name.startswith("log10_") else p.val
        for p in ssc.pars
    }
    nu_fnu = sed(ssc.config, values, energy * KEV_HZ)
    expected = nu_fnu / (energy * KEV_ERG) ** 2 * KEV_ERG  # photons cm^-2 s^-1 keV^-1
    np.testing.assert_allclose(ssc(energy), expected, rtol=1e-12)
    low, high = energy[:-1], energy[1:]
    fine = np.geomspace(low, high, 2001)  # (2001, 5): a log-log trapezoid per bin
    dnde = ssc(fine.ravel()).reshape(fine.shape)
    trapezoid = np.sum(0.5 * (dnde[1:] + dnde[:-1]) * np.diff(fine, axis=0), axis=0)
    np.testing.assert_allclose(ssc(low, high), trapezoid, rtol=1e-6)


def test_bad_parameters_are_named(ssc: SSCModel) -> None:
    with pytest.raises(ParameterErr, match="log10_B"):
        ssc.log10_B = 7.0
    ssc.log10_gamma_b = 8.0  # above gamma_max
    with pytest.raises(ParameterError, match="gamma_b"):
        ssc([1.0])
    with pytest.raises(ParameterError, match="config"):
        ECModel("ec", configure("ssc"))


def gaussian_rmf(elo: np.ndarray, ehi: np.ndarray, channels: np.ndarray) -> DataRMF:
    """A full-matrix RMF: each true-energy bin spread over the channels with a Gaussian of 5 %
    width."""
    centre, sigma = np.sqrt(elo * ehi), 0.05 * np.sqrt(elo * ehi)
    cdf = norm.cdf((channels[None, :] - centre[:, None]) / sigma[:, None])
    matrix = np.diff(cdf, axis=1)
    n = elo.size
    return DataRMF(
        "rmf",
        channels.size - 1,
        elo,
        ehi,
        np.ones(n, dtype=np.int16),
        np.ones(n, dtype=np.int16),
        np.full(n, channels.size - 1, dtype=np.int16),
        matrix.ravel(),
        e_min=channels[:-1],
        e_max=channels[1:],
    )


def test_folded_xray_spectrum_recovers_its_parameters(ssc: SSCModel) -> None:
    edges = np.geomspace(0.3, 10.0, 201)  # keV
    elo, ehi = edges[:-1], edges[1:]
    area = 100.0 / (1.0 + (1.0 / elo) ** 2)  # cm^2, falling below 1 keV
    channels = np.geomspace(0.3, 10.0, 101)
    pha = DataPHA("xray", np.arange(1, 101), np.zeros(100), exposure=1e4)
    pha.set_arf(create_arf(elo, ehi, specresp=area))
    pha.set_rmf(gaussian_rmf(elo, ehi, channels))
    folded = Response1D(pha)(ssc)
    expected = pha.eval_model(folded)
    assert expected.sum() > 1e4
    pha.counts = np.random.default_rng(7).poisson(expected).astype(float)

    for par in ssc.pars:
        par.freeze()
    start = {"log10_B": TRUTH["log10_B"] + 0.2, "log10_n_e": TRUTH["log10_n_e"] - 0.3, "p2": 4.3}
    for name, value in start.items():
        getattr(ssc, name).thaw()
        setattr(ssc, name, value)
    fit = Fit(pha, folded, stat=Cash(), method=LevMar())
    assert fit.fit().succeeded
    errors = fit.est_errors()
    for name, best, low, high in zip(
        errors.parnames, errors.parvals, errors.parmins, errors.parmaxes, strict=True
    ):
        truth = TRUTH[name.split(".")[1]]
        assert abs(best - truth) < 3.0 * 0.5 * (high - low), name
