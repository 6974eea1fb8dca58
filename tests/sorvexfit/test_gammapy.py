"""sorvexfit's models inside gammapy: shapes, integrals, YAML, errors, one kernel evaluation per
parameter vector, and the joint fit of the example (flux points + a simulated IACT spectrum)."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import numpy as np
import pytest

gammapy = pytest.importorskip("gammapy")

import astropy.units as u  # noqa: E402
from gammapy.datasets import Datasets  # noqa: E402
from gammapy.modeling.models import Models, SkyModel  # noqa: E402
from scipy.integrate import quad  # noqa: E402

import sorvexfit.spectrum as spectrum  # noqa: E402
from sorvexfit import EBL, ParameterError, configure, sed  # noqa: E402
from sorvexfit.evaluation import frequency_grid  # noqa: E402
from sorvexfit.gammapy import (  # noqa: E402
    ECSpectralModel,
    SSCSpectralModel,
    config_from_dict,
    config_to_dict,
    ebl_absorption,
)

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
GRIDS = {"n_gamma": 40, "n_nu": 60}
SSC_VALUES = {
    "B": 0.07,
    "t_var": "1 d",
    "delta_D": 17.0,
    "z": 0.03,
    "n_e": 0.49,
    "p1": 2.38,
    "p2": 4.63,
    "gamma_b": 2.4e5,
    "gamma_min": 800.0,
    "gamma_max": 1e7,
}


@pytest.fixture
def ssc() -> SSCSpectralModel:
    return SSCSpectralModel(configure("ssc", radius="t_var", ebl=None, **GRIDS), **SSC_VALUES)


def test_dnde_is_the_model_sed_over_e_squared(ssc: SSCSpectralModel) -> None:
    energy = np.geomspace(1e-9, 30.0, 25) * u.TeV
    nu = energy.to_value(u.Hz, equivalencies=u.spectral())
    values = {p.name: p.value for p in ssc.parameters}
    expected = sed(ssc.config, values, nu) / energy.to_value(u.erg) ** 2 * u.Unit("erg-1 cm-2 s-1")
    got = ssc(energy)
    assert got.unit == u.Unit("cm-2 s-1 TeV-1")
    np.testing.assert_allclose(got.to_value(expected.unit), expected.value, rtol=1e-12)


@pytest.mark.parametrize("shape", [(), (7,), (5, 1, 1), (3, 4)])
def test_any_energy_shape(ssc: SSCSpectralModel, shape: tuple[int, ...]) -> None:
    energy = np.geomspace(0.1, 10.0, int(np.prod(shape)) or 1).reshape(shape) * u.TeV
    flat = ssc(energy.ravel())
    assert ssc(energy).shape == shape
    np.testing.assert_array_equal(ssc(energy).value.ravel(), flat.value)
    low, high = energy, energy * 1.5
    assert ssc.integral(low, high).shape == shape
    assert ssc.energy_flux(low, high).shape == shape


@pytest.mark.parametrize(
    ("low", "high"), [(0.1, 0.2), (1e-9, 1e-7), (0.5, 30.0), (2e-8, 3.0)]
)  # TeV: a narrow bin, X-rays, the TeV band, a bin across many grid points
def test_integrals_against_quadrature(ssc: SSCSpectralModel, low: float, high: float) -> None:
    def dnde(e: float) -> float:
        return float(ssc(e * u.TeV).to_value("cm-2 s-1 TeV-1"))

    def e_dnde(log_e: float) -> float:
        e = np.exp(log_e)
        return e * e * dnde(e)

    # The interpolant has kinks at the grid's energies: quadrature pieces end there.
    nodes = (frequency_grid(ssc.config.nu_range, ssc.config.n_nu) * u.Hz).to_value(
        u.TeV, equivalencies=u.spectral()
    )
    kinks = np.log(nodes[(nodes > low) & (nodes < high)])
    span = (np.log(low), np.log(high))
    options = {"limit": 400, "points": kinks if kinks.size else None, "epsrel": 1e-11}
    number = quad(lambda x: np.exp(x) * dnde(np.exp(x)), *span, **options)[0]
    energy = quad(e_dnde, *span, **options)[0]
    got = ssc.integral(low * u.TeV, high * u.TeV).to_value("cm-2 s-1")
    np.testing.assert_allclose(got, number, rtol=1e-9)
    got_energy = ssc.energy_flux(low * u.TeV, high * u.TeV).to_value("TeV cm-2 s-1")
    np.testing.assert_allclose(got_energy, energy, rtol=1e-9)


def test_integral_of_parameter_samples(ssc: SSCSpectralModel) -> None:
    """gammapy's error propagation evaluates arrays of parameter samples at once."""
    names = [p.name for p in ssc.parameters]
    values = [p.quantity for p in ssc.parameters]
    b = names.index("B")
    samples = list(values)
    samples[b] = np.array([0.05, 0.07, 0.05]) * u.G
    energy = np.geomspace(0.1, 1.0, 4)[:, None] * u.TeV
    got = ssc.evaluate(energy, *samples)
    assert got.shape == (4, 3)
    np.testing.assert_array_equal(got[:, 0], got[:, 2])
    np.testing.assert_allclose(got[:, 1].value, ssc(energy[:, 0]).value, rtol=1e-15)


@pytest.mark.parametrize("kind", ["ssc", "ec"])
def test_yaml_round_trip_with_ebl(tmp_path: Path, kind: str) -> None:
    config = configure(
        kind, radius="t_var", ebl=None, electrons="log_parabola", ec_frame="agn", **GRIDS
    )
    cls = SSCSpectralModel if kind == "ssc" else ECSpectralModel
    model = cls(config, B="0.2 G", t_var="2 d", z=0.05)
    model.B.error = 0.01
    model.parameters["q"].frozen = True
    model.parameters["gamma_max"].min = 1e5
    sky = SkyModel(spectral_model=model * ebl_absorption("finke", 0.05), name="src")
    path = tmp_path / "models.yaml"
    Models([sky]).write(path)
    back = Models.read(path)[0].spectral_model
    assert type(back.model1) is cls
    assert back.model1.config == config
    for a, b in zip(back.parameters, sky.spectral_model.parameters, strict=True):
        assert (a.name, a.value, a.unit, a.frozen, a.min, a.max, a.error) == (
            b.name,
            b.value,
            b.unit,
            b.frozen,
            b.min,
            b.max,
            b.error,
        )
    energy = np.geomspace(0.05, 20.0, 9) * u.TeV
    np.testing.assert_array_equal(back(energy).value, sky.spectral_model(energy).value)
    assert model.t_var.quantity == 2 * u.d  # given in days, kept in the model's unit
    assert model.t_var.unit == u.s


def test_config_round_trip_keeps_every_choice() -> None:
    from astropy.cosmology import WMAP9

    config = configure(
        "ec",
        steady_state=True,
        cosmology=WMAP9,
        backend="sorvex",
        n_gamma=50,
        nu_range=(1e9, 1e27),
        n_nu=70,
        segments_rtol=3e-2,
        ebl="dominguez",
    )
    back = config_from_dict(config_to_dict(config), "ec")
    assert back == config
    assert back.cosmology is WMAP9


@pytest.mark.parametrize("z", [0.03, 0.3])
def test_ebl_absorption_matches_sorvexfit_own(z: float) -> None:
    energy = np.geomspace(0.02, 30.0, 40) * u.TeV
    nu = energy.to_value(u.Hz, equivalencies=u.spectral())
    tau = EBL("dominguez").tau(nu, z)  # sorvexfit's own optical depth
    got = -np.log(ebl_absorption("dominguez", z)(energy).value)
    np.testing.assert_allclose(got, tau, rtol=5e-2, atol=1e-3)  # two interpolations


@pytest.mark.parametrize(
    ("values", "error", "match"),
    [
        ({"B": 1e9}, ParameterError, "B = 1e\\+09 G"),
        ({"gamma_b": 1e8}, ParameterError, "gamma_b"),
        ({"Bfield": 1.0}, NameError, "Bfield"),
        ({"R": "3 s"}, u.UnitConversionError, "parameter R"),
    ],
)
def test_bad_parameters_are_named(values: dict[str, object], error: type, match: str) -> None:
    with pytest.raises(error, match=match):
        SSCSpectralModel(configure("ssc", ebl=None, **GRIDS), **values)


def test_bad_value_at_evaluation_is_named(ssc: SSCSpectralModel) -> None:
    ssc.gamma_b.value = 2e7  # above gamma_max
    with pytest.raises(ParameterError, match="gamma_b"):
        ssc(1 * u.TeV)


def test_wrong_kind_of_configuration() -> None:
    with pytest.raises(ParameterError, match="ECSpectralModel"):
        SSCSpectralModel(configure("ec", **GRIDS))


def example() -> object:
    spec = importlib.util.spec_from_file_location(
        "gammapy_joint_fit", EXAMPLES / "gammapy_joint_fit.py"
    )
    assert spec is not None
    assert spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules["gammapy_joint_fit"] = module
    spec.loader.exec_module(module)
    return module


def test_one_kernel_evaluation_per_parameter_vector(
    ssc: SSCSpectralModel, monkeypatch: pytest.MonkeyPatch
) -> None:
    """A forward-folded joint evaluation (flux points + an on-off spectrum, EBL, integration
    over true-energy bins) evaluates the model once per distinct parameter vector."""
    calls = []
    evaluate = spectrum.evaluate

    def counted(config, values):  # type: ignore[no-untyped-def]
        calls.append(dict(values))
        return evaluate(config, values)

    monkeypatch.setattr(spectrum, "evaluate", counted)
    spectrum.cache_clear()
    joint_fit = example()
    sky = SkyModel(spectral_model=ssc * ebl_absorption("dominguez", 0.03), name="src")
    iact = joint_fit.iact_dataset(sky, 5 * u.h, seed=3)  # type: ignore[attr-defined]
    other = joint_fit.iact_dataset(sky, 5 * u.h, seed=4, name="other")  # type: ignore[attr-defined]
    datasets = Datasets([iact, other])
    datasets.models = [sky]
    calls.clear()
    first = datasets.stat_sum()
    assert datasets.stat_sum() == first
    assert len(calls) == 0  # the vector of the simulation is cached
    ssc.B.value = 0.08
    datasets.stat_sum()
    datasets.stat_sum()
    sky.spectral_model(np.geomspace(0.1, 10, 50)[:, None, None] * u.TeV)
    assert len(calls) == 1


def test_joint_fit_recovers_the_simulation(tmp_path: Path) -> None:
    """The example on small grids: gammapy's fit of the flux points alone lands on sorvexfit
    fit's parameters, and the joint fit with the simulated IACT spectrum recovers the
    simulated values (three parameters free in the joint fit to keep the test short)."""
    joint_fit = example()
    report = joint_fit.run(  # type: ignore[attr-defined]
        True, 20.0, 1, tmp_path, joint_free=("B", "delta_D", "n_e")
    )
    assert report["alone_success"]
    assert report["joint_success"]
    assert report["alone_chi2"] == pytest.approx(report["sorvexfit_chi2"], abs=1.0)
    for name, (best, error) in report["sorvexfit"].items():
        assert abs(report["alone"][name][0] - best) < 0.2 * error, name
    for name, (value, error) in report["joint"].items():
        assert abs(value - report["truth"][name]) < 3.0 * error, name
        assert error < report["alone"][name][1], name  # the IACT spectrum adds information
