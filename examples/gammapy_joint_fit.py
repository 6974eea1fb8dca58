"""A joint gammapy fit: Mrk 421's flux points with a simulated Cherenkov-telescope spectrum.

1. The flux points of examples/data/Mrk421_2011.ecsv, as `sorvexfit fit` takes them (the demo's
   options: points above 1e11 Hz, default systematics, B, δ, n_e, p1, p2 and γ_b free from
   the demo's start, EBL of Dominguez et al. 2011), become a gammapy `FluxPointsDataset` with
   `sorvexfit.gammapy.flux_points_dataset`; gammapy's minuit fits the SSC model to them alone
   and the result is printed beside that of `sorvexfit fit` (`run_fit`).
2. That fitted model is the truth of a simulated IACT observation: a `SpectrumDatasetOnOff`
   built in code from an effective area that rises to 1e5 m² above 300 GeV, a Gaussian energy
   dispersion of 10 % and a power-law background (off region 5 times the on region), faked
   with Poisson counts.
3. The flux points and the simulated spectrum are fitted jointly, from a start away from the
   truth; the fitted parameters are compared with the simulated ones.

Usage: python examples/gammapy_joint_fit.py [--quick] [--livetime HOURS] [--seed N] [--out DIR]
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Mapping, Sequence
from dataclasses import replace
from pathlib import Path
from typing import Any

import numpy as np
from astropy import units as u
from gammapy.datasets import Datasets, SpectrumDataset, SpectrumDatasetOnOff
from gammapy.irf import EDispKernelMap
from gammapy.maps import MapAxis, RegionGeom, RegionNDMap
from gammapy.modeling import Fit
from gammapy.modeling.models import SkyModel

from sorvexfit.fit import FitOptions, run_fit
from sorvexfit.gammapy import SorvexSpectralModel, flux_points_dataset

DATA = Path(__file__).resolve().parent / "data" / "Mrk421_2011.ecsv"
# The demo's fit (examples/mrk421_fit.py), without the error band.
OPTIONS = FitOptions(
    model="ssc",
    values=(("t_var", "1 d"), ("gamma_min", "800"), ("gamma_max", "1e7"), ("gamma_b", "1e5")),
    free=("B", "delta_D", "n_e", "p1", "p2", "gamma_b"),
    fit_range="1e11 Hz,",
    band_samples=0,
)
QUICK_GRIDS = {"n_gamma": 40, "n_nu": 60}
# The joint fit starts from the truth moved by these factors (log10 parameters) or steps.
DISPLACEMENT = {"B": 1.3, "delta_D": 0.9, "n_e": 0.8, "p1": 0.05, "p2": -0.1, "gamma_b": 1.2}


def spectral_part(model: SkyModel) -> SorvexSpectralModel:
    """The sorvexfit model inside a sky model (alone or times an EBL absorption)."""
    spectral = model.spectral_model
    found = getattr(spectral, "model1", spectral)
    assert isinstance(found, SorvexSpectralModel)
    return found


def gammapy_fit(datasets: Any) -> Any:
    """gammapy's minuit (strategy 1) and its covariance, on `datasets`."""
    fit = Fit(backend="minuit", optimize_opts={"strategy": 1, "tol": 0.1})
    return fit.run(datasets)


def iact_dataset(
    truth: SkyModel, livetime: u.Quantity, seed: int, name: str = "iact"
) -> SpectrumDatasetOnOff:
    """An on-off spectrum of `truth`, simulated with simple instrument responses: 20 bins of
    reconstructed energy from 0.2 to 20 TeV, 40 of true energy from 0.1 to 40 TeV; an effective
    area 1e5 m² / (1 + (0.3 TeV/E)^3); a Gaussian energy dispersion of 10 %, unbiased; a
    background of 3e-3 (E/1 TeV)^-2.7 counts per second and TeV in the on region, with an off
    region 5 times larger."""
    energy = MapAxis.from_energy_bounds(0.2, 20.0, 20, unit="TeV", name="energy")
    energy_true = MapAxis.from_energy_bounds(0.1, 40.0, 40, unit="TeV", name="energy_true")
    geom = RegionGeom.create("icrs;circle(166.11, 38.21, 0.11)", axes=[energy])
    empty = SpectrumDataset.create(geom=geom, energy_axis_true=energy_true, name=name)
    e_true = energy_true.center
    area = 1e5 * u.m**2 / (1.0 + (0.3 * u.TeV / e_true) ** 3)
    empty.exposure.quantity = (area * livetime).reshape(empty.exposure.data.shape)
    empty.edisp = EDispKernelMap.from_gauss(
        energy_axis=energy,
        energy_axis_true=energy_true,
        sigma=0.1,
        bias=0.0,
        geom=geom.to_image(),
    )
    width = energy.edges[1:] - energy.edges[:-1]
    rate = 3e-3 / u.s / u.TeV * (energy.center / u.TeV) ** -2.7
    background = RegionNDMap.from_geom(geom)
    background.quantity = (rate * width * livetime).to_value("").reshape(background.data.shape)
    empty.mask_safe = RegionNDMap.from_geom(geom, data=np.ones(geom.data_shape, dtype=bool))
    dataset = SpectrumDatasetOnOff.from_spectrum_dataset(
        dataset=empty, acceptance=1, acceptance_off=5, name=name
    )
    dataset.models = [truth]
    dataset.fake(npred_background=background, random_state=seed)
    dataset.models = None
    return dataset


def displaced(values: Mapping[str, float]) -> dict[str, float]:
    """The joint fit's start: the truth moved by `DISPLACEMENT`."""
    start = dict(values)
    for name, step in DISPLACEMENT.items():
        start[name] = (
            values[name] * step
            if name in ("B", "delta_D", "n_e", "gamma_b")
            else (values[name] + step)
        )
    return start


def free_values(model: SorvexSpectralModel) -> dict[str, tuple[float, float]]:
    """(value, error) of each free parameter."""
    return {p.name: (p.value, p.error) for p in model.parameters if not p.frozen}


def run(
    quick: bool,
    livetime_hours: float,
    seed: int,
    out: Path,
    joint_free: Sequence[str] = OPTIONS.free or (),
) -> dict[str, Any]:
    """The three steps of the module documentation (the joint fit with the parameters
    `joint_free` free, the others at the truth); returns what they found."""
    options = OPTIONS
    if quick:
        options = replace(options, model=options.config.with_options(**QUICK_GRIDS))
    report: dict[str, Any] = {}

    started = time.perf_counter()
    reference = run_fit(DATA, options, out / "sorvexfit")
    report["sorvexfit"] = {
        name: (p.best, p.error) for name, p in reference.parameters.items() if p.free
    }
    report["sorvexfit_chi2"] = reference.chi2
    report["sorvexfit_seconds"] = time.perf_counter() - started

    points = flux_points_dataset(DATA, options)
    sky = points.models[0]
    started = time.perf_counter()
    alone = gammapy_fit([points])
    report["alone_seconds"] = time.perf_counter() - started
    report["alone_success"] = bool(alone.success)
    report["alone_chi2"] = float(alone.total_stat)
    report["alone"] = free_values(spectral_part(sky))

    truth = sky.copy(name="truth")
    iact = iact_dataset(truth, livetime_hours * u.h, seed)
    report["truth"] = {name: v for name, (v, _) in report["alone"].items()}
    model = spectral_part(sky)
    for name, value in displaced(report["truth"]).items():
        getattr(model, name).value = value if name in joint_free else report["truth"][name]
        getattr(model, name).frozen = name not in joint_free
    joint = Datasets([points, iact])
    joint.models = [sky]
    started = time.perf_counter()
    result = gammapy_fit(joint)
    report["joint_seconds"] = time.perf_counter() - started
    report["joint_success"] = bool(result.success)
    report["joint"] = free_values(model)
    report["iact_excess"] = float(np.sum(iact.excess.data))
    return report


def table(report: Mapping[str, Any]) -> list[str]:
    """The printout: sorvexfit against gammapy on the flux points, truth against joint fit."""
    alone = "converged" if report["alone_success"] else "FAILED"
    joint = "converged" if report["joint_success"] else "FAILED"
    lines = [
        f"flux points alone: sorvexfit fit χ² {report['sorvexfit_chi2']:.1f}"
        f" ({report['sorvexfit_seconds']:.1f} s), gammapy χ² {report['alone_chi2']:.1f}"
        f" ({report['alone_seconds']:.1f} s, {alone})",
        f"{'':8s} {'sorvexfit fit':>22s} {'gammapy':>22s}  difference/σ",
    ]
    for name, (best, error) in report["sorvexfit"].items():
        value, err = report["alone"][name]
        lines.append(
            f"{name:8s} {best:11.4g} ± {error:<8.2g} {value:11.4g} ± {err:<8.2g}"
            f"  {(value - best) / error:+.2f}"
        )
    lines += [
        "",
        f"joint fit with the simulated IACT spectrum ({report['iact_excess']:.0f} excess counts;"
        f" {report['joint_seconds']:.1f} s, {joint})",
        f"{'':8s} {'simulated':>11s} {'start':>11s} {'fitted':>22s}  pull",
    ]
    start = displaced(report["truth"])
    for name, (value, err) in report["joint"].items():
        truth = report["truth"][name]
        lines.append(
            f"{name:8s} {truth:11.4g} {start[name]:11.4g} {value:11.4g} ± {err:<8.2g}"
            f"  {(value - truth) / err:+.2f}"
        )
    return lines


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small grids (40 γ × 60 ν)")
    parser.add_argument("--livetime", type=float, default=20.0, help="IACT hours (default 20)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the simulated counts")
    parser.add_argument(
        "--out", type=Path, default=Path("out/gammapy"), help="where sorvexfit fit writes"
    )
    args = parser.parse_args(argv)
    report = run(args.quick, args.livetime, args.seed, args.out)
    print("\n".join(table(report)))
    return 0 if report["alone_success"] and report["joint_success"] else 1


if __name__ == "__main__":
    sys.exit(main())
