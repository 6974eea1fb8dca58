"""Brute-force references for the external-field kernels, written from the textbook formulas in
the nucleus' frame and in the coordinates of the emitting surfaces (no reduction to one seed
variable, no elliptic integrals): dense Gauss-Legendre grids in NumPy.

External Compton in the head-on approximation (Dermer & Menon 2009, eq. 6.100; Finke 2016), for
isotropic electrons n(gamma) of the blob toward the observer, per steradian, blob frame:
    j'(eps_s) = h eps_s (3 c sigma_T / (32 pi)) int dOmega deps n(eps, Omega) / eps K(eps_s, x),
    K = int dgamma n / gamma^2 [y + 1/y - 2 t + t^2],  t = eps_s / (gamma x (gamma - eps_s)) <= 2,
    x = delta eps (1 - cos psi) <= 2 eps_s,
with n(eps, Omega) the photons per cm^3 per unit eps per sr of the nucleus' frame and psi the
angle between a photon and the observer there (the electron's Lorentz factor and eps_s are those
of the blob). Pair production (Gould & Schreder 1967):
    tau(eps1) = int dl dOmega deps n w sigma(eps eps1 w / 2),  w = 1 - cos psi.
"""

from __future__ import annotations

import itertools
import math

import numpy as np
from scipy import constants

C_LIGHT = constants.c * 1e2
H_PLANCK = constants.h * 1e7
K_BOLTZMANN = constants.k * 1e7
M_E = constants.m_e * 1e3
ME_C2 = M_E * C_LIGHT**2
SIGMA_T = constants.physical_constants["Thomson cross section"][0] * 1e4
SIGMA_SB = constants.sigma * 1e3
G_NEWTON = constants.G * 1e3
TO_EPS = H_PLANCK / ME_C2
LAMBDA_C = H_PLANCK / (M_E * C_LIGHT)
EC_CONSTANT = H_PLANCK * 3 * C_LIGHT * SIGMA_T / (32 * math.pi)


def gauss(a: float, b: float, n: int) -> tuple[np.ndarray, np.ndarray]:
    t, w = np.polynomial.legendre.leggauss(n)
    return 0.5 * (a + b) + 0.5 * (b - a) * t, 0.5 * (b - a) * w


def composite(edges: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    nodes, weights = zip(*(gauss(a, b, n) for a, b in itertools.pairwise(edges)), strict=False)
    return np.concatenate(nodes), np.concatenate(weights)


def doppler(gamma_bulk: float, mu_s: float) -> float:
    beta = math.sqrt(1 - 1 / gamma_bulk**2)
    return 1 / (gamma_bulk * (1 - beta * mu_s))


class PowerLaw:
    """n = n0 (gamma / g_lo)^-p on [g_lo, g_hi]: exact on the two-point grid of the kernels."""

    def __init__(self, g_lo: float, g_hi: float, p: float, n0: float = 1.0) -> None:
        self.g_lo, self.g_hi, self.p, self.n0 = g_lo, g_hi, p, n0

    def grid(self) -> tuple[np.ndarray, np.ndarray]:
        return np.array([self.g_lo, self.g_hi]), self.n0 * np.array(
            [1.0, (self.g_hi / self.g_lo) ** -self.p]
        )

    def kernel(self, eps_s: float, x: np.ndarray, nodes: int = 48) -> np.ndarray:
        """K(eps_s, x) for an array x, in the variable ln(gamma - eps_s)."""
        x = np.asarray(x, dtype=float)
        out = np.zeros_like(x)
        ok = (x > 0) & (x <= 2 * eps_s)
        c = eps_s / x[ok]
        d_min = c / (eps_s + np.sqrt(eps_s**2 + 2 * c))
        lo = np.maximum(np.log(np.maximum(d_min, self.g_lo - eps_s)), -700)
        hi = math.log(self.g_hi - eps_s) if self.g_hi > eps_s else -np.inf
        live = lo < hi
        t, w = np.polynomial.legendre.leggauss(nodes)
        v = 0.5 * (lo + hi)[:, None] + 0.5 * (hi - lo)[:, None] * t
        d = np.exp(v)
        gamma = eps_s + d
        a = 1 / (gamma * d)
        tt = np.minimum(c[:, None] * a, 2.0)
        xi = (d * d + gamma * gamma) * a - tt * (2 - tt)
        n = self.n0 * (gamma / self.g_lo) ** -self.p
        integral = (0.5 * (hi - lo))[:, None] * w * n / gamma**2 * xi * d
        out[ok] = np.where(live, integral.sum(axis=1), 0.0)
        return out


def planck_photons(eps: np.ndarray, theta: np.ndarray | float) -> np.ndarray:
    """Blackbody photons per cm^3 per unit eps per sr."""
    return 2 / LAMBDA_C**3 * eps**2 / np.expm1(eps / theta)


def ec_isotropic_line(nu, u, nu0, gamma_bulk, mu_s, electrons: PowerLaw, nodes=400):
    """An AGN-frame isotropic line: n = N0 / (4 pi) delta(eps - eps0); dOmega over w = 1 - mu."""
    eps0, delta = nu0 * TO_EPS, doppler(gamma_bulk, mu_s)
    n0 = u / (eps0 * ME_C2)
    out = []
    for f in np.atleast_1d(nu):
        eps_s = f * TO_EPS
        kinks = [
            eps_s / (2 * g * (g - eps_s)) / (delta * eps0)
            for g in (electrons.g_lo, electrons.g_hi)
            if g > eps_s
        ]
        edges = np.unique(np.clip(np.concatenate([np.geomspace(1e-9, 2.0, 40), kinks]), 1e-9, 2))
        w, ww = composite(edges, nodes // 40)
        k = electrons.kernel(eps_s, delta * eps0 * w)
        out.append(EC_CONSTANT * eps_s * n0 / (4 * math.pi) / eps0 * 2 * math.pi * np.sum(ww * k))
    return np.array(out)


def shell_directions(r: float, radius: float, n_mu: int = 240, n_phi: int = 48):
    """Points of the shell (mu_re, phi_re) with the photons' direction at the blob (unit vectors
    k, from the point to the blob) and the weight dOmega_re / x^2 of u = L / (16 pi^2 c) ..."""
    mu, wmu = composite(np.linspace(-1, 1, 9), n_mu // 8)
    phi, wphi = composite(np.linspace(0, 2 * math.pi, 5), n_phi // 4)
    mu, phi = np.meshgrid(mu, phi, indexing="ij")
    weight = np.outer(wmu, wphi)
    sin = np.sqrt(1 - mu**2)
    px, py, pz = radius * sin * np.cos(phi), radius * sin * np.sin(phi), radius * mu
    dx, dy, dz = -px, -py, r - pz
    x = np.sqrt(dx**2 + dy**2 + dz**2)
    return (dx / x, dy / x, dz / x), weight / x**2


def ec_blr(nu, l_disk, xi, nu_line, r_line, r, gamma_bulk, mu_s, electrons: PowerLaw):
    eps_l, delta = nu_line * TO_EPS, doppler(gamma_bulk, mu_s)
    (kx, _, kz), weight = shell_directions(r, r_line)
    s = (math.sqrt(1 - mu_s**2), mu_s)
    w = 1 - (kx * s[0] + kz * s[1])
    # energy density per sr u dOmega = L / (16 pi^2 c) dOmega_re / x^2; photons / (eps_l m c^2)
    photons = xi * l_disk / (16 * math.pi**2 * C_LIGHT) * weight / (eps_l * ME_C2)
    out = []
    for f in np.atleast_1d(nu):
        eps_s = f * TO_EPS
        k = electrons.kernel(eps_s, delta * eps_l * w.ravel()).reshape(w.shape)
        out.append(EC_CONSTANT * eps_s * np.sum(photons * k) / eps_l)
    return np.array(out)


class SSDisk:
    def __init__(self, l_disk, m_bh, eta, r_in, r_out, n_r=64):
        r_g = G_NEWTON * m_bh / C_LIGHT**2
        self.r_in = r_in * r_g
        mdot = l_disk / (eta * C_LIGHT**2)
        # R = R_in + (R_b - R_in) v^4 near the edge, then ln R
        r_b = 2 * self.r_in
        v, wv = gauss(0, 1, 12)
        radii = [self.r_in + (r_b - self.r_in) * v**4]
        weights = [4 * (r_b - self.r_in) * v**3 * wv]
        u, wu = composite(np.linspace(math.log(r_b), math.log(r_out * r_g), n_r // 8 + 1), 8)
        radii.append(np.exp(u))
        weights.append(wu * np.exp(u))
        self.radius, self.dr = np.concatenate(radii), np.concatenate(weights)
        t4 = (
            3
            * G_NEWTON
            * m_bh
            * mdot
            / (8 * math.pi * SIGMA_SB * self.radius**3)
            * (1 - np.sqrt(self.r_in / self.radius))
        )
        self.theta = K_BOLTZMANN * t4**0.25 / ME_C2

    def directions(self, p, n_phi=24):
        """(k, theta, dOmega) of the disk elements seen from point p = (px, 0, pz)."""
        phi, wphi = composite(np.linspace(0, 2 * math.pi, 9), n_phi // 8)
        rr, ph = np.meshgrid(self.radius, phi, indexing="ij")
        dx, dy, dz = p[0] - rr * np.cos(ph), -rr * np.sin(ph), np.full_like(rr, p[1])
        x = np.sqrt(dx**2 + dy**2 + dz**2)
        solid = np.outer(self.radius * self.dr, wphi) * p[1] / x**3
        theta = np.broadcast_to(self.theta[:, None], rr.shape)
        return (dx / x, dy / x, dz / x), theta, solid


def ec_thermal(nu, k, theta, photons_per_sr, gamma_bulk, mu_s, electrons, n_gl=4):
    """Blackbody beams: photons per unit eps = photons_per_sr * eps^2 / expm1(eps / theta). The
    integral over eps is cut where K has kinks (the limits at the ends of the electrons, and
    x = 2 eps_s), beam by beam."""
    delta = doppler(gamma_bulk, mu_s)
    s = (math.sqrt(1 - mu_s**2), mu_s)
    w = (1 - (k[0] * s[0] + k[2] * s[1])).ravel()
    th = np.ravel(theta)
    z = photons_per_sr.ravel()
    base = np.geomspace(1e-5, 60, 14)  # eps / theta
    t, wt = np.polynomial.legendre.leggauss(n_gl)
    out = []
    for f in np.atleast_1d(nu):
        eps_s = f * TO_EPS
        kinks = [
            eps_s / (2 * g * (g - eps_s)) for g in (electrons.g_lo, electrons.g_hi) if g > eps_s
        ]
        kinks.append(2 * eps_s)
        v_kinks = np.array(kinks)[None, :] / (delta * w[:, None] * th[:, None])
        edges = np.log(
            np.sort(
                np.concatenate(
                    [np.tile(base, (w.size, 1)), np.clip(v_kinks, base[0], base[-1])], axis=1
                ),
                axis=1,
            )
        )
        a, b = edges[:, :-1, None], edges[:, 1:, None]
        v = np.exp(0.5 * (a + b) + 0.5 * (b - a) * t).reshape(w.size, -1)
        wv = (0.5 * (b - a) * wt).reshape(w.size, -1) * v
        eps = th[:, None] * v
        kk = electrons.kernel(eps_s, (delta * eps * w[:, None]).ravel()).reshape(eps.shape)
        # int deps n / eps K = theta^2 int dv v / expm1(v) K
        inner = np.sum(wv * v / np.expm1(v) * kk, axis=1) * th**2
        out.append(EC_CONSTANT * eps_s * np.sum(z * inner))
    return np.array(out)


def ec_disk(nu, l_disk, m_bh, eta, r_in, r_out, r, gamma_bulk, mu_s, electrons):
    disk = SSDisk(l_disk, m_bh, eta, r_in, r_out)
    k, theta, solid = disk.directions((0.0, r))
    return ec_thermal(nu, k, theta, 2 / LAMBDA_C**3 * solid, gamma_bulk, mu_s, electrons)


def ring_directions(r_dt, p, n_phi=48):
    phi, wphi = composite(np.linspace(0, 2 * math.pi, 9), n_phi // 8)
    dx, dy, dz = p[0] - r_dt * np.cos(phi), -r_dt * np.sin(phi), np.full_like(phi, p[1])
    x = np.sqrt(dx**2 + dy**2 + dz**2)
    return (dx / x, dy / x, dz / x), wphi, x


def torus_photons(l_dt, t_dt, wphi, x):
    """eps^2 / expm1 coefficient: dL / (4 pi x^2 c m c^2) 15 / (pi^4 theta^4)."""
    theta = K_BOLTZMANN * t_dt / ME_C2
    return l_dt * wphi / (2 * math.pi) / (4 * math.pi * x**2 * C_LIGHT * ME_C2) * 15 / (
        math.pi**4 * theta**4
    ), theta


def ec_torus(nu, l_disk, xi_dt, t_dt, r_dt, r, gamma_bulk, mu_s, electrons):
    k, wphi, x = ring_directions(r_dt, (0.0, r))
    z, theta = torus_photons(xi_dt * l_disk, t_dt, wphi, x)
    return ec_thermal(nu, k, np.full_like(z, theta), z, gamma_bulk, mu_s, electrons, n_gl=12)


def pair_cross_section(s):
    s = np.asarray(s, dtype=float)
    out = np.zeros_like(s)
    ok = s > 1
    b = np.sqrt(1 - 1 / s[ok])
    out[ok] = (
        3 / 16 * SIGMA_T / s[ok] * ((3 - b**4) * np.log((1 + b) ** 2 * s[ok]) - 2 * b * (2 - b**2))
    )
    return out


def path(r, scale, n=60):
    """Nodes (l, dl) from r to infinity in v = 1 / (1 + l / scale)."""
    v, wv = composite(np.concatenate([[0.0], np.geomspace(1e-3, 1.0, 12)]), n // 12)
    return scale * (1 / v - 1), wv * scale / v**2


def tau_thermal_beams(nu, beams):
    """beams: list of (w, theta, z) arrays, z the eps^2 / expm1 coefficient times dl."""
    w = np.concatenate([b[0].ravel() for b in beams])
    th = np.concatenate([b[1].ravel() for b in beams])
    z = np.concatenate([b[2].ravel() for b in beams])
    out = []
    for f in np.atleast_1d(nu):
        eps1 = f * TO_EPS
        # eps / theta from just above the lowest threshold 2 / (eps1 w theta) of any beam
        v_lo = max(1e-3, 2 / (eps1 * np.max(w * th)))
        v, wv = composite(np.geomspace(v_lo, max(300.0, 2 * v_lo), 41), 6)
        v, wv = v[v < 700], wv[v < 700]  # beyond, the blackbody carries nothing in doubles
        eps = th[:, None] * v
        sig = pair_cross_section(eps * eps1 * w[:, None] / 2)
        out.append(np.sum(z * w * th**3 * np.sum(wv * v**2 / np.expm1(v) * sig, axis=1)))
    return np.array(out)


def tau_disk(nu, l_disk, m_bh, eta, r_in, r_out, r, mu_s):
    disk = SSDisk(l_disk, m_bh, eta, r_in, r_out, n_r=64)
    s = (math.sqrt(1 - mu_s**2), mu_s)
    beams = []
    for length, dl in zip(*path(r, r), strict=True):
        k, theta, solid = disk.directions((length * s[0], r + length * s[1]), n_phi=32)
        w = 1 - (k[0] * s[0] + k[2] * s[1])
        beams.append((w, theta, 2 / LAMBDA_C**3 * solid * dl))
    return tau_thermal_beams(nu, beams)


def tau_torus(nu, l_disk, xi_dt, t_dt, r_dt, r, mu_s):
    s = (math.sqrt(1 - mu_s**2), mu_s)
    beams = []
    for length, dl in zip(*path(r, max(r, r_dt)), strict=True):
        k, wphi, x = ring_directions(r_dt, (length * s[0], r + length * s[1]), n_phi=64)
        z, theta = torus_photons(xi_dt * l_disk, t_dt, wphi, x)
        w = 1 - (k[0] * s[0] + k[2] * s[1])
        beams.append((w, np.full_like(w, theta), z * dl))
    return tau_thermal_beams(nu, beams)


def tau_blr(nu, l_disk, xi, nu_line, r_line, r, mu_s):
    """The shell seen from outside (r > r_line): smooth in the shell's own coordinates."""
    eps_l = nu_line * TO_EPS
    s = (math.sqrt(1 - mu_s**2), mu_s)
    ws, weights = [], []
    for length, dl in zip(*path(r, max(r, r_line)), strict=True):
        px, pz = length * s[0], r + length * s[1]
        rho = math.hypot(px, pz)
        # rotate so that the point lies on the z axis of the shell's coordinates
        view = math.acos(min(1.0, (px * s[0] + pz * s[1]) / rho))
        (kx, _, kz), weight = shell_directions(rho, r_line, n_mu=160, n_phi=48)
        ws.append(1 - (kx * math.sin(view) + kz * math.cos(view)))
        weights.append(xi * l_disk / (16 * math.pi**2 * C_LIGHT) * weight / (eps_l * ME_C2) * dl)
    w, z = np.concatenate([a.ravel() for a in ws]), np.concatenate([a.ravel() for a in weights])
    return np.array([np.sum(z * w * pair_cross_section(eps_l * f * TO_EPS * w / 2)) for f in nu])
