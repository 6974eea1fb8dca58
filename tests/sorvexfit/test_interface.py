"""The model as a fit and a process pool use it: parameters, units, pickling, backends."""

from __future__ import annotations

import math
import pickle

import numpy as np
import pytest
from astropy import units as u
from cases import thin_ssc_model

import sorvexfit
from sorvexfit import components
from sorvexfit.components import fewest_segments
from sorvexfit.distributions import log_grid, normalise, pwl_moment


def test_pickle_round_trip_gives_the_same_sed() -> None:
    model = sorvexfit.make_model("ec", fields=("line",), ebl="dominguez", electrons="log_parabola")
    model.set(B=0.3, delta_D=15)
    before = model.components()
    clone = pickle.loads(pickle.dumps(model))
    assert clone.params.as_dict() == model.params.as_dict()
    after = clone.components()
    assert before.keys() == after.keys()
    for key, values in before.items():
        np.testing.assert_array_equal(after[key], values)
    clone.set(B=0.1)  # independent copies
    assert model.params["B"].value == 0.3


def test_quantities_and_floats_give_identical_arrays() -> None:
    floats, quantities = thin_ssc_model(), thin_ssc_model()
    floats.set(B=0.05, R=3e16, u_ext=2e-3, nu_ext=1e14, delta_D=12.0)
    quantities.set(
        B=0.05 * u.G,
        R=3e16 * u.cm,
        u_ext=2e-3 * u.erg / u.cm**3,
        nu_ext=1e14 * u.Hz,
        delta_D=12.0 * u.dimensionless_unscaled,
    )
    assert floats.params.as_dict() == quantities.params.as_dict()
    nu = np.geomspace(1e11, 1e25, 37)
    np.testing.assert_array_equal(floats.sed(nu), quantities.sed(nu * u.Hz))
    np.testing.assert_array_equal(floats.sed(nu), floats(nu))
    assert floats.sed(nu[5]) == floats.sed(nu)[5] == quantities.sed(nu[5] * u.Hz)  # scalars
    # Energies and units are converted once at the edge.
    np.testing.assert_allclose(floats.sed(nu), floats.sed((nu * u.Hz).to(u.keV, u.spectral())))
    quantities.set(R="3e16 cm")
    assert quantities.params["R"].value == 3e16


def test_sed_interpolates_the_grid_and_is_zero_outside() -> None:
    model = thin_ssc_model()
    grid = model.sed()
    np.testing.assert_allclose(model.sed(model.nu_grid), grid, rtol=1e-12)
    outside = model.sed(np.array([1e5, 1e30]))
    assert np.all(outside == 0.0)
    middle = np.sqrt(model.nu_grid[10] * model.nu_grid[11])
    expected = math.sqrt(grid[10] * grid[11])  # log-log midpoint
    assert model.sed(np.array([middle]))[0] == pytest.approx(expected, rel=1e-12)


def test_fit_vector_round_trip_in_log10() -> None:
    model = sorvexfit.make_model("ssc")
    params = model.params
    params.freeze("p1", "p2")
    names = params.free
    assert "z" not in names
    assert "gamma_min" not in names
    assert "p1" not in names
    x = params.vector()
    assert x[names.index("B")] == pytest.approx(math.log10(0.1))
    bounds = params.vector_bounds()
    assert bounds[names.index("B")] == (pytest.approx(-6.0), pytest.approx(5.0))
    x[names.index("B")] = math.log10(0.02)
    params.set_vector(x)
    assert params["B"].value == pytest.approx(0.02)
    params.thaw("p1")
    assert "p1" in params.free


def test_set_is_all_or_nothing() -> None:
    model = sorvexfit.make_model("ssc")
    with pytest.raises(sorvexfit.ParameterError):
        model.set(B=0.5, gamma_b=1e7)  # above gamma_max
    assert model.params["B"].value == 0.1
    assert model.params["gamma_b"].value == 1e4


@pytest.mark.parametrize(
    ("values", "message"),
    [
        ({"B": -1.0}, "B = -1 G: must be positive"),
        ({"B": 0.0}, "B = 0 G: must be positive"),
        ({"B": math.nan}, "B = nan: must be a finite number"),
        ({"B": "strong"}, "B: 'strong' is not a number"),
        ({"B": 1 * u.m}, "B: cannot convert 1.0 m to G"),
        ({"z": -0.5}, "z = -0.5: must be positive"),
        ({"R": 10.0}, "R = 10 cm: outside [1e+08, 1e+22] cm"),
        ({"gamma_min": 1e6, "gamma_max": 1e3}, "gamma_min = 1e+06 must be below gamma_b"),
        ({"gamma_max": 100.0}, "gamma_b = 10000 must be below gamma_max = 100"),
        ({"delta": 10}, "unknown parameter 'delta' for ssc (known: B, R, delta_D,"),
        ({"p1": 12}, "p1 = 12: outside [-1, 8]"),
    ],
)
def test_every_bad_parameter_gets_its_message(values: dict[str, object], message: str) -> None:
    model = sorvexfit.make_model("ssc")
    with pytest.raises(sorvexfit.ParameterError) as info:
        model.set(**values)
    assert str(info.value).startswith(message)
    assert "\n" not in str(info.value)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"ebl": "nope"}, "ebl: unknown EBL model 'nope' (known: dominguez,"),
        ({"electrons": "maxwellian"}, "electrons: unknown distribution 'maxwellian'"),
        ({"components": ("syn", "bremsstrahlung")}, "components: unknown component"),
        ({"backend": "gpu"}, "backend: unknown kernel backend 'gpu'"),
        ({"gamma_gamma": True, "backend": "sorvex"}, "gamma_gamma: needs backend='exact'"),
        ({"segments_rtol": -1.0}, "segments_rtol = -1.0: must be positive, None or 'auto'"),
        ({"n_gamma": 3}, "n_gamma = 3: must be a whole number in 8..4000"),
        ({"nu_range": (1e10, 1e8)}, "nu_range = (10000000000.0, 100000000.0): must be 0 < low"),
        ({"electrons": 3}, "electrons: 3 is neither a distribution name nor a Distribution"),
        ({"nu_range": "wide"}, "nu_range = 'wide': expected (low, high)"),
    ],
)
def test_every_bad_option_gets_its_message(options: dict[str, object], message: str) -> None:
    with pytest.raises(sorvexfit.ParameterError) as info:
        sorvexfit.BlobModel(**options)  # type: ignore[arg-type]
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("nu", [[-1e15], [math.nan], [0.0], ["abc"], [[1e15, 2e15], [3e15]]])
def test_frequencies_the_model_cannot_take_are_refused_by_name(nu: object) -> None:
    model = sorvexfit.make_model("ssc")
    with pytest.raises(sorvexfit.ParameterError, match=r"^nu: "):
        model.sed(nu)
    with pytest.raises(sorvexfit.ParameterError, match=r"^nu: "):
        model.components(nu)


def test_ebl_model_names_are_the_library_ones() -> None:
    from ebltable.tau_from_model import models

    assert set(sorvexfit.EBL_MODELS) == set(models)


def test_radius_from_variability_and_doppler_from_angle() -> None:
    model = sorvexfit.BlobModel(radius="t_var", doppler="Gamma_theta")
    model.set(t_var=86400 * u.s, Gamma=10, theta=0.0, z=0.5)
    v = model.params.as_dict()
    beta = math.sqrt(1 - 1 / 100)
    delta = 1 / (10 * (1 - beta))
    assert model.doppler() == pytest.approx(delta, rel=1e-12)
    assert model.radius() == pytest.approx(29979245800.0 * 86400 * delta / 1.5, rel=1e-12)
    assert "R" not in model.params
    assert "delta_D" not in model.params
    assert v["t_var"] == 86400.0


def test_exact_backend_agrees_with_sorvex_where_both_are_accurate() -> None:
    exact = sorvexfit.BlobModel("power_law", components=("syn",), backend="exact")
    approximate = sorvexfit.BlobModel("power_law", components=("syn",))
    a, b = exact.sed(), approximate.sed()
    mask = b > 1e-3 * b.max()
    np.testing.assert_allclose(a[mask], b[mask], rtol=1e-2)


# ---------------------------------------------------------------------------------------------
# Distributions and grids


def test_normalisations_are_exact_for_the_piecewise_power_law() -> None:
    gamma = log_grid([10.0, 1e3, 1e6], 50)
    shape = sorvexfit.BrokenPowerLaw().shape(
        gamma, {"p1": 2, "p2": 3, "gamma_b": 1e3, "gamma_min": 10, "gamma_max": 1e6}
    )
    n = normalise(gamma, shape, "n_e", 2.5, 1e16)
    exact = (1 / 10 - 1 / 1e3) * 1e6 + 0.5 * 1e9 * (1 / 1e6 - 1 / 1e12)  # ∫ shape dγ
    assert pwl_moment(gamma, n, 0) == pytest.approx(2.5, rel=1e-12)
    assert pwl_moment(gamma, shape, 0) == pytest.approx(exact, rel=1e-12)
    u_e = normalise(gamma, shape, "u_e", 1e-3, 1e16)
    l_e = normalise(gamma, shape, "L_e", 4.0 / 3.0 * math.pi * 1e32 * 29979245800.0 * 1e-3, 1e16)
    np.testing.assert_allclose(l_e, u_e, rtol=1e-12)


def test_grid_holds_its_anchors_exactly() -> None:
    anchors = [1.1, 10.0, 3.3e4, 1e7, 2e7]
    gamma = log_grid(anchors, 100)
    assert gamma.size == 100
    assert set(anchors) <= set(gamma.tolist())
    assert np.all(np.diff(gamma) > 0)


@pytest.mark.parametrize("backend", ["exact", "sorvex"])
def test_a_broken_power_law_radiates_from_its_anchors_as_from_its_grid(backend: str) -> None:
    model = sorvexfit.BlobModel("broken_power_law", components=("syn",), backend=backend)
    result = model.evaluate()
    assert result.segments == 2
    _, disc = components.synchrotron(
        backend, result.nu_blob, result.gamma, result.density, model.params["B"].value, 1e16
    )
    whole = components.observed(result.nu_blob, disc, 10.0, 1e16, result.luminosity_distance)
    mask = whole > 1e-6 * whole.max()
    np.testing.assert_allclose(result.seds["syn"][mask], whole[mask], rtol=1e-4)


def test_fewest_segments_keeps_the_tolerance_and_the_breaks() -> None:
    gamma = log_grid([10.0, 1e4, 1e6], 100)
    bpl = np.where(gamma <= 1e4, (gamma / 1e4) ** -2.0, (gamma / 1e4) ** -3.5)
    np.testing.assert_array_equal(gamma[fewest_segments(gamma, bpl, 1e-6)], [10.0, 1e4, 1e6])
    x = np.log10(gamma / 1e3)
    curved = 10.0 ** (-x * (2.0 + 0.3 * x))
    for rtol in (1e-3, 1e-2, 1e-1):
        keep = fewest_segments(gamma, curved, rtol)
        rebuilt = np.exp(np.interp(np.log(gamma), np.log(gamma[keep]), np.log(curved[keep])))
        assert np.max(np.abs(rebuilt / curved - 1)) <= rtol * (1 + 1e-9)
        assert keep[0] == 0
        assert keep[-1] == 99
    assert fewest_segments(gamma, curved, 1e-1).size < fewest_segments(gamma, curved, 1e-2).size
