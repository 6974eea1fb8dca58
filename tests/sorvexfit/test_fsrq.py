"""The FSRQ model: external Compton on the accretion disk, the broad-line region, the dust torus
and the CMB, the disk's and torus' own light, and the gamma-gamma absorption on their photons.

Limits and invariants: the Doppler scalings of EC against SSC, the thermal luminosities, the
model's optical depths against the kernels', the parameters through the CLI, the single line
model unchanged, and one default fit of PKS 1510-089."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest
from astropy.table import Table

import sorvexfit
from sorvexfit import kernels
from sorvexfit.cli import main
from sorvexfit.constants import L_EDD_PER_M_SUN, M_SUN
from sorvexfit.evaluation import evaluate, external_fields

HERE = Path(__file__).resolve().parent
DATA = HERE.parents[1] / "examples" / "data"
NU = np.geomspace(1e9, 1e27, 60)
GRIDS = {"n_gamma": 40, "n_nu": 60, "nu_range": (1e9, 1e27)}
JET = dict(B=1.0, R=3e16, z=0.36, n_e=1e3, p=2.5, gamma_min=30.0, gamma_max=1e5)


def fsrq(fields=("disk", "blr", "dt"), **options):
    options = {**GRIDS, **options}
    model = sorvexfit.make_model("ec", fields=fields, electrons="power_law", **options)
    return model.set(**JET)


# ---------------------------------------------------------------------------------------------
# Scalings and limits


@pytest.mark.parametrize(
    ("fields", "values"),
    [(("blr",), {"r": 1e14, "L_disk": 1e46}), (("cmb",), {})],
    ids=["deep-inside-the-BLR", "CMB"],
)
def test_an_agn_isotropic_field_boosts_as_delta_to_4_plus_2_alpha(fields, values) -> None:
    # Γ = δ: EC on a field isotropic in the AGN frame ∝ δ^(4+2α), SSC ∝ δ^(3+α) (up to a
    # logarithmic factor), α = (p-1)/2, in the Thomson regime (Dermer 1995, ApJ 446, L63).
    alpha = 0.75
    key = "ec_" + fields[0]
    slopes = {}
    parts = []
    for delta in (10.0, 11.0):
        model = sorvexfit.make_model(
            "ec", fields=fields, electrons="power_law", doppler="delta_D",
            nu_range=(1e10, 1e28), n_nu=61,
        )  # fmt: skip
        model.set(p=2.5, gamma_min=10, gamma_max=1e6, n_e=1e-3, B=0.01, z=0.1, R=1e16)
        parts.append(model.set(delta_D=delta, **values).evaluate())
    k = int(np.argmin(np.abs(np.log(parts[0].nu / 1e21))))
    for name in ("ssc", key):
        slopes[name] = math.log(parts[1].seds[name][k] / parts[0].seds[name][k]) / math.log(1.1)
    assert slopes["ssc"] == pytest.approx(3 + alpha, abs=0.1)  # a logarithmic factor
    assert slopes[key] == pytest.approx(4 + 2 * alpha, abs=0.02)


def test_an_agn_isotropic_field_sees_gamma_only_through_delta() -> None:
    # Two (Γ, θ) of one δ: the CMB's EC is the same, as are synchrotron and SSC.
    seds = []
    for gamma_bulk in (8.0, 20.0):
        delta = 12.0
        beta = math.sqrt(1 - gamma_bulk**-2)
        theta = math.degrees(math.acos((1 - 1 / (gamma_bulk * delta)) / beta))
        model = fsrq(("cmb",), thermal=False).set(Gamma=gamma_bulk, theta=theta)
        seds.append(model.evaluate().seds)
    for key in ("syn", "ssc", "ec_cmb"):
        mask = seds[0][key] > 1e-6 * seds[0][key].max()
        np.testing.assert_allclose(seds[1][key][mask], seds[0][key][mask], rtol=1e-6)


@pytest.mark.parametrize(("theta", "share"), [(0.0, 1.0), (60.0, 0.5)])
def test_the_disk_radiates_l_disk_with_its_cos_theta_projection(theta, share) -> None:
    # Both Lambertian faces of a disk to 1e5 R_g radiate L_disk (η = 1/12, R_in = 6 R_g) less
    # 3R_in/2R_out beyond; a face seen at θ looks like a source of 2 cos θ L_disk.
    model = sorvexfit.make_model("ec", fields=("disk",), nu_range=(1e11, 1e18), n_nu=800)
    evaluation = model.set(Gamma=10.0, theta=theta, R_out=1e5, L_disk=3e45, z=0.36).evaluate()
    nu, flux = evaluation.nu, evaluation.seds["disk"]
    d_l = evaluation.luminosity_distance
    luminosity = 4 * math.pi * d_l**2 * np.trapezoid(flux, np.log(nu))
    assert luminosity / (2 * share * 3e45) == pytest.approx(1 - 1.5 * 6 / 1e5, rel=2e-4)


def test_the_torus_radiates_xi_dt_l_disk() -> None:
    model = sorvexfit.make_model("ec", fields=("dt",), nu_range=(1e11, 1e16), n_nu=800)
    evaluation = model.set(L_disk=2e45, xi_DT=0.3, T_DT=1200.0, z=0.36).evaluate()
    nu, flux = evaluation.nu, evaluation.seds["dt"]
    d_l = evaluation.luminosity_distance
    luminosity = 4 * math.pi * d_l**2 * np.trapezoid(flux, np.log(nu))
    assert luminosity == pytest.approx(0.3 * 2e45, rel=1e-4)
    peak = nu[np.argmax(flux)] * 1.36  # Wien: νB_ν peaks at hν = 3.92 kT
    assert peak == pytest.approx(3.92 * 1.380649e-16 * 1200 / 6.62607015e-27, rel=1e-2)


# ---------------------------------------------------------------------------------------------
# Absorption on the fields


@pytest.mark.parametrize(
    ("r", "theta"), [(5e16, 2.0), (1e18, 4.0)], ids=["inside-the-BLR", "beyond-the-BLR"]
)
def test_the_model_absorbs_with_the_kernels_optical_depths(r: float, theta: float) -> None:
    model = fsrq(n_nu=120, nu_range=(1e20, 1e29)).set(Gamma=15.0, theta=theta, r=r)
    model.set(L_disk=5e45, M_BH=3e8, gamma_max=1e7)  # the jet reaches 1e27 Hz
    values = model.params.as_dict()
    evaluation = model.evaluate()
    fields = external_fields(model.config, values)
    nu = evaluation.nu * (1 + values["z"])
    expected = {
        "disk": kernels.gamma_gamma_disk(nu, *fields.disk(), r, fields.mu_s),
        "blr": kernels.gamma_gamma_blr(nu, *fields.blr(), r, fields.mu_s),
        "dt": kernels.gamma_gamma_torus(nu, *fields.dt(), r, fields.mu_s),
    }
    tau = evaluation.extra["tau_fields"]
    jet = sum(v for k, v in evaluation.seds.items() if k not in ("disk", "dt", "total"))
    shines = jet > 0.0  # τ where there is something to absorb
    for name, values_expected in expected.items():
        assert np.max(values_expected[shines]) > 0.05
        # Zeros below the threshold too: the model calls the kernels above it only.
        np.testing.assert_array_equal(tau[name][shines], values_expected[shines])
        assert np.all(tau[name][~shines] == 0.0)  # the jet has nothing there
    free = sorvexfit.BlobModel.of(model.config.with_options(gamma_gamma=False), model.params)
    transmitted = evaluation.seds["ec_blr"] / np.where(
        free.evaluate().seds["ec_blr"] > 0, free.evaluate().seds["ec_blr"], np.inf
    )
    inside = evaluation.seds["ec_blr"] > 1e-30
    total = sum(expected.values())
    internal = evaluation.extra["tau_gamma_gamma"]
    assert np.all(transmitted[inside] <= np.exp(-total[inside]) * (1 + 1e-12))
    # Where the blob's own photons absorb nothing, the fields alone account for it.
    clear = inside & (internal < 1e-12)
    np.testing.assert_allclose(transmitted[clear], np.exp(-total[clear]), rtol=1e-12)


# ---------------------------------------------------------------------------------------------
# Configuration, parameters and the CLI


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"fields": ("disk", "jet")}, "unknown field 'jet'"),
        ({"fields": ("disk",), "backend": "sorvex"}, "need backend='exact'"),
        ({"fields": ("blr",), "steady_state": True}, "cools the electrons on a line"),
        ({"fields": ("dt",), "scaled": ("R_XX",)}, "unknown radius"),
    ],
)
def test_bad_fields_are_refused_naming_the_option(options, message) -> None:
    with pytest.raises(sorvexfit.ParameterError, match=message):
        sorvexfit.configure("ec", **options)


def test_the_defaults_are_disk_blr_torus_with_gamma_and_theta() -> None:
    config = sorvexfit.configure("ec")
    assert config.fields == ("disk", "blr", "dt")
    assert config.doppler == "Gamma_theta"
    assert config.scaled == ("R_BLR", "R_DT")
    assert sorvexfit.configure("ec", ["delta_D"]).doppler == "delta_D"
    assert sorvexfit.configure("ec", ["R_BLR"]).scaled == ("R_DT",)
    assert sorvexfit.configure("ec", steady_state=True).fields == ("line",)
    params = sorvexfit.parameters(config)
    assert params["L_disk"].unit == "erg s-1"
    assert params["M_BH"].unit == "solMass"
    assert params["eta"].value == pytest.approx(1 / 12)
    assert params["T_DT"].value == 1000.0
    assert "R_BLR" not in params
    assert "u_ext" not in params


def test_scaled_radii_follow_l_disk_unless_given() -> None:
    model = fsrq()
    model.set(L_disk=4e45)
    fields = external_fields(model.config, model.params.as_dict())
    assert fields.r_blr == pytest.approx(2e17)
    assert fields.r_dt == pytest.approx(5e18)
    given = sorvexfit.BlobModel.of(sorvexfit.configure("ec", ["R_BLR"], **GRIDS))
    given.set(L_disk=4e45, R_BLR=3e17)
    fields = external_fields(given.config, given.params.as_dict())
    assert fields.r_blr == 3e17
    assert fields.r_dt == pytest.approx(5e18)
    assert fields.m_bh == 1e9 * M_SUN


def test_the_eddington_ratio_gives_the_black_hole_mass() -> None:
    """l_Edd set instead of M_BH: M_BH = L_disk/(l_Edd × 1.26e38 erg/s), the same SED as that
    mass given; both at once are refused."""
    by_ratio = sorvexfit.BlobModel.of(
        sorvexfit.configure("ec", ["l_Edd"], electrons="power_law", **GRIDS)
    )
    assert "l_Edd" in by_ratio.params
    assert "M_BH" not in by_ratio.params
    by_ratio.set(**JET, L_disk=4e45, l_Edd=0.2)
    mass = 4e45 / (0.2 * 1.2572e38)
    assert external_fields(by_ratio.config, by_ratio.params.as_dict()).m_bh == pytest.approx(
        mass * M_SUN, rel=1e-4
    )
    by_mass = fsrq().set(L_disk=4e45, M_BH=4e45 / (0.2 * L_EDD_PER_M_SUN))
    np.testing.assert_array_equal(by_ratio.sed(NU), by_mass.sed(NU))
    with pytest.raises(sorvexfit.ParameterError, match="black-hole mass two ways"):
        sorvexfit.configure("ec", ["l_Edd", "M_BH"])


def test_field_parameters_round_trip_through_the_cli(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    assert main(["params", "--model", "ec"]) == 0
    listed = capsys.readouterr().out
    for name in ("L_disk", "M_BH", "eta", "R_in", "R_out", "r", "xi_BLR", "nu_line", "xi_DT",
                 "T_DT", "R_BLR", "R_DT", "Gamma", "theta"):  # fmt: skip
        assert f"\n{name} " in listed
    out = tmp_path / "fsrq.ecsv"
    argv = ["sed", "--model", "ec", "--fields", "disk,blr,dt,cmb", "--n-nu", "40"]
    for text in ("L_disk=3e45 erg/s", "M_BH=5e8", "R_BLR=2e17 cm", "r=1e17", "z=0.36"):
        argv += ["--set", text]
    assert main([*argv, "--out", str(out)]) == 0
    table = Table.read(out, format="ascii.ecsv")
    for key in ("syn", "ssc", "ec_disk", "ec_blr", "ec_dt", "ec_cmb", "disk", "dt"):
        assert f"nuFnu_{key}" in table.colnames
    parts = sum(table[c] for c in table.colnames if c.startswith("nuFnu_"))
    np.testing.assert_allclose(table["nuFnu"], parts, rtol=1e-12)
    parameters = table.meta["parameters"]
    assert parameters["L_disk"]["value"] == 3e45
    assert parameters["R_BLR"]["value"] == 2e17
    assert parameters["M_BH"] == {"value": 5e8, "unit": "solMass"}
    assert "R_DT" not in parameters


@pytest.mark.parametrize(
    "argv", [["--model", "ec", "--fields", "disk,jet"], ["--model", "ssc", "--fields", "disk"]]
)
def test_bad_fields_at_the_cli_are_one_line_and_exit_2(
    argv: list[str], capsys: pytest.CaptureFixture[str]
) -> None:
    assert main(["params", *argv]) == 2
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1
    assert "fields" in err


def test_the_single_line_model_is_unchanged_bit_for_bit() -> None:
    # Recorded from the model before the nucleus' fields existed (blob-frame line, exact
    # and sorvex backends, a steady state): syn, ssc, ec, total of each.
    recorded = np.loadtxt(HERE / "data" / "line_model.csv", delimiter=",").T
    values = dict(B=0.5, R=3e16, delta_D=18.0, z=0.36, u_ext=2e-2, nu_ext=4e16)
    cases = [
        dict(backend="exact", electrons="broken_power_law"),
        dict(backend="sorvex", electrons="log_parabola"),
        dict(backend="exact", electrons="power_law", steady_state=True),
    ]
    rows = []
    for case in cases:
        model = sorvexfit.make_model("ec", fields=("line",), n_gamma=40, n_nu=50, **case)
        model.set(**values, **({"L_inj": 1e42} if "steady_state" in case else {}))
        seds = model.evaluate().seds
        rows += [seds[key] for key in ("syn", "ssc", "ec", "total")]
    np.testing.assert_array_equal(np.array(rows), recorded)


# ---------------------------------------------------------------------------------------------
# PKS 1510-089


@pytest.mark.slow
def test_the_default_fit_of_pks1510_low_state_converges(tmp_path: Path) -> None:
    from sorvexfit.fit import FitOptions
    from sorvexfit.fit.run import run_fit

    result = run_fit(DATA / "PKS1510-089_low.ecsv", FitOptions(model="ec"), tmp_path / "out")
    assert result.converged, result.message
    assert result.chi2 / result.dof < 3.0
    best = result.best
    assert 1e45 < best["L_disk"] < 3e46  # the optical-UV bump
    assert 3 < best["Gamma"] < 50
    config = sorvexfit.configure("ec", radius="t_var", ebl="dominguez")
    seds = evaluate(config, best).seds
    assert {"disk", "dt", "ec_blr", "ec_dt", "ec_disk"} <= set(seds)
