"""External Compton and pair production on the photon fields of an active nucleus
(sorvexfit.kernels.external_compton_* and gamma_gamma_disk/blr/torus): against brute-force
quadrature in the coordinates of the emitting surfaces (external_reference.py), their known
limits, Thomson-regime scalings, energy conservation, agnpy and threads. Their bad arguments are
in the one table of test_kernels.py.

Accuracy is the largest relative error where nu * j (or tau) exceeds 1e-3 of its peak."""

from __future__ import annotations

import math
import os
import subprocess
import sys
from pathlib import Path

import external_reference as ref
import numpy as np
import pytest

from sorvexfit import kernels

L_DISK = 1e46
M_BH = 1e9 * 1.98847e33
LYA = 2.47e15
R_BLR = 1e17
ELECTRONS = ref.PowerLaw(1e2, 1e5, 2.5)
GAMMA, N = ELECTRONS.grid()
DATA = Path(__file__).resolve().parent / "data"


def band_error(nu: np.ndarray, values: np.ndarray, reference: np.ndarray) -> float:
    weight = nu * reference
    mask = weight > 1e-3 * weight.max()
    return float(np.max(np.abs(values[mask] / reference[mask] - 1.0)))


# ---------------------------------------------------------------------------------------------
# Brute-force quadrature


EC_NU = np.geomspace(1e16, 1e25, 7)


@pytest.mark.parametrize(
    ("r", "mu_s"),
    [(3e16, 0.99), (3e16, 1.0), (0.9e17, 0.99), (3e17, 0.998), (3e17, 1.0)],
    ids=["inside", "inside-axis", "near-shell", "outside", "outside-axis"],
)
def test_blr_against_quadrature_over_the_shell(r: float, mu_s: float) -> None:
    nu = np.geomspace(1e18, 1e25, 6)
    j = kernels.external_compton_blr(nu, L_DISK, 0.1, LYA, R_BLR, r, 10.0, mu_s, GAMMA, N)
    expected = ref.ec_blr(nu, L_DISK, 0.1, LYA, R_BLR, r, 10.0, mu_s, ELECTRONS)
    assert band_error(nu, j, expected) < 1e-3


@pytest.mark.parametrize(("r", "mu_s"), [(1e17, 0.999), (1e17, 1.0), (3e16, 0.99)])
def test_disk_against_quadrature_over_the_disk(r: float, mu_s: float) -> None:
    j = kernels.external_compton_disk(EC_NU, L_DISK, M_BH, 1 / 12, 6, 200, r, 10.0, mu_s, GAMMA, N)
    expected = ref.ec_disk(EC_NU, L_DISK, M_BH, 1 / 12, 6, 200, r, 10.0, mu_s, ELECTRONS)
    assert band_error(EC_NU, j, expected) < 1e-4


@pytest.mark.parametrize(("r", "mu_s"), [(1e17, 0.999), (1e17, 1.0), (5e18, 0.99)])
def test_torus_against_quadrature_over_the_ring(r: float, mu_s: float) -> None:
    j = kernels.external_compton_torus(EC_NU, L_DISK, 0.6, 1000, 2e18, r, 10.0, mu_s, GAMMA, N)
    expected = ref.ec_torus(EC_NU, L_DISK, 0.6, 1000, 2e18, r, 10.0, mu_s, ELECTRONS)
    assert band_error(EC_NU, j, expected) < 1e-3


def test_isotropic_line_against_quadrature_over_angles() -> None:
    nu = np.geomspace(1e18, 1e25, 8)
    j = kernels.external_compton_isotropic_line(nu, 1e-2, LYA, 5.0, 0.99, GAMMA, N)
    assert band_error(nu, j, ref.ec_isotropic_line(nu, 1e-2, LYA, 5.0, 0.99, ELECTRONS)) < 1e-5


def test_a_narrow_isotropic_table_is_the_isotropic_line() -> None:
    # A narrow table around nu0 (a flat I_nu over 1e-4 in frequency) is the line.
    nu0, u = 1e13, 1e-3
    seed_nu = nu0 * np.array([1 - 5e-5, 1 + 5e-5])
    intensity = u * ref.C_LIGHT / (4 * math.pi * (seed_nu[1] - seed_nu[0]))
    nu = np.geomspace(1e15, 1e22, 8)
    table = kernels.external_compton_isotropic(
        nu, seed_nu, [intensity, intensity], 10.0, 0.99, GAMMA, N
    )
    line = kernels.external_compton_isotropic_line(nu, u, nu0, 10.0, 0.99, GAMMA, N)
    assert band_error(nu, table, line) < 1e-4


# ---------------------------------------------------------------------------------------------
# Limits and scalings


def test_deep_inside_the_shell_is_the_isotropic_line() -> None:
    u = 0.1 * L_DISK / (4 * math.pi * R_BLR**2 * ref.C_LIGHT)
    nu = np.geomspace(1e16, 1e25, 40)
    for gamma_bulk, mu_s in [(1.0, 1.0), (5.0, 1.0), (20.0, math.cos(0.05))]:
        shell = kernels.external_compton_blr(
            nu, L_DISK, 0.1, LYA, R_BLR, 1e13, gamma_bulk, mu_s, GAMMA, N
        )
        line = kernels.external_compton_isotropic_line(nu, u, LYA, gamma_bulk, mu_s, GAMMA, N)
        assert band_error(nu, shell, line) < 1e-6


def point_source_behind(nu, luminosity, nu0, r, gamma_bulk, mu_s):
    """A point source at the origin: photons along +z, u = L / (4 pi r^2 c), w = 1 - mu_s."""
    eps0 = nu0 * ref.TO_EPS
    delta = ref.doppler(gamma_bulk, mu_s)
    photons = luminosity / (4 * math.pi * r**2 * ref.C_LIGHT) / (eps0 * ref.ME_C2)
    return np.array(
        [
            ref.EC_CONSTANT
            * f
            * ref.TO_EPS
            * photons
            / eps0
            * ELECTRONS.kernel(f * ref.TO_EPS, np.array([delta * eps0 * (1 - mu_s)]))[0]
            for f in nu
        ]
    )


@pytest.mark.parametrize("mu_s", [math.cos(0.1), math.cos(0.3)])
def test_far_beyond_the_shell_is_a_point_source_behind_the_blob(mu_s: float) -> None:
    r = 1e4 * R_BLR  # the shell subtends 1e-4 rad
    nu = np.geomspace(1e16, 1e25, 30)
    j = kernels.external_compton_blr(nu, L_DISK, 0.1, LYA, R_BLR, r, 10.0, mu_s, GAMMA, N)
    expected = point_source_behind(nu, 0.1 * L_DISK, LYA, r, 10.0, mu_s)
    assert band_error(nu, j, expected) < 1e-3


def test_thomson_angle_and_doppler_scalings() -> None:
    # Power-law electrons, Thomson regime, far from the spectral ends: a point source gives
    # j' ∝ [delta (1 - cos psi)]^((p+1)/2) (Dermer 1995); an AGN-frame isotropic field
    # delta^((p+1)/2), so nu F_nu ∝ delta^(4 + 2 alpha) against delta^(3 + alpha) for SSC.
    p = ELECTRONS.p
    nu = np.array([1e19, 3e19])
    r = 1e4 * R_BLR
    values = {}
    for gamma_bulk, theta in [(10.0, 0.1), (10.0, 0.3), (4.0, 0.3)]:
        mu = math.cos(theta)
        j = kernels.external_compton_blr(nu, L_DISK, 0.1, LYA, R_BLR, r, gamma_bulk, mu, GAMMA, N)
        values[gamma_bulk, theta] = (j, ref.doppler(gamma_bulk, mu) * (1 - mu))
    (j1, a1), (j2, a2), (j3, a3) = values.values()
    np.testing.assert_allclose(j2 / j1, (a2 / a1) ** ((p + 1) / 2), rtol=1e-3)
    np.testing.assert_allclose(j3 / j2, (a3 / a2) ** ((p + 1) / 2), rtol=1e-3)
    iso = [
        kernels.external_compton_isotropic_line(nu, 1e-3, 2.47e12, g, m, GAMMA, N)
        for g, m in [(10.0, 0.995), (3.0, 0.9)]
    ]
    ratio = ref.doppler(10.0, 0.995) / ref.doppler(3.0, 0.9)
    np.testing.assert_allclose(iso[0] / iso[1], ratio ** ((p + 1) / 2), rtol=1e-3)


def test_isotropic_line_at_rest_is_the_isotropic_klein_nishina_kernel() -> None:
    # At gamma_bulk = 1 the head-on kernel integrated over angles is the isotropic one of
    # Jones (1968) up to O(1 / gamma^2).
    nu = np.geomspace(1e16, 1e28, 60)
    gamma = np.geomspace(1e2, 1e6, 60)
    n = gamma**-2.5
    ec = kernels.external_compton_isotropic_line(nu, 1e-2, LYA, 1.0, 0.3, gamma, n)
    assert band_error(nu, ec, kernels.inverse_compton_line(nu, 1e-2, LYA, gamma, n)) < 1e-6


IR_LINE = 2.47e12  # a cool line keeps 1e3-electrons in the Thomson regime (4 gamma eps = 4e-5)


@pytest.mark.parametrize(
    ("field", "r", "gamma_e"),
    [
        ("blr", 30 * R_BLR, 1e3),
        ("blr", 0.3 * R_BLR, 1e3),
        ("torus", 30 * 2e18, 1e2),
        ("torus", 0.05 * 2e18, 1e2),
        ("disk", 1e20, 30.0),
    ],
)
def test_energy_conservation(field: str, r: float, gamma_e: float) -> None:
    # At gamma_bulk = 1 a Thomson electron radiates (4/3) c sigma_T gamma^2 u averaged over the
    # directions of the observer, whatever the anisotropy of the field: the scattered power
    # measures the energy density u at the blob, which follows from the luminosity: from a shell
    # L / (4 pi c) (1 / (2 r R)) ln((r + R) / |r - R|), from a ring L / (4 pi c (R^2 + r^2)),
    # from a Lambertian disk far on its axis L_disk' / (2 pi r^2 c), L_disk' its own luminosity.
    gamma = np.array([gamma_e, gamma_e * 1.001])
    n = np.array([1.0, 1.0])
    nu = np.geomspace(1e8, 1e24, 1601)
    mu, w_mu = np.polynomial.legendre.leggauss(24)
    power = 0.0
    for m, w in zip(mu, w_mu, strict=True):
        if field == "blr":
            j = kernels.external_compton_blr(nu, L_DISK, 0.1, IR_LINE, R_BLR, r, 1.0, m, gamma, n)
        elif field == "torus":
            j = kernels.external_compton_torus(nu, L_DISK, 0.6, 1e3, 2e18, r, 1.0, m, gamma, n)
        else:
            j = kernels.external_compton_disk(
                nu, 1e42, 10 * M_BH, 1 / 12, 6, 200, r, 1.0, m, gamma, n
            )
        power += 0.5 * w * 4 * math.pi * np.trapezoid(nu * j, np.log(nu))
    u = power / (4 / 3 * ref.C_LIGHT * ref.SIGMA_T * np.trapezoid(n * gamma**2, gamma))
    if field == "blr":
        expected = (
            0.1
            * L_DISK
            / (4 * math.pi * ref.C_LIGHT)
            * math.log((r + R_BLR) / abs(r - R_BLR))
            / (2 * r * R_BLR)
        )
    elif field == "torus":
        expected = 0.6 * L_DISK / (4 * math.pi * ref.C_LIGHT * (4e36 + r**2))
    else:
        x = 6 / 200  # L' = L (1 - 3 x + 2 x^1.5) at eta = 1/12, R_in = 6 R_g
        expected = 1e42 * (1 - 3 * x + 2 * x**1.5) / (2 * math.pi * r**2 * ref.C_LIGHT)
    assert u == pytest.approx(expected, rel=1e-3)


# ---------------------------------------------------------------------------------------------
# Absorption


def transmission_error(tau: np.ndarray, expected: np.ndarray) -> float:
    return float(np.max(np.abs(np.exp(-tau) - np.exp(-expected))))


@pytest.mark.parametrize(("r", "mu_s"), [(1e17, 0.999), (3e16, 1.0)])
def test_disk_absorption_against_a_path_integral(r: float, mu_s: float) -> None:
    nu = np.geomspace(1e24, 1e28, 7)
    tau = kernels.gamma_gamma_disk(nu, L_DISK, M_BH, 1 / 12, 6, 200, r, mu_s)
    expected = ref.tau_disk(nu, L_DISK, M_BH, 1 / 12, 6, 200, r, mu_s)
    mask = expected > 0.1  # above the onset, which rises within a few per cent in energy
    assert np.max(np.abs(tau[mask] / expected[mask] - 1)) < 1e-3
    assert transmission_error(tau, expected) < 1e-4


@pytest.mark.parametrize(("r", "mu_s"), [(1e17, 0.999), (5e18, 0.99)])
def test_torus_absorption_against_a_path_integral(r: float, mu_s: float) -> None:
    nu = np.geomspace(1e25, 1e29, 7)
    tau = kernels.gamma_gamma_torus(nu, L_DISK, 0.6, 1000, 2e18, r, mu_s)
    expected = ref.tau_torus(nu, L_DISK, 0.6, 1000, 2e18, r, mu_s)
    mask = expected > 0.1  # above the onset, which rises within a few per cent in energy
    assert np.max(np.abs(tau[mask] / expected[mask] - 1)) < 1e-3
    assert transmission_error(tau, expected) < 1e-3


@pytest.mark.parametrize(("r", "mu_s"), [(3e17, 0.99), (3e17, 1.0), (1.5e17, 0.999)])
def test_blr_absorption_against_a_path_integral(r: float, mu_s: float) -> None:
    # A line switches on at its threshold, where tau rises within a few per cent in energy;
    # there the transmission is compared (the reference itself moves by 4e-2 of tau at the onset
    # between 60 and 96 nodes on the path), above it the optical depth.
    nu = np.geomspace(1e25, 1e28, 7)
    tau = kernels.gamma_gamma_blr(nu, L_DISK, 0.1, LYA, R_BLR, r, mu_s)
    expected = ref.tau_blr(nu, L_DISK, 0.1, LYA, R_BLR, r, mu_s)
    assert transmission_error(tau, expected) < 1e-2
    above = expected > 0.3
    assert np.max(np.abs(tau[above] / expected[above] - 1)) < 2e-3


def test_absorption_depends_on_the_direction_and_vanishes_far_away() -> None:
    nu = np.geomspace(1e25, 1e28, 5)
    near = kernels.gamma_gamma_disk(nu, L_DISK, M_BH, 1 / 12, 6, 200, 1e16, 1.0)
    far = kernels.gamma_gamma_disk(nu, L_DISK, M_BH, 1 / 12, 6, 200, 1e19, 1.0)
    tilted = kernels.gamma_gamma_disk(nu, L_DISK, M_BH, 1 / 12, 6, 200, 1e16, 0.5)
    assert np.all(far < 1e-3 * near.max())
    assert np.all(tilted[near > 0] > near[near > 0])


# ---------------------------------------------------------------------------------------------
# agnpy (0.5.1): a recorded comparison


def test_agnpy_reference_table() -> None:
    """agnpy 0.5.1's ExternalCompton on SphericalShellBLR (r = 3e17 cm, Gamma = 10,
    mu_s = 0.998, electrons gamma^-2.5 on 1e2..1e5, its default grids), recorded by
    bench/sections/external.py as the blob-frame emissivity: its trapezoids over the shell agree
    with the exact angles within 3.3e-2 where nu j exceeds 1e-2 of its peak (at the top of the
    spectrum, 2.5e-3 of the peak, its grid in gamma gives 0)."""
    nu, j_agnpy = np.loadtxt(DATA / "agnpy_ec_blr.csv", delimiter=",", unpack=True)
    j = kernels.external_compton_blr(nu, L_DISK, 0.1, LYA, R_BLR, 3e17, 10.0, 0.998, GAMMA, N)
    core = nu * j > 1e-2 * np.max(nu * j)
    assert np.max(np.abs(j_agnpy[core] / j[core] - 1)) < 4e-2


# ---------------------------------------------------------------------------------------------
# Threads and arguments


def test_results_are_bit_identical_for_one_and_two_threads(tmp_path: Path) -> None:
    script = """
import sys, numpy as np
sys.path.insert(0, {here!r})
from sorvexfit import kernels
g, n = np.geomspace(1e2, 1e6, 100), np.geomspace(1e2, 1e6, 100) ** -2.5
nu = np.geomspace(1e14, 1e28, 120)
out = [
    kernels.external_compton_disk(nu, 1e46, 2e42, 1 / 12, 6, 200, 1e17, 10.0, 0.999, g, n),
    kernels.external_compton_blr(nu, 1e46, 0.1, 2.47e15, 1e17, 3e16, 10.0, 0.999, g, n),
    kernels.external_compton_torus(nu, 1e46, 0.6, 1e3, 2e18, 1e17, 10.0, 0.999, g, n),
    kernels.gamma_gamma_disk(nu, 1e46, 2e42, 1 / 12, 6, 200, 1e17, 0.999),
    kernels.gamma_gamma_blr(nu, 1e46, 0.1, 2.47e15, 1e17, 3e16, 0.999),
    kernels.gamma_gamma_torus(nu, 1e46, 0.6, 1e3, 2e18, 1e17, 0.999),
]
np.save(sys.argv[1], np.array(out))
"""
    path = tmp_path / "run.py"
    path.write_text(script.format(here=str(Path(__file__).parent)))
    results = []
    for threads in ("1", "2"):
        out = tmp_path / f"{threads}.npy"
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        subprocess.run([sys.executable, str(path), str(out)], check=True, env=env)
        results.append(np.load(out))
    assert np.array_equal(results[0], results[1])
    assert np.all(np.isfinite(results[0]))
    assert results[0].max() > 0


def test_a_field_of_zero_luminosity_gives_zeros() -> None:
    j = kernels.external_compton_disk(EC_NU, 0.0, M_BH, 0.1, 6.0, 200.0, 1e17, 10.0, 0.99, GAMMA, N)
    tau = kernels.gamma_gamma_blr(EC_NU, 0.0, 0.1, LYA, R_BLR, 3e16, 1.0)
    assert not j.any()
    assert not tau.any()
