"""The command `sorvexfit flare`: its options, and the run (`sorvexfit.cli` registers it).

    sorvexfit flare --model ssc --set B=0.1 --set R=1e16 --set delta_D=20 --set z=0.03 \
        --injection pulse:t0=5,width=1,amplitude=10 --duration 30 --out flare/

evolves the blob's electrons from the steady state of the model's injection through the flare
(`sorvexfit.flare`) and writes its light curves, SED snapshots and plots
(`sorvexfit.flare_output`). Bad input (an injection profile that does not parse, a negative
duration, a table whose times do not increase, a band outside the model's grid) raises
ParameterError, which the command reports in one line with status 2.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

import numpy as np

from .config import ModelConfig, parameters
from .fit.results import ExitCode
from .flare import ACCELERATIONS, STARTS, FlareOptions, simulate, time_scale
from .flare_output import write_flare
from .injection import parse_injection
from .lightcurves import DEFAULT_BANDS, band_nodes, parse_band
from .parameters import ParameterError

__all__ = ["INJECTION_HELP", "add_flare_arguments", "run_flare_command"]

INJECTION_HELP = (
    "how the injection changes: constant; step:t0=T,factor=F (F times from T on);"
    " pulse:t0=T,width=W,amplitude=A (1 + A exp(-(t-T)^2/2W^2)); table:FILE (time, factor"
    " per line, linear in between). Times in units of R/c (blob frame), or with a unit of"
    " time (2h, 1.5d) in the observer's frame"
)


def run_flare_command(args: argparse.Namespace, config: ModelConfig) -> int:
    """Runs `sorvexfit flare` for the parsed options and the model's steady-state
    configuration; returns the exit status."""
    values = dict(args.values)
    params = parameters(config)
    params.set(**values)
    point = params.as_dict()
    scale = time_scale(config, point)
    bands = {band.name: band for band in DEFAULT_BANDS}
    for text in args.bands:
        band = parse_band(text)
        bands[band.name] = band
    hardness = None
    if args.hardness != "none":
        soft, _, hard = args.hardness.partition(",")
        hardness = (soft.strip(), hard.strip())
        for name in hardness:
            if name not in bands:
                raise ParameterError(f"hardness: no band {name!r} (bands: {', '.join(bands)})")
    duration = scale.units("duration", args.duration)
    if args.snapshot_times:
        snapshots = tuple(scale.units("snapshot", t) for t in args.snapshot_times.split(","))
    else:
        if args.snapshots < 0:
            raise ParameterError(f"snapshots: {args.snapshots} must not be negative")
        snapshots = tuple(np.linspace(0.0, duration, args.snapshots)) if duration > 0.0 else ()
    options = FlareOptions(
        injection=parse_injection(args.injection, scale.units),
        duration=duration,
        start=args.start,
        acceleration=args.acceleration,
        expansion=args.expansion,
        expansion_start=scale.units("expansion_start", args.expansion_start),
        rtol=args.rtol,
        max_step=None if args.max_step is None else scale.units("max_step", args.max_step),
        samples=args.samples,
        bands=tuple(bands.values()),
        light_crossing=args.light_crossing,
        snapshots=snapshots,
    )
    band_nodes(options.bands, config.nu_range)  # every band on the model's grid, before the run
    progress = sys.stderr.isatty() if args.progress is None else args.progress
    bar = _SampleBar(options.samples) if progress else None
    try:
        flare = simulate(config, point, options, progress=progress, sample_progress=bar)
    finally:
        if bar is not None:
            bar.close()
    written = write_flare(flare, Path(args.out), hardness, args.sed_format)
    evolution = flare.evolution
    print(
        f"{evolution.steps} steps ({evolution.rejected} rejected, largest error"
        f" {evolution.errors.max():.2g}), {evolution.ssc_refreshes} SSC cooling updates;"
        f" observed duration {float(flare.t_obs[-1]):.4g} s"
    )
    print("wrote " + ", ".join(str(p) for p in written))
    return ExitCode.OK


class _SampleBar:
    """A progress bar over the emission samples, opened at the first (after the evolution's
    own bar has closed)."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.bar: Any = None

    def __call__(self, _: int) -> None:
        if self.bar is None:
            from tqdm import tqdm

            self.bar = tqdm(total=self.total, desc="light curves", file=sys.stderr, leave=False)
        self.bar.update()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def add_flare_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of `sorvexfit flare`, beside the model's."""
    add = parser.add_argument
    add("--injection", default="constant", metavar="PROFILE", help=INJECTION_HELP)
    add(
        "--duration",
        default="30",
        metavar="T",
        help="the time evolved: units of R/c in the blob frame, or observed with a unit (3d)",
    )
    add("--out", required=True, metavar="DIR", help="result directory")
    add("--start", default="steady", choices=STARTS, help="the blob at t = 0")
    add(
        "--acceleration",
        default="diffusion",
        choices=ACCELERATIONS,
        help="diffusion D = gamma^2/t_acc as in the steady state, or with the systematic gain"
        " of hard-sphere turbulence",
    )
    add("--expansion", type=float, default=0.0, metavar="BETA", help="expansion speed v/c")
    add("--expansion-start", default="0", metavar="T", help="when the expansion starts")
    add("--rtol", type=float, default=1e-3, help="error allowed per step (step doubling)")
    add("--max-step", metavar="T", help="the longest step")
    add("--samples", type=int, default=200, help="emission samples over the duration")
    add("--snapshots", type=int, default=8, metavar="N", help="SED snapshots, evenly spread")
    add("--snapshot-times", metavar="T,...", help="SED snapshots at these times instead")
    add(
        "--band",
        dest="bands",
        action="append",
        default=[],
        metavar="NAME=LOW,HIGH",
        help="a band besides the defaults (radio, R, X, HE, VHE; the same name replaces one):"
        " frequencies, energies or wavelengths with units, e.g. soft='0.5 keV,2 keV'; HIGH"
        " empty: the top of the grid; repeatable",
    )
    add(
        "--hardness",
        default="R,X",
        metavar="SOFT,HARD",
        help="the bands of the hardness-intensity diagram (none: no diagram)",
    )
    add(
        "--no-light-crossing",
        dest="light_crossing",
        action="store_false",
        help="do not mix the blob's slices over the light-crossing time",
    )
    add(
        "--sed-format",
        default="auto",
        choices=("auto", "ecsv", "hdf5"),
        help="SED snapshots as ECSV or HDF5 (auto: HDF5 above 16 snapshots)",
    )
    add(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="progress bars (default: when standard error is a terminal)",
    )
