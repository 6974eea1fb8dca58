"""One-zone synchrotron self-Compton + external Compton model of a blazar, with sorvexfit.

The electrons are the self-consistently cooled steady state of a power-law injection
(`sorvex.fp_findif_difu` under synchrotron, SSC and external-Compton cooling, weak diffusion
and escape on the light-crossing time); the blob emits synchrotron with self-absorption, SSC on
its own synchrotron photons and EC on a line field given in the blob frame. The observed SED is
written as a CSV table and a PNG plot. `sorvexfit sed --model ec --steady-state ...` computes
the same from the command line.

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

import numpy as np

import sorvex
import sorvexfit

C = sorvex.get_c()  # cm s^-1


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

    def doppler_factor(self) -> float:
        if self.doppler is not None:
            return self.doppler
        beta = sorvex.bofg(self.gamma_bulk)
        return 1.0 / (self.gamma_bulk * (1.0 - beta * math.cos(math.radians(self.theta_deg))))


def build_model(params: Parameters) -> sorvexfit.BlobModel:
    """The steady-state EC model of these parameters, on the blob-frame frequencies 1e7 to
    1e27 Hz (`n_freq` points) and `n_gamma` electron bins."""
    delta, z = params.doppler_factor(), params.redshift
    model = sorvexfit.make_model(
        "ec",
        electrons="power_law",
        steady_state=True,
        n_gamma=params.n_gamma,
        n_nu=params.n_freq,
        nu_range=(1e7 * delta / (1 + z), 1e27 * delta / (1 + z)),
        steady_tolerance=params.tolerance,
        steady_max_iterations=params.max_steps,
    )
    model.set(
        B=params.b_field,
        R=params.radius,
        delta_D=delta,
        z=z,
        p=params.p_index,
        L_inj=params.l_inj,
        gamma_min=params.gamma_min,
        gamma_max=params.gamma_max,
        u_ext=max(params.ext_u, 1e-30),
        nu_ext=params.ext_nu,
        t_esc=1.0,  # escape on the light-crossing time
        t_acc=1e3,  # weak stochastic acceleration, D = γ² / (1000 R/c)
    )
    return model


@dataclass
class Sed:
    nu_obs: np.ndarray
    synchrotron: np.ndarray  # nu F_nu, erg cm^-2 s^-1
    ssc: np.ndarray
    ec: np.ndarray

    @property
    def total(self) -> np.ndarray:
        total: np.ndarray = self.synchrotron + self.ssc + self.ec
        return total


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
    floor = float(np.max(sed.total)) * 1e-8
    for values, label, style in [
        (sed.synchrotron, "synchrotron", "-"),
        (sed.ssc, "synchrotron self-Compton", "--"),
        (sed.ec, "external Compton", "-."),
        (sed.total, "total", ":"),
    ]:
        masked = np.where(values > floor, values, math.nan)
        axes.loglog(sed.nu_obs, masked, style, label=label, linewidth=1.6)
    axes.set_xlabel(r"observed frequency $\nu$ [Hz]")
    axes.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]")
    axes.set_title(
        f"B = {params.b_field:g} G, R = {params.radius:.1e} cm, "
        f"$\\delta$ = {params.doppler_factor():.1f}, z = {params.redshift:g}",
        fontsize=10,
    )
    axes.set_ylim(floor, float(np.max(sed.total)) * 5.0)
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
    add("--redshift", type=positive, default=0.1, help="source redshift")
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
    add("--max-steps", type=int, default=60, help="most steady-state iterations")
    add("--tolerance", type=positive, default=1e-4, help="steady state: max relative change")
    add("--output", type=Path, default=Path("out/blazar"), help="directory for sed.csv and sed.png")
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
    model = build_model(params)
    print(
        f"Evolving {params.n_gamma} electron bins to steady state "
        f"(t_lc = {params.light_crossing_time:.3g} s, up to {params.max_steps} iterations)"
    )
    started = time.perf_counter()
    result = model.evaluate()
    assert result.steady is not None  # a non-converged steady state raises ConvergenceError
    print(
        f"converged after {result.steady.iterations} iterations, "
        f"max relative change {result.steady.change:.2e}"
    )
    seds = result.seds
    sed = Sed(result.nu, seds["syn"], seds["ssc"], seds["ec"])
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
