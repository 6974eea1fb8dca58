"""One-zone synchrotron self-Compton + external Compton model of a blazar.

Chains sorvex the way a fit would: a power-law injection of electrons is evolved to a steady
state with the implicit Fokker-Planck step under synchrotron, synchrotron-self-Compton and
external-Compton cooling, diffusion and escape; then synchrotron emission with self-absorption,
radiative transfer through the blob, SSC on the synchrotron intensity and EC on a line field; the
comoving spectra are boosted to the observer and written as a CSV table and a PNG plot.

Run `python examples/blazar_sed.py --help` for the parameters (cgs units throughout).
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import sorvex

C = sorvex.get_c()  # cm s^-1
SIGMA_T = 6.6524587321e-25  # cm^2
ME_C2 = 8.1871057769e-7  # erg
H_PLANCK = 6.62607015e-27  # erg s
MPC = 3.0856775814913673e24  # cm


@dataclass(frozen=True)
class Parameters:
    b_field: float  # G
    radius: float  # cm
    doppler: float | None  # Doppler factor; None: from the bulk Lorentz factor and angle
    gamma_bulk: float
    theta_deg: float
    redshift: float
    p_index: float  # injection index, Q ~ gamma^-p
    l_inj: float  # injected electron luminosity in the blob frame, erg/s
    gamma_min: float
    gamma_max: float
    ext_nu: float  # line frequency in the blob frame, Hz
    ext_u: float  # line energy density in the blob frame, erg cm^-3
    n_gamma: int
    n_freq: int
    max_steps: int
    tolerance: float
    output: Path

    @property
    def light_crossing_time(self) -> float:
        return self.radius / C

    @property
    def volume(self) -> float:
        return 4.0 / 3.0 * math.pi * self.radius**3

    def doppler_factor(self) -> float:
        if self.doppler is not None:
            return self.doppler
        beta = sorvex.bofg(self.gamma_bulk)
        return 1.0 / (self.gamma_bulk * (1.0 - beta * math.cos(math.radians(self.theta_deg))))


def logspace(low: float, high: float, n: int) -> list[float]:
    step = (math.log(high) - math.log(low)) / (n - 1)
    return [math.exp(math.log(low) + k * step) for k in range(n)]


def luminosity_distance(z: float, h0: float = 70.0, omega_m: float = 0.3) -> float:
    """Flat Lambda-CDM luminosity distance (cm), Simpson's rule on 1/E(z)."""
    if z == 0.0:
        return 0.0
    n = 512
    h = z / n

    def inverse_e(x: float) -> float:
        return 1.0 / math.sqrt(omega_m * (1.0 + x) ** 3 + 1.0 - omega_m)

    total = inverse_e(0.0) + inverse_e(z)
    total += sum((4 if k % 2 else 2) * inverse_e(k * h) for k in range(1, n))
    hubble_distance = C / 1e5 / h0 * MPC  # c / H0 in cm
    return (1.0 + z) * hubble_distance * total * h / 3.0


def injection(params: Parameters, gammas: Sequence[float]) -> list[float]:
    """Power-law injection rate per unit gamma (cm^-3 s^-1) carrying l_inj in the blob."""
    shape = [
        g ** (-params.p_index) if params.gamma_min <= g <= params.gamma_max else 0.0 for g in gammas
    ]
    # Energy injected per second for a unit normalisation (trapezoid in gamma).
    power = sum(
        0.5 * (gammas[k + 1] - gammas[k]) * (gammas[k] * shape[k] + gammas[k + 1] * shape[k + 1])
        for k in range(len(gammas) - 1)
    )
    q0 = params.l_inj / (params.volume * ME_C2 * power)
    return [q0 * s for s in shape]


def synchrotron_field(
    params: Parameters, freqs: list[float], gammas: list[float], density: list[float]
) -> tuple[list[float], list[float], list[float]]:
    """Synchrotron emissivity, absorption and the intensity leaving the blob."""
    j_syn, a_syn = sorvex.syn_emissivity_full(freqs, gammas, density, params.b_field, True)
    intensity = sorvex.rad_trans_blob(params.radius, j_syn, a_syn)
    return j_syn, a_syn, intensity


def cooling_rate(
    params: Parameters, gammas: list[float], freqs: list[float], intensity: list[float]
) -> list[float]:
    """dgamma/dt (s^-1): synchrotron + SSC (Klein-Nishina) + external Compton (Klein-Nishina)."""
    u_b = params.b_field**2 / (8.0 * math.pi)
    syn = [4.0 / 3.0 * SIGMA_T * C * (g * g - 1.0) * u_b / ME_C2 for g in gammas]
    u_nu = [4.0 * math.pi / C * i for i in intensity]  # photon energy density per Hz
    ssc = sorvex.rad_cool_pwl(gammas, freqs, u_nu, True)
    ec = sorvex.rad_cool_mono(gammas, params.ext_nu, params.ext_u, True)
    return [a + b + c for a, b, c in zip(syn, ssc, ec, strict=True)]


def evolve_electrons(
    params: Parameters, gammas: list[float], freqs: list[float]
) -> tuple[list[float], int, float]:
    """Steps the distribution towards steady state; returns it, the steps and the last change."""
    t_lc = params.light_crossing_time
    q = injection(params, gammas)
    diffusion = [g * g / (1e3 * t_lc) for g in gammas]  # weak stochastic acceleration
    density = [0.0] * len(gammas)
    intensity = [0.0] * len(freqs)
    change = math.inf
    step = 0
    started = time.perf_counter()
    for step in range(1, params.max_steps + 1):
        gdot = cooling_rate(params, gammas, freqs, intensity)
        new = sorvex.fp_findif_difu(t_lc, gammas, density, gdot, diffusion, q, t_lc, t_lc)
        peak = max(new)
        change = max(abs(a - b) for a, b in zip(new, density, strict=True)) / peak
        density = new
        _, _, intensity = synchrotron_field(params, freqs, gammas, density)
        if step % 10 == 0 or change < params.tolerance:
            print(
                f"  step {step:4d}: max relative change {change:.2e} "
                f"({time.perf_counter() - started:.1f} s)",
                flush=True,
            )
        if change < params.tolerance:
            break
    return density, step, change


@dataclass
class Sed:
    nu_obs: list[float]
    synchrotron: list[float]  # nu F_nu, erg cm^-2 s^-1
    ssc: list[float]
    ec: list[float]

    @property
    def total(self) -> list[float]:
        return [a + b + c for a, b, c in zip(self.synchrotron, self.ssc, self.ec, strict=True)]


def observed_sed(
    params: Parameters, freqs: list[float], gammas: list[float], density: list[float]
) -> Sed:
    _, a_syn, i_syn = synchrotron_field(params, freqs, gammas, density)
    j_ssc = sorvex.ic_iso_powlaw_full(freqs, i_syn, gammas, density)
    i_ssc = sorvex.rad_trans_blob(params.radius, j_ssc, a_syn)
    # The line-field emissivity is per unit volume over all directions: per steradian / 4 pi.
    j_ec = [
        j / (4.0 * math.pi)
        for j in sorvex.ic_iso_monochrome_full(freqs, params.ext_u, params.ext_nu, density, gammas)
    ]
    i_ec = sorvex.rad_trans_blob(params.radius, j_ec, a_syn)

    delta = params.doppler_factor()
    d_l = luminosity_distance(params.redshift)
    # Comoving luminosity of a sphere from its surface intensity, L' = 4 pi^2 R^2 I', then
    # nu F_nu = delta^4 nu' L'(nu') / (4 pi d_L^2) at nu = delta nu' / (1 + z).
    scale = delta**4 * 4.0 * math.pi**2 * params.radius**2 / (4.0 * math.pi * d_l**2)

    def boost(intensity: list[float]) -> list[float]:
        return [scale * nu * i for nu, i in zip(freqs, intensity, strict=True)]

    nu_obs = [delta * nu / (1.0 + params.redshift) for nu in freqs]
    return Sed(nu_obs, boost(i_syn), boost(i_ssc), boost(i_ec))


def write_csv(sed: Sed, path: Path) -> None:
    with path.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["nu_obs_Hz", "nuFnu_synchrotron", "nuFnu_ssc", "nuFnu_ec", "nuFnu_total"])
        for row in zip(sed.nu_obs, sed.synchrotron, sed.ssc, sed.ec, sed.total, strict=True):
            writer.writerow([f"{value:.6e}" for value in row])


def plot(sed: Sed, params: Parameters, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(7.5, 4.8), dpi=110)
    floor = max(sed.total) * 1e-8
    for values, label, style in [
        (sed.synchrotron, "synchrotron", "-"),
        (sed.ssc, "synchrotron self-Compton", "--"),
        (sed.ec, "external Compton", "-."),
        (sed.total, "total", ":"),
    ]:
        masked = [v if v > floor else math.nan for v in values]
        axes.loglog(sed.nu_obs, masked, style, label=label, linewidth=1.6)
    axes.set_xlabel(r"observed frequency $\nu$ [Hz]")
    axes.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]")
    axes.set_title(
        f"B = {params.b_field:g} G, R = {params.radius:.1e} cm, "
        f"$\\delta$ = {params.doppler_factor():.1f}, z = {params.redshift:g}",
        fontsize=10,
    )
    axes.set_ylim(floor, max(sed.total) * 5.0)
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(fontsize=9)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not finite")
    return value


def positive(text: str) -> float:
    value = number(text)
    if value <= 0.0:
        raise argparse.ArgumentTypeError(f"{text!r} must be positive")
    return value


def non_negative(text: str) -> float:
    value = number(text)
    if value < 0.0:
        raise argparse.ArgumentTypeError(f"{text!r} must not be negative")
    return value


def grid_size(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if not 8 <= value <= 2000:
        raise argparse.ArgumentTypeError(f"{value} is outside 8..2000")
    return value


def parse_args(argv: Sequence[str] | None = None) -> Parameters:
    parser = argparse.ArgumentParser(
        description="One-zone SSC + EC blazar model: steady-state electrons and observed SED.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    add = parser.add_argument
    add("--b-field", type=positive, default=0.1, help="magnetic field, G")
    add("--radius", type=positive, default=1e16, help="blob radius, cm")
    add("--doppler", type=positive, default=None, help="Doppler factor (overrides the next two)")
    add("--gamma-bulk", type=positive, default=10.0, help="bulk Lorentz factor of the blob")
    add("--theta", type=non_negative, default=5.0, help="viewing angle, degrees")
    add("--redshift", type=non_negative, default=0.1, help="source redshift")
    add("--p-index", type=positive, default=2.2, help="injection index, Q ~ gamma^-p")
    add("--l-inj", type=positive, default=1e41, help="injected electron power (blob frame), erg/s")
    add("--gamma-min", type=positive, default=1e2, help="lowest injected Lorentz factor")
    add("--gamma-max", type=positive, default=1e6, help="highest injected Lorentz factor")
    add("--ext-nu", type=positive, default=2.5e16, help="line frequency (blob frame), Hz")
    add(
        "--ext-u",
        type=non_negative,
        default=1e-3,
        help="line energy density (blob frame), erg cm^-3",
    )
    add("--n-gamma", type=grid_size, default=100, help="electron grid points (gamma 1.1..1e7)")
    add("--n-freq", type=grid_size, default=120, help="frequency grid points (1e7..1e27 Hz)")
    add("--max-steps", type=int, default=400, help="most Fokker-Planck steps of one t_lc")
    add("--tolerance", type=positive, default=1e-4, help="steady state: max relative change")
    add("--output", type=Path, default=Path("out"), help="directory for sed.csv and sed.png")
    args = parser.parse_args(argv)
    if args.gamma_min >= args.gamma_max:
        parser.error("--gamma-min must be below --gamma-max")
    if args.gamma_min <= 1.1 or args.gamma_max > 1e7:
        parser.error("the injection must lie inside the electron grid, 1.1 < gamma <= 1e7")
    if args.max_steps < 1:
        parser.error("--max-steps must be at least 1")
    if args.theta >= 90.0:
        parser.error("--theta must be below 90 degrees")
    if args.gamma_bulk <= 1.0:
        parser.error("--gamma-bulk must exceed 1")
    return Parameters(
        b_field=args.b_field,
        radius=args.radius,
        doppler=args.doppler,
        gamma_bulk=args.gamma_bulk,
        theta_deg=args.theta,
        redshift=args.redshift,
        p_index=args.p_index,
        l_inj=args.l_inj,
        gamma_min=args.gamma_min,
        gamma_max=args.gamma_max,
        ext_nu=args.ext_nu,
        ext_u=args.ext_u,
        n_gamma=args.n_gamma,
        n_freq=args.n_freq,
        max_steps=args.max_steps,
        tolerance=args.tolerance,
        output=args.output,
    )


def run(params: Parameters) -> Sed:
    gammas = logspace(1.1, 1e7, params.n_gamma)
    freqs = logspace(1e7, 1e27, params.n_freq)
    print(
        f"Evolving {params.n_gamma} electron bins to steady state "
        f"(t_lc = {params.light_crossing_time:.3g} s, up to {params.max_steps} steps)"
    )
    started = time.perf_counter()
    density, steps, change = evolve_electrons(params, gammas, freqs)
    status = "converged" if change < params.tolerance else "not converged"
    print(f"{status} after {steps} steps, max relative change {change:.2e}")
    sed = observed_sed(params, freqs, gammas, density)
    params.output.mkdir(parents=True, exist_ok=True)
    write_csv(sed, params.output / "sed.csv")
    plot(sed, params, params.output / "sed.png")
    print(
        f"wrote {params.output / 'sed.csv'} and {params.output / 'sed.png'} "
        f"in {time.perf_counter() - started:.1f} s"
    )
    return sed


def main(argv: Sequence[str] | None = None) -> int:
    run(parse_args(argv))
    return 0


if __name__ == "__main__":
    sys.exit(main())
