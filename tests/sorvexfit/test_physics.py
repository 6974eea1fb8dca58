"""The model against closed forms and scaling laws of the literature."""

from __future__ import annotations

import math
from pathlib import Path

import ebltable
import numpy as np
import pytest
from astropy import units as u
from astropy.cosmology import Planck18
from cases import relevant, thin_ssc_model
from scipy.special import gamma as gamma_fn

import sorvexfit
from sorvexfit.constants import C_LIGHT, E_CHARGE, M_E, SIGMA_T


def rybicki_lightman_j(nu: np.ndarray, k: float, p: float, b_field: float) -> np.ndarray:
    """j_ν per sr of n = K γ^-p (Rybicki & Lightman 6.36), averaged over isotropic pitch angles
    (⟨sin^((p+1)/2) α⟩ = √π Γ((p+5)/4) / (2 Γ((p+7)/4)))."""
    omega = 2.0 * math.pi * nu
    pitch = math.sqrt(math.pi) / 2.0 * gamma_fn((p + 5) / 4) / gamma_fn((p + 7) / 4)
    power = (
        math.sqrt(3.0)
        * E_CHARGE**3
        * k
        * b_field
        / (2.0 * math.pi * M_E * C_LIGHT**2 * (p + 1))
        * gamma_fn(p / 4 + 19 / 12)
        * gamma_fn(p / 4 - 1 / 12)
        * (M_E * C_LIGHT * omega / (3.0 * E_CHARGE * b_field)) ** (-(p - 1) / 2)
        * pitch
    )  # per unit volume and angular frequency
    return 2.0 * math.pi * power / (4.0 * math.pi)


BACKENDS = pytest.mark.parametrize("backend", ["exact", "sorvex"])


@BACKENDS
@pytest.mark.parametrize(("delta", "z"), [(1.5, 0.01), (10.0, 0.1), (30.0, 1.0)])
def test_thin_synchrotron_is_the_textbook_power_law_boosted(
    delta: float, z: float, backend: str
) -> None:
    p, g_min, g_max, n_e, b_field, radius = 2.5, 10.0, 1e7, 1e-3, 1.0, 1e15
    model = sorvexfit.BlobModel(
        "power_law", components=("syn",), nu_range=(1e9, 1e22), n_nu=60, backend=backend
    )
    model.set(p=p, gamma_min=g_min, gamma_max=g_max, n_e=n_e, B=b_field, R=radius)
    model.set(delta_D=delta, z=z)
    result = model.evaluate()
    nu_blob = result.nu_blob
    # Far from both ends of the electrons, where the finite power law is an infinite one.
    inside = (nu_blob > 1e12) & (nu_blob < 1e16)
    k = n_e * (p - 1) / (g_min ** (1 - p) - g_max ** (1 - p))
    d_l = Planck18.luminosity_distance(z).to_value(u.cm)
    volume = 4.0 / 3.0 * math.pi * radius**3
    j = rybicki_lightman_j(nu_blob, k, p, b_field)
    expected = delta**4 * nu_blob * 4.0 * math.pi * volume * j / (4.0 * math.pi * d_l**2)
    assert np.allclose(result.nu, delta * nu_blob / (1 + z), rtol=1e-14)
    assert inside.sum() >= 15
    np.testing.assert_allclose(result.seds["syn"][inside], expected[inside], rtol=1e-3)


@BACKENDS
def test_ssc_scales_as_density_squared_and_ec_as_field(backend: str) -> None:
    model = thin_ssc_model(backend=backend)
    base = model.evaluate().seds
    model.set(n_e=2e-3)
    double = model.evaluate().seds
    for name, factor in (("syn", 2.0), ("ssc", 4.0), ("ec", 2.0)):
        mask = relevant(base[name])
        np.testing.assert_allclose(double[name][mask] / base[name][mask], factor, rtol=1e-6)
    model.set(n_e=1e-3, u_ext=3e-3)
    tripled = model.evaluate().seds
    mask = relevant(base["ec"])
    np.testing.assert_allclose(tripled["ec"][mask] / base["ec"][mask], 3.0, rtol=1e-12)
    np.testing.assert_array_equal(tripled["ssc"], base["ssc"])


@BACKENDS
def test_doppler_exponents_of_ssc_and_ec_differ_as_in_the_literature(backend: str) -> None:
    """At a fixed observed frequency in the power-law part (α = (p-1)/2 = 0.75): νF_ν ∝
    δ^(3+α) for SSC and for a field isotropic in the blob frame, δ^(4+2α) for a field isotropic
    in the AGN frame with Γ = δ (Dermer 1995)."""
    alpha = 0.75

    def exponents(frame: str) -> dict[str, float]:
        seds = []
        for delta in (10.0, 11.0):
            model = thin_ssc_model(ec_frame=frame, backend=backend)
            model.set(delta_D=delta, nu_ext=1e13 if frame == "blob" else 1e12)
            seds.append(model.evaluate())
        k = int(np.argmin(np.abs(np.log(seds[0].nu / 1e21))))
        return {
            name: math.log(seds[1].seds[name][k] / seds[0].seds[name][k]) / math.log(1.1)
            for name in ("ssc", "ec")
        }

    blob, agn = exponents("blob"), exponents("agn")
    assert blob["ec"] == pytest.approx(3 + alpha, abs=0.01)
    assert agn["ec"] == pytest.approx(4 + 2 * alpha, abs=0.02)
    # SSC in the Thomson regime carries a logarithmic factor: the exponent is 3 + α ± 0.1.
    assert blob["ssc"] == pytest.approx(3 + alpha, abs=0.1)
    assert agn["ssc"] == blob["ssc"]


def test_ebl_optical_depth_is_the_library_value() -> None:
    ebl = sorvexfit.EBL("dominguez")
    table = np.loadtxt(Path(ebltable.__file__).parent / "data" / "tau_dominguez11_cta.out")
    z_values, energies_tev, tau = table[0, 1:], table[1:, 0], table[1:, 1:]
    k, m = 20, 5  # an interior tabulated point
    h_tev = 4.135667696923859e-15 * 1e-12  # TeV s
    nu = np.array([energies_tev[k] / h_tev])
    assert ebl.tau(nu, z_values[m])[0] == pytest.approx(tau[k, m], rel=1e-9)
    own = ebl.table().opt_depth(z_values[m], energies_tev[k])
    assert ebl.tau(nu, z_values[m])[0] == pytest.approx(float(own), rel=1e-12)


def test_ebl_absorbs_only_the_gamma_rays_and_vanishes_towards_z_zero() -> None:
    plain = thin_ssc_model()
    absorbed = thin_ssc_model(ebl="dominguez")
    for model in (plain, absorbed):
        model.set(z=0.3)
    a, b = plain.evaluate(), absorbed.evaluate()
    radio = a.nu < 1e20
    np.testing.assert_array_equal(b.seds["total"][radio], a.seds["total"][radio])
    gamma_rays = (a.nu > 1e25) & (a.seds["total"] > 0)
    ratio = b.seds["total"][gamma_rays] / a.seds["total"][gamma_rays]
    assert np.all(ratio < 1.0)
    assert ratio.min() < 0.3  # τ > 1 near a TeV at z = 0.3
    for model in (plain, absorbed):
        model.set(z=1e-6)
    a, b = plain.evaluate(), absorbed.evaluate()
    np.testing.assert_allclose(b.seds["total"], a.seds["total"], rtol=1e-4)


@BACKENDS
def test_steady_state_breaks_where_cooling_equals_escape(backend: str) -> None:
    """Synchrotron cooling only, injection ∝ γ^-2: n ∝ Q t_esc below the break and
    ∝ γ^-3 / (b (p-1)) above; for p = 2 the two asymptotes cross at γ_b = 1/(b t_esc),
    where t_cool = t_esc. The implicit step upwinds the cooling flux with the mean drift of
    two neighbours, which lifts the cooled part by about one grid step (1 + Δ ln γ): the
    crossing lies within 1.5 grid steps of γ_b (1.35 at this grid)."""
    model = sorvexfit.BlobModel(
        "power_law", components=("syn",), steady_state=True, n_gamma=200, backend=backend
    )
    b_field, radius = 0.5, 1e16
    model.set(p=2.0, gamma_min=3, gamma_max=1e8, B=b_field, R=radius, t_esc=1.0, t_acc=1e9)
    result = model.evaluate()
    gamma, n = result.gamma, result.density
    assert result.steady is not None
    assert result.steady.converged
    u_b = b_field**2 / (8 * math.pi)
    b = 4.0 / 3.0 * SIGMA_T * C_LIGHT * u_b / (M_E * C_LIGHT**2)
    gamma_b = 1.0 / (b * radius / C_LIGHT)
    # The asymptotes, a factor 30 away from the break and from the ends of the injection.
    low = (gamma > 30 * 3) & (gamma < gamma_b / 30)
    high = (gamma > 30 * gamma_b) & (gamma < 1e8 / 30)
    assert low.sum() > 10
    assert high.sum() > 10
    crossing = np.median(n[high] * gamma[high] ** 3) / np.median(n[low] * gamma[low] ** 2)
    step = math.log(gamma[1] / gamma[0])
    assert abs(math.log(crossing / gamma_b)) < 1.5 * step


def test_steady_state_with_ssc_and_ec_cooling_converges_and_steepens() -> None:
    model = sorvexfit.make_model("ec", electrons="power_law", steady_state=True, n_gamma=60)
    model.set(p=2.2, gamma_min=100, gamma_max=1e6, L_inj=1e41, B=0.1, u_ext=1e-2, nu_ext=1e13)
    result = model.evaluate()
    assert result.steady is not None
    assert result.steady.converged
    assert result.steady.change < 1e-3
    weak = sorvexfit.make_model("ec", electrons="power_law", steady_state=True, n_gamma=60)
    weak.set(p=2.2, gamma_min=100, gamma_max=1e6, L_inj=1e41, B=0.1, u_ext=1e-8, nu_ext=1e13)
    reference = weak.evaluate()
    # u_ext = 25 u_B, Thomson up to γ ≈ 3e6: the cooling break moves from ~2e5 down to
    # ~1e4, and between the two the cooled density falls as 1/γ against the other.
    middle = (result.gamma > 1e4) & (result.gamma < 1e5)
    ratio = result.density[middle] / reference.density[middle]
    assert np.all(np.diff(ratio) < 0.0)
    assert ratio[-1] < 0.2


def test_gamma_gamma_absorbs_the_ssc_as_a_sphere_as_thick_as_twice_the_kernel_depth() -> None:
    """The kernel gives τ = R α_γγ; the transfer through the sphere takes the coefficient, so the
    escaping SSC is that of a uniform sphere of optical depth 2Rα_γγ (its diameter): the
    disc-averaged intensity j/α (1 - 2 (1 - (1 + t) e^-t) / t²), t = 2 τ, relative to its thin
    value 4jR/3. Where the synchrotron is gone (γ rays), that ratio alone separates the two."""
    kind = {"components": ("syn", "ssc"), "nu_range": (1e10, 1e28), "n_nu": 81}
    values = {"p": 2.5, "gamma_min": 10, "gamma_max": 1e7, "n_e": 1000, "B": 1.0, "R": 1e16}
    absorbed = sorvexfit.BlobModel("power_law", **kind).set(**values).evaluate()
    free = sorvexfit.BlobModel("power_law", gamma_gamma=False, **kind).set(**values).evaluate()
    tau = absorbed.extra["tau_gamma_gamma"]
    gamma_rays = (absorbed.nu_blob > 1e22) & relevant(free.seds["ssc"])
    t = 2.0 * tau[gamma_rays]
    assert t.max() > 3.0
    assert t.min() < 0.1
    escape = 1.5 / t * (1.0 - 2.0 * (1.0 - (1.0 + t) * np.exp(-t)) / t**2)
    ratio = absorbed.seds["ssc"][gamma_rays] / free.seds["ssc"][gamma_rays]
    np.testing.assert_allclose(ratio, escape, rtol=1e-4)
    # The synchrotron photons themselves are not absorbed, and nothing is absorbed below the
    # pair threshold of the highest synchrotron photons.
    np.testing.assert_array_equal(absorbed.seds["syn"], free.seds["syn"])
    assert np.all(tau[absorbed.nu_blob < 1e18] == 0.0)
